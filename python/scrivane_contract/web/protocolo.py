"""uvicorn's HTTP protocol with a time limit on a request's headers.

uvicorn limits the idle time between requests of a kept-alive connection, but
not the time a client takes to send a request's headers: a client that sends
them one byte at a time holds its connection for ever.  Here a request whose
headers are not complete ``prazo`` seconds after the connection opened (or
after the previous response) gets 408 and the connection is closed.  The time
limit of the body is the application's (see ``criar_app``).
"""

from __future__ import annotations

import asyncio
import json
from typing import Any, Optional

__all__ = ["protocolo_com_prazo", "PRAZO_CABECALHOS"]

PRAZO_CABECALHOS = 10.0

_CORPO_408 = json.dumps({"detail": "Os cabeçalhos do pedido não chegaram a tempo."}, ensure_ascii=False).encode()
_RESPOSTA_408 = (b"HTTP/1.1 408 Request Timeout\r\ncontent-type: application/json\r\nconnection: close\r\n"
                 b"content-length: " + str(len(_CORPO_408)).encode() + b"\r\n\r\n" + _CORPO_408)


def protocolo_com_prazo(prazo: float = PRAZO_CABECALHOS) -> type:
    """The protocol class for ``uvicorn.Config(http=...)``: uvicorn's own (httptools, else h11) with the limit."""
    try:
        from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol as Base
    except ImportError:
        from uvicorn.protocols.http.h11_impl import H11Protocol as Base

    class ProtocoloComPrazo(Base):  # type: ignore[misc, valid-type]
        _prazo_cabecalhos: Optional[asyncio.TimerHandle] = None
        _ciclo_visto: Any = None

        def _armar(self) -> None:
            self._desarmar()
            self._prazo_cabecalhos = self.loop.call_later(prazo, self._cabecalhos_atrasados)

        def _desarmar(self) -> None:
            if self._prazo_cabecalhos is not None:
                self._prazo_cabecalhos.cancel()
                self._prazo_cabecalhos = None

        def _cabecalhos_atrasados(self) -> None:
            self._prazo_cabecalhos = None
            if self.transport.is_closing() or self.cycle is not self._ciclo_visto:
                return
            self.transport.write(_RESPOSTA_408)
            self.transport.close()

        def connection_made(self, transport: Any) -> None:  # type: ignore[override]
            super().connection_made(transport)
            self._armar()

        def data_received(self, data: bytes) -> None:
            super().data_received(data)
            if self.cycle is not self._ciclo_visto:  # a request's headers are complete
                self._ciclo_visto = self.cycle
                self._desarmar()

        def on_response_complete(self) -> None:
            super().on_response_complete()
            if not self.transport.is_closing():
                self._ciclo_visto = self.cycle
                self._armar()  # the next request of a kept-alive connection

        def connection_lost(self, exc: Optional[Exception]) -> None:
            self._desarmar()
            super().connection_lost(exc)

    return ProtocoloComPrazo
