"""Registry lookup by CNPJ over real HTTP against the local registry server:
the record and its key order, "as delivered" values, the fallback from
BrasilAPI to ReceitaWS, share capital, failures turned into None, the
requests sent, and the names read at call time."""

import subprocess
import sys

import pytest
import requests

from registry_server import Reply, empresa_exemplo, registry  # noqa: F401  (fixture)
from scrivane_contract import cnpj

CNPJ = "11222333000181"
EXIBICAO = "11.222.333/0001-81"
RECORD_KEYS = ["fonte", "cnpj", "razao_social", "nome_fantasia", "situacao", "data_situacao", "data_abertura",
               "natureza_juridica", "porte", "capital_social", "endereco", "email", "socios"]
ADDRESS_KEYS = ["logradouro", "numero", "complemento", "bairro", "cidade", "uf", "cep"]
PARTNER_KEYS = ["nome", "qualificacao", "data_entrada", "cpf_representante", "nome_representante",
                "qualificacao_representante"]


class Spy:
    """Stands in for `requests` in the module namespace: records the calls, then makes them."""

    def __init__(self, raise_on_call=None):
        self.calls = []
        self.raise_on_call = raise_on_call

    def get(self, url, **kwargs):
        self.calls.append(("get", url, kwargs))
        if self.raise_on_call:
            raise self.raise_on_call
        return requests.get(url, **kwargs)

    def post(self, url, **kwargs):
        self.calls.append(("post", url, kwargs))
        if self.raise_on_call:
            raise self.raise_on_call
        return requests.post(url, **kwargs)


@pytest.fixture
def empresa(registry):
    _, brasil, receita = empresa_exemplo(CNPJ)
    brasil["cnpj"] = "99999999999999"  # the record's cnpj never comes from the answer
    registry.add_company(CNPJ, brasil, receita)
    return brasil, receita


def routes(server):
    return [r.route for r in server.requests]


class TestRecords:
    def test_brasilapi_record(self, registry, empresa):
        rec = cnpj.consultar_cnpj(CNPJ)
        assert routes(registry) == ["brasilapi"]
        assert list(rec) == RECORD_KEYS
        assert list(rec["endereco"]) == ADDRESS_KEYS
        socio = dict(zip(PARTNER_KEYS, ["MARIA DA SILVA", "Sócio-Administrador", "1999-04-12", "***000000**", "",
                                        "Não informada"]))
        assert list(rec.values())[:10] == [
            "BrasilAPI", EXIBICAO, "ACME COMERCIO DE TESTES LTDA", "ACME", "ATIVA", "2005-11-03", "1999-04-12",
            "Sociedade Empresária Limitada", "DEMAIS", 150000]
        assert list(rec["endereco"].values()) == [
            "AV PAULISTA", "1000", "ANDAR 5", "BELA VISTA", "SAO PAULO", "SP", "01310100"]
        assert rec["email"] == "contato@acme.com.br" and rec["socios"][0] == socio
        assert [s["nome"] for s in rec["socios"]] == ["MARIA DA SILVA", "JOAO PEREIRA"]
        assert [list(s) for s in rec["socios"]] == [PARTNER_KEYS] * 2

    def test_receitaws_record_after_a_brasilapi_404(self, registry, empresa):
        registry.reply("brasilapi", Reply.error(404))
        # keys of the other service's partner records are not read from a ReceitaWS partner
        empresa[1]["qsa"][0].update(empresa[0]["qsa"][0], data_entrada="1999", cpf_representante="1")
        rec = cnpj.consultar_cnpj("11.222.333/0001-81")
        assert routes(registry) == ["brasilapi", "receitaws"]
        assert list(rec) == RECORD_KEYS and list(rec["endereco"]) == ADDRESS_KEYS
        assert rec["fonte"] == "ReceitaWS" and rec["cnpj"] == EXIBICAO
        assert rec["razao_social"] == "ACME COMERCIO DE TESTES LTDA" and rec["situacao"] == "ATIVA"
        assert rec["data_situacao"] == "03/11/2005" and rec["data_abertura"] == "12/04/1999"
        assert rec["endereco"]["cidade"] == "SAO PAULO" and rec["endereco"]["cep"] == "01.310-100"
        assert rec["socios"] == [dict(zip(PARTNER_KEYS, [nome, qual, "", "", "", ""]))
                                 for nome, qual in [("MARIA DA SILVA", "49-Sócio-Administrador"), ("JOAO PEREIRA", "22-Sócio")]]

    def test_an_answer_without_mapped_keys_still_gives_a_record(self, registry):
        registry.reply("brasilapi", Reply.json({"outra": 1}))
        rec = cnpj.consultar_cnpj(CNPJ)
        assert routes(registry) == ["brasilapi"]
        assert rec == {
            "fonte": "BrasilAPI", "cnpj": EXIBICAO, "razao_social": "", "nome_fantasia": "", "situacao": "",
            "data_situacao": "", "data_abertura": "", "natureza_juridica": "", "porte": "", "capital_social": 0,
            "endereco": dict.fromkeys(ADDRESS_KEYS, ""), "email": "", "socios": [],
        }
        assert type(rec["capital_social"]) is int

    @pytest.mark.parametrize("rota, origem", [("brasilapi", "nome_socio"), ("receitaws", "nome")])
    def test_values_are_copied_as_delivered(self, registry, rota, origem):
        _, brasil, receita = empresa_exemplo(CNPJ)
        answer = brasil if rota == "brasilapi" else receita
        answer.update(email=None, porte=["lista"], municipio={"nome": "X"}, situacao=None,
                      descricao_situacao_cadastral=None)
        answer["qsa"] = [{}, {origem: None}]
        if rota == "receitaws":
            registry.reply("brasilapi", Reply.error(404))
        registry.add_company(CNPJ, brasil, receita)
        rec = cnpj.consultar_cnpj(CNPJ)
        assert rec["email"] is None and rec["situacao"] is None
        assert rec["porte"] == ["lista"] and rec["endereco"]["cidade"] == {"nome": "X"}
        assert rec["socios"][0]["nome"] == "" and rec["socios"][1]["nome"] is None

    def test_each_call_builds_a_fresh_record(self, registry, empresa):
        a = cnpj.consultar_cnpj(CNPJ)
        a["extra"] = 1
        a["socios"].clear()
        b = cnpj.consultar_cnpj(CNPJ)
        assert "extra" not in b and len(b["socios"]) == 2
        assert len(registry.requests) == 2  # no cache


