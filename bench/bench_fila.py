"""The shared queue on PostgreSQL, measured through real processes.

N generated contracts (default 300) sent at once to ``servir --sem-trabalhadores`` on one
PostgreSQL (started here in a temporary folder) and verified by ``trabalhador`` processes
through the local OpenAI-compatible server answering ``--atraso`` seconds late (default 0.5,
the cloud path's shape).  Three runs: 1 worker, 3 workers, and 3 workers with one of them
killed (kill -9) once a third of the contracts are stored.  Reported for each: throughput,
contracts lost (no verification stored, or the wrong verdict), contracts stored twice, and
the throughput ratio 3 vs 1 worker (the baseline is the 1-worker run of the same bench).
Then the queue's own overhead: with idle workers, single uploads one after another, time
from the job being queued to its start (p50, p95).

The claim/lease queue that procrastinate replaced was measured by this same bench just before
it was removed; its figures (``ANTERIOR``) are printed beside today's.

    python bench/bench_fila.py [--n 300] [--atraso 0.5] [--sequenciais 30]

On a 2-core machine one worker verifies about 1.5 contracts a second, so --n 1000 spends some
11 minutes in the 1-worker run alone; the default keeps the whole bench near 10 minutes.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import _common
import httpx
import sqlalchemy as sa
from web_helpers import encerrar as _encerrar
from web_helpers import esperar as _esperar
from web_helpers import porta_livre as _porta

RAIZ = Path(__file__).resolve().parent.parent

# The previous queue (our own claims and leases, workers polling the table every 0.5 s), this
# bench with --n 300 --atraso 0.5 --sequenciais 30 on the 2-core development machine.
ANTERIOR = ("previous claim/lease queue, same bench, 300 contracts: 1 worker 1.70 contracts/s, 3 workers "
            "3.81 contracts/s (ratio 2.2x), 3 with one killed -9 2.57 contracts/s, lost 0, stored twice 0; "
            "queued -> started p50 195.0 ms, p95 325.7 ms")


def _percentil(valores, p):
    ordenados = sorted(valores)
    k = max(0, min(len(ordenados) - 1, round(p / 100 * (len(ordenados) - 1))))
    return ordenados[k]


def _processo(args, env, log):
    return subprocess.Popen([sys.executable, "-m", "scrivane_contract", *map(str, args)], env=env,
                            stdout=open(log, "ab"), stderr=subprocess.STDOUT, cwd=RAIZ)


async def _enviar_todos(base: str, lote):
    # A connection per upload: no race with the server closing an idle kept-alive one.
    limites = httpx.Limits(max_connections=40, max_keepalive_connections=0)
    async with httpx.AsyncClient(base_url=base, timeout=300, limits=limites) as cliente:
        async def um(caminho, nome):
            r = await cliente.post("/api/verificacoes",
                                   files={"arquivo": (nome, caminho.read_bytes(), "application/pdf")})
            assert r.status_code == 202, r.text
            return r.json()["id"]
        return await asyncio.gather(*(um(c, n) for c, n in lote))


def _iniciar(pg, pasta: Path, nome: str, opcoes, env, processos: int, fila: int):
    url_pg = pg.novo_banco()
    env = dict(env, SCRIVANE_HISTORICO=url_pg)
    logs = pasta / nome
    logs.mkdir(parents=True, exist_ok=True)
    porta = _porta()
    # The bench's 40 connections come from one address: the per-address cap would refuse some.
    servir = _processo(["servir", "--porta", porta, "--sem-trabalhadores", "--fila", fila,
                        "--envios-por-cliente", 0, *opcoes],
                       env, logs / "servir.log")
    base = f"http://127.0.0.1:{porta}"

    def pronto():
        try:
            return httpx.get(base + "/saude", timeout=1).status_code == 200
        except httpx.TransportError:
            return servir.poll() is not None and SystemExit(f"servir saiu: {(logs / 'servir.log').read_text()}")

    r = _esperar(pronto, 120, "servir iniciar")
    if isinstance(r, SystemExit):
        raise r
    equipe = [_processo(["trabalhador", "--trabalhadores", 1, *opcoes], env, logs / f"t{n}.log")
              for n in range(processos)]
    # Each worker says on stderr that it is in the queue once it has connected.
    _esperar(lambda: all("na fila de" in (logs / f"t{n}.log").read_text(errors="replace")
                         for n in range(processos)), 120, "os trabalhadores iniciarem")
    return url_pg, base, servir, equipe, logs


def _guardadas(engine) -> dict[str, str]:
    from scrivane_contract.historico.banco import verificacoes

    with engine.connect() as con:
        return {i: json.loads(d).get("veredito") for i, d in
                con.execute(sa.select(verificacoes.c.id, verificacoes.c.dados))}


def _gravacoes(logs: Path) -> dict[str, int]:
    """How many times each job's result was written to the history: the workers write one line
    per job, ending with its id; a result not stored says "descartado"."""
    contagem: dict[str, int] = {}
    for log in logs.glob("t*.log"):
        for linha in log.read_text(errors="replace").splitlines():
            if ".pdf: " in linha and " id=" in linha and "descartado" not in linha:
                ident = linha.rsplit(" id=", 1)[1].strip()
                contagem[ident] = contagem.get(ident, 0) + 1
    return contagem


def _cenario(pg, pasta, nome, lote, esperado, opcoes, env, processos: int, matar: bool) -> dict:
    from scrivane_contract.historico import Historico

    url_pg, base, servir, equipe, logs = _iniciar(pg, pasta, nome, opcoes, env, processos, len(lote) + 10)
    h = Historico(url_pg)
    morto = None
    try:
        t0 = time.perf_counter()
        ids = asyncio.run(_enviar_todos(base, lote))
        nomes = dict(zip(ids, (n for _, n in lote)))
        fim = time.monotonic() + 3600
        while time.monotonic() < fim:
            feitos = len(_guardadas(h.engine))
            if matar and morto is None and feitos >= len(lote) // 3:
                morto = equipe[0].pid  # a full queue: it holds a job
                os.kill(morto, signal.SIGKILL)
            if feitos >= len(lote):
                break
            time.sleep(0.1)
        total = time.perf_counter() - t0
        guardadas = _guardadas(h.engine)
        gravacoes = _gravacoes(logs)
    finally:
        h.fechar()
        _encerrar(servir, *equipe)
    certos = sum(1 for i in ids if guardadas.get(i) == esperado[nomes[i]])
    return {"n": len(lote), "certos": certos, "perdidos": len(lote) - certos,
            "duas_vezes": sum(1 for i in ids if gravacoes.get(i, 0) > 1), "vazao": len(lote) / total,
            "segundos": total, "morto": morto}


def _sobrecarga(pg, pasta, opcoes, env, contrato: Path, n: int) -> list[float]:
    """Seconds from queued to started, one upload at a time to idle workers."""
    from scrivane_contract.historico import Historico

    url_pg, base, servir, equipe, logs = _iniciar(pg, pasta, "sobrecarga", opcoes, env, 3, n + 10)
    h = Historico(url_pg)
    try:
        ids = []
        for k in range(n):
            r = httpx.post(base + "/api/verificacoes", timeout=60,
                           files={"arquivo": (f"c{k}.pdf", contrato.read_bytes(), "application/pdf")})
            ids.append(r.json()["id"])
            _esperar(lambda: ids[-1] in _guardadas(h.engine), 120, "a verificação terminar")
        with h.engine.connect() as con:
            linhas = con.execute(sa.text(
                "SELECT extract(epoch FROM max(e.at) FILTER (WHERE e.type = 'started') "
                "- min(e.at) FILTER (WHERE e.type = 'deferred')) FROM procrastinate_events e "
                "JOIN procrastinate_jobs j ON j.id = e.job_id WHERE j.task_name = 'scrivane.verificar' "
                "GROUP BY j.id")).scalars().all()
        return [float(x) for x in linhas if x is not None]
    finally:
        h.fechar()
        _encerrar(servir, *equipe)


def main(argv=None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=300, help="contracts per run (default 300)")
    ap.add_argument("--atraso", type=float, default=0.5, help="seconds per model answer (default 0.5)")
    ap.add_argument("--sequenciais", type=int, default=30, help="single uploads for the overhead (default 30)")
    args = ap.parse_args(argv)

    from postgres_helpers import ServidorPostgres
    from web_helpers import escrever_contratos, servidores_locais

    pasta = Path(tempfile.mkdtemp(prefix="bench-fila-"))
    try:
        pg = ServidorPostgres().iniciar()
    except RuntimeError as exc:
        print(f"queue on PostgreSQL: skipped ({exc})")
        return
    try:
        env = {k: v for k, v in os.environ.items() if not k.startswith(("OPENAI_", "AZURE_", "SCRIVANE_"))}
        env.update(NO_PROXY="127.0.0.1,localhost", no_proxy="127.0.0.1,localhost", PYTHONUNBUFFERED="1")
        contratos = escrever_contratos(pasta / "contratos")
        vereditos = ("APROVADO", "REPROVADO", "PENDENTE")
        lote = [(contratos[vereditos[i % 3]], f"{vereditos[i % 3].lower()}-{i}.pdf") for i in range(args.n)]
        esperado = {n: n.split("-")[0].upper() for _, n in lote}
        with servidores_locais(delay=args.atraso) as (llm, registro):
            opcoes = ["--provedor", "openai", "--registro", registro.url, "--sem-assinaturas"]
            env.update(OPENAI_API_KEY="sk-bench", OPENAI_BASE_URL=llm.base_url)
            print(f"queue on PostgreSQL: {args.n} contracts at once, model answers {args.atraso:g} s late")
            um = None
            for processos, matar in ((1, False), (3, False), (3, True)):
                nome = f"{processos}{'-morto' if matar else ''}"
                r = _cenario(pg, pasta, nome, lote, esperado, opcoes, env, processos, matar)
                rotulo = f"{processos} worker(s)" + (", one killed -9 mid-run" if matar else "")
                print(f"  {rotulo:<34} {r['vazao']:6.2f} contracts/s ({r['segundos']:.1f} s)  "
                      f"lost {r['perdidos']}  stored twice {r['duas_vezes']}")
                if um is None:
                    um = r
                elif not matar:
                    _common.report("queue: time per contract, 1 vs 3 workers", 1 / um["vazao"], 1 / r["vazao"],
                                   target=2.7)
            espera = _sobrecarga(pg, pasta, opcoes, env, contratos["APROVADO"], args.sequenciais)
            p50 = statistics.median(espera)
            print(f"  queued -> started, idle workers, {len(espera)} jobs: p50 {p50 * 1e3:.1f} ms, "
                  f"p95 {_percentil(espera, 95) * 1e3:.1f} ms (target p50 < 50 ms: "
                  f"{'met' if p50 < 0.05 else 'NOT met'})")
            print(f"  {ANTERIOR}")
    finally:
        pg.parar()


if __name__ == "__main__":
    main(sys.argv[1:])
