"""A local company-registry server: BrasilAPI, ReceitaWS and Casa dos Dados.

It listens on 127.0.0.1 (a free port) and speaks the three protocols the
``scrivane_contract.cnpj`` module uses, from fixtures:

- BrasilAPI      ``GET  /api/cnpj/v1/{cnpj}``      the company's BrasilAPI JSON, else 404;
- ReceitaWS      ``GET  /v1/cnpj/{cnpj}``          the company's ReceitaWS JSON, else
                                                    200 with ``{"status": "ERROR", ...}``;
- Casa dos Dados ``POST /v2/public/cnpj/search``   the companies whose name contains the
                                                    searched term (and of the state asked for).

    from registry_server import RegistryServer, Reply, empresa_exemplo

    with RegistryServer() as server:
        server.add_company(*empresa_exemplo("11222333000181"))
        server.reply("brasilapi", Reply.error(429))        # every BrasilAPI request: 429
        server.reply("receitaws", Reply.late(0.5))         # fixture answer, half a second late
        ...  # point the URL constants at server.brasil_api_url, .receita_ws_url, .casadosdados_url
        server.requests                                    # every request received, in order
        server.requests_to("casadosdados")[0].json()       # the search body as sent

A reply set with ``reply`` holds for its route until ``reset`` (or until it
is replaced); ``reply(route, a, b)`` answers ``a`` first, then ``b`` for
every later request. ``Reply.late`` keeps the fixture answer and only
delays it; the other replies replace it.

The pytest fixture ``registry`` (import it into a test module) starts a
server, points the module's URL constants at it and stops it after the test.
"""

from __future__ import annotations

import argparse
import json
import re
import threading
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Optional

__all__ = ["RegistryServer", "Reply", "RecordedRequest", "empresa_exemplo", "registry", "ROUTES"]

ROUTES = ("brasilapi", "receitaws", "casadosdados")

_BRASIL_PATH = re.compile(r"^/api/cnpj/v1/([^/?]*)$")
_RECEITA_PATH = re.compile(r"^/v1/cnpj/([^/?]*)$")
_SEARCH_PATH = "/v2/public/cnpj/search"


@dataclass
class Reply:
    """One answer of a route. Build it with the class methods."""

    status: int = 200
    body: Optional[bytes] = None  # None: the fixture answer
    content_type: str = "application/json"
    delay: float = 0.0
    headers: dict = field(default_factory=dict)  # extra response headers (Retry-After, Cache-Control)

    @classmethod
    def json(cls, obj: Any, *, status: int = 200, delay: float = 0.0) -> "Reply":
        """``obj`` as the JSON body (any shape: a list, a number, an object without the usual keys)."""
        return cls(status, json.dumps(obj, ensure_ascii=False).encode(), delay=delay)

    @classmethod
    def text(cls, text: str, *, status: int = 200, content_type: str = "text/html; charset=utf-8",
             delay: float = 0.0) -> "Reply":
        """A body that is not JSON."""
        return cls(status, text.encode(), content_type, delay)

    @classmethod
    def error(cls, status: int, *, delay: float = 0.0, headers: Optional[dict] = None) -> "Reply":
        """An HTTP error with a small JSON body, as the services send them."""
        messages = {404: "CNPJ não encontrado", 429: "Too many requests", 500: "Internal server error"}
        reply = cls.json({"message": messages.get(status, "error")}, status=status, delay=delay)
        reply.headers = dict(headers or {})
        return reply

    @classmethod
    def late(cls, delay: float) -> "Reply":
        """The fixture answer, sent after ``delay`` seconds."""
        return cls(delay=delay)


@dataclass
class RecordedRequest:
    route: str  # one of ROUTES, or "" for an unknown path
    method: str
    path: str
    headers: dict[str, str]
    body: bytes = b""

    def json(self) -> Any:
        return json.loads(self.body)

    def header(self, name: str) -> Optional[str]:
        """A request header, by case-insensitive name."""
        for k, v in self.headers.items():
            if k.lower() == name.lower():
                return v
        return None


@dataclass
class _Route:
    replies: list[Reply] = field(default_factory=list)

    def next(self) -> Optional[Reply]:
        if not self.replies:
            return None
        return self.replies.pop(0) if len(self.replies) > 1 else self.replies[0]


