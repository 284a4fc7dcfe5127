"""Loading the checker module, building a ContractChecker, its properties and _log."""

import importlib
import pathlib
import subprocess
import sys
import typing
import unicodedata

import pytest
from checker_helpers import checker, lines, no_env_keys  # noqa: F401

import scrivane_contract
import scrivane_contract.checker as checker_mod
from scrivane_contract import auth, cnpj, models
from scrivane_contract.checker import ContractChecker

BOUND = ["unicodedata", "Path", "Dict", "List", "Optional", "Tuple", "Any", "ScrivaneAuth", "AuthenticatedClient",
         "EmpresaExtraida", "ExtracaoEmpresas", "AssinaturaExtraida", "ExtracaoAssinaturas", "ExtracaoDadosContrato",
         "CampoVerificado", "EmpresaVerificada", "AssinaturaVerificada", "ClassificacaoLegitimidade",
         "consultar_cnpj", "validar_cnpj", "formatar_cnpj", "limpar_cnpj", "buscar_cnpj_por_nome",
         "comparar_enderecos", "ContractChecker", "verificar_contrato"]


class TestLoading:
    def test_binds_every_name_in_order(self):
        names = [n for n in vars(checker_mod) if n in BOUND]
        assert names == BOUND
        assert checker_mod.unicodedata is unicodedata and checker_mod.Path is pathlib.Path
        assert checker_mod.Dict is typing.Dict and checker_mod.Any is typing.Any
        assert checker_mod.ScrivaneAuth is auth.ScrivaneAuth
        assert checker_mod.AuthenticatedClient is auth.AuthenticatedClient
        assert checker_mod.ClassificacaoLegitimidade is models.ClassificacaoLegitimidade
        assert checker_mod.comparar_enderecos is cnpj.comparar_enderecos

    @pytest.fixture
    def reimport(self, monkeypatch):
        monkeypatch.setattr(scrivane_contract, "checker", checker_mod)
        monkeypatch.delitem(sys.modules, "scrivane_contract.checker")

        def load():
            return importlib.import_module("scrivane_contract.checker")
        return load

    @pytest.mark.parametrize("module, name", [
        (auth, "AuthenticatedClient"), (models, "ClassificacaoLegitimidade"), (cnpj, "comparar_enderecos"),
        (cnpj, "consultar_cnpj")])
    def test_a_missing_name_fails_the_import(self, reimport, monkeypatch, module, name):
        monkeypatch.delattr(module, name)
        with pytest.raises(ImportError) as info:
            reimport()
        assert str(info.value) == f"cannot import name '{name}' from '{module.__name__}' ({module.__file__})"
        assert (info.value.name, info.value.path, info.value.name_from) == (module.__name__, module.__file__, name)
        assert "scrivane_contract.checker" not in sys.modules

    def test_the_first_missing_name_in_load_order_is_reported(self, reimport, monkeypatch):
        monkeypatch.delattr(cnpj, "limpar_cnpj")
        monkeypatch.delattr(models, "CampoVerificado")
        monkeypatch.delattr(auth, "ScrivaneAuth")
        with pytest.raises(ImportError, match="cannot import name 'ScrivaneAuth'"):
            reimport()

    def test_a_fresh_load_is_a_new_working_module(self, reimport, no_env_keys):
        fresh = reimport()
        assert fresh is not checker_mod and fresh.ContractChecker is not ContractChecker
        assert fresh.ContractChecker(openai_api_key="k").model == "gpt-4o"

    def test_the_engine_is_not_imported_at_load(self):
        code = ("import sys, scrivane_contract.checker as c; c.ContractChecker(openai_api_key='k');"
                "print('scrivane' in sys.modules)")
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
        assert out == "False\n"


