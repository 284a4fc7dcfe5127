"""The web service against hostile uploads and hostile pages: a killed reader, a killed service,
cross-site submissions, server paths in errors, and the Retry-After of a stalled queue."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
from pathlib import Path

import httpx
import pytest
from fastapi.testclient import TestClient

import hostile_pdfs as h
from scrivane_contract.checker import ContractChecker
from scrivane_contract.web import criar_app
from scrivane_contract.verificacao import sem_caminhos
from scrivane_contract.web.fila import FilaCheia, FilaVerificacoes
from test_web_api import aguardar, contratos, enviar, locais  # noqa: F401  (fixtures)
from web_helpers import esperar as _esperar
from web_helpers import esperar_servico

PDF = h.texto_simples(["CONTRATO", "CONTRATANTE: ACME"])


def verificador_fixo():
    return lambda caminho: {"resultado_final": "APROVADO", "arquivo": caminho}


@pytest.mark.parametrize("cabecalhos, token, aceito", [
    ({}, None, True),  # a program: no browser headers
    ({"Origin": "http://testserver"}, None, True),
    ({"Sec-Fetch-Site": "same-origin", "Origin": "http://testserver"}, None, True),
    ({"Sec-Fetch-Site": "none"}, None, True),  # typed by the user
    ({"Origin": "https://malicioso.example"}, None, False),
    ({"Origin": "http://testserver.malicioso.example"}, None, False),
    ({"Origin": "null"}, None, False),
    ({"Sec-Fetch-Site": "cross-site"}, None, False),
    ({"Sec-Fetch-Site": "same-site", "Origin": "http://testserver"}, None, False),
    ({"Origin": "https://outro.example", "Authorization": "Bearer segredo"}, "segredo", True),
], ids=["programa", "mesma-origem", "same-origin", "digitado", "outro-site", "sufixo", "null", "cross-site",
        "same-site", "com-token"])
def test_without_a_token_only_the_service_s_own_page_may_submit(cabecalhos, token, aceito):
    app = criar_app(verificador_fixo, trabalhadores=1, token=token, conferir_assinaturas=False)
    with TestClient(app) as cliente:
        r = enviar(cliente, PDF, headers=cabecalhos)
        if aceito:
            assert r.status_code == 202, r.text
        else:
            assert r.status_code == 403 and "SCRIVANE_API_TOKEN" in r.json()["detail"]
            assert app.state.fila.estatisticas()["na_fila"] == 0
        # reading stays open to every origin (the answer is not readable cross-site anyway)
        assert cliente.get("/saude", headers=cabecalhos).status_code == 200


def test_errors_and_results_name_the_uploaded_file_never_a_server_path(tmp_path):
    arvore = h.arvore_repetida(3_000)  # past the page limit
    app = criar_app(lambda: ContractChecker(provider="local", verbose=False).verificar, trabalhadores=1)
    with TestClient(app) as cliente:
        pasta = str(app.state.fila.pasta)
        r = enviar(cliente, arvore, nome="Contrato Hostil.pdf")
        estado = aguardar(cliente, r.json()["id"])
        assert estado["estado"] == "falhou"
        assert estado["erro"] == ("documento excede o limite de páginas (3.000 páginas; limite 2.000): "
                                  "Contrato Hostil.pdf")
        assert pasta not in str(estado) and r.json()["id"] + ".pdf" not in str(estado)


@pytest.mark.parametrize("valor, esperado", [
    ("PDF ilegível: /srv/tmp/scrivane-web-1-x/abc.pdf (dados)", "PDF ilegível: contrato.pdf (dados)"),
    ("arquivo abc.pdf sem assinatura", "arquivo contrato.pdf sem assinatura"),
    ({"resumo": ["/srv/tmp/scrivane-web-1-x/abc.pdf", 3]}, {"resumo": ["contrato.pdf", 3]}),
    ("nada a trocar", "nada a trocar"),
])
def test_server_paths_are_replaced_by_the_uploaded_name(valor, esperado):
    assert sem_caminhos(valor, Path("/srv/tmp/scrivane-web-1-x/abc.pdf"), "contrato.pdf") == esperado


def test_retry_after_follows_a_stalled_job(tmp_path):
    agora = [1000.0]
    liberar = threading.Event()

    def verificador():
        def verificar(caminho):
            liberar.wait(30)
            return {"resultado_final": "APROVADO"}
        return verificar

    fila = FilaVerificacoes(verificador, trabalhadores=1, limite_fila=1, pasta=str(tmp_path),
                            relogio=lambda: agora[0])
    try:
        for nome in ("a.pdf", "b.pdf"):
            fila.reservar()
            ident, caminho = fila.novo_arquivo()
            caminho.write_bytes(PDF)
            fila.enviar(ident, caminho, nome)
        _esperar(lambda: fila.estatisticas()["em_andamento"] == 1, limite=30)
        with pytest.raises(FilaCheia) as cedo:
            fila.reservar()
        agora[0] += 60.0  # the running job stalls for a minute
        with pytest.raises(FilaCheia) as tarde:
            fila.reservar()
        assert cedo.value.retry_after <= 15
        assert tarde.value.retry_after >= 60
    finally:
        liberar.set()
        fila.fechar()


# -- the real service, its readers killed -----------------------------------------------------


def _filhos(pid: int) -> list[int]:
    filhos = []
    for entrada in os.listdir("/proc"):
        if entrada.isdigit():
            try:
                with open(f"/proc/{entrada}/stat", "rb") as f:
                    campos = f.read().rsplit(b")", 1)[1].split()
            except OSError:
                continue
            if int(campos[1]) == pid:
                filhos.append(int(entrada))
    return filhos


def _leitores(pid: int) -> list[int]:
    leitores = []
    for filho in _filhos(pid):
        try:
            with open(f"/proc/{filho}/cmdline", "rb") as f:
                if b"scrivane.isolation" in f.read():
                    leitores.append(filho)
        except OSError:
            pass
    return leitores


def _lendo(pid: int) -> list[int]:
    """The service's readers that are past the first pages of a document (an example contract has a few)."""
    return [p for p in _leitores(pid) if h.paginas_comecadas(p) >= 10]


