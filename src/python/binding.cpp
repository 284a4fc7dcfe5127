#include "binding.hpp"
#include "module.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#if defined(__GLIBC__)
#include <pthread.h>
#endif

namespace sc::py {

Ref call_kw(PyObject* f, PyObject* const* args, std::size_t npos, PyObject* kwnames) {
    RecursionGuard depth;
    return own(PyObject_Vectorcall(f, args, npos, kwnames));
}

void translate_exception() noexcept {
    try {
        throw;
    } catch (const Error&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        const char* what = e.what();
        // what() need not be UTF-8: undecodable bytes show as \xNN escapes.
        Ref msg = Ref::steal(
            PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)), "backslashreplace"));
        if (msg) PyErr_SetObject(PyExc_SystemError, msg.get());  // else MemoryError is set
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

void raise_arg_type(const char* arg, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg,
                 expected, Py_TYPE(got)->tp_name);
    throw Error{};
}

// The binding layer reads only the names every module interns.
constexpr const NameTable& sc_module_names = kNoModuleNames;

namespace {
// The module of the exported function running on this thread (set around
// each call), whose namespace `print` is looked up in first.
thread_local PyObject* t_current_module = nullptr;
}  // namespace

namespace detail {
thread_local PyObject* const* t_names = nullptr;
thread_local const NameTable* t_table = nullptr;

thread_local const char* t_stack_floor = nullptr;

const char* find_stack_floor() noexcept {
    // Lowest address of this thread's stack plus a reserve for the frames
    // that run between two guarded calls (an eighth of the stack, at least
    // 256 KiB). The stack grows down on every platform we build for.
    const char* floor = reinterpret_cast<const char*>(1);
#if defined(__GLIBC__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* addr = nullptr;
        std::size_t size = 0;
        if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr) {
            const std::size_t reserve = std::max<std::size_t>(size / 8, 256 * 1024);
            if (reserve < size) floor = static_cast<const char*>(addr) + reserve;
        }
        pthread_attr_destroy(&attr);
    }
#endif
    t_stack_floor = floor;
    return floor;
}

void raise_stack_exhausted() {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded (C stack nearly exhausted)");
    throw Error{};
}

void raise_no_name() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "scrivane_contract: module state is not available");
    throw Error{};
}
}  // namespace detail

ModuleScope::ModuleScope(PyObject* module) noexcept
    : saved_module_(t_current_module), saved_names_(detail::t_names), saved_table_(detail::t_table) {
    t_current_module = module;
    ModuleState* st = state_of(module);
    if (!st) PyErr_Clear();  // not one of ours: SC_NAME then raises
    detail::t_names = st ? st->names : nullptr;
    detail::t_table = st ? st->table : nullptr;
}

ModuleScope::~ModuleScope() {
    t_current_module = saved_module_;
    detail::t_names = saved_names_;
    detail::t_table = saved_table_;
}

Ref print_function() {
    if (t_current_module) {
        Ref own_print = module_global_opt(t_current_module, SC_NAME("print"));
        if (own_print) return own_print;
    }
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    if (!builtins) throw Error{};
    PyObject* print = nullptr;
    if (PyDict_GetItemRef(builtins, SC_NAME("print"), &print) <= 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'print' is not defined");
        throw Error{};
    }
    return Ref::steal(print);
}

void print_line(PyObject* text) {
    Ref p = print_function();
    call(p.get(), text);
}

void print_line(std::string_view utf8) {
    Ref s = str(utf8);
    print_line(s.get());
}

Ref mapping_get(PyObject* m, PyObject* key, PyObject* dflt) {
    if (PyDict_CheckExact(m)) {
        PyObject* v = nullptr;
        const int r = PyDict_GetItemRef(m, key, &v);
        if (r < 0) throw Error{};
        return r ? Ref::steal(v) : Ref::borrow(dflt);
    }
    PyObject* argv[] = {m, key, dflt};
    return own(PyObject_VectorcallMethod(SC_NAME("get"), argv, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref module_global_opt(PyObject* module, PyObject* name) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    if (!dict) throw Error{};
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(dict, name, &v) < 0) throw Error{};
    return Ref::steal(v);
}

Ref module_global(PyObject* module, PyObject* name) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    if (!dict) throw Error{};
    PyObject* v = nullptr;
    const int r = PyDict_GetItemRef(dict, name, &v);
    if (r < 0) throw Error{};
    if (r == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw Error{};
    }
    return Ref::steal(v);
}

