"""Onde cada valor extraído foi lido: evidências e valores que o documento não traz.

Depois que uma pergunta é respondida (pelo modelo ou pelo leitor local), cada
item de uma lista da resposta cujo tipo declara ``campos_no_documento`` (por
exemplo, uma empresa ou um signatário) é procurado nas palavras das páginas:

* ``evidencias``: para cada valor achado, ``{"campo", "pagina" (a partir de 1),
  "trecho" (o texto da página em volta do valor, até ~200 caracteres),
  "caixa" ([x0, y0, x1, y1] em pontos, origem no canto superior esquerdo da
  página; None num arquivo de texto)}``;
* ``divergencias``: os valores que decidem a verificação e que o documento não
  traz: "não encontrado no documento", ou, para um número (CNPJ, CPF) que o
  documento traz com outros dígitos, "lido diferente", com o número do documento.

Quando o modelo dá o ``trecho`` literal de onde leu o item, o trecho é
localizado primeiro (por semelhança, tolerante a quebras de linha, hifenização
e ruído de OCR) e os valores são procurados nele; senão, e quando não estão
lá, no documento inteiro.  Caixas vêm das palavras de ``Document.layout``
(PDFium, ou Tesseract nas páginas lidas por OCR); nada relê o arquivo.
"""

from __future__ import annotations

import operator
import re
import typing
import unicodedata
import weakref
from bisect import bisect_left, bisect_right
from dataclasses import dataclass
from itertools import accumulate, compress, repeat
from typing import Any, Optional, Sequence

from rapidfuzz import fuzz
from rapidfuzz.distance import Levenshtein

try:  # a page's words joined and its tokens in C++; the Python below gives the same
    from ._palavras import hifens as _hifens_c, juntar as _juntar_c, tokens as _tokens_c
except ImportError:  # running from a source tree without the built module
    _hifens_c = _juntar_c = _tokens_c = None

__all__ = ["Indice", "fundamentar", "itens_com_evidencia", "NAO_ENCONTRADO", "LIDO_DIFERENTE"]

NAO_ENCONTRADO = "não encontrado no documento"
LIDO_DIFERENTE = "lido diferente"

# About this many characters of page text are shown around a value.
TRECHO_CARACTERES = 200
# A name is taken as found when its best word-aligned match scores this much (rapidfuzz ratio, 0-100).
NOME_LIMIAR = 88.0
# Names shorter than this (folded) must appear exactly.
NOME_MINIMO_APROXIMADO = 10
# A model's passage is taken as located when it scores this much.
TRECHO_LIMIAR = 75.0
# Words around a value already found where the item's other values are looked for first.
VIZINHANCA = 80
# At most this many digits apart, a number in the document is the same number read differently.
DIGITOS_DIFERENTES = 2

_TOKEN = re.compile(r"[0-9a-z]+")
# A number as printed: digits with dots, dashes, slashes, or a single space or comma (OCR's reading of
# a dot) before a digit, between them.
_NUMERO = re.compile(r"[0-9](?:[0-9.\-/]|[ ,](?=[0-9]))*")
_GRUPO = re.compile(r"[0-9]+")
# The shortest number looked for (a CPF has 11 digits, a CNPJ 14; shorter values are not searched).
NUMERO_MINIMO = 8
_NAO_DIGITO = re.compile(r"[^0-9]")
# The runs of ``_NUMERO`` long enough to hold a number looked for, even with a digit missing.
_NUMERO_LONGO = re.compile(r"[0-9](?:[0-9.\-/]|[ ,](?=[0-9])){%d,}" % (NUMERO_MINIMO - 2))
_X0, _Y0, _X1, _Y1 = (operator.itemgetter(k) for k in range(1, 5))  # of a word's box


def _LUGAR(campo_achado: tuple[str, "_Achado"]) -> tuple[int, int]:  # where a value was found
    return campo_achado[1].pagina.numero, campo_achado[1].primeira
_TOKEN_OU_SEPARADOR = re.compile(r"[0-9a-z \n][0-9a-z]*")  # a token, a separator, or both
_PRIMEIRO = operator.itemgetter(0)
_SEPARADORES = frozenset(" \n")


def _tokens(texto: str) -> list[str]:
    """Folded words: accents dropped, lower case, letters and digits only (what a token may hold is
    ASCII, so whatever else decomposition leaves is dropped with the marks)."""
    if texto.isascii():
        return _TOKEN.findall(texto.lower())
    return _TOKEN.findall(unicodedata.normalize("NFD", texto).encode("ascii", "ignore").decode("ascii").lower())


