"""The web service through HTTP: uploads, polling, refusals, access token, full queue, the
registry lookup, the report page and the servir command, over the real checker, the local
OpenAI-compatible server and the local registry server."""

from __future__ import annotations

import json
import logging
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import httpx
import pytest
from fastapi.testclient import TestClient
from web_helpers import CASOS, escrever_contratos, esperar_servico, servidores_locais

from scrivane_contract.checker import ContractChecker
from scrivane_contract.web import criar_app, pagina_relatorio
from scrivane_contract.web.envio import ErroEnvio, receber_pdf

PDF_MINIMO = b"%PDF-1.4\n1 0 obj <<>> endobj\ntrailer <<>>\n%%EOF\n"
MB = 1024 * 1024


@pytest.fixture
def locais(monkeypatch):
    for nome in ("OPENAI_API_KEY", "AZURE_API_KEY", "AZURE_API_ENDPOINT", "AZURE_DEPLOYMENT_NAME",
                 "SCRIVANE_API_TOKEN"):
        monkeypatch.delenv(nome, raising=False)
    with servidores_locais() as servidores:
        yield servidores


@pytest.fixture
def contratos(tmp_path):
    return escrever_contratos(tmp_path / "contratos")


def verificador_real():
    return ContractChecker(openai_api_key="sk-test", verbose=False).verificar


def aguardar(cliente, ident, headers=None, limite=30.0):
    fim = time.monotonic() + limite
    while time.monotonic() < fim:
        estado = cliente.get(f"/api/verificacoes/{ident}", headers=headers).json()
        if estado["estado"] in ("concluida", "falhou"):
            return estado
        time.sleep(0.02)
    raise AssertionError(f"verificação {ident} não terminou: {estado}")


def enviar(cliente, conteudo: bytes, nome="contrato.pdf", headers=None):
    return cliente.post("/api/verificacoes", files={"arquivo": (nome, conteudo, "application/pdf")}, headers=headers)


class TestVerificacoes:
    def test_three_contracts_come_back_with_their_verdicts_and_leave_no_file(self, locais, contratos):
        app = criar_app(verificador_real, trabalhadores=2)
        with TestClient(app) as cliente:
            ids = {}
            for veredito, caminho in contratos.items():
                r = enviar(cliente, caminho.read_bytes(), nome=f"pasta/{caminho.name}")
                assert r.status_code == 202 and r.headers["location"] == r.json()["url"]
                ids[veredito] = r.json()["id"]
            for veredito, ident in ids.items():
                estado = aguardar(cliente, ident)
                assert (estado["estado"], estado["resultado"]["resultado_final"]) == ("concluida", veredito)
                assert estado["arquivo"] == contratos[veredito].name  # folder part dropped
                assert estado["concluida_em"] and estado["erro"] is None and len(estado["resultado"]) == 13
                html = cliente.get(f"/api/verificacoes/{ident}/relatorio").text
                razao = CASOS[veredito][3]
                assert f'data-resultado="{veredito}"' in html and razao in html
            assert list(app.state.fila.pasta.iterdir()) == []
            assert cliente.get("/saude").json()["fila"] == {"na_fila": 0, "em_andamento": 0, "concluida": 3,
                                                            "falhou": 0}
            assert cliente.get("/api/verificacoes/desconhecida").status_code == 404
        assert not app.state.fila.pasta.exists()  # shutdown removes the private folder

    @pytest.mark.parametrize("corpo, tipo, status, trecho", [
        (b"x" * 5000 + PDF_MINIMO, "pdf", 413, "limite"),
        (b"Contrato em texto puro, nomeado .pdf", "pdf", 415, "não é um PDF"),
        (b"", "pdf", 415, "não é um PDF"),
        (b"\x89PNG\r\n\x1a\n" + b"\0" * 2000, "pdf", 415, "não é um PDF"),
        (PDF_MINIMO, "sem-arquivo", 400, "Nenhum arquivo"),
        (PDF_MINIMO, "json", 400, "multipart"),
    ])
    def test_refused_uploads_leave_nothing_behind(self, corpo, tipo, status, trecho):
        chamadas = []
        app = criar_app(lambda: chamadas.append, trabalhadores=1, limite_fila=0, tamanho_maximo=4096, token=None)
        with TestClient(app) as cliente:
            if tipo == "pdf":
                r = enviar(cliente, corpo)
            elif tipo == "sem-arquivo":
                r = cliente.post("/api/verificacoes", files={"outro": (None, b"campo")})
            else:
                r = cliente.post("/api/verificacoes", json={"arquivo": "contrato.pdf"})
            assert r.status_code == status and trecho in r.json()["detail"]
            assert list(app.state.fila.pasta.iterdir()) == [] and chamadas == []
            # the refused upload gave its place back: a full queue of one still takes a PDF
            assert enviar(cliente, PDF_MINIMO).status_code == 202

    # servir's --tamanho-maximo as a user types it (a bare number is in MB), then an upload of
    # exactly the limit it sets and one of a byte more.
    @pytest.mark.parametrize("opcao, tamanho, status", [
        ("20", 20 * MB, 202),
        ("20", 20 * MB + 1, 413),
        ("512KB", 512 * 1024, 202),
        ("512KB", 512 * 1024 + 1, 413),
        ("1048576B", MB, 202),
        ("1048576B", MB + 1, 413),
    ])
    def test_upload_size_boundary_of_the_servir_option(self, opcao, tamanho, status):
        from scrivane_contract.cli import criar_parser

        limite = criar_parser().parse_args(["servir", "--tamanho-maximo", opcao]).tamanho_maximo
        app = criar_app(lambda: (lambda caminho: {"resultado_final": "APROVADO"}), tamanho_maximo=limite,
                        token=None)
        with TestClient(app) as cliente:
            r = enviar(cliente, PDF_MINIMO + b"0" * (tamanho - len(PDF_MINIMO)))
            assert r.status_code == status, r.json()
            if status == 413:
                assert "limite" in r.json()["detail"]

    def test_a_pdf_header_after_leading_bytes_and_an_accented_name_are_accepted(self):
        app = criar_app(lambda: (lambda caminho: {"resultado_final": "APROVADO"}), token=None)
        with TestClient(app) as cliente:
            r = enviar(cliente, b"\r\n" * 10 + PDF_MINIMO, nome="C:\\Contratos\\locação nº 7.pdf")
            assert r.status_code == 202
            estado = aguardar(cliente, r.json()["id"])
            assert (estado["estado"], estado["arquivo"]) == ("concluida", "locação nº 7.pdf")


