"""The scrivane-contract command line, end to end: the real engine against the local OpenAI-compatible
server, the real cnpj module against the local registry server (reached through --registro)."""

import hashlib
import json
import os
import signal
import subprocess
import sys
import threading
from pathlib import Path

import pytest
from openai_server import OpenAIServer, Reply
from pdfs import write_text_pdf
from registry_server import RegistryServer, empresa_exemplo
from registry_server import Reply as RegReply

from scrivane_contract import cnpj
from scrivane_contract.checker import ContractChecker
from scrivane_contract.cli import main

ACME = "11222333000181"
ACME_F = "11.222.333/0001-81"
ENV_LIMPO = ("OPENAI_API_KEY", "AZURE_API_KEY", "AZURE_API_ENDPOINT", "AZURE_DEPLOYMENT_NAME", "OPENAI_BASE_URL",
             "SCRIVANE_MODELO", "SCRIVANE_PROVEDOR", "SCRIVANE_SILENCIOSO", "SCRIVANE_REGISTRO", "AZURE_API_VERSION")
EMPRESA = {"cnpj": ACME_F, "razao_social": "ACME COMERCIO DE TESTES LTDA", "nome_fantasia": None,
           "endereco": "Av. Paulista, 1000 - Bela Vista, São Paulo/SP, CEP 01310-100", "papel_no_contrato": "contratante"}


def assinatura(nome):
    return {"nome_signatario": nome, "cargo": "Sócia", "cpf": None, "empresa_representada": None,
            "cnpj_empresa": ACME_F, "tipo_assinatura": "digital"}


# Signatory -> verdict of the contract, with ACME active in the registry.
VEREDITO = {"Maria da Silva": "APROVADO", "Pedro Intruso": "REPROVADO"}


@pytest.fixture
def env(monkeypatch):
    for nome in ENV_LIMPO:
        monkeypatch.delenv(nome, raising=False)
    monkeypatch.setenv("OPENAI_API_KEY", "sk-test")
    monkeypatch.setenv("NO_PROXY", "127.0.0.1,localhost")
    # --registro rebinds the module's URL constants: put them back afterwards.
    for nome in ("BRASIL_API_URL", "RECEITA_WS_URL", "CASADOSDADOS_API", "requests"):
        monkeypatch.setattr(cnpj, nome, getattr(cnpj, nome))
    monkeypatch.delenv("SCRIVANE_OFFLINE", raising=False)
    return monkeypatch


@pytest.fixture
def llm(env):
    with OpenAIServer() as server:
        env.setenv("OPENAI_BASE_URL", server.base_url)
        yield server


@pytest.fixture
def reg(env):
    with RegistryServer() as server:
        server.add_company(*empresa_exemplo(ACME))
        yield server


def contrato(pasta, nome, signatario):
    """A contract PDF whose engine answers (scripted by its marker) name ``signatario``."""
    return write_text_pdf(Path(pasta) / nome, [f"CONTRATO {nome}\nCONTRATANTE: ACME COMERCIO DE TESTES LTDA, "
                                               f"CNPJ {ACME_F}\n{signatario}"])


def responder(llm, marcador, signatario, *, atraso=0.0, empresas=(EMPRESA,), depois=None, abre=None):
    """``depois``: the answers wait for this event; ``abre``: an event the contract's first request sets."""
    def com(texto):
        return lambda body: marcador in json.dumps(body, ensure_ascii=False) and texto in json.dumps(body, ensure_ascii=False)

    kw = {"delay": atraso, "after": depois, "opens": abre}
    llm.script(com("TODAS as empresas"), Reply.json({"empresas": list(empresas)}, **kw))
    llm.script(com("TODAS as pessoas"), Reply.json({"assinaturas": [assinatura(signatario)]}, **kw))
    llm.script(com("dados gerais"), Reply.json({"tipo_contrato": "Prestação de serviços"}, **kw))


def rodar(capsys, *args):
    codigo = main([str(a) for a in args])
    saida = capsys.readouterr()
    return codigo, saida.out, saida.err


def sem_tempos(texto):
    # Elapsed times differ from run to run; everything else must match.
    # The engine answers its questions concurrently: their lines come in any order.
    return [l for l in texto.splitlines() if "Tempo:" not in l and "Extração concluída" not in l
            and "respondida" not in l]


