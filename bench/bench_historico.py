"""History, monitoring and the shared queue, measured.

1. Queue: N uploads (default 200) sent at once to ``servir --sem-trabalhadores`` on one
   PostgreSQL (started here in a temporary folder), verified by 1 and by 3 ``trabalhador``
   processes: the example contracts with the local provider, and generated contracts through
   the local model server answering ``--atraso`` seconds late (the cloud path).  Reported:
   throughput, p50/p95 time from upload to result, every job done exactly once, and, with one
   worker killed (kill -9) mid-run, none lost.  Baseline in the same run: 1 worker.
2. History: ``--verificacoes`` (default 100,000) stored verifications on SQLite, listed
   filtered by CNPJ (target < 50 ms).  Baseline in the same run: the same question answered
   by scanning the stored JSON (what a store without the company index would do).
3. Monitoring: ``--empresas`` (default 10,000) verified companies checked again against the
   local registry (target < 10 s).  Baseline in the same run: the same lookups one at a time.

    python bench/bench_historico.py [fila] [listagem] [monitoramento] [--n 200] [--atraso 0.5]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import random
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

from scrivane_contract.historico import Historico
from scrivane_contract.historico.banco import trabalhos, verificacoes
from scrivane_contract.verificacao import Verificacao

RAIZ = Path(__file__).resolve().parent.parent


def _percentil(valores, p):
    ordenados = sorted(valores)
    k = max(0, min(len(ordenados) - 1, round(p / 100 * (len(ordenados) - 1))))
    return ordenados[k]


def _cnpj(base: int) -> str:
    """A CNPJ with valid check digits from a 12-digit base."""
    d = [int(c) for c in f"{base:012d}"]
    for pesos in ([5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2], [6, 5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2]):
        r = sum(a * b for a, b in zip(d, pesos)) % 11
        d.append(0 if r < 2 else 11 - r)
    return "".join(map(str, d))


# -- 1. the shared queue -------------------------------------------------------------------


def _processo(args, env, log):
    return subprocess.Popen([sys.executable, "-m", "scrivane_contract", *map(str, args)], env=env,
                            stdout=open(log, "ab"), stderr=subprocess.STDOUT, cwd=RAIZ)


async def _enviar_todos(base: str, lote):
    limites = httpx.Limits(max_connections=50)
    async with httpx.AsyncClient(base_url=base, timeout=120, limits=limites) as cliente:
        async def um(caminho, nome):
            r = await cliente.post("/api/verificacoes",
                                   files={"arquivo": (nome, caminho.read_bytes(), "application/pdf")})
            assert r.status_code == 202, r.text
            return r.json()["id"]
        return await asyncio.gather(*(um(c, n) for c, n in lote))


def _cenario(pg, pasta: Path, nome: str, lote, esperado_por_nome, opcoes, env, processos: int, matar: bool,
             por_processo: int) -> dict:
    import socket

    url_pg = pg.novo_banco()
    env = dict(env, SCRIVANE_HISTORICO=url_pg)
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        porta = s.getsockname()[1]
    logs = pasta / f"{nome}-{processos}-{'k' if matar else 'n'}"
    logs.mkdir(parents=True, exist_ok=True)
    servir = _processo(["servir", "--porta", porta, "--sem-trabalhadores", "--fila", len(lote) + 10, *opcoes],
                       env, logs / "servir.log")
    base = f"http://127.0.0.1:{porta}"
    for _ in range(600):
        try:
            if httpx.get(base + "/saude", timeout=1).status_code == 200:
                break
        except httpx.TransportError:
            time.sleep(0.1)
    equipe = [_processo(["trabalhador", "--trabalhadores", por_processo, "--reserva", "5", *opcoes], env,
                        logs / f"t{n}.log") for n in range(processos)]
    h = Historico(url_pg)
    morto = None
    try:
        time.sleep(3.0)  # the workers import the engine and connect
        asyncio.run(_enviar_todos(base, lote))
        fim = time.monotonic() + 1800
        while time.monotonic() < fim:
            with h.engine.connect() as con:
                feitos = con.execute(sa.select(sa.func.count()).select_from(trabalhos)
                                     .where(trabalhos.c.estado.in_(("concluida", "falhou")))).scalar_one()
                if matar and morto is None and feitos >= len(lote) // 5:
                    linha = con.execute(sa.select(trabalhos.c.dono).where(trabalhos.c.estado == "em_andamento")
                                        .where(trabalhos.c.dono.is_not(None)).limit(1)).first()
                    if linha is not None:
                        morto = int(linha.dono.split(":")[1])
                        os.kill(morto, signal.SIGKILL)
            if feitos >= len(lote):
                break
            time.sleep(0.2)
        with h.engine.connect() as con:
            jobs = con.execute(sa.select(trabalhos.c.id, trabalhos.c.arquivo, trabalhos.c.estado,
                                         trabalhos.c.criada_em, trabalhos.c.terminada_em,
                                         trabalhos.c.tentativas)).all()
            registros = {i: json.loads(d) for i, d in con.execute(sa.select(verificacoes.c.id, verificacoes.c.dados))}
    finally:
        h.fechar()
        for p in [servir, *equipe]:
            if p.poll() is None:
                p.send_signal(signal.SIGINT)
        for p in [servir, *equipe]:
            try:
                p.wait(60)
            except subprocess.TimeoutExpired:
                p.kill()
    concluidos = [j for j in jobs if j.estado == "concluida"]
    certos = sum(1 for j in concluidos if registros.get(j.id, {}).get("veredito") == esperado_por_nome[j.arquivo])
    tempos = [j.terminada_em - j.criada_em for j in concluidos]
    inicio = min(j.criada_em for j in jobs)
    ultimo = max((j.terminada_em for j in concluidos), default=inicio)
    return {"n": len(lote), "concluidos": len(concluidos), "certos": certos, "registros": len(registros),
            "retomados": sum(1 for j in jobs if j.tentativas > 1), "morto": morto,
            "vazao": len(concluidos) / max(ultimo - inicio, 1e-9), "p50": statistics.median(tempos) if tempos else 0,
            "p95": _percentil(tempos, 95) if tempos else 0, "segundos": ultimo - inicio}


def fila(args) -> None:
    from postgres_helpers import ServidorPostgres
    from web_helpers import escrever_contratos, exemplos, servidores_locais

    pasta = Path(tempfile.mkdtemp(prefix="bench-fila-"))
    try:
        pg = ServidorPostgres().iniciar()
    except RuntimeError as exc:
        print(f"queue on PostgreSQL: skipped ({exc})")
        return
    try:
        env_base = {k: v for k, v in os.environ.items() if not k.startswith(("OPENAI_", "AZURE_", "SCRIVANE_"))}
        env_base.update(NO_PROXY="127.0.0.1,localhost", no_proxy="127.0.0.1,localhost", PYTHONUNBUFFERED="1")

        # Local provider, the examples, the local registry built from their JSONL.
        banco = pasta / "registro.sqlite3"
        subprocess.run([sys.executable, "-m", "scrivane_contract", "registro", "importar", "--banco", banco,
                        "--jsonl", RAIZ / "exemplos" / "registro.jsonl"], env=env_base, check=True,
                       capture_output=True)
        caminhos = exemplos()
        lote = [(caminhos[v], f"{v.lower()}-{i}.pdf") for i, v in
                zip(range(args.n), [("APROVADO", "REPROVADO", "PENDENTE")[i % 3] for i in range(args.n)])]
        esperado = {n: n.split("-")[0].upper() for _, n in lote}
        caminhos_local = {"opcoes": ["--provedor", "local", "--registro", f"sqlite:{banco}", "--sem-assinaturas"],
                          "env": env_base}
        _rodar_cenarios("local provider", pg, pasta, lote, esperado, caminhos_local, args)

        contratos = escrever_contratos(pasta / "contratos")
        lote = [(contratos[v], f"{v.lower()}-{i}.pdf") for i, v in
                zip(range(args.n), [("APROVADO", "REPROVADO", "PENDENTE")[i % 3] for i in range(args.n)])]
        esperado = {n: n.split("-")[0].upper() for _, n in lote}
        with servidores_locais(delay=args.atraso) as (llm, registro):
            nuvem = {"opcoes": ["--provedor", "openai", "--registro", registro.url, "--sem-assinaturas"],
                     "env": dict(env_base, OPENAI_API_KEY="sk-bench", OPENAI_BASE_URL=llm.base_url)}
            _rodar_cenarios(f"model server {args.atraso:g} s per answer", pg, pasta, lote, esperado, nuvem, args)
    finally:
        pg.parar()


def _rodar_cenarios(titulo, pg, pasta, lote, esperado, caminho, args) -> None:
    print(f"queue on PostgreSQL, {len(lote)} uploads at once, {titulo}, {args.por_processo} threads per worker:")
    um = None
    for processos, matar in ((1, False), (3, False), (3, True)):
        r = _cenario(pg, pasta, titulo.split()[0], lote, esperado, caminho["opcoes"], caminho["env"], processos,
                     matar, args.por_processo)
        exatos = r["registros"] == r["concluidos"] == r["n"]
        rotulo = f"{processos} worker process(es)" + (", one killed -9 mid-run" if matar else "")
        print(f"  {rotulo:<42} {r['vazao']:6.2f} contracts/s  p50 {r['p50']:6.2f} s  p95 {r['p95']:6.2f} s  "
              f"done {r['concluidos']}/{r['n']} (expected verdict {r['certos']}), verifications stored "
              f"{r['registros']}, exactly once: {'yes' if exatos else 'NO'}, lost {r['n'] - r['concluidos']}, "
              f"taken up again {r['retomados']}")
        if um is None:
            um = r
        elif not matar:
            _common.report(f"queue ({titulo}): time per contract, 1 vs 3 workers", 1 / um["vazao"], 1 / r["vazao"])


# -- 2. listing the history -------------------------------------------------------------------


def _verificacao_sintetica(i: int, cnpjs: list[str], quando: str) -> Verificacao:
    a, b = cnpjs[i % len(cnpjs)], cnpjs[(i * 7 + 3) % len(cnpjs)]

    def empresa(numero: str) -> dict:
        return {"cnpj": numero, "razao_social_receita": f"EMPRESA {numero} LTDA", "cnpj_encontrado": True,
                "empresa_ativa": True, "socios": [{"nome": f"SOCIO {numero}", "qualificacao": "Sócio-Administrador"}],
                "campos": [{"campo": "Situação Cadastral", "valor_receita": "ATIVA"},
                           {"campo": "Endereço", "valor_receita": f"RUA {numero} 100 CENTRO SAO PAULO SP"}]}

    resultado = {"resultado_final": "APROVADO", "justificativa": "ok", "empresas": [empresa(a), empresa(b)],
                 "assinaturas": [{"nome_signatario": f"SOCIO {a}", "cnpj_empresa": a}],
                 "campos_aprovados": [], "campos_reprovados": [], "campos_pendentes": []}
    return Verificacao(arquivo=f"/contratos/contrato-{i}.pdf", sha256=f"{i:064x}", verificado_em=quando,
                       provedor="local", resultado=resultado, veredito="APROVADO", id=f"v{i:011d}")


def listagem(args) -> None:
    pasta = Path(tempfile.mkdtemp(prefix="bench-historico-"))
    h = Historico(str(pasta / "h.sqlite3"))
    cnpjs = [_cnpj(10_000_000_0000 + k * 10_000 + 1) for k in range(20_000)]
    t0 = time.perf_counter()
    lote = []
    for i in range(args.verificacoes):
        dia = 1 + (i * 28) // args.verificacoes
        lote.append(_verificacao_sintetica(i, cnpjs, f"2026-11-{dia:02d}T10:{i % 60:02d}:00+00:00"))
        if len(lote) == 10_000:
            h.guardar_lote(lote)
            lote = []
    if lote:
        h.guardar_lote(lote)
    carga = time.perf_counter() - t0
    alvos = random.Random(7).sample(cnpjs[:min(len(cnpjs), args.verificacoes)], 20)
    it = iter(alvos * 100)

    def ours():
        linhas = h.listar(cnpj=next(it), limite=None)
        assert linhas

    def baseline():
        alvo = next(it)
        with h.engine.connect() as con:
            ids = con.execute(sa.select(verificacoes.c.id).where(verificacoes.c.dados.like(f'%"cnpj": "{alvo}"%'))
                              .order_by(verificacoes.c.verificado_em.desc())).all()
        assert ids

    nosso = _common.best_of(ours, repeat=7, number=3)
    base = _common.best_of(baseline, repeat=3, number=1)
    print(f"history on SQLite: {h.contar():,} verifications stored in {carga:.1f} s "
          f"({(pasta / 'h.sqlite3').stat().st_size / 2**20:.0f} MB)")
    print(f"  listing filtered by CNPJ: {nosso * 1e3:.2f} ms (target < 50 ms: {'met' if nosso < 0.05 else 'NOT met'})")
    _common.report("history: list by CNPJ (JSON scan vs company index)", base, nosso)
    h.fechar()


# -- 3. monitoring --------------------------------------------------------------------------------


def monitoramento(args) -> None:
    from scrivane_contract.historico.monitor import monitorar
    from scrivane_contract.registro import usar_registro

    pasta = Path(tempfile.mkdtemp(prefix="bench-monitor-"))
    modelo = json.loads((RAIZ / "exemplos" / "registro.jsonl").read_text(encoding="utf-8").splitlines()[0])
    cnpjs = [_cnpj(20_000_000_0000 + k * 1_000 + 1) for k in range(args.empresas)]
    jsonl = pasta / "registro.jsonl"
    with open(jsonl, "w", encoding="utf-8") as f:
        for numero in cnpjs:
            f.write(json.dumps(dict(modelo, cnpj=numero, razao_social=f"EMPRESA {numero} LTDA"), ensure_ascii=False) + "\n")
    banco = pasta / "registro.sqlite3"
    env = {k: v for k, v in os.environ.items() if not k.startswith("SCRIVANE_")}
    env["SCRIVANE_HISTORICO"] = str(pasta / "nenhum.sqlite3")
    subprocess.run([sys.executable, "-m", "scrivane_contract", "registro", "importar", "--banco", banco, "--jsonl",
                    jsonl], check=True, capture_output=True, env=env)

    h = Historico(str(pasta / "h.sqlite3"))
    with usar_registro(f"sqlite:{banco}"):
        from scrivane_contract import cnpj as modulo

        dados = modulo.consultar_cnpj(cnpjs[0])
        endereco = modulo.comparar_enderecos("-", dados)[2]
        socio = dados["socios"][0]
        lote = []
        for i, numero in enumerate(cnpjs):
            empresa = {"cnpj": numero, "razao_social_receita": f"EMPRESA {numero} LTDA", "cnpj_encontrado": True,
                       "socios": dados["socios"],
                       "campos": [{"campo": "Situação Cadastral", "valor_receita": "ATIVA"},
                                  {"campo": "Endereço", "valor_receita": endereco}]}
            resultado = {"resultado_final": "APROVADO", "empresas": [empresa],
                         "assinaturas": [{"nome_signatario": socio["nome"], "cnpj_empresa": numero}]}
            lote.append(Verificacao(arquivo=f"c{i}.pdf", verificado_em="2026-11-01T10:00:00+00:00",
                                    resultado=resultado, veredito="APROVADO", id=f"m{i:011d}"))
        h.guardar_lote(lote)
        t0 = time.perf_counter()
        r = monitorar(h)
        nosso = time.perf_counter() - t0
        t0 = time.perf_counter()
        monitorar(h, paralelo=1, guardar=False)
        base = time.perf_counter() - t0
    print(f"monitoring {r.monitoradas:,} companies against the local registry: {nosso:.2f} s "
          f"(target < 10 s: {'met' if nosso < 10 else 'NOT met'}), {len(r.mudancas)} changes, "
          f"{len(r.nao_consultadas)} not looked up")
    _common.report(f"monitoring: {r.monitoradas:,} companies (one at a time vs 8 threads)", base, nosso)
    h.fechar()


def main(argv=None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("partes", nargs="*", help="fila, listagem, monitoramento (default: all)")
    ap.add_argument("--n", type=int, default=200, help="uploads per queue run (default 200)")
    ap.add_argument("--atraso", type=float, default=0.5, help="seconds per model answer on the cloud path")
    ap.add_argument("--por-processo", type=int, default=4, help="verification threads per worker process")
    ap.add_argument("--verificacoes", type=int, default=100_000)
    ap.add_argument("--empresas", type=int, default=10_000)
    args = ap.parse_args(argv)
    partes = args.partes or ["listagem", "monitoramento", "fila"]
    if set(partes) - {"fila", "listagem", "monitoramento"}:
        ap.error("partes: fila, listagem, monitoramento")
    for parte in partes:
        {"fila": fila, "listagem": listagem, "monitoramento": monitoramento}[parte](args)
        print()


if __name__ == "__main__":
    main(sys.argv[1:] if sys.argv[0].endswith("bench_historico.py") else [])
