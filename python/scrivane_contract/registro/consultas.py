"""Quem responde às consultas do módulo ``cnpj``: o registro local, os serviços públicos, ou ninguém.

``ConsultasRegistro`` takes the place of the ``cnpj`` module's ``requests``
name (the same two calls, ``get`` and ``post``) and

- asks a local registry first (the SQLite file, or a ``registro servir``
  server), and the public services only for what the local registry lacks:
  a local registry is never the last word on a company it does not hold,
  since even a complete release lacks the companies opened after it;
- never goes online when offline: a company the local registry lacks is then
  unanswered (HTTP 503, so the ``cnpj`` module says "indisponivel"), and its
  ``motivo_indisponivel`` tells the checker why;
- stops asking a host that could not be reached for ``ESPERA_DISJUNTOR``
  seconds, so that an offline run fails fast instead of retrying every CNPJ:
  each kind of failure (``tipo_de_falha``: a proxy refused or unreachable, a
  proxy asking for authentication (407) or failing (5xx), a name that does not
  resolve, a certificate that is not trusted, a connection refused, a
  connection that times out) is named once, in a warning; a slow answer
  (read time-out) keeps its retries;
- notes where each company record came from (``procedencia``).
"""

from __future__ import annotations

import datetime as _dt
import re
import threading
import time
from collections import OrderedDict
from typing import Any, Callable, Optional
from urllib.parse import urlsplit

__all__ = ["ConsultasRegistro", "RequisicoesServidor", "Disjuntor", "DISJUNTOR", "ESPERA_DISJUNTOR",
           "procedencia", "registrar_procedencia", "falha_de_conexao", "tipo_de_falha", "FALHAS", "sem_acesso",
           "DICA_SEM_ACESSO"]

ESPERA_DISJUNTOR = 60.0
DICA_SEM_ACESSO = "sem acesso à Receita Federal: use --registro local (veja o README)"
AVISO_OFFLINE = "Receita Federal não consultada (modo offline)"
# Headers with which a `registro servir` server says what it holds.
CABECALHO_PUBLICACAO = "x-registro-publicacao"
CABECALHO_COMPLETO = "x-registro-completo"

_BRASIL = re.compile(r"/api/cnpj/v1/([^/?#]*)/?$")
_RECEITA = re.compile(r"/v1/cnpj/([^/?#]*)(?:/days/\d+)?/?$")
_BUSCA = re.compile(r"/v2/public/cnpj/search/?$")


# -- reaching hosts ------------------------------------------------------------------


# Each kind of connection-level failure, as the warning names it.
FALHAS = {
    "proxy_inacessivel": "o proxy (HTTPS_PROXY/HTTP_PROXY) recusou a conexão ou está fora de alcance",
    "proxy_autenticacao": "o proxy exige autenticação (407): confira usuário e senha em HTTPS_PROXY",
    "proxy_erro": "o proxy respondeu com erro (5xx) em vez de conectar",
    "dns": "o nome do servidor não foi encontrado (DNS)",
    "tls": "o certificado apresentado não é confiável (TLS): um proxy que intercepta as conexões?",
    "recusada": "a conexão foi recusada ou o servidor está fora de alcance",
    "tempo_conexao": "o servidor não respondeu ao pedido de conexão (tempo esgotado)",
}

# The status a proxy answered with, as urllib3/http.client word it ("Tunnel connection failed: 407
# Proxy Authentication Required") or as the plain-HTTP path raises it ("407 Proxy ..."). Read only
# there: the rest of the message names the proxy's port, which may hold the same digits.
_STATUS_DO_PROXY = re.compile(r"(?:Tunnel connection failed: |^)([1-5]\d\d)\b")


def _cadeia(exc: BaseException) -> list[BaseException]:
    """``exc`` and every exception it wraps (reason, cause, context, arguments)."""
    vistos: list[BaseException] = []
    pendentes: list[Any] = [exc]
    while pendentes:
        e = pendentes.pop(0)
        if e is None or not isinstance(e, BaseException) or any(e is v for v in vistos):
            continue
        vistos.append(e)
        pendentes.extend([getattr(e, "reason", None), e.__cause__, e.__context__,
                          *(a for a in e.args if isinstance(a, BaseException))])
    return vistos


