// scrivane_contract.cnpj: CNPJ numbers, registry lookups, searches by
// name and address comparison.
//
// Everything a Python module would look up at call time is looked up at
// call time here too: `requests`, the URL constants, REQUEST_TIMEOUT and the
// module's own functions as they call each other. When a function found in
// the namespace is still ours, the call skips the interpreter; otherwise it
// goes through it, so rebinding a name changes later calls.
#include <cmath>
#include <cstring>
#include <iterator>
#include <string>
#include <type_traits>

#include "../core/cnpj_core.hpp"
#include "../core/search.hpp"
#include "binding.hpp"
#include "module.hpp"
#include "text.hpp"

namespace {

using namespace sc::py;
namespace core = sc::cnpj;
namespace uni = sc::uni;

// ---------------------------------------------------------------------------
// Record keys and answer fields

enum Key : int {
    K_FONTE, K_CNPJ, K_RAZAO_SOCIAL, K_NOME_FANTASIA, K_SITUACAO, K_DATA_SITUACAO, K_DATA_ABERTURA,
    K_NATUREZA_JURIDICA, K_PORTE, K_CAPITAL_SOCIAL, K_ENDERECO, K_EMAIL, K_SOCIOS,
    K_LOGRADOURO, K_NUMERO, K_COMPLEMENTO, K_BAIRRO, K_CIDADE, K_UF, K_CEP,
    K_NOME, K_QUALIFICACAO, K_DATA_ENTRADA, K_CPF_REPRESENTANTE, K_NOME_REPRESENTANTE,
    K_QUALIFICACAO_REPRESENTANTE,
    // answer-side names
    K_DESCRICAO_SITUACAO_CADASTRAL, K_DATA_SITUACAO_CADASTRAL, K_DATA_INICIO_ATIVIDADE, K_MUNICIPIO, K_QSA,
    K_NOME_SOCIO, K_QUALIFICACAO_SOCIO, K_DATA_ENTRADA_SOCIEDADE, K_CPF_REPRESENTANTE_LEGAL,
    K_NOME_REPRESENTANTE_LEGAL, K_QUALIFICACAO_REPRESENTANTE_LEGAL, K_FANTASIA, K_ABERTURA, K_QUAL, K_STATUS,
    K_DATA, K_COUNT, K_MESSAGE,
    K_COUNT_OF_KEYS
};

// Every name and fixed text of the module, interned at execution into module
// state: first the record keys and answer fields, in the order of Key, then
// the rest.
constexpr std::string_view kNames[] = {
    // record keys and answer fields
    "fonte", "cnpj", "razao_social", "nome_fantasia", "situacao", "data_situacao", "data_abertura",
    "natureza_juridica", "porte", "capital_social", "endereco", "email", "socios",
    "logradouro", "numero", "complemento", "bairro", "cidade", "uf", "cep",
    "nome", "qualificacao", "data_entrada", "cpf_representante", "nome_representante",
    "qualificacao_representante",
    "descricao_situacao_cadastral", "data_situacao_cadastral", "data_inicio_atividade", "municipio", "qsa",
    "nome_socio", "qualificacao_socio", "data_entrada_sociedade", "cpf_representante_legal",
    "nome_representante_legal", "qualificacao_representante_legal", "fantasia", "abertura", "qual", "status",
    "data", "count", "message",
    // attribute names, module globals and fixed texts
    "", "get", "encontrado", "invalido", "nao_encontrado", "indisponivel", "limpar_cnpj", "validar_cnpj",
    "formatar_cnpj", "replace", "lower", "BRASIL_API_URL", "RECEITA_WS_URL", "requests", "REQUEST_TIMEOUT",
    "status_code", "json", "_consultar_brasil_api", "_consultar_receita_ws", "CASADOSDADOS_API", "post",
    "consultar_cnpj", "busca_por_nome", "termo_busca", "buscar_cnpj_por_nome", "_metodo_busca",
    "_cnpj_buscado_por_ai", "split", "_normalizar_endereco",
};
static_assert(kNames[K_COUNT_OF_KEYS - 1] == "message", "kNames must start with the keys, in the order of Key");
SC_MODULE_NAMES(kNames);

inline PyObject* key(Key k) { return name_at(static_cast<int>(kBindingNameCount) + k, &sc_module_names); }
inline PyObject* empty_str() { return SC_NAME(""); }

// ---------------------------------------------------------------------------
// Small helpers

Ref ascii_str(const char* s, std::size_t n) {
    Ref r = own(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
    std::memcpy(PyUnicode_1BYTE_DATA(r.get()), s, n);
    return r;
}

Ref integer(long v) { return own(PyLong_FromLong(v)); }

Ref list_of(PyObject* item) {
    Ref l = own(PyList_New(1));
    PyList_SET_ITEM(l.get(), 0, Py_NewRef(item));
    return l;
}

// obj.get(k)
Ref get1(PyObject* obj, PyObject* k) {
    if (PyDict_CheckExact(obj)) return mapping_get(obj, k, Py_None);
    return call_method(obj, SC_NAME("get"), k);
}

bool compare(PyObject* a, PyObject* b, int op) {
    Ref r = own(PyObject_RichCompare(a, b, op));
    return truth(r.get());
}

// How a registry lookup ended. The detailed functions return its text
// beside the record; the plain ones return the record alone.
enum class Outcome { FOUND, INVALID, UNKNOWN, UNAVAILABLE };

PyObject* outcome_text(Outcome o) {
    switch (o) {
        case Outcome::FOUND: return SC_NAME("encontrado");
        case Outcome::INVALID: return SC_NAME("invalido");
        case Outcome::UNKNOWN: return SC_NAME("nao_encontrado");
        case Outcome::UNAVAILABLE: break;
    }
    return SC_NAME("indisponivel");
}

struct Lookup {
    Ref rec;  // the record, or None
    Outcome outcome;
};

Lookup found(Ref rec) { return {std::move(rec), Outcome::FOUND}; }
Lookup nothing(Outcome why) { return {none(), why}; }

// What a function a caller put in place of ours gave: None is taken as a
// definite "not found", anything else as a record.
Lookup from_replaced(Ref rec) {
    if (rec.get() == Py_None) return nothing(Outcome::UNKNOWN);
    return found(std::move(rec));
}

Ref as_pair(const Lookup& r) { return tuple_of(r.rec, Ref::borrow(outcome_text(r.outcome))); }

// Runs body; an Exception raised in it means the service gave no definite
// answer (interrupts and exit requests pass through).
template <class F>
Lookup unavailable_on_error(F&& body) {
    try {
        return body();
    } catch (const Error&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
        return nothing(Outcome::UNAVAILABLE);
    }
}

// f(*args, **{names: values}) with the keyword names given as C strings.
template <std::size_t NP, std::size_t NK>
Ref call_with_keywords(PyObject* f, PyObject* const (&pos)[NP], const char* const (&names)[NK],
                       PyObject* const (&values)[NK]) {
    Ref kwnames = own(PyTuple_New(NK));
    PyObject* argv[NP + NK];
    for (std::size_t i = 0; i < NP; ++i) argv[i] = pos[i];
    for (std::size_t i = 0; i < NK; ++i) {
        PyObject* nm = PyUnicode_InternFromString(names[i]);
        if (!nm) throw Error{};
        PyTuple_SET_ITEM(kwnames.get(), static_cast<Py_ssize_t>(i), nm);
        argv[NP + i] = values[i];
    }
    return call_kw(f, argv, NP, kwnames.get());
}

// ---------------------------------------------------------------------------
// CNPJ numbers

constexpr Param kCnpjParam[] = {
    {"cnpj", "str"},
};

// The clean form of s: up to 14 code points go to out; returns its length.
std::size_t clean_code_points(PyObject* s, char32_t* out) {
    return visit_str(s, [&](const auto* d, std::size_t n) -> std::size_t {
        if (n == 0) return 0;
        char alnum[core::kLength];
        if (core::alnum_form(d, n, alnum)) {
            for (std::size_t k = 0; k < core::kLength; ++k) out[k] = static_cast<unsigned char>(alnum[k]);
            return core::kLength;
        }
        std::size_t k = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const char32_t ch = static_cast<char32_t>(d[i]);
            if (!uni::is_decimal(ch)) continue;
            if (k < core::kLength) out[k] = ch;
            ++k;
        }
        return k;
    });
}

Ref clean_str(PyObject* s) {
    const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    if (n == 0) return Ref::borrow(s);
    return visit_str(s, [&](const auto* d, std::size_t len) -> Ref {
        char alnum[core::kLength];
        if (core::alnum_form(d, len, alnum)) return ascii_str(alnum, core::kLength);
        using C = std::remove_cv_t<std::remove_pointer_t<decltype(d)>>;
        if constexpr (sizeof(C) == 1) {
            // One-byte text: its only decimal digits are ASCII. Count them,
            // then fill the result in place.
            std::size_t digits = 0;
            for (std::size_t i = 0; i < len; ++i) digits += static_cast<unsigned>(d[i] - '0') < 10u;
            if (digits == len) return Ref::borrow(s);
            Ref r = own(PyUnicode_New(static_cast<Py_ssize_t>(digits), 127));
            Py_UCS1* o = PyUnicode_1BYTE_DATA(r.get());
            for (std::size_t i = 0; i < len; ++i)
                if (static_cast<unsigned>(d[i] - '0') < 10u) *o++ = d[i];
            return r;
        } else {
            thread_local std::u32string buf;
            sc::ScratchScope keep(buf);
            buf.clear();
            for (std::size_t i = 0; i < len; ++i)
                if (uni::is_decimal(static_cast<char32_t>(d[i]))) buf.push_back(static_cast<char32_t>(d[i]));
            if (buf.size() == len) return Ref::borrow(s);
            return from_u32(buf);
        }
    });
}

Ref display_form(const char32_t* c) {
    char32_t out[18];
    std::size_t k = 0;
    for (std::size_t i = 0; i < core::kLength; ++i) {
        if (i == 2 || i == 5) out[k++] = '.';
        if (i == 8) out[k++] = '/';
        if (i == 12) out[k++] = '-';
        out[k++] = c[i];
    }
    return from_u32(out, k);
}

PyObject* require_str(PyObject* o, const char* name) {
    if (!PyUnicode_CheckExact(o)) raise_arg_type(name, "str", o);
    return o;
}

extern const FuncSpec kLimparSpec, kValidarSpec, kFormatarSpec;

Ref limpar_cnpj(Call& c) { return clean_str(c.str_arg(param(kCnpjParam, "cnpj"))); }

// limpar_cnpj(s) through the namespace.
Ref limpar_via(const Call& c, PyObject* s) {
    Ref f = c.global(SC_NAME("limpar_cnpj"));
    if (c.is_own(f.get(), &kLimparSpec)) return clean_str(require_str(s, "cnpj"));
    return call(f.get(), s);
}

// The body of validar_cnpj for a str s.
bool validar_body(const Call& c, PyObject* s) {
    Ref f = c.global(SC_NAME("limpar_cnpj"));
    if (c.is_own(f.get(), &kLimparSpec)) {
        char32_t buf[core::kLength];
        return clean_code_points(s, buf) == core::kLength;
    }
    Ref clean = call(f.get(), s);
    const Py_ssize_t n = PyObject_Size(clean.get());
    if (n < 0) throw Error{};
    return n == static_cast<Py_ssize_t>(core::kLength);
}

Ref validar_cnpj(Call& c) { return boolean(validar_body(c, c.str_arg(param(kCnpjParam, "cnpj")))); }

Ref validar_via(const Call& c, PyObject* s) {
    Ref f = c.global(SC_NAME("validar_cnpj"));
    if (c.is_own(f.get(), &kValidarSpec)) return boolean(validar_body(c, require_str(s, "cnpj")));
    return call(f.get(), s);
}

// "XX.XXX.XXX/XXXX-XX" from a clean form that limpar_cnpj was rebound to
// produce: slices and f-string formatting, as Python code would do it.
Ref display_form_generic(PyObject* clean) {
    static const Py_ssize_t cuts[] = {0, 2, 5, 8, 12, PY_SSIZE_T_MAX};
    static const char* const seps[] = {".", ".", "/", "-"};
    Ref parts = own(PyList_New(0));
    Ref spec = str("");
    for (int i = 0; i < 5; ++i) {
        if (i > 0) check(PyList_Append(parts.get(), str(seps[i - 1]).get()));
        Ref piece = own(PySequence_GetSlice(clean, cuts[i], cuts[i + 1]));
        Ref text = own(PyObject_Format(piece.get(), spec.get()));
        check(PyList_Append(parts.get(), text.get()));
    }
    return own(PyUnicode_Join(empty_str(), parts.get()));
}

Ref formatar_body(const Call& c, PyObject* s) {
    Ref f = c.global(SC_NAME("limpar_cnpj"));
    if (c.is_own(f.get(), &kLimparSpec)) {
        char32_t buf[core::kLength];
        if (clean_code_points(s, buf) != core::kLength) return Ref::borrow(s);
        return display_form(buf);
    }
    Ref clean = call(f.get(), s);
    const Py_ssize_t n = PyObject_Size(clean.get());
    if (n < 0) throw Error{};
    if (n != static_cast<Py_ssize_t>(core::kLength)) return Ref::borrow(s);
    return display_form_generic(clean.get());
}

Ref formatar_cnpj(Call& c) { return formatar_body(c, c.str_arg(param(kCnpjParam, "cnpj"))); }

Ref formatar_via(const Call& c, PyObject* s) {
    Ref f = c.global(SC_NAME("formatar_cnpj"));
    if (c.is_own(f.get(), &kFormatarSpec)) return formatar_body(c, require_str(s, "cnpj"));
    return call(f.get(), s);
}

const FuncSpec kLimparSpec = {
    "limpar_cnpj",
    "limpar_cnpj",
    "Remove formatação do CNPJ, mantendo apenas os dígitos.\n"
    "\n"
    "CNPJs alfanuméricos (12 caracteres de [0-9A-Z] e dois dígitos\n"
    "verificadores) são devolvidos com os 14 caracteres em maiúsculas.\n",
    kCnpjParam,
    1,
    "str",
    limpar_cnpj,
};
const FuncSpec kValidarSpec = {
    "validar_cnpj",
    "validar_cnpj",
    "Verifica se o CNPJ tem 14 caracteres depois de limpo.\n",
    kCnpjParam,
    1,
    "bool",
    validar_cnpj,
};
const FuncSpec kFormatarSpec = {
    "formatar_cnpj",
    "formatar_cnpj",
    "Formata o CNPJ como XX.XXX.XXX/XXXX-XX; devolve o argumento se não tiver 14 caracteres.\n",
    kCnpjParam,
    1,
    "str",
    formatar_cnpj,
};

// ---------------------------------------------------------------------------
// Registry lookup by CNPJ

enum Service { BRASIL_API, RECEITA_WS };


// Top-level text fields: record key, BrasilAPI key, ReceitaWS key.
struct FieldMap {
    Key out, brasil, receita;
};
const FieldMap kTopBefore[] = {
    {K_RAZAO_SOCIAL, K_RAZAO_SOCIAL, K_NOME},
    {K_NOME_FANTASIA, K_NOME_FANTASIA, K_FANTASIA},
    {K_SITUACAO, K_DESCRICAO_SITUACAO_CADASTRAL, K_SITUACAO},
    {K_DATA_SITUACAO, K_DATA_SITUACAO_CADASTRAL, K_DATA_SITUACAO},
    {K_DATA_ABERTURA, K_DATA_INICIO_ATIVIDADE, K_ABERTURA},
    {K_NATUREZA_JURIDICA, K_NATUREZA_JURIDICA, K_NATUREZA_JURIDICA},
    {K_PORTE, K_PORTE, K_PORTE},
};
const FieldMap kAddress[] = {
    {K_LOGRADOURO, K_LOGRADOURO, K_LOGRADOURO}, {K_NUMERO, K_NUMERO, K_NUMERO},
    {K_COMPLEMENTO, K_COMPLEMENTO, K_COMPLEMENTO}, {K_BAIRRO, K_BAIRRO, K_BAIRRO},
    {K_CIDADE, K_MUNICIPIO, K_MUNICIPIO}, {K_UF, K_UF, K_UF}, {K_CEP, K_CEP, K_CEP},
};
// Partner fields; K_COUNT_OF_KEYS as a source means "always the empty text".
const FieldMap kPartner[] = {
    {K_NOME, K_NOME_SOCIO, K_NOME},
    {K_QUALIFICACAO, K_QUALIFICACAO_SOCIO, K_QUAL},
    {K_DATA_ENTRADA, K_DATA_ENTRADA_SOCIEDADE, K_COUNT_OF_KEYS},
    {K_CPF_REPRESENTANTE, K_CPF_REPRESENTANTE_LEGAL, K_COUNT_OF_KEYS},
    {K_NOME_REPRESENTANTE, K_NOME_REPRESENTANTE_LEGAL, K_COUNT_OF_KEYS},
    {K_QUALIFICACAO_REPRESENTANTE, K_QUALIFICACAO_REPRESENTANTE_LEGAL, K_COUNT_OF_KEYS},
};

// Copies each mapped field of data into rec, as delivered ("" when absent).
template <std::size_t N>
void copy_fields(PyObject* rec, PyObject* data, const FieldMap (&map)[N], Service svc) {
    for (const FieldMap& m : map) {
        const Key src = svc == BRASIL_API ? m.brasil : m.receita;
        if (src == K_COUNT_OF_KEYS) {
            set_item(rec, key(m.out), empty_str());
            continue;
        }
        Ref v = mapping_get(data, key(src), empty_str());
        set_item(rec, key(m.out), v.get());
    }
}

Ref partners(PyObject* data, Service svc) {
    Ref none_yet = own(PyList_New(0));
    Ref qsa = mapping_get(data, key(K_QSA), none_yet.get());
    Ref out = own(PyList_New(0));
    for_each(qsa.get(), [&](PyObject* socio) {
        Ref rec = own(PyDict_New());
        copy_fields(rec.get(), socio, kPartner, svc);
        check(PyList_Append(out.get(), rec.get()));
    });
    return out;
}

// ReceitaWS share capital. Text is read with "." as thousands separator and
// "," as decimal comma, except a text with no "," whose only "." is
// followed by exactly two digits at its end ("20000.00"): that "." is the
// decimal point, as ReceitaWS writes its amounts.
Ref receita_capital(PyObject* data) {
    Ref zero_text = str("0");
    Ref cap = mapping_get(data, key(K_CAPITAL_SOCIAL), zero_text.get());
    if (!PyUnicode_Check(cap.get())) return cap;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(cap.get());
    if (n == 0) return integer(0);
    const bool decimal_point = visit_str(cap.get(), [](const auto* d, std::size_t len) {
        std::size_t dots = 0;
        for (std::size_t i = 0; i < len; ++i) {
            if (d[i] == ',') return false;
            dots += d[i] == '.';
        }
        return dots == 1 && len >= 3 && d[len - 3] == '.' && uni::is_decimal(static_cast<char32_t>(d[len - 2])) &&
               uni::is_decimal(static_cast<char32_t>(d[len - 1]));
    });
    if (decimal_point) return own(PyFloat_FromString(cap.get()));
    Ref dot = str("."), comma = str(",");
    Ref no_dots = own(PyUnicode_Replace(cap.get(), dot.get(), empty_str(), -1));
    Ref text = own(PyUnicode_Replace(no_dots.get(), comma.get(), dot.get(), -1));
    return own(PyFloat_FromString(text.get()));
}

Ref build_record(PyObject* data, Service svc, PyObject* display, PyObject* capital, PyObject* socios) {
    Ref rec = own(PyDict_New());
    Ref fonte = str(svc == BRASIL_API ? "BrasilAPI" : "ReceitaWS");
    set_item(rec.get(), key(K_FONTE), fonte.get());
    set_item(rec.get(), key(K_CNPJ), display);
    copy_fields(rec.get(), data, kTopBefore, svc);
    set_item(rec.get(), key(K_CAPITAL_SOCIAL), capital);
    Ref end = own(PyDict_New());
    copy_fields(end.get(), data, kAddress, svc);
    set_item(rec.get(), key(K_ENDERECO), end.get());
    Ref email = mapping_get(data, key(K_EMAIL), empty_str());
    set_item(rec.get(), key(K_EMAIL), email.get());
    set_item(rec.get(), key(K_SOCIOS), socios);
    return rec;
}

Ref url_for(const Call& c, PyObject* tmpl_name, PyObject* clean) {
    Ref tmpl = c.global(tmpl_name);
    Ref placeholder = str("{cnpj}");
    if (PyUnicode_CheckExact(tmpl.get())) return own(PyUnicode_Replace(tmpl.get(), placeholder.get(), clean, -1));
    return call_method(tmpl.get(), SC_NAME("replace"), placeholder.get(), clean);
}

// ReceitaWS answers an unknown number with status "ERROR" and a message
// that calls it invalid or rejected; other messages ("Timeout", "Too many
// requests") leave the question open.
bool receita_says_unknown(PyObject* data) {
    Ref message = get1(data, key(K_MESSAGE));
    if (!PyUnicode_Check(message.get())) return false;
    Ref lower = call_method(message.get(), SC_NAME("lower"));
    for (const char* word : {"inválid", "invalid", "rejeitad"}) {
        Ref w = str(word);
        const int r = PyUnicode_Contains(lower.get(), w.get());
        if (r < 0) throw Error{};
        if (r) return true;
    }
    return false;
}

// One service adapter, for a str `cnpj`: the record, or why there is none.
Lookup lookup_detailed(const Call& c, PyObject* cnpj, Service svc) {
    Ref clean = limpar_via(c, cnpj);
    Ref url = url_for(c, svc == BRASIL_API ? SC_NAME("BRASIL_API_URL") : SC_NAME("RECEITA_WS_URL"), clean.get());
    return unavailable_on_error([&]() -> Lookup {
        Ref requests = c.global(SC_NAME("requests"));
        Ref get = getattr(requests.get(), SC_NAME("get"));
        Ref timeout = c.global(SC_NAME("REQUEST_TIMEOUT"));
        Ref resp;
        if (svc == BRASIL_API) {
            resp = call_with_keywords(get.get(), {url.get()}, {"timeout"}, {timeout.get()});
        } else {
            Ref headers = own(PyDict_New());
            Ref json_type = str("application/json");
            check(PyDict_SetItemString(headers.get(), "Accept", json_type.get()));
            resp = call_with_keywords(get.get(), {url.get()}, {"headers", "timeout"}, {headers.get(), timeout.get()});
        }
        Ref status = getattr(resp.get(), SC_NAME("status_code"));
        Ref ok = integer(200);
        if (compare(status.get(), ok.get(), Py_NE)) {
            // Only BrasilAPI's 404 says the number is unknown; 429, 5xx and
            // the rest say nothing about the company.
            Ref not_found = integer(404);
            const bool unknown = svc == BRASIL_API && compare(status.get(), not_found.get(), Py_EQ);
            return nothing(unknown ? Outcome::UNKNOWN : Outcome::UNAVAILABLE);
        }
        Ref data = call_method(resp.get(), SC_NAME("json"));
        Ref capital;
        if (svc == RECEITA_WS) {
            Ref st = get1(data.get(), key(K_STATUS));
            Ref error = str("ERROR");
            if (compare(st.get(), error.get(), Py_EQ))
                return nothing(receita_says_unknown(data.get()) ? Outcome::UNKNOWN : Outcome::UNAVAILABLE);
            capital = receita_capital(data.get());
        }
        Ref socios = partners(data.get(), svc);
        if (svc == BRASIL_API) {
            Ref zero = integer(0);
            capital = mapping_get(data.get(), key(K_CAPITAL_SOCIAL), zero.get());
        }
        Ref display = formatar_via(c, clean.get());
        return found(build_record(data.get(), svc, display.get(), capital.get(), socios.get()));
    });
}

Ref consultar_brasil_api(Call& c) { return lookup_detailed(c, c.str_arg(param(kCnpjParam, "cnpj")), BRASIL_API).rec; }
Ref consultar_receita_ws(Call& c) { return lookup_detailed(c, c.str_arg(param(kCnpjParam, "cnpj")), RECEITA_WS).rec; }

extern const FuncSpec kBrasilSpec, kReceitaSpec, kConsultarSpec;

// consultar_cnpj for a str `cnpj`, with the outcome. Each adapter is read
// from the namespace; one a caller replaced is called as such.
Lookup consultar_detailed(const Call& c, PyObject* cnpj) {
    Ref ok = validar_via(c, cnpj);
    if (!truth(ok.get())) return nothing(Outcome::INVALID);
    bool unavailable = false;
    for (Service svc : {BRASIL_API, RECEITA_WS}) {
        Ref adapter = c.global(svc == BRASIL_API ? SC_NAME("_consultar_brasil_api") : SC_NAME("_consultar_receita_ws"));
        Lookup r = c.is_own(adapter.get(), svc == BRASIL_API ? &kBrasilSpec : &kReceitaSpec)
                       ? lookup_detailed(c, cnpj, svc)
                       : from_replaced(call(adapter.get(), cnpj));
        if (r.rec.get() != Py_None) return r;
        unavailable = unavailable || r.outcome == Outcome::UNAVAILABLE;
    }
    return nothing(unavailable ? Outcome::UNAVAILABLE : Outcome::UNKNOWN);
}

Ref consultar_cnpj(Call& c) { return consultar_detailed(c, c.str_arg(param(kCnpjParam, "cnpj"))).rec; }
Ref consultar_cnpj_detalhado(Call& c) { return as_pair(consultar_detailed(c, c.str_arg(param(kCnpjParam, "cnpj")))); }

const FuncSpec kConsultarSpec = {
    "consultar_cnpj",
    "consultar_cnpj",
    "Consulta o CNPJ na Receita Federal (BrasilAPI, com a ReceitaWS como alternativa).\n"
    "\n"
    "Args:\n"
    "    cnpj: CNPJ em qualquer formato\n"
    "\n"
    "Returns:\n"
    "    Dados normalizados da empresa, ou None se o CNPJ for inválido ou não for encontrado\n",
    kCnpjParam,
    1,
    "Optional[Dict]",
    consultar_cnpj,
};
const FuncSpec kConsultarDetalheSpec = {
    "consultar_cnpj_detalhado",
    "consultar_cnpj_detalhado",
    "Consulta o CNPJ como consultar_cnpj e diz como a consulta terminou.\n"
    "\n"
    "Faz as mesmas requisições, na mesma ordem, que consultar_cnpj.\n"
    "\n"
    "Args:\n"
    "    cnpj: CNPJ em qualquer formato\n"
    "\n"
    "Returns:\n"
    "    Par (dados, situacao): dados é o que consultar_cnpj devolveria (dados\n"
    "    normalizados da empresa, ou None) e situacao é um destes textos:\n"
    "    - \"encontrado\": há dados;\n"
    "    - \"invalido\": o CNPJ não tem 14 caracteres depois de limpo (nenhuma\n"
    "      requisição é feita);\n"
    "    - \"nao_encontrado\": todo serviço consultado respondeu que a empresa não\n"
    "      existe (BrasilAPI 404, ReceitaWS \"ERROR\" com CNPJ inválido ou rejeitado);\n"
    "    - \"indisponivel\": nada foi encontrado e algum serviço não deu resposta\n"
    "      conclusiva (falha de conexão, tempo esgotado, HTTP 429 ou 5xx, resposta\n"
    "      que não é JSON ou fora do formato esperado, outro erro da ReceitaWS).\n"
    "    Uma função do módulo substituída pelo chamador que devolva None conta\n"
    "    como \"nao_encontrado\".\n",
    kCnpjParam,
    1,
    "Tuple[Optional[Dict], str]",
    consultar_cnpj_detalhado,
};
const FuncSpec kBrasilSpec = {
    "_consultar_brasil_api",
    "_consultar_brasil_api",
    "Consulta o CNPJ na BrasilAPI; None em caso de falha.\n",
    kCnpjParam,
    1,
    "Optional[Dict]",
    consultar_brasil_api,
};
const FuncSpec kReceitaSpec = {
    "_consultar_receita_ws",
    "_consultar_receita_ws",
    "Consulta o CNPJ na ReceitaWS; None em caso de falha.\n",
    kCnpjParam,
    1,
    "Optional[Dict]",
    consultar_receita_ws,
};

// ---------------------------------------------------------------------------
// Search by name

const char* const kExtras[] = {
    "somente_mei", "excluir_mei", "com_email", "incluir_atividade_secundaria", "com_contato_telefonico",
    "somente_fixo", "somente_celular", "somente_matriz", "somente_filial",
};
constexpr long kSearchTimeout = 15;
constexpr Py_ssize_t kMinNameLength = 3;

Ref search_payload(PyObject* nome, PyObject* uf) {
    Ref query = own(PyDict_New());
    Ref termo = list_of(nome);
    check(PyDict_SetItemString(query.get(), "termo", termo.get()));
    Ref ativa = str("ATIVA");
    check(PyDict_SetItemString(query.get(), "situacao_cadastral", ativa.get()));
    if (truth(uf)) {
        Ref ufs = list_of(uf);
        check(PyDict_SetItemString(query.get(), "uf", ufs.get()));
    }
    Ref extras = own(PyDict_New());
    for (const char* e : kExtras) check(PyDict_SetItemString(extras.get(), e, Py_False));
    Ref payload = own(PyDict_New());
    check(PyDict_SetItemString(payload.get(), "query", query.get()));
    Ref range = own(PyDict_New());
    check(PyDict_SetItemString(payload.get(), "range_query", range.get()));
    check(PyDict_SetItemString(payload.get(), "extras", extras.get()));
    Ref page = integer(1);
    check(PyDict_SetItemString(payload.get(), "page", page.get()));
    return payload;
}

// buscar_cnpj_por_nome with the outcome.
Lookup buscar_detailed(const Call& c, PyObject* nome, PyObject* uf) {
    if (PyUnicode_GET_LENGTH(nome) < kMinNameLength) return nothing(Outcome::INVALID);
    return unavailable_on_error([&]() -> Lookup {
        Ref payload = search_payload(nome, uf);
        Ref headers = own(PyDict_New());
        Ref json_type = str("application/json");
        check(PyDict_SetItemString(headers.get(), "Content-Type", json_type.get()));
        check(PyDict_SetItemString(headers.get(), "Accept", json_type.get()));
        Ref url = c.global(SC_NAME("CASADOSDADOS_API"));
        Ref requests = c.global(SC_NAME("requests"));
        Ref post = getattr(requests.get(), SC_NAME("post"));
        Ref timeout = integer(kSearchTimeout);
        Ref resp = call_with_keywords(post.get(), {url.get()}, {"json", "headers", "timeout"},
                                      {payload.get(), headers.get(), timeout.get()});
        Ref status = getattr(resp.get(), SC_NAME("status_code"));
        Ref ok = integer(200);
        if (compare(status.get(), ok.get(), Py_NE)) return nothing(Outcome::UNAVAILABLE);
        Ref answer = call_method(resp.get(), SC_NAME("json"));
        Ref no_data = own(PyDict_New());
        Ref inner = mapping_get(answer.get(), key(K_DATA), no_data.get());
        Ref zero = integer(0);
        Ref count = mapping_get(inner.get(), key(K_COUNT), zero.get());
        // An answer without hits is a definite "no such company".
        if (!compare(count.get(), zero.get(), Py_GT)) return nothing(Outcome::UNKNOWN);
        Ref no_hits = own(PyList_New(0));
        Ref hits = mapping_get(inner.get(), key(K_CNPJ), no_hits.get());
        if (!truth(hits.get())) return nothing(Outcome::UNKNOWN);
        Ref first = own(PySequence_GetItem(hits.get(), 0));
        Ref number = mapping_get(first.get(), key(K_CNPJ), empty_str());
        if (!truth(number.get())) return nothing(Outcome::UNKNOWN);
        Ref consultar = c.global(SC_NAME("consultar_cnpj"));
        Lookup r = c.is_own(consultar.get(), &kConsultarSpec) ? consultar_detailed(c, require_str(number.get(), "cnpj"))
                                                             : from_replaced(call(consultar.get(), number.get()));
        // The hit's number is looked up; unless the registry was out of
        // reach, a hit it does not know is no company either.
        if (r.rec.get() == Py_None)
            return nothing(r.outcome == Outcome::UNAVAILABLE ? Outcome::UNAVAILABLE : Outcome::UNKNOWN);
        check(PyObject_SetItem(r.rec.get(), SC_NAME("busca_por_nome"), Py_True));
        check(PyObject_SetItem(r.rec.get(), SC_NAME("termo_busca"), nome));
        return found(std::move(r.rec));
    });
}

constexpr Param kPorNomeParams[] = {
    {"nome_empresa", "str"},
    {"uf", "Optional[str]", Param::NONE},
};

Ref buscar_cnpj_por_nome(Call& c) { return buscar_detailed(c, c.str_arg(param(kPorNomeParams, "nome_empresa")), c.str_or_none_arg(param(kPorNomeParams, "uf"))).rec; }
Ref buscar_cnpj_por_nome_detalhado(Call& c) {
    return as_pair(buscar_detailed(c, c.str_arg(param(kPorNomeParams, "nome_empresa")), c.str_or_none_arg(param(kPorNomeParams, "uf"))));
}

const FuncSpec kPorNomeSpec = {
    "buscar_cnpj_por_nome",
    "buscar_cnpj_por_nome",
    "Busca uma empresa ativa pelo nome na Casa dos Dados e consulta o CNPJ do primeiro resultado.\n"
    "\n"
    "Args:\n"
    "    nome_empresa: Nome ou razão social da empresa (ao menos 3 caracteres)\n"
    "    uf: Sigla do estado para filtrar a busca (opcional)\n"
    "\n"
    "Returns:\n"
    "    Dados da empresa com 'busca_por_nome' e 'termo_busca', ou None\n",
    kPorNomeParams,
    2,
    "Optional[Dict]",
    buscar_cnpj_por_nome,
};
const FuncSpec kPorNomeDetalheSpec = {
    "buscar_cnpj_por_nome_detalhado",
    "buscar_cnpj_por_nome_detalhado",
    "Busca a empresa pelo nome como buscar_cnpj_por_nome e diz como a busca terminou.\n"
    "\n"
    "Faz as mesmas requisições, na mesma ordem, que buscar_cnpj_por_nome.\n"
    "\n"
    "Args:\n"
    "    nome_empresa: Nome ou razão social da empresa (ao menos 3 caracteres)\n"
    "    uf: Sigla do estado para filtrar a busca (opcional)\n"
    "\n"
    "Returns:\n"
    "    Par (dados, situacao): dados é o que buscar_cnpj_por_nome devolveria e\n"
    "    situacao é um destes textos:\n"
    "    - \"encontrado\": há dados;\n"
    "    - \"invalido\": o nome tem menos de 3 caracteres (nenhuma requisição é feita);\n"
    "    - \"nao_encontrado\": a busca respondeu sem resultados, ou o CNPJ do primeiro\n"
    "      resultado não foi encontrado na Receita Federal;\n"
    "    - \"indisponivel\": a busca ou a consulta do CNPJ encontrado não deu resposta\n"
    "      conclusiva (falha de conexão, tempo esgotado, HTTP 429 ou 5xx, resposta\n"
    "      que não é JSON ou fora do formato esperado).\n"
    "    Uma função do módulo substituída pelo chamador que devolva None conta\n"
    "    como \"nao_encontrado\".\n",
    kPorNomeParams,
    2,
    "Tuple[Optional[Dict], str]",
    buscar_cnpj_por_nome_detalhado,
};

// Step shared by both combined searches: the record of a CNPJ that cleans
// to a valid number, or None.
Ref by_cnpj(const Call& c, PyObject* cnpj) {
    if (!truth(cnpj)) return none();
    Ref clean = limpar_via(c, cnpj);
    Ref ok = validar_via(c, clean.get());
    if (!truth(ok.get())) return none();
    Ref consultar = c.global(SC_NAME("consultar_cnpj"));
    return call(consultar.get(), clean.get());
}

Ref by_name(const Call& c, PyObject* nome, PyObject* uf) {
    Ref buscar = c.global(SC_NAME("buscar_cnpj_por_nome"));
    return call(buscar.get(), nome, uf);
}

constexpr Param kEmpresaParams[] = {
    {"cnpj", "Optional[str]", Param::NONE},
    {"nome", "Optional[str]", Param::NONE},
    {"uf", "Optional[str]", Param::NONE},
};

Ref buscar_empresa(Call& c) {
    PyObject* cnpj = c.str_or_none_arg(param(kEmpresaParams, "cnpj"));
    PyObject* nome = c.str_or_none_arg(param(kEmpresaParams, "nome"));
    PyObject* uf = c.str_or_none_arg(param(kEmpresaParams, "uf"));
    Ref rec = by_cnpj(c, cnpj);
    if (rec.get() != Py_None) return rec;
    if (truth(nome)) {
        rec = by_name(c, nome, uf);
        if (rec.get() != Py_None) return rec;
    }
    return none();
}

void mark(PyObject* rec, const char* metodo) {
    Ref m = str(metodo);
    check(PyObject_SetItem(rec, SC_NAME("_metodo_busca"), m.get()));
}

// The AI web search. Only a component that cannot be loaded (or an import
// failure while it runs) is swallowed; anything else reaches the caller.
Ref by_ai(const Call& c, PyObject* nome, PyObject* api_key) {
    try {
        Ref mod = own(PyImport_ImportModule("scrivane_contract.ai_search"));
        PyObject* fn_raw = nullptr;
        const int found = PyObject_GetOptionalAttrString(mod.get(), "buscar_cnpj_via_ai", &fn_raw);
        if (found < 0) throw Error{};
        if (found == 0) return none();
        Ref fn = Ref::steal(fn_raw);
        Ref cnpj = call(fn.get(), nome, api_key);
        if (!truth(cnpj.get())) return none();
        Ref consultar = c.global(SC_NAME("consultar_cnpj"));
        Ref rec = call(consultar.get(), cnpj.get());
        if (rec.get() == Py_None) return none();
        mark(rec.get(), "ai_web_search");
        check(PyObject_SetItem(rec.get(), SC_NAME("_cnpj_buscado_por_ai"), Py_True));
        return rec;
    } catch (const Error&) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw;
        PyErr_Clear();
        return none();
    }
}

