"""The text as the rules read it: pages cleaned and joined, names and positions, the records found."""

from __future__ import annotations

import re
from collections import Counter
from dataclasses import dataclass
from difflib import SequenceMatcher
from typing import Any, Optional, Sequence

from .tabelas import (
    CARGOS, HOMOGLIFOS, HONORIFICOS, NAO_NOMES, MINUSCULAS_TITULO, PALAVRAS_DE_ORGAO, SINGULAR, SUFIXOS_EMPRESA,
    _ESPACOS, _NOME_TOKEN, _NUMERO_PAGINA, _PAPEL, _dobrar,
)


_DIGITOS = re.compile(r"\d+")


def _chave_repetida(linha: str) -> str:
    return _DIGITOS.sub("#", _dobrar(linha))


def limpar_paginas(paginas: Sequence[str]) -> list[str]:
    """As linhas do documento sem cabeçalhos e rodapés repetidos, números de página,
    quebras de linha com hífen e espaços repetidos."""
    por_pagina = []
    for pagina in paginas:
        # pdfium reports a hyphen that ends a line as U+FFFE and joins the two lines.
        if _OUTRA_ESCRITA.search(pagina):
            pagina = pagina.translate(HOMOGLIFOS)
        linhas = [_ESPACOS.sub(" ", l).strip() for l in pagina.replace("\ufffe", "").split("\n")]
        por_pagina.append([_sem_espacamento(l) for l in linhas if l])
    # A line found among the first or last three of most pages is a running header or footer.
    repetidas: set[str] = set()
    if len(por_pagina) >= 2:
        contagem: Counter[str] = Counter()
        for linhas in por_pagina:
            contagem.update({_chave_repetida(l) for l in linhas[:3] + linhas[-3:]})
        minimo = max(2, (len(por_pagina) + 1) // 2)
        repetidas = {chave for chave, n in contagem.items() if n >= minimo}
    saida: list[str] = []
    for linhas in por_pagina:
        for i, linha in enumerate(linhas):
            borda = i < 3 or i >= len(linhas) - 3
            if borda and (_chave_repetida(linha) in repetidas or _NUMERO_PAGINA.match(linha)):
                continue
            # (the cheap tests first: most lines end with no hyphen and start with no digit)
            if saida and saida[-1].endswith("-") and (
                    _FIM_HIFEN.search(saida[-1]) and _INICIO_MINUSCULA.match(linha)
                    or _FIM_HIFEN_MAIUSCULAS.search(saida[-1]) and _INICIO_MAIUSCULAS.match(linha)):
                saida[-1] = saida[-1][:-1] + linha  # "contra-" + "tante"
            elif saida and linha[:1].isdigit() and _ROTULO_NO_FIM.search(saida[-1]):
                saida[-1] += " " + linha  # a number carried to the next line
            else:
                saida.append(linha)
    return saida


# A word broken with a hyphen at a line's end, and the rest of it opening the next line.
_FIM_HIFEN = re.compile(r"[a-zà-ÿ]-$")
_INICIO_MINUSCULA = re.compile(r"[a-zà-ÿ]")
_FIM_HIFEN_MAIUSCULAS = re.compile(r"[A-ZÀ-Ý]{2}-$")
_INICIO_MAIUSCULAS = re.compile(r"[A-ZÀ-Ý]{2}")
# A label whose number went on to the next line.
_ROTULO_NO_FIM = re.compile(r"\b(?:CEP|CNPJ|CPF|n[º°])\s*:?$", re.I)
# A heading set with its letters spaced out ("C O N T R ATA N T E").
_ESPACADA = re.compile(r"(?:[A-ZÀ-Ý]{1,3} ){3,}[A-ZÀ-Ý]{1,3}")


def _sem_espacamento(linha: str) -> str:
    """A letter-spaced heading written as one word ("C O N T R ATA N T E" -> "CONTRATANTE")."""
    if _ESPACADA.fullmatch(linha):
        return linha.replace(" ", "")
    return linha


def _eh_cabecalho(linha: str, indice: int, largura: int, seguinte: str = "") -> bool:
    """An all-caps heading: the first line, or one shorter than the lines a paragraph is
    wrapped into, with no trailing punctuation ("CLÁUSULA PRIMEIRA – DO OBJETO").  A name
    broken across lines is no heading: its line ends with a connector, or the next one goes
    on with the company's legal form or in lower case ("EMPRESA X DE" / "LTDA, CNPJ ...")."""
    return (linha == linha.upper() and bool(re.search(r"[A-ZÀ-Ý]{3}", linha))
            and not re.search(r"[,;:]$", linha) and (indice == 0 or len(linha) < 0.85 * largura)
            and not _CONTINUA_NOME.search(linha) and not _CONTINUACAO.match(seguinte))


def _juntar_linhas(linhas: list[str]) -> str:
    """One running text; a heading is kept apart from what follows by "¶", which no name crosses."""
    tamanhos = sorted(len(l) for l in linhas) or [0]
    largura = max(40, tamanhos[int(0.9 * (len(tamanhos) - 1))])  # the wrap width, roughly
    partes = []
    for i, linha in enumerate(linhas):
        partes.append(linha)
        seguinte = linhas[i + 1] if i + 1 < len(linhas) else ""
        partes.append(" ¶ " if _eh_cabecalho(linha, i, largura, seguinte) else " ")
    return "".join(partes)


# A line that leaves a name open, and a line that goes on with one.
_CONTINUA_NOME = re.compile(r"\s(?:D[AEO]S?|E|&|EM|COMO)$|[&–-]$")
_CONTINUACAO = re.compile(r"(?:LTDA|S\.?\s?/?A\b\.?|EIRELI|EPP|ME\b|CIA\b|[a-zà-ÿ]|[,(]"
                          r"|(?:D[AEO]S?|E|EM)\s+[A-ZÀ-Ý][^,;:]*,\s*[a-zà-ÿ])")
_OUTRA_ESCRITA = re.compile("[\u0370-\u03ff\u0400-\u04ff\u0500-\u058f]")


def _titulo(texto: str) -> str:
    """An all-caps heading in title case ("CONTRATO DE LOCAÇÃO" -> "Contrato de Locação")."""
    if texto != texto.upper():
        return texto
    palavras = texto.lower().split(" ")
    return " ".join(p if (i and p in MINUSCULAS_TITULO) else p[:1].upper() + p[1:] for i, p in enumerate(palavras))


# Connectors inside a body's or a company's name in lower case ("Centro de Intendência da Marinha em
# Brasília", "Escola de Idiomas para Todos Ltda.", "Sindicato dos Trabalhadores nas Indústrias").
_CONECTORES_DE_NOME = frozenset(("em", "no", "na", "nos", "nas", "ao", "aos", "para"))
_CONECTORES_INICIAIS = frozenset(("de", "da", "do", "das", "dos", "e", "&", "d'", "-", "–")) | _CONECTORES_DE_NOME


def _nome_antes(texto: str, fim: int) -> tuple[int, str]:
    """The run of name words that ends at ``fim`` (start position and text), or (fim, "")."""
    inicio_janela = max(0, fim - 200)
    trecho = texto[inicio_janela:fim]
    tokens = list(re.finditer(r"\S+", trecho))
    aceitos: list[re.Match[str]] = []
    for i, m in enumerate(reversed(tokens)):
        token = m.group().strip("\"'“”‘’")
        if i > 0 and re.search(r"[,;:)\]]$|(?:\d|[a-zà-ÿ]{3}|[A-ZÀ-Ý]{4})\.$", m.group()) and not (
                # "ACME LTDA. - ME": an abbreviated legal form goes on after a dash
                re.fullmatch(r"(?i:ltda|cia|eireli)\.", token) and aceitos[-1].group() in ("-", "–", "—")):
            break  # a clause or a sentence ends before the name
        if not token or not (_NOME_TOKEN.match(token) or (aceitos and token in _CONECTORES_DE_NOME)):
            break
        aceitos.append(m)
    while aceitos and _dobrar(aceitos[-1].group().strip("\"'“”")) in _CONECTORES_INICIAIS:
        aceitos.pop()  # a run never starts with a connector
    if not aceitos:
        return fim, ""
    inicio = inicio_janela + aceitos[-1].start()
    return inicio, texto[inicio:fim].strip(" \"'“”‘’,")


def _separar_cargo(nome: str) -> tuple[str, str]:
    """("Diretor Presidente JOÃO SILVA") -> ("JOÃO SILVA", "Diretor Presidente"); honorifics dropped."""
    palavras = nome.split()
    i = 0
    while i < len(palavras) and _dobrar(palavras[i]) in CARGOS:
        i += 1
    cargo = " ".join(p for p in palavras[:i] if _dobrar(p) not in HONORIFICOS)
    return " ".join(palavras[i:]), cargo


# The words of a heading's sentence that end before the first party's name ("... QUE FAZEM ENTRE SI A UNIÃO").
_ANTES_DAS_PARTES = re.compile(r".*\b(?:entre si|que (?:fazem|celebram|firmam)|celebram|firmam)\s+"
                               r"|.*\S\s+e,?\s+(?=(?:a|o)\s+(?:empresa|sociedade)\s)", re.S)


def _sem_papel(nome: str) -> str:
    """A name with a leading article and role words removed ("A CONTRATANTE" -> ""), and the
    heading's sentence before it ("CONTRATO ... QUE FAZEM ENTRE SI A UNIÃO" -> "UNIÃO")."""
    if m := _ANTES_DAS_PARTES.match(_dobrar(nome)):
        nome = nome[m.end():]
    palavras = nome.split()
    artigo = False
    while palavras and (_dobrar(palavras[0]) in _ANTES_DO_NOME or re.fullmatch(_PAPEL, _dobrar(palavras[0]))):
        artigo = _dobrar(palavras.pop(0)) in ("a", "o")
    if len(palavras) >= 3 and _dobrar(palavras[0]) in ("empresa", "sociedade") and _dobrar(palavras[1]) not in (
            "publica", "municipal", "estadual", "brasileira", "nacional", "metropolitana", "mista", "de", "do", "da") and (
            artigo or re.search(r"\b(?:ltda|s\.?\s?/?a|eireli|epp|me)\.?$", _dobrar(palavras[-1]))):
        palavras.pop(0)  # "a empresa SIGMA SERVIÇOS LTDA": the kind of party, not its name
    return " ".join(palavras)


# Words of an all-caps sentence that a name run picks up before the name ("ENTRE O MUNICÍPIO").
_ANTES_DO_NOME = frozenset(("a", "o", "as", "os", "entre", "e", "com", "pelo", "pela", "que", "si", "celebram",
                            "celebrado", "celebrada", "firmado", "firmada", "contrato", "termo"))


def _parece_empresa(nome: str) -> bool:
    # "SÁ" with its accent is a surname ("MARIA DE SÁ"), never the S.A. of a company
    return bool(SUFIXOS_EMPRESA.search(_dobrar(re.sub(r"(?<!\w)[Ss][Áá](?!\w)", "", nome))))


def _palavra_de_nome(palavra: str) -> bool:
    """A word as a person's name has it: letters only, in capitals or capitalised ("SILVA", "Silva",
    "D'Ávila", "Maria-Clara"), with a vowel; not what OCR leaves of a name under a signature
    ("RODRlGO", "M4RIA", "XKCD")."""
    partes = [p for p in re.split(r"['’-]", palavra.strip(".,;:")) if p]
    if not partes or not all(p.isalpha() for p in partes):
        return False
    for p in partes:
        if not (p.isupper() or (p[0].isupper() and p[1:].islower()) or (len(p) <= 3 and p.islower())):
            return False
    # every part of three letters or more has a vowel ("CVL-PRO" is an acronym)
    return all(len(p) < 3 or re.search(r"[aeiouyáàâãéêíóôõúAEIOUYÁÀÂÃÉÊÍÓÔÕÚ]", p) for p in partes)


def _parece_pessoa(linha: str) -> bool:
    palavras = linha.split()
    return (
        2 <= len(palavras) <= 7
        and all(_palavra_de_nome(p) for p in palavras)
        and any(len(p) >= 3 for p in palavras)
        and not re.search(r"\d", linha)
        and not _parece_empresa(linha)
        and all(_NOME_TOKEN.match(p) and not p[0].isdigit() for p in palavras)
        and not re.search(_PAPEL, _dobrar(linha))
        and _dobrar(palavras[0]) not in CARGOS
        and not any(_dobrar(p).strip(".,;:") in NAO_NOMES or _dobrar(p) in PALAVRAS_DE_ORGAO for p in palavras)
    )


# A person's name written in capitals, or after an honorific ("Sr.ª Ana Paula Pereira").
_NOME_CAIXA_ALTA = re.compile(r"(?<![\wÀ-ÿ])[A-ZÀ-Ý][A-ZÀ-Ý'’]+(?:[ \t\n]+(?:D[AEO]S?|E|[A-ZÀ-Ý][A-ZÀ-Ý'’.]*))*"
                              r"[ \t\n]+[A-ZÀ-Ý][A-ZÀ-Ý'’]+(?![\wÀ-ÿ])")
_NOME_HONORIFICO = re.compile(r"\b(?:Sra?|Dra?|Senhora?)\.?(?:ª|\(a\))?\s+([A-ZÀ-Ý][\wÀ-ÿ'’]+(?:\s+(?:d[aeo]s?|e|"
                              r"[A-ZÀ-Ý][\wÀ-ÿ'’.]*))*\s+[A-ZÀ-Ý][\wÀ-ÿ'’]+)")
_NOME_MISTO_NO_INICIO = re.compile(r"^(?P<antes>[^.;:,]*),\s*(?P<nome>[A-ZÀ-Ý][a-zà-ÿ'’]+(?:\s+(?:d[aeo]s?|e|[A-ZÀ-Ý][a-zà-ÿ'’]+)){1,6})\s*(?=[,;.]|$)")
_ANTES_DO_REPRESENTANTE = re.compile(r"^[\s,]*(?:neste ato\s*,?\s*)?(?:(?:por|pel[oa]s?|através d[eoa])\s+)?"
                                     r"(?:(?:seu|sua|seus|suas|o|a)\s+|o\(a\)\s+)*", re.I)


_HONORIFICO_FINAL = re.compile(r"(?:\b(?:Sra?|Dra?|Senhora?)\.?(?:ª|\(a\))?|\bo\(a\)|\ba\(o\))\s*$", re.I)


def _cargo_antes(antes: str) -> Optional[str]:
    """The position in the last clause before a name ("..., pelo Coordenador Técnico, Sr. "), read
    after the representation phrase ("representada por seu Diretor-Presidente, ")."""
    for parte in reversed(antes.split(",")):
        frase = re.search(r"^.*\b(?:[Rr]epresentad[ao]s?|neste ato)\b", parte)
        parte = _ANTES_DO_REPRESENTANTE.sub("", _HONORIFICO_FINAL.sub("", parte[frase.end():] if frase else parte))
        parte = parte.strip(" ,")
        if ultimo := list(re.finditer(r"\b(?:por|pel[oa]s?)\s+(?:(?:seu|sua|seus|suas|o|a)\s+)?", parte)):
            parte = parte[ultimo[-1].end():]  # "na forma do seu Estatuto por seu Presidente" -> "Presidente"
        if parte:
            longa = len(parte) > 60 or re.search(r"\d|representad|neste ato|por meio|atraves|intermedio", _dobrar(parte))
            return None if longa else parte
        if frase:
            return None  # nothing between the representation phrase and the name
    return None


def _representante_nomeado(trecho: str) -> Optional[tuple[int, int, str, Optional[str]]]:
    """The first person named after a representation phrase ("representado pelo Capitão de
    Fragata (IM) FULANO DE TAL, Ordenador de Despesa"): start, end, name and position."""
    achados = sorted([(m.start(1), m.end(1)) for m in _NOME_HONORIFICO.finditer(trecho)]
                     + [(m.start(), m.end()) for m in _NOME_CAIXA_ALTA.finditer(trecho)]
                     # a name in mixed case right after the phrase and a position ("pelo seu
                     # procurador, Paulo Roberto Lima, conforme ...")
                     + [(m.start("nome"), m.end("nome")) for m in _NOME_MISTO_NO_INICIO.finditer(trecho[:90])
                        if all(_dobrar(p).strip(".,") in CARGOS or _dobrar(p) in ("por", "pelo", "pela", "neste", "ato")
                               for p in m.group("antes").split())])
    for inicio, fim in achados:
        # Position words in capitals before the name ("PREFEITO MUNICIPAL JOÃO DA SILVA") stay out of it.
        while (m := re.match(r"(\S+)\s+", trecho[inicio:fim])) and (
                _dobrar(m.group(1)).strip(".,") in NAO_NOMES or _dobrar(m.group(1)) in CARGOS):
            inicio += m.end()
        nome = " ".join(trecho[inicio:fim].split())
        if not _parece_pessoa(nome) or len(nome.split()) > 7:
            continue
        # The position: the last clause before the name ("por delegação ..., pelo Coordenador
        # Técnico, Sr. FULANO"), else the clause right after it ("FULANO, Ordenador de Despesa,").
        antes = _cargo_antes(trecho[:inicio])
        depois = re.match(r"\s*,\s*([A-ZÀ-Ý][^,;.\d]{2,60}?)\s*[,;.]", trecho[fim:])
        cargo = antes or (
            depois.group(1) if depois and not re.match(r"(?:portador|inscrit|brasileir|residente|CPF|RG)", depois.group(1), re.I)
            else None)
        return inicio, fim, nome, cargo
    return None


def _chave_nome(nome: str) -> str:
    return " ".join(re.findall(r"\w+", _dobrar(nome)))


def _mesmo_nome(a: str, b: str) -> bool:
    ka, kb = _chave_nome(a), _chave_nome(b)
    return bool(ka and kb) and (ka == kb or f" {ka} " in f" {kb} " or f" {kb} " in f" {ka} ")


def _palavras_parecidas(a: str, b: str) -> bool:
    """Two words of one name as a poor scan or an abbreviation leave them ("GONÇAL." / "GONÇALVES")."""
    if a == b or (min(len(a), len(b)) >= 4 and (a.startswith(b) or b.startswith(a))):
        return True
    return min(len(a), len(b)) >= 4 and SequenceMatcher(None, a, b).ratio() >= 0.8


def _mesma_pessoa(a: str, cpf_a: Optional[str], b: str, cpf_b: Optional[str]) -> bool:
    """One person written twice: the same name, the same CPF, or names whose words nearly all agree."""
    if _mesmo_nome(a, b):
        return True
    da, db = re.sub(r"\D", "", cpf_a or ""), re.sub(r"\D", "", cpf_b or "")
    if len(da) == 11 and da == db:
        return True
    if len(da) == 11 and len(db) == 11:
        return False  # two CPFs, two people
    pa, pb = _chave_nome(a).split(), _chave_nome(b).split()
    # A signature drawn over a typed name leaves it with a word misread or its first letters gone
    # ("JOANA PRADO ARRIEIRA", "ENDES DUARTE"): the same first name and all words but one, or all
    # the words of the shorter name, in order, among the longer one's.
    ca, cb = [x for x in pa if x not in _PARTICULAS], [x for x in pb if x not in _PARTICULAS]
    curto, longo = sorted((ca, cb), key=len)
    if len(curto) >= 2 and len(longo) >= 3 and _em_ordem(curto, longo):
        return True
    if len(ca) >= 3 and len(cb) >= 3 and abs(len(ca) - len(cb)) <= 1 and _palavras_parecidas(ca[0], cb[0]):
        if sum(1 for x in ca if any(_palavras_parecidas(x, y) for y in cb)) >= max(len(ca), len(cb)) - 1:
            return True
    if len(pa) < 3 or len(pb) < 3 or abs(len(pa) - len(pb)) > 1:
        return False
    iguais = sum(1 for x in pa if any(_palavras_parecidas(x, y) for y in pb))
    return iguais >= max(len(pa), len(pb)) - 1 and iguais >= 3


_PARTICULAS = frozenset(("de", "da", "do", "das", "dos", "e"))


def _em_ordem(curto: list[str], longo: list[str]) -> bool:
    """Whether every word of ``curto`` is, nearly, a word of ``longo``, in the same order, the last
    one of ``curto`` the last of ``longo`` (a name's front lost, not its surname)."""
    if not _palavras_parecidas(curto[-1], longo[-1]):
        return False
    j = 0
    for x in curto:
        while j < len(longo) and not _palavras_parecidas(x, longo[j]):
            j += 1
        if j == len(longo):
            return False
        j += 1
    return all(len(x) >= 4 for x in curto)


def _cargo_limpo(cargo: str) -> Optional[str]:
    cargo = cargo.strip(" ,;:.-–")
    if not cargo:
        return None
    palavras = [SINGULAR.get(p.lower(), p) for p in cargo.split()]
    while palavras and _dobrar(palavras[0]) in {"seu", "sua", "seus", "suas", "o", "a", "os", "as", "pelo", "pela", "por",
                                                        "e", "neste", "ato"}:
        palavras.pop(0)
    cargo = " ".join(p for p in palavras if _dobrar(p) not in HONORIFICOS and not _HONORIFICO_SO.fullmatch(_dobrar(p)))
    return cargo[:1].upper() + cargo[1:] if cargo else None


_HONORIFICO_SO = re.compile(r"(?:sr|sra|dr|dra|senhor|senhora)\.?(?:\(a\)|ª)?\.?")




@dataclass
class _Empresa:
    inicio: int
    marcador: int
    fim: int
    razao_social: str
    cnpj: Optional[str] = None
    nome_fantasia: Optional[str] = None
    endereco: Optional[str] = None
    papel: Optional[str] = None
    alcance: int = 0  # where the qualification ends, representatives included (text positions)

    def registro(self) -> dict[str, Any]:
        return {"cnpj": self.cnpj, "razao_social": self.razao_social, "nome_fantasia": self.nome_fantasia,
                "endereco": self.endereco, "papel_no_contrato": self.papel}


@dataclass
class _Pessoa:
    nome: str
    cargo: Optional[str] = None
    cpf: Optional[str] = None
    empresa: Optional[_Empresa] = None
    tipo: Optional[str] = None
    origem: int = 0
    fonte: int = 3  # where the name was read: 3 qualification, 2 signature block, 1 stamp

    def registro(self) -> dict[str, Any]:
        return {"nome_signatario": self.nome, "cargo": self.cargo, "cpf": self.cpf,
                "empresa_representada": self.empresa.razao_social if self.empresa else None,
                "cnpj_empresa": self.empresa.cnpj if self.empresa else None, "tipo_assinatura": self.tipo}
