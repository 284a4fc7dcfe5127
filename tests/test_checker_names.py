"""Name matching and signing power: _normalizar_texto, _comparar_nomes, _verificar_poder_assinatura."""

import pytest
from checker_helpers import checker, no_env_keys, ref_comparar, ref_normalizar, ref_poder, socio  # noqa: F401
from hypothesis import given, settings
from hypothesis import strategies as st

import scrivane_contract.checker as checker_mod

NAMES = st.text(alphabet=st.sampled_from(list("abcAB ÇçãÁéÉ\u0301\u0327\tΣσςİßﬁ\u00a0\u2003x")), max_size=14)


class TestNormalizar:
    @pytest.mark.parametrize("texto, expected", [
        ("", ""), ("  Ponte  DA Serra ", "ponte  da serra"), ("São João", "sao joao"), ("Ação", "acao"),
        ("\u2003ÓRGÃO\n", "orgao"), ("   ", ""), ("ΣΑΣ", "σας"), ("İ", "i̇".replace("\u0307", "")),
    ])
    def test_cases(self, checker, texto, expected):
        assert checker._normalizar_texto(texto) == expected

    @settings(max_examples=300, deadline=None)
    @given(NAMES)
    def test_same_as_plain_python(self, texto):
        chk = checker_mod.ContractChecker(openai_api_key="k", verbose=False)
        assert chk._normalizar_texto(texto) == ref_normalizar(texto)

    def test_follows_a_rebound_unicodedata(self, checker, monkeypatch):
        class UD:
            @staticmethod
            def normalize(form, s):
                return s.replace("a", "a\u0301")

            @staticmethod
            def category(c):
                return "Lu" if c == "\u0301" else "Mn" if c == "x" else "Ll"
        monkeypatch.setattr(checker_mod, "unicodedata", UD)
        assert checker._normalizar_texto(" Xaxa ") == "xa\u0301a\u0301"

    @pytest.mark.parametrize("value, got", [(None, "NoneType"), (b"a", "bytes"), (1, "int")])
    def test_type_error(self, checker, value, got):
        with pytest.raises(TypeError) as info:
            checker._normalizar_texto(value)
        assert str(info.value) == f"Argument 'texto' has incorrect type (expected str, got {got})"


class TestComparar:
    @pytest.mark.parametrize("a, b, expected", [
        ("SOL", "Girassol Ltda", True),
        ("Casa Verde", "CASA DA VERDE LIMA", True),
        ("Ab Cd Ef", "Ab Cd Ef Norte", True),
        ("Ab Cd Ef Norte", "Ef Cd Ab Sul", False),
        ("Rio Azul Comercio", "Azul Comercio", True),
        ("Comercio Rio Azul", "Azul Comercio", True),
        ("José da Silva", "JOSE DA SILVA", True),
        ("Maria Souza", "Ana Souza", False),
        ("Nome", "", False), ("", "Nome", False), ("   ", "   ", False),
        ("Beta Beta Gama", "Gama Beta Delta", True), ("Beta Beta", "Beta Gama", False),
    ])
    def test_cases(self, checker, a, b, expected):
        assert checker._comparar_nomes(a, b) is expected
        assert checker._comparar_nomes(nome1=a, nome2=b) is expected

    @settings(max_examples=300, deadline=None)
    @given(NAMES, NAMES)
    def test_same_as_plain_python(self, a, b):
        chk = checker_mod.ContractChecker(openai_api_key="k", verbose=False)
        assert chk._comparar_nomes(a, b) is ref_comparar(a, b)

    def test_type_errors_name_the_argument(self, checker):
        with pytest.raises(TypeError, match=r"^Argument 'nome1' has incorrect type \(expected str, got NoneType\)$"):
            checker._comparar_nomes(None, "a")
        with pytest.raises(TypeError, match=r"^Argument 'nome2' has incorrect type \(expected str, got int\)$"):
            checker._comparar_nomes("a", 3)

    def test_uses_the_normalizer_found_on_self(self, checker, monkeypatch):
        seen = []
        monkeypatch.setattr(type(checker), "_normalizar_texto", lambda self, t: seen.append(t) or "igual")
        assert checker._comparar_nomes("um", "outro") is True
        assert seen == ["um", "outro"]


