"""The rules' tables and the patterns built from them, shared by every part of the reading."""

from __future__ import annotations

import re
from collections.abc import Sequence
from typing import Optional


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
    "SOCIEDADE", "PATROCINADORA", "PATROCINADOR", "PATROCINADA", "PATROCINADO", "DETENTORA", "DETENTOR",
    "COMPROMITENTE VENDEDORA", "COMPROMITENTE COMPRADORA", "COMPROMITENTE", "PROMITENTE", "CONCEDENTE",
    "CONVENENTE", "PERMITENTE", "PERMISSIONÁRIA", "ARRENDADORA", "ARRENDATÁRIA", "MUTUANTE", "MUTUÁRIA",
    "DOADORA", "DONATÁRIA", "CONSULENTE", "ADERENTE", "ÓRGÃO GERENCIADOR",
    "FORNECEDOR REGISTRADO", "FORNECEDORA REGISTRADA", "EMPRESA REGISTRADA", "CESSIONÁRIO", "COMODATÁRIO",
    "OUTORGADO", "LICENCIADO", "FRANQUEADO", "PRESTADOR", "TOMADOR", "SUBLOCADOR", "SUBLOCATÁRIO",
)
# Roles recognised only when named as such ("doravante denominada REPRESENTANTE"):
# as a label, these words usually introduce a person ("Representante: FULANO").
PAPEIS_SO_DENOMINADOS: tuple[str, ...] = ("REPRESENTANTE",)

# Titles that make a document a contract, and those that make it something else.
# A head line is read by the longest title it starts with ("termo de homologacao" is no
# contract, "ata de registro de precos" is one).
TITULOS_CONTRATO: tuple[str, ...] = (
    "contrato", "instrumento particular", "termo aditivo", "aditivo", "termo de", "acordo de",
    "estatuto social", "alteracao contratual", "distrato", "convenio", "memorando de entendimentos",
    "ata de registro de precos", "termo de contrato", "termo de adesao", "termo de compromisso",
    "termo de cooperacao", "termo de colaboracao", "termo de fomento", "termo de permissao",
    "termo de cessao", "apostilamento", "escritura",
)
TITULOS_SOCIETARIOS: tuple[str, ...] = ("contrato social", "alteracao contratual", "estatuto social",
                                        "consolidacao do contrato social")
