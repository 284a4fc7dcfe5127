"""The web service's queue through real processes: ``servir`` on SQLite restarted (even killed)
keeps its results and verifies the uploads it had accepted; three ``trabalhador`` processes share
procrastinate's queue on one PostgreSQL, one of them killed mid-job, and every contract is verified
and stored exactly once; a contract that keeps killing its worker fails after three attempts; the
results the API returns never show a server path, whichever queue ran the verification."""

from __future__ import annotations

import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import httpx
import pytest
import sqlalchemy as sa

from scrivane_contract.historico import Historico
from scrivane_contract.historico.banco import envios, verificacoes
from web_helpers import escrever_contratos, exemplos, servidores_locais
from web_helpers import encerrar as _encerrar
from web_helpers import esperar as _esperar
from web_helpers import porta_livre as _porta

RAIZ = Path(__file__).resolve().parent.parent
TAREFA = "scrivane.verificar"


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

    def pronto():
        if proc.poll() is not None:
            raise AssertionError(f"servir saiu ({proc.returncode}): {log.read_text(errors='replace')[-2000:]}")
        try:
            return httpx.get(url + "/saude", timeout=1).status_code == 200
        except httpx.TransportError:
            return False

    try:
        _esperar(pronto, 60, "servir iniciar", log)
    except AssertionError:
        proc.kill()
        raise
    return proc, url


def _enviar(url: str, pdf: Path, nome: str) -> str:
    r = httpx.post(url + "/api/verificacoes", files={"arquivo": (nome, pdf.read_bytes(), "application/pdf")},
                   timeout=30)
    assert r.status_code == 202, r.text
    return r.json()["id"]


def _aguardar(url: str, ident: str, limite: float = 120.0) -> dict:
    ultimo: dict = {}

    def terminou():
        nonlocal ultimo
        ultimo = httpx.get(f"{url}/api/verificacoes/{ident}", timeout=10).json()
        return ultimo if ultimo["estado"] in ("concluida", "falhou") else None

    try:
        return _esperar(terminou, limite, f"a verificação {ident} terminar")
    except AssertionError as exc:
        raise AssertionError(f"{exc}; último estado: {ultimo}") from None


def _sem_tempos(d: dict) -> dict:
    # The queue's own times (queued, started) belong to the run that verified it.
    return {k: v for k, v in d.items() if k not in ("criada_em", "iniciada_em")}


def test_a_restarted_servir_keeps_its_results_and_verifies_the_uploads_it_had_accepted(tmp_path):
    banco_registro = tmp_path / "registro.sqlite3"
    historico = tmp_path / "historico.sqlite3"
    env = _ambiente(SCRIVANE_HISTORICO=str(historico))
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

    # A model that never answers in time: the upload is accepted, then the service dies before verifying it.
    with servidores_locais(delay=600) as (llm, _registro):
        lento = _ambiente(SCRIVANE_HISTORICO=str(historico), OPENAI_API_KEY="sk-teste", OPENAI_BASE_URL=llm.base_url)
        proc, url = _servir(["--provedor", "openai", "--registro", f"sqlite:{banco_registro}", "--sem-assinaturas"],
                            lento, log)
        try:
            assert _sem_tempos(httpx.get(f"{url}/api/verificacoes/{aprovado}").json()) == _sem_tempos(antes)
            reprovado = _enviar(url, contratos["REPROVADO"], "reprovado.pdf")
        finally:
            proc.kill()
            proc.wait()
    h = Historico(str(historico))
    try:
        with h.engine.connect() as con:  # accepted means stored: the 202 came after the upload was in the history
            assert con.execute(sa.select(envios.c.arquivo).where(envios.c.id == reprovado)).scalar() == "reprovado.pdf"
            assert con.execute(sa.select(verificacoes.c.id).where(verificacoes.c.id == reprovado)).first() is None
    finally:
        h.fechar()

    proc, url = _servir(opcoes, env, log)
    try:
        depois = _aguardar(url, reprovado)  # picked up again at start
        assert (depois["estado"], depois["veredito"], depois["arquivo"]) == ("concluida", "REPROVADO", "reprovado.pdf")
        assert _sem_tempos(httpx.get(f"{url}/api/verificacoes/{aprovado}").json()) == _sem_tempos(antes)
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
    h = Historico(str(historico))
    try:
        with h.engine.connect() as con:
            assert con.execute(sa.select(sa.func.count()).select_from(envios)).scalar_one() == 0  # uploads deleted
    finally:
        h.fechar()
    # One machine, one queue: workers of their own need PostgreSQL.
    for comando in (["servir", "--sem-trabalhadores", *opcoes], ["trabalhador", *opcoes]):
        r = subprocess.run([sys.executable, "-m", "scrivane_contract", *map(str, comando)], env=env,
                           capture_output=True, text=True, timeout=120)
        assert r.returncode == 3 and "PostgreSQL" in r.stderr, r.stderr


