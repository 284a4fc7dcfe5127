"""verificar end to end: the real engine against the local OpenAI-compatible server, the real cnpj
module against the local registry server, on a PDF built here."""

import logging
import subprocess
import sys

import pytest
from checker_helpers import lines, no_env_keys, write_text_pdf  # noqa: F401
from openai_server import OpenAIServer, Reply
from registry_server import Reply as RegistryReply
from registry_server import empresa_exemplo, registry  # noqa: F401

from scrivane_contract import cnpj
from scrivane_contract.checker import ContractChecker

ACME = "11222333000181"
BETA = "99888777000166"
CONTRATO = """CONTRATO DE PRESTAÇÃO DE SERVIÇOS
CONTRATANTE: ACME COMERCIO DE TESTES LTDA, CNPJ 11.222.333/0001-81,
com sede na Av. Paulista, 1000, Bela Vista, São Paulo/SP, CEP 01310-100.
CONTRATADA: BETA SERVICOS LTDA, CNPJ 99.888.777/0001-66, representada por João Pereira.
INTERVENIENTES: Zeta Consultoria Ltda; Fantasma Ltda, CNPJ 12.345.678/0001-99.
Objeto: limpeza. Vigência: 12 meses. Valor: R$ 1.000,00. Foro: São Paulo/SP.
Assinaturas: MARIA DA SILVA (sócia), representante, CPF 123.456.789-00.
Testemunhas: Ana Souza e Carlos Lima."""
DADOS = {"tipo_contrato": "Prestação de serviços", "objeto": "Limpeza", "data_assinatura": None,
         "vigencia": "12 meses", "valor": "R$ 1.000,00", "foro": "São Paulo/SP"}
D, S = "=" * 60, "─" * 60


def empresa(cnpj=None, razao=None, endereco=None, papel="contratante"):
    return {"cnpj": cnpj, "razao_social": razao, "nome_fantasia": None, "endereco": endereco,
            "papel_no_contrato": papel}


def pessoa(nome, cnpj=None, empresa_rep=None, cargo="Sócia"):
    return {"nome_signatario": nome, "cargo": cargo, "cpf": None, "empresa_representada": empresa_rep,
            "cnpj_empresa": cnpj, "tipo_assinatura": "digital"}


@pytest.fixture
def llm(monkeypatch, no_env_keys):
    with OpenAIServer() as server:
        monkeypatch.setenv("OPENAI_BASE_URL", server.base_url)
        yield server


@pytest.fixture
def pdf(tmp_path):
    return write_text_pdf(tmp_path / "contrato.pdf", CONTRATO)


def answer(llm, empresas, assinaturas):
    llm.script("TODAS as empresas", Reply.json({"empresas": empresas}))
    llm.script("TODAS as pessoas", Reply.json({"assinaturas": assinaturas}))
    llm.script("dados gerais", Reply.json(DADOS))


def report_of(out):
    start = out.index(D, out.index("📤 Extraindo dados do contrato...")) - 1
    return out[start:out.index("💰 MÉTRICAS") + 3]  # up to the tokens line


