"""Verifications run in a bounded worker pool of this process, results kept in memory for a while.

The checker is synchronous, so each verification runs on a thread of a
``ThreadPoolExecutor``; each worker thread builds its own checker on first
use (one checker is never shared by two threads).  Uploaded files live in a
private folder (mode 0700) and are deleted when their verification ends,
whatever happens.  Finished verifications are forgotten ``retencao``
seconds after they end.

With ``assinaturas`` (the options of ``verificar_assinaturas_digitais``), the
PDF's digital signatures are read on a thread of their own while the checker
extracts, exactly as the command line does, and cross-checked with the result;
whatever goes wrong there is a finding, never a failed verification.

With a ``historico`` (one machine, SQLite), each upload is also written to
the history before it is accepted and deleted in the transaction that stores
its verification; uploads still there when the service starts (it stopped
or crashed before verifying them) are verified first.  Results older than
the retention are read back from the history.
"""

from __future__ import annotations

import logging
import shutil
import threading
import time
from collections import deque
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from datetime import datetime, timezone
from pathlib import Path
from typing import Any, Callable, Optional

from scrivane_contract.verificacao import CONCLUIDA, EM_ANDAMENTO, FALHOU, NA_FILA, FilaCheia, LugaresNaFila
from scrivane_contract.verificacao import Verificacao as RegistroVerificacao
from scrivane_contract.verificacao import (
    espera_estimada,
    preparar_leitura,
    sem_caminhos,
    sem_caminhos_no_registro,
    verificar_arquivo,
)

__all__ = ["FilaCheia", "FilaVerificacoes", "Verificacao", "NA_FILA", "EM_ANDAMENTO", "CONCLUIDA", "FALHOU"]


log = logging.getLogger("scrivane_contract.web")


@dataclass
class Verificacao:
    """A job of the queue: its state and times, and the verification's record once it ends."""

    id: str
    arquivo: str
    estado: str = NA_FILA
    criada_em: float = field(default_factory=time.time)
    iniciada_em: Optional[float] = None
    terminada_em: Optional[float] = None
    registro: Optional[RegistroVerificacao] = None
    ordem: int = 0  # arrival order, for the queue position

    @property
    def resultado(self) -> Optional[dict]:
        return None if self.registro is None else self.registro.resultado

    @property
    def assinaturas_digitais(self) -> Optional[dict]:
        return None if self.registro is None else self.registro.assinaturas_digitais

    @property
    def erro(self) -> Optional[str]:
        return None if self.registro is None else self.registro.erro

    def como_dict(self, posicao: Optional[int] = None) -> dict[str, Any]:
        """The job's state, then the verification's JSON (the same shape as ``verificar --json``)."""
        def iso(t: Optional[float]) -> Optional[str]:
            return None if t is None else datetime.fromtimestamp(t, timezone.utc).isoformat(timespec="seconds")

        registro = self.registro or RegistroVerificacao(arquivo=self.arquivo, id=self.id, verificado_em=None)
        d: dict[str, Any] = {
            "id": self.id,
            "estado": self.estado,
            "arquivo": self.arquivo,
            "criada_em": iso(self.criada_em),
            "iniciada_em": iso(self.iniciada_em),
            "concluida_em": iso(self.terminada_em),
            "posicao_fila": posicao,
            "verificado_antes": None,
        }
        d.update(registro.como_json())
        return d


def _mensagem_erro(exc: BaseException, arquivo: Optional[str] = None, caminho: Optional[Path] = None) -> str:
    """One line for the person who sent the contract (never logged), naming the uploaded file."""
    from scrivane_contract.erros_leitura import mensagem_leitura

    if isinstance(exc, FileNotFoundError):
        return "Arquivo não encontrado durante a verificação"
    texto = str(exc).strip().splitlines()
    primeira = texto[0] if texto else ""
    return mensagem_leitura(primeira or type(exc).__name__, arquivo, caminho)[:500]


