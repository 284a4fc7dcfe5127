"""Shared set-up of the local-registry tests: generated releases and the command line."""

from __future__ import annotations

import os
import socket
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))

import gen_registro  # noqa: E402


def gerar(pasta: Path, estabelecimentos: int, **kw) -> "gen_registro.Manifesto":
    return gen_registro.gerar_release(pasta, estabelecimentos, **kw)


def comando(*args: str, **kw) -> subprocess.CompletedProcess:
    """Runs ``scrivane-contract ARGS`` in a child interpreter."""
    return subprocess.run([sys.executable, "-m", "scrivane_contract", *args], capture_output=True, text=True,
                          timeout=kw.pop("timeout", 300), **kw)


def iniciar(*args: str, **kw) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-m", "scrivane_contract", *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, **kw)


def porta_livre() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def esperar_porta(porta: int, processo: subprocess.Popen, limite: float = 30.0) -> None:
    fim = time.monotonic() + limite
    while time.monotonic() < fim:
        if processo.poll() is not None:
            raise RuntimeError(f"server exited: {processo.stderr.read()}")
        try:
            with socket.create_connection(("127.0.0.1", porta), timeout=0.2):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("server did not start")


def sem_proxy() -> dict:
    env = dict(os.environ)
    env["NO_PROXY"] = "127.0.0.1,localhost"
    return env
