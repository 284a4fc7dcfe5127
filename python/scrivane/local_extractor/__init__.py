"""Leitura de contratos brasileiros por regras: o provedor "local" do motor.

Sem modelo e sem rede: as partes, as pessoas que assinam por elas e os dados
gerais do contrato são achados no texto do documento pelo modo como os
contratos brasileiros são escritos:

* a qualificação das partes ("ACME LTDA, pessoa jurídica de direito
  privado, inscrita no CNPJ/MF sob o nº ..., com sede na ..., CEP ...,
  doravante denominada CONTRATANTE"), ou um quadro-resumo de linhas
  rotuladas ("Razão Social: ...", "CNPJ: ...", "Endereço: ...");
* os representantes ("neste ato representada por seu sócio administrador
  FULANO, brasileiro, ..., inscrito no CPF sob o nº ..."), o bloco de
  assinaturas, as testemunhas e os carimbos de assinatura digital;
* o título, o objeto, o valor em "R$", a vigência, a data e o foro.

Nada é inventado: o que não é achado fica None, e um documento que não é
contrato (nota fiscal, certidão, artigo, política) não dá empresa nem
signatário.  ``extrair`` devolve um mapa com as chaves das três respostas
("empresas", "assinaturas" e os campos dos dados do contrato); o motor dá a
cada pergunta as chaves que o modelo de resposta dela declara.
"""

# The tables of .tabelas are the rules; the other modules walk the text with them, each reading
# one part of a contract.

from __future__ import annotations

import re
from typing import Any, Optional, Sequence

from .tabelas import (
    ATOS_OUTROS, CAMPOS_DADOS, FORMULAS_CONTRATO, PAPEIS, TITULOS_CONTRATO, TITULOS_OUTROS, TITULOS_SOCIETARIOS,
    _ESPACOS, _dobrar, _letra_primeiro,
)
from .texto import _Empresa, _Pessoa, _juntar_linhas, _mesmo_nome, limpar_paginas
from .partes import _empresas_em_linhas, _empresa_nomeada, _empresas_qualificadas, _quadro_resumo
from .representantes import _pessoas_qualificadas
from .assinaturas import _bloco_assinaturas, _carimbos, _empresas_pela_ordem, _juntar
from .dados import _dados_contrato, _data_iso, _titulo_de  # noqa: F401
from .disposicao import paginas_dispostas

# Lines at the head of the first page where the title is looked for.
CABECA_LINHAS = 15

__all__ = ["extrair", "limpar_paginas", "PAPEIS", "CAMPOS_DADOS"]

# ---------------------------------------------------------------------------
# The whole reading
# ---------------------------------------------------------------------------


_TITULOS = sorted([(t, True) for t in TITULOS_CONTRATO] + [(t, False) for t in TITULOS_OUTROS],
                  key=lambda par: len(par[0]), reverse=True)
_TITULO = re.compile(r"^(?:\S+\s+){0,2}?(" + "|".join(re.escape(t) for t, _ in _TITULOS) + r")\b")
_EH_TITULO_CONTRATO = dict(_TITULOS)


# Titles that only say what kind of instrument follows ("INSTRUMENTO PARTICULAR DE PROCURAÇÃO").
_TITULOS_GENERICOS = frozenset(("instrumento particular", "termo de"))
_OUTRO_DEPOIS = re.compile(r"\s*(?:d[eoa]s?\s+)?(" + "|".join(re.escape(t) for t in TITULOS_OUTROS) + r")\b")
# A contract's title line that names a summary of it, not the instrument.
_RESUMO = re.compile(r"\b(?:extrato|resumo|sumula)\b")
# Words that may stand before a contract's title in any case ("Minuta de Contrato", "Modelo de Contrato").
_ANTES_DO_TITULO = re.compile(r"^(?:minuta|modelo)\s+(?:d[eoa]\s+)?$")