class TestPoder:
    def test_cases(self, checker):
        maria = socio("MARIA DA SILVA", "Sócio-Administrador")
        rep = socio("HOLDING X", "Sócio", nome_representante="Carlos Lima", qualificacao_representante="Procurador")
        carlos = socio("CARLOS LIMA", "Administrador")
        assert checker._verificar_poder_assinatura("Maria da Silva", {"socios": [maria]}) == (True, "Sócio-Administrador")
        assert checker._verificar_poder_assinatura("Carlos Lima", {"socios": [rep, carlos]}) == (True, "Procurador")
        assert checker._verificar_poder_assinatura("Carlos Lima", {"socios": [carlos, rep]}) == (True, "Administrador")
        assert checker._verificar_poder_assinatura("Maria", {"socios": [{"nome": "Maria"}]}) == (True, None)
        assert checker._verificar_poder_assinatura("Ana", {"socios": [{"nome_representante": "Ana"}]}) == (True, None)
        assert checker._verificar_poder_assinatura("Ana", {}) == (False, None)
        assert checker._verificar_poder_assinatura("Ana", {"socios": []}) == (False, None)
        assert checker._verificar_poder_assinatura("Pedro", {"socios": [maria, rep]}) == (False, None)

    def test_null_partner_name_matches_nobody_by_name(self, checker):
        # The registry may deliver null names: such a partner is still searched by its representative.
        partners = [{"nome": None, "qualificacao": "Sócio", "nome_representante": None},
                    socio(None, "Sócio", nome_representante="Ana Souza", qualificacao_representante="Rep")]
        assert checker._verificar_poder_assinatura("Ana Souza", {"socios": partners}) == (True, "Rep")
        assert checker._verificar_poder_assinatura("Outro", {"socios": partners[:1]}) == (False, None)

    def test_non_text_partner_names_are_refused(self, checker):
        with pytest.raises(TypeError, match="'nome2' has incorrect type \\(expected str, got int\\)"):
            checker._verificar_poder_assinatura("Ana", {"socios": [{"nome": 5}]})
        with pytest.raises(TypeError, match="'nome2'.*got list"):
            checker._verificar_poder_assinatura("Ana", {"socios": [{"nome": "X", "nome_representante": ["Ana"]}]})

    def test_argument_types(self, checker):
        with pytest.raises(TypeError, match=r"^Argument 'nome_signatario' has incorrect type \(expected str, got NoneType\)$"):
            checker._verificar_poder_assinatura(None, {})
        with pytest.raises(TypeError, match=r"^Argument 'dados_receita' has incorrect type \(expected dict, got list\)$"):
            checker._verificar_poder_assinatura("a", [])

    @settings(max_examples=200, deadline=None)
    @given(NAMES, st.lists(st.tuples(NAMES, NAMES), max_size=4))
    def test_same_as_plain_python(self, nome, pares):
        chk = checker_mod.ContractChecker(openai_api_key="k", verbose=False)
        registro = {"socios": [socio(a, "Q" + a, nome_representante=b, qualificacao_representante="R" + b)
                               for a, b in pares]}
        assert chk._verificar_poder_assinatura(nome, registro) == ref_poder(nome, registro)

    def test_comparison_goes_through_self(self, checker, monkeypatch):
        calls = []
        monkeypatch.setattr(checker, "_comparar_nomes", lambda a, b: calls.append((a, b)) or b == "R")
        registro = {"socios": [{"nome": "A", "nome_representante": "R", "qualificacao_representante": "q"}]}
        assert checker._verificar_poder_assinatura("x", registro) == (True, "q")
        assert calls == [("x", "A"), ("x", "R")]
