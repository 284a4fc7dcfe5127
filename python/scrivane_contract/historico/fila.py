"""The web service's job queue kept in the history database.

Uploads are stored in the ``trabalhos`` table until their job ends (then
deleted).  Workers, threads of any number of processes on any machines that
share the database, claim the oldest waiting job with a lease: on PostgreSQL
with ``SELECT ... FOR UPDATE SKIP LOCKED``, on SQLite inside a ``BEGIN
IMMEDIATE`` transaction.  A running worker renews its leases; a job whose
worker died is claimed again once its lease expires.  A job completes only
if its worker still holds it (same owner and attempt), in the same
transaction that stores the verification in the history, so no job is
completed twice.  A job interrupted ``MAX_TENTATIVAS`` times fails.
"""

from __future__ import annotations

import json
import logging
import os
import secrets
import shutil
import socket
import tempfile
import threading
import time
from collections import deque
from pathlib import Path
from typing import Any, Callable, Optional

import sqlalchemy as sa
from sqlalchemy.engine import Connection

from scrivane_contract.historico.banco import Historico, trabalhos, verificacoes
from scrivane_contract.verificacao import (
    Verificacao,
    espera_estimada,
    preparar_leitura,
    sem_caminhos,
    sem_caminhos_no_registro,
    verificar_arquivo,
)

__all__ = ["FilaBanco", "Trabalhadores", "NA_FILA", "EM_ANDAMENTO", "CONCLUIDA", "FALHOU", "MAX_TENTATIVAS"]

NA_FILA = "na_fila"
EM_ANDAMENTO = "em_andamento"
CONCLUIDA = "concluida"
FALHOU = "falhou"
MAX_TENTATIVAS = 3
LEASE_PADRAO = 60.0

log = logging.getLogger("scrivane_contract.web")


def _iso(t: Optional[float]) -> Optional[str]:
    from datetime import datetime, timezone

    return None if t is None else datetime.fromtimestamp(t, timezone.utc).isoformat(timespec="seconds")


def _mensagem_erro(exc: BaseException) -> str:
    """One line for the person who sent the contract (never logged)."""
    if isinstance(exc, FileNotFoundError):
        return "Arquivo não encontrado durante a verificação"
    texto = str(exc).strip().splitlines()
    primeira = texto[0] if texto else ""
    return (primeira or type(exc).__name__)[:500]


