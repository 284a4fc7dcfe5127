"""Monitoring: the companies and signatories of stored verifications, checked again.

For each company (CNPJ) of the stored verifications, the most recent
verification's registry data (situação, razão social, address, the partner
each signatory was found as) is compared with what the registry in use says
now (``scrivane_contract.cnpj``, looked up at each call, so ``--registro``
applies).  Each difference is a ``Mudanca``; the last run's are kept in the
``alertas`` table for the web page.
"""

from __future__ import annotations

import json
from concurrent.futures import ThreadPoolExecutor
from dataclasses import asdict, dataclass, field
from typing import Any, Callable, Optional

import sqlalchemy as sa

from scrivane_contract.historico.banco import Historico, alertas, dobrar, empresas, signatarios, verificacoes
from scrivane_contract.verificacao import agora_iso

__all__ = ["Mudanca", "Monitoramento", "monitorar", "alertas_guardados"]

CAMPO_SITUACAO = "Situação Cadastral"
CAMPO_RAZAO = "Razão Social"
CAMPO_ENDERECO = "Endereço"
CAMPO_SOCIO = "Signatário no QSA"
CAMPO_QUALIFICACAO = "Qualificação no QSA"


@dataclass
class Mudanca:
    """Uma diferença entre o cadastro na verificação e o cadastro de agora."""

    cnpj: str
    razao_social: Optional[str]
    campo: str
    antes: Optional[str]
    agora: Optional[str]
    verificacao_id: str
    verificado_em: str
    arquivos: list[str] = field(default_factory=list)

    def como_json(self) -> dict[str, Any]:
        return asdict(self)


@dataclass
class Monitoramento:
    """O resultado de uma rodada: quantas empresas, as mudanças e as que não puderam ser consultadas."""

    monitoradas: int
    mudancas: list[Mudanca]
    nao_consultadas: list[str]
    em: str

    @property
    def empresas_com_mudanca(self) -> int:
        return len({m.cnpj for m in self.mudancas})

    def como_json(self) -> dict[str, Any]:
        return {"monitorado_em": self.em, "monitoradas": self.monitoradas,
                "empresas_com_mudanca": self.empresas_com_mudanca,
                "mudancas": [m.como_json() for m in self.mudancas], "nao_consultadas": self.nao_consultadas}


def _consultar(numero: str) -> tuple[Optional[dict], str]:
    from scrivane_contract import cnpj

    # Read at each call, like every name of the cnpj module.
    return cnpj.consultar_cnpj_detalhado(numero)


def _endereco_atual(dados: dict) -> Optional[str]:
    from scrivane_contract import cnpj

    try:
        # The registry's side of the comparison (an empty contract address returns nothing).
        return str(cnpj.comparar_enderecos("-", dados)[2]) or None
    except Exception:  # noqa: BLE001 - an address the comparer cannot read is not a change
        return None


def _base(historico: Historico, desde: Optional[str]) -> tuple[dict[str, dict], dict[str, list[dict]]]:
    """The latest verified data of each company, and the watched signatories of that verification."""
    e, v = empresas.c, verificacoes.c
    consulta = sa.select(e.cnpj, e.verificacao_id, e.verificado_em, e.razao_social, e.situacao, e.endereco,
                         v.arquivo).join(verificacoes, v.id == e.verificacao_id)
    if desde:
        consulta = consulta.where(e.verificado_em >= desde)
    base: dict[str, dict] = {}
    with historico.engine.connect() as con:
        for linha in con.execute(consulta.order_by(e.cnpj, e.verificado_em.desc())):
            atual = base.get(linha.cnpj)
            if atual is None:
                base[linha.cnpj] = {"verificacao_id": linha.verificacao_id, "verificado_em": linha.verificado_em,
                                    "razao_social": linha.razao_social, "situacao": linha.situacao,
                                    "endereco": linha.endereco, "arquivos": [linha.arquivo]}
            elif linha.arquivo not in atual["arquivos"] and len(atual["arquivos"]) < 5:
                atual["arquivos"].append(linha.arquivo)
        ids = {b["verificacao_id"] for b in base.values()}
        pessoas: dict[str, list[dict]] = {}
        s = signatarios.c
        for linha in con.execute(sa.select(s.cnpj, s.verificacao_id, s.nome, s.socio, s.qualificacao)):
            if linha.verificacao_id in ids and base.get(linha.cnpj, {}).get("verificacao_id") == linha.verificacao_id:
                pessoas.setdefault(linha.cnpj, []).append(
                    {"nome": linha.nome, "socio": linha.socio, "qualificacao": linha.qualificacao})
    return base, pessoas