constexpr Param kCompletoParams[] = {
    {"cnpj", "Optional[str]", Param::NONE},
    {"nome", "Optional[str]", Param::NONE},
    {"uf", "Optional[str]", Param::NONE},
    {"usar_ai_search", "bool", Param::FALSE_},
    {"openai_api_key", "Optional[str]", Param::NONE},
};

Ref buscar_empresa_completo(Call& c) {
    PyObject* cnpj = c.str_or_none_arg(param(kCompletoParams, "cnpj"));
    PyObject* nome = c.str_or_none_arg(param(kCompletoParams, "nome"));
    PyObject* uf = c.str_or_none_arg(param(kCompletoParams, "uf"));
    PyObject* usar_ai = c[param(kCompletoParams, "usar_ai_search")];
    PyObject* api_key = c.str_or_none_arg(param(kCompletoParams, "openai_api_key"));
    Ref rec = by_cnpj(c, cnpj);
    if (rec.get() != Py_None) {
        mark(rec.get(), "cnpj_direto");
        return rec;
    }
    if (!truth(nome)) return none();
    rec = by_name(c, nome, uf);
    if (rec.get() != Py_None) {
        mark(rec.get(), "api_nome");
        return rec;
    }
    if (truth(usar_ai) && truth(api_key)) return by_ai(c, nome, api_key);
    return none();
}