class TestUsage:
    @pytest.mark.parametrize("args, mensagem", [
        ([], "argumentos obrigatórios ausentes: COMANDO"),
        (["verificar"], "argumentos obrigatórios ausentes: CAMINHO"),
        (["nada"], "opção inválida: 'nada'"),
        (["verificar", "--paralelo", "0", "x.pdf"], "esperado um inteiro positivo, não '0'"),
        (["verificar", "--provedor", "gemini", "x.pdf"], "opção inválida: 'gemini'"),
        (["verificar", "inexistente.pdf"], "Arquivo não encontrado: inexistente.pdf"),
        (["classificar", "a.pdf", "b.txt"], "Arquivo não encontrado: a.pdf, b.txt"),
        (["verificar", "--registro", "ftp://x", "{pdf}"], "valor inválido para --registro: 'ftp://x'"),
        (["verificar", "--modelo", " ", "{pdf}"], "--modelo vazio"),
        (["buscar", "ACME", "--usar-ai"], "--usar-ia precisa da chave da OpenAI: defina OPENAI_API_KEY"),
        (["buscar", "ACME", "--usar-ia"], "--usar-ia precisa da chave da OpenAI: defina OPENAI_API_KEY"),
    ])
    def test_usage_errors_exit_3_with_one_portuguese_line(self, env, tmp_path, capsys, args, mensagem):
        env.chdir(tmp_path)
        env.delenv("OPENAI_API_KEY")
        if "{pdf}" in args:
            env.setenv("OPENAI_API_KEY", "sk-test")
        pdf = str(write_text_pdf(tmp_path / "c.pdf", ["CONTRATO"]))
        codigo, out, err = rodar(capsys, *[pdf if a == "{pdf}" else a for a in args])
        assert (codigo, out) == (3, "")
        assert mensagem in err and "Traceback" not in err
        assert err.strip().splitlines()[-1].startswith("scrivane-contract")

    @pytest.mark.parametrize("ambiente, mensagem", [
        ({}, "credenciais não configuradas: defina OPENAI_API_KEY (e OPENAI_BASE_URL para um servidor "
             "compatível com a OpenAI), ou AZURE_API_KEY, AZURE_API_ENDPOINT e AZURE_DEPLOYMENT_NAME para o "
             "Azure OpenAI; ou, sem chave e sem enviar o contrato a lugar nenhum, use --provedor local "
             "(leitura por regras nesta máquina)"),
        ({"SCRIVANE_PROVEDOR": "azure", "AZURE_API_KEY": "k"},
         "credenciais do Azure OpenAI incompletas: defina AZURE_API_ENDPOINT e AZURE_DEPLOYMENT_NAME (o endpoint "
         "e a implantação também podem vir de --azure-endpoint e --azure-deployment)"),
    ])
    def test_missing_credentials_name_the_variables(self, env, tmp_path, capsys, ambiente, mensagem):
        env.delenv("OPENAI_API_KEY")
        for k, v in ambiente.items():
            env.setenv(k, v)
        pdf = write_text_pdf(tmp_path / "c.pdf", ["CONTRATO"])
        codigo, out, err = rodar(capsys, "verificar", pdf)
        assert (codigo, out) == (3, "")
        assert err == f"scrivane-contract: erro: {mensagem}\n"

    def test_help_of_every_command_without_the_heavy_imports(self):
        # --help and --version must not load the engine, openai, pydantic or rich.
        codigo = (
            "import sys, contextlib, io\n"
            "from scrivane_contract.cli import main, COMANDOS\n"
            "textos = []\n"
            "for args in [['--help'], ['--version']] + [[c, '--help'] for c in COMANDOS]:\n"
            "    buf = io.StringIO()\n"
            "    with contextlib.redirect_stdout(buf):\n"
            "        assert main(args) == 0, args\n"
            "    textos.append(buf.getvalue())\n"
            "pesados = sorted(m for m in ('openai', 'pydantic', 'scrivane', 'rich', 'requests',"
            " 'scrivane_contract.checker') if m in sys.modules)\n"
            "print(repr((pesados, textos)))\n"
        )
        r = subprocess.run([sys.executable, "-c", codigo], capture_output=True, text=True, timeout=60)
        assert r.returncode == 0, r.stderr
        pesados, textos = eval(r.stdout)
        assert pesados == []
        assert textos[0].startswith("uso: scrivane-contract") and "verificar" in textos[0] and "classificar" in textos[0]
        assert textos[1] == "scrivane-contract 0.1.0\n"
        assert all("opções:" in t and "usage" not in t for t in textos[2:])

    def test_module_entry_point(self):
        r = subprocess.run([sys.executable, "-m", "scrivane_contract", "--version"], capture_output=True, text=True,
                           timeout=60)
        assert (r.returncode, r.stdout) == (0, "scrivane-contract 0.1.0\n")