class TestConstructor:
    def test_attributes_in_order(self, checker):
        assert list(vars(checker)) == ["verbose", "model", "usar_ai_search", "_auth", "_client", "_scrivane_available"]
        assert (checker.verbose, checker.model, checker.usar_ai_search) == (True, "gpt-4o", True)
        assert (checker._client, checker._scrivane_available) == (None, None)
        checker.model = "outro"
        assert checker.model == "outro"

    def test_all_ten_arguments_by_position(self, no_env_keys):
        c = ContractChecker("tok", "sk-1", "openai", None, None, None, "2024-01-01", "gpt-x", 0, [])
        assert (c.verbose, c.model, c.usar_ai_search, c.token, c.auth.azure_api_version) == (
            False, "gpt-x", False, "tok", "2024-01-01")

    def test_credentials_go_to_scrivaneauth_by_keyword(self, monkeypatch, no_env_keys):
        seen = []

        class Auth:
            has_api_key = True

            def __init__(self, **kw):
                seen.append(kw)
        monkeypatch.setattr(checker_mod, "ScrivaneAuth", Auth)
        c = ContractChecker(azure_endpoint="https://e", model="m")
        assert seen == [{"api_token": None, "openai_api_key": None, "provider": None, "azure_api_key": None,
                         "azure_endpoint": "https://e", "azure_deployment": None,
                         "azure_api_version": "2024-02-15-preview"}]
        assert type(c.auth) is Auth

    @pytest.mark.parametrize("index, name", list(enumerate(
        ["api_token", "openai_api_key", "provider", "azure_api_key", "azure_endpoint", "azure_deployment",
         "azure_api_version", "model"])))
    def test_argument_types_checked_in_order(self, no_env_keys, index, name):
        args = [None] * 6 + ["v", "m"]
        args[index] = 1
        kwargs = dict(zip(["api_token", "openai_api_key", "provider", "azure_api_key", "azure_endpoint",
                           "azure_deployment", "azure_api_version", "model"], args))
        kwargs["model"] = None if index < 7 else 1  # a later wrong argument never wins
        with pytest.raises(TypeError) as info:
            ContractChecker(**kwargs)
        assert str(info.value) == f"Argument '{name}' has incorrect type (expected str, got int)"

    def test_null_model_and_api_version_refused(self, no_env_keys):
        with pytest.raises(TypeError, match=r"^Argument 'model' has incorrect type \(expected str, got NoneType\)$"):
            ContractChecker(openai_api_key="k", model=None)
        with pytest.raises(TypeError, match="'azure_api_version'.*got NoneType"):
            ContractChecker(openai_api_key="k", azure_api_version=None)

    def test_interpreter_argument_errors(self, no_env_keys):
        with pytest.raises(TypeError, match=r"^ContractChecker.__init__\(\) got an unexpected keyword argument 'x'$"):
            ContractChecker(x=1)
        with pytest.raises(TypeError, match=r"takes from 1 to 11 positional arguments but 12 were given"):
            ContractChecker(*[None] * 11)

    def test_key_messages(self, monkeypatch, no_env_keys):
        with pytest.raises(ValueError) as info:
            ContractChecker()
        assert str(info.value) == "OpenAI API key não configurada. Defina OPENAI_API_KEY ou passe openai_api_key."
        with pytest.raises(ValueError) as info:
            ContractChecker(provider="azure", azure_api_key="k")
        assert str(info.value) == ("Credenciais Azure não configuradas. Defina AZURE_API_KEY, AZURE_API_ENDPOINT "
                                   "e AZURE_DEPLOYMENT_NAME.")
        monkeypatch.setenv("OPENAI_API_KEY", "sk-env")
        assert ContractChecker().provider == "openai"
        monkeypatch.delenv("OPENAI_API_KEY")
        for k, v in {"AZURE_API_KEY": "a", "AZURE_API_ENDPOINT": "https://e", "AZURE_DEPLOYMENT_NAME": "d"}.items():
            monkeypatch.setenv(k, v)
        assert ContractChecker().provider == "azure"

    def test_scrivaneauth_errors_pass_unchanged(self, no_env_keys):
        with pytest.raises(ValueError, match="^Provedor inválido: 'bogus'"):
            ContractChecker(openai_api_key="k", provider="bogus")

    def test_verbose_and_ai_search_are_truth_values(self, no_env_keys):
        for value, expected in [(0, False), ("", False), ("no", True), ([1], True)]:
            c = ContractChecker(openai_api_key="k", verbose=value, usar_ai_search=value)
            assert c.verbose is expected and c.usar_ai_search is expected


class TestProperties:
    def test_computed_on_every_read(self, checker):
        assert checker.auth is checker._auth and checker.provider == "openai" and checker.token is None

        class Auth:
            provider = "azure"

            def get_token(self):
                return "t-1"
        checker._auth = Auth()
        assert (checker.provider, checker.token) == ("azure", "t-1")
        assert type(checker.auth) is Auth

    def test_read_only(self, checker):
        for name in ("auth", "token", "provider"):
            with pytest.raises(AttributeError):
                setattr(checker, name, "x")

    def test_non_text_values_refused(self, checker):
        class Auth:
            provider = 3

            def get_token(self):
                return b"x"
        checker._auth = Auth()
        with pytest.raises(TypeError, match="^Expected str, got int$"):
            checker.provider
        with pytest.raises(TypeError, match="^Expected str, got bytes$"):
            checker.token


class TestLog:
    def test_lines(self, checker, capsys):
        checker._log("mensagem")
        checker._log("x", "")
        checker._log("\nabc", "🔍")
        checker._log(msg="y", emoji="✅")
        assert lines(capsys) == ["📋 mensagem", " x", "🔍 ", "abc", "✅ y"]

    def test_silent_when_not_verbose(self, checker, capsys):
        checker.verbose = False
        assert checker._log("mensagem") is None
        checker.verbose = 1
        checker._log("depois", "")
        assert capsys.readouterr().out == " depois\n"

    def test_goes_through_current_stdout(self, checker, monkeypatch):
        import io
        buf = io.StringIO()
        monkeypatch.setattr(sys, "stdout", buf)
        checker._log("a")
        assert buf.getvalue() == "📋 a\n"
