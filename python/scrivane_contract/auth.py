"""Credentials for the extraction engine: provider, keys and service token.

Values given as arguments win; anything missing is read from the process
environment:

* ``OPENAI_API_KEY`` for OpenAI;
* ``AZURE_API_KEY``, ``AZURE_API_ENDPOINT`` and ``AZURE_DEPLOYMENT_NAME`` for
  Azure OpenAI;
* ``SCRIVANE_PROVIDER`` for the provider itself when none is given
  ("openai", "azure" or "local").

The "local" provider reads the contract with rules on this machine: no
model, no network, no key.

An empty text counts as missing.  Keys are never printed: ``repr`` shows
only whether each one is set.
"""

from __future__ import annotations

import importlib.util
import os
from typing import Any, Optional

__all__ = ["ScrivaneAuth", "AuthenticatedClient", "PROVIDERS"]

PROVIDERS = ("openai", "azure", "local")
DEFAULT_AZURE_API_VERSION = "2024-02-15-preview"

ENV_OPENAI_API_KEY = "OPENAI_API_KEY"
ENV_AZURE_API_KEY = "AZURE_API_KEY"
ENV_AZURE_ENDPOINT = "AZURE_API_ENDPOINT"
ENV_AZURE_DEPLOYMENT = "AZURE_DEPLOYMENT_NAME"
ENV_PROVIDER = "SCRIVANE_PROVIDER"


def _first(value: Optional[str], env_name: str) -> Optional[str]:
    """The argument when it is a non-empty text, else the environment's value, else None."""
    if value:
        return value
    return os.environ.get(env_name) or None


class ScrivaneAuth:
    """Resolves which provider the engine talks to and with which credentials."""

    def __init__(
        self,
        api_token: Optional[str] = None,
        openai_api_key: Optional[str] = None,
        provider: Optional[str] = None,
        azure_api_key: Optional[str] = None,
        azure_endpoint: Optional[str] = None,
        azure_deployment: Optional[str] = None,
        azure_api_version: Optional[str] = DEFAULT_AZURE_API_VERSION,
    ) -> None:
        if provider is None:
            provider = os.environ.get(ENV_PROVIDER) or None
            if provider is not None and provider.strip().lower() not in PROVIDERS:
                raise ValueError(
                    f"Provedor inválido em {ENV_PROVIDER}: {provider!r}. Use 'openai', 'azure' ou 'local'."
                )
        if provider is not None:
            if not isinstance(provider, str) or provider.strip().lower() not in PROVIDERS:
                raise ValueError(
                    f"Provedor inválido: {provider!r}. Use 'openai', 'azure' ou 'local'."
                )
            provider = provider.strip().lower()

        self.api_token: Optional[str] = api_token or None
        self.openai_api_key: Optional[str] = _first(openai_api_key, ENV_OPENAI_API_KEY)
        self.azure_api_key: Optional[str] = _first(azure_api_key, ENV_AZURE_API_KEY)
        self.azure_endpoint: Optional[str] = _first(azure_endpoint, ENV_AZURE_ENDPOINT)
        self.azure_deployment: Optional[str] = _first(azure_deployment, ENV_AZURE_DEPLOYMENT)
        self.azure_api_version: str = azure_api_version or DEFAULT_AZURE_API_VERSION

        if provider is None:
            # Azure is chosen only when it is fully configured and no OpenAI
            # key competes with it; an explicit OpenAI key means OpenAI.
            provider = "azure" if self.azure_complete and not self.openai_api_key else "openai"
        self.provider: str = provider

    # -- state ------------------------------------------------------------

    @property
    def azure_complete(self) -> bool:
        """Key, endpoint and deployment of Azure OpenAI are all known."""
        return bool(self.azure_api_key and self.azure_endpoint and self.azure_deployment)

    @property
    def is_azure(self) -> bool:
        return self.provider == "azure"

    @property
    def is_local(self) -> bool:
        return self.provider == "local"

    @property
    def has_api_key(self) -> bool:
        """The chosen provider has everything it needs to be called."""
        if self.is_local:
            return True  # rules on this machine: nothing to call
        if self.is_azure:
            return self.azure_complete
        return bool(self.openai_api_key)

    @property
    def is_scrivane_available(self) -> bool:
        """The extraction engine can be imported in this interpreter."""
        try:
            return importlib.util.find_spec("scrivane") is not None
        except (ImportError, ValueError):
            return False

    # -- what the engine receives ------------------------------------------

    def get_token(self) -> Optional[str]:
        return self.api_token

    def get_scrivane_kwargs(self) -> dict[str, Any]:
        """Keyword arguments for ``scrivane.Scrivane``; a new dict on every call."""
        kwargs: dict[str, Any] = {"provider": self.provider}
        if self.api_token:
            kwargs["api_token"] = self.api_token
        if self.is_azure:
            kwargs["azure_api_key"] = self.azure_api_key
            kwargs["azure_endpoint"] = self.azure_endpoint
            kwargs["azure_deployment"] = self.azure_deployment
            kwargs["azure_api_version"] = self.azure_api_version
        elif not self.is_local:
            kwargs["openai_api_key"] = self.openai_api_key
        return kwargs

    def __repr__(self) -> str:
        def mark(value: Optional[str]) -> str:
            return "set" if value else "unset"

        parts = [f"provider={self.provider!r}"]
        if self.is_azure:
            parts += [
                f"azure_api_key={mark(self.azure_api_key)}",
                f"azure_endpoint={self.azure_endpoint!r}",
                f"azure_deployment={self.azure_deployment!r}",
                f"azure_api_version={self.azure_api_version!r}",
            ]
        elif not self.is_local:
            parts.append(f"openai_api_key={mark(self.openai_api_key)}")
        parts.append(f"api_token={mark(self.api_token)}")
        return f"ScrivaneAuth({', '.join(parts)})"


class AuthenticatedClient:
    """An OpenAI SDK client built from a ``ScrivaneAuth``.

    The client is created on first use of ``client`` and kept.
    """

    def __init__(self, auth: Optional[ScrivaneAuth] = None, **auth_kwargs: Any) -> None:
        if auth is not None and auth_kwargs:
            raise TypeError("pass either an existing ScrivaneAuth or its arguments, not both")
        self.auth = auth if auth is not None else ScrivaneAuth(**auth_kwargs)
        self._client: Any = None

    @property
    def provider(self) -> str:
        return self.auth.provider

    @property
    def client(self) -> Any:
        """The ``openai.OpenAI`` or ``openai.AzureOpenAI`` client for these credentials."""
        if self._client is None:
            if self.auth.is_local:
                raise ValueError(
                    "O provedor 'local' lê o contrato por regras, sem modelo: não há cliente OpenAI."
                )
            if not self.auth.has_api_key:
                if self.auth.is_azure:
                    raise ValueError(
                        "Credenciais Azure não configuradas. Defina AZURE_API_KEY, "
                        "AZURE_API_ENDPOINT e AZURE_DEPLOYMENT_NAME."
                    )
                raise ValueError(
                    "OpenAI API key não configurada. Defina OPENAI_API_KEY ou passe openai_api_key."
                )
            import openai

            if self.auth.is_azure:
                self._client = openai.AzureOpenAI(
                    api_key=self.auth.azure_api_key,
                    azure_endpoint=self.auth.azure_endpoint,
                    azure_deployment=self.auth.azure_deployment,
                    api_version=self.auth.azure_api_version,
                )
            else:
                self._client = openai.OpenAI(api_key=self.auth.openai_api_key)
        return self._client

    def __repr__(self) -> str:
        return f"AuthenticatedClient({self.auth!r})"
