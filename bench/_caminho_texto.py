"""The text path of whatever build of scrivane the running interpreter has: each PDF read and its
text extracted by the rules, the best of several runs; prints JSON (ms per page read, extracted).

Run by ``bench_documentos_reais.py --comparar-com PYTHON`` under this checkout's interpreter and
under another one (an earlier build in its own environment), so that the two builds are timed on
the same pages in the same run.  Needs only the installed package, of any version: an older
reader without a layout is called the way it was then."""

from __future__ import annotations

import json
import sys
import time

REPETICOES = 7


def main() -> None:
    from scrivane import read_document
    from scrivane.local_extractor import extrair

    ler_s = extrair_s = 0.0
    paginas = 0
    for caminho in sys.argv[1:]:
        melhor_ler = melhor_extrair = float("inf")
        for _ in range(REPETICOES + 1):  # the first run warms the caches
            inicio = time.perf_counter()
            doc = read_document(caminho)
            lido = time.perf_counter()
            layout = getattr(doc, "layout", None)
            extrair(doc.pages, layout=layout) if layout is not None else extrair(doc.pages)
            fim = time.perf_counter()
            melhor_ler, melhor_extrair = min(melhor_ler, lido - inicio), min(melhor_extrair, fim - lido)
        ler_s += melhor_ler
        extrair_s += melhor_extrair
        paginas += len(doc.pages)
    print(json.dumps({"paginas": paginas, "ms_ler": 1e3 * ler_s / max(1, paginas),
                      "ms_extrair": 1e3 * extrair_s / max(1, paginas)}))


if __name__ == "__main__":
    main()
