"""The accuracy set of the local extractor and its field-level scoring.

``tests/acuracia/`` holds one text per document (pages separated by form
feeds) beside the extraction expected of it (JSON: "contrato", "empresas",
"assinaturas" and, optionally, some contract-data fields in "dados").
Shared by the tests and by ``bench/bench_local_extractor.py``.
"""

from __future__ import annotations

import json
import re
import textwrap
import unicodedata
from collections import defaultdict
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Optional

PASTA = Path(__file__).resolve().parent / "acuracia"

CAMPOS_EMPRESA = ("cnpj", "razao_social", "papel_no_contrato", "endereco")
CAMPOS_ASSINATURA = ("nome_signatario", "empresa_representada", "cpf")


@dataclass(frozen=True)
class Caso:
    nome: str
    paginas: tuple[str, ...]
    esperado: dict[str, Any]


def casos() -> list[Caso]:
    saida = []
    for txt in sorted(PASTA.glob("*.txt")):
        esperado = json.loads(txt.with_suffix(".json").read_text(encoding="utf-8"))
        saida.append(Caso(txt.stem, tuple(txt.read_text(encoding="utf-8").split("\f")), esperado))
    return saida


def quebrar(paginas, colunas):
    """The pages with each paragraph wrapped at ``colunas``, as a PDF lays a text out
    (a row of signature lines stays one row)."""
    return ["\n".join(textwrap.fill(l, colunas) if l and "____" not in l else l for l in p.split("\n"))
            for p in paginas]


def normal(campo: str, valor: Optional[str]) -> Optional[str]:
    """Comparison form: digits of numbers, folded words of texts; None stays None."""
    if valor is None or not str(valor).strip():
        return None
    texto = str(valor)
    if campo in ("cnpj", "cpf", "cnpj_empresa"):
        return re.sub(r"\D", "", texto) or None
    texto = "".join(c for c in unicodedata.normalize("NFD", texto.lower()) if unicodedata.category(c) != "Mn")
    return " ".join(re.findall(r"[a-z0-9]+", texto)) or None


def _parear(previstos, esperados, chaves):
    """Pairs (predicted, expected) by the first key that agrees; unpaired on either side paired with None."""
    livres = list(range(len(previstos)))
    pares = []
    for e in esperados:
        achado = None
        for chave in chaves:
            alvo = normal(chave, e.get(chave))
            achado = next((i for i in livres if alvo and normal(chave, previstos[i].get(chave)) == alvo), None)
            if achado is not None:
                break
        if achado is not None:
            livres.remove(achado)
        pares.append((previstos[achado] if achado is not None else None, e))
    pares += [(previstos[i], None) for i in livres]
    return pares


class Placar:
    """True/false positives and false negatives per field."""

    def __init__(self) -> None:
        self.contagem: dict[str, list[int]] = defaultdict(lambda: [0, 0, 0])  # tp, fp, fn
        self.erros: list[str] = []

    def _conta(self, rotulo: str, previsto: Any, esperado: Any, campo: str, doc: str) -> None:
        p, e = normal(campo, previsto), normal(campo, esperado)
        tp_fp_fn = self.contagem[rotulo]
        if p is not None and p == e:
            tp_fp_fn[0] += 1
            return
        if p is not None:
            tp_fp_fn[1] += 1
        if e is not None:
            tp_fp_fn[2] += 1
        if p != e:
            self.erros.append(f"{doc}: {rotulo}: extraído {previsto!r}, esperado {esperado!r}")

    def registrar(self, caso: Caso, extraido: dict[str, Any]) -> None:
        esperado = caso.esperado
        eh = bool(extraido.get("empresas") or extraido.get("assinaturas"))
        self._conta("documento.contrato", "sim" if eh else None, "sim" if esperado["contrato"] else None,
                    "contrato", caso.nome)
        for previsto, alvo in _parear(extraido.get("empresas", []), esperado["empresas"], ("cnpj", "razao_social")):
            for campo in CAMPOS_EMPRESA:
                self._conta(f"empresa.{campo}", (previsto or {}).get(campo), (alvo or {}).get(campo), campo,
                            caso.nome)
        for previsto, alvo in _parear(extraido.get("assinaturas", []), esperado["assinaturas"],
                                      ("nome_signatario", "cpf")):
            for campo in CAMPOS_ASSINATURA:
                self._conta(f"assinatura.{campo}", (previsto or {}).get(campo), (alvo or {}).get(campo), campo,
                            caso.nome)

    def metricas(self) -> dict[str, tuple[float, float]]:
        saida = {}
        for rotulo, (tp, fp, fn) in sorted(self.contagem.items()):
            precisao = tp / (tp + fp) if tp + fp else 1.0
            revocacao = tp / (tp + fn) if tp + fn else 1.0
            saida[rotulo] = (precisao, revocacao)
        return saida


# Targets: field -> (precision, recall).
METAS = {
    "empresa.cnpj": (0.95, 0.90),
    "empresa.razao_social": (0.95, 0.90),
    "assinatura.nome_signatario": (0.85, 0.80),
    "assinatura.empresa_representada": (0.85, 0.80),
}
