"""Como as conclusões de uma verificação se leem: texto (terminal) e HTML (página).

A linha de comando e o serviço web usam as mesmas funções:

- texto: ``imprimir_relatorio`` (o relatório completo de um contrato),
  ``imprimir_resumo`` (a tabela-resumo de um lote), ``imprimir_secao`` (a seção
  "ASSINATURAS DIGITAIS"), ``celula_resumo`` e ``imprimir_alertas``;
- HTML: ``pagina_relatorio`` (página autossuficiente, estilo embutido, abre
  sem rede e imprime em uma página) e ``fragmento_relatorio`` (só o
  ``<article id="relatorio">``), a partir de ``contexto_relatorio``.

Cada função recebe dados prontos (um ``Verificacao`` ou os mapas do
resultado); nenhuma verifica nada.
"""

from __future__ import annotations

import os
import re
import sys
from datetime import datetime
from functools import lru_cache
from pathlib import Path
from typing import TYPE_CHECKING, Any, Iterable, Optional

from scrivane_contract._controles import LIMITE_LINHA, bruto, linhas_curtas, para_terminal

if TYPE_CHECKING:
    from scrivane_contract.verificacao import Verificacao

__all__ = [
    "pagina_relatorio",
    "fragmento_relatorio",
    "contexto_relatorio",
    "imprimir_relatorio",
    "imprimir_assinaturas",
    "imprimir_aviso",
    "imprimir_depois_do_relatorio",
    "linhas_procedencia",
    "linhas_evidencias",
    "evidencias_agrupadas",
    "problemas_de_cnpj",
    "imprimir_resumo",
    "imprimir_secao",
    "imprimir_alertas",
    "celula_resumo",
    "console_saida",
    "formatar_cnpj",
    "formatar_cpf",
    "data_legivel",
    "RAIZ",
]


# == text ============================================================================



def _formatar_cpf(cpf: str) -> str:
    return f"{cpf[:3]}.{cpf[3:6]}.{cpf[6:9]}-{cpf[9:]}" if len(cpf) == 11 else cpf


def _formatar_cnpj(cnpj: str) -> str:
    return f"{cnpj[:2]}.{cnpj[2:5]}.{cnpj[5:8]}/{cnpj[8:12]}-{cnpj[12:]}" if len(cnpj) == 14 else cnpj


def _data(iso: Optional[str]) -> str:
    if not iso:
        return "data não informada"
    data, _, hora = iso.partition("T")
    return f"{data} {hora[:5]}" + (" UTC" if hora.endswith("+00:00") else f" ({hora[8:]})" if len(hora) > 8 else "")


# Each level of a signature, as the terminal shows it (the page maps the style to its classes).
_NIVEIS = {
    "válida e confiável": "green",
    "íntegra, certificado não reconhecido": "bold yellow",
    "não verificada": "bold yellow",
    "inválida": "bold red",
}


# The legal level of a signature, by its chain.
_NIVEIS_LEGAIS = {
    "qualificada": "assinatura eletrônica qualificada (ICP-Brasil)",
    "avançada": "assinatura eletrônica avançada (gov.br, Lei 14.063/2020)",
}


def nivel_legal(a: dict[str, Any]) -> str:
    """O nível legal de uma assinatura, por extenso."""
    return _NIVEIS_LEGAIS.get(a.get("nivel_legal"), "sem nível legal reconhecido (certificado fora da ICP-Brasil "
                                                    "e do gov.br, ou não validado)")


def _estado(a: dict[str, Any]) -> tuple[str, str]:
    """(label, style) of one signature's level."""
    nivel = a.get("nivel")
    if nivel not in _NIVEIS:  # a map from before the levels existed
        if a.get("ilegivel"):
            return "ilegível", "bold yellow"
        if a.get("integra") is False or a.get("modificado_apos_assinatura"):
            return "inválida", "bold red"
        return ("válida e confiável", "green") if a.get("valida") else ("não verificada", "bold yellow")
    return nivel, _NIVEIS[nivel]


def _icone(achado: str) -> str:
    negativo = ("ASSINATURA VIOLADA", "DOCUMENTO ALTERADO", "CONTEÚDO ALTERADO", "SOBREPOSIÇÃO", "assinatura ilegível",
                "CPF DIVERGENTE", "não ", "inválidos", "a assinatura não cobre", "recusad", "página(s)", "ATENÇÃO",
                ": falta", "camada opcional")
    if any(p in achado for p in negativo):
        return "⚠️ "
    return "✅"


def _nome_item(a: dict[str, Any]) -> str:
    quem = a.get("pessoa") or a.get("nome") or "(assinante não identificado)"
    if a.get("tipo") == "carimbo de tempo do documento":
        return f"carimbo de tempo do documento ({quem})"
    return quem


_TITULO_SECAO = "✍️  [bold]ASSINATURAS DIGITAIS[/]"
_SEM_ASSINATURAS = "Nenhuma assinatura digital no documento (assinado à mão, ou digitalizado)."
# The section of a PDF without digital signatures, as the console of console_saida() writes it
# where it writes plain text (see _saida_sem_estilos).
SECAO_SEM_ASSINATURAS = "\n" + _TITULO_SECAO.replace("[bold]", "").replace("[/]", "") + "\n" + "─" * 60 + "\n" \
    + _SEM_ASSINATURAS + "\n"


def _saida_sem_estilos() -> bool:
    """Whether console_saida() writes plain text, at width 120: standard output is no terminal, and
    nothing in the environment makes rich style it or choose another width."""
    return not _terminal(sys.stdout) and not any(
        os.environ.get(nome) is not None for nome in ("FORCE_COLOR", "TTY_COMPATIBLE", "COLUMNS", "JUPYTER_COLUMNS"))


