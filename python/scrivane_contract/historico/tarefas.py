"""Verifications shared by several machines: procrastinate tasks on the history's PostgreSQL.

``servir`` stores each upload in ``envios`` and defers a ``verificar`` job;
``trabalhador`` runs procrastinate's worker, whose jobs verify one upload
each.  The result is stored in the same transaction that deletes the upload:
an attempt that finds the upload gone knows the verification is stored
already and stores nothing (exactly once, by job id).

A worker that dies holding a job stops sending heartbeats; ``recolher_parados``
(run by every worker, one at a time across machines) gives its jobs back to
the queue, and fails them with a reason once they were tried
``MAX_TENTATIVAS`` times.  The counterparty monitoring runs as a periodic
task, deferred once per scheduled time across all machines.
"""

from __future__ import annotations

import asyncio
import json
import logging
import os
import shutil
import socket
import tempfile
import threading
import time
from pathlib import Path
from typing import Any, Callable, Optional

import procrastinate
import sqlalchemy as sa

from scrivane_contract.historico.banco import Historico, envios, verificacoes
from scrivane_contract.verificacao import (
    CONCLUIDA,
    EM_ANDAMENTO,
    FALHOU,
    NA_FILA,
    LugaresNaFila,
    Verificacao,
    espera_estimada,
    preparar_leitura,
    sem_caminhos,
    sem_caminhos_no_registro,
    verificar_arquivo,
)

__all__ = ["FilaProcrastinate", "Trabalhador", "MAX_TENTATIVAS", "TAREFA", "criar_app", "situacao", "repetir",
           "recolher_parados"]

MAX_TENTATIVAS = 3
TAREFA = "scrivane.verificar"
FILA = "verificacoes"
# A worker is taken for dead after this many heartbeat intervals without one.
BATIMENTOS_PERDIDOS = 3
# Advisory lock: one stalled-job sweep at a time across machines.
_TRAVA_PARADOS = 7311023

# procrastinate's statuses as the service names them.
ESTADOS = {"todo": NA_FILA, "doing": EM_ANDAMENTO, "succeeded": CONCLUIDA, "failed": FALHOU,
           "cancelled": FALHOU, "aborted": FALHOU}

log = logging.getLogger("scrivane_contract.trabalhador")


def _conninfo(historico: Historico) -> str:
    url = historico.engine.url.set(drivername="postgresql")
    return url.render_as_string(hide_password=False)


def interrompida(vezes: int) -> str:
    return (f"a verificação foi interrompida {vezes} vezes e não será tentada de novo "
            "(scrivane-contract fila repetir)")


def criar_app(historico: Historico, *, conexoes: int = 4) -> procrastinate.App:
    """The procrastinate app on the history's database, with the verification task registered."""
    if historico.sqlite:
        raise ValueError("a fila compartilhada precisa do histórico em PostgreSQL")
    app = procrastinate.App(connector=procrastinate.PsycopgConnector(
        conninfo=_conninfo(historico), min_size=1, max_size=max(2, conexoes)))
    retry = procrastinate.RetryStrategy(max_attempts=MAX_TENTATIVAS - 1, wait=2)
    app.task(name=TAREFA, queue=FILA, pass_context=True, retry=retry)(_verificar)
    return app


def _verificar(context: Any, ident: str) -> None:
    trabalhador: Trabalhador = context.additional_context["trabalhador"]
    trabalhador.executar(ident, context.job)


# -- the worker side ---------------------------------------------------------------------------