def _linhas_gravadas(logs: list[Path]) -> dict[str, int]:
    """How many times each job's result was written, from the workers' one line per job."""
    contagem: dict[str, int] = {}
    for log in logs:
        for linha in log.read_text(errors="replace").splitlines():
            m = re.search(r" id=(\S+)$", linha)
            if m and "descartado" not in linha and "nada a fazer" not in linha and ": o trabalhador parou" not in linha:
                contagem[m.group(1)] = contagem.get(m.group(1), 0) + 1
    return contagem


def _doing(h: Historico, ident: str | None = None):
    """(ident, host:pid:n) of a job running, as the worker wrote it, or None."""
    consulta = sa.select(envios.c.id, envios.c.dono).where(envios.c.dono.is_not(None)).where(
        envios.c.tarefa.in_(sa.text("SELECT id FROM procrastinate_jobs WHERE status = 'doing'")))
    if ident is not None:
        consulta = consulta.where(envios.c.id == ident)
    with h.engine.connect() as con:
        return con.execute(consulta.limit(1)).first()


def test_three_workers_on_postgresql_share_the_queue_and_survive_one_killed_mid_job(postgres_url, tmp_path):
    pdfs = escrever_contratos(tmp_path / "contratos")
    with servidores_locais(delay=0.4) as (llm, registro):
        env = _ambiente(OPENAI_API_KEY="sk-teste", OPENAI_BASE_URL=llm.base_url, SCRIVANE_HISTORICO=postgres_url)
        comuns = ["--provedor", "openai", "--registro", registro.url, "--sem-assinaturas"]
        servir, url = _servir([*comuns, "--sem-trabalhadores", "--fila", "50"], env, tmp_path / "servir.log")
        logs = [tmp_path / f"trabalhador{n}.log" for n in range(3)]
        trabalhadores = [_processo(["trabalhador", "--trabalhadores", "1", "--batimento", "2", *comuns], env, log)
                         for log in logs]
        try:
            esperado = {}
            for n in range(4):
                for veredito, pdf in pdfs.items():
                    esperado[_enviar(url, pdf, f"{veredito.lower()}-{n}.pdf")] = veredito
            h = Historico(postgres_url)
            try:
                # Kill -9 the worker of the first job seen running.
                vitima, dono = _esperar(lambda: _doing(h), 60, "um trabalho começar")
                pid = int(dono.split(":")[1])
                morto = next(p for p in trabalhadores if p.pid == pid)
                os.kill(pid, signal.SIGKILL)
                morto.wait(10)

                estados = {i: _aguardar(url, i, 180) for i in esperado}
                assert {i: (e["estado"], e["veredito"]) for i, e in estados.items()} == {
                    i: ("concluida", v) for i, v in esperado.items()}
                with h.engine.connect() as con:
                    feitos = con.execute(sa.select(verificacoes.c.id)).scalars().all()
                    tentativas = dict(con.execute(sa.text(
                        "SELECT args->>'ident', attempts FROM procrastinate_jobs WHERE task_name = :t"),
                        {"t": TAREFA}).all())
                    restos = con.execute(sa.select(sa.func.count()).select_from(envios)).scalar_one()
                assert sorted(feitos) == sorted(esperado) and restos == 0  # none lost, uploads deleted
                # procrastinate counts the runs: the victim's job ran twice (given back once), the others once.
                assert tentativas == {i: 2 if i == vitima else 1 for i in esperado}, "\n".join(
                    l.read_text() for l in logs)
                # Each result written once, by one worker: one line per job in the workers' logs.
                assert _linhas_gravadas(logs) == {i: 1 for i in esperado}
                linha = next(l for log in logs for l in log.read_text().splitlines() if ".pdf: " in l)
                assert re.search(r"\.pdf: (APROVADO|REPROVADO|PENDENTE) · \d+,\d s · [^:]+:\d+:\d+ · id=", linha), linha
            finally:
                h.fechar()
        finally:
            _encerrar(servir)
            # SIGTERM is Ctrl-C: running jobs finish, the private folders go, exit 0.
            _encerrar(*trabalhadores, sinal=signal.SIGTERM)
        assert morto.returncode == -signal.SIGKILL
        assert [p.returncode for p in trabalhadores if p is not morto] == [0, 0]
        for p in trabalhadores:
            if p is not morto:
                assert not list(Path(os.environ.get("TMPDIR", "/tmp")).glob(f"scrivane-trabalho-{p.pid}-*"))


