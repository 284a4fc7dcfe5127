"""Fakes and fixtures for the checker tests.

- ``Registry``: registry records by CNPJ and by name, installed in place of
  ``consultar_cnpj`` / ``buscar_cnpj_por_nome`` in the checker's namespace,
  recording every call;
- ``FakeEngine``: an extraction engine answering fixed maps, with metrics;
- ``dados``: a registry record (``DadosReceita``) as the cnpj module builds it;
- ``checker`` / ``quiet`` fixtures and ``lines`` for exact output comparison.
"""

from __future__ import annotations

import unicodedata

import pdfs
from dataclasses import dataclass, field
from typing import Any, Optional

import pytest

import scrivane_contract.checker as checker_mod
from scrivane_contract.checker import ContractChecker


def socio(nome, qualificacao="Sócio-Administrador", nome_representante="", qualificacao_representante=""):
    return {"nome": nome, "qualificacao": qualificacao, "data_entrada": "", "cpf_representante": "",
            "nome_representante": nome_representante, "qualificacao_representante": qualificacao_representante}


def dados(cnpj="11222333000181", razao_social="ACME COMERCIO LTDA", situacao="ATIVA", socios=(), **endereco):
    digits = "".join(ch for ch in cnpj if ch.isdigit())
    end = {"logradouro": "AV PAULISTA", "numero": "1000", "complemento": "", "bairro": "BELA VISTA",
           "cidade": "SAO PAULO", "uf": "SP", "cep": "01310100"}
    end.update(endereco)
    return {"fonte": "BrasilAPI", "cnpj": f"{digits[:2]}.{digits[2:5]}.{digits[5:8]}/{digits[8:12]}-{digits[12:]}",
            "razao_social": razao_social, "nome_fantasia": "", "situacao": situacao, "data_situacao": "",
            "data_abertura": "", "natureza_juridica": "", "porte": "", "capital_social": 0, "endereco": end,
            "email": "", "socios": [socio(s) if isinstance(s, str) else s for s in socios]}


class Registry:
    """Records by clean CNPJ and by searched name; every call is kept in ``calls``."""

    def __init__(self):
        self.by_cnpj: dict[str, dict] = {}
        self.by_name: dict[str, dict] = {}
        self.calls: list[tuple[str, Any]] = []

    def add(self, record, *, searchable_as=None):
        digits = "".join(ch for ch in record["cnpj"] if ch.isdigit())
        self.by_cnpj[digits] = record
        if searchable_as:
            self.by_name[searchable_as] = record
        return record

    def consultar(self, cnpj):
        self.calls.append(("consultar_cnpj", cnpj))
        rec = self.by_cnpj.get(cnpj)
        return dict(rec) if rec is not None else None

    def buscar(self, nome):
        self.calls.append(("buscar_cnpj_por_nome", nome))
        rec = self.by_name.get(nome)
        return dict(rec, busca_por_nome=True, termo_busca=nome) if rec is not None else None


@dataclass
class Metrics:
    tokens: int = 1234
    cost_usd: float = 0.0123456
    time_seconds: float = 2.25


@dataclass
class Answer:
    raw_result: Any


@dataclass
class Run:
    answers: dict
    total_metrics: Metrics = field(default_factory=Metrics)

    def get_result(self, qid):
        return self.answers.get(qid)


class FakeEngine:
    """Answers ``process`` with fixed answers; records the paths it was given."""

    def __init__(self, empresas=None, assinaturas=None, dados_contrato=None, metrics=None):
        self.answers = {}
        if empresas is not None:
            self.answers["empresas"] = Answer({"empresas": empresas})
        if assinaturas is not None:
            self.answers["assinaturas"] = Answer({"assinaturas": assinaturas})
        if dados_contrato is not None:
            self.answers["dados_contrato"] = Answer(dados_contrato)
        self.metrics = metrics or Metrics()
        self.processed: list = []
        self.questions: list = []
        self.kwargs: dict = {}

    def __call__(self, **kwargs):
        """Used in place of the engine class: "builds" this engine."""
        self.kwargs = kwargs
        return self

    def add_question(self, question):
        self.questions.append(question)

    def process(self, path):
        self.processed.append(path)
        return Run(self.answers, self.metrics)


def with_engine(chk: ContractChecker, engine):
    """Sets ``engine`` up as the checker's engine, already initialised; returns the engine."""
    chk._client = engine
    chk._scrivane_available = True
    return engine


def lines(capsys) -> list[str]:
    return capsys.readouterr().out.split("\n")[:-1]


@pytest.fixture
def no_env_keys(monkeypatch):
    for name in ("OPENAI_API_KEY", "AZURE_API_KEY", "AZURE_API_ENDPOINT", "AZURE_DEPLOYMENT_NAME",
                 "OPENAI_BASE_URL", "SCRIVANE_PROVIDER"):
        monkeypatch.delenv(name, raising=False)


@pytest.fixture
def checker(no_env_keys):
    return ContractChecker(openai_api_key="sk-test")


@pytest.fixture
def quiet(no_env_keys):
    return ContractChecker(openai_api_key="sk-test", verbose=False)


@pytest.fixture
def registry_fake(monkeypatch):
    reg = Registry()
    monkeypatch.setattr(checker_mod, "consultar_cnpj", reg.consultar)
    monkeypatch.setattr(checker_mod, "buscar_cnpj_por_nome", reg.buscar)
    return reg


# -- a plain-Python twin of the name matching, for differential tests -------

def ref_normalizar(texto: str) -> str:
    if not texto:
        return ""
    texto = unicodedata.normalize("NFD", texto)
    texto = "".join(c for c in texto if unicodedata.category(c) != "Mn")
    return texto.lower().strip()


def ref_comparar(nome1: str, nome2: str) -> bool:
    n1, n2 = ref_normalizar(nome1), ref_normalizar(nome2)
    if not n1 or not n2:
        return False
    if n1 in n2 or n2 in n1:
        return True
    p1 = {p for p in n1.split() if len(p) > 2}
    p2 = {p for p in n2.split() if len(p) > 2}
    return len(p1 & p2) >= 2


def ref_poder(nome: str, registro: dict) -> tuple[bool, Optional[str]]:
    for s in registro.get("socios", []):
        if ref_comparar(nome, s.get("nome", "") or ""):
            return True, s.get("qualificacao")
        rep = s.get("nome_representante", "")
        if rep and ref_comparar(nome, rep):
            return True, s.get("qualificacao_representante")
    return False, None


def write_text_pdf(path, text):
    """A one-page PDF whose text layer holds ``text``, one line per text line."""
    return pdfs.write_text_pdf(path, [text])
