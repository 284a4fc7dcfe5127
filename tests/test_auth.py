"""Credentials: arguments before environment, provider choice, and what the engine receives."""

import importlib.util

import openai
import pytest

from scrivane import Scrivane
from scrivane_contract.auth import AuthenticatedClient, ScrivaneAuth

ENV = ("OPENAI_API_KEY", "AZURE_API_KEY", "AZURE_API_ENDPOINT", "AZURE_DEPLOYMENT_NAME", "SCRIVANE_PROVIDER")
AZURE_ARGS = dict(azure_api_key="az-arg", azure_endpoint="https://arg.example.invalid", azure_deployment="dep-arg")
AZURE_ENV = {"AZURE_API_KEY": "az-env", "AZURE_API_ENDPOINT": "https://env.example.invalid",
             "AZURE_DEPLOYMENT_NAME": "dep-env"}


@pytest.fixture(autouse=True)
def clean_env(monkeypatch):
    for name in ENV + ("OPENAI_BASE_URL",):
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


class TestPrecedence:
    def test_argument_wins_over_environment(self, monkeypatch):
        monkeypatch.setenv("OPENAI_API_KEY", "sk-env")
        for name, value in AZURE_ENV.items():
            monkeypatch.setenv(name, value)
        auth = ScrivaneAuth(openai_api_key="sk-arg", **AZURE_ARGS)
        assert auth.openai_api_key == "sk-arg"
        assert (auth.azure_api_key, auth.azure_endpoint, auth.azure_deployment) == (
            "az-arg", "https://arg.example.invalid", "dep-arg")

    def test_environment_fills_what_arguments_leave_out(self, monkeypatch):
        monkeypatch.setenv("OPENAI_API_KEY", "sk-env")
        monkeypatch.setenv("AZURE_DEPLOYMENT_NAME", "dep-env")
        auth = ScrivaneAuth(openai_api_key="", azure_api_key="az-arg")
        assert auth.openai_api_key == "sk-env"  # an empty argument counts as missing
        assert (auth.azure_api_key, auth.azure_deployment, auth.azure_endpoint) == ("az-arg", "dep-env", None)

    def test_token_and_api_version(self):
        assert ScrivaneAuth().get_token() is None
        auth = ScrivaneAuth(api_token="tok", azure_api_version="2025-01-01")
        assert auth.get_token() == "tok" and auth.azure_api_version == "2025-01-01"
        assert ScrivaneAuth().azure_api_version == "2024-02-15-preview"


# (arguments, environment) -> (provider, has_api_key, is_azure)
CONFIGURATIONS = {
    "nothing": ({}, {}, ("openai", False, False)),
    "openai argument": ({"openai_api_key": "sk"}, {}, ("openai", True, False)),
    "openai environment": ({}, {"OPENAI_API_KEY": "sk"}, ("openai", True, False)),
    "azure arguments": (AZURE_ARGS, {}, ("azure", True, True)),
    "azure environment": ({}, AZURE_ENV, ("azure", True, True)),
    "azure incomplete": ({"azure_api_key": "az", "azure_endpoint": "https://x"}, {}, ("openai", False, False)),
    "openai key beats complete azure": ({"openai_api_key": "sk"}, AZURE_ENV, ("openai", True, False)),
    "openai env key beats complete azure": ({}, {**AZURE_ENV, "OPENAI_API_KEY": "sk"}, ("openai", True, False)),
    "explicit azure, incomplete": ({"provider": "azure", "azure_api_key": "az"}, {}, ("azure", False, True)),
    "explicit azure with openai key": ({"provider": "azure", "openai_api_key": "sk"}, AZURE_ENV, ("azure", True, True)),
    "explicit openai without key": ({"provider": "openai"}, AZURE_ENV, ("openai", False, False)),
    "explicit provider, other case": ({"provider": "Azure", **AZURE_ARGS}, {}, ("azure", True, True)),
    "local needs no key": ({"provider": "local"}, {}, ("local", True, False)),
    "local, other case": ({"provider": " LOCAL "}, AZURE_ENV, ("local", True, False)),
    "local from the environment": ({}, {"SCRIVANE_PROVIDER": "local", "OPENAI_API_KEY": "sk"}, ("local", True, False)),
    "argument beats environment provider": ({"provider": "openai"}, {"SCRIVANE_PROVIDER": "local"},
                                            ("openai", False, False)),
    "empty environment provider": ({}, {"SCRIVANE_PROVIDER": ""}, ("openai", False, False)),
}


