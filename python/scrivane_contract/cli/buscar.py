"""Comando ``buscar``: uma empresa pelo nome (e, se houver, pelo CNPJ)."""

from __future__ import annotations

import argparse
import os
from typing import Any

from scrivane_contract.cli import SAIDA_REPROVADO, ErroDeUso, erro
from scrivane_contract.cli.opcoes import (
    ENV_OPENAI_API_KEY,
    adicionar_opcao_registro,
    aplicar_registro,
    json_indentado,
    json_linha,
    valor_registro,
)

EPILOGO = """\
A chave "_metodo_busca" do registro diz como a empresa foi achada: "cnpj_direto",
"api_nome" ou "ai_web_search".

códigos de saída: 0 encontrada; 1 não encontrada; 3 erro de uso.
"""


def configurar(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "buscar",
        help="busca uma empresa pelo nome (e pelo CNPJ, se dado)",
        description=(
            "Busca a empresa por todas as estratégias, nesta ordem: o CNPJ (se dado), o nome "
            "na Casa dos Dados (empresas ativas) e, com --usar-ai, uma busca na web por IA. "
            "Imprime o registro da Receita Federal como JSON indentado."
        ),
        epilog=EPILOGO,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("nome", metavar="NOME", help="nome ou razão social da empresa")
    parser.add_argument("--uf", metavar="UF", help="sigla do estado, para filtrar a busca por nome")
    parser.add_argument("--cnpj", metavar="CNPJ", help="CNPJ, tentado antes do nome")
    parser.add_argument(
        "--usar-ai",
        action="store_true",
        help=f"se nada for achado, busca o CNPJ na web com um modelo da OpenAI (requer {ENV_OPENAI_API_KEY})",
    )
    parser.add_argument("--json", action="store_true", help="o resultado em uma linha JSON")
    adicionar_opcao_registro(parser)
    parser.set_defaults(executar=executar)


def executar(args: argparse.Namespace) -> int:
    chave = os.environ.get(ENV_OPENAI_API_KEY) or None
    if args.usar_ai and not chave:
        raise ErroDeUso(f"--usar-ai precisa da chave da OpenAI: defina {ENV_OPENAI_API_KEY}")
    if not args.nome.strip():
        raise ErroDeUso("o nome da empresa está vazio")
    aplicar_registro(valor_registro(args))
    from scrivane_contract import cnpj as modulo

    dados = modulo.buscar_empresa_completo(
        cnpj=args.cnpj or None,
        nome=args.nome,
        uf=args.uf or None,
        usar_ai_search=args.usar_ai,
        openai_api_key=chave,
    )
    if dados is None:
        mensagem = f"empresa não encontrada: {args.nome}"
        erro(mensagem)
        if args.json:
            print(json_linha({"nome": args.nome, "erro": mensagem}), flush=True)
        return SAIDA_REPROVADO
    if args.json:
        print(json_linha({"nome": args.nome, "dados": dados}), flush=True)
    else:
        print(json_indentado(dados), flush=True)
    return 0
