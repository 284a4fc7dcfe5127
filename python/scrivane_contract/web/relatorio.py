"""The report page of one verification: a self-contained HTML document.

The same page is served by the web service (``/api/verificacoes/{id}/relatorio``,
and shown inside the upload page) and written by ``verificar --html``.  Its
style sheet is inlined, so the file opens anywhere, offline, and prints on
one page.
"""

from __future__ import annotations

import re
from datetime import datetime
from functools import lru_cache
from pathlib import Path
from typing import Any, Iterable, Optional

__all__ = ["pagina_relatorio", "RAIZ"]

RAIZ = Path(__file__).resolve().parent

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
    return {
        "nome": _texto(a.get("nome_signatario")) or "Signatário sem nome",
        "cargo": _texto(a.get("cargo")),
        "empresa": empresa,
        "cnpj": cnpj,
        "qualificacao": _texto(a.get("qualificacao_qsa")),
        "poder": bool(a.get("tem_poder_assinatura")),
        "campos": [_campo(c) for c in _lista(a.get("campos"))],
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
    from scrivane_contract.cli.assinaturas import _data, _estado, _formatar_cnpj, _formatar_cpf, _icone

    rotulo, estilo = _estado(a)
    classe = _CLASSE_ESTILO.get(estilo, "neutro")
    simbolo = {"aprovado": "✓", "reprovado": "✕", "pendente": "!"}.get(classe, "–")
    ilegivel = bool(a.get("ilegivel"))
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
        "quem": _texto(a.get("pessoa") or a.get("nome")) or "Assinante não identificado",
        "campo": _texto(a.get("campo")),
        "estado": {"classe": classe, "simbolo": simbolo, "rotulo": rotulo.capitalize()},
        "alerta": ilegivel or a.get("integra") is False or modificado is True,
        "cpf": _formatar_cpf(_texto(a.get("cpf_pessoa"))) if a.get("cpf_pessoa") else "",
        "cnpj": _formatar_cnpj(_texto(a.get("cnpj"))) if a.get("cnpj") else "",
        "empresa": _texto(a.get("nome")) if a.get("cnpj") else "",
        "emissor": _texto(a.get("emissor")),
        "data": data,
        "integra": "Não avaliada" if ilegivel or a.get("integra") is None else _SIM_NAO[bool(a.get("integra"))],
        "alterado": "Não foi possível analisar" if modificado is None else _SIM_NAO[bool(modificado)],
        "cadeia": cadeia,
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
        "resumo": _inicial(_texto(d.get("resumo"))),
        "alertas": [_texto(x) for x in _lista(d.get("alertas"))],
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
                       assinaturas_digitais: Optional[dict] = None, aviso: Optional[str] = None,
                       duracao: Optional[float] = None) -> dict[str, Any]:
    """What the template needs, taken from a ``ResultadoVerificacao`` (complete or reduced)."""
    if not isinstance(resultado, dict):
        raise TypeError("resultado deve ser um dict (ResultadoVerificacao)")
    final = _texto(resultado.get("resultado_final")) or "PENDENTE"
    classe, simbolo, resumo = _VEREDITOS.get(final, ("neutro", "?", "Resultado desconhecido."))
    empresas_brutas = [e for e in _lista(resultado.get("empresas")) if isinstance(e, dict)]
    assinaturas_brutas = [a for a in _lista(resultado.get("assinaturas")) if isinstance(a, dict)]
    empresas = [_empresa(e) for e in empresas_brutas]
    assinaturas = [_assinatura(a) for a in assinaturas_brutas]
    for vista, bruta in zip(empresas, empresas_brutas):
        vista["problemas"] = [_texto(p) for p in _lista(bruta.get("problemas"))]
    for vista, bruta in zip(assinaturas, assinaturas_brutas):
        vista["problemas"] = [_texto(p) for p in _lista(bruta.get("problemas"))]
    aprovados = [_texto(x) for x in _lista(resultado.get("campos_aprovados"))]
    reprovados = [_texto(x) for x in _lista(resultado.get("campos_reprovados"))]
    pendentes = [_texto(x) for x in _lista(resultado.get("campos_pendentes"))]
    quando = gerado_em or datetime.now().astimezone()
    from scrivane_contract import __version__

    return {
        "final": final,
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
    }


def fragmento_relatorio(resultado: dict, arquivo: Optional[str] = None,
                        gerado_em: Optional[datetime] = None,
                        assinaturas_digitais: Optional[dict] = None, aviso: Optional[str] = None,
                        duracao: Optional[float] = None) -> str:
    """Só o ``<article id="relatorio">`` do relatório, sem documento em volta."""
    return _ambiente().get_template("relatorio.html").render(
        r=contexto_relatorio(resultado, arquivo, gerado_em, assinaturas_digitais, aviso, duracao),
        documento=False, css="")


def pagina_relatorio(resultado: dict, arquivo: Optional[str] = None,
                     gerado_em: Optional[datetime] = None,
                     assinaturas_digitais: Optional[dict] = None, aviso: Optional[str] = None,
                     duracao: Optional[float] = None) -> str:
    """Página HTML completa e autossuficiente com o relatório de uma verificação.

    ``resultado`` é o ``ResultadoVerificacao`` devolvido por ``verificar``
    (completo ou reduzido); ``arquivo`` é o nome do contrato mostrado no
    cabeçalho; ``assinaturas_digitais`` é o mapa de
    ``verificar_assinaturas_digitais`` (seção "Assinaturas digitais"; ``None``:
    seção omitida, assinaturas não conferidas); ``aviso`` aparece junto ao
    veredito ("o documento não parece um contrato"); ``duracao``, em segundos,
    é o tempo da verificação inteira (sem ele, o da extração).  A página não
    depende de nenhum arquivo externo: o estilo vai embutido, ela abre sem rede
    e imprime em uma página.
    """
    return _ambiente().get_template("relatorio.html").render(
        r=contexto_relatorio(resultado, arquivo, gerado_em, assinaturas_digitais, aviso, duracao),
        documento=True, css=_css())