const FuncSpec kEmpresaSpec = {
    "buscar_empresa",
    "buscar_empresa",
    "Busca uma empresa pelo CNPJ e, se não encontrar, pelo nome.\n"
    "\n"
    "Args:\n"
    "    cnpj: CNPJ em qualquer formato (opcional)\n"
    "    nome: Nome ou razão social (opcional)\n"
    "    uf: Sigla do estado para a busca por nome (opcional)\n"
    "\n"
    "Returns:\n"
    "    Dados da empresa, ou None\n",
    kEmpresaParams,
    3,
    "Optional[Dict]",
    buscar_empresa,
};

const FuncSpec kCompletoSpec = {
    "buscar_empresa_completo",
    "buscar_empresa_completo",
    "Busca uma empresa por todas as estratégias, nesta ordem: CNPJ, nome e busca na web por IA.\n"
    "\n"
    "Args:\n"
    "    cnpj: CNPJ em qualquer formato (opcional)\n"
    "    nome: Nome ou razão social (opcional)\n"
    "    uf: Sigla do estado para a busca por nome (opcional)\n"
    "    usar_ai_search: Se deve tentar a busca na web por IA\n"
    "    openai_api_key: Chave da API da OpenAI usada pela busca por IA\n"
    "\n"
    "Returns:\n"
    "    Dados da empresa com '_metodo_busca' (\"cnpj_direto\", \"api_nome\" ou\n"
    "    \"ai_web_search\"), ou None\n",
    kCompletoParams,
    5,
    "Optional[Dict]",
    buscar_empresa_completo,
};

