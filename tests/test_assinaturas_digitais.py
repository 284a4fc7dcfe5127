"""Digital signers cross-checked with the extracted signatories and with the
companies' QSA (masked CPFs), end to end: a signed PDF, the real checker over
the local registry server, then the cross-check."""

from __future__ import annotations

import sys

import pytest
from checker_helpers import FakeEngine, no_env_keys, ref_comparar, with_engine  # noqa: F401
from hypothesis import given, settings
from hypothesis import strategies as st
from registry_server import empresa_exemplo, registry  # noqa: F401
from signed_pdfs import AutoridadeTeste, adulterar, assinar, pdf_texto, trocar_texto

import scrivane_contract.checker as checker_mod
from scrivane_contract.assinaturas_digitais import (IDENTIDADE_CONFIRMADA, IDENTIDADE_DIVERGENTE,
                                                     IDENTIDADE_FORA_DO_QSA, IDENTIDADE_NAO_VERIFICADA,
                                                     IDENTIDADE_SEM_CPF, comparar_nomes, cruzar_assinaturas,
                                                     digitos_visiveis, normalizar_nome,
                                                     verificar_assinaturas_digitais)
from scrivane.signatures import ler_assinaturas

ACME = "11222333000181"
CPF_MARIA = "52998224725"   # visible digits 982247
CPF_JOAO = "11144477735"    # visible digits 444777
CPF_ANA = "39053344705"     # visible digits 533447
CPF_CARLOS = "15350946056"

NAMES = st.text(alphabet=st.sampled_from(list("abcAB ÇçãÁéÉ\u0301\u0327\tΣσςİßﬁ\u00a0\u2003x")), max_size=14)
# Person names from a few words, so that shared words (and short ones) are common.
WORDS = ["Ana", "ANA", "Silva", "SILVA", "João", "joao", "da", "DE", "Sá", "Costa", "Lima", "Σίσυφος", "ΣΊΣΥΦΟΣ"]
PERSONS = st.lists(st.sampled_from(WORDS), max_size=5).flatmap(
    lambda ws: st.sampled_from([" ", "  ", "\t", "\u00a0"]).map(lambda sep: sep.join(ws)))


@pytest.fixture(scope="module")
def chk():
    return checker_mod.ContractChecker(openai_api_key="k", verbose=False)


class TestNamesLikeTheChecker:
    """The cross-check must call two names the same exactly when the checker does."""

    @settings(max_examples=300, deadline=None)
    @given(st.one_of(NAMES, PERSONS), st.one_of(NAMES, PERSONS))
    def test_same_answers_as_the_checker(self, chk, a, b):
        assert normalizar_nome(a) == chk._normalizar_texto(a)
        assert comparar_nomes(a, b) is chk._comparar_nomes(a, b)

    @pytest.mark.parametrize("a, b", [
        ("SOL", "Girassol Ltda"), ("Casa Verde", "CASA DA VERDE LIMA"), ("Ab Cd Ef Norte", "Ef Cd Ab Sul"),
        ("Comercio Rio Azul", "Azul Comercio"), ("José da Silva", "JOSE DA SILVA"), ("Maria Souza", "Ana Souza"),
        ("   ", "   "), ("", "Nome"),
    ])
    def test_known_cases(self, chk, a, b):
        assert comparar_nomes(a, b) is chk._comparar_nomes(a, b) is ref_comparar(a, b)


@pytest.mark.parametrize("valor, esperado", [
    ("***982247**", "982247"), ("***.982.247-**", "982247"), ("529.982.247-25", "982247"),
    (CPF_MARIA, "982247"), ("***000000**", None), ("", None), (None, None), (ACME, None), ("***98224**", None),
])
def test_visible_digits_of_a_masked_cpf(valor, esperado):
    assert digitos_visiveis(valor) == esperado


def _qsa(nome, cpf_mascarado, qualificacao="Sócio-Administrador", rep="", cpf_rep="***000000**"):
    return {"nome_socio": nome, "cnpj_cpf_do_socio": cpf_mascarado, "qualificacao_socio": qualificacao,
            "data_entrada_sociedade": "2001-01-01", "cpf_representante_legal": cpf_rep,
            "nome_representante_legal": rep, "qualificacao_representante_legal": "Administrador" if rep else ""}