class TestEndToEnd:
    def test_approved(self, llm, registry, pdf, capsys):
        registry.add_company(*empresa_exemplo(ACME))
        answer(llm, [empresa("11.222.333/0001-81", "ACME COMERCIO DE TESTES LTDA",
                             "Av. Paulista, 1000 - Bela Vista, São Paulo/SP, CEP 01310-100")],
               [pessoa("Maria da Silva", "11.222.333/0001-81")])
        r = ContractChecker(openai_api_key="sk-test").verificar(pdf)
        assert (r["resultado_final"], r["justificativa"]) == ("APROVADO", "Todos os 5 campos verificados foram aprovados")
        assert r["campos_aprovados"] == [f"{c} - ACME COMERCIO DE TESTES LTDA" for c in
                                         ("CNPJ", "Situação Cadastral", "Razão Social", "Endereço")] + [
            "Poder de Assinatura - Maria da Silva"]
        assert r["dados_contrato"] == DADOS and r["metricas"]["tokens"] == 360
        assert [q.route for q in registry.requests] == ["brasilapi"]
        assert len(llm.requests) == 3 and all("{texto}" not in q.prompt_text for q in llm.requests)
        assert all("CNPJ 11.222.333/0001-81" in q.prompt_text for q in llm.requests)
        assert report_of(lines(capsys)) == [
            "", D, "✅✅✅ RESULTADO FINAL: APROVADO ✅✅✅", D, "   Todos os 5 campos verificados foram aprovados",
            "", S, "📋 CAMPOS VERIFICADOS", S, "   ✅ Aprovados: 5", "   ❌ Reprovados: 0", "   ⚠️ Pendentes: 0",
            "", "   ✅ APROVADOS:"] + [f"      • {x}" for x in r["campos_aprovados"]] + [
            "", S, "🏢 EMPRESAS (1)", S,
            "", "   ✅ ACME COMERCIO DE TESTES LTDA", "      CNPJ: 11.222.333/0001-81",
            "      ✅ CNPJ: CNPJ encontrado", "      ✅ Situação Cadastral: Empresa ATIVA",
            "      ✅ Razão Social: Confere", "      ✅ Endereço: Similaridade: 80%",
            "", S, "✍️ ASSINATURAS (1)", S,
            "", "   ✅ Maria da Silva", "      Cargo: Sócia", "      ✅ Poder de Assinatura: Signatário tem poder (Sócio-Administrador)",
            "", S, "💰 MÉTRICAS", S, "   Tokens: 360"]

    def test_rejected(self, llm, registry, pdf):
        cnpj, brasil, receita = empresa_exemplo(ACME)
        brasil["descricao_situacao_cadastral"] = "BAIXADA"
        registry.add_company(cnpj, brasil, receita)
        answer(llm, [empresa(ACME, "ACME COMERCIO DE TESTES LTDA")], [pessoa("Pedro Intruso", ACME)])
        r = ContractChecker(openai_api_key="sk-test", verbose=False).verificar(str(pdf))
        assert (r["resultado_final"], r["justificativa"]) == ("REPROVADO", "2 campo(s) reprovado(s)")
        assert r["campos_reprovados"] == ["Situação Cadastral - ACME COMERCIO DE TESTES LTDA",
                                          "Poder de Assinatura - Pedro Intruso"]
        assert r["empresas"][0]["problemas"] == ["Empresa com situação: BAIXADA"]
        assert r["assinaturas"][0]["campos"][0]["valor_receita"] == "QSA: MARIA DA SILVA, JOAO PEREIRA..."

    def test_pending(self, llm, registry, pdf):
        registry.add_company(*empresa_exemplo(ACME))
        registry.add_company(*empresa_exemplo(BETA, "BETA SERVICOS LTDA", uf="RJ"))
        answer(llm, [empresa(ACME, "Zeta Consultoria Ltda"), empresa(None, "BETA SERVICOS", papel="contratada")],
               [pessoa("Maria da Silva", empresa_rep="zeta consultoria ltda"), pessoa("João Pereira", cnpj=BETA)])
        r = ContractChecker(openai_api_key="sk-test", verbose=False).verificar(pdf)
        assert (r["resultado_final"], r["justificativa"]) == ("PENDENTE", "1 campo(s) requer(em) análise manual")
        assert r["campos_pendentes"] == ["Razão Social - ACME COMERCIO DE TESTES LTDA"]
        beta = r["empresas"][1]
        assert (beta["cnpj"], beta["cnpj_buscado_por_nome"], beta["razao_social_confere"]) == (
            "99.888.777/0001-66", True, True)
        assert [q.route for q in registry.requests] == ["brasilapi", "casadosdados", "brasilapi"]
        assert registry.requests_to("casadosdados")[0].json()["query"]["termo"] == ["BETA SERVICOS"]
        assert [a["qualificacao_qsa"] for a in r["assinaturas"]] == ["Sócio-Administrador", "Sócio"]

    def test_company_missing_from_the_registry(self, llm, registry, pdf):
        answer(llm, [empresa("12.345.678/0001-99", "Fantasma Ltda")], [pessoa("Maria da Silva", "12345678000199")])
        r = ContractChecker(openai_api_key="sk-test", verbose=False).verificar(pdf)
        assert (r["resultado_final"], r["justificativa"]) == ("REPROVADO", "1 campo(s) reprovado(s)")
        assert r["campos_reprovados"] == ["CNPJ - Fantasma Ltda"]
        assert r["campos_pendentes"] == ["Poder de Assinatura - Maria da Silva"]
        assert r["empresas"][0]["campos"][0]["mensagem"] == "CNPJ não encontrado na Receita Federal"
        assert [q.route for q in registry.requests] == ["brasilapi", "receitaws", "casadosdados"]

    def test_numeric_cep_from_brasilapi(self, llm, registry, pdf):
        cnpj_, brasil, receita = empresa_exemplo(ACME)
        brasil.update(cep=1310100, numero=1000)  # numbers, as BrasilAPI's schema types them
        registry.add_company(cnpj_, brasil, receita)
        answer(llm, [empresa(ACME, "ACME COMERCIO DE TESTES LTDA", "Rua Augusta 10, São Paulo/SP, CEP 01310-100")],
               [pessoa("Maria da Silva", ACME)])
        r = ContractChecker(openai_api_key="sk-test", verbose=False).verificar(pdf)
        endereco = r["empresas"][0]["campos"][3]
        assert (endereco["campo"], endereco["status"], endereco["mensagem"]) == ("Endereço", "aprovado",
                                                                                 "Similaridade: 80%")
        assert endereco["valor_receita"] == "AV PAULISTA 1000 ANDAR 5 BELA VISTA SAO PAULO SP 01310100"
        assert (r["resultado_final"], r["total_aprovados"]) == ("APROVADO", 5)

    def test_engine_cannot_start(self, llm, registry, pdf, capsys, caplog):
        chk = ContractChecker(openai_api_key="sk-test", model="")
        with caplog.at_level(logging.WARNING):
            r = chk.verificar(pdf)
        assert r["resultado_final"] == "PENDENTE" and len(r) == 7
        assert lines(capsys)[5:] == ["❌ Erro ao inicializar Scrivane: model must be a non-empty text"]
        [rec] = caplog.records  # the cause, for a program or the command line to show
        assert (rec.name, rec.levelname) == ("scrivane_contract.checker", "WARNING")
        assert rec.getMessage() == "Erro ao inicializar Scrivane: model must be a non-empty text"
        assert str(rec.exc_info[1]) == "model must be a non-empty text" and rec.exc_info[2] is not None
        assert chk.verificar(pdf) == r
        assert llm.requests == [] and registry.requests == []

    def test_engine_failure_prints_nothing_when_quiet(self, pdf, no_env_keys):
        code = ("import sys; from scrivane_contract.checker import ContractChecker; "
                "r = ContractChecker(openai_api_key='k', model='', verbose=False).verificar(sys.argv[1]); "
                "assert r['resultado_final'] == 'PENDENTE'")
        proc = subprocess.run([sys.executable, "-c", code, str(pdf)], capture_output=True, text=True)
        assert (proc.returncode, proc.stdout, proc.stderr) == (0, "", "")



