"""The checker as a Python module: late binding, methods through self, stdout, metadata, references."""

import contextlib
import gc
import inspect
import io
import pathlib
import sys
import tracemalloc
import weakref

import pytest
from checker_helpers import (FakeEngine, checker, dados, lines, no_env_keys, quiet, registry_fake,  # noqa: F401
                             with_engine)

import scrivane_contract.checker as checker_mod
from scrivane_contract import cnpj
from scrivane_contract.checker import ContractChecker, verificar_contrato
from scrivane_contract.models import EmpresaExtraida

CNPJ = "11222333000181"
METHODS = ["__init__", "_log", "_init_scrivane", "_setup_questions", "verificar", "_normalizar_texto",
           "_comparar_nomes", "_verificar_poder_assinatura", "_validar_empresas", "_validar_assinaturas",
           "_imprimir_relatorio"]


@pytest.fixture
def contrato(tmp_path):
    path = tmp_path / "c.pdf"
    path.write_bytes(b"%PDF")
    return path


def one_company():
    return FakeEngine([{"cnpj": CNPJ, "razao_social": "ACME", "endereco": "Av Paulista 1000"}],
                      [{"nome_signatario": "Maria", "cnpj_empresa": CNPJ}], {})


class TestMetadata:
    def test_functions(self):
        for name in METHODS:
            f = ContractChecker.__dict__[name]
            assert (f.__name__, f.__qualname__, f.__module__) == (name, f"ContractChecker.{name}",
                                                                 "scrivane_contract.checker")
        assert verificar_contrato.__qualname__ == "verificar_contrato"
        assert ContractChecker.__module__ == "scrivane_contract.checker"
        assert [p for p in ContractChecker.__dict__ if p in ("auth", "token", "provider")] == ["auth", "token", "provider"]

    def test_signatures(self):
        assert str(inspect.signature(ContractChecker)) == (
            "(api_token=None, openai_api_key=None, provider=None, azure_api_key=None, azure_endpoint=None, "
            "azure_deployment=None, azure_api_version='2024-02-15-preview', model='gpt-4o', verbose=True, "
            "usar_ai_search=True)")
        assert str(inspect.signature(verificar_contrato)) == "(documento, openai_api_key=None, verbose=True)"
        assert str(inspect.signature(ContractChecker._comparar_nomes)) == "(self, nome1, nome2)"
        assert ContractChecker._comparar_nomes.__annotations__ == {"nome1": "str", "nome2": "str", "return": "bool"}

    def test_bound_methods_and_argument_errors(self, checker):
        assert checker._log.__self__ is checker and inspect.ismethod(checker.verificar)
        with pytest.raises(TypeError, match=r"^ContractChecker.verificar\(\) missing 1 required positional argument: 'documento'$"):
            checker.verificar()
        with pytest.raises(TypeError, match=r"^ContractChecker._comparar_nomes\(\) takes 3 positional arguments but 4 were given$"):
            checker._comparar_nomes("a", "b", "c")


class TestLateBinding:
    def test_registry_functions_rebound(self, quiet, monkeypatch):
        calls = []
        monkeypatch.setattr(checker_mod, "limpar_cnpj", lambda c: calls.append(("limpar", c)) or "L")
        monkeypatch.setattr(checker_mod, "validar_cnpj", lambda c: calls.append(("validar", c)) or True)
        monkeypatch.setattr(checker_mod, "formatar_cnpj", lambda c: calls.append(("formatar", c)) or "F")
        monkeypatch.setattr(checker_mod, "consultar_cnpj", lambda c: calls.append(("consultar", c)) or dados(CNPJ, "A"))
        monkeypatch.setattr(checker_mod, "comparar_enderecos", lambda e, d: calls.append(("comparar", e)) or (1, 1, "R"))
        [v], cache = quiet._validar_empresas([EmpresaExtraida(cnpj="x", razao_social="A", endereco="E")])
        assert calls == [("limpar", "x"), ("validar", "L"), ("formatar", "L"), ("consultar", "L"), ("comparar", "E"),
                         ("limpar", "x")]
        assert list(cache) == ["L", "a"]

    def test_a_removed_name_fails_at_use(self, quiet, monkeypatch):
        monkeypatch.delattr(checker_mod, "buscar_cnpj_por_nome")
        assert quiet._validar_empresas([EmpresaExtraida()])[1] == {}  # no name: no search, no lookup of the name
        with pytest.raises(NameError, match="^name 'buscar_cnpj_por_nome' is not defined$"):
            quiet._validar_empresas([EmpresaExtraida(razao_social="ACME")])

    def test_path_and_record_types_rebound(self, quiet, contrato, monkeypatch):
        with_engine(quiet, one_company())
        seen = []

        class P(type(pathlib.Path())):
            def exists(self):
                seen.append("exists")
                return True
        monkeypatch.setattr(checker_mod, "Path", P)
        monkeypatch.setattr(checker_mod, "consultar_cnpj", lambda c: None)
        monkeypatch.setattr(checker_mod, "buscar_cnpj_por_nome", lambda n: None)
        made = []
        real = checker_mod.CampoVerificado
        monkeypatch.setattr(checker_mod, "CampoVerificado", lambda **kw: made.append(kw["campo"]) or real(**kw))
        r = quiet.verificar("/nao/existe.pdf")
        assert seen == ["exists"] and made == ["CNPJ", "Poder de Assinatura"]
        assert r["campos_reprovados"] == ["CNPJ - ACME"] and r["campos_pendentes"] == ["Poder de Assinatura - Maria"]

    def test_the_real_cnpj_functions_by_default(self):
        for name in ("consultar_cnpj", "validar_cnpj", "formatar_cnpj", "limpar_cnpj", "buscar_cnpj_por_nome"):
            assert getattr(checker_mod, name) is getattr(cnpj, name)