class Trabalhador:
    """What a worker process needs to run verification jobs.

    ``criar_verificador()`` is called once per thread and returns the function
    that verifies one contract path.  ``batimento``: seconds between worker
    heartbeats; a worker silent for ``BATIMENTOS_PERDIDOS`` of them is taken
    for dead and its jobs are given back.
    """

    def __init__(self, historico: Historico, criar_verificador: Callable[[], Callable[[str], dict]], *,
                 quantidade: int = 4, batimento: float = 10.0, assinaturas: Optional[dict[str, Any]] = None,
                 informacoes: Optional[dict[str, Any]] = None, ignorar_assinaturas: bool = False,
                 pasta: Optional[str] = None, monitorar: Optional[str] = None) -> None:
        if quantidade < 1:
            raise ValueError("quantidade deve ser pelo menos 1")
        self.historico = historico
        self.criar_verificador = criar_verificador
        self.quantidade = quantidade
        self.batimento = batimento
        self.assinaturas = None if assinaturas is None else dict(assinaturas)
        self.informacoes = {k: v for k, v in (informacoes or {}).items() if k in ("provedor", "modelo", "registro")}
        self.ignorar_assinaturas = ignorar_assinaturas
        self.monitorar = monitorar
        preparar_leitura(pasta, quantidade)
        # Named with our process id: a later start-up removes it if we are killed.
        self.pasta = Path(tempfile.mkdtemp(prefix=f"scrivane-trabalho-{os.getpid()}-", dir=pasta))
        os.chmod(self.pasta, 0o700)
        self.maquina = socket.gethostname()
        self._local = threading.local()
        self._numeros = iter(range(1 << 30))
        self._lock = threading.Lock()
        self.app = criar_app(historico, conexoes=quantidade + 3)
        if monitorar:
            self.app.periodic(cron=monitorar, periodic_id="monitoramento")(
                self.app.task(name="scrivane.monitorar", queue=FILA, pass_context=True)(_monitorar))
        self._worker: Any = None
        self._parar = threading.Event()

    def _quem(self) -> str:
        numero = getattr(self._local, "numero", None)
        if numero is None:
            with self._lock:
                numero = self._local.numero = next(self._numeros)
        return f"{self.maquina}:{os.getpid()}:{numero}"

    def _verificador(self) -> Callable[[str], dict]:
        fn = getattr(self._local, "verificar", None)
        if fn is None:
            fn = self._local.verificar = self.criar_verificador()
        return fn

    def executar(self, ident: str, job: Any) -> None:
        """Verifies the upload ``ident`` and stores the result, unless an earlier attempt stored it."""
        quem = self._quem()
        with self.historico.engine.begin() as con:
            linha = con.execute(sa.select(envios.c.arquivo, envios.c.conteudo).where(envios.c.id == ident)).first()
            if linha is not None:
                con.execute(envios.update().where(envios.c.id == ident)
                            .values(dono=quem, iniciada_em=time.time(), tarefa=job.id))
        if linha is None:
            log.info("id=%s: já gravada por outra tentativa; nada a fazer · %s", ident, quem)
            return
        arquivo, conteudo = linha
        inicio = time.monotonic()
        caminho = self.pasta / f"{ident}.pdf"
        try:
            caminho.write_bytes(conteudo)
            del conteudo
            registro = verificar_arquivo(str(caminho), self._verificador(), nome=arquivo, ident=ident,
                                         assinaturas=self.assinaturas, motivo=_mensagem_erro,
                                         ignorar_assinaturas=self.ignorar_assinaturas, **self.informacoes)
            # Clients see the name of the file they sent, never the worker's path.
            sem_caminhos_no_registro(registro, caminho, arquivo)
        except Exception as exc:  # noqa: BLE001 - the job ends with the reason
            registro = Verificacao(arquivo=arquivo, id=ident,
                                   erro=sem_caminhos(_mensagem_erro(exc), caminho, arquivo))
        finally:
            caminho.unlink(missing_ok=True)
        gravada = guardar_uma_vez(self.historico, registro)
        segundos = time.monotonic() - inicio
        desfecho = f"falhou: {registro.erro}" if registro.erro is not None else registro.veredito
        duracao = f"{segundos:.1f}".replace(".", ",")
        if gravada:
            log.info("%s: %s · %s s · %s · id=%s", arquivo, desfecho or "sem veredito", duracao, quem, ident)
        else:
            log.info("%s: resultado descartado (já gravado por outra tentativa) · %s s · %s · id=%s",
                     arquivo, duracao, quem, ident)

    async def rodar(self) -> None:
        """Runs the worker until it is told to stop (SIGINT or SIGTERM, or ``parar``)."""
        async with self.app.open_async():
            from procrastinate.worker import Worker

            self._worker = Worker(
                self.app, queues=[FILA], name="scrivane", concurrency=self.quantidade,
                additional_context={"trabalhador": self},
                install_signal_handlers=threading.current_thread() is threading.main_thread(),
                update_heartbeat_interval=self.batimento,
                stalled_worker_timeout=self.batimento * BATIMENTOS_PERDIDOS,
                fetch_job_polling_interval=max(self.batimento / 2, 0.5), delete_jobs="never")
            laterais = [asyncio.create_task(self._varrer()), asyncio.create_task(self._atender_parada())]
            try:
                await self._worker.run()
            finally:
                for tarefa in laterais:
                    tarefa.cancel()
                await asyncio.gather(*laterais, return_exceptions=True)
                shutil.rmtree(self.pasta, ignore_errors=True)

    def parar(self) -> None:
        """Asks the worker, from another thread, to stop taking jobs and end when the running ones end."""
        self._parar.set()

    async def _atender_parada(self) -> None:
        while not self._parar.is_set():
            await asyncio.sleep(0.2)
        self._worker.stop()

    async def _varrer(self) -> None:
        while True:
            await asyncio.sleep(self.batimento)
            try:
                await asyncio.to_thread(recolher_parados, self.historico, self.batimento * BATIMENTOS_PERDIDOS)
            except Exception as exc:  # noqa: BLE001 - the database may come back
                log.warning("não foi possível recolher os trabalhos parados (%s)", type(exc).__name__)


