// scrivane_contract.keywords: is a document a contract, by its keywords.
#include <string>
#include <vector>

#include "../core/search.hpp"
#include "binding.hpp"
#include "module.hpp"
#include "text.hpp"

namespace {

using namespace sc::py;

constexpr std::string_view kNames[] = {"normalizar_texto", "KEYWORDS_EXCLUSAO", "KEYWORDS_VALIDACAO", "MIN_KEYWORDS"};
SC_MODULE_NAMES(kNames);

const char* const kValidacao[] = {
    "contrato", "acordo", "termo", "instrumento", "aditivo", "distrato", "contratante", "contratada",
    "contratado", "prestador", "prestadora", "tomador", "tomadora", "cláusula", "clausula", "objeto",
    "vigência", "vigencia", "valor", "pagamento", "obrigações", "obrigacoes", "rescisão", "rescisao",
    "foro", "cnpj", "inscrita", "inscrito", "neste ato representada", "neste ato representado",
    "doravante denominada", "doravante denominado", "assinatura", "assinado", "firmado", "testemunha",
    "certificado digital", "icp-brasil",
};
const char* const kExclusao[] = {
    "edital de licitação", "pregão eletrônico", "tomada de preços", "concorrência pública", "carta convite",
    "nota fiscal", "recibo", "boleto", "fatura",
};
constexpr long kMinKeywords = 3;

constexpr Param kTexto[] = {
    {"texto", "str"},
};

Ref normalizar_texto(Call& c) {
    PyObject* texto = c.str_arg(param(kTexto, "texto"));
    if (PyUnicode_GET_LENGTH(texto) == 0) return Ref::borrow(texto);
    return fold_to_str(texto, false);
}

const FuncSpec kNormalizarSpec = {
    "normalizar_texto",
    "normalizar_texto",
    "Normaliza texto removendo acentos e convertendo para minúsculas.",
    kTexto,
    1,
    "str",
    normalizar_texto,
};

// A table's entries and their folded forms.
struct Table {
    std::vector<Ref> entries;
    std::vector<std::u32string> needles;
    Ref refused;  // the error for the first entry that is not a str
};

void fold_needle(PyObject* entry, std::u32string& out) {
    Folded f;
    fold_str(entry, f);
    if (f.latin1) {
        out.clear();
        for (unsigned char b : f.bytes) out.push_back(b);
    } else {
        out = std::move(f.wide);
    }
}

// Folds the entries of a table in order. An entry that is not a str stops
// the walk with the refusal `normalizar_texto` gives kept aside, so that the
// entries before it still decide first, as an entry-by-entry loop would.
void load_table(PyObject* table, Table& t) {
    for_each(table, [&](PyObject* e) {
        if (!PyUnicode_CheckExact(e)) {
            try {
                raise_arg_type("texto", "str", e);
            } catch (const Error&) {
                t.refused = Ref::steal(PyErr_GetRaisedException());
                return false;
            }
        }
        t.needles.emplace_back();
        fold_needle(e, t.needles.back());
        t.entries.push_back(Ref::borrow(e));
        return true;
    });
}

[[noreturn]] void reraise(Ref& exc) {
    PyErr_SetRaisedException(exc.release());
    throw Error{};
}

// The text to search: a one-byte str is read through the fold table as it
// stands; any other str is folded first.
struct Haystack {
    PyObject* text;
    std::u32string wide;
    explicit Haystack(PyObject* t) : text(t) {
        if (PyUnicode_KIND(t) != PyUnicode_1BYTE_KIND)
            visit_str(t, [&](const auto* d, std::size_t n) { sc::uni::fold(d, n, wide); });
    }
    // Indices of the entries present in the text, ascending.
    std::vector<std::size_t> present(const Table& t) const {
        std::vector<char> found;
        if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND)
            sc::search::find_all(static_cast<const std::uint8_t*>(PyUnicode_DATA(text)),
                                 static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)), sc::uni::latin1_fold_table(),
                                 t.needles, found);
        else
            sc::search::find_all(wide.data(), wide.size(), t.needles, found);
        std::vector<std::size_t> out;
        for (std::size_t i = 0; i < found.size(); ++i)
            if (found[i]) out.push_back(i);
        return out;
    }
};

Ref exclusion_result(PyObject* entry) {
    Ref s = own(PyObject_Str(entry));
    Ref prefix = str("EXCLUSÃO: ");
    Ref msg = own(PyUnicode_Concat(prefix.get(), s.get()));
    Ref lst = own(PyList_New(1));
    PyList_SET_ITEM(lst.get(), 0, msg.release());
    return tuple_of(boolean(false), own(PyLong_FromLong(0)), std::move(lst));
}

