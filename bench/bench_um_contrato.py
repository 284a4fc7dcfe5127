"""The whole command, as a user runs it: one contract, a batch of 20, and --help.

Each measurement starts ``scrivane-contract`` as a process (default options:
history on, digital-signature check on, reader isolated), with the local
provider against a local registry imported from exemplos/registro.jsonl
(``--registro local --offline``: no network), in a throw-away history and cache.
Next to it, in the same run, ``pdftotext`` of the same files: the cost of
merely reading the text.  Printed: wall and CPU time (the process and its
children) of each, median of the repeats, and the ratios.

1. each contract of exemplos/ alone (target: <= 0.5 s wall);
2. a folder of 20 contracts (the demo's, repeated) in one command against the
   first contract alone: the time per contract after the first (target: <= 0.1 s);
3. ``scrivane-contract --help`` against a bare interpreter start (target: <= 150 ms);
4. the web service's own time per text contract, warm (the ``segundos`` of its
   records, after a first verification; target: <= 0.1 s), with the time of an
   in-process ``pdftotext`` call beside it.

    python bench/bench_um_contrato.py [--repeticoes 5]
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import _common  # noqa: F401  (a throw-away history for the commands it starts)

RAIZ = Path(__file__).resolve().parent.parent
EXEMPLOS = RAIZ / "exemplos"
CONTRATOS = sorted(EXEMPLOS.glob("contrato_*.pdf"))
VENV_BIN = Path(sys.executable).parent
CLI = str(VENV_BIN / "scrivane-contract")
LOTE = 20


def _medir(comando: list[str], env: dict[str, str], vezes: int, *, codigos=(0, 1, 2)) -> tuple[float, float]:
    """Median wall and CPU seconds (the process and its children) of ``comando``."""
    paredes, cpus = [], []
    for _ in range(vezes):
        antes = resource.getrusage(resource.RUSAGE_CHILDREN)
        t0 = time.perf_counter()
        r = subprocess.run(comando, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        paredes.append(time.perf_counter() - t0)
        depois = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpus.append(depois.ru_utime - antes.ru_utime + depois.ru_stime - antes.ru_stime)
        if r.returncode not in codigos:
            raise SystemExit(f"{comando[:3]} falhou ({r.returncode}): {r.stderr.decode()[-500:]}")
    return statistics.median(paredes), statistics.median(cpus)


def _linha(rotulo: str, nosso: tuple[float, float], base: tuple[float, float], nome_base: str,
           meta: float | None = None, por: float | None = None) -> None:
    (p, c), (pb, cb) = nosso, base
    valor = por if por is not None else p
    alvo = "" if meta is None else f"  (alvo <= {meta * 1e3:.0f} ms: {'ok' if valor <= meta else 'NÃO'})"
    print(f"{rotulo:<44} parede {p * 1e3:8.1f} ms  CPU {c * 1e3:8.1f} ms | {nome_base} parede {pb * 1e3:7.1f} ms"
          f"  CPU {cb * 1e3:7.1f} ms | razão parede {p / pb:6.1f}x  CPU {c / max(cb, 1e-4):6.1f}x{alvo}")


def _ambiente(pasta: Path) -> dict[str, str]:
    env = dict(os.environ)
    env.update(SCRIVANE_BANCO_REGISTRO=str(pasta / "registro.db"), SCRIVANE_HISTORICO=str(pasta / "historico.sqlite3"),
               XDG_CACHE_HOME=str(pasta / "cache"), NO_PROXY="127.0.0.1,localhost", no_proxy="127.0.0.1,localhost")
    env.pop("SCRIVANE_ISOLAR", None)
    return env


def _porta_livre() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def bench_web(env: dict[str, str], pasta: Path, vezes: int) -> None:
    """The service's own time per contract (``segundos`` of its records), warm."""
    import httpx

    porta = _porta_livre()
    servico = subprocess.Popen([CLI, "servir", "--porta", str(porta), "--provedor", "local", "--registro", "local",
                                "--offline", "--trabalhadores", "1"], env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        base = f"http://127.0.0.1:{porta}"
        limite = time.monotonic() + 60
        while True:
            try:
                httpx.get(base + "/", timeout=1)
                break
            except httpx.HTTPError:
                if servico.poll() is not None or time.monotonic() > limite:
                    raise SystemExit("o serviço web não subiu")
                time.sleep(0.1)
        segundos = []
        with httpx.Client(base_url=base, timeout=60) as cliente:
            for i in range(vezes + 1):
                contrato = CONTRATOS[i % len(CONTRATOS)]
                r = cliente.post("/api/verificacoes",
                                 files={"arquivo": (contrato.name, contrato.read_bytes(), "application/pdf")})
                url = r.json()["url"]
                while (estado := cliente.get(url).json())["estado"] not in ("concluida", "falhou"):
                    time.sleep(0.02)
                if estado["estado"] != "concluida":
                    raise SystemExit(f"verificação falhou no serviço: {estado.get('erro')}")
                if i:  # the first one warms the service
                    segundos.append(float(estado["segundos"]))
    finally:
        servico.terminate()
        try:
            servico.wait(10)
        except subprocess.TimeoutExpired:
            servico.kill()
    leitura = []
    for i in range(vezes):
        t0 = time.perf_counter()
        subprocess.run(["pdftotext", str(CONTRATOS[i % len(CONTRATOS)]), "-"], stdout=subprocess.DEVNULL, check=True)
        leitura.append(time.perf_counter() - t0)
    p = statistics.median(segundos)
    pb = statistics.median(leitura)
    meta = "ok" if p <= 0.1 else "NÃO"
    print(f"{'serviço web, por contrato (aquecido)':<44} {p * 1e3:8.1f} ms | pdftotext {pb * 1e3:7.1f} ms"
          f" | razão {p / pb:6.1f}x  (alvo <= 100 ms: {meta})")


def main(argv: list[str] | None = None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeticoes", type=int, default=5)
    ap.add_argument("--sem-web", action="store_true", help="não mede o serviço web")
    opcoes = ap.parse_args(argv)
    if shutil.which("pdftotext") is None:
        raise SystemExit("pdftotext não encontrado (pacote poppler-utils)")
    n = opcoes.repeticoes
    with tempfile.TemporaryDirectory(prefix="bench-um-contrato-") as nome:
        pasta = Path(nome)
        env = _ambiente(pasta)
        subprocess.run([CLI, "registro", "importar", "--jsonl", str(EXEMPLOS / "registro.jsonl")], env=env,
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        verificar = [CLI, "verificar", "--provedor", "local", "--registro", "local", "--offline"]
        print(f"load average {os.getloadavg()[0]:.1f}; mediana de {n} execuções")
        for contrato in CONTRATOS:
            _linha(f"verificar {contrato.name}", _medir([*verificar, str(contrato)], env, n),
                   _medir(["pdftotext", str(contrato), "-"], env, n), "pdftotext", meta=0.5)

        lote = pasta / "lote"
        lote.mkdir()
        for i in range(LOTE):
            shutil.copyfile(CONTRATOS[i % len(CONTRATOS)], lote / f"contrato{i:02d}.pdf")
        um = _medir([*verificar, str(lote / "contrato00.pdf")], env, n)
        todos = _medir([*verificar, str(lote)], env, max(1, n // 2))
        script = "; ".join(f"pdftotext {lote / f'contrato{i:02d}.pdf'} -" for i in range(LOTE))
        texto = _medir(["sh", "-c", script + " >/dev/null"], env, max(1, n // 2))
        depois = (todos[0] - um[0]) / (LOTE - 1), (todos[1] - um[1]) / (LOTE - 1)
        _linha(f"verificar {LOTE} contratos (uma pasta)", todos, texto, "pdftotext")
        print(f"  por contrato depois do primeiro: parede {depois[0] * 1e3:.1f} ms, CPU {depois[1] * 1e3:.1f} ms"
              f"  (alvo <= 100 ms: {'ok' if depois[0] <= 0.1 else 'NÃO'}); pdftotext por arquivo: "
              f"{texto[0] / LOTE * 1e3:.1f} ms")

        _linha("scrivane-contract --help", _medir([CLI, "--help"], env, n),
               _medir([sys.executable, "-c", "pass"], env, n), "python -c pass", meta=0.15)
        if not opcoes.sem_web:
            bench_web(env, pasta, n)


if __name__ == "__main__":
    main(sys.argv[1:] if sys.argv[0].endswith("bench_um_contrato.py") else [])
