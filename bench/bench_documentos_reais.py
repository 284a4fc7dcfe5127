"""Benchmark of the local provider on real contracts written by others.

Runs over a folder of real documents with hand labels (``pdfs/NAME.pdf``,
``labels/NAME.json`` and the reference scorer ``pontuar.py``), when one is
there: by default ``../shared/realdocs`` beside the checkout (or the folder
given as the first argument, or in SCRIVANE_DOCUMENTOS_REAIS).  Each PDF is
read (scanned pages by OCR) and its text read by the rules; the companies,
signatories and the contract decision are scored with the scorer's own
functions, per document and per field, next to the same figures on the
accuracy set of tests/acuracia/.  The pair check counts, among the extracted
CNPJs that belong to a labelled company, those that sit on that company's
name (right) and those that sit on another name (wrong: the registry would
check the wrong party).  The contract decision is the reader's own
("eh_contrato").  It also prints the reading speed: text pages read and
extracted (ms per page), against pdfium's bare text of the same pages
measured in the same run, and pages read by OCR.

``pontuar.py`` itself scores the whole command line (``verificar --provedor
local``) end to end; this benchmark scores the reading alone, faster and
without a registry.

Run with ``.venv/bin/python bench/bench_documentos_reais.py [FOLDER] [--json FILE] [--cache DIR]
[--comparar-com PYTHON]``.

``--comparar-com PYTHON`` also times the text path (read and extracted, per text page) under another
interpreter that has its own build of scrivane installed (an earlier commit's ``.venv/bin/python``),
next to this build, on the same text documents in the same run: each build in its own process,
alternated three times, the best of each kept.

``--cache DIR`` keeps each document that needed OCR, as read, in DIR (pickled), so that work on the rules
does not pay Tesseract again on every run; an entry is used only while the file and the reader's own
sources (``scrivane/document.py``, ``ocr.py``, ``layout.py``) are unchanged.  The reading times of those
documents are then not measured; text documents are always read afresh.
"""

from __future__ import annotations

import hashlib
import importlib.util
import json
import os
import pickle
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import acuracia  # noqa: E402

from scrivane import layout, read_document  # noqa: E402
from scrivane.local_extractor import extrair  # noqa: E402

# Targets on real documents: field -> (precision, recall); the contract decision's accuracy.
METAS = {"cnpj": (0.95, 0.85), "empresa_nome": (0.90, 0.75), "signatario": (0.85, 0.65),
         "signatario_empresa": (0.80, 0.55)}
META_DECISAO = 0.85
META_MS_POR_PAGINA = 50.0
# Runs of each text path per document (with the layout and without it), alternated; the best is kept.
REPETICOES = 5
# The accuracy set's fields that match the real documents' ones.
CAMPOS_ACURACIA = {"cnpj": "empresa.cnpj", "empresa_nome": "empresa.razao_social",
                   "signatario": "assinatura.nome_signatario", "signatario_empresa": "assinatura.empresa_representada"}


def pasta_padrao() -> Path | None:
    candidatas = [os.environ.get("SCRIVANE_DOCUMENTOS_REAIS"), HERE.parent.parent / "shared" / "realdocs",
                  HERE.parent.parent.parent / "shared" / "realdocs"]
    return next((Path(c) for c in candidatas if c and (Path(c) / "labels").is_dir()), None)


def carregar_pontuador(pasta: Path):
    spec = importlib.util.spec_from_file_location("pontuar", pasta / "pontuar.py")
    modulo = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(modulo)
    return modulo


def fmt(x):
    return "  -  " if x is None else f"{x:5.2f}"


def pares(pontuar, rotulo: dict, empresas: list[dict]) -> tuple[int, int]:
    """Extracted CNPJs of labelled companies: (on that company's name, on another name)."""
    certos = errados = 0
    for e in empresas:
        digitos = pontuar.digits(e.get("cnpj"))
        dono = next((g for g in rotulo.get("empresas") or [] if digitos and pontuar.digits(g.get("cnpj")) == digitos),
                    None)
        if dono is None:
            continue
        if pontuar.company_match(e.get("razao_social"), pontuar.gold_names(dono)):
            certos += 1
        else:
            errados += 1
    return certos, errados