class TestAssinaturasDigitais:
    """The signatures are read beside the verification and shown in the JSON and on the report page."""

    def test_signed_changed_and_unsigned_pdfs_show_their_signature_findings(self, tmp_path):
        from signed_pdfs import AutoridadeTeste, assinar, pdf_texto, trocar_texto

        ca = AutoridadeTeste()
        maria = ca.pessoa("MARIA DA SILVA", "52998224725")
        texto = pdf_texto("CONTRATO DE TESTE", "CONTRATANTE: ACME")
        assinado = assinar(texto, maria, "Assinatura1")
        pdfs = {"assinado": assinado, "alterado": trocar_texto(assinado, "VALOR: R$ 9.000.000,00"),
                "sem": texto}
        resultado = {"resultado_final": "APROVADO", "justificativa": "ok", "empresas": [],
                     "assinaturas": [{"nome_signatario": "Maria da Silva"}]}
        app = criar_app(lambda: (lambda caminho: dict(resultado)), token=None,
                        raizes=ca.gravar_raiz(tmp_path))
        with TestClient(app) as cliente:
            ids = {k: enviar(cliente, v, nome=f"{k}.pdf").json()["id"] for k, v in pdfs.items()}
            estados = {k: aguardar(cliente, i) for k, i in ids.items()}
            paginas = {k: cliente.get(f"/api/verificacoes/{i}/relatorio").text for k, i in ids.items()}
            fragmento = cliente.get(f"/api/verificacoes/{ids['alterado']}/relatorio?fragmento=true").text

        assert all(e["estado"] == "concluida" and e["resultado"] == resultado for e in estados.values())
        bom = estados["assinado"]["assinaturas_digitais"]
        assert (bom["total"], bom["validas"], bom["alertas"]) == (1, True, [])
        (item,) = bom["assinaturas"]
        assert (item["cpf"], item["icp_brasil"], item["signatario_extraido"]) == (
            "52998224725", True, "Maria da Silva")
        ruim = estados["alterado"]["assinaturas_digitais"]
        motivo = "conteúdo alterado depois da assinatura (página(s) 1)"
        assert ruim["validas"] is False and ruim["alertas"] == [
            f"ASSINATURA INVÁLIDA de MARIA DA SILVA (campo Assinatura1): {motivo}"]
        assert estados["sem"]["assinaturas_digitais"]["total"] == 0
        # The invalid signature rejects the contract; the library's result stays as it was.
        assert [estados[k]["veredito"] for k in ("assinado", "alterado", "sem")] == [
            "APROVADO", "REPROVADO", "APROVADO"]
        assert estados["alterado"]["motivo_veredito"] == f"assinatura digital inválida: MARIA DA SILVA, {motivo}"
        assert estados["assinado"]["motivo_veredito"] is None

        secoes = {k: html.split('id="rel-digitais"', 1)[1].split("</section>", 1)[0] for k, html in paginas.items()}
        assert "MARIA DA SILVA" in secoes["assinado"] and "529.982.247-25" in secoes["assinado"]
        assert "✓</span> Válida e confiável" in secoes["assinado"] and "digital--alerta" not in secoes["assinado"]
        assert "<dt>No contrato</dt><dd>Signatário Maria da Silva</dd>" in secoes["assinado"]
        assert "<dt>Depois dela</dt><dd>nada mudou</dd>" in secoes["assinado"]
        assert 'class="aviso aviso--reprovado" role="alert"' in secoes["alterado"]
        assert "digital--alerta" in secoes["alterado"] and "✕</span> Inválida" in secoes["alterado"]
        assert "<dt>Depois dela</dt><dd class=\"ruim\">conteúdo alterado (página(s) 1)</dd>" in secoes["alterado"]
        assert 'id="rel-digitais"' in fragmento and "CONTEÚDO ALTERADO após a assinatura" in fragmento
        assert "Nenhuma assinatura digital no documento" in secoes["sem"]
        banner = paginas["alterado"].split('<header class="veredito', 1)[1].split("</header>", 1)[0]
        assert '<h2 class="veredito__titulo" id="relatorio-titulo" tabindex="-1">REPROVADO</h2>' in banner
        assert f"Reprovado pelas assinaturas digitais: assinatura digital inválida: MARIA DA SILVA, {motivo}." in banner
        assert ">APROVADO</h2>" in paginas["assinado"]

    def test_ignoring_the_signatures_keeps_the_librarys_verdict(self, tmp_path):
        from signed_pdfs import AutoridadeTeste, assinar, pdf_texto, trocar_texto

        ca = AutoridadeTeste()
        alterado = trocar_texto(assinar(pdf_texto("CONTRATO"), ca.pessoa("MARIA DA SILVA", "52998224725"), "A"),
                                "VALOR: R$ 9.000.000,00")
        app = criar_app(lambda: (lambda caminho: {"resultado_final": "APROVADO"}), token=None,
                        raizes=ca.gravar_raiz(tmp_path), ignorar_assinaturas=True)
        with TestClient(app) as cliente:
            estado = aguardar(cliente, enviar(cliente, alterado).json()["id"])
            html = cliente.get(f"/api/verificacoes/{estado['id']}/relatorio").text
        assert estado["assinaturas_digitais"]["invalidas"] == 1
        assert (estado["veredito"], estado["motivo_veredito"]) == ("APROVADO", None)
        assert ">APROVADO</h2>" in html and "Reprovado pelas assinaturas digitais" not in html

    def test_a_signature_reading_failure_is_a_finding_not_a_failed_verification(self, tmp_path):
        app = criar_app(lambda: (lambda caminho: {"resultado_final": "APROVADO"}), token=None,
                        raizes=tmp_path / "nao-existe")
        with TestClient(app) as cliente:
            estado = aguardar(cliente, enviar(cliente, PDF_MINIMO).json()["id"])
            html = cliente.get(f"/api/verificacoes/{estado['id']}/relatorio").text
            assert list(app.state.fila.pasta.iterdir()) == []
        digitais = estado["assinaturas_digitais"]
        assert estado["estado"] == "concluida" and digitais["erro"] and digitais["validas"] is False
        assert digitais["resumo"].startswith("assinaturas digitais não verificadas: ")
        assert 'class="aviso aviso--pendente" role="alert"' in html and "não verificadas" in html

    def test_without_the_check_there_is_no_section(self):
        app = criar_app(lambda: (lambda caminho: {"resultado_final": "APROVADO"}), token=None,
                        conferir_assinaturas=False)
        with TestClient(app) as cliente:
            estado = aguardar(cliente, enviar(cliente, PDF_MINIMO).json()["id"])
            html = cliente.get(f"/api/verificacoes/{estado['id']}/relatorio").text
        assert estado["assinaturas_digitais"] is None and "rel-digitais" not in html


