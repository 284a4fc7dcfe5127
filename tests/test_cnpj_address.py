"""Address normalisation and comparison: the documented cases, the CEP
floor, errors, late binding of the normaliser, and agreement with the
plain-Python twin over generated addresses."""

import inspect

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference_cnpj as ref
from scrivane_contract import cnpj

REGISTRO = {
    "cnpj": "11.222.333/0001-81",
    "endereco": {
        "logradouro": "AV PAULISTA", "numero": "1000", "complemento": "ANDAR 5", "bairro": "BELA VISTA",
        "cidade": "SAO PAULO", "uf": "SP", "cep": "01310100",
    },
}
RECEITA = "AV PAULISTA 1000 ANDAR 5 BELA VISTA SAO PAULO SP 01310100"


def com_endereco(**campos):
    return {"endereco": campos}


class TestNormalizar:
    @pytest.mark.parametrize("texto, esperado", [
        ("AVDA BRASIL Nº500", "av brasil 500"), ("Avenida Brasil 500", "av brasil 500"),
        ("Rua Nossa Senhora da Penha, nº 25, Sala 3", "r ssa senhora da penha  25  sl 3"),
        ("Edifício Central, 2º andar, conj. 21", "ed central  2º and  cj  21"), ("Rua\tA\n  B", "r a b"), ("", ""),
        ("Travessa X, Praças Y, Prédio Z, Conjunto W", "tv x  pc y  ed z  cj w"),
        ("Bairro Centro CEP 01310-100", "centro  01310 100"), ("ruas avenidas salas", "ruas avenidas salas"),
        ("nsala no  andar", "sl and"),  # "n" goes first, then the word it uncovers
    ])
    def test_documented_forms(self, texto, esperado):
        assert cnpj._normalizar_endereco(texto) == esperado

    def test_non_text_is_refused(self):
        with pytest.raises(TypeError, match=r"^Argument 'endereco' has incorrect type \(expected str, got NoneType\)$"):
            cnpj._normalizar_endereco(None)

    def test_metadata(self):
        f = cnpj._normalizar_endereco
        assert f.__doc__ == "Normaliza endereço para comparação."
        assert f.__annotations__ == {"endereco": "str", "return": "str"}
        assert str(inspect.signature(f)) == "(endereco)"


class TestComparar:
    @pytest.mark.parametrize("contrato, confere, sim", [
        ("Av. Paulista, 1000 - Bela Vista, São Paulo/SP, CEP 01310-100", True, 0.8),  # 0.6 lifted by the CEP
        ("Av Paulista 1000, Bela Vista, São Paulo", True, 0.75),
        ("Avenida Paulista 1000", True, 0.9),
        ("av paulista 1000 andar 5 bela vista são paulo sp 01310100", True, 1.0),
        ("Rua Augusta 10", False, 0.0),
        ("Rua Augusta 10, CEP 01310-100", True, 0.8),
        ("Rua Augusta 10, CEP 01310100", True, 0.8),
        ("Rua Augusta 10, CEP 01310 - 100", True, 0.8),
        ("Rua Augusta 10, CEP 01.310-100", False, 0.0),  # first five digits must stand together
        ("Rua Augusta 10, CEP 01310-101", False, 0.0),
        ("-", True, 0.9),  # normalises to the empty text, which every text contains
        ("CEP", True, 0.9),
    ])
    def test_documented_scores(self, contrato, confere, sim):
        r = cnpj.comparar_enderecos(contrato, REGISTRO)
        assert r == (confere, sim, RECEITA) and [type(x) for x in r] == [bool, float, str]

    def test_cep_floor_does_not_lower_a_higher_score(self):
        dados = com_endereco(logradouro="RUA DAS FLORES", numero="123", cidade="CAMPINAS", cep="13000-000")
        r = cnpj.comparar_enderecos("Rua das Flores 123 Campinas Centro 13000-000", dados)
        assert r[:2] == (True, 6 / 7)

    @pytest.mark.parametrize("contrato, dados", [
        ("", REGISTRO),
        ("Av Paulista", {}),
        ("Av Paulista", {"cnpj": "1"}),
        ("Av Paulista", com_endereco(logradouro="", numero=None, cep="")),
    ])
    def test_nothing_to_compare(self, contrato, dados):
        assert cnpj.comparar_enderecos(contrato, dados) == (False, 0.0, "")

    def test_empty_or_absent_fields_leave_no_gap(self):
        assert cnpj.comparar_enderecos("x", com_endereco(logradouro="RUA A", uf="RJ"))[2] == "RUA A RJ"

    def test_only_the_address_record_is_read(self):
        assert cnpj.comparar_enderecos("Rua A", {"endereco": {"logradouro": "RUA A"}, "cep": "x"}) == (
            True, 1.0, "RUA A")

    @pytest.mark.parametrize("dados, erro", [
        ({"endereco": None}, AttributeError),
        (com_endereco(logradouro="RUA A", numero=["10"]), TypeError),
        (com_endereco(logradouro="RUA A", uf=True), TypeError),
    ])
    def test_malformed_address_records_raise(self, dados, erro):
        with pytest.raises(erro):
            cnpj.comparar_enderecos("Rua A", dados)

    @pytest.mark.parametrize("numero, cep, receita", [
        (1000, 1310100, "AV PAULISTA 1000 SP 01310100"),
        (1000.0, 1310100.0, "AV PAULISTA 1000 SP 01310100"),
        (0, 0, "AV PAULISTA 0 SP 00000000"),
        (12.5, 123456789, "AV PAULISTA 12.5 SP 123456789"),
        (None, "01310-100", "AV PAULISTA SP 01310-100"),
    ])
    def test_numbers_are_read_as_decimal_text(self, numero, cep, receita):
        dados = com_endereco(logradouro="AV PAULISTA", numero=numero, uf="SP", cep=cep)
        assert cnpj.comparar_enderecos("Rua Augusta 10", dados) == (False, 0.0, receita)
        # a numeric CEP that lost its leading zero still lifts the score
        if cep == 1310100:
            assert cnpj.comparar_enderecos("Rua Augusta 10, CEP 01310-100", dados) == (True, 0.8, receita)
        assert dados["endereco"]["cep"] == cep  # the record keeps what was delivered

    @pytest.mark.parametrize("args, msg", [
        ((None, REGISTRO), "Argument 'endereco_contrato' has incorrect type (expected str, got NoneType)"),
        (("x", None), "Argument 'dados_receita' has incorrect type (expected dict, got NoneType)"),
        (("x", [("endereco", {})]), "Argument 'dados_receita' has incorrect type (expected dict, got list)"),
    ])
    def test_argument_types(self, args, msg):
        with pytest.raises(TypeError) as e:
            cnpj.comparar_enderecos(*args)
        assert str(e.value) == msg

    def test_arguments_by_keyword(self):
        assert cnpj.comparar_enderecos(dados_receita=REGISTRO, endereco_contrato="Avenida Paulista 1000")[1] == 0.9

    def test_metadata(self):
        f = cnpj.comparar_enderecos
        assert f.__annotations__ == {
            "endereco_contrato": "str", "dados_receita": "dict", "return": "Tuple[bool, float, str]"}
        doc = f.__doc__
        assert doc.startswith("Compara endereço do contrato com o da Receita Federal.\n")
        assert "(confere: bool, similaridade: float, endereco_receita: str)" in doc
        assert "Exemplo:" in doc and "Av Paulista 1000, Bela Vista, São Paulo" in doc
        assert 'print(f"Confere: {confere} ({sim:.0%})")' in doc
        assert str(inspect.signature(f)) == "(endereco_contrato, dados_receita)"


