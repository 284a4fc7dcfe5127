"""Se o documento verificado parece um contrato.

An invoice or an official gazette sent by mistake comes out PENDENTE like an
unread contract.  When the extraction found nothing of a contract (no type,
no party, no signatory) and the keyword classifier finds no contract in the
text either, the command line and the page say so beside the verdict.
"""

from __future__ import annotations

import os
from typing import Any, Optional

__all__ = ["AVISO_NAO_CONTRATO", "parece_contrato", "aviso_documento"]

AVISO_NAO_CONTRATO = "o documento não parece um contrato"


def _extracao_achou_contrato(resultado: dict[str, Any]) -> bool:
    dados = resultado.get("dados_contrato")
    if isinstance(dados, dict) and str(dados.get("tipo_contrato") or "").strip():
        return True
    return bool(resultado.get("empresas")) or bool(resultado.get("assinaturas"))


def parece_contrato(caminho: str | os.PathLike[str], resultado: Any) -> bool:
    """False só quando nem a extração nem o classificador de palavras-chave acham um contrato.

    O texto é lido de novo (sem OCR) apenas quando a extração nada achou; um
    documento sem texto legível, ou um resultado sem extração, conta como
    contrato (nada a afirmar).
    """
    if not isinstance(resultado, dict) or "metricas" not in resultado:
        return True
    if _extracao_achou_contrato(resultado):
        return True
    try:
        from scrivane.document import read_document

        texto = read_document(caminho, ocr=False).text
    except Exception:  # unreadable now: nothing to state about it
        return True
    from scrivane_contract.keywords import validar_documento_contrato

    eh_contrato, _, _ = validar_documento_contrato(texto)
    return bool(eh_contrato)


def aviso_documento(caminho: str | os.PathLike[str], resultado: Any) -> Optional[str]:
    """``AVISO_NAO_CONTRATO`` quando o documento não parece um contrato; senão None."""
    return None if parece_contrato(caminho, resultado) else AVISO_NAO_CONTRATO