class _Corpo:
    """An upload body in chunks that counts how many were read."""

    def __init__(self, partes):
        self.partes, self.lidas = partes, 0

    async def __aiter__(self):
        for parte in self.partes:
            self.lidas += 1
            yield parte


@pytest.mark.parametrize("content_length", [None, "10485760"])
def test_an_oversized_upload_is_refused_before_it_is_read_whole(tmp_path, content_length):
    import asyncio

    cabeca = (b"--fr\r\nContent-Disposition: form-data; name=\"arquivo\"; filename=\"c.pdf\"\r\n"
              b"Content-Type: application/pdf\r\n\r\n%PDF-1.7\n")
    corpo = _Corpo([cabeca] + [b"0" * 65536] * 160 + [b"\r\n--fr--\r\n"])
    destino = tmp_path / "x.pdf"
    with pytest.raises(ErroEnvio) as erro:
        asyncio.run(receber_pdf(corpo, "multipart/form-data; boundary=fr", content_length, destino, 1024 * 1024))
    assert erro.value.status == 413 and not destino.exists()
    # 1 MiB limit: the part headers and 16 chunks of 64 KiB pass it; the other 144 chunks stay unread
    assert corpo.lidas == (0 if content_length else 17)


class TestFila:
    def test_full_queue_answers_503_then_everything_finishes(self):
        liberar = threading.Event()
        vistos = []

        def criar():
            def verificar(caminho):
                vistos.append(Path(caminho).read_bytes() == PDF_MINIMO)
                liberar.wait(10)
                return {"resultado_final": "APROVADO"}
            return verificar

        app = criar_app(criar, trabalhadores=1, limite_fila=2, token=None)
        with TestClient(app) as cliente:
            aceitos = [enviar(cliente, PDF_MINIMO) for _ in range(3)]
            assert [r.status_code for r in aceitos] == [202] * 3
            cheio = enviar(cliente, PDF_MINIMO)
            assert cheio.status_code == 503 and int(cheio.headers["retry-after"]) >= 1
            ultimo = cliente.get(f"/api/verificacoes/{aceitos[2].json()['id']}").json()
            assert (ultimo["estado"], ultimo["posicao_fila"]) == ("na_fila", 2)
            liberar.set()
            estados = [aguardar(cliente, r.json()["id"])["estado"] for r in aceitos]
            assert estados == ["concluida"] * 3 and vistos == [True] * 3
            assert list(app.state.fila.pasta.iterdir()) == []
            assert enviar(cliente, PDF_MINIMO).status_code == 202

    def test_a_failed_verification_reports_its_reason_but_logs_no_contract_text(self, caplog):
        def criar():
            def verificar(caminho):
                raise ValueError("resposta inválida: CONTRATANTE SIGILOSA LTDA\nlinha 2")
            return verificar

        app = criar_app(criar, token=None)
        with caplog.at_level(logging.DEBUG), TestClient(app) as cliente:
            estado = aguardar(cliente, enviar(cliente, PDF_MINIMO).json()["id"])
        assert (estado["estado"], estado["erro"], estado["resultado"]) == (
            "falhou", "resposta inválida: CONTRATANTE SIGILOSA LTDA", None)
        assert "SIGILOSA" not in caplog.text and "ValueError" in caplog.text
        assert not app.state.fila.pasta.exists()

    def test_results_are_forgotten_after_the_retention_time(self):
        app = criar_app(lambda: (lambda caminho: {"resultado_final": "PENDENTE"}), retencao_minutos=1, token=None)
        agora = [1000.0]
        app.state.fila.relogio = lambda: agora[0]
        with TestClient(app) as cliente:
            ident = enviar(cliente, PDF_MINIMO).json()["id"]
            assert aguardar(cliente, ident)["estado"] == "concluida"
            agora[0] += 59
            assert cliente.get(f"/api/verificacoes/{ident}").status_code == 200
            agora[0] += 2
            assert cliente.get(f"/api/verificacoes/{ident}").status_code == 404


