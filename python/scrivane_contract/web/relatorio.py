"""The report page of one verification: a self-contained HTML document.

The same page is served by the web service (``/api/verificacoes/{id}/relatorio``,
and shown inside the upload page) and written by ``verificar --html``; it is
built by ``scrivane_contract.apresentacao``, which this module re-exports.
"""

from __future__ import annotations

from scrivane_contract.apresentacao import RAIZ, contexto_relatorio, fragmento_relatorio, pagina_relatorio

__all__ = ["pagina_relatorio", "fragmento_relatorio", "contexto_relatorio", "RAIZ"]
