"""Benchmarks of the local provider (rules, no model).

1. Accuracy on the set in tests/acuracia/: field-level precision and recall
   for companies (CNPJ, legal name, role, address), signatories (name,
   company represented, CPF) and the contract / non-contract decision,
   against the targets.
2. A 30-page contract (text PDF built here, running headers and footers):
   reading its text alone (baseline, what any provider pays) versus the
   whole local run of the engine with the checker's three questions (ours).
   Target: the run under 0.5 s.

Run with ``PYTHONPATH=python python bench/bench_local_extractor.py`` or with
the package installed.
"""

from __future__ import annotations

import sys
import tempfile
import textwrap
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import acuracia  # noqa: E402
from pdfs import write_text_pdf  # noqa: E402

from scrivane import Question, QuestionConfig, Scrivane, read_document  # noqa: E402
from scrivane.local_extractor import extrair  # noqa: E402
from scrivane_contract.models import ExtracaoAssinaturas, ExtracaoDadosContrato, ExtracaoEmpresas  # noqa: E402

PAGES = 30
REPEATS = 7
TARGET_SECONDS = 0.5


def accuracy() -> None:
    casos = acuracia.casos()
    contratos = sum(1 for c in casos if c.esperado["contrato"])
    print(f"Local extractor accuracy: {contratos} contracts, {len(casos) - contratos} other documents")
    with tempfile.TemporaryDirectory() as pasta:
        formas = {"text": lambda c: c.paginas}
        for colunas in (60, 90):
            def como_pdf(c, colunas=colunas):
                pdf = write_text_pdf(Path(pasta) / f"{c.nome}-{colunas}.pdf", acuracia.quebrar(c.paginas, colunas))
                return read_document(pdf).pages
            formas[f"PDF, {colunas} columns"] = como_pdf
        for forma, paginas in formas.items():
            placar = acuracia.Placar()
            sem_empresa = True
            for caso in casos:
                extraido = extrair(paginas(caso))
                placar.registrar(caso, extraido)
                sem_empresa &= caso.esperado["contrato"] or not extraido["empresas"]
            print(f" as {forma}:")
            for rotulo, (precisao, revocacao) in placar.metricas().items():
                meta = acuracia.METAS.get(rotulo)
                alvo = ""
                if meta:
                    ok = precisao >= meta[0] and revocacao >= meta[1]
                    alvo = f"  (target P >= {meta[0]:.2f}, R >= {meta[1]:.2f}: {'met' if ok else 'NOT met'})"
                print(f"  {rotulo:<34} precision {precisao:6.3f}  recall {revocacao:6.3f}{alvo}")
            print(f"  every non-contract gives no company: {'yes' if sem_empresa else 'NO'}")
            for erro in placar.erros:
                print(f"  miss: {erro}")


def contrato_longo() -> list[str]:
    """30 pages of about 3,300 characters, lines wrapped at 95 columns as a PDF lays them out."""
    caso = next(c for c in acuracia.casos() if c.nome.startswith("10_"))
    texto = caso.paginas[0]
    inicio, assinaturas = texto.split("CLÁUSULA PRIMEIRA", 1)[0], texto[texto.index("Rio Verde, 8 de"):]

    def quebra(trecho: str) -> str:
        return "\n".join(textwrap.fill(p, 95) if p else "" for p in trecho.split("\n"))

    paginas = []
    for n in range(1, PAGES + 1):
        cabecalho = "CONTRATO DE PRESTAÇÃO DE SERVIÇOS LOGÍSTICOS – Nº 88/2024\n"
        rodape = f"\nRubricas: ____ ____ ____\nPágina {n} de {PAGES}"
        if n == 1:
            corpo = inicio
        elif n == PAGES:
            corpo = "CLÁUSULA FINAL – DO FORO\nFica eleito o foro da Comarca de Rio Verde/GO.\n" + assinaturas
        else:
            corpo = "\n".join(
                f"{n}.{k}. A CONTRATADA obriga-se a manter seguro de carga, rastreamento dos veículos e "
                f"registro das entregas, apresentando à CONTRATANTE relatório mensal das rotas, com o valor "
                f"de R$ {n * 1000 + k},00 por rota, e a comunicar ocorrências no prazo de 24 (vinte e quatro) "
                f"horas, sob pena de multa."
                for k in range(1, 11)
            )
        paginas.append(cabecalho + quebra(corpo) + rodape)
    return paginas


def speed() -> None:
    perguntas = [("empresas", ExtracaoEmpresas), ("assinaturas", ExtracaoAssinaturas),
                 ("dados_contrato", ExtracaoDadosContrato)]
    engine = Scrivane(provider="local")
    for qid, modelo in perguntas:
        engine.add_question(Question(config=QuestionConfig(id=qid, name=qid, tag=qid), system_prompt="",
                                     user_prompt="{texto}", response_model=modelo))
    with tempfile.TemporaryDirectory() as pasta:
        pdf = write_text_pdf(Path(pasta) / "longo.pdf", contrato_longo())
        caracteres = read_document(pdf).char_count

        def best(fn):
            melhor = float("inf")
            for _ in range(REPEATS):
                t0 = time.perf_counter()
                fn()
                melhor = min(melhor, time.perf_counter() - t0)
            return melhor

        leitura = best(lambda: read_document(pdf))
        run = engine.process(pdf)
        total = best(lambda: engine.process(pdf))
    empresas = len(run.get_result("empresas").raw_result["empresas"])
    assinaturas = len(run.get_result("assinaturas").raw_result["assinaturas"])
    print(f"Local run of a {PAGES}-page contract ({caracteres:,} characters; found {empresas} companies, "
          f"{assinaturas} signatories)")
    print(f"  read the text only (baseline) {leitura * 1e3:8.1f} ms   whole local run {total * 1e3:8.1f} ms   "
          f"rules take {(total - leitura) * 1e3:.1f} ms, ratio run/read {total / leitura:.2f}x  "
          f"(target run < {TARGET_SECONDS} s: {'met' if total < TARGET_SECONDS else 'NOT met'})")
    print(f"  metrics of the run: tokens {run.total_metrics.tokens}, cost {run.total_metrics.cost_usd}, "
          f"time {run.total_metrics.time_seconds:.3f} s")


if __name__ == "__main__":
    accuracy()
    print()
    speed()
