"""The web service's queue in the history database, through real processes: ``servir`` restarted
keeps its results and its waiting uploads; three ``trabalhador`` processes share one PostgreSQL
queue, one of them killed mid-job, and every contract is verified exactly once."""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import httpx
import sqlalchemy as sa

from scrivane_contract.historico import Historico
from scrivane_contract.historico.banco import trabalhos, verificacoes
from web_helpers import escrever_contratos, exemplos, servidores_locais

RAIZ = Path(__file__).resolve().parent.parent


def _porta() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _ambiente(**extra: str) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith(("AZURE_", "OPENAI_", "SCRIVANE_"))}
    env.update(NO_PROXY="127.0.0.1,localhost", no_proxy="127.0.0.1,localhost", PYTHONUNBUFFERED="1", **extra)
    return env


def _processo(args: list[str], env: dict[str, str], log: Path) -> subprocess.Popen:
    saida = open(log, "ab")
    return subprocess.Popen([sys.executable, "-m", "scrivane_contract", *map(str, args)], env=env,
                            stdout=saida, stderr=subprocess.STDOUT, cwd=RAIZ)


def _servir(args: list[str], env: dict[str, str], log: Path) -> tuple[subprocess.Popen, str]:
    porta = _porta()
    proc = _processo(["servir", "--porta", porta, *args], env, log)
    url = f"http://127.0.0.1:{porta}"
    for _ in range(300):
        try:
            if httpx.get(url + "/saude", timeout=1).status_code == 200:
                return proc, url
        except httpx.TransportError:
            pass
        if proc.poll() is not None:
            break
        time.sleep(0.1)
    proc.kill()
    raise AssertionError(f"servir não iniciou: {log.read_text(errors='replace')[-2000:]}")


def _enviar(url: str, pdf: Path, nome: str) -> str:
    r = httpx.post(url + "/api/verificacoes", files={"arquivo": (nome, pdf.read_bytes(), "application/pdf")},
                   timeout=30)
    assert r.status_code == 202, r.text
    return r.json()["id"]


def _aguardar(url: str, ident: str, limite: float = 120.0) -> dict:
    fim = time.monotonic() + limite
    while time.monotonic() < fim:
        estado = httpx.get(f"{url}/api/verificacoes/{ident}", timeout=10).json()
        if estado["estado"] in ("concluida", "falhou"):
            return estado
        time.sleep(0.2)
    raise AssertionError(f"a verificação {ident} não terminou: {estado}")


def _encerrar(*procs: subprocess.Popen) -> None:
    for p in procs:
        if p.poll() is None:
            p.send_signal(signal.SIGINT)
    for p in procs:
        try:
            p.wait(30)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def test_a_restarted_servir_keeps_its_results_and_its_waiting_uploads(tmp_path):
    banco_registro = tmp_path / "registro.sqlite3"
    env = _ambiente(SCRIVANE_HISTORICO=str(tmp_path / "historico.sqlite3"))
    r = subprocess.run([sys.executable, "-m", "scrivane_contract", "registro", "importar", "--banco", banco_registro,
                        "--jsonl", RAIZ / "exemplos" / "registro.jsonl"], env=env, capture_output=True)
    assert r.returncode == 0, r.stderr
    opcoes = ["--provedor", "local", "--registro", f"sqlite:{banco_registro}", "--sem-assinaturas"]
    log = tmp_path / "servir.log"
    contratos = exemplos()

    proc, url = _servir(opcoes, env, log)
    try:
        aprovado = _enviar(url, contratos["APROVADO"], "aprovado.pdf")
        antes = _aguardar(url, aprovado)
        assert antes["estado"] == "concluida" and antes["veredito"] == "APROVADO"
    finally:
        proc.kill()  # no goodbye
        proc.wait()

    proc, url = _servir([*opcoes, "--sem-trabalhadores"], env, log)
    try:
        assert httpx.get(f"{url}/api/verificacoes/{aprovado}").json() == antes
        reprovado = _enviar(url, contratos["REPROVADO"], "reprovado.pdf")
        time.sleep(1.0)
        esperando = httpx.get(f"{url}/api/verificacoes/{reprovado}").json()
        assert (esperando["estado"], esperando["posicao_fila"]) == ("na_fila", 1)  # nobody works here
    finally:
        proc.kill()
        proc.wait()

    proc, url = _servir(opcoes, env, log)
    try:
        depois = _aguardar(url, reprovado)  # the upload waited in the database
        assert (depois["estado"], depois["veredito"], depois["arquivo"]) == ("concluida", "REPROVADO", "reprovado.pdf")
        assert httpx.get(f"{url}/api/verificacoes/{aprovado}").json() == antes
        assert antes["verificado_antes"] == []
        lista = httpx.get(f"{url}/api/historico").json()
        assert [v["id"] for v in lista] == [reprovado, aprovado]
        assert httpx.get(f"{url}/api/historico", params={"cnpj": "17.058.649/0001-66"}).json()[0]["id"] == reprovado
        pagina = httpx.get(f"{url}/historico")
        assert pagina.status_code == 200 and "Histórico de verificações" in pagina.text
        de_novo = _aguardar(url, _enviar(url, contratos["APROVADO"], "outra-copia.pdf"))
        assert [(a["id"], a["veredito"]) for a in de_novo["verificado_antes"]] == [(aprovado, "APROVADO")]
    finally:
        _encerrar(proc)
    h = Historico(str(tmp_path / "historico.sqlite3"))
    try:
        with h.engine.connect() as con:
            assert con.execute(sa.select(sa.func.count()).select_from(trabalhos)
                               .where(trabalhos.c.conteudo.is_not(None))).scalar_one() == 0  # uploads deleted
    finally:
        h.fechar()


