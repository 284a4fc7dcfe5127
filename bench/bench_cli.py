"""The command line: start-up time of --help, and many contracts verified concurrently.

1. `scrivane-contract --help` against the same interpreter importing what a
   verification needs (checker, engine, openai, pydantic, rich): the cost the
   lazy imports avoid.  Also lists which heavy modules --help loaded
   (`python -X importtime`): there must be none.
2. 20 contracts, every engine answer taking 0.5 s on the local
   OpenAI-compatible server (registry on the local registry server):
   `verificar --paralelo 4` against `--paralelo 1` (one after another), each
   run once as a whole process, wall time; with the digital-signature check
   (the default) and without it (--sem-assinaturas).
"""

import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from _common import best_of, fmt, report

from openai_server import OpenAIServer, Reply
from pdfs import write_text_pdf
from registry_server import RegistryServer, empresa_exemplo

VENV_BIN = Path(sys.executable).parent
CLI = str(VENV_BIN / "scrivane-contract")
PESADOS = ("openai", "pydantic", "scrivane", "rich", "requests", "scrivane_contract.checker")
CONTRATOS = 20
ATRASO = 0.5


def _rodar(args, env=None):
    r = subprocess.run(args, capture_output=True, text=True, env=env)
    if r.returncode not in (0, 1, 2):
        raise SystemExit(f"{args[:3]} failed ({r.returncode}): {r.stderr[-500:]}")
    return r


def bench_help():
    help_time = best_of(lambda: _rodar([CLI, "--help"]), repeat=7)
    eager = best_of(lambda: _rodar([sys.executable, "-c",
                                    "import scrivane_contract.checker, scrivane, rich.console, rich.progress"]),
                    repeat=7)
    report("scrivane-contract --help (vs eager imports)", eager, help_time)
    r = subprocess.run([sys.executable, "-X", "importtime", "-m", "scrivane_contract", "--help"],
                       capture_output=True, text=True)
    carregados = {linha.rsplit("|", 1)[-1].strip() for linha in r.stderr.splitlines() if "|" in linha}
    pesados = sorted(m for m in carregados if m in PESADOS or m.split(".")[0] in PESADOS[:5])
    meta = "met" if help_time < 0.3 else "NOT met"
    print(f"  --help: {fmt(help_time)} (target < 300 ms: {meta}); heavy modules imported: {pesados or 'none'}")


def bench_lote():
    empresa = {"cnpj": "11.222.333/0001-81", "razao_social": "ACME COMERCIO DE TESTES LTDA", "nome_fantasia": None,
               "endereco": "Av. Paulista, 1000 - Bela Vista, São Paulo/SP, CEP 01310-100",
               "papel_no_contrato": "contratante"}
    assinatura = {"nome_signatario": "Maria da Silva", "cargo": "Sócia", "cpf": None, "empresa_representada": None,
                  "cnpj_empresa": "11.222.333/0001-81", "tipo_assinatura": "digital"}
    with tempfile.TemporaryDirectory() as pasta, OpenAIServer() as llm, RegistryServer() as reg:
        reg.add_company(*empresa_exemplo("11222333000181"))
        llm.script("TODAS as empresas", Reply.json({"empresas": [empresa]}, delay=ATRASO))
        llm.script("TODAS as pessoas", Reply.json({"assinaturas": [assinatura]}, delay=ATRASO))
        llm.script("dados gerais", Reply.json({"tipo_contrato": "Prestação de serviços"}, delay=ATRASO))
        for i in range(CONTRATOS):
            write_text_pdf(Path(pasta) / f"contrato{i:02d}.pdf",
                           [f"CONTRATO {i}\nCONTRATANTE: ACME COMERCIO DE TESTES LTDA, CNPJ 11.222.333/0001-81"])
        env = dict(os.environ, OPENAI_API_KEY="sk-bench", OPENAI_BASE_URL=llm.base_url,
                   NO_PROXY="127.0.0.1,localhost")
        medidas = {}
        for rotulo, extra in (("", []), (" --sem-assinaturas", ["--sem-assinaturas"])):
            for paralelo in (1, 4):
                medidas[rotulo, paralelo] = _medir_lote(llm, env, [
                    CLI, "verificar", "--json", "--paralelo", str(paralelo), "--registro", reg.url, *extra, pasta])
    for rotulo in ("", " --sem-assinaturas"):
        (t1, c1, p1), (t4, c4, p4) = medidas[rotulo, 1], medidas[rotulo, 4]
        report(f"verificar {CONTRATOS} contratos{rotulo}: --paralelo 4 vs 1", t1, t4)
        meta = "met" if t4 < 3.2 else "NOT met"
        print(f"  --paralelo 1: {t1:.2f} s; --paralelo 4: {t4:.2f} s (target < 3.2 s: {meta}); "
              f"CPU time of the command: {c1:.2f} s / {c4:.2f} s; load average {os.getloadavg()[0]:.1f}")
        print(f"  of which start-up before the first engine request: {p1:.2f} s / {p4:.2f} s; "
              f"verifying alone: {t1 - p1:.2f} s / {t4 - p4:.2f} s")


def _medir_lote(llm, env, comando):
    """(wall time, CPU time, start-up) of one run of the command."""
    antes = resource.getrusage(resource.RUSAGE_CHILDREN)
    llm.requests.clear()
    t0 = time.perf_counter()
    r = _rodar(comando, env)
    parede = time.perf_counter() - t0
    depois = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (depois.ru_utime - antes.ru_utime) + (depois.ru_stime - antes.ru_stime)
    # Start-up (interpreter, imports of the engine and openai) ends when the first request arrives.
    partida = min(q.received_at for q in llm.requests) - t0
    linhas = r.stdout.splitlines()
    assert len(linhas) == CONTRATOS and all('"APROVADO"' in l for l in linhas), r.stdout[-300:]
    return parede, cpu, partida

if __name__ == "__main__":
    bench_help()
    bench_lote()
