"""Shared test set-up: no test may reach a host other than this machine."""

import ipaddress
import socket

import pytest

_real_connect = socket.socket.connect
_real_connect_ex = socket.socket.connect_ex


def _is_local(address):
    if isinstance(address, (str, bytes)):  # AF_UNIX path
        return True
    host = address[0]
    if host in ("localhost",):
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _guarded_connect(self, address):
    if not _is_local(address):
        raise ConnectionRefusedError(f"tests may not reach {address!r}")
    return _real_connect(self, address)


def _guarded_connect_ex(self, address):
    if not _is_local(address):
        raise ConnectionRefusedError(f"tests may not reach {address!r}")
    return _real_connect_ex(self, address)


@pytest.fixture(autouse=True, scope="session")
def _loopback_only():
    socket.socket.connect = _guarded_connect
    socket.socket.connect_ex = _guarded_connect_ex
    yield
    socket.socket.connect = _real_connect
    socket.socket.connect_ex = _real_connect_ex


@pytest.fixture(autouse=True)
def _registry_client_restored():
    """The command line points the cnpj module at the registry it chose (its ``requests`` name and URL
    constants); each test gets the module back as it found it."""
    from scrivane_contract import cnpj

    nomes = ("requests", "BRASIL_API_URL", "RECEITA_WS_URL", "CASADOSDADOS_API")
    antes = {n: getattr(cnpj, n) for n in nomes}
    yield
    for n, v in antes.items():
        setattr(cnpj, n, v)
