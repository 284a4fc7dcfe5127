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
        assert all(v is None for k, v in extraido.items() if k not in ("eh_contrato", "motivos_contrato", "empresas", "assinaturas"))


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
    # days that do not exist give no date
    ("Recife, 31 de fevereiro de 2025.", None),
    ("Recife, 29 de fevereiro de 2023.", None),
    ("Porto Alegre, 31/04/2024.", None),
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


# ---------------------------------------------------------------------------
# Reading rules on layouts of real contracts, with made-up parties
# ---------------------------------------------------------------------------

FECHO = ("\nCLÁUSULA PRIMEIRA – DO OBJETO\nO presente contrato tem por objeto a limpeza do prédio.\n"
         "São Paulo, 3 de fevereiro de 2025.\n")
KAPPA = "KAPPA OBRAS LTDA, inscrita no CNPJ sob o nº 55.566.677/0001-83"

# id, pages, expected: "contrato"; "empresas" {(legal name, CNPJ, role)}; "assinaturas" {(name, company,
# position)}, each the whole answer (nothing else may come out); optionally "tipo".
REGRAS = [
    ("papel na linha acima do nome",
     ["CONTRATO DE PRESTAÇÃO DE SERVIÇOS\nCONTRATANTE\nVITORIAWARE SISTEMAS LTDA, inscrita no CNPJ sob o nº "
      "11.222.333/0001-81, com sede na Rua A, 10, Curitiba/PR.\nCONTRATADA\nBETA LIMPEZA LTDA, inscrita no CNPJ "
      "sob o nº 11.444.777/0001-61, com sede na Rua B, 20.\nAs partes resolvem celebrar o presente contrato." + FECHO],
     {"contrato": True, "assinaturas": set(),
      "empresas": {("VITORIAWARE SISTEMAS LTDA", "11.222.333/0001-81", "CONTRATANTE"),
                   ("BETA LIMPEZA LTDA", "11.444.777/0001-61", "CONTRATADA")}}),
    ("a sociedade inscrita no Cadastro Nacional de Pessoas Jurídicas",
     ["CONTRATO DE LOCAÇÃO\nDe um lado, a sociedade ALFA PARTICIPAÇÕES LTDA, inscrita no Cadastro Nacional de "
      "Pessoas Jurídicas - CNPJ sob o nº 12.345.678/0001-95, com sede na Rua C, 5, doravante denominada LOCADORA, e, "
      "de outro lado, GAMA COMÉRCIO LTDA, inscrita no CNPJ sob o nº 98.765.432/0001-98, doravante denominada "
      "LOCATÁRIA, têm entre si justo e contratado." + FECHO],
     {"contrato": True, "assinaturas": set(),
      "empresas": {("ALFA PARTICIPAÇÕES LTDA", "12.345.678/0001-95", "LOCADORA"),
                   ("GAMA COMÉRCIO LTDA", "98.765.432/0001-98", "LOCATÁRIA")}}),
    ("papéis além dos de costume",
     ["CONTRATO DE PATROCÍNIO\nDELTA EVENTOS LTDA, inscrita no CNPJ sob o nº 55.566.677/0001-83, doravante "
      "designado PATROCINADO, e ÔMEGA BEBIDAS S.A., inscrita no CNPJ sob o nº 12.345.678/0001-95, doravante "
      "denominada PATROCINADORA, resolvem celebrar o presente." + FECHO],
     {"contrato": True, "assinaturas": set(),
      "empresas": {("DELTA EVENTOS LTDA", "55.566.677/0001-83", "PATROCINADO"),
                   ("ÔMEGA BEBIDAS S.A.", "12.345.678/0001-95", "PATROCINADORA")}}),
    ("ata de registro de preços é instrumento bilateral",
     ["ATA DE REGISTRO DE PREÇOS Nº 12/2024\nA empresa SIGMA MATERIAIS LTDA, inscrita no CNPJ sob o nº "
      "98.765.432/0001-98, doravante denominada DETENTORA, resolve registrar os preços." + FECHO],
     {"contrato": True, "assinaturas": set(),
      "empresas": {("SIGMA MATERIAIS LTDA", "98.765.432/0001-98", "DETENTORA")}}),
    ("nome quebrado entre linhas",
     ["CONTRATO DE MANUTENÇÃO ELÉTRICA\nA CONTRATANTE e a\nEMPRESA ELETROTECNICA PANTANAL\nLTDA, CNPJ Nº "
      "11.444.777/0001-61, com sede em Campo Grande/MS, doravante denominada CONTRATADA, resolvem celebrar o "
      "presente contrato." + FECHO],
     {"contrato": True, "assinaturas": set(),
      "empresas": {("ELETROTECNICA PANTANAL LTDA", "11.444.777/0001-61", "CONTRATADA")}}),
    ("órgão público que contrata, representante sem qualificação própria",
     ["CONTRATO Nº 5/2024\nA UNIÃO, por intermédio do COMANDO DA 9ª REGIÃO MILITAR, inscrito no CNPJ sob o nº "
      "00.394.452/0001-03, neste ato representado pelo Ordenador de Despesas, Coronel RODRIGO DA SILVA ALVES, "
      "doravante denominada CONTRATANTE, e a empresa " + KAPPA + ", doravante denominada CONTRATADA, resolvem "
      "celebrar o presente contrato." + FECHO],
     {"contrato": True,
      "empresas": {("UNIÃO", "00.394.452/0001-03", "CONTRATANTE"), ("KAPPA OBRAS LTDA", "55.566.677/0001-83", "CONTRATADA")},
      "assinaturas": {("RODRIGO DA SILVA ALVES", "UNIÃO", "Coronel")}}),
    ("município sem CNPJ no texto, representado por delegação",
     ["CONTRATO Nº 8/2025\nO MUNICÍPIO DE SÃO JOSÉ, por meio da Secretaria Municipal de Obras, doravante denominado "
      "CONTRATANTE, representado, por delegação conferida pela Resolução nº 60, pelo Coordenador Técnico, Sr. "
      "PEDRO GOMES DE SOUZA, matrícula nº 60/362, e a sociedade " + KAPPA + ", doravante denominada CONTRATADA, "
      "neste ato representada por LUCIA MARIA SOARES, portadora da carteira de identidade nº 1234, têm entre si "
      "justo e acordado." + FECHO],
     {"contrato": True,
      "empresas": {("MUNICÍPIO DE SÃO JOSÉ", None, "CONTRATANTE"), ("KAPPA OBRAS LTDA", "55.566.677/0001-83", "CONTRATADA")},
      "assinaturas": {("PEDRO GOMES DE SOUZA", "MUNICÍPIO DE SÃO JOSÉ", "Coordenador Técnico"),
                      ("LUCIA MARIA SOARES", "KAPPA OBRAS LTDA", None)}}),
    ("bloco de assinaturas digitado, rótulo e nome na mesma linha",
     ["CONTRATO DE FORNECIMENTO\n" + KAPPA + ", doravante denominada CONTRATADA, e ZETA FOODS LTDA, inscrita no "
      "CNPJ sob o nº 11.222.333/0001-81, doravante denominada CONTRATANTE, resolvem celebrar o presente contrato."
      + FECHO + "Pela Contratante RODRIGO DA SILVA ALVES – Diretor\nPela Contratada MARIANA COSTA LIMA – Sócia\n"],
     {"contrato": True,
      "empresas": {("KAPPA OBRAS LTDA", "55.566.677/0001-83", "CONTRATADA"),
                   ("ZETA FOODS LTDA", "11.222.333/0001-81", "CONTRATANTE")},
      "assinaturas": {("RODRIGO DA SILVA ALVES", "ZETA FOODS LTDA", "Diretor"),
                      ("MARIANA COSTA LIMA", "KAPPA OBRAS LTDA", "Sócia")}}),
    ("rótulos lado a lado sobre nomes digitados",
     ["CONTRATO DE FORNECIMENTO\n" + KAPPA + ", doravante denominada CONTRATADA, e ZETA FOODS LTDA, inscrita no "
      "CNPJ sob o nº 11.222.333/0001-81, doravante denominada CONTRATANTE, resolvem celebrar o presente contrato."
      + FECHO + "Pelo Contratante: Pela Contratada:\nBRUNO SANTA RITA\nDiretor Financeiro\nASSINADO DIGITALMENTE\n"
      "LUCAS GRIEBEL SANDI\nASSINADO DIGITALMENTE\n"],
     {"contrato": True,
      "empresas": {("KAPPA OBRAS LTDA", "55.566.677/0001-83", "CONTRATADA"),
                   ("ZETA FOODS LTDA", "11.222.333/0001-81", "CONTRATANTE")},
      "assinaturas": {("BRUNO SANTA RITA", "ZETA FOODS LTDA", "Diretor Financeiro"),
                      ("LUCAS GRIEBEL SANDI", "KAPPA OBRAS LTDA", None)}}),
    ("Representada por: nome e CPF",
     ["CONTRATO DE PRESTAÇÃO DE SERVIÇOS\nCONTRATADA:\nRazão Social: TETA SERVIÇOS LTDA\nCNPJ: 12.345.678/0001-95\n"
      "Representada por: JOANA PEREIRA DIAS CPF: 123.456.789-09\nAs partes resolvem celebrar o presente contrato."
      + FECHO],
     {"contrato": True, "empresas": {("TETA SERVIÇOS LTDA", "12.345.678/0001-95", "CONTRATADA")},
      "assinaturas": {("JOANA PEREIRA DIAS", "TETA SERVIÇOS LTDA", None)}}),
    ("Representada neste ato por seu representante legal",
     ["ATA DE REGISTRO DE PREÇOS\nEMPRESA REGISTRADA:\nRazão Social: TETA SERVIÇOS LTDA;\nCNPJ: 12.345.678/0001-95;\n"
      "Representada neste ato, por seu representante legal, o(a) Sr(a) LUCAS GRIEBEL SANDI.\nAs partes resolvem "
      "registrar os preços." + FECHO],
     {"contrato": True, "empresas": {("TETA SERVIÇOS LTDA", "12.345.678/0001-95", "EMPRESA REGISTRADA")},
      "assinaturas": {("LUCAS GRIEBEL SANDI", "TETA SERVIÇOS LTDA", "Representante legal")}}),
    ("testemunhas como testemunhas",
     ["CONTRATO DE PRESTAÇÃO DE SERVIÇOS\n" + KAPPA + ", doravante denominada CONTRATADA, resolvem celebrar o "
      "presente contrato." + FECHO + "____________________\nMARIANA COSTA LIMA\nKAPPA OBRAS LTDA\nTestemunhas:\n"
      "____________________\nPAULO ROBERTO SANTOS\nCPF: 111.444.777-35\n____________________\nCARLA MENDES ROCHA\n"],
     {"contrato": True, "empresas": {("KAPPA OBRAS LTDA", "55.566.677/0001-83", "CONTRATADA")},
      "assinaturas": {("MARIANA COSTA LIMA", "KAPPA OBRAS LTDA", None), ("PAULO ROBERTO SANTOS", None, "Testemunha"),
                      ("CARLA MENDES ROCHA", None, "Testemunha")}}),
    ("empresa com CNPJ e sem papel ainda é parte",
     ["CONTRATO DE PRESTAÇÃO DE SERVIÇOS\n" + KAPPA + ", com sede em Cuiabá/MT, presta os serviços descritos abaixo "
      "e as partes resolvem celebrar o presente." + FECHO],
     {"contrato": True, "assinaturas": set(), "empresas": {("KAPPA OBRAS LTDA", "55.566.677/0001-83", None)}}),
    ("cláusula, chave PIX e regime de bens não são nomes",
     ["CONTRATO DE ADESÃO\nCONTRATANTE: Pessoa física ou jurídica que adere aos serviços descritos neste contrato.\n"
      "CONTRATADA: NET RAPIDA TELECOM LTDA, inscrita no CNPJ sob o nº 11.222.333/0001-81.\nChave PIX: "
      "financeiro@netrapida.com.br\nRegime de bens: COMUNHÃO PARCIAL DE BENS\nAs partes resolvem celebrar o "
      "presente." + FECHO + "____________________\nChave PIX\n____________________\nCOMUNHÃO PARCIAL DE BENS\n"],
     {"contrato": True, "assinaturas": set(),
      "empresas": {("NET RAPIDA TELECOM LTDA", "11.222.333/0001-81", "CONTRATADA")}}),
    ("tipo de contrato quebrado depois de uma preposição",
     ["CONTRATO DE PRESTAÇÃO DE\nSERVIÇOS DE LIMPEZA\n" + KAPPA + ", doravante denominada CONTRATADA, resolvem "
      "celebrar o presente." + FECHO],
     {"contrato": True, "assinaturas": set(), "tipo": "Contrato de Prestação de Serviços de Limpeza",
      "empresas": {("KAPPA OBRAS LTDA", "55.566.677/0001-83", "CONTRATADA")}}),
    ("termo de homologação não é contrato",
     ["MINISTÉRIO DA ECONOMIA\nTERMO DE HOMOLOGAÇÃO\nPregão 17/2023\nFornecedor: 55.566.677/0001-83 - KAPPA OBRAS "
      "LTDA\n" + KAPPA + ", adjudicado.\nOs licitantes resolvem recorrer e celebram acordo."],
     {"contrato": False, "empresas": set(), "assinaturas": set()}),
    ("extrato de contrato publicado não é o contrato",
     ["EXTRATO DE CONTRATO Nº 3/2025\nPartes: MUNICÍPIO DE XIS e " + KAPPA + ", doravante denominada CONTRATADA. "
      "Objeto: pavimentação. As partes celebram e ajustam o presente."],
     {"contrato": False, "empresas": set(), "assinaturas": set()}),
    ("letras de outra escrita vindas do OCR",
     ["CONTRATO DE SERVIÇOS\n" + KAPPA + ", doravante denominada CОNTRATADA, resolvem celebrar o presente." + FECHO],
     {"contrato": True, "assinaturas": set(), "empresas": {("KAPPA OBRAS LTDA", "55.566.677/0001-83", "CONTRATADA")}}),
    ("CNPJ com vírgula do OCR",
     ["CONTRATO DE SERVIÇOS\nKAPPA OBRAS LTDA, inscrita no CNPJ sob o nº 55,566.677/0001-83, doravante denominada "
      "CONTRATADA, resolvem celebrar o presente." + FECHO],
     {"contrato": True, "assinaturas": set(), "empresas": {("KAPPA OBRAS LTDA", "55.566.677/0001-83", "CONTRATADA")}}),
    ("formulário: nome sobre a linha do CNPJ",
     ["Contratante:\nNome:\nCNPJ:\nINSTRUMENTO PARTICULAR DE PRESTAÇÃO DE SERVIÇOS\nENTRE AS PARTES:\n"
      "JOSE CARLOS DA SILVA SOFTWARE\n12.345.678/0001-95\nCLÁUSULA 1 – OBJETO\nO presente contrato tem como objeto "
      "o desenvolvimento de software."],
     {"contrato": True, "assinaturas": set(), "empresas": {("JOSE CARLOS DA SILVA SOFTWARE", "12.345.678/0001-95", None)}}),
    ("CNPJ escrito com um dígito a menos fica como escrito",
     ["CONTRATO DE LOCAÇÃO\nPor este instrumento particular, de um lado SINDIPESCA, com sede na Rua D, 1, inscrita "
      "no CNPJ sob o nº01276868/001-81, doravante denominado LOCADOR, e de outro lado o associado, doravante "
      "denominado(a) LOCATÁRIO, têm entre si justo." + FECHO],
     {"contrato": True, "assinaturas": set(), "empresas": {("SINDIPESCA", "01276868/001-81", "LOCADOR")}}),
    ("empresa só mencionada noutra página não é parte",
     ["CONTRATO Nº 3/2025\n" + KAPPA + ", doravante denominada CONTRATADA, e o MUNICÍPIO DE SÃO JOSÉ, doravante "
      "denominado CONTRATANTE, resolvem celebrar o presente." + FECHO,
      "DIÁRIO OFICIAL\nEXTRATO DE CONTRATO. Partes: MUNICÍPIO e OUTRA CONSTRUTORA LTDA, sociedade empresária, "
      "objeto: pavimentação."],
     {"contrato": True, "assinaturas": set(),
      "empresas": {("KAPPA OBRAS LTDA", "55.566.677/0001-83", "CONTRATADA"), ("MUNICÍPIO DE SÃO JOSÉ", None, "CONTRATANTE")}}),
    ("testemunhas numeradas na própria linha",
     ["CONTRATO DE PRESTAÇÃO DE SERVIÇOS\n" + KAPPA + ", doravante denominada CONTRATADA, resolvem celebrar o "
      "presente contrato." + FECHO + "____________________\nMARIANA COSTA LIMA\nKAPPA OBRAS LTDA\n"
      "Testemunha 1: ANA SOUZA PRADO, CPF 111.444.777-35\nTestemunha 2: JOSÉ LIMA NETO, CPF 222.333.444-05\n"],
     {"contrato": True, "empresas": {("KAPPA OBRAS LTDA", "55.566.677/0001-83", "CONTRATADA")},
      "assinaturas": {("MARIANA COSTA LIMA", "KAPPA OBRAS LTDA", None), ("ANA SOUZA PRADO", None, "Testemunha"),
                      ("JOSÉ LIMA NETO", None, "Testemunha")}}),
    ("papel escrito sob o nome de quem assina",
     ["CONTRATO DE FORNECIMENTO\n" + KAPPA + ", doravante denominada CONTRATADA, e ZETA FOODS LTDA, inscrita no "
      "CNPJ sob o nº 11.222.333/0001-81, doravante denominada CONTRATANTE, resolvem celebrar o presente contrato."
      + FECHO + "______________\nRODRIGO ALVES PINTO\nCONTRATANTE\n______________\nMARIANA COSTA LIMA\nCONTRATADA\n"],
     {"contrato": True,
      "empresas": {("KAPPA OBRAS LTDA", "55.566.677/0001-83", "CONTRATADA"),
                   ("ZETA FOODS LTDA", "11.222.333/0001-81", "CONTRATANTE")},
      "assinaturas": {("RODRIGO ALVES PINTO", "ZETA FOODS LTDA", None), ("MARIANA COSTA LIMA", "KAPPA OBRAS LTDA", None)}}),
    ("representada na forma do estatuto; prefeito em maiúsculas antes do nome",
     ["CONTRATO DE SERVIÇOS\n" + KAPPA + ", neste ato representada na forma de seu ESTATUTO SOCIAL, doravante "
      "denominada CONTRATADA, e o MUNICÍPIO DE XIS, representado pelo PREFEITO MUNICIPAL JOÃO DA SILVA, doravante "
      "CONTRATANTE, resolvem celebrar." + FECHO],
     {"contrato": True,
      "empresas": {("KAPPA OBRAS LTDA", "55.566.677/0001-83", "CONTRATADA"), ("MUNICÍPIO DE XIS", None, "CONTRATANTE")},
      "assinaturas": {("JOÃO DA SILVA", "MUNICÍPIO DE XIS", "PREFEITO MUNICIPAL")}}),
    ("carimbos de assinatura digital: nome do certificado quebrado e o do gov.br na linha seguinte",
     ["CONTRATO DE SERVIÇOS\n" + KAPPA + ", doravante denominada CONTRATADA, resolvem celebrar o presente."
      + FECHO + "Assinado de forma digital por \nTARCISIO JOSE SOUSA \nBONFIM:40901246387 \nDados: 2025.03.31 "
      "10:18:24 -03'00'\nDocumento assinado digitalmente\nMARIA CLARA SOUZA\nData: 12/03/2025 10:00:00-0300\n"
      "Verifique em https://validar.iti.gov.br\n"],
     {"contrato": True, "empresas": {("KAPPA OBRAS LTDA", "55.566.677/0001-83", "CONTRATADA")},
      "assinaturas": {("TARCISIO JOSE SOUSA BONFIM", None, None), ("MARIA CLARA SOUZA", None, None)}}),
    ("segundo representante qualificado só pelo RG",
     ["CONTRATO DE SERVIÇOS\nRIOTEC SERVIÇOS S.A., inscrita no CNPJ sob o nº 12.345.678/0001-95, a seguir denominada "
      "simplesmente CONTRATANTE, neste ato representada por seu Diretor-Presidente, BERNARDO LAHMEYER FELLOWS, "
      "inscrito no CPF sob o nº 092.029.857-58, e por seu Diretor de Operações, MARCELO PEREIRA DAS CHAGAS, com RG "
      "sob o nº 06.793.893-6 IFP/RJ, e, de outro lado, " + KAPPA + ", doravante denominada CONTRATADA, têm justo "
      "e acordado." + FECHO],
     {"contrato": True,
      "empresas": {("RIOTEC SERVIÇOS S.A.", "12.345.678/0001-95", "CONTRATANTE"),
                   ("KAPPA OBRAS LTDA", "55.566.677/0001-83", "CONTRATADA")},
      "assinaturas": {("BERNARDO LAHMEYER FELLOWS", "RIOTEC SERVIÇOS S.A.", "Diretor-Presidente"),
                      ("MARCELO PEREIRA DAS CHAGAS", "RIOTEC SERVIÇOS S.A.", "Diretor de Operações")}}),
    ("papel fora da tabela dado por doravante denominada",
     ["CONTRATO DE ADESÃO\nCOOPERATIVA AGRO SUL LTDA, inscrita no CNPJ sob o nº 12.345.678/0001-95, doravante "
      "denominada simplesmente COOPERATIVA, e " + KAPPA + ", doravante denominada COOPERADA, resolvem celebrar."
      + FECHO],
     {"contrato": True, "assinaturas": set(),
      "empresas": {("COOPERATIVA AGRO SUL LTDA", "12.345.678/0001-95", "COOPERATIVA"),
                   ("KAPPA OBRAS LTDA", "55.566.677/0001-83", "COOPERADA")}}),
    ("modelo em branco não inventa partes",
     ["DISTRATO AO CONTRATO\n[NOME], brasileiro(a), portador(a) do RG nº ------, inscrito no CPF sob o nº "
      "---.---.------, adiante denominada simplesmente como “NOME”;\nNOME, inscrita no CNPJ nº ----------, com "
      "endereço na Rua -----, e adiante denominada simplesmente como “NOME DA EMPRESA”.\nAs Partes celebram o "
      "presente Distrato.\n_______________\nColetivo de Advogados\nOAB/SP 1234\n"],
     # a blank template is a contract with no parties found
     {"contrato": True, "empresas": set(), "assinaturas": set()}),
    ("formulário de partes com Nome: sob o papel",
     ["CONTRATO DE PRESTAÇÃO DE SERVIÇOS\nCONTRATADA:\nNome: BETA SOLUÇÕES DIGITAIS LTDA\nCNPJ: 12.345.678/0001-95\n"
      "Endereço: Rua X, 10\nCONTRATANTE:\nNome: JOANA PEREIRA DIAS\nCPF: 123.456.789-09\nAs partes resolvem "
      "celebrar o presente contrato." + FECHO],
     # the natural person named under a role, with her CPF, is a party
     {"contrato": True, "assinaturas": {("JOANA PEREIRA DIAS", None, "Contratante")},
      "empresas": {("BETA SOLUÇÕES DIGITAIS LTDA", "12.345.678/0001-95", "CONTRATADA")}}),
    ("distrato é instrumento bilateral",
     ["DISTRATO DE CONTRATO DE LOCAÇÃO\n" + KAPPA + ", doravante denominada LOCATÁRIA, resolvem distratar." + FECHO],
     {"contrato": True, "assinaturas": set(), "empresas": {("KAPPA OBRAS LTDA", "55.566.677/0001-83", "LOCATÁRIA")}}),
]


