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
'servir' que use o mesmo histórico (--historico postgresql://...), verifica-os
e grava os resultados. Rode quantos quiser, em quantas máquinas quiser; um
contrato cujo trabalhador parou é retomado por outro depois da reserva
(--reserva segundos). Ctrl-C termina as verificações em curso e sai.
"""


def configurar(subparsers: Any) -> None:
    p = subparsers.add_parser("trabalhador", help="verifica os contratos da fila compartilhada do serviço web",
                              description=DESCRICAO, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--trabalhadores", type=inteiro_positivo, default=4, metavar="N",
                   help="verificações simultâneas neste processo (padrão: 4)")
    p.add_argument("--reserva", type=float, default=60.0, metavar="SEGUNDOS",
                   help="quanto dura a reserva de um contrato sem renovação (padrão: 60)")
    adicionar_opcoes_motor(p)
    adicionar_opcoes_leitura(p)
    adicionar_opcao_registro(p)
    digitais_cli.adicionar_opcoes(p, exigir=False)
    adicionar_opcoes_historico(p, sem=False)
    p.set_defaults(executar=executar)


def executar(args: argparse.Namespace) -> int:
    if args.reserva <= 0:
        raise ErroDeUso("--reserva deve ser positiva")
    opcoes_assinaturas = digitais_cli.opcoes(args)
    kwargs = argumentos_checker(args)
    kwargs["verbose"] = False
    verificar_credenciais(kwargs)
    registro = aplicar_registro(valor_registro(args), args)
    aplicar_leitura(args)
    historico = abrir_historico(args)
    from scrivane_contract.checker import ContractChecker
    from scrivane_contract.historico.fila import Trabalhadores

    checker = ContractChecker(**kwargs)  # fails now, not at the first contract
    mostrar_avisos()
    equipe = Trabalhadores(
        historico, lambda: ContractChecker(**kwargs).verificar, quantidade=args.trabalhadores, lease=args.reserva,
        assinaturas=opcoes_assinaturas,
        informacoes={"provedor": checker.provider or kwargs.get("provider"),
                     "modelo": None if checker.provider == "local" else checker.model, "registro": registro})
    print(f"scrivane-contract: {args.trabalhadores} trabalhador(es) na fila de {historico.descricao}",
          file=sys.stderr, flush=True)
    equipe.iniciar()
    try:
        equipe.aguardar()
    except KeyboardInterrupt:
        print("Terminando as verificações em curso...", file=sys.stderr, flush=True)
        equipe.parar(esperar=True)
        historico.fechar()
        return 0
    return 0