def imprimir_secao(digitais: Optional[dict[str, Any]], console: Any) -> None:
    """A seção "ASSINATURAS DIGITAIS" depois do relatório de um contrato."""
    escape = _escapar_mensagem

    if digitais is None:
        return
    console.print()
    console.print(_TITULO_SECAO)
    console.print("─" * 60)
    if digitais.get("erro"):
        console.print(f"⚠️  {escape(digitais['resumo'])}", style="bold yellow")
        return
    if not digitais["assinaturas"]:
        if digitais.get("formato"):
            console.print(escape(digitais["resumo"]))
        else:
            console.print(_SEM_ASSINATURAS)
        return
    console.print(escape(digitais["resumo"]))
    for n, a in enumerate(digitais["assinaturas"], 1):
        rotulo, estilo = _estado(a)
        quem = _nome_item(a)
        console.print()
        console.print(f"{n}. [bold]{escape(quem)}[/] (campo {escape(a['campo'])}): [{estilo}]{escape(rotulo)}[/]")
        if a.get("motivo"):
            console.print(f"   [{estilo}]{escape(str(a['motivo']))}[/]")
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
        if a.get("tipo") != "carimbo de tempo do documento":
            if not a["ilegivel"]:
                console.print(f"   Nível legal: {escape(nivel_legal(a))}")
            console.print(f"   QSA: {escape(a['identidade'])}")
        for achado in a["achados"]:
            console.print(f"   {_icone(achado)} {escape(achado)}")
        if a.get("modificacao_pyhanko"):
            console.print(f"   (análise de diferenças do pyHanko: {escape(str(a['modificacao_pyhanko']))})")
    if digitais["alertas"] or digitais.get("avisos"):
        console.print()
    for alerta in digitais["alertas"]:
        console.print(f"⚠️  {escape(alerta)}", style="bold red")
    for aviso in digitais.get("avisos") or []:
        console.print(f"⚠️  {escape(aviso)}", style="bold yellow")


def celula_resumo(digitais: Optional[dict[str, Any]]) -> str:
    """Texto (com estilo) da coluna "Assinaturas" da tabela-resumo."""
    if digitais is None:
        return "-"
    if digitais.get("erro"):
        return "[bold yellow]não lidas[/]"
    total = digitais["total"]
    if total == 0:
        return "só em PDF" if digitais.get("formato") else "nenhuma"
    itens = digitais["assinaturas"]
    invalidas = sum(1 for a in itens if _estado(a)[0] == "inválida")
    if invalidas:
        return f"[bold red]{invalidas}/{total} inválida(s)[/]"
    outras = sum(1 for a in itens if _estado(a)[0] != "válida e confiável")
    if outras:
        return f"[bold yellow]{total - outras}/{total} válida(s) e confiável(is)[/]"
    if digitais["alertas"]:
        return f"[bold yellow]{total} válida(s), com aviso[/]"
    return f"[green]{total} válida(s) e confiável(is)[/]"


def imprimir_alertas(arquivo: str, digitais: Optional[dict[str, Any]], console: Any) -> None:
    """Os alertas (em vermelho) e avisos (em amarelo) de um contrato, abaixo da tabela-resumo."""
    escape = _escapar_mensagem

    if digitais is None:
        return
    if digitais.get("erro"):
        console.print(f"⚠️  {escape(arquivo)}: {escape(digitais['resumo'])}", style="bold yellow", soft_wrap=True)
    for alerta in digitais["alertas"]:
        console.print(f"⚠️  {escape(arquivo)}: {escape(alerta)}", style="bold red", soft_wrap=True)
    for aviso in digitais.get("avisos") or []:
        console.print(f"⚠️  {escape(arquivo)}: {escape(aviso)}", style="bold yellow", soft_wrap=True)


formatar_cpf = _formatar_cpf
formatar_cnpj = _formatar_cnpj


def data_legivel(iso: Optional[str]) -> str:
    """"2026-12-08T22:10:05+00:00" -> "08/12/2026 22:10 UTC" (o texto como veio, se não for ISO)."""
    if not iso:
        return "-"
    try:
        data = datetime.fromisoformat(iso)
    except ValueError:
        return iso
    sufixo = " UTC" if data.utcoffset() is not None and not data.utcoffset() else ""
    return data.strftime("%d/%m/%Y %H:%M") + sufixo


def _escapar(texto: Any) -> str:
    """A value (a file name, a company name) for a rich console: one line, no controls, cut if long."""
    from rich.markup import escape

    return escape(para_terminal(texto))


def _escapar_mensagem(texto: Any) -> str:
    """A message built of several values, for a rich console: as ``_escapar``, with more room."""
    from rich.markup import escape

    return escape(para_terminal(texto, LIMITE_LINHA))


def _terminal(fluxo: Any) -> bool:
    try:
        return bool(bruto(fluxo).isatty())
    except (AttributeError, ValueError):
        return False


def console_saida() -> Any:
    """Um console ``rich`` para a saída padrão (largura 120 quando não é um terminal)."""
    from rich.console import Console

    # Piped to a file, a table cut at 80 columns folds every path; give it room.
    largura = None if _terminal(sys.stdout) or os.environ.get("COLUMNS") else 120
    # rich escapes nothing itself: every value it prints goes through ``_escapar``, and its own
    # styles go straight to the stream under the command line's sanitiser.
    return Console(highlight=False, width=largura, file=bruto(sys.stdout))


_ESTILO = {"APROVADO": "green", "REPROVADO": "red", "PENDENTE": "yellow"}


def _metricas_de(v: "Verificacao") -> Optional[dict[str, Any]]:
    if v.resultado is None:
        return None
    m = v.resultado.get("metricas")
    return m if isinstance(m, dict) else None