class TestToken:
    def test_every_api_call_needs_the_bearer_token(self):
        app = criar_app(lambda: (lambda caminho: {"resultado_final": "APROVADO"}), token="s3gredo")
        with TestClient(app) as cliente:
            for headers in ({}, {"Authorization": "Bearer errado"}, {"Authorization": "Basic s3gredo"},
                            {"Authorization": "Bearer s3gredo-mais"}):
                for r in (enviar(cliente, PDF_MINIMO, headers=headers),
                          cliente.get("/api/verificacoes/x", headers=headers),
                          cliente.get("/api/cnpj/11222333000181", headers=headers)):
                    assert r.status_code == 401 and r.headers["www-authenticate"] == "Bearer"
            assert list(app.state.fila.pasta.iterdir()) == []
            bom = {"Authorization": "Bearer s3gredo"}
            r = enviar(cliente, PDF_MINIMO, headers=bom)
            assert r.status_code == 202 and aguardar(cliente, r.json()["id"], bom)["estado"] == "concluida"
            pagina = cliente.get("/")
            assert pagina.status_code == 200 and 'data-requer-token="1"' in pagina.text
            assert cliente.get("/saude").status_code == 200

    def test_the_token_comes_from_the_environment(self, monkeypatch):
        monkeypatch.setenv("SCRIVANE_API_TOKEN", "do-ambiente")
        app = criar_app(lambda: (lambda caminho: {}))
        with TestClient(app) as cliente:
            assert cliente.get("/api/verificacoes/x").status_code == 401
            assert cliente.get("/api/verificacoes/x", headers={"Authorization": "Bearer do-ambiente"}).status_code == 404


