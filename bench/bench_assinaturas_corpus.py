"""Benchmark of the signature check on a folder of real signed PDFs, against bare pyHanko.

For each PDF: bare pyHanko (read the file, one validation context with the
same trusted roots and authorities, ``validate_pdf_signature`` on each
embedded signature, its difference analysis included: what the library does
when asked to validate a file) versus ``ler_assinaturas`` (ours: the same
validation, plus the comparison of what a reader sees after each signature).
Bare pyHanko runs as the library ships; ours with the faster, equivalent
reader of hex strings this package installs in pyHanko (``scrivane.signatures``),
so the figures also say what that reader saves.  Each figure is the least processor time (this process: pdfium's rendering
included) over several rounds, the two run in turn in each round, both
measured in this run; the ratio is ours / pyHanko (below 1: ours is faster).  Prints each file, then the
median and the worst ratio.

The folder is ``../shared/signed`` beside the checkout by default (or the
first argument, or SCRIVANE_ASSINADOS); without it the benchmark says so and
stops.  Run with ``.venv/bin/python bench/bench_assinaturas_corpus.py [PASTA]``.
"""

from __future__ import annotations

import io
import os
import statistics
import sys
import time
import warnings
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPEATS = 7


def pasta() -> Path | None:
    candidatos = [Path(sys.argv[1])] if len(sys.argv) > 1 and __name__ == "__main__" else []
    if os.environ.get("SCRIVANE_ASSINADOS"):
        candidatos.append(Path(os.environ["SCRIVANE_ASSINADOS"]))
    candidatos.append(HERE.parent.parent.parent / "shared" / "signed")
    candidatos.append(HERE.parent.parent / "shared" / "signed")
    return next((p for p in candidatos if p.is_dir()), None)


def bare_pyhanko(data: bytes, roots: list, intermediates: list) -> int:
    from pyhanko.pdf_utils import generic
    from pyhanko.pdf_utils.reader import PdfFileReader
    from pyhanko.sign.validation import validate_pdf_signature
    from pyhanko_certvalidator import ValidationContext

    # pyHanko as it ships: its own hex-string reader, not the faster one this
    # package installs once it reads signatures.
    instalado = generic.read_hex_string_from_stream
    generic.read_hex_string_from_stream = getattr(instalado, "original", instalado)
    try:
        return _bare_pyhanko(PdfFileReader, validate_pdf_signature, ValidationContext, data, roots, intermediates)
    finally:
        generic.read_hex_string_from_stream = instalado


def ours_with_pyhankos_reader(path: Path) -> None:
    """Ours, with pyHanko's own hex-string reader (what the rest of the work costs)."""
    from pyhanko.pdf_utils import generic

    from scrivane.signatures import ler_assinaturas

    instalado = generic.read_hex_string_from_stream
    generic.read_hex_string_from_stream = getattr(instalado, "original", instalado)
    try:
        ler_assinaturas(path)
    finally:
        generic.read_hex_string_from_stream = instalado


def _bare_pyhanko(PdfFileReader, validate_pdf_signature, ValidationContext, data, roots, intermediates) -> int:
    reader = PdfFileReader(io.BytesIO(data), strict=False)
    context = ValidationContext(trust_roots=roots, other_certs=intermediates)
    n = 0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for s in reader.embedded_signatures:
            try:
                validate_pdf_signature(s, context)
            except Exception:
                pass  # pyHanko's own failure still took its time
            n += 1
    return n


def best_of_each(repeats: int, *fns) -> list[float]:
    """The least processor time of each function over ``repeats`` rounds, run in turn in each round
    (the machine's other load falls on both alike)."""
    best = [float("inf")] * len(fns)
    for _ in range(repeats):
        for i, fn in enumerate(fns):
            started = time.process_time()
            fn()
            best[i] = min(best[i], time.process_time() - started)
    return best


def main() -> None:
    import logging

    from scrivane.signatures import carregar_raizes, ler_assinaturas

    logging.getLogger("pyhanko").addHandler(logging.NullHandler())
    logging.getLogger("pyhanko").propagate = False
    origem = pasta()
    if origem is None:
        print("bench_assinaturas_corpus: pasta de PDFs assinados não encontrada (../shared/signed); nada medido")
        return
    roots, intermediates = carregar_raizes()
    ratios, ratios_sem = [], []
    print(f"{'file':<52} {'sigs':>4} {'pyHanko':>10} {'ours':>10} {'ours/pyHanko':>13} {'(its reader)':>13}")
    for path in sorted(origem.glob("*.pdf")):
        data = path.read_bytes()
        try:
            assinaturas = ler_assinaturas(path)
        except Exception:
            continue  # not a readable PDF: nothing to compare
        if not assinaturas:
            continue
        try:
            bare_pyhanko(data, roots, intermediates)
        except Exception:
            continue  # pyHanko cannot read it at all
        base, ours, sem = best_of_each(REPEATS, lambda: bare_pyhanko(data, roots, intermediates),
                                       lambda: ler_assinaturas(path), lambda: ours_with_pyhankos_reader(path))
        ratios.append(ours / base)
        ratios_sem.append(sem / base)
        print(f"{path.name[:52]:<52} {len(assinaturas):>4} {base * 1e3:8.1f}ms {ours * 1e3:8.1f}ms "
              f"{ours / base:12.2f}x {sem / base:12.2f}x")
    if ratios:
        print(f"{len(ratios)} files: median ours/pyHanko {statistics.median(ratios):.2f}x, "
              f"worst {max(ratios):.2f}x (targets: median <= 1.00x, every file <= 1.50x); "
              f"with pyHanko's own hex reader: median {statistics.median(ratios_sem):.2f}x, "
              f"worst {max(ratios_sem):.2f}x")


if __name__ == "__main__":
    main()