@pytest.mark.parametrize("paginas, esperado", [r[1:] for r in REGRAS], ids=[r[0] for r in REGRAS])
def test_reading_rule(paginas, esperado):
    lido = extrair(paginas)
    assert lido["eh_contrato"] is esperado["contrato"]
    assert {(e["razao_social"], e["cnpj"], e["papel_no_contrato"]) for e in lido["empresas"]} == esperado["empresas"]
    assinaturas = {(s["nome_signatario"], s["empresa_representada"], s["cargo"]) for s in lido["assinaturas"]}
    assert assinaturas == esperado["assinaturas"]
    if "tipo" in esperado:
        assert lido["tipo_contrato"] == esperado["tipo"]


def test_a_witness_is_typed_as_one():
    lido = extrair(REGRAS[[r[0] for r in REGRAS].index("testemunhas como testemunhas")][1])
    tipos = {s["nome_signatario"]: (s["tipo_assinatura"], s["cpf"]) for s in lido["assinaturas"]}
    assert tipos["PAULO ROBERTO SANTOS"] == ("testemunha", "111.444.777-35")
    assert tipos["CARLA MENDES ROCHA"][0] == "testemunha"


AVISO_SINDICA = ("COMUNICADO AOS CONDÔMINOS\nA ACME ADMINISTRADORA DE CONDOMÍNIOS LTDA, pessoa jurídica de direito "
                 "privado, inscrita no CNPJ sob o nº 11.222.333/0001-81, com sede na Av. Paulista, 1000, São Paulo/SP, "
                 "na qualidade de síndica profissional do Condomínio Edifício Aurora, comunica que a assembleia geral "
                 "ordinária será realizada em 20 de março de 2026, às 19h, no salão de festas.\nA pauta inclui a "
                 "aprovação das contas de 2025 e a eleição do conselho fiscal.\nSão Paulo, 2 de março de 2026.\n"
                 "Maria da Silva\nDiretora")
