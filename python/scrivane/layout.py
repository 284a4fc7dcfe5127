"""Páginas como estão dispostas: palavras com suas caixas, em linhas, blocos e colunas.

Cada página de um PDF lido vira uma ``Pagina`` com as suas ``Palavra``: o
texto de cada palavra e a sua caixa em pontos de PDF (1/72 de polegada),
com a origem no canto superior esquerdo da página e ``y`` crescendo para
baixo (como numa imagem da página; ``y0`` é o topo, ``y1`` a base).  Numa
página de texto as caixas vêm do PDFium (a caixa do primeiro caractere e a
do último; a margem direita de uma palavra curta seguida de outra na mesma
linha é estimada pela seguinte, ver ``palavras_pdfium``); numa página lida
por OCR, das caixas de palavra do Tesseract, convertidas da imagem para
pontos.  ``Palavra`` é uma tupla nomeada (texto, x0, y0, x1, y1).

As palavras são agrupadas, uma vez por página e só quando pedidas, em
``Linha`` (palavras na mesma altura e sem um vão largo entre elas: dois
blocos de assinatura lado a lado dão duas linhas), ``Bloco`` (linhas que se
seguem na mesma coluna) e colunas (``Bloco.coluna``: a ordem, da esquerda
para a direita, de blocos que dividem a mesma faixa da página).

As medidas de uma página de texto são tomadas numa só chamada ao módulo
compilado ``scrivane._palavras`` (que chama o próprio PDFium), enquanto a
página está aberta; as palavras são montadas delas só quando pedidas, com o
fim de cada linha do texto (``Pagina.palavras_em_ordem``).

``ler_layout(caminho)`` lê um PDF e devolve as suas páginas; quem já tem o
``Document`` lido por ``scrivane.read_document`` usa ``layout_do_documento``
(ou ``Document.layout``), que não relê o PDF: as caixas são tomadas durante a
própria leitura do texto.  Arquivos de texto não têm layout (tupla vazia).
"""

from __future__ import annotations

import ctypes
import os
import re
from bisect import bisect_right
from dataclasses import dataclass
from functools import cached_property
from operator import attrgetter, itemgetter, sub
from typing import Callable, Iterable, NamedTuple, Optional, Sequence

__all__ = ["Palavra", "Linha", "Bloco", "Pagina", "ler_layout", "layout_do_documento", "palavras_pdfium",
           "palavras_tesseract"]


class Palavra(NamedTuple):
    """Uma palavra e a sua caixa, em pontos (origem no canto superior esquerdo)."""

    texto: str
    x0: float
    y0: float
    x1: float
    y1: float

    @property
    def altura(self) -> float:
        return self.y1 - self.y0

    @property
    def centro_y(self) -> float:
        return (self.y0 + self.y1) / 2


def _caixa(itens: Iterable) -> tuple[float, float, float, float]:
    itens = list(itens)
    return (min(map(_ATTR_X0, itens)), min(map(_ATTR_Y0, itens)), max(map(_ATTR_X1, itens)),
            max(map(_ATTR_Y1, itens)))


_ATTR_X0, _ATTR_Y0, _ATTR_X1, _ATTR_Y1 = (attrgetter(c) for c in ("x0", "y0", "x1", "y1"))


@dataclass(frozen=True)
class Linha:
    """Palavras lidas da esquerda para a direita, na mesma altura e sem vão de coluna entre elas."""

    palavras: tuple[Palavra, ...]
    x0: float
    y0: float
    x1: float
    y1: float

    @classmethod
    def de(cls, palavras: Sequence[Palavra]) -> "Linha":
        return cls(tuple(palavras), *_caixa(palavras))

    @property
    def texto(self) -> str:
        return " ".join(p.texto for p in self.palavras)

    @property
    def altura(self) -> float:
        return self.y1 - self.y0