@pytest.fixture(scope="module")
def ca(tmp_path_factory):
    ca = AutoridadeTeste()
    ca.raizes = ca.gravar_raiz(tmp_path_factory.mktemp("raizes"))
    ca.assinantes = {
        "maria": ca.pessoa("MARIA DA SILVA", CPF_MARIA),
        "joao_acme": ca.empresa("ACME COMERCIO DE TESTES LTDA", ACME, "JOAO PEREIRA", CPF_JOAO),
        "ana": ca.pessoa("ANA COSTA", CPF_ANA),
        "carlos": ca.pessoa("CARLOS ALBERTO NUNES", CPF_CARLOS),
        "pedro": ca.pessoa("PEDRO SANTOS", "86288366757"),
    }
    return ca


@pytest.fixture
def contrato(ca, registry, no_env_keys, tmp_path):  # noqa: F811
    """Signs a PDF with the given signers, runs the real checker on it (engine answers fixed,
    registry over local HTTP) and gives (path, ResultadoVerificacao)."""
    cnpj, brasil, receita = empresa_exemplo(ACME)
    brasil["qsa"] = [
        _qsa("MARIA DA SILVA", "***982247**"),                       # confirmed
        _qsa("JOAO PEREIRA", "***123456**", "Sócio"),                 # certificate CPF differs
        _qsa("HOLDING XYZ PARTICIPACOES SA", "", rep="ANA COSTA", cpf_rep="***533447**"),  # via representative
        _qsa("PEDRO SANTOS", "", "Sócio"),                           # no CPF in the QSA
    ]
    registry.add_company(cnpj, brasil, receita)

    def make(*quem, extraidos=("Maria da Silva", "João Pereira", "Ana Costa", "Pedro Santos"), pdf=None):
        data = pdf or pdf_texto("CONTRATO DE PRESTACAO DE SERVICOS", "CONTRATANTE: ACME COMERCIO DE TESTES LTDA")
        for i, nome in enumerate(quem, 1):
            data = assinar(data, ca.assinantes[nome], f"Assinatura{i}")
        path = tmp_path / "contrato.pdf"
        path.write_bytes(data)
        chk = checker_mod.ContractChecker(openai_api_key="k", verbose=False)
        with_engine(chk, FakeEngine(
            empresas=[{"cnpj": "11.222.333/0001-81", "razao_social": "ACME COMERCIO DE TESTES LTDA",
                       "papel_no_contrato": "contratante"}],
            assinaturas=[{"nome_signatario": n, "cnpj_empresa": "11.222.333/0001-81"} for n in extraidos]))
        return path, chk.verificar(str(path))
    return make


def _resumo(digitais):
    return [(a["campo"], a["pessoa"], a["signatario_extraido"], a["identidade"],
             (a["socio_qsa"] or {}).get("nome")) for a in digitais["assinaturas"]]


def test_qsa_cross_check_confirms_flags_and_misses(ca, contrato, registry):  # noqa: F811
    path, resultado = contrato("maria", "joao_acme", "ana", "carlos", "pedro")
    antes = len(registry.requests_to("brasilapi"))
    digitais = verificar_assinaturas_digitais(path, resultado, raizes=ca.raizes)
    assert _resumo(digitais) == [
        ("Assinatura1", "MARIA DA SILVA", "Maria da Silva", IDENTIDADE_CONFIRMADA, "MARIA DA SILVA"),
        ("Assinatura2", "JOAO PEREIRA", "João Pereira", IDENTIDADE_DIVERGENTE, "JOAO PEREIRA"),
        ("Assinatura3", "ANA COSTA", "Ana Costa", IDENTIDADE_CONFIRMADA, "ANA COSTA"),
        ("Assinatura4", "CARLOS ALBERTO NUNES", None, IDENTIDADE_FORA_DO_QSA, None),
        ("Assinatura5", "PEDRO SANTOS", "Pedro Santos", IDENTIDADE_SEM_CPF, "PEDRO SANTOS"),
    ]
    # One extra lookup for the masked CPFs, which the normalized record does not keep.
    assert len(registry.requests_to("brasilapi")) == antes + 1
    assert digitais["total"] == 5 and digitais["validas"] is True
    assert digitais["alertas"] == [
        "CPF do certificado de JOAO PEREIRA (campo Assinatura2) difere do CPF de JOAO PEREIRA no QSA"]
    maria, joao, ana, carlos, _ = digitais["assinaturas"]
    assert ("identidade confirmada: MARIA DA SILVA (Sócio-Administrador) de ACME COMERCIO DE TESTES LTDA, "
            "CPF ***982247** confere com o certificado") in maria["achados"]
    assert ana["socio_qsa"]["qualificacao"] == "Administrador"
    assert ("CPF DIVERGENTE: JOAO PEREIRA consta no QSA de ACME COMERCIO DE TESTES LTDA com CPF ***123456**, "
            "mas o certificado traz ***444777**") in joao["achados"]
    assert joao["empresa_do_certificado"] == "ACME COMERCIO DE TESTES LTDA" and joao["cnpj"] == ACME
    assert "CARLOS ALBERTO NUNES não está entre os signatários extraídos do contrato" in carlos["achados"]
    # The library's result is untouched by the cross-check.
    assert all("cnpj_cpf_do_socio" not in s for e in resultado["empresas"] for s in e["socios"])