def tipo_de_falha(exc: BaseException) -> Optional[str]:
    """The kind of a failure to reach a host (a key of ``FALHAS``), or None (a slow answer, an error answer)."""
    import ssl

    import requests
    from urllib3 import exceptions as u3

    cadeia = _cadeia(exc)
    if any(isinstance(e, (u3.ReadTimeoutError, requests.exceptions.ReadTimeout)) for e in cadeia):
        return None
    proxy = [e for e in cadeia if isinstance(e, (u3.ProxyError, requests.exceptions.ProxyError))]
    if proxy:
        estados = {m.group(1) for e in cadeia for m in _STATUS_DO_PROXY.finditer(str(e))}
        if "407" in estados:
            return "proxy_autenticacao"
        if any(s.startswith("5") for s in estados):
            return "proxy_erro"
        return "proxy_inacessivel"
    if any(isinstance(e, (u3.SSLError, requests.exceptions.SSLError, ssl.SSLError, ssl.CertificateError))
           for e in cadeia):
        return "tls"
    if any(isinstance(e, (u3.NameResolutionError, socket_gaierror())) for e in cadeia):
        return "dns"
    for e in cadeia:
        if isinstance(e, u3.NewConnectionError) or (
                isinstance(e, OSError) and not isinstance(e, TimeoutError)
                and type(e).__module__ in ("builtins", "socket")):
            return "recusada"
    if any(isinstance(e, (u3.ConnectTimeoutError, requests.exceptions.ConnectTimeout)) for e in cadeia):
        return "tempo_conexao"
    return None


def socket_gaierror() -> type:
    import socket

    return socket.gaierror


def falha_de_conexao(exc: BaseException) -> bool:
    """A failure to reach the host at all (see ``tipo_de_falha``): asking again soon will not help."""
    return tipo_de_falha(exc) is not None


class Disjuntor:
    """Deixa de pedir a um servidor inalcançável por ``espera`` segundos.

    ``permitir(url)`` raises ``requests.ConnectionError`` at once while the
    host is blocked; ``falhou(url, exc)`` blocks it after a connection-level
    failure, ``conseguiu(url)`` notes an answer. Until a host has been
    probed (an answer, or a failure that is not a connection's), one request
    at a time probes it and the others wait for the outcome: a batch of lookups meeting a host out of reach costs one failed
    connection, not one per worker (nor a queue in the rate limiter).
    ``tentativas`` counts the requests let through per host.
    """

    def __init__(self, espera: float = ESPERA_DISJUNTOR, relogio: Callable[[], float] = time.monotonic):
        self.espera = espera
        self._relogio = relogio
        self._ate: dict[str, float] = {}
        self._cond = threading.Condition()
        self._respondeu: set[str] = set()   # hosts probed and not found out of reach
        self._sondando: set[str] = set()    # hosts a request is probing now
        self.tentativas: dict[str, int] = {}
        self.falhas: dict[str, int] = {}
        self.tipos: dict[str, str] = {}  # the kind of each host's last failure (a key of FALHAS)
        self._ultima_falha: Optional[float] = None

    @staticmethod
    def _host(url: str) -> str:
        return urlsplit(url).netloc.lower()

    def permitir(self, url: str) -> None:
        import requests

        host = self._host(url)
        with self._cond:
            while True:
                ate = self._ate.get(host)
                if ate is not None and self._relogio() < ate:
                    raise requests.exceptions.ConnectionError(
                        f"sem acesso a {host}: falhou há menos de {self.espera:.0f} s; não tentado de novo")
                if host in self._respondeu or host not in self._sondando:
                    break
                self._cond.wait(1.0)
            if host not in self._respondeu:
                self._sondando.add(host)
            self.tentativas[host] = self.tentativas.get(host, 0) + 1

    def conseguiu(self, url: str) -> None:
        host = self._host(url)
        with self._cond:
            self._respondeu.add(host)
            self._sondando.discard(host)
            self._cond.notify_all()

    def falhou(self, url: str, exc: BaseException) -> None:
        host = self._host(url)
        tipo = tipo_de_falha(exc)
        with self._cond:
            self._sondando.discard(host)
            if tipo is not None:
                self._ultima_falha = self._relogio()
                self._ate[host] = self._ultima_falha + self.espera
                self.falhas[host] = self.falhas.get(host, 0) + 1
                self.tipos[host] = tipo
                self._respondeu.discard(host)
            else:
                # A time-out or an error answer: the host is there, or may be; the
                # requests go on side by side (each with its own retries).
                self._respondeu.add(host)
            self._cond.notify_all()
        if tipo is not None:
            import logging

            logging.getLogger("scrivane_contract.registro").warning(
                "sem acesso a %s: %s; não consultado de novo por %.0f s", host, FALHAS[tipo], self.espera)

    def houve_falha(self) -> bool:
        """Algum servidor não pôde ser alcançado há pouco (dentro de ``espera`` segundos)."""
        with self._cond:
            return self._ultima_falha is not None and self._relogio() - self._ultima_falha < self.espera

    def reiniciar(self) -> None:
        with self._cond:
            self._ate.clear()
            self._respondeu.clear()
            self._sondando.clear()
            self.tentativas.clear()
            self.falhas.clear()
            self.tipos.clear()
            self._ultima_falha = None
            self._cond.notify_all()

    def pedir(self, url: str, fazer: Callable[[], Any]) -> Any:
        """``fazer()`` under the breaker: refused at once while the host is blocked."""
        self.permitir(url)
        try:
            resposta = fazer()
        except BaseException as exc:
            self.falhou(url, exc)
            raise
        if getattr(resposta, "status_code", None) == 407:
            # A proxy in the way asks for credentials (plain HTTP through it): no lookup will pass.
            import requests

            erro = requests.exceptions.ProxyError("407 Proxy Authentication Required")
            self.falhou(url, erro)
            raise erro
        self.conseguiu(url)
        return resposta