MEMORANDO_CLIENTES = ("Prezados clientes,\nA ACME COMERCIO DE TESTES LTDA, inscrita no CNPJ sob o nº "
                      "11.222.333/0001-81, na qualidade de distribuidora autorizada da marca, informa que a partir de "
                      "1º de abril de 2026 os pedidos serão atendidos pelo novo centro de distribuição em Barueri/SP.\n"
                      "Atenciosamente,\nMaria da Silva\nGerente Comercial")


@pytest.mark.parametrize("texto", [AVISO_SINDICA, MEMORANDO_CLIENTES], ids=["aviso", "memorando"])
def test_one_contract_formula_beside_a_qualified_party_is_no_contract(texto, tmp_path):
    """A notice or a memo qualifies its company as a contract would, and says "na qualidade de": one
    formula of a contract's preamble is not enough; a second one is."""
    pdf = write_text_pdf(tmp_path / "aviso.pdf", acuracia.quebrar([texto], 64))
    for paginas in ([texto], read_document(pdf).pages):
        lido = extrair(paginas)
        assert (lido["eh_contrato"], lido["empresas"], lido["assinaturas"]) == (False, [], [])
    celebrado = texto.replace("\nA ", "\nAs partes resolvem celebrar o presente. A ", 1)
    lido = extrair([celebrado])
    assert lido["eh_contrato"] is True and [e["cnpj"] for e in lido["empresas"]] == ["11.222.333/0001-81"]