class TestIncompleteExtraction:
    """An empty or failed extraction is never approved."""

    def test_failed_signatories_question_keeps_approved_companies_pending(self, llm, registry, pdf, capsys):
        registry.add_company(*empresa_exemplo(ACME))
        llm.script("TODAS as empresas", Reply.json({"empresas": [empresa(ACME, "ACME COMERCIO DE TESTES LTDA")]}))
        llm.script("TODAS as pessoas", Reply.text("isto não é JSON"))  # both attempts fail
        llm.script("dados gerais", Reply.json(DADOS))
        r = ContractChecker(openai_api_key="sk-test").verificar(pdf)
        assert (r["resultado_final"], r["justificativa"]) == (
            "PENDENTE", "Extração incompleta: sem resposta para assinaturas")
        assert (r["total_aprovados"], r["total_pendentes"], r["campos_pendentes"]) == (3, 0, [])
        out = lines(capsys)
        assert any(x.startswith("❌ Assinaturas do Contrato: sem resposta após 2 tentativas") for x in out)
        assert "⚠️⚠️⚠️ RESULTADO FINAL: PENDENTE ⚠️⚠️⚠️" in out
        assert "   Extração incompleta: sem resposta para assinaturas" in out

    def test_non_contract(self, llm, registry, pdf):
        answer(llm, [], [])
        r = ContractChecker(openai_api_key="sk-test", verbose=False).verificar(pdf)
        assert (r["resultado_final"], r["justificativa"], r["total_campos"]) == (
            "PENDENTE", "Nenhum campo verificado: nenhuma empresa ou signatário identificado", 0)
        assert registry.requests == []

    def test_failed_extraction(self, llm, registry, pdf):
        llm.script("dados gerais", Reply.json(DADOS))
        llm.default = Reply.text("{")
        r = ContractChecker(openai_api_key="sk-test", verbose=False).verificar(pdf)
        assert (r["resultado_final"], r["justificativa"]) == (
            "PENDENTE", "Extração incompleta: sem resposta para empresas e assinaturas")
        assert r["dados_contrato"] == DADOS and registry.requests == []

    def test_a_rejection_still_wins(self, llm, registry, pdf):
        llm.script("TODAS as empresas", Reply.json({"empresas": [empresa("12.345.678/0001-99", "Fantasma Ltda")]}))
        llm.script("TODAS as pessoas", Reply.text("{"))
        llm.script("dados gerais", Reply.json(DADOS))
        r = ContractChecker(openai_api_key="sk-test", verbose=False).verificar(pdf)
        assert (r["resultado_final"], r["justificativa"]) == ("REPROVADO", "1 campo(s) reprovado(s)")