class TestVerificarUm:
    @pytest.mark.parametrize("signatario, codigo_esperado", [("Maria da Silva", 0), ("Pedro Intruso", 1)])
    def test_one_contract_prints_what_the_library_prints(self, llm, reg, tmp_path, capsys, signatario,
                                                         codigo_esperado):
        pdf = contrato(tmp_path, "a.pdf", signatario)
        responder(llm, "a.pdf", signatario)
        codigo, out, err = rodar(capsys, "verificar", "--registro", reg.url, pdf)
        assert (codigo, err) == (codigo_esperado, "")
        assert f"RESULTADO FINAL: {VEREDITO[signatario]}" in out
        # The same contract through the library, with its registry pointed at the same server.
        for nome, url in (("BRASIL_API_URL", reg.brasil_api_url), ("RECEITA_WS_URL", reg.receita_ws_url),
                          ("CASADOSDADOS_API", reg.casadosdados_url)):
            setattr(cnpj, nome, url)
        ContractChecker().verificar(pdf)
        # ... followed by where the registry data came from, then the digital signatures section
        # (this PDF has none).
        regua = "─" * 60
        biblioteca, resto = out.split(f"\n\n{regua}\n🗂️ PROCEDÊNCIA DOS DADOS DA RECEITA\n{regua}\n")
        procedencia, secao = resto.split("\n✍️  ASSINATURAS DIGITAIS\n")
        assert sem_tempos(biblioteca + "\n") == sem_tempos(capsys.readouterr().out)
        procedencia, evidencias = procedencia.split(f"\n\n{regua}\n🔎 ONDE CADA DADO FOI LIDO\n{regua}\n")
        assert procedencia.splitlines()[0] == f"   ACME COMERCIO DE TESTES LTDA ({ACME_F}): Registro em {reg.url}"
        # ... then where each value was read: page and passage.
        trecho = f"a.pdf CONTRATANTE: ACME COMERCIO DE TESTES LTDA, CNPJ {ACME_F} {signatario}»"
        assert evidencias.splitlines() == [
            "   ACME COMERCIO DE TESTES LTDA", f"      CNPJ, Razão social (p. 1): «CONTRATO {trecho}",
            f"   {signatario}", f"      Nome, CNPJ da empresa (p. 1): «{trecho}"]
        assert "Nenhuma assinatura digital no documento" in secao

    def test_pending_contract_and_silent_summary(self, env, llm, reg, tmp_path, capsys):
        pdf = contrato(tmp_path, "p.pdf", "Maria da Silva")
        responder(llm, "p.pdf", "Maria da Silva", empresas=[dict(EMPRESA, razao_social="Zeta Consultoria Ltda")])
        env.setenv("SCRIVANE_REGISTRO", reg.url)
        codigo, out, err = rodar(capsys, "verificar", "--silencioso", pdf)
        assert (codigo, err) == (2, "")
        assert "VERIFICAÇÃO" not in out and "PENDENTE" in out and "p.pdf" in out
        assert out.strip().splitlines()[-1].startswith("1 contrato(s): 0 aprovado(s), 0 reprovado(s), 1 pendente(s)")
        assert [q.route for q in reg.requests] == ["brasilapi"]  # SCRIVANE_REGISTRO was used

    def test_azure_settings_from_options_and_environment(self, env, llm, reg, tmp_path, capsys):
        env.delenv("OPENAI_API_KEY")
        env.delenv("OPENAI_BASE_URL")
        env.setenv("AZURE_API_KEY", "az-test")
        env.setenv("AZURE_API_VERSION", "2024-10-21")
        pdf = contrato(tmp_path, "z.pdf", "Maria da Silva")
        responder(llm, "z.pdf", "Maria da Silva")
        codigo, out, err = rodar(capsys, "verificar", "--json", "--provedor", "azure", "--azure-endpoint", llm.url,
                                 "--azure-deployment", "contratos", "--modelo", "gpt-4o-mini", "--registro", reg.url,
                                 pdf)
        assert (codigo, err) == (0, "")
        assert json.loads(out)["resultado"]["resultado_final"] == "APROVADO"
        assert {(q.path, q.query["api-version"][0], q.headers["api-key"], q.body["model"]) for q in llm.requests} == {
            ("/openai/deployments/contratos/chat/completions", "2024-10-21", "az-test", "gpt-4o-mini")}

    @pytest.mark.parametrize("resposta, motivo", [
        (Reply.error(401), "chave recusada pelo serviço do modelo (HTTP 401)"),
        (Reply.error(400, message="bad"), "o serviço do modelo respondeu com erro (HTTP 400)"),
    ])
    def test_engine_error_is_one_line_on_stderr(self, llm, reg, tmp_path, capsys, resposta, motivo):
        pdf = contrato(tmp_path, "e.pdf", "Maria da Silva")
        llm.script(None, resposta)
        saida = tmp_path / "r.jsonl"
        codigo, out, err = rodar(capsys, "verificar", "--registro", reg.url, "--saida", saida, pdf)
        assert codigo == 4
        assert err == f"scrivane-contract: erro: {pdf}: {motivo}\n"
        (gravado,) = [json.loads(l) for l in saida.read_text().splitlines()]
        assert (gravado["arquivo"], gravado["erro"], gravado["resultado"], gravado["veredito"]) == (
            str(pdf), motivo, None, None)
        assert gravado["sha256"] == hashlib.sha256(pdf.read_bytes()).hexdigest()


