"""As assinaturas digitais na linha de comando: opções do ``verificar``, a seção
do relatório, a coluna da tabela-resumo e os avisos em destaque."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any, Optional

from scrivane_contract.cli import ErroDeUso

AJUDA_GRUPO = """\
Cada assinatura digital do PDF é conferida: quem assinou (nome e, nos
certificados ICP-Brasil, o CPF ou CNPJ), se está íntegra, se o documento foi
alterado depois dela e se o certificado encadeia até uma raiz ICP-Brasil; o
assinante é cruzado com os signatários extraídos e com o QSA (CPF mascarado).
"""


def adicionar_opcoes(parser: argparse.ArgumentParser, exigir: bool = True) -> None:
    grupo = parser.add_argument_group("assinaturas digitais", AJUDA_GRUPO)
    if exigir:
        grupo.add_argument(
            "--exigir-assinaturas-validas",
            action="store_true",
            help="conta como REPROVADO (código de saída e resumo) o contrato com assinatura digital violada, "
                 "ilegível ou seguida de alteração do documento; um PDF sem assinaturas digitais não é afetado",
        )
    grupo.add_argument(
        "--raizes",
        metavar="ARQUIVO_OU_PASTA",
        help="certificados das raízes confiáveis (PEM ou DER) em vez das raízes ICP-Brasil",
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
    if getattr(args, "sem_assinaturas", False):
        if getattr(args, "exigir_assinaturas_validas", False):
            raise ErroDeUso("--exigir-assinaturas-validas não combina com --sem-assinaturas")
        return None
    raizes = getattr(args, "raizes", None)
    if raizes is not None and not Path(raizes).exists():
        raise ErroDeUso(f"raízes não encontradas: {raizes}")
    return {"raizes": raizes, "verificar_revogacao": bool(getattr(args, "verificar_revogacao", False))}


class Leitura:
    """Reads a contract's signatures on a thread of its own, while the engine
    extracts (the engine mostly waits on the network), then cross-checks them
    with the verification's result."""

    def __init__(self, caminho: Path, opcoes_: dict[str, Any]) -> None:
        import concurrent.futures

        self.caminho = caminho
        self.opcoes = opcoes_
        self._executor = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="assinaturas")
        self._futuro = self._executor.submit(self._ler)
        self._executor.shutdown(wait=False)

    def _ler(self) -> list[Any]:
        from scrivane.signatures import ler_assinaturas

        return ler_assinaturas(self.caminho, **self.opcoes)

    def cruzar(self, resultado: Optional[dict[str, Any]]) -> dict[str, Any]:
        from scrivane_contract.assinaturas_digitais import verificar_assinaturas_digitais

        return verificar_assinaturas_digitais(self.caminho, resultado, lidas=self._futuro.result, **self.opcoes)

    def aguardar(self) -> None:
        """Waits for the reading to end (its outcome is left to ``cruzar``)."""
        import concurrent.futures

        concurrent.futures.wait([self._futuro])


def invalidas(digitais: Optional[dict[str, Any]]) -> bool:
    """Há assinatura digital violada, ilegível ou seguida de alteração (ou nenhuma pôde ser lida)."""
    return digitais is not None and not digitais.get("validas", True)


# -- human output ---------------------------------------------------------------------


def _formatar_cpf(cpf: str) -> str:
    return f"{cpf[:3]}.{cpf[3:6]}.{cpf[6:9]}-{cpf[9:]}" if len(cpf) == 11 else cpf


def _formatar_cnpj(cnpj: str) -> str:
    return f"{cnpj[:2]}.{cnpj[2:5]}.{cnpj[5:8]}/{cnpj[8:12]}-{cnpj[12:]}" if len(cnpj) == 14 else cnpj


def _data(iso: Optional[str]) -> str:
    if not iso:
        return "data não informada"
    data, _, hora = iso.partition("T")
    return f"{data} {hora[:5]}" + (" UTC" if hora.endswith("+00:00") else f" ({hora[8:]})" if len(hora) > 8 else "")