@dataclass(frozen=True)
class Bloco:
    """Linhas seguidas de uma mesma coluna; ``coluna`` conta da esquerda (0) entre os blocos da mesma faixa."""

    linhas: tuple[Linha, ...]
    x0: float
    y0: float
    x1: float
    y1: float
    coluna: int = 0

    @property
    def texto(self) -> str:
        return "\n".join(l.texto for l in self.linhas)


class Pagina:
    """Uma página: número (a partir de 1), tamanho em pontos e as palavras; as palavras, as linhas e
    os blocos são calculados uma vez, na primeira vez em que são pedidos.

    ``palavras``: a tupla de ``Palavra``, ou uma função sem argumentos que a devolve (as medidas
    de uma página de texto são tomadas do PDFium na leitura; as palavras, montadas só quando pedidas).
    """

    def __init__(self, numero: int, largura: float, altura: float,
                 palavras: "tuple[Palavra, ...] | Callable[[], tuple[Palavra, ...]]" = (), ocr: bool = False) -> None:
        self.numero = numero
        self.largura = largura
        self.altura = altura
        self.ocr = ocr  # the words came from Tesseract
        if callable(palavras):
            self._montar = palavras
        else:
            self.__dict__["palavras"] = tuple(palavras)

    @cached_property
    def palavras(self) -> tuple[Palavra, ...]:
        montar = self._montar
        if isinstance(montar, (_Medidas, _MedidasC)):
            palavras, self._fins = montar.montar()
            return palavras
        return tuple(montar())

    def palavras_em_ordem(self) -> tuple[Sequence[Palavra], Sequence[bool], bool]:
        """As palavras na ordem de leitura, para cada uma se ela termina a sua linha, e se essa é a
        ordem do próprio texto da página: a ordem dos blocos quando a página já foi agrupada (o
        texto dela foi lido deles), senão a do texto da página (PDFium), senão a dos blocos."""
        palavras = self.palavras
        fins = self.__dict__.get("_fins")
        if fins is not None and "blocos" not in self.__dict__:
            return palavras, fins, True
        ordem: list[Palavra] = []
        fins = []
        for bloco in self.blocos:
            for linha in bloco.linhas:
                ordem += linha.palavras
                fins += [False] * (len(linha.palavras) - 1) + [True]
        return ordem, fins, False

    def __repr__(self) -> str:
        return f"Pagina(numero={self.numero}, largura={self.largura}, altura={self.altura}, ocr={self.ocr})"

    @cached_property
    def linhas(self) -> tuple[Linha, ...]:
        return tuple(l for _, l in self._linhas_em_faixas)

    @cached_property
    def _linhas_em_faixas(self) -> list[tuple[int, Linha]]:
        """Every line with the index of the row of the page it sits on (one row: one height)."""
        saida: list[tuple[int, Linha]] = []
        for faixa, fila in enumerate(_filas(self.palavras)):
            for pedaco in _cortar_em_colunas(fila):
                saida.append((faixa, Linha.de(pedaco)))
        return saida

    @cached_property
    def blocos(self) -> tuple[Bloco, ...]:
        return tuple(_blocos(self._linhas_em_faixas))

    @property
    def texto(self) -> str:
        """O texto da página na ordem de leitura: bloco a bloco, cada coluna da faixa por vez."""
        return "\n".join(b.texto for b in self.blocos)

    @cached_property
    def faixas(self) -> tuple[tuple[Bloco, ...], ...]:
        """Os blocos em faixas: cada faixa, os blocos lado a lado na mesma altura, da esquerda para a direita."""
        saida: list[list[Bloco]] = []
        for b in self.blocos:
            if saida and b.coluna > 0 and b.y0 < max(x.y1 for x in saida[-1]):
                saida[-1].append(b)
            else:
                saida.append([b])
        return tuple(tuple(f) for f in saida)

    def palavras_em(self, x0: float, y0: float, x1: float, y1: float) -> list[Palavra]:
        """As palavras cujo centro cai dentro da caixa dada."""
        return [p for p in self.palavras
                if x0 <= (p.x0 + p.x1) / 2 <= x1 and y0 <= p.centro_y <= y1]