class RegistryServer:
    """The three registry services on one local port."""

    def __init__(self, host: str = "127.0.0.1", port: int = 0):
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._routes = {name: _Route() for name in ROUTES}
        self.brasil: dict[str, dict] = {}  # clean CNPJ -> BrasilAPI answer
        self.receita: dict[str, dict] = {}  # clean CNPJ -> ReceitaWS answer
        self.search_index: list[dict] = []  # {"cnpj", "razao_social", "uf"} in the service's order
        self.requests: list[RecordedRequest] = []
        self._httpd = ThreadingHTTPServer((host, port), self._handler_class())
        self._httpd.daemon_threads = True
        self._httpd.block_on_close = False
        self._thread: Optional[threading.Thread] = None

    # -- life cycle -------------------------------------------------------
    def start(self) -> "RegistryServer":
        self._thread = threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.05},
                                        name="registry-server", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._stopping.is_set():
            return
        self._stopping.set()  # wakes the late answers
        if self._thread:
            self._httpd.shutdown()
        self._httpd.server_close()
        if self._thread:
            self._thread.join(5)

    def __enter__(self) -> "RegistryServer":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    # -- addresses --------------------------------------------------------
    @property
    def url(self) -> str:
        host, port = self._httpd.server_address[:2]
        return f"http://{host}:{port}"

    @property
    def brasil_api_url(self) -> str:
        return self.url + "/api/cnpj/v1/{cnpj}"

    @property
    def receita_ws_url(self) -> str:
        return self.url + "/v1/cnpj/{cnpj}"

    @property
    def casadosdados_url(self) -> str:
        return self.url + _SEARCH_PATH

    # -- fixtures and behaviour -------------------------------------------
    def add_company(self, cnpj: str, brasil: Optional[dict] = None, receita: Optional[dict] = None,
                    *, searchable: bool = True) -> None:
        """Register a company (clean CNPJ) with the answer of each service that knows it."""
        with self._lock:
            if brasil is not None:
                self.brasil[cnpj] = brasil
            if receita is not None:
                self.receita[cnpj] = receita
            if searchable:
                src = brasil or receita or {}
                self.search_index.append({
                    "cnpj": cnpj,
                    "razao_social": src.get("razao_social", src.get("nome", "")),
                    "uf": src.get("uf", ""),
                })

    def reply(self, route: str, *replies: Reply) -> None:
        """Answer ``route`` with these replies in turn (the last one repeats)."""
        if route not in self._routes:
            raise ValueError(f"unknown route {route!r}; expected one of {ROUTES}")
        with self._lock:
            self._routes[route].replies = list(replies)

    def reset(self) -> None:
        """Back to the fixture answers; forget the recorded requests."""
        with self._lock:
            for r in self._routes.values():
                r.replies = []
            self.requests.clear()

    def requests_to(self, route: str) -> list[RecordedRequest]:
        with self._lock:
            return [r for r in self.requests if r.route == route]

    # -- answers ----------------------------------------------------------
    def _fixture_answer(self, route: str, arg: str, body: bytes) -> tuple[int, Any]:
        with self._lock:
            if route == "brasilapi":
                data = self.brasil.get(arg)
                return (200, data) if data is not None else (404, {"message": "CNPJ " + arg + " não encontrado."})
            if route == "receitaws":
                data = self.receita.get(arg)
                return (200, data) if data is not None else (200, {"status": "ERROR", "message": "CNPJ inválido"})
            index = list(self.search_index)
        try:
            query = json.loads(body).get("query", {})
            termo = str(query.get("termo", [""])[0]).upper()
            ufs = [u.upper() for u in query.get("uf", [])]
        except (ValueError, AttributeError, IndexError, TypeError):
            return 400, {"message": "Bad request"}
        hits = [h for h in index if termo in h["razao_social"].upper() and (not ufs or h["uf"].upper() in ufs)]
        return 200, {"success": True, "data": {"count": len(hits), "cnpj": [dict(h) for h in hits]}}

    def _handle(self, handler: BaseHTTPRequestHandler, method: str) -> None:
        length = int(handler.headers.get("Content-Length") or 0)
        body = handler.rfile.read(length) if length else b""
        path = handler.path
        route, arg = "", ""
        if method == "GET" and (m := _BRASIL_PATH.match(path)):
            route, arg = "brasilapi", m.group(1)
        elif method == "GET" and (m := _RECEITA_PATH.match(path)):
            route, arg = "receitaws", m.group(1)
        elif method == "POST" and path == _SEARCH_PATH:
            route = "casadosdados"
        with self._lock:
            self.requests.append(RecordedRequest(route, method, path, dict(handler.headers.items()), body))
            reply = self._routes[route].next() if route else None
        if not route:
            status, payload, ctype = 404, json.dumps({"message": "Not found"}).encode(), "application/json"
        elif reply is not None and reply.body is not None:
            status, payload, ctype = reply.status, reply.body, reply.content_type
        else:
            code, obj = self._fixture_answer(route, arg, body)
            status, payload, ctype = code, json.dumps(obj, ensure_ascii=False).encode(), "application/json"
        if reply is not None and reply.delay and self._stopping.wait(reply.delay):
            return
        try:
            handler.send_response(status)
            handler.send_header("Content-Type", ctype)
            handler.send_header("Content-Length", str(len(payload)))
            for name, value in (reply.headers.items() if reply is not None else ()):
                handler.send_header(name, value)
            handler.end_headers()
            handler.wfile.write(payload)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client gave up waiting (a time-out)

    def _handler_class(self):
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                server._handle(self, "GET")

            def do_POST(self):
                server._handle(self, "POST")

            def log_message(self, *args):
                pass

        return Handler


