"""A local imitation of the Receita Federal's public share: WebDAV listing and HTTP downloads.

- ``PROPFIND /public.php/webdav/`` (Depth 1, basic auth: the share token, empty
  password) lists the month folders; ``PROPFIND /public.php/webdav/YYYY-MM/``
  lists the zips with their sizes (207 Multi-Status).
- ``GET /public.php/dav/files/TOKEN/YYYY-MM/NAME`` serves a file, honouring
  ``Range: bytes=N-`` with 206.

``cortar(nome, n)`` makes the next GET of that file stop after ``n`` bytes
(the connection closes mid-body, as a flaky server does).
"""

from __future__ import annotations

import base64
import re
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Optional
from urllib.parse import quote, unquote


class ShareServer:
    def __init__(self, raiz: Path, token: str = "TOKENTESTE"):
        self.raiz = Path(raiz)  # raiz/YYYY-MM/*.zip
        self.token = token
        self.cortes: dict[str, int] = {}
        self.pedidos: list[tuple[str, str, Optional[str]]] = []  # (method, path, Range)
        self._lock = threading.Lock()
        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
        self._httpd.daemon_threads = True
        self._thread: Optional[threading.Thread] = None

    @property
    def url(self) -> str:
        host, port = self._httpd.server_address[:2]
        return f"http://{host}:{port}"

    def cortar(self, nome: str, n: int) -> None:
        with self._lock:
            self.cortes[nome] = n

    def __enter__(self) -> "ShareServer":
        self._thread = threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self._httpd.shutdown()
        self._httpd.server_close()

    def _multistatus(self, base: str, itens: list[tuple[str, Optional[int]]]) -> bytes:
        partes = ['<?xml version="1.0"?>\n<d:multistatus xmlns:d="DAV:">']
        for href, tamanho in [(base, None)] + itens:
            if tamanho is None:
                props = "<d:resourcetype><d:collection/></d:resourcetype>"
            else:
                props = f"<d:resourcetype/><d:getcontentlength>{tamanho}</d:getcontentlength>"
            partes.append(f"<d:response><d:href>{quote(href)}</d:href><d:propstat><d:prop>{props}</d:prop>"
                          "<d:status>HTTP/1.1 200 OK</d:status></d:propstat></d:response>")
        partes.append("</d:multistatus>")
        return "".join(partes).encode()

    def _handler(self):
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def _enviar(self, status: int, corpo: bytes, tipo: str = "application/xml", extra=None):
                self.send_response(status)
                self.send_header("Content-Type", tipo)
                self.send_header("Content-Length", str(len(corpo)))
                for k, v in (extra or {}).items():
                    self.send_header(k, v)
                self.end_headers()
                self.wfile.write(corpo)

            def do_PROPFIND(self):
                n = int(self.headers.get("Content-Length") or 0)
                if n:
                    self.rfile.read(n)
                with server._lock:
                    server.pedidos.append(("PROPFIND", self.path, None))
                esperado = "Basic " + base64.b64encode(f"{server.token}:".encode()).decode()
                if self.headers.get("Authorization") != esperado:
                    return self._enviar(401, b"", extra={"WWW-Authenticate": 'Basic realm="share"'})
                caminho = unquote(self.path)
                if caminho == "/public.php/webdav/":
                    meses = sorted(p.name for p in server.raiz.iterdir() if p.is_dir())
                    itens = [(f"/public.php/webdav/{m}/", None) for m in meses]
                    return self._enviar(207, server._multistatus(caminho, itens))
                m = re.fullmatch(r"/public\.php/webdav/(\d{4}-\d{2})/", caminho)
                if m and (server.raiz / m.group(1)).is_dir():
                    pasta = server.raiz / m.group(1)
                    itens = [(f"{caminho}{p.name}", p.stat().st_size) for p in sorted(pasta.iterdir())]
                    return self._enviar(207, server._multistatus(caminho, itens))
                self._enviar(404, b"")

            def do_GET(self):
                faixa = self.headers.get("Range")
                with server._lock:
                    server.pedidos.append(("GET", self.path, faixa))
                m = re.fullmatch(r"/public\.php/dav/files/([^/]+)/(\d{4}-\d{2})/([^/]+)", unquote(self.path))
                if not m or m.group(1) != server.token or not (server.raiz / m.group(2) / m.group(3)).is_file():
                    return self._enviar(404, b"", "text/plain")
                nome = m.group(3)
                dados = (server.raiz / m.group(2) / nome).read_bytes()
                inicio = 0
                if faixa and (r := re.fullmatch(r"bytes=(\d+)-", faixa)):
                    inicio = int(r.group(1))
                    if inicio >= len(dados):
                        return self._enviar(416, b"", "text/plain")
                with server._lock:
                    corte = server.cortes.pop(nome, None)
                corpo = dados[inicio:]
                self.send_response(206 if inicio else 200)
                self.send_header("Content-Type", "application/zip")
                self.send_header("Content-Length", str(len(corpo)))
                if inicio:
                    self.send_header("Content-Range", f"bytes {inicio}-{len(dados) - 1}/{len(dados)}")
                self.end_headers()
                if corte is not None:
                    self.wfile.write(corpo[:corte])
                    self.wfile.flush()
                    self.close_connection = True
                    return
                self.wfile.write(corpo)

        return Handler
