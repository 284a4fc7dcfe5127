"""Comando ``classificar``: o documento é um contrato? (pelo que ele é: título, cláusulas, partes)."""

from __future__ import annotations

import argparse
from typing import Any

from scrivane_contract.cli import SAIDA_FALHA, SAIDA_REPROVADO
from scrivane_contract.cli.opcoes import json_linha

EPILOGO = """\
códigos de saída: 0 todos são contratos; 1 algum não é; 3 erro de uso (caminho
inexistente); 4 algum documento não pôde ser lido.
"""


def configurar(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "classificar",
        help="diz se cada documento é um contrato, pelo que ele é (título, cláusulas, partes)",
        description=(
            "Lê cada documento (PDF, ou arquivo de texto) e decide se é um contrato pelo que ele é: o "
            "título (um extrato, aviso, certidão ou memorando que cita um contrato não é contrato), as "
            "cláusulas, as fórmulas de contrato e as partes qualificadas; um modelo em branco é contrato. "
            "Mostra também as palavras-chave de contrato e de exclusão achadas no texto. Não usa o modelo "
            "de linguagem nem a rede."
        ),
        epilog=EPILOGO,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("arquivos", nargs="+", metavar="ARQUIVO", help="documento, ou pasta com PDFs")
    parser.add_argument("--json", action="store_true", help="um objeto JSON por documento, um por linha")
    parser.set_defaults(executar=executar)


def executar(args: argparse.Namespace) -> int:
    from scrivane_contract.cli.verificar import expandir_caminhos
    from scrivane_contract.verificacao import motivo_da_falha

    arquivos = expandir_caminhos(args.arquivos)
    from scrivane import read_document
    from scrivane.local_extractor import extrair
    from scrivane_contract.keywords import validar_documento_contrato

    codigo = 0
    for caminho in arquivos:
        try:
            documento = read_document(caminho)
            leitura = extrair(documento.pages, layout=documento.layout)
        except Exception as exc:
            motivo = motivo_da_falha(exc)
            codigo = SAIDA_FALHA
            if args.json:
                print(json_linha({"arquivo": str(caminho), "erro": motivo}), flush=True)
            else:
                print(f"{caminho}: FALHA: {motivo}", flush=True)
            continue
        eh_contrato, motivos = bool(leitura["eh_contrato"]), leitura["motivos_contrato"]
        _, quantidade, encontradas = validar_documento_contrato(documento.text)
        if not eh_contrato and codigo != SAIDA_FALHA:
            codigo = SAIDA_REPROVADO
        if args.json:
            print(
                json_linha(
                    {
                        "arquivo": str(caminho),
                        "eh_contrato": eh_contrato,
                        "quantidade": quantidade,
                        "keywords_encontradas": encontradas,
                        "motivos": motivos,
                    }
                ),
                flush=True,
            )
        else:
            veredito = "é contrato" if eh_contrato else "não é contrato"
            if quantidade == 0 and encontradas:  # an exclusion term
                palavras = "; ".join(encontradas)
            else:
                palavras = f"{quantidade} palavra(s)-chave: " + (", ".join(encontradas) if encontradas else "nenhuma")
            detalhe = "; ".join([", ".join(motivos)] if motivos else []) + ("; " if motivos else "") + palavras
            print(f"{caminho}: {veredito} ({detalhe})", flush=True)
    return codigo