class TestShareCapital:
    @pytest.mark.parametrize("valor, esperado", [
        ("1.234.567,89", 1234567.89), ("50000", 50000.0), ("", 0), (1000, 1000), (None, None), (1500.5, 1500.5),
        # amounts written with a decimal point and two decimals
        ("1500.00", 1500.0), ("751457800.00", 751457800.0), ("20000.50", 20000.5),
        # everything else keeps "." as thousands separator
        ("1.500", 1500.0), ("1.500,00", 1500.0), ("1.234.567.00", 123456700.0), ("150.0", 1500.0),
        ("1500.000", 1500000.0), ("1,5.00", 1.5),
    ])
    def test_receitaws_capital(self, registry, valor, esperado):
        _, _, receita = empresa_exemplo(CNPJ)
        receita["capital_social"] = valor
        registry.add_company(CNPJ, None, receita)
        rec = cnpj._consultar_receita_ws(CNPJ)
        assert rec["capital_social"] == esperado and type(rec["capital_social"]) is type(esperado)

    def test_receitaws_absent_capital_is_zero_float(self, registry):
        _, _, receita = empresa_exemplo(CNPJ)
        del receita["capital_social"]
        registry.add_company(CNPJ, None, receita)
        valor = cnpj._consultar_receita_ws(CNPJ)["capital_social"]
        assert valor == 0.0 and type(valor) is float

    @pytest.mark.parametrize("valor", ["abc", "1.2.3,4,5", "12.ab"])
    def test_receitaws_capital_that_is_no_number_gives_none(self, registry, valor):
        _, _, receita = empresa_exemplo(CNPJ)
        receita["capital_social"] = valor
        registry.add_company(CNPJ, None, receita)
        assert cnpj._consultar_receita_ws(CNPJ) is None

    @pytest.mark.parametrize("valor", [123.45, "1.000,00", None])
    def test_brasilapi_capital_is_as_delivered(self, registry, valor):
        _, brasil, _ = empresa_exemplo(CNPJ)
        brasil["capital_social"] = valor
        registry.add_company(CNPJ, brasil, None)
        assert cnpj._consultar_brasil_api(CNPJ)["capital_social"] == valor


