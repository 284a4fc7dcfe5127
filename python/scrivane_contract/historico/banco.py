"""The history database: schema, migrations, storing, listing and deleting verifications.

SQLite by default (a file in the user's data folder), or any database a
SQLAlchemy URL names (PostgreSQL through psycopg).  The schema carries its
version in ``esquema_versao``; ``Historico`` applies the missing migrations
when it opens the database, under a lock, so several processes may start at
once.  Only what a verification found is stored, never the contract file.
"""

from __future__ import annotations

import json
import re
import secrets
import threading
from functools import partial
from pathlib import Path
from typing import Any, Callable, Iterable, Optional

import sqlalchemy as sa
from sqlalchemy.engine import Connection

from scrivane_contract.historico.comum import (  # noqa: F401  (names of this module before)
    ENV_HISTORICO,
    ESPERA_PADRAO,
    VERSAO,
    Resumo,
    _campo,
    _digitos,
    _linhas_filhas,
    _socio_correspondente,
    _url_sqlalchemy,
    caminho_padrao,
    dobrar,
    url_padrao,
)
from scrivane_contract.verificacao import Verificacao

__all__ = ["Historico", "HistoricoIndisponivel", "IdAmbiguo", "url_padrao", "caminho_padrao", "ENV_HISTORICO", "VERSAO",
           "normalizar_data", "dobrar", "motivo_banco", "ESPERA_PADRAO"]

metadados = sa.MetaData()

esquema_versao = sa.Table(
    "esquema_versao", metadados,
    sa.Column("versao", sa.Integer, nullable=False),
)

verificacoes = sa.Table(
    "verificacoes", metadados,
    sa.Column("id", sa.String(32), primary_key=True),
    sa.Column("arquivo", sa.Text, nullable=False),
    sa.Column("sha256", sa.String(64)),
    sa.Column("verificado_em", sa.String(32), nullable=False),
    sa.Column("veredito", sa.String(16)),
    sa.Column("provedor", sa.String(32)),
    sa.Column("modelo", sa.String(200)),
    sa.Column("erro", sa.Text),
    # Folded names of the companies and signatories, and the file name: what --nome searches.
    sa.Column("busca", sa.Text, nullable=False, default=""),
    sa.Column("empresas", sa.Text, nullable=False, default=""),
    sa.Column("dados", sa.Text, nullable=False),
    sa.Index("ix_verificacoes_sha256", "sha256"),
    sa.Index("ix_verificacoes_verificado_em", "verificado_em"),
)

empresas = sa.Table(
    "empresas", metadados,
    sa.Column("verificacao_id", sa.String(32), nullable=False),
    sa.Column("cnpj", sa.String(14), nullable=False),
    sa.Column("verificado_em", sa.String(32), nullable=False),
    sa.Column("razao_social", sa.Text),
    sa.Column("situacao", sa.Text),
    sa.Column("endereco", sa.Text),
    sa.Column("socios", sa.Text, nullable=False, default="[]"),
    sa.Index("ix_empresas_cnpj", "cnpj", "verificado_em"),
    sa.Index("ix_empresas_verificacao", "verificacao_id"),
)

signatarios = sa.Table(
    "signatarios", metadados,
    sa.Column("verificacao_id", sa.String(32), nullable=False),
    sa.Column("cnpj", sa.String(14), nullable=False),
    sa.Column("nome", sa.Text, nullable=False),
    # The partner as the registry wrote it when the contract was verified.
    sa.Column("socio", sa.Text),
    sa.Column("qualificacao", sa.Text),
    sa.Index("ix_signatarios_verificacao", "verificacao_id"),
    sa.Index("ix_signatarios_cnpj", "cnpj"),
)

