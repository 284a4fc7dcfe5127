"""The local provider: contracts read by rules, with no model, no network and no key.

Each document of the accuracy set (tests/acuracia/) is read by the rules and
compared with its expected extraction; the provider is then run through the
real engine on PDFs, and through the checker against the local registry server.
"""

import json

import acuracia
import pytest
from checker_helpers import no_env_keys  # noqa: F401
from pdfs import write_text_pdf
from registry_server import empresa_exemplo, registry  # noqa: F401

from scrivane import Question, QuestionConfig, Scrivane, read_document
from scrivane.local_extractor import extrair, limpar_paginas
from scrivane_contract.checker import ContractChecker, verificar_contrato
from scrivane_contract.models import ExtracaoAssinaturas, ExtracaoDadosContrato, ExtracaoEmpresas

CASOS = acuracia.casos()
MODELOS = {"empresas": ExtracaoEmpresas, "assinaturas": ExtracaoAssinaturas, "dados_contrato": ExtracaoDadosContrato}


def test_the_set_is_varied_enough():
    contratos = [c for c in CASOS if c.esperado["contrato"]]
    assert len(contratos) >= 20 and len(CASOS) - len(contratos) >= 5
    assert {1, 2, 3, 4} <= {len(c.esperado["empresas"]) for c in contratos}  # companies per contract


@pytest.mark.parametrize("forma", ["texto", "pdf"])
@pytest.mark.parametrize("caso", CASOS, ids=[c.nome for c in CASOS])
def test_document_of_the_accuracy_set(caso, forma, tmp_path):
    paginas = caso.paginas
    if forma == "pdf":
        # Laid out as a PDF: paragraphs wrapped at 64 columns, read back through pdfium.
        pdf = write_text_pdf(tmp_path / "doc.pdf", acuracia.quebrar(paginas, 64))
        paginas = read_document(pdf).pages
    extraido = extrair(paginas)
    placar = acuracia.Placar()
    placar.registrar(caso, extraido)
    assert placar.erros == []
    assert extraido["eh_contrato"] is caso.esperado["contrato"]
    for campo, valor in caso.esperado.get("dados", {}).items():
        assert acuracia.normal(campo, extraido[campo]) == acuracia.normal(campo, valor), campo
    if not caso.esperado["contrato"]:
        assert all(v is None for k, v in extraido.items() if k not in ("eh_contrato", "empresas", "assinaturas"))


def test_pdf_clean_up():
    paginas = [
        "ACME LTDA – Contrato 12/2024\nO presente contrato tem por ob-\njeto a limpeza,   com   espaços.\n"
        "DORAVANTE CONTRA-\nTANTE\nPágina 1 de 3",
        "ACME LTDA – Contrato 12/2024\nSegunda página.\n2",
        "ACME LTDA – Contrato 12/2024\nTerceira página.\n- 3 -",
    ]
    assert limpar_paginas(paginas) == ["O presente contrato tem por objeto a limpeza, com espaços.",
                                       "DORAVANTE CONTRATANTE", "Segunda página.", "Terceira página."]


CONTRATO_DATADO = (
    "CONTRATO DE PRESTAÇÃO DE SERVIÇOS\n"
    "ACME COMERCIO DE TESTES LTDA, inscrita no CNPJ sob o nº 11.222.333/0001-81, doravante CONTRATANTE.\n"
    "CLÁUSULA PRIMEIRA – O presente contrato tem por objeto a limpeza do escritório.\n"
    "{data}\n"
    "______________________________\nMARIA DA SILVA\nACME COMERCIO DE TESTES LTDA"
)


@pytest.mark.parametrize("data, esperada", [
    ("São Paulo, 31 de janeiro de 2025.", "2025-01-31"),
    ("São Paulo, 31 de dezembro de 2024.", "2024-12-31"),
    ("Porto Alegre, 31/03/2024.", "2024-03-31"),
    ("Porto Alegre, 30/04/2024.", "2024-04-30"),
    ("Curitiba, 1º de março de 2024.", "2024-03-01"),
    ("Recife, 29 de fevereiro de 2024.", "2024-02-29"),
])
def test_signing_date_on_any_day_of_the_month(data, esperada):
    assert extrair([CONTRATO_DATADO.format(data=data)])["data_assinatura"] == esperada


def questions():
    return [Question(config=QuestionConfig(id=qid, name=qid, tag=qid), system_prompt="s", user_prompt="{texto}",
                     response_model=model) for qid, model in MODELOS.items()]