_NAO_DIGITO_UNICODE = re.compile(r"\D")


def _digitos(texto: str) -> str:
    return _NAO_DIGITO_UNICODE.sub("", texto or "")


# Characters outside ASCII, folded one by one (see ``_dobrar``).
_NAO_ASCII = re.compile(r"[^\x00-\x7f]")
_DOBRADOS: dict[str, str] = {}


def _dobrar_caractere(c: str) -> str:
    """A character outside ASCII as ``_tokens`` folds it: its letter without the accent, or nothing
    (a separator between words stays one)."""
    feito = _DOBRADOS.get(c)
    if feito is None:
        if c.isspace() or c == "\ufffe":
            feito = " "
        else:
            feito = unicodedata.normalize("NFD", c).encode("ascii", "ignore").decode("ascii").lower()
        _DOBRADOS[c] = feito
    return feito


def _dobrar(texto: str) -> str:
    """The text folded as ``_tokens`` folds each word (separators between words stay)."""
    if not texto.isascii():
        # A page uses a few characters outside ASCII, each many times: one replacement per character.
        for c in set(_NAO_ASCII.findall(texto)):
            texto = texto.replace(c, _dobrar_caractere(c))
    return texto.lower()


def _flexoes(token: str) -> str:
    """A pattern for a folded word and its inflections: a few more letters ("diretor", "diretora",
    "diretores"), and for a word ending in "o" the feminine ending too ("socio", "socia", "socias")."""
    if len(token) > 2 and token.endswith("o"):
        return re.escape(token[:-1]) + r"[oa][a-z]{0,2}"
    return re.escape(token) + r"[a-z]{0,3}"


def _posicoes(partes: list[str]) -> tuple[list[int], list[int], str]:
    """Where each token starts and ends in the tokens joined by single spaces, and that text."""
    comprimentos = list(map(len, partes))
    inicio = list(accumulate(map(operator.add, comprimentos, repeat(1)), initial=0))
    inicio.pop()
    return inicio, list(map(operator.add, inicio, comprimentos)), " ".join(partes)


def _tokens_de_palavras(dobrado: str) -> tuple[list[str], list[int], list[int], list[int], str]:
    """The tokens of folded words separated by a space or a line feed (one after each word), the
    word of each and, as ``_posicoes`` gives them, where each starts and ends in the tokens joined
    by spaces, and that text (``scrivane._palavras.tokens`` does the same in C++)."""
    # Tokens, each with the separator right before it, if any: a token's word is the number of
    # separators up to it.
    pedacos = _TOKEN_OU_SEPARADOR.findall(dobrado)
    separador = list(map(_SEPARADORES.__contains__, map(_PRIMEIRO, pedacos)))
    sem_separador = list(map(str.lstrip, pedacos, repeat(" \n")))
    partes = list(compress(sem_separador, sem_separador))
    return (partes, list(compress(accumulate(separador), sem_separador)), *_posicoes(partes))


def _juntar(palavras: list[str], fim_de_linha: Sequence[bool]) -> tuple[str, list[int]]:
    """The words joined, each followed by a line feed when it ends its line and by a space otherwise,
    and where each word starts in that text (and, last, its length) (``scrivane._palavras.juntar``
    does the same in C++)."""
    linhas: list[str] = []
    inicio = 0
    for fim in compress(range(1, len(palavras) + 1), fim_de_linha):
        linhas.append(" ".join(palavras[inicio:fim]))
        inicio = fim
    if inicio < len(palavras):
        linhas.append(" ".join(palavras[inicio:]))
    junto = "\n".join(linhas) + ("" if not palavras else "\n" if inicio == len(palavras) else " ")
    return junto, list(map(operator.add, accumulate(map(len, palavras), initial=0), range(len(palavras) + 1)))


