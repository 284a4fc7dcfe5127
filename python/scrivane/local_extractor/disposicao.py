"""The page as laid out, where the text stream runs blocks side by side into one line.

Signature and qualification blocks are often printed in two or three columns; a PDF's text layer
gives them row by row ("ANA PAULA GOMES MARCOS TEIXEIRA" / "CPF: ... CPF: ..."), so a name of
one block runs into the other's.  A page with such a band is read from its layout instead: each
block whole, left to right.  Other pages keep their text as it is (a label and its value in two
cells of a table are one row, not two columns).
"""

from __future__ import annotations

import re
from typing import Optional, Sequence

from .tabelas import CPF_RE, _PAPEL, _SEPARADOR, _dobrar
from .texto import _parece_pessoa
from ..layout import Pagina

# What marks a block as a signer's: a signature rule, a CPF, a witness label, a typed name in capitals.
_SINAL_ASSINATURA = re.compile(r"_{4,}|\bcpf\b|\btestemunha|\bassinatura\b|\brg\b|\bcnpj\b|\bnome\s*:", re.I)
_NOME_CAIXA_ALTA = re.compile(r"^[A-ZÀ-Ý][A-ZÀ-Ý'’.]+(?:\s+[A-ZÀ-Ý'’.]+){1,8}(?:\s*[–—-].*)?$")
# A party's role alone on its line, a label over a signature ("CONTRATANTE", "Pela CONTRATADA:").
_SO_PAPEL = re.compile(r"(?:pel[ao]\s+|p/\s*)?" + _PAPEL + r"\s*:?")
# The same signal word by word, each tried only where its letters stand in the lower-cased text (one
# search with every word runs the alternatives at each character of the page: most pages have none).
# Letters that match an ASCII one only under IGNORECASE ("ſ", "ı"), or that lower-case to two
# characters ("İ"), take the full search.
_PALAVRAS_SINAL = tuple((w, re.compile(r, re.I)) for w, r in (
    ("cpf", r"\bcpf\b"), ("testemunha", r"\btestemunha"), ("assinatura", r"\bassinatura\b"),
    ("rg", r"\brg\b"), ("cnpj", r"\bcnpj\b"), ("nome", r"\bnome\s*:")))
_DOBRA_ESPECIAL = re.compile("[ſıİ]")


def _tem_sinal(texto: str) -> bool:
    """Whether ``_SINAL_ASSINATURA`` is found in the text."""
    if "____" in texto:
        return True
    if _DOBRA_ESPECIAL.search(texto):
        return _SINAL_ASSINATURA.search(texto) is not None
    # Without those letters the lower-cased text keeps every character at its place: each word is
    # tried only where it stands there (a search for a literal is fast, one opening with \b is not).
    baixo = texto.lower()
    for w, r in _PALAVRAS_SINAL:
        i = baixo.find(w)
        while i >= 0:
            if r.match(texto, i):
                return True
            i = baixo.find(w, i + 1)
    return False


def _bloco_de_assinatura(linhas: Sequence[str]) -> bool:
    texto = "\n".join(linhas)
    if _tem_sinal(_dobrar(texto)) or CPF_RE.search(texto) or _SEPARADOR.search(texto):
        return True
    # A short block of a name in mixed case or of a bare role (a scan's OCR drops the signature rule).
    return any(_NOME_CAIXA_ALTA.match(l.strip()) or (len(linhas) <= 4 and (
        _parece_pessoa(l.strip()) or _SO_PAPEL.fullmatch(_dobrar(l.strip())))) for l in linhas)


def _rotulos(linhas: Sequence[str]) -> bool:
    """A column of labels ("Razão Social:", "CNPJ:"), the left cell of a table."""
    return sum(1 for l in linhas if l.rstrip().endswith(":")) * 2 > len(linhas)


def _faixa_paralela(faixa) -> bool:
    if len(faixa) < 2:
        return False
    blocos = [[l.texto for l in b.linhas] for b in faixa]
    if any(_rotulos(ls) for ls in blocos):
        return False
    assinados = 0
    for ls in blocos:
        if _bloco_de_assinatura(ls):
            assinados += 1
            if assinados == 2:
                return True
    return False


def _tem_vao(palavras) -> bool:
    """Whether two rows have words a column's gutter apart at the same place (a quick look before
    the page is grouped into blocks: blocks side by side span rows, a running header does not)."""
    vaos: list[float] = []
    ax1 = ay0 = None
    for _, x0, y0, x1, y1 in palavras:  # (unpacked: a page has hundreds of words)
        if ay0 is not None and abs(y0 - ay0) < 1.0 and x0 - ax1 > 2.5 * (y1 - y0):
            for x in vaos:
                if abs(x0 - x) < 40:
                    return True
            vaos.append(x0)
        ax1, ay0 = x1, y0
    return False


def _sem_repetidas(palavras) -> tuple:
    """A scan's words without the text layer's copy of what OCR read again at the same place (a
    stamp, a header): the same word with boxes whose centres lie within a letter's height."""
    vistas: dict[str, list] = {}
    saida = []
    for p in palavras:
        cx, cy, h = (p.x0 + p.x1) / 2, (p.y0 + p.y1) / 2, max(p.y1 - p.y0, 1.0)
        if any(abs(cx - x) < 2 * h and abs(cy - y) < h for x, y in vistas.get(p.texto, ())):
            continue
        vistas.setdefault(p.texto, []).append((cx, cy))
        saida.append(p)
    return tuple(saida)