def _estado(a: dict[str, Any]) -> tuple[str, str]:
    """(label, style) of one signature's verdict."""
    if a["ilegivel"]:
        return "ILEGÍVEL", "bold red"
    if a["integra"] is False:
        return "VIOLADA", "bold red"
    if a["modificado_apos_assinatura"]:
        return "DOCUMENTO ALTERADO DEPOIS", "bold red"
    if not a["valida"]:
        return "NÃO CONFIRMADA", "bold yellow"
    return "válida", "green"


def _icone(achado: str) -> str:
    negativo = ("ASSINATURA VIOLADA", "DOCUMENTO ALTERADO", "assinatura ilegível", "CPF DIVERGENTE", "não ",
                "inválidos", "a assinatura não cobre")
    if any(p in achado for p in negativo):
        return "⚠️ "
    return "✅"


def imprimir_secao(digitais: Optional[dict[str, Any]], console: Any) -> None:
    """A seção "ASSINATURAS DIGITAIS" depois do relatório de um contrato."""
    from rich.markup import escape

    if digitais is None:
        return
    console.print()
    console.print("✍️  [bold]ASSINATURAS DIGITAIS[/]")
    console.print("─" * 60)
    if digitais.get("erro"):
        console.print(f"⚠️  {escape(digitais['resumo'])}", style="bold yellow")
        return
    if not digitais["assinaturas"]:
        console.print("Nenhuma assinatura digital no documento (assinado à mão, ou digitalizado).")
        return
    console.print(escape(digitais["resumo"]))
    for n, a in enumerate(digitais["assinaturas"], 1):
        rotulo, estilo = _estado(a)
        quem = a["pessoa"] or a["nome"] or "(assinante não identificado)"
        console.print()
        console.print(f"{n}. [bold]{escape(quem)}[/] (campo {escape(a['campo'])}): [{estilo}]{rotulo}[/]")
        detalhes = []
        if a["cpf_pessoa"]:
            detalhes.append(f"CPF {_formatar_cpf(a['cpf_pessoa'])}")
        if a["cnpj"]:
            detalhes.append(f"certificado da empresa {a['nome'] or ''} (CNPJ {_formatar_cnpj(a['cnpj'])})")
        if a["emissor"]:
            detalhes.append(f"emitido por {a['emissor']}")
        if not a["ilegivel"]:
            origem = "carimbo do tempo" if a["carimbo_do_tempo"] else "declarada pelo assinante"
            detalhes.append(f"assinada em {_data(a['data_assinatura'])} ({origem})")
        if detalhes:
            console.print("   " + escape(" · ".join(detalhes)))
        console.print(f"   QSA: {escape(a['identidade'])}")
        for achado in a["achados"]:
            console.print(f"   {_icone(achado)} {escape(achado)}")
    if digitais["alertas"]:
        console.print()
    for alerta in digitais["alertas"]:
        console.print(f"⚠️  {escape(alerta)}", style="bold red")


def celula_resumo(digitais: Optional[dict[str, Any]]) -> str:
    """Texto (com estilo) da coluna "Assinaturas" da tabela-resumo."""
    if digitais is None:
        return "-"
    if digitais.get("erro"):
        return "[bold yellow]não lidas[/]"
    total = digitais["total"]
    if total == 0:
        return "nenhuma"
    if not digitais["validas"]:
        ruins = sum(1 for a in digitais["assinaturas"] if not a["valida"])
        return f"[bold red]{ruins}/{total} com problema[/]"
    if digitais["alertas"]:
        return f"[bold yellow]{total} válida(s), com aviso[/]"
    return f"[green]{total} válida(s)[/]"


def imprimir_alertas(arquivo: str, digitais: Optional[dict[str, Any]], console: Any) -> None:
    """Os avisos em destaque de um contrato, abaixo da tabela-resumo."""
    from rich.markup import escape

    if digitais is None:
        return
    if digitais.get("erro"):
        console.print(f"⚠️  {escape(arquivo)}: {escape(digitais['resumo'])}", style="bold yellow", soft_wrap=True)
    for alerta in digitais["alertas"]:
        console.print(f"⚠️  {escape(arquivo)}: {escape(alerta)}", style="bold red", soft_wrap=True)
