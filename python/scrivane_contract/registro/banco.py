"""O banco SQLite do registro local: esquema, caminhos e chaves."""

from __future__ import annotations

import os
import re
from pathlib import Path

__all__ = ["caminho_padrao", "chave_cnpj", "cnpj_de_chave", "limpar_cnpj14", "ESQUEMA", "INDICES", "INDICES_OUTROS", "NOMES_FTS",
           "DESLOCAMENTO_FANTASIA"]

# Tables as the bulk loader fills them (its INSERTs name these columns).
# CNPJ roots are base-36 integers of their 8 characters; establishments are
# keyed by the base-36 value of root + order (12 characters) and keep the
# two check digits apart. Dates are YYYYMMDD integers, null when absent.
ESQUEMA = """
CREATE TABLE empresas(chave INTEGER NOT NULL, razao_social TEXT, natureza INTEGER, qualificacao INTEGER,
  capital REAL, porte INTEGER, ente TEXT);
CREATE TABLE estabelecimentos(chave INTEGER NOT NULL, dv INTEGER NOT NULL, matriz INTEGER, fantasia TEXT,
  situacao INTEGER, data_situacao INTEGER, motivo INTEGER, cidade_exterior TEXT, pais INTEGER, inicio INTEGER,
  cnae INTEGER, cnaes_secundarios TEXT, tipo_logradouro TEXT, logradouro TEXT, numero TEXT, complemento TEXT,
  bairro TEXT, cep TEXT, uf TEXT, municipio INTEGER, telefone1 TEXT, telefone2 TEXT, fax TEXT, email TEXT,
  situacao_especial TEXT, data_situacao_especial INTEGER);
CREATE TABLE socios(chave INTEGER NOT NULL, tipo INTEGER, nome TEXT, documento TEXT, qualificacao INTEGER,
  data_entrada INTEGER, pais INTEGER, representante TEXT, nome_representante TEXT,
  qualificacao_representante INTEGER, faixa_etaria INTEGER);
CREATE TABLE simples(chave INTEGER NOT NULL, opcao_simples INTEGER, data_opcao_simples INTEGER,
  data_exclusao_simples INTEGER, opcao_mei INTEGER, data_opcao_mei INTEGER, data_exclusao_mei INTEGER);
CREATE TABLE cnaes(codigo INTEGER PRIMARY KEY, descricao TEXT);
CREATE TABLE motivos(codigo INTEGER PRIMARY KEY, descricao TEXT);
CREATE TABLE municipios(codigo INTEGER PRIMARY KEY, descricao TEXT);
CREATE TABLE naturezas(codigo INTEGER PRIMARY KEY, descricao TEXT);
CREATE TABLE paises(codigo INTEGER PRIMARY KEY, descricao TEXT);
CREATE TABLE qualificacoes(codigo INTEGER PRIMARY KEY, descricao TEXT);
CREATE TABLE extras(cnpj TEXT PRIMARY KEY, dados TEXT NOT NULL) WITHOUT ROWID;
CREATE TABLE meta(chave TEXT PRIMARY KEY, valor TEXT) WITHOUT ROWID;
CREATE VIRTUAL TABLE nomes_extras USING fts5(cnpj UNINDEXED, texto,
  tokenize='unicode61 remove_diacritics 2');
"""

# Built once the rows are in: sorting once beats keeping them up to date.
INDICES = """
CREATE INDEX IF NOT EXISTS empresas_chave ON empresas(chave);
CREATE INDEX IF NOT EXISTS estabelecimentos_chave ON estabelecimentos(chave);
CREATE INDEX IF NOT EXISTS socios_chave ON socios(chave);
CREATE INDEX IF NOT EXISTS simples_chave ON simples(chave);
"""
# The part of INDICES over the tables loaded beside the establishments.
INDICES_OUTROS = """
CREATE INDEX IF NOT EXISTS empresas_chave ON empresas(chave);
CREATE INDEX IF NOT EXISTS socios_chave ON socios(chave);
CREATE INDEX IF NOT EXISTS simples_chave ON simples(chave);
"""

# The name index: legal names by company (rowid = the company's rowid) and
# trade names by establishment (rowid = DESLOCAMENTO_FANTASIA + its rowid).
# Contentless and without positions: it only has to say which rows hold
# every word; the filters (status, state) are read from the tables.
DESLOCAMENTO_FANTASIA = 1 << 40
NOMES_FTS = f"""
CREATE VIRTUAL TABLE nomes USING fts5(texto, content='', detail=none, columnsize=0,
  tokenize='unicode61 remove_diacritics 2');
INSERT INTO nomes(rowid, texto) SELECT rowid, razao_social FROM empresas WHERE razao_social <> '';
INSERT INTO nomes(rowid, texto) SELECT {DESLOCAMENTO_FANTASIA} + rowid, fantasia FROM estabelecimentos
  WHERE fantasia <> '';
"""

_B36 = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
_CNPJ14 = re.compile(r"^[0-9A-Z]{12}[0-9]{2}$")


def caminho_padrao() -> Path:
    """O banco usado por ``--registro local``: $SCRIVANE_BANCO_REGISTRO, ou a pasta de dados do usuário."""
    env = os.environ.get("SCRIVANE_BANCO_REGISTRO")
    if env:
        return Path(env)
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
    return Path(base) / "scrivane-contract" / "registro.sqlite3"


def limpar_cnpj14(texto: str) -> str | None:
    """Os 14 caracteres de um CNPJ (com ou sem máscara; letras em maiúsculas), ou None."""
    s = re.sub(r"[\s./-]", "", texto).upper()
    return s if _CNPJ14.match(s) else None


def chave_cnpj(cnpj14: str) -> tuple[int, int]:
    """(chave do estabelecimento, dígitos verificadores) de um CNPJ de 14 caracteres."""
    return int(cnpj14[:12], 36), int(cnpj14[12:])


def cnpj_de_chave(chave: int, dv: int) -> str:
    out = []
    for _ in range(12):
        chave, r = divmod(chave, 36)
        out.append(_B36[r])
    return "".join(reversed(out)) + f"{dv:02d}"
