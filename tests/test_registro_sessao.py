"""The polite client against a local server that answers 429 with Retry-After, 503 and errors."""

from __future__ import annotations

import datetime as dt

import pytest
import requests

from registry_server import Reply, empresa_exemplo, registry  # noqa: F401  (fixture)
from scrivane_contract import cnpj
from scrivane_contract.registro import usar_sessao_resiliente

A, B, C = "11222333000181", "45997418000153", "60701190000104"


@pytest.fixture
def servicos(registry, monkeypatch):
    monkeypatch.setattr(cnpj, "requests", cnpj.requests)
    for c in (A, B, C):
        registry.add_company(*empresa_exemplo(c, f"EMPRESA {c} LTDA"))
    return registry


def test_without_it_the_module_sends_fresh_requests_every_time(servicos):
    assert cnpj.requests is requests
    cnpj.consultar_cnpj(A)
    cnpj.consultar_cnpj(A)
    assert len(servicos.requests_to("brasilapi")) == 2


def test_retry_after_and_503_are_retried_and_the_answer_cached(servicos, tmp_path):
    servicos.reply("brasilapi", Reply.error(429, headers={"Retry-After": "1"}),
                   Reply.error(503, headers={"Retry-After": "0"}), Reply.late(0))
    sessao = usar_sessao_resiliente(tmp_path / "cache.sqlite")
    assert cnpj.requests is sessao
    primeiro = cnpj.consultar_cnpj(A)
    assert primeiro["fonte"] == "BrasilAPI" and primeiro["razao_social"] == f"EMPRESA {A} LTDA"
    assert len(servicos.requests_to("brasilapi")) == 3
    assert servicos.requests_to("brasilapi")[0].header("User-Agent").startswith("scrivane-contract/0.1.0")
    assert cnpj.consultar_cnpj(A) == primeiro
    assert len(servicos.requests_to("brasilapi")) == 3
    # The cache is a file: a new session (a new command) starts with it.
    usar_sessao_resiliente(tmp_path / "cache.sqlite")
    assert cnpj.consultar_cnpj(A) == primeiro
    assert len(servicos.requests) == 3


def test_a_wait_beyond_the_bound_gives_up_at_once(servicos, tmp_path):
    servicos.reply("brasilapi", Reply.error(429, headers={"Retry-After": "3600"}))
    servicos.reply("receitaws", Reply.error(503, headers={"Retry-After": "3600"}))
    usar_sessao_resiliente(tmp_path / "cache.sqlite", espera_maxima=5)
    assert cnpj.consultar_cnpj(A) is None
    assert [r.route for r in servicos.requests] == ["brasilapi", "receitaws"]


def test_each_service_keeps_its_rate_and_cache_hits_use_no_quota(servicos, tmp_path):
    servicos.reply("brasilapi", Reply.error(404))
    usar_sessao_resiliente(tmp_path / "cache.sqlite", limites={"RECEITA_WS_URL": 2}, espera_maxima=0.5)
    resultados = [cnpj.consultar_cnpj(c) for c in (A, B, A, A, C)]
    assert [r and r["fonte"] for r in resultados] == ["ReceitaWS"] * 4 + [None]
    assert len(servicos.requests_to("receitaws")) == 2
    # BrasilAPI's blanket 404s are never cached: it was asked every time, at its own rate.
    assert len(servicos.requests_to("brasilapi")) == 5


def test_a_stale_answer_is_served_when_the_service_errs(servicos, tmp_path):
    sessao = usar_sessao_resiliente(tmp_path / "cache.sqlite", tentativas=1, espera_maxima=1)
    fresco = cnpj.buscar_cnpj_por_nome(f"EMPRESA {B}", "SP")
    assert fresco["cnpj"] == "45.997.418/0001-53"
    sessao.cache.reset_expiration(dt.timedelta(seconds=-1))  # everything is now out of date
    servicos.reply("brasilapi", Reply.error(500))
    servicos.reply("casadosdados", Reply.text("<html>manutenção</html>", status=503))
    antes = len(servicos.requests)
    assert cnpj.buscar_cnpj_por_nome(f"EMPRESA {B}", "SP") == fresco
    assert {r.route for r in servicos.requests[antes:]} == {"brasilapi", "casadosdados"}
    # With --sem-cache there is nothing to fall back on.
    usar_sessao_resiliente(sem_cache=True, tentativas=1, espera_maxima=1)
    servicos.reply("receitaws", Reply.error(500))
    assert cnpj.buscar_cnpj_por_nome(f"EMPRESA {B}", "SP") is None
