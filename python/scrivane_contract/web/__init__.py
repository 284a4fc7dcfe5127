"""Serviço web: página de envio de contratos, API HTTP e relatório em HTML.

``criar_app`` monta a aplicação FastAPI (extra ``web``); ``pagina_relatorio``
gera a página de relatório autossuficiente de um ``ResultadoVerificacao``
(precisa só do Jinja2).
"""

from __future__ import annotations

from typing import Any

from .relatorio import pagina_relatorio

__all__ = ["criar_app", "pagina_relatorio"]


def __getattr__(nome: str) -> Any:
    # FastAPI is imported only by whoever builds the app.
    if nome == "criar_app":
        from .app import criar_app

        return criar_app
    raise AttributeError(f"module {__name__!r} has no attribute {nome!r}")