// ---------------------------------------------------------------------------
// Address comparison

constexpr double kEqual = 1.0;
constexpr double kContained = 0.9;
constexpr double kCepFloor = 0.8;
constexpr double kConfere = 0.5;

// Folded and normalised text, in place.
void normalize_folded(Folded& f) {
    if (f.latin1) {
        thread_local std::string scratch;
        sc::ScratchScope keep(scratch);
        core::normalize_address(f.bytes, scratch);
    } else {
        thread_local std::u32string scratch;
        sc::ScratchScope keep(scratch);
        core::normalize_address(f.wide, scratch);
    }
}

Ref normalize_str(PyObject* s) {
    if (PyUnicode_GET_LENGTH(s) == 0) return Ref::borrow(s);
    thread_local Folded f;
    sc::ScratchScope keep(f);
    fold_str(s, f);
    normalize_folded(f);
    return f.to_str();
}

constexpr Param kEnderecoParam[] = {
    {"endereco", "str"},
};

Ref normalizar_endereco(Call& c) { return normalize_str(c.str_arg(param(kEnderecoParam, "endereco"))); }

const FuncSpec kNormSpec = {
    "_normalizar_endereco",
    "_normalizar_endereco",
    "Normaliza endereço para comparação.",
    kEnderecoParam,
    1,
    "str",
    normalizar_endereco,
};

