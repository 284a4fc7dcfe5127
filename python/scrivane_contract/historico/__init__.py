"""Histórico de verificações, fila de trabalhos compartilhada e monitoramento.

- ``Historico(url)``: as verificações guardadas (SQLite por padrão, na pasta de
  dados do usuário, ou PostgreSQL por URL); esquema versionado, migrado ao abrir;
- ``FilaProcrastinate``, ``Trabalhador``: com o histórico em PostgreSQL, a fila
  de verificações do serviço web compartilhada por várias máquinas (tarefas do
  procrastinate no mesmo banco);
- ``monitorar(historico)``: confere de novo as empresas e os signatários das
  verificações guardadas e diz o que mudou.

Os arquivos dos contratos nunca são guardados: só o que a verificação encontrou.
"""

from __future__ import annotations

import importlib

_EXPORTS = {
    "Historico": "banco",
    "HistoricoIndisponivel": "banco",
    "IdAmbiguo": "banco",
    "url_padrao": "banco",
    "caminho_padrao": "banco",
    "ENV_HISTORICO": "banco",
    "FilaProcrastinate": "tarefas",
    "Trabalhador": "tarefas",
    "monitorar": "monitor",
    "Mudanca": "monitor",
}

__all__ = sorted(_EXPORTS)


def __getattr__(nome: str):
    modulo = _EXPORTS.get(nome)
    if modulo is None:
        raise AttributeError(f"module {__name__!r} has no attribute {nome!r}")
    valor = getattr(importlib.import_module(f"{__name__}.{modulo}"), nome)
    globals()[nome] = valor
    return valor