def test_untrusted_certificate_is_never_confirmed_and_costs_no_lookup(ca, contrato, registry):  # noqa: F811
    path, resultado = contrato("maria")
    antes = len(registry.requests_to("brasilapi"))
    digitais = verificar_assinaturas_digitais(path, resultado)  # ICP-Brasil roots: the test CA is unknown
    (maria,) = digitais["assinaturas"]
    assert (maria["icp_brasil"], maria["identidade"], maria["signatario_extraido"]) == (
        False, IDENTIDADE_NAO_VERIFICADA, "Maria da Silva")
    assert "identidade não verificada no QSA: certificado não reconhecido como ICP-Brasil ou gov.br" in maria["achados"]
    assert len(registry.requests_to("brasilapi")) == antes


@pytest.mark.parametrize("mexer, alerta", [
    (lambda pdf: trocar_texto(pdf, "CONTRATO ALTERADO"),
     "ASSINATURA INVÁLIDA de MARIA DA SILVA (campo Assinatura1): conteúdo alterado depois da assinatura "
     "(página(s) 1)"),
    (lambda pdf: adulterar(pdf, b"PRESTACAO", b"PRESTACA0"),
     "ASSINATURA INVÁLIDA de MARIA DA SILVA (campo Assinatura1): assinatura violada: os bytes assinados foram "
     "alterados depois da assinatura"),
])
def test_changed_or_broken_document_is_a_prominent_warning(ca, contrato, tmp_path, mexer, alerta):
    path, resultado = contrato("maria")
    path.write_bytes(mexer(path.read_bytes()))
    digitais = verificar_assinaturas_digitais(path, resultado, raizes=ca.raizes)
    assert (digitais["validas"], digitais["invalidas"]) == (False, 1)
    assert digitais["alertas"] == [alerta]
    # A broken signature proves nothing about who signed.
    expected = IDENTIDADE_CONFIRMADA if "conteúdo" in alerta else IDENTIDADE_NAO_VERIFICADA
    assert digitais["assinaturas"][0]["identidade"] == expected


def test_unsigned_and_unreadable_documents(ca, tmp_path):
    sem = tmp_path / "sem.pdf"
    sem.write_bytes(pdf_texto("CONTRATO assinado a mão"))
    assert verificar_assinaturas_digitais(sem, None) == {
        "total": 0, "validas": True, "invalidas": 0, "resumo": "nenhuma assinatura digital no documento",
        "alertas": [], "avisos": [], "assinaturas": [], "erro": None}
    ruim = tmp_path / "ruim.pdf"
    ruim.write_bytes(b"%PDF-1.4\n" + b"x" * 100)
    digitais = verificar_assinaturas_digitais(ruim, None)
    assert digitais["validas"] is False and digitais["erro"].startswith("PDF ilegível")
    assert digitais["resumo"].startswith("assinaturas digitais não verificadas: PDF ilegível")
    # Read elsewhere (while the engine extracted): the reading's error is reported the same way.
    feita_antes = verificar_assinaturas_digitais(ruim, None, lidas=lambda: ler_assinaturas(ruim))
    assert feita_antes == digitais


def test_cross_check_without_a_verification_result(ca, tmp_path):
    path = tmp_path / "c.pdf"
    path.write_bytes(assinar(pdf_texto("CONTRATO"), ca.assinantes["maria"], "A"))
    itens = cruzar_assinaturas(ler_assinaturas(path, raizes=ca.raizes))
    assert [(i["pessoa"], i["signatario_extraido"], i["identidade"]) for i in itens] == [
        ("MARIA DA SILVA", None, IDENTIDADE_NAO_VERIFICADA)]
    assert itens[0]["achados"][-1] == (
        "identidade não verificada no QSA: nenhuma empresa do contrato encontrada na Receita Federal")


def test_without_the_signatures_extra_the_reason_is_given_not_raised(ca, tmp_path, monkeypatch):
    path = tmp_path / "c.pdf"
    path.write_bytes(assinar(pdf_texto("CONTRATO"), ca.assinantes["maria"], "A"))
    monkeypatch.setitem(sys.modules, "pyhanko.sign.validation", None)  # as if pyHanko were not installed
    digitais = verificar_assinaturas_digitais(path, None)
    assert (digitais["total"], digitais["validas"]) == (0, False)
    assert digitais["erro"] == ("verificação de assinaturas digitais indisponível: "
                                "instale scrivane-contract[assinaturas]")