def _mensagem_erro(exc: BaseException) -> str:
    """One line for the person who sent the contract."""
    if isinstance(exc, FileNotFoundError):
        return "Arquivo não encontrado durante a verificação"
    texto = str(exc).strip().splitlines()
    return ((texto[0] if texto else "") or type(exc).__name__)[:500]


def guardar_uma_vez(historico: Historico, registro: Verificacao) -> bool:
    """Stores the verification and deletes its upload in one transaction; False when another
    attempt did it first (the upload was gone)."""
    with historico.engine.begin() as con:
        if con.execute(envios.delete().where(envios.c.id == registro.id)).rowcount != 1:
            return False
        historico.guardar(registro, con)
        return True


def recolher_parados(historico: Historico, segundos: float) -> list[tuple[str, str]]:
    """Gives back to the queue the jobs of workers silent for ``segundos``, or fails them with a
    reason when they were tried ``MAX_TENTATIVAS`` times.  One sweep at a time across machines
    (procrastinate's own queries, in one transaction under an advisory lock).

    Returns ``(ident, "retomada" | "falhou")`` for each job handled."""
    from procrastinate.sql import queries

    feitos: list[tuple[str, str]] = []
    with historico.engine.begin() as con:
        if not con.execute(sa.text(f"SELECT pg_try_advisory_xact_lock({_TRAVA_PARADOS})")).scalar():
            return feitos
        parados = con.exec_driver_sql(queries["select_stalled_jobs_by_heartbeat"], {
            "queue": None, "task_name": TAREFA, "seconds_since_heartbeat": segundos}).mappings().all()
        for job in parados:
            args = job["args"] if isinstance(job["args"], dict) else json.loads(job["args"])
            ident = str(args.get("ident", ""))
            tentativas = job["attempts"] + 1  # attempts counts the retries; this run counts too
            if tentativas >= MAX_TENTATIVAS:
                registro = Verificacao(arquivo=_arquivo(con, ident), id=ident, erro=interrompida(tentativas))
                # Stored unless an attempt stored its result already; the upload stays for 'fila repetir'.
                if con.execute(sa.select(verificacoes.c.id).where(verificacoes.c.id == ident)).first() is None:
                    historico.guardar(registro, con)
                con.exec_driver_sql(queries["finish_job"], {"job_id": job["id"], "status": "failed",
                                                            "delete_job": False})
                log.warning("id=%s: %s", ident, interrompida(tentativas))
                feitos.append((ident, "falhou"))
            else:
                con.exec_driver_sql(queries["retry_job"], {
                    "job_id": job["id"], "retry_at": _agora_utc(), "new_priority": None, "new_queue_name": None,
                    "new_lock": None})
                log.warning("id=%s: o trabalhador parou de responder; a verificação volta para a fila "
                            "(tentativa %d de %d)", ident, tentativas + 1, MAX_TENTATIVAS)
                feitos.append((ident, "retomada"))
    return feitos


def _agora_utc() -> Any:
    from datetime import datetime, timezone

    return datetime.now(timezone.utc)


def _arquivo(con: Any, ident: str) -> str:
    return con.execute(sa.select(envios.c.arquivo).where(envios.c.id == ident)).scalar() or ident


