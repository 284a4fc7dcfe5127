"""Company validation: _validar_empresas."""

import pytest
from checker_helpers import checker, dados, lines, no_env_keys, quiet, registry_fake  # noqa: F401

import scrivane_contract.checker as checker_mod
from scrivane_contract.models import EmpresaExtraida

CNPJ = "11222333000181"
SHOWN = "11.222.333/0001-81"


def fields(emp):
    return [(f.campo, f.status, f.valor_contrato, f.valor_receita, f.mensagem) for f in emp.campos]


def empresa(**kw):
    return EmpresaExtraida(**kw)


class TestLookup:
    def test_empty_list(self, checker, registry_fake, capsys):
        assert checker._validar_empresas([]) == ([], {})
        assert capsys.readouterr().out == "" and registry_fake.calls == []

    def test_found_by_formatted_cnpj(self, checker, registry_fake, capsys):
        rec = registry_fake.add(dados(CNPJ, "ACME COMERCIO LTDA", socios=["MARIA DA SILVA"], complemento="ANDAR 5"))
        e = empresa(cnpj=SHOWN, razao_social="Acme Comércio Ltda", papel_no_contrato="contratante",
                    endereco="Av Paulista 1000, Bela Vista, São Paulo")
        [v], cache = checker._validar_empresas([e])
        assert registry_fake.calls == [("consultar_cnpj", CNPJ)]
        assert fields(v) == [
            ("CNPJ", "aprovado", SHOWN, SHOWN, "CNPJ encontrado"),
            ("Situação Cadastral", "aprovado", "-", "ATIVA", "Empresa ATIVA"),
            ("Razão Social", "aprovado", "Acme Comércio Ltda", "ACME COMERCIO LTDA", "Confere"),
            ("Endereço", "aprovado", "Av Paulista 1000, Bela Vista, São Paulo",
             "AV PAULISTA 1000 ANDAR 5 BELA VISTA SAO PAULO SP 01310100", "Similaridade: 75%"),
        ]
        assert (v.cnpj, v.razao_social_contrato, v.razao_social_receita, v.papel_no_contrato) == (
            SHOWN, "Acme Comércio Ltda", "ACME COMERCIO LTDA", "contratante")
        assert (v.cnpj_encontrado, v.cnpj_buscado_por_nome, v.empresa_ativa, v.razao_social_confere) == (
            True, False, True, True)
        assert v.socios == rec["socios"] and v.problemas == []
        assert list(cache) == [CNPJ, "acme comercio ltda"] and cache[CNPJ] is cache["acme comercio ltda"]
        assert lines(capsys) == ["🏢 ", "--- Verificando: Acme Comércio Ltda ---", f"🔍 Consultando CNPJ {SHOWN}..."]

    def test_short_cnpj_goes_to_name_search(self, checker, registry_fake, capsys):
        registry_fake.add(dados(CNPJ, "ACME LTDA"), searchable_as="ACME LTDA")
        [v], cache = checker._validar_empresas([empresa(cnpj="1122233300018", razao_social="ACME LTDA")])
        assert registry_fake.calls == [("buscar_cnpj_por_nome", "ACME LTDA")]
        assert fields(v)[0] == ("CNPJ", "aprovado", "1122233300018", SHOWN, "CNPJ encontrado")
        assert v.cnpj_buscado_por_nome is True and list(cache) == [CNPJ, "acme ltda"]
        assert lines(capsys) == ["🏢 ", "--- Verificando: ACME LTDA ---", "🔎 Buscando por nome: ACME LTDA...",
                                 f" ✅ Encontrado: {SHOWN}"]

    def test_unknown_cnpj_falls_back_to_name(self, quiet, registry_fake):
        registry_fake.add(dados("99888777000166", "BETA SA"), searchable_as="Beta")
        registry_fake.by_cnpj.clear()
        [v], _ = quiet._validar_empresas([empresa(cnpj=CNPJ, razao_social="Beta")])
        assert registry_fake.calls == [("consultar_cnpj", CNPJ), ("buscar_cnpj_por_nome", "Beta")]
        assert v.cnpj == "99.888.777/0001-66" and fields(v)[0][2] == CNPJ

    def test_found_by_name_without_contract_cnpj(self, quiet, registry_fake):
        registry_fake.add(dados(CNPJ, "ACME"), searchable_as="ACME")
        [v], _ = quiet._validar_empresas([empresa(razao_social="ACME")])
        assert fields(v)[0] == ("CNPJ", "aprovado", "(buscado automaticamente)", SHOWN, "CNPJ encontrado")

    @pytest.mark.parametrize("cnpj_value, razao", [(None, None), ("", "")])
    def test_nothing_to_look_for(self, checker, registry_fake, capsys, cnpj_value, razao):
        [v], cache = checker._validar_empresas([empresa(cnpj=cnpj_value, razao_social=razao, papel_no_contrato="x")])
        assert registry_fake.calls == [] and cache == {}
        assert fields(v) == [("CNPJ", "reprovado", "(não informado)", None, "CNPJ não encontrado na Receita Federal")]
        assert (v.cnpj, v.razao_social_contrato, v.papel_no_contrato, v.problemas) == (
            "", razao, "x", ["CNPJ não encontrado"])
        assert (v.cnpj_encontrado, v.empresa_ativa, v.socios) == (False, False, [])
        assert lines(capsys) == ["🏢 ", "--- Verificando: Empresa ---"]

    def test_not_found_keeps_the_contract_cnpj(self, quiet, registry_fake):
        [v], _ = quiet._validar_empresas([empresa(cnpj="123", razao_social="Sumida")])
        assert fields(v)[0][2] == "123" and v.cnpj == "123"
        assert registry_fake.calls == [("buscar_cnpj_por_nome", "Sumida")]

    def test_listed_twice_is_looked_up_twice_later_wins(self, quiet, registry_fake):
        registry_fake.add(dados(CNPJ, "ACME"))
        registry_fake.add(dados("99888777000166", "OUTRA"))
        out, cache = quiet._validar_empresas([empresa(cnpj=CNPJ, razao_social="Ácme"),
                                              empresa(cnpj="99888777000166", razao_social="acme "),
                                              empresa(cnpj=CNPJ)])
        assert len(out) == 3 and [c[0] for c in registry_fake.calls] == ["consultar_cnpj"] * 3
        assert list(cache) == [CNPJ, "acme", "99888777000166"]
        assert cache["acme"]["razao_social"] == "OUTRA"


