"""Comando ``fila``: as verificações da fila compartilhada (histórico em PostgreSQL)."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any

from scrivane_contract.cli import ErroDeUso
from scrivane_contract.cli.opcoes import abrir_historico, adicionar_opcoes_historico

DESCRICAO = """\
As verificações da fila compartilhada por 'servir' e 'trabalhador' no
histórico em PostgreSQL: na fila, em andamento, paradas (o trabalhador que
as pegou não dá sinal de vida: voltam para a fila sozinhas) e as que
falharam (interrompidas 3 vezes, por exemplo).

  scrivane-contract fila
  scrivane-contract fila repetir            (todas as que falharam)
  scrivane-contract fila repetir ID [ID ...]
"""

TITULOS = (("na_fila", "Na fila"), ("em_andamento", "Em andamento"),
           ("parados", "Paradas (o trabalhador não dá sinal de vida; voltam para a fila)"),
           ("falhou", "Falharam ('scrivane-contract fila repetir ID' tenta de novo)"))


def configurar(subparsers: Any) -> None:
    p = subparsers.add_parser("fila", help="mostra a fila compartilhada e repete as verificações que falharam",
                              description=DESCRICAO, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("acao", nargs="?", choices=("mostrar", "repetir"), default="mostrar",
                   help="mostrar (padrão) ou repetir as que falharam")
    p.add_argument("ids", nargs="*", metavar="ID", help="com 'repetir': só estas (id ou começo dele)")
    p.add_argument("--parado", type=float, default=30.0, metavar="SEGUNDOS",
                   help="sem sinal de vida do trabalhador por este tempo, a verificação está parada (padrão: 30)")
    p.add_argument("--json", action="store_true", help="a fila em JSON")
    adicionar_opcoes_historico(p, sem=False)
    p.set_defaults(executar=executar)


def executar(args: argparse.Namespace) -> int:
    if args.ids and args.acao != "repetir":
        raise ErroDeUso("ids só com 'repetir'")
    historico = abrir_historico(args)
    try:
        if historico.sqlite:
            raise ErroDeUso("a fila compartilhada fica no histórico em PostgreSQL (--historico postgresql://...); "
                            "num arquivo SQLite, 'servir' verifica sozinho")
        from scrivane_contract.historico import tarefas

        if args.acao == "repetir":
            feitos = tarefas.repetir(historico, args.ids or None)
            if args.ids and not feitos:
                raise ErroDeUso("nenhuma verificação que falhou com estes ids (veja 'scrivane-contract fila')")
            print(f"{len(feitos)} verificação(ões) de volta à fila" + "".join(f"\n  {i}" for i in feitos))
            return 0
        grupos = tarefas.situacao(historico, args.parado)
        if args.json:
            print(json.dumps(grupos, ensure_ascii=False, indent=2))
            return 0
        print(f"Fila em {historico.descricao}: " + " · ".join(
            f"{rotulo.split(' (')[0].lower()}: {len(grupos[chave])}" for chave, rotulo in TITULOS))
        for chave, rotulo in TITULOS:
            if not grupos[chave]:
                continue
            print(f"\n{rotulo}:")
            for j in grupos[chave]:
                partes = [str(j["id"]), j["arquivo"] or "(envio já descartado)", f"tentativa {j['tentativas']}"]
                if chave in ("em_andamento", "parados") and j["trabalhador"]:
                    partes.append(f"trabalhador {j['trabalhador']}")
                if chave == "falhou" and j.get("motivo"):
                    partes.append(j["motivo"])
                print("  " + " · ".join(partes))
        sys.stdout.flush()
        return 0
    finally:
        historico.fechar()