# The queue of the version-1 schema; read once by the migration to version 2, then dropped.
_trabalhos_v1 = sa.Table(
    "trabalhos", sa.MetaData(),
    sa.Column("id", sa.String(32), primary_key=True),
    sa.Column("arquivo", sa.Text, nullable=False),
    sa.Column("estado", sa.String(16), nullable=False),
    sa.Column("criada_em", sa.Float, nullable=False),
    sa.Column("iniciada_em", sa.Float),
    sa.Column("terminada_em", sa.Float),
    sa.Column("conteudo", sa.LargeBinary),
    sa.Column("dono", sa.String(64)),
    sa.Column("lease_ate", sa.Float),
    sa.Column("tentativas", sa.Integer, nullable=False, default=0),
    sa.Column("erro", sa.Text),
    sa.Index("ix_trabalhos_estado", "estado", "criada_em"),
)

# Uploads the web service accepted and whose verification is not stored yet: the file's bytes
# live here from before the 202 until the verification is in ``verificacoes`` (same transaction).
envios = sa.Table(
    "envios", metadados,
    sa.Column("id", sa.String(32), primary_key=True),
    sa.Column("arquivo", sa.Text, nullable=False),
    sa.Column("criada_em", sa.Float, nullable=False),
    sa.Column("conteudo", sa.LargeBinary, nullable=False),
    # PostgreSQL: the procrastinate job that verifies it, and who is running it (host:pid:worker).
    sa.Column("tarefa", sa.BigInteger),
    sa.Column("dono", sa.String(200)),
    sa.Column("iniciada_em", sa.Float),
    sa.Index("ix_envios_criada_em", "criada_em"),
)

alertas = sa.Table(
    "alertas", metadados,
    sa.Column("cnpj", sa.String(14), nullable=False),
    sa.Column("razao_social", sa.Text),
    sa.Column("verificacao_id", sa.String(32)),
    sa.Column("verificado_em", sa.String(32)),
    sa.Column("arquivos", sa.Text, nullable=False, default="[]"),
    sa.Column("campo", sa.Text, nullable=False),
    sa.Column("antes", sa.Text),
    sa.Column("agora", sa.Text),
    sa.Column("detectado_em", sa.String(32), nullable=False),
)

valores = sa.Table(
    "valores", metadados,
    sa.Column("chave", sa.String(64), primary_key=True),
    sa.Column("valor", sa.Text),
)

TABELAS_V1 = (verificacoes, empresas, signatarios, _trabalhos_v1, alertas, valores)


def _migrar_v1(con: Connection) -> None:
    for tabela in TABELAS_V1:
        tabela.create(con, checkfirst=True)


def _migrar_v2(con: Connection) -> None:
    """Uploads move to ``envios``; on PostgreSQL, the job queue becomes procrastinate's schema."""
    envios.create(con, checkfirst=True)
    t = _trabalhos_v1.c
    pendentes = con.execute(sa.select(t.id, t.arquivo, t.criada_em, t.conteudo)
                            .where(t.estado.in_(("na_fila", "em_andamento"))).where(t.conteudo.is_not(None))).all()
    if pendentes:
        # Queued again at the next start (see the queues' start-up).
        con.execute(envios.insert(), [{"id": i, "arquivo": a, "criada_em": c, "conteudo": b}
                                      for i, a, c, b in pendentes])
    _trabalhos_v1.drop(con)
    if con.dialect.name == "postgresql":
        from importlib import resources

        # procrastinate's schema of the version pinned in the dependencies; a later version of it
        # that changes the schema comes with a migration here that applies its migration files.
        esquema = (resources.files("procrastinate.sql") / "schema.sql").read_text(encoding="utf-8")
        with con.connection.cursor() as cur:
            cur.execute(esquema)


# Migration to version N is MIGRACOES[N - 1]; a new version appends a function.
MIGRACOES: list[Callable[[Connection], None]] = [_migrar_v1, _migrar_v2]
assert len(MIGRACOES) == VERSAO


class HistoricoIndisponivel(Exception):
    """O banco do histórico não pôde ser aberto (mensagem para o usuário)."""


