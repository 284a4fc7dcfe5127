"""Comando ``cnpj``: o cadastro de empresas na Receita Federal, pelo CNPJ."""

from __future__ import annotations

import argparse
import sys
from typing import Any, Callable, Optional

from scrivane_contract.cli import SAIDA_FALHA, SAIDA_REPROVADO, SAIDA_USO, aviso, erro
from scrivane_contract.cli.opcoes import (
    adicionar_opcao_registro,
    aplicar_registro,
    json_indentado,
    json_linha,
    valor_registro,
)

ENCONTRADO = "encontrado"
INVALIDO = "invalido"
NAO_ENCONTRADO = "nao_encontrado"
INDISPONIVEL = "indisponivel"

EPILOGO = """\
exemplos:
  scrivane-contract cnpj 11.222.333/0001-81
  scrivane-contract cnpj --json 11222333000181 45997418000153 > empresas.jsonl
  scrivane-contract cnpj --registro local --offline 11.222.333/0001-81

códigos de saída: 0 todos encontrados; 1 algum não encontrado; 3 algum número
inválido (não tem 14 caracteres, ou dígitos verificadores que não conferem e
nada encontrado); 4 Receita Federal indisponível para algum.
"""


def configurar(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "cnpj",
        help="consulta empresas na Receita Federal pelo CNPJ",
        description=(
            "Consulta cada CNPJ na Receita Federal (BrasilAPI, com a ReceitaWS como alternativa) "
            "e imprime o registro como JSON indentado. Um número com dígitos verificadores "
            "errados é consultado assim mesmo, com um aviso."
        ),
        epilog=EPILOGO,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("numeros", nargs="+", metavar="NUMERO", help="CNPJ, com ou sem pontuação")
    parser.add_argument("--json", action="store_true", help="um objeto JSON por linha, um por número")
    adicionar_opcao_registro(parser)
    parser.set_defaults(executar=executar)


def digitos_conferem(limpo: str) -> bool:
    """Os dois dígitos verificadores de um CNPJ limpo de 14 caracteres conferem."""
    from scrivane_contract.ai_search import cnpj_valido

    return cnpj_valido(limpo)


def _consulta(modulo: Any) -> tuple[Callable[[str], tuple[Optional[dict], str]], bool]:
    """The lookup giving (record, status), and whether it tells "not found" from "unavailable"."""
    detalhada = getattr(modulo, "consultar_cnpj_detalhado", None)
    if detalhada is not None:
        return detalhada, True

    def simples(numero: str) -> tuple[Optional[dict], str]:
        dados = modulo.consultar_cnpj(numero)
        return dados, ENCONTRADO if dados is not None else NAO_ENCONTRADO

    return simples, False


def codigo_de_saida(situacoes: list[str]) -> int:
    if INDISPONIVEL in situacoes:
        return SAIDA_FALHA
    if INVALIDO in situacoes:
        return SAIDA_USO
    if NAO_ENCONTRADO in situacoes:
        return SAIDA_REPROVADO
    return 0


def executar(args: argparse.Namespace) -> int:
    aplicar_registro(valor_registro(args), args)
    from scrivane_contract import cnpj as modulo

    consultar, distingue = _consulta(modulo)
    situacoes: list[str] = []
    for numero in args.numeros:
        limpo = modulo.limpar_cnpj(numero)
        exibido = modulo.formatar_cnpj(limpo) if modulo.validar_cnpj(limpo) else numero
        objeto: dict[str, Any] = {"cnpj": exibido, "status": None}
        if not modulo.validar_cnpj(limpo):
            situacao, dados = INVALIDO, None
            mensagem = f"CNPJ inválido: {numero!r} (são necessários 14 caracteres)"
        else:
            if not digitos_conferem(limpo):
                objeto["aviso"] = "dígitos verificadores não conferem"
                aviso(f"CNPJ {exibido}: dígitos verificadores não conferem; consultando assim mesmo")
            dados, situacao = consultar(numero)
            if situacao != ENCONTRADO and "aviso" in objeto:
                # Not found, or no answer: with wrong check digits the number itself is wrong.
                situacao = INVALIDO
            if situacao == ENCONTRADO:
                mensagem = ""
            elif situacao == INDISPONIVEL:
                motivo = motivo_indisponivel(modulo)
                mensagem = (f"CNPJ {exibido}: {motivo}" if motivo else
                            f"CNPJ {exibido}: Receita Federal indisponível (consulta não concluída; tente mais tarde)")
            elif situacao == INVALIDO and "aviso" in objeto:
                mensagem = f"CNPJ inválido: {numero!r} (dígitos verificadores não conferem; nada encontrado)"
            elif situacao == INVALIDO:
                mensagem = f"CNPJ inválido: {numero!r}"
            elif distingue:
                mensagem = f"CNPJ {exibido}: não encontrado na Receita Federal"
            else:
                mensagem = f"CNPJ {exibido}: não encontrado na Receita Federal (ou serviço indisponível)"
        situacoes.append(situacao)
        objeto["status"] = situacao
        if situacao == ENCONTRADO:
            objeto["dados"] = dados
            origem = _procedencia(limpo)
            if origem is not None:
                objeto["procedencia"] = origem
        else:
            objeto["erro"] = mensagem
            erro(mensagem)
        if args.json:
            print(json_linha(objeto), flush=True)
        elif situacao == ENCONTRADO:
            print(json_indentado(dados), flush=True)
    sys.stdout.flush()
    if INDISPONIVEL in situacoes:
        dica_sem_acesso()
    return codigo_de_saida(situacoes)


def _procedencia(limpo: str) -> Optional[dict]:
    """Where the record just read came from (local registry and its release, or the service and when)."""
    try:
        from scrivane_contract.registro.consultas import procedencia
    except ImportError:
        return None
    return procedencia(limpo)


def motivo_indisponivel(modulo: Any) -> Optional[str]:
    """Why the registry client left a lookup unanswered (a local registry that lacks the company), or None."""
    motivo = getattr(getattr(modulo, "requests", None), "motivo_indisponivel", None)
    return motivo if isinstance(motivo, str) and motivo else None


def dica_sem_acesso() -> None:
    """One hint on stderr when some host could not be reached in this run."""
    try:
        from scrivane_contract.registro.consultas import DICA_SEM_ACESSO, sem_acesso
    except ImportError:
        return
    if sem_acesso():
        aviso(DICA_SEM_ACESSO)
