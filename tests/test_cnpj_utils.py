"""scrivane_contract.cnpj number utilities: cleaning, validation, display
form, the alphanumeric CNPJ, argument handling, late binding, and agreement
with the plain-Python twin over generated text."""

import inspect

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference_cnpj as ref
from scrivane_contract import cnpj

UTILS = [cnpj.limpar_cnpj, cnpj.validar_cnpj, cnpj.formatar_cnpj]


class TestNumericCnpj:
    @pytest.mark.parametrize("texto, limpo", [
        ("12.345.678/0001-99", "12345678000199"), ("", ""), ("CNPJ: 12 345 678 0001 99", "12345678000199"),
        ("abc", ""), ("000.000.000/0001-00 e 12", "00000000000010012"), ("１２.３４５", "１２３４５"), ("٠١٢x٣", "٠١٢٣"),
    ])
    def test_limpar_keeps_decimal_digits_in_order(self, texto, limpo):
        assert cnpj.limpar_cnpj(texto) == limpo

    @pytest.mark.parametrize("texto, valido", [
        ("12.345.678/0001-99", True), ("123456", False), ("00000000000000", True), ("123456789012345", False),
        ("12.345.678/0001-9", False), ("１２３４５６７８０００１９９", True), ("", False),
    ])
    def test_validar_checks_only_the_length(self, texto, valido):
        assert cnpj.validar_cnpj(texto) is valido

    @pytest.mark.parametrize("texto, formatado", [
        ("12345678000199", "12.345.678/0001-99"), ("12.345.678/0001-99", "12.345.678/0001-99"),
        ("CNPJ 12 345 678 0001 99.", "12.345.678/0001-99"), ("12.345", "12.345"), ("", ""),
        ("１２３４５６７８０００１９９", "１２.３４５.６７８/０００１-９９"),
    ])
    def test_formatar(self, texto, formatado):
        assert cnpj.formatar_cnpj(texto) == formatado
        if len(ref.limpar_cnpj(texto)) != 14:
            assert cnpj.formatar_cnpj(texto) is texto


class TestAlphanumericCnpj:
    """The alphanumeric form: 12 of [0-9A-Z] and two numeric check digits."""

    @pytest.mark.parametrize("texto", [
        "12.ABC.345/01DE-35", "12ABC34501DE35", "12.abc.345/01de-35", " 12 ABC 345 01DE 35\t", "12-ABC-345-01DE-35",
    ])
    def test_valid_alphanumeric_numbers_keep_their_letters(self, texto):
        assert cnpj.limpar_cnpj(texto) == "12ABC34501DE35"
        assert cnpj.validar_cnpj(texto) is True
        assert cnpj.formatar_cnpj(texto) == "12.ABC.345/01DE-35"

    @pytest.mark.parametrize("texto, limpo", [
        ("12.ABC.345/01DE-36", "123450136"),  # wrong check digit
        ("12.ABC.345/01DE-3A", "12345013"),  # a letter where a check digit stands
        ("12.ABC.345/01D-35", "123450135"),  # 13 characters
        ("12.ABC.345/01DEF-35", "123450135"),  # 15 characters
        ("12_ABC_345_01DE_35", "123450135"),  # "_" is no separator
        ("CNPJ 12.ABC.345/01DE-35", "123450135"),  # other letters around it
        ("12.ÀBC.345/01DE-35", "123450135"),  # letters beyond ASCII do not count
    ])
    def test_other_text_keeps_the_digits_only_rule(self, texto, limpo):
        assert cnpj.limpar_cnpj(texto) == limpo
        assert cnpj.validar_cnpj(texto) is False
        assert cnpj.formatar_cnpj(texto) == texto

    def test_numeric_numbers_keep_the_length_rule(self):
        assert cnpj.limpar_cnpj("12.345.678/0001-00") == "12345678000100"  # wrong check digits

    @given(st.text(alphabet="0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ", min_size=12, max_size=12))
    @settings(max_examples=200, deadline=None)
    def test_any_base_with_its_check_digits_is_accepted(self, base):
        d1 = ref._digito(base)
        d2 = ref._digito(base + str(d1))
        numero = base + f"{d1}{d2}"
        texto = f"{numero[:2]}.{numero[2:5]}.{numero[5:8]}/{numero[8:12]}-{numero[12:]}"
        assert cnpj.limpar_cnpj(texto) == numero
        assert cnpj.formatar_cnpj(numero.lower()) == texto