// The text of a str as it stands (no folding), in the layout Folded uses.
void load_text(PyObject* s, Folded& out) {
    out.bytes.clear();
    out.wide.clear();
    out.latin1 = PyUnicode_KIND(s) == PyUnicode_1BYTE_KIND;
    visit_str(s, [&](const auto* d, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            if (out.latin1)
                out.bytes.push_back(static_cast<char>(d[i]));
            else
                out.wide.push_back(static_cast<char32_t>(d[i]));
        }
    });
}

void widen(Folded& f) {
    if (!f.latin1) return;
    f.wide.clear();
    for (unsigned char b : f.bytes) f.wide.push_back(b);
    f.latin1 = false;
}

enum class Match { EQUAL, CONTAINED, WORDS, NO_WORDS };

template <class S>
Match compare_texts(const S& a, const S& b, double& sim) {
    if (a == b) return Match::EQUAL;
    if (sc::search::contains(b, a) || sc::search::contains(a, b)) return Match::CONTAINED;
    return core::word_similarity(a, b, sim) ? Match::WORDS : Match::NO_WORDS;
}

Match compare_folded(Folded& a, Folded& b, double& sim) {
    if (a.latin1 && b.latin1) return compare_texts(a.bytes, b.bytes, sim);
    widen(a);
    widen(b);
    return compare_texts(a.wide, b.wide, sim);
}

