"""Linha de comando ``scrivane-contract``.

Each command lives in a module of this package that defines two functions:
``configurar(subparsers)`` adds its parser (cheap: argparse only, so that
``--help`` stays fast) and binds ``executar`` with ``set_defaults``;
``executar(args) -> int`` runs the command, importing the heavy pieces
(engine, openai, pydantic, rich) only then.
"""

from __future__ import annotations

import argparse
import importlib
import sys

# Command modules, in the order ``--help`` lists them.
COMANDOS: tuple[str, ...] = ("registro",)

# Exit statuses shared by the commands.
SAIDA_APROVADO = 0
SAIDA_REPROVADO = 1
SAIDA_PENDENTE = 2
SAIDA_USO = 3
SAIDA_FALHA = 4
SAIDA_INTERROMPIDO = 130


def _versao() -> str:
    from scrivane_contract import __version__

    return __version__


def criar_parser() -> argparse.ArgumentParser:
    """Monta o parser com todos os comandos."""
    parser = argparse.ArgumentParser(
        prog="scrivane-contract",
        description="Verifica a legitimidade de contratos brasileiros.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_versao()}")
    sub = parser.add_subparsers(dest="comando", metavar="COMANDO", required=True)
    for nome in COMANDOS:
        importlib.import_module(f"{__name__}.{nome}").configurar(sub)
    return parser


def main(argv: list[str] | None = None) -> int:
    """Ponto de entrada do comando; devolve o código de saída."""
    parser = criar_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # argparse: --help/--version give 0, usage errors 2
        return SAIDA_USO if exc.code not in (0, None) else 0
    try:
        return args.executar(args)
    except KeyboardInterrupt:
        print("Interrompido.", file=sys.stderr)
        return SAIDA_INTERROMPIDO