class TestVerificarVarios:
    def test_json_lines_in_input_order_while_running_concurrently(self, llm, reg, tmp_path, capsys):
        # The first two contracts are answered only once the last one has reached the engine: they end
        # last, and a batch that did not run them side by side would never get their answers.
        nomes = ["c0.pdf", "c1.pdf", "c2.pdf", "c3.pdf", "c4.pdf"]
        signatarios = ["Maria da Silva", "Pedro Intruso", "Maria da Silva", "Maria da Silva", "Pedro Intruso"]
        ultimo_chegou = threading.Event()
        for i, (nome, sig) in enumerate(zip(nomes, signatarios)):
            contrato(tmp_path, nome, sig)
            responder(llm, nome, sig, depois=ultimo_chegou if i < 2 else None,
                      abre=ultimo_chegou if i == 4 else None)
        ruim = tmp_path / "c5.pdf"
        ruim.write_bytes(b"%PDF-1.4 quebrado")
        saida = tmp_path / "r.jsonl"
        codigo, out, err = rodar(capsys, "verificar", "--json", "--paralelo", "3", "--registro", reg.url,
                                 "--saida", saida, tmp_path)
        assert codigo == 4 and err == ""
        objetos = [json.loads(l) for l in out.splitlines()]
        assert [o["arquivo"] for o in objetos] == [str(tmp_path / n) for n in nomes + ["c5.pdf"]]
        assert [o["resultado"]["resultado_final"] for o in objetos[:5]] == [VEREDITO[s] for s in signatarios]
        assert objetos[5]["erro"] == "o arquivo não é um PDF válido ou está corrompido"
        # --saida holds the same objects, in the order the contracts ended.
        gravados = [json.loads(l) for l in saida.read_text().splitlines()]
        assert sorted(gravados, key=lambda o: o["arquivo"]) == objetos
        # c2 and c3 ended before c4 started, hence before c0 and c1 were answered.
        fim = {Path(o["arquivo"]).name: i for i, o in enumerate(gravados)}
        assert max(fim["c2.pdf"], fim["c3.pdf"]) < min(fim["c0.pdf"], fim["c1.pdf"])

    def test_summary_table_and_reports_in_input_order(self, env, llm, reg, tmp_path, capsys):
        env.chdir(tmp_path)
        a = contrato(".", "a.pdf", "Maria da Silva")
        b = contrato(".", "b.pdf", "Pedro Intruso")
        responder(llm, "a.pdf", "Maria da Silva", atraso=0.5)
        responder(llm, "b.pdf", "Pedro Intruso")
        codigo, out, err = rodar(capsys, "verificar", "--relatorios", "--progresso", "--registro", reg.url, a, b)
        assert codigo == 1 and "Verificando" in err and "2/2" in err  # the bar, on stderr only
        relatorio_a = out.index(f"📄 Arquivo: {a}")
        relatorio_b = out.index(f"📄 Arquivo: {b}")
        tabela = out.index("Resumo da verificação")
        assert relatorio_a < out.index("RESULTADO FINAL: APROVADO") < relatorio_b < out.index(
            "RESULTADO FINAL: REPROVADO") < tabela
        assert "      • Poder de Assinatura - Pedro Intruso" in out[relatorio_b:tabela]
        linhas = out[tabela:].splitlines()
        assert any(str(a) in l and "APROVADO" in l and " 5 " in l for l in linhas)
        assert any(str(b) in l and "REPROVADO" in l for l in linhas)
        assert linhas[-1].startswith("2 contrato(s): 1 aprovado(s), 1 reprovado(s), 0 pendente(s); 720 tokens")


