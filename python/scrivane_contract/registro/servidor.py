"""``registro servir``: o banco do registro local servido por HTTP.

Speaks the three protocols the ``cnpj`` module uses (BrasilAPI and ReceitaWS
lookups by CNPJ, the Casa dos Dados name search), so that colleagues point
their ``--registro`` (or the module's URL constants) at this server. Built
on Starlette and uvicorn; one access-log line per request; Ctrl-C stops it
cleanly.
"""

from __future__ import annotations

import json
import os
from typing import Optional

from .consulta import RegistroLocal
from .local import responder

__all__ = ["criar_app", "servir"]


def criar_app(banco: str | os.PathLike | RegistroLocal):
    """A aplicação ASGI (Starlette) sobre o banco."""
    from starlette.applications import Starlette
    from starlette.requests import Request
    from starlette.responses import JSONResponse, Response
    from starlette.routing import Route

    registro = banco if isinstance(banco, RegistroLocal) else RegistroLocal(banco)

    def resposta(status: int, corpo) -> Response:
        headers = {"Cache-Control": "max-age=86400"} if status == 200 else None
        return JSONResponse(corpo, status_code=status, headers=headers)

    # The lookups take a fraction of a millisecond: answering on the event
    # loop is cheaper than a trip through the thread pool.
    async def consulta(request: Request) -> Response:
        return resposta(*responder(registro, "GET", request.url.path))

    async def busca(request: Request) -> Response:
        try:
            corpo = json.loads(await request.body())
        except ValueError:
            return resposta(400, {"success": False, "message": "Requisição inválida"})
        return resposta(*responder(registro, "POST", request.url.path, corpo))

    async def info(request: Request) -> Response:
        return resposta(200, registro.info())

    rotas = [
        Route("/api/cnpj/v1/{cnpj}", consulta, methods=["GET"]),
        Route("/v1/cnpj/{cnpj}", consulta, methods=["GET"]),
        Route("/v1/cnpj/{cnpj}/days/{dias:int}", consulta, methods=["GET"]),
        Route("/v2/public/cnpj/search", busca, methods=["POST"]),
        Route("/", info, methods=["GET"]),
    ]
    return Starlette(routes=rotas)


def servir(banco: str | os.PathLike, *, host: str = "127.0.0.1", porta: int = 8080,
           log: bool = True, ao_iniciar: Optional[callable] = None) -> None:
    """Serve o banco até Ctrl-C (ou SIGTERM)."""
    import uvicorn

    app = criar_app(banco)
    # One line per request on standard output; uvicorn's own start-up chatter stays quiet.
    log_config = {
        "version": 1,
        "disable_existing_loggers": False,
        "formatters": {
            "acesso": {"()": "uvicorn.logging.AccessFormatter", "use_colors": False,
                       "fmt": '%(asctime)s %(client_addr)s "%(request_line)s" %(status_code)s'},
            "padrao": {"()": "uvicorn.logging.DefaultFormatter", "use_colors": False,
                       "fmt": "%(asctime)s %(levelprefix)s %(message)s"},
        },
        "handlers": {
            "acesso": {"class": "logging.StreamHandler", "formatter": "acesso", "stream": "ext://sys.stdout"},
            "padrao": {"class": "logging.StreamHandler", "formatter": "padrao", "stream": "ext://sys.stderr"},
        },
        "loggers": {
            "uvicorn.error": {"handlers": ["padrao"], "level": "WARNING", "propagate": False},
            "uvicorn.access": {"handlers": ["acesso"], "level": "INFO" if log else "WARNING", "propagate": False},
        },
    }
    config = uvicorn.Config(app, host=host, port=porta, log_config=log_config, access_log=log,
                            lifespan="off", server_header=False)
    servidor = uvicorn.Server(config)
    if ao_iniciar is not None:
        ao_iniciar(servidor)
    servidor.run()