# -- the masked CPFs come through the registry the lookups use ---------------------------------

ALFA = "12ABC345000188"          # an alphanumeric CNPJ
ALFA_F = "12.ABC.345/0001-88"


def _verificar(path, cnpj_f, razao):
    chk = checker_mod.ContractChecker(openai_api_key="k", verbose=False)
    with_engine(chk, FakeEngine(
        empresas=[{"cnpj": cnpj_f, "razao_social": razao, "papel_no_contrato": "contratante"}],
        assinaturas=[{"nome_signatario": "Maria da Silva", "cnpj_empresa": cnpj_f}]))
    return chk.verificar(str(path))


def test_identity_confirmed_from_the_sqlite_registry_without_http(ca, no_env_keys, tmp_path, monkeypatch):  # noqa: F811
    import json

    from scrivane_contract import cnpj as cnpj_mod
    from scrivane_contract.registro import importar, usar_registro

    _, brasil, _ = empresa_exemplo(ALFA)
    brasil["qsa"] = [_qsa("MARIA DA SILVA", "***982247**")]
    (tmp_path / "r.jsonl").write_text(json.dumps(brasil) + "\n", encoding="utf-8")
    importar(None, tmp_path / "registro.db", jsonl=tmp_path / "r.jsonl")
    # Nothing may leave the machine: the public addresses point nowhere.
    monkeypatch.setattr(cnpj_mod, "BRASIL_API_URL", "http://127.0.0.1:9/api/cnpj/v1/{cnpj}")
    monkeypatch.setattr(cnpj_mod, "RECEITA_WS_URL", "http://127.0.0.1:9/v1/cnpj/{cnpj}")
    path = tmp_path / "c.pdf"
    path.write_bytes(assinar(pdf_texto("CONTRATO", f"CONTRATANTE: ACME, CNPJ {ALFA_F}"), ca.assinantes["maria"], "A"))
    with usar_registro(f"sqlite:{tmp_path / 'registro.db'}"):
        resultado = _verificar(path, ALFA_F, brasil["razao_social"])
        digitais = verificar_assinaturas_digitais(path, resultado, raizes=ca.raizes)
    assert [e["cnpj"] for e in resultado["empresas"]] == [ALFA_F]
    (maria,) = digitais["assinaturas"]
    assert (maria["identidade"], maria["socio_qsa"]["cpf_mascarado"]) == (IDENTIDADE_CONFIRMADA, "***982247**")


def test_alphanumeric_cnpj_is_looked_up_through_the_registry_server(ca, registry, no_env_keys, tmp_path):  # noqa: F811
    _, brasil, receita = empresa_exemplo(ALFA)
    brasil["qsa"] = [_qsa("MARIA DA SILVA", "***982247**")]
    registry.add_company(ALFA, brasil, receita)
    path = tmp_path / "c.pdf"
    path.write_bytes(assinar(pdf_texto("CONTRATO", f"CONTRATANTE: ACME, CNPJ {ALFA_F}"), ca.assinantes["maria"], "A"))
    resultado = _verificar(path, ALFA_F, brasil["razao_social"])
    antes = len(registry.requests_to("brasilapi"))
    digitais = verificar_assinaturas_digitais(path, resultado, raizes=ca.raizes)
    assert digitais["assinaturas"][0]["identidade"] == IDENTIDADE_CONFIRMADA
    # The one extra lookup asked for the alphanumeric CNPJ itself.
    novas = registry.requests_to("brasilapi")[antes:]
    assert len(novas) == 1 and ALFA in novas[0].path


def test_masked_cpfs_go_through_the_cnpj_modules_requests_name(monkeypatch):
    from scrivane_contract import cnpj as cnpj_mod
    from scrivane_contract.assinaturas_digitais import consultar_cpfs_socios

    pedidos = []

    class Resposta:
        status_code = 200

        def json(self):
            return {"qsa": [_qsa("MARIA DA SILVA", "***982247**")]}

    class Requisicoes:
        def get(self, url, **kw):
            pedidos.append(url)
            return Resposta()

    monkeypatch.setattr(cnpj_mod, "requests", Requisicoes())
    assert consultar_cpfs_socios(ALFA_F)[0]["cnpj_cpf_do_socio"] == "***982247**"
    assert pedidos == [cnpj_mod.BRASIL_API_URL.replace("{cnpj}", ALFA)]