# The run's breaker: the polite session's adapters and ConsultasRegistro share it.
DISJUNTOR = Disjuntor()


def sem_acesso() -> bool:
    """A Receita Federal está fora de alcance: uma consulta recente não alcançou o servidor (rede
    fora, DNS, conexão recusada), ou o modo offline sem registro local."""
    if DISJUNTOR.houve_falha():
        return True
    from scrivane_contract import cnpj

    cliente = getattr(cnpj, "requests", None)
    return isinstance(cliente, ConsultasRegistro) and cliente.offline and cliente.local is None


# -- provenance ----------------------------------------------------------------------


class _Procedencias:
    """Where the last answer for each CNPJ came from, and when (bounded, thread-safe)."""

    def __init__(self, limite: int = 20000):
        self._dados: "OrderedDict[str, tuple[float, dict]]" = OrderedDict()
        self._trava = threading.Lock()
        self._limite = limite

    def registrar(self, cnpj14: str, registro: dict) -> None:
        with self._trava:
            self._dados[cnpj14] = (time.monotonic(), registro)
            self._dados.move_to_end(cnpj14)
            while len(self._dados) > self._limite:
                self._dados.popitem(last=False)

    def de(self, cnpj14: str, desde: Optional[float] = None) -> Optional[dict]:
        with self._trava:
            item = self._dados.get(cnpj14)
        if item is None or (desde is not None and item[0] < desde):
            return None
        return dict(item[1])


_PROCEDENCIAS = _Procedencias()


def _limpo(cnpj: str) -> str:
    return re.sub(r"[\s./-]", "", cnpj or "").upper()


def procedencia(cnpj: str, desde: Optional[float] = None) -> Optional[dict]:
    """De onde veio o último registro deste CNPJ nesta execução, ou None.

    Com ``desde`` (um instante de ``time.monotonic()``), só vale um registro obtido
    a partir dele: o de uma consulta anterior, talvez feita a outro registro, não conta.

    Chaves: ``servico`` (BrasilAPI ou ReceitaWS: o formato da resposta), ``origem``
    ("registro_local", "servidor" ou "online"), ``descricao`` (o texto para o
    usuário, como "Registro local (publicação 2026-11)"), ``publicacao`` e
    ``completo`` (registro local), ``consultado_em`` (consulta online, ISO 8601 UTC)
    e ``cache`` (resposta do cache HTTP).
    """
    return _PROCEDENCIAS.de(_limpo(cnpj), desde)


def registrar_procedencia(cnpj: str, registro: dict) -> None:
    _PROCEDENCIAS.registrar(_limpo(cnpj), registro)


def _agora() -> _dt.datetime:
    return _dt.datetime.now(_dt.timezone.utc)


def descricao_online(servico: str, quando: _dt.datetime, cache: bool) -> str:
    texto = f"{servico}, consulta em {quando.astimezone(_dt.timezone.utc):%Y-%m-%d %H:%M} UTC"
    return texto + " (cache)" if cache else texto


# -- the client ----------------------------------------------------------------------


class _Resposta503:
    """A local "no answer": the cnpj module reads it as a registry out of reach."""

    status_code = 503

    def __init__(self, url: str, mensagem: str):
        self.url = url
        self.headers = {"Content-Type": "application/json; charset=utf-8"}
        self._corpo = {"message": mensagem}
        self.ok = False
        self.from_cache = False

    def json(self, **kw: Any) -> Any:
        return dict(self._corpo)

    @property
    def text(self) -> str:
        import json

        return json.dumps(self._corpo, ensure_ascii=False)

    def raise_for_status(self) -> None:
        import requests

        raise requests.HTTPError(f"503 para {self.url}", response=self)


