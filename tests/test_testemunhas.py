"""Witnesses: a signatory who signs as a witness represents no company and needs no signing power."""

import pytest
from checker_helpers import checker, dados, lines, no_env_keys, quiet, socio  # noqa: F401
from openai_server import OpenAIServer, Reply
from registry_server import empresa_exemplo, registry  # noqa: F401

import reference_checker as ref
from scrivane_contract import cnpj
from scrivane_contract.checker import ContractChecker
from scrivane_contract.models import AssinaturaExtraida
from test_checker_e2e import D, DADOS, S, empresa, pdf, report_of  # noqa: F401

ACME = "11222333000181"
ACME_F = "11.222.333/0001-81"
TESTEMUNHA = ("Testemunha", "nao_verificado", "Ana Souza", None, "Testemunha: assina sem representar empresa")


def fields(ass):
    return [(f.campo, f.status, f.valor_contrato, f.valor_receita, f.mensagem) for f in ass.campos]


@pytest.fixture
def cache():
    acme = dados(ACME, "ACME", socios=["MARIA DA SILVA", "JOAO PEREIRA"])
    return {ACME: acme, "acme comercio": acme}


@pytest.mark.parametrize("cargo, tipo", [
    ("Testemunha", None),
    ("TESTEMUNHA", "manuscrita"),
    ("1ª testemunha", None),
    ("Testemunhas", None),
    ("Testemúnha", None),  # an accent the model may put where none belongs
    (None, "testemunha"),
    ("Analista", "Testemunha"),
])
@pytest.mark.parametrize("represented", [None, ACME_F])
def test_a_witness_outside_the_qsa_gets_the_witness_field_and_no_problem(checker, cache, capsys, cargo, tipo,
                                                                         represented):
    a = AssinaturaExtraida(nome_signatario="Ana Souza", cargo=cargo, tipo_assinatura=tipo, cnpj_empresa=represented)
    [v] = checker._validar_assinaturas([a], cache)
    assert fields(v) == [TESTEMUNHA]
    assert (v.tem_poder_assinatura, v.qualificacao_qsa, v.problemas) == (False, None, [])
    assert (v.cargo, v.tipo_assinatura, v.cnpj_empresa) == (cargo, tipo, represented)
    assert v.campos[0].emoji == "➖"
    assert lines(capsys)[2:] == ["👤 Verificando: Ana Souza", " ℹ️ Ana Souza - testemunha, não representa empresa"]
    ref.use(limpar_cnpj=cnpj.limpar_cnpj)
    assert ref.RefChecker(None, verbose=False)._validar_assinaturas([a], cache) == [v]


@pytest.mark.parametrize("cargo, tipo, esperado", [
    ("Sócia", "testemunho", "pendente"),       # a different word
    ("Representante", "digital", "pendente"),
    (None, None, "pendente"),
])
def test_other_signatories_keep_their_fields(quiet, cargo, tipo, esperado):
    [v] = quiet._validar_assinaturas([AssinaturaExtraida(nome_signatario="Zé", cargo=cargo, tipo_assinatura=tipo)],
                                     {})
    assert fields(v)[0][:2] == ("Poder de Assinatura", esperado)


def test_a_witness_who_is_a_partner_is_approved(checker, cache, capsys):
    a = AssinaturaExtraida(nome_signatario="Maria da Silva", cargo="Testemunha", tipo_assinatura="testemunha")
    [v] = checker._validar_assinaturas([a], cache)
    assert fields(v) == [("Poder de Assinatura", "aprovado", "Maria da Silva", "Sócio-Administrador",
                          "Signatário tem poder (Sócio-Administrador)")]
    assert lines(capsys)[-1] == " ✅ Maria da Silva TEM PODER (Sócio-Administrador)"


