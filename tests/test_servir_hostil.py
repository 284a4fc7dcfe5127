"""The web service against slow and greedy clients, DNS rebinding, and SIGTERM.

The service runs under uvicorn with its own protocol (a time limit on headers), on 127.0.0.1;
slow clients are raw sockets, several bound to 127.0.0.2 so that the per-address limit can be
told from the queue.  SIGTERM is sent to a real ``servir`` and a real batch."""

from __future__ import annotations

import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import httpx
import pytest
import uvicorn
from fastapi.testclient import TestClient

import hostile_pdfs as h
from registro_helpers import porta_livre
from scrivane_contract.web import criar_app
from scrivane_contract.web.protocolo import protocolo_com_prazo
from test_web_api import enviar
from web_helpers import esperar

PDF = h.texto_simples(["CONTRATO", "CONTRATANTE: ACME"])
RAIZ = Path(__file__).resolve().parent.parent


def verificador_fixo():
    return lambda caminho: {"resultado_final": "APROVADO"}


@pytest.fixture
def servico():
    """Starts ``criar_app(**opcoes)`` under uvicorn on 127.0.0.1; yields (port, app)."""
    parar = []

    def subir(prazo_cabecalhos: float = 10.0, **opcoes):
        app = criar_app(verificador_fixo, token=None, conferir_assinaturas=False, **opcoes)
        porta = porta_livre()
        servidor = uvicorn.Server(uvicorn.Config(app, host="127.0.0.1", port=porta, log_level="warning",
                                                 http=protocolo_com_prazo(prazo_cabecalhos)))
        fio = threading.Thread(target=servidor.run, daemon=True)
        fio.start()
        esperar(lambda: servidor.started, 30, "o serviço iniciar")
        parar.append((servidor, fio))
        return porta, app

    yield subir
    for servidor, fio in parar:
        servidor.should_exit = True
        fio.join(10)


def corpo_multipart(conteudo: bytes) -> tuple[bytes, str]:
    fronteira = "fronteira1234"
    corpo = (f"--{fronteira}\r\nContent-Disposition: form-data; name=\"arquivo\"; filename=\"c.pdf\"\r\n"
             f"Content-Type: application/pdf\r\n\r\n").encode() + conteudo + f"\r\n--{fronteira}--\r\n".encode()
    return corpo, f"multipart/form-data; boundary={fronteira}"


def lento(porta: int, origem: str = "127.0.0.1", parte: int = 200) -> socket.socket:
    """A client that sends an upload's headers and the first ``parte`` bytes of its body, then waits."""
    corpo, tipo = corpo_multipart(PDF)
    s = socket.create_connection(("127.0.0.1", porta), timeout=30, source_address=(origem, 0))
    s.sendall((f"POST /api/verificacoes HTTP/1.1\r\nHost: 127.0.0.1:{porta}\r\nContent-Type: {tipo}\r\n"
               f"Content-Length: {len(corpo)}\r\n\r\n").encode() + corpo[:parte])
    return s


def resposta(s: socket.socket) -> str:
    """What the server answered on ``s`` (its status line and body), waiting at most 30 s."""
    dados = b""
    while True:
        try:
            pedaco = s.recv(65536)
        except (ConnectionResetError, TimeoutError):
            break
        if not pedaco:
            break
        dados += pedaco
    return dados.decode("utf-8", "replace")


def test_slow_uploads_hold_no_place_in_the_queue_and_real_uploads_pass(servico):
    porta, app = servico(trabalhadores=1, limite_fila=2, envios_por_cliente=0)
    lentos = [lento(porta, "127.0.0.2") for _ in range(110)]
    try:
        # all of them are being received
        esperar(lambda: app.state.envios_em_curso.get("127.0.0.2") == 110, 60, "110 envios lentos em curso")
        url = f"http://127.0.0.1:{porta}"
        # The slow ones hold no place: every real upload gets 202 while they wait.
        for _ in range(3):
            r = httpx.post(url + "/api/verificacoes", files={"arquivo": ("c.pdf", PDF, "application/pdf")},
                           timeout=10)
            assert r.status_code == 202, r.text
        assert httpx.get(url + "/saude", timeout=10).status_code == 200
    finally:
        for s in lentos:
            s.close()