def _servico(url: str) -> Optional[tuple[str, str]]:
    """("BrasilAPI" | "ReceitaWS", cnpj) of a lookup URL, else None."""
    caminho = urlsplit(url).path
    if m := _BRASIL.search(caminho):
        return "BrasilAPI", m.group(1)
    if m := _RECEITA.search(caminho):
        return "ReceitaWS", m.group(1)
    return None


def _json(resposta: Any) -> Any:
    try:
        return resposta.json()
    except Exception:
        return None


def _ausente(resposta: Any, url: str) -> bool:
    """The local registry's "not here": BrasilAPI 404, ReceitaWS "ERROR", a search with no hit."""
    caminho = urlsplit(url).path
    status = getattr(resposta, "status_code", None)
    if _BRASIL.search(caminho):
        return status == 404
    if _RECEITA.search(caminho):
        corpo = _json(resposta) if status == 200 else None
        return isinstance(corpo, dict) and corpo.get("status") == "ERROR"
    if _BUSCA.search(caminho) and status == 200:
        corpo = _json(resposta)
        dados = corpo.get("data") if isinstance(corpo, dict) else None
        return isinstance(dados, dict) and not dados.get("count")
    return False


class RequisicoesServidor:
    """``get``/``post`` a um servidor ``registro servir``: o caminho de cada URL, na base dada."""

    def __init__(self, base: str, http: Any = None):
        self.base = base.rstrip("/")
        self._http = http

    def _cliente(self) -> Any:
        if self._http is not None:
            return self._http
        import requests

        return requests

    def _url(self, url: str) -> str:
        partes = urlsplit(url)
        return self.base + partes.path + (f"?{partes.query}" if partes.query else "")

    def get(self, url: str, params: Any = None, **kw: Any) -> Any:
        alvo = self._url(url)
        return DISJUNTOR.pedir(alvo, lambda: self._cliente().get(alvo, params=params, **kw))

    def post(self, url: str, data: Any = None, json: Any = None, **kw: Any) -> Any:
        alvo = self._url(url)
        return DISJUNTOR.pedir(alvo, lambda: self._cliente().post(alvo, data=data, json=json, **kw))


