"""Leitura de contratos brasileiros por regras: o provedor "local" do motor.

Sem modelo e sem rede: as partes, as pessoas que assinam por elas e os dados
gerais do contrato são achados no texto do documento pelo modo como os
contratos brasileiros são escritos:

* a qualificação das partes ("ACME LTDA, pessoa jurídica de direito
  privado, inscrita no CNPJ/MF sob o nº ..., com sede na ..., CEP ...,
  doravante denominada CONTRATANTE"), ou um quadro-resumo de linhas
  rotuladas ("Razão Social: ...", "CNPJ: ...", "Endereço: ...");
* os representantes ("neste ato representada por seu sócio administrador
  FULANO, brasileiro, ..., inscrito no CPF sob o nº ..."), o bloco de
  assinaturas, as testemunhas e os carimbos de assinatura digital;
* o título, o objeto, o valor em "R$", a vigência, a data e o foro.

Nada é inventado: o que não é achado fica None, e um documento que não é
contrato (nota fiscal, certidão, artigo, política) não dá empresa nem
signatário.  ``extrair`` devolve um mapa com as chaves das três respostas
("empresas", "assinaturas" e os campos dos dados do contrato); o motor dá a
cada pergunta as chaves que o modelo de resposta dela declara.
"""

# The tables below are the rules; the functions only walk the text with them.

from __future__ import annotations

import re
from collections import Counter
from dataclasses import dataclass
from typing import Any, Optional, Sequence

__all__ = ["extrair", "limpar_paginas", "PAPEIS", "CAMPOS_DADOS"]

# ---------------------------------------------------------------------------
# Tables
# ---------------------------------------------------------------------------

# Roles a party takes in a contract, as written (upper case, with accents).
PAPEIS: tuple[str, ...] = (
    "CONTRATANTE", "CONTRATADA", "CONTRATADO", "LOCADORA", "LOCADOR", "LOCATÁRIA", "LOCATÁRIO",
    "SUBLOCADORA", "SUBLOCATÁRIA", "INTERVENIENTE ANUENTE", "INTERVENIENTE", "ANUENTE", "FIADORA",
    "FIADOR", "GARANTIDORA", "AVALISTA", "PROMITENTE VENDEDORA", "PROMITENTE COMPRADORA", "VENDEDORA",
    "VENDEDOR", "COMPRADORA", "COMPRADOR", "FORNECEDORA", "FORNECEDOR", "CLIENTE", "DISTRIBUIDORA",
    "FRANQUEADORA", "FRANQUEADA", "CEDENTE", "CESSIONÁRIA", "COMODANTE", "COMODATÁRIA", "PARCEIRA",
    "LICENCIANTE", "LICENCIADA", "OUTORGANTE", "OUTORGADA", "CREDORA", "DEVEDORA", "PRESTADORA",
    "TOMADORA", "TRANSPORTADORA", "CONSORCIADA", "REPRESENTADA", "INCORPORADORA", "ADQUIRENTE",
    "SOCIEDADE",
)
# Roles recognised only when named as such ("doravante denominada REPRESENTANTE"):
# as a label, these words usually introduce a person ("Representante: FULANO").
PAPEIS_SO_DENOMINADOS: tuple[str, ...] = ("REPRESENTANTE",)

# Titles that make a document a contract, and those that make it something else.
TITULOS_CONTRATO: tuple[str, ...] = (
    "contrato", "instrumento particular", "termo aditivo", "aditivo", "termo de", "acordo de",
    "estatuto social", "alteracao contratual", "distrato", "convenio", "memorando de entendimentos",
)
TITULOS_SOCIETARIOS: tuple[str, ...] = ("contrato social", "alteracao contratual", "estatuto social",
                                        "consolidacao do contrato social")
TITULOS_OUTROS: tuple[str, ...] = (
    "nota fiscal", "danfe", "fatura", "boleto", "recibo", "certidao", "certificado", "politica de",
    "artigo", "relatorio", "proposta comercial", "orcamento", "curriculo", "ata da", "ata de",
    "comprovante", "declaracao",
)
# Formulas of the contract's preamble and closing.
FORMULAS_CONTRATO: tuple[str, ...] = (
    r"\bdoravante\b", r"\bt[eê]m,? entre si\b", r"\bresolvem\b", r"\bcelebram\b", r"\bajustam\b",
    r"\bfirmam o presente\b", r"\bclausula primeira\b", r"\bpor estarem justa", r"\bna qualidade de\b",
)
# What follows a company's name in its qualification.
MARCADORES_EMPRESA: tuple[str, ...] = (
    r",\s*pessoa juridica", r",\s*sociedade\b", r",\s*empresa (?:publica|individual|brasileira)",
    r",\s*companhia\b", r",\s*associacao\b", r",\s*cooperativa\b", r",\s*fundacao\b",
    r",\s*inscrit[ao] no c\.?n\.?p\.?j", r",\s*c\.?n\.?p\.?j\b", r"\s*\(\s*c\.?n\.?p\.?j",
    r",\s*com sede\b", r",\s*estabelecid[ao]\b",
)
# What follows a person's name in their qualification.
MARCADORES_PESSOA: tuple[str, ...] = (
    r",\s*brasileir[oa]", r",\s*estrangeir[oa]", r",\s*portugues[a]?\b", r",\s*naturalizad[oa]",
    r",\s*natural de\b", r",\s*nacionalidade\b", r",\s*portador[a]? d", r",\s*inscrit[oa] no cpf",
    r",\s*cpf\b", r"\s*\(\s*cpf", r",\s*(?:solteir|casad|divorciad|viuv)[oa]\b",
)
# What introduces a company's representatives.
REPRESENTACAO = r"\b(?:representad[ao]s?|por meio de|atraves de|por interm[eé]dio de|neste ato,? por|neste ato,? pel[ao])\b"
# Position words: stripped off the front of a name and kept as the position.
CARGOS: tuple[str, ...] = (
    "socio", "socia", "socios", "administrador", "administradora", "administradores", "diretor",
    "diretora", "diretores", "presidente", "vice-presidente", "procurador", "procuradora",
    "procuradores", "gerente", "superintendente", "representante", "legal", "executivo", "executiva",
    "financeiro", "financeira", "comercial", "geral", "operacoes", "juridico", "juridica",
    "tesoureiro", "tesoureira", "titular", "ceo", "cfo", "conselheiro", "conselheira", "sr", "sra",
    "sr.", "sra.", "dr", "dra", "dr.", "dra.", "senhor", "senhora", "de", "do", "da", "e", "seu",
    "sua", "seus", "suas", "o", "a", "os", "as",
)
SINGULAR = {"socios": "sócio", "sócios": "sócio", "diretores": "diretor", "administradores": "administrador",
            "procuradores": "procurador"}
