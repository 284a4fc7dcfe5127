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


# The command line points the cnpj module at the registry it chose (its ``requests`` name and URL
# constants); after each test, every fixture's teardown done, the module is put back as the run found it,
# and the registry client's memory of unreachable hosts is cleared.
_CNPJ_NOMES = ("requests", "BRASIL_API_URL", "RECEITA_WS_URL", "CASADOSDADOS_API")
_cnpj_original: dict = {}


def pytest_sessionstart(session):
    # Nothing the run starts writes into the user's data folder, not even a child process started
    # with the SCRIVANE_ variables left out: the default history lives under XDG_DATA_HOME.
    import os
    import tempfile

    dados = tempfile.mkdtemp(prefix="scrivane-testes-")
    os.environ["XDG_DATA_HOME"] = dados
    os.environ["SCRIVANE_HISTORICO"] = os.path.join(dados, "historico-da-sessao.sqlite3")

    from scrivane_contract import cnpj

    _cnpj_original.update({n: getattr(cnpj, n) for n in _CNPJ_NOMES})


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_teardown(item, nextitem):
    yield
    from scrivane_contract import cnpj

    for n, v in _cnpj_original.items():
        setattr(cnpj, n, v)
    # Nor does a host one test found out of reach stay blocked for the next (its "sem acesso" hint included).
    from scrivane_contract.registro.consultas import DISJUNTOR

    DISJUNTOR.reiniciar()


@pytest.fixture(autouse=True)
def _historico_temporario(tmp_path_factory, monkeypatch):
    """Every test stores its verifications in a fresh history of its own, never in the user's data folder."""
    pasta = tmp_path_factory.mktemp("historico")
    monkeypatch.setenv("SCRIVANE_HISTORICO", str(pasta / "historico.sqlite3"))
    yield pasta


@pytest.fixture(scope="session")
def servidor_postgres():
    """A PostgreSQL server in a temporary folder for the whole run (skips only if it cannot start)."""
    from postgres_helpers import ServidorPostgres

    try:
        servidor = ServidorPostgres().iniciar()
    except Exception as exc:  # noqa: BLE001
        pytest.skip(f"PostgreSQL indisponível: {exc}")
    yield servidor
    servidor.parar()


@pytest.fixture
def postgres_url(servidor_postgres):
    """The URL of a fresh database on the test server."""
    return servidor_postgres.novo_banco()