PENDENTE_CNPJ = {"campo": "CNPJ", "status": "pendente", "mensagem": "Receita Federal indisponível: consulta não concluída",
                 "valor_contrato": "11.222.333/0001-81", "valor_receita": None, "emoji": "⚠️"}
ERRO_RECEITA = RegistryReply.json({"status": "ERROR", "message": "Timeout"})


class TestRegistryUnavailable:
    """A registry that gives no answer leaves the company pending: it is no evidence against it."""

    @pytest.mark.parametrize("brasil, receita", [
        (RegistryReply.error(429), RegistryReply.error(429)),
        (RegistryReply.error(500), RegistryReply.error(502)),
        (RegistryReply.text("<html>Erro</html>"), RegistryReply.text("<html>Erro</html>")),
        (RegistryReply.error(404), ERRO_RECEITA),
        ("time-out", "time-out"),
    ], ids=["429", "5xx", "html", "receitaws-error", "time-out"])
    def test_company_pending(self, llm, registry, pdf, monkeypatch, capsys, brasil, receita):
        registry.add_company(*empresa_exemplo(ACME))  # known to the registry, which does not answer
        if brasil == "time-out":
            monkeypatch.setattr(cnpj, "REQUEST_TIMEOUT", 0.3)
            brasil = receita = RegistryReply.late(3)
        registry.reply("brasilapi", brasil)
        registry.reply("receitaws", receita)
        answer(llm, [empresa("11.222.333/0001-81", "ACME COMERCIO DE TESTES LTDA")], [pessoa("Maria da Silva", ACME)])
        r = ContractChecker(openai_api_key="sk-test").verificar(pdf)
        assert (r["resultado_final"], r["justificativa"]) == ("PENDENTE", "2 campo(s) requer(em) análise manual")
        assert r["campos_pendentes"] == ["CNPJ - ACME COMERCIO DE TESTES LTDA", "Poder de Assinatura - Maria da Silva"]
        assert r["campos_reprovados"] == [] and r["total_campos"] == 2
        emp = r["empresas"][0]
        assert emp["campos"] == [PENDENTE_CNPJ]
        assert emp["problemas"] == ["Consulta à Receita Federal não concluída"]
        assert (emp["cnpj"], emp["cnpj_encontrado"], emp["razao_social_receita"]) == ("11.222.333/0001-81", False, None)
        # the name search ran too, and its hit could not be looked up either
        assert [q.route for q in registry.requests] == ["brasilapi", "receitaws", "casadosdados", "brasilapi",
                                                        "receitaws"]
        out = lines(capsys)
        i = out.index("🔎 Buscando por nome: ACME COMERCIO DE TESTES LTDA...")
        assert out[i + 1] == "⚠️ Receita Federal indisponível"
        assert "      ⚠️ CNPJ: Receita Federal indisponível: consulta não concluída" in out

    def test_search_service_unavailable(self, llm, registry, pdf):
        registry.reply("casadosdados", RegistryReply.error(429))
        answer(llm, [empresa(None, "ACME COMERCIO")], [])
        r = ContractChecker(openai_api_key="sk-test", verbose=False).verificar(pdf)
        assert r["resultado_final"] == "PENDENTE"
        assert r["empresas"][0]["campos"] == [dict(PENDENTE_CNPJ, valor_contrato="(não informado)")]
        assert [q.route for q in registry.requests] == ["casadosdados"]

    def test_one_definite_and_one_open_answer_is_still_pending(self, llm, registry, pdf):
        # BrasilAPI does not know the number; the search then finds a company whose lookup fails
        registry.add_company(*empresa_exemplo(BETA, "ACME COMERCIO DE TESTES LTDA"))
        registry.reply("brasilapi", RegistryReply.error(404), RegistryReply.error(429))
        registry.reply("receitaws", RegistryReply.json({"status": "ERROR", "message": "CNPJ inválido"}),
                       RegistryReply.error(429))
        answer(llm, [empresa(ACME, "ACME COMERCIO DE TESTES LTDA")], [])
        r = ContractChecker(openai_api_key="sk-test", verbose=False).verificar(pdf)
        assert r["empresas"][0]["campos"] == [dict(PENDENTE_CNPJ, valor_contrato=ACME)]

    @pytest.mark.parametrize("nome", ["consultar_cnpj", "buscar_cnpj_por_nome"])
    def test_a_replaced_registry_function_keeps_the_rejection(self, llm, registry, pdf, monkeypatch, nome):
        import scrivane_contract.checker as checker_mod
        chamadas = []
        original = getattr(cnpj, nome)
        monkeypatch.setattr(checker_mod, nome, lambda arg: chamadas.append(arg) or original(arg))
        registry.add_company(*empresa_exemplo(ACME))
        registry.reply("brasilapi", RegistryReply.error(429))
        registry.reply("receitaws", RegistryReply.error(429))
        answer(llm, [empresa("11.222.333/0001-81", "ACME COMERCIO DE TESTES LTDA")], [])
        r = ContractChecker(openai_api_key="sk-test", verbose=False).verificar(pdf)
        assert (r["resultado_final"], r["justificativa"]) == ("REPROVADO", "1 campo(s) reprovado(s)")
        campo = r["empresas"][0]["campos"][0]
        assert (campo["status"], campo["mensagem"]) == ("reprovado", "CNPJ não encontrado na Receita Federal")
        assert r["empresas"][0]["problemas"] == ["CNPJ não encontrado"]
        assert len(chamadas) == 1 and [q.route for q in registry.requests] == [
            "brasilapi", "receitaws", "casadosdados", "brasilapi", "receitaws"]

    def test_same_as_the_twin(self, llm, registry, pdf, capsys):
        import reference_checker as ref
        registry.add_company(*empresa_exemplo(ACME))
        registry.reply("brasilapi", RegistryReply.error(429))
        registry.reply("receitaws", RegistryReply.error(429))
        answer(llm, [empresa(ACME, "ACME COMERCIO DE TESTES LTDA"), empresa(None, "OUTRA EMPRESA")],
               [pessoa("Maria da Silva", ACME)])
        chk = ContractChecker(openai_api_key="sk-test")
        chk._imprimir_relatorio = lambda **kw: None
        ours = chk.verificar(pdf)
        ours_lines, sent = lines(capsys), [q.route for q in registry.requests]
        registry.requests.clear()
        twin = ref.RefChecker(chk._client).verificar(pdf)
        assert twin.pop("metricas")["tokens"] == ours.pop("metricas")["tokens"]  # a second engine run
        assert twin == ours and ours["campos_pendentes"][0] == "CNPJ - ACME COMERCIO DE TESTES LTDA"
        twin_lines = lines(capsys)
        start = "🏢 Empresas extraídas: 2"  # the engine's own lines come before
        assert twin_lines[twin_lines.index(start):] == ours_lines[ours_lines.index(start):]
        assert [q.route for q in registry.requests] == sent