HONORIFICOS = ("sr.", "sra.", "sr", "sra", "dr.", "dra.", "dr", "dra", "senhor", "senhora")
# Words of a company's name that a person's name never has.
SUFIXOS_EMPRESA = re.compile(
    r"\b(?:ltda|s\.?\s?/?a\.?|eireli|me|epp|cia|companhia|sociedade|comercio|industria|servicos|"
    r"participacoes|holding|empreendimentos|incorporadora|construtora|transportes|logistica|"
    r"tecnologia|consultoria|engenharia|alimentos|distribuidora|associacao|cooperativa|banco|"
    r"grupo|agropecuaria|imobiliaria|editora|laboratorio|hospital|clinica|escola|instituto|condominio)\b"
)
# Digital-signature stamps: (lead-in, whether the certificate "NAME:CPF" form follows).
CARIMBOS_DIGITAIS: tuple[str, ...] = (
    r"(?i:assinado\s+(?:digitalmente|eletronicamente)(?:\s+com\s+certificado\s+digital)?\s+por)\s*:?\s*",
    r"(?i:documento\s+assinado\s+(?:digitalmente|eletronicamente)\s+por)\s*:?\s*",
    r"(?i:assinatura\s+(?:digital|eletr[oô]nica)\s+(?:de|por))\s*:?\s*",
    r"(?i:signat[aá]rio)\s*:\s*",
)
# The contract-data fields this module answers.
CAMPOS_DADOS: tuple[str, ...] = ("tipo_contrato", "objeto", "data_assinatura", "vigencia", "valor", "foro")
MESES = {"janeiro": 1, "fevereiro": 2, "marco": 3, "abril": 4, "maio": 5, "junho": 6, "julho": 7,
         "agosto": 8, "setembro": 9, "outubro": 10, "novembro": 11, "dezembro": 12}
MINUSCULAS_TITULO = {"de", "da", "do", "das", "dos", "e", "em", "a", "o", "ao", "aos", "para", "por", "com", "no", "na"}

# ---------------------------------------------------------------------------
# Patterns
# ---------------------------------------------------------------------------

_ACENTOS = tuple(zip("áàâãäéèêëíìîïóòôõöúùûüçñ", "aaaaaeeeeiiiiooooouuuucn"))


def _dobrar(texto: str) -> str:
    """Lower case without accents, of the same length (positions stay valid)."""
    dobrado = texto.lower()
    if len(dobrado) != len(texto):  # a letter whose lower case is longer ("İ")
        dobrado = "".join(c.lower() if len(c.lower()) == 1 else c for c in texto)
    if not dobrado.isascii():
        # One pass of str.replace per accented letter: far quicker than a
        # character-by-character translation on long, mostly ASCII texts.
        for acentuada, simples in _ACENTOS:
            if acentuada in dobrado:
                dobrado = dobrado.replace(acentuada, simples)
    return dobrado


def _papel_regex() -> str:
    folded = sorted({_dobrar(p) for p in PAPEIS}, key=len, reverse=True)
    return "(" + "|".join(re.escape(p) for p in folded) + r")s?\b"


_PAPEL = _papel_regex()
_PAPEL_DENOMINADO = "(" + "|".join(re.escape(_dobrar(p)) for p in PAPEIS_SO_DENOMINADOS) + "|" + _PAPEL[1:]
_PAPEL_CANONICO = {_dobrar(p): p for p in PAPEIS + PAPEIS_SO_DENOMINADOS}
CNPJ_RE = re.compile(r"(?<![\d./-])\d{2}\.?\d{3}\.?\d{3}\s?/\s?\d{4}\s?-\s?\d{2}(?![\d/])|(?<![\d./-])\d{14}(?![\d/])")
CPF_RE = re.compile(r"(?<![\d./-])(?:\d{3}\.\d{3}\.\d{3}-\d{2}|\d{3}\.\*{3}\.\*{3}-\d{2}|\*{3}\.\d{3}\.\d{3}-\*{2}|\d{11})(?![\d/])")
CEP_RE = re.compile(r"\bcep\s*(?:n[º°o.]\s*)?:?\s*\d{2}\.?\d{3}\s?-?\s?\d{3}")
_MARCADOR_EMPRESA = re.compile("|".join(MARCADORES_EMPRESA))
_MARCADOR_PESSOA = re.compile("|".join(MARCADORES_PESSOA))
_PAPEL_DEPOIS = re.compile(
    r"(?:(?:doravante|a seguir|adiante|neste instrumento|simplesmente)\s+(?:simplesmente\s+)?"
    r"(?:denominad|designad|chamad|referid|identificad)[ao]s?\s+(?:simplesmente\s+)?(?:apenas\s+)?(?:como\s+)?"
    r"|doravante\s+(?:simplesmente\s+)?|na qualidade de\s+|\(\s*)"
    r"(?:a\s+|o\s+)?[\"'“”‘’«]?\s*" + _PAPEL_DENOMINADO
)
_PAPEL_ANTES = re.compile(r"(?:(?:^|[\s(])" + _PAPEL + r"\s*(?:\)\s*)?[:–-]|\b(?:como|na qualidade de)\s+(?:a\s+|o\s+)?"
                          + _PAPEL + r"\s*,)\s*$")
_FIM_SEGMENTO = re.compile(
    r";|\bt[eê]m,? entre si\b|\bresolvem\b|\bcelebram\b|\bajustam\b|\bfirmam\b|\bclausula\b|\bpelo presente\b"
)
_ROTULO_PAPEL = re.compile(r"(?<![\w])" + _PAPEL + r"\s*:")
# Between two parties' names: what ends the first one's qualification.
_ENTRE_PARTES = re.compile(
    r";|\bdoravante\b|\bna qualidade de\b|\be,?\s+de outr[oa] (?:lado|parte)|\(\s*[ivx]+\s*\)|\bde um lado\b"
)
_SEPARADOR = re.compile(r"_{4,}|\.{8,}|-{8,}")
_DATA_EXTENSO = re.compile(r"(\d{1,2})º?\s+de\s+([a-zç]+)\s+de\s+(\d{4})")
_DATA_NUMERICA = re.compile(r"(?<!\d)(\d{1,2})/(\d{1,2})/(\d{4})(?!\d)")
_NUMERO_PAGINA = re.compile(r"^(?:-\s*)?(?:p[aá]g(?:ina)?\.?\s*)?\d{1,4}(?:\s*(?:de|/)\s*\d{1,4})?(?:\s*-)?$", re.I)
_ESPACOS = re.compile(r"[ \t\u00a0\u2002-\u200b]+")
_NOME_TOKEN = re.compile(r"^(?:[A-ZÀ-Ý0-9][\wÀ-ÿ'’.&/-]*|d[aeo]s?|e|&|d'|del|la|von|van|[-–])$")
_NOME_PESSOA = r"[A-ZÀ-Ý][A-Za-zÀ-ÿ'’]+(?:[ \t]+(?:d[aeo]s?|e|[A-ZÀ-Ý][A-Za-zÀ-ÿ'’.]*))*[ \t]+[A-ZÀ-Ý][A-Za-zÀ-ÿ'’]+"
_CARIMBOS = [re.compile(lead + r"(" + _NOME_PESSOA + r")(?:\s*:\s*(\d{11}))?") for lead in CARIMBOS_DIGITAIS]
_CARIMBO_CERTIFICADO = re.compile(r"(" + _NOME_PESSOA + r")$")
_CPF_DO_CERTIFICADO = re.compile(r":(\d{11})\b")

