"""A batch verified with the registry out of reach: how long until every contract is pending.

40 copies of the approved example contract (two companies, two partners, two
witnesses), read by the local provider, `verificar --paralelo 8 --json`, every
registry service pointed at a port nobody listens on (what a machine without
network meets: the connection fails at once).  Each run is one child process,
wall time.

- baseline: the lookups as they were, every CNPJ and name search retrying
  each service (connect retries with back-off, ReceitaWS's rate limit), no
  memory of the host that failed (breaker off, connect errors retried);
- ours: a host that could not be reached is left alone for 60 s.

    python bench/bench_sem_rede.py [--contratos 40] [--paralelo 8] [--sem-baseline]
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from _common import report

RAIZ = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(RAIZ / "tools"))
sys.path.insert(0, str(RAIZ / "tests"))

import gerar_exemplos  # noqa: E402
from web_helpers import porta_livre as _porta_fechada  # noqa: E402  (a port nobody listens on)

# The child: points the services at a closed port and runs the command line.  In the baseline
# the breaker forgets at once and a refused connection is retried as before.
FILHO = r"""
import sys
from scrivane_contract import cnpj
from scrivane_contract.cli import main
porta, baseline = int(sys.argv[1]), sys.argv[2] == "1"
for nome, caminho in (("BRASIL_API_URL", "/api/cnpj/v1/{cnpj}"), ("RECEITA_WS_URL", "/v1/cnpj/{cnpj}"),
                      ("CASADOSDADOS_API", "/v2/public/cnpj/search")):
    setattr(cnpj, nome, f"http://127.0.0.1:{porta}{caminho}")
if baseline:
    from urllib3.util.retry import Retry
    from scrivane_contract.registro import consultas, sessao
    consultas.DISJUNTOR.pedir = lambda url, fazer: fazer()  # no memory of a host that failed
    def _antigo(self, method=None, url=None, response=None, error=None, _pool=None, _stacktrace=None):
        nova = Retry.increment(self, method, url, response, error, _pool, _stacktrace)
        espera = self.get_retry_after(response) if response is not None else None
        if espera is None:
            espera = nova.get_backoff_time()
        if self.gasto + espera > self.espera_maxima:
            from urllib3.exceptions import MaxRetryError, ResponseError
            raise MaxRetryError(_pool, url, ResponseError("limite"))
        nova.gasto, nova.proxima = self.gasto + espera, espera
        return nova
    sessao._Retry.increment = _antigo
sys.exit(main(sys.argv[3:]))
"""


def rodar(contratos: list[Path], paralelo: int, baseline: bool, pasta: Path) -> tuple[float, int]:
    env = dict(os.environ, NO_PROXY="127.0.0.1,localhost", XDG_CACHE_HOME=str(pasta / "cache"))
    inicio = time.perf_counter()
    proc = subprocess.run([sys.executable, "-c", FILHO, str(_porta_fechada()), "1" if baseline else "0",
                           "verificar", "--json", "--provedor", "local", "--sem-cache", "--paralelo", str(paralelo),
                           *map(str, contratos)], env=env, capture_output=True, text=True)
    segundos = time.perf_counter() - inicio
    pendentes = proc.stdout.count('"veredito": "PENDENTE"')
    if proc.returncode != 2 or pendentes != len(contratos):
        sys.stderr.write(proc.stderr[-2000:])
        raise SystemExit(f"exit {proc.returncode}, {pendentes} pending of {len(contratos)}")
    return segundos, pendentes


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--contratos", type=int, default=40)
    parser.add_argument("--paralelo", type=int, default=8)
    parser.add_argument("--sem-baseline", action="store_true", help="only our run (the baseline takes minutes)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        pasta = Path(tmp)
        modelo = pasta / "modelo.pdf"
        gerar_exemplos.escrever_pdf(modelo, gerar_exemplos.APROVADO)
        contratos = []
        for i in range(args.contratos):
            c = pasta / f"c{i:03d}.pdf"
            c.write_bytes(modelo.read_bytes())
            contratos.append(c)
        nosso, _ = rodar(contratos, args.paralelo, False, pasta)
        print(f"ours: {args.contratos} contracts, --paralelo {args.paralelo}, registry unreachable: "
              f"{nosso:.1f} s ({nosso / args.contratos:.2f} s per contract)")
        if args.sem_baseline:
            return
        base, _ = rodar(contratos, args.paralelo, True, pasta)
        print(f"baseline: {base:.1f} s ({base / args.contratos:.2f} s per contract)")
        report(f"verificar {args.contratos} contracts, registry unreachable", base, nosso)


if __name__ == "__main__":
    main()