def _vivo(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            return f.read().rsplit(b")", 1)[1].split()[0] != b"Z"
    except OSError:
        return False


def _servir(env, porta, *extra):
    proc = subprocess.Popen(
        [sys.executable, "-m", "scrivane_contract", "servir", "--porta", str(porta), "--trabalhadores", "2",
         "--registro", env["SCRIVANE_TESTE_REGISTRO"], "--sem-assinaturas", *extra],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    base = f"http://127.0.0.1:{porta}"
    esperar_servico(base, proc)
    return proc, base


def test_a_killed_reader_costs_one_job_and_a_killed_service_leaves_nothing(locais, contratos, tmp_path):
    from test_web_api import _porta_livre

    llm, registro = locais
    temporaria = tmp_path / "tmp"
    temporaria.mkdir()
    env = dict(os.environ, OPENAI_API_KEY="sk-test", OPENAI_BASE_URL=llm.base_url, TMPDIR=str(temporaria),
               NO_PROXY="127.0.0.1,localhost", SCRIVANE_LIMITE_PAGINAS="1000000",
               SCRIVANE_TESTE_REGISTRO=registro.url)
    env.pop("SCRIVANE_API_TOKEN", None)
    lenta = h.arvore_repetida(200_000)  # a minute of reading: time enough to kill its reader
    porta = _porta_livre()
    proc, base = _servir(env, porta)
    try:
        with httpx.Client(base_url=base, timeout=30) as cliente:
            # 1. The reader dies mid-read: that job fails, naming the file; the next one is answered.
            r = enviar(cliente, lenta, nome="lenta.pdf")
            _esperar(lambda: cliente.get(r.json()["url"]).json()["estado"] == "em_andamento")
            (leitor,) = _esperar(lambda: _lendo(proc.pid))  # the busy one, well into the document
            os.kill(leitor, signal.SIGKILL)
            estado = aguardar(cliente, r.json()["id"], limite=60)
            assert estado["estado"] == "falhou" and estado["erro"].endswith(": lenta.pdf")
            assert str(temporaria) not in estado["erro"]
            r = enviar(cliente, contratos["APROVADO"].read_bytes(), nome="ordinario.pdf")
            assert aguardar(cliente, r.json()["id"], limite=60)["resultado"]["resultado_final"] == "APROVADO"

            # 2. The whole service is killed mid-read: its readers follow it.
            r = enviar(cliente, lenta, nome="lenta.pdf")
            _esperar(lambda: cliente.get(r.json()["url"]).json()["estado"] == "em_andamento")
            _esperar(lambda: _lendo(proc.pid))
            leitores = _leitores(proc.pid)
        proc.kill()
        proc.communicate(timeout=20)
        _esperar(lambda: not any(_vivo(p) for p in leitores), limite=20)
        deixados = sorted(p.name.split("-")[1] for p in temporaria.iterdir())
        assert deixados == ["leitura", "web"]  # what a crash leaves, until the next start

        # 3. The next start sweeps what the dead one left; a clean stop leaves nothing.  (Without the
        # history: the interrupted job, kept there, would be read again for a minute.)
        proc, base = _servir(env, porta, "--sem-historico")
        _esperar(lambda: not any(str(proc.pid) not in p.name for p in temporaria.iterdir()), limite=20)
    finally:
        if proc.poll() is None:
            proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=30)
    assert list(temporaria.iterdir()) == []


@pytest.mark.parametrize("media, decorridos, na_fila, trabalhadores, esperado", [
    (5.0, [], 0, 2, 3),  # a free worker: about half the usual duration
    (0.3, [60.0, 61.0], 0, 2, 61),  # both stalled for a minute: expect another minute
    (0.3, [60.0, 0.1], 0, 2, 1),  # one about to finish
    (2.0, [1.0], 10, 1, 23),  # a queue ahead
])
def test_the_wait_estimate_follows_the_running_and_queued_work(media, decorridos, na_fila, trabalhadores,
                                                                esperado):
    from scrivane_contract.verificacao import espera_estimada

    assert espera_estimada(media, decorridos, na_fila, trabalhadores) == esperado
