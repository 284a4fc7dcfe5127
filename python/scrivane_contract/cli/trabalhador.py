"""Comando ``trabalhador``: verifica os contratos da fila compartilhada do serviço web."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from scrivane_contract.cli import ErroDeUso, inteiro_positivo
from scrivane_contract.cli import assinaturas as digitais_cli
from scrivane_contract.cli.opcoes import (
    abrir_historico,
    adicionar_opcao_registro,
    adicionar_opcoes_historico,
    adicionar_opcoes_leitura,
    adicionar_opcoes_motor,
    aplicar_leitura,
    aplicar_registro,
    argumentos_checker,
    mostrar_avisos,
    valor_registro,
    verificar_credenciais,
)

DESCRICAO = """\
Só os trabalhadores do serviço web: pega os contratos enviados a qualquer
'servir' que use o mesmo histórico em PostgreSQL (--historico postgresql://...),
verifica-os e grava os resultados. Rode quantos quiser, em quantas máquinas
quiser. Um trabalhador que para de responder (máquina desligada, kill -9) por
3 batimentos (--batimento segundos) tem seus contratos devolvidos à fila; um
contrato interrompido 3 vezes falha com o motivo. Cada contrato verificado é
uma linha no erro padrão: arquivo, veredito ou motivo, segundos, máquina e
trabalhador. Ctrl-C ou SIGTERM: não pega novos contratos, termina os em curso,
apaga as pastas temporárias e sai com 0.
"""


def _segundos(texto: str) -> float:
    try:
        n = float(texto.replace(",", "."))
    except ValueError:
        raise argparse.ArgumentTypeError(f"número esperado: {texto!r}") from None
    if n <= 0:
        raise argparse.ArgumentTypeError("deve ser positivo")
    return n


def configurar(subparsers: Any) -> None:
    p = subparsers.add_parser("trabalhador", help="verifica os contratos da fila compartilhada do serviço web",
                              description=DESCRICAO, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--trabalhadores", type=inteiro_positivo, default=4, metavar="N",
                   help="verificações simultâneas neste processo (padrão: 4)")
    p.add_argument("--batimento", type=_segundos, default=10.0, metavar="SEGUNDOS",
                   help="intervalo entre os sinais de vida deste trabalhador (padrão: 10)")
    p.add_argument("--monitorar", metavar="CRON", default=None,
                   help="roda o monitoramento das empresas verificadas neste horário, no formato do cron "
                        "(ex.: '0 6 * * *' = todo dia às 6h); uma só vez por horário entre todas as máquinas")
    adicionar_opcoes_motor(p)
    adicionar_opcoes_leitura(p)
    adicionar_opcao_registro(p)
    digitais_cli.adicionar_opcoes(p, exigir=False)
    adicionar_opcoes_historico(p, sem=False)
    p.set_defaults(executar=executar)


def _registrar_log() -> None:
    import logging

    tratador = logging.StreamHandler(sys.stderr)
    tratador.setFormatter(logging.Formatter("%(asctime)s %(message)s", "%Y-%m-%d %H:%M:%S"))
    # Ours: one line per job. procrastinate's: only what went wrong (a job's error, the database gone).
    for nome, nivel in (("scrivane_contract.trabalhador", logging.INFO), ("procrastinate", logging.WARNING)):
        log = logging.getLogger(nome)
        if not log.handlers:
            log.addHandler(tratador)
        log.setLevel(nivel)
        log.propagate = False


def executar(args: argparse.Namespace) -> int:
    if args.monitorar is not None:
        import croniter

        if not croniter.croniter.is_valid(args.monitorar):
            raise ErroDeUso(f"--monitorar: horário do cron inválido: {args.monitorar!r} (ex.: '0 6 * * *')")
    opcoes_assinaturas = digitais_cli.opcoes(args)
    kwargs = argumentos_checker(args)
    kwargs["verbose"] = False
    verificar_credenciais(kwargs)
    registro = aplicar_registro(valor_registro(args), args)
    aplicar_leitura(args)
    historico = abrir_historico(args)
    if historico.sqlite:
        historico.fechar()
        raise ErroDeUso("o trabalhador precisa do histórico em PostgreSQL (--historico postgresql://...): "
                        "num arquivo SQLite, 'servir' verifica sozinho")
    import asyncio

    from scrivane_contract.checker import ContractChecker
    from scrivane_contract.historico.tarefas import Trabalhador

    checker = ContractChecker(**kwargs)  # fails now, not at the first contract
    mostrar_avisos()
    _registrar_log()
    trabalhador = Trabalhador(
        historico, lambda: ContractChecker(**kwargs).verificar, quantidade=args.trabalhadores,
        batimento=args.batimento, assinaturas=opcoes_assinaturas, monitorar=args.monitorar,
        ignorar_assinaturas=bool(getattr(args, "ignorar_assinaturas", False)),
        informacoes={"provedor": checker.provider or kwargs.get("provider"),
                     "modelo": None if checker.provider == "local" else checker.model, "registro": registro})
    print(f"scrivane-contract: {args.trabalhadores} trabalhador(es) na fila de {historico.descricao}",
          file=sys.stderr, flush=True)
    try:
        # procrastinate's worker stops taking jobs at SIGINT or SIGTERM and waits for the running ones.
        asyncio.run(trabalhador.rodar())
    finally:
        historico.fechar()
    print("scrivane-contract: trabalhador encerrado", file=sys.stderr, flush=True)
    return 0