# ---------------------------------------------------------------------------
# Grouping
# ---------------------------------------------------------------------------

# A gap between two words of one row wider than this many times the row's height is a column gutter.
VAO_COLUNA = 2.5


# A word's fields by position (a ``Palavra`` is a plain tuple: the grouping reads them many times).
_X0, _Y0, _X1, _Y1 = (itemgetter(k) for k in range(1, 5))


def _chave_fila(p: Palavra) -> tuple[float, float]:
    return (p[2] + p[4]) / 2, p[1]  # centre height, left edge


def _filas(palavras: Sequence[Palavra]) -> list[list[Palavra]]:
    """Words on the same height, top to bottom, each row left to right."""
    filas: list[list[Palavra]] = []
    ultima: list[Palavra] = []
    # The top and bottom of the row's last three words (the row's height where the next word would go).
    t1 = t2 = t3 = b1 = b2 = b3 = 0.0
    for p in sorted(palavras, key=_chave_fila):
        y0, y1 = p[2], p[4]
        if filas:
            topo = t1 if t1 <= t2 and t1 <= t3 else (t2 if t2 <= t3 else t3)
            base = b1 if b1 >= b2 and b1 >= b3 else (b2 if b2 >= b3 else b3)
            sobreposto = (y1 if y1 < base else base) - (y0 if y0 > topo else topo)
            menor = y1 - y0 if y1 - y0 < base - topo else base - topo
            if sobreposto >= 0.5 * menor or abs((y0 + y1) / 2 - (topo + base) / 2) < 1.0:
                ultima.append(p)
                t1, t2, t3, b1, b2, b3 = t2, t3, y0, b2, b3, y1
                continue
        ultima = [p]
        filas.append(ultima)
        t1 = t2 = t3 = y0
        b1 = b2 = b3 = y1
    return [sorted(f, key=_X0) for f in filas]


def _cortar_em_colunas(fila: list[Palavra]) -> list[list[Palavra]]:
    """A row cut where a gap between words is wide enough to be a gutter between columns."""
    if len(fila) < 2:
        return [fila]
    # The median height (as statistics.median gives it; that module is not loaded for this).
    alturas = sorted(map(sub, map(_Y1, fila), map(_Y0, fila)))
    meio = len(alturas) // 2
    altura = (alturas[meio] if len(alturas) % 2 else (alturas[meio - 1] + alturas[meio]) / 2) or 1.0
    limite = VAO_COLUNA * altura
    vaos = list(map(sub, map(_X0, fila[1:]), map(_X1, fila)))
    if max(vaos) <= limite:
        return [fila]  # most rows: no gutter
    pedacos = [[fila[0]]]
    for vao, p in zip(vaos, fila[1:]):
        if vao > limite:
            pedacos.append([p])
        else:
            pedacos[-1].append(p)
    return pedacos


