"""Signature validation: _validar_assinaturas over the cache of company validation."""

import pytest
from checker_helpers import checker, dados, lines, no_env_keys, quiet, socio  # noqa: F401

import scrivane_contract.checker as checker_mod
from scrivane_contract.models import AssinaturaExtraida

CNPJ = "11222333000181"


def fields(ass):
    return [(f.campo, f.status, f.valor_contrato, f.valor_receita, f.mensagem) for f in ass.campos]


def assinatura(nome, **kw):
    return AssinaturaExtraida(nome_signatario=nome, **kw)


@pytest.fixture
def cache():
    """Two companies, each under its CNPJ and its normalized contract name."""
    acme = dados(CNPJ, "ACME", socios=["MARIA DA SILVA", "JOAO PEREIRA", "ANA COSTA", "PEDRO ALVES"])
    beta = dados("99888777000166", "BETA", socios=[
        socio("HOLDING BETA", "Sócio", nome_representante="Carlos Lima", qualificacao_representante="Procurador")])
    return {CNPJ: acme, "acme comercio": acme, "99888777000166": beta, "beta servicos": beta}


class TestOutcomes:
    def test_empty_list_logs_only_the_start(self, checker, capsys):
        assert checker._validar_assinaturas([], {}) == []
        assert lines(capsys) == ["✍️ ", "--- Verificando Assinaturas ---"]

    def test_approved_by_formatted_cnpj(self, checker, cache, capsys):
        a = assinatura("Maria da Silva", cargo="Diretora", cnpj_empresa="11.222.333/0001-81",
                       empresa_representada="Outra", tipo_assinatura="digital")
        [v] = checker._validar_assinaturas([a], cache)
        assert fields(v) == [("Poder de Assinatura", "aprovado", "Maria da Silva", "Sócio-Administrador",
                              "Signatário tem poder (Sócio-Administrador)")]
        assert (v.nome_signatario, v.cargo, v.empresa_representada, v.cnpj_empresa, v.tipo_assinatura) == (
            "Maria da Silva", "Diretora", "Outra", "11.222.333/0001-81", "digital")
        assert (v.tem_poder_assinatura, v.qualificacao_qsa, v.problemas) == (True, "Sócio-Administrador", [])
        assert lines(capsys)[2:] == ["👤 Verificando: Maria da Silva", " ✅ Maria da Silva TEM PODER (Sócio-Administrador)"]

    def test_rejected_even_when_another_company_lists_the_name(self, checker, cache, capsys):
        [v] = checker._validar_assinaturas([assinatura("Carlos Lima", empresa_representada="Acme Comércio")], cache)
        assert fields(v) == [("Poder de Assinatura", "reprovado", "Carlos Lima",
                              "QSA: MARIA DA SILVA, JOAO PEREIRA, ANA COSTA...", "Signatário NÃO encontrado no QSA")]
        assert (v.tem_poder_assinatura, v.qualificacao_qsa, v.problemas) == (
            False, None, ["Signatário sem poder de assinatura"])
        assert lines(capsys)[2:] == ["👤 Verificando: Carlos Lima", " ❌ Carlos Lima NÃO TEM PODER"]

    def test_unmatched_company_searches_the_whole_cache(self, quiet, cache):
        [v] = quiet._validar_assinaturas([assinatura("CARLOS LIMA", cnpj_empresa="00000000000000")], cache)
        assert fields(v)[0][1:4] == ("aprovado", "CARLOS LIMA", "Procurador")
        assert v.qualificacao_qsa == "Procurador"

    def test_found_nowhere_is_pending(self, checker, cache, capsys):
        [v] = checker._validar_assinaturas([assinatura("Zé Ninguém", empresa_representada="Gama")], cache)
        assert fields(v) == [("Poder de Assinatura", "pendente", "Zé Ninguém", None, "Não foi possível verificar")]
        assert (v.tem_poder_assinatura, v.qualificacao_qsa, v.problemas) == (False, None, [])
        assert lines(capsys)[2:] == ["👤 Verificando: Zé Ninguém", " ⚠️ Zé Ninguém - não foi possível verificar"]
        [v] = checker._validar_assinaturas([assinatura("Zé")], {})
        assert fields(v)[0][1] == "pendente"

    def test_approved_without_qualification(self, checker, capsys):
        registro = {"socios": [{"nome": "Ana Souza"}]}
        [v] = checker._validar_assinaturas([assinatura("Ana Souza", cnpj_empresa=CNPJ)], {CNPJ: registro})
        assert fields(v) == [("Poder de Assinatura", "aprovado", "Ana Souza", "Encontrado no QSA",
                              "Signatário tem poder (Sócio/Admin)")]
        assert lines(capsys)[-1] == " ✅ Ana Souza TEM PODER (None)"

    @pytest.mark.parametrize("socios, valor", [
        ([], "QSA vazio"), (None, "QSA vazio"),
        ([{"nome": "Bob"}, {"qualificacao": "x"}, {"nome": None}, {"nome": "Dud"}], "QSA: Bob, , ..."),
    ])
    def test_rejected_summary(self, quiet, socios, valor):
        registro = {"cnpj": CNPJ} if socios is None else {"cnpj": CNPJ, "socios": socios}
        [v] = quiet._validar_assinaturas([assinatura("Zeca", cnpj_empresa=CNPJ)], {CNPJ: registro})
        assert fields(v)[0][1:4] == ("reprovado", "Zeca", valor)

    @pytest.mark.parametrize("nome", [None, "", "N/A"])
    def test_unidentified(self, checker, cache, capsys, nome):
        [v] = checker._validar_assinaturas([assinatura(nome, cargo="x", tipo_assinatura="manuscrita")], cache)
        assert [(f.campo, f.status, f.valor_contrato, f.valor_receita, f.mensagem) for f in v.campos] == [
            ("Identificação", "nao_verificado", None, None, "Signatário não identificado")]
        assert (v.nome_signatario, v.tipo_assinatura, v.cargo, v.problemas) == (
            "(não identificado)", "manuscrita", None, ["Signatário não identificado"])
        assert len(lines(capsys)) == 2

    def test_lower_case_na_is_a_name(self, quiet, cache):
        [v] = quiet._validar_assinaturas([assinatura("n/a")], cache)
        assert v.nome_signatario == "n/a" and fields(v)[0][1] == "pendente"