def _iniciadas(h: Historico, ident: str) -> tuple[int, str]:
    """How many times the job of ``ident`` started, and its status."""
    with h.engine.connect() as con:
        linha = con.execute(sa.text(
            "SELECT (SELECT count(*) FROM procrastinate_events e WHERE e.job_id = j.id AND e.type = 'started'), "
            "j.status::text FROM procrastinate_jobs j WHERE j.args->>'ident' = :i"), {"i": ident}).first()
    return (int(linha[0]), linha[1]) if linha else (0, "")


def test_a_contract_that_keeps_killing_its_worker_fails_after_three_attempts(postgres_url, tmp_path):
    from scrivane_contract.historico.tarefas import FilaProcrastinate, interrompida

    pdf = escrever_contratos(tmp_path / "contratos")["APROVADO"]
    h = Historico(postgres_url)
    fila = FilaProcrastinate(h, lambda: None, com_trabalhadores=False)
    ident, caminho = fila.novo_arquivo()
    caminho.write_bytes(pdf.read_bytes())
    fila.reservar()
    fila.enviar(ident, caminho, "mata-trabalhador.pdf")
    # The model never answers: each worker holds the job until it is killed.
    with servidores_locais(delay=600) as (llm, registro):
        env = _ambiente(OPENAI_API_KEY="sk-teste", OPENAI_BASE_URL=llm.base_url, SCRIVANE_HISTORICO=postgres_url)
        comando = ["trabalhador", "--trabalhadores", "1", "--batimento", "0.5", "--provedor", "openai",
                   "--registro", registro.url, "--sem-assinaturas"]
        try:
            for vez in range(1, 4):
                log = tmp_path / f"trabalhador{vez}.log"
                proc = _processo(comando, env, log)
                _esperar(lambda: (_doing(h, ident) or (None, ""))[1].split(":")[1:2] == [str(proc.pid)], 60,
                         f"o trabalhador {vez} pegar o contrato", log)
                assert _iniciadas(h, ident) == (vez, "doing")
                proc.kill()
                proc.wait()
            # The next worker finds it stalled a third time: it fails, never starts a fourth time.
            log = tmp_path / "trabalhador4.log"
            proc = _processo(comando, env, log)
            _esperar(lambda: _iniciadas(h, ident)[1] == "failed" or _iniciadas(h, ident)[0] > 3, 60,
                     "a verificação falhar", log)
            assert _iniciadas(h, ident) == (3, "failed")
            estado = fila.obter(ident)
            assert (estado["estado"], estado["erro"]) == ("falhou", interrompida(3))
            assert "a verificação foi interrompida 3 vezes" in log.read_text()
            # SIGTERM while idle: a clean exit.
            proc.send_signal(signal.SIGTERM)
            assert proc.wait(60) == 0, log.read_text()
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
    # The operator sees it among the failed ones and puts it back in the queue.
    r = subprocess.run([sys.executable, "-m", "scrivane_contract", "fila"], env=env, capture_output=True,
                       text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    assert "falharam: 1" in r.stdout and f"{ident} · mata-trabalhador.pdf · tentativa 3" in r.stdout, r.stdout
    r = subprocess.run([sys.executable, "-m", "scrivane_contract", "fila", "repetir", ident[:6]], env=env,
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0 and ident in r.stdout, r.stderr
    assert _iniciadas(h, ident)[1] == "todo"
    estado = fila.obter(ident)
    assert (estado["estado"], estado["erro"], estado["posicao_fila"]) == ("na_fila", None, 1)
    fila.fechar()
    h.fechar()


@pytest.fixture(params=["memoria", "sqlite", "postgresql"])
def fila_do_servico(request, tmp_path):
    """The web service's queue of each kind (in memory, one machine with SQLite, procrastinate)."""
    if request.param == "memoria":
        return None
    if request.param == "sqlite":
        return Historico(str(tmp_path / "historico.sqlite3"))
    return Historico(request.getfixturevalue("postgres_url"))


def test_a_job_that_ends_while_its_state_is_read_is_reported_with_its_result(postgres_url, tmp_path):
    """The state is read in several statements; the job may end between two of them.  A job seen
    ended must never read as one that ended without storing anything."""
    from scrivane_contract.historico.tarefas import FilaProcrastinate, guardar_uma_vez
    from scrivane_contract.verificacao import Verificacao

    h = Historico(postgres_url)
    fila = FilaProcrastinate(h, lambda: None, com_trabalhadores=False, pasta=str(tmp_path))
    try:
        ident, caminho = fila.novo_arquivo()
        caminho.write_bytes(b"%PDF-1.4\n%%EOF\n")
        fila.enviar(ident, caminho, "c.pdf")
        with h.engine.begin() as con:
            con.execute(sa.text("UPDATE procrastinate_jobs SET status = 'doing' WHERE args->>'ident' = :i"),
                        {"i": ident})
        lidas: list[str] = []

        def terminar_entre_leituras(*_):
            # After the state's second read, the job ends the way a worker ends it: its result stored
            # (the upload removed), then the job marked done.
            lidas.append("x")
            if len(lidas) == 2:
                assert guardar_uma_vez(h, Verificacao(arquivo="c.pdf", id=ident,
                                                      resultado={"resultado_final": "PENDENTE"}))
                with h.engine.begin() as con:
                    con.execute(sa.text("UPDATE procrastinate_jobs SET status = 'succeeded' "
                                        "WHERE args->>'ident' = :i"), {"i": ident})

        sa.event.listen(h.engine, "after_cursor_execute", terminar_entre_leituras)
        try:
            estado = fila.obter(ident)
        finally:
            sa.event.remove(h.engine, "after_cursor_execute", terminar_entre_leituras)
        assert len(lidas) > 2, "the job did not end between the reads"
        assert estado["estado"] == "concluida" and estado["resultado"] == {"resultado_final": "PENDENTE"}, estado
    finally:
        fila.fechar()


@pytest.mark.parametrize("falha", [False, True], ids=["resultado", "erro"])
def test_results_returned_by_the_api_never_show_the_servers_path(fila_do_servico, falha):
    from fastapi.testclient import TestClient

    from scrivane_contract.web import criar_app

    vistos: list[str] = []

    def verificar(caminho: str) -> dict:
        vistos.append(caminho)
        if falha:
            raise RuntimeError(f"não foi possível ler {caminho}")
        return {"resultado_final": "PENDENTE", "justificativa": f"lido de {caminho}",
                "empresas": [{"razao_social_contrato": f"{Path(caminho).parent}/x"}]}

    app = criar_app(lambda: verificar, token=None, conferir_assinaturas=False, historico=fila_do_servico)
    with TestClient(app) as cliente:
        r = cliente.post("/api/verificacoes", files={"arquivo": ("meu contrato.pdf", b"%PDF-1.4\n%%EOF\n",
                                                                 "application/pdf")})
        assert r.status_code == 202, r.text
        url = r.json()["url"]
        estado = _esperar(lambda: (lambda d: d if d["estado"] in ("concluida", "falhou") else None)(
            cliente.get(url).json()), 60, "a verificação terminar")
    assert vistos and Path(vistos[0]).name != "meu contrato.pdf"  # the server had its own path
    texto = str(estado)
    assert Path(vistos[0]).name not in texto and str(Path(vistos[0]).parent) not in texto, texto
    if falha:
        assert estado["estado"] == "falhou" and "meu contrato.pdf" in estado["erro"]
    else:
        assert estado["resultado"]["justificativa"] == "lido de meu contrato.pdf"
    if fila_do_servico is not None:
        fila_do_servico.fechar()


def test_the_scheduled_monitoring_runs_once_per_time_across_workers(postgres_url, tmp_path):
    with servidores_locais() as (llm, registro):
        env = _ambiente(OPENAI_API_KEY="sk-teste", OPENAI_BASE_URL=llm.base_url, SCRIVANE_HISTORICO=postgres_url)
        # Every second (the cron's sixth field), on two workers.
        comando = ["trabalhador", "--trabalhadores", "1", "--monitorar", "* * * * * *", "--provedor", "openai",
                   "--registro", registro.url, "--sem-assinaturas"]
        logs = [tmp_path / f"trabalhador{n}.log" for n in range(2)]
        procs = [_processo(comando, env, log) for log in logs]
        h = Historico(postgres_url)
        try:
            def rodadas():
                with h.engine.connect() as con:
                    return con.execute(sa.text(
                        "SELECT (args->>'timestamp')::bigint FROM procrastinate_jobs "
                        "WHERE task_name = 'scrivane.monitorar' AND status = 'succeeded'")).scalars().all()

            _esperar(lambda: len(rodadas()) >= 3 and h.ler_valor("monitorado_em"), 90,
                     "o monitoramento rodar três vezes", logs[0])
            feitas = rodadas()
            assert len(feitas) == len(set(feitas))  # each scheduled time once, whichever worker ran it
            assert "monitoramento: 0 empresa(s) conferida(s)" in "".join(l.read_text() for l in logs)
        finally:
            h.fechar()
            _encerrar(*procs, sinal=signal.SIGTERM)
        assert [p.returncode for p in procs] == [0, 0]
    r = subprocess.run([sys.executable, "-m", "scrivane_contract", "trabalhador", "--monitorar", "todo dia",
                        "--provedor", "local"], env=env, capture_output=True, text=True, timeout=120)
    assert r.returncode == 3 and "--monitorar" in r.stderr, r.stderr