class TestFallbackAndFailures:
    @pytest.mark.parametrize("resposta", [
        Reply.error(404), Reply.error(429), Reply.error(500), Reply.text("<html>erro</html>"),
        Reply.json([1, 2, 3]), Reply.json("texto"), Reply.json({"qsa": None}), Reply.json({"qsa": [1]}),
        Reply.json({"qsa": 5}),
    ], ids=["404", "429", "500", "not-json", "list", "string", "qsa-null", "partner-not-object", "qsa-number"])
    def test_brasilapi_failure_falls_back_to_receitaws(self, registry, empresa, resposta):
        registry.reply("brasilapi", resposta)
        rec = cnpj.consultar_cnpj(CNPJ)
        assert routes(registry) == ["brasilapi", "receitaws"]
        assert rec["fonte"] == "ReceitaWS"

    @pytest.mark.parametrize("resposta", [Reply.json({"status": "ERROR", "message": "CNPJ inválido"}), Reply.error(429),
                                          Reply.text("x"), Reply.json({"nome": "X", "qsa": None}), Reply.json(None)])
    def test_receitaws_failures_give_none(self, registry, empresa, resposta):
        registry.reply("brasilapi", Reply.error(404))
        registry.reply("receitaws", resposta)
        assert cnpj.consultar_cnpj(CNPJ) is None

    def test_unknown_company_gives_none_after_both_services(self, registry):
        assert cnpj.consultar_cnpj(CNPJ) is None
        assert routes(registry) == ["brasilapi", "receitaws"]

    def test_invalid_number_sends_no_request(self, registry, empresa):
        for numero in ["12.345.678/0001-9", "", "123456789012345", "abc"]:
            assert cnpj.consultar_cnpj(numero) is None
        assert registry.requests == []

    def test_unreachable_services_give_none(self, monkeypatch, registry):
        registry.stop()
        assert cnpj.consultar_cnpj(CNPJ) is None

    def test_real_time_out_falls_back_then_gives_none(self, monkeypatch, registry, empresa):
        monkeypatch.setattr(cnpj, "REQUEST_TIMEOUT", 0.3)
        registry.reply("brasilapi", Reply.late(3))
        assert cnpj.consultar_cnpj(CNPJ)["fonte"] == "ReceitaWS"
        registry.reply("receitaws", Reply.late(3))
        assert cnpj.consultar_cnpj(CNPJ) is None

    @pytest.mark.parametrize("chamada", [
        lambda: cnpj._consultar_brasil_api(CNPJ), lambda: cnpj._consultar_receita_ws(CNPJ),
        lambda: cnpj.buscar_cnpj_por_nome("ACME"),
    ], ids=["brasilapi", "receitaws", "search"])
    @pytest.mark.parametrize("interrupcao", [KeyboardInterrupt, SystemExit])
    def test_only_exceptions_are_swallowed(self, monkeypatch, registry, chamada, interrupcao):
        monkeypatch.setattr(cnpj, "requests", Spy(raise_on_call=interrupcao()))
        with pytest.raises(interrupcao):
            chamada()
        monkeypatch.setattr(cnpj, "requests", Spy(raise_on_call=ValueError("x")))
        assert chamada() is None

    def test_a_record_from_brasilapi_is_returned_whatever_it_holds(self, monkeypatch, registry):
        monkeypatch.setattr(cnpj, "_consultar_brasil_api", lambda c: {})
        assert cnpj.consultar_cnpj(CNPJ) == {}
        assert registry.requests == []


