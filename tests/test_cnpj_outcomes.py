"""The detailed lookups, over real HTTP against the local registry server: how
each lookup ended ("encontrado", "invalido", "nao_encontrado", "indisponivel"),
and that the plain functions give the same record after the same requests."""

import pytest

from registry_server import Reply, empresa_exemplo, registry  # noqa: F401  (fixture)
from scrivane_contract import cnpj

CNPJ = "11222333000181"
INVALIDO = Reply.json({"status": "ERROR", "message": "CNPJ inválido"})
REJEITADO = Reply.json({"status": "ERROR", "message": "CNPJ rejeitado pela Receita Federal"})
HTML = Reply.text("<html><body>502 Bad Gateway</body></html>")


def routes(server):
    return [r.route for r in server.requests]


def same_as_plain(server, plain, detailed, *args):
    """Runs the plain function, then the detailed one; both must send the same requests and agree."""
    rec = plain(*args)
    sent = routes(server)
    server.requests.clear()
    got, status = detailed(*args)
    assert routes(server) == sent
    assert got == rec
    return got, status, sent


@pytest.fixture
def acme(registry):
    registry.add_company(*empresa_exemplo(CNPJ))
    return registry


class TestLookupByCnpj:
    @pytest.mark.parametrize("brasil, receita, status, sent", [
        (None, None, "encontrado", ["brasilapi"]),
        (Reply.error(404), None, "encontrado", ["brasilapi", "receitaws"]),
        (Reply.error(429), None, "encontrado", ["brasilapi", "receitaws"]),
        (Reply.error(404), INVALIDO, "nao_encontrado", ["brasilapi", "receitaws"]),
        (Reply.error(404), REJEITADO, "nao_encontrado", ["brasilapi", "receitaws"]),
        (Reply.error(429), Reply.error(429), "indisponivel", ["brasilapi", "receitaws"]),
        (Reply.error(500), INVALIDO, "indisponivel", ["brasilapi", "receitaws"]),
        (Reply.error(404), Reply.error(503), "indisponivel", ["brasilapi", "receitaws"]),
        (HTML, INVALIDO, "indisponivel", ["brasilapi", "receitaws"]),
        (Reply.error(404), HTML, "indisponivel", ["brasilapi", "receitaws"]),
        (Reply.error(404), Reply.json({"status": "ERROR", "message": "Timeout"}), "indisponivel",
         ["brasilapi", "receitaws"]),
        (Reply.json({"qsa": None}), Reply.json([1]), "indisponivel", ["brasilapi", "receitaws"]),
        (Reply.error(404), Reply.error(404), "indisponivel", ["brasilapi", "receitaws"]),
    ], ids=["brasilapi", "receitaws", "receitaws-after-429", "unknown", "rejected", "429", "500-then-unknown",
            "404-then-503", "html-then-unknown", "404-then-html", "receitaws-timeout-message", "bad-shapes",
            "receitaws-404"])
    def test_outcome(self, acme, brasil, receita, status, sent):
        if brasil:
            acme.reply("brasilapi", brasil)
        if receita:
            acme.reply("receitaws", receita)
        rec, got, requests_sent = same_as_plain(acme, cnpj.consultar_cnpj, cnpj.consultar_cnpj_detalhado, CNPJ)
        assert (got, requests_sent) == (status, sent)
        assert (rec is not None) == (status == "encontrado")

    def test_unknown_number_of_the_fixture_server(self, registry):
        assert cnpj.consultar_cnpj_detalhado("11.444.777/0001-61") == (None, "nao_encontrado")

    @pytest.mark.parametrize("numero", ["12.345.678/0001-9", "", "abc"])
    def test_invalid_number_sends_nothing(self, registry, numero):
        assert cnpj.consultar_cnpj_detalhado(numero) == (None, "invalido")
        assert registry.requests == []

    def test_time_out_and_refused_connection(self, monkeypatch, acme):
        monkeypatch.setattr(cnpj, "REQUEST_TIMEOUT", 0.3)
        acme.reply("brasilapi", Reply.late(3))
        acme.reply("receitaws", INVALIDO)
        assert cnpj.consultar_cnpj_detalhado(CNPJ) == (None, "indisponivel")
        acme.stop()
        assert cnpj.consultar_cnpj_detalhado(CNPJ) == (None, "indisponivel")

    def test_a_replaced_adapter_giving_none_is_a_definite_answer(self, monkeypatch, acme):
        monkeypatch.setattr(cnpj, "_consultar_brasil_api", lambda c: None)
        acme.reply("receitaws", Reply.error(429))
        assert cnpj.consultar_cnpj_detalhado(CNPJ) == (None, "indisponivel")
        assert routes(acme) == ["receitaws"]
        monkeypatch.setattr(cnpj, "_consultar_receita_ws", lambda c: None)
        assert cnpj.consultar_cnpj_detalhado(CNPJ) == (None, "nao_encontrado")
        monkeypatch.setattr(cnpj, "_consultar_receita_ws", lambda c: {"x": c})
        assert cnpj.consultar_cnpj_detalhado(CNPJ) == ({"x": CNPJ}, "encontrado")

    def test_signature_and_refusals(self):
        f = cnpj.consultar_cnpj_detalhado
        assert f.__annotations__ == {"cnpj": "str", "return": "Tuple[Optional[Dict], str]"}
        assert "indisponivel" in f.__doc__ and f.__module__ == "scrivane_contract.cnpj"
        with pytest.raises(TypeError, match=r"^Argument 'cnpj' has incorrect type \(expected str, got int\)$"):
            f(11222333000181)


