"""Hostile networks and clients, measured.

1. proxy: 6 copies of the approved example contract, ``verificar --json --provedor local``,
   with ``HTTPS_PROXY`` pointing to a closed port (the registry services are https hosts under
   .invalid: nothing leaves the machine).  Target: < 25 s, with the "sem acesso" hint.
   Baseline in the same run: the previous client (a proxy error retried with back-off, never
   counted by the breaker).  Reference: the same batch without a proxy, registry on a closed port.
2. lentos: real uploads to ``criar_app`` under uvicorn (our protocol), one at a time, with no
   other client (baseline) and under 110 slow clients (from 127.0.0.2) that sent an upload's
   headers and then nothing.  Reported: median and worst upload time, and every status.

    python bench/bench_hostil.py [proxy] [lentos] [--contratos 6] [--envios 20]
"""

from __future__ import annotations

import argparse
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from _common import report

RAIZ = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(RAIZ / "tools"))
sys.path.insert(0, str(RAIZ / "tests"))

import gerar_exemplos  # noqa: E402
from web_helpers import porta_livre as _porta_fechada  # noqa: E402  (a port nobody listens on)

FILHO = r"""
import sys
from scrivane_contract import cnpj
from scrivane_contract.cli import main
modo, porta = sys.argv[1], int(sys.argv[2])
for nome, caminho in (("BRASIL_API_URL", "/api/cnpj/v1/{cnpj}"), ("RECEITA_WS_URL", "/v1/cnpj/{cnpj}"),
                      ("CASADOSDADOS_API", "/v2/public/cnpj/search")):
    host = f"127.0.0.1:{porta}" if modo == "sem_proxy" else nome.lower().replace("_", "-") + ".invalid"
    setattr(cnpj, nome, ("http://" if modo == "sem_proxy" else "https://") + host + caminho)
if modo == "baseline":
    # The previous client: a proxy error is neither a connection failure nor spared its retries.
    from urllib3.exceptions import MaxRetryError, NewConnectionError
    from urllib3.util.retry import Retry
    from scrivane_contract.registro import consultas, sessao
    consultas.tipo_de_falha = lambda exc: None
    def _antigo(self, method=None, url=None, response=None, error=None, _pool=None, _stacktrace=None):
        if isinstance(error, NewConnectionError):
            raise MaxRetryError(_pool, url, error)
        nova = Retry.increment(self, method, url, response, error, _pool, _stacktrace)
        espera = nova.get_backoff_time()
        nova.gasto, nova.proxima = self.gasto + espera, espera
        return nova
    sessao._Retry.increment = _antigo
sys.exit(main(sys.argv[3:]))
"""


def lote(contratos: list[Path], modo: str, pasta: Path) -> tuple[float, bool]:
    porta = _porta_fechada()
    env = dict(os.environ, NO_PROXY="", XDG_CACHE_HOME=str(pasta / "cache"),
               SCRIVANE_HISTORICO=str(pasta / "historico.sqlite3"))
    for nome in ("HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy"):
        env.pop(nome, None)
    if modo != "sem_proxy":
        env["HTTPS_PROXY"] = f"http://127.0.0.1:{porta}"
    inicio = time.perf_counter()
    extra = ["--offline"] if modo == "offline" else []
    proc = subprocess.run([sys.executable, "-c", FILHO, modo, str(porta), "verificar", "--json", "--provedor",
                           "local", "--sem-cache", *extra, *map(str, contratos)], env=env, capture_output=True,
                          text=True)
    segundos = time.perf_counter() - inicio
    if proc.returncode != 2:
        sys.stderr.write(proc.stderr[-2000:])
        raise SystemExit(f"{modo}: exit {proc.returncode}")
    return segundos, "sem acesso à Receita Federal" in proc.stderr