class _Pagina:
    """One page ready for searching: its words in reading order, folded tokens and number runs.

    The page's words are joined into one text (a line feed after the last word of a line, a space
    between the others) and folded at once; each token is then mapped back to its word."""

    def __init__(self, numero: int, palavras: list[str], caixas: Sequence[Optional[Sequence[float]]],
                 fim_de_linha: Sequence[bool], texto: Optional[str] = "") -> None:
        self.numero = numero
        self.palavras = palavras
        # A word's box: a sequence whose items 1-4 are x0, y0, x1, y1 (a layout ``Palavra``), or None.
        self.caixas = caixas
        self.fim_de_linha = fim_de_linha
        self._texto = texto  # the page's text as the reader gave it; None: the words are that text
        # The words joined (a line feed after the last word of each line, a space after the others),
        # and where each word starts in that text (and, last, its length).
        self._junto, self.acumulado = (_juntar_c or _juntar)(palavras, fim_de_linha)

    # The tokens and the number runs are indexed when first asked for: a page searched only for a
    # number never folds its words.
    _TOKENS = frozenset({"partes", "norm", "cercado", "inicio_token", "fim_token", "palavra_do_token",
                         "palavra_final_do_token"})

    def __getattr__(self, nome: str) -> Any:
        if nome in _Pagina._TOKENS:
            self._indexar_tokens(self._junto)
        elif nome in ("numeros", "digitos_juntos", "inicio_do_numero"):
            self._numeros_feitos: dict[int, tuple[str, list[int], set[int], set[int]]] = {}
            self._indexar_numeros(self._junto.replace("\n", " "))
        else:
            raise AttributeError(nome)
        return self.__dict__[nome]

    def _inteiras(self, partes: list[str], hifens: list[int]) -> frozenset[str]:
        """Tokens of the page's text as the reader gave it, where words hyphenated at a line end are
        whole: when the words are that text (``texto`` None), their tokens and, whole, the words
        broken at a hyphen ending a line (tokens ``t`` and ``t + 1`` for each ``t`` of ``hifens``)."""
        if self._texto is not None:
            return frozenset(_TOKEN.findall(_dobrar(self._texto)))
        return frozenset(partes).union([partes[t] + partes[t + 1] for t in hifens])

    def _indexar_tokens(self, junto: str) -> None:
        partes, palavra, inicio, fim, norm = (_tokens_c or _tokens_de_palavras)(_dobrar(junto))
        final = palavra
        if self._texto is None and _hifens_c is not None:
            juntar = _hifens_c(partes, palavra, self.palavras, self.fim_de_linha)
        else:
            juntar = self._hifens(partes, palavra)
        if juntar:
            final = list(palavra)
            for t in reversed(juntar):
                partes[t:t + 2] = [partes[t] + partes[t + 1]]
                final[t:t + 2] = [final[t + 1]]
                del palavra[t + 1]
            inicio, fim, norm = _posicoes(partes)
        self.partes = partes
        self.norm = norm
        self.cercado = f" {norm} "
        self.inicio_token = inicio
        self.fim_token = fim
        self.palavra_do_token = palavra  # the word a token starts in
        self.palavra_final_do_token = final  # the word it ends in

    def _hifens(self, partes: list[str], palavra: list[int]) -> list[int]:
        """The tokens joined with the next one (``scrivane._palavras.hifens`` does the same in C++ when
        the words are the page's text).  A word hyphenated at the end of its line is joined with the
        start of the next line: its last token with the next word's first when the word ends in a
        hyphen or the reader's text has them whole.  A word so joined does not join the following
        line in turn."""
        palavras = self.palavras
        candidatos: list[tuple[int, int, bool]] = []  # (word, its last token, ends in a hyphen)
        ultimo = len(partes) - 1
        for i in compress(range(len(palavras) - 1), self.fim_de_linha):
            t = bisect_right(palavra, i) - 1
            if 0 <= t < ultimo and palavra[t] == i and palavra[t + 1] == i + 1 and palavras[i + 1][:1].isalpha():
                candidatos.append((i, t, palavras[i][-1] == "-"))
        inteiras: frozenset[str] = frozenset()
        if not all(hifen for _, _, hifen in candidatos):
            inteiras = self._inteiras(partes, [t for _, t, hifen in candidatos if hifen])
        juntar: list[int] = []
        depois_de = -1
        for i, t, hifen in candidatos:
            if i > depois_de and (hifen or partes[t] + partes[t + 1] in inteiras):
                juntar.append(t)
                depois_de = i + 1
        return juntar

    def _indexar_numeros(self, junto: str) -> None:
        """Number runs of the page long enough to hold a number looked for (see ``_NUMERO``): their
        digits, where they start, and as printed; ``corrida(k)`` tells their groups and words."""
        self.numeros = []
        for m in _NUMERO_LONGO.finditer(junto):
            digitos = _NAO_DIGITO.sub("", m.group())
            if len(digitos) >= NUMERO_MINIMO - 1:  # else too short, even with a digit missing
                self.numeros.append((digitos, m.start(), m.group()))
        # The runs' digits in one text ("|" between runs: no number looked for spans two), searched
        # at once; where each run starts in it.
        self.digitos_juntos = "|".join(d for d, _, _ in self.numeros)
        self.inicio_do_numero = list(accumulate((len(d) + 1 for d, _, _ in self.numeros), initial=0))

    def corrida(self, k: int) -> tuple[str, list[int], set[int], set[int]]:
        """Run ``k`` of ``numeros``: (digits, word of each digit, offsets where a printed group
        starts, where one ends)."""
        feito = self._numeros_feitos.get(k)
        if feito is None:
            digitos, inicio, impresso = self.numeros[k]
            inicios: set[int] = set()
            fins: set[int] = set()
            n = 0
            if " " not in impresso:
                # One word (most numbers: "64.628.897/0001-85"): every digit is in the word it starts in.
                for grupo in _GRUPO.findall(impresso):
                    inicios.add(n)
                    n += len(grupo)
                    fins.add(n)
                palavras = [bisect_right(self.acumulado, inicio) - 1] * n
            else:
                palavras = []
                for g in _GRUPO.finditer(impresso):
                    palavra = bisect_right(self.acumulado, inicio + g.start()) - 1
                    inicios.add(n)
                    palavras.extend([palavra] * len(g.group()))
                    n += len(g.group())
                    fins.add(n)
            feito = self._numeros_feitos[k] = (digitos, palavras, inicios, fins)
        return feito

    def palavras_dos_tokens(self, primeiro: int, ultimo: int) -> tuple[int, int]:
        return self.palavra_do_token[primeiro], self.palavra_final_do_token[ultimo]

    def token_em(self, offset: int) -> int:
        return max(0, bisect_right(self.inicio_token, offset) - 1)


