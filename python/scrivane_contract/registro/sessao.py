"""Cliente cortês para os serviços públicos: cache, limites por serviço e novas tentativas.

``usar_sessao_resiliente()`` gives the ``cnpj`` module (through its
``requests`` name) a session that

- keeps answers in a persistent HTTP cache (requests-cache, SQLite), 24 h
  unless the service's ``Cache-Control`` says otherwise, and serves the stale
  copy when the service errs;
- keeps to a rate per service (requests-ratelimiter): ReceitaWS 3 a minute,
  configurable; cache hits use no quota, since the cache answers first;
- retries 429 and 503, waiting what ``Retry-After`` asks, within a bounded
  total wait;
- names the package and its version in its User-Agent.

Without it the module keeps its plain behaviour: one or two fresh requests
per lookup.
"""

from __future__ import annotations

import datetime as _dt
import os
import time
from pathlib import Path
from typing import Optional
from urllib.parse import urlsplit

import requests
from urllib3.exceptions import MaxRetryError, ResponseError
from urllib3.util.retry import Retry

__all__ = ["usar_sessao_resiliente", "criar_sessao_resiliente", "cache_padrao", "LIMITES_PADRAO", "user_agent"]

# Requests per minute for each service (by the name of its URL constant).
LIMITES_PADRAO = {"BRASIL_API_URL": 60.0, "RECEITA_WS_URL": 3.0, "CASADOSDADOS_API": 30.0}
EXPIRACAO = _dt.timedelta(hours=24)


def cache_padrao() -> Path:
    """O arquivo do cache HTTP: $XDG_CACHE_HOME/scrivane-contract/http.sqlite."""
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "scrivane-contract" / "http.sqlite"


def user_agent() -> str:
    from scrivane_contract import __version__

    return f"scrivane-contract/{__version__} (+https://pypi.org/project/scrivane-contract/) requests/{requests.__version__}"


class _Retry(Retry):
    """Retry that honours Retry-After but never waits more than ``espera_maxima`` in all."""

    def __init__(self, *args, espera_maxima: float = 30.0, gasto: float = 0.0, proxima: float = 0.0, **kw):
        super().__init__(*args, **kw)
        self.espera_maxima = espera_maxima
        self.gasto = gasto
        self.proxima = proxima

    def new(self, **kw):
        kw.setdefault("espera_maxima", self.espera_maxima)
        kw.setdefault("gasto", self.gasto)
        kw.setdefault("proxima", self.proxima)
        return super().new(**kw)

    def increment(self, method=None, url=None, response=None, error=None, _pool=None, _stacktrace=None):
        if error is not None:
            from .consultas import tipo_de_falha

            if tipo_de_falha(error) is not None:
                # The host (or the proxy before it) could not be reached at all: asking again in a
                # second will not help, and the breaker above stops the next lookups; a slow
                # answer (read time-out) keeps its retries.
                raise MaxRetryError(_pool, url, error)
        nova = super().increment(method, url, response, error, _pool, _stacktrace)
        espera = None
        if response is not None and self.respect_retry_after_header:
            espera = self.get_retry_after(response)
        if espera is None:
            espera = nova.get_backoff_time()
        if self.gasto + espera > self.espera_maxima:
            # Waiting that long would break the bound: give the caller the answer now.
            raise MaxRetryError(_pool, url, ResponseError(f"espera de {espera:.0f} s acima do limite"))
        nova.gasto = self.gasto + espera
        nova.proxima = espera
        return nova

    def sleep(self, response=None):
        if self.proxima > 0:
            time.sleep(self.proxima)


class _ComDisjuntor:
    """Adapter mix-in: a host that could not be reached is not asked again for a while.

    It sits below the HTTP cache, so a cached answer is still served while the
    host is blocked.
    """

    def send(self, request, *args, **kwargs):
        from .consultas import DISJUNTOR

        return DISJUNTOR.pedir(request.url, lambda: super(_ComDisjuntor, self).send(request, *args, **kwargs))