# ---------------------------------------------------------------------------
# Text from PDFs
# ---------------------------------------------------------------------------


def _chave_repetida(linha: str) -> str:
    return re.sub(r"\d+", "#", _dobrar(linha))


def limpar_paginas(paginas: Sequence[str]) -> list[str]:
    """As linhas do documento sem cabeçalhos e rodapés repetidos, números de página,
    quebras de linha com hífen e espaços repetidos."""
    por_pagina = []
    for pagina in paginas:
        # pdfium reports a hyphen that ends a line as U+FFFE and joins the two lines.
        linhas = [_ESPACOS.sub(" ", l).strip() for l in pagina.replace("\ufffe", "").split("\n")]
        por_pagina.append([l for l in linhas if l])
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
            if saida and (re.search(r"[a-zà-ÿ]-$", saida[-1]) and re.match(r"[a-zà-ÿ]", linha)
                          or re.search(r"[A-ZÀ-Ý]{2}-$", saida[-1]) and re.match(r"[A-ZÀ-Ý]{2}", linha)):
                saida[-1] = saida[-1][:-1] + linha  # "contra-" + "tante"
            elif saida and re.search(r"\b(?:CEP|CNPJ|CPF|n[º°])\s*:?$", saida[-1], re.I) and linha[:1].isdigit():
                saida[-1] += " " + linha  # a number carried to the next line
            else:
                saida.append(linha)
    return saida


def _eh_cabecalho(linha: str, indice: int, largura: int) -> bool:
    """An all-caps heading: the first line, or one shorter than the lines a paragraph is
    wrapped into, with no trailing punctuation ("CLÁUSULA PRIMEIRA – DO OBJETO")."""
    return (linha == linha.upper() and bool(re.search(r"[A-ZÀ-Ý]{3}", linha))
            and not re.search(r"[,;:]$", linha) and (indice == 0 or len(linha) < 0.85 * largura))


def _juntar_linhas(linhas: list[str]) -> str:
    """One running text; a heading is kept apart from what follows by "¶", which no name crosses."""
    tamanhos = sorted(len(l) for l in linhas) or [0]
    largura = max(40, tamanhos[int(0.9 * (len(tamanhos) - 1))])  # the wrap width, roughly
    partes = []
    for i, linha in enumerate(linhas):
        partes.append(linha)
        partes.append(" ¶ " if _eh_cabecalho(linha, i, largura) else " ")
    return "".join(partes)


def _titulo(texto: str) -> str:
    """An all-caps heading in title case ("CONTRATO DE LOCAÇÃO" -> "Contrato de Locação")."""
    if texto != texto.upper():
        return texto
    palavras = texto.lower().split(" ")
    return " ".join(p if (i and p in MINUSCULAS_TITULO) else p[:1].upper() + p[1:] for i, p in enumerate(palavras))


# ---------------------------------------------------------------------------
# Names
# ---------------------------------------------------------------------------


def _nome_antes(texto: str, fim: int) -> tuple[int, str]:
    """The run of name words that ends at ``fim`` (start position and text), or (fim, "")."""
    inicio_janela = max(0, fim - 200)
    trecho = texto[inicio_janela:fim]
    tokens = list(re.finditer(r"\S+", trecho))
    aceitos: list[re.Match[str]] = []
    for i, m in enumerate(reversed(tokens)):
        token = m.group().strip("\"'“”‘’")
        if i > 0 and re.search(r"[,;:)\]]$", m.group()):
            break
        if not token or not _NOME_TOKEN.match(token):
            break
        aceitos.append(m)
    while aceitos and _dobrar(aceitos[-1].group().strip("\"'“”")) in {"de", "da", "do", "das", "dos", "e", "&", "d'", "-", "–"}:
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


def _sem_papel(nome: str) -> str:
    """A name with a leading article and role words removed ("A CONTRATANTE" -> "")."""
    palavras = nome.split()
    while palavras and (_dobrar(palavras[0]) in {"a", "o", "as", "os"} or re.fullmatch(_PAPEL, _dobrar(palavras[0]))):
        palavras.pop(0)
    return " ".join(palavras)


def _parece_empresa(nome: str) -> bool:
    return bool(SUFIXOS_EMPRESA.search(_dobrar(nome)))


def _parece_pessoa(linha: str) -> bool:
    palavras = linha.split()
    return (
        2 <= len(palavras) <= 7
        and not re.search(r"\d", linha)
        and not _parece_empresa(linha)
        and all(_NOME_TOKEN.match(p) and not p[0].isdigit() for p in palavras)
        and not re.search(_PAPEL, _dobrar(linha))
        and _dobrar(palavras[0]) not in CARGOS
    )


def _chave_nome(nome: str) -> str:
    return " ".join(re.findall(r"\w+", _dobrar(nome)))


def _mesmo_nome(a: str, b: str) -> bool:
    ka, kb = _chave_nome(a), _chave_nome(b)
    return bool(ka and kb) and (ka == kb or f" {ka} " in f" {kb} " or f" {kb} " in f" {ka} ")


def _cargo_limpo(cargo: str) -> Optional[str]:
    cargo = cargo.strip(" ,;:.-–")
    if not cargo:
        return None
    palavras = [SINGULAR.get(p.lower(), p) for p in cargo.split()]
    while palavras and _dobrar(palavras[0]) in {"seu", "sua", "seus", "suas", "o", "a", "os", "as", "pelo", "pela", "por"}:
        palavras.pop(0)
    cargo = " ".join(p for p in palavras if _dobrar(p) not in HONORIFICOS)
    return cargo[:1].upper() + cargo[1:] if cargo else None


# ---------------------------------------------------------------------------
# Parties
# ---------------------------------------------------------------------------


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


def _papel_em(dobrado: str, inicio: int, fim: int) -> tuple[Optional[str], int]:
    m = _PAPEL_DEPOIS.search(dobrado, inicio, fim)
    if m:
        return _PAPEL_CANONICO[m.group(1)], m.end()
    return None, -1