// The same steps with Python operations, for a normaliser rebound to
// something that does not give plain str.
Ref word_set(PyObject* text) {
    Ref words = call_method(text, SC_NAME("split"));
    Ref set = own(PySet_New(nullptr));
    for_each(words.get(), [&](PyObject* w) {
        const Py_ssize_t n = PyObject_Size(w);
        if (n < 0) throw Error{};
        if (n >= 3) check(PySet_Add(set.get(), w));
    });
    return set;
}

Match compare_objects(PyObject* a, PyObject* b, double& sim) {
    if (compare(a, b, Py_EQ)) return Match::EQUAL;
    if (contains(b, a) || contains(a, b)) return Match::CONTAINED;
    Ref wa = word_set(a), wb = word_set(b);
    if (PySet_GET_SIZE(wa.get()) == 0 || PySet_GET_SIZE(wb.get()) == 0) return Match::NO_WORDS;
    Ref inter = own(PyNumber_And(wa.get(), wb.get()));
    Ref all = own(PyNumber_Or(wa.get(), wb.get()));
    sim = static_cast<double>(PySet_GET_SIZE(inter.get())) / static_cast<double>(PySet_GET_SIZE(all.get()));
    return Match::WORDS;
}

// Decimal digits of the registry's postal code, as re.sub(r"\D", "", cep).
std::u32string cep_digits(PyObject* cep) {
    if (!PyUnicode_Check(cep)) {
        if (PyObject_CheckBuffer(cep))
            PyErr_SetString(PyExc_TypeError, "cannot use a string pattern on a bytes-like object");
        else
            PyErr_Format(PyExc_TypeError, "expected string or bytes-like object, got '%.200s'", Py_TYPE(cep)->tp_name);
        throw Error{};
    }
    std::u32string out;
    visit_str(cep, [&](const auto* d, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            if (uni::is_decimal(static_cast<char32_t>(d[i]))) out.push_back(static_cast<char32_t>(d[i]));
    });
    return out;
}