def _monitorar(context: Any, timestamp: int) -> None:
    from scrivane_contract.historico.monitor import monitorar

    trabalhador: Trabalhador = context.additional_context["trabalhador"]
    m = monitorar(trabalhador.historico)
    log.info("monitoramento: %d empresa(s) conferida(s), %d mudança(s), %d sem consulta", m.monitoradas,
             len(m.mudancas), len(m.nao_consultadas))


# -- the web service's side ------------------------------------------------------------------------


class FilaProcrastinate(LugaresNaFila):
    """The web service's queue when the history is on PostgreSQL (same interface as
    ``FilaVerificacoes``): each upload is stored in the history and deferred as a job.

    With ``com_trabalhadores``, a worker runs in this process too; without it,
    the ``trabalhador`` command (on this or other machines) does the work.
    """

    def __init__(self, historico: Historico, criar_verificador: Callable[[], Callable[[str], dict]], *,
                 trabalhadores: int = 4, limite_fila: int = 100, retencao: float = 3600.0,
                 pasta: Optional[str] = None, relogio: Callable[[], float] = time.time,
                 assinaturas: Optional[dict[str, Any]] = None, informacoes: Optional[dict[str, Any]] = None,
                 com_trabalhadores: bool = True, ignorar_assinaturas: bool = False,
                 batimento: float = 10.0) -> None:
        self._iniciar_lugares(trabalhadores, limite_fila, pasta)
        self.historico = historico
        self.retencao = retencao
        self.relogio = relogio
        if not com_trabalhadores:
            preparar_leitura(pasta, 0)  # sweeps what a killed process left; reads nothing itself
        self._contados = (0, 0)
        self.app = criar_app(historico)
        self.app.open()
        self._tarefa = self.app.tasks[TAREFA]
        self._deferir_pendentes()
        self._thread: Optional[threading.Thread] = None
        self.trabalhador: Optional[Trabalhador] = None
        if com_trabalhadores:
            self.trabalhador = Trabalhador(historico, criar_verificador, quantidade=trabalhadores,
                                           batimento=batimento, assinaturas=assinaturas, informacoes=informacoes,
                                           ignorar_assinaturas=ignorar_assinaturas, pasta=pasta)
            self._thread = threading.Thread(target=lambda: asyncio.run(self.trabalhador.rodar()),
                                            name="trabalhador", daemon=True)
            self._thread.start()

    def _deferir(self, ident: str) -> None:
        try:
            job_id = self._tarefa.configure(queueing_lock=ident).defer(ident=ident)
        except procrastinate.exceptions.AlreadyEnqueued:
            return
        with self.historico.engine.begin() as con:
            con.execute(envios.update().where(envios.c.id == ident).values(tarefa=job_id))

    def _deferir_pendentes(self) -> None:
        """Uploads stored without a job (a crash between the two, or the previous queue's): queued now."""
        with self.historico.engine.connect() as con:
            soltos = con.execute(sa.select(envios.c.id).where(envios.c.tarefa.is_(None))
                                 .order_by(envios.c.criada_em)).scalars().all()
        for ident in soltos:
            self._deferir(ident)

    def _contagem(self) -> dict[str, int]:
        with self.historico.engine.connect() as con:
            linhas = con.execute(sa.text("SELECT status::text, count(*) FROM procrastinate_jobs "
                                         "WHERE task_name = :t GROUP BY status"), {"t": TAREFA}).all()
        return {s: int(n) for s, n in linhas}

    def _ocupadas(self) -> int:
        c = self._contagem()
        self._contados = (c.get("todo", 0), c.get("doing", 0))
        return sum(self._contados)

    def _retry_after(self) -> int:
        na_fila, em_andamento = self._contados
        return espera_estimada(5.0, [0.0] * em_andamento, na_fila + self._reservas, self.trabalhadores)

    def enviar(self, ident: str, caminho: Path, nome_arquivo: str) -> Any:
        """Stores the upload in the history and defers its job; the local file is deleted."""
        try:
            conteudo = caminho.read_bytes()
            with self.historico.engine.begin() as con:
                con.execute(envios.insert().values(id=ident, arquivo=nome_arquivo, criada_em=self.relogio(),
                                                   conteudo=conteudo))
            self._deferir(ident)
        finally:
            caminho.unlink(missing_ok=True)
            with self._lock:
                self._reservas -= 1
        return _Item(ident, NA_FILA)

    def esquecer_antigas(self) -> None:
        """Finished jobs older than ``retencao`` are removed from the queue (their verifications stay),
        and so are the uploads kept for retrying a failed job."""
        recente = ("EXISTS (SELECT 1 FROM procrastinate_events ev WHERE ev.job_id = j.id "
                   "AND ev.at > now() - make_interval(secs => :s))")
        with self.historico.engine.begin() as con:
            con.execute(sa.text(
                "DELETE FROM envios WHERE id IN (SELECT j.args->>'ident' FROM procrastinate_jobs j "
                f"WHERE j.task_name = :t AND j.status = 'failed' AND NOT {recente})"),
                {"t": TAREFA, "s": self.retencao})
            con.execute(sa.text(
                f"DELETE FROM procrastinate_jobs j WHERE j.task_name = :t AND j.status = 'succeeded' "
                f"AND NOT {recente}"), {"t": TAREFA, "s": self.retencao})

    def obter(self, ident: str) -> Optional[dict[str, Any]]:
        with self.historico.engine.connect() as con:
            # The job first: a job seen ended has its result (or its upload's removal) committed
            # before it, so the reads after it see them; read the other way round, a job ending
            # between the reads looked like one that ended without storing anything.
            job = con.execute(sa.text(
                "SELECT j.id, j.status::text AS status, j.attempts, "
                "(SELECT min(e.at) FROM procrastinate_events e WHERE e.job_id = j.id AND e.type = 'deferred') "
                "AS deferida, (SELECT max(e.at) FROM procrastinate_events e WHERE e.job_id = j.id "
                "AND e.type = 'started') AS iniciada FROM procrastinate_jobs j WHERE j.task_name = :t "
                "AND j.args->>'ident' = :i ORDER BY j.id DESC LIMIT 1"), {"t": TAREFA, "i": ident}).first()
            envio = con.execute(sa.select(envios.c.arquivo, envios.c.criada_em, envios.c.iniciada_em,
                                          envios.c.tarefa).where(envios.c.id == ident)).first()
            dados = con.execute(sa.select(verificacoes.c.dados).where(verificacoes.c.id == ident)).scalar()
            posicao = None
            if job is not None and job.status == "todo":
                posicao = 1 + int(con.execute(sa.text(
                    "SELECT count(*) FROM procrastinate_jobs WHERE task_name = :t AND status = 'todo' "
                    "AND id < :j"), {"t": TAREFA, "j": job.id}).scalar_one())
        registro = Verificacao.de_json(json.loads(dados)) if dados else None
        if envio is None and registro is None:
            return None
        if envio is None or (registro is not None and (job is None or job.status != "todo")):
            # Stored: the verification (or its failure) is the answer.
            estado = CONCLUIDA if registro.erro is None else FALHOU
            d: dict[str, Any] = {
                "id": ident, "estado": estado, "arquivo": registro.arquivo,
                "criada_em": _iso(job.deferida.timestamp()) if job is not None and job.deferida else None,
                "iniciada_em": _iso(job.iniciada.timestamp()) if job is not None and job.iniciada else None,
                "concluida_em": registro.verificado_em, "posicao_fila": None}
        else:
            estado = ESTADOS.get(job.status, NA_FILA) if job is not None else NA_FILA
            if estado in (CONCLUIDA, FALHOU):  # the job ended without storing anything
                estado = FALHOU
            d = {"id": ident, "estado": estado, "arquivo": envio.arquivo, "criada_em": _iso(envio.criada_em),
                 "iniciada_em": _iso(envio.iniciada_em) if estado == EM_ANDAMENTO else None,
                 "concluida_em": None, "posicao_fila": posicao}
            registro = Verificacao(arquivo=envio.arquivo, id=ident, verificado_em=None,
                                   erro=f"a verificação falhou {job.attempts} vez(es); use "
                                        "'scrivane-contract fila repetir' para tentar de novo"
                                   if estado == FALHOU else None)
        d["verificado_antes"] = None
        if registro.sha256:
            d["verificado_antes"] = [{"id": a.id, "verificado_em": a.verificado_em, "veredito": a.veredito}
                                     for a in self.historico.anteriores(registro.sha256, exceto=ident)
                                     if a.verificado_em < (registro.verificado_em or "~")][:5]
        d.update(registro.como_json())
        d["arquivo"] = d["arquivo"] or registro.arquivo
        return d

    def estatisticas(self) -> dict[str, int]:
        contagem = {NA_FILA: 0, EM_ANDAMENTO: 0, CONCLUIDA: 0, FALHOU: 0}
        for status, n in self._contagem().items():
            contagem[ESTADOS.get(status, FALHOU)] += n
        return contagem

    def fechar(self) -> None:
        """Stops accepting; the in-process worker finishes what it runs; waiting jobs stay queued."""
        with self._lock:
            self._fechada = True
        if self.trabalhador is not None and self._thread is not None:
            self.trabalhador.parar()
            self._thread.join()
        self.app.close()
        shutil.rmtree(self.pasta, ignore_errors=True)


