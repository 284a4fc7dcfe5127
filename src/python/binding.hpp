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
// - The C boundary: every entry point runs its body under `boundary`, which
//   turns any C++ exception into a Python one, and every call out of C++
//   into the interpreter (and every call of an exported function) counts
//   against the interpreter's recursion limit, so a cycle of calls with no
//   Python frame in between ends in RecursionError instead of a crash.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <iterator>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace sc::py {

// A Python exception is set; the entry point returns NULL.
struct Error {};

// Sets the Python exception for the C++ exception being handled: Error
// leaves the one already set, bad_alloc becomes MemoryError, any other
// exception SystemError with its what() text (decoded leniently). Call only
// inside a catch block.
void translate_exception() noexcept;

// Runs body() at a C boundary: its result, or `failed` with a Python
// exception set when anything was thrown.
template <class R, class F>
R boundary(R failed, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        translate_exception();
        return failed;
    }
}

namespace detail {
extern thread_local const char* t_stack_floor;
const char* find_stack_floor() noexcept;
[[noreturn]] void raise_stack_exhausted();
}  // namespace detail

// One level of the interpreter's recursion limit, held for a scope. The
// level is also refused when this thread's C stack is nearly used up, since
// the limit counts calls, not bytes (a small thread stack, or large frames
// in an instrumented build, would otherwise overflow first).
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where = " while calling a Python object") {
        const char* floor = detail::t_stack_floor;
        if (!floor) [[unlikely]]
            floor = detail::find_stack_floor();
        if (static_cast<const char*>(__builtin_frame_address(0)) < floor) [[unlikely]]
            detail::raise_stack_exhausted();
        if (Py_EnterRecursiveCall(where)) throw Error{};
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

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

// ---------------------------------------------------------------------------
// Names (attribute names, keys and fixed texts)
//
// Each module lists the texts it uses as names in a table; they are interned
// when the module executes and kept in its state, every result checked (a
// failure fails the import and is never remembered). SC_NAME("x") finds the
// text's slot at compile time (a text missing from the table does not
// compile) and reads it from the state of the module running on this thread.

struct NameTable {
    const std::string_view* names;
    std::size_t size;
};

// Names the binding layer itself uses; every module's names come after them.
inline constexpr std::string_view kBindingNames[] = {"print", "get"};
inline constexpr std::size_t kBindingNameCount = std::size(kBindingNames);
inline constexpr NameTable kNoModuleNames{nullptr, 0};

consteval int name_index(const NameTable& table, std::string_view text) {
    for (std::size_t i = 0; i < kBindingNameCount; ++i)
        if (kBindingNames[i] == text) return static_cast<int>(i);
    for (std::size_t i = 0; i < table.size; ++i)
        if (table.names[i] == text) return static_cast<int>(kBindingNameCount + i);
    throw "SC_NAME: this text is missing from the module's name table";
}

namespace detail {
extern thread_local PyObject* const* t_names;
extern thread_local const NameTable* t_table;
[[noreturn]] void raise_no_name();
}  // namespace detail

inline PyObject* name_at(int index, [[maybe_unused]] const NameTable* table) {
#ifndef NDEBUG
    // A module's own names are read only while that very module runs.
    if (table != &kNoModuleNames && table != detail::t_table) detail::raise_no_name();
#endif
    PyObject* const* names = detail::t_names;
    PyObject* o = names ? names[index] : nullptr;
    if (!o) [[unlikely]]
        detail::raise_no_name();
    return o;
}

// Declares the module's name table (once per module source, before any use).
#define SC_MODULE_NAMES(ARRAY) \
    constexpr ::sc::py::NameTable sc_module_names { ARRAY, std::size(ARRAY) }

#define SC_NAME(lit) (::sc::py::name_at(::sc::py::name_index(sc_module_names, lit), &sc_module_names))


// The module whose function, property or initialisation is running on this
// thread, for a scope: its namespace is where `print` is looked up, its
// state holds the names SC_NAME reads.
class ModuleScope {
public:
    explicit ModuleScope(PyObject* module) noexcept;
    ~ModuleScope();
    ModuleScope(const ModuleScope&) = delete;
    ModuleScope& operator=(const ModuleScope&) = delete;

private:
    PyObject* saved_module_;
    PyObject* const* saved_names_;
    const NameTable* saved_table_;
};

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
    RecursionGuard depth;
    PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
    return own(PyObject_Vectorcall(f, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// Method call through attribute lookup on the receiver (so patched methods apply).
template <class... A>
Ref call_method(PyObject* self, PyObject* name, A... args) {
    RecursionGuard depth;
    PyObject* argv[] = {self, static_cast<PyObject*>(args)...};
    return own(PyObject_VectorcallMethod(name, argv, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// fn(item) for each item of an iterable (the item is borrowed for the call);
// a fn returning bool stops the walk by returning false.
template <class F>
void for_each(PyObject* iterable, F&& fn) {
    Ref it = own(PyObject_GetIter(iterable));
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref item = Ref::steal(raw);
        if constexpr (std::is_same_v<decltype(fn(item.get())), bool>) {
            if (!fn(item.get())) return;
        } else {
            fn(item.get());
        }
    }
    if (PyErr_Occurred()) throw Error{};
}

// `item in container`
inline bool contains(PyObject* container, PyObject* item) {
    const int r = PySequence_Contains(container, item);
    if (r < 0) throw Error{};
    return r != 0;
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

// One parameter of an exported function: the parser, __text_signature__
// and __annotations__ are all read from the same table, so they cannot
// disagree.
struct Param {
    enum Kind : unsigned char { REQUIRED, NONE, TRUE_, FALSE_, STR, INT };
    const char* name;
    const char* annotation = nullptr;  // as written in the signature, or none
    Kind kind = REQUIRED;              // required, or the kind of its default
    const char* sdef = nullptr;        // STR default
    long idef = 0;                     // INT default
};

// The slot of the parameter called `name` in a table, found at compile time
// (a name missing from the table does not compile).
template <std::size_t N>
consteval int param(const Param (&table)[N], std::string_view name) {
    for (std::size_t i = 0; i < N; ++i)
        if (std::string_view(table[i].name) == name) return static_cast<int>(i);
    throw "param: no parameter of that name";
}

struct Call;
using Impl = Ref (*)(Call&);

struct FuncSpec {
    const char* name;
    const char* qualname;
    const char* doc;  // exact __doc__, or nullptr
    const Param* params;
    int nparams;
    const char* returns;  // return annotation, or nullptr
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