class TestProviderChoice:
    @pytest.mark.parametrize("args, env, expected", CONFIGURATIONS.values(), ids=CONFIGURATIONS.keys())
    def test_configuration(self, monkeypatch, args, env, expected):
        for name, value in env.items():
            monkeypatch.setenv(name, value)
        auth = ScrivaneAuth(**args)
        assert (auth.provider, auth.has_api_key, auth.is_azure) == expected

    @pytest.mark.parametrize("bad", ["anthropic", "", "open ai", 3])
    def test_bad_provider_is_refused(self, bad):
        with pytest.raises(ValueError, match="openai.*azure.*local"):
            ScrivaneAuth(provider=bad, openai_api_key="sk")

    def test_bad_environment_provider_names_the_variable(self, monkeypatch):
        monkeypatch.setenv("SCRIVANE_PROVIDER", "llama")
        with pytest.raises(ValueError, match="SCRIVANE_PROVIDER.*'llama'"):
            ScrivaneAuth(openai_api_key="sk")


class TestEngineArguments:
    def test_kwargs_are_a_new_map_each_call(self):
        auth = ScrivaneAuth(openai_api_key="sk")
        first = auth.get_scrivane_kwargs()
        first["model"] = "x"
        first["openai_api_key"] = "changed"
        assert auth.get_scrivane_kwargs() == {"provider": "openai", "openai_api_key": "sk"}
        assert auth.get_scrivane_kwargs() is not auth.get_scrivane_kwargs()

    def test_azure_kwargs(self):
        kwargs = ScrivaneAuth(api_token="tok", **AZURE_ARGS).get_scrivane_kwargs()
        assert kwargs == {"provider": "azure", "api_token": "tok", "azure_api_key": "az-arg",
                          "azure_endpoint": "https://arg.example.invalid", "azure_deployment": "dep-arg",
                          "azure_api_version": "2024-02-15-preview"}

    @pytest.mark.parametrize("args, expected", [({"openai_api_key": "sk"}, openai.OpenAI),
                                                (AZURE_ARGS, openai.AzureOpenAI),
                                                ({"provider": "local"}, type(None))],
                             ids=["openai", "azure", "local"])
    def test_engine_accepts_kwargs_plus_model_and_verbose(self, args, expected):
        kwargs = ScrivaneAuth(**args).get_scrivane_kwargs()
        kwargs["model"] = "gpt-4o-mini"
        kwargs["verbose"] = False
        engine = Scrivane(**kwargs)
        assert engine.model == "gpt-4o-mini"
        assert type(engine.client) is expected

    def test_engine_library_availability(self, monkeypatch):
        assert ScrivaneAuth().is_scrivane_available is True
        real = importlib.util.find_spec
        monkeypatch.setattr(importlib.util, "find_spec", lambda name, *a: None if name == "scrivane" else real(name, *a))
        assert ScrivaneAuth().is_scrivane_available is False


class TestSecrecy:
    def test_repr_hides_every_key(self):
        for auth in (ScrivaneAuth(openai_api_key="sk-SECRET1", api_token="TOKSECRET"),
                     ScrivaneAuth(azure_api_key="AZSECRET", azure_endpoint="https://e", azure_deployment="d")):
            text = repr(auth) + repr(AuthenticatedClient(auth))
            assert "SECRET" not in text
            assert auth.provider in text


class TestAuthenticatedClient:
    def test_builds_the_sdk_client_of_the_provider(self):
        assert type(AuthenticatedClient(openai_api_key="sk").client) is openai.OpenAI
        client = AuthenticatedClient(ScrivaneAuth(**AZURE_ARGS))
        assert client.provider == "azure"
        assert type(client.client) is openai.AzureOpenAI
        assert client.client is client.client

    @pytest.mark.parametrize("args, message", [({}, "OPENAI_API_KEY"), ({"provider": "azure"}, "AZURE_API_KEY"),
                                               ({"provider": "local"}, "sem modelo")])
    def test_missing_key_is_a_clear_error(self, args, message):
        with pytest.raises(ValueError, match=message):
            AuthenticatedClient(**args).client
