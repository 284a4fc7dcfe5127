// scrivane_contract.checker: contract verification.
//
// ContractChecker has the extraction engine read a contract, checks each
// company against the federal registry and each signatory against the
// partner list (QSA) of the company represented, classifies the contract and
// prints a report. It behaves like a Python class: every name the module
// binds at import (ScrivaneAuth, Path, the record types, consultar_cnpj...)
// is read from the module namespace when used, and the methods reach each
// other through attribute lookup on `self`, so rebinding a module name or
// patching a method changes the next call.
#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

#include "binding.hpp"
#include "module.hpp"
#include "text.hpp"

namespace {

using namespace sc::py;

// Fixed texts
#define EMOJI_LOG "\U0001F4CB"
#define EMOJI_OK "\u2705"
#define EMOJI_FAIL "\u274C"
#define EMOJI_WARN "\u26A0\uFE0F"
#define EMOJI_UNKNOWN "\u2753"
#define EMOJI_SEARCH "\U0001F50D"
#define EMOJI_SEARCH_NAME "\U0001F50E"
#define EMOJI_FILE "\U0001F4C4"
#define EMOJI_UPLOAD "\U0001F4E4"
#define EMOJI_COMPANY "\U0001F3E2"
#define EMOJI_SIGN "\u270D\uFE0F"
#define EMOJI_PERSON "\U0001F464"
#define EMOJI_MONEY "\U0001F4B0"
#define EMOJI_INFO "\u2139\uFE0F"

// Every attribute name, key and fixed text of the module, interned at
// execution into module state.
constexpr std::string_view kNames[] = {
    "__qualname__", "__module__", "keys", "__name__", "__spec__", "_initializing", "_log", "verbose", "model",
    "usar_ai_search", "ScrivaneAuth", "api_token", "openai_api_key", "provider", "azure_api_key",
    "azure_endpoint", "azure_deployment", "azure_api_version", "_auth", "has_api_key", "is_azure", "_client",
    "_scrivane_available", "get_token", " ", "add_question", "id", "name", "tag", "config", "system_prompt",
    "user_prompt", "keywords", "response_model", "getLogger", "scrivane_contract.checker", "warning",
    "is_scrivane_available", EMOJI_WARN, "get_scrivane_kwargs", "_setup_questions",
    "Erro ao inicializar Scrivane: ", EMOJI_FAIL, "normalize", "category", "unicodedata", "lower", "strip",
    "split", "_normalizar_texto", "socios", "nome", "_comparar_nomes", "qualificacao", "nome_representante",
    "qualificacao_representante", "CampoVerificado", "consultar_cnpj", "buscar_cnpj_por_nome", "indisponivel",
    "razao_social", "\n--- Verificando: ", " ---", EMOJI_COMPANY, "cnpj", "limpar_cnpj", "validar_cnpj",
    "formatar_cnpj", "Consultando CNPJ ", "...", EMOJI_SEARCH, "consultar_cnpj_detalhado",
    "Buscando por nome: ", EMOJI_SEARCH_NAME, "buscar_cnpj_por_nome_detalhado", EMOJI_OK " Encontrado: ",
    "campo", "CNPJ", "status", "aprovado", "valor_contrato", "valor_receita", "mensagem", "CNPJ encontrado",
    "situacao", "upper", "ATIVA", "Empresa ", "Situação Cadastral", "reprovado", "-", "Empresa com situação: ",
    "Razão Social", "pendente", "Confere", "Divergente", "endereco", "comparar_enderecos", "Similaridade: ",
    "%", "Endereço", "papel_no_contrato", "EmpresaVerificada", "razao_social_contrato", "razao_social_receita",
    "campos", "cnpj_encontrado", "cnpj_buscado_por_nome", "empresa_ativa", "razao_social_confere", "problemas",
    "Receita Federal indisponível", "Receita Federal indisponível: consulta não concluída",
    "CNPJ não encontrado na Receita Federal", "Consulta à Receita Federal não concluída",
    "CNPJ não encontrado", "QSA: ", "\n--- Verificando Assinaturas ---", EMOJI_SIGN, "nome_signatario", "N/A",
    "Identificação", "nao_verificado", "Signatário não identificado", "tipo_assinatura",
    "AssinaturaVerificada", "(não identificado)", "Verificando: ", EMOJI_PERSON, "cnpj_empresa",
    "empresa_representada", "_verificar_poder_assinatura", "values", "Signatário tem poder (", ")",
    "Poder de Assinatura", EMOJI_OK " ", " TEM PODER (", "Signatário NÃO encontrado no QSA",
    "Signatário sem poder de assinatura", EMOJI_FAIL " ", " NÃO TEM PODER", "Não foi possível verificar",
    EMOJI_WARN " ", " - não foi possível verificar", "cargo", "tem_poder_assinatura", "qualificacao_qsa",
    "testemunha", "Testemunha", "Testemunha: assina sem representar empresa", EMOJI_INFO " ",
    " - testemunha, não representa empresa", "motivo_indisponivel", "aviso_indisponivel", "requests",
    "emoji", "      ", ": ", "\n", "      \u2022 ", "APROVADO", "REPROVADO", "PENDENTE", " RESULTADO FINAL: ",
    "   ", "\U0001F4CB CAMPOS VERIFICADOS", "   " EMOJI_OK " Aprovados: ", "   " EMOJI_FAIL " Reprovados: ",
    "   " EMOJI_WARN " Pendentes: ", EMOJI_COMPANY " EMPRESAS (", "\n   ", "      CNPJ: ",
    " (encontrado por busca)", EMOJI_SIGN " ASSINATURAS (", "      Cargo: ", EMOJI_MONEY " MÉTRICAS", "tokens",
    "   Tokens: ", "cost_usd", "   Custo: $", "time_seconds", "   Tempo: ", "s", "raw_result", "get", " - ",
    "model_dump", "Path", "exists", "Arquivo não encontrado: ", "VERIFICAÇÃO DE LEGITIMIDADE DE CONTRATO",
    "Arquivo: ", EMOJI_FILE, "_init_scrivane", "Extração de dados não disponível", "resultado_final",
    "justificativa", "campos_aprovados", "campos_reprovados", "campos_pendentes", "empresas", "assinaturas",
    "\n" EMOJI_UPLOAD " Extraindo dados do contrato...", "process", "get_result", "dados_contrato",
    "EmpresaExtraida", "AssinaturaExtraida", "Empresas extraídas: ", "Assinaturas extraídas: ",
    "\n" EMOJI_SEARCH " Validando empresas na Receita Federal...", "_validar_empresas", "_validar_assinaturas",
    " campo(s) reprovado(s)", " campo(s) requer(em) análise manual", "Extração incompleta: sem resposta para ",
    "Todos os ", " campos verificados foram aprovados", "total_metrics", "_imprimir_relatorio", "metricas",
    "total_campos", "total_aprovados", "total_reprovados", "total_pendentes", "custo_usd", "tempo_segundos",
    "ContractChecker", "verificar",
};
SC_MODULE_NAMES(kNames);

// Module state slots.
enum : int { kFuncType = 0, kCheckerType = 1, kUnicodedata = 2, kNormalize = 3, kCategory = 4 };

// ---------------------------------------------------------------------------
// Small helpers

// Fixed texts are interned with the names.
#define SC_TEXT(lit) SC_NAME(lit)

struct Kw {
    PyObject* name;
    PyObject* value;
};

Ref kwnames_of(std::initializer_list<Kw> kws) {
    Ref names = own(PyTuple_New(static_cast<Py_ssize_t>(kws.size())));
    Py_ssize_t i = 0;
    for (const Kw& k : kws) PyTuple_SET_ITEM(names.get(), i++, Py_NewRef(k.name));
    return names;
}

// f(name=value, ...)
Ref call_kwargs(PyObject* f, std::initializer_list<Kw> kws) {
    std::vector<PyObject*> argv;
    argv.reserve(kws.size());
    for (const Kw& k : kws) argv.push_back(k.value);
    Ref names = kwnames_of(kws);
    return call_kw(f, argv.data(), 0, names.get());
}

// self.name(name=value, ...), the method found by attribute lookup.
Ref call_method_kwargs(PyObject* self, PyObject* name, std::initializer_list<Kw> kws) {
    std::vector<PyObject*> argv;
    argv.reserve(kws.size() + 1);
    argv.push_back(self);
    for (const Kw& k : kws) argv.push_back(k.value);
    Ref names = kwnames_of(kws);
    return own(PyObject_VectorcallMethod(name, argv.data(), 1, names.get()));
}

// The text of o as an f-string substitution gives it.
Ref fmt(PyObject* o) { return own(PyObject_Format(o, nullptr)); }
Ref fmt(PyObject* o, const char* spec) {
    Ref s = str(spec);
    return own(PyObject_Format(o, s.get()));
}
Ref as_str(PyObject* o) { return own(PyObject_Str(o)); }
Ref decimal(Py_ssize_t n) {
    Ref v = own(PyLong_FromSsize_t(n));
    return own(PyObject_Str(v.get()));
}

// Concatenation of texts.
Ref cat(std::initializer_list<PyObject*> parts) {
    Ref t = own(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    Py_ssize_t i = 0;
    for (PyObject* p : parts) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(p));
    Ref empty = own(PyUnicode_New(0, 0));
    return own(PyUnicode_Join(empty.get(), t.get()));
}

Ref repeat(const char* unit, Py_ssize_t n) {
    Ref u = str(unit);
    return own(PySequence_Repeat(u.get(), n));
}

Ref empty_text() { return own(PyUnicode_New(0, 0)); }
Ref new_list() { return own(PyList_New(0)); }
Ref new_dict() { return own(PyDict_New()); }

void append(PyObject* list, PyObject* item) { check(PyList_Append(list, item)); }

bool text_equals(PyObject* a, PyObject* b) {
    const int r = PyObject_RichCompareBool(a, b, Py_EQ);
    if (r < 0) throw Error{};
    return r != 0;
}


// Registry services may deliver null where a text belongs; such a value is
// taken as the empty text wherever it is compared, upper-cased or listed.
Ref null_as_empty(Ref v) {
    if (v.get() == Py_None) return empty_text();
    return v;
}

// Unpacks exactly n values from o, with the interpreter's own messages.
void unpack(PyObject* o, Ref* out, int n) {
    if (!Py_TYPE(o)->tp_iter && !PySequence_Check(o)) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(o)->tp_name);
        throw Error{};
    }
    Ref it = own(PyObject_GetIter(o));
    for (int i = 0; i < n; ++i) {
        PyObject* v = PyIter_Next(it.get());
        if (!v) {
            if (PyErr_Occurred()) throw Error{};
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)", n, i);
            throw Error{};
        }
        out[i] = Ref::steal(v);
    }
    PyObject* extra = PyIter_Next(it.get());
    if (extra) {
        Ref drop = Ref::steal(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d)", n);
        throw Error{};
    }
    if (PyErr_Occurred()) throw Error{};
}

Ref pair(PyObject* a, PyObject* b) {
    Ref t = own(PyTuple_New(2));
    PyTuple_SET_ITEM(t.get(), 0, Py_NewRef(a));
    PyTuple_SET_ITEM(t.get(), 1, Py_NewRef(b));
    return t;
}

// "module.qualname()", as the interpreter names a callable in its messages.
Ref function_str(PyObject* f) {
    PyObject* qual = nullptr;
    if (PyObject_GetOptionalAttr(f, SC_NAME("__qualname__"), &qual) < 0) throw Error{};
    if (!qual) return as_str(f);
    Ref q = Ref::steal(qual);
    PyObject* mod = nullptr;
    if (PyObject_GetOptionalAttr(f, SC_NAME("__module__"), &mod) < 0) throw Error{};
    Ref m = Ref::steal(mod);
    if (m && m.get() != Py_None && PyUnicode_Check(m.get()) &&
        PyUnicode_CompareWithASCIIString(m.get(), "builtins") != 0)
        return own(PyUnicode_FromFormat("%U.%U()", m.get(), q.get()));
    return own(PyUnicode_FromFormat("%S()", q.get()));
}

