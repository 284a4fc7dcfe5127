"""Plain-Python twin of the pure parts of scrivane_contract.cnpj, for
differential tests and benchmarks (regular expressions from `re`)."""

import re
import unicodedata
from typing import Tuple

_SEPARADORES = re.compile(r"[.\-/\s]")
_ALFANUMERICO = re.compile(r"[0-9A-Za-z]{12}[0-9]{2}")


def _digito(base: str) -> int:
    pesos = [2, 3, 4, 5, 6, 7, 8, 9] * 2
    soma = sum((ord(c) - 48) * p for c, p in zip(reversed(base), pesos))
    resto = soma % 11
    return 0 if resto < 2 else 11 - resto


def _alfanumerico(cnpj: str):
    c = _SEPARADORES.sub("", cnpj)
    if not _ALFANUMERICO.fullmatch(c) or not re.search(r"[A-Za-z]", c):
        return None
    c = c.upper()
    if int(c[12]) != _digito(c[:12]) or int(c[13]) != _digito(c[:13]):
        return None
    return c


def limpar_cnpj(cnpj: str) -> str:
    if not cnpj:
        return ""
    alfa = _alfanumerico(cnpj)
    if alfa is not None:
        return alfa
    return re.sub(r"\D", "", cnpj)


def validar_cnpj(cnpj: str) -> bool:
    return len(limpar_cnpj(cnpj)) == 14


def formatar_cnpj(cnpj: str) -> str:
    c = limpar_cnpj(cnpj)
    if len(c) != 14:
        return cnpj
    return f"{c[:2]}.{c[2:5]}.{c[5:8]}/{c[8:12]}-{c[12:]}"


substituicoes = [
    (r"\s+", " "),
    (r"[.,;:\-/\\]", " "),
    (r"\bn[ºo]?\s*", ""),
    (r"\brua\b", "r"),
    (r"\bavenida\b", "av"),
    (r"\bavda?\b", "av"),
    (r"\btravessa\b", "tv"),
    (r"\bpracas?\b", "pc"),
    (r"\bedificio\b", "ed"),
    (r"\bpredio\b", "ed"),
    (r"\bconjunto\b", "cj"),
    (r"\bconj\b", "cj"),
    (r"\bsala\b", "sl"),
    (r"\bandar\b", "and"),
    (r"\bbairro\b", ""),
    (r"\bcep\b", ""),
]


def _normalizar_endereco(endereco: str) -> str:
    if not endereco:
        return ""
    texto = unicodedata.normalize("NFD", endereco)
    texto = "".join(c for c in texto if unicodedata.category(c) != "Mn")
    texto = texto.lower().strip()
    for padrao, subst in substituicoes:
        texto = re.sub(padrao, subst, texto)
    return texto.strip()


def _parte(valor, cep=False):
    if isinstance(valor, bool):
        return valor
    if isinstance(valor, float):
        if not valor.is_integer():
            return str(valor)
        valor = int(valor)
    if isinstance(valor, int):
        return f"{valor:08d}" if cep else str(valor)
    return valor


def comparar_enderecos(endereco_contrato: str, dados_receita: dict) -> Tuple[bool, float, str]:
    if not endereco_contrato or not dados_receita:
        return False, 0.0, ""
    end = dados_receita.get("endereco", {})
    partes_receita = []
    for campo in ["logradouro", "numero", "complemento", "bairro", "cidade", "uf", "cep"]:
        valor = _parte(end.get(campo), campo == "cep")
        if valor:
            partes_receita.append(valor)
    endereco_receita = " ".join(partes_receita)
    if not endereco_receita:
        return False, 0.0, ""
    contrato_norm = _normalizar_endereco(endereco_contrato)
    receita_norm = _normalizar_endereco(endereco_receita)
    if contrato_norm == receita_norm:
        return True, 1.0, endereco_receita
    if contrato_norm in receita_norm or receita_norm in contrato_norm:
        return True, 0.9, endereco_receita
    palavras_contrato = set(p for p in contrato_norm.split() if len(p) >= 3)
    palavras_receita = set(p for p in receita_norm.split() if len(p) >= 3)
    if not palavras_contrato or not palavras_receita:
        return False, 0.0, endereco_receita
    intersecao = palavras_contrato & palavras_receita
    uniao = palavras_contrato | palavras_receita
    similaridade = len(intersecao) / len(uniao)
    cep_contrato = re.search(r"\d{5}\s*-?\s*\d{3}", endereco_contrato)
    cep_receita = _parte(end.get("cep", ""), True)
    if cep_contrato and cep_receita:
        cep_c = re.sub(r"\D", "", cep_contrato.group())
        cep_r = re.sub(r"\D", "", cep_receita)
        if cep_c == cep_r:
            similaridade = max(similaridade, 0.8)
    return similaridade >= 0.5, similaridade, endereco_receita
