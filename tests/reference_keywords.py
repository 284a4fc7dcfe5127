"""Plain-Python twin of scrivane_contract.keywords, for differential tests and benchmarks."""

import unicodedata
from typing import Tuple

KEYWORDS_VALIDACAO = [
    "contrato", "acordo", "termo", "instrumento", "aditivo", "distrato",
    "contratante", "contratada", "contratado", "prestador", "prestadora",
    "tomador", "tomadora", "cláusula", "clausula", "objeto", "vigência",
    "vigencia", "valor", "pagamento", "obrigações", "obrigacoes", "rescisão",
    "rescisao", "foro", "cnpj", "inscrita", "inscrito",
    "neste ato representada", "neste ato representado",
    "doravante denominada", "doravante denominado", "assinatura", "assinado",
    "firmado", "testemunha", "certificado digital", "icp-brasil",
]

KEYWORDS_EXCLUSAO = [
    "edital de licitação", "pregão eletrônico", "tomada de preços",
    "concorrência pública", "carta convite", "nota fiscal", "recibo", "boleto",
    "fatura",
]

MIN_KEYWORDS = 3


def normalizar_texto(texto: str) -> str:
    if not texto:
        return ""
    nfd = unicodedata.normalize("NFD", texto)
    return "".join(c for c in nfd if unicodedata.category(c) != "Mn").lower()


def validar_documento_contrato(texto: str) -> Tuple[bool, int, list]:
    if not texto:
        return False, 0, []
    texto_norm = normalizar_texto(texto)
    for kw in KEYWORDS_EXCLUSAO:
        if normalizar_texto(kw) in texto_norm:
            return False, 0, [f"EXCLUSÃO: {kw}"]
    encontradas = [kw for kw in KEYWORDS_VALIDACAO if normalizar_texto(kw) in texto_norm]
    return len(encontradas) >= MIN_KEYWORDS, len(encontradas), encontradas
