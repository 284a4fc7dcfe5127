"""Finding a company's CNPJ with an OpenAI model that searches the web.

``buscar_cnpj_via_ai(nome, openai_api_key)`` asks the model (Responses API
with the web search tool) for the CNPJ of the company named, and reads the
first CNPJ with valid check digits out of its answer.  Any failure (no key,
network, service error, no CNPJ in the answer) gives None: this search is a
last resort and must never break the caller.  ``OPENAI_BASE_URL`` is
honoured by the SDK, so an OpenAI-compatible server can stand in.
"""

from __future__ import annotations

import re
from typing import Any, Optional

__all__ = ["buscar_cnpj_via_ai", "extrair_cnpj", "cnpj_valido", "MODELO_PADRAO"]

MODELO_PADRAO = "gpt-4.1-mini"
TIMEOUT_SEGUNDOS = 60.0

_INSTRUCOES = (
    "Você pesquisa empresas brasileiras na web. Encontre o CNPJ da matriz da empresa indicada "
    "em fontes confiáveis (Receita Federal, sites de consulta de CNPJ, site da própria empresa). "
    "Responda apenas com o CNPJ no formato XX.XXX.XXX/XXXX-XX, ou com NAO_ENCONTRADO se não "
    "tiver certeza."
)

# Numeric CNPJs and the alphanumeric form (12 letters or digits, then two
# check digits), written with or without punctuation.
_CANDIDATO = re.compile(
    r"(?<![0-9A-Za-z])"
    r"([0-9A-Z]{2})\.?\s?([0-9A-Z]{3})\.?\s?([0-9A-Z]{3})\s?/?\s?([0-9A-Z]{4})\s?-?\s?([0-9]{2})"
    r"(?![0-9A-Za-z])"
)


def _digito(base: str) -> int:
    pesos = list(range(len(base) - 7, 1, -1)) + list(range(9, 1, -1))
    soma = sum((ord(c) - 48) * p for c, p in zip(base, pesos))
    resto = soma % 11
    return 0 if resto < 2 else 11 - resto


def cnpj_valido(cnpj: str) -> bool:
    """True for a 14-character clean CNPJ (numeric or alphanumeric) whose check digits agree."""
    if len(cnpj) != 14 or not re.fullmatch(r"[0-9A-Z]{12}[0-9]{2}", cnpj):
        return False
    if cnpj.isdigit() and len(set(cnpj)) == 1:
        return False
    primeiro = _digito(cnpj[:12])
    segundo = _digito(cnpj[:12] + str(primeiro))
    return cnpj[12:] == f"{primeiro}{segundo}"


def extrair_cnpj(texto: str) -> Optional[str]:
    """The first valid CNPJ written in ``texto``, in clean form, or None."""
    for match in _CANDIDATO.finditer(texto or ""):
        candidato = "".join(match.groups())
        if cnpj_valido(candidato):
            return candidato
    return None


def _texto_da_resposta(resposta: Any) -> str:
    texto = getattr(resposta, "output_text", None)
    if isinstance(texto, str):
        return texto
    # Raw JSON (older SDKs without the Responses resource).
    partes: list[str] = []
    if isinstance(resposta, dict):
        for item in resposta.get("output") or []:
            for conteudo in (item or {}).get("content") or []:
                if isinstance(conteudo, dict) and isinstance(conteudo.get("text"), str):
                    partes.append(conteudo["text"])
    return "".join(partes)


def buscar_cnpj_via_ai(nome: str, openai_api_key: Optional[str], *, modelo: str = MODELO_PADRAO) -> Optional[str]:
    """CNPJ (14 characters, no punctuation) of the company named ``nome``, or None."""
    if not nome or not isinstance(nome, str) or not openai_api_key:
        return None
    try:
        import openai

        cliente = openai.OpenAI(api_key=openai_api_key, timeout=TIMEOUT_SEGUNDOS, max_retries=2)
        pedido = {
            "model": modelo,
            "tools": [{"type": "web_search"}],
            "instructions": _INSTRUCOES,
            "input": f"Qual é o CNPJ da empresa \"{nome.strip()}\"?",
        }
        if hasattr(cliente, "responses"):
            resposta = cliente.responses.create(**pedido)
        else:
            resposta = cliente.post("/responses", body=pedido, cast_to=object)
        return extrair_cnpj(_texto_da_resposta(resposta))
    except Exception:
        return None