class TestCnpj:
    @pytest.mark.parametrize("numero, status", [
        ("11.222.333/0001-81", 200),
        ("11222333000182", 404),  # wrong check digits: still looked up, unknown
        ("1122233300018", 422),
        ("abc", 422),
    ])
    def test_registry_lookup(self, locais, numero, status):
        llm, registro = locais
        with TestClient(criar_app(verificador_real, token=None)) as cliente:
            r = cliente.get(f"/api/cnpj/{numero}")
        assert r.status_code == status
        if status == 200:
            assert (r.json()["razao_social"], r.json()["cnpj"]) == ("ALFA COMERCIO DE TESTES LTDA", "11.222.333/0001-81")
        if status == 422:
            assert registro.requests == []

    def test_an_unreachable_registry_is_503(self, locais):
        from registry_server import Reply

        llm, registro = locais
        registro.reply("brasilapi", Reply.error(429))
        registro.reply("receitaws", Reply.error(500))
        with TestClient(criar_app(verificador_real, token=None)) as cliente:
            r = cliente.get("/api/cnpj/11222333000181")
        assert r.status_code == 503 and "indisponível" in r.json()["detail"]


class TestPagina:
    def test_first_load_is_small_self_hosted_and_documented(self):
        with TestClient(criar_app(lambda: (lambda c: {}), tamanho_maximo=5 * 1024 * 1024, token=None)) as cliente:
            pagina = cliente.get("/")
            assert pagina.headers["content-security-policy"].startswith("default-src 'self'")
            assert 'data-tamanho-maximo="5242880"' in pagina.text and 'lang="pt-BR"' in pagina.text
            recursos = re.findall(r'(?:href|src)="(/static/[^"]+)"', pagina.text)
            assert len(recursos) == 3 and not re.search(r'(?:href|src)="(?:https?:)?//', pagina.text)
            total = len(pagina.content) + sum(len(cliente.get(u).content) for u in recursos)
            assert total < 100 * 1024
            esquema = cliente.get("/openapi.json").json()
            assert {"/api/verificacoes", "/api/verificacoes/{ident}", "/api/cnpj/{numero}", "/saude"} <= set(esquema["paths"])
            assert "multipart/form-data" in esquema["paths"]["/api/verificacoes"]["post"]["requestBody"]["content"]
            docs = cliente.get("/docs").text
            swagger = re.findall(r'(?:href|src)=[\'"]([^\'"]+\.(?:js|css))', docs)
            assert len(swagger) == 2 and all(u.startswith("/") and cliente.get(u).status_code == 200 for u in swagger)