TITULOS_OUTROS: tuple[str, ...] = (
    "nota fiscal", "danfe", "fatura", "boleto", "recibo", "certidao", "certificado", "politica de",
    "artigo", "relatorio", "proposta comercial", "orcamento", "curriculo", "ata da", "ata de",
    "comprovante", "declaracao", "termo de homologacao", "termo de adjudicacao", "termo de referencia",
    "termo de recebimento", "termo de posse", "edital", "extrato", "aviso", "parecer", "despacho",
    "oficio", "memorando", "resultado", "cartao cnpj", "cadastro nacional", "ficha cadastral",
    "republica federativa", "procuracao", "laudo", "mapa de", "planilha", "ordem de servico",
    "notificacao", "requerimento", "peticao", "sentenca", "acordao", "nota de empenho", "guia de",
    # a gazette's page, an act, a letter within an administration
    "diario oficial", "imprensa oficial", "portaria", "decreto", "resolucao", "instrucao normativa", "deliberacao",
    "comunicacao interna", "circular", "nota tecnica", "informacao", "mensagem", "convocacao",
    "solicitacao", "justificativa", "encaminhamento", "pedido de", "ordem de compra", "ordem de fornecimento",
    "autorizacao de fornecimento",
)
# What other documents do in their opening words: a notice makes public, a certificate certifies, a
# power of attorney appoints an attorney, a receipt acknowledges a payment.
ATOS_OUTROS: tuple[str, ...] = (
    r"\btorna(?:-se)?\s+public[oa]\b", r"\bcertific(?:a|o|amos)(?:-se)?\b[^.;]{0,80}?\bque\b",
    r"\bnomeia(?:m)?\s+e\s+constitu", r"\bconstitu(?:i|em)\s+(?:seus?|suas?)\s+(?:bastantes?\s+)?procurador",
    r"\brecebi(?:mos)?\s+d[aeo]s?\b", r"\bdeclar(?:o|amos|a)(?:-se)?,?\s+para\s+(?:os\s+)?(?:devidos\s+)?fins\b",
)
# Formulas of the contract's preamble and closing.
FORMULAS_CONTRATO: tuple[str, ...] = (
    r"\bdoravante\b", r"\bt[eê]m,? entre si\b", r"\bresolvem\b", r"\bcelebram\b", r"\bajustam\b",
    r"\bfirmam o presente\b", r"\bclausula (?:primeira|1\b|1[ao.ºª])", r"\bpor estarem justa",
    r"\bna qualidade de\b", r"\bjustos? e (?:acordad|contratad|acertad)", r"\bentre as partes\b",
    r"\bpelo presente instrumento\b", r"\bassinam o presente\b",
)
# What follows a company's name in its qualification.
MARCADORES_EMPRESA: tuple[str, ...] = (
    r",\s*pessoa juridica", r",\s*sociedade\b", r",\s*empresa (?:publica|individual|brasileira)",
    r",\s*companhia\b", r",\s*associacao\b", r",\s*cooperativa\b", r",\s*fundacao\b",
    r",?\s*(?:devidamente\s+)?inscrit[ao](?:\([ao]\))? (?:no|sob o) (?:c\.?n\.?p\.?j|c\.?g\.?c\b|cadastro nacional)",
    r",\s*(?:c\.?n\.?p\.?j|c\.?g\.?c)\b",
    r"\s*\(\s*c\.?n\.?p\.?j", r"\s*[–-]\s*c\.?n\.?p\.?j\b", r",\s*com sede\b", r",\s*estabelecid[ao]\b",
    r",\s*(?:localizad|situad|sediad)[ao]\b", r",\s*por (?:meio|intermedio) d[aeo]s?\b",
    r",\s*portador[a]? do c\.?n\.?p\.?j", r",\s*(?:a seguir|doravante) (?:denominad|designad)",
    r",\s*(?:neste ato,?\s*)?representad[ao]\b",
    # ", cadastrada no CNPJ", ", com inscrição no CNPJ", ", titular do CNPJ"
    r",\s*(?:[a-z]+\s+){1,3}?(?:no|sob o|com|do)\s+c\.?n\.?p\.?j\b",
    # "Imobiliária X CNPJ: 12.345.678/0001-00, com sede ...": the label right after the name
    r"(?<=[a-zà-ÿ.)])\s+c\.?n\.?p\.?j(?:/mf)?\s*(?:n[º°o.]\s*)?:?\s*(?=\d)",
)
# Public bodies that take part in contracts as parties, with or without a CNPJ in the text.
ORGAOS_PUBLICOS = re.compile(
    r"^(?:uniao|municipio|estado|distrito federal|prefeitura|secretaria|camara municipal|assembleia|"
    r"tribunal|ministerio|fundacao|autarquia|instituto|universidade|comando|centro de|governo|"
    r"departamento|agencia|superintendencia|empresa (?:publica|municipal|estadual)|companhia|caixa|fundo|"
    r"conselho|consorcio|batalhao|policia|corpo de bombeiros|grupamento|regiao militar|base aerea|"
    r"diretoria|procuradoria|defensoria|controladoria|servico (?:social|autonomo|nacional)|hospital|"
    r"camara|senado|banco central|comissao|exercito|marinha|aeronautica|forca aerea|gabinete|subprefeitura|"
    r"ouvidoria|corregedoria|poder (?:executivo|legislativo|judiciario)|justica|guarda municipal|"
    r"escola (?:estadual|municipal)|sociedade de economia mista)\b"
)
# Words no person's name has (bank keys, marital regimes, labels, clause words).
NAO_NOMES = frozenset((
    "chave", "pix", "comunhao", "parcial", "universal", "bens", "regime", "separacao", "conta", "agencia",
    "pessoa", "fisica", "juridica", "cpf", "cnpj", "rg", "contrato", "clausula", "objeto", "termo", "anexo",
    "local", "data", "assinatura", "assinado", "digitalmente", "testemunha", "testemunhas", "nome", "cargo",
    "endereco", "telefone", "email", "e-mail", "municipio", "prefeitura", "secretaria", "estado", "uniao",
    "rua", "avenida", "bairro", "cep", "valor", "total", "pagina", "processo", "lei", "decreto", "edital",
    "item", "pregao", "ata", "diretoria", "coordenadoria", "gerencia", "departamento", "ministerio",
    "tribunal", "fundacao", "instituto", "dados", "documento", "matricula", "brasil", "brasileira",
    "registro", "sistema", "gestor", "fiscal", "ordenador", "despesa", "capitao", "fragata", "coronel",
    "representante", "legal", "procurador", "diretor", "presidente", "socio", "administrador", "empresa",
    "municipal", "estadual", "federal", "nacional", "prazo", "multa", "ltda", "declaracao", "autorizacao",
    "coordenador", "tecnico", "administracao", "obra", "servico", "inexistencia", "janeiro", "fevereiro",
    "marco", "abril", "junho", "julho", "agosto", "setembro", "outubro", "novembro", "dezembro", "gestao",
    "por", "pelo", "pela", "neste", "ato", "seu", "sua", "seus", "suas", "estatuto", "social", "forma",
    "procuracao", "instrumento", "prefeito", "prefeita", "secretario", "governador", "ministro", "reitor",
    "superintendente", "conselho", "assembleia", "diretoria", "sociedade", "empresario", "individual",
    # words of an organisation, a letterhead or a logo, never of a person's name
    "coletivo", "advogados", "associados", "escritorio", "consultores", "parceiros", "equipe", "comissao",
    "prestador", "prestadora", "servicos", "contratante", "contratada", "contratado", "locador", "locatario",
    "assinatura", "testemunhas", "outorgante", "outorgado", "cliente", "aluno", "responsavel", "financeiro",
    # a template's stand-ins for a name
    "fulano", "fulana", "beltrano", "beltrana", "sicrano", "sicrana", "ciclano", "ciclana", "cicrano", "cicrana",
))
# Words of a public body's department, under a signature or in a letterhead: no person's name has them.
PALAVRAS_DE_ORGAO = frozenset((
    "assessoria", "procuradoria", "controladoria", "ouvidoria", "superintendencia", "subsecretaria", "gabinete",
    "coordenacao", "divisao", "setor", "nucleo", "comando", "batalhao", "grupamento", "regimento", "unidade",
    "juridica", "juridico", "licitacao", "licitacoes", "compras", "contratos", "almoxarifado", "patrimonio",
    "financas", "fazenda", "saude", "educacao", "cultura", "esporte", "esportes", "obras", "habitacao", "turismo",
    "saneamento", "planejamento", "orcamento", "logistica", "intendencia", "governo", "cidade", "republica",
    "casa", "civil",
))
# What follows a person's name in their qualification.
MARCADORES_PESSOA: tuple[str, ...] = (
    r",\s*brasileir[oa]", r",\s*estrangeir[oa]", r",\s*portugues[a]?\b", r",\s*naturalizad[oa]",
    r",\s*natural de\b", r",\s*nacionalidade\b", r",\s*portador[a]? d", r",\s*inscrit[oa] no cpf",
    r",\s*cpf\b", r"\s*\(\s*cpf", r",\s*(?:solteir|casad|divorciad|viuv)[oa]\b", r",\s*(?:com\s+)?rg\b",
    r",\s*(?:com\s+)?(?:carteira|cedula) de identidade", r",\s*matricula\b",
)
# What introduces a company's representatives.
REPRESENTACAO = (r"\b(?:representad[ao]s?|por meio d[eoa]s?|atraves d[eoa]s?|por interm[eé]dio d[eoa]s?|neste ato,? por"
                 r"|neste ato,? pel[ao])\b")