// f(**mapping)
Ref call_with_mapping(PyObject* f, PyObject* mapping) {
    Ref noargs = own(PyTuple_New(0));
    if (PyDict_CheckExact(mapping)) return own(PyObject_Call(f, noargs.get(), mapping));
    Ref kwargs = new_dict();
    if (PyDict_Merge(kwargs.get(), mapping, 1) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw Error{};
        Ref raised = Ref::steal(PyErr_GetRaisedException());
        const int has_keys = PyObject_HasAttrWithError(mapping, SC_NAME("keys"));
        if (has_keys < 0) throw Error{};
        if (has_keys) {
            PyErr_SetRaisedException(raised.release());
            throw Error{};
        }
        Ref name = function_str(f);
        PyErr_Format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", name.get(),
                     Py_TYPE(mapping)->tp_name);
        throw Error{};
    }
    return own(PyObject_Call(f, noargs.get(), kwargs.get()));
}

// ---------------------------------------------------------------------------
// Imports, as `import x` and `from x import a, b` do them

Ref import_module(const char* name) {
    Ref n = str(name);
    return own(PyImport_Import(n.get()));
}

// One name out of an imported module, with the interpreter's ImportError.
Ref import_from(PyObject* module, PyObject* name) {
    PyObject* v = nullptr;
    const int r = PyObject_GetOptionalAttr(module, name, &v);
    if (r < 0) throw Error{};
    if (r > 0) return Ref::steal(v);

    // A submodule that is still being set up is already in sys.modules.
    PyObject* pkg = nullptr;
    if (PyObject_GetOptionalAttr(module, SC_NAME("__name__"), &pkg) < 0) PyErr_Clear();
    Ref pkgname = Ref::steal(pkg);
    if (pkgname && PyUnicode_Check(pkgname.get())) {
        Ref full = own(PyUnicode_FromFormat("%U.%U", pkgname.get(), name));
        PyObject* sub = PyImport_GetModule(full.get());
        if (sub) return Ref::steal(sub);
        if (PyErr_Occurred()) throw Error{};
    } else {
        pkgname = str("<unknown module name>");
    }

    bool initializing = false;
    PyObject* spec_raw = nullptr;
    if (PyObject_GetOptionalAttr(module, SC_NAME("__spec__"), &spec_raw) < 0) PyErr_Clear();
    Ref spec = Ref::steal(spec_raw);
    if (spec && spec.get() != Py_None) {
        PyObject* init = nullptr;
        if (PyObject_GetOptionalAttr(spec.get(), SC_NAME("_initializing"), &init) < 0) PyErr_Clear();
        Ref in = Ref::steal(init);
        if (in) {
            const int t = PyObject_IsTrue(in.get());
            if (t < 0) PyErr_Clear();
            initializing = t > 0;
        }
    }
    PyObject* path_raw = PyModule_GetFilenameObject(module);
    if (!path_raw) PyErr_Clear();
    Ref path = Ref::steal(path_raw);
    const bool located = path && PyUnicode_Check(path.get());
    Ref msg;
    if (initializing)
        msg = own(PyUnicode_FromFormat(
            "cannot import name %R from partially initialized module %R (most likely due to a circular import) (%S)",
            name, pkgname.get(), located ? path.get() : Py_None));
    else if (located)
        msg = own(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, pkgname.get(), path.get()));
    else
        msg = own(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name, pkgname.get()));
    // ImportError(msg, name=..., path=..., name_from=...)
    Ref path_value = located ? path : none();
    PyObject* argv[] = {msg.get(), pkgname.get(), path_value.get(), name};
    Ref names = own(Py_BuildValue("(sss)", "name", "path", "name_from"));
    Ref exc = call_kw(PyExc_ImportError, argv, 1, names.get());
    PyErr_SetObject(PyExc_ImportError, exc.get());
    throw Error{};
}

// `from module import names...`; returns the module. Each name, once found,
// is handed to `bind` before the next one is looked up.
template <class Bind>
Ref from_import(PyObject* globals, const char* module, std::initializer_list<const char*> names, Bind&& bind) {
    Ref modname = str(module);
    Ref fromlist = own(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* n : names) PyTuple_SET_ITEM(fromlist.get(), i++, str(n).release());
    Ref mod = own(PyImport_ImportModuleLevelObject(modname.get(), globals, nullptr, fromlist.get(), 0));
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(fromlist.get()); ++k) {
        PyObject* name = PyTuple_GET_ITEM(fromlist.get(), k);
        Ref v = import_from(mod.get(), name);
        bind(name, v.get());
    }
    return mod;
}

// ---------------------------------------------------------------------------
// Output

// print(text, end="")
void print_no_end(PyObject* text) {
    Ref p = print_function();
    Ref end = empty_text();
    PyObject* argv[] = {text, end.get()};
    Ref names = own(Py_BuildValue("(s)", "end"));
    call_kw(p.get(), argv, 1, names.get());
}

// print()
void print_end_only() {
    Ref p = print_function();
    call(p.get());
}

void print_cat(std::initializer_list<PyObject*> parts) {
    Ref line = cat(parts);
    print_line(line.get());
}

// self._log(msg, emoji)
void log(PyObject* self, PyObject* msg, PyObject* emoji) { call_method(self, SC_NAME("_log"), msg, emoji); }

// ---------------------------------------------------------------------------
// Extraction questions

constexpr const char* kUnavailable = "Scrivane não disponível. Instale com: pip install scrivane";

// The three extraction questions.
struct QuestionText {
    const char* id;
    const char* name;
    const char* tag;
    const char* system_prompt;
    const char* user_prompt;
    std::initializer_list<const char*> keywords;
    const char* response_model;
};

const QuestionText kQuestions[] = {
    {"empresas", "Empresas do Contrato", "empresas",
     "Você é um especialista em análise de contratos brasileiros.\n"
     "Extraia TODAS as empresas mencionadas com CNPJ, razão social e papel no contrato.\n"
     "\n"
     "REGRAS:\n"
     "1. CNPJ deve ter 14 dígitos (com ou sem formatação)\n"
     "2. Identifique claramente: contratante (quem paga) vs contratada (quem presta serviço)\n"
     "3. Extraia TODAS as empresas, incluindo intervenientes e fiadoras",
     "Analise o contrato e extraia todas as empresas:\n"
     "\n"
     "{texto}\n"
     "\n"
     "Para cada empresa extraia: CNPJ, razão social, nome fantasia, endereço e papel no contrato.",
     {"cnpj", "contratante", "contratada", "inscrita", "razão social", "ltda", "s/a"}, "ExtracaoEmpresas"},
    {"assinaturas", "Assinaturas do Contrato", "assinaturas",
     "Você é um especialista em análise de contratos.\n"
     "Extraia TODAS as pessoas físicas que assinaram ou são representantes.\n"
     "\n"
     "ONDE PROCURAR:\n"
     "1. Bloco de assinaturas no final\n"
     "2. Cláusula de representação legal\n"
     "3. Qualificação das partes\n"
     "4. Cláusula de NOTIFICAÇÕES\n"
     "5. Assinaturas digitais\n"
     "6. Testemunhas",
     "Extraia todas as pessoas físicas mencionadas como representantes:\n"
     "\n"
     "{texto}\n"
     "\n"
     "Para cada pessoa extraia: nome completo, cargo, CPF (se houver), empresa que representa.",
     {"assinatura", "assinado", "certificado", "representante", "testemunha", "cpf"}, "ExtracaoAssinaturas"},
    {"dados_contrato", "Dados do Contrato", "dados_contrato",
     "Você é um especialista em análise de contratos.\n"
     "Extraia os dados gerais do contrato.",
     "Extraia os dados gerais do contrato:\n"
     "\n"
     "{texto}\n"
     "\n"
     "Extraia: tipo de contrato, objeto, data, vigência, valor, foro.",
     {"contrato", "objeto", "vigência", "valor", "cláusula", "foro"}, "ExtracaoDadosContrato"},
};

// ---------------------------------------------------------------------------
// ContractChecker: construction, properties, _log

constexpr Param kInitParams[] = {
    {"self"},
    {"api_token", "Optional[str]", Param::NONE},
    {"openai_api_key", "Optional[str]", Param::NONE},
    {"provider", "Optional[str]", Param::NONE},
    {"azure_api_key", "Optional[str]", Param::NONE},
    {"azure_endpoint", "Optional[str]", Param::NONE},
    {"azure_deployment", "Optional[str]", Param::NONE},
    {"azure_api_version", "str", Param::STR, "2024-02-15-preview"},
    {"model", "str", Param::STR, "gpt-4o"},
    {"verbose", "bool", Param::TRUE_},
    {"usar_ai_search", "bool", Param::TRUE_},
};

Ref checker_init(Call& c) {
    PyObject* self = c[param(kInitParams, "self")];
    for (int i = param(kInitParams, "api_token"); i <= param(kInitParams, "azure_deployment"); ++i)
        c.str_or_none_arg(i);
    c.str_arg(param(kInitParams, "azure_api_version"));
    c.str_arg(param(kInitParams, "model"));
    setattr(self, SC_NAME("verbose"), boolean(truth(c[param(kInitParams, "verbose")])).get());
    setattr(self, SC_NAME("model"), c[param(kInitParams, "model")]);
    setattr(self, SC_NAME("usar_ai_search"), boolean(truth(c[param(kInitParams, "usar_ai_search")])).get());

    Ref auth_type = c.global(SC_NAME("ScrivaneAuth"));
    Ref auth = call_kwargs(auth_type.get(), {
                                                {SC_NAME("api_token"), c[param(kInitParams, "api_token")]},
                                                {SC_NAME("openai_api_key"), c[param(kInitParams, "openai_api_key")]},
                                                {SC_NAME("provider"), c[param(kInitParams, "provider")]},
                                                {SC_NAME("azure_api_key"), c[param(kInitParams, "azure_api_key")]},
                                                {SC_NAME("azure_endpoint"), c[param(kInitParams, "azure_endpoint")]},
                                                {SC_NAME("azure_deployment"), c[param(kInitParams, "azure_deployment")]},
                                                {SC_NAME("azure_api_version"), c[param(kInitParams, "azure_api_version")]},
                                            });
    setattr(self, SC_NAME("_auth"), auth.get());

    Ref has_key = getattr(auth.get(), SC_NAME("has_api_key"));
    if (!truth(has_key.get())) {
        Ref is_azure = getattr(auth.get(), SC_NAME("is_azure"));
        if (truth(is_azure.get()))
            PyErr_SetString(PyExc_ValueError,
                            "Credenciais Azure não configuradas. Defina AZURE_API_KEY, AZURE_API_ENDPOINT e "
                            "AZURE_DEPLOYMENT_NAME.");
        else
            PyErr_SetString(PyExc_ValueError,
                            "OpenAI API key não configurada. Defina OPENAI_API_KEY ou passe openai_api_key.");
        throw Error{};
    }
    setattr(self, SC_NAME("_client"), Py_None);
    setattr(self, SC_NAME("_scrivane_available"), Py_None);
    return none();
}

const FuncSpec kInitSpec = {
    "__init__",
    "ContractChecker.__init__",
    "Configura o verificador: provedor, credenciais, modelo e modo verboso.",
    kInitParams,
    11,
    nullptr,
    checker_init,
};