def _classe_titulo(cabeca: list[str]) -> Optional[bool]:
    """Whether the document's title names a contract (True), something else (False), or neither (None):
    the first head line that starts with a known title, read by the longest title it starts with."""
    for linha in cabeca:
        dobrada = _dobrar(linha)
        letra = re.search(r"[A-Za-zÀ-ÖØ-öø-ÿ]", linha)
        if not letra or letra.group().islower():
            continue  # a sentence wrapped onto the line ("contrato celebrado entre as partes"), not a title
        if len(linha) <= 160 and (m := _TITULO.match(dobrada)):
            # Words before the title ("TERCEIRO TERMO ADITIVO") only in a heading set in capitals: in a
            # sentence ("CONTRATADA do contrato nº 5") the word is cited, not the document's title.
            if m.start(1) and linha != linha.upper() and not _ANTES_DO_TITULO.match(dobrada[:m.start(1)]):
                continue
            contrato = _EH_TITULO_CONTRATO[m.group(1)]
            # A sentence wrapped onto a line may start with an act it cites ("Decreto nº 10.024, de 20 de
            # setembro de 2019, ..."): that is no title.
            if (not contrato and linha != linha.upper() and len(linha) > 60
                    and re.match(r"\s*(?:n[º°o.]|\d)", dobrada[m.end(1):])):
                continue
            if contrato and m.group(1) in _TITULOS_GENERICOS and _OUTRO_DEPOIS.match(dobrada, m.end(1)):
                return False
            if contrato and _RESUMO.search(dobrada):
                return False  # "1º TERMO ADITIVO AO CONTRATO Nº 45/2024 – EXTRATO": a published summary
            return contrato
    return None


# A clause heading ("CLÁUSULA PRIMEIRA", "Cláusula 2ª", "CLÁUSULA DÉCIMA SEGUNDA").
_CLAUSULA = re.compile(r"c(?<=\bc)lausula\s+(primeira|segunda|terceira|quarta|quinta|sexta|setima|oitava|nona"
                       r"|decima(?:\s+(?:primeira|segunda|terceira|quarta|quinta|sexta|setima|oitava|nona))?"
                       r"|vigesima|\d{1,2}\s*[ao.ºª]?)(?![\w])")
_AS_PARTES = re.compile("|".join(map(_letra_primeiro, (r"\bas\s+partes\b", r"\bentre\s+partes\b",
                                                        r"\bpartes contratantes\b"))))
# A section heading of a contract written without the word "cláusula" ("1. DO OBJETO", "3 – DAS OBRIGAÇÕES").
_SECOES = (r"objeto|precos?|prazos?|valor|pagamentos?|vigencia|obrigacoes|responsabilidades|rescisao|penalidades|"
           r"sancoes|multas?|foro|reajuste|garantia|fiscalizacao|dotacao orcamentaria|alteracoes|casos omissos|"
           r"disposicoes gerais")
_SECAO = re.compile(r"(?:\b\d{1,2}(?:\.\d{1,2})*\s*[.)–-]\s*|¶\s*)d[oa]s?\s+(" + _SECOES + r")\b"
                    r"|\bd[oa]s?\s+(" + _SECOES + r")\s*¶")
# Clauses numbered by ordinals ("1ª) O prazo ...", "2ª – O aluguel ...").
# (the first digit before the look behind it: a pattern that opens with a digit is tried only at digits)
_CLAUSULA_ORDINAL = re.compile(r"(\d(?<![\w§]\d)\d?)\s?ª\s*[)–.:-]")
_ATOS_OUTROS = re.compile("|".join(ATOS_OUTROS))
_LINHA_ASSINATURA = re.compile("|".join(map(_letra_primeiro, (
    r"_{8,}", r"\bassinado (?:digitalmente|eletronicamente)\b", r"\bdocumento assinado\b"))))
_FORMULAS = tuple(re.compile(_letra_primeiro(f)) for f in FORMULAS_CONTRATO)
_ASSUNTO = re.compile(r"^(?:assunto|ref\.|referencia)\s*:")