def _sigint_padrao():
    # A shell's background job starts with SIGINT ignored, and an interpreter that starts so never
    # turns it into KeyboardInterrupt: the child gets the default disposition, as from a terminal.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def _linha(proc, limite):
    """The next line of ``proc``'s standard output; fails when none comes within ``limite`` seconds."""
    import queue
    import threading

    fila: queue.Queue = queue.Queue()
    threading.Thread(target=lambda: fila.put(proc.stdout.readline()), daemon=True).start()
    try:
        linha = fila.get(timeout=limite)
    except queue.Empty:
        raise AssertionError(f"nenhuma linha na saída em {limite} s") from None
    assert linha.endswith("\n"), f"a saída terminou sem linha: {linha!r}"
    return linha


def _cli(args, env):
    return subprocess.Popen([sys.executable, "-m", "scrivane_contract", *map(str, args)], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=_sigint_padrao)


class TestInterrupcao:
    def test_ctrl_c_keeps_finished_results_and_exits_130(self, llm, reg, tmp_path):
        pdfs = [contrato(tmp_path, f"k{i}.pdf", "Maria da Silva") for i in range(3)]
        responder(llm, "k0.pdf", "Maria da Silva")
        llm.script(None, Reply.json({}, delay=60))  # the others hang
        saida = tmp_path / "r.jsonl"
        proc = _cli(["verificar", "--json", "--paralelo", "1", "--registro", reg.url, "--saida", saida, *pdfs],
                    dict(os.environ))
        try:
            # The first contract's line on standard output (written after its --saida line): the
            # others are hanging on the engine now.
            primeira = _linha(proc, 60)
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=20)
            out = primeira + out
        finally:
            proc.kill()
        assert proc.returncode == 130
        assert err.strip().endswith(f"Interrompido: 2 de 3 contrato(s) não terminaram: {pdfs[1]}, {pdfs[2]}; "
                                    "os que terminaram foram gravados") and "Traceback" not in err
        linhas = [json.loads(l) for l in out.splitlines()]
        assert [l["arquivo"] for l in linhas] == [str(pdfs[0])]
        assert [json.loads(l) for l in saida.read_text().splitlines()] == linhas

    def test_engine_that_cannot_start_shows_its_cause(self, llm, reg, tmp_path):
        # A broken engine package shadows the real one: the reduced "PENDENTE" record comes back and
        # the cause the checker logs reaches standard error.
        quebrado = tmp_path / "quebrado" / "scrivane"
        quebrado.mkdir(parents=True)
        (quebrado / "__init__.py").write_text("raise ImportError('motor de teste quebrado')\n")
        pdf = contrato(tmp_path, "q.pdf", "Maria da Silva")
        ambiente = dict(os.environ, PYTHONPATH=str(quebrado.parent))
        proc = _cli(["verificar", "--json", "--registro", reg.url, pdf], ambiente)
        out, err = proc.communicate(timeout=60)
        assert proc.returncode == 2
        assert json.loads(out)["resultado"]["justificativa"] == "Scrivane não disponível. Instale com: pip install scrivane"
        assert err == "scrivane-contract: aviso: Erro ao inicializar Scrivane: motor de teste quebrado\n"