def imprimir_resumo(verificacoes: list["Verificacao"], segundos_total: float, console: Any) -> None:
    """Tabela-resumo (um contrato por linha) e os totais."""
    from rich.table import Table

    tabela = Table(title="Resumo da verificação", title_justify="left", show_footer=True)
    tabela.add_column("Arquivo", footer="Total", overflow="fold")
    tabela.add_column("Resultado", overflow="fold")
    colunas = [("Aprov.", "total_aprovados"), ("Reprov.", "total_reprovados"), ("Pend.", "total_pendentes")]
    totais = {chave: 0 for _, chave in colunas}
    tokens = 0
    custo = 0.0
    for v in verificacoes:
        r = v.resultado or {}
        for _, chave in colunas:
            n = r.get(chave)
            if n is None and chave.replace("total_", "campos_") in r:
                n = len(r[chave.replace("total_", "campos_")])
            totais[chave] += n or 0
        m = _metricas_de(v)
        if m:
            tokens += int(m.get("tokens") or 0)
            custo += float(m.get("custo_usd") or 0.0)
    for titulo, chave in colunas:
        tabela.add_column(titulo, justify="right", footer=str(totais[chave]))
    com_assinaturas = any(v.assinaturas_digitais is not None for v in verificacoes)
    if com_assinaturas:
        tabela.add_column("Assinaturas")
    tabela.add_column("Tokens", justify="right", footer=_numero(tokens, 0))
    tabela.add_column("Custo", justify="right", footer="US$ " + _numero(custo, 4))
    tabela.add_column("Tempo total", justify="right", footer=_numero(segundos_total, 1) + " s")
    # The table's time is each verification's whole (reading, extraction, registry lookups,
    # signatures); a report's "Tempo:" is the extraction's alone.
    tabela.caption = ("Tempo total: a verificação inteira de cada contrato (leitura, extração, consultas e "
                      "assinaturas); o \"Tempo\" do relatório mede só a extração.")
    tabela.caption_justify = "left"

    for v in verificacoes:
        if v.erro is not None:
            tabela.add_row(_escapar(v.arquivo), "[bold magenta]FALHA[/]", "-", "-", "-",
                           *(["-"] if com_assinaturas else []), "-", "-", _numero(v.segundos, 1) + " s")
            continue
        r = v.resultado or {}
        veredito = str(r.get("resultado_final"))
        estilo = _ESTILO.get(veredito, "white")
        contagens = []
        for _, chave in colunas:
            n = r.get(chave)
            if n is None:
                n = len(r.get(chave.replace("total_", "campos_")) or [])
            contagens.append(str(n))
        m = _metricas_de(v)
        if v.veredito != veredito:  # rejected for its digital signatures
            veredito, estilo = f"{v.veredito} (assinaturas)", _ESTILO["REPROVADO"]
        elif getattr(v, "aviso", None):
            veredito = f"{veredito} (não parece contrato)"
        tabela.add_row(
            _escapar(v.arquivo),
            f"[bold {estilo}]{_escapar(veredito)}[/]",
            *contagens,
            *([celula_resumo(v.assinaturas_digitais)] if com_assinaturas else []),
            _numero(int(m.get("tokens") or 0), 0) if m else "-",
            "US$ " + _numero(float(m.get("custo_usd") or 0.0), 4) if m else "-",
            _numero(v.segundos, 1) + " s",
        )
    console.print(tabela)
    for v in verificacoes:
        if v.erro is not None:
            console.print(f"FALHA em {_escapar(v.arquivo)}: {_escapar(v.erro)}", highlight=False, soft_wrap=True)
        else:
            imprimir_alertas(v.arquivo, v.assinaturas_digitais, console)
            for p in problemas_de_cnpj(v.resultado):
                console.print(f"❌ {_escapar(v.arquivo)}: {_escapar(p['dono'])}: {_escapar(p['texto'])}",
                              highlight=False, soft_wrap=True)
    avisos = list(dict.fromkeys(a for v in verificacoes for a in (v.avisos or [])))
    for aviso in avisos:
        console.print(f"⚠️ {_escapar(aviso)}", highlight=False, soft_wrap=True)

    contagem = {k: sum(1 for v in verificacoes if v.veredito == k) for k in ("APROVADO", "REPROVADO", "PENDENTE")}
    falhas = sum(1 for v in verificacoes if v.erro is not None)
    partes = [
        f"{contagem['APROVADO']} aprovado(s)",
        f"{contagem['REPROVADO']} reprovado(s)",
        f"{contagem['PENDENTE']} pendente(s)",
    ]
    if falhas:
        partes.append(f"{falhas} com falha")
    nao_contratos = sum(1 for v in verificacoes if getattr(v, "aviso", None))
    if nao_contratos:
        partes.append(f"{nao_contratos} não parece(m) contrato")
    console.print(
        f"{len(verificacoes)} contrato(s): " + ", ".join(partes)
        + f"; {_numero(tokens, 0)} tokens, US$ {_numero(custo, 4)}, {_numero(segundos_total, 1)} s",
        highlight=False,
    )