def _papel_rotulo(dobrado: str, inicio_nome: int) -> Optional[str]:
    m = _PAPEL_ANTES.search(dobrado[max(0, inicio_nome - 40):inicio_nome])
    return _PAPEL_CANONICO[next(g for g in m.groups() if g)] if m else None


_SEDE = re.compile(
    r"(?:com\s+)?(?:sede|endereco|estabelecid[ao]|domiciliad[ao]|residente e domiciliad[ao]|residente)"
    r"(?:\s+social)?(?:\s+e\s+foro)?\s*(?:na|no|em|a|à|:)\s+"
)
# Where an address ends when no CEP closes it.
_FIM_ENDERECO = re.compile(r",\s*(?:inscrit|neste ato|doravante|representad|cnpj|c\.n\.p\.j|por meio|nos termos|"
                           r"portador|cpf|e-mail|telefone)|;|\(\s*cnpj")


def _endereco(texto: str, dobrado: str, inicio: int, fim: int) -> Optional[str]:
    m = _SEDE.search(dobrado, inicio, fim)
    if not m:
        return None
    cep = CEP_RE.search(dobrado, m.end(), fim)
    corte = _FIM_ENDERECO.search(dobrado, m.end(), fim)
    if cep and (not corte or cep.start() < corte.start()):
        final = cep.end()
    elif corte:
        final = corte.start()
    else:
        return None
    valor = texto[m.end():final].strip(" ,.;")
    return valor or None


def _nome_empresa_antes(texto: str, fim: int) -> tuple[int, str]:
    """The company name before a qualification marker; skips one short lower-case descriptor
    ("BANCO X S.A., instituição financeira, inscrita no CNPJ")."""
    inicio, nome = _nome_antes(texto, fim)
    if nome and not _nome_valido(nome):
        nome = ""
    if not nome:
        virgula = texto.rfind(",", max(0, fim - 60), fim)
        if virgula > 0 and re.fullmatch(r"[\sa-zà-ÿ-]+", texto[virgula + 1:fim]):
            inicio, nome = _nome_antes(texto, virgula)
    if not nome:
        # "X S.A., registrada na ANS sob o nº 41.234-5, inscrita no CNPJ": up to two clauses
        # back, a name that reads as a company's.
        corte = fim
        for _ in range(2):
            corte = texto.rfind(",", max(0, fim - 120), corte)
            if corte <= 0 or "¶" in texto[corte:fim] or ";" in texto[corte:fim]:
                break
            inicio2, nome2 = _nome_antes(texto, corte)
            if nome2 and _parece_empresa(nome2):
                inicio, nome = inicio2, nome2
                break
    return inicio, _sem_papel(nome)


_NOME_EMPRESARIAL = re.compile(
    r"(?:nome empresarial|denomina[cç][aã]o social|raz[aã]o social|denomina[cç][aã]o|firma)\s*(?:de\s+|:\s*)?"
    r"(?=[A-ZÀ-Ý])", re.I)


def _empresa_nomeada(texto: str, dobrado: str) -> Optional[_Empresa]:
    """The company of articles of association that has no CNPJ yet ("sob o nome empresarial X")."""
    m = _NOME_EMPRESARIAL.search(texto)
    if not m:
        return None
    tokens = []
    for t in re.finditer(r"\S+", texto[m.end():m.end() + 200]):
        palavra = t.group()
        if not _NOME_TOKEN.match(palavra.rstrip(",;.")) or (palavra[0].islower() and palavra not in ("de", "da", "do", "e", "&")):
            break
        tokens.append(palavra)
        if re.search(r"[,;]$", palavra):
            break
    while tokens and _dobrar(tokens[-1].rstrip(",;")) in {"de", "da", "do", "das", "dos", "e", "&"}:
        tokens.pop()
    nome = " ".join(tokens).rstrip(",;")
    if not nome or not _parece_empresa(nome):
        return None
    fim = _FIM_SEGMENTO.search(dobrado, m.end() + len(nome))
    empresa = _Empresa(inicio=m.end(), marcador=m.end() + len(nome), fim=fim.start() if fim else len(texto),
                       razao_social=nome)
    empresa.endereco = _endereco(texto, dobrado, empresa.marcador, min(empresa.fim, empresa.marcador + 400))
    return empresa


def _nome_valido(nome: str) -> bool:
    palavras = nome.split()
    return (bool(re.search(r"[A-Za-zÀ-ÿ]{2}", nome)) and _dobrar(palavras[0]) not in {"cpf", "rg", "cep", "cnpj", "n", "nº"}
            and not any(re.fullmatch(r"[\d.,/-]{3,}", p) for p in palavras))


def _empresas_qualificadas(texto: str, dobrado: str) -> list[_Empresa]:
    achadas: list[_Empresa] = []
    for m in _MARCADOR_EMPRESA.finditer(dobrado):
        inicio, nome = _nome_empresa_antes(texto, m.start())
        if not nome or not _nome_valido(nome) or (achadas and achadas[-1].inicio <= inicio <= achadas[-1].marcador):
            continue
        if achadas and achadas[-1].marcador < inicio and not (
            _ENTRE_PARTES.search(dobrado, achadas[-1].marcador, inicio)
            or _ROTULO_PAPEL.search(dobrado, achadas[-1].marcador, inicio + 1)
        ):
            continue  # a second marker of the same qualification ("..., CEP ..., inscrita no CNPJ")
        achadas.append(_Empresa(inicio=inicio, marcador=m.start(), fim=len(texto), razao_social=nome))
    empresas: list[_Empresa] = []
    for i, e in enumerate(achadas):
        proximo = achadas[i + 1].inicio if i + 1 < len(achadas) else len(texto)
        fim_m = _FIM_SEGMENTO.search(dobrado, e.marcador, proximo)
        e.fim = fim_m.start() if fim_m else min(proximo, e.marcador + 1500)
        rotulo = _ROTULO_PAPEL.search(dobrado, e.marcador, e.fim)
        e.fim = rotulo.start() if rotulo else e.fim
        e.papel, fim_papel = _papel_em(dobrado, e.marcador, e.fim)
        if e.papel:
            e.fim = fim_papel
        e.papel = _papel_rotulo(dobrado, e.inicio) or e.papel
        cnpj = CNPJ_RE.search(texto, e.marcador, e.fim)
        e.cnpj = cnpj.group().replace(" ", "") if cnpj else None
        trecho_pj = re.search(r"pessoa juridica|sociedade|companhia|cnpj", dobrado[e.marcador:e.fim])
        if not (e.cnpj or (trecho_pj and _parece_empresa(e.razao_social))):
            continue
        fantasia = re.compile(r"nome fantasia\s*:?\s*[\"“]?([^\"”,;]+)").search(dobrado, e.marcador, e.fim)
        if fantasia:
            e.nome_fantasia = texto[fantasia.start(1):fantasia.end(1)].strip() or None
        e.endereco = _endereco(texto, dobrado, e.marcador, e.fim)
        empresas.append(e)
    return empresas


