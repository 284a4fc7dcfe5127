"""Benchmarks of the document reader and the page selection.

1. OCR of a 10-page scanned contract built here (text PDF rendered at 300 dpi;
   odd pages clean, even pages noisy, specked, blurred and slightly rotated):
   one Tesseract at a time (baseline) versus one per core (ours), in pages per
   second, with Tesseract's CPU seconds per page and the character error rate
   of the clean and the noisy pages against the source text.
2. Page selection for the three questions of a contract check on a 50 MB text:
   the pure-Python selection as it was (tests/reference_selection.py,
   baseline) versus the engine's (ours).
3. Text extraction of a 50-page text PDF: the reader as it was (the bare
   pdfium loop it ran, baseline) versus ``read_document`` (ours), which also
   reads annotations and decides which pages need OCR by what they show
   (target: ours within 10 % of the baseline, ratio >= 0.90x).

Run with ``.venv/bin/python bench/bench_reader.py`` (the package installed).
"""

from __future__ import annotations

import random
import resource
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import pypdfium2 as pdfium  # noqa: E402
import reference_selection  # noqa: E402
from pdfs import write_text_pdf  # noqa: E402
from scans import cer, write_scanned_pdf  # noqa: E402

from scrivane import read_document, selection  # noqa: E402
from scrivane.ocr import default_workers, unavailable_reason  # noqa: E402

OCR_PAGES = 10
TEXT_MB = 50
PDF_PAGES = 50
PDF_REPEATS = 15
# The questions of a contract check, with their keywords.
QUESTIONS = {
    "empresas": ["cnpj", "contratante", "contratada", "inscrita", "razão social", "ltda", "s/a"],
    "assinaturas": ["assinatura", "assinado", "certificado", "representante", "testemunha", "cpf"],
    "dados_contrato": ["contrato", "objeto", "vigência", "valor", "cláusula", "foro"],
}
BUDGET_TOKENS = 100_000

WORDS = ("contrato cláusula objeto vigência prestação serviços partes obrigações pagamento valor foro comarca "
         "São Paulo ação rescisão multa prazo dias úteis notificação por escrito responsabilidade técnica "
         "execução entrega relatório mensal CONTRATANTE CONTRATADA inscrita CNPJ razão social LTDA S/A "
         "representante legal assinatura testemunha CPF certificado digital índice reajuste IPCA garantia").split()


def row(name, baseline, ours, unit, higher_is_better=False):
    ratio = ours / baseline if higher_is_better else baseline / ours
    print(f"{name:<46} baseline {baseline:10.3f} {unit:<8} ours {ours:10.3f} {unit:<8} ratio {ratio:6.2f}x")


def contract_pages(n, seed=3):
    rng = random.Random(seed)
    pages = []
    for p in range(n):
        lines = [f"CLÁUSULA {p + 1}ª - DAS OBRIGAÇÕES DA CONTRATADA"]
        while len(lines) < 40:
            # Lines that fit the page width (Helvetica 11 pt from a 50 pt margin).
            line = f"{p + 1}.{len(lines)} " + " ".join(rng.choice(WORDS) for _ in range(rng.randint(4, 7)))
            if rng.random() < 0.4:
                line += f", R$ {rng.randint(1, 999)}.{rng.randint(100, 999)},00"
            lines.append(line[:85] + ".")
        if p == 0:
            lines[1] = "CONTRATANTE: ACME COMERCIO DE TESTES LTDA, CNPJ 11.222.333/0001-81, São Paulo/SP."
        pages.append("\n".join(lines))
    return pages


