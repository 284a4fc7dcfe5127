"""O registro local no lugar dos serviços públicos, sem HTTP.

``RequisicoesLocais`` offers the two calls the ``cnpj`` module makes on its
``requests`` name (``get`` and ``post`` with ``headers``, ``json`` and
``timeout``) and answers them from the database with the status codes and
bodies the services themselves would send. ``usar_registro`` puts it (or a
``registro servir`` URL) in place.
"""

from __future__ import annotations

import json as _json
import re
from pathlib import Path
from typing import Any, Optional

from .banco import caminho_padrao, limpar_cnpj14
from .consulta import RegistroLocal, resposta_brasilapi_erro, resposta_receitaws_erro

__all__ = ["RequisicoesLocais", "RespostaLocal", "usar_registro", "responder"]

_BRASIL = re.compile(r"/api/cnpj/v1/([^/?#]*)/?$")
_RECEITA = re.compile(r"/v1/cnpj/([^/?#]*)(?:/days/\d+)?/?$")
_BUSCA = re.compile(r"/v2/public/cnpj/search/?$")


class RespostaLocal:
    """O pedaço de ``requests.Response`` que o módulo ``cnpj`` usa."""

    def __init__(self, status_code: int, corpo: Any, url: str = ""):
        self.status_code = status_code
        self.url = url
        self.headers = {"Content-Type": "application/json; charset=utf-8", "Cache-Control": "max-age=86400"}
        self.content = _json.dumps(corpo, ensure_ascii=False).encode("utf-8")
        self.encoding = "utf-8"

    @property
    def text(self) -> str:
        return self.content.decode("utf-8")

    @property
    def ok(self) -> bool:
        return self.status_code < 400

    def json(self, **kw) -> Any:
        return _json.loads(self.content, **kw)

    def raise_for_status(self) -> None:
        if self.status_code >= 400:
            import requests

            raise requests.HTTPError(f"{self.status_code} para {self.url}", response=self)


def responder(registro: RegistroLocal, metodo: str, caminho: str, corpo: Any = None) -> tuple[int, Any]:
    """(status, corpo JSON) de um pedido aos três serviços, pelo caminho da URL."""
    caminho = caminho.split("?", 1)[0]
    if metodo == "GET" and (m := _BRASIL.search(caminho)):
        arg = m.group(1)
        c = limpar_cnpj14(arg)
        if c is None:
            return 400, resposta_brasilapi_erro(arg, 400)
        dados = registro.brasilapi(c)
        return (200, dados) if dados is not None else (404, resposta_brasilapi_erro(c, 404))
    if metodo == "GET" and (m := _RECEITA.search(caminho)):
        c = limpar_cnpj14(m.group(1))
        if c is None:
            return 200, resposta_receitaws_erro("CNPJ inválido")
        dados = registro.receitaws(c)
        return (200, dados) if dados is not None else (200, resposta_receitaws_erro("CNPJ rejeitado pela Receita Federal"))
    if metodo == "POST" and _BUSCA.search(caminho):
        if not isinstance(corpo, dict):
            return 400, {"success": False, "message": "Requisição inválida"}
        return registro.buscar_casadosdados(corpo)
    return 404, {"message": "Not found"}


class RequisicoesLocais:
    """``get``/``post`` respondidos pelo banco (para ``cnpj.requests``)."""

    def __init__(self, banco: str | Path | RegistroLocal):
        self.registro = banco if isinstance(banco, RegistroLocal) else RegistroLocal(banco)

    def get(self, url: str, params: Any = None, *, headers: Optional[dict] = None, timeout: Any = None,
            **kw: Any) -> RespostaLocal:
        status, corpo = responder(self.registro, "GET", url)
        return RespostaLocal(status, corpo, url)

    def post(self, url: str, data: Any = None, json: Any = None, *, headers: Optional[dict] = None,
             timeout: Any = None, **kw: Any) -> RespostaLocal:
        if json is None and data is not None:
            try:
                json = _json.loads(data)
            except (TypeError, ValueError):
                return RespostaLocal(400, {"success": False, "message": "Requisição inválida"}, url)
        status, corpo = responder(self.registro, "POST", url, json)
        return RespostaLocal(status, corpo, url)


class RegistroEmUso:
    """O registro que o módulo ``cnpj`` passou a usar; ``restaurar()`` desfaz a troca."""

    def __init__(self, descricao: str, data_extracao: Optional[str], anteriores: dict,
                 procedencia: Optional[dict] = None, offline: bool = False):
        self.descricao = descricao
        self.data_extracao = data_extracao
        # publicacao (AAAA-MM), completo, descricao ("Registro local (publicação 2026-11)")
        self.procedencia = procedencia or {}
        self.offline = offline
        self._anteriores = anteriores

    def restaurar(self) -> None:
        from scrivane_contract import cnpj

        for nome, valor in self._anteriores.items():
            setattr(cnpj, nome, valor)

    def __enter__(self) -> "RegistroEmUso":
        return self

    def __exit__(self, *exc) -> None:
        self.restaurar()


_ANTERIOR = object()


def usar_registro(valor: Optional[str], *, online: Any = _ANTERIOR) -> RegistroEmUso:
    """Faz o módulo ``cnpj`` consultar outro registro.

    ``valor``: ``"local"`` (o banco padrão), ``"sqlite:CAMINHO"`` (esse banco), a URL
    base de um servidor ``registro servir`` (``http://maquina:8080``), ou None (só os
    serviços públicos). O registro local responde primeiro; o que ele não tem é
    consultado nos serviços públicos, com o cliente que o módulo ``cnpj`` usava
    (ou ``online``, outro cliente). ``online=None``: nunca consulta os serviços
    públicos (offline); o que o registro local não tem fica sem resposta
    ("indisponivel"), nunca "não encontrado". Devolve um objeto que descreve o
    registro e sabe restaurar o anterior.
    """
    from scrivane_contract import cnpj

    from .consultas import ConsultasRegistro, RequisicoesServidor

    nomes = ("requests", "BRASIL_API_URL", "RECEITA_WS_URL", "CASADOSDADOS_API")
    anteriores = {n: getattr(cnpj, n) for n in nomes}
    cliente = anteriores["requests"] if online is _ANTERIOR else online
    if isinstance(cliente, ConsultasRegistro):  # already ours: its online client
        cliente = cliente.online
    if not valor:
        cnpj.requests = ConsultasRegistro(None, cliente)
        return RegistroEmUso("serviços públicos" if cliente is not None else "nenhum (offline)", None, anteriores,
                             offline=cliente is None)
    if valor == "local" or valor.startswith("sqlite:"):
        caminho = caminho_padrao() if valor == "local" else Path(valor[len("sqlite:"):]).expanduser()
        registro = RegistroLocal(caminho)
        procedencia = registro.procedencia()
        cnpj.requests = ConsultasRegistro(RequisicoesLocais(registro), cliente,
                                          publicacao=procedencia["publicacao"], completo=procedencia["completo"],
                                          descricao_local=procedencia["descricao"])
        data = registro.info().get("data_extracao")
        return RegistroEmUso(f"registro local {caminho}", data, anteriores, procedencia, offline=cliente is None)
    if re.match(r"^https?://", valor):
        base = valor.rstrip("/")
        import requests as _requests

        cnpj.requests = ConsultasRegistro(RequisicoesServidor(base, _requests), cliente,
                                          descricao_local=f"Registro em {base}")
        return RegistroEmUso(f"registro em {base}", None, anteriores, offline=cliente is None)
    raise ValueError(f"registro inválido: {valor!r} (use local, sqlite:CAMINHO ou uma URL http(s))")