def _blocos(linhas: list[tuple[int, Linha]]) -> list[Bloco]:
    """Lines joined into blocks: a line goes on the block right above it in the same column
    (overlapping horizontally, close below it).  Blocks are then ordered by bands: blocks side by
    side share a band and are read left to right, each whole."""
    # Each open block: its lines, and its last line's row, left, right, bottom and height.
    abertos: list[tuple[list[Linha], int, float, float, float, float]] = []
    for faixa, linha in linhas:
        x0, y0, x1, y1 = linha.x0, linha.y0, linha.x1, linha.y1
        altura = y1 - y0
        escolhido = None
        for k in range(len(abertos) - 1, -1, -1):
            bloco, ultima_faixa, bx0, bx1, by1, baltura = abertos[k]
            if (ultima_faixa < faixa and (bx1 if bx1 < x1 else x1) - (bx0 if bx0 > x0 else x0) > 0
                    and y0 - by1 <= 1.2 * (baltura if baltura >= altura else altura)):
                escolhido = k
                break
        if escolhido is None:
            abertos.append(([linha], faixa, x0, x1, y1, altura))
        else:
            bloco = abertos[escolhido][0]
            bloco.append(linha)
            abertos[escolhido] = (bloco, faixa, x0, x1, y1, altura)
    blocos = [Bloco(tuple(aberto[0]), *_caixa(aberto[0])) for aberto in abertos]
    # Bands: blocks whose vertical extents overlap sit side by side.
    blocos.sort(key=lambda b: (b.y0, b.x0))
    saida: list[Bloco] = []
    faixa: list[Bloco] = []
    base = None
    for b in blocos:
        if faixa and b.y0 < base - 0.5:
            faixa.append(b)
            base = max(base, b.y1)
            continue
        saida.extend(_numerar(faixa))
        faixa, base = [b], b.y1
    saida.extend(_numerar(faixa))
    return saida


def _numerar(faixa: list[Bloco]) -> list[Bloco]:
    faixa = sorted(faixa, key=lambda b: b.x0)
    saida: list[Bloco] = []
    coluna = -1
    direita = float("-inf")
    for b in faixa:
        if b.x0 >= direita - 0.5:
            coluna += 1
        direita = max(direita, b.x1)
        saida.append(Bloco(b.linhas, b.x0, b.y0, b.x1, b.y1, coluna=max(coluna, 0)))
    return saida


# ---------------------------------------------------------------------------
# Words from PDFium and from Tesseract
# ---------------------------------------------------------------------------

_PALAVRA = re.compile(r"[^\s\ufffe]+")


def _sem_conversao(funcao):
    """The same C function, called without ctypes' per-argument conversion (the arguments are
    passed as plain pointers and ints): a call per word is then about twice as cheap."""
    return type(funcao)(ctypes.cast(funcao, ctypes.c_void_p).value)


_FUNCOES: dict = {}

try:  # the words measured in C++; without the built module, in Python below (the same words)
    from ._palavras import medir as _medir, montar as _montar
except ImportError:  # running from a source tree without the built module
    _medir = _montar = None


def _caixa_solta():
    funcao = _FUNCOES.get("caixa")
    if funcao is None:
        import pypdfium2.raw as pdfium_c

        funcao = _FUNCOES["caixa"] = _sem_conversao(pdfium_c.FPDFText_GetLooseCharBox)
        funcao.restype = ctypes.c_int
    return funcao


def palavras_pdfium(textpage, texto: str, altura: float) -> tuple[Palavra, ...]:
    """As palavras de uma página de texto do PDFium (``textpage``: o objeto de texto aberto da página;
    ``texto``: o que ``get_text_range()`` deu dele), com caixas em pontos.

    O topo, a base e a margem esquerda de cada palavra são os do seu primeiro caractere. A margem
    direita é a do último caractere quando um vão largo pode seguir a palavra (fim de linha, palavra
    longa, espaço grande até a seguinte); numa palavra curta seguida, na mesma linha, por outra a
    distância normal, é a margem esquerda da seguinte menos um espaço."""
    return medir_palavras_pdfium(textpage, texto, altura)()


