"""As assinaturas digitais na linha de comando: as opções do ``verificar`` e do ``servir``.

A seção do relatório, a coluna da tabela-resumo e os avisos em destaque
estão em ``scrivane_contract.apresentacao``."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any, Optional

from scrivane_contract.cli import ErroDeUso

AJUDA_GRUPO = """\
Cada assinatura digital do PDF é conferida: quem assinou (nome e, nos
certificados ICP-Brasil, o CPF ou CNPJ), se está íntegra, o que mudou no
documento depois dela (páginas, texto, imagem, campos de formulário) e se o
certificado encadeia até uma raiz ICP-Brasil (atuais ou retiradas, ou as de
--raizes); o assinante é cruzado com os signatários extraídos e com o QSA (CPF
mascarado).  Cada assinatura fica "válida e confiável", "íntegra, certificado
não reconhecido" (um aviso) ou "inválida" (violada, ou com o conteúdo alterado
depois dela): uma assinatura inválida reprova o contrato.
"""


def adicionar_opcoes(parser: argparse.ArgumentParser, exigir: bool = True) -> None:
    grupo = parser.add_argument_group("assinaturas digitais", AJUDA_GRUPO)
    if exigir:
        grupo.add_argument(
            "--exigir-assinaturas-validas",
            action="store_true",
            help="conta como REPROVADO também o contrato com assinatura digital que não seja \"válida e "
                 "confiável\" (certificado não reconhecido, algoritmo não suportado, ilegível); um PDF sem "
                 "assinaturas digitais não é afetado",
        )

    grupo.add_argument(
        "--ignorar-assinaturas",
        action="store_true",
        help="mantém o veredito da biblioteca mesmo com assinatura digital inválida ou CPF de certificado "
             "divergente do QSA (as assinaturas continuam conferidas e mostradas)",
    )
    grupo.add_argument(
        "--raizes",
        metavar="ARQUIVO_OU_PASTA",
        help="certificados de mais raízes confiáveis (PEM ou DER), além das da ICP-Brasil e da do gov.br "
             "(que acompanham o programa): por exemplo a AC de uma empresa",
    )
    grupo.add_argument(
        "--verificar-revogacao",
        action="store_true",
        help="consulta a revogação dos certificados (LCR/OCSP; requer acesso à rede)",
    )
    grupo.add_argument(
        "--sem-assinaturas",
        action="store_true",
        help="não confere as assinaturas digitais",
    )


def opcoes(args: argparse.Namespace) -> Optional[dict[str, Any]]:
    """Argumentos de ``verificar_assinaturas_digitais``; ``None`` com --sem-assinaturas."""
    if getattr(args, "ignorar_assinaturas", False) and getattr(args, "exigir_assinaturas_validas", False):
        raise ErroDeUso("--ignorar-assinaturas não combina com --exigir-assinaturas-validas")
    if getattr(args, "sem_assinaturas", False):
        if getattr(args, "exigir_assinaturas_validas", False):
            raise ErroDeUso("--exigir-assinaturas-validas não combina com --sem-assinaturas")
        return None
    raizes = getattr(args, "raizes", None)
    if raizes is not None and not Path(raizes).exists():
        raise ErroDeUso(f"raízes não encontradas: {raizes}")
    return {"raizes": raizes, "verificar_revogacao": bool(getattr(args, "verificar_revogacao", False))}