def imprimir_relatorio(v: "Verificacao", kwargs_checker: Optional[dict[str, Any]] = None) -> None:
    """O relatório completo de um contrato, como a biblioteca o imprime, com o cabeçalho do arquivo."""
    regua = "=" * 60
    print()
    print(regua)
    print(f"📄 Arquivo: {para_terminal(v.arquivo)}")
    print(regua)
    if v.erro is not None:
        print(f"❌ FALHA: {para_terminal(v.erro, LIMITE_LINHA)}")
        return
    r = v.resultado or {}
    if "metricas" not in r:  # the reduced record: the engine could not be used
        print(f"⚠️ {r.get('resultado_final')}: {para_terminal(r.get('justificativa'), LIMITE_LINHA)}")
        imprimir_aviso(v)
        imprimir_assinaturas(v)
        return
    from types import SimpleNamespace

    from scrivane_contract.checker import ContractChecker
    from scrivane_contract.models import AssinaturaVerificada, EmpresaVerificada

    # The library's own report printer; the local provider needs no key to build it.
    kwargs = {**(kwargs_checker or {"provider": "local"}), "verbose": True}
    checker = ContractChecker(**kwargs)
    m = r["metricas"]
    with linhas_curtas():  # registry values of any length and content in the library's lines
        checker._imprimir_relatorio(
            resultado_final=r["resultado_final"],
            justificativa=r["justificativa"],
            campos_aprovados=list(r["campos_aprovados"]),
            campos_reprovados=list(r["campos_reprovados"]),
            campos_pendentes=list(r["campos_pendentes"]),
            empresas=[EmpresaVerificada.model_validate(e) for e in r["empresas"]],
            assinaturas=[AssinaturaVerificada.model_validate(a) for a in r["assinaturas"]],
            dados_contrato=dict(r.get("dados_contrato") or {}),
            metricas=SimpleNamespace(tokens=m["tokens"], cost_usd=m["custo_usd"], time_seconds=m["tempo_segundos"]),
        )
    imprimir_depois_do_relatorio(v)


def problemas_de_cnpj(resultado: Any) -> list[dict[str, str]]:
    """The companies whose CNPJ, as the contract writes it, has wrong check digits.

    Each item: ``{"dono": company name, "texto": "CNPJ com dígitos verificadores inválidos: XX.XXX.XXX/XXXX-XX"}``.
    """
    if not isinstance(resultado, dict):
        return []
    from scrivane_contract import cnpj
    from scrivane_contract.ai_search import cnpj_valido

    saida = []
    for e in _lista(resultado.get("empresas")):
        e = e if isinstance(e, dict) else {}
        for c in _lista(e.get("campos")):
            if not isinstance(c, dict) or c.get("campo") != "CNPJ" or not isinstance(c.get("valor_contrato"), str):
                continue
            limpo = cnpj.limpar_cnpj(c["valor_contrato"]).upper()
            if len(limpo) == 14 and not cnpj_valido(limpo):
                dono = _texto(e.get("razao_social_receita")) or _texto(e.get("razao_social_contrato")) or limpo
                saida.append({"dono": dono,
                              "texto": f"CNPJ com dígitos verificadores inválidos: {cnpj.formatar_cnpj(limpo)}"})
    return saida


def _nome_empresa(e: dict[str, Any]) -> str:
    return _texto(e.get("razao_social_receita")) or _texto(e.get("razao_social_contrato")) or "Empresa sem nome"


def linhas_procedencia(v: "Verificacao") -> list[str]:
    """The report's extra lines: where each company's registry data came from, the CNPJs with
    wrong check digits and the hints of the verification."""
    r = v.resultado if isinstance(v.resultado, dict) else {}
    empresas = [e if isinstance(e, dict) else {} for e in _lista(r.get("empresas"))]
    procedencia = list(v.procedencia or [])
    linhas: list[str] = []
    for i, e in enumerate(empresas):
        p = procedencia[i] if i < len(procedencia) else None
        cnpj_texto = _texto(e.get("cnpj"))
        quem = para_terminal(_nome_empresa(e)) + (f" ({para_terminal(cnpj_texto)})" if cnpj_texto else "")
        if isinstance(p, dict) and p.get("descricao"):
            linhas.append(f"   {quem}: {para_terminal(p['descricao'])}")
        else:
            campo = next((c for c in _lista(e.get("campos")) if isinstance(c, dict) and c.get("campo") == "CNPJ"), {})
            motivo = para_terminal(_texto(campo.get("mensagem")), LIMITE_LINHA) or "não consultada"
            linhas.append(f"   {quem}: sem dados da Receita Federal ({motivo})")
    for p in problemas_de_cnpj(r):
        linhas.append(f"   ❌ {para_terminal(p['dono'])}: {p['texto']}")
    for aviso in v.avisos or []:
        linhas.append(f"   ⚠️ {para_terminal(aviso, LIMITE_LINHA)}")
    if not linhas:
        return []
    regua = "─" * 60
    return ["", regua, "🗂️ PROCEDÊNCIA DOS DADOS DA RECEITA", regua, *linhas]


# Labels of the extracted values whose evidence is shown.
ROTULOS_EVIDENCIA = {
    "cnpj": "CNPJ",
    "razao_social": "Razão social",
    "nome_signatario": "Nome",
    "cpf": "CPF",
    "cargo": "Cargo",
    "empresa_representada": "Empresa representada",
    "cnpj_empresa": "CNPJ da empresa",
}


def evidencias_agrupadas(registro: Any) -> list[dict[str, Any]]:
    """The evidence of one verified company or signatory (a ``model_dump`` map), one entry per passage:
    ``{"rotulos": [value labels], "pagina", "trecho", "caixa" (the first value's box), "caixas" (every
    value's box)}``, in the order the values were read."""
    saida: list[dict[str, Any]] = []
    vistos: dict[tuple[Any, str], dict[str, Any]] = {}
    for e in _lista(registro.get("evidencias") if isinstance(registro, dict) else None):
        if not isinstance(e, dict) or not isinstance(e.get("pagina"), int):
            continue
        chave = (e["pagina"], _texto(e.get("trecho")))
        rotulo = ROTULOS_EVIDENCIA.get(_texto(e.get("campo")), _texto(e.get("campo")))
        caixa = e.get("caixa") if isinstance(e.get("caixa"), list) else None
        if chave in vistos:
            visto = vistos[chave]
            if rotulo not in visto["rotulos"]:
                visto["rotulos"].append(rotulo)
            if caixa is not None and caixa not in visto["caixas"]:
                visto["caixas"].append(caixa)
                visto["caixa"] = visto["caixa"] or caixa
            continue
        item = {"rotulos": [rotulo], "pagina": e["pagina"], "trecho": chave[1], "caixa": caixa,
                "caixas": [caixa] if caixa is not None else []}
        vistos[chave] = item
        saida.append(item)
    return saida