# Letters that other scripts share with the Latin one, as a poor OCR mixes them in ("CОNTRATO").
HOMOGLIFOS = str.maketrans("АВЕКМНОРСТХаеорсхуІіЈјԁՕΑΒΕΗΙΚΜΝΟΡΤΧΥΖο", "ABEKMHOPCTXaeopcxyIiJjdOABEHIKMNOPTXYZo")
# Position words: stripped off the front of a name and kept as the position.
CARGOS: tuple[str, ...] = (
    "socio", "socia", "socios", "administrador", "administradora", "administradores", "diretor",
    "diretora", "diretores", "presidente", "vice-presidente", "procurador", "procuradora",
    "procuradores", "gerente", "superintendente", "representante", "legal", "executivo", "executiva",
    "financeiro", "financeira", "comercial", "geral", "operacoes", "juridico", "juridica",
    "tesoureiro", "tesoureira", "titular", "ceo", "cfo", "conselheiro", "conselheira", "sr", "sra",
    "sr.", "sra.", "dr", "dra", "dr.", "dra.", "senhor", "senhora", "de", "do", "da", "e", "seu",
    "sua", "seus", "suas", "o", "a", "os", "as",
    # ranks, grades and offices written before a name ("Coronel PM", "Tenente-Coronel R1", "3º Sgt",
    # "Capitão de Fragata (IM)", "Ordenador de Despesas", "Prefeito Municipal")
    "coronel", "tenente-coronel", "ten-cel", "tenente", "major", "capitao", "capita", "capitao-tenente",
    "capitao-de-mar-e-guerra", "mar-e-guerra", "fragata", "corveta", "sargento", "subtenente", "cabo", "soldado",
    "general", "almirante", "brigadeiro", "marechal", "aspirante", "comandante", "cel", "cel.", "ten", "ten.",
    "cap", "cap.", "maj", "maj.", "gen", "gen.", "sgt", "sgt.", "sd", "cb", "st", "s", "tc", "pm", "bm", "r1", "r/1",
    "r-1", "(im)", "im", "policia", "militar", "1º", "2º", "3º", "1o", "2o", "3o", "1°", "2°", "3°", "ordenador",
    "despesa", "despesas", "prefeito", "prefeita", "secretario", "secretaria", "subsecretario", "subsecretaria",
    "coordenador", "coordenadora", "chefe", "reitor", "reitora", "ministro", "ministra", "governador",
    "governadora", "juiz", "juiza", "promotor", "promotora", "defensor", "defensora", "delegado", "delegada",
    "professor", "professora", "prof", "prof.", "profa", "profa.", "eng", "eng.", "engenheiro", "engenheira",
    "municipal", "estadual", "adjunto", "adjunta", "interino", "interina", "substituto", "substituta",
)
# Military and police ranks and grades, abbreviated or not ("3º Sgt", "Cel PM", "S Ten").
POSTOS = frozenset((
    "coronel", "tenente-coronel", "ten-cel", "tenente", "major", "capitao", "capita", "capitao-tenente", "sargento",
    "subtenente", "cabo", "soldado", "general", "almirante", "brigadeiro", "marechal", "aspirante", "cel", "cel.",
    "ten", "ten.", "cap", "cap.", "maj", "maj.", "gen", "gen.", "sgt", "sgt.", "sd", "cb", "st", "s", "tc", "pm", "bm",
    "r1", "r/1", "r-1", "1º", "2º", "3º", "1o", "2o", "3o", "1°", "2°", "3°",
))
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
    r"(?i:assinado\s+de\s+forma\s+digital\s+por)\s*:?\s*",
    r"(?i:documento\s+assinado\s+(?:digitalmente|eletronicamente))[ \t]*\n\s*",  # the name on the next line
)
# The contract-data fields this module answers.
CAMPOS_DADOS: tuple[str, ...] = ("tipo_contrato", "objeto", "data_assinatura", "vigencia", "valor", "foro")
MESES = {"janeiro": 1, "fevereiro": 2, "marco": 3, "abril": 4, "maio": 5, "junho": 6, "julho": 7,
         "agosto": 8, "setembro": 9, "outubro": 10, "novembro": 11, "dezembro": 12}