class _Item:
    def __init__(self, ident: str, estado: str) -> None:
        self.id, self.estado = ident, estado


def _iso(t: Optional[float]) -> Optional[str]:
    from datetime import datetime, timezone

    return None if t is None else datetime.fromtimestamp(t, timezone.utc).isoformat(timespec="seconds")


# -- what operators see ------------------------------------------------------------------------------


def situacao(historico: Historico, segundos_parado: float = 30.0) -> dict[str, list[dict[str, Any]]]:
    """The verification jobs by state: ``na_fila``, ``em_andamento``, ``falhou`` and ``parados``
    (running on a worker silent for ``segundos_parado``)."""
    with historico.engine.connect() as con:
        linhas = con.execute(sa.text(
            "SELECT j.id, j.status::text AS status, j.attempts, j.args->>'ident' AS ident, e.arquivo, e.dono, "
            "e.criada_em, (w.id IS NULL OR w.last_heartbeat < now() - make_interval(secs => :s)) AS parado, "
            "v.erro AS motivo FROM procrastinate_jobs j LEFT JOIN envios e ON e.id = j.args->>'ident' "
            "LEFT JOIN verificacoes v ON v.id = j.args->>'ident' "
            "LEFT JOIN procrastinate_workers w ON w.id = j.worker_id "
            "WHERE j.task_name = :t AND j.status IN ('todo', 'doing', 'failed') ORDER BY j.id"),
            {"t": TAREFA, "s": segundos_parado}).mappings().all()
    grupos: dict[str, list[dict[str, Any]]] = {NA_FILA: [], EM_ANDAMENTO: [], FALHOU: [], "parados": []}
    for l in linhas:
        # attempts: the runs that ended; a running or waiting job is in its next one.
        tentativas = l["attempts"] if l["status"] == "failed" else l["attempts"] + 1
        item = {"tarefa": l["id"], "id": l["ident"], "arquivo": l["arquivo"], "tentativas": tentativas,
                "trabalhador": l["dono"], "criada_em": _iso(l["criada_em"]), "motivo": l["motivo"]}
        if l["status"] == "doing":
            grupos["parados" if l["parado"] else EM_ANDAMENTO].append(item)
        else:
            grupos[ESTADOS[l["status"]]].append(item)
    return grupos


