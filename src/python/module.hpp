// Multi-phase module definition helpers: each extension module keeps its
// Function type (and any other objects it needs) in module state.
#pragma once

#include "binding.hpp"

namespace sc::py {

constexpr int kStateSlots = 8;

struct ModuleState {
    PyObject* slots[kStateSlots];
};

inline ModuleState* state_of(PyObject* module) {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

int state_traverse(PyObject* m, visitproc visit, void* arg);
int state_clear(PyObject* m);
void state_free(void* m);

// Runs body(module) under the error guard; returns 0 or -1 as Py_mod_exec wants.
template <class F>
int guarded_exec(PyObject* module, F&& body) {
    try {
        body(module);
        return 0;
    } catch (const Error&) {
        return -1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return -1;
    }
}

}  // namespace sc::py

// Defines a module's slots and PyModuleDef, and its PyInit_NAME entry point.
#define SC_DEFINE_MODULE(NAME, FULL_NAME, DOC, EXEC)                                                   \
    namespace {                                                                                      \
    PyModuleDef_Slot sc_module_slots_[] = {                                                          \
        {Py_mod_exec, reinterpret_cast<void*>(EXEC)},                                                \
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},                  \
        {0, nullptr},                                                                                \
    };                                                                                               \
    PyModuleDef sc_module_def_ = {                                                                   \
        PyModuleDef_HEAD_INIT, FULL_NAME, DOC, sizeof(::sc::py::ModuleState), nullptr, sc_module_slots_, \
        ::sc::py::state_traverse, ::sc::py::state_clear, ::sc::py::state_free,                       \
    };                                                                                               \
    }                                                                                                \
    PyMODINIT_FUNC PyInit_##NAME(void) { return PyModuleDef_Init(&sc_module_def_); }