class _Adaptador(_ComDisjuntor, requests.adapters.HTTPAdapter):
    pass


def _so_respostas_boas(resposta: requests.Response) -> bool:
    """Only real answers are kept: not a ReceitaWS ``{"status": "ERROR"}``."""
    if resposta.status_code != 200:
        return False
    try:
        corpo = resposta.json()
    except ValueError:
        return False
    return not (isinstance(corpo, dict) and corpo.get("status") == "ERROR")


def _prefixo(template: str) -> str:
    """The URL prefix of a service, from its constant (the part before ``{cnpj}``)."""
    base = template.split("{", 1)[0]
    partes = urlsplit(base)
    return f"{partes.scheme}://{partes.netloc}{partes.path}"


def criar_sessao_resiliente(cache: Optional[str | os.PathLike] = None, *, sem_cache: bool = False,
                            limites: Optional[dict] = None, espera_maxima: float = 60.0, tentativas: int = 3,
                            urls: Optional[dict] = None) -> requests.Session:
    """Monta a sessão (sem instalá-la). ``limites``: pedidos por minuto por serviço
    (chaves ``BRASIL_API_URL``, ``RECEITA_WS_URL``, ``CASADOSDADOS_API``)."""
    from requests_ratelimiter import LimiterAdapter

    class _AdaptadorLimitado(_ComDisjuntor, LimiterAdapter):
        pass

    if sem_cache:
        sessao = requests.Session()
    else:
        from requests_cache import CachedSession

        caminho = Path(cache) if cache is not None else cache_padrao()
        caminho.parent.mkdir(parents=True, exist_ok=True)
        sessao = CachedSession(
            str(caminho), backend="sqlite", expire_after=EXPIRACAO, cache_control=True, stale_if_error=True,
            allowable_methods=("GET", "POST"), allowable_codes=(200,), filter_fn=_so_respostas_boas,
        )
    sessao.headers["User-Agent"] = user_agent()
    retry = _Retry(total=tentativas, connect=tentativas, read=0, status=tentativas,
                   status_forcelist=(429, 503), allowed_methods=frozenset({"GET", "POST"}),
                   respect_retry_after_header=True, backoff_factor=1.0, raise_on_status=False,
                   espera_maxima=espera_maxima)
    taxas = dict(LIMITES_PADRAO)
    taxas.update(limites or {})
    if urls is None:
        from scrivane_contract import cnpj

        urls = {nome: getattr(cnpj, nome) for nome in LIMITES_PADRAO}
    for nome, template in urls.items():
        por_minuto = taxas.get(nome)
        if not por_minuto:
            continue
        # Each service has its own bucket (a mounted adapter per URL prefix);
        # a 429 fills it, so the next request waits for the service's window.
        adaptador = _AdaptadorLimitado(per_minute=por_minuto, per_host=False, bucket_name=nome,
                                       max_delay=espera_maxima, max_retries=retry)
        sessao.mount(_prefixo(template), adaptador)
    padrao = _Adaptador(max_retries=retry)
    sessao.mount("https://", padrao)
    sessao.mount("http://", padrao)
    return sessao


def usar_sessao_resiliente(cache: Optional[str | os.PathLike] = None, *, sem_cache: bool = False,
                           limites: Optional[dict] = None, espera_maxima: float = 60.0,
                           tentativas: int = 3) -> requests.Session:
    """Instala o cliente cortês no módulo ``cnpj`` (que o lê em cada chamada) e o devolve.

    ``cache``: arquivo do cache HTTP (padrão: ``cache_padrao()``); ``sem_cache``: só limites e
    novas tentativas; ``limites``: pedidos por minuto por serviço; ``espera_maxima``: segundos
    de espera somados (Retry-After e limites) por pedido.
    """
    from scrivane_contract import cnpj

    sessao = criar_sessao_resiliente(cache, sem_cache=sem_cache, limites=limites, espera_maxima=espera_maxima,
                                     tentativas=tentativas)
    cnpj.requests = sessao
    return sessao