@dataclass(slots=True)
class _Achado:
    pagina: _Pagina
    primeira: int  # first and last word of the value
    ultima: int
    pontos: float = 100.0
    # When the value's words are not side by side in the page's word order (a skewed scan whose lines
    # were grouped wrongly): the words themselves, and the passage taken from the reader's text.
    palavras: Optional[list[int]] = None
    trecho: Optional[str] = None


class Indice:
    """As páginas de um documento prontas para a procura de valores (montado uma vez por documento)."""

    def __init__(self, documento: Any) -> None:
        self._layout = tuple(getattr(documento, "layout", ()) or ())
        self._textos = tuple(getattr(documento, "pages", ()) or ())
        # Pages are made ready when first searched: a value found on the first pages leaves the rest alone.
        self._feitas: list[Optional[_Pagina]] = [None] * len(self._textos)
        self._linhas: dict[int, tuple[list[str], list[str]]] = {}  # the reader's lines, and folded
        self._agulhas: dict[str, tuple[list[str], str]] = {}  # a value's tokens, and them joined

    def pagina(self, k: int) -> _Pagina:
        """The page of index ``k`` (from 0), ready for searching."""
        feita = self._feitas[k]
        if feita is None:
            texto = self._textos[k]
            laid = self._layout[k] if k < len(self._layout) else None
            palavras: list[str] = []
            caixas: list[Any] = []
            fim: list[bool] = []
            if laid is not None and laid.palavras:
                caixas, fim, do_texto = laid.palavras_em_ordem()
                palavras = list(map(_PRIMEIRO, caixas))
                if do_texto:
                    texto = None  # the words are the page's text, in its order
            else:
                for linha in texto.split("\n"):
                    ditas = linha.split()
                    palavras += ditas
                    caixas += [None] * len(ditas)
                    fim += [False] * (len(ditas) - 1) + [True] if ditas else []
            feita = self._feitas[k] = _Pagina(k + 1, palavras, caixas, fim, texto)
        return feita

    @property
    def paginas(self) -> list[_Pagina]:
        return [self.pagina(k) for k in range(len(self._textos))]

    # -- finding ---------------------------------------------------------------

    def _ordem(self, dica: Optional[_Achado]):
        """The pages, the hint's first, each made ready only when reached."""
        if dica is not None:
            yield dica.pagina
        for k in range(len(self._textos)):
            if dica is None or k != dica.pagina.numero - 1:
                yield self.pagina(k)

    def localizar_trecho(self, trecho: Optional[str]) -> Optional[_Achado]:
        """Where a passage quoted by the model sits in the document, if it does."""
        agulha = " ".join(_tokens(trecho or ""))
        if len(agulha) < 8:
            return None
        melhor: Optional[_Achado] = None
        for pagina in self._ordem(None):
            if not pagina.norm:
                continue
            alinhamento = fuzz.partial_ratio_alignment(agulha, pagina.norm, score_cutoff=TRECHO_LIMIAR)
            if alinhamento is None or (melhor is not None and alinhamento.score <= melhor.pontos):
                continue
            primeiro = pagina.token_em(alinhamento.dest_start)
            ultimo = pagina.token_em(max(alinhamento.dest_start, alinhamento.dest_end - 1))
            melhor = _Achado(pagina, *pagina.palavras_dos_tokens(primeiro, ultimo), alinhamento.score)
            if alinhamento.score >= 99.5:
                break
        return melhor

    def achar_nome(self, valor: str, perto: Optional[_Achado] = None, flexionado: bool = False) -> Optional[_Achado]:
        """A name (or any text value) in the page words, near ``perto`` first.  ``flexionado``: a
        word may also appear inflected (a role written "sócio" read where the text says "sócios" or
        "sócia")."""
        # (a document's items repeat values: a company named by its party and by its signatory)
        feito = self._agulhas.get(valor)
        if feito is None:
            tokens = _tokens(valor)
            feito = self._agulhas[valor] = (tokens, " ".join(tokens))
        tokens, agulha = feito
        if not tokens:
            return None
        if perto is not None:
            achado = self._nome_na_pagina(agulha, len(tokens), perto.pagina, perto)
            if achado is not None:
                return achado
        # Exactly somewhere first (pages in order), then approximately: the best match.
        for pagina in self._ordem(perto):
            achado = self._nome_na_pagina(agulha, len(tokens), pagina, None, aproximado=False)
            if achado is not None:
                return achado
        melhor: Optional[_Achado] = None
        for pagina in self._ordem(perto):
            achado = self._nome_na_pagina(agulha, len(tokens), pagina, None)
            if achado is not None and (melhor is None or achado.pontos > melhor.pontos):
                melhor = achado
        if melhor is None:
            for k in range(len(self._textos)):
                melhor = self._pelo_texto(agulha, tokens, k)
                if melhor is not None:
                    return melhor
        if melhor is None and flexionado:
            padrao = re.compile(r"(?<![a-z0-9])" + " ".join(map(_flexoes, tokens)) + r"(?![a-z0-9])")
            for pagina in self._ordem(perto):
                m = padrao.search(pagina.norm)
                if m is not None:
                    primeiro = pagina.token_em(m.start())
                    return _Achado(pagina, *pagina.palavras_dos_tokens(primeiro, primeiro + len(tokens) - 1), 90.0)
        return melhor

    def _pelo_texto(self, agulha: str, tokens: list[str], k: int) -> Optional[_Achado]:
        """The value in the reader's text of page ``k`` (its own line order), placed on the page by
        the words that hold its tokens, the closest together."""
        if k not in self._linhas:
            linhas = self._textos[k].split("\n")
            self._linhas[k] = (linhas, [" ".join(_tokens(l)) for l in linhas])
        linhas, dobradas = self._linhas[k]
        if f" {agulha} " not in f" {' '.join(dobradas)} ":  # cheap: not even across lines
            return None
        achou = next((i for i in range(len(linhas)) if f" {agulha} " in f" {dobradas[i]} "
                      or (i + 1 < len(linhas) and f" {agulha} " in f" {dobradas[i]} {dobradas[i + 1]} ")), None)
        if achou is None:
            return None
        pagina = self.pagina(k)
        onde: dict[str, list[int]] = {}
        for t, (a, b) in enumerate(zip(pagina.inicio_token, pagina.fim_token)):
            onde.setdefault(pagina.norm[a:b], []).append(pagina.palavra_do_token[t])
        if any(t not in onde for t in tokens):
            return None

        def centro(w: int) -> tuple[float, float]:
            c = pagina.caixas[w]
            return ((c[1] + c[3]) / 2, (c[2] + c[4]) / 2) if c else (float(w) * 50, 0.0)

        melhor: Optional[tuple[float, list[int]]] = None
        for inicio in onde[tokens[0]][:50]:
            x, y = centro(inicio)
            escolhidas = [inicio]
            custo = 0.0
            for t in tokens[1:]:
                w = min(onde[t], key=lambda w: abs(centro(w)[0] - x) + 3 * abs(centro(w)[1] - y))
                custo += abs(centro(w)[0] - x) + 3 * abs(centro(w)[1] - y)
                x, y = centro(w)
                escolhidas.append(w)
            if melhor is None or custo < melhor[0]:
                melhor = (custo, escolhidas)
        assert melhor is not None
        escolhidas = melhor[1]
        trecho = " ".join(" ".join(linhas[max(0, achou - 1):achou + 2]).split())
        if len(trecho) > TRECHO_CARACTERES:
            trecho = " ".join(" ".join(linhas[achou:achou + 2]).split())[:TRECHO_CARACTERES]
        return _Achado(pagina, min(escolhidas), max(escolhidas), 95.0, palavras=escolhidas, trecho=trecho)

    def _nome_na_pagina(self, agulha: str, n: int, pagina: _Pagina, perto: Optional[_Achado],
                        aproximado: bool = True) -> Optional[_Achado]:
        if not pagina.norm:
            return None
        inicio, fim = 0, len(pagina.norm)
        if perto is not None:
            # The tokens of the words around the other value only.
            k0 = bisect_left(pagina.palavra_do_token, perto.primeira - VIZINHANCA)
            k1 = bisect_right(pagina.palavra_do_token, perto.ultima + VIZINHANCA) - 1
            if k1 < k0:
                return None
            inicio, fim = pagina.inicio_token[k0], pagina.fim_token[k1]
        # In the tokens between a space before ``inicio`` and one after ``fim`` (the page's padded).
        at = pagina.cercado.find(" " + agulha + " ", inicio, fim + 2)
        if at >= 0:
            primeiro = pagina.token_em(at)
            return _Achado(pagina, *pagina.palavras_dos_tokens(primeiro, primeiro + n - 1))
        if not aproximado or len(agulha) < NOME_MINIMO_APROXIMADO:
            return None
        texto = pagina.norm[inicio:fim]
        # Cheap first: most of the value's longer words are on the page (one may be broken or misread).
        chave = [t for t in agulha.split() if len(t) >= 3]
        if chave and 2 * sum(t in texto for t in chave) < len(chave):
            return None
        alinhamento = fuzz.partial_ratio_alignment(agulha, texto, score_cutoff=NOME_LIMIAR - 8)
        if alinhamento is None:
            return None
        primeiro = pagina.token_em(inicio + alinhamento.dest_start)
        ultimo = pagina.token_em(inicio + max(alinhamento.dest_start, alinhamento.dest_end - 1))
        melhor: Optional[tuple[float, int, int]] = None
        # Word-aligned candidates around the alignment: a partial word at either end is kept or dropped.
        for a in (primeiro - 1, primeiro, primeiro + 1):
            for b in (ultimo - 1, ultimo, ultimo + 1):
                if not (0 <= a <= b < len(pagina.inicio_token)):
                    continue
                candidato = pagina.norm[pagina.inicio_token[a]:pagina.fim_token[b]]
                pontos = fuzz.ratio(agulha, candidato)
                if melhor is None or pontos > melhor[0]:
                    melhor = (pontos, a, b)
        if melhor is None or melhor[0] < NOME_LIMIAR:
            return None
        return _Achado(pagina, *pagina.palavras_dos_tokens(melhor[1], melhor[2]), melhor[0])

    def achar_numero(self, valor: str, perto: Optional[_Achado] = None
                     ) -> tuple[Optional[_Achado], Optional[tuple[_Achado, str]]]:
        """A number (CNPJ, CPF) by its digits: (where it is, None) when the document has it; else
        (None, (where, the document's digits)) for one printed with up to two other digits; else (None, None)."""
        alvo = _digitos(valor)
        if len(alvo) < NUMERO_MINIMO:
            return None, None
        parecido: Optional[tuple[int, _Achado, str]] = None
        for pagina in self._ordem(perto):
            juntos = pagina.digitos_juntos
            at = juntos.find(alvo)
            while at >= 0:
                k = bisect_right(pagina.inicio_do_numero, at) - 1
                _, palavras, inicios, fins = pagina.corrida(k)
                no_numero = at - pagina.inicio_do_numero[k]
                if no_numero in inicios and no_numero + len(alvo) in fins:
                    return _Achado(pagina, palavras[no_numero], palavras[no_numero + len(alvo) - 1]), None
                at = juntos.find(alvo, at + 1)
        for pagina in self._ordem(perto):
            for digitos, palavras, inicios, fins in map(pagina.corrida, range(len(pagina.numeros))):
                for a in inicios:
                    for b in (a + len(alvo) - 1, a + len(alvo), a + len(alvo) + 1):
                        if b not in fins:
                            continue
                        d = Levenshtein.distance(alvo, digitos[a:b], score_cutoff=DIGITOS_DIFERENTES)
                        if d <= DIGITOS_DIFERENTES and (parecido is None or d < parecido[0]):
                            parecido = (d, _Achado(pagina, palavras[a], palavras[b - 1]), digitos[a:b])
        if parecido is not None:
            return None, (parecido[1], parecido[2])
        return None, None

    # -- evidence --------------------------------------------------------------

    def evidencias(self, achados: list[tuple[str, _Achado]]) -> list[dict[str, Any]]:
        """One evidence entry per value found; values close together on a page share one passage."""
        trechos: dict[int, str] = {}
        # Groups of values sharing a passage: their page, first word, last word, and the values.
        grupos: list[tuple[_Pagina, int, int, list[_Achado]]] = []
        for _, achado in (sorted(achados, key=_LUGAR) if len(achados) > 1 else achados):
            if grupos and achado.pagina is grupos[-1][0]:
                pagina, inicio, fim, grupo = grupos[-1]
                ate = achado.ultima if achado.ultima > fim else fim
                if self._comprimento(pagina, inicio, ate) <= TRECHO_CARACTERES - 20:
                    grupo.append(achado)
                    grupos[-1] = (pagina, inicio, ate, grupo)
                    continue
            grupos.append((achado.pagina, achado.primeira, achado.ultima, [achado]))
        for pagina, inicio, fim, grupo in grupos:
            trecho = self._trecho(pagina, inicio, fim)
            for a in grupo:
                trechos[id(a)] = a.trecho or trecho
        caixa = self._caixa
        return [{"campo": campo, "pagina": achado.pagina.numero, "trecho": trechos[id(achado)],
                 "caixa": caixa(achado)} for campo, achado in achados]

    @staticmethod
    def _comprimento(pagina: _Pagina, a: int, b: int) -> int:
        return pagina.acumulado[b + 1] - pagina.acumulado[a] - 1

    def _trecho(self, pagina: _Pagina, a: int, b: int) -> str:
        """The page text from words ``a`` to ``b``, with some words before and more after, up to the size
        shown: words are taken before until about a quarter of it is, or the whole, then after while the
        whole fits."""
        acumulado = pagina.acumulado  # acumulado[k]: where word k starts in the words joined by spaces
        falta = min(TRECHO_CARACTERES // 4, TRECHO_CARACTERES - self._comprimento(pagina, a, b))
        if falta > 0:
            a = max(0, bisect_right(acumulado, acumulado[a] - falta) - 1)
        b = max(b, min(len(pagina.palavras) - 1, bisect_right(acumulado, acumulado[a] + TRECHO_CARACTERES + 1) - 2))
        return " ".join(pagina.palavras[a:b + 1])

    @staticmethod
    def _caixa(achado: _Achado) -> Optional[list[float]]:
        todas = achado.pagina.caixas
        if achado.palavras is None and achado.primeira == achado.ultima:
            # One word (a CNPJ, a CPF, a role): its own box.
            c = todas[achado.primeira]
            return None if c is None else [round(c[1], 1), round(c[2], 1), round(c[3], 1), round(c[4], 1)]
        if achado.palavras is not None:
            caixas = [todas[w] for w in achado.palavras if todas[w] is not None]
        else:
            caixas = [c for c in todas[achado.primeira:achado.ultima + 1] if c is not None]
        if not caixas:
            return None
        if len(caixas) == 1:
            c = caixas[0]
            x0, y0, x1, y1 = c[1], c[2], c[3], c[4]
        else:
            x0, y0, x1, y1 = min(map(_X0, caixas)), min(map(_Y0, caixas)), max(map(_X1, caixas)), max(map(_Y1, caixas))
        return [round(x0, 1), round(y0, 1), round(x1, 1), round(y1, 1)]


def _formatar(digitos: str) -> str:
    if len(digitos) == 14:
        return f"{digitos[:2]}.{digitos[2:5]}.{digitos[5:8]}/{digitos[8:12]}-{digitos[12:]}"
    if len(digitos) == 11:
        return f"{digitos[:3]}.{digitos[3:6]}.{digitos[6:9]}-{digitos[9:]}"
    return digitos


_VAZIOS = frozenset(("N/A", "NULL", "NONE"))


def _vazio(valor: Any) -> bool:
    if not isinstance(valor, str):
        return True
    valor = valor.strip()
    return not valor or valor.upper() in _VAZIOS


_ORDENS: dict[int, tuple[dict[str, tuple[str, str, bool]], list, dict[str, int]]] = {}


def _ordem_dos_campos(campos: dict[str, tuple[str, str, bool]]) -> tuple[list, dict[str, int]]:
    """The fields in the order they are searched (numbers first: a CNPJ or CPF places the item better
    than a name repeated across the document) and each field's place in the item, kept per field map."""
    feito = _ORDENS.get(id(campos))
    if feito is None or feito[0] is not campos:
        feito = _ORDENS[id(campos)] = (campos, sorted(campos.items(), key=lambda kv: kv[1][1] != "numero"),
                                       {campo: k for k, campo in enumerate(campos)})
    return feito[1], feito[2]


def fundamentar_item(indice: Indice, item: dict[str, Any], campos: dict[str, tuple[str, str, bool]]) -> None:
    """Writes ``evidencias`` and ``divergencias`` into one extracted item (a map)."""
    achados: list[tuple[str, _Achado]] = []
    divergencias: list[dict[str, Any]] = []
    perto = indice.localizar_trecho(item.get("trecho")) if isinstance(item.get("trecho"), str) else None
    ordem, posicao = _ordem_dos_campos(campos)
    for campo, (rotulo, tipo, decide) in ordem:
        valor = item.get(campo)
        if _vazio(valor):
            continue
        if tipo == "numero":
            if len(_digitos(valor)) < NUMERO_MINIMO:
                continue
            achado, parecido = indice.achar_numero(valor, perto)
        else:
            achado, parecido = indice.achar_nome(valor, perto, flexionado=not decide), None
        if achado is not None:
            achados.append((campo, achado))
            perto = perto or achado
            continue
        if not decide:
            continue
        if parecido is not None:
            lugar, digitos = parecido
            no_documento = _formatar(digitos)
            achados.append((campo, lugar))  # where the document's own number is
            divergencias.append({"campo": campo, "valor": valor, "situacao": LIDO_DIFERENTE,
                                 "no_documento": no_documento,
                                 "mensagem": f"{rotulo} {valor} lido diferente: o documento traz {no_documento}"})
        else:
            divergencias.append({"campo": campo, "valor": valor, "situacao": NAO_ENCONTRADO, "no_documento": None,
                                 "mensagem": f"{rotulo} {valor} {NAO_ENCONTRADO}"})
    # In the item's field order.
    achados.sort(key=lambda ca: posicao[ca[0]])
    item["evidencias"] = indice.evidencias(achados)
    item["divergencias"] = divergencias


_ITENS: "weakref.WeakKeyDictionary[type, dict[str, dict[str, tuple[str, str, bool]]]]" = weakref.WeakKeyDictionary()


def itens_com_evidencia(modelo: type) -> dict[str, dict[str, tuple[str, str, bool]]]:
    """The list fields of an answer model whose items declare ``campos_no_documento``."""
    feito = _ITENS.get(modelo)
    if feito is None:
        feito = _ITENS[modelo] = _itens_com_evidencia(modelo)
    return feito


def _itens_com_evidencia(modelo: type) -> dict[str, dict[str, tuple[str, str, bool]]]:
    saida: dict[str, dict[str, tuple[str, str, bool]]] = {}
    for nome, info in getattr(modelo, "model_fields", {}).items():
        if typing.get_origin(info.annotation) is not list:
            continue
        (tipo,) = typing.get_args(info.annotation) or (None,)
        campos = getattr(tipo, "campos_no_documento", None)
        if isinstance(campos, dict) and campos:
            saida[nome] = campos
    return saida


def fundamentar(indice: Indice, resposta: dict[str, Any], modelo: type) -> None:
    """Gives every item of ``resposta`` (an answer map of ``modelo``) its evidence, in place."""
    for nome, campos in itens_com_evidencia(modelo).items():
        itens = resposta.get(nome)
        if not isinstance(itens, list):
            continue
        for item in itens:
            if isinstance(item, dict):
                fundamentar_item(indice, item, campos)