def repetir(historico: Historico, idents: Optional[list[str]] = None) -> list[str]:
    """Puts failed jobs back in the queue (all of them, or those of ``idents``); returns their ids.
    Only jobs whose upload is still kept can run again."""
    app = criar_app(historico, conexoes=2)
    feitos: list[str] = []
    with historico.engine.connect() as con:
        falhas = con.execute(sa.text(
            "SELECT j.id, j.args->>'ident' FROM procrastinate_jobs j JOIN envios e ON e.id = j.args->>'ident' "
            "WHERE j.task_name = :t AND j.status = 'failed' ORDER BY j.id"), {"t": TAREFA}).all()
    with app.open():
        from procrastinate import utils

        for job_id, ident in falhas:
            if idents is not None and not any(ident.startswith(i) for i in idents):
                continue
            with historico.engine.begin() as con:
                # A fresh start: the attempts of the failed run no longer count.
                con.execute(sa.text("UPDATE procrastinate_jobs SET attempts = 0 WHERE id = :j"), {"j": job_id})
                con.execute(verificacoes.delete().where(verificacoes.c.id == ident)
                            .where(verificacoes.c.veredito.is_(None)).where(verificacoes.c.erro.is_not(None)))
            app.job_manager.retry_job_by_id(job_id, retry_at=utils.utcnow())
            feitos.append(ident)
    return feitos