Ref verdict(bool confere, double sim, PyObject* endereco) {
    return tuple_of(boolean(confere), own(PyFloat_FromDouble(sim)), Ref::borrow(endereco));
}

const Key kAddressOrder[] = {K_LOGRADOURO, K_NUMERO, K_COMPLEMENTO, K_BAIRRO, K_CIDADE, K_UF, K_CEP};

// A registry address part as text. Services may deliver numbers (BrasilAPI
// types `cep` as one, which drops its leading zeros): a number is read as
// its decimal text, a postal code zero-padded to 8 digits. Anything else
// stays as delivered.
Ref address_part(Ref v, bool cep) {
    PyObject* o = v.get();
    if (PyBool_Check(o)) return v;
    if (PyFloat_CheckExact(o)) {
        const double d = PyFloat_AS_DOUBLE(o);
        if (!std::isfinite(d) || d != std::floor(d)) return own(PyObject_Str(o));
        v = own(PyLong_FromDouble(d));
        o = v.get();
    }
    if (!PyLong_Check(o)) return v;
    if (!cep) return own(PyObject_Str(o));
    Ref spec = str("08d");
    return own(PyObject_Format(o, spec.get()));
}

constexpr Param kCompararParams[] = {
    {"endereco_contrato", "str"},
    {"dados_receita", "dict"},
};

