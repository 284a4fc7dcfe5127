"""Comando ``historico``: lista, mostra e apaga as verificações guardadas."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from scrivane_contract._controles import para_terminal

from scrivane_contract.cli import SAIDA_FALHA, ErroDeUso
from scrivane_contract.cli.opcoes import abrir_historico, adicionar_opcoes_historico, json_indentado, json_linha

DESCRICAO = """\
As verificações guardadas, mais recentes primeiro. Só o resultado de cada
verificação é guardado (empresas, signatários, vereditos, assinaturas
digitais), nunca o arquivo do contrato.

  scrivane-contract historico --cnpj 11.222.333/0001-81
  scrivane-contract historico mostrar ID
  scrivane-contract historico apagar ID
  scrivane-contract historico apagar --antes 2026-01-01
"""

RESULTADOS = ("APROVADO", "REPROVADO", "PENDENTE", "FALHA")


def _data(texto: str) -> str:
    from scrivane_contract.historico.banco import normalizar_data

    try:
        return normalizar_data(texto)
    except ValueError:
        raise argparse.ArgumentTypeError(f"data inválida: {texto!r} (use AAAA-MM-DD)") from None


def _resultado(texto: str) -> str:
    valor = texto.strip().upper()
    if valor not in RESULTADOS:
        raise argparse.ArgumentTypeError(f"resultado inválido: {texto!r} (use {', '.join(RESULTADOS)})")
    return valor


def _limite(texto: str) -> int:
    try:
        n = int(texto)
    except ValueError:
        raise argparse.ArgumentTypeError(f"esperado um inteiro, não {texto!r}") from None
    if n < 0:
        raise argparse.ArgumentTypeError("o limite não pode ser negativo")
    return n


def configurar(subparsers: Any) -> None:
    p = subparsers.add_parser(
        "historico",
        help="lista, mostra e apaga as verificações guardadas",
        description=DESCRICAO,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("--cnpj", help="só as verificações com uma empresa deste CNPJ")
    p.add_argument("--nome", help="só as verificações com este trecho no nome de uma empresa, de um signatário "
                                  "ou do arquivo (sem diferenciar acentos e maiúsculas)")
    p.add_argument("--resultado", type=_resultado, metavar="RESULTADO",
                   help="só este veredito: APROVADO, REPROVADO, PENDENTE ou FALHA")
    p.add_argument("--desde", type=_data, metavar="DATA", help="só as verificações a partir desta data (AAAA-MM-DD, UTC)")
    p.add_argument("--limite", type=_limite, default=50, metavar="N",
                   help="mostra no máximo N verificações (padrão: 50; 0: todas)")
    p.add_argument("--json", action="store_true", help="um objeto JSON por verificação")
    adicionar_opcoes_historico(p, sem=False)
    p.set_defaults(executar=_listar)
    sub = p.add_subparsers(dest="acao", metavar="AÇÃO")

    m = sub.add_parser("mostrar", help="mostra de novo o relatório de uma verificação",
                       description="Mostra de novo o relatório de uma verificação guardada.")
    m.add_argument("id", metavar="ID", help="o id da verificação (o começo basta, se for único)")
    m.add_argument("--json", action="store_true", help="o registro completo da verificação, em JSON")
    m.add_argument("--html", metavar="ARQUIVO", help="grava a página HTML do relatório neste arquivo")
    adicionar_opcoes_historico(m, sem=False)
    m.set_defaults(executar=_mostrar)

    a = sub.add_parser("apagar", help="apaga uma verificação, ou as anteriores a uma data",
                       description="Apaga do histórico uma verificação, ou todas as anteriores a uma data.")
    a.add_argument("id", metavar="ID", nargs="?", help="o id da verificação (o começo basta, se for único)")
    a.add_argument("--antes", type=_data, metavar="DATA", help="apaga as verificações anteriores a esta data")
    adicionar_opcoes_historico(a, sem=False)
    a.set_defaults(executar=_apagar)


def _listar(args: argparse.Namespace) -> int:
    historico = abrir_historico(args)
    try:
        linhas = historico.listar(cnpj=args.cnpj, nome=args.nome, resultado=args.resultado, desde=args.desde,
                                  limite=args.limite or None)
    finally:
        historico.fechar()
    if args.json:
        for linha in linhas:
            print(json_linha(linha.como_json()))
        return 0
    from rich.table import Table

    from scrivane_contract.apresentacao import _escapar as escape
    from scrivane_contract.apresentacao import console_saida, data_legivel

    if not linhas:
        print("Nenhuma verificação encontrada no histórico.")
        return 0
    tabela = Table(title=f"Histórico ({escape(historico.descricao)})", title_justify="left")
    for coluna in ("ID", "Data", "Arquivo", "Resultado", "Empresas"):
        tabela.add_column(coluna, overflow="fold")

    estilos = {"APROVADO": "green", "REPROVADO": "red", "PENDENTE": "yellow"}
    for r in linhas:
        veredito = r.veredito or "FALHA"
        tabela.add_row(escape(r.id), escape(data_legivel(r.verificado_em)), escape(r.arquivo),
                       f"[bold {estilos.get(veredito, 'magenta')}]{escape(veredito)}[/]", escape(r.empresas or "-"))
    console = console_saida()
    console.print(tabela)
    if args.limite and len(linhas) == args.limite:
        console.print(f"(as {args.limite} mais recentes; --limite 0 mostra todas)")
    return 0


def _obter(historico: Any, ident: str) -> Any:
    """The verification of this id or id prefix; a usage error when the prefix is more than one's."""
    from scrivane_contract.historico.banco import IdAmbiguo

    try:
        return historico.obter(ident)
    except IdAmbiguo as exc:
        raise ErroDeUso(str(exc)) from None