class TestChecks:
    @pytest.mark.parametrize("situacao, status, valor, mensagem, problemas", [
        ("BAIXADA", "reprovado", "BAIXADA", "Empresa BAIXADA", ["Empresa com situação: BAIXADA"]),
        ("ativa", "aprovado", "ATIVA", "Empresa ATIVA", []),
        ("INATIVA", "aprovado", "INATIVA", "Empresa ATIVA", []),
        ("suspensa", "reprovado", "SUSPENSA", "Empresa SUSPENSA", ["Empresa com situação: SUSPENSA"]),
        ("straße", "reprovado", "STRASSE", "Empresa STRASSE", ["Empresa com situação: STRASSE"]),
        (None, "reprovado", "", "Empresa ", ["Empresa com situação: "]),  # null from the registry
        ("<missing>", "reprovado", "", "Empresa ", ["Empresa com situação: "]),
    ])
    def test_status(self, quiet, registry_fake, situacao, status, valor, mensagem, problemas):
        rec = registry_fake.add(dados(CNPJ, "ACME", situacao=situacao))
        if situacao == "<missing>":
            del rec["situacao"]
        [v], _ = quiet._validar_empresas([empresa(cnpj=CNPJ, razao_social="ACME")])
        assert fields(v)[1] == ("Situação Cadastral", status, "-", valor, mensagem)
        assert v.problemas == problemas and v.empresa_ativa is (status == "aprovado")

    @pytest.mark.parametrize("registro, contrato, status, valor_receita", [
        ("ACME COMERCIO", "Zeta Servicos", "pendente", "ACME COMERCIO"),
        (None, "ACME", "pendente", None),  # null legal name: compared as "", kept as delivered
        ("<missing>", "ACME", "pendente", ""),
        ("ACME", "acme", "aprovado", "ACME"),
    ])
    def test_legal_name(self, quiet, registry_fake, registro, contrato, status, valor_receita):
        rec = registry_fake.add(dados(CNPJ, registro))
        if registro == "<missing>":
            del rec["razao_social"]
        [v], _ = quiet._validar_empresas([empresa(cnpj=CNPJ, razao_social=contrato)])
        mensagem = "Confere" if status == "aprovado" else "Divergente"
        assert fields(v)[2] == ("Razão Social", status, contrato, valor_receita, mensagem)
        assert v.razao_social_receita == valor_receita and v.problemas == []

    def test_cnpj_only_compares_an_empty_name(self, quiet, registry_fake, monkeypatch):
        registry_fake.add(dados(CNPJ, "ACME"))
        seen = []
        monkeypatch.setattr(quiet, "_comparar_nomes", lambda a, b: seen.append((a, b)) or False)
        [v], cache = quiet._validar_empresas([empresa(cnpj=CNPJ)])
        assert seen == [("", "ACME")] and fields(v)[2][2] is None and list(cache) == [CNPJ]

    def test_address(self, quiet, registry_fake, monkeypatch):
        registry_fake.add(dados(CNPJ, "ACME"))
        [v], _ = quiet._validar_empresas([empresa(cnpj=CNPJ, razao_social="ACME", endereco="")])
        assert [f[0] for f in fields(v)] == ["CNPJ", "Situação Cadastral", "Razão Social"]
        seen = []
        monkeypatch.setattr(checker_mod, "comparar_enderecos", lambda e, d: seen.append((e, d["cnpj"])) or [0, 0.125, "R"])
        [v], _ = quiet._validar_empresas([empresa(cnpj=CNPJ, razao_social="ACME", endereco="Rua X")])
        assert fields(v)[3] == ("Endereço", "pendente", "Rua X", "R", "Similaridade: 12%")
        assert seen == [("Rua X", SHOWN)]
        monkeypatch.setattr(checker_mod, "comparar_enderecos", lambda e, d: (True, 2**53 + 1, "R"))
        [v], _ = quiet._validar_empresas([empresa(cnpj=CNPJ, razao_social="ACME", endereco="Rua X")])
        assert fields(v)[3][4] == "Similaridade: 900719925474099328%"  # multiplied first, then formatted
        monkeypatch.setattr(checker_mod, "comparar_enderecos", lambda e, d: (True, 1.0))
        with pytest.raises(ValueError, match=r"^not enough values to unpack \(expected 3, got 2\)$"):
            quiet._validar_empresas([empresa(cnpj=CNPJ, razao_social="ACME", endereco="Rua X")])


class TestFailures:
    def test_argument_type(self, quiet):
        with pytest.raises(TypeError, match=r"^Argument 'empresas' has incorrect type \(expected list, got tuple\)$"):
            quiet._validar_empresas(())

    def test_registry_errors_end_the_call(self, quiet, monkeypatch):
        def broken(cnpj):
            raise RuntimeError("registro fora do ar")
        monkeypatch.setattr(checker_mod, "consultar_cnpj", broken)
        with pytest.raises(RuntimeError, match="registro fora do ar"):
            quiet._validar_empresas([empresa(cnpj=CNPJ)])

    def test_record_type_is_read_from_the_module(self, quiet, registry_fake, monkeypatch):
        made = []
        monkeypatch.setattr(checker_mod, "EmpresaVerificada", lambda **kw: made.append(kw) or "registro")
        assert quiet._validar_empresas([empresa()]) == (["registro"], {})
        assert list(made[0]) == ["cnpj", "razao_social_contrato", "papel_no_contrato", "campos", "problemas"]