def bench_ocr(tmp: Path) -> None:
    reason = unavailable_reason()
    if reason:
        print(f"OCR: skipped ({reason})")
        return
    pages = contract_pages(OCR_PAGES)
    scan = write_scanned_pdf(tmp / "digitalizado.pdf", write_text_pdf(tmp / "contrato.pdf", pages),
                             noisy=set(range(1, OCR_PAGES, 2)))
    timings = {}
    for workers in (1, default_workers()):
        cpu0 = resource.getrusage(resource.RUSAGE_CHILDREN)
        started = time.perf_counter()
        doc = read_document(scan, ocr=True, ocr_workers=workers)
        elapsed = time.perf_counter() - started
        cpu1 = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (cpu1.ru_utime + cpu1.ru_stime) - (cpu0.ru_utime + cpu0.ru_stime)
        timings[workers] = elapsed
        print(f"OCR {OCR_PAGES} pages, {workers} worker(s): {elapsed:.2f} s, {OCR_PAGES / elapsed:.3f} pages/s, "
              f"Tesseract CPU {cpu / OCR_PAGES:.2f} s/page")
    parallel = default_workers()
    row(f"OCR, {OCR_PAGES} scanned pages ({parallel} workers)", OCR_PAGES / timings[1],
        OCR_PAGES / timings[parallel], "pages/s", higher_is_better=True)
    clean = [cer(doc.pages[i], pages[i]) for i in range(0, OCR_PAGES, 2)]
    noisy = [cer(doc.pages[i], pages[i]) for i in range(1, OCR_PAGES, 2)]
    print(f"CER clean pages: mean {sum(clean) / len(clean):.3%}, worst {max(clean):.3%}")
    print(f"CER noisy/rotated pages: mean {sum(noisy) / len(noisy):.3%}, worst {max(noisy):.3%}")


def bench_selection(tmp: Path) -> None:
    rng = random.Random(1)
    lines, size = [], 0
    while size < TEXT_MB * 1_000_000:
        line = " ".join(rng.choice(WORDS) for _ in range(rng.randint(6, 16)))
        lines.append(line)
        size += len(line.encode()) + 1
    path = tmp / "grande.txt"
    path.write_text("\n".join(lines), encoding="utf-8")
    pages = read_document(path).pages

    def select(module):
        return [module.select_pages(pages, keywords, BUDGET_TOKENS) for keywords in QUESTIONS.values()]

    started = time.perf_counter()
    theirs = select(reference_selection)
    baseline = time.perf_counter() - started
    ours_best = float("inf")
    for _ in range(3):
        started = time.perf_counter()
        ours = select(selection)
        ours_best = min(ours_best, time.perf_counter() - started)
    assert [s.pages for s in ours] == [s.pages for s in theirs]
    row(f"page selection, 3 questions, {TEXT_MB} MB ({len(pages)} pages)", baseline, ours_best, "s")


def bench_pdf(tmp: Path) -> None:
    line = "Cláusula {n}: a CONTRATADA prestará os serviços descritos no objeto deste contrato, linha {k}."
    pages = ["\n".join(line.format(n=n + 1, k=k) for k in range(45)) for n in range(PDF_PAGES)]
    path = tmp / "contrato-50.pdf"
    write_text_pdf(path, pages)

    def before():
        # The reader's loop before annotations, split words and scanned pages were handled.
        pdf = pdfium.PdfDocument(path.read_bytes())
        texts = []
        for i in range(len(pdf)):
            page = pdf[i]
            textpage = page.get_textpage()
            texts.append(textpage.get_text_range().replace("\r\n", "\n").replace("\r", "\n"))
            textpage.close()
            page.close()
        pdf.close()
        return texts

    # Rounds alternate between the two, so that a busy machine weighs on both alike.
    times = {before: [], read_document: []}
    for _ in range(PDF_REPEATS):
        for fn in times:
            started = time.perf_counter()
            fn(path) if fn is read_document else fn()
            times[fn].append(time.perf_counter() - started)

    assert [p.strip() for p in read_document(path).pages] == [p.strip() for p in before()]
    row(f"PDF text, {PDF_PAGES} pages", PDF_PAGES / min(times[before]), PDF_PAGES / min(times[read_document]),
        "pages/s", higher_is_better=True)


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        bench_pdf(Path(tmp))
        bench_selection(Path(tmp))
        bench_ocr(Path(tmp))


if __name__ == "__main__":
    main()
