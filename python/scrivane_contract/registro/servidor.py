"""``registro servir``: o banco do registro local servido por HTTP.

Speaks the three protocols the ``cnpj`` module uses (BrasilAPI and ReceitaWS
lookups by CNPJ, the Casa dos Dados name search), so that colleagues point
their ``--registro`` (or the module's URL constants) at this server. Built
on uvicorn (a plain ASGI application: the answers need no routing layer);
one access-log line per request; Ctrl-C stops it cleanly.
"""

from __future__ import annotations

import json
import os
import sys
import time
from pathlib import Path

from .._controles import escapar_controles
from .consulta import RegistroLocal
from .local import responder

__all__ = ["criar_app", "servir"]


_CABECALHOS_JSON = [(b"content-type", b"application/json")]
_CACHE_CONTROL = (b"cache-control", b"max-age=86400")
_ENV_BANCO = "SCRIVANE_SERVIR_BANCO"
_ENV_LOG = "SCRIVANE_SERVIR_LOG"
# The searches' JSON bodies are a few hundred bytes: a bigger body is refused
# before it is read.
CORPO_MAXIMO = 64 * 1024


def _escapar(texto: str) -> str:
    return escapar_controles(texto, aspas=True)


def _registrar(scope, status: int) -> None:
    # One access line per request, written straight to stdout (the logging
    # module would cost more than the lookup itself).
    cliente = scope.get("client") or ("-", 0)
    consulta = scope.get("query_string") or b""
    alvo = scope["path"] + ("?" + consulta.decode("latin-1") if consulta else "")
    sys.stdout.write(f'{time.strftime("%Y-%m-%d %H:%M:%S")} {_escapar(str(cliente[0]))}:{cliente[1]} '
                     f'"{_escapar(scope["method"])} {_escapar(alvo)} HTTP/{_escapar(scope.get("http_version", "1.1"))}"'
                     f' {status}\n')


def criar_app(banco: str | os.PathLike | RegistroLocal, *, log: bool = False):
    """A aplicação ASGI sobre o banco (para uvicorn ou outro servidor ASGI); ``log``: uma linha por pedido."""
    registro = banco if isinstance(banco, RegistroLocal) else RegistroLocal(banco)

    def procedencia() -> list:
        # What the server holds, on every answer: the client tells a company
        # this registry lacks from one the Receita Federal does not know.
        p = registro.procedencia()
        return [(b"x-registro-publicacao", (p["publicacao"] or "").encode("ascii", "replace")),
                (b"x-registro-completo", b"1" if p["completo"] else b"0")]

    async def enviar(send, status: int, corpo, scope=None) -> None:
        if log and scope is not None:
            _registrar(scope, status)
        dados = json.dumps(corpo, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
        cabecalhos = _CABECALHOS_JSON + [(b"content-length", str(len(dados)).encode())] + procedencia()
        if status == 200:
            cabecalhos.append(_CACHE_CONTROL)
        await send({"type": "http.response.start", "status": status, "headers": cabecalhos})
        await send({"type": "http.response.body", "body": dados})

    # The lookups take a fraction of a millisecond: they are answered on the
    # event loop, without a trip through a thread pool or a routing layer.
    async def app(scope, receive, send) -> None:
        if scope["type"] == "lifespan":
            while True:
                msg = await receive()
                if msg["type"] == "lifespan.startup":
                    await send({"type": "lifespan.startup.complete"})
                elif msg["type"] == "lifespan.shutdown":
                    await send({"type": "lifespan.shutdown.complete"})
                    return
        if scope["type"] != "http":
            return
        metodo, caminho = scope["method"], scope["path"]
        if metodo == "GET" and caminho == "/":
            return await enviar(send, 200, registro.info(), scope)
        corpo = None
        if metodo == "POST":
            grande = {"success": False, "message": "Requisição grande demais"}
            declarado = dict(scope.get("headers") or []).get(b"content-length", b"0")
            if not declarado.isdigit() or int(declarado) > CORPO_MAXIMO:
                return await enviar(send, 413, grande, scope)
            partes, recebidos = [], 0
            while True:
                msg = await receive()
                pedaco = msg.get("body", b"")
                recebidos += len(pedaco)
                if recebidos > CORPO_MAXIMO:  # no length declared (chunked), or a lying one
                    return await enviar(send, 413, grande, scope)
                partes.append(pedaco)
                if not msg.get("more_body"):
                    break
            try:
                corpo = json.loads(b"".join(partes))
            except ValueError:
                return await enviar(send, 400, {"success": False, "message": "Requisição inválida"}, scope)
        elif metodo != "GET":
            return await enviar(send, 405, {"message": "Method not allowed"}, scope)
        status, resposta = responder(registro, metodo, caminho, corpo)
        await enviar(send, status, resposta, scope)

    return app


def fabrica():
    """Fábrica para os processos de trabalho do uvicorn (o banco vem do ambiente)."""
    return criar_app(os.environ[_ENV_BANCO], log=os.environ.get(_ENV_LOG) == "1")


def servir(banco: str | os.PathLike | RegistroLocal, *, host: str = "127.0.0.1", porta: int = 8080,
           log: bool = True, processos: int = 1) -> None:
    """Serve o banco até Ctrl-C (ou SIGTERM); ``processos`` > 1 reparte os pedidos entre processos."""
    import uvicorn

    # The application writes the access lines; uvicorn's own start-up chatter stays quiet.
    log_config = {
        "version": 1,
        "disable_existing_loggers": False,
        "formatters": {"padrao": {"()": "uvicorn.logging.DefaultFormatter", "use_colors": False,
                                  "fmt": "%(asctime)s %(levelprefix)s %(message)s"}},
        "handlers": {"padrao": {"class": "logging.StreamHandler", "formatter": "padrao",
                                "stream": "ext://sys.stderr"}},
        "loggers": {
            "uvicorn.error": {"handlers": ["padrao"], "level": "WARNING", "propagate": False},
            "uvicorn.access": {"handlers": ["padrao"], "level": "WARNING", "propagate": False},
        },
    }
    comum = dict(host=host, port=porta, log_config=log_config, access_log=False, lifespan="off",
                 server_header=False, date_header=False)
    if processos > 1:
        caminho = banco.caminho if isinstance(banco, RegistroLocal) else Path(banco)
        os.environ[_ENV_BANCO] = str(Path(caminho).resolve())
        os.environ[_ENV_LOG] = "1" if log else "0"
        uvicorn.run("scrivane_contract.registro.servidor:fabrica", factory=True, workers=processos, **comum)
        return
    app = criar_app(banco, log=log)
    uvicorn.Server(uvicorn.Config(app, **comum)).run()