def medir_palavras_pdfium(textpage, texto: str, altura: float) -> Callable[[], tuple[Palavra, ...]]:
    """As medidas das palavras da página, tomadas enquanto ``textpage`` está aberto: um objeto que,
    chamado, monta com elas as palavras de ``palavras_pdfium`` (só quando as palavras são pedidas).

    Só as chamadas ao PDFium acontecem aqui: as caixas do primeiro e do último caractere de cada
    palavra vão direto para um só vetor de números; o resto fica para quando as palavras servirem."""
    import pypdfium2.raw as pdfium_c

    raw = getattr(textpage, "raw", textpage)
    total = pdfium_c.FPDFText_CountChars(raw)
    if total <= 0 or not texto:
        return tuple
    if _medir is not None:
        # One call measures every word (PDFium called from C++ through the same library's functions).
        funcoes = _FUNCOES.get("enderecos")
        if funcoes is None:
            funcoes = _FUNCOES["enderecos"] = tuple(ctypes.cast(f, ctypes.c_void_p).value for f in (
                pdfium_c.FPDFText_GetLooseCharBox, pdfium_c.FPDFText_GetCharIndexFromTextIndex))
        pagina = ctypes.cast(raw, ctypes.c_void_p).value
        return _MedidasC(texto, _medir(texto, pagina, *funcoes, len(texto) == total, float(altura)))
    # The text's positions are the characters' own unless pdfium inserted or dropped some.
    alinhado = len(texto) == total
    trechos = [m.span() for m in _PALAVRA.finditer(texto)]
    if not alinhado:
        indice = pdfium_c.FPDFText_GetCharIndexFromTextIndex
        trechos = [(i, j, indice(raw, i), indice(raw, j - 1)) for i, j in trechos]
        trechos = [t for t in trechos if t[2] >= 0 and t[3] >= 0]
        caracteres = [(c, d) for _, _, c, d in trechos]
    else:
        caracteres = [(i, j - 1) for i, j in trechos]
    # Two FS_RECTF (left, top, right, bottom) per word: its first and its last character.
    caixas = (ctypes.c_float * (8 * len(caracteres)))()
    pagina = ctypes.c_void_p(ctypes.cast(raw, ctypes.c_void_p).value)
    solta = _caixa_solta()
    ref = ctypes.byref
    falhas: set[int] = set()  # 2k: no box for word k's first character; 2k+1: for its last
    for k, (c, d) in enumerate(caracteres):
        if not solta(pagina, c, ref(caixas, 32 * k)):
            falhas.add(2 * k)
        if d != c and not solta(pagina, d, ref(caixas, 32 * k + 16)):
            falhas.add(2 * k + 1)

    return _Medidas(texto, trechos, alinhado, bytes(caixas), falhas, altura)


class _MedidasC:
    """A text page's words as measured in one call of ``scrivane._palavras``; called, they become its
    ``Palavra``s.  Plain data (the text and a string of bytes): a page travels pickled from a reader process."""

    __slots__ = ("texto", "medidas")

    def __init__(self, texto: str, medidas: bytes) -> None:
        self.texto, self.medidas = texto, medidas

    def __reduce__(self):
        return (_MedidasC, (self.texto, self.medidas))

    def __call__(self) -> tuple[Palavra, ...]:
        return self.montar()[0]

    def montar(self) -> tuple[tuple[Palavra, ...], list[bool]]:
        """The words, and whether each ends its line in the text."""
        return _montar(self.texto, self.medidas, Palavra)


class _Medidas:
    """A text page's words as measured while it was open; called, they become its ``Palavra``s.
    Plain data: a page travels pickled from a reader process."""

    __slots__ = ("texto", "trechos", "alinhado", "caixas", "falhas", "altura")

    def __init__(self, texto: str, trechos: list, alinhado: bool, caixas: bytes, falhas: set[int],
                 altura: float) -> None:
        self.texto, self.trechos, self.alinhado = texto, trechos, alinhado
        self.caixas, self.falhas, self.altura = caixas, falhas, altura

    def __reduce__(self):
        return (_Medidas, (self.texto, self.trechos, self.alinhado, self.caixas, self.falhas, self.altura))

    def __call__(self) -> tuple[Palavra, ...]:
        return self.montar()[0]

    def montar(self) -> tuple[tuple[Palavra, ...], list[bool]]:
        """The words, and whether each ends its line in the text."""
        return _montar_palavras(self.texto, self.trechos, self.alinhado, self.caixas, self.falhas, self.altura)


