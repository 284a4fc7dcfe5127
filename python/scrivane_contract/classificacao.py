"""Se o documento verificado parece um contrato.

An invoice or an official gazette sent by mistake comes out PENDENTE like an
unread contract.  The command line and the page then say so beside the
verdict, by the same decision the ``classificar`` command makes: what the
document is (its title, clause headings, contract formulas, parties), so that
a blank template is a contract and an extract or a notice citing one is not.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any, Optional

__all__ = ["AVISO_NAO_CONTRATO", "parece_contrato", "aviso_documento"]

AVISO_NAO_CONTRATO = "o documento não parece um contrato"


def _extracao_achou_contrato(resultado: dict[str, Any]) -> bool:
    dados = resultado.get("dados_contrato")
    if isinstance(dados, dict) and str(dados.get("tipo_contrato") or "").strip():
        return True
    return bool(resultado.get("empresas")) or bool(resultado.get("assinaturas"))


def _lido_pelo_motor(caminho: str | os.PathLike[str], lido: Any) -> Any:
    """The engine's reading of this very file (``scrivane.engine.reading_kept``) when it is what
    reading it again without OCR would give: the same path, unchanged since, no page read or left
    unread for OCR, within the page limit of a reading here.  Else None."""
    documento = getattr(lido, "document", None)
    if documento is None or documento.ocr_pages or documento.unread_pages:
        return None
    from scrivane.document import _page_limit
    from scrivane.engine import file_identity

    if Path(documento.path) != Path(caminho) or len(documento.pages) > _page_limit(None):
        return None
    identidade = file_identity(caminho)
    return documento if identidade is not None and identidade == lido.identity else None


def parece_contrato(caminho: str | os.PathLike[str], resultado: Any, lido: Any = None) -> bool:
    """False quando o documento, pelo que ele é, não é um contrato: a decisão do comando ``classificar``.

    O texto é lido de novo, sem OCR, salvo quando ``lido`` (um ``scrivane.engine.reading_kept``
    da verificação) já traz a mesma leitura do mesmo arquivo.  Um documento sem texto legível (uma
    digitalização) conta como contrato quando a extração achou partes ou o
    tipo do contrato; um arquivo que não pode mais ser lido, ou um resultado
    sem extração, conta como contrato (nada a afirmar).
    """
    if not isinstance(resultado, dict) or "metricas" not in resultado:
        return True
    try:
        documento = _lido_pelo_motor(caminho, lido)
        if documento is None:
            from scrivane.document import EmptyDocumentError, read_document

            try:
                documento = read_document(caminho, ocr=False)
            except EmptyDocumentError:  # no text layer: only the extraction (read by OCR) can tell
                return _extracao_achou_contrato(resultado)
        if not documento.text.strip():
            return _extracao_achou_contrato(resultado)
        if documento is getattr(lido, "document", None) and lido.is_contract is not None:
            return lido.is_contract  # the local rules' own answer on this very reading
        from scrivane.local_extractor import extrair

        return bool(extrair(documento.pages, layout=documento.layout)["eh_contrato"])
    except Exception:  # unreadable now: nothing to state about it
        return True


def aviso_documento(caminho: str | os.PathLike[str], resultado: Any, lido: Any = None) -> Optional[str]:
    """``AVISO_NAO_CONTRATO`` quando o documento não parece um contrato; senão None."""
    return None if parece_contrato(caminho, resultado, lido) else AVISO_NAO_CONTRATO