PyObject* Call::str_arg(int i) const {
    if (!PyUnicode_CheckExact(args[i])) raise_arg_type(spec->params[i].name, "str", args[i]);
    return args[i];
}
PyObject* Call::str_or_none_arg(int i) const {
    if (args[i] != Py_None && !PyUnicode_CheckExact(args[i])) raise_arg_type(spec->params[i].name, "str", args[i]);
    return args[i];
}
PyObject* Call::list_arg(int i) const {
    if (!PyList_CheckExact(args[i])) raise_arg_type(spec->params[i].name, "list", args[i]);
    return args[i];
}
PyObject* Call::dict_arg(int i) const {
    if (!PyDict_CheckExact(args[i])) raise_arg_type(spec->params[i].name, "dict", args[i]);
    return args[i];
}
Ref Call::global(PyObject* name) const { return module_global(module, name); }
Ref Call::global_opt(PyObject* name) const { return module_global_opt(module, name); }

// ---------------------------------------------------------------------------
// The Function type

namespace {

struct FuncObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FuncSpec* spec;
    PyObject* module;       // namespace the function reads
    PyObject* names;        // tuple of interned parameter names
    PyObject* defaults;     // tuple, one slot per parameter (NULL-free: None for required)
    PyObject* annotations;  // dict
    PyObject* text_signature;  // str
    PyObject* module_name;
    PyObject* dict;
    PyObject* weakrefs;
};

Ref default_value(const Param& p) {
    switch (p.kind) {
        case Param::NONE: return none();
        case Param::TRUE_: return boolean(true);
        case Param::FALSE_: return boolean(false);
        case Param::STR: return str(p.sdef);
        case Param::INT: return own(PyLong_FromLong(p.idef));
        default: return none();
    }
}

PyObject* qualname_of(FuncObject* f) { return PyUnicode_FromString(f->spec->qualname); }

[[noreturn]] void raise_missing(FuncObject* f, PyObject** a) {
    const FuncSpec* s = f->spec;
    std::string names;
    int missing = 0;
    for (int i = 0; i < s->nparams; ++i)
        if (!a[i] && s->params[i].kind == Param::REQUIRED) ++missing;
    int k = 0;
    for (int i = 0; i < s->nparams; ++i) {
        if (a[i] || s->params[i].kind != Param::REQUIRED) continue;
        ++k;
        if (k > 1) {
            if (missing == 2)
                names += " and ";
            else if (k == missing)
                names += ", and ";
            else
                names += ", ";
        }
        names += "'";
        names += s->params[i].name;
        names += "'";
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %i required positional argument%s: %s", s->qualname, missing,
                 missing == 1 ? "" : "s", names.c_str());
    throw Error{};
}

[[noreturn]] void raise_too_many(FuncObject* f, Py_ssize_t given) {
    const FuncSpec* s = f->spec;
    int required = 0;
    for (int i = 0; i < s->nparams; ++i)
        if (s->params[i].kind == Param::REQUIRED) ++required;
    std::string sig;
    bool plural;
    if (required != s->nparams) {
        sig = "from " + std::to_string(required) + " to " + std::to_string(s->nparams);
        plural = true;
    } else {
        sig = std::to_string(s->nparams);
        plural = s->nparams != 1;
    }
    PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zd %s given", s->qualname, sig.c_str(),
                 plural ? "s" : "", given, given == 1 ? "was" : "were");
    throw Error{};
}

// The slot of the parameter called `key`, or -1.
Py_ssize_t param_slot(FuncObject* f, PyObject* key) {
    const Py_ssize_t np = f->spec->nparams;
    for (Py_ssize_t i = 0; i < np; ++i)
        if (PyTuple_GET_ITEM(f->names, i) == key) return i;
    for (Py_ssize_t i = 0; i < np; ++i) {
        const int eq = PyUnicode_Compare(PyTuple_GET_ITEM(f->names, i), key);
        if (eq == 0) return i;
        if (PyErr_Occurred()) throw Error{};
    }
    return -1;
}