MINUSCULAS_TITULO = {"de", "da", "do", "das", "dos", "e", "em", "a", "o", "ao", "aos", "para", "por", "com", "no", "na"}

# ---------------------------------------------------------------------------
# Patterns
# ---------------------------------------------------------------------------

def _letra_primeiro(padrao: str) -> str:
    r"""``\bx...`` (x a letter) written ``x(?<=\bx)...``: the same matches, found much faster.

    A pattern that opens with ``\b`` is tried at every character of the text; one that opens with
    a letter is tried only where that letter stands, the boundary then checked behind it."""
    if len(padrao) > 2 and padrao.startswith(r"\b") and padrao[2].isalpha() and padrao[2].isascii():
        return padrao[2] + r"(?<=\b" + padrao[2] + ")" + padrao[3:]
    return padrao


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
CNPJ_RE = re.compile(r"(?<![\d./-])\d{2}[.,]?\d{3}[.,]?\d{3}\s?/\s?\d{4}\s?-\s?\d{2}(?![\d/])|(?<![\d./-])\d{14}(?![\d/])")
CPF_RE = re.compile(r"(?<![\d./-])(?:\d{3}\.\d{3}\.\d{3}-\d{2}|\d{3}\.\*{3}\.\*{3}-\d{2}|\*{3}\.\d{3}\.\d{3}-\*{2}|\d{11})(?![\d/])")
CEP_RE = re.compile(r"\bcep\s*(?:n[º°o.]\s*)?:?\s*\d{2}\.?\d{3}\s?-?\s?\d{3}")