def bench_proxy(n: int, sem_baseline: bool = False) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        pasta = Path(tmp)
        modelo = pasta / "modelo.pdf"
        gerar_exemplos.escrever_pdf(modelo, gerar_exemplos.APROVADO)
        contratos = []
        for i in range(n):
            contratos.append(pasta / f"c{i}.pdf")
            contratos[-1].write_bytes(modelo.read_bytes())
        nosso, dica = lote(contratos, "nosso", pasta)
        print(f"ours: {n} contracts behind a refused proxy: {nosso:.1f} s (target < 25 s; hint shown: {dica})")
        ref, _ = lote(contratos, "sem_proxy", pasta)
        print(f"reference: no proxy, registry on a closed port: {ref:.1f} s")
        piso, _ = lote(contratos, "offline", pasta)
        print(f"floor: --offline, nothing asked of the registry: {piso:.1f} s")
        if sem_baseline:
            return
        base, dica_base = lote(contratos, "baseline", pasta)
        print(f"baseline: previous client behind the refused proxy: {base:.1f} s (hint shown: {dica_base})")
        report(f"verificar {n} contracts, refused proxy", base, nosso)


def bench_lentos(envios: int) -> None:
    import httpx
    import uvicorn
    from registro_helpers import porta_livre

    import hostile_pdfs as h
    from scrivane_contract.web import criar_app
    from scrivane_contract.web.protocolo import protocolo_com_prazo

    pdf = h.texto_simples(["CONTRATO", "CONTRATANTE: ACME"])
    app = criar_app(lambda: (lambda caminho: {"resultado_final": "APROVADO"}), token=None, trabalhadores=4,
                    limite_fila=100, conferir_assinaturas=False)
    porta = porta_livre()
    servidor = uvicorn.Server(uvicorn.Config(app, host="127.0.0.1", port=porta, log_level="error",
                                             http=protocolo_com_prazo()))
    threading.Thread(target=servidor.run, daemon=True).start()
    while not servidor.started:
        time.sleep(0.02)
    url = f"http://127.0.0.1:{porta}/api/verificacoes"

    def medir() -> tuple[list[float], list[int]]:
        tempos, codigos = [], []
        with httpx.Client(timeout=60) as cliente:
            for _ in range(envios):
                t0 = time.perf_counter()
                r = cliente.post(url, files={"arquivo": ("c.pdf", pdf, "application/pdf")})
                tempos.append(time.perf_counter() - t0)
                codigos.append(r.status_code)
        return tempos, codigos

    base, codigos_base = medir()
    lentos = []
    for _ in range(110):
        s = socket.create_connection(("127.0.0.1", porta), source_address=("127.0.0.2", 0))
        s.sendall(f"POST /api/verificacoes HTTP/1.1\r\nHost: 127.0.0.1:{porta}\r\nContent-Type: multipart/form-data;"
                  f" boundary=x\r\nContent-Length: 100000\r\n\r\n--x\r\n".encode())
        lentos.append(s)
    time.sleep(1.0)  # let the server take every slow request in
    nosso, codigos = medir()
    print(f"uploads alone:        median {statistics.median(base) * 1e3:.1f} ms, worst {max(base) * 1e3:.1f} ms, "
          f"statuses {sorted(set(codigos_base))}")
    print(f"under 110 slow ones:  median {statistics.median(nosso) * 1e3:.1f} ms, worst {max(nosso) * 1e3:.1f} ms, "
          f"statuses {sorted(set(codigos))}")
    report("upload under 110 slow clients (median)", statistics.median(base), statistics.median(nosso))
    for s in lentos:
        s.close()
    servidor.should_exit = True


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("partes", nargs="*", choices=["proxy", "lentos", []], default=[])
    parser.add_argument("--contratos", type=int, default=6)
    parser.add_argument("--envios", type=int, default=20)
    parser.add_argument("--sem-baseline", action="store_true", help="proxy: skip the previous client (minutes)")
    args = parser.parse_args()
    partes = args.partes or ["proxy", "lentos"]
    if "proxy" in partes:
        bench_proxy(args.contratos, args.sem_baseline)
    if "lentos" in partes:
        bench_lentos(args.envios)


if __name__ == "__main__":
    main()