// A property value that must be a text or None.
PyObject* text_or_none_result(Ref v) {
    if (v.get() != Py_None && !PyUnicode_CheckExact(v.get())) {
        PyErr_Format(PyExc_TypeError, "Expected str, got %.200s", Py_TYPE(v.get())->tp_name);
        return nullptr;
    }
    return v.release();
}

// The module definition, at the end of this file.
extern PyModuleDef sc_module_def_;

// A property getter's body, run as an entry point with this module (the one
// that defined the instance's class, or its base) as the running one.
template <class F>
PyObject* guarded(PyObject* self, F&& f) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &sc_module_def_);  // borrowed
        if (!module) throw Error{};
        ModuleScope scope(module);
        return f();
    });
}

PyObject* get_auth(PyObject* self, void*) {
    return guarded(self, [&] { return getattr(self, SC_NAME("_auth")).release(); });
}
PyObject* get_token(PyObject* self, void*) {
    return guarded(self, [&] {
        Ref auth = getattr(self, SC_NAME("_auth"));
        return text_or_none_result(call_method(auth.get(), SC_NAME("get_token")));
    });
}
PyObject* get_provider(PyObject* self, void*) {
    return guarded(self, [&] {
        Ref auth = getattr(self, SC_NAME("_auth"));
        return text_or_none_result(getattr(auth.get(), SC_NAME("provider")));
    });
}

