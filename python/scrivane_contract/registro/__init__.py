"""Registro local do CNPJ: importação dos dados abertos, consultas, servidor e cliente cortês.

- ``importar(origem, banco)``: constrói o banco SQLite a partir de uma publicação mensal;
- ``usar_registro("local" | "sqlite:CAMINHO" | URL)``: faz o módulo ``cnpj`` consultar o banco
  (ou um servidor ``registro servir``) em vez dos serviços públicos;
- ``usar_sessao_resiliente()``: cache, limites por serviço e novas tentativas para os serviços públicos;
- ``procedencia(cnpj)``: de onde veio o último registro desse CNPJ (registro local e sua publicação,
  ou o serviço e a hora da consulta).
"""

from __future__ import annotations

import importlib

_EXPORTS = {
    "importar": "importar",
    "ErroImportacao": "importar",
    "ResumoImportacao": "importar",
    "caminho_padrao": "banco",
    "RegistroLocal": "consulta",
    "RegistroIndisponivel": "consulta",
    "RequisicoesLocais": "local",
    "usar_registro": "local",
    "ConsultasRegistro": "consultas",
    "procedencia": "consultas",
    "usar_sessao_resiliente": "sessao",
    "criar_sessao_resiliente": "sessao",
    "criar_app": "servidor",
    "servir": "servidor",
    "baixar": "baixar",
}

__all__ = sorted(_EXPORTS)


def __getattr__(nome: str):
    modulo = _EXPORTS.get(nome)
    if modulo is None:
        raise AttributeError(f"module {__name__!r} has no attribute {nome!r}")
    valor = getattr(importlib.import_module(f"{__name__}.{modulo}"), nome)
    globals()[nome] = valor
    return valor
