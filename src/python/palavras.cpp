// scrivane._palavras: the words of a PDF text page measured from PDFium's
// character boxes in one call (see src/core/palavras_pdf.hpp), and turned
// into the layout's words when they are asked for; and the tokens of a page's
// folded words, each with its word, for scrivane.grounding. Both measure and
// tokenize in Python when this module is missing.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
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

constexpr Param kHifensParams[] = {
    {"partes", "list"}, {"palavra", "list"}, {"palavras", "list"}, {"fim_de_linha", "Sequence[bool]"}};

std::string_view token_view(PyObject* o) {
    if (!PyUnicode_Check(o)) raise_arg_type("partes", "list[str]", o);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(o, &size);
    if (data == nullptr) throw Error{};
    return {data, static_cast<std::size_t>(size)};
}

// The tokens to join with the next one: at the end of each line, a word's last token with the next
// word's first, when the next word starts with a letter and the word ends in a hyphen or the two
// tokens joined are a token of the page (or a word broken at such a hyphen); a word so joined does
// not join the following line in turn.  The page's tokens are ``partes``, ``palavra`` gives each
// token's word.
Ref hifens(Call& c) {
    PyObject* parts = c.list_arg(param(kHifensParams, "partes"));
    PyObject* token_word = c.list_arg(param(kHifensParams, "palavra"));
    PyObject* words = c.list_arg(param(kHifensParams, "palavras"));
    Ref ends = own(PySequence_Fast(c[param(kHifensParams, "fim_de_linha")], "fim_de_linha must be a sequence"));
    const Py_ssize_t n_tokens = PyList_GET_SIZE(parts);
    if (PyList_GET_SIZE(token_word) != n_tokens) {
        PyErr_SetString(PyExc_ValueError, "palavra: one word per token");
        throw Error{};
    }
    std::vector<Py_ssize_t> word_of(static_cast<std::size_t>(n_tokens));
    for (Py_ssize_t t = 0; t < n_tokens; ++t) {
        const Py_ssize_t w = PyLong_AsSsize_t(PyList_GET_ITEM(token_word, t));
        if (w == -1 && PyErr_Occurred()) throw Error{};
        word_of[static_cast<std::size_t>(t)] = w;
    }
    struct Candidate {
        Py_ssize_t word, token;
        bool hyphen;
    };
    std::vector<Candidate> candidates;
    bool all_hyphens = true;
    const Py_ssize_t n_words = PyList_GET_SIZE(words);
    const Py_ssize_t n_ends = std::min(PySequence_Fast_GET_SIZE(ends.get()), n_words - 1);
    for (Py_ssize_t i = 0; i < n_ends; ++i) {
        const int line_end = PyObject_IsTrue(PySequence_Fast_GET_ITEM(ends.get(), i));
        if (line_end < 0) throw Error{};
        if (!line_end) continue;
        // The word's last token: the last one whose word is at most i.
        const auto after = std::upper_bound(word_of.begin(), word_of.end(), i);
        const Py_ssize_t t = (after - word_of.begin()) - 1;
        if (t < 0 || t >= n_tokens - 1 || word_of[static_cast<std::size_t>(t)] != i ||
            word_of[static_cast<std::size_t>(t) + 1] != i + 1)
            continue;
        PyObject* next = PyList_GET_ITEM(words, i + 1);
        PyObject* word = PyList_GET_ITEM(words, i);
        if (!PyUnicode_Check(next) || !PyUnicode_Check(word)) raise_arg_type("palavras", "list[str]", next);
        if (PyUnicode_GET_LENGTH(next) == 0 || !Py_UNICODE_ISALPHA(PyUnicode_READ_CHAR(next, 0))) continue;
        const Py_ssize_t size = PyUnicode_GET_LENGTH(word);
        if (size == 0) {
            PyErr_SetString(PyExc_IndexError, "string index out of range");
            throw Error{};
        }
        const bool hyphen = PyUnicode_READ_CHAR(word, size - 1) == U'-';
        all_hyphens = all_hyphens && hyphen;
        candidates.push_back({i, t, hyphen});
    }
    auto joined = [&](Py_ssize_t t) {
        std::string both(token_view(PyList_GET_ITEM(parts, t)));
        both += token_view(PyList_GET_ITEM(parts, t + 1));
        return both;
    };
    // Of the pairs joined at a line end without a hyphen, those that are whole elsewhere: a token of
    // the page, or a word broken at a hyphen ending a line.  Only the pairs are hashed into a set;
    // the page's tokens are looked up in it.
    std::vector<std::string> pairs(candidates.size());
    std::unordered_set<std::string_view> wanted, whole;
    if (!all_hyphens) {
        wanted.reserve(candidates.size());
        for (std::size_t k = 0; k < candidates.size(); ++k)
            if (!candidates[k].hyphen) wanted.insert(pairs[k] = joined(candidates[k].token));
        for (Py_ssize_t t = 0; t < n_tokens; ++t) {
            const auto found = wanted.find(token_view(PyList_GET_ITEM(parts, t)));
            if (found != wanted.end()) whole.insert(*found);
        }
        for (const auto& k : candidates) {
            if (!k.hyphen) continue;
            const auto found = wanted.find(joined(k.token));
            if (found != wanted.end()) whole.insert(*found);
        }
    }
    Ref out = own(PyList_New(0));
    Py_ssize_t joined_after = -1;
    for (std::size_t n = 0; n < candidates.size(); ++n) {
        const auto& k = candidates[n];
        if (k.word > joined_after && (k.hyphen || whole.count(pairs[n]))) {
            if (PyList_Append(out.get(), own(PyLong_FromSsize_t(k.token)).get()) < 0) throw Error{};
            joined_after = k.word + 1;
        }
    }
    return out;
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

const FuncSpec kHifensSpec = {
    "hifens", "hifens",
    "Os tokens a unir ao seguinte no fim das linhas de uma página (uma palavra partida na quebra de "
    "linha), dados os tokens, a palavra de cada um, as palavras e onde as linhas terminam (uso interno).",
    kHifensParams, 4, "list[int]", hifens,
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
        const FuncSpec* specs[] = {&kMedirSpec, &kMontarSpec, &kTokensSpec, &kJuntarSpec, &kHifensSpec};
        add_functions(mod, ftype.get(), specs, 5);
    });
}

}  // namespace

SC_DEFINE_MODULE(_palavras, "scrivane._palavras", "Palavras de páginas de PDF medidas pelo PDFium (uso interno).",
                 exec_module)