// Fills c.args from positional and keyword arguments, defaults applied, with
// the interpreter's own TypeError texts.
void bind_arguments(FuncObject* f, Call& c, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const FuncSpec* s = f->spec;
    PyObject** a = c.args;
    for (int i = 0; i < kMaxParams; ++i) a[i] = nullptr;
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t np = s->nparams;
    for (Py_ssize_t i = 0; i < n && i < np; ++i) a[i] = args[i];
    const Py_ssize_t nk = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nk; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        const Py_ssize_t idx = param_slot(f, key);
        if (idx < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", s->qualname, key);
            throw Error{};
        }
        if (a[idx]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", s->qualname, key);
            throw Error{};
        }
        a[idx] = args[n + j];
    }
    if (n > np) raise_too_many(f, n);
    for (Py_ssize_t i = 0; i < np; ++i) {
        if (a[i]) continue;
        if (s->params[i].kind == Param::REQUIRED) raise_missing(f, a);
        a[i] = PyTuple_GET_ITEM(f->defaults, i);
    }
}

PyObject* func_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FuncObject*>(self);
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        Call c;
        c.module = f->module;
        c.func = self;
        c.spec = f->spec;
        bind_arguments(f, c, args, nargsf, kwnames);
        // Exported functions may call each other with no Python frame in
        // between; each call is one level of the recursion limit.
        RecursionGuard depth;
        ModuleScope scope(f->module);
        return f->spec->impl(c).release();
    });
}

int func_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FuncObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->names);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->text_signature);
    Py_VISIT(f->module_name);
    Py_VISIT(f->dict);
    return 0;
}

int func_clear(PyObject* self) {
    auto* f = reinterpret_cast<FuncObject*>(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->names);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->text_signature);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->dict);
    return 0;
}