def nao_lidos(registro: Any) -> list[str]:
    """The messages of the values of a record that the document does not hold (field "Evidência")."""
    campos = _lista(registro.get("campos")) if isinstance(registro, dict) else []
    return [_texto(c.get("mensagem")) for c in campos if isinstance(c, dict) and c.get("campo") == "Evidência"]


def linhas_evidencias(v: "Verificacao") -> list[str]:
    """The section that says where each company and signatory was read: page and passage of each
    value, and the values the document does not hold."""
    r = v.resultado if isinstance(v.resultado, dict) else {}
    linhas: list[str] = []
    grupos = [(_nome_empresa(e), e) for e in _lista(r.get("empresas")) if isinstance(e, dict)]
    grupos += [(_texto(a.get("nome_signatario")) or "Signatário sem nome", a)
               for a in _lista(r.get("assinaturas")) if isinstance(a, dict)]
    for nome, registro in grupos:
        itens = evidencias_agrupadas(registro)
        faltas = nao_lidos(registro)
        if not itens and not faltas:
            continue
        linhas.append(f"   {para_terminal(nome)}")
        for item in itens:
            linhas.append(f"      {', '.join(item['rotulos'])} (p. {item['pagina']}): "
                          f"\u00ab{para_terminal(' '.join(item['trecho'].split()), LIMITE_LINHA)}\u00bb")
        for falta in faltas:
            linhas.append(f"      ⚠️ {para_terminal(falta, LIMITE_LINHA)}")
    if not linhas:
        return []
    regua = "─" * 60
    return ["", regua, "🔎 ONDE CADA DADO FOI LIDO", regua, *linhas]


def imprimir_depois_do_relatorio(v: "Verificacao") -> None:
    """What follows the library's report of one contract: where the registry data came from,
    the CNPJ check digits, the hints, where each value was read in the document, then the
    digital signatures."""
    imprimir_aviso(v)
    if v.resultado is not None:
        for linha in linhas_procedencia(v):
            print(linha)
        for linha in linhas_evidencias(v):
            print(linha)
    imprimir_assinaturas(v)


def imprimir_aviso(v: "Verificacao") -> None:
    """A nota "o documento não parece um contrato", logo depois do relatório do veredito."""
    aviso = getattr(v, "aviso", None)
    if aviso:
        print(f"⚠️ Atenção: {aviso}: nenhuma parte, signatário ou termo de contrato foi encontrado nele.",
              flush=True)


def imprimir_assinaturas(v: "Verificacao") -> None:
    """As assinaturas digitais depois do relatório de um contrato, e o veredito que impõem, se impõem."""
    if v.assinaturas_digitais is None:
        return
    sys.stdout.flush()
    digitais = v.assinaturas_digitais
    if (not digitais.get("erro") and "assinaturas" in digitais and not digitais["assinaturas"]
            and not digitais.get("formato")
            and (v.resultado is None or v.veredito == v.resultado.get("resultado_final")) and _saida_sem_estilos()):
        # A PDF without signatures, to a file or a pipe: the same text, without loading rich.
        saida = bruto(sys.stdout)
        saida.write(SECAO_SEM_ASSINATURAS)
        saida.flush()
        return
    console = console_saida()
    imprimir_secao(v.assinaturas_digitais, console)
    if v.resultado is not None and v.veredito != v.resultado.get("resultado_final"):
        motivo = getattr(v, "motivo_veredito", None)
        console.print(f"🚫 VEREDITO FINAL: {v.veredito}" + (f" ({_escapar_mensagem(motivo)})" if motivo else ""),
                      style="bold red", soft_wrap=True)


# == HTML ============================================================================


RAIZ = Path(__file__).resolve().parent / "web"

_VEREDITOS = {
    "APROVADO": ("aprovado", "✓", "O contrato passou em todas as verificações."),
    "REPROVADO": ("reprovado", "✕", "Há divergências com a Receita Federal."),
    "PENDENTE": ("pendente", "!", "Alguns pontos precisam de análise manual."),
}

_STATUS = {
    "aprovado": ("aprovado", "✓", "Aprovado"),
    "reprovado": ("reprovado", "✕", "Reprovado"),
    "pendente": ("pendente", "!", "Pendente"),
    "nao_verificado": ("neutro", "–", "Não verificado"),
}

_DADOS_ROTULOS = {
    "tipo_contrato": "Tipo de contrato",
    "objeto": "Objeto",
    "data_assinatura": "Data de assinatura",
    "vigencia": "Vigência",
    "valor": "Valor",
    "foro": "Foro",
}

# Company fields shown as rows, in this order; any other field follows.
_ORDEM_CAMPOS = ("CNPJ", "Situação Cadastral", "Razão Social", "Endereço")


@lru_cache(maxsize=1)
def _ambiente():
    import jinja2

    env = jinja2.Environment(
        loader=jinja2.FileSystemLoader(str(RAIZ / "templates")),
        autoescape=True,
        trim_blocks=True,
        lstrip_blocks=True,
        undefined=jinja2.StrictUndefined,
    )
    return env


@lru_cache(maxsize=1)
def _css() -> str:
    return (RAIZ / "static" / "relatorio.css").read_text(encoding="utf-8")


def _texto(valor: Any) -> str:
    if valor is None:
        return ""
    return str(valor)


