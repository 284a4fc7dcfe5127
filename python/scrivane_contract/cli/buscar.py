"""Comando ``buscar``: uma empresa pelo nome (e, se houver, pelo CNPJ)."""

from __future__ import annotations

import argparse
import os
from typing import Any, Optional

from scrivane_contract.cli import SAIDA_FALHA, SAIDA_REPROVADO, ErroDeUso, erro
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

códigos de saída: 0 encontrada; 1 não encontrada; 3 erro de uso; 4 Receita Federal
indisponível (nada achado e alguma consulta ficou sem resposta).
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
    aplicar_registro(valor_registro(args), args)
    from scrivane_contract import cnpj as modulo

    if hasattr(modulo, "consultar_cnpj_detalhado") and hasattr(modulo, "buscar_cnpj_por_nome_detalhado"):
        dados, indisponivel = _buscar_detalhado(modulo, args.cnpj or None, args.nome, args.uf or None,
                                                args.usar_ai, chave)
    else:
        dados, indisponivel = modulo.buscar_empresa_completo(
            cnpj=args.cnpj or None,
            nome=args.nome,
            uf=args.uf or None,
            usar_ai_search=args.usar_ai,
            openai_api_key=chave,
        ), False
    if dados is None:
        from scrivane_contract.cli.cnpj import dica_sem_acesso, motivo_indisponivel

        motivo = motivo_indisponivel(modulo) if indisponivel else None
        if motivo:
            mensagem = f"empresa não encontrada: {args.nome} ({motivo})"
        elif indisponivel:
            mensagem = f"empresa não encontrada: {args.nome} (Receita Federal indisponível; tente mais tarde)"
        else:
            mensagem = f"empresa não encontrada: {args.nome}"
        erro(mensagem)
        if indisponivel:
            dica_sem_acesso()
        if args.json:
            print(json_linha({"nome": args.nome, "erro": mensagem}), flush=True)
        return SAIDA_FALHA if indisponivel else SAIDA_REPROVADO
    if args.json:
        print(json_linha({"nome": args.nome, "dados": dados}), flush=True)
    else:
        print(json_indentado(dados), flush=True)
    return 0


def _buscar_detalhado(modulo: Any, cnpj: Optional[str], nome: str, uf: Optional[str], usar_ai: bool,
                      chave: Optional[str]) -> tuple[Optional[dict], bool]:
    """``buscar_empresa_completo`` step by step through the detailed lookups.

    Same strategies, requests and marks, in the same order; it also tells
    whether a lookup that found nothing had no answer from the registry, so
    that "not found" and "registry unavailable" exit differently.
    """
    indisponivel = False
    if cnpj:
        limpo = modulo.limpar_cnpj(cnpj)
        if modulo.validar_cnpj(limpo):
            dados, situacao = modulo.consultar_cnpj_detalhado(limpo)
            if dados is not None:
                dados["_metodo_busca"] = "cnpj_direto"
                return dados, False
            indisponivel |= situacao == "indisponivel"
    if nome:
        dados, situacao = modulo.buscar_cnpj_por_nome_detalhado(nome, uf)
        if dados is not None:
            dados["_metodo_busca"] = "api_nome"
            return dados, False
        indisponivel |= situacao == "indisponivel"
        if usar_ai and chave:
            try:
                from scrivane_contract.ai_search import buscar_cnpj_via_ai

                achado = buscar_cnpj_via_ai(nome, chave)
                if achado:
                    dados, situacao = modulo.consultar_cnpj_detalhado(achado)
                    if dados is not None:
                        dados["_metodo_busca"] = "ai_web_search"
                        dados["_cnpj_buscado_por_ai"] = True
                        return dados, False
                    indisponivel |= situacao == "indisponivel"
            except ImportError:
                pass
    return None, indisponivel