def _mostrar(args: argparse.Namespace) -> int:
    historico = abrir_historico(args)
    try:
        v = _obter(historico, args.id)
    finally:
        historico.fechar()
    if v is None:
        raise ErroDeUso(f"verificação não encontrada no histórico: {args.id}")
    if args.html:
        from scrivane_contract.apresentacao import pagina_relatorio

        if v.resultado is None:
            raise ErroDeUso(f"a verificação {v.id} falhou: não há relatório ({v.erro})")
        with open(args.html, "w", encoding="utf-8") as f:
            f.write(pagina_relatorio(v.resultado, v.nome, assinaturas_digitais=v.assinaturas_digitais,
                                     veredito=(v.veredito, v.motivo_veredito), procedencia=v.procedencia,
                                     avisos=v.avisos))
    if args.json:
        print(json_indentado(v.como_json()))
        return 0
    from scrivane_contract.apresentacao import data_legivel, imprimir_relatorio

    print(f"Verificação {v.id} · {data_legivel(v.verificado_em)}")
    print(f"SHA-256: {v.sha256 or '-'}")
    motor = v.provedor or "-"
    if v.modelo:
        motor += f" ({v.modelo})"
    print(f"Motor: {motor}")
    if v.registro:
        data = f" (publicação {v.registro['data_extracao']})" if v.registro.get("data_extracao") else ""
        print(f"Registro: {para_terminal(v.registro.get('descricao'))}{para_terminal(data)}")
    sys.stdout.flush()
    imprimir_relatorio(v)
    if v.veredito and v.resultado and v.veredito != v.resultado.get("resultado_final"):
        print(f"Veredito final: {v.veredito}")
    return 0 if v.erro is None else SAIDA_FALHA


def _apagar(args: argparse.Namespace) -> int:
    if (args.id is None) == (args.antes is None):
        raise ErroDeUso("indique o ID de uma verificação ou --antes DATA (um dos dois)")
    historico = abrir_historico(args)
    try:
        if args.id is not None:
            alvo = _obter(historico, args.id)
            if alvo is None or not historico.apagar(alvo.id or ""):
                raise ErroDeUso(f"verificação não encontrada no histórico: {args.id}")
            print(f"Verificação {alvo.id} apagada.")
        else:
            n = historico.apagar_antes(args.antes)
            print(f"{n} verificação(ões) apagada(s).")
    finally:
        historico.fechar()
    return 0
