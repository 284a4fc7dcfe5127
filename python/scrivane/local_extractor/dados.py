"""The contract data: type, object, value, term, date and court."""

from __future__ import annotations

import re
from datetime import date
from typing import Optional, Sequence

from .tabelas import CAMPOS_DADOS, MESES, TITULOS_CONTRATO, _DATA_EXTENSO, _DATA_NUMERICA, _PAPEL, _dobrar
from .texto import _titulo
from .assinaturas import _inicio_assinaturas

# A role's label ("CONTRATANTE:"): the line under a title that opens the parties, not the title's end.
_ROTULO_DE_PAPEL = re.compile(_PAPEL + r"\s*:")


def _data_iso(dia: str, mes: int, ano: str) -> Optional[str]:
    """The date in ISO form, or None when no such day exists ("31 de fevereiro")."""
    try:
        return date(int(ano), mes, int(dia)).isoformat()
    except ValueError:
        return None


def _titulo_de(cabeca: list[str], titulos: Sequence[str]) -> Optional[str]:
    """The first head line whose first words name one of ``titulos`` ("SEGUNDA ALTERAÇÃO CONTRATUAL")."""
    padrao = re.compile(r"^(?:\S+\s+){0,2}(?:" + "|".join(re.escape(t) for t in titulos) + r")\b")
    return next((l for l in cabeca if len(l) <= 160 and padrao.match(_dobrar(l))), None)


def _dados_contrato(linhas: list[str], texto: str, dobrado: str, cabeca: list[str]) -> dict[str, Optional[str]]:
    dados: dict[str, Optional[str]] = dict.fromkeys(CAMPOS_DADOS)
    titulo = _titulo_de(cabeca, TITULOS_CONTRATO)
    if titulo and titulo == titulo.upper() and (len(titulo) >= 50 or re.search(r"\s(?:D[AEO]S?|E|EM|PARA)$", titulo)):
        # A long title wrapped onto the next line, all caps too.
        seguinte = cabeca[cabeca.index(titulo) + 1] if cabeca.index(titulo) + 1 < len(cabeca) else ""
        if seguinte and seguinte == seguinte.upper() and not _ROTULO_DE_PAPEL.search(_dobrar(seguinte)):
            titulo = f"{titulo} {seguinte}"
    if titulo:
        dados["tipo_contrato"] = _titulo(titulo.strip(" .:"))
    m = re.search(r"(?:tem|tera) (?:como|por) objeto\s*(?:a|o)?\s*", dobrado) or re.search(
        r"\bd[oa]s? objeto\b[^a-z]{0,12}|\bobjeto\s*:\s*", dobrado)
    if m:
        # The object ends with its sentence (a full stop before a capital), or at the next clause.
        fins = [f.start() for f in (re.compile(r"\.(?:\s+(?=[A-ZÀ-Ý0-9])|\s*$)|;|¶").search(texto, m.end()),
                                    re.compile(r"\bclausula\b|\bparagrafo\b").search(dobrado, m.end())) if f]
        objeto = texto[m.end():min(fins) if fins else m.end() + 300].strip(" :.-–")
        objeto = re.sub(r"^(?:o presente (?:contrato|instrumento) (?:tem|tera) (?:como|por) objeto\s*(?:a|o)?\s*)", "",
                        objeto, flags=re.I)
        dados["objeto"] = objeto[:400] or None
    valor = None
    for m in re.finditer(r"r\$\s*[\d.]+(?:,\d{2})?", dobrado):
        contexto = dobrado[max(0, m.start() - 200):m.start()]
        if re.search(r"valor|preco|remuneracao|aluguel|pagar|pagamento|honorario|mensalidade|importancia|capital", contexto):
            valor = texto[m.start():m.end()]
            depois = dobrado[m.end():m.end() + 120]
            depois = re.sub(r"^\s*\([^)]*\)", "", depois)
            per = re.match(r"\s*,?\s*(mensa(?:is|l)|por mes|anua(?:is|l)|por ano|globa(?:is|l)|tota(?:is|l))", depois)
            if per:
                valor += " " + per.group(1)
            break
    dados["valor"] = valor
    duracao = r"(\d+\s*(?:\([^)]*\)\s*)?(?:meses|mes|anos|ano|dias))"
    for padrao in (r"(?:prazo|vigencia|vigorara|locacao|comodato)[^.;\d]{0,40}?(prazo indeterminado)",
                   r"(?:prazo|vigencia|vigorara|vigorar)[^.;\d¶]{0,40}?" + duracao,
                   r"vigencia[^.;]{0,60}?(de \d{1,2}/\d{1,2}/\d{4} a \d{1,2}/\d{1,2}/\d{4})"):
        m = re.search(padrao, dobrado)
        if m:
            dados["vigencia"] = re.sub(r"\s*\([^)]*\)", "", texto[m.start(1):m.end(1)])
            break
    inicio = _inicio_assinaturas(linhas)
    for linha in reversed(linhas[:inicio] if inicio < len(linhas) else linhas):
        d = _dobrar(linha)
        if (m := _DATA_EXTENSO.search(d)) and m.group(2) in MESES:
            dados["data_assinatura"] = _data_iso(m.group(1), MESES[m.group(2)], m.group(3))
            break
        if re.match(r"^[a-z][a-z .'/-]*[,–-]\s*\d", d) and (m := _DATA_NUMERICA.search(d)):
            dados["data_assinatura"] = _data_iso(m.group(1), int(m.group(2)), m.group(3))
            break
    m = re.search(r"(?:eleit[oa]|elegem|eleger|competente)\s+(?:[eé]\s+)?(?:o\s+)?foro\s+(?:central\s+|regional\s+)?"
                  r"(?:d[aeo]\s+)?(?:comarca\s+(?:d[aeo]\s+)?)?", dobrado) or re.search(
        r"\bforo\s+(?:central\s+|regional\s+)?(?:d[ao]\s+)?comarca\s+(?:d[aeo]\s+)?|\bforo\s*:\s*", dobrado)
    if m:
        fim = re.compile(r",|\.(?:\s|$)|;|¶|\bpara\b|\bcom (?:exclusao|renuncia)\b|\bcomo\b|\bpor mais\b|\bque\b").search(
            dobrado, m.end())
        foro = texto[m.end():fim.start() if fim else m.end() + 60].strip(" .")
        dados["foro"] = foro or None
    return dados