_ROTULOS_QUADRO = {
    "razao": re.compile(r"^(?:raz[aã]o social|nome empresarial|denomina[cç][aã]o social|empresa)\s*:\s*(.+)$", re.I),
    "cnpj": re.compile(r"^(?:cnpj(?:/mf)?|c\.n\.p\.j\.?)\s*(?:n[º°o.]\s*)?:?\s*(.+)$", re.I),
    "endereco": re.compile(r"^(?:endere[cç]o(?: da sede)?|sede)\s*:\s*(.+)$", re.I),
    "fantasia": re.compile(r"^nome fantasia\s*:\s*(.+)$", re.I),
    "assinatura": re.compile(r"^(?:assinaturas?|assinado por|signat[aá]rios)\s*:\s*(.+)$", re.I),
    "representante": re.compile(r"^(?:representantes?(?: legal| legais)?|representad[ao] por|signat[aá]rio)\s*:\s*(.+)$", re.I),
}


def _quadro_resumo(linhas: list[str]) -> tuple[list[_Empresa], list[_Pessoa]]:
    """Parties given as labelled lines ("Razão Social: ...", "CNPJ: ...")."""
    empresas: list[_Empresa] = []
    pessoas: list[_Pessoa] = []
    atual: Optional[_Empresa] = None
    papel: Optional[str] = None
    for n, linha in enumerate(linhas):
        dobrada = _dobrar(linha)
        so_papel = re.fullmatch(r"(?:\d+[.)]?\s*)?(?:d[ao]s?\s+)?" + _PAPEL + r"\s*:?", dobrada)
        if so_papel:
            papel = _PAPEL_CANONICO[so_papel.group(1)]
            continue
        if m := _ROTULOS_QUADRO["razao"].match(linha):
            atual = _Empresa(inicio=n, marcador=n, fim=n, razao_social=m.group(1).strip(" .;"), papel=papel)
            empresas.append(atual)
            papel = None
        elif m := re.match(_PAPEL + r"\s*:\s*", dobrada):
            # "CONTRATADA: BETA SERVIÇOS LTDA." – a party named on its role's line.
            nome = re.split(r",|\s\(", linha[m.end():])[0].strip(" ;")
            if _parece_empresa(nome) and _nome_valido(nome):
                empresas.append(_Empresa(inicio=n, marcador=n, fim=n, razao_social=nome,
                                         papel=_PAPEL_CANONICO[m.group(1)]))
        elif m := _ROTULOS_QUADRO["assinatura"].match(linha):
            for parte in re.split(r";|\s+e\s+(?=[A-ZÀ-Ý])", m.group(1)):
                nome = re.split(r",|\s[–-]\s|\(", parte)[0].strip()
                cargo = re.search(r"\(([^)]+)\)", parte)
                cpf = CPF_RE.search(parte)
                if _parece_pessoa(nome):
                    pessoas.append(_Pessoa(nome=nome, cargo=_cargo_limpo(cargo.group(1)) if cargo else None,
                                           cpf=cpf.group() if cpf else None, origem=n))
        elif atual is None:
            continue
        elif m := _ROTULOS_QUADRO["cnpj"].match(linha):
            c = CNPJ_RE.search(m.group(1))
            atual.cnpj = c.group().replace(" ", "") if c else atual.cnpj
        elif m := _ROTULOS_QUADRO["endereco"].match(linha):
            endereco = m.group(1).strip(" .;")
            # A long address wraps: the next lines go on until a label or a role.
            for seguinte in linhas[n + 1:n + 3]:
                if re.match(r"^[\wÀ-ÿ /]{2,30}:", seguinte) or re.fullmatch(r"(?:\d+[.)]?\s*)?" + _PAPEL + r"\s*:?",
                                                                           _dobrar(seguinte)):
                    break
                endereco += " " + seguinte.strip(" .;")
            atual.endereco = endereco
        elif m := _ROTULOS_QUADRO["fantasia"].match(linha):
            atual.nome_fantasia = m.group(1).strip(" .;")
        elif m := _ROTULOS_QUADRO["representante"].match(linha):
            for parte in re.split(r"\s+e\s+(?=[A-ZÀ-Ý])|;", m.group(1)):
                nome = re.split(r",|\s[–-]\s|\(", parte)[0].strip()
                nome, cargo = _separar_cargo(nome)
                if not _parece_pessoa(nome):
                    continue
                cpf = CPF_RE.search(parte)
                resto = re.sub(r"cpf\S*\s*(?:n[º°o.]\s*)?:?\s*" + CPF_RE.pattern, "", parte[len(nome):], flags=re.I)
                cargo = cargo or next((c.strip() for c in re.split(r",|\s[–-]\s", resto) if c.strip()
                                       and not re.search(r"\d|cpf|rg\b|brasileir", _dobrar(c))), "")
                pessoas.append(_Pessoa(nome=nome, cargo=_cargo_limpo(cargo), cpf=cpf.group() if cpf else None,
                                       empresa=atual, tipo="representante", origem=n))
    return [e for e in empresas if e.cnpj or _parece_empresa(e.razao_social)], pessoas