def test_three_workers_on_postgresql_share_the_queue_and_survive_one_killed_mid_job(postgres_url, tmp_path):
    pdfs = escrever_contratos(tmp_path / "contratos")
    with servidores_locais(delay=0.4) as (llm, registro):
        env = _ambiente(OPENAI_API_KEY="sk-teste", OPENAI_BASE_URL=llm.base_url, SCRIVANE_HISTORICO=postgres_url)
        comuns = ["--provedor", "openai", "--registro", registro.url, "--sem-assinaturas"]
        servir, url = _servir([*comuns, "--sem-trabalhadores", "--fila", "50"], env, tmp_path / "servir.log")
        trabalhadores = [_processo(["trabalhador", "--trabalhadores", "1", "--reserva", "2", *comuns], env,
                                   tmp_path / f"trabalhador{n}.log") for n in range(3)]
        try:
            esperado = {}
            for n in range(4):
                for veredito, pdf in pdfs.items():
                    esperado[_enviar(url, pdf, f"{veredito.lower()}-{n}.pdf")] = veredito
            h = Historico(postgres_url)
            try:
                # Kill -9 the worker of the first job seen running.
                vitima, morto = None, None
                fim = time.monotonic() + 60
                while vitima is None and time.monotonic() < fim:
                    with h.engine.connect() as con:
                        linha = con.execute(sa.select(trabalhos.c.id, trabalhos.c.dono)
                                            .where(trabalhos.c.estado == "em_andamento").limit(1)).first()
                    if linha is not None and linha.dono:
                        pid = int(linha.dono.split(":")[1])
                        morto = next(p for p in trabalhadores if p.pid == pid)
                        os.kill(pid, signal.SIGKILL)
                        vitima = linha.id
                    else:
                        time.sleep(0.05)
                assert vitima is not None, "nenhum trabalho começou"
                morto.wait(10)

                estados = {i: _aguardar(url, i, 180) for i in esperado}
                assert {i: (e["estado"], e["veredito"]) for i, e in estados.items()} == {
                    i: ("concluida", v) for i, v in esperado.items()}
                with h.engine.connect() as con:
                    feitos = con.execute(sa.select(verificacoes.c.id)).scalars().all()
                    tentativas = dict(con.execute(sa.select(trabalhos.c.id, trabalhos.c.tentativas)).all())
                    restos = con.execute(sa.select(sa.func.count()).select_from(trabalhos)
                                         .where(trabalhos.c.conteudo.is_not(None))).scalar_one()
                assert sorted(feitos) == sorted(esperado)  # each job completed once, none lost
                assert tentativas[vitima] == 2 and restos == 0
            finally:
                h.fechar()
        finally:
            _encerrar(servir, *trabalhadores)
        assert all(p.returncode in (0, -signal.SIGKILL) for p in trabalhadores)