_DATA_ISO = re.compile(r"\b(\d{4})-(\d{2})-(\d{2})(?:T[\d:.]+(?:Z|[+-]\d{2}:?\d{2})?)?\b")


def _datas_br(texto: str) -> str:
    """Dates written 2026-10-29 (as the registry and the extraction give them) written 29/10/2026."""
    return _DATA_ISO.sub(lambda m: f"{m.group(3)}/{m.group(2)}/{m.group(1)}", texto)


def _status(status: Any) -> dict[str, str]:
    classe, simbolo, rotulo = _STATUS.get(status if isinstance(status, str) else "", ("neutro", "?", _texto(status) or "Sem status"))
    return {"classe": classe, "simbolo": simbolo, "rotulo": rotulo}


def _campo(c: Any) -> dict[str, Any]:
    c = c if isinstance(c, dict) else {}
    return {
        "campo": _texto(c.get("campo")) or "Campo",
        "mensagem": _texto(c.get("mensagem")),
        "contrato": _datas_br(_texto(c.get("valor_contrato"))),
        "receita": _datas_br(_texto(c.get("valor_receita"))),
        "status": _status(c.get("status")),
    }


def _lista(valor: Any) -> list:
    return list(valor) if isinstance(valor, (list, tuple)) else []


def _empresa(e: Any) -> dict[str, Any]:
    e = e if isinstance(e, dict) else {}
    campos = [_campo(c) for c in _lista(e.get("campos"))]
    ordem = {nome: i for i, nome in enumerate(_ORDEM_CAMPOS)}
    campos.sort(key=lambda c: ordem.get(c["campo"], len(ordem)))
    nome = _texto(e.get("razao_social_receita")) or _texto(e.get("razao_social_contrato")) or "Empresa sem nome"
    encontrada = bool(e.get("cnpj_encontrado"))
    if encontrada:
        situacao = _status("aprovado" if e.get("empresa_ativa") else "reprovado")
        situacao["rotulo"] = "Ativa" if e.get("empresa_ativa") else "Inativa"
    else:
        situacao = _status("pendente" if any(c["status"]["classe"] == "pendente" for c in campos) else "reprovado")
        situacao["rotulo"] = "Não confirmada" if situacao["classe"] == "pendente" else "Não encontrada"
    return {
        "nome": nome,
        "cnpj": _texto(e.get("cnpj")),
        "buscado_por_nome": bool(e.get("cnpj_buscado_por_nome")),
        "papel": _texto(e.get("papel_no_contrato")),
        "situacao": situacao,
        "campos": campos,
    }


def _assinatura(a: Any) -> dict[str, Any]:
    a = a if isinstance(a, dict) else {}
    empresa = _texto(a.get("empresa_representada"))
    cnpj = _texto(a.get("cnpj_empresa"))
    campos = [_campo(c) for c in _lista(a.get("campos"))]
    testemunha = not a.get("tem_poder_assinatura") and any(c["campo"] == "Testemunha" for c in campos)
    for c in campos:
        if c["campo"] == "Testemunha":  # a witness represents no company: nothing to verify
            c["status"] = {"classe": "neutro", "simbolo": "i", "rotulo": "Testemunha"}
    return {
        "testemunha": testemunha,
        "nome": _texto(a.get("nome_signatario")) or "Signatário sem nome",
        "cargo": _texto(a.get("cargo")),
        "empresa": empresa,
        "cnpj": cnpj,
        "qualificacao": _texto(a.get("qualificacao_qsa")),
        "poder": bool(a.get("tem_poder_assinatura")),
        "campos": campos,
    }


def _problemas(empresas: Iterable[dict], assinaturas: Iterable[dict]) -> list[dict[str, str]]:
    saida = []
    for dono, itens in [(e["nome"], e["problemas"]) for e in empresas] + [(a["nome"], a["problemas"]) for a in assinaturas]:
        for p in itens:
            saida.append({"dono": dono, "texto": p})
    return saida


def _inicial(texto: str) -> str:
    """First letter in upper case, the rest untouched (CPF, QSA stay as they are)."""
    return texto[:1].upper() + texto[1:]


# Verdict label style (as the command line prints it) -> the page's status class.
_CLASSE_ESTILO = {"bold red": "reprovado", "bold yellow": "pendente", "green": "aprovado"}
_SIM_NAO = {True: "Sim", False: "Não"}