class FilaVerificacoes(LugaresNaFila):
    """Accepts uploads, runs them with ``verificar(path) -> dict`` and keeps the results.

    ``criar_verificador`` is called once per worker thread and returns the
    function that verifies one contract path (typically a checker's bound
    ``verificar``).
    """

    def __init__(
        self,
        criar_verificador: Callable[[], Callable[[str], dict]],
        *,
        trabalhadores: int = 4,
        limite_fila: int = 100,
        retencao: float = 3600.0,
        pasta: Optional[str] = None,
        relogio: Callable[[], float] = time.time,
        assinaturas: Optional[dict[str, Any]] = None,
        informacoes: Optional[dict[str, Any]] = None,
        ignorar_assinaturas: bool = False,
        historico: Any = None,
    ) -> None:
        self._iniciar_lugares(trabalhadores, limite_fila, pasta)
        self._criar_verificador = criar_verificador
        self.retencao = retencao
        preparar_leitura(pasta, trabalhadores)
        self._itens: dict[str, Verificacao] = {}
        self._ativas = 0  # queued or running
        self._contador = 0
        self._duracoes: deque[float] = deque(maxlen=20)
        self._local = threading.local()
        self._pool = ThreadPoolExecutor(max_workers=trabalhadores, thread_name_prefix="verificacao")
        self.relogio = relogio
        self.assinaturas = None if assinaturas is None else dict(assinaturas)
        # provedor, modelo and registro, written into each verification's record.
        self.informacoes = {k: v for k, v in (informacoes or {}).items() if k in ("provedor", "modelo", "registro")}
        # An invalid digital signature rejects the contract unless this is set.
        self.ignorar_assinaturas = ignorar_assinaturas
        self.historico = historico
        if historico is not None:
            self._retomar()

    def _retomar(self) -> None:
        """Queues the uploads the history kept from an earlier run, oldest first."""
        import sqlalchemy as sa

        from scrivane_contract.historico.banco import envios

        with self.historico.engine.connect() as con:
            pendentes = con.execute(sa.select(envios.c.id, envios.c.arquivo, envios.c.criada_em, envios.c.conteudo)
                                    .order_by(envios.c.criada_em, envios.c.id)).all()
        for ident, arquivo, criada_em, conteudo in pendentes:
            caminho = self.pasta / f"{ident}.pdf"
            caminho.write_bytes(conteudo)
            with self._lock:
                self._reservas += 1
            self._enfileirar(ident, caminho, arquivo, criada_em)

    # -- capacity ------------------------------------------------------------

    def _ocupadas(self) -> int:
        return self._ativas

    def _retry_after(self) -> int:
        agora = self.relogio()
        media = sum(self._duracoes) / len(self._duracoes) if self._duracoes else 5.0
        decorridos = [agora - v.iniciada_em for v in self._itens.values()
                      if v.estado == EM_ANDAMENTO and v.iniciada_em is not None]
        na_fila = sum(1 for v in self._itens.values() if v.estado == NA_FILA) + self._reservas
        return espera_estimada(media, decorridos, na_fila, self.trabalhadores)

    def enviar(self, ident: str, caminho: Path, nome_arquivo: str) -> Verificacao:
        """Queues the verification of ``caminho`` (held by a reservation); the file is ours now.

        With the history, the upload is stored there before this returns."""
        criada_em = self.relogio()
        if self.historico is not None:
            from scrivane_contract.historico.banco import envios

            try:
                with self.historico.engine.begin() as con:
                    con.execute(envios.insert().values(id=ident, arquivo=nome_arquivo, criada_em=criada_em,
                                                       conteudo=caminho.read_bytes()))
            except BaseException:
                caminho.unlink(missing_ok=True)
                self.liberar()
                raise
        return self._enfileirar(ident, caminho, nome_arquivo, criada_em)

    def _enfileirar(self, ident: str, caminho: Path, nome_arquivo: str, criada_em: float) -> Verificacao:
        with self._lock:
            self._reservas -= 1
            self._ativas += 1
            self._contador += 1
            item = Verificacao(id=ident, arquivo=nome_arquivo, ordem=self._contador, criada_em=criada_em)
            self._itens[ident] = item
        try:
            self._pool.submit(self._executar, item, caminho)
        except RuntimeError:  # pool shut down meanwhile
            self._terminar(item, caminho, RegistroVerificacao(arquivo=nome_arquivo, id=ident,
                                                              erro="Serviço encerrado antes da verificação"))
        return item

    # -- the work ------------------------------------------------------------

    def _verificador(self) -> Callable[[str], dict]:
        fn = getattr(self._local, "verificar", None)
        if fn is None:
            fn = self._local.verificar = self._criar_verificador()
        return fn

    def _executar(self, item: Verificacao, caminho: Path) -> None:
        registro = None
        tipos: list[str] = []

        def motivo(exc: BaseException) -> str:
            tipos.append(type(exc).__name__)
            return _mensagem_erro(exc, item.arquivo, caminho)

        try:
            with self._lock:
                item.estado = EM_ANDAMENTO
                item.iniciada_em = self.relogio()
            registro = verificar_arquivo(str(caminho), self._verificador(), nome=item.arquivo, ident=item.id,
                                         assinaturas=self.assinaturas, motivo=motivo,
                                         ignorar_assinaturas=self.ignorar_assinaturas, **self.informacoes)
            # API clients see the name of the file they sent, never the server's path.
            sem_caminhos_no_registro(registro, caminho, item.arquivo)
            for tipo in tipos:
                # The type only: a message may quote the contract.
                log.warning("verificação %s: %s (%s)", item.id,
                            "falhou" if registro.erro is not None else "assinaturas não conferidas", tipo)
        except BaseException as exc:  # noqa: BLE001 - every failure ends the job, none escapes the pool
            registro = RegistroVerificacao(arquivo=item.arquivo, id=item.id,
                                           erro=sem_caminhos(_mensagem_erro(exc), caminho, item.arquivo))
            log.warning("verificação %s falhou (%s)", item.id, type(exc).__name__)
        finally:
            self._terminar(item, caminho, registro)

    def _terminar(self, item: Verificacao, caminho: Path, registro: Optional[RegistroVerificacao]) -> None:
        try:
            caminho.unlink(missing_ok=True)
        except OSError:
            log.warning("não foi possível apagar o arquivo temporário da verificação %s", item.id)
        if registro is None:
            registro = RegistroVerificacao(arquivo=item.arquivo, id=item.id, erro="Verificação sem resultado")
        if self.historico is not None:
            self._guardar(registro)
        with self._lock:
            item.terminada_em = self.relogio()
            item.registro = registro
            item.estado = CONCLUIDA if registro.erro is None else FALHOU
            if item.iniciada_em is not None:
                self._duracoes.append(item.terminada_em - item.iniciada_em)
            self._ativas -= 1

    def _guardar(self, registro: RegistroVerificacao) -> None:
        """Stores the verification and deletes its upload, in one transaction."""
        from scrivane_contract.historico.banco import envios

        for espera in (0.5, 1, 2, 4, 8, 15, 30, None):
            try:
                with self.historico.engine.begin() as con:
                    con.execute(envios.delete().where(envios.c.id == registro.id))
                    self.historico.guardar(registro, con)
                return
            except Exception as exc:  # noqa: BLE001 - the upload stays for the next start
                log.warning("não foi possível gravar a verificação %s (%s)", registro.id, type(exc).__name__)
                if espera is None or self._fechada:
                    return
                time.sleep(espera)

    # -- reading -------------------------------------------------------------

    def esquecer_antigas(self) -> None:
        """Drops the verifications that ended more than ``retencao`` seconds ago."""
        with self._lock:
            self._esquecer_antigas()

    def _esquecer_antigas(self) -> None:
        limite = self.relogio() - self.retencao
        velhas = [k for k, v in self._itens.items() if v.terminada_em is not None and v.terminada_em < limite]
        for k in velhas:
            del self._itens[k]

    def obter(self, ident: str) -> Optional[dict[str, Any]]:
        """The verification's state as a plain map, or None when unknown or forgotten."""
        with self._lock:
            self._esquecer_antigas()
            item = self._itens.get(ident)
            d = None
            if item is not None:
                posicao = None
                if item.estado == NA_FILA:
                    posicao = 1 + sum(1 for v in self._itens.values()
                                      if v.estado == NA_FILA and v.ordem < item.ordem)
                d = item.como_dict(posicao)
        if d is None:
            d = self._guardada(ident)
        if d is not None and self.historico is not None and d.get("sha256"):
            # The same file (SHA-256) verified earlier: said so on the page.
            d["verificado_antes"] = [{"id": a.id, "verificado_em": a.verificado_em, "veredito": a.veredito}
                                     for a in self.historico.anteriores(d["sha256"], exceto=ident)
                                     if a.verificado_em < (d.get("verificado_em") or "~")][:5]
        return d

    def _guardada(self, ident: str) -> Optional[dict[str, Any]]:
        """A verification of an earlier run, or forgotten from memory, read from the history."""
        if self.historico is None or not ident:
            return None
        import json

        import sqlalchemy as sa

        from scrivane_contract.historico.banco import verificacoes

        # The exact id only: the API never answers for a prefix.
        with self.historico.engine.connect() as con:
            dados = con.execute(sa.select(verificacoes.c.dados).where(verificacoes.c.id == ident)).scalar()
        if dados is None:
            return None
        registro = RegistroVerificacao.de_json(json.loads(dados))
        d: dict[str, Any] = {"id": ident, "estado": CONCLUIDA if registro.erro is None else FALHOU,
                             "arquivo": registro.arquivo, "criada_em": None, "iniciada_em": None,
                             "concluida_em": registro.verificado_em, "posicao_fila": None, "verificado_antes": None}
        d.update(registro.como_json())
        return d

    def estatisticas(self) -> dict[str, int]:
        with self._lock:
            self._esquecer_antigas()
            contagem = {NA_FILA: 0, EM_ANDAMENTO: 0, CONCLUIDA: 0, FALHOU: 0}
            for v in self._itens.values():
                contagem[v.estado] += 1
            return contagem

    def fechar(self) -> None:
        """Stops accepting, cancels what has not started, waits for the running ones, removes the folder."""
        with self._lock:
            self._fechada = True
        self._pool.shutdown(wait=True, cancel_futures=True)
        shutil.rmtree(self.pasta, ignore_errors=True)