def texto_puro(caminho: Path) -> int:
    """pdfium's bare text of every page (the baseline of the reading speed); returns the page count."""
    import pypdfium2 as pdfium

    pdf = pdfium.PdfDocument(str(caminho))
    try:
        for pagina in pdf:
            textpage = pagina.get_textpage()
            textpage.get_text_range()
            textpage.close()
            pagina.close()
        return len(pdf)
    finally:
        pdf.close()


def ler_com_layout(caminho: Path) -> None:
    """The text path as it is: read (words measured) and extracted through the layout."""
    doc = read_document(caminho)
    extrair_documento(doc)


def ler_sem_layout(caminho: Path) -> None:
    """The text path without the layout (the baseline of its cost): no word measured, the plain text extracted."""
    original = layout.medir_palavras_pdfium
    layout.medir_palavras_pdfium = lambda *_: tuple
    try:
        doc = read_document(caminho)
    finally:
        layout.medir_palavras_pdfium = original
    extrair(doc.pages)


def _chave_cache(caminho: Path) -> str:
    h = hashlib.sha256(caminho.read_bytes())
    fontes = Path(layout.__file__).parent
    for nome in ("document.py", "ocr.py", "layout.py"):
        h.update((fontes / nome).read_bytes())
    return h.hexdigest()[:32]


def ler(caminho: Path, cache: Path | None):
    """The document as read; OCR'd documents come from the cache when it holds this very reading."""
    if cache is None:
        return read_document(caminho), False
    entrada = cache / f"{caminho.stem}-{_chave_cache(caminho)}.pickle"
    if entrada.exists():
        return pickle.loads(entrada.read_bytes()), True
    doc = read_document(caminho)
    if doc.ocr_pages:
        cache.mkdir(parents=True, exist_ok=True)
        entrada.write_bytes(pickle.dumps(doc))
    return doc, False


def reais(pasta: Path, cache: Path | None = None) -> dict:
    pontuar = carregar_pontuador(pasta)
    nomes = sorted(p.stem for p in (pasta / "labels").glob("*.json") if (pasta / "pdfs" / (p.stem + ".pdf")).exists())
    total = {f: [0, 0, 0] for f in pontuar.FIELDS}
    decisao = {"tp": 0, "fp": 0, "fn": 0, "tn": 0}
    texto_s = texto_paginas = ocr_s = ocr_paginas = puro_s = leitura_s = sem_layout_s = com_layout_s = 0.0
    certos = errados = 0
    por_documento = {}
    textos: list[Path] = []
    print(f"Real documents in {pasta} ({len(nomes)})")
    print(f"  {'documento':44} {'ctr':4} " + " ".join(f"{f:>18}" for f in pontuar.FIELDS)
          + "  pares  páginas (OCR)   ms/página")
    for nome in nomes:
        rotulo = json.loads((pasta / "labels" / (nome + ".json")).read_text(encoding="utf-8"))
        caminho = pasta / "pdfs" / (nome + ".pdf")
        inicio = time.perf_counter()
        doc, do_cache = ler(caminho, cache)
        lido_em = time.perf_counter()
        lido = extrair_documento(doc)
        gasto = time.perf_counter() - inicio
        if doc.ocr_pages:
            ocr_s += 0.0 if do_cache else gasto
            ocr_paginas += len(doc.ocr_pages)
        else:
            texto_s += gasto
            leitura_s += lido_em - inicio
            texto_paginas += len(doc.pages)
            textos.append(caminho.resolve())
            puro_s += min(_tempo(texto_puro, caminho) for _ in range(2))
            # The two text paths in alternate runs, the best of each (a busy machine slows some runs).
            sem, com = [], []
            for _ in range(REPETICOES):
                sem.append(_tempo(ler_sem_layout, caminho))
                com.append(_tempo(ler_com_layout, caminho))
            sem_layout_s += min(sem)
            com_layout_s += min(com)
        empresas = [{"cnpj": e["cnpj"], "razao_social": e["razao_social"]} for e in lido["empresas"]]
        assinaturas = [s for s in lido["assinaturas"] if s.get("nome_signatario")]
        placar = pontuar.score(rotulo, empresas, assinaturas)
        for campo in pontuar.FIELDS:
            for i in range(3):
                total[campo][i] += placar[campo][i]
        g, e = bool(rotulo.get("contrato")), bool(lido.get("eh_contrato"))
        decisao["tp" if g and e else "fn" if g else "fp" if e else "tn"] += 1
        par = pares(pontuar, rotulo, empresas)
        certos, errados = certos + par[0], errados + par[1]
        por_documento[nome] = {"contrato": [g, e], "pares": par, **{c: placar[c] for c in pontuar.FIELDS}}
        motivos = sorted({p.motivo for p in doc.ocr_pages})
        print(f"  {nome[:44]:44} {'S' if g else 'N'}{'S' if e else 'N':3} "
              + " ".join(f"{'%d/%d/%d' % placar[c]:>18}" for c in pontuar.FIELDS)
              + f"  {'%d/%d' % par:>5}  {len(doc.pages):3d} ({len(doc.ocr_pages):2d}{' ' + ','.join(motivos) if motivos else ''})"
              + f"  {1e3 * gasto / max(1, len(doc.pages)):8.1f}")
    print("  (acertos/extras/faltas; ctr: rótulo e leitura, S = contrato; pares: CNPJ no nome certo/errado)")
    saida = {}
    for campo in pontuar.FIELDS:
        p, r = pontuar.prf(*total[campo])
        saida[campo] = (p, r)
    acuracia_decisao = (decisao["tp"] + decisao["tn"]) / max(1, len(nomes))
    ms_texto = 1e3 * texto_s / max(1, texto_paginas)
    return {"campos": saida, "totais": total, "decisao": acuracia_decisao, "falsos_contratos": decisao["fp"],
            "ms_texto": ms_texto, "paginas_texto": int(texto_paginas), "ocr_s": ocr_s, "paginas_ocr": int(ocr_paginas),
            "ms_puro": 1e3 * puro_s / max(1, texto_paginas),
            "ms_sem_layout": 1e3 * sem_layout_s / max(1, texto_paginas),
            "ms_com_layout": 1e3 * com_layout_s / max(1, texto_paginas), "ms_leitura": 1e3 * leitura_s / max(1, texto_paginas),
            "pares": (certos, errados), "documentos": por_documento, "textos": textos}


