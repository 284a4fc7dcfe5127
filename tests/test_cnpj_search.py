"""Company search by name and the combined searches, over real HTTP against
the local registry server: the request body and headers, the answer
shapes, the marker keys, the AI step, and the names read at call time."""

import sys
import types

import pytest

from registry_server import Reply, empresa_exemplo, registry  # noqa: F401  (fixture)
from scrivane_contract import cnpj
from test_cnpj_lookup import RECORD_KEYS, Spy

CNPJ = "11222333000181"
OUTRO = "11444777000161"
EXTRAS = ["somente_mei", "excluir_mei", "com_email", "incluir_atividade_secundaria", "com_contato_telefonico",
          "somente_fixo", "somente_celular", "somente_matriz", "somente_filial"]


@pytest.fixture
def acme(registry):
    registry.add_company(*empresa_exemplo(CNPJ, "ACME COMERCIO DE TESTES LTDA", "SP"))
    return registry


def hits(*numeros, count=None):
    return Reply.json({"data": {"count": len(numeros) if count is None else count,
                                "cnpj": [{"cnpj": n} for n in numeros]}})


def routes(server):
    return [r.route for r in server.requests]


class TestSearchRequest:
    def test_body_key_order_and_headers(self, acme):
        cnpj.buscar_cnpj_por_nome("ACME", "RJ")
        (req,) = acme.requests_to("casadosdados")
        assert req.method == "POST" and req.path == "/v2/public/cnpj/search"
        body = req.json()
        assert list(body) == ["query", "range_query", "extras", "page"]
        assert list(body["query"]) == ["termo", "situacao_cadastral", "uf"]
        assert body["query"] == {"termo": ["ACME"], "situacao_cadastral": "ATIVA", "uf": ["RJ"]}
        assert body["range_query"] == {} and body["page"] == 1
        assert list(body["extras"]) == EXTRAS and set(body["extras"].values()) == {False}
        assert req.header("Content-Type") == "application/json" and req.header("Accept") == "application/json"

    @pytest.mark.parametrize("uf", ["", None])
    def test_no_state_filter_without_uf(self, acme, uf):
        cnpj.buscar_cnpj_por_nome("acme comercio", uf)
        assert acme.requests_to("casadosdados")[0].json()["query"] == {
            "termo": ["acme comercio"], "situacao_cadastral": "ATIVA"}

    def test_time_out_is_fifteen_seconds_of_its_own(self, monkeypatch, acme):
        spy = Spy()
        monkeypatch.setattr(cnpj, "requests", spy)
        monkeypatch.setattr(cnpj, "REQUEST_TIMEOUT", 2)
        cnpj.buscar_cnpj_por_nome("ACME")
        metodo, url, kwargs = spy.calls[0]
        assert (metodo, url) == ("post", acme.casadosdados_url)
        assert list(kwargs) == ["json", "headers", "timeout"] and kwargs["timeout"] == 15
        assert kwargs["headers"] == {"Content-Type": "application/json", "Accept": "application/json"}
        assert [c[2]["timeout"] for c in spy.calls[1:]] == [2]  # the lookup keeps REQUEST_TIMEOUT

    @pytest.mark.parametrize("nome, pede", [("AB", False), ("", False), ("ABC", True), ("Sé", False), ("Sãé", True)])
    def test_names_shorter_than_three_code_points_send_nothing(self, acme, nome, pede):
        cnpj.buscar_cnpj_por_nome(nome)
        assert bool(acme.requests) is pede


