"""Web service under load: N contract uploads sent at once to ``scrivane-contract servir``.

The service runs as its own process (the command line, with ``--registro``).
By default it verifies the example contracts of exemplos/ with the local
provider against the local registry server loaded with their data; with
``--modelo`` it verifies three generated contracts through the local
OpenAI-compatible server instead (each answer ``--atraso`` seconds late).  Reported: every upload completed (none
lost, verdicts as expected), no temporary file left, throughput, p50 / p95
time from upload to result, and the page's first-load weight.  Baseline in
the same run: the same contracts verified one after another with the library.

    python bench/bench_web.py [--n 50] [--trabalhadores 4] [--modelo [--atraso 0.2]]
"""

from __future__ import annotations

import argparse
import asyncio
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import _common  # noqa: F401  (puts tests/ on the path)
import httpx
from web_helpers import escrever_contratos, exemplos, registro_exemplos, servidores_locais

from scrivane_contract.checker import ContractChecker


def _porta_livre() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _percentil(valores, p):
    ordenados = sorted(valores)
    k = max(0, min(len(ordenados) - 1, round(p / 100 * (len(ordenados) - 1))))
    return ordenados[k]


async def _uma(cliente, caminho: Path, esperado: str):
    inicio = time.perf_counter()
    r = await cliente.post("/api/verificacoes", files={"arquivo": (caminho.name, caminho.read_bytes(), "application/pdf")})
    if r.status_code != 202:
        return esperado, f"HTTP {r.status_code}", time.perf_counter() - inicio
    url = r.json()["url"]
    while True:
        estado = (await cliente.get(url)).json()
        if estado["estado"] == "concluida":
            return esperado, estado["resultado"]["resultado_final"], time.perf_counter() - inicio
        if estado["estado"] == "falhou":
            return esperado, "falhou: " + str(estado["erro"]), time.perf_counter() - inicio
        await asyncio.sleep(0.25)  # a client polling four times a second


async def _todas(base: str, lote):
    limites = httpx.Limits(max_connections=len(lote) + 5)
    async with httpx.AsyncClient(base_url=base, timeout=120, limits=limites) as cliente:
        return await asyncio.gather(*(_uma(cliente, c, v) for c, v in lote))


def _peso_pagina(base: str) -> int:
    with httpx.Client(base_url=base) as cliente:
        pagina = cliente.get("/")
        recursos = re.findall(r'(?:href|src)="(/static/[^"]+)"', pagina.text)
        return len(pagina.content) + sum(len(cliente.get(u).content) for u in recursos)


def main(argv=None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=50)
    ap.add_argument("--trabalhadores", type=int, default=4)
    ap.add_argument("--modelo", action="store_true", help="generated contracts through the local model server")
    ap.add_argument("--atraso", type=float, default=0.2, help="seconds per model answer (with --modelo)")
    args = ap.parse_args(argv)

    pasta = Path(tempfile.mkdtemp(prefix="bench-web-"))
    if args.modelo:
        contratos = escrever_contratos(pasta / "contratos")
        servidores = servidores_locais(delay=args.atraso)
        provedor = []
    else:
        contratos = exemplos()
        servidores = registro_exemplos()
        provedor = ["--provedor", "local"]
    vereditos = list(contratos)
    lote = [(contratos[vereditos[i % 3]], vereditos[i % 3]) for i in range(args.n)]

    with servidores as ativos:
        registro = ativos[1] if args.modelo else ativos
        # Baseline: the library, one contract after another.
        chk = (ContractChecker(openai_api_key="sk-bench", verbose=False) if args.modelo
               else ContractChecker(provider="local", verbose=False))
        t0 = time.perf_counter()
        for caminho, _ in lote[: min(len(lote), 12)]:
            chk.verificar(str(caminho))
        sequencial = (time.perf_counter() - t0) / min(len(lote), 12)

        tmp = pasta / "tmp"
        tmp.mkdir()
        porta = _porta_livre()
        env = dict(os.environ, OPENAI_API_KEY="sk-bench", TMPDIR=str(tmp), NO_PROXY="127.0.0.1,localhost")
        env.pop("SCRIVANE_API_TOKEN", None)
        proc = subprocess.Popen(
            [sys.executable, "-m", "scrivane_contract", "servir", "--porta", str(porta),
             "--trabalhadores", str(args.trabalhadores), "--registro", registro.url, *provedor],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        base = f"http://127.0.0.1:{porta}"
        try:
            for _ in range(400):
                try:
                    if httpx.get(base + "/saude", timeout=1).status_code == 200:
                        break
                except httpx.TransportError:
                    time.sleep(0.05)
            peso = _peso_pagina(base)
            t0 = time.perf_counter()
            resultados = asyncio.run(_todas(base, lote))
            total = time.perf_counter() - t0
            restos = [p for d in tmp.glob("scrivane-web-*") for p in d.iterdir()]
        finally:
            proc.send_signal(signal.SIGINT)
            proc.communicate(timeout=30)
        pastas_depois = list(tmp.glob("scrivane-web-*"))

    certos = sum(1 for esperado, obtido, _ in resultados if esperado == obtido)
    tempos = [t for _, _, t in resultados]
    modo = f"model answers {args.atraso:g} s late" if args.modelo else "examples, local provider"
    print(f"web: {args.n} uploads at once, {args.trabalhadores} workers, {modo}")
    print(f"  completed with the expected verdict: {certos}/{args.n}"
          f"{'' if certos == args.n else '  LOST/WRONG: ' + str([o for e, o, _ in resultados if e != o][:5])}")
    print(f"  temporary files left while serving: {len(restos)}; private folders after shutdown: {len(pastas_depois)}")
    print(f"  wall time {total:.2f} s, throughput {args.n / total:.2f} contracts/s")
    print(f"  time to result: p50 {statistics.median(tempos):.2f} s, p95 {_percentil(tempos, 95):.2f} s, "
          f"max {max(tempos):.2f} s")
    print(f"  first page load: {peso} bytes ({peso / 1024:.1f} KB; target < 100 KB: "
          f"{'met' if peso < 100 * 1024 else 'NOT met'})")
    _common.report("web: mean time per contract (sequential library vs service)", sequencial, total / args.n)


if __name__ == "__main__":
    main(sys.argv[1:] if __name__ == "__main__" and sys.argv[0].endswith("bench_web.py") else [])