def test_one_address_cannot_hold_more_than_its_share_of_uploads(servico):
    porta, app = servico(envios_por_cliente=4)
    lentos = [lento(porta, "127.0.0.2") for _ in range(4)]
    try:
        esperar(lambda: app.state.envios_em_curso.get("127.0.0.2") == 4, 30, "4 envios lentos em curso")
        quinto = lento(porta, "127.0.0.2")
        assert resposta(quinto).startswith("HTTP/1.1 429")
        quinto.close()
        r = httpx.post(f"http://127.0.0.1:{porta}/api/verificacoes",
                       files={"arquivo": ("c.pdf", PDF, "application/pdf")}, timeout=10)
        assert r.status_code == 202  # another address is not held back
    finally:
        for s in lentos:
            s.close()


def test_a_body_that_does_not_arrive_in_time_gets_408_and_leaves_no_file(servico):
    porta, app = servico(tempo_envio=0.5)
    s = lento(porta)
    texto = resposta(s)
    s.close()
    assert texto.startswith("HTTP/1.1 408") and "segundos" in texto
    assert list(app.state.fila.pasta.iterdir()) == []


def test_headers_that_do_not_arrive_in_time_get_408_and_the_connection_closes(servico):
    porta, _ = servico(prazo_cabecalhos=0.5)
    s = socket.create_connection(("127.0.0.1", porta), timeout=30)
    s.sendall(b"POST /api/verificacoes HTTP/1.1\r\nHost: 127.0.0.1\r\n")  # and never the rest
    texto = resposta(s)
    s.close()
    assert texto.startswith("HTTP/1.1 408")


@pytest.mark.parametrize("host, status", [
    ("127.0.0.1:8000", 200), ("localhost", 200), ("[::1]:8000", 200), ("contratos.interno:443", 200),
    ("evil.example", 421), ("evil.example:8000", 421), ("127.0.0.1.evil.example", 421), ("a b", 400),
    ("x@127.0.0.1", 400), ("127.0.0.1:porta", 400),
])
def test_only_the_service_s_own_host_names_are_served(host, status):
    app = criar_app(verificador_fixo, token=None, conferir_assinaturas=False,
                    hosts=["127.0.0.1", "localhost", "::1", "contratos.interno"])
    with TestClient(app) as cliente:
        for r in (cliente.get("/api/historico", headers={"Host": host}),
                  enviar(cliente, PDF, headers={"Host": host, "Origin": f"http://{host}"})):
            if status == 200:
                assert r.status_code in (200, 202, 404), r.text
            else:
                assert r.status_code == status and r.headers["connection"] == "close"
        assert sum(app.state.fila.estatisticas().values()) == (1 if status == 200 else 0)


def test_a_rebinding_page_with_the_service_s_host_but_a_foreign_origin_cannot_upload():
    app = criar_app(verificador_fixo, token=None, conferir_assinaturas=False, hosts=["127.0.0.1"])
    with TestClient(app, base_url="http://127.0.0.1:8000") as cliente:
        r = enviar(cliente, PDF, headers={"Origin": "http://evil.example:8000"})
        assert r.status_code == 403
        r = enviar(cliente, PDF, headers={"Origin": "http://127.0.0.1:8000"})
        assert r.status_code == 202


def test_the_report_page_carries_a_content_security_policy():
    app = criar_app(verificador_fixo, token=None, conferir_assinaturas=False)
    with TestClient(app) as cliente:
        ident = enviar(cliente, PDF).json()["id"]
        esperar(lambda: cliente.get(f"/api/verificacoes/{ident}").json()["estado"] == "concluida", 30,
                "a verificação concluir")
        for sufixo in ("", "?fragmento=true"):
            r = cliente.get(f"/api/verificacoes/{ident}/relatorio{sufixo}")
            assert r.status_code == 200
            assert "default-src 'none'" in r.headers["content-security-policy"]
            assert "script-src" not in r.headers["content-security-policy"]


