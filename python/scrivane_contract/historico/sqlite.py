"""A verification stored in a SQLite history with the standard library alone.

Loading SQLAlchemy takes longer than verifying a text contract, and all that
``verificar`` does with the history is to look up earlier verifications of the
same file and store the new one.  ``abrir`` opens the SQLite file of a history
whose schema is current (one read of its version, no migration check) and
returns a ``HistoricoSqlite`` that does just that, storing the same rows as
``Historico.guardar``; for anything else (another database, a file to create,
a schema to migrate, a file that does not open) it returns None and
``Historico`` takes over.
"""

from __future__ import annotations

import json
import sqlite3
import threading
from pathlib import Path
from typing import TYPE_CHECKING, Optional

from scrivane_contract.historico.comum import ESPERA_PADRAO, VERSAO, Resumo, _linhas_filhas, _url_sqlalchemy, url_padrao

if TYPE_CHECKING:
    from scrivane_contract.verificacao import Verificacao

__all__ = ["HistoricoSqlite", "abrir"]

_COLUNAS_EMPRESAS = ("verificacao_id", "cnpj", "verificado_em", "razao_social", "situacao", "endereco", "socios")
_COLUNAS_SIGNATARIOS = ("verificacao_id", "cnpj", "nome", "socio", "qualificacao")


def abrir(url: Optional[str] = None, espera: Optional[float] = None) -> Optional["HistoricoSqlite"]:
    """O histórico SQLite em ``url`` (padrão: ``url_padrao()``) com o esquema atual, ou None.

    ``espera``: segundos de espera por um banco bloqueado por outro processo (padrão: ``ESPERA_PADRAO``).
    """
    url = url or url_padrao()
    espera = ESPERA_PADRAO if espera is None else espera
    alvo = _url_sqlalchemy(url)
    if not alvo.startswith("sqlite:///"):
        return None
    caminho = alvo[len("sqlite:///"):]
    if not caminho or caminho == ":memory:" or not Path(caminho).is_file():
        return None
    try:
        # mode=rw: a missing file is Historico's to create.
        con = sqlite3.connect(Path(caminho).absolute().as_uri() + "?mode=rw", uri=True, timeout=espera,
                              check_same_thread=False, isolation_level=None)
    except sqlite3.Error:
        return None
    try:
        versao = con.execute("SELECT max(versao) FROM esquema_versao").fetchone()[0]
        if versao != VERSAO:
            con.close()
            return None
        con.execute("PRAGMA journal_mode=WAL")
        con.execute("PRAGMA synchronous=NORMAL")
        con.execute(f"PRAGMA busy_timeout={int(espera * 1000)}")
    except sqlite3.Error:
        con.close()
        return None
    return HistoricoSqlite(url, con)


class HistoricoSqlite:
    """As verificações anteriores de um arquivo, e a gravação de uma nova, num histórico SQLite atual."""

    def __init__(self, url: str, con: sqlite3.Connection) -> None:
        self.url = url
        self._con = con
        self._lock = threading.Lock()

    @property
    def descricao(self) -> str:
        """Onde o histórico está."""
        return self.url

    def anteriores(self, sha256: str, exceto: Optional[str] = None) -> list[Resumo]:
        """As verificações anteriores de um arquivo com este SHA-256, mais recentes primeiro."""
        sql = "SELECT id, verificado_em, arquivo, veredito, empresas, erro FROM verificacoes WHERE sha256 = ?"
        parametros: list[str] = [sha256]
        if exceto:
            sql += " AND id != ?"
            parametros.append(exceto)
        with self._lock:
            linhas = self._con.execute(sql + " ORDER BY verificado_em DESC", parametros).fetchall()
        return [Resumo(*linha) for linha in linhas]

    def guardar(self, v: "Verificacao") -> str:
        """Guarda a verificação (sem o arquivo do contrato); devolve seu id."""
        if not v.id:
            from scrivane_contract.verificacao import novo_id  # loaded already: v is one of its records

            v.id = novo_id()
        linhas_e, linhas_s, busca, rotulo = _linhas_filhas(v)
        with self._lock:
            con = self._con
            con.execute("BEGIN IMMEDIATE")
            try:
                for tabela, coluna in (("empresas", "verificacao_id"), ("signatarios", "verificacao_id"),
                                       ("verificacoes", "id")):
                    con.execute(f"DELETE FROM {tabela} WHERE {coluna} = ?", (v.id,))
                con.execute(
                    "INSERT INTO verificacoes (id, arquivo, sha256, verificado_em, veredito, provedor, modelo, erro, "
                    "busca, empresas, dados) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                    (v.id, v.arquivo, v.sha256, v.verificado_em or "", v.veredito, v.provedor, v.modelo, v.erro, busca,
                     rotulo, json.dumps(v.como_json(), ensure_ascii=False, default=str)))
                for tabela, colunas, linhas in (("empresas", _COLUNAS_EMPRESAS, linhas_e),
                                                ("signatarios", _COLUNAS_SIGNATARIOS, linhas_s)):
                    if linhas:
                        con.executemany(
                            f"INSERT INTO {tabela} ({', '.join(colunas)}) VALUES ({', '.join('?' * len(colunas))})",
                            [tuple(linha[c] for c in colunas) for linha in linhas])
            except BaseException:
                con.execute("ROLLBACK")
                raise
            con.execute("COMMIT")
        return v.id

    def fechar(self) -> None:
        with self._lock:
            self._con.close()