def _tempo(funcao, *args) -> float:
    inicio = time.perf_counter()
    funcao(*args)
    return time.perf_counter() - inicio


def extrair_documento(doc):
    """The reading of a read document: through its layout when the reader takes it."""
    layout = getattr(doc, "layout", None)
    return extrair(doc.pages, layout=layout) if layout is not None else extrair(doc.pages)


def conjunto_acuracia() -> dict:
    placar = acuracia.Placar()
    for caso in acuracia.casos():
        placar.registrar(caso, extrair(caso.paginas))
    return placar.metricas()


def comparar_builds(outro_python: str, caminhos: list[Path]) -> None:
    """The text path per page of this build and of ``outro_python``'s, timed alternately."""
    import subprocess

    script = str(HERE / "_caminho_texto.py")
    melhores: dict[str, dict] = {}
    for _ in range(3):
        for nome, python in (("este", sys.executable), ("outro", outro_python)):
            saida = subprocess.run([python, script, *map(str, caminhos)], capture_output=True, text=True,
                                   cwd="/", check=True).stdout
            medido = json.loads(saida.strip().splitlines()[-1])
            total = medido["ms_ler"] + medido["ms_extrair"]
            if nome not in melhores or total < melhores[nome]["ms_ler"] + melhores[nome]["ms_extrair"]:
                melhores[nome] = medido
    este, outro = melhores["este"], melhores["outro"]
    print(f"Text path per page against {outro_python} ({este['paginas']} text pages, best of 3 alternated runs):")
    for rotulo, chave in (("read", "ms_ler"), ("extracted", "ms_extrair")):
        print(f"  {rotulo:10} this build {este[chave]:6.2f} ms, the other {outro[chave]:6.2f} ms "
              f"(ratio {este[chave] / max(outro[chave], 1e-9):.2f}x)")
    t_este, t_outro = este["ms_ler"] + este["ms_extrair"], outro["ms_ler"] + outro["ms_extrair"]
    print(f"  {'both':10} this build {t_este:6.2f} ms, the other {t_outro:6.2f} ms (ratio {t_este / t_outro:.2f}x; "
          f"target <= 1.00: {'met' if t_este <= t_outro else 'NOT met'})")