def _ambiente(tmp: Path) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith(("AZURE_", "OPENAI_", "SCRIVANE_"))}
    env.update(NO_PROXY="127.0.0.1,localhost", PYTHONUNBUFFERED="1", TMPDIR=str(tmp),
               SCRIVANE_HISTORICO=str(tmp.parent / "historico.sqlite3"))
    return env


def test_sigterm_stops_servir_cleanly_and_removes_its_temporary_folders(tmp_path):
    tmp = tmp_path / "tmp"
    tmp.mkdir()
    porta = porta_livre()
    proc = subprocess.Popen([sys.executable, "-m", "scrivane_contract", "servir", "--provedor", "local",
                             "--porta", str(porta)], env=_ambiente(tmp), cwd=RAIZ,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        url = f"http://127.0.0.1:{porta}"
        fim = time.monotonic() + 60
        while True:
            assert proc.poll() is None and time.monotonic() < fim, "servir não iniciou"
            try:
                if httpx.get(url + "/saude", timeout=1).status_code == 200:
                    break
            except httpx.TransportError:
                time.sleep(0.1)
        r = httpx.post(url + "/api/verificacoes", files={"arquivo": ("c.pdf", PDF, "application/pdf")}, timeout=30)
        assert r.status_code == 202
        assert list(tmp.iterdir()), "a pasta temporária do serviço deveria existir"
        proc.send_signal(signal.SIGTERM)
        saida = proc.communicate(timeout=60)[0].decode("utf-8", "replace")
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 0, saida
    assert "encerrado (SIGTERM)" in saida
    assert list(tmp.iterdir()) == []


def test_sigterm_stops_a_batch_like_ctrl_c_keeping_what_finished(tmp_path):
    sys.path.insert(0, str(RAIZ / "tools"))
    import gerar_exemplos
    from registry_server import Reply, RegistryServer

    tmp = tmp_path / "tmp"
    tmp.mkdir()
    arquivos = []
    for i in range(8):
        arquivos.append(tmp_path / f"c{i}.pdf")
        gerar_exemplos.escrever_pdf(arquivos[-1], gerar_exemplos.APROVADO)
    saida = tmp_path / "saida.jsonl"
    with RegistryServer() as servidor:
        for e in gerar_exemplos.REGISTRO:
            servidor.add_company(e["cnpj"], e, None)
        servidor.reply("brasilapi", Reply.late(0.0), *([Reply.late(30.0)] * 100))  # the first answers at once
        proc = subprocess.Popen([sys.executable, "-m", "scrivane_contract", "verificar", "--provedor", "local",
                                 "--registro", servidor.url, "--sem-cache", "--paralelo", "1", "--saida", str(saida),
                                 *map(str, arquivos)], env=_ambiente(tmp), cwd=RAIZ,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            fim = time.monotonic() + 120
            while len(servidor.requests_to("brasilapi")) < 3:
                assert proc.poll() is None and time.monotonic() < fim, proc.communicate()[1]
                time.sleep(0.05)
            proc.send_signal(signal.SIGTERM)
            out, err = proc.communicate(timeout=60)
        finally:
            if proc.poll() is None:
                proc.kill()
    assert proc.returncode == 130, err
    feitos = [json.loads(l) for l in saida.read_text().splitlines()]
    assert len(feitos) < len(arquivos)
    # The contracts left unfinished are named and counted.
    assert f"Interrompido: {len(arquivos) - len(feitos)} de {len(arquivos)} contrato(s) não" in err.decode()
    assert list(tmp.iterdir()) == []


def test_the_pdf_library_s_english_never_reaches_the_page(tmp_path):
    from scrivane_contract.verificacao import verificar_arquivo

    pdf = tmp_path / "abc.pdf"
    pdf.write_bytes(PDF)

    def falha(_caminho):
        raise RuntimeError("Failed to load page.")  # as a reader in another process passes it on

    # The shared queue words a failure as the exception's text: the record still reads in Portuguese.
    v = verificar_arquivo(str(pdf), falha, nome="Contrato.pdf", motivo=lambda exc: str(exc))
    assert v.erro == "Contrato.pdf: o arquivo tem páginas corrompidas ou incompletas"
