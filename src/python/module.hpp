// Multi-phase module definition helpers: each extension module keeps its
// Function type (and any other objects it needs) in module state.
#pragma once

#include "binding.hpp"

namespace sc::py {

constexpr int kStateSlots = 8;
constexpr std::size_t kMaxNames = 512;

struct ModuleState {
    PyObject* slots[kStateSlots];
    const NameTable* table;      // the module's own names (after the binding layer's)
    PyObject* names[kMaxNames];  // interned at exec, in table order
};

inline ModuleState* state_of(PyObject* module) {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

int state_traverse(PyObject* m, visitproc visit, void* arg);
int state_clear(PyObject* m);
void state_free(void* m);

// Interns the binding layer's names and the table's into module state.
void intern_names(PyObject* module, const NameTable& table);

// Interns the module's names, then runs body(module) with the module as the
// running one; returns 0, or -1 with an exception set, as Py_mod_exec wants.
template <class F>
int guarded_exec(PyObject* module, const NameTable& table, F&& body) {
    return boundary(-1, [&] {
        intern_names(module, table);
        ModuleScope scope(module);
        body(module);
        return 0;
    });
}
template <class F>
int guarded_exec(PyObject* module, F&& body) {
    return guarded_exec(module, kNoModuleNames, std::forward<F>(body));
}

}  // namespace sc::py

// Defines a module's slots and PyModuleDef, and its PyInit_NAME entry point.
#define SC_DEFINE_MODULE(NAME, FULL_NAME, DOC, EXEC)                                                   \
    namespace {                                                                                      \
    PyModuleDef_Slot sc_module_slots_[] = {                                                          \
        {Py_mod_exec, reinterpret_cast<void*>(EXEC)},                                                \
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},                  \
        {Py_mod_gil, Py_MOD_GIL_USED},                                                               \
        {0, nullptr},                                                                                \
    };                                                                                               \
    PyModuleDef sc_module_def_ = {                                                                   \
        PyModuleDef_HEAD_INIT, FULL_NAME, DOC, sizeof(::sc::py::ModuleState), nullptr, sc_module_slots_, \
        ::sc::py::state_traverse, ::sc::py::state_clear, ::sc::py::state_free,                       \
    };                                                                                               \
    }                                                                                                \
    PyMODINIT_FUNC PyInit_##NAME(void) { return PyModuleDef_Init(&sc_module_def_); }
