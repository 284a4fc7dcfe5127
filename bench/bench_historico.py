"""History and monitoring, measured.

1. History: ``--verificacoes`` (default 100,000) stored verifications on SQLite, listed
   filtered by CNPJ (target < 50 ms).  Baseline in the same run: the same question answered
   by scanning the stored JSON (what a store without the company index would do).
2. Monitoring: ``--empresas`` (default 10,000) verified companies checked again against the
   local registry (target < 10 s).  Baseline in the same run: the same lookups one at a time.

    python bench/bench_historico.py [listagem] [monitoramento]

The shared queue is measured by bench_fila.py.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import _common
import sqlalchemy as sa

from scrivane_contract.historico import Historico
from scrivane_contract.historico.banco import verificacoes
from scrivane_contract.verificacao import Verificacao

RAIZ = Path(__file__).resolve().parent.parent


def _cnpj(base: int) -> str:
    """A CNPJ with valid check digits from a 12-digit base."""
    d = [int(c) for c in f"{base:012d}"]
    for pesos in ([5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2], [6, 5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2]):
        r = sum(a * b for a, b in zip(d, pesos)) % 11
        d.append(0 if r < 2 else 11 - r)
    return "".join(map(str, d))


# -- 1. listing the history -------------------------------------------------------------------


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


# -- 2. monitoring --------------------------------------------------------------------------------


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
    ap.add_argument("partes", nargs="*", help="listagem, monitoramento (default: both)")
    ap.add_argument("--verificacoes", type=int, default=100_000)
    ap.add_argument("--empresas", type=int, default=10_000)
    args = ap.parse_args(argv)
    partes = args.partes or ["listagem", "monitoramento"]
    if set(partes) - {"listagem", "monitoramento"}:
        ap.error("partes: listagem, monitoramento")
    for parte in partes:
        {"listagem": listagem, "monitoramento": monitoramento}[parte](args)
        print()


if __name__ == "__main__":
    main(sys.argv[1:] if sys.argv[0].endswith("bench_historico.py") else [])