# How many of the ids an ambiguous prefix matches are named in its message.
MAX_AMBIGUOS = 5


class IdAmbiguo(LookupError):
    """O começo de id dado é o de mais de uma verificação (``ids``: algumas delas, em ordem)."""

    def __init__(self, prefixo: str, ids: list[str]):
        self.prefixo = prefixo
        self.ids = ids
        nomes = ", ".join(ids[:MAX_AMBIGUOS]) + (", ..." if len(ids) > MAX_AMBIGUOS else "")
        super().__init__(f"o id {prefixo!r} é o começo de mais de uma verificação ({nomes}): "
                         "indique mais caracteres do id")


def normalizar_data(texto: str) -> str:
    """"AAAA-MM-DD" (ou com hora, ISO 8601) no formato guardado, UTC; ``ValueError`` se inválida."""
    from datetime import datetime, timezone

    texto = texto.strip()
    if re.fullmatch(r"\d{2}/\d{2}/\d{4}", texto):
        d, m, a = texto.split("/")
        texto = f"{a}-{m}-{d}"
    data = datetime.fromisoformat(texto)
    if data.tzinfo is None:
        data = data.replace(tzinfo=timezone.utc)
    return data.astimezone(timezone.utc).isoformat(timespec="seconds")


class Historico:
    """O histórico de verificações num banco SQLAlchemy (SQLite ou PostgreSQL).

    ``url``: uma URL SQLAlchemy (``postgresql://...``, ``sqlite:///...``) ou o
    caminho de um arquivo SQLite; padrão: ``url_padrao()``.  Abre o banco, cria
    ou migra o esquema.
    """

    def __init__(self, url: Optional[str] = None, espera: float = ESPERA_PADRAO) -> None:
        self.url = url or url_padrao()
        alvo = _url_sqlalchemy(self.url)
        self.sqlite = alvo.startswith("sqlite")
        try:
            if self.sqlite:
                caminho = alvo[len("sqlite:///"):]
                if caminho and caminho != ":memory:" and not Path(caminho).parent.is_dir():
                    # Only the default data folder is made; a folder the user named must exist.
                    if Path(caminho) != caminho_padrao():
                        raise HistoricoIndisponivel(
                            f"histórico inacessível ({self.descricao}): a pasta {Path(caminho).parent} não existe")
                    Path(caminho).parent.mkdir(parents=True, exist_ok=True)
                self.engine = sa.create_engine(alvo, connect_args={"timeout": espera, "check_same_thread": False})
                sa.event.listen(self.engine, "connect", partial(_pragmas_sqlite, espera=espera))
                # Transactions that write start with BEGIN IMMEDIATE: no upgrade deadlocks.
                sa.event.listen(self.engine, "begin", lambda con: con.exec_driver_sql("BEGIN IMMEDIATE"))
            else:
                argumentos: dict[str, Any] = {}
                if espera < ESPERA_PADRAO:  # a server down or a lock held elsewhere costs seconds, not minutes
                    argumentos = {"connect_timeout": max(2, round(espera)),
                                  "options": f"-c lock_timeout={int(espera * 1000)}"}
                self.engine = sa.create_engine(alvo, pool_pre_ping=True, pool_size=10, max_overflow=20,
                                               connect_args=argumentos)
            if self._versao_lida() != VERSAO:
                self.migrar()
        except HistoricoIndisponivel:
            raise
        except ImportError as exc:
            raise HistoricoIndisponivel(
                f"o histórico em {self.descricao} precisa do driver {exc.name}: "
                "pip install 'scrivane-contract[postgresql]'") from None
        except (sa.exc.SQLAlchemyError, OSError) as exc:
            raise HistoricoIndisponivel(f"histórico inacessível ({self.descricao}): {motivo_banco(exc)}") from None
        self._lock = threading.Lock()

    @property
    def descricao(self) -> str:
        """Onde o histórico está, sem a senha da URL."""
        return re.sub(r"://([^:/@]+):[^@]*@", r"://\1:***@", self.url)

    # -- schema ------------------------------------------------------------------

    def versao(self) -> int:
        with self.engine.connect() as con:
            return _versao(con)

    def _versao_lida(self) -> int:
        # One plain read: a current schema needs no lock and no migration check.
        with self.engine.connect() as con:  # a database out of reach fails here, as in migrar
            try:
                return int(con.execute(sa.select(sa.func.max(esquema_versao.c.versao))).scalar() or 0)
            except sa.exc.DBAPIError:
                return 0  # no schema yet: migrar creates it

    def migrar(self) -> None:
        """Cria o esquema ou aplica as migrações que faltam."""
        with self.engine.begin() as con:
            if not self.sqlite:
                # One process migrates at a time; the others wait, then find nothing to do.
                con.execute(sa.text("SELECT pg_advisory_xact_lock(7311022)"))
            esquema_versao.create(con, checkfirst=True)
            atual = _versao(con)
            if atual > VERSAO:
                raise HistoricoIndisponivel(
                    f"o histórico {self.descricao} tem o esquema {atual}, mais novo que o deste programa "
                    f"({VERSAO}): atualize o scrivane-contract")
            for n in range(atual + 1, VERSAO + 1):
                MIGRACOES[n - 1](con)
            if atual != VERSAO:
                con.execute(esquema_versao.delete())
                con.execute(esquema_versao.insert().values(versao=VERSAO))

    def fechar(self) -> None:
        self.engine.dispose()

    # -- verifications ------------------------------------------------------------

    def guardar(self, v: Verificacao, con: Optional[Connection] = None) -> str:
        """Guarda a verificação (sem o arquivo do contrato); devolve seu id."""
        if not v.id:
            v.id = secrets.token_hex(6)
        if con is None:
            with self.engine.begin() as con:
                return self.guardar(v, con)
        linhas_e, linhas_s, busca, rotulo = _linhas_filhas(v)
        _apagar_ids(con, [v.id])
        con.execute(verificacoes.insert().values(
            id=v.id, arquivo=v.arquivo, sha256=v.sha256, verificado_em=v.verificado_em or "", veredito=v.veredito,
            provedor=v.provedor, modelo=v.modelo, erro=v.erro, busca=busca, empresas=rotulo,
            dados=json.dumps(v.como_json(), ensure_ascii=False, default=str)))
        if linhas_e:
            con.execute(empresas.insert(), linhas_e)
        if linhas_s:
            con.execute(signatarios.insert(), linhas_s)
        return v.id

    def guardar_lote(self, lista: Iterable[Verificacao]) -> int:
        """Guarda muitas verificações novas numa só transação (ids ainda não usados); devolve quantas."""
        linhas_v: list[dict] = []
        linhas_e: list[dict] = []
        linhas_s: list[dict] = []
        for v in lista:
            if not v.id:
                v.id = secrets.token_hex(6)
            e, s_, busca, rotulo = _linhas_filhas(v)
            linhas_e += e
            linhas_s += s_
            linhas_v.append(dict(id=v.id, arquivo=v.arquivo, sha256=v.sha256, verificado_em=v.verificado_em or "",
                                 veredito=v.veredito, provedor=v.provedor, modelo=v.modelo, erro=v.erro, busca=busca,
                                 empresas=rotulo, dados=json.dumps(v.como_json(), ensure_ascii=False, default=str)))
        with self.engine.begin() as con:
            for tabela, linhas in ((verificacoes, linhas_v), (empresas, linhas_e), (signatarios, linhas_s)):
                for i in range(0, len(linhas), 5000):
                    con.execute(tabela.insert(), linhas[i:i + 5000])
        return len(linhas_v)

    def obter(self, ident: str) -> Optional[Verificacao]:
        """A verificação de id ``ident`` (ou do único id que começa assim), ou None.

        Levanta ``IdAmbiguo`` quando ``ident`` não é um id e é o começo de mais de um.
        """
        with self.engine.connect() as con:
            dados = con.execute(sa.select(verificacoes.c.dados).where(verificacoes.c.id == ident)).scalar()
            if dados is None and ident and re.fullmatch(r"[A-Za-z0-9_-]+", ident):
                prefixo = ident.replace("_", "\\_")  # "_" is a wildcard of LIKE
                linhas = con.execute(sa.select(verificacoes.c.id, verificacoes.c.dados)
                                     .where(verificacoes.c.id.like(prefixo + "%", escape="\\"))
                                     .order_by(verificacoes.c.id).limit(MAX_AMBIGUOS + 1)).all()
                if len(linhas) > 1:
                    raise IdAmbiguo(ident, [l[0] for l in linhas])
                dados = linhas[0][1] if linhas else None
        return None if dados is None else Verificacao.de_json(json.loads(dados))

    def anteriores(self, sha256: str, exceto: Optional[str] = None) -> list[Resumo]:
        """As verificações anteriores de um arquivo com este SHA-256, mais recentes primeiro."""
        consulta = self._selecionar().where(verificacoes.c.sha256 == sha256)
        if exceto:
            consulta = consulta.where(verificacoes.c.id != exceto)
        with self.engine.connect() as con:
            return [Resumo(*l) for l in con.execute(consulta.order_by(verificacoes.c.verificado_em.desc()))]

    @staticmethod
    def _selecionar() -> sa.Select:
        c = verificacoes.c
        return sa.select(c.id, c.verificado_em, c.arquivo, c.veredito, c.empresas, c.erro)

    def listar(self, *, cnpj: Optional[str] = None, nome: Optional[str] = None, resultado: Optional[str] = None,
               desde: Optional[str] = None, limite: Optional[int] = None) -> list[Resumo]:
        """As verificações guardadas, mais recentes primeiro, com os filtros dados.

        ``cnpj``: uma das empresas tem este CNPJ; ``nome``: um trecho do nome de
        uma empresa, de um signatário ou do arquivo (sem diferenciar acentos e
        maiúsculas); ``resultado``: o veredito final (ou "FALHA"); ``desde``:
        verificadas a partir desta data (``normalizar_data``).
        """
        c = verificacoes.c
        consulta = self._selecionar()
        if cnpj:
            ids = sa.select(empresas.c.verificacao_id).where(empresas.c.cnpj == _digitos(cnpj))
            consulta = consulta.where(c.id.in_(ids))
        if nome:
            termo = dobrar(nome).replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_")
            consulta = consulta.where(c.busca.like(f"%{termo}%", escape="\\"))
        if resultado:
            resultado = resultado.strip().upper()
            consulta = consulta.where(c.erro.is_not(None) if resultado == "FALHA" else c.veredito == resultado)
        if desde:
            consulta = consulta.where(c.verificado_em >= desde)
        consulta = consulta.order_by(c.verificado_em.desc(), c.id)
        if limite:
            consulta = consulta.limit(limite)
        with self.engine.connect() as con:
            return [Resumo(*l) for l in con.execute(consulta)]

    def contar(self) -> int:
        with self.engine.connect() as con:
            return int(con.execute(sa.select(sa.func.count()).select_from(verificacoes)).scalar_one())

    def apagar(self, ident: str) -> bool:
        """Apaga uma verificação; False se não havia."""
        with self.engine.begin() as con:
            return _apagar_ids(con, [ident]) > 0

    def apagar_antes(self, data: str) -> int:
        """Apaga as verificações feitas antes de ``data`` (normalizada); devolve quantas."""
        with self.engine.begin() as con:
            ids = [l[0] for l in con.execute(sa.select(verificacoes.c.id).where(verificacoes.c.verificado_em < data))]
            total = 0
            for i in range(0, len(ids), 500):
                total += _apagar_ids(con, ids[i:i + 500])
            return total

    # -- small values ------------------------------------------------------------------

    def ler_valor(self, chave: str) -> Optional[str]:
        with self.engine.connect() as con:
            return con.execute(sa.select(valores.c.valor).where(valores.c.chave == chave)).scalar_one_or_none()

    def gravar_valor(self, chave: str, valor: Optional[str], con: Optional[Connection] = None) -> None:
        if con is None:
            with self.engine.begin() as con:
                return self.gravar_valor(chave, valor, con)
        con.execute(valores.delete().where(valores.c.chave == chave))
        con.execute(valores.insert().values(chave=chave, valor=valor))