# What ends a line in PDFium's text: a line break, or its mark of a hyphen that ends a line inside a word.
_FIM_DE_LINHA = re.compile(r"[\r\n\ufffe]")


def _montar_palavras(texto: str, trechos: list, alinhado: bool, caixas: bytes, falhas: set[int],
                     altura: float) -> tuple[tuple[Palavra, ...], list[bool]]:
    valores = memoryview(caixas).cast("f").tolist()
    # The words followed by a line end before the next word.
    inicios = [t[0] for t in trechos]
    termina = {bisect_right(inicios, m.start()) - 1 for m in _FIM_DE_LINHA.finditer(texto)}
    termina.add(len(trechos) - 1)
    achadas: list[tuple] = []  # text, left, top, bottom, right of the last character
    fins: list[bool] = []
    for k, trecho in enumerate(trechos):
        if 2 * k in falhas:
            if fins and k in termina:
                fins[-1] = True
            continue
        fins.append(k in termina)
        inicio, fim = trecho[0], trecho[1]
        palavra = texto[inicio:fim]
        if alinhado and texto[fim:fim + 1] == "\ufffe":
            palavra += "-"
        base = 8 * k
        esquerda, topo, base_y = valores[base], valores[base + 1], valores[base + 3]
        if (trecho[3] == trecho[2]) if not alinhado else (fim - inicio == 1):
            direita = valores[base + 2]
        elif 2 * k + 1 in falhas:
            direita = esquerda
        else:
            direita = valores[base + 6]
        achadas.append((palavra, esquerda, altura - topo, altura - base_y, direita))
    palavras: list[Palavra] = []
    novo = tuple.__new__
    ultima = len(achadas) - 1
    for k, (palavra, x0, y0, y1, direita) in enumerate(achadas):
        h = y1 - y0
        if k < ultima:
            proxima = achadas[k + 1]
            vao = proxima[1] - x0
            # The narrowest letters take a fifth of the box height: a span this short leaves no room
            # for a column's gutter after the word.
            if abs(proxima[2] - y0) < 0.2 * h and 0 < vao <= 0.19 * h * len(palavra) + 2.4 * h:
                palavras.append(novo(Palavra, (palavra, x0, y0, max(x0, proxima[1] - 0.24 * h), y1)))
                continue
        palavras.append(novo(Palavra, (palavra, x0, y0, max(x0, direita), y1)))
    return tuple(palavras), fins


def palavras_tesseract(tsv: str, escala: float) -> tuple[Palavra, ...]:
    """As palavras da saída TSV do Tesseract (nível 5), convertidas de pixels para pontos (``escala``:
    pixels por ponto da imagem lida)."""
    palavras: list[Palavra] = []
    escala = escala or 1.0
    for linha in tsv.splitlines()[1:]:
        campos = linha.split("\t")
        if len(campos) < 12 or campos[0] != "5":
            continue
        texto = campos[11].strip()
        if not texto:
            continue
        try:
            x, y, w, h = (float(c) for c in campos[6:10])
        except ValueError:
            continue
        palavras.append(Palavra(texto, x / escala, y / escala, (x + w) / escala, (y + h) / escala))
    return tuple(palavras)


def layout_do_documento(documento) -> tuple[Pagina, ...]:
    """As páginas dispostas de um ``Document`` já lido (sem reler o arquivo); vazio para texto simples."""
    return tuple(getattr(documento, "layout", ()) or ())


def ler_layout(caminho: str | os.PathLike[str], *, ocr: Optional[bool] = None) -> list[Pagina]:
    """Lê o PDF em ``caminho`` e devolve as suas páginas com palavras, linhas e blocos."""
    from .document import read_document

    return list(layout_do_documento(read_document(caminho, ocr=ocr)))


def juntar_palavras(*grupos: Sequence[Palavra]) -> tuple[Palavra, ...]:
    saida: list[Palavra] = []
    for g in grupos:
        saida.extend(g)
    return tuple(saida)