class TestRegistro:
    @pytest.mark.parametrize("resposta, situacao, codigo_esperado", [
        (None, "encontrado", 0),
        ("nao_encontrado", "nao_encontrado", 1),
        ("indisponivel", "indisponivel", 4),
    ])
    def test_cnpj(self, reg, capsys, resposta, situacao, codigo_esperado):
        if resposta == "nao_encontrado":
            reg.brasil.clear()
            reg.receita.clear()
        elif resposta == "indisponivel":
            if not hasattr(cnpj, "consultar_cnpj_detalhado"):
                pytest.skip("the cnpj module does not tell an unavailable registry from an unknown company")
            reg.reply("brasilapi", RegReply.error(429))
            reg.reply("receitaws", RegReply.error(500))
        codigo, out, err = rodar(capsys, "cnpj", "--registro", reg.url + "/", ACME_F)
        assert codigo == codigo_esperado
        if situacao == "encontrado":
            assert err == ""
            dados = json.loads(out)
            assert (dados["fonte"], dados["cnpj"], dados["razao_social"]) == ("BrasilAPI", ACME_F,
                                                                             "ACME COMERCIO DE TESTES LTDA")
            assert out.startswith('{\n  "fonte": "BrasilAPI",\n')
        else:
            assert out == ""
            esperado = "não encontrado na Receita Federal" if situacao == "nao_encontrado" else "Receita Federal indisponível"
            assert esperado in err and ACME_F in err

    def test_cnpj_json_lines_check_digits_and_invalid_numbers(self, reg, capsys):
        reg.add_company(*empresa_exemplo("11222333000182", "DIGITO ERRADO LTDA"))
        codigo, out, err = rodar(capsys, "cnpj", "--json", "--registro", reg.url, "11222333000182", "123", ACME)
        assert codigo == 3
        objetos = [json.loads(l) for l in out.splitlines()]
        assert [(o["cnpj"], o["status"]) for o in objetos] == [
            ("11.222.333/0001-82", "encontrado"), ("123", "invalido"), (ACME_F, "encontrado")]
        assert objetos[0]["aviso"] == "dígitos verificadores não conferem" and "aviso" not in objetos[2]
        assert objetos[0]["dados"]["razao_social"] == "DIGITO ERRADO LTDA"
        assert "CNPJ 11.222.333/0001-82: dígitos verificadores não conferem; consultando assim mesmo" in err
        assert "CNPJ inválido: '123'" in err
        assert len(reg.requests_to("brasilapi")) == 2  # the invalid number sent no request
        # Wrong check digits and nothing found, even with the registry out of reach: an invalid
        # number (3, as the README's table says), not an unavailable registry (4).
        reg.reply("brasilapi", RegReply.error(500))
        reg.reply("receitaws", RegReply.error(500))
        codigo, out, err = rodar(capsys, "cnpj", "--registro", reg.url, "99888777000101")
        assert codigo == 3 and "CNPJ inválido: '99888777000101' (dígitos verificadores não conferem" in err

    def test_buscar(self, reg, capsys):
        reg.add_company(*empresa_exemplo("99888777000166", "BETA SERVICOS LTDA", uf="RJ"))
        codigo, out, err = rodar(capsys, "buscar", "BETA", "--uf", "RJ", "--registro", reg.url)
        dados = json.loads(out)
        assert (codigo, err, dados["cnpj"], dados["_metodo_busca"]) == (0, "", "99.888.777/0001-66", "api_nome")
        assert reg.requests_to("casadosdados")[0].json()["query"]["uf"] == ["RJ"]

        codigo, out, err = rodar(capsys, "buscar", "BETA", "--uf", "SP", "--json", "--registro", reg.url)
        assert codigo == 1 and json.loads(out) == {"nome": "BETA", "erro": "empresa não encontrada: BETA"}
        assert err == "scrivane-contract: erro: empresa não encontrada: BETA\n"

        codigo, out, err = rodar(capsys, "buscar", "ZETA", "--cnpj", ACME, "--json", "--registro", reg.url)
        assert codigo == 0 and json.loads(out)["dados"]["_metodo_busca"] == "cnpj_direto"

    def test_buscar_by_ai_web_search(self, llm, reg, capsys):
        # Nothing by name: the model's web search names ACME's CNPJ, which the registry knows.
        llm.script(None, Reply.output_text("O CNPJ é 11.222.333/0001-81."))
        codigo, out, err = rodar(capsys, "buscar", "Zeta Desconhecida", "--usar-ai", "--json", "--registro", reg.url)
        dados = json.loads(out)["dados"]
        assert (codigo, err) == (0, "")
        assert (dados["cnpj"], dados["_metodo_busca"], dados["_cnpj_buscado_por_ai"]) == (ACME_F, "ai_web_search", True)
        assert [q.route for q in reg.requests] == ["casadosdados", "brasilapi"]
        assert "Zeta Desconhecida" in llm.requests[0].prompt_text
        # The same record as the library's own combined search.
        for nome, url in (("BRASIL_API_URL", reg.brasil_api_url), ("RECEITA_WS_URL", reg.receita_ws_url),
                          ("CASADOSDADOS_API", reg.casadosdados_url)):
            setattr(cnpj, nome, url)
        assert cnpj.buscar_empresa_completo(nome="Zeta Desconhecida", usar_ai_search=True,
                                            openai_api_key="sk-test") == dados

    def test_buscar_with_the_registry_unavailable(self, reg, capsys):
        if not hasattr(cnpj, "buscar_cnpj_por_nome_detalhado"):
            pytest.skip("the cnpj module does not tell an unavailable registry from an unknown company")
        reg.reply("casadosdados", RegReply.error(429))
        codigo, out, err = rodar(capsys, "buscar", "ACME", "--registro", reg.url)
        assert (codigo, out) == (4, "")
        assert err == ("scrivane-contract: erro: empresa não encontrada: ACME "
                       "(Receita Federal indisponível; tente mais tarde)\n")