class TestSearchAnswers:
    def test_found_by_name(self, acme):
        rec = cnpj.buscar_cnpj_por_nome("acme comercio", "SP")
        assert list(rec) == RECORD_KEYS + ["busca_por_nome", "termo_busca"]
        assert rec["cnpj"] == "11.222.333/0001-81" and rec["fonte"] == "BrasilAPI"
        assert rec["busca_por_nome"] is True and rec["termo_busca"] == "acme comercio"
        assert routes(acme) == ["casadosdados", "brasilapi"]

    def test_the_term_is_kept_as_passed(self, acme):
        acme.reply("casadosdados", hits("11.222.333/0001-81"))
        assert cnpj.buscar_cnpj_por_nome("  Acme ltda ")["termo_busca"] == "  Acme ltda "

    @pytest.mark.parametrize("resposta", [
        hits(CNPJ, count=0), hits(CNPJ, count=-1), hits(count=3), Reply.json({}), Reply.json({"data": {}}),
        Reply.json({"data": {"count": "3", "cnpj": [{"cnpj": CNPJ}]}}), Reply.json({"data": {"count": 1, "cnpj": [CNPJ]}}),
        Reply.json({"data": {"count": 1, "cnpj": [{}]}}), Reply.json({"data": {"count": 1, "cnpj": [{"cnpj": ""}]}}),
        Reply.json({"data": {"count": 1, "cnpj": [{"cnpj": 11222333000181}]}}), Reply.json({"data": None}),
        Reply.json([1]), Reply.text("<html>"), Reply.error(429), Reply.error(500), Reply.error(404),
        hits("123"),
    ], ids=["count-0", "count-negative", "no-hits", "no-data", "empty-data", "count-text", "hit-not-object", "hit-without-cnpj",
            "empty-cnpj", "cnpj-number", "data-null", "list", "not-json", "429", "500", "404", "short-cnpj"])
    def test_unusable_answers_give_none(self, acme, resposta):
        acme.reply("casadosdados", resposta)
        assert cnpj.buscar_cnpj_por_nome("ACME") is None
        assert set(routes(acme)) == {"casadosdados"}

    def test_only_the_first_hit_is_tried(self, acme):
        acme.reply("casadosdados", hits(OUTRO, CNPJ))
        assert cnpj.buscar_cnpj_por_nome("ACME") is None
        assert [r.path for r in acme.requests[1:]] == ["/api/cnpj/v1/" + OUTRO, "/v1/cnpj/" + OUTRO]

    def test_unreachable_service_gives_none(self, acme):
        acme.stop()
        assert cnpj.buscar_cnpj_por_nome("ACME") is None

    def test_arguments(self, acme):
        with pytest.raises(TypeError, match=r"^Argument 'nome_empresa' has incorrect type \(expected str, got NoneType\)$"):
            cnpj.buscar_cnpj_por_nome(None)
        with pytest.raises(TypeError, match=r"^Argument 'uf' has incorrect type \(expected str, got int\)$"):
            cnpj.buscar_cnpj_por_nome("ACME", 35)
        assert cnpj.buscar_cnpj_por_nome(uf="SP", nome_empresa="ACME")["cnpj"] == "11.222.333/0001-81"
        assert acme.requests_to("casadosdados")[0].json()["query"]["uf"] == ["SP"]

    def test_lookup_goes_through_the_namespace(self, monkeypatch, acme):
        monkeypatch.setattr(cnpj, "consultar_cnpj", lambda c: {"visto": c})
        assert cnpj.buscar_cnpj_por_nome("ACME") == {"visto": CNPJ, "busca_por_nome": True, "termo_busca": "ACME"}
        monkeypatch.setattr(cnpj, "consultar_cnpj", lambda c: "não é um registro")
        assert cnpj.buscar_cnpj_por_nome("ACME") is None  # marking fails inside the guard


class TestBuscarEmpresa:
    def test_by_cnpj_first(self, acme):
        rec = cnpj.buscar_empresa("11.222.333/0001-81", "Outra")
        assert list(rec) == RECORD_KEYS
        assert routes(acme) == ["brasilapi"]

    @pytest.mark.parametrize("numero", ["123", OUTRO, "", None])
    def test_falls_through_to_the_name(self, acme, numero):
        rec = cnpj.buscar_empresa(numero, "ACME", "SP")
        assert rec["busca_por_nome"] is True and "casadosdados" in routes(acme)

    def test_nothing_to_search(self, acme):
        assert cnpj.buscar_empresa() is None and cnpj.buscar_empresa("", "") is None and cnpj.buscar_empresa("123") is None
        assert acme.requests == []

    def test_callees_are_read_from_the_namespace(self, monkeypatch, acme):
        vistos = []
        monkeypatch.setattr(cnpj, "limpar_cnpj", lambda c: vistos.append(("limpar", c)) or "L")
        monkeypatch.setattr(cnpj, "validar_cnpj", lambda c: vistos.append(("validar", c)) or True)
        monkeypatch.setattr(cnpj, "consultar_cnpj", lambda c: vistos.append(("consultar", c)))
        monkeypatch.setattr(cnpj, "buscar_cnpj_por_nome", lambda n, u: vistos.append(("nome", n, u)) or {"n": 1})
        assert cnpj.buscar_empresa("x", "ACME", "RJ") == {"n": 1}
        assert vistos == [("limpar", "x"), ("validar", "L"), ("consultar", "L"), ("nome", "ACME", "RJ")]
        assert acme.requests == []

    def test_argument_types(self):
        with pytest.raises(TypeError, match=r"^Argument 'nome' has incorrect type \(expected str, got int\)$"):
            cnpj.buscar_empresa(None, 1)
        with pytest.raises(TypeError, match=r"^Argument 'openai_api_key' has incorrect type"):
            cnpj.buscar_empresa_completo(openai_api_key=b"k")