def hits(*numeros, count=None):
    return Reply.json({"data": {"count": len(numeros) if count is None else count,
                                "cnpj": [{"cnpj": n} for n in numeros]}})


class TestSearchByName:
    @pytest.mark.parametrize("search, brasil, receita, status, sent", [
        (None, None, None, "encontrado", ["casadosdados", "brasilapi"]),
        (hits(), None, None, "nao_encontrado", ["casadosdados"]),
        (hits(CNPJ, count=0), None, None, "nao_encontrado", ["casadosdados"]),
        (hits(""), None, None, "nao_encontrado", ["casadosdados"]),
        (hits("11444777000161"), None, None, "nao_encontrado", ["casadosdados", "brasilapi", "receitaws"]),
        (hits("123"), None, None, "nao_encontrado", ["casadosdados"]),
        (None, Reply.error(429), Reply.error(429), "indisponivel", ["casadosdados", "brasilapi", "receitaws"]),
        (Reply.error(429), None, None, "indisponivel", ["casadosdados"]),
        (Reply.error(500), None, None, "indisponivel", ["casadosdados"]),
        (HTML, None, None, "indisponivel", ["casadosdados"]),
        (Reply.json({"data": {"count": "muitos"}}), None, None, "indisponivel", ["casadosdados"]),
        (hits(11222333000181), None, None, "indisponivel", ["casadosdados"]),
    ], ids=["found", "no-hits", "count-0", "hit-without-number", "hit-unknown", "hit-invalid", "hit-unreachable",
            "429", "500", "html", "bad-count", "number-not-text"])
    def test_outcome(self, acme, search, brasil, receita, status, sent):
        for route, reply in (("casadosdados", search), ("brasilapi", brasil), ("receitaws", receita)):
            if reply:
                acme.reply(route, reply)
        rec, got, requests_sent = same_as_plain(acme, cnpj.buscar_cnpj_por_nome,
                                                cnpj.buscar_cnpj_por_nome_detalhado, "ACME", "SP")
        assert (got, requests_sent) == (status, sent)
        if status == "encontrado":
            assert rec["busca_por_nome"] is True and rec["termo_busca"] == "ACME"

    def test_short_name_sends_nothing(self, registry):
        assert cnpj.buscar_cnpj_por_nome_detalhado("AB") == (None, "invalido")
        assert registry.requests == []

    def test_a_replaced_lookup_giving_none_is_a_definite_answer(self, monkeypatch, acme):
        acme.reply("brasilapi", Reply.error(429))
        acme.reply("receitaws", Reply.error(429))
        assert cnpj.buscar_cnpj_por_nome_detalhado(nome_empresa="ACME") == (None, "indisponivel")
        monkeypatch.setattr(cnpj, "consultar_cnpj", lambda n: None)
        assert cnpj.buscar_cnpj_por_nome_detalhado("ACME") == (None, "nao_encontrado")
        monkeypatch.setattr(cnpj, "consultar_cnpj", lambda n: {"n": n})
        assert cnpj.buscar_cnpj_por_nome_detalhado("ACME") == (
            {"n": CNPJ, "busca_por_nome": True, "termo_busca": "ACME"}, "encontrado")