// The tables searched in one pass over the text. The outcome is the one an
// entry-by-entry walk gives: the first exclusion term present decides; only
// then do a missing contract table or a refused entry matter. Returns the
// exclusion result, or an empty Ref with the contract keywords found listed.
Ref classify_folded(const Call& c, PyObject* texto, PyObject* found_list) {
    Haystack hay(texto);
    Ref excl_table = c.global(SC_NAME("KEYWORDS_EXCLUSAO"));
    Table excl;
    load_table(excl_table.get(), excl);
    Ref val_table = c.global_opt(SC_NAME("KEYWORDS_VALIDACAO"));
    Table val;
    if (val_table && !excl.refused) load_table(val_table.get(), val);
    const std::size_t nex = excl.needles.size();
    excl.needles.insert(excl.needles.end(), std::make_move_iterator(val.needles.begin()),
                        std::make_move_iterator(val.needles.end()));
    const auto hits = hay.present(excl);
    if (!hits.empty() && hits.front() < nex) return exclusion_result(excl.entries[hits.front()].get());
    if (excl.refused) reraise(excl.refused);
    if (!val_table) val_table = c.global(SC_NAME("KEYWORDS_VALIDACAO"));  // raises NameError
    if (val.refused) reraise(val.refused);
    for (std::size_t i : hits) check(PyList_Append(found_list, val.entries[i - nex].get()));
    return Ref();
}

// The same with `normalizar_texto` rebound: entry by entry, exactly as a
// plain loop runs `normalizar_texto(kw) in normalizar_texto(texto)`.
Ref classify_generic(const Call& c, PyObject* norm, PyObject* texto, PyObject* found_list) {
    Ref norm_text = call(norm, texto);
    Ref excl_table = c.global(SC_NAME("KEYWORDS_EXCLUSAO"));
    Ref excluded;
    for_each(excl_table.get(), [&](PyObject* e) {
        Ref n = call(norm, e);
        if (contains(norm_text.get(), n.get())) excluded = exclusion_result(e);
        return !excluded;
    });
    if (excluded) return excluded;
    Ref val_table = c.global(SC_NAME("KEYWORDS_VALIDACAO"));
    for_each(val_table.get(), [&](PyObject* e) {
        Ref n = call(norm, e);
        if (contains(norm_text.get(), n.get())) check(PyList_Append(found_list, e));
    });
    return Ref();
}

Ref validar_documento_contrato(Call& c) {
    PyObject* texto = c.str_arg(param(kTexto, "texto"));
    if (PyUnicode_GET_LENGTH(texto) == 0)
        return tuple_of(boolean(false), own(PyLong_FromLong(0)), own(PyList_New(0)));

    Ref norm = c.global(SC_NAME("normalizar_texto"));
    Ref found_list = own(PyList_New(0));
    Ref excluded = c.is_own(norm.get(), &kNormalizarSpec) ? classify_folded(c, texto, found_list.get())
                                                           : classify_generic(c, norm.get(), texto, found_list.get());
    if (excluded) return excluded;

    Ref quantidade = own(PyLong_FromSsize_t(PyList_GET_SIZE(found_list.get())));
    Ref minimo = c.global(SC_NAME("MIN_KEYWORDS"));
    Ref eh = own(PyObject_RichCompare(quantidade.get(), minimo.get(), Py_GE));
    return tuple_of(std::move(eh), std::move(quantidade), std::move(found_list));
}

const FuncSpec kValidarSpec = {
    "validar_documento_contrato",
    "validar_documento_contrato",
    "Valida se um documento é um contrato com base nas keywords.\n"
    "\n"
    "Args:\n"
    "    texto: Texto do documento\n"
    "\n"
    "Returns:\n"
    "    Tuple com:\n"
    "    - bool: Se é um contrato válido\n"
    "    - int: Quantidade de keywords encontradas\n"
    "    - list: Keywords encontradas\n",
    kTexto,
    1,
    "Tuple[bool, int, list]",
    validar_documento_contrato,
};

Ref str_list(const char* const* items, std::size_t n) {
    Ref lst = own(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) PyList_SET_ITEM(lst.get(), static_cast<Py_ssize_t>(i), str(items[i]).release());
    return lst;
}

int exec_module(PyObject* m) {
    return guarded_exec(m, sc_module_names, [](PyObject* mod) {
        Ref ftype = make_function_type(mod);
        state_of(mod)->slots[0] = Py_NewRef(ftype.get());
        const FuncSpec* specs[] = {&kNormalizarSpec, &kValidarSpec};
        add_functions(mod, ftype.get(), specs, 2);
        Ref v = str_list(kValidacao, std::size(kValidacao));
        check(PyModule_AddObjectRef(mod, "KEYWORDS_VALIDACAO", v.get()));
        Ref e = str_list(kExclusao, std::size(kExclusao));
        check(PyModule_AddObjectRef(mod, "KEYWORDS_EXCLUSAO", e.get()));
        Ref k = own(PyLong_FromLong(kMinKeywords));
        check(PyModule_AddObjectRef(mod, "MIN_KEYWORDS", k.get()));
    });
}

}  // namespace

SC_DEFINE_MODULE(keywords, "scrivane_contract.keywords",
                 "Keywords para validação de documentos como contratos.",
                 exec_module)