@pytest.fixture
def ai(monkeypatch):
    """A stand-in for scrivane_contract.ai_search that records its calls."""
    mod = types.ModuleType("scrivane_contract.ai_search")
    mod.calls = []
    mod.answer = CNPJ

    def buscar_cnpj_via_ai(*args, **kwargs):
        mod.calls.append((args, kwargs))
        if isinstance(mod.answer, BaseException):
            raise mod.answer
        return mod.answer

    mod.buscar_cnpj_via_ai = buscar_cnpj_via_ai
    monkeypatch.setitem(sys.modules, "scrivane_contract.ai_search", mod)
    return mod


class TestBuscarEmpresaCompleto:
    def test_by_cnpj_never_searches_by_name(self, acme, ai):
        rec = cnpj.buscar_empresa_completo(CNPJ, "ACME", usar_ai_search=True, openai_api_key="k")
        assert rec["_metodo_busca"] == "cnpj_direto" and list(rec) == RECORD_KEYS + ["_metodo_busca"]
        assert routes(acme) == ["brasilapi"] and ai.calls == []

    def test_by_name(self, acme, ai):
        rec = cnpj.buscar_empresa_completo("123", "ACME", "SP", True, "k")
        assert list(rec)[-3:] == ["busca_por_nome", "termo_busca", "_metodo_busca"]
        assert rec["_metodo_busca"] == "api_nome" and ai.calls == []

    def test_by_ai_when_the_name_search_fails(self, acme, ai):
        acme.reply("casadosdados", hits(count=0))
        rec = cnpj.buscar_empresa_completo(None, "Acme S.A.", "SP", usar_ai_search=True, openai_api_key="sk-x")
        assert ai.calls == [(("Acme S.A.", "sk-x"), {})]  # uf is not passed
        assert rec["_metodo_busca"] == "ai_web_search" and rec["_cnpj_buscado_por_ai"] is True
        assert list(rec) == RECORD_KEYS + ["_metodo_busca", "_cnpj_buscado_por_ai"]

    @pytest.mark.parametrize("usar, chave", [(False, "k"), (True, None), (True, ""), (0, "k"), ([], "k")])
    def test_ai_step_needs_the_flag_and_a_key(self, acme, ai, usar, chave):
        acme.reply("casadosdados", hits(count=0))
        assert cnpj.buscar_empresa_completo(None, "ACME", None, usar, chave) is None
        assert ai.calls == []

    def test_flag_takes_any_truth_value(self, acme, ai):
        acme.reply("casadosdados", hits(count=0))
        assert cnpj.buscar_empresa_completo(nome="ACME", usar_ai_search=[1], openai_api_key="k") is not None

    def test_no_ai_without_a_name(self, acme, ai):
        assert cnpj.buscar_empresa_completo(OUTRO, None, None, True, "k") is None
        assert cnpj.buscar_empresa_completo(OUTRO, "", None, True, "k") is None
        assert ai.calls == []

    @pytest.mark.parametrize("resposta", ["", None, OUTRO, ImportError("sem openai"), ModuleNotFoundError("x")])
    def test_ai_finding_nothing_gives_none(self, acme, ai, resposta):
        acme.reply("casadosdados", hits(count=0))
        ai.answer = resposta
        assert cnpj.buscar_empresa_completo(None, "ACME", None, True, "k") is None

    @pytest.mark.parametrize("resposta, erro", [(RuntimeError("falhou"), RuntimeError), (12345, TypeError)])
    def test_other_errors_of_the_ai_step_reach_the_caller(self, acme, ai, resposta, erro):
        acme.reply("casadosdados", hits(count=0))
        ai.answer = resposta
        with pytest.raises(erro):
            cnpj.buscar_empresa_completo(None, "ACME", None, True, "k")

    def test_missing_component_gives_none(self, monkeypatch, acme):
        acme.reply("casadosdados", hits(count=0))
        monkeypatch.setitem(sys.modules, "scrivane_contract.ai_search", None)
        assert cnpj.buscar_empresa_completo(None, "ACME", None, True, "k") is None
        monkeypatch.setitem(sys.modules, "scrivane_contract.ai_search", types.ModuleType("vazio"))
        assert cnpj.buscar_empresa_completo(None, "ACME", None, True, "k") is None

    def test_component_is_loaded_each_time(self, monkeypatch, acme, ai):
        acme.reply("casadosdados", hits(count=0))
        assert cnpj.buscar_empresa_completo(None, "ACME", None, True, "k")["_metodo_busca"] == "ai_web_search"
        outro = types.ModuleType("scrivane_contract.ai_search")
        outro.buscar_cnpj_via_ai = lambda nome, chave: None
        monkeypatch.setitem(sys.modules, "scrivane_contract.ai_search", outro)
        assert cnpj.buscar_empresa_completo(None, "ACME", None, True, "k") is None