def empresa_exemplo(cnpj: str = "11222333000181", razao_social: str = "ACME COMERCIO DE TESTES LTDA",
                    uf: str = "SP") -> tuple[str, dict, dict]:
    """(cnpj, BrasilAPI answer, ReceitaWS answer) of one company, as the services write them."""
    brasil = {
        "cnpj": cnpj,
        "razao_social": razao_social,
        "nome_fantasia": "ACME",
        "descricao_situacao_cadastral": "ATIVA",
        "data_situacao_cadastral": "2005-11-03",
        "data_inicio_atividade": "1999-04-12",
        "natureza_juridica": "Sociedade Empresária Limitada",
        "porte": "DEMAIS",
        "capital_social": 150000,
        "logradouro": "AV PAULISTA",
        "numero": "1000",
        "complemento": "ANDAR 5",
        "bairro": "BELA VISTA",
        "municipio": "SAO PAULO",
        "uf": uf,
        "cep": "01310100",
        "email": "contato@acme.com.br",
        "qsa": [
            {
                "nome_socio": "MARIA DA SILVA",
                "qualificacao_socio": "Sócio-Administrador",
                "data_entrada_sociedade": "1999-04-12",
                "cpf_representante_legal": "***000000**",
                "nome_representante_legal": "",
                "qualificacao_representante_legal": "Não informada",
            },
            {
                "nome_socio": "JOAO PEREIRA",
                "qualificacao_socio": "Sócio",
                "data_entrada_sociedade": "2010-01-20",
                "cpf_representante_legal": "***000000**",
                "nome_representante_legal": "",
                "qualificacao_representante_legal": "Não informada",
            },
        ],
    }
    receita = {
        "status": "OK",
        "cnpj": f"{cnpj[:2]}.{cnpj[2:5]}.{cnpj[5:8]}/{cnpj[8:12]}-{cnpj[12:]}",
        "nome": razao_social,
        "fantasia": "ACME",
        "situacao": "ATIVA",
        "data_situacao": "03/11/2005",
        "abertura": "12/04/1999",
        "natureza_juridica": "206-2 - Sociedade Empresária Limitada",
        "porte": "DEMAIS",
        "capital_social": "150000.00",
        "logradouro": "AV PAULISTA",
        "numero": "1000",
        "complemento": "ANDAR 5",
        "bairro": "BELA VISTA",
        "municipio": "SAO PAULO",
        "uf": uf,
        "cep": "01.310-100",
        "email": "contato@acme.com.br",
        "qsa": [
            {"nome": "MARIA DA SILVA", "qual": "49-Sócio-Administrador"},
            {"nome": "JOAO PEREIRA", "qual": "22-Sócio"},
        ],
    }
    return cnpj, brasil, receita


try:
    import pytest
except ImportError:  # used without pytest (command line)
    pytest = None

if pytest is not None:

    @pytest.fixture
    def registry(monkeypatch):
        """A running server with the module's URL constants pointed at it."""
        from scrivane_contract import cnpj

        with RegistryServer() as server:
            monkeypatch.setattr(cnpj, "BRASIL_API_URL", server.brasil_api_url)
            monkeypatch.setattr(cnpj, "RECEITA_WS_URL", server.receita_ws_url)
            monkeypatch.setattr(cnpj, "CASADOSDADOS_API", server.casadosdados_url)
            monkeypatch.setenv("NO_PROXY", "127.0.0.1,localhost")
            yield server


def main(argv: Optional[list[str]] = None) -> None:
    parser = argparse.ArgumentParser(description="Serve the company-registry protocols locally from fixtures.")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--fixtures", help="JSON file: a list of [cnpj, brasilapi answer or null, receitaws answer or null]")
    args = parser.parse_args(argv)
    server = RegistryServer(port=args.port)
    if args.fixtures:
        with open(args.fixtures, encoding="utf-8") as f:
            for cnpj, brasil, receita in json.load(f):
                server.add_company(cnpj, brasil, receita)
    else:
        server.add_company(*empresa_exemplo())
    server.start()
    print(f"BRASIL_API_URL   = {server.brasil_api_url}")
    print(f"RECEITA_WS_URL   = {server.receita_ws_url}")
    print(f"CASADOSDADOS_API = {server.casadosdados_url}")
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()


if __name__ == "__main__":
    main()
