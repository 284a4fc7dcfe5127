"""Se o documento verificado parece um contrato.

An invoice or an official gazette sent by mistake comes out PENDENTE like an
unread contract.  The command line and the page then say so beside the
verdict, by the same decision the ``classificar`` command makes: what the
document is (its title, clause headings, contract formulas, parties), so that
a blank template is a contract and an extract or a notice citing one is not.
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
    """False quando o documento, pelo que ele é, não é um contrato: a decisão do comando ``classificar``.

    O texto é lido de novo, sem OCR.  Um documento sem texto legível (uma
    digitalização) conta como contrato quando a extração achou partes ou o
    tipo do contrato; um arquivo que não pode mais ser lido, ou um resultado
    sem extração, conta como contrato (nada a afirmar).
    """
    if not isinstance(resultado, dict) or "metricas" not in resultado:
        return True
    try:
        from scrivane.document import EmptyDocumentError, read_document
        from scrivane.local_extractor import extrair

        try:
            documento = read_document(caminho, ocr=False)
        except EmptyDocumentError:  # no text layer: only the extraction (read by OCR) can tell
            return _extracao_achou_contrato(resultado)
        if not documento.text.strip():
            return _extracao_achou_contrato(resultado)
        return bool(extrair(documento.pages, layout=documento.layout)["eh_contrato"])
    except Exception:  # unreadable now: nothing to state about it
        return True


def aviso_documento(caminho: str | os.PathLike[str], resultado: Any) -> Optional[str]:
    """``AVISO_NAO_CONTRATO`` quando o documento não parece um contrato; senão None."""
    return None if parece_contrato(caminho, resultado) else AVISO_NAO_CONTRATO