class Trabalhadores:
    """Threads that claim jobs from the database and verify them.

    ``criar_verificador()`` is called once per thread and returns the function
    that verifies one contract path (``ResultadoVerificacao``).  ``lease``:
    seconds a claim lasts without renewal.
    """

    def __init__(self, historico: Historico, criar_verificador: Callable[[], Callable[[str], dict]], *,
                 quantidade: int = 4, lease: float = LEASE_PADRAO, assinaturas: Optional[dict[str, Any]] = None,
                 informacoes: Optional[dict[str, Any]] = None, pasta: Optional[str] = None,
                 espera: float = 0.5, ao_terminar: Optional[Callable[[float], None]] = None) -> None:
        if quantidade < 1:
            raise ValueError("quantidade deve ser pelo menos 1")
        self.historico = historico
        self.criar_verificador = criar_verificador
        self.quantidade = quantidade
        self.lease = lease
        self.assinaturas = None if assinaturas is None else dict(assinaturas)
        self.informacoes = {k: v for k, v in (informacoes or {}).items() if k in ("provedor", "modelo", "registro")}
        self.espera = espera
        self.ao_terminar = ao_terminar
        # Named with our process id: a later start-up removes it if we are killed.
        preparar_leitura(pasta, quantidade)
        self.pasta = Path(tempfile.mkdtemp(prefix=f"scrivane-trabalho-{os.getpid()}-", dir=pasta))
        os.chmod(self.pasta, 0o700)
        self.prefixo = f"{socket.gethostname()}:{os.getpid()}:{secrets.token_hex(3)}"
        self._parar = threading.Event()
        self.acordar = threading.Event()
        self._threads: list[threading.Thread] = []
        self._meus: dict[str, str] = {}  # job id -> owner, for lease renewal
        self._lock = threading.Lock()
        self.concluidos = 0

    # -- claiming ---------------------------------------------------------------

    def _agora(self, con: Connection) -> float:
        if self.historico.sqlite:
            return time.time()
        # One clock for every machine: the database's.
        return float(con.execute(sa.text("SELECT extract(epoch from clock_timestamp())")).scalar_one())

    def reivindicar(self, dono: str) -> Optional[tuple[str, str, bytes, int]]:
        """Claims the oldest available job: (id, file name, content, attempt), or None."""
        t = trabalhos.c
        with self.historico.engine.begin() as con:
            agora = self._agora(con)
            disponivel = sa.or_(t.estado == NA_FILA, sa.and_(t.estado == EM_ANDAMENTO, t.lease_ate < agora))
            consulta = sa.select(t.id, t.arquivo, t.conteudo, t.tentativas).where(disponivel) \
                .order_by(t.criada_em, t.id).limit(1)
            if not self.historico.sqlite:
                consulta = consulta.with_for_update(skip_locked=True)
            linha = con.execute(consulta).first()
            if linha is None:
                return None
            ident, arquivo, conteudo, tentativas = linha
            if tentativas >= MAX_TENTATIVAS or conteudo is None:
                self._encerrar(con, ident, None, Verificacao(
                    arquivo=arquivo, id=ident,
                    erro=f"a verificação foi interrompida {tentativas} vezes; o arquivo foi descartado"))
                return None
            feito = con.execute(trabalhos.update().where(t.id == ident).where(disponivel).values(
                estado=EM_ANDAMENTO, dono=dono, lease_ate=agora + self.lease, iniciada_em=time.time(),
                tentativas=tentativas + 1)).rowcount
            if feito != 1:
                return None
            return ident, arquivo, bytes(conteudo), tentativas + 1

    def _encerrar(self, con: Connection, ident: str, dono: Optional[str], registro: Verificacao,
                  tentativa: Optional[int] = None) -> bool:
        """Ends a job with its record, if it is still ours; False when another worker has it now."""
        t = trabalhos.c
        consulta = trabalhos.update().where(t.id == ident).where(t.estado.in_((NA_FILA, EM_ANDAMENTO)))
        if dono is not None:
            consulta = consulta.where(t.dono == dono).where(t.tentativas == tentativa)
        feito = con.execute(consulta.values(
            estado=CONCLUIDA if registro.erro is None else FALHOU, terminada_em=time.time(), conteudo=None,
            dono=None, lease_ate=None, erro=registro.erro)).rowcount
        if feito != 1:
            return False
        self.historico.guardar(registro, con)
        return True

    # -- working ------------------------------------------------------------------

    def _trabalhar(self, numero: int) -> None:
        dono = f"{self.prefixo}:{numero}"
        verificar = None
        while not self._parar.is_set():
            try:
                tarefa = self.reivindicar(dono)
            except Exception as exc:  # noqa: BLE001 - the database may come back
                log.warning("fila inacessível (%s); nova tentativa em instantes", type(exc).__name__)
                self._parar.wait(2.0)
                continue
            if tarefa is None:
                self.acordar.wait(self.espera)
                self.acordar.clear()
                continue
            ident, arquivo, conteudo, tentativa = tarefa
            with self._lock:
                self._meus[ident] = dono
            inicio = time.time()
            caminho = self.pasta / f"{ident}.pdf"
            try:
                caminho.write_bytes(conteudo)
                del conteudo
                if verificar is None:
                    try:
                        verificar = self.criar_verificador()
                    except Exception as exc:  # noqa: BLE001
                        registro = Verificacao(arquivo=arquivo, id=ident, erro=_mensagem_erro(exc))
                        raise _Pronto(registro) from None
                tipos: list[str] = []

                def motivo(exc: BaseException) -> str:
                    tipos.append(type(exc).__name__)
                    return _mensagem_erro(exc)

                registro = verificar_arquivo(str(caminho), verificar, nome=arquivo, ident=ident,
                                             assinaturas=self.assinaturas, motivo=motivo,
                                             ignorar_assinaturas=getattr(self, "ignorar_assinaturas", False),
                                             **self.informacoes)
                # Clients see the name of the file they sent, never the server's path.
                sem_caminhos_no_registro(registro, caminho, arquivo)
                for tipo in tipos:
                    # The type only: a message may quote the contract.
                    log.warning("verificação %s: %s (%s)", ident,
                                "falhou" if registro.erro is not None else "assinaturas não conferidas", tipo)
            except _Pronto as pronto:
                registro = pronto.registro
            except BaseException as exc:  # noqa: BLE001 - every failure ends the job
                registro = Verificacao(arquivo=arquivo, id=ident,
                                       erro=sem_caminhos(_mensagem_erro(exc), caminho, arquivo))
                log.warning("verificação %s falhou (%s)", ident, type(exc).__name__)
            finally:
                caminho.unlink(missing_ok=True)
            self._concluir(ident, dono, registro, tentativa, time.time() - inicio)

    def _concluir(self, ident: str, dono: str, registro: Verificacao, tentativa: int, segundos: float) -> None:
        for espera in (0.5, 1, 2, 4, 8, 15, 30):
            try:
                with self.historico.engine.begin() as con:
                    nosso = self._encerrar(con, ident, dono, registro, tentativa)
                break
            except Exception as exc:  # noqa: BLE001 - keep the result while the database is away
                log.warning("não foi possível gravar a verificação %s (%s)", ident, type(exc).__name__)
                time.sleep(espera)
        else:
            nosso = False
        with self._lock:
            self._meus.pop(ident, None)
            if nosso:
                self.concluidos += 1
        if not nosso:
            log.warning("verificação %s: outro trabalhador a assumiu; este resultado foi descartado", ident)
        elif self.ao_terminar is not None:
            self.ao_terminar(segundos)

    def _renovar(self) -> None:
        while not self._parar.wait(max(self.lease / 3.0, 0.05)):
            with self._lock:
                meus = dict(self._meus)
            if not meus:
                continue
            try:
                with self.historico.engine.begin() as con:
                    agora = self._agora(con)
                    for ident, dono in meus.items():
                        con.execute(trabalhos.update().where(trabalhos.c.id == ident)
                                    .where(trabalhos.c.dono == dono).where(trabalhos.c.estado == EM_ANDAMENTO)
                                    .values(lease_ate=agora + self.lease))
            except Exception as exc:  # noqa: BLE001
                log.warning("não foi possível renovar as reservas (%s)", type(exc).__name__)

    def iniciar(self) -> "Trabalhadores":
        self._threads = [threading.Thread(target=self._trabalhar, args=(n,), name=f"trabalhador-{n}", daemon=True)
                         for n in range(self.quantidade)]
        self._threads.append(threading.Thread(target=self._renovar, name="reservas", daemon=True))
        for th in self._threads:
            th.start()
        return self

    def parar(self, esperar: bool = True) -> None:
        """Stops claiming; with ``esperar``, waits for the running verifications to end."""
        self._parar.set()
        self.acordar.set()
        if esperar:
            for th in self._threads:
                th.join()
        shutil.rmtree(self.pasta, ignore_errors=True)

    def aguardar(self) -> None:
        """Blocks until ``parar`` (or Ctrl-C)."""
        while not self._parar.wait(0.5):
            pass


