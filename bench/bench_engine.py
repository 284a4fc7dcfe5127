"""Benchmarks of the extraction engine.

1. One contract, three questions, each answered after 0.5 s by a local
   OpenAI-compatible server: ``process`` with the questions asked one after
   the other (baseline) versus concurrently (ours).
2. Text extraction of a 50-page text PDF built here: a bare pypdfium2 loop
   (baseline, the floor the library allows) versus ``read_document`` (ours).

Each figure is the minimum of several repeats, all measured in this run.
Run with ``PYTHONPATH=python python bench/bench_engine.py`` or with the
package installed.
"""

from __future__ import annotations

import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))  # the local OpenAI-compatible server

import pypdfium2 as pdfium  # noqa: E402
from openai_server import OpenAIServer, Reply  # noqa: E402
from pdfs import write_text_pdf  # noqa: E402

from scrivane import Question, QuestionConfig, Scrivane, read_document  # noqa: E402
from scrivane_contract.models import ExtracaoAssinaturas, ExtracaoDadosContrato, ExtracaoEmpresas  # noqa: E402

ANSWER_DELAY = 0.5
REPEATS = 3
PDF_PAGES = 50
PDF_REPEATS = 5

QUESTIONS = [
    ("empresas", "Extraia as empresas.", ExtracaoEmpresas, {"empresas": []}),
    ("assinaturas", "Extraia as assinaturas.", ExtracaoAssinaturas, {"assinaturas": []}),
    ("dados_contrato", "Extraia os dados gerais.", ExtracaoDadosContrato, {}),
]


def best_of(repeats, fn):
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        fn()
        times.append(time.perf_counter() - started)
    return min(times)


def row(name: str, baseline: float, ours: float, unit: str, higher_is_better: bool = False) -> None:
    ratio = baseline / ours if not higher_is_better else ours / baseline
    print(f"{name:<42} baseline {baseline:10.3f} {unit:<8} ours {ours:10.3f} {unit:<8} ratio {ratio:6.2f}x")


def bench_questions(tmp: Path) -> None:
    contract = tmp / "contrato.txt"
    contract.write_text("CONTRATO DE PRESTAÇÃO DE SERVIÇOS entre ACME LTDA e BETA S/A.", encoding="utf-8")
    with OpenAIServer() as server:
        for _qid, system, _model, answer in QUESTIONS:
            server.script(system, Reply.json(answer, delay=ANSWER_DELAY))

        def engine(workers):
            e = Scrivane(openai_api_key="bench", base_url=server.base_url, max_workers=workers)
            for qid, system, model, _answer in QUESTIONS:
                e.add_question(Question(config=QuestionConfig(id=qid, name=qid, tag=qid), system_prompt=system,
                                        user_prompt="{texto}", keywords=[], response_model=model))
            return e

        sequential, concurrent = engine(1), engine(None)
        sequential.process(contract)  # warm connections up
        concurrent.process(contract)
        baseline = best_of(REPEATS, lambda: sequential.process(contract))
        ours = best_of(REPEATS, lambda: concurrent.process(contract))
    row(f"process, 3 questions x {ANSWER_DELAY}s answer", baseline, ours, "s")


def bench_pdf(tmp: Path) -> None:
    line = "Cláusula {n}: a CONTRATADA prestará os serviços descritos no objeto deste contrato, linha {k}."
    pages = ["\n".join(line.format(n=n + 1, k=k) for k in range(45)) for n in range(PDF_PAGES)]
    path = tmp / "contrato-50.pdf"
    write_text_pdf(path, pages)

    def bare():
        pdf = pdfium.PdfDocument(str(path))
        texts = [pdf[i].get_textpage().get_text_range() for i in range(len(pdf))]
        pdf.close()
        return texts

    assert len(read_document(path).pages) == PDF_PAGES
    baseline = best_of(PDF_REPEATS, bare)
    ours = best_of(PDF_REPEATS, lambda: read_document(path))
    row(f"PDF text, {PDF_PAGES} pages", PDF_PAGES / baseline, PDF_PAGES / ours, "pages/s", higher_is_better=True)


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        bench_questions(Path(tmp))
        bench_pdf(Path(tmp))


if __name__ == "__main__":
    main()