class _PeloNucleo:
    """A pattern ``prefixo + nucleo`` searched from its core: ``nucleo`` (which opens with
    something to look for) is found first, then the whole pattern is tried from the leftmost place
    its ``prefixo`` could start, back over whitespace and the characters of ``recuo``.  The same
    matches as the whole pattern's own search, without trying an optional opening (``\\s*``) at
    every character of the text.  A prefix can hold no match of the core."""

    def __init__(self, prefixo: str, nucleo: str, recuo: str = "") -> None:
        self.completo = re.compile(prefixo + nucleo)
        self.nucleo = re.compile(nucleo)
        self.recuo = frozenset(recuo)

    def search(self, texto: str, pos: int = 0):
        q = pos
        while n := self.nucleo.search(texto, q):
            c = x = n.start()
            while x > pos and (texto[x - 1].isspace() or texto[x - 1] in self.recuo):
                x -= 1
            for i in range(x, c + 1):
                if m := self.completo.match(texto, i):
                    return m
            q = c + 1
        return None


class _Alternativas:
    """``re.compile("|".join(padroes)).finditer``, with each alternative searched on its own (a
    compiled pattern or a ``_PeloNucleo``): the leftmost match of any, the first alternative that
    matches there, the next search after its end.  One alternation of many is tried at every
    character; each alternative alone starts only where its opening stands.  The matches give
    ``start()`` and ``end()`` as the alternation's would (their groups are the alternative's)."""

    def __init__(self, padroes: Sequence) -> None:
        self.padroes = [re.compile(p) if isinstance(p, str) else p for p in padroes]

    def finditer(self, texto: str):
        pos = 0
        proximos = [p.search(texto, pos) for p in self.padroes]
        while True:
            inicios = [m.start() for m in proximos if m is not None]
            if not inicios:
                return
            inicio = min(inicios)
            # Each was searched from at most here: one whose next match starts later has none here.
            m = next(m for m in proximos if m is not None and m.start() == inicio)
            yield m
            pos = max(m.end(), inicio + 1)  # (a pattern here never matches the empty string)
            proximos = [p.search(texto, pos) if m0 is not None and m0.start() < pos else m0
                        for p, m0 in zip(self.padroes, proximos)]


def _marcadores(padroes: Sequence[str]) -> _Alternativas:
    """The alternation of markers, those that open with optional punctuation and whitespace
    searched from their core."""
    aberturas = ((r",?\s*(?:devidamente\s+)?", ",devidamente"), (r"(?<=[a-zà-ÿ.)])\s+", ""), (r"\s*", ""))
    saida: list = []
    for p in padroes:
        for abertura, recuo in aberturas:
            if p.startswith(abertura):
                saida.append(_PeloNucleo(abertura, p[len(abertura):], recuo))
                break
        else:
            saida.append(p)
    return _Alternativas(saida)