def decidir_contrato(cabeca: list[str], dobrado: str, tem_partes: bool) -> tuple[bool, list[str]]:
    """Whether the document is a contract, by what it is, and what was seen (in Portuguese).

    A title that names something else (an extract, a notice, a certificate, a memo) decides
    against it.  A contract title with the shape of a contract (clause headings, a preamble or
    closing formula, "as partes") is a contract even when no party is filled in (a blank
    template).  Otherwise the parties qualified in the text and two contract formulas are needed:
    one formula ("na qualidade de") is not enough."""
    titulo = _classe_titulo(cabeca)
    extremos = dobrado[:20000] + " " + dobrado[-6000:]
    formulas = sum(1 for f in _FORMULAS if f.search(extremos))
    clausulas = len({" ".join(m.group(1).split()) for m in _CLAUSULA.finditer(dobrado)})
    if clausulas < 2:
        clausulas = max(clausulas, len({m.group(1) or m.group(2) for m in _SECAO.finditer(dobrado)}),
                        len({m.group(1) for m in _CLAUSULA_ORDINAL.finditer(dobrado)}))
    partes_citadas = bool(_AS_PARTES.search(dobrado))
    # Lines left for the signatures, or a signing tool's stamp.
    assinaturas = bool(_LINHA_ASSINATURA.search(dobrado))
    # What the document does in its opening: a notice, a certificate, a power of attorney, a receipt;
    # or a memo's shape: a subject line in its head.
    ato = _ATOS_OUTROS.search(dobrado, 0, 3000) or any(_ASSUNTO.match(_dobrar(l)) for l in cabeca)
    vistos = []
    if titulo is not None:
        vistos.append("título de contrato" if titulo else "título de outro documento")
    if clausulas:
        vistos.append(f"{clausulas} cláusula(s)")
    if formulas:
        vistos.append(f"{formulas} fórmula(s) de contrato")
    if partes_citadas:
        vistos.append("as partes")
    if assinaturas:
        vistos.append("linhas de assinatura")
    if tem_partes:
        vistos.append("partes qualificadas")
    if ato and not titulo:
        vistos.append("ato de outro documento")
    if titulo is False or (ato and not titulo):
        return False, vistos
    forma = (clausulas >= 2) + (formulas >= 1) + partes_citadas + assinaturas
    if titulo and forma >= 2:
        return True, vistos
    if titulo is None and formulas >= 2 and clausulas >= 2 and (partes_citadas or assinaturas):
        return True, vistos  # a template without a title: its preamble, clauses and signature lines
    return tem_partes and (titulo is True or formulas >= 2), vistos


def _eh_contrato(cabeca: list[str], dobrado: str, tem_partes: bool) -> bool:
    return decidir_contrato(cabeca, dobrado, tem_partes)[0]


