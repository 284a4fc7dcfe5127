// scrivane._selection: keyword counts per page for the engine's page
// selection, over the C++ core's folding. The engine falls back to its
// pure-Python count when this module is missing.
#include <new>
#include <string>
#include <vector>

#include "../core/page_search.hpp"
#include "binding.hpp"
#include "module.hpp"
#include "text.hpp"

namespace {

using namespace sc::py;

constexpr Param kParams[] = {{"pages", "list[str]"}, {"keywords", "list[str]"}};

struct PageView {
    int kind;
    const void* data;
    std::size_t n;
};

Ref keyword_hits(Call& c) {
    PyObject* pages = c.list_arg(param(kParams, "pages"));
    PyObject* keywords = c.list_arg(param(kParams, "keywords"));

    std::vector<std::u32string> needles;
    const Py_ssize_t nk = PyList_GET_SIZE(keywords);
    for (Py_ssize_t i = 0; i < nk; ++i) {
        PyObject* k = PyList_GET_ITEM(keywords, i);
        if (!PyUnicode_Check(k)) raise_arg_type("keywords", "list[str]", k);
        if (PyUnicode_GET_LENGTH(k) == 0) {
            PyErr_SetString(PyExc_ValueError, "keywords must not be empty");
            throw Error{};
        }
        needles.emplace_back();
        visit_str(k, [&](const auto* d, std::size_t n) { needles.back().assign(d, d + n); });
    }

    // A private copy of the list keeps every page alive while the GIL is
    // released; str objects are immutable.
    Ref held = own(PyList_GetSlice(pages, 0, PyList_GET_SIZE(pages)));
    const Py_ssize_t np = PyList_GET_SIZE(held.get());
    std::vector<PageView> views;
    views.reserve(static_cast<std::size_t>(np));
    for (Py_ssize_t i = 0; i < np; ++i) {
        PyObject* p = PyList_GET_ITEM(held.get(), i);
        if (!PyUnicode_Check(p)) raise_arg_type("pages", "list[str]", p);
        views.push_back({static_cast<int>(PyUnicode_KIND(p)), PyUnicode_DATA(p),
                         static_cast<std::size_t>(PyUnicode_GET_LENGTH(p))});
    }

    std::vector<std::size_t> counts(views.size(), 0);
    bool out_of_memory = false;
    std::string failure;  // no C++ exception may cross the GIL boundary
    Py_BEGIN_ALLOW_THREADS
    try {
        sc::pages::KeywordCounter counter(needles);
        if (!needles.empty()) {
            for (std::size_t i = 0; i < views.size(); ++i) {
                const PageView& v = views[i];
                switch (v.kind) {
                    case PyUnicode_1BYTE_KIND:
                        counts[i] = counter.count(static_cast<const std::uint8_t*>(v.data), v.n);
                        break;
                    case PyUnicode_2BYTE_KIND:
                        counts[i] = counter.count(static_cast<const std::uint16_t*>(v.data), v.n);
                        break;
                    default:
                        counts[i] = counter.count(static_cast<const char32_t*>(v.data), v.n);
                }
            }
        }
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    } catch (const std::exception& e) {
        failure = e.what();
    }
    Py_END_ALLOW_THREADS
    if (out_of_memory) throw std::bad_alloc();
    if (!failure.empty()) {
        PyErr_SetString(PyExc_SystemError, failure.c_str());
        throw Error{};
    }

    Ref out = own(PyList_New(np));
    for (Py_ssize_t i = 0; i < np; ++i)
        PyList_SET_ITEM(out.get(), i, own(PyLong_FromSize_t(counts[static_cast<std::size_t>(i)])).release());
    return out;
}

const FuncSpec kHitsSpec = {
    "keyword_hits",
    "keyword_hits",
    "Quantas vezes as palavras-chave (já normalizadas) aparecem em cada página normalizada.",
    kParams,
    2,
    "list[int]",
    keyword_hits,
};

int exec_module(PyObject* m) {
    return guarded_exec(m, [](PyObject* mod) {
        Ref ftype = make_function_type(mod);
        state_of(mod)->slots[0] = Py_NewRef(ftype.get());
        const FuncSpec* specs[] = {&kHitsSpec};
        add_functions(mod, ftype.get(), specs, 1);
    });
}

}  // namespace

SC_DEFINE_MODULE(_selection, "scrivane._selection", "Contagem de palavras-chave por página (uso interno).",
                 exec_module)