class TestRequestsSent:
    def test_urls_headers_and_time_out(self, monkeypatch, registry, empresa):
        spy = Spy()
        monkeypatch.setattr(cnpj, "requests", spy)
        registry.reply("brasilapi", Reply.error(404))
        cnpj.consultar_cnpj("11.222.333/0001-81")
        assert spy.calls == [
            ("get", registry.url + "/api/cnpj/v1/" + CNPJ, {"timeout": 10}),
            ("get", registry.url + "/v1/cnpj/" + CNPJ, {"headers": {"Accept": "application/json"}, "timeout": 10}),
        ]
        assert [list(kwargs) for _, _, kwargs in spy.calls] == [["timeout"], ["headers", "timeout"]]
        assert [r.path for r in registry.requests] == ["/api/cnpj/v1/" + CNPJ, "/v1/cnpj/" + CNPJ]
        assert registry.requests[1].header("Accept") == "application/json"

    def test_only_the_placeholder_of_the_template_changes(self, monkeypatch, registry, empresa):
        spy = Spy()
        monkeypatch.setattr(cnpj, "requests", spy)
        monkeypatch.setattr(cnpj, "BRASIL_API_URL", registry.url + "/api/cnpj/v1/{cnpj}?x={y}&z={cnpj}")
        cnpj._consultar_brasil_api(CNPJ)
        assert spy.calls[0][1] == registry.url + f"/api/cnpj/v1/{CNPJ}?x={{y}}&z={CNPJ}"

class TestNamesReadAtCallTime:
    def test_consultar_reaches_the_adapters_through_the_namespace(self, monkeypatch, registry):
        chamadas = []
        monkeypatch.setattr(cnpj, "_consultar_brasil_api", lambda c: chamadas.append(("b", c)))
        monkeypatch.setattr(cnpj, "_consultar_receita_ws", lambda c: chamadas.append(("r", c)) or {"ok": 1})
        assert cnpj.consultar_cnpj_online("11.222.333/0001-81") == {"ok": 1}
        assert chamadas == [("b", "11.222.333/0001-81"), ("r", "11.222.333/0001-81")]

    def test_consultar_validates_through_the_namespace(self, monkeypatch, registry, empresa):
        monkeypatch.setattr(cnpj, "validar_cnpj", lambda c: False)
        assert cnpj.consultar_cnpj(CNPJ) is None
        monkeypatch.setattr(cnpj, "validar_cnpj", lambda c: True)
        assert cnpj.consultar_cnpj("123") is None  # asked, found nothing
        assert registry.requests[0].path == "/api/cnpj/v1/123"

    def test_the_record_is_formatted_through_the_namespace(self, monkeypatch, registry, empresa):
        monkeypatch.setattr(cnpj, "formatar_cnpj", lambda c: "<" + c + ">")
        assert cnpj.consultar_cnpj(CNPJ)["cnpj"] == "<" + CNPJ + ">"

class TestModule:
    def test_constants(self):
        assert cnpj.BRASIL_API_URL == "https://brasilapi.com.br/api/cnpj/v1/{cnpj}"
        assert cnpj.RECEITA_WS_URL == "https://receitaws.com.br/v1/cnpj/{cnpj}"
        assert cnpj.CASADOSDADOS_API == "https://api.casadosdados.com.br/v2/public/cnpj/search"
        assert cnpj.REQUEST_TIMEOUT == 10 and type(cnpj.REQUEST_TIMEOUT) is int
        assert cnpj.consultar_cnpj_online is cnpj.consultar_cnpj
        assert cnpj.requests is requests
        assert cnpj.re.__name__ == "re" and cnpj.unicodedata.__name__ == "unicodedata"

    def test_import_needs_requests(self):
        code = "import sys; sys.modules['requests'] = None; import scrivane_contract.cnpj"
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        assert proc.returncode != 0 and "import of requests halted" in proc.stderr

    @pytest.mark.parametrize("nome", ["consultar_cnpj", "_consultar_brasil_api", "_consultar_receita_ws"])
    def test_non_text_is_refused(self, nome, registry):
        with pytest.raises(TypeError, match=r"^Argument 'cnpj' has incorrect type \(expected str, got int\)$"):
            getattr(cnpj, nome)(11222333000181)
        assert getattr(cnpj, nome).__annotations__ == {"cnpj": "str", "return": "Optional[Dict]"}
        assert registry.requests == []


def test_function_of_another_copy_of_the_module_reads_its_own_namespace(monkeypatch):
    import importlib.util

    spec = importlib.util.spec_from_file_location("scrivane_contract.cnpj", cnpj.__file__)
    other = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(other)
    assert other is not cnpj
    other.limpar_cnpj = lambda s: "1" * 14  # the other copy accepts any number
    monkeypatch.setattr(cnpj, "validar_cnpj", other.validar_cnpj)
    monkeypatch.setattr(cnpj, "_consultar_brasil_api", lambda n: {"consultado": n})
    assert cnpj.consultar_cnpj("123") == {"consultado": "123"}
