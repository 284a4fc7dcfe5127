"""A throw-away PostgreSQL server for the tests: Debian's binaries, a temporary folder, a free port.

``ServidorPostgres`` runs ``initdb`` and ``pg_ctl`` from /usr/lib/postgresql/*/bin
(as the ``postgres`` user when the tests run as root, since the server refuses
root), listens on 127.0.0.1 only, trusts local connections, and is removed on
``parar``.  ``novo_banco()`` gives each test a database of its own.
"""

from __future__ import annotations

import glob
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
import time
import uuid
from pathlib import Path
from typing import Optional


def binarios() -> Optional[Path]:
    """The newest installed PostgreSQL's bin folder, or None."""
    pastas = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"),
                    key=lambda p: [int(x) if x.isdigit() else 0 for x in Path(p).parent.parent.name.split(".")])
    return Path(pastas[-1]).parent if pastas else None


def _porta_livre() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class ServidorPostgres:
    def __init__(self) -> None:
        self.bin = binarios()
        if self.bin is None:
            raise RuntimeError("PostgreSQL não instalado (apt-get install postgresql)")
        self.pasta = Path(tempfile.mkdtemp(prefix="scrivane-pg-"))
        self.dados = self.pasta / "dados"
        self.porta = _porta_livre()
        self._usuario = None
        if os.geteuid() == 0:
            self._usuario = pwd.getpwnam("postgres")
            os.chown(self.pasta, self._usuario.pw_uid, self._usuario.pw_gid)

    def _rodar(self, *args: str, **kw) -> subprocess.CompletedProcess:
        def como_postgres() -> None:
            if self._usuario is not None:
                os.setgid(self._usuario.pw_gid)
                os.setuid(self._usuario.pw_uid)

        env = {**os.environ, "LC_ALL": "C.UTF-8", "LANG": "C.UTF-8"}
        return subprocess.run(list(args), preexec_fn=como_postgres, env=env, capture_output=True, text=True,
                              cwd=self.pasta, **kw)

    def iniciar(self) -> "ServidorPostgres":
        r = self._rodar(str(self.bin / "initdb"), "-D", str(self.dados), "-U", "postgres", "--auth=trust",
                        "-E", "UTF8", "--no-sync", timeout=120)
        if r.returncode != 0:
            raise RuntimeError(f"initdb falhou: {r.stderr.strip()[-500:]}")
        opcoes = (f"-c listen_addresses=127.0.0.1 -c port={self.porta} -c unix_socket_directories={self.pasta} "
                  "-c fsync=off -c synchronous_commit=off -c full_page_writes=off -c max_connections=200")
        r = self._rodar(str(self.bin / "pg_ctl"), "-D", str(self.dados), "-o", opcoes, "-l",
                        str(self.pasta / "log.txt"), "-w", "-t", "60", "start", timeout=90)
        if r.returncode != 0:
            log = (self.pasta / "log.txt").read_text(errors="replace") if (self.pasta / "log.txt").exists() else ""
            raise RuntimeError(f"pg_ctl start falhou: {r.stderr.strip()[-300:]} {log[-500:]}")
        return self

    def url(self, banco: str = "postgres") -> str:
        return f"postgresql://postgres@127.0.0.1:{self.porta}/{banco}"

    def novo_banco(self) -> str:
        """A fresh, empty database; its URL."""
        import psycopg

        nome = "t_" + uuid.uuid4().hex[:12]
        with psycopg.connect(f"host=127.0.0.1 port={self.porta} user=postgres dbname=postgres",
                             autocommit=True) as con:
            con.execute(f'CREATE DATABASE "{nome}"')
        return self.url(nome)

    def parar(self) -> None:
        try:
            self._rodar(str(self.bin / "pg_ctl"), "-D", str(self.dados), "-m", "immediate", "-w", "stop", timeout=60)
        finally:
            time.sleep(0.1)
            shutil.rmtree(self.pasta, ignore_errors=True)