def test_engine_answers_every_question_from_a_pdf(tmp_path, monkeypatch):
    caso = next(c for c in CASOS if c.nome.startswith("03_"))  # two pages, running headers, digital stamps
    pdf = write_text_pdf(tmp_path / "contrato.pdf", caso.paginas)
    monkeypatch.setenv("SCRIVANE_PROVIDER", "local")
    monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    engine = Scrivane()
    assert engine.provider == "local"
    for q in questions():
        engine.add_question(q)
    run = engine.process(str(pdf))
    placar = acuracia.Placar()
    placar.registrar(caso, {"empresas": run.get_result("empresas").raw_result["empresas"],
                            "assinaturas": run.get_result("assinaturas").raw_result["assinaturas"]})
    assert placar.erros == []
    assert run.get_result("dados_contrato").raw_result["foro"] == "Porto Alegre/RS"
    metrics = run.total_metrics
    assert (metrics.tokens, metrics.cost_usd, metrics.calls) == (0, 0.0, 0)
    assert metrics.time_seconds > 0


def test_a_question_the_rules_cannot_answer_has_no_answer(tmp_path):
    from pydantic import BaseModel

    class Clima(BaseModel):
        temperatura: float

    engine = Scrivane(provider="local")
    engine.add_question(Question(config=QuestionConfig(id="clima", name="Clima", tag="c"), system_prompt="s",
                                 user_prompt="{texto}", response_model=Clima))
    engine.add_question(questions()[0])
    path = tmp_path / "nota.txt"
    path.write_text(CASOS[-1].paginas[0], encoding="utf-8")
    run = engine.process(path)
    assert run.get_result("clima") is None and "extrator local" in run.failures["clima"]
    assert run.get_result("empresas").raw_result == {"empresas": []}


@pytest.fixture
def contrato_acme(tmp_path):
    _, brasil, _ = empresa_exemplo("11222333000181")
    texto = (
        "CONTRATO DE PRESTAÇÃO DE SERVIÇOS\n"
        "ACME COMERCIO DE TESTES LTDA, pessoa jurídica de direito privado, inscrita no CNPJ sob o nº "
        "11.222.333/0001-81,\ncom sede na Av. Paulista, nº 1000, Andar 5, Bela Vista, São Paulo/SP, CEP 01310-100,\n"
        "neste ato representada por sua sócia administradora MARIA DA SILVA, brasileira, inscrita no CPF\n"
        "sob o nº 234.483.478-84, doravante denominada CONTRATANTE, celebra o presente contrato.\n"
        "CLÁUSULA PRIMEIRA – O presente contrato tem por objeto a limpeza do escritório.\n"
        "São Paulo, 3 de fevereiro de 2025.\n"
        "______________________________\nMARIA DA SILVA\nACME COMERCIO DE TESTES LTDA"
    )
    return write_text_pdf(tmp_path / "contrato.pdf", [texto]), brasil


def test_checker_with_the_local_provider(registry, contrato_acme, no_env_keys, capsys):  # noqa: F811
    pdf, brasil = contrato_acme
    registry.add_company("11222333000181", brasil)
    checker = ContractChecker(provider="local")
    assert (checker.provider, checker.token) == ("local", None)
    resultado = checker.verificar(pdf)
    assert resultado["resultado_final"] == "APROVADO", resultado["campos_pendentes"] + resultado["campos_reprovados"]
    assert "Poder de Assinatura - MARIA DA SILVA" in resultado["campos_aprovados"]
    assert resultado["metricas"]["tokens"] == 0 and resultado["metricas"]["custo_usd"] == 0.0
    assert "   Tokens: 0\n   Custo: $0.0000" in capsys.readouterr().out


def test_one_call_form_takes_the_provider_from_the_environment(registry, contrato_acme, no_env_keys,  # noqa: F811
                                                              monkeypatch):
    pdf, brasil = contrato_acme
    registry.add_company("11222333000181", brasil)
    with pytest.raises(ValueError, match="OPENAI_API_KEY"):
        verificar_contrato(str(pdf), verbose=False)
    monkeypatch.setenv("SCRIVANE_PROVIDER", "local")
    resultado = verificar_contrato(str(pdf), verbose=False)
    assert resultado["resultado_final"] == "APROVADO"
    assert [e["razao_social_contrato"] for e in resultado["empresas"]] == ["ACME COMERCIO DE TESTES LTDA"]


def test_command_line_with_the_local_provider(registry, contrato_acme, no_env_keys, capsys):  # noqa: F811
    from scrivane_contract.cli import main

    pdf, brasil = contrato_acme
    registry.add_company("11222333000181", brasil)
    codigo = main(["verificar", "--provedor", "local", "--registro", registry.url, "--json", str(pdf)])
    linhas = capsys.readouterr().out.splitlines()
    assert codigo == 0 and len(linhas) == 1
    resultado = json.loads(linhas[0])["resultado"]
    assert resultado["resultado_final"] == "APROVADO"
    assert resultado["metricas"]["tokens"] == 0