def _assinatura_digital(a: dict[str, Any]) -> dict[str, Any]:
    from scrivane_contract.assinaturas_digitais import IDENTIDADE_DIVERGENTE

    rotulo, estilo = _estado(a)
    classe = _CLASSE_ESTILO.get(estilo, "neutro")
    simbolo = {"aprovado": "✓", "reprovado": "✕", "pendente": "!"}.get(classe, "–")
    ilegivel = bool(a.get("ilegivel"))
    alteracao = a.get("alteracao")
    if alteracao and a.get("paginas_alteradas"):
        alteracao = f"{alteracao} (página(s) {', '.join(str(p) for p in a['paginas_alteradas'])})"
    if a.get("icp_brasil") is True:
        cadeia = "Encadeado a uma raiz confiável"
    elif a.get("icp_brasil") is False:
        cadeia = "Não encadeado: " + (_texto(a.get("problema_certificado")) or "cadeia não validada")
    else:
        cadeia = "Não avaliada"
    modificado = a.get("modificado_apos_assinatura")
    data = None
    if not ilegivel:
        origem = "carimbo do tempo" if a.get("carimbo_do_tempo") else "declarada pelo assinante"
        data = f"{_data(a.get('data_assinatura'))} ({origem})"
    return {
        "quem": (_inicial(_nome_item(a)) if a.get("tipo") == "carimbo de tempo do documento"
                 else _texto(a.get("pessoa") or a.get("nome")) or "Assinante não identificado"),
        "campo": _texto(a.get("campo")),
        "estado": {"classe": classe, "simbolo": simbolo, "rotulo": _inicial(rotulo)},
        "motivo": _texto(a.get("motivo")),
        "alerta": rotulo == "inválida",
        "depois": _texto(alteracao) if alteracao else ("Não foi possível analisar" if modificado is None else
                                                       _SIM_NAO[bool(modificado)]),
        "pyhanko": _texto(a.get("modificacao_pyhanko")),
        "carimbo": a.get("tipo") == "carimbo de tempo do documento",
        "cpf": _formatar_cpf(_texto(a.get("cpf_pessoa"))) if a.get("cpf_pessoa") else "",
        "cnpj": _formatar_cnpj(_texto(a.get("cnpj"))) if a.get("cnpj") else "",
        "empresa": _texto(a.get("nome")) if a.get("cnpj") else "",
        "emissor": _texto(a.get("emissor")),
        "data": data,
        "integra": "Não avaliada" if ilegivel or a.get("integra") is None else _SIM_NAO[bool(a.get("integra"))],
        "alterado": "Não foi possível analisar" if modificado is None else _SIM_NAO[bool(modificado)],
        "cadeia": cadeia,
        "nivel_legal": "" if ilegivel or a.get("tipo") == "carimbo de tempo do documento" else _inicial(nivel_legal(a)),
        "qsa": _inicial(_texto(a.get("identidade")) or "não verificada"),
        "qsa_divergente": a.get("identidade") == IDENTIDADE_DIVERGENTE,
        "signatario": _texto(a.get("signatario_extraido")),
        "achados": [{"texto": _texto(x), "ruim": _icone(_texto(x)) != "✅"} for x in _lista(a.get("achados"))],
    }


def _digitais(d: Any) -> Optional[dict[str, Any]]:
    """The digital signatures block, from the ``assinaturas_digitais`` map (``None``: not checked)."""
    if not isinstance(d, dict):
        return None
    assinaturas = [_assinatura_digital(a) for a in _lista(d.get("assinaturas")) if isinstance(a, dict)]
    return {
        "erro": bool(d.get("erro")),
        "formato": _texto(d.get("formato")),
        "resumo": _inicial(_texto(d.get("resumo"))),
        "alertas": [_texto(x) for x in _lista(d.get("alertas"))],
        "avisos": [_texto(x) for x in _lista(d.get("avisos"))],
        "assinaturas": assinaturas,
    }


def _numero(valor: Any, casas: int) -> str:
    """A number written the Brazilian way (1.234,5)."""
    try:
        texto = f"{float(valor):,.{casas}f}"
    except (TypeError, ValueError):
        return _texto(valor) or "—"
    return texto.replace(",", "\0").replace(".", ",").replace("\0", ".")


def _duracao(segundos: Any) -> str:
    """Elapsed time as a person reads it: 0,4 s, 38 s, 2 min 05 s."""
    try:
        s = float(segundos)
    except (TypeError, ValueError):
        return _texto(segundos) or "—"
    if s < 10:
        return _numero(s, 1) + " s"
    if s < 60:
        return f"{s:.0f} s"
    minutos, resto = divmod(int(round(s)), 60)
    return f"{minutos} min {resto:02d} s"


def _metricas(m: Any, duracao: Optional[float] = None) -> Optional[dict[str, str]]:
    if not isinstance(m, dict):
        return None
    tokens = m.get("tokens")
    # The whole verification's time when known (reading, extraction and registry lookups),
    # else the extraction's own.
    tempo = duracao if duracao is not None else m.get("tempo_segundos")
    return {
        "tokens": _numero(tokens, 0) if isinstance(tokens, (int, float)) else (_texto(tokens) or "—"),
        "custo": "US$ " + _numero(m.get("custo_usd"), 4),
        "tempo": _duracao(tempo),
    }


def _dados(d: Any) -> list[dict[str, str]]:
    if not isinstance(d, dict):
        return []
    chaves = [k for k in _DADOS_ROTULOS if k in d] + [k for k in d if k not in _DADOS_ROTULOS]
    linhas = []
    for k in chaves:
        v = d[k]
        if isinstance(v, (list, tuple)):
            v = ", ".join(_texto(x) for x in v)
        elif isinstance(v, dict):
            v = "; ".join(f"{kk}: {_texto(vv)}" for kk, vv in v.items())
        rotulo = _DADOS_ROTULOS.get(k) or str(k).replace("_", " ").capitalize()
        linhas.append({"rotulo": rotulo, "valor": _datas_br(_texto(v))})
    return linhas


