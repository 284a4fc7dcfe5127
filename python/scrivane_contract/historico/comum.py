"""What the history's two ways in share: where it is, its schema version, and the rows of a verification.

``Historico`` (``banco``) reaches any database through SQLAlchemy; ``HistoricoSqlite``
(``sqlite``) writes a verification into a current SQLite history with the standard
library alone.  Both take from here the location, the version and the rows, so
that they store the same thing.
"""

from __future__ import annotations

import json
import os
import unicodedata
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Optional

if TYPE_CHECKING:
    from scrivane_contract.verificacao import Verificacao

ENV_HISTORICO = "SCRIVANE_HISTORICO"
VERSAO = 2
# Seconds a writer waits for a lock held by another process (a shared queue needs patience;
# a verification, which only records its result, passes a short wait).
ESPERA_PADRAO = 30.0


def caminho_padrao() -> Path:
    """O arquivo SQLite do histórico na pasta de dados do usuário."""
    import platformdirs

    return Path(platformdirs.user_data_dir("scrivane-contract", appauthor=False)) / "historico.sqlite3"


def url_padrao() -> str:
    """O histórico em uso: ``$SCRIVANE_HISTORICO``, senão o arquivo SQLite padrão."""
    return os.environ.get(ENV_HISTORICO) or str(caminho_padrao())


def _url_sqlalchemy(valor: str) -> str:
    valor = valor.strip()
    if valor.startswith(("postgresql://", "postgres://")):
        return "postgresql+psycopg://" + valor.split("://", 1)[1]
    if "://" in valor:
        return valor
    if valor.startswith("sqlite:"):
        valor = valor[len("sqlite:"):]
    return "sqlite:///" + str(Path(valor).expanduser())


def dobrar(texto: Any) -> str:
    """Lower case, no accents, single spaces: how names are compared and searched."""
    texto = unicodedata.normalize("NFD", str(texto or ""))
    texto = "".join(c for c in texto if unicodedata.category(c) != "Mn")
    return " ".join(texto.lower().split())


def _digitos(texto: Any) -> str:
    return "".join(c for c in str(texto or "") if c.isdigit())


def _campo(empresa: dict, nome: str) -> Optional[str]:
    for c in empresa.get("campos") or []:
        if isinstance(c, dict) and c.get("campo") == nome:
            valor = c.get("valor_receita")
            return None if valor is None else str(valor)
    return None


def _socio_correspondente(nome: str, socios: list[dict]) -> Optional[dict]:
    """The partner of the registry's list that the signatory is (same folded name, else the closest)."""
    import difflib

    alvo = dobrar(nome)
    melhor, nota = None, 0.0
    for s in socios:
        if not isinstance(s, dict):
            continue
        candidato = dobrar(s.get("nome"))
        if candidato == alvo:
            return s
        r = difflib.SequenceMatcher(None, alvo, candidato).ratio()
        if r > nota:
            melhor, nota = s, r
    return melhor if nota >= 0.85 else None


@dataclass
class Resumo:
    """Uma linha da listagem do histórico."""

    id: str
    verificado_em: str
    arquivo: str
    veredito: Optional[str]
    empresas: str
    erro: Optional[str]

    def como_json(self) -> dict[str, Any]:
        return dict(self.__dict__)


def _linhas_filhas(v: Verificacao) -> tuple[list[dict], list[dict], str, str]:
    """The company and signatory rows of a verification, its search text and its companies' line."""
    r = v.resultado if isinstance(v.resultado, dict) else {}
    linhas_e: list[dict] = []
    linhas_s: list[dict] = []
    nomes = [Path(v.arquivo).name]
    rotulos = []
    socios_por_cnpj: dict[str, list[dict]] = {}
    for e in r.get("empresas") or []:
        if not isinstance(e, dict):
            continue
        numero = _digitos(e.get("cnpj"))
        nome = e.get("razao_social_receita") or e.get("razao_social_contrato") or ""
        nomes += [str(e.get("razao_social_receita") or ""), str(e.get("razao_social_contrato") or "")]
        if len(numero) == 14:
            formatado = f"{numero[:2]}.{numero[2:5]}.{numero[5:8]}/{numero[8:12]}-{numero[12:]}"
            rotulos.append(f"{nome} ({formatado})" if nome else formatado)
        if len(numero) != 14 or not e.get("cnpj_encontrado"):
            continue
        socios = [s for s in e.get("socios") or [] if isinstance(s, dict)]
        socios_por_cnpj[numero] = socios
        linhas_e.append({
            "verificacao_id": v.id, "cnpj": numero, "verificado_em": v.verificado_em,
            "razao_social": e.get("razao_social_receita"), "situacao": _campo(e, "Situação Cadastral"),
            "endereco": _campo(e, "Endereço"),
            "socios": json.dumps([{"nome": s.get("nome"), "qualificacao": s.get("qualificacao")} for s in socios],
                                 ensure_ascii=False),
        })
    for a in r.get("assinaturas") or []:
        if not isinstance(a, dict):
            continue
        nome = a.get("nome_signatario")
        nomes.append(str(nome or ""))
        numero = _digitos(a.get("cnpj_empresa"))
        if not nome or numero not in socios_por_cnpj:
            continue
        socio = _socio_correspondente(str(nome), socios_por_cnpj[numero])
        if socio is None:
            continue  # not in the partner list when verified: nothing to watch
        linhas_s.append({"verificacao_id": v.id, "cnpj": numero, "nome": str(nome), "socio": socio.get("nome"),
                         "qualificacao": socio.get("qualificacao")})
    busca = " | ".join(dobrar(n) for n in nomes if n)
    return linhas_e, linhas_s, busca, "; ".join(rotulos)