class TestArguments:
    @pytest.mark.parametrize("func", UTILS)
    @pytest.mark.parametrize("valor, tipo", [(None, "NoneType"), (12345678000199, "int"), (b"12", "bytes")])
    def test_non_text_is_a_type_error_naming_cnpj(self, func, valor, tipo):
        with pytest.raises(TypeError) as e:
            func(valor)
        assert str(e.value) == f"Argument 'cnpj' has incorrect type (expected str, got {tipo})"

    @pytest.mark.parametrize("func", UTILS)
    def test_keyword_form_and_arity(self, func):
        assert func(cnpj="12345678000199") == func("12345678000199")
        with pytest.raises(TypeError, match=rf"{func.__name__}\(\) missing 1 required positional argument: 'cnpj'"):
            func()
        with pytest.raises(TypeError, match=rf"{func.__name__}\(\) takes 1 positional argument but 2 were given"):
            func("1", "2")
        with pytest.raises(TypeError, match="unexpected keyword argument 'numero'"):
            func(numero="1")

    def test_signatures_and_annotations(self):
        for func, ret in zip(UTILS, ["str", "bool", "str"]):
            assert str(inspect.signature(func)) == "(cnpj)"
            assert func.__annotations__ == {"cnpj": "str", "return": ret}


class TestLateBinding:
    def test_validar_and_formatar_use_the_current_limpar(self, monkeypatch):
        monkeypatch.setattr(cnpj, "limpar_cnpj", lambda c: "X" * 14 if c == "curto" else c)
        assert cnpj.validar_cnpj("curto") is True
        assert cnpj.formatar_cnpj("curto") == "XX.XXX.XXX/XXXX-XX"
        assert cnpj.validar_cnpj("12345678000199") is True
        assert cnpj.validar_cnpj("12.345.678/0001-99") is False  # no longer cleaned

    def test_a_rebound_limpar_may_return_a_sequence(self, monkeypatch):
        monkeypatch.setattr(cnpj, "limpar_cnpj", lambda c: list(range(14)))
        assert cnpj.formatar_cnpj("x") == "[0, 1].[2, 3, 4].[5, 6, 7]/[8, 9, 10, 11]-[12, 13]"


# Text that exercises the digit rules: digits of several scripts, blanks of
# several kinds, separators, letters (ASCII and not) and punctuation runs.
_PIECES = st.sampled_from([
    "0", "1", "7", "9", "１", "٣", "߉", "𝟠", " ", "\t", "\u00a0", "\u2003", "\n", ".", "/", "-", ":", "_",
    "A", "b", "Z", "ç", "º", "ª", "²", "Ⅻ", "..", "//", "--", "12.ABC.345/01DE-35", "11.222.333/0001-81",
])
CNPJ_TEXT = st.one_of(
    st.lists(_PIECES, max_size=24).map("".join),
    st.text(max_size=30),
)


class TestAgainstReference:
    @given(CNPJ_TEXT)
    @settings(max_examples=800, deadline=None)
    def test_utils_agree_with_the_reference(self, texto):
        assert cnpj.limpar_cnpj(texto) == ref.limpar_cnpj(texto)
        assert cnpj.validar_cnpj(texto) == ref.validar_cnpj(texto)
        assert cnpj.formatar_cnpj(texto) == ref.formatar_cnpj(texto)