Ref comparar_enderecos(Call& c) {
    PyObject* contrato = c.str_arg(param(kCompararParams, "endereco_contrato"));
    PyObject* dados = c.dict_arg(param(kCompararParams, "dados_receita"));
    if (PyUnicode_GET_LENGTH(contrato) == 0 || PyDict_GET_SIZE(dados) == 0)
        return verdict(false, 0.0, empty_str());

    Ref no_address = own(PyDict_New());
    Ref end = mapping_get(dados, key(K_ENDERECO), no_address.get());
    Ref partes = own(PyList_New(0));
    for (Key k : kAddressOrder) {
        Ref v = address_part(get1(end.get(), key(k)), k == K_CEP);
        if (truth(v.get())) check(PyList_Append(partes.get(), v.get()));
    }
    Ref space = str(" ");
    Ref receita = own(PyUnicode_Join(space.get(), partes.get()));
    if (PyUnicode_GET_LENGTH(receita.get()) == 0) return verdict(false, 0.0, empty_str());

    Ref norm = c.global(SC_NAME("_normalizar_endereco"));
    thread_local Folded a, b;
    sc::ScratchScope keep(a, b);
    double sim = 0.0;
    Match m;
    if (c.is_own(norm.get(), &kNormSpec)) {
        fold_str(contrato, a);
        normalize_folded(a);
        fold_str(receita.get(), b);
        normalize_folded(b);
        m = compare_folded(a, b, sim);
    } else {
        Ref cn = call(norm.get(), contrato);
        Ref rn = call(norm.get(), receita.get());
        if (PyUnicode_CheckExact(cn.get()) && PyUnicode_CheckExact(rn.get())) {
            load_text(cn.get(), a);
            load_text(rn.get(), b);
            m = compare_folded(a, b, sim);
        } else {
            m = compare_objects(cn.get(), rn.get(), sim);
        }
    }
    switch (m) {
        case Match::EQUAL: return verdict(true, kEqual, receita.get());
        case Match::CONTAINED: return verdict(true, kContained, receita.get());
        case Match::NO_WORDS: return verdict(false, 0.0, receita.get());
        case Match::WORDS: break;
    }

    // A postal code that agrees lifts the score to the floor.
    char32_t cep_c[8];
    const bool found = visit_str(contrato, [&](const auto* d, std::size_t n) { return core::find_cep(d, n, cep_c); });
    Ref cep_receita = address_part(mapping_get(end.get(), key(K_CEP), empty_str()), true);
    if (found && truth(cep_receita.get())) {
        const std::u32string cep_r = cep_digits(cep_receita.get());
        if (cep_r.size() == 8 && std::u32string_view(cep_c, 8) == cep_r && sim < kCepFloor) sim = kCepFloor;
    }
    return verdict(sim >= kConfere, sim, receita.get());
}

const FuncSpec kCompararSpec = {
    "comparar_enderecos",
    "comparar_enderecos",
    "Compara endereço do contrato com o da Receita Federal.\n"
    "\n"
    "Args:\n"
    "    endereco_contrato: Endereço como escrito no contrato\n"
    "    dados_receita: Dados da empresa retornados por consultar_cnpj\n"
    "\n"
    "Returns:\n"
    "    (confere: bool, similaridade: float, endereco_receita: str)\n"
    "\n"
    "Exemplo:\n"
    "    dados = consultar_cnpj(\"12.345.678/0001-99\")\n"
    "    confere, sim, endereco = comparar_enderecos(\"Av Paulista 1000, Bela Vista, São Paulo\", dados)\n"
    "    print(f\"Confere: {confere} ({sim:.0%})\")\n",
    kCompararParams,
    2,
    "Tuple[bool, float, str]",
    comparar_enderecos,
};

// ---------------------------------------------------------------------------
// Module

void add_str(PyObject* m, const char* name, const char* value) {
    Ref v = str(value);
    check(PyModule_AddObjectRef(m, name, v.get()));
}

// `import name`.  A module already in sys.modules is bound as it is, without
// touching its attributes: a lazily loaded one (importlib.util.LazyLoader, as
// the command line makes `requests`) stays unloaded until first used.
void add_import(PyObject* m, const char* name) {
    Ref key = str(name);
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(PyImport_GetModuleDict(), key.get(), &found) < 0) throw Error{};
    Ref mod = Ref::steal(found);
    if (!mod || mod.get() == Py_None) mod = own(PyImport_Import(key.get()));
    check(PyModule_AddObjectRef(m, name, mod.get()));
}

int exec_module(PyObject* m) {
    return guarded_exec(m, sc_module_names, [](PyObject* mod) {
        add_import(mod, "re");
        add_import(mod, "unicodedata");
        add_import(mod, "requests");
        Ref ftype = make_function_type(mod);
        state_of(mod)->slots[0] = Py_NewRef(ftype.get());
        const FuncSpec* specs[] = {
            &kLimparSpec,    &kValidarSpec,         &kFormatarSpec, &kBrasilSpec,   &kReceitaSpec,
            &kConsultarSpec, &kConsultarDetalheSpec, &kPorNomeSpec,  &kPorNomeDetalheSpec,
            &kEmpresaSpec,   &kCompletoSpec,        &kNormSpec,     &kCompararSpec,
        };
        add_functions(mod, ftype.get(), specs, static_cast<int>(std::size(specs)));
        Ref consultar = module_global(mod, SC_NAME("consultar_cnpj"));
        check(PyModule_AddObjectRef(mod, "consultar_cnpj_online", consultar.get()));
        add_str(mod, "BRASIL_API_URL", "https://brasilapi.com.br/api/cnpj/v1/{cnpj}");
        add_str(mod, "RECEITA_WS_URL", "https://receitaws.com.br/v1/cnpj/{cnpj}");
        add_str(mod, "CASADOSDADOS_API", "https://api.casadosdados.com.br/v2/public/cnpj/search");
        Ref timeout = integer(10);
        check(PyModule_AddObjectRef(mod, "REQUEST_TIMEOUT", timeout.get()));
    });
}

}  // namespace

SC_DEFINE_MODULE(cnpj, "scrivane_contract.cnpj",
                 "Utilidades de CNPJ e consultas à Receita Federal (BrasilAPI, ReceitaWS, Casa dos Dados).",
                 exec_module)