def _pessoas_qualificadas(texto: str, dobrado: str, empresas: list[_Empresa], societario: bool) -> list[_Pessoa]:
    pessoas: list[_Pessoa] = []
    marcadores: list[int] = []
    cargo_plural = ""
    for m in _MARCADOR_PESSOA.finditer(dobrado):
        inicio, nome = _nome_antes(texto, m.start())
        nome, cargo = _separar_cargo(_sem_papel(nome))
        if not _parece_pessoa(nome):
            # "FULANO, Diretor Financeiro, brasileiro": the position sits between name and qualification.
            virgula = texto.rfind(",", max(0, m.start() - 60), inicio)
            if virgula < 0 or not re.fullmatch(r"[\sA-Za-zÀ-ÿ-]+", texto[virgula + 1:m.start()]):
                continue
            inicio2, nome2 = _nome_antes(texto, virgula)
            nome2, _ = _separar_cargo(_sem_papel(nome2))
            if not _parece_pessoa(nome2):
                continue
            cargo, nome, inicio = texto[virgula + 1:m.start()].strip(), nome2, inicio2
        if pessoas and inicio <= pessoas[-1].origem:
            continue
        empresa = next((e for e in empresas if e.marcador < inicio <= e.fim
                        and re.search(REPRESENTACAO, dobrado[e.marcador:inicio])
                        and not _ROTULO_PAPEL.search(dobrado, e.marcador, inicio)), None)
        papel: Optional[str] = None
        if empresa is None:
            # A person's own qualification is short: look no further than this for its end.
            limite = min(len(texto), m.start() + 2000)
            fim_m = _FIM_SEGMENTO.search(dobrado, m.start(), limite)
            rotulo = _ROTULO_PAPEL.search(dobrado, m.start(), limite)
            proxima = next((e.inicio for e in empresas if e.inicio > m.start()), limite)
            fim = min(fim_m.start() if fim_m else limite, rotulo.start() if rotulo else limite, proxima)
            papel, _ = _papel_em(dobrado, m.start(), fim)
            papel = _papel_rotulo(dobrado, inicio) or papel
            if papel is None and societario and empresas:
                empresa, cargo = empresas[0], cargo or "Sócio"
            elif papel is None:
                continue
        else:
            # The position precedes the name: "por seu sócio administrador FULANO", "e sua diretora FULANA".
            antes = texto[max(empresa.marcador, inicio - 80):inicio]
            frase = re.search(r".*(?:\bpor|\bpel[oa]s?|,|\be)\s+((?:(?:seu|sua|seus|suas|o|a)\s+)?[^,;]*?)\s*,?\s*$",
                              antes, re.S)
            if not cargo and frase and not re.search(r"\d", frase.group(1)):
                cargo = frase.group(1)
            if cargo and _dobrar(cargo.split()[-1]) in ("socios", "diretores", "administradores", "procuradores"):
                cargo_plural = cargo
            elif not cargo and cargo_plural:
                cargo = cargo_plural
        pessoas.append(_Pessoa(nome=nome, cargo=_cargo_limpo(cargo) or (_titulo(papel) if papel else None),
                               empresa=empresa, tipo="representante" if empresa else "parte", origem=inicio))
        marcadores.append(m.start())
    # Each one's CPF lies between their qualification and the next person or party.
    limites = sorted({p.origem for p in pessoas} | {e.inicio for e in empresas} | {len(texto)})
    for p, marcador in zip(pessoas, marcadores):
        fim = next(x for x in limites if x > marcador)
        cpf = CPF_RE.search(texto, marcador, fim)
        p.cpf = cpf.group() if cpf else None
    return pessoas


# ---------------------------------------------------------------------------
# Signature block, witnesses and digital stamps
# ---------------------------------------------------------------------------


def _inicio_assinaturas(linhas: list[str]) -> int:
    for i in range(len(linhas) - 1, -1, -1):
        d = _dobrar(linhas[i])
        if _DATA_EXTENSO.search(d) and re.match(r"^[a-z][a-z .'/-]*(?:/[a-z]{2})?\s*[,–-]", d):
            return i + 1
        if re.search(r"por estarem (?:assim )?(?:justa|de acordo)|e,? por assim|assinam o presente", d):
            return i + 1
    seps = [i for i, l in enumerate(linhas) if _SEPARADOR.search(l)]
    return seps[0] if seps else len(linhas)


def _empresa_da_linha(linha: str, empresas: list[_Empresa]) -> Optional[_Empresa]:
    dobrada = _dobrar(linha)
    for e in empresas:
        if _chave_nome(e.razao_social) and _chave_nome(e.razao_social) in _chave_nome(linha):
            return e
        if e.cnpj and re.sub(r"\D", "", e.cnpj) in re.sub(r"\D", "", linha):
            return e
    papel = re.search(_PAPEL, dobrada)
    if papel:
        canonico = _PAPEL_CANONICO[papel.group(1)]
        return next((e for e in empresas if e.papel == canonico), None)
    return None


def _bloco_assinaturas(linhas: list[str], empresas: list[_Empresa]) -> list[_Pessoa]:
    pessoas: list[_Pessoa] = []
    inicio = _inicio_assinaturas(linhas)
    grupos: list[tuple[list[str], bool, Optional[_Empresa], bool]] = []
    testemunha = False
    pendente: Optional[_Empresa] = None
    atual: Optional[list[str]] = None
    for linha in linhas[inicio:]:
        dobrada = _dobrar(linha)
        if re.match(r"^testemunhas?\b", dobrada):
            testemunha, atual, pendente = True, None, None
            linha = re.sub(r"^\S+\s*:?\s*", "", linha)
            if not linha:
                continue
            dobrada = _dobrar(linha)
        if len(_SEPARADOR.findall(linha)) >= 2 and not re.search(r"[A-Za-zÀ-ÿ]{3}", _SEPARADOR.sub("", linha)):
            # Signatures side by side: their lines come out of the PDF joined ("Maria Silva João
            # Souza"), so only labelled names are read from them ("Nome: A Nome: B").
            atual = []
            grupos.append((atual, testemunha, None, True))
            continue
        if _SEPARADOR.search(linha):
            for parte in _SEPARADOR.split(linha)[1:] or [""]:
                atual = [parte.strip(" :")] if parte.strip(" :") else []
                grupos.append((atual, testemunha, pendente, False))
            antes = _SEPARADOR.split(linha)[0].strip(" :")
            if antes and not re.fullmatch(r"\d+[.)]?", antes):
                e = _empresa_da_linha(antes, empresas)
                if e:
                    grupos[-1] = (atual, testemunha, e, False)
            continue
        if atual is None or (re.fullmatch(r"(?:pel[ao]\s+|p/\s*)?" + _PAPEL + r"\s*:?", dobrada) and atual):
            papel = re.search(_PAPEL, dobrada)
            if papel and len(dobrada) < 40:
                pendente = _empresa_da_linha(linha, empresas)
            continue
        atual.append(linha)
    for grupo, eh_testemunha, empresa, colunas in grupos:
        if colunas:
            nomes = [n.strip(" ,;–-") for l in grupo for n in re.findall(r"\bNome\s*:\s*(.+?)(?=\s+Nome\s*:|\s+CPF\b|$)",
                                                                         l, re.I)]
            cpfs = [c.group() for l in grupo if re.match(r"^\s*CPF", l, re.I) for c in CPF_RE.finditer(l)]
            for i, nome in enumerate(n for n in nomes if _parece_pessoa(n)):
                cpf = cpfs[i] if len(cpfs) == len(nomes) else None
                pessoas.append(_Pessoa(nome=nome, cargo="Testemunha" if eh_testemunha else None, cpf=cpf,
                                       tipo="testemunha" if eh_testemunha else None, fonte=2))
            continue
        nome: Optional[str] = None
        cargo: Optional[str] = None
        cpf: Optional[str] = None
        for linha in grupo:
            dobrada = _dobrar(linha)
            if c := CPF_RE.search(linha):
                cpf = cpf or c.group()
            if m := re.match(r"^nome\s*:\s*(.+)$", linha, re.I):
                partes = re.split(r"\s+(?:cpf|rg|nome\s*:)", m.group(1), flags=re.I)
                nome = nome or partes[0].strip(" ,;–-")
                continue
            if m := re.match(r"^(?:cargo|fun[cç][aã]o|qualidade)\s*:\s*(.+)$", linha, re.I):
                cargo = m.group(1).strip()
                continue
            if re.match(r"^(?:cpf|rg|data|e-?mail)\b", dobrada):
                continue
            e = _empresa_da_linha(linha, empresas) if not eh_testemunha else None
            nomeia = e is not None and any(_chave_nome(x.razao_social) in _chave_nome(linha) for x in empresas)
            if e is not None and (nomeia or _parece_empresa(linha) or re.match(r"^(?:p/|pel[ao]\b|representando)", dobrada)):
                empresa = e  # the company written under the line wins over a label above the block
                continue
            if e is not None and re.search(_PAPEL, dobrada):
                empresa = empresa or e
                continue
            partes = [p.strip() for p in re.split(r"\s[–-]\s|,", linha) if p.strip()]
            if partes and nome is None and _parece_pessoa(re.sub(r"\s*\(.*", "", partes[0])):
                nome = re.sub(r"\s*\(.*", "", partes[0])
                resto = [p for p in partes[1:] if not re.search(r"cpf|\d", _dobrar(p))]
                cargo = cargo or (resto[0] if resto else None)
            elif nome is not None and cargo is None and not _parece_empresa(linha) and not re.search(r"\d", linha):
                cargo = linha.strip()
        if not nome:
            continue
        if eh_testemunha:
            pessoas.append(_Pessoa(nome=nome, cargo="Testemunha", cpf=cpf, tipo="testemunha", fonte=2))
        else:
            pessoas.append(_Pessoa(nome=nome, cargo=_cargo_limpo(cargo or ""), cpf=cpf, empresa=empresa,
                                   tipo="representante" if empresa else None, fonte=2))
    return pessoas


