// scrivane_contract._registro: the bulk loader of the open CNPJ files.
//
// A small handle-based interface over sc::registro::Carga; the Python side
// (scrivane_contract.registro.importar) reads the zips and feeds the bytes.
// The parsing and the inserts run without the GIL, so another thread can
// inflate the next block meanwhile.
#include <new>
#include <stdexcept>
#include <string>

#include "../core/registro_csv.hpp"
#include "binding.hpp"
#include "module.hpp"

namespace {

using namespace sc::py;
using sc::registro::Carga;

constexpr const char* kCapsula = "scrivane_contract._registro.Carga";

constexpr Param kCaminho[] = {{"caminho", "str"}};
constexpr Param kCarga[] = {{"carga", "object"}};
constexpr Param kCargaTabela[] = {{"carga", "object"}, {"tabela", "str"}};
constexpr Param kCargaDados[] = {{"carga", "object"}, {"dados", "bytes"}};

void destruir(PyObject* cap) {
    delete static_cast<Carga*>(PyCapsule_GetPointer(cap, kCapsula));
}

Carga& carga_de(Call& c) {
    PyObject* o = c[param(kCarga, "carga")];
    if (!PyCapsule_IsValid(o, kCapsula)) raise_arg_type("carga", "Carga", o);
    return *static_cast<Carga*>(PyCapsule_GetPointer(o, kCapsula));
}

[[noreturn]] void falha(const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    throw Error{};
}

Ref abrir(Call& c) {
    PyObject* caminho = c.str_arg(param(kCaminho, "caminho"));
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(caminho, &n);
    if (!s) throw Error{};
    Carga* carga = nullptr;
    try {
        carga = new Carga(std::string(s, static_cast<std::size_t>(n)));
    } catch (const std::runtime_error& e) {
        falha(e);
    }
    PyObject* cap = PyCapsule_New(carga, kCapsula, destruir);
    if (!cap) {
        delete carga;
        throw Error{};
    }
    return Ref::steal(cap);
}

Ref iniciar(Call& c) {
    Carga& carga = carga_de(c);
    PyObject* nome = c.str_arg(param(kCargaTabela, "tabela"));
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(nome, &n);
    if (!s) throw Error{};
    sc::registro::Tabela t;
    if (!sc::registro::tabela_por_nome(std::string_view(s, static_cast<std::size_t>(n)), t)) {
        PyErr_Format(PyExc_ValueError, "tabela desconhecida: %U", nome);
        throw Error{};
    }
    try {
        carga.iniciar(t);
    } catch (const std::exception& e) {
        falha(e);
    }
    return none();
}

Ref alimentar(Call& c) {
    Carga& carga = carga_de(c);
    Py_buffer view;
    check(PyObject_GetBuffer(c[param(kCargaDados, "dados")], &view, PyBUF_SIMPLE));
    std::string erro;
    bool sem_memoria = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        carga.alimentar(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
    } catch (const std::bad_alloc&) {
        sem_memoria = true;
    } catch (const std::exception& e) {
        erro = e.what();
        if (erro.empty()) erro = "falha na carga";
    }
    Py_END_ALLOW_THREADS
    PyBuffer_Release(&view);
    if (sem_memoria) throw std::bad_alloc();
    if (!erro.empty()) {
        PyErr_SetString(PyExc_RuntimeError, erro.c_str());
        throw Error{};
    }
    return own(PyLong_FromUnsignedLongLong(carga.linhas_ok() + carga.linhas_ruins()));
}

// (rows loaded, lines skipped, [(line, reason, excerpt), ...]) of the file just ended.
Ref terminar(Call& c) {
    Carga& carga = carga_de(c);
    try {
        carga.terminar();
    } catch (const std::exception& e) {
        falha(e);
    }
    auto& ruins = carga.ruins();
    Ref lst = own(PyList_New(static_cast<Py_ssize_t>(ruins.size())));
    for (std::size_t i = 0; i < ruins.size(); ++i) {
        Ref item = tuple_of(own(PyLong_FromUnsignedLongLong(ruins[i].linha)), str(ruins[i].motivo),
                            own(PyUnicode_DecodeUTF8(ruins[i].trecho.data(),
                                                     static_cast<Py_ssize_t>(ruins[i].trecho.size()), "replace")));
        PyList_SET_ITEM(lst.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    ruins.clear();
    return tuple_of(own(PyLong_FromUnsignedLongLong(carga.linhas_ok())),
                    own(PyLong_FromUnsignedLongLong(carga.linhas_ruins())), std::move(lst));
}

Ref fechar(Call& c) {
    Carga& carga = carga_de(c);
    try {
        carga.fechar();
    } catch (const std::exception& e) {
        falha(e);
    }
    return none();
}

const FuncSpec kAbrir = {"abrir", "abrir",
                         "Abre um banco SQLite (com as tabelas já criadas) para a carga em massa.",
                         kCaminho, 1, "object", abrir};
const FuncSpec kIniciar = {"iniciar", "iniciar",
                           "Começa um arquivo da tabela indicada (Empresas, Estabelecimentos, Socios, ...).",
                           kCargaTabela, 2, "None", iniciar};
const FuncSpec kAlimentar = {"alimentar", "alimentar",
                             "Carrega os próximos bytes (Latin-1) do arquivo corrente; devolve as linhas lidas até aqui.",
                             kCargaDados, 2, "int", alimentar};
const FuncSpec kTerminar = {"terminar", "terminar",
                            "Termina o arquivo corrente: (linhas carregadas, linhas ignoradas, detalhes).",
                            kCarga, 1, "tuple[int, int, list]", terminar};
const FuncSpec kFechar = {"fechar", "fechar", "Confirma a carga e fecha o banco.", kCarga, 1, "None", fechar};

int exec_module(PyObject* m) {
    return guarded_exec(m, [](PyObject* mod) {
        Ref ftype = make_function_type(mod);
        state_of(mod)->slots[0] = Py_NewRef(ftype.get());
        const FuncSpec* specs[] = {&kAbrir, &kIniciar, &kAlimentar, &kTerminar, &kFechar};
        add_functions(mod, ftype.get(), specs, 5);
    });
}

}  // namespace

SC_DEFINE_MODULE(_registro, "scrivane_contract._registro", "Carga em massa dos dados abertos do CNPJ.", exec_module)
