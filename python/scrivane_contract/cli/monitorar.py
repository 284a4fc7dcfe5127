"""Comando ``monitorar``: o que mudou no cadastro das empresas já verificadas."""

from __future__ import annotations

import argparse
from typing import Any

from scrivane_contract.cli import SAIDA_APROVADO, SAIDA_FALHA, SAIDA_REPROVADO
from scrivane_contract.cli.opcoes import (
    abrir_historico,
    adicionar_opcao_registro,
    adicionar_opcoes_historico,
    aplicar_registro,
    json_linha,
    mostrar_avisos,
    valor_registro,
)

DESCRICAO = """\
Confere de novo, no registro em uso (--registro), cada empresa e cada
signatário das verificações guardadas no histórico e lista o que mudou desde
a verificação: situação cadastral (ATIVA -> BAIXADA, INAPTA, SUSPENSA, NULA),
razão social, endereço, signatário que saiu do quadro de sócios (QSA) ou
mudou de qualificação. As mudanças ficam como alertas na página "Histórico"
do serviço web.
"""

EPILOGO = """\
códigos de saída: 0 nada mudou; 1 alguma empresa mudou; 3 erro de uso;
4 nada mudou, mas alguma empresa não pôde ser consultada.
"""


def _data(texto: str) -> str:
    from scrivane_contract.historico.banco import normalizar_data

    try:
        return normalizar_data(texto)
    except ValueError:
        raise argparse.ArgumentTypeError(f"data inválida: {texto!r} (use AAAA-MM-DD)") from None


def configurar(subparsers: Any) -> None:
    p = subparsers.add_parser("monitorar", help="o que mudou no cadastro das empresas já verificadas",
                              description=DESCRICAO, epilog=EPILOGO,
                              formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--desde", type=_data, metavar="DATA",
                   help="só as empresas das verificações a partir desta data (AAAA-MM-DD, UTC)")
    p.add_argument("--json", action="store_true", help="o resultado como um objeto JSON")
    adicionar_opcao_registro(p)
    adicionar_opcoes_historico(p, sem=False)
    p.set_defaults(executar=executar)


def executar(args: argparse.Namespace) -> int:
    from scrivane_contract.historico.monitor import monitorar

    historico = abrir_historico(args)
    aplicar_registro(valor_registro(args), args)
    mostrar_avisos()
    try:
        resultado = monitorar(historico, desde=args.desde)
    finally:
        historico.fechar()
    if args.json:
        print(json_linha(resultado.como_json()))
    else:
        imprimir(resultado)
    if resultado.mudancas:
        return SAIDA_REPROVADO
    return SAIDA_FALHA if resultado.nao_consultadas else SAIDA_APROVADO


def imprimir(resultado: Any) -> None:
    """As mudanças, agrupadas por empresa, e a linha final."""
    from scrivane_contract._controles import para_terminal
    from scrivane_contract.apresentacao import data_legivel, formatar_cnpj

    por_empresa: dict[str, list[Any]] = {}
    for m in resultado.mudancas:
        por_empresa.setdefault(m.cnpj, []).append(m)
    for numero, lista in por_empresa.items():
        m0 = lista[0]
        arquivos = ", ".join(para_terminal(a.rsplit("/", 1)[-1]) for a in m0.arquivos)
        print(f"⚠️  {para_terminal(m0.razao_social or 'Empresa')} ({formatar_cnpj(numero)}), verificada em "
              f"{data_legivel(m0.verificado_em)} ({arquivos}; id {para_terminal(m0.verificacao_id)}):")
        for m in lista:
            print(f"   {para_terminal(m.campo)}: {para_terminal(m.antes or '-')} → {para_terminal(m.agora or '-')}")
    if resultado.nao_consultadas:
        print(f"{len(resultado.nao_consultadas)} empresa(s) não puderam ser consultadas agora: "
              + ", ".join(formatar_cnpj(n) for n in resultado.nao_consultadas[:10])
              + (" ..." if len(resultado.nao_consultadas) > 10 else ""))
    if por_empresa:
        print(f"{len(por_empresa)} de {resultado.monitoradas} empresa(s) monitorada(s) mudaram desde a verificação.")
    else:
        print(f"Nenhuma mudança nas {resultado.monitoradas} empresa(s) monitorada(s).")