class TestThroughSelf:
    def test_log_patched_on_the_class(self, checker, contrato, registry_fake, monkeypatch, capsys):
        with_engine(checker, one_company())
        seen = []
        monkeypatch.setattr(ContractChecker, "_log", lambda self, msg, emoji="📋": seen.append((emoji, msg)))
        monkeypatch.setattr(ContractChecker, "_imprimir_relatorio", lambda self, **kw: seen.append("relatorio"))
        checker.verificar(contrato)
        assert seen[:2] == [("", "\n" + "=" * 60), ("🔍", "VERIFICAÇÃO DE LEGITIMIDADE DE CONTRATO")]
        assert ("👤", "Verificando: Maria") in seen and seen[-1] == "relatorio"
        assert capsys.readouterr().out == ""

    def test_validation_patched_on_the_instance(self, quiet, contrato, monkeypatch):
        with_engine(quiet, one_company())
        monkeypatch.setattr(quiet, "_validar_empresas", lambda empresas: ([], {"k": {"socios": [{"nome": "Maria"}]}}))
        monkeypatch.setattr(quiet, "_init_scrivane", lambda: True)
        r = quiet.verificar(contrato)
        assert r["campos_aprovados"] == ["Poder de Assinatura - Maria"]

    def test_subclass_overrides_are_used(self, no_env_keys, registry_fake):
        class Strict(ContractChecker):
            def _comparar_nomes(self, a, b):
                return a == b
        registry_fake.add(dados(CNPJ, "ACME LTDA"))
        [v], _ = Strict(openai_api_key="k", verbose=False)._validar_empresas([EmpresaExtraida(cnpj=CNPJ, razao_social="Acme Ltda")])
        assert v.razao_social_confere is False

    def test_output_follows_redirection(self, checker, contrato, registry_fake):
        with_engine(checker, one_company())
        buf = io.StringIO()
        with contextlib.redirect_stdout(buf):
            checker.verificar(contrato)
        assert buf.getvalue().count("\n") > 40 and "RESULTADO FINAL" in buf.getvalue()

    def test_print_rebound_in_the_module_is_used(self, checker, monkeypatch, capsys):
        seen = []
        monkeypatch.setattr(checker_mod, "print", lambda *a, **k: seen.append((a, k)), raising=False)
        checker._log("x", "")
        assert seen == [((" x",), {})] and capsys.readouterr().out == ""


class TestReferences:
    def test_checker_is_collected_with_a_cycle(self, no_env_keys):
        c = ContractChecker(openai_api_key="k")
        c.self_ref = c
        ref = weakref.ref(c)
        del c
        gc.collect()
        assert ref() is None

    def test_no_growth_over_many_runs(self, quiet, contrato, registry_fake):
        registry_fake.add(dados(CNPJ, "ACME", socios=["MARIA"]))
        engine = with_engine(quiet, one_company())
        held = [engine.answers["empresas"].raw_result, engine.metrics, registry_fake.by_cnpj[CNPJ]["socios"], contrato]

        def run(n):
            for _ in range(n):
                quiet.verificar(contrato)
                quiet._comparar_nomes("Rio Azul Comercio", "Comercio Rio Azul")
                registry_fake.calls.clear()
        run(30)
        gc.collect()
        counts = [sys.getrefcount(o) for o in held]
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            run(300)
            gc.collect()
            growth = tracemalloc.get_traced_memory()[0] - before
        finally:
            tracemalloc.stop()
        assert growth < 64 * 1024, growth
        assert [sys.getrefcount(o) for o in held] == counts