def _versao(con: Connection) -> int:
    if not sa.inspect(con).has_table("esquema_versao"):
        return 0
    v = con.execute(sa.select(sa.func.max(esquema_versao.c.versao))).scalar()
    return int(v or 0)


def _apagar_ids(con: Connection, ids: Iterable[str]) -> int:
    ids = list(ids)
    con.execute(empresas.delete().where(empresas.c.verificacao_id.in_(ids)))
    con.execute(signatarios.delete().where(signatarios.c.verificacao_id.in_(ids)))
    return con.execute(verificacoes.delete().where(verificacoes.c.id.in_(ids))).rowcount or 0


def _pragmas_sqlite(dbapi_con: Any, _registro: Any, espera: float = ESPERA_PADRAO) -> None:
    # Autocommit at the driver level: SQLAlchemy's "begin" event issues BEGIN IMMEDIATE itself.
    dbapi_con.isolation_level = None
    cur = dbapi_con.cursor()
    cur.execute("PRAGMA journal_mode=WAL")
    cur.execute("PRAGMA synchronous=NORMAL")
    cur.execute(f"PRAGMA busy_timeout={int(espera * 1000)}")
    cur.close()


# What the database drivers say, as a user reads it (the first match wins).
_MOTIVOS = (
    ("locked", "o banco está bloqueado por outro processo"),
    ("busy", "o banco está bloqueado por outro processo"),
    ("lock timeout", "o banco está bloqueado por outro processo"),
    ("malformed", "o arquivo está corrompido"),
    ("not a database", "o arquivo está corrompido ou não é um banco SQLite"),
    ("disk is full", "o disco está cheio"),
    ("database or disk is full", "o disco está cheio"),
    ("readonly", "o arquivo é somente leitura"),
    ("read-only", "o arquivo é somente leitura"),
    ("unable to open", "o arquivo não pôde ser aberto"),
    ("disk i/o error", "erro de leitura ou escrita no disco"),
    ("connection refused", "o servidor PostgreSQL recusou a conexão"),
    ("timeout expired", "o servidor PostgreSQL não respondeu a tempo"),
    ("could not translate host name", "o nome do servidor PostgreSQL não foi encontrado"),
    ("failed to resolve host", "o nome do servidor PostgreSQL não foi encontrado"),
    ("password authentication failed", "o PostgreSQL recusou o usuário ou a senha"),
    ("permission denied", "sem permissão"),
)


def motivo_banco(exc: BaseException) -> str:
    """Why the database failed, in Portuguese and in one line: never the SQL, its parameters or a password."""
    if isinstance(exc, HistoricoIndisponivel):
        return str(exc)
    original = getattr(exc, "orig", None) or exc
    texto = str(original).lower()
    for trecho, motivo in _MOTIVOS:
        if trecho in texto:
            return motivo
    if isinstance(original, PermissionError):
        return "sem permissão"
    if isinstance(original, OSError) and original.strerror:
        return original.strerror
    if isinstance(exc, sa.exc.OperationalError) and "sqlite" not in type(original).__module__:
        return "o servidor do banco não está acessível"
    return f"erro do banco de dados ({type(original).__name__})"
