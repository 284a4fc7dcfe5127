// scrivane._palavras: the words of a PDF text page measured from PDFium's
// character boxes in one call (see src/core/palavras_pdf.hpp), and turned
// into the layout's words when they are asked for; and the tokens of a page's
// folded words, each with its word, for scrivane.grounding. Both measure and
// tokenize in Python when this module is missing.
#include <algorithm>
#include <cstring>
#include <vector>

#include "../core/palavras_pdf.hpp"
#include "binding.hpp"
#include "module.hpp"
#include "text.hpp"

namespace {

using namespace sc::py;
using sc::layout::MeasuredWord;

void* address_arg(PyObject* o, const char* name) {
    if (!PyLong_Check(o)) raise_arg_type(name, "int", o);
    void* p = PyLong_AsVoidPtr(o);
    if (p == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "%s must not be a null address", name);
        throw Error{};
    }
    return p;
}

constexpr Param kMedirParams[] = {{"texto", "str"},  {"pagina", "int"},  {"caixa", "int"},
                                  {"indice", "int"}, {"alinhado", "bool"}, {"altura", "float"}};

Ref medir(Call& c) {
    PyObject* texto = c.str_arg(param(kMedirParams, "texto"));
    void* page = address_arg(c[param(kMedirParams, "pagina")], "pagina");
    auto box = reinterpret_cast<sc::layout::CharBoxFn>(address_arg(c[param(kMedirParams, "caixa")], "caixa"));
    auto index =
        reinterpret_cast<sc::layout::CharIndexFn>(address_arg(c[param(kMedirParams, "indice")], "indice"));
    const bool aligned = truth(c[param(kMedirParams, "alinhado")]);
    const double height = PyFloat_AsDouble(c[param(kMedirParams, "altura")]);
    if (height == -1.0 && PyErr_Occurred()) throw Error{};
    std::vector<MeasuredWord> words = visit_str(texto, [&](const auto* data, std::size_t n) {
        return sc::layout::measure_words(data, n, aligned, page, box, index, height);
    });
    return own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(words.data()),
                                         static_cast<Py_ssize_t>(words.size() * sizeof(MeasuredWord))));
}

constexpr Param kMontarParams[] = {{"texto", "str"}, {"medidas", "bytes"}, {"tipo", "type"}};

Ref montar(Call& c) {
    PyObject* texto = c.str_arg(param(kMontarParams, "texto"));
    PyObject* medidas = c[param(kMontarParams, "medidas")];
    PyObject* tipo = c[param(kMontarParams, "tipo")];
    if (!PyBytes_CheckExact(medidas)) raise_arg_type("medidas", "bytes", medidas);
    if (!PyType_Check(tipo) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(tipo), &PyTuple_Type))
        raise_arg_type("tipo", "a tuple type", tipo);
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(medidas));
    if (size % sizeof(MeasuredWord) != 0) {
        PyErr_SetString(PyExc_ValueError, "medidas: not a whole number of measured words");
        throw Error{};
    }
    const std::size_t n = size / sizeof(MeasuredWord);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(texto);
    auto* type = reinterpret_cast<PyTypeObject*>(tipo);
    Ref words = own(PyTuple_New(static_cast<Py_ssize_t>(n)));
    Ref ends = own(PyList_New(static_cast<Py_ssize_t>(n)));
    Ref hyphen = own(PyUnicode_FromString("-"));
    const char* data = PyBytes_AS_STRING(medidas);
    for (std::size_t k = 0; k < n; ++k) {
        MeasuredWord w;
        std::memcpy(&w, data + k * sizeof(MeasuredWord), sizeof w);
        if (w.start >= w.end || static_cast<Py_ssize_t>(w.end) > length) {
            PyErr_SetString(PyExc_ValueError, "medidas: a word outside the text");
            throw Error{};
        }
        Ref word = own(PyUnicode_Substring(texto, w.start, w.end));
        if (w.flags & sc::layout::kHyphen) word = own(PyUnicode_Concat(word.get(), hyphen.get()));
        Ref item = own(type->tp_alloc(type, 5));
        PyTuple_SET_ITEM(item.get(), 0, word.release());
        PyTuple_SET_ITEM(item.get(), 1, own(PyFloat_FromDouble(w.x0)).release());
        PyTuple_SET_ITEM(item.get(), 2, own(PyFloat_FromDouble(w.y0)).release());
        PyTuple_SET_ITEM(item.get(), 3, own(PyFloat_FromDouble(w.x1)).release());
        PyTuple_SET_ITEM(item.get(), 4, own(PyFloat_FromDouble(w.y1)).release());
        PyTuple_SET_ITEM(words.get(), static_cast<Py_ssize_t>(k), item.release());
        PyList_SET_ITEM(ends.get(), static_cast<Py_ssize_t>(k),
                        Py_NewRef((w.flags & sc::layout::kLineEnd) ? Py_True : Py_False));
    }
    return own(PyTuple_Pack(2, words.get(), ends.get()));
}

constexpr Param kTokensParams[] = {{"dobrado", "str"}};