_MARCADOR_EMPRESA = _marcadores(MARCADORES_EMPRESA)
_MARCADOR_PESSOA = _marcadores(MARCADORES_PESSOA)
_PAPEL_DEPOIS = re.compile(
    r"(?:(?:doravante|a seguir|adiante|neste instrumento|simplesmente)\s+(?:simplesmente\s+)?"
    r"(?:denominad|designad|chamad|referid|identificad)[ao]s?(?:\s*\([ao]s?\))?\s+(?:simplesmente\s+)?(?:apenas\s+)?"
    r"(?:como\s+)?"
    r"|doravante\s+(?:simplesmente\s+)?|na qualidade de\s+|\bcomo\s+(?:¶\s+)?|\(\s*)"
    r"(?:a\s+|o\s+)?[\"'“”‘’«]?\s*" + _PAPEL_DENOMINADO
)
_PAPEL_ANTES = re.compile(r"(?:(?:^|[\s(¶])" + _PAPEL + r"\s*(?:\)\s*)?(?:[:–-]|¶)|\b(?:como|na qualidade de)\s+(?:a\s+|o\s+)?"
                          + _PAPEL + r"\s*,|(?:^|[\s(¶,])(?:a|o|as|os)\s+" + _PAPEL + r"\s*,)\s*$")
_FIM_SEGMENTO = re.compile(
    r";|\bt[eê]m,? entre si\b|\bresolvem\b|\bcelebram\b|\bajustam\b|\bfirmam\b|\bclausula\b|\bpelo presente\b"
)
_ROTULO_PAPEL = re.compile(r"(?<![\w])" + _PAPEL + r"\s*:")
# Between two parties' names: what ends the first one's qualification.
_ENTRE_PARTES = re.compile(
    r";|\bdoravante\b|\bna qualidade de\b|\be,?\s+de outr[oa] (?:lado|parte)|\(\s*[ivx]+\s*\)|\bde um lado\b"
    r"|\ba seguir (?:denominad|designad|chamad)"
)
_SEPARADOR = re.compile(r"_{4,}|\.{8,}|-{8,}")
_DATA_EXTENSO = re.compile(r"(\d{1,2})º?\s+de\s+([a-zç]+)\s+de\s+(\d{4})")
_DATA_NUMERICA = re.compile(r"(?<!\d)(\d{1,2})/(\d{1,2})/(\d{4})(?!\d)")
_NUMERO_PAGINA = re.compile(r"^(?:-\s*)?(?:p[aá]g(?:ina)?\.?\s*)?\d{1,4}(?:\s*(?:de|/)\s*\d{1,4})?(?:\s*-)?$", re.I)
_ESPACOS = re.compile(r"[ \t\u00a0\u2002-\u200b]+")
_NOME_TOKEN = re.compile(r"^(?:[A-ZÀ-Ý0-9][\wÀ-ÿ'’.&/-]*|d[aeo]s?|e|&|d'|del|la|von|van|[-–—]|\([A-ZÀ-Ý][\wÀ-ÿ.&-]+\))$")
_NOME_PESSOA = r"[A-ZÀ-Ý][A-Za-zÀ-ÿ'’]+(?:[ \t]+(?:d[aeo]s?|e|[A-ZÀ-Ý][A-Za-zÀ-ÿ'’.]*))*[ \t]+[A-ZÀ-Ý][A-Za-zÀ-ÿ'’]+"


class _Adiados(Sequence):
    """Patterns compiled when first used: most documents have no signature stamp to try them on."""

    def __init__(self, fontes: list[str]) -> None:
        self._fontes = tuple(fontes)
        self._padroes: Optional[list[re.Pattern[str]]] = None

    def _todos(self) -> list[re.Pattern[str]]:
        if self._padroes is None:
            self._padroes = [re.compile(f) for f in self._fontes]
        return self._padroes

    def __getitem__(self, i):
        return self._todos()[i]

    def __len__(self) -> int:
        return len(self._fontes)

    def __add__(self, outra):
        return self._todos() + list(outra)

    def __radd__(self, outra):
        return list(outra) + self._todos()


_CARIMBOS = _Adiados([lead + r"(" + _NOME_PESSOA + r")(?:\s*:\s*(\d{11}))?" for lead in CARIMBOS_DIGITAIS])
# The certificate's "NAME:CPF" after a stamp's lead, the name broken across lines.
_CARIMBOS_CERTIFICADO = _Adiados([lead + r"(" + _NOME_PESSOA.replace(r"[ \t]+", r"\s+") + r")\s*:\s*(\d{11})\b"
                                  for lead in CARIMBOS_DIGITAIS])
_CARIMBO_CERTIFICADO = re.compile(r"(" + _NOME_PESSOA + r")$")
_CPF_DO_CERTIFICADO = re.compile(r":(\d{11})\b")