def test_a_witness_matched_to_a_company_is_not_rejected_but_an_ordinary_signatory_is(quiet, cache):
    testemunha = AssinaturaExtraida(nome_signatario="Ana Souza", cargo="Testemunha", cnpj_empresa=ACME)
    intruso = AssinaturaExtraida(nome_signatario="Ana Souza", cargo="Procuradora", cnpj_empresa=ACME)
    [t, i] = quiet._validar_assinaturas([testemunha, intruso], cache)
    assert fields(t) == [TESTEMUNHA]
    assert fields(i)[0][1] == "reprovado" and i.problemas == ["Signatário sem poder de assinatura"]


def test_an_unnamed_witness_stays_unidentified(quiet, cache):
    [v] = quiet._validar_assinaturas([AssinaturaExtraida(nome_signatario="N/A", cargo="Testemunha")], cache)
    assert fields(v) == [("Identificação", "nao_verificado", None, None, "Signatário não identificado")]
    assert (v.nome_signatario, v.problemas) == ("(não identificado)", ["Signatário não identificado"])


@pytest.fixture
def llm(monkeypatch, no_env_keys):  # noqa: F811
    with OpenAIServer() as server:
        monkeypatch.setenv("OPENAI_BASE_URL", server.base_url)
        yield server


def _pessoa(nome, cargo, cnpj=None, tipo="manuscrita"):
    return {"nome_signatario": nome, "cargo": cargo, "cpf": None, "empresa_representada": None,
            "cnpj_empresa": cnpj, "tipo_assinatura": tipo}


def test_a_contract_with_two_witnesses_and_all_else_in_order_is_approved(llm, registry, pdf, capsys):  # noqa: F811
    registry.add_company(*empresa_exemplo(ACME))
    llm.script("TODAS as empresas", Reply.json({"empresas": [empresa(
        ACME_F, "ACME COMERCIO DE TESTES LTDA", "Av. Paulista, 1000 - Bela Vista, São Paulo/SP, CEP 01310-100")]}))
    llm.script("TODAS as pessoas", Reply.json({"assinaturas": [
        _pessoa("Maria da Silva", "Sócia", ACME_F), _pessoa("Ana Souza", "Testemunha", tipo="testemunha"),
        _pessoa("Carlos Lima", "Testemunha")]}))
    llm.script("dados gerais", Reply.json(DADOS))
    chk = ContractChecker(openai_api_key="sk-test")
    r = chk.verificar(pdf)
    assert (r["resultado_final"], r["justificativa"]) == ("APROVADO", "Todos os 5 campos verificados foram aprovados")
    assert (r["total_campos"], r["campos_pendentes"], r["campos_reprovados"]) == (5, [], [])
    assert [a["campos"][0]["campo"] for a in r["assinaturas"]] == ["Poder de Assinatura", "Testemunha", "Testemunha"]
    saida = lines(capsys)
    assert " ℹ️ Carlos Lima - testemunha, não representa empresa" in saida
    relatorio = report_of(saida)
    assert relatorio[relatorio.index("✍️ ASSINATURAS (3)") + 1:] == [
        S, "", "   ✅ Maria da Silva", "      Cargo: Sócia",
        "      ✅ Poder de Assinatura: Signatário tem poder (Sócio-Administrador)",
        "", "   ℹ️ Ana Souza", "      Cargo: Testemunha", "      ➖ Testemunha: Testemunha: assina sem representar empresa",
        "", "   ℹ️ Carlos Lima", "      Cargo: Testemunha",
        "      ➖ Testemunha: Testemunha: assina sem representar empresa",
        "", S, "💰 MÉTRICAS", S, "   Tokens: 360"]
    # The plain-Python twin gives the same record.
    ref.use(**{n: getattr(cnpj, n) for n in ("consultar_cnpj", "buscar_cnpj_por_nome", "limpar_cnpj",
                                             "validar_cnpj", "formatar_cnpj", "comparar_enderecos")})
    gemeo = ref.RefChecker(chk._client, verbose=False).verificar(pdf)
    assert {k: v for k, v in gemeo.items() if k != "metricas"} == {k: v for k, v in r.items() if k != "metricas"}