def _vertical(p) -> bool:
    """A word set vertically: taller than wide, or too narrow for its letters side by side."""
    largura, altura = p.x1 - p.x0, p.y1 - p.y0
    return len(p.texto) >= 2 and (altura > largura or (len(p.texto) >= 3 and largura < 0.25 * altura * len(p.texto)))


def _vao_nas_linhas(linhas) -> bool:
    """Whether two rows of the page are cut by a gutter at the same place (lines side by side, at
    about the same height: a tilted scan moves a row's far end up or down)."""
    linhas = sorted(linhas, key=lambda l: (l.y0 + l.y1) / 2)
    cortes: list[float] = []
    for i, a in enumerate(linhas):
        for b in linhas[i + 1:i + 4]:
            if abs((a.y0 + a.y1) - (b.y0 + b.y1)) / 2 > 0.8 * max(a.altura, b.altura):
                break
            if a.x1 < b.x0 or b.x1 < a.x0:
                direita = max(a.x0, b.x0)
                if any(abs(direita - x) < 40 for x in cortes):
                    return True
                cortes.append(direita)
    return False


def texto_da_pagina(texto: str, pagina) -> str:
    """The page's text, read from its layout when blocks of signers stand side by side."""
    # The text's own test first: a text page's words are put together only when it has a signal.
    if pagina is None or (not pagina.ocr and not _tem_sinal(texto)) or not pagina.palavras:
        return texto
    if pagina.ocr:
        # A scan's page: its OCR words and, under them, a text layer's (a stamp set vertically
        # along the margin has no rows to read across: left out).  The words come block by block
        # and a slight tilt puts a row's words at different heights: gutters are looked for in
        # the page's lines.
        palavras = _sem_repetidas(p for p in pagina.palavras if not _vertical(p))
        if len(palavras) < len(pagina.palavras):
            pagina = Pagina(pagina.numero, pagina.largura, pagina.altura, palavras, ocr=True)
        if not _vao_nas_linhas(pagina.linhas):
            return texto
    else:
        if not _tem_vao(pagina.palavras):
            return texto
        # Text set vertically (a stamp along the margin) has no rows to read across: keep the stream.
        longas = [p for p in pagina.palavras if len(p.texto) >= 4]
        if sum(1 for p in longas if _vertical(p)) * 20 > len(longas):
            return texto
    faixas = pagina.faixas
    if not any(_faixa_paralela(f) for f in faixas):
        return texto
    linhas: list[str] = []
    for faixa in _juntar_faixas(faixas):
        if _faixa_paralela(faixa):
            for bloco in faixa:
                linhas.extend(l.texto for l in bloco.linhas)
        else:
            # Not signers side by side: the rows as the text stream gives them.
            for linha in _linhas_em_ordem(faixa):
                linhas.append(linha)
    return "\n".join(linhas)


class _Coluna:
    """The blocks of one column over bands that follow each other, read as one block."""

    def __init__(self, blocos) -> None:
        self.blocos = list(blocos)

    @property
    def linhas(self):
        return [l for b in self.blocos for l in b.linhas]

    @property
    def x0(self) -> float:
        return min(b.x0 for b in self.blocos)

    @property
    def x1(self) -> float:
        return max(b.x1 for b in self.blocos)

    @property
    def y1(self) -> float:
        return max(b.y1 for b in self.blocos)


def _alinhadas(cima, baixo) -> bool:
    """Two bands of blocks side by side, the one under the other, column over column and close: the
    parts of signature blocks split where a rule left a gap (a scan's OCR does not read the rule)."""
    if len(cima) != len(baixo) or len(cima) < 2:
        return False
    altura = max(max(l.altura for l in b.linhas) for b in baixo)
    if min(b.y0 for b in baixo) - max(b.y1 for b in cima) > 5 * max(altura, 1.0):
        return False
    return all(min(a.x1, b.x1) - max(a.x0, b.x0) > 0 for a, b in zip(cima, baixo))


def _juntar_faixas(faixas) -> list:
    """The page's bands, those of signature blocks that go on in the band below joined column by column."""
    saida: list = []
    for faixa in faixas:
        anterior = saida[-1] if saida else None
        if anterior is not None and _alinhadas(anterior, faixa) and (_faixa_paralela(anterior) or _faixa_paralela(faixa)):
            saida[-1] = [_Coluna(a.blocos + [b]) for a, b in zip(anterior, faixa)]
        else:
            saida.append([_Coluna([b]) for b in faixa])
    return saida


def _linhas_em_ordem(faixa) -> list[str]:
    todas = sorted((l for b in faixa for l in b.linhas), key=lambda l: (l.y0, l.x0))
    saida: list[tuple[float, float, list[str]]] = []
    for l in todas:
        if saida and abs(((l.y0 + l.y1) / 2) - saida[-1][0]) < 0.5 * max(l.altura, 1.0):
            saida[-1][2].append(l.texto)
        else:
            saida.append(((l.y0 + l.y1) / 2, l.x0, [l.texto]))
    return [" ".join(ts) for _, _, ts in saida]


def paginas_dispostas(paginas: Sequence[str], layout: Optional[Sequence]) -> list[str]:
    """Each page's text, read from its layout where signers' blocks stand side by side."""
    if not layout or len(layout) != len(paginas):
        return list(paginas)
    return [texto_da_pagina(t, p) for t, p in zip(paginas, layout)]