Ref tokens(Call& c) {
    PyObject* text = c.str_arg(param(kTokensParams, "dobrado"));
    std::vector<sc::layout::Token> found = visit_str(text, [](const auto* data, std::size_t n) {
        return sc::layout::page_tokens(data, n);
    });
    const auto count = static_cast<Py_ssize_t>(found.size());
    Ref parts = own(PyList_New(count));
    Ref words = own(PyList_New(count));
    Ref starts = own(PyList_New(count));
    Ref ends = own(PyList_New(count));
    // Where each token starts and ends in the tokens joined by single spaces.
    std::size_t at = 0;
    for (Py_ssize_t k = 0; k < count; ++k) {
        const auto& t = found[static_cast<std::size_t>(k)];
        PyList_SET_ITEM(parts.get(), k,
                        own(PyUnicode_Substring(text, static_cast<Py_ssize_t>(t.start),
                                                static_cast<Py_ssize_t>(t.end))).release());
        PyList_SET_ITEM(words.get(), k, own(PyLong_FromSize_t(t.word)).release());
        PyList_SET_ITEM(starts.get(), k, own(PyLong_FromSize_t(at)).release());
        at += t.end - t.start;
        PyList_SET_ITEM(ends.get(), k, own(PyLong_FromSize_t(at)).release());
        ++at;
    }
    Ref space = own(PyUnicode_FromString(" "));
    Ref joined = own(PyUnicode_Join(space.get(), parts.get()));
    return own(PyTuple_Pack(5, parts.get(), words.get(), starts.get(), ends.get(), joined.get()));
}

constexpr Param kJuntarParams[] = {{"palavras", "list"}, {"fim_de_linha", "Sequence[bool]"}};

// The words joined, each followed by a line feed when it ends its line and by a space otherwise, and
// where each word starts in that text (and, last, the text's length).
Ref juntar(Call& c) {
    PyObject* words = c[param(kJuntarParams, "palavras")];
    if (!PyList_CheckExact(words)) raise_arg_type("palavras", "list", words);
    Ref ends = own(PySequence_Fast(c[param(kJuntarParams, "fim_de_linha")], "fim_de_linha must be a sequence"));
    const Py_ssize_t n = PyList_GET_SIZE(words);
    const Py_ssize_t n_ends = PySequence_Fast_GET_SIZE(ends.get());
    Ref starts = own(PyList_New(n + 1));
    std::vector<char> line_end(static_cast<std::size_t>(n), 0);
    Py_ssize_t length = 0;
    Py_UCS4 widest = 127;
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* w = PyList_GET_ITEM(words, k);
        if (!PyUnicode_Check(w)) raise_arg_type("palavras", "list[str]", w);
        PyList_SET_ITEM(starts.get(), k, own(PyLong_FromSsize_t(length)).release());
        length += PyUnicode_GET_LENGTH(w) + 1;
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(w));
        if (k < n_ends) {
            const int truth_value = PyObject_IsTrue(PySequence_Fast_GET_ITEM(ends.get(), k));
            if (truth_value < 0) throw Error{};
            line_end[static_cast<std::size_t>(k)] = static_cast<char>(truth_value);
        }
    }
    PyList_SET_ITEM(starts.get(), n, own(PyLong_FromSsize_t(length)).release());
    Ref joined = own(PyUnicode_New(length, widest));
    Py_ssize_t at = 0;
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* w = PyList_GET_ITEM(words, k);
        const Py_ssize_t size = PyUnicode_GET_LENGTH(w);
        if (PyUnicode_CopyCharacters(joined.get(), at, w, 0, size) < 0) throw Error{};
        at += size;
        PyUnicode_WRITE(PyUnicode_KIND(joined.get()), PyUnicode_DATA(joined.get()), at,
                        line_end[static_cast<std::size_t>(k)] ? U'\n' : U' ');
        ++at;
    }
    return own(PyTuple_Pack(2, joined.get(), starts.get()));
}

const FuncSpec kJuntarSpec = {
    "juntar", "juntar",
    "As palavras unidas, cada uma seguida de uma quebra de linha quando termina a sua linha e de um "
    "espaço nos outros casos, e onde cada uma começa nesse texto (e, por último, o seu comprimento) "
    "(uso interno).",
    kJuntarParams, 2, "tuple[str, list[int]]", juntar,
};

const FuncSpec kTokensSpec = {
    "tokens", "tokens",
    "Os tokens (letras minúsculas e dígitos ASCII) de um texto de palavras já dobradas, separadas por "
    "espaço ou quebra de linha; a palavra (contada a partir de 0) de cada um; onde cada um começa e "
    "termina nos tokens unidos por um espaço; e esse texto unido (uso interno).",
    kTokensParams, 1, "tuple[list[str], list[int], list[int], list[int], str]", tokens,
};

const FuncSpec kMedirSpec = {
    "medir", "medir",
    "As palavras de uma página de texto do PDFium medidas de uma vez (uso interno): ``pagina`` é o "
    "endereço do FPDF_TEXTPAGE aberto, ``caixa`` e ``indice`` os de FPDFText_GetLooseCharBox e "
    "FPDFText_GetCharIndexFromTextIndex; devolve as medidas, para ``montar``.",
    kMedirParams, 6, "bytes", medir,
};

const FuncSpec kMontarSpec = {
    "montar", "montar",
    "As palavras (``tipo``: a tupla nomeada de cada uma) e, para cada uma, se termina a sua linha, a "
    "partir do texto da página e das medidas de ``medir`` (uso interno).",
    kMontarParams, 3, "tuple[tuple, list[bool]]", montar,
};

int exec_module(PyObject* m) {
    return guarded_exec(m, [](PyObject* mod) {
        Ref ftype = make_function_type(mod);
        state_of(mod)->slots[0] = Py_NewRef(ftype.get());
        const FuncSpec* specs[] = {&kMedirSpec, &kMontarSpec, &kTokensSpec, &kJuntarSpec};
        add_functions(mod, ftype.get(), specs, 4);
    });
}

}  // namespace

SC_DEFINE_MODULE(_palavras, "scrivane._palavras", "Palavras de páginas de PDF medidas pelo PDFium (uso interno).",
                 exec_module)