def _comparar(numero: str, b: dict, pessoas: list[dict], dados: dict) -> list[Mudanca]:
    mudancas: list[Mudanca] = []

    def mudou(campo: str, antes: Optional[str], agora: Optional[str]) -> None:
        mudancas.append(Mudanca(numero, b["razao_social"], campo, antes, agora, b["verificacao_id"],
                                b["verificado_em"], list(b["arquivos"])))

    situacao = str(dados.get("situacao") or "").strip().upper() or None
    if b["situacao"] and situacao and dobrar(b["situacao"]) != dobrar(situacao):
        mudou(CAMPO_SITUACAO, b["situacao"], situacao)
    razao = str(dados.get("razao_social") or "").strip() or None
    if b["razao_social"] and razao and dobrar(b["razao_social"]) != dobrar(razao):
        mudou(CAMPO_RAZAO, b["razao_social"], razao)
    if b["endereco"]:
        endereco = _endereco_atual(dados)
        if endereco is not None and dobrar(endereco) != dobrar(b["endereco"]):
            mudou(CAMPO_ENDERECO, b["endereco"], endereco)
    socios = {dobrar(s.get("nome")): s for s in dados.get("socios") or [] if isinstance(s, dict)}
    for p in pessoas:
        atual = socios.get(dobrar(p["socio"]))
        quem = p["socio"] or p["nome"]
        if atual is None:
            mudou(CAMPO_SOCIO, f"{quem} ({p['qualificacao'] or 'sem qualificação'})", "não consta mais no QSA")
        elif dobrar(atual.get("qualificacao")) != dobrar(p["qualificacao"]):
            mudou(f"{CAMPO_QUALIFICACAO}: {quem}", p["qualificacao"], str(atual.get("qualificacao") or ""))
    return mudancas


def monitorar(historico: Historico, *, desde: Optional[str] = None, paralelo: int = 8,
              consultar: Optional[Callable[[str], tuple[Optional[dict], str]]] = None,
              guardar: bool = True) -> Monitoramento:
    """Confere de novo, no registro em uso, as empresas e os signatários das verificações guardadas.

    ``desde``: só as verificações a partir desta data (normalizada);
    ``consultar(cnpj) -> (dados, estado)``: padrão ``cnpj.consultar_cnpj_detalhado``.
    Com ``guardar``, as mudanças ficam como os alertas do histórico (a página os mostra).
    """
    base, pessoas = _base(historico, desde)
    consultar = consultar or _consultar
    numeros = sorted(base)

    def uma(numero: str) -> tuple[str, Optional[list[Mudanca]]]:
        try:
            dados, estado = consultar(numero)
        except Exception:  # noqa: BLE001 - counted as not looked up
            return numero, None
        if estado == "nao_encontrado":
            b = base[numero]
            return numero, [Mudanca(numero, b["razao_social"], "CNPJ", numero, "não encontrado no registro",
                                    b["verificacao_id"], b["verificado_em"], list(b["arquivos"]))]
        if estado != "encontrado" or not isinstance(dados, dict):
            return numero, None
        return numero, _comparar(numero, base[numero], pessoas.get(numero, []), dados)

    mudancas: list[Mudanca] = []
    nao_consultadas: list[str] = []
    if numeros:
        with ThreadPoolExecutor(max(1, min(paralelo, len(numeros))), thread_name_prefix="monitorar") as pool:
            for numero, achadas in pool.map(uma, numeros):
                if achadas is None:
                    nao_consultadas.append(numero)
                else:
                    mudancas.extend(achadas)
    resultado = Monitoramento(len(numeros), mudancas, nao_consultadas, agora_iso())
    if guardar:
        _guardar(historico, resultado)
    return resultado


def _guardar(historico: Historico, m: Monitoramento) -> None:
    with historico.engine.begin() as con:
        con.execute(alertas.delete())
        if m.mudancas:
            con.execute(alertas.insert(), [
                {"cnpj": x.cnpj, "razao_social": x.razao_social, "verificacao_id": x.verificacao_id,
                 "verificado_em": x.verificado_em, "arquivos": json.dumps(x.arquivos, ensure_ascii=False),
                 "campo": x.campo, "antes": x.antes, "agora": x.agora, "detectado_em": m.em} for x in m.mudancas])
        historico.gravar_valor("monitorado_em", m.em, con)
        historico.gravar_valor("monitoradas", str(m.monitoradas), con)


def alertas_guardados(historico: Historico) -> dict[str, Any]:
    """Os alertas da última rodada de monitoramento: ``{"monitorado_em", "monitoradas", "mudancas"}``."""
    a = alertas.c
    with historico.engine.connect() as con:
        linhas = con.execute(sa.select(a.cnpj, a.razao_social, a.campo, a.antes, a.agora, a.verificacao_id,
                                       a.verificado_em, a.arquivos).order_by(a.cnpj, a.campo)).all()
    mudancas = [Mudanca(l.cnpj, l.razao_social, l.campo, l.antes, l.agora, l.verificacao_id or "",
                        l.verificado_em or "", json.loads(l.arquivos or "[]")).como_json() for l in linhas]
    monitoradas = historico.ler_valor("monitoradas")
    return {"monitorado_em": historico.ler_valor("monitorado_em"),
            "monitoradas": int(monitoradas) if monitoradas else None, "mudancas": mudancas}