class TestLateBinding:
    def test_comparar_uses_the_current_normaliser(self, monkeypatch):
        monkeypatch.setattr(cnpj, "_normalizar_endereco", lambda e: "mesmo")
        assert cnpj.comparar_enderecos("qualquer", REGISTRO) == (True, 1.0, RECEITA)

    def test_a_normaliser_giving_other_values_goes_through_python_operations(self, monkeypatch):
        class Palavras(str):
            pass

        monkeypatch.setattr(cnpj, "_normalizar_endereco", lambda e: Palavras(e.lower()))
        assert cnpj.comparar_enderecos("Av Paulista 1000 Bela Vista", REGISTRO) == pytest.approx(
            (True, 0.5, RECEITA))
        monkeypatch.setattr(cnpj, "_normalizar_endereco", lambda e: None)
        assert cnpj.comparar_enderecos("x", REGISTRO) == (True, 1.0, RECEITA)  # None == None

    def test_an_error_in_the_normaliser_reaches_the_caller(self, monkeypatch):
        def falha(e):
            raise RuntimeError("normalizador quebrado")

        monkeypatch.setattr(cnpj, "_normalizar_endereco", falha)
        with pytest.raises(RuntimeError, match="normalizador quebrado"):
            cnpj.comparar_enderecos("x", REGISTRO)


# Addresses built from pieces that meet each rule: street types, "n" words,
# separators and blank runs, accents, "º", non-ASCII digits and blanks.
_PIECES = st.sampled_from([
    "Rua", "rua", "RUA", "Avenida", "AVDA", "avd", "Av.", "Travessa", "Praça", "Praças", "Edifício", "Prédio",
    "Conjunto", "conj.", "Sala", "andar", "Bairro", "CEP", "nº", "Nº", "no", "n", "nossa", "Nova", "ño",
    "São", "José", "Ação", "Ñandu", "2º", "3ª", "10", "01310-100", "01310 - 100", "０１３１０１００", "٠١٢٣٤-٥٦٧",
    " ", "  ", "\t", "\n", "\u00a0", "\u2003", ",", ", ", ".", ";", ":", "-", "/", "\\", "_", "(", ")",
    "ΣΑΛΑ", "İ", "ﬁ", "Ⅻ", "x\u0301", "ǅ",
])
ADDRESS = st.one_of(
    st.lists(_PIECES, max_size=14).map("".join),
    st.lists(_PIECES, max_size=14).map(" ".join),
    st.text(max_size=40),
)
_FIELD = st.one_of(st.none(), st.just(""), ADDRESS, st.integers(min_value=-10, max_value=10**9),
                   st.sampled_from([1310100.0, 0.0, 12.5, 1e20, -3.0]))
REGISTRY_ADDRESS = st.fixed_dictionaries({}, optional={
    k: _FIELD for k in ["logradouro", "numero", "complemento", "bairro", "cidade", "uf", "cep"]})


class TestAgainstReference:
    @given(ADDRESS)
    @settings(max_examples=1500, deadline=None)
    def test_normalizar_agrees(self, texto):
        assert cnpj._normalizar_endereco(texto) == ref._normalizar_endereco(texto)

    @given(ADDRESS, REGISTRY_ADDRESS)
    @settings(max_examples=1500, deadline=None)
    def test_comparar_agrees(self, contrato, end):
        dados = {"endereco": end}
        assert cnpj.comparar_enderecos(contrato, dados) == ref.comparar_enderecos(contrato, dados)

    @given(ADDRESS)
    @settings(max_examples=500, deadline=None)
    def test_comparar_agrees_with_the_example_record(self, contrato):
        assert cnpj.comparar_enderecos(contrato, REGISTRO) == ref.comparar_enderecos(contrato, REGISTRO)
