"""Keyword classifier against its plain-Python twin."""

import random

from _common import best_of, report

import reference_keywords as ref
from scrivane_contract import keywords

CLAUSES = [
    "CONTRATO DE PRESTAÇÃO DE SERVIÇOS que entre si celebram as partes abaixo qualificadas.",
    "A CONTRATANTE, pessoa jurídica inscrita no CNPJ sob o nº 12.345.678/0001-99, neste ato representada por seu sócio administrador.",
    "CLÁUSULA PRIMEIRA - DO OBJETO: o presente instrumento tem por objeto a prestação de serviços de consultoria.",
    "CLÁUSULA SEGUNDA - DA VIGÊNCIA: o prazo de vigência é de doze meses, renovável por termo aditivo.",
    "CLÁUSULA TERCEIRA - DO VALOR E DO PAGAMENTO: a CONTRATANTE pagará à CONTRATADA o valor mensal ajustado.",
    "CLÁUSULA QUARTA - DAS OBRIGAÇÕES DAS PARTES: cumprir fielmente o disposto neste contrato.",
    "CLÁUSULA QUINTA - DA RESCISÃO: o contrato poderá ser rescindido por qualquer das partes.",
    "Fica eleito o foro da comarca de São Paulo para dirimir quaisquer dúvidas.",
    "E, por estarem justas e contratadas, as partes assinam o presente em duas vias, com duas testemunhas.",
]
WIDE = [
    "Observação “importante” — prazo: 30 dias… ",
    "CLÁUSULA SEXTA – DAS PENALIDADES ",
    "Ευρώ 1.000,00 € ",
    "서울 지점 ",
    "ＣＮＰＪ：１２３ ",
]


def make_text(size, wide):
    rnd = random.Random(7)
    parts, n = [], 0
    while n < size:
        p = rnd.choice(CLAUSES)
        if wide and rnd.random() < 0.3:
            p = rnd.choice(WIDE) + p
        parts.append(p)
        n += len(p) + 1
    return "\n".join(parts)[:size]


# One rebound run in a fresh interpreter: the process's peak resident memory
# (ru_maxrss, so C++ allocations count too) and the best time of three.
REBOUND_RUN = """
import random, resource, sys, time
sys.path.insert(0, {tests!r})
import reference_keywords as ref
from scrivane_contract import keywords
module = keywords if {ours!r} else ref
rnd = random.Random(4)
chars = [chr(0x4E00 + i) for i in range(3 * {n})]
rnd.shuffle(chars)
module.KEYWORDS_VALIDACAO = ["".join(chars[3 * i:3 * i + 3]) for i in range({n})]
text = "".join(rnd.choice(chars) for _ in range(20_000)) + "".join(module.KEYWORDS_VALIDACAO[::9])
t0 = time.perf_counter()
result = module.validar_documento_contrato(text)
best = time.perf_counter() - t0
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
for _ in range(2):
    t0 = time.perf_counter()
    module.validar_documento_contrato(text)
    best = min(best, time.perf_counter() - t0)
print(best, peak / 1024, result[1])
"""


def rebound():
    import subprocess
    import sys
    from pathlib import Path

    tests = str(Path(__file__).resolve().parent.parent / "tests")
    print("keywords: KEYWORDS_VALIDACAO rebound to n three-character CJK keywords, 20,000-character text")
    for n in (1000, 2000, 4000):
        runs = {}
        for ours in (False, True):
            out = subprocess.run([sys.executable, "-c", REBOUND_RUN.format(tests=tests, ours=ours, n=n)],
                                 capture_output=True, text=True, check=True).stdout.split()
            runs[ours] = (float(out[0]), float(out[1]), int(out[2]))
        assert runs[True][2] == runs[False][2]
        (b, bmem, _), (o, omem, _) = runs[False], runs[True]
        report(f"validar_documento_contrato, {n:,} patterns", b, o, 0.1)
        print(f"{'   peak resident memory of the process':<52} baseline {bmem:7.1f} MiB  ours {omem:7.1f} MiB  "
              f"(target: ours < baseline + 64 MiB: {'met' if omem < bmem + 64 else 'NOT met'})")


def main():
    cases = [
        ("(a) 1 MB contract text (Latin-1)", make_text(1_000_000, False), 3, 50),
        ("(b) 1 MB text beyond Latin-1", make_text(1_000_000, True), 3, 10),
        ("(c) 200-character text", make_text(200, False), 2000, 5),
    ]
    print("keywords")
    for label, text, number, target in cases:
        assert keywords.validar_documento_contrato(text) == ref.validar_documento_contrato(text)
        assert keywords.normalizar_texto(text) == ref.normalizar_texto(text)
        b = best_of(lambda: ref.normalizar_texto(text), repeat=5, number=number)
        o = best_of(lambda: keywords.normalizar_texto(text), repeat=5, number=number)
        report(f"normalizar_texto {label}", b, o)
        b = best_of(lambda: ref.validar_documento_contrato(text), repeat=5, number=number)
        o = best_of(lambda: keywords.validar_documento_contrato(text), repeat=5, number=number)
        report(f"validar_documento_contrato {label}", b, o, target)
    print()
    rebound()


if __name__ == "__main__":
    main()