def contexto_relatorio(resultado: dict, arquivo: Optional[str] = None,
                       gerado_em: Optional[datetime] = None,
                       assinaturas_digitais: Optional[dict] = None,
                       veredito: Optional[tuple[Optional[str], Optional[str]]] = None,
                       procedencia: Optional[list] = None, avisos: Optional[list] = None,
                       aviso: Optional[str] = None, duracao: Optional[float] = None) -> dict[str, Any]:
    """What the template needs, taken from a ``ResultadoVerificacao`` (complete or reduced).

    ``veredito``: (final verdict, reason) of the verification record; by
    default the one the digital signatures give with the default rule.
    ``procedencia`` (per company) and ``avisos``: those of the verification, when given.
    ``aviso``: the not-a-contract note; ``duracao``: the whole verification's seconds."""
    if not isinstance(resultado, dict):
        raise TypeError("resultado deve ser um dict (ResultadoVerificacao)")
    if veredito is None:
        from scrivane_contract.verificacao import calcular_veredito, motivo_da_reprovacao

        veredito = (calcular_veredito(resultado, assinaturas_digitais), motivo_da_reprovacao(assinaturas_digitais))
    final = _texto(veredito[0] or resultado.get("resultado_final")) or "PENDENTE"
    classe, simbolo, resumo = _VEREDITOS.get(final, ("neutro", "?", "Resultado desconhecido."))
    if final != _texto(resultado.get("resultado_final")) and veredito[1]:
        resumo = f"Reprovado pelas assinaturas digitais: {veredito[1]}."
    empresas_brutas = [e for e in _lista(resultado.get("empresas")) if isinstance(e, dict)]
    assinaturas_brutas = [a for a in _lista(resultado.get("assinaturas")) if isinstance(a, dict)]
    empresas = [_empresa(e) for e in empresas_brutas]
    assinaturas = [_assinatura(a) for a in assinaturas_brutas]
    procedencias = _lista(procedencia)
    digitos = problemas_de_cnpj(resultado)
    for i, (vista, bruta) in enumerate(zip(empresas, empresas_brutas)):
        vista["problemas"] = [_texto(p) for p in _lista(bruta.get("problemas"))]
        p = procedencias[i] if i < len(procedencias) else None
        vista["procedencia"] = _texto(p.get("descricao")) if isinstance(p, dict) else ""
        vista["problemas"] += [d["texto"] for d in digitos if d["dono"] == vista["nome"]
                               or d["dono"] == _texto(bruta.get("razao_social_contrato"))]
    for vista, bruta in zip(assinaturas, assinaturas_brutas):
        vista["problemas"] = [_texto(p) for p in _lista(bruta.get("problemas"))]
    for vista, bruta in [*zip(empresas, empresas_brutas), *zip(assinaturas, assinaturas_brutas)]:
        vista["evidencias"] = evidencias_agrupadas(bruta)
        vista["nao_lidos"] = nao_lidos(bruta)
    aprovados = [_texto(x) for x in _lista(resultado.get("campos_aprovados"))]
    reprovados = [_texto(x) for x in _lista(resultado.get("campos_reprovados"))]
    pendentes = [_texto(x) for x in _lista(resultado.get("campos_pendentes"))]
    quando = gerado_em or datetime.now().astimezone()
    from scrivane_contract import __version__

    return {
        "final": final,
        "final_biblioteca": _texto(resultado.get("resultado_final")),
        "classe": classe,
        "simbolo": simbolo,
        "resumo": resumo,
        "justificativa": _texto(resultado.get("justificativa")),
        "arquivo": arquivo,
        "gerado_em": quando.strftime("%d/%m/%Y %H:%M"),
        "versao": __version__,
        "contagem": {"aprovados": len(aprovados), "reprovados": len(reprovados), "pendentes": len(pendentes)},
        "listas": [("reprovado", "Campos reprovados", reprovados), ("pendente", "Campos pendentes", pendentes),
                   ("aprovado", "Campos aprovados", aprovados)],
        "empresas": empresas,
        "assinaturas": assinaturas,
        "problemas": _problemas(empresas, assinaturas),
        "dados": _dados(resultado.get("dados_contrato")) if "dados_contrato" in resultado else None,
        "metricas": _metricas(resultado.get("metricas"), duracao),
        "digitais": _digitais(assinaturas_digitais),
        "aviso": _inicial(aviso) if aviso else None,
        "nada_lido": not empresas and not assinaturas,
        "avisos": [_texto(x) for x in _lista(avisos)],
    }


def fragmento_relatorio(resultado: dict, arquivo: Optional[str] = None,
                        gerado_em: Optional[datetime] = None,
                        assinaturas_digitais: Optional[dict] = None,
                        veredito: Optional[tuple[Optional[str], Optional[str]]] = None,
                        procedencia: Optional[list] = None, avisos: Optional[list] = None,
                        aviso: Optional[str] = None, duracao: Optional[float] = None) -> str:
    """Só o ``<article id="relatorio">`` do relatório, sem documento em volta."""
    return _ambiente().get_template("relatorio.html").render(
        r=contexto_relatorio(resultado, arquivo, gerado_em, assinaturas_digitais, veredito, procedencia, avisos,
                           aviso, duracao),
        documento=False, css="")


def pagina_relatorio(resultado: dict, arquivo: Optional[str] = None,
                     gerado_em: Optional[datetime] = None,
                     assinaturas_digitais: Optional[dict] = None,
                     veredito: Optional[tuple[Optional[str], Optional[str]]] = None,
                     procedencia: Optional[list] = None, avisos: Optional[list] = None,
                     aviso: Optional[str] = None, duracao: Optional[float] = None) -> str:
    """Página HTML completa e autossuficiente com o relatório de uma verificação.

    ``resultado`` é o ``ResultadoVerificacao`` devolvido por ``verificar``
    (completo ou reduzido); ``arquivo`` é o nome do contrato mostrado no
    cabeçalho; ``assinaturas_digitais`` é o mapa de
    ``verificar_assinaturas_digitais`` (seção "Assinaturas digitais"; ``None``:
    seção omitida, assinaturas não conferidas); ``veredito`` é o par (veredito
    final, motivo) do registro da verificação (padrão: o que as assinaturas
    dão pela regra padrão: uma assinatura inválida reprova); ``procedencia`` e
    ``avisos`` são os da verificação (de onde vieram os dados de cada empresa;
    avisos como o de Receita Federal fora de alcance).  A página não depende de
    nenhum arquivo externo: o estilo vai embutido, ela abre sem rede e imprime
    em uma página.  ``aviso`` aparece junto ao veredito ("o documento não
    parece um contrato"); ``duracao`` é o tempo da verificação inteira.
    """
    return _ambiente().get_template("relatorio.html").render(
        r=contexto_relatorio(resultado, arquivo, gerado_em, assinaturas_digitais, veredito, procedencia, avisos,
                           aviso, duracao),
        documento=True, css=_css())