void func_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto* f = reinterpret_cast<FuncObject*>(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    func_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* func_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* func_repr(PyObject* self) {
    auto* f = reinterpret_cast<FuncObject*>(self);
    return PyUnicode_FromFormat("<function %s at %p>", f->spec->qualname, self);
}

PyObject* get_name(PyObject* self, void*) {
    return PyUnicode_FromString(reinterpret_cast<FuncObject*>(self)->spec->name);
}
PyObject* get_qualname(PyObject* self, void*) { return qualname_of(reinterpret_cast<FuncObject*>(self)); }
PyObject* get_module(PyObject* self, void*) {
    auto* f = reinterpret_cast<FuncObject*>(self);
    return Py_NewRef(f->module_name ? f->module_name : Py_None);
}
PyObject* get_doc(PyObject* self, void*) {
    const char* d = reinterpret_cast<FuncObject*>(self)->spec->doc;
    if (!d) Py_RETURN_NONE;
    return PyUnicode_FromString(d);
}
PyObject* get_text_signature(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FuncObject*>(self)->text_signature);
}
PyObject* get_annotations(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FuncObject*>(self)->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (!value || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    auto* f = reinterpret_cast<FuncObject*>(self);
    Py_XSETREF(f->annotations, Py_NewRef(value));
    return 0;
}

// Pickled by reference, like a Python function: the qualified name in its module.
PyObject* func_reduce(PyObject* self, PyObject*) { return get_qualname(self, nullptr); }

PyMethodDef func_methods[] = {
    {"__reduce__", func_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef func_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef func_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FuncObject, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FuncObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FuncObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot func_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(func_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(func_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(func_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(func_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(func_repr)},
    {Py_tp_getset, func_getset},
    {Py_tp_methods, func_methods},
    {Py_tp_members, func_members},
    {0, nullptr},
};

PyType_Spec func_type_spec = {
    "scrivane_contract.function",
    sizeof(FuncObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    func_slots,
};

}  // namespace

Ref make_function_type(PyObject* module) {
    return own(PyType_FromModuleAndSpec(module, &func_type_spec, nullptr));
}

const FuncSpec* function_spec(PyObject* o) noexcept {
    PyTypeObject* tp = Py_TYPE(o);
    if (tp->tp_dealloc != func_dealloc) return nullptr;
    return reinterpret_cast<FuncObject*>(o)->spec;
}

PyObject* function_module(PyObject* o) noexcept {
    if (!function_spec(o)) return nullptr;
    return reinterpret_cast<FuncObject*>(o)->module;
}

bool Call::is_own(PyObject* o, const FuncSpec* s) const noexcept {
    return function_spec(o) == s && function_module(o) == module;
}

PyObject* sibling_function_module(PyObject* o, const char* name) noexcept {
    // Every module's Function type comes from func_type_spec, so it carries
    // that spec's name and object size; the layout is this file's.
    PyTypeObject* tp = Py_TYPE(o);
    if (!PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE) || std::strcmp(tp->tp_name, func_type_spec.name) != 0 ||
        tp->tp_basicsize != static_cast<Py_ssize_t>(sizeof(FuncObject)))
        return nullptr;
    auto* f = reinterpret_cast<FuncObject*>(o);
    if (std::strcmp(f->spec->name, name) != 0) return nullptr;
    return f->module;
}

// "(a, b=None, c='x')": each default as ascii() writes it, the form
// inspect.signature reads back.
Ref text_signature(const FuncSpec* spec, PyObject* defaults) {
    Ref parts = own(PyList_New(0));
    for (int i = 0; i < spec->nparams; ++i) {
        Ref part = str(spec->params[i].name);
        if (spec->params[i].kind != Param::REQUIRED) {
            Ref value = own(PyObject_ASCII(PyTuple_GET_ITEM(defaults, i)));
            part = own(PyUnicode_FromFormat("%U=%U", part.get(), value.get()));
        }
        check(PyList_Append(parts.get(), part.get()));
    }
    Ref sep = str(", ");
    Ref inner = own(PyUnicode_Join(sep.get(), parts.get()));
    return own(PyUnicode_FromFormat("(%U)", inner.get()));
}

// {parameter: annotation, ..., "return": annotation}, as quoted strings.
Ref annotations(const FuncSpec* spec) {
    Ref ann = own(PyDict_New());
    for (int i = 0; i < spec->nparams; ++i) {
        if (!spec->params[i].annotation) continue;
        Ref v = str(spec->params[i].annotation);
        check(PyDict_SetItemString(ann.get(), spec->params[i].name, v.get()));
    }
    if (spec->returns) {
        Ref v = str(spec->returns);
        check(PyDict_SetItemString(ann.get(), "return", v.get()));
    }
    return ann;
}

Ref make_function(PyObject* func_type, PyObject* module, const FuncSpec* spec) {
    if (spec->nparams > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters");
        throw Error{};
    }
    Ref names = own(PyTuple_New(spec->nparams));
    Ref defaults = own(PyTuple_New(spec->nparams));
    for (int i = 0; i < spec->nparams; ++i) {
        PyObject* nm = PyUnicode_InternFromString(spec->params[i].name);
        if (!nm) throw Error{};
        PyTuple_SET_ITEM(names.get(), i, nm);
        PyTuple_SET_ITEM(defaults.get(), i, default_value(spec->params[i]).release());
    }
    Ref signature = text_signature(spec, defaults.get());
    Ref ann = annotations(spec);
    Ref modname = own(PyModule_GetNameObject(module));
    auto* tp = reinterpret_cast<PyTypeObject*>(func_type);
    auto* f = PyObject_GC_New(FuncObject, tp);
    if (!f) throw Error{};
    f->vectorcall = func_vectorcall;
    f->spec = spec;
    f->module = Py_NewRef(module);
    f->names = names.release();
    f->defaults = defaults.release();
    f->annotations = ann.release();
    f->text_signature = signature.release();
    f->module_name = modname.release();
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

void add_functions(PyObject* module, PyObject* func_type, const FuncSpec* const* specs, int n) {
    for (int i = 0; i < n; ++i) {
        Ref f = make_function(func_type, module, specs[i]);
        check(PyModule_AddObjectRef(module, specs[i]->name, f.get()));
    }
}

}  // namespace sc::py

namespace sc::py {

int state_traverse(PyObject* m, visitproc visit, void* arg) {
    ModuleState* st = state_of(m);
    if (!st) return 0;
    for (PyObject* o : st->slots) Py_VISIT(o);
    return 0;
}

int state_clear(PyObject* m) {
    ModuleState* st = state_of(m);
    if (!st) return 0;
    for (PyObject*& o : st->slots) Py_CLEAR(o);
    for (PyObject*& o : st->names) Py_CLEAR(o);
    return 0;
}

void intern_names(PyObject* module, const NameTable& table) {
    ModuleState* st = state_of(module);
    if (!st) throw Error{};
    if (kBindingNameCount + table.size > kMaxNames) {
        PyErr_SetString(PyExc_SystemError, "scrivane_contract: too many names for module state");
        throw Error{};
    }
    st->table = &table;
    auto intern = [&](std::size_t slot, std::string_view text) {
        PyObject* o = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        if (!o) throw Error{};
        PyUnicode_InternInPlace(&o);
        Py_XSETREF(st->names[slot], o);
    };
    for (std::size_t i = 0; i < kBindingNameCount; ++i) intern(i, kBindingNames[i]);
    for (std::size_t i = 0; i < table.size; ++i) intern(kBindingNameCount + i, table.names[i]);
}

void state_free(void* m) { state_clear(static_cast<PyObject*>(m)); }

}  // namespace sc::py