class TestMatching:
    def test_name_key_must_normalize_to_the_contract_name(self, quiet, cache):
        [v] = quiet._validar_assinaturas([assinatura("Carlos Lima", empresa_representada="  BETA Serviços ")], cache)
        assert fields(v)[0][1] == "aprovado"
        [v] = quiet._validar_assinaturas([assinatura("Zeca Tatu", empresa_representada="Beta")], cache)
        assert fields(v)[0][1] == "pendente"  # "beta" is not a key: the whole cache found nobody

    def test_cache_search_in_insertion_order(self, quiet, monkeypatch):
        tried = []

        def poder(nome, registro):
            tried.append(registro["id"])
            return (registro["id"] == 2, f"q{registro['id']}")
        monkeypatch.setattr(quiet, "_verificar_poder_assinatura", poder)
        cache = {"a": {"id": 1}, "b": {"id": 2}, "c": {"id": 3}}
        [v] = quiet._validar_assinaturas([assinatura("X")], cache)
        assert tried == [1, 2] and v.qualificacao_qsa == "q2"
        tried.clear()
        monkeypatch.setattr(quiet, "_verificar_poder_assinatura", lambda n, r: tried.append(r["id"]) or (False, "q"))
        [v] = quiet._validar_assinaturas([assinatura("X")], cache)
        assert tried == [1, 2, 3] and (v.tem_poder_assinatura, v.qualificacao_qsa) == (False, "q")
        assert fields(v)[0][1] == "pendente"

    def test_no_registry_calls(self, quiet, cache, monkeypatch):
        def forbidden(*a):
            raise AssertionError("registry called")
        monkeypatch.setattr(checker_mod, "consultar_cnpj", forbidden)
        monkeypatch.setattr(checker_mod, "buscar_cnpj_por_nome", forbidden)
        quiet._validar_assinaturas([assinatura("Maria da Silva", cnpj_empresa=CNPJ), assinatura("Outro")], cache)


class TestFailures:
    def test_argument_types(self, quiet):
        with pytest.raises(TypeError, match=r"^Argument 'assinaturas' has incorrect type \(expected list, got dict\)$"):
            quiet._validar_assinaturas({}, {})
        with pytest.raises(TypeError, match=r"^Argument 'dados_receita_cache' has incorrect type \(expected dict, got NoneType\)$"):
            quiet._validar_assinaturas([], None)

    def test_bad_cache_values_end_the_call(self, quiet, monkeypatch):
        with pytest.raises(TypeError, match="'dados_receita' has incorrect type"):
            quiet._validar_assinaturas([assinatura("X")], {"k": ["not", "a", "map"]})
        with pytest.raises(TypeError, match="'nome2' has incorrect type"):
            quiet._validar_assinaturas([assinatura("X", cnpj_empresa=CNPJ)], {CNPJ: {"socios": [{"nome": 7}]}})
        monkeypatch.setattr(quiet, "_verificar_poder_assinatura", lambda n, d: (False, None))
        with pytest.raises(TypeError, match="'int' object is not subscriptable"):
            quiet._validar_assinaturas([assinatura("X", cnpj_empresa=CNPJ)], {CNPJ: {"socios": 5}})
        with pytest.raises(TypeError, match=r"sequence item 0: expected str instance, int found"):
            quiet._validar_assinaturas([assinatura("X", cnpj_empresa=CNPJ)], {CNPJ: {"socios": [{"nome": 7}]}})
        monkeypatch.setattr(quiet, "_verificar_poder_assinatura", lambda n, d: (True,))
        with pytest.raises(ValueError, match=r"^not enough values to unpack \(expected 2, got 1\)$"):
            quiet._validar_assinaturas([assinatura("X", cnpj_empresa=CNPJ)], {CNPJ: {"socios": []}})
