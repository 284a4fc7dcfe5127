// The binding layer shared by the extension modules.
//
// - Ref: the one owning handle for PyObject references (no bare DECREF in
//   function bodies); Error: a C++ exception meaning "a Python error is
//   set", caught once at each entry point.
// - Function: the callable type of every exported function and method
//   (vectorcall, __get__, __name__, __qualname__, __module__, __doc__,
//   __text_signature__, __annotations__).
// - One argument parser for positional and keyword forms with the
//   interpreter's own TypeError texts.
// - Helpers to read module globals at call time and to print through
//   sys.stdout.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace sc::py {

// A Python exception is set; the entry point returns NULL.
struct Error {};

class Ref {
    PyObject* p_ = nullptr;

public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal(p);
    }
    Ref(const Ref& o) noexcept : p_(Py_XNewRef(o.p_)) {}
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
};

// Own a new reference; a NULL means the callee set an error.
inline Ref own(PyObject* p) {
    if (!p) throw Error{};
    return Ref::steal(p);
}
inline void check(int rc) {
    if (rc < 0) throw Error{};
}
inline bool truth(PyObject* o) {
    const int r = PyObject_IsTrue(o);
    if (r < 0) throw Error{};
    return r != 0;
}

// Interned name that lives for the process (attribute and key names).
#define SC_NAME(lit)                                                          \
    ([]() -> PyObject* {                                                      \
        static PyObject* s_ = PyUnicode_InternFromString(lit);                \
        return s_;                                                            \
    }())

inline Ref str(std::string_view s) {
    return own(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict"));
}
inline Ref getattr(PyObject* o, PyObject* name) { return own(PyObject_GetAttr(o, name)); }
inline Ref getattr(PyObject* o, const char* name) { return own(PyObject_GetAttrString(o, name)); }
inline void setattr(PyObject* o, PyObject* name, PyObject* v) { check(PyObject_SetAttr(o, name, v)); }
inline Ref none() { return Ref::borrow(Py_None); }
inline void set_item(PyObject* dict, PyObject* key, PyObject* value) { check(PyDict_SetItem(dict, key, value)); }
// m.get(key, dflt): a plain dict is read directly, anything else through its own `get`.
Ref mapping_get(PyObject* m, PyObject* key, PyObject* dflt);
// A tuple taking over the given references.
template <class... R>
Ref tuple_of(R... items) {
    Ref t = own(PyTuple_New(sizeof...(R)));
    Py_ssize_t i = 0;
    ((PyTuple_SET_ITEM(t.get(), i++, items.release())), ...);
    return t;
}
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

template <class... A>
Ref call(PyObject* f, A... args) {
    PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
    return own(PyObject_Vectorcall(f, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// Method call through attribute lookup on the receiver (so patched methods apply).
template <class... A>
Ref call_method(PyObject* self, PyObject* name, A... args) {
    PyObject* argv[] = {self, static_cast<PyObject*>(args)...};
    return own(PyObject_VectorcallMethod(name, argv, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// Call with keyword arguments: names is a tuple of str, values follow the positionals.
Ref call_kw(PyObject* f, PyObject* const* args, std::size_t npos, PyObject* kwnames);

// The exact-type refusal: "Argument 'x' has incorrect type (expected str, got int)".
[[noreturn]] void raise_arg_type(const char* arg, const char* expected, PyObject* got);

// `print` as code of the running module would see it: the module's own
// global when it has one, else the builtin (which writes to the current
// sys.stdout).
Ref print_function();
// Print one line through that `print`.
void print_line(PyObject* text);
void print_line(std::string_view utf8);

// ---------------------------------------------------------------------------
// Exported functions

struct Param {
    enum Kind : unsigned char { REQUIRED, NONE, TRUE_, FALSE_, STR, INT };
    const char* name;
    Kind kind = REQUIRED;
    const char* sdef = nullptr;
    long idef = 0;
};

struct Call;
using Impl = Ref (*)(Call&);

struct FuncSpec {
    const char* name;
    const char* qualname;
    const char* doc;             // exact __doc__, or nullptr
    const char* text_signature;  // e.g. "(texto)"; nullptr for none
    const Param* params;
    int nparams;
    const char* const* annotations;  // pairs name, annotation; terminated by nullptr
    Impl impl;
};

constexpr int kMaxParams = 12;

struct Call {
    PyObject* module;  // the module whose namespace the function reads
    PyObject* func;    // the Function object itself
    const FuncSpec* spec;
    PyObject* args[kMaxParams];  // borrowed, every slot filled (defaults applied)

    PyObject* operator[](int i) const noexcept { return args[i]; }
    // Exact-type checks with the refusal text above.
    PyObject* str_arg(int i) const;           // exact str
    PyObject* str_or_none_arg(int i) const;   // exact str or None
    PyObject* list_arg(int i) const;          // exact list
    PyObject* dict_arg(int i) const;          // exact dict
    // A global of the module, read now; NameError when missing.
    Ref global(PyObject* name) const;
    // The same, but an empty Ref when missing.
    Ref global_opt(PyObject* name) const;
    // Whether o is still the function `spec` of this very module (so its
    // C++ body may run directly, reading this module's namespace).
    bool is_own(PyObject* o, const FuncSpec* spec) const noexcept;
};

// Create the Function type for a module (call once from the module's exec
// and keep the result in module state).
Ref make_function_type(PyObject* module);
// A Function object bound to module's namespace.
Ref make_function(PyObject* func_type, PyObject* module, const FuncSpec* spec);
// Create and set a module attribute for each spec.
void add_functions(PyObject* module, PyObject* func_type, const FuncSpec* const* specs, int n);
// The spec behind a Function object, or nullptr when o is something else.
const FuncSpec* function_spec(PyObject* o) noexcept;
// The module whose namespace a Function object reads, or nullptr.
PyObject* function_module(PyObject* o) noexcept;
// When o is the exported function `name` of any of our extension modules,
// the module whose namespace it reads (borrowed); else nullptr. Each
// extension links its own copy of this layer, so function_spec does not
// recognise another module's functions; this does.
PyObject* sibling_function_module(PyObject* o, const char* name) noexcept;

// A module global, read now (NameError when missing).
Ref module_global(PyObject* module, PyObject* name);
// A module global, or an empty Ref when missing.
Ref module_global_opt(PyObject* module, PyObject* name);

}  // namespace sc::py