class TestClassificar:
    def test_verdict_by_what_the_document_is(self, env, tmp_path, capsys):
        # A blank template is a contract; a memo that cites a contract and qualifies its party is not.
        pdf = write_text_pdf(tmp_path / "c.pdf", [
            "CONTRATO DE PRESTAÇÃO DE SERVIÇOS\n\nPelo presente instrumento, as partes abaixo qualificadas:\n"
            "CONTRATANTE: [NOME], inscrita no CNPJ sob o nº [ ]\n"
            "CLÁUSULA PRIMEIRA – DO OBJETO\nO objeto deste contrato é a prestação de serviços.\n"
            "CLÁUSULA SEGUNDA – DO PREÇO\nO preço é o da proposta."])
        memo = tmp_path / "m.txt"
        memo.write_text("MEMORANDO Nº 12/2025\nAssunto: renovação do contrato nº 5/2024\n"
                        "A empresa ACME SERVIÇOS LTDA, inscrita no CNPJ sob o nº 11.222.333/0001-81, na qualidade "
                        "de CONTRATADA, pede a renovação do contrato. Cláusula primeira do contrato.", encoding="utf-8")
        codigo, out, err = rodar(capsys, "classificar", pdf, memo)
        assert (codigo, err) == (1, "")
        linhas = out.splitlines()
        assert linhas[0] == (f"{pdf}: é contrato (título de contrato, 2 cláusula(s), 2 fórmula(s) de contrato, "
                             "as partes; 8 palavra(s)-chave: contrato, instrumento, contratante, cláusula, clausula, "
                             "objeto, cnpj, inscrita)")
        assert linhas[1].startswith(f"{memo}: não é contrato (título de outro documento, ")
        binario = tmp_path / "b.bin"
        binario.write_bytes(b"\x00\x01imagem")
        codigo, out, _ = rodar(capsys, "classificar", "--json", pdf, binario)
        objetos = [json.loads(l) for l in out.splitlines()]
        assert codigo == 4
        assert objetos[0] == {"arquivo": str(pdf), "eh_contrato": True, "quantidade": 8,
                              "keywords_encontradas": ["contrato", "instrumento", "contratante", "cláusula",
                                                       "clausula", "objeto", "cnpj", "inscrita"],
                              "motivos": ["título de contrato", "2 cláusula(s)", "2 fórmula(s) de contrato",
                                          "as partes"]}
        assert objetos[1]["erro"].startswith("formato não suportado")


@pytest.mark.parametrize("comando", ["verificar", "cnpj", "buscar", "classificar", "historico", "historico mostrar",
                                     "historico apagar", "monitorar", "servir", "registro", "registro importar",
                                     "registro info", "registro servir", "registro baixar"])
def test_every_command_help_shows_examples_of_itself(comando, capsys):
    codigo, out, _ = rodar(capsys, *comando.split(), "--help")
    exemplos = [l for l in out.splitlines() if l.strip().startswith(f"scrivane-contract {comando}")]
    assert codigo == 0 and len(exemplos) >= 2, out