def _carimbos(texto_bruto: str) -> list[tuple[str, Optional[str]]]:
    achados: list[tuple[str, Optional[str]]] = []

    def anota(nome: str, cpf: Optional[str]) -> None:
        nome = re.split(r"\s+(?:em|CPF|no dia|data)\b", nome)[0].strip()
        if _parece_pessoa(nome) and not any(_mesmo_nome(nome, n) for n, _ in achados):
            achados.append((nome, cpf))

    for padrao in _CARIMBOS:
        for m in padrao.finditer(texto_bruto):
            anota(m.group(1), m.group(2))
    # The ICP-Brasil certificate name, "NOME COMPLETO:12345678900".
    for m in _CPF_DO_CERTIFICADO.finditer(texto_bruto):
        nome = _CARIMBO_CERTIFICADO.search(texto_bruto, max(0, m.start() - 80), m.start())
        if nome:
            anota(nome.group(1), m.group(1))
    return achados


def _juntar(pessoas: list[_Pessoa], outra: _Pessoa) -> None:
    for p in pessoas:
        if _mesmo_nome(p.nome, outra.nome):
            # The name as the parties are qualified wins over a signature line or a stamp.
            if outra.fonte > p.fonte or (outra.fonte == p.fonte and len(outra.nome) > len(p.nome)):
                p.nome, p.fonte = outra.nome, outra.fonte
            p.cargo = p.cargo or outra.cargo
            p.cpf = p.cpf or outra.cpf
            p.empresa = p.empresa or outra.empresa
            if outra.tipo in ("digital", "testemunha") or p.tipo is None:
                p.tipo = outra.tipo if p.tipo != "testemunha" else p.tipo
            return
    pessoas.append(outra)


# ---------------------------------------------------------------------------
# Contract data
# ---------------------------------------------------------------------------


def _data_iso(dia: str, mes: int, ano: str) -> Optional[str]:
    d = int(dia)
    if 1 <= d <= 31 and 1 <= mes <= 12:
        return f"{int(ano):04d}-{mes:02d}-{d:02d}"
    return None


def _titulo_de(cabeca: list[str], titulos: Sequence[str]) -> Optional[str]:
    """The first head line whose first words name one of ``titulos`` ("SEGUNDA ALTERAÇÃO CONTRATUAL")."""
    padrao = re.compile(r"^(?:\S+\s+){0,2}(?:" + "|".join(re.escape(t) for t in titulos) + r")\b")
    return next((l for l in cabeca if len(l) <= 160 and padrao.match(_dobrar(l))), None)


def _dados_contrato(linhas: list[str], texto: str, dobrado: str, cabeca: list[str]) -> dict[str, Optional[str]]:
    dados: dict[str, Optional[str]] = dict.fromkeys(CAMPOS_DADOS)
    titulo = _titulo_de(cabeca, TITULOS_CONTRATO)
    if titulo and len(titulo) >= 50 and titulo == titulo.upper():
        # A long title wrapped onto the next line, all caps too.
        seguinte = cabeca[cabeca.index(titulo) + 1] if cabeca.index(titulo) + 1 < len(cabeca) else ""
        if seguinte and seguinte == seguinte.upper() and not re.search(_PAPEL + r"\s*:", _dobrar(seguinte)):
            titulo = f"{titulo} {seguinte}"
    if titulo:
        dados["tipo_contrato"] = _titulo(titulo.strip(" .:"))
    m = re.search(r"(?:tem|tera) (?:como|por) objeto\s*(?:a|o)?\s*", dobrado) or re.search(
        r"\bd[oa]s? objeto\b[^a-z]{0,12}|\bobjeto\s*:\s*", dobrado)
    if m:
        # The object ends with its sentence (a full stop before a capital), or at the next clause.
        fins = [f.start() for f in (re.compile(r"\.(?:\s+(?=[A-ZÀ-Ý0-9])|\s*$)|;|¶").search(texto, m.end()),
                                    re.compile(r"\bclausula\b|\bparagrafo\b").search(dobrado, m.end())) if f]
        objeto = texto[m.end():min(fins) if fins else m.end() + 300].strip(" :.-–")
        objeto = re.sub(r"^(?:o presente (?:contrato|instrumento) (?:tem|tera) (?:como|por) objeto\s*(?:a|o)?\s*)", "",
                        objeto, flags=re.I)
        dados["objeto"] = objeto[:400] or None
    valor = None
    for m in re.finditer(r"r\$\s*[\d.]+(?:,\d{2})?", dobrado):
        contexto = dobrado[max(0, m.start() - 200):m.start()]
        if re.search(r"valor|preco|remuneracao|aluguel|pagar|pagamento|honorario|mensalidade|importancia|capital", contexto):
            valor = texto[m.start():m.end()]
            depois = dobrado[m.end():m.end() + 120]
            depois = re.sub(r"^\s*\([^)]*\)", "", depois)
            per = re.match(r"\s*,?\s*(mensa(?:is|l)|por mes|anua(?:is|l)|por ano|globa(?:is|l)|tota(?:is|l))", depois)
            if per:
                valor += " " + per.group(1)
            break
    dados["valor"] = valor
    duracao = r"(\d+\s*(?:\([^)]*\)\s*)?(?:meses|mes|anos|ano|dias))"
    for padrao in (r"(?:prazo|vigencia|vigorara|locacao|comodato)[^.;\d]{0,40}?(prazo indeterminado)",
                   r"(?:prazo|vigencia|vigorara|vigorar)[^.;\d¶]{0,40}?" + duracao,
                   r"vigencia[^.;]{0,60}?(de \d{1,2}/\d{1,2}/\d{4} a \d{1,2}/\d{1,2}/\d{4})"):
        m = re.search(padrao, dobrado)
        if m:
            dados["vigencia"] = re.sub(r"\s*\([^)]*\)", "", texto[m.start(1):m.end(1)])
            break
    inicio = _inicio_assinaturas(linhas)
    for linha in reversed(linhas[:inicio] if inicio < len(linhas) else linhas):
        d = _dobrar(linha)
        if (m := _DATA_EXTENSO.search(d)) and m.group(2) in MESES:
            dados["data_assinatura"] = _data_iso(m.group(1), MESES[m.group(2)], m.group(3))
            break
        if re.match(r"^[a-z][a-z .'/-]*[,–-]\s*\d", d) and (m := _DATA_NUMERICA.search(d)):
            dados["data_assinatura"] = _data_iso(m.group(1), int(m.group(2)), m.group(3))
            break
    m = re.search(r"(?:eleit[oa]|elegem|eleger|competente)\s+(?:[eé]\s+)?(?:o\s+)?foro\s+(?:central\s+|regional\s+)?"
                  r"(?:d[aeo]\s+)?(?:comarca\s+(?:d[aeo]\s+)?)?", dobrado) or re.search(
        r"\bforo\s+(?:central\s+|regional\s+)?(?:d[ao]\s+)?comarca\s+(?:d[aeo]\s+)?|\bforo\s*:\s*", dobrado)
    if m:
        fim = re.compile(r",|\.(?:\s|$)|;|¶|\bpara\b|\bcom (?:exclusao|renuncia)\b|\bcomo\b|\bpor mais\b|\bque\b").search(
            dobrado, m.end())
        foro = texto[m.end():fim.start() if fim else m.end() + 60].strip(" .")
        dados["foro"] = foro or None
    return dados