def main() -> None:
    argumentos = sys.argv[1:]
    outro_python = None
    if "--comparar-com" in argumentos:
        k = argumentos.index("--comparar-com")
        outro_python = argumentos[k + 1]
        del argumentos[k:k + 2]
    saida_json = None
    if "--json" in argumentos:
        k = argumentos.index("--json")
        saida_json = argumentos[k + 1]
        del argumentos[k:k + 2]
    cache = None
    if "--cache" in argumentos:
        k = argumentos.index("--cache")
        cache = Path(argumentos[k + 1])
        del argumentos[k:k + 2]
    pasta = Path(argumentos[0]) if argumentos else pasta_padrao()
    conjunto = conjunto_acuracia()
    if pasta is None or not (pasta / "labels").is_dir():
        print("Real documents: none found (give the folder as an argument or in SCRIVANE_DOCUMENTOS_REAIS)")
        reais_ = None
    else:
        reais_ = reais(pasta, cache)
    print()
    print(f"{'field':20} {'real documents':>26} {'target':>12}   {'accuracy set':>24}")
    for campo, rotulo in CAMPOS_ACURACIA.items():
        p_a, r_a = conjunto.get(rotulo, (None, None))
        if reais_:
            p, r = reais_["campos"][campo]
            meta = METAS[campo]
            ok = p is not None and r is not None and p >= meta[0] and r >= meta[1]
            real = f"P {fmt(p)}  R {fmt(r)}"
            alvo = f"{meta[0]:.2f}/{meta[1]:.2f} {'met' if ok else 'NOT met'}"
        else:
            real, alvo = "-", ""
        print(f"{campo:20} {real:>26} {alvo:>16}   P {fmt(p_a)}  R {fmt(r_a)}")
    p_d, r_d = conjunto.get("documento.contrato", (None, None))
    if reais_:
        ok = reais_["decisao"] >= META_DECISAO and reais_["falsos_contratos"] == 0
        print(f"{'contract decision':20} {'accuracy ' + fmt(reais_['decisao']):>26} "
              f"{'>= 0.85, 0 false ' + ('met' if ok else 'NOT met'):>16}   P {fmt(p_d)}  R {fmt(r_d)}")
        print(f"  non-contracts read as contracts: {reais_['falsos_contratos']}")
        certos, errados = reais_["pares"]
        print(f"{'pair check':20} {f'{certos} CNPJs on the right name, {errados} on a wrong one':>40}"
              f"   (target: 0 wrong, {'met' if errados == 0 else 'NOT met'})")
        ok = reais_["ms_texto"] <= META_MS_POR_PAGINA
        print(f"Text pages read and extracted: {reais_['ms_texto']:.1f} ms/page over {reais_['paginas_texto']} pages "
              f"(target <= {META_MS_POR_PAGINA:.0f}: {'met' if ok else 'NOT met'}); documents with OCR: "
              f"{reais_['ocr_s']:.1f} s for {reais_['paginas_ocr']} OCR'd pages")
        print(f"  of which reading (text and layout): {reais_['ms_leitura']:.1f} ms/page; pdfium's bare text: "
              f"{reais_['ms_puro']:.1f} ms/page (ratio {reais_['ms_leitura'] / max(reais_['ms_puro'], 1e-9):.1f}x)")
        print(f"  text path with the layout: {reais_['ms_com_layout']:.1f} ms/page; without it (no word measured, "
              f"plain text extracted): {reais_['ms_sem_layout']:.1f} ms/page (ratio "
              f"{reais_['ms_com_layout'] / max(reais_['ms_sem_layout'], 1e-9):.2f}x)")
        if outro_python:
            comparar_builds(outro_python, reais_["textos"])
        if saida_json:
            Path(saida_json).write_text(json.dumps({"conjunto": {k: list(v) for k, v in conjunto.items()},
                                                    **reais_}, ensure_ascii=False, indent=1, default=str))


if __name__ == "__main__":
    main()