class _Pronto(Exception):
    def __init__(self, registro: Verificacao) -> None:
        super().__init__()
        self.registro = registro


class FilaCheia(Exception):
    """No room for another verification; ``retry_after`` is a hint in seconds."""

    def __init__(self, retry_after: int) -> None:
        super().__init__("Fila de verificações cheia")
        self.retry_after = retry_after


class _Item:
    def __init__(self, ident: str, estado: str) -> None:
        self.id, self.estado = ident, estado


class FilaBanco:
    """The web service's queue in the history database (same interface as ``FilaVerificacoes``).

    With ``com_trabalhadores`` false the process only queues and answers; the
    ``trabalhador`` command (on this or other machines) does the work.
    """

    def __init__(self, historico: Historico, criar_verificador: Callable[[], Callable[[str], dict]], *,
                 trabalhadores: int = 4, limite_fila: int = 100, retencao: float = 3600.0,
                 pasta: Optional[str] = None, relogio: Callable[[], float] = time.time,
                 assinaturas: Optional[dict[str, Any]] = None, informacoes: Optional[dict[str, Any]] = None,
                 com_trabalhadores: bool = True, lease: float = LEASE_PADRAO) -> None:
        if trabalhadores < 1:
            raise ValueError("trabalhadores deve ser pelo menos 1")
        if limite_fila < 0:
            raise ValueError("limite_fila não pode ser negativo")
        self.historico = historico
        self.trabalhadores = trabalhadores
        self.limite_fila = limite_fila
        self.retencao = retencao
        self.relogio = relogio
        if not com_trabalhadores:
            preparar_leitura(pasta, 0)  # sweeps what a killed process left; reads nothing itself
        self.pasta = Path(tempfile.mkdtemp(prefix=f"scrivane-web-{os.getpid()}-", dir=pasta))
        os.chmod(self.pasta, 0o700)
        self._lock = threading.Lock()
        self._reservas = 0
        self._duracoes: deque[float] = deque(maxlen=20)
        self._fechada = False
        self.equipe: Optional[Trabalhadores] = None
        if com_trabalhadores:
            self.equipe = Trabalhadores(historico, criar_verificador, quantidade=trabalhadores, lease=lease,
                                        assinaturas=assinaturas, informacoes=informacoes, pasta=pasta,
                                        ao_terminar=self._duracoes.append).iniciar()

    @property
    def capacidade(self) -> int:
        return self.trabalhadores + self.limite_fila

    def _ativas(self) -> int:
        with self.historico.engine.connect() as con:
            return int(con.execute(sa.select(sa.func.count()).select_from(trabalhos)
                                   .where(trabalhos.c.estado.in_((NA_FILA, EM_ANDAMENTO)))).scalar_one())

    def _retry_after(self, ativas: int) -> int:
        media = sum(self._duracoes) / len(self._duracoes) if self._duracoes else 5.0
        t = trabalhos.c
        with self.historico.engine.connect() as con:
            inicios = [i for (i,) in con.execute(sa.select(t.iniciada_em).where(t.estado == EM_ANDAMENTO))
                       if i is not None]
        agora = time.time()  # iniciada_em is written with the wall clock
        decorridos = [agora - i for i in inicios]
        na_fila = max(0, ativas - len(decorridos)) + self._reservas
        return espera_estimada(media, decorridos, na_fila, self.trabalhadores)

    def reservar(self) -> None:
        ativas = self._ativas()
        with self._lock:
            if self._fechada or ativas + self._reservas >= self.capacidade:
                raise FilaCheia(self._retry_after(ativas))
            self._reservas += 1

    def liberar(self) -> None:
        with self._lock:
            self._reservas -= 1

    def novo_arquivo(self) -> tuple[str, Path]:
        ident = secrets.token_urlsafe(12)
        return ident, self.pasta / f"{ident}.pdf"

    def enviar(self, ident: str, caminho: Path, nome_arquivo: str) -> _Item:
        """Stores the upload in the database as a waiting job; the local file is deleted."""
        try:
            conteudo = caminho.read_bytes()
            with self.historico.engine.begin() as con:
                con.execute(trabalhos.insert().values(id=ident, arquivo=nome_arquivo, estado=NA_FILA,
                                                      criada_em=self.relogio(), conteudo=conteudo, tentativas=0))
        finally:
            caminho.unlink(missing_ok=True)
            with self._lock:
                self._reservas -= 1
        if self.equipe is not None:
            self.equipe.acordar.set()
        return _Item(ident, NA_FILA)

    def esquecer_antigas(self) -> None:
        """Drops finished jobs older than ``retencao`` (their verifications stay in the history)."""
        limite = self.relogio() - self.retencao
        with self.historico.engine.begin() as con:
            con.execute(trabalhos.delete().where(trabalhos.c.estado.in_((CONCLUIDA, FALHOU)))
                        .where(trabalhos.c.terminada_em < limite))

    def obter(self, ident: str) -> Optional[dict[str, Any]]:
        t = trabalhos.c
        with self.historico.engine.connect() as con:
            linha = con.execute(sa.select(t.id, t.arquivo, t.estado, t.criada_em, t.iniciada_em, t.terminada_em,
                                          t.erro).where(t.id == ident)).first()
            dados = con.execute(sa.select(verificacoes.c.dados).where(verificacoes.c.id == ident)).scalar()
            posicao = None
            if linha is not None and linha.estado == NA_FILA:
                posicao = 1 + int(con.execute(sa.select(sa.func.count()).select_from(trabalhos).where(
                    t.estado == NA_FILA).where(sa.or_(t.criada_em < linha.criada_em, sa.and_(
                        t.criada_em == linha.criada_em, t.id < linha.id)))).scalar_one())
        registro = Verificacao.de_json(json.loads(dados)) if dados else None
        if linha is None and registro is None:
            return None
        if linha is None:  # the job was forgotten; its verification stays
            estado = CONCLUIDA if registro.erro is None else FALHOU
            d: dict[str, Any] = {"id": ident, "estado": estado, "arquivo": registro.arquivo, "criada_em": None,
                                 "iniciada_em": None, "concluida_em": registro.verificado_em, "posicao_fila": None}
        else:
            d = {"id": linha.id, "estado": linha.estado, "arquivo": linha.arquivo, "criada_em": _iso(linha.criada_em),
                 "iniciada_em": _iso(linha.iniciada_em), "concluida_em": _iso(linha.terminada_em),
                 "posicao_fila": posicao}
            if registro is None:
                registro = Verificacao(arquivo=linha.arquivo, id=linha.id, verificado_em=None, erro=linha.erro)
        d["verificado_antes"] = None
        if registro.sha256:
            # The same file (SHA-256) verified earlier: said so on the page.
            d["verificado_antes"] = [{"id": a.id, "verificado_em": a.verificado_em, "veredito": a.veredito}
                                     for a in self.historico.anteriores(registro.sha256, exceto=ident)
                                     if a.verificado_em < (registro.verificado_em or "~")][:5]
        d.update(registro.como_json())
        d["arquivo"] = d["arquivo"] or registro.arquivo
        return d

    def estatisticas(self) -> dict[str, int]:
        contagem = {NA_FILA: 0, EM_ANDAMENTO: 0, CONCLUIDA: 0, FALHOU: 0}
        with self.historico.engine.connect() as con:
            for estado, n in con.execute(sa.select(trabalhos.c.estado, sa.func.count()).group_by(trabalhos.c.estado)):
                contagem[estado] = int(n)
        return contagem

    def fechar(self) -> None:
        """Stops accepting and waits for the running verifications; waiting jobs stay for the next start."""
        with self._lock:
            self._fechada = True
        if self.equipe is not None:
            self.equipe.parar(esperar=True)
        shutil.rmtree(self.pasta, ignore_errors=True)