PyGetSetDef kCheckerGetset[] = {
    {"auth", get_auth, nullptr, "Credenciais (ScrivaneAuth) deste verificador.", nullptr},
    {"token", get_token, nullptr, "Token de autenticação do serviço de extração, ou None.", nullptr},
    {"provider", get_provider, nullptr, "Provedor do modelo: \"openai\" ou \"azure\".", nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr Param kLogParams[] = {
    {"self"},
    {"msg", "str"},
    {"emoji", "str", Param::STR, EMOJI_LOG},
};

Ref checker_log(Call& c) {
    Ref verbose = getattr(c[param(kLogParams, "self")], SC_NAME("verbose"));
    if (!truth(verbose.get())) return none();
    Ref emoji = fmt(c[param(kLogParams, "emoji")]);
    Ref msg = fmt(c[param(kLogParams, "msg")]);
    print_cat({emoji.get(), SC_TEXT(" "), msg.get()});
    return none();
}

const FuncSpec kLogSpec = {
    "_log",
    "ContractChecker._log",
    "Imprime uma linha de progresso quando verbose.",
    kLogParams,
    3,
    nullptr,
    checker_log,
};

// ---------------------------------------------------------------------------
// Engine set-up

constexpr Param kSelfOnly[] = {
    {"self"},
};

Ref setup_questions(Call& c) {
    PyObject* self = c[param(kSelfOnly, "self")];
    Ref question_type, config_type;
    from_import(PyModule_GetDict(c.module), "scrivane", {"Question", "QuestionConfig"},
                [&](PyObject* name, PyObject* v) {
                    if (PyUnicode_CompareWithASCIIString(name, "Question") == 0)
                        question_type = Ref::borrow(v);
                    else
                        config_type = Ref::borrow(v);
                });
    for (const QuestionText& q : kQuestions) {
        Ref client = getattr(self, SC_NAME("_client"));
        Ref add = getattr(client.get(), SC_NAME("add_question"));
        Ref id = str(q.id), name = str(q.name), tag = str(q.tag);
        Ref config = call_kwargs(config_type.get(), {{SC_NAME("id"), id.get()},
                                                     {SC_NAME("name"), name.get()},
                                                     {SC_NAME("tag"), tag.get()}});
        Ref system_prompt = str(q.system_prompt), user_prompt = str(q.user_prompt);
        Ref keywords = new_list();
        for (const char* k : q.keywords) append(keywords.get(), str(k).get());
        Ref model_name = str(q.response_model);
        Ref model = c.global(model_name.get());
        Ref question = call_kwargs(question_type.get(), {{SC_NAME("config"), config.get()},
                                                         {SC_NAME("system_prompt"), system_prompt.get()},
                                                         {SC_NAME("user_prompt"), user_prompt.get()},
                                                         {SC_NAME("keywords"), keywords.get()},
                                                         {SC_NAME("response_model"), model.get()}});
        call(add.get(), question.get());
    }
    return none();
}

const FuncSpec kSetupSpec = {
    "_setup_questions",
    "ContractChecker._setup_questions",
    "Registra no motor as três perguntas de extração.",
    kSelfOnly,
    1,
    nullptr,
    setup_questions,
};

// The reason the engine cannot be used goes to the standard `logging`
// module as a WARNING of this module's logger, so that a program or the
// command line can show it; nothing is printed for it.
void warn_engine_unusable(PyObject* exc) {
    Ref logging = import_module("logging");
    Ref logger = call_method(logging.get(), SC_NAME("getLogger"), SC_TEXT("scrivane_contract.checker"));
    Ref warning = getattr(logger.get(), SC_NAME("warning"));
    if (!exc) {
        Ref msg = str(kUnavailable);
        call(warning.get(), msg.get());
        return;
    }
    Ref fmt_text = str("Erro ao inicializar Scrivane: %s");
    PyObject* argv[] = {fmt_text.get(), exc, exc};
    Ref names = own(Py_BuildValue("(s)", "exc_info"));
    call_kw(warning.get(), argv, 2, names.get());
}

Ref init_scrivane(Call& c) {
    PyObject* self = c[param(kSelfOnly, "self")];
    Ref state = getattr(self, SC_NAME("_scrivane_available"));
    if (state.get() != Py_None) return state;

    Ref auth = getattr(self, SC_NAME("_auth"));
    Ref available = getattr(auth.get(), SC_NAME("is_scrivane_available"));
    if (!truth(available.get())) {
        Ref msg = str(kUnavailable);
        log(self, msg.get(), SC_TEXT(EMOJI_WARN));
        warn_engine_unusable(nullptr);
        setattr(self, SC_NAME("_scrivane_available"), Py_False);
        return boolean(false);
    }
    try {
        Ref engine_type;
        from_import(PyModule_GetDict(c.module), "scrivane", {"Scrivane"},
                    [&](PyObject*, PyObject* v) { engine_type = Ref::borrow(v); });
        Ref auth_now = getattr(self, SC_NAME("_auth"));
        Ref kwargs = call_method(auth_now.get(), SC_NAME("get_scrivane_kwargs"));
        Ref model = getattr(self, SC_NAME("model"));
        check(PyObject_SetItem(kwargs.get(), SC_NAME("model"), model.get()));
        Ref verbose = getattr(self, SC_NAME("verbose"));
        check(PyObject_SetItem(kwargs.get(), SC_NAME("verbose"), verbose.get()));
        Ref engine = call_with_mapping(engine_type.get(), kwargs.get());
        setattr(self, SC_NAME("_client"), engine.get());
        call_method(self, SC_NAME("_setup_questions"));
        setattr(self, SC_NAME("_scrivane_available"), Py_True);
        return boolean(true);
    } catch (const Error&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    }
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref text = as_str(exc.get());
    Ref msg = cat({SC_TEXT("Erro ao inicializar Scrivane: "), text.get()});
    log(self, msg.get(), SC_TEXT(EMOJI_FAIL));
    warn_engine_unusable(exc.get());
    setattr(self, SC_NAME("_scrivane_available"), Py_False);
    return boolean(false);
}

const FuncSpec kInitScrivaneSpec = {
    "_init_scrivane",
    "ContractChecker._init_scrivane",
    "Inicializa o motor de extração (uma única vez) e registra as perguntas.",
    kSelfOnly,
    1,
    "bool",
    init_scrivane,
};

// ---------------------------------------------------------------------------
// Name matching and signing power

constexpr Param kTextoParams[] = {
    {"self"},
    {"texto", "str"},
};

// The standard unicodedata with its own normalize and category: the folding
// of the Unicode core gives the same result without a call per character.
bool unicodedata_untouched(PyObject* module, PyObject* ud) {
    PyObject** slots = state_of(module)->slots;
    if (ud != slots[kUnicodedata]) return false;
    PyObject* v = nullptr;
    if (PyObject_GetOptionalAttr(ud, SC_NAME("normalize"), &v) < 0) throw Error{};
    Ref normalize = Ref::steal(v);
    if (normalize.get() != slots[kNormalize]) return false;
    if (PyObject_GetOptionalAttr(ud, SC_NAME("category"), &v) < 0) throw Error{};
    Ref category = Ref::steal(v);
    return category.get() == slots[kCategory];
}

Ref normalizar_texto(Call& c) {
    PyObject* texto = c.str_arg(param(kTextoParams, "texto"));
    if (PyUnicode_GET_LENGTH(texto) == 0) return empty_text();
    Ref ud = c.global(SC_NAME("unicodedata"));
    if (unicodedata_untouched(c.module, ud.get())) return fold_to_str(texto, true);

    // Through whatever `unicodedata` names now.
    Ref form = str("NFD");
    Ref decomposed = call_method(ud.get(), SC_NAME("normalize"), form.get(), texto);
    Ref kept = new_list();
    Ref mn = str("Mn");
    for_each(decomposed.get(), [&](PyObject* ch) {
        Ref cat_ = call_method(ud.get(), SC_NAME("category"), ch);
        const int r = PyObject_RichCompareBool(cat_.get(), mn.get(), Py_NE);
        if (r < 0) throw Error{};
        if (r) append(kept.get(), ch);
    });
    Ref empty = empty_text();
    Ref joined = own(PyUnicode_Join(empty.get(), kept.get()));
    Ref lower = call_method(joined.get(), SC_NAME("lower"));
    return call_method(lower.get(), SC_NAME("strip"));
}

const FuncSpec kNormalizarSpec = {
    "_normalizar_texto",
    "ContractChecker._normalizar_texto",
    "Normaliza texto para comparação: sem acentos, minúsculo, sem espaços nas pontas.",
    kTextoParams,
    2,
    "str",
    normalizar_texto,
};

// The words of more than two characters, as a set.
Ref long_words(PyObject* text) {
    Ref words = PyUnicode_CheckExact(text) ? own(PyUnicode_Split(text, nullptr, -1))
                                           : call_method(text, SC_NAME("split"));
    Ref set = own(PySet_New(nullptr));
    for_each(words.get(), [&](PyObject* w) {
        const Py_ssize_t n = PyObject_Length(w);
        if (n < 0) throw Error{};
        if (n > 2) check(PySet_Add(set.get(), w));
    });
    return set;
}

constexpr Param kNomesParams[] = {
    {"self"},
    {"nome1", "str"},
    {"nome2", "str"},
};

Ref comparar_nomes(Call& c) {
    PyObject* self = c[param(kNomesParams, "self")];
    PyObject* nome1 = c.str_arg(param(kNomesParams, "nome1"));
    PyObject* nome2 = c.str_arg(param(kNomesParams, "nome2"));
    Ref n1 = call_method(self, SC_NAME("_normalizar_texto"), nome1);
    Ref n2 = call_method(self, SC_NAME("_normalizar_texto"), nome2);
    if (!truth(n1.get()) || !truth(n2.get())) return boolean(false);
    if (contains(n2.get(), n1.get()) || contains(n1.get(), n2.get())) return boolean(true);
    Ref w1 = long_words(n1.get());
    Ref w2 = long_words(n2.get());
    Ref common = own(PyNumber_And(w1.get(), w2.get()));
    const Py_ssize_t n = PyObject_Length(common.get());
    if (n < 0) throw Error{};
    return boolean(n >= 2);
}

const FuncSpec kCompararSpec = {
    "_comparar_nomes",
    "ContractChecker._comparar_nomes",
    "Compara dois nomes: contidos um no outro, ou com pelo menos duas palavras em comum.",
    kNomesParams,
    3,
    "bool",
    comparar_nomes,
};

constexpr Param kPoderParams[] = {
    {"self"},
    {"nome_signatario", "str"},
    {"dados_receita", "Dict"},
};

Ref verificar_poder(Call& c) {
    PyObject* self = c[param(kPoderParams, "self")];
    PyObject* nome = c.str_arg(param(kPoderParams, "nome_signatario"));
    PyObject* dados = c.dict_arg(param(kPoderParams, "dados_receita"));
    Ref no_partners = new_list();
    Ref socios = mapping_get(dados, SC_NAME("socios"), no_partners.get());
    Ref empty = empty_text();
    Ref found;
    for_each(socios.get(), [&](PyObject* socio) {
        Ref nome_socio = null_as_empty(mapping_get(socio, SC_NAME("nome"), empty.get()));
        Ref same = call_method(self, SC_NAME("_comparar_nomes"), nome, nome_socio.get());
        if (truth(same.get())) {
            Ref q = mapping_get(socio, SC_NAME("qualificacao"), Py_None);
            found = pair(Py_True, q.get());
            return false;
        }
        Ref rep = mapping_get(socio, SC_NAME("nome_representante"), empty.get());
        if (truth(rep.get())) {
            Ref same_rep = call_method(self, SC_NAME("_comparar_nomes"), nome, rep.get());
            if (truth(same_rep.get())) {
                Ref q = mapping_get(socio, SC_NAME("qualificacao_representante"), Py_None);
                found = pair(Py_True, q.get());
                return false;
            }
        }
        return true;
    });
    return found ? found : pair(Py_False, Py_None);
}

const FuncSpec kPoderSpec = {
    "_verificar_poder_assinatura",
    "ContractChecker._verificar_poder_assinatura",
    "Procura o signatário no QSA: como sócio ou como representante legal de um sócio.",
    kPoderParams,
    3,
    "Tuple[bool, Optional[str]]",
    verificar_poder,
};

// ---------------------------------------------------------------------------
// Company validation

Ref campo(PyObject* module, std::initializer_list<Kw> kws) {
    Ref type = module_global(module, SC_NAME("CampoVerificado"));
    return call_kwargs(type.get(), kws);
}

// Registry lookups. When the checker's `consultar_cnpj` and
// `buscar_cnpj_por_nome` are still the cnpj module's own functions, the
// lookups go through that module's detailed forms (the same requests in the
// same order), which also say whether the registry could be reached at all;
// a name a caller rebound is called as such, and None from it means "not
// found".
struct RegistryLookups {
    bool detailed = false;     // both names are still the cnpj module's
    bool unavailable = false;  // some lookup ended "indisponivel"

    static bool is_cnpj_own(PyObject* module, PyObject* name, const char* cname) {
        Ref f = module_global_opt(module, name);
        return f && sibling_function_module(f.get(), cname) != nullptr;
    }

    explicit RegistryLookups(PyObject* module)
        : detailed(is_cnpj_own(module, SC_NAME("consultar_cnpj"), "consultar_cnpj") &&
                   is_cnpj_own(module, SC_NAME("buscar_cnpj_por_nome"), "buscar_cnpj_por_nome")) {}

    // f(arg), f being the checker's `name`; `detailed_name` is its detailed
    // form in the cnpj module.
    Ref call_one(PyObject* f, const char* name, PyObject* detailed_name, PyObject* arg) {
        PyObject* cnpj_module = detailed ? sibling_function_module(f, name) : nullptr;
        if (!cnpj_module) {
            detailed = false;
            return call(f, arg);
        }
        Ref g = getattr(cnpj_module, detailed_name);
        Ref answer = call(g.get(), arg);
        Ref parts[2];
        unpack(answer.get(), parts, 2);
        if (text_equals(parts[1].get(), SC_TEXT("indisponivel"))) unavailable = true;
        return parts[0];
    }

    // A company not found is pending, not rejected, when the registry could
    // not be asked.
    bool pending() const { return detailed && unavailable; }

    // Why the registry gave no answer, when the client the cnpj module uses
    // (its `requests`) says so in a text `motivo_indisponivel` (a local
    // registry that lacks the company, for instance); else the plain message.
    Ref pending_message(PyObject* module) const {
        return client_text(module, SC_NAME("motivo_indisponivel"),
                           SC_TEXT("Receita Federal indisponível: consulta não concluída"));
    }

    // The progress line of a company left pending: the client's `aviso_indisponivel`
    // when it has one (an offline client, which asked nobody), else the plain line.
    Ref pending_log(PyObject* module) const {
        return client_text(module, SC_NAME("aviso_indisponivel"), SC_TEXT("Receita Federal indisponível"));
    }

    // A non-empty text attribute `name` of the cnpj module's `requests`, else `plain`.
    static Ref client_text(PyObject* module, PyObject* name, PyObject* plain_text) {
        Ref plain = Ref::borrow(plain_text);
        Ref consultar = module_global_opt(module, SC_NAME("consultar_cnpj"));
        PyObject* cnpj_module = consultar ? sibling_function_module(consultar.get(), "consultar_cnpj") : nullptr;
        if (!cnpj_module) return plain;
        Ref client = module_global_opt(cnpj_module, SC_NAME("requests"));
        if (!client) return plain;
        PyObject* v = nullptr;
        if (PyObject_GetOptionalAttr(client.get(), name, &v) < 0) throw Error{};
        Ref texto = Ref::steal(v);
        if (!texto || !PyUnicode_Check(texto.get()) || PyUnicode_GET_LENGTH(texto.get()) == 0) return plain;
        return texto;
    }
};

constexpr Param kEmpresasParams[] = {
    {"self"},
    {"empresas", "List[EmpresaExtraida]"},
};

// One company of the contract on its way through validation.
struct CompanyCheck {
    PyObject* self;
    PyObject* mod;
    Ref empty = empty_text();
    Ref empresa;
    Ref razao;               // legal name as the contract gives it
    bool tem_razao = false;
    Ref cnpj_extraido;       // CNPJ as the contract gives it
    Ref cnpj;                // the CNPJ looked up, or the one the name search found
    bool por_nome = false;   // found by the name search
    Ref dados = none();      // the registry record, or None
    Ref campos = new_list();
    Ref problemas = new_list();

    CompanyCheck(PyObject* self_, PyObject* mod_, PyObject* empresa_)
        : self(self_), mod(mod_), empresa(Ref::borrow(empresa_)) {
        razao = getattr(empresa_, SC_NAME("razao_social"));
        tem_razao = truth(razao.get());
    }

    void read_cnpj() {
        cnpj_extraido = getattr(empresa.get(), SC_NAME("cnpj"));
        cnpj = cnpj_extraido;
    }

    void add_field(std::initializer_list<Kw> kws) {
        Ref f = campo(mod, kws);
        append(campos.get(), f.get());
    }
};

void announce_company(CompanyCheck& k) {
    Ref shown = k.tem_razao ? fmt(k.razao.get()) : str("Empresa");
    Ref msg = cat({SC_TEXT("\n--- Verificando: "), shown.get(), SC_TEXT(" ---")});
    log(k.self, msg.get(), SC_TEXT(EMOJI_COMPANY));
}

// Look up by CNPJ, when it has 14 digits.
void look_up_by_cnpj(CompanyCheck& k, RegistryLookups& lookups) {
    if (!truth(k.cnpj.get())) return;
    Ref limpar = module_global(k.mod, SC_NAME("limpar_cnpj"));
    Ref limpo = call(limpar.get(), k.cnpj.get());
    Ref validar = module_global(k.mod, SC_NAME("validar_cnpj"));
    Ref valido = call(validar.get(), limpo.get());
    if (!truth(valido.get())) return;
    Ref formatar = module_global(k.mod, SC_NAME("formatar_cnpj"));
    Ref shown = call(formatar.get(), limpo.get());
    Ref shown_text = fmt(shown.get());
    Ref msg = cat({SC_TEXT("Consultando CNPJ "), shown_text.get(), SC_TEXT("...")});
    log(k.self, msg.get(), SC_TEXT(EMOJI_SEARCH));
    Ref consultar = module_global(k.mod, SC_NAME("consultar_cnpj"));
    k.dados = lookups.call_one(consultar.get(), "consultar_cnpj", SC_NAME("consultar_cnpj_detalhado"), limpo.get());
}

// Search by name, when the CNPJ gave nothing.
void search_by_name(CompanyCheck& k, RegistryLookups& lookups) {
    if (truth(k.dados.get()) || !k.tem_razao) return;
    Ref shown = fmt(k.razao.get());
    Ref msg = cat({SC_TEXT("Buscando por nome: "), shown.get(), SC_TEXT("...")});
    log(k.self, msg.get(), SC_TEXT(EMOJI_SEARCH_NAME));
    Ref buscar = module_global(k.mod, SC_NAME("buscar_cnpj_por_nome"));
    k.dados = lookups.call_one(buscar.get(), "buscar_cnpj_por_nome", SC_NAME("buscar_cnpj_por_nome_detalhado"),
                               k.razao.get());
    if (!truth(k.dados.get())) return;
    k.cnpj = mapping_get(k.dados.get(), SC_NAME("cnpj"), k.empty.get());
    Ref found = fmt(k.cnpj.get());
    Ref line = cat({SC_TEXT(EMOJI_OK " Encontrado: "), found.get()});
    log(k.self, line.get(), k.empty.get());
    k.por_nome = true;
}

void cnpj_found_field(CompanyCheck& k) {
    Ref valor_contrato = truth(k.cnpj_extraido.get()) ? k.cnpj_extraido : str("(buscado automaticamente)");
    Ref valor_receita = mapping_get(k.dados.get(), SC_NAME("cnpj"), Py_None);
    k.add_field({{SC_NAME("campo"), SC_TEXT("CNPJ")},
                 {SC_NAME("status"), SC_TEXT("aprovado")},
                 {SC_NAME("valor_contrato"), valor_contrato.get()},
                 {SC_NAME("valor_receita"), valor_receita.get()},
                 {SC_NAME("mensagem"), SC_TEXT("CNPJ encontrado")}});
}

// Registration status; true when active.
bool status_field(CompanyCheck& k) {
    Ref situacao_raw = null_as_empty(mapping_get(k.dados.get(), SC_NAME("situacao"), k.empty.get()));
    Ref situacao = call_method(situacao_raw.get(), SC_NAME("upper"));
    const bool ativa = contains(situacao.get(), SC_TEXT("ATIVA"));
    Ref estado = ativa ? str("ATIVA") : fmt(situacao.get());
    Ref mensagem = cat({SC_TEXT("Empresa "), estado.get()});
    k.add_field({{SC_NAME("campo"), SC_TEXT("Situação Cadastral")},
                 {SC_NAME("status"), ativa ? SC_TEXT("aprovado") : SC_TEXT("reprovado")},
                 {SC_NAME("valor_contrato"), SC_TEXT("-")},
                 {SC_NAME("valor_receita"), situacao.get()},
                 {SC_NAME("mensagem"), mensagem.get()}});
    if (!ativa) {
        Ref shown = fmt(situacao.get());
        Ref problema = cat({SC_TEXT("Empresa com situação: "), shown.get()});
        append(k.problemas.get(), problema.get());
    }
    return ativa;
}

// Legal name; true when it agrees. A null registry name is compared as the
// empty text but kept as delivered.
bool name_field(CompanyCheck& k, PyObject* razao_receita) {
    Ref razao_comparada = null_as_empty(Ref::borrow(razao_receita));
    Ref confere_raw = call_method(k.self, SC_NAME("_comparar_nomes"), k.tem_razao ? k.razao.get() : k.empty.get(),
                                  razao_comparada.get());
    const bool confere = truth(confere_raw.get());
    k.add_field({{SC_NAME("campo"), SC_TEXT("Razão Social")},
                 {SC_NAME("status"), confere ? SC_TEXT("aprovado") : SC_TEXT("pendente")},
                 {SC_NAME("valor_contrato"), k.razao.get()},
                 {SC_NAME("valor_receita"), razao_receita},
                 {SC_NAME("mensagem"), confere ? SC_TEXT("Confere") : SC_TEXT("Divergente")}});
    return confere;
}

// Address, when the contract gives one.
void address_field(CompanyCheck& k) {
    Ref endereco = getattr(k.empresa.get(), SC_NAME("endereco"));
    if (!truth(endereco.get())) return;
    Ref comparar = module_global(k.mod, SC_NAME("comparar_enderecos"));
    Ref triple = call(comparar.get(), endereco.get(), k.dados.get());
    Ref parts[3];
    unpack(triple.get(), parts, 3);
    const bool confere = truth(parts[0].get());
    // similaridade * 100 in fixed notation, no decimals, then "%".
    Ref cem = own(PyLong_FromLong(100));
    Ref escalada = own(PyNumber_Multiply(parts[1].get(), cem.get()));
    Ref pct = fmt(escalada.get(), ".0f");
    Ref mensagem = cat({SC_TEXT("Similaridade: "), pct.get(), SC_TEXT("%")});
    k.add_field({{SC_NAME("campo"), SC_TEXT("Endereço")},
                 {SC_NAME("status"), confere ? SC_TEXT("aprovado") : SC_TEXT("pendente")},
                 {SC_NAME("valor_contrato"), endereco.get()},
                 {SC_NAME("valor_receita"), parts[2].get()},
                 {SC_NAME("mensagem"), mensagem.get()}});
}

// The record goes into the per-call cache under the clean CNPJ and under the
// contract's normalized name.
void cache_record(CompanyCheck& k, PyObject* cache) {
    Ref chave = k.empty;
    if (truth(k.cnpj.get())) {
        Ref limpar = module_global(k.mod, SC_NAME("limpar_cnpj"));
        chave = call(limpar.get(), k.cnpj.get());
    }
    if (truth(chave.get())) set_item(cache, chave.get(), k.dados.get());
    if (k.tem_razao) {
        Ref chave_nome = call_method(k.self, SC_NAME("_normalizar_texto"), k.razao.get());
        set_item(cache, chave_nome.get(), k.dados.get());
    }
}

// A company the registry knows: its fields, the cache, its record.
Ref found_company(CompanyCheck& k, PyObject* cache) {
    cnpj_found_field(k);
    const bool ativa = status_field(k);
    Ref razao_receita = mapping_get(k.dados.get(), SC_NAME("razao_social"), k.empty.get());
    const bool razao_confere = name_field(k, razao_receita.get());
    address_field(k);
    cache_record(k, cache);

    Ref cnpj_receita = mapping_get(k.dados.get(), SC_NAME("cnpj"), k.empty.get());
    Ref no_partners = new_list();
    Ref socios = mapping_get(k.dados.get(), SC_NAME("socios"), no_partners.get());
    Ref papel = getattr(k.empresa.get(), SC_NAME("papel_no_contrato"));
    Ref type = module_global(k.mod, SC_NAME("EmpresaVerificada"));
    return call_kwargs(type.get(), {{SC_NAME("cnpj"), cnpj_receita.get()},
                                    {SC_NAME("razao_social_contrato"), k.razao.get()},
                                    {SC_NAME("razao_social_receita"), razao_receita.get()},
                                    {SC_NAME("papel_no_contrato"), papel.get()},
                                    {SC_NAME("campos"), k.campos.get()},
                                    {SC_NAME("cnpj_encontrado"), Py_True},
                                    {SC_NAME("cnpj_buscado_por_nome"), boolean(k.por_nome).get()},
                                    {SC_NAME("empresa_ativa"), boolean(ativa).get()},
                                    {SC_NAME("razao_social_confere"), boolean(razao_confere).get()},
                                    {SC_NAME("socios"), socios.get()},
                                    {SC_NAME("problemas"), k.problemas.get()}});
}

// A company not found: rejected, or pending when the registry gave no answer.
Ref missing_company(CompanyCheck& k, const RegistryLookups& lookups) {
    const bool pendente = lookups.pending();
    if (pendente) {
        Ref linha = lookups.pending_log(k.mod);
        log(k.self, linha.get(), SC_TEXT(EMOJI_WARN));
    }
    const bool tem_cnpj = truth(k.cnpj_extraido.get());
    Ref valor_contrato = tem_cnpj ? k.cnpj_extraido : str("(não informado)");
    Ref mensagem = pendente ? lookups.pending_message(k.mod)
                            : Ref::borrow(SC_TEXT("CNPJ não encontrado na Receita Federal"));
    k.add_field({{SC_NAME("campo"), SC_TEXT("CNPJ")},
                 {SC_NAME("status"), pendente ? SC_TEXT("pendente") : SC_TEXT("reprovado")},
                 {SC_NAME("valor_contrato"), valor_contrato.get()},
                 {SC_NAME("valor_receita"), Py_None},
                 {SC_NAME("mensagem"), mensagem.get()}});
    append(k.problemas.get(),
           pendente ? SC_TEXT("Consulta à Receita Federal não concluída") : SC_TEXT("CNPJ não encontrado"));
    Ref cnpj_record = tem_cnpj ? k.cnpj_extraido : k.empty;
    Ref papel = getattr(k.empresa.get(), SC_NAME("papel_no_contrato"));
    Ref type = module_global(k.mod, SC_NAME("EmpresaVerificada"));
    return call_kwargs(type.get(), {{SC_NAME("cnpj"), cnpj_record.get()},
                                    {SC_NAME("razao_social_contrato"), k.razao.get()},
                                    {SC_NAME("papel_no_contrato"), papel.get()},
                                    {SC_NAME("campos"), k.campos.get()},
                                    {SC_NAME("problemas"), k.problemas.get()}});
}

Ref validar_empresas(Call& c) {
    PyObject* self = c[param(kEmpresasParams, "self")];
    PyObject* empresas = c.list_arg(param(kEmpresasParams, "empresas"));
    Ref verificadas = new_list();
    Ref cache = new_dict();
    for_each(empresas, [&](PyObject* empresa) {
        CompanyCheck k(self, c.module, empresa);
        announce_company(k);
        RegistryLookups lookups(c.module);
        k.read_cnpj();
        look_up_by_cnpj(k, lookups);
        search_by_name(k, lookups);
        Ref record = truth(k.dados.get()) ? found_company(k, cache.get()) : missing_company(k, lookups);
        append(verificadas.get(), record.get());
    });
    return pair(verificadas.get(), cache.get());
}

const FuncSpec kEmpresasSpec = {
    "_validar_empresas",
    "ContractChecker._validar_empresas",
    "Valida cada empresa na Receita Federal e devolve (empresas verificadas, cache de dados da Receita).",
    kEmpresasParams,
    2,
    "Tuple[List[EmpresaVerificada], Dict]",
    validar_empresas,
};

// ---------------------------------------------------------------------------
// Signature validation

constexpr Param kAssinaturasParams[] = {
    {"self"},
    {"assinaturas", "List[AssinaturaExtraida]"},
    {"dados_receita_cache", "Dict"},
};

// "QSA: A, B, C..." from the first three partners, or "QSA vazio".
Ref qsa_summary(PyObject* dados) {
    Ref no_partners = new_list();
    Ref socios = mapping_get(dados, SC_NAME("socios"), no_partners.get());
    Ref stop = own(PyLong_FromLong(3));
    Ref slice = own(PySlice_New(nullptr, stop.get(), nullptr));
    Ref first = own(PyObject_GetItem(socios.get(), slice.get()));
    Ref names = new_list();
    Ref empty = empty_text();
    for_each(first.get(), [&](PyObject* socio) {
        Ref nome = null_as_empty(mapping_get(socio, SC_NAME("nome"), empty.get()));
        append(names.get(), nome.get());
    });
    if (PyList_GET_SIZE(names.get()) == 0) return str("QSA vazio");
    Ref sep = str(", ");
    Ref joined = own(PyUnicode_Join(sep.get(), names.get()));
    return cat({SC_TEXT("QSA: "), joined.get(), SC_TEXT("...")});
}

// One signatory on its way through validation.
struct SignatoryCheck {
    PyObject* self;
    PyObject* mod;
    PyObject* cache;        // the per-call registry records
    Ref empty = empty_text();
    Ref assinatura;
    Ref nome;
    Ref nome_text;          // the name as an f-string shows it
    Ref cnpj_empresa;
    Ref empresa_rep;
    Ref dados = none();     // the record of the company represented, or None
    Ref tem_poder = boolean(false);
    Ref qualificacao = none();
    Ref campos = new_list();
    Ref problemas = new_list();

    void add_field(std::initializer_list<Kw> kws) {
        Ref f = campo(mod, kws);
        append(campos.get(), f.get());
    }
    // (tem_poder, qualificacao) = self._verificar_poder_assinatura(nome, registro)
    void check_power(PyObject* registro) {
        Ref r = call_method(self, SC_NAME("_verificar_poder_assinatura"), nome.get(), registro);
        Ref parts[2];
        unpack(r.get(), parts, 2);
        tem_poder = parts[0];
        qualificacao = parts[1];
    }
};

Ref unidentified_signatory(SignatoryCheck& k) {
    k.add_field({{SC_NAME("campo"), SC_TEXT("Identificação")},
                 {SC_NAME("status"), SC_TEXT("nao_verificado")},
                 {SC_NAME("mensagem"), SC_TEXT("Signatário não identificado")}});
    append(k.problemas.get(), SC_TEXT("Signatário não identificado"));
    Ref tipo = getattr(k.assinatura.get(), SC_NAME("tipo_assinatura"));
    Ref type = module_global(k.mod, SC_NAME("AssinaturaVerificada"));
    return call_kwargs(type.get(), {{SC_NAME("nome_signatario"), SC_TEXT("(não identificado)")},
                                    {SC_NAME("tipo_assinatura"), tipo.get()},
                                    {SC_NAME("campos"), k.campos.get()},
                                    {SC_NAME("problemas"), k.problemas.get()}});
}

// The company represented, from the cache: by CNPJ, else by the contract's
// name for it.
void find_company(SignatoryCheck& k) {
    k.cnpj_empresa = getattr(k.assinatura.get(), SC_NAME("cnpj_empresa"));
    if (truth(k.cnpj_empresa.get())) {
        Ref limpar = module_global(k.mod, SC_NAME("limpar_cnpj"));
        Ref limpo = call(limpar.get(), k.cnpj_empresa.get());
        k.dados = mapping_get(k.cache, limpo.get(), Py_None);
    }
    k.empresa_rep = getattr(k.assinatura.get(), SC_NAME("empresa_representada"));
    if (!truth(k.dados.get()) && truth(k.empresa_rep.get())) {
        Ref chave = call_method(k.self, SC_NAME("_normalizar_texto"), k.empresa_rep.get());
        k.dados = mapping_get(k.cache, chave.get(), Py_None);
    }
}

// Signing power in the company represented; without one, in any company of
// the contract whose partner list holds the name.
void check_signing_power(SignatoryCheck& k) {
    if (truth(k.dados.get())) {
        k.check_power(k.dados.get());
        return;
    }
    Ref values = call_method(k.cache, SC_NAME("values"));
    for_each(values.get(), [&](PyObject* registro) {
        k.check_power(registro);
        if (!truth(k.tem_poder.get())) return true;
        k.dados = Ref::borrow(registro);
        return false;
    });
}

void power_approved(SignatoryCheck& k) {
    const bool tem_qual = truth(k.qualificacao.get());
    Ref valor_receita = tem_qual ? k.qualificacao : str("Encontrado no QSA");
    Ref qual_text = tem_qual ? fmt(k.qualificacao.get()) : str("Sócio/Admin");
    Ref mensagem = cat({SC_TEXT("Signatário tem poder ("), qual_text.get(), SC_TEXT(")")});
    k.add_field({{SC_NAME("campo"), SC_TEXT("Poder de Assinatura")},
                 {SC_NAME("status"), SC_TEXT("aprovado")},
                 {SC_NAME("valor_contrato"), k.nome.get()},
                 {SC_NAME("valor_receita"), valor_receita.get()},
                 {SC_NAME("mensagem"), mensagem.get()}});
    Ref shown_qual = fmt(k.qualificacao.get());
    Ref line = cat({SC_TEXT(EMOJI_OK " "), k.nome_text.get(), SC_TEXT(" TEM PODER ("), shown_qual.get(), SC_TEXT(")")});
    log(k.self, line.get(), k.empty.get());
}

void power_rejected(SignatoryCheck& k) {
    Ref valor_receita = qsa_summary(k.dados.get());
    k.add_field({{SC_NAME("campo"), SC_TEXT("Poder de Assinatura")},
                 {SC_NAME("status"), SC_TEXT("reprovado")},
                 {SC_NAME("valor_contrato"), k.nome.get()},
                 {SC_NAME("valor_receita"), valor_receita.get()},
                 {SC_NAME("mensagem"), SC_TEXT("Signatário NÃO encontrado no QSA")}});
    append(k.problemas.get(), SC_TEXT("Signatário sem poder de assinatura"));
    Ref line = cat({SC_TEXT(EMOJI_FAIL " "), k.nome_text.get(), SC_TEXT(" NÃO TEM PODER")});
    log(k.self, line.get(), k.empty.get());
}

void power_unknown(SignatoryCheck& k) {
    k.add_field({{SC_NAME("campo"), SC_TEXT("Poder de Assinatura")},
                 {SC_NAME("status"), SC_TEXT("pendente")},
                 {SC_NAME("valor_contrato"), k.nome.get()},
                 {SC_NAME("mensagem"), SC_TEXT("Não foi possível verificar")}});
    Ref line = cat({SC_TEXT(EMOJI_WARN " "), k.nome_text.get(), SC_TEXT(" - não foi possível verificar")});
    log(k.self, line.get(), k.empty.get());
}

// A witness signs the contract without representing any party: its
// extracted `cargo` or `tipo_assinatura` says "testemunha" (any case, with or
// without accents).
bool says_witness(PyObject* v) {
    if (!PyUnicode_Check(v)) return false;
    Ref folded = fold_to_str(v, false);
    return contains(folded.get(), SC_TEXT("testemunha"));
}

bool is_witness(SignatoryCheck& k) {
    Ref cargo = getattr(k.assinatura.get(), SC_NAME("cargo"));
    if (says_witness(cargo.get())) return true;
    Ref tipo = getattr(k.assinatura.get(), SC_NAME("tipo_assinatura"));
    return says_witness(tipo.get());
}

// A witness not found with signing power: nothing to verify, no problem.
void witness_noted(SignatoryCheck& k) {
    k.add_field({{SC_NAME("campo"), SC_TEXT("Testemunha")},
                 {SC_NAME("status"), SC_TEXT("nao_verificado")},
                 {SC_NAME("valor_contrato"), k.nome.get()},
                 {SC_NAME("mensagem"), SC_TEXT("Testemunha: assina sem representar empresa")}});
    Ref line = cat({SC_TEXT(EMOJI_INFO " "), k.nome_text.get(), SC_TEXT(" - testemunha, não representa empresa")});
    log(k.self, line.get(), k.empty.get());
}

Ref signatory_record(SignatoryCheck& k) {
    Ref cargo = getattr(k.assinatura.get(), SC_NAME("cargo"));
    Ref tipo = getattr(k.assinatura.get(), SC_NAME("tipo_assinatura"));
    Ref type = module_global(k.mod, SC_NAME("AssinaturaVerificada"));
    return call_kwargs(type.get(), {{SC_NAME("nome_signatario"), k.nome.get()},
                                    {SC_NAME("cargo"), cargo.get()},
                                    {SC_NAME("empresa_representada"), k.empresa_rep.get()},
                                    {SC_NAME("cnpj_empresa"), k.cnpj_empresa.get()},
                                    {SC_NAME("tipo_assinatura"), tipo.get()},
                                    {SC_NAME("campos"), k.campos.get()},
                                    {SC_NAME("tem_poder_assinatura"), k.tem_poder.get()},
                                    {SC_NAME("qualificacao_qsa"), k.qualificacao.get()},
                                    {SC_NAME("problemas"), k.problemas.get()}});
}

Ref validate_signatory(SignatoryCheck& k) {
    k.nome = getattr(k.assinatura.get(), SC_NAME("nome_signatario"));
    if (!truth(k.nome.get()) || text_equals(k.nome.get(), SC_TEXT("N/A"))) return unidentified_signatory(k);
    k.nome_text = fmt(k.nome.get());
    Ref msg = cat({SC_TEXT("Verificando: "), k.nome_text.get()});
    log(k.self, msg.get(), SC_TEXT(EMOJI_PERSON));
    find_company(k);
    check_signing_power(k);
    if (truth(k.tem_poder.get()))
        power_approved(k);
    else if (is_witness(k))
        witness_noted(k);
    else if (truth(k.dados.get()))
        power_rejected(k);
    else
        power_unknown(k);
    return signatory_record(k);
}

Ref validar_assinaturas(Call& c) {
    PyObject* self = c[param(kAssinaturasParams, "self")];
    PyObject* assinaturas = c.list_arg(param(kAssinaturasParams, "assinaturas"));
    PyObject* cache = c.dict_arg(param(kAssinaturasParams, "dados_receita_cache"));
    Ref verificadas = new_list();
    log(self, SC_TEXT("\n--- Verificando Assinaturas ---"), SC_TEXT(EMOJI_SIGN));
    for_each(assinaturas, [&](PyObject* assinatura) {
        SignatoryCheck k{self, c.module, cache};
        k.assinatura = Ref::borrow(assinatura);
        Ref record = validate_signatory(k);
        append(verificadas.get(), record.get());
    });
    return verificadas;
}

const FuncSpec kAssinaturasSpec = {
    "_validar_assinaturas",
    "ContractChecker._validar_assinaturas",
    "Verifica o poder de assinatura de cada signatário no QSA das empresas do contrato.",
    kAssinaturasParams,
    3,
    "List[AssinaturaVerificada]",
    validar_assinaturas,
};

// ---------------------------------------------------------------------------
// Report

constexpr Param kRelatorioParams[] = {
    {"self"},
    {"resultado_final", "str"},
    {"justificativa", "str"},
    {"campos_aprovados", "List[str]"},
    {"campos_reprovados", "List[str]"},
    {"campos_pendentes", "List[str]"},
    {"empresas", "List[EmpresaVerificada]"},
    {"assinaturas", "List[AssinaturaVerificada]"},
    {"dados_contrato", "dict"},
    {"metricas"},
};

void print_field_list(PyObject* campos) {
    for_each(campos, [&](PyObject* f) {
        Ref emoji = getattr(f, SC_NAME("emoji"));
        Ref emoji_text = fmt(emoji.get());
        Ref nome = getattr(f, SC_NAME("campo"));
        Ref nome_text = fmt(nome.get());
        Ref mensagem = getattr(f, SC_NAME("mensagem"));
        Ref mensagem_text = fmt(mensagem.get());
        print_cat({SC_TEXT("      "), emoji_text.get(), SC_TEXT(" "), nome_text.get(), SC_TEXT(": "),
                   mensagem_text.get()});
    });
}

void print_fields(PyObject* record) {
    Ref campos = getattr(record, SC_NAME("campos"));
    print_field_list(campos.get());
}

void print_entries(PyObject* list, const char* header) {
    if (PyList_GET_SIZE(list) == 0) return;
    Ref head = str(header);
    Ref line = cat({SC_TEXT("\n"), head.get()});
    print_line(line.get());
    for_each(list, [&](PyObject* item) {
        Ref text = fmt(item);
        print_cat({SC_TEXT("      \u2022 "), text.get()});
    });
}

// The rules around the report's sections.
struct Rules {
    Ref double_rule = repeat("=", 60);
    Ref single_rule = repeat("\u2500", 60);
    Ref nl_double = cat({SC_TEXT("\n"), double_rule.get()});
    Ref nl_single = cat({SC_TEXT("\n"), single_rule.get()});

    // A blank line, the rule, the title, the rule.
    void section(std::initializer_list<PyObject*> title) const {
        print_line(nl_single.get());
        print_cat(title);
        print_line(single_rule.get());
    }
};

void report_verdict(const Rules& r, PyObject* resultado, PyObject* justificativa) {
    const char* emoji = EMOJI_UNKNOWN;
    if (text_equals(resultado, SC_TEXT("APROVADO")))
        emoji = EMOJI_OK;
    else if (text_equals(resultado, SC_TEXT("REPROVADO")))
        emoji = EMOJI_FAIL;
    else if (text_equals(resultado, SC_TEXT("PENDENTE")))
        emoji = EMOJI_WARN;
    Ref triple = repeat(emoji, 3);
    print_line(r.nl_double.get());
    print_cat({triple.get(), SC_TEXT(" RESULTADO FINAL: "), resultado, SC_TEXT(" "), triple.get()});
    print_line(r.double_rule.get());
    print_cat({SC_TEXT("   "), justificativa});
}

void report_fields(const Rules& r, PyObject* aprovados, PyObject* reprovados, PyObject* pendentes) {
    r.section({SC_TEXT("\U0001F4CB CAMPOS VERIFICADOS")});
    Ref n_ok = decimal(PyList_GET_SIZE(aprovados));
    Ref n_fail = decimal(PyList_GET_SIZE(reprovados));
    Ref n_pending = decimal(PyList_GET_SIZE(pendentes));
    print_cat({SC_TEXT("   " EMOJI_OK " Aprovados: "), n_ok.get()});
    print_cat({SC_TEXT("   " EMOJI_FAIL " Reprovados: "), n_fail.get()});
    print_cat({SC_TEXT("   " EMOJI_WARN " Pendentes: "), n_pending.get()});
    print_entries(aprovados, "   " EMOJI_OK " APROVADOS:");
    print_entries(reprovados, "   " EMOJI_FAIL " REPROVADOS:");
    print_entries(pendentes, "   " EMOJI_WARN " PENDENTES:");
}

void report_company(PyObject* emp) {
    Ref ativa = getattr(emp, SC_NAME("empresa_ativa"));
    const char* status = truth(ativa.get()) ? EMOJI_OK : EMOJI_FAIL;
    Ref nome = getattr(emp, SC_NAME("razao_social_receita"));
    if (!truth(nome.get())) {
        nome = getattr(emp, SC_NAME("razao_social_contrato"));
        if (!truth(nome.get())) nome = str("N/A");
    }
    Ref nome_text = fmt(nome.get());
    Ref status_text = str(status);
    print_cat({SC_TEXT("\n   "), status_text.get(), SC_TEXT(" "), nome_text.get()});
    Ref cnpj = getattr(emp, SC_NAME("cnpj"));
    Ref cnpj_text = truth(cnpj.get()) ? fmt(cnpj.get()) : str("N/A");
    Ref cnpj_line = cat({SC_TEXT("      CNPJ: "), cnpj_text.get()});
    print_no_end(cnpj_line.get());
    Ref por_nome = getattr(emp, SC_NAME("cnpj_buscado_por_nome"));
    if (truth(por_nome.get()))
        print_line(SC_TEXT(" (encontrado por busca)"));
    else
        print_end_only();
    print_fields(emp);
}

// Whether one of the fields is the "Testemunha" field of a witness.
bool has_witness_field(PyObject* campos) {
    bool found = false;
    for_each(campos, [&](PyObject* f) {
        Ref nome = getattr(f, SC_NAME("campo"));
        found = PyUnicode_Check(nome.get()) && text_equals(nome.get(), SC_TEXT("Testemunha"));
        return !found;
    });
    return found;
}

void report_signatory(PyObject* ass) {
    Ref poder = getattr(ass, SC_NAME("tem_poder_assinatura"));
    const bool tem_poder = truth(poder.get());
    // The fields are read once: a one-pass iterable is printed as given.
    Ref campos_raw = getattr(ass, SC_NAME("campos"));
    Ref campos = own(PySequence_List(campos_raw.get()));
    const char* status = tem_poder ? EMOJI_OK : (has_witness_field(campos.get()) ? EMOJI_INFO : EMOJI_FAIL);
    Ref status_text = str(status);
    Ref nome = getattr(ass, SC_NAME("nome_signatario"));
    Ref nome_text = fmt(nome.get());
    print_cat({SC_TEXT("\n   "), status_text.get(), SC_TEXT(" "), nome_text.get()});
    Ref cargo = getattr(ass, SC_NAME("cargo"));
    if (truth(cargo.get())) {
        Ref cargo_text = fmt(cargo.get());
        print_cat({SC_TEXT("      Cargo: "), cargo_text.get()});
    }
    print_field_list(campos.get());
}

void report_metrics(const Rules& r, PyObject* metricas) {
    r.section({SC_TEXT(EMOJI_MONEY " MÉTRICAS")});
    Ref tokens = getattr(metricas, SC_NAME("tokens"));
    Ref tokens_text = fmt(tokens.get(), ",");
    print_cat({SC_TEXT("   Tokens: "), tokens_text.get()});
    Ref cost = getattr(metricas, SC_NAME("cost_usd"));
    Ref cost_text = fmt(cost.get(), ".4f");
    print_cat({SC_TEXT("   Custo: $"), cost_text.get()});
    Ref secs = getattr(metricas, SC_NAME("time_seconds"));
    Ref secs_text = fmt(secs.get(), ".1f");
    print_cat({SC_TEXT("   Tempo: "), secs_text.get(), SC_TEXT("s")});
    print_line(r.nl_double.get());
}

Ref imprimir_relatorio(Call& c) {
    PyObject* resultado = c.str_arg(param(kRelatorioParams, "resultado_final"));
    PyObject* justificativa = c.str_arg(param(kRelatorioParams, "justificativa"));
    PyObject* aprovados = c.list_arg(param(kRelatorioParams, "campos_aprovados"));
    PyObject* reprovados = c.list_arg(param(kRelatorioParams, "campos_reprovados"));
    PyObject* pendentes = c.list_arg(param(kRelatorioParams, "campos_pendentes"));
    PyObject* empresas = c.list_arg(param(kRelatorioParams, "empresas"));
    PyObject* assinaturas = c.list_arg(param(kRelatorioParams, "assinaturas"));
    c.dict_arg(param(kRelatorioParams, "dados_contrato"));
    PyObject* metricas = c[param(kRelatorioParams, "metricas")];

    const Rules r;
    report_verdict(r, resultado, justificativa);
    report_fields(r, aprovados, reprovados, pendentes);
    Ref n_emp = decimal(PyList_GET_SIZE(empresas));
    r.section({SC_TEXT(EMOJI_COMPANY " EMPRESAS ("), n_emp.get(), SC_TEXT(")")});
    for_each(empresas, report_company);
    Ref n_ass = decimal(PyList_GET_SIZE(assinaturas));
    r.section({SC_TEXT(EMOJI_SIGN " ASSINATURAS ("), n_ass.get(), SC_TEXT(")")});
    for_each(assinaturas, report_signatory);
    report_metrics(r, metricas);
    return none();
}

const FuncSpec kRelatorioSpec = {
    "_imprimir_relatorio",
    "ContractChecker._imprimir_relatorio",
    "Imprime relatório detalhado.",
    kRelatorioParams,
    10,
    nullptr,
    imprimir_relatorio,
};

// ---------------------------------------------------------------------------
// Verification pipeline

// Records of `record_type` built from the maps listed under `key` of an
// answer; `answered` tells whether there was an answer with a non-empty
// raw_result at all.
Ref extracted(PyObject* module, PyObject* answer, PyObject* key, PyObject* record_type_name, bool& answered) {
    Ref out = new_list();
    answered = false;
    if (!truth(answer)) return out;
    Ref raw = getattr(answer, SC_NAME("raw_result"));
    if (!truth(raw.get())) return out;
    answered = true;
    Ref missing = new_list();
    Ref items = call_method(raw.get(), SC_NAME("get"), key, missing.get());
    for_each(items.get(), [&](PyObject* item) {
        Ref type = module_global(module, record_type_name);
        Ref record = call_with_mapping(type.get(), item);
        append(out.get(), record.get());
    });
    return out;
}

// Every verified field as "campo - owner", by status.
struct Lists {
    Ref aprovados = new_list();
    Ref reprovados = new_list();
    Ref pendentes = new_list();

    void sort(PyObject* campo, PyObject* owner) {
        Ref nome = getattr(campo, SC_NAME("campo"));
        Ref nome_text = as_str(nome.get());
        Ref owner_text = as_str(owner);
        Ref item = cat({nome_text.get(), SC_TEXT(" - "), owner_text.get()});
        Ref status = getattr(campo, SC_NAME("status"));
        if (text_equals(status.get(), SC_TEXT("aprovado")))
            append(aprovados.get(), item.get());
        else if (text_equals(status.get(), SC_TEXT("reprovado")))
            append(reprovados.get(), item.get());
        else if (text_equals(status.get(), SC_TEXT("pendente")))
            append(pendentes.get(), item.get());
    }
    void sort_all(PyObject* record, PyObject* owner) {
        Ref campos = getattr(record, SC_NAME("campos"));
        for_each(campos.get(), [&](PyObject* f) { sort(f, owner); });
    }
    Py_ssize_t approved() const { return PyList_GET_SIZE(aprovados.get()); }
    Py_ssize_t rejected() const { return PyList_GET_SIZE(reprovados.get()); }
    Py_ssize_t pending() const { return PyList_GET_SIZE(pendentes.get()); }
};

Ref dumps(PyObject* records) {
    Ref out = new_list();
    for_each(records, [&](PyObject* r) {
        Ref d = call_method(r, SC_NAME("model_dump"));
        append(out.get(), d.get());
    });
    return out;
}

constexpr Param kVerificarParams[] = {
    {"self"},
    {"documento", "str"},
};

// Path(documento), which must exist.
Ref contract_path(const Call& c) {
    Ref path_type = c.global(SC_NAME("Path"));
    Ref documento = call(path_type.get(), c[param(kVerificarParams, "documento")]);
    Ref exists = call_method(documento.get(), SC_NAME("exists"));
    if (!truth(exists.get())) {
        Ref shown = fmt(documento.get());
        Ref msg = cat({SC_TEXT("Arquivo não encontrado: "), shown.get()});
        PyErr_SetObject(PyExc_FileNotFoundError, msg.get());
        throw Error{};
    }
    return documento;
}

void log_header(PyObject* self, PyObject* documento) {
    Ref empty = empty_text();
    Ref rule = repeat("=", 60);
    Ref first = cat({SC_TEXT("\n"), rule.get()});
    log(self, first.get(), empty.get());
    log(self, SC_TEXT("VERIFICAÇÃO DE LEGITIMIDADE DE CONTRATO"), SC_TEXT(EMOJI_SEARCH));
    Ref name = getattr(documento, SC_NAME("name"));
    Ref name_text = fmt(name.get());
    Ref line = cat({SC_TEXT("Arquivo: "), name_text.get()});
    log(self, line.get(), SC_TEXT(EMOJI_FILE));
    log(self, rule.get(), empty.get());
}

// The reduced record of a verification the engine could not run.
Ref engine_unavailable() {
    Ref r = new_dict();
    Ref reason = str(kUnavailable);
    Ref l1 = new_list(), l2 = new_list(), l3 = new_list(), l4 = new_list(), l5 = new_list();
    append(l3.get(), SC_TEXT("Extração de dados não disponível"));
    set_item(r.get(), SC_NAME("resultado_final"), SC_TEXT("PENDENTE"));
    set_item(r.get(), SC_NAME("justificativa"), reason.get());
    set_item(r.get(), SC_NAME("campos_aprovados"), l1.get());
    set_item(r.get(), SC_NAME("campos_reprovados"), l2.get());
    set_item(r.get(), SC_NAME("campos_pendentes"), l3.get());
    set_item(r.get(), SC_NAME("empresas"), l4.get());
    set_item(r.get(), SC_NAME("assinaturas"), l5.get());
    return r;
}

// The engine's run over the contract and its three answers as records.
struct Extraction {
    Ref run;
    Ref empresas, assinaturas, dados_contrato;
    bool empresas_respondidas = false, assinaturas_respondidas = false;
};

Extraction extract(PyObject* self, PyObject* mod, PyObject* documento) {
    Ref empty = empty_text();
    log(self, SC_TEXT("\n" EMOJI_UPLOAD " Extraindo dados do contrato..."), empty.get());
    Ref client = getattr(self, SC_NAME("_client"));
    Ref path_text = as_str(documento);
    Extraction x;
    x.run = call_method(client.get(), SC_NAME("process"), path_text.get());
    Ref empresas_raw = call_method(x.run.get(), SC_NAME("get_result"), SC_TEXT("empresas"));
    Ref assinaturas_raw = call_method(x.run.get(), SC_NAME("get_result"), SC_TEXT("assinaturas"));
    Ref dados_raw = call_method(x.run.get(), SC_NAME("get_result"), SC_TEXT("dados_contrato"));
    x.empresas =
        extracted(mod, empresas_raw.get(), SC_TEXT("empresas"), SC_NAME("EmpresaExtraida"), x.empresas_respondidas);
    x.assinaturas = extracted(mod, assinaturas_raw.get(), SC_TEXT("assinaturas"), SC_NAME("AssinaturaExtraida"),
                              x.assinaturas_respondidas);
    if (truth(dados_raw.get())) {
        Ref raw = getattr(dados_raw.get(), SC_NAME("raw_result"));
        if (truth(raw.get())) x.dados_contrato = raw;
    }
    if (!x.dados_contrato) x.dados_contrato = new_dict();

    Ref n = decimal(PyList_GET_SIZE(x.empresas.get()));
    Ref line = cat({SC_TEXT("Empresas extraídas: "), n.get()});
    log(self, line.get(), SC_TEXT(EMOJI_COMPANY));
    Ref m = decimal(PyList_GET_SIZE(x.assinaturas.get()));
    Ref line2 = cat({SC_TEXT("Assinaturas extraídas: "), m.get()});
    log(self, line2.get(), SC_TEXT(EMOJI_SIGN));
    return x;
}

// Company and signature validation, each verified field sorted by status.
struct Validation {
    Ref empresas, assinaturas;
    Lists lists;
};

Validation validate(PyObject* self, const Extraction& x) {
    Ref empty = empty_text();
    log(self, SC_TEXT("\n" EMOJI_SEARCH " Validando empresas na Receita Federal..."), empty.get());
    Ref validadas = call_method(self, SC_NAME("_validar_empresas"), x.empresas.get());
    Ref parts[2];
    unpack(validadas.get(), parts, 2);
    Validation v;
    v.empresas = parts[0];
    Ref cache = parts[1];
    v.assinaturas = call_method(self, SC_NAME("_validar_assinaturas"), x.assinaturas.get(), cache.get());
    for_each(v.empresas.get(), [&](PyObject* emp) {
        Ref owner = getattr(emp, SC_NAME("razao_social_receita"));
        if (!truth(owner.get())) {
            owner = getattr(emp, SC_NAME("razao_social_contrato"));
            if (!truth(owner.get())) owner = getattr(emp, SC_NAME("cnpj"));
        }
        v.lists.sort_all(emp, owner.get());
    });
    for_each(v.assinaturas.get(), [&](PyObject* ass) {
        Ref owner = getattr(ass, SC_NAME("nome_signatario"));
        v.lists.sort_all(ass, owner.get());
    });
    return v;
}

struct Verdict {
    Ref resultado, justificativa;
};

// One rejected field rejects the contract; else one pending field, or an
// answer the engine never gave, or nothing verified at all leaves it pending.
Verdict classify(const Lists& lists, const Extraction& x) {
    if (lists.rejected() > 0) {
        Ref n = decimal(lists.rejected());
        return {str("REPROVADO"), cat({n.get(), SC_TEXT(" campo(s) reprovado(s)")})};
    }
    if (lists.pending() > 0) {
        Ref n = decimal(lists.pending());
        return {str("PENDENTE"), cat({n.get(), SC_TEXT(" campo(s) requer(em) análise manual")})};
    }
    if (!x.empresas_respondidas || !x.assinaturas_respondidas) {
        // Nothing can be approved on evidence the engine never gave.
        const char* faltando = !x.empresas_respondidas && !x.assinaturas_respondidas ? "empresas e assinaturas"
                               : !x.empresas_respondidas                              ? "empresas"
                                                                                      : "assinaturas";
        Ref what = str(faltando);
        return {str("PENDENTE"), cat({SC_TEXT("Extração incompleta: sem resposta para "), what.get()})};
    }
    if (lists.approved() == 0)
        return {str("PENDENTE"), str("Nenhum campo verificado: nenhuma empresa ou signatário identificado")};
    Ref n = decimal(lists.approved());
    return {str("APROVADO"), cat({SC_TEXT("Todos os "), n.get(), SC_TEXT(" campos verificados foram aprovados")})};
}

void print_report(PyObject* self, const Verdict& v, const Validation& val, const Extraction& x) {
    Ref verbose = getattr(self, SC_NAME("verbose"));
    if (!truth(verbose.get())) return;
    Ref metricas = getattr(x.run.get(), SC_NAME("total_metrics"));
    call_method_kwargs(self, SC_NAME("_imprimir_relatorio"),
                       {{SC_NAME("resultado_final"), v.resultado.get()},
                        {SC_NAME("justificativa"), v.justificativa.get()},
                        {SC_NAME("campos_aprovados"), val.lists.aprovados.get()},
                        {SC_NAME("campos_reprovados"), val.lists.reprovados.get()},
                        {SC_NAME("campos_pendentes"), val.lists.pendentes.get()},
                        {SC_NAME("empresas"), val.empresas.get()},
                        {SC_NAME("assinaturas"), val.assinaturas.get()},
                        {SC_NAME("dados_contrato"), x.dados_contrato.get()},
                        {SC_NAME("metricas"), metricas.get()}});
}

void set_count(PyObject* r, PyObject* key, Py_ssize_t n) {
    Ref v = own(PyLong_FromSsize_t(n));
    set_item(r, key, v.get());
}

// The ResultadoVerificacao map.
Ref result_record(const Verdict& v, const Validation& val, const Extraction& x) {
    const Lists& lists = val.lists;
    Ref r = new_dict();
    set_item(r.get(), SC_NAME("resultado_final"), v.resultado.get());
    set_item(r.get(), SC_NAME("justificativa"), v.justificativa.get());
    set_item(r.get(), SC_NAME("campos_aprovados"), lists.aprovados.get());
    set_item(r.get(), SC_NAME("campos_reprovados"), lists.reprovados.get());
    set_item(r.get(), SC_NAME("campos_pendentes"), lists.pendentes.get());
    set_count(r.get(), SC_NAME("total_campos"), lists.approved() + lists.rejected() + lists.pending());
    set_count(r.get(), SC_NAME("total_aprovados"), lists.approved());
    set_count(r.get(), SC_NAME("total_reprovados"), lists.rejected());
    set_count(r.get(), SC_NAME("total_pendentes"), lists.pending());
    Ref emp_maps = dumps(val.empresas.get());
    set_item(r.get(), SC_NAME("empresas"), emp_maps.get());
    Ref ass_maps = dumps(val.assinaturas.get());
    set_item(r.get(), SC_NAME("assinaturas"), ass_maps.get());
    set_item(r.get(), SC_NAME("dados_contrato"), x.dados_contrato.get());
    Ref metricas = getattr(x.run.get(), SC_NAME("total_metrics"));
    Ref m = new_dict();
    Ref tokens = getattr(metricas.get(), SC_NAME("tokens"));
    set_item(m.get(), SC_NAME("tokens"), tokens.get());
    Ref cost = getattr(metricas.get(), SC_NAME("cost_usd"));
    set_item(m.get(), SC_NAME("custo_usd"), cost.get());
    Ref secs = getattr(metricas.get(), SC_NAME("time_seconds"));
    set_item(m.get(), SC_NAME("tempo_segundos"), secs.get());
    set_item(r.get(), SC_NAME("metricas"), m.get());
    return r;
}

Ref verificar(Call& c) {
    PyObject* self = c[param(kVerificarParams, "self")];
    Ref documento = contract_path(c);
    log_header(self, documento.get());
    Ref ready = call_method(self, SC_NAME("_init_scrivane"));
    if (!truth(ready.get())) return engine_unavailable();
    const Extraction x = extract(self, c.module, documento.get());
    const Validation val = validate(self, x);
    const Verdict v = classify(val.lists, x);
    print_report(self, v, val, x);
    return result_record(v, val, x);
}

const FuncSpec kVerificarSpec = {
    "verificar",
    "ContractChecker.verificar",
    "Verifica a legitimidade de um contrato PDF.\n"
    "\n"
    "Args:\n"
    "    documento: Caminho do arquivo do contrato\n"
    "\n"
    "Returns:\n"
    "    Dict com resultado_final, justificativa, campos aprovados/reprovados/pendentes,\n"
    "    empresas, assinaturas, dados_contrato e metricas.",
    kVerificarParams,
    2,
    "Dict[str, Any]",
    verificar,
};

// ---------------------------------------------------------------------------
// verificar_contrato

constexpr Param kFuncParams[] = {
    {"documento", "str"},
    {"openai_api_key", "Optional[str]", Param::NONE},
    {"verbose", "bool", Param::TRUE_},
};

Ref verificar_contrato(Call& c) {
    c.str_or_none_arg(param(kFuncParams, "openai_api_key"));
    Ref type = c.global(SC_NAME("ContractChecker"));
    Ref checker = call_kwargs(type.get(), {{SC_NAME("openai_api_key"), c[param(kFuncParams, "openai_api_key")]}, {SC_NAME("verbose"), c[param(kFuncParams, "verbose")]}});
    return call_method(checker.get(), SC_NAME("verificar"), c[param(kFuncParams, "documento")]);
}

const FuncSpec kVerificarContratoSpec = {
    "verificar_contrato",
    "verificar_contrato",
    "Verifica um contrato em uma única chamada.\n"
    "\n"
    "Args:\n"
    "    documento: Caminho do arquivo do contrato\n"
    "    openai_api_key: Chave da OpenAI (ou use OPENAI_API_KEY)\n"
    "    verbose: Imprime progresso e relatório\n"
    "\n"
    "Returns:\n"
    "    Dict com o resultado da verificação.",
    kFuncParams,
    3,
    "Dict[str, Any]",
    verificar_contrato,
};

// ---------------------------------------------------------------------------
// The class

int checker_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return PyObject_VisitManagedDict(self, visit, arg);
}

int checker_clear(PyObject* self) {
    PyObject_ClearManagedDict(self);
    return 0;
}

void checker_dealloc(PyObject* self) {
    // The instance holds a reference to its (heap) type, dropped last.
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    checker_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyType_Slot kCheckerSlots[] = {
    {Py_tp_doc, const_cast<char*>("Verificador de legitimidade de contratos brasileiros.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(checker_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(checker_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(checker_clear)},
    {Py_tp_getset, kCheckerGetset},
    {0, nullptr},
};

PyType_Spec kCheckerSpec = {
    "scrivane_contract.checker.ContractChecker",
    sizeof(PyObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT |
        Py_TPFLAGS_MANAGED_WEAKREF,
    kCheckerSlots,
};

const FuncSpec* const kMethods[] = {
    &kInitSpec,      &kLogSpec,      &kInitScrivaneSpec, &kSetupSpec,    &kVerificarSpec,  &kNormalizarSpec,
    &kCompararSpec,  &kPoderSpec,    &kEmpresasSpec,     &kAssinaturasSpec, &kRelatorioSpec,
};

void bind(PyObject* mod, PyObject* name, PyObject* value) { check(PyObject_SetAttr(mod, name, value)); }

int exec_module(PyObject* m) {
    return guarded_exec(m, sc_module_names, [](PyObject* mod) {
        PyObject** slots = state_of(mod)->slots;
        Ref ftype = make_function_type(mod);
        slots[kFuncType] = Py_NewRef(ftype.get());
        PyObject* globals = PyModule_GetDict(mod);  // borrowed

        // Standard modules: Unicode normalisation, paths, typing names.
        Ref ud = import_module("unicodedata");
        bind(mod, SC_NAME("unicodedata"), ud.get());
        slots[kUnicodedata] = Py_NewRef(ud.get());
        slots[kNormalize] = getattr(ud.get(), SC_NAME("normalize")).release();
        slots[kCategory] = getattr(ud.get(), SC_NAME("category")).release();
        auto to_module = [mod](PyObject* name, PyObject* v) { bind(mod, name, v); };
        from_import(globals, "pathlib", {"Path"}, to_module);
        from_import(globals, "typing", {"Dict", "List", "Optional", "Tuple", "Any"}, to_module);

        // The credentials, the record types and the registry functions.
        from_import(globals, "scrivane_contract.auth", {"ScrivaneAuth", "AuthenticatedClient"}, to_module);
        from_import(globals, "scrivane_contract.models",
                    {"EmpresaExtraida", "ExtracaoEmpresas", "AssinaturaExtraida", "ExtracaoAssinaturas",
                     "ExtracaoDadosContrato", "CampoVerificado", "EmpresaVerificada", "AssinaturaVerificada",
                     "ClassificacaoLegitimidade"},
                    to_module);
        from_import(globals, "scrivane_contract.cnpj",
                    {"consultar_cnpj", "validar_cnpj", "formatar_cnpj", "limpar_cnpj", "buscar_cnpj_por_nome",
                     "comparar_enderecos"},
                    to_module);

        Ref type = own(PyType_FromModuleAndSpec(mod, &kCheckerSpec, nullptr));
        slots[kCheckerType] = Py_NewRef(type.get());
        for (const FuncSpec* spec : kMethods) {
            Ref f = make_function(ftype.get(), mod, spec);
            check(PyObject_SetAttrString(type.get(), spec->name, f.get()));
        }
        check(PyModule_AddObjectRef(mod, "ContractChecker", type.get()));

        const FuncSpec* funcs[] = {&kVerificarContratoSpec};
        add_functions(mod, ftype.get(), funcs, 1);
    });
}

}  // namespace

SC_DEFINE_MODULE(checker, "scrivane_contract.checker",
                 "Verificação de legitimidade de contratos: empresas na Receita Federal, signatários no QSA.",
                 exec_module)
