"""AI web search for a CNPJ, against the local server's Responses endpoint."""

import pytest
from hypothesis import given
from hypothesis import strategies as st
from openai_server import OpenAIServer, Reply

from scrivane_contract.ai_search import buscar_cnpj_via_ai, extrair_cnpj

VALID = "11222333000181"  # check digits agree
ALNUM_VALID = "12ABC34501DE35"


def _check_digits(base12: str) -> str:
    """Reference computation, written out with the weight tables."""
    def digit(chars, weights):
        rest = sum((ord(c) - ord("0")) * w for c, w in zip(chars, weights)) % 11
        return "0" if rest < 2 else str(11 - rest)

    first = digit(base12, [5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2])
    second = digit(base12 + first, [6, 5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2])
    return first + second


def _formatted(cnpj: str) -> str:
    return f"{cnpj[:2]}.{cnpj[2:5]}.{cnpj[5:8]}/{cnpj[8:12]}-{cnpj[12:]}"


@pytest.fixture
def server(monkeypatch):
    with OpenAIServer() as srv:
        monkeypatch.setenv("OPENAI_BASE_URL", srv.base_url)
        yield srv


class TestSearch:
    def test_finds_the_cnpj_in_the_answer(self, server):
        server.script(None, Reply.output_text(f"Segundo a Receita Federal, o CNPJ é {_formatted(VALID)}."))
        assert buscar_cnpj_via_ai("ACME Serviços LTDA", "sk-busca") == VALID
        (req,) = server.requests
        assert req.path == "/v1/responses"
        assert req.headers["authorization"] == "Bearer sk-busca"
        assert {"type": "web_search"} in req.body["tools"]
        assert "ACME Serviços LTDA" in req.body["input"]

    @pytest.mark.parametrize(
        "answer",
        ["NAO_ENCONTRADO", "Não encontrei a empresa.", f"CNPJ {_formatted(VALID)[:-1]}2 (dígito errado)", ""],
    )
    def test_no_valid_cnpj_gives_none(self, server, answer):
        server.script(None, Reply.output_text(answer))
        assert buscar_cnpj_via_ai("ACME", "sk") is None
        assert len(server.requests) == 1

    @pytest.mark.parametrize(
        "reply",
        [Reply.error(400), Reply.error(500, headers={"x-should-retry": "false"}), Reply.error(401)],
        ids=["400", "500", "401"],
    )
    def test_service_failure_gives_none(self, server, reply):
        server.script(None, reply)
        assert buscar_cnpj_via_ai("ACME", "sk") is None

    @pytest.mark.parametrize("nome, key", [("ACME", None), ("ACME", ""), ("", "sk"), (None, "sk")])
    def test_nothing_to_ask_makes_no_request(self, server, nome, key):
        assert buscar_cnpj_via_ai(nome, key) is None
        assert server.requests == []


class TestExtraction:
    def test_first_valid_cnpj_wins_and_invalid_ones_are_skipped(self):
        text = f"Filial 11.222.333/0001-82 (errado); matriz {_formatted(VALID)}; outra {_formatted(ALNUM_VALID)}"
        assert extrair_cnpj(text) == VALID

    def test_alphanumeric_cnpj(self):
        assert extrair_cnpj(f"CNPJ: {_formatted(ALNUM_VALID)}") == ALNUM_VALID

    def test_digits_inside_longer_numbers_are_not_taken(self):
        assert extrair_cnpj("protocolo 9" + VALID + "9") is None
        assert extrair_cnpj("00000000000000") is None

    @given(
        base=st.text(alphabet="0123456789", min_size=12, max_size=12),
        form=st.sampled_from(["clean", "formatted"]),
        before=st.text(alphabet="abc çã:,. ", max_size=20),
        after=st.text(alphabet="abc çã:,. ", max_size=20),
    )
    def test_any_written_form_of_a_valid_number_is_found(self, base, form, before, after):
        cnpj = base + _check_digits(base)
        if len(set(cnpj)) == 1:
            return
        written = cnpj if form == "clean" else _formatted(cnpj)
        assert extrair_cnpj(f"{before} {written} {after}") == cnpj