class TestRelatorio:
    def test_texts_from_the_contract_are_escaped_and_the_page_stands_alone(self, locais, contratos):
        r = ContractChecker(openai_api_key="sk-test", verbose=False).verificar(str(contratos["REPROVADO"]))
        r["dados_contrato"]["objeto"] = "<script>alert(1)</script> & cia"
        html = pagina_relatorio(r, 'contrato "final".pdf')
        assert "<script>" not in html and "&lt;script&gt;alert(1)&lt;/script&gt; &amp; cia" in html
        assert not re.search(r'(?:href|src)=', html)  # nothing to fetch: style inlined
        assert "Empresa com situação: BAIXADA" in html and "Signatário NÃO encontrado no QSA" in html
        assert "US$ 0,0014" in html and "Tokens</dt><dd>360</dd>" in html

    def test_the_reduced_pending_record_renders(self):
        reduzido = {"resultado_final": "PENDENTE",
                    "justificativa": "Scrivane não disponível. Instale com: pip install scrivane",
                    "campos_aprovados": [], "campos_reprovados": [],
                    "campos_pendentes": ["Extração de dados não disponível"], "empresas": [], "assinaturas": []}
        html = pagina_relatorio(reduzido)
        assert 'data-resultado="PENDENTE"' in html and "Extração de dados não disponível" in html
        assert "Sem métricas" in html and "Nenhuma empresa identificada" in html


def _porta_livre() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_servir_command_serves_the_api_with_the_configured_registry(locais, contratos, tmp_path):
    llm, registro = locais
    porta = _porta_livre()
    env = dict(os.environ, OPENAI_API_KEY="sk-test", OPENAI_BASE_URL=llm.base_url, TMPDIR=str(tmp_path),
               NO_PROXY="127.0.0.1,localhost")
    env.pop("SCRIVANE_API_TOKEN", None)
    proc = subprocess.Popen(
        [sys.executable, "-m", "scrivane_contract", "servir", "--porta", str(porta), "--trabalhadores", "2",
         "--registro", registro.url, "--tamanho-maximo", "1MB"],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        base = f"http://127.0.0.1:{porta}"
        esperar_servico(base, proc)
        with httpx.Client(base_url=base, timeout=10) as cliente:
            r = enviar(cliente, contratos["PENDENTE"].read_bytes())
            assert r.status_code == 202
            estado = aguardar(cliente, r.json()["id"])
            assert estado["resultado"]["resultado_final"] == "PENDENTE"
            assert enviar(cliente, b"%PDF-" + b"0" * (2 * 1024 * 1024)).status_code == 413
        assert registro.requests[0].route == "brasilapi"
    finally:
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=20)
    assert proc.returncode == 0, err
    assert "SIGILOSA" not in err and out == ""
    assert [p for p in tmp_path.iterdir() if p.name.startswith("scrivane-web-")] == []


def test_servir_without_credentials_is_a_usage_error(locais, monkeypatch, capsys):
    from scrivane_contract.cli import main

    monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    assert main(["servir", "--porta", "1"]) == 3
    assert "OPENAI_API_KEY" in capsys.readouterr().err


def test_verificar_html_writes_one_report_page_per_contract(locais, contratos, tmp_path, monkeypatch, capsys):
    from scrivane_contract.cli import main

    monkeypatch.setenv("OPENAI_API_KEY", "sk-test")
    entrada = contratos["APROVADO"].parent
    (entrada / "outra").mkdir()
    (entrada / "outra" / contratos["REPROVADO"].name).write_bytes(contratos["REPROVADO"].read_bytes())
    (entrada / "quebrado.pdf").write_text("não é PDF")
    saida = tmp_path / "relatorios"
    codigo = main(["verificar", str(entrada), "--html", str(saida), "--json", "--paralelo", "3"])
    assert codigo == 4  # the broken file failed; the others still got their pages
    paginas = {p.name: p.read_text(encoding="utf-8") for p in saida.iterdir()}
    assert sorted(paginas) == ["contrato-aprovado.html", "contrato-pendente.html", "contrato-reprovado-2.html",
                               "contrato-reprovado.html"]
    for nome, html in paginas.items():
        veredito = nome.split("-")[1].split(".")[0].upper()
        assert f'data-resultado="{veredito}"' in html and html.startswith("<!doctype html>")
        assert "<style>" in html and not re.search(r'(?:href|src)=', html)
        assert "Nenhuma assinatura digital no documento" in html  # the signatures section, as verificar read it
    linhas = [json.loads(x) for x in capsys.readouterr().out.splitlines()]
    assert [x["erro"] is not None for x in linhas] == [False, False, False, False, True]