class ConsultasRegistro:
    """O ``requests`` do módulo ``cnpj``: registro local primeiro, depois os serviços públicos.

    ``local``: o que responde pelo registro local (``RequisicoesLocais`` ou
    ``RequisicoesServidor``), ou None. ``online``: o cliente dos serviços públicos
    (``requests`` ou uma sessão), ou None para nunca sair da máquina (offline).
    ``publicacao`` e ``completo`` descrevem o registro local.
    """

    def __init__(self, local: Any = None, online: Any = None, *, publicacao: Optional[str] = None,
                 completo: Optional[bool] = None, descricao_local: Optional[str] = None,
                 disjuntor: Optional[Disjuntor] = None):
        self.local = local
        self.online = online
        self.publicacao = publicacao
        self.completo = completo
        self.descricao_local = descricao_local
        self.disjuntor = disjuntor or DISJUNTOR
        self._trava = threading.Lock()
        self._servidor_local = False  # the server said it is a local registry (its headers)

    @property
    def offline(self) -> bool:
        return self.online is None

    @property
    def aviso_indisponivel(self) -> Optional[str]:
        """The progress line of a company left without registry data (None: the plain one).

        Offline, nothing was asked of the Receita Federal: it was not "unavailable"."""
        return AVISO_OFFLINE if self.offline else None

    @property
    def motivo_indisponivel(self) -> Optional[str]:
        """Why a lookup went unanswered, for the checker's message (None: the plain one)."""
        if self.local is None or (isinstance(self.local, RequisicoesServidor) and not self._servidor_local):
            return None
        from .consulta import motivo_ausente

        return motivo_ausente(self.publicacao)

    # -- requests ------------------------------------------------------------------
    def get(self, url: str, params: Any = None, **kw: Any) -> Any:
        return self._pedir("get", url, params, kw)

    def post(self, url: str, data: Any = None, json: Any = None, **kw: Any) -> Any:
        return self._pedir("post", url, None, {"data": data, "json": json, **kw})

    def _pedir(self, metodo: str, url: str, params: Any, kw: dict) -> Any:
        if self.local is not None:
            resposta = self._local(metodo, url, params, kw)
            if not self._ausente_local(resposta, url):
                self._anotar(url, resposta, local=True)
                return resposta
            # A name search of active companies: the registry may hold the company in
            # another situation, which is then the answer when the services have none.
            outra = self._qualquer_situacao(metodo, url, params, kw)
            if outra is not None and self._ausente_local(outra, url):
                outra = None
            if self.online is None:
                return outra if outra is not None else _Resposta503(url, self.motivo_indisponivel or "")
            if outra is not None:
                try:
                    resposta = self._online(metodo, url, params, kw)
                except Exception:
                    return outra
                if getattr(resposta, "status_code", None) != 200 or _ausente(resposta, url):
                    return outra
                return resposta
        elif self.online is None:
            import requests

            raise requests.exceptions.ConnectionError("modo offline: a Receita Federal não é consultada")
        resposta = self._online(metodo, url, params, kw)
        self._anotar(url, resposta, local=False)
        return resposta

    def _local(self, metodo: str, url: str, params: Any, kw: dict) -> Any:
        if metodo == "get":
            return self.local.get(url, params, **kw)
        return self.local.post(url, **kw)

    def _qualquer_situacao(self, metodo: str, url: str, params: Any, kw: dict) -> Any:
        """A name search of active companies that the local registry could not answer, asked
        again of it in every situation: a company it holds (closed, unfit...) is what was
        found, never an absent one.  None when the request had no such filter."""
        corpo = kw.get("json")
        if metodo != "post" or not _BUSCA.search(urlsplit(url).path) or not isinstance(corpo, dict):
            return None
        consulta = corpo.get("query")
        if not isinstance(consulta, dict) or not consulta.get("situacao_cadastral"):
            return None
        consulta = {k: v for k, v in consulta.items() if k != "situacao_cadastral"}
        return self._local(metodo, url, params, {**kw, "json": {**corpo, "query": consulta}})

    def _ausente_local(self, resposta: Any, url: str) -> bool:
        if not _ausente(resposta, url):
            return False
        if isinstance(self.local, RequisicoesServidor):
            # Only a server that says it is a local registry: another answers as the service would.
            cabecalhos = {str(k).lower(): v for k, v in (getattr(resposta, "headers", None) or {}).items()}
            if CABECALHO_PUBLICACAO not in cabecalhos:
                return False
            self._servidor_local = True
            self.publicacao = cabecalhos[CABECALHO_PUBLICACAO] or self.publicacao
        return True

    def _cliente_online(self) -> Any:
        # `online` may be a factory, called on the first lookup that needs it.
        with self._trava:
            if callable(self.online) and not hasattr(self.online, "get"):
                self.online = self.online()
            return self.online

    def _online(self, metodo: str, url: str, params: Any, kw: dict) -> Any:
        import requests

        self._cliente_online()

        def fazer() -> Any:
            if metodo == "get":
                return self.online.get(url, params=params, **kw)
            return self.online.post(url, **kw)

        # A session of ours carries the breaker in its adapters (below its cache).
        if isinstance(self.online, requests.Session):
            return fazer()
        return self.disjuntor.pedir(url, fazer)

    # -- provenance ----------------------------------------------------------------
    def _anotar(self, url: str, resposta: Any, *, local: bool) -> None:
        alvo = _servico(url)
        if alvo is None or getattr(resposta, "status_code", None) != 200:
            return
        servico, numero = alvo
        if servico == "ReceitaWS":
            corpo = _json(resposta)
            if not isinstance(corpo, dict) or corpo.get("status") == "ERROR":
                return
        if local:
            registro = {"servico": servico, "origem": "registro_local", "descricao": self.descricao_local,
                        "publicacao": self.publicacao, "completo": self.completo, "consultado_em": None,
                        "cache": False}
            if isinstance(self.local, RequisicoesServidor):
                cab = {str(k).lower(): v for k, v in (getattr(resposta, "headers", None) or {}).items()}
                publicacao = cab.get(CABECALHO_PUBLICACAO)
                completo = cab.get(CABECALHO_COMPLETO)
                registro.update(origem="servidor", publicacao=publicacao,
                                completo=None if completo is None else completo == "1",
                                descricao=f"Registro em {self.local.base}"
                                + (f" (publicação {publicacao})" if publicacao else ""))
        else:
            cache = bool(getattr(resposta, "from_cache", False))
            quando = getattr(resposta, "created_at", None) if cache else None
            if not isinstance(quando, _dt.datetime):
                quando = _agora()
            elif quando.tzinfo is None:
                quando = quando.replace(tzinfo=_dt.timezone.utc)
            registro = {"servico": servico, "origem": "online", "descricao": descricao_online(servico, quando, cache),
                        "publicacao": None, "completo": None,
                        "consultado_em": quando.astimezone(_dt.timezone.utc).isoformat(timespec="seconds"),
                        "cache": cache}
        registrar_procedencia(numero, registro)