def extrair(paginas: Sequence[str], layout: Optional[Sequence[Any]] = None) -> dict[str, Any]:
    """As três respostas a partir das páginas de um documento, num só mapa.

    ``layout``: as páginas dispostas do documento (``Document.layout``, de
    ``scrivane.layout``), quando houver; com elas, blocos de assinatura lado a
    lado são lidos cada um por si.

    Chaves: "empresas" (mapas das empresas extraídas), "assinaturas" (mapas
    dos signatários), "eh_contrato" (pelo que o documento é: título,
    cláusulas, fórmulas de contrato, partes; um modelo em branco é contrato),
    "motivos_contrato" (o que foi visto para decidir) e os campos
    ``CAMPOS_DADOS`` dos dados do contrato; o que não é achado fica None.
    """
    paginas = paginas_dispostas(paginas, layout)
    bruto = "\n".join(paginas)
    linhas = limpar_paginas(paginas)
    texto = _juntar_linhas(linhas)
    dobrado = _dobrar(texto)
    # The head of the first page as it is: a title repeated on every page is a
    # running header for the clean-up, but still the title.
    cabeca = [_ESPACOS.sub(" ", l).strip() for l in (paginas[0] if paginas else "").split("\n")]
    cabeca = [l for l in cabeca if l][:CABECA_LINHAS]
    societario = _titulo_de(cabeca, TITULOS_SOCIETARIOS) is not None

    empresas = _empresas_qualificadas(texto, dobrado)
    mencoes = list(empresas)  # every qualification in the text, a party's repeated ones included
    canonica: dict[int, _Empresa] = {}
    quadro_empresas, quadro_pessoas = _quadro_resumo(linhas)
    for e in quadro_empresas + _empresas_em_linhas(linhas):
        digitos = re.sub(r"\D", "", e.cnpj or "")
        igual = next((x for x in empresas if (digitos and re.sub(r"\D", "", x.cnpj or "") == digitos)
                      or _mesmo_nome(x.razao_social, e.razao_social)), None)
        if igual is None:
            empresas.append(e)
        else:
            igual.papel = igual.papel or e.papel
            igual.endereco = igual.endereco or e.endereco
    # One company mentioned twice (preamble and a later clause) is one party.
    unicas: list[_Empresa] = []
    por_cnpj: dict[str, _Empresa] = {}
    for e in empresas:
        digitos = re.sub(r"\D", "", e.cnpj or "")
        if digitos:
            igual = por_cnpj.get(digitos)
        else:
            igual = next((x for x in unicas if _mesmo_nome(x.razao_social, e.razao_social)), None)
        canonica[id(e)] = igual or e
        if igual is None:
            unicas.append(e)
            if digitos:
                por_cnpj[digitos] = e
        else:
            igual.papel = igual.papel or e.papel
            igual.endereco = igual.endereco or e.endereco
            igual.nome_fantasia = igual.nome_fantasia or e.nome_fantasia
    if any(e.papel for e in unicas):
        # Beside parties with roles, a company with neither a role nor a CNPJ is only mentioned
        # (another contract's party in an official gazette's page, a reference).
        unicas = [e for e in unicas if e.papel or e.cnpj]
        # Nor is a company first qualified in the body, after the clauses begin, without a role (an
        # insurer, a bidder cited, a bank): the parties are qualified before.
        corpo = _CLAUSULA.search(dobrado)
        unicas = [e for e in unicas if e.papel or corpo is None or not any(x is e for x in mencoes)
                  or min(x.inicio for x in mencoes if canonica.get(id(x)) is e or x is e) < corpo.start()]
    empresas = unicas
    if societario and not empresas:
        nomeada = _empresa_nomeada(texto, dobrado)
        empresas = [nomeada] if nomeada else []
    if societario:
        for e in empresas:
            e.papel = e.papel or "SOCIEDADE"

    # A company qualified with its CNPJ is a party even when no role is written for it.
    tem_partes = any(e.papel or e.cnpj for e in empresas)
    # Representatives are read in every qualification of a party (the title's and the
    # preamble's), and credited to the party.
    finais = {id(e) for e in empresas}
    lidas = [e for e in mencoes if id(canonica.get(id(e), e)) in finais]  # in the text's order
    lidas += [e for e in empresas if all(e is not x for x in lidas)]
    pessoas = _pessoas_qualificadas(texto, dobrado, lidas, societario)
    qualificadas: list[_Pessoa] = []
    for p in pessoas:
        if p.empresa is not None:
            p.empresa = canonica.get(id(p.empresa), p.empresa)
        _juntar(qualificadas, p)  # one person qualified twice (the contract and an annex) is one
    pessoas = qualificadas
    tem_partes = tem_partes or any(p.tipo == "parte" for p in pessoas)
    contrato, motivos = decidir_contrato(cabeca, dobrado, tem_partes)
    if not contrato:
        return {"eh_contrato": False, "motivos_contrato": motivos, "empresas": [], "assinaturas": [],
                **dict.fromkeys(CAMPOS_DADOS)}

    for p in quadro_pessoas:
        _juntar(pessoas, p)
    assinantes = []
    for p in _bloco_assinaturas(linhas, empresas, pessoas):
        assinantes.append(_juntar(pessoas, p))
    _empresas_pela_ordem(assinantes, empresas, pessoas)
    for nome, cpf in _carimbos(bruto):
        _juntar(pessoas, _Pessoa(nome=nome, cpf=cpf, tipo="digital", fonte=1))
    for p in pessoas:
        if p.tipo == "parte":
            p.tipo = "representante" if p.empresa else None
    return {
        "eh_contrato": True,
        "motivos_contrato": motivos,
        "empresas": [e.registro() for e in empresas],
        "assinaturas": [p.registro() for p in pessoas],
        **_dados_contrato(linhas, texto, dobrado, cabeca),
    }