# Texts at the edges of the markers searched alternative by alternative: an optional opening
# ("devidamente", whitespace, a comma) inside another word or cut by an earlier match, a look
# behind that fails after whitespace, alternatives that start at the same place.
MARCADORES_NAS_BORDAS = [
    "acme ltda, devidamente inscrita no cnpj sob o nº 1",
    "acme ltda indevidamente   inscrita sob o c.n.p.j",
    "acme ltda ,  \n inscrito no cadastro nacional",
    "acme ltda, com sede, devidamente inscrita no cnpj",
    "acme ltda   (  c.n.p.j 12) e beta sa (cnpj 3)",
    "imobiliaria x cnpj: 12.345 e y.  cnpj 1 e (x) cnpj nº 9",
    "acme ltda \t cnpj: 1",
    "fulano, brasileiro (cpf 1), casado, portador da cedula de identidade",
    ", , inscrita no cnpj, pessoa juridica, inscrita no cgc",
    "acme ltda, sociedade com cnpj 1, com sede do cnpj",  # two alternatives from one comma, of two lengths
    "sem marcador algum",
]


@pytest.mark.parametrize("texto", MARCADORES_NAS_BORDAS)
def test_markers_are_found_where_their_alternation_finds_them(texto):
    import re

    from scrivane.local_extractor import tabelas

    for padroes, buscador in ((tabelas.MARCADORES_EMPRESA, tabelas._MARCADOR_EMPRESA),
                              (tabelas.MARCADORES_PESSOA, tabelas._MARCADOR_PESSOA)):
        esperado = [m.span() for m in re.compile("|".join(padroes)).finditer(texto)]
        assert [m.span() for m in buscador.finditer(texto)] == esperado