# ---------------------------------------------------------------------------
# The whole reading
# ---------------------------------------------------------------------------


def _eh_contrato(cabeca: list[str], dobrado: str, tem_partes: bool) -> bool:
    """Contract title or preamble formulas, and parties with roles; not an invoice, certificate, article..."""
    titulo_contrato = _titulo_de(cabeca, TITULOS_CONTRATO) is not None
    titulo_outro = _titulo_de(cabeca, TITULOS_OUTROS) is not None
    # Preamble and closing formulas: the head and the tail of the document are enough.
    extremos = dobrado[:20000] + " " + dobrado[-6000:]
    formulas = sum(1 for f in FORMULAS_CONTRATO if re.search(f, extremos))
    if titulo_outro and not titulo_contrato:
        return False
    return tem_partes and (titulo_contrato or formulas >= 2)


def extrair(paginas: Sequence[str]) -> dict[str, Any]:
    """As três respostas a partir das páginas de um documento, num só mapa.

    Chaves: "empresas" (mapas das empresas extraídas), "assinaturas" (mapas
    dos signatários), "eh_contrato" e os campos ``CAMPOS_DADOS`` dos dados do
    contrato; o que não é achado fica None.
    """
    bruto = "\n".join(paginas)
    linhas = limpar_paginas(paginas)
    texto = _juntar_linhas(linhas)
    dobrado = _dobrar(texto)
    # The head of the first page as it is: a title repeated on every page is a
    # running header for the clean-up, but still the title.
    cabeca = [_ESPACOS.sub(" ", l).strip() for l in (paginas[0] if paginas else "").split("\n")]
    cabeca = [l for l in cabeca if l][:6]
    societario = _titulo_de(cabeca, TITULOS_SOCIETARIOS) is not None

    empresas = _empresas_qualificadas(texto, dobrado)
    quadro_empresas, quadro_pessoas = _quadro_resumo(linhas)
    for e in quadro_empresas:
        digitos = re.sub(r"\D", "", e.cnpj or "")
        igual = next((x for x in empresas if (digitos and re.sub(r"\D", "", x.cnpj or "") == digitos)
                      or _mesmo_nome(x.razao_social, e.razao_social)), None)
        if igual is None:
            empresas.append(e)
        else:
            igual.papel = igual.papel or e.papel
            igual.endereco = igual.endereco or e.endereco
    # One company mentioned twice (preamble and a later clause) is one party.
    unicas: list[_Empresa] = []
    por_cnpj: dict[str, _Empresa] = {}
    for e in empresas:
        digitos = re.sub(r"\D", "", e.cnpj or "")
        if digitos:
            igual = por_cnpj.get(digitos)
        else:
            igual = next((x for x in unicas if _mesmo_nome(x.razao_social, e.razao_social)), None)
        if igual is None:
            unicas.append(e)
            if digitos:
                por_cnpj[digitos] = e
        else:
            igual.papel = igual.papel or e.papel
            igual.endereco = igual.endereco or e.endereco
            igual.nome_fantasia = igual.nome_fantasia or e.nome_fantasia
    empresas = unicas
    if societario and not empresas:
        nomeada = _empresa_nomeada(texto, dobrado)
        empresas = [nomeada] if nomeada else []
    if societario:
        for e in empresas:
            e.papel = e.papel or "SOCIEDADE"

    tem_partes = any(e.papel for e in empresas)
    pessoas = _pessoas_qualificadas(texto, dobrado, empresas, societario)
    tem_partes = tem_partes or any(p.tipo == "parte" for p in pessoas)
    contrato = _eh_contrato(cabeca, dobrado, tem_partes)
    if not contrato:
        return {"eh_contrato": False, "empresas": [], "assinaturas": [], **dict.fromkeys(CAMPOS_DADOS)}

    for p in quadro_pessoas:
        _juntar(pessoas, p)
    for p in _bloco_assinaturas(linhas, empresas):
        _juntar(pessoas, p)
    for nome, cpf in _carimbos(bruto):
        _juntar(pessoas, _Pessoa(nome=nome, cpf=cpf, tipo="digital", fonte=1))
    for p in pessoas:
        if p.tipo == "parte":
            p.tipo = "representante" if p.empresa else None
    return {
        "eh_contrato": True,
        "empresas": [e.registro() for e in empresas],
        "assinaturas": [p.registro() for p in pessoas],
        **_dados_contrato(linhas, texto, dobrado, cabeca),
    }
