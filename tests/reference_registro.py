"""A short pure-Python reading of a release: the BrasilAPI record each establishment must give.

Written from the file layouts and the answer shape, independently of the
C++ loader and of the SQL lookups, so that the import tests compare two
readings of the same zips.
"""

from __future__ import annotations

import csv
import datetime as dt
import io
import re
import zipfile
from collections import defaultdict
from pathlib import Path

SITUACOES = {1: "NULA", 2: "ATIVA", 3: "SUSPENSA", 4: "INAPTA", 8: "BAIXADA"}
PORTES = {0: "NÃO INFORMADO", 1: "MICRO EMPRESA", 3: "EMPRESA DE PEQUENO PORTE", 5: "DEMAIS"}
FAIXAS = {0: "Não se aplica", 1: "Entre 0 a 12 anos", 2: "Entre 13 a 20 anos", 3: "Entre 21 a 30 anos",
          4: "Entre 31 a 40 anos", 5: "Entre 41 a 50 anos", 6: "Entre 51 a 60 anos", 7: "Entre 61 a 70 anos",
          8: "Entre 71 a 80 anos", 9: "Maiores de 80 anos"}
NCAMPOS = {"Empresas": 7, "Estabelecimentos": 30, "Socios": 11, "Simples": 7}


def _limpo(v: str) -> str:
    return re.sub(r"\s+", " ", v.replace("\x00", "")).strip()


def _linhas(path: Path):
    """(line number, fields) of the good lines of a zip; malformed lines are left out."""
    with zipfile.ZipFile(path) as z:
        nome = z.namelist()[0]
        texto = z.read(nome).decode("latin-1")
    for n, linha in enumerate(texto.split("\n"), 1):
        if not linha:
            continue
        if not (linha.startswith('"') and linha.endswith('"')):
            continue
        campos = next(csv.reader(io.StringIO(linha), delimiter=";", quotechar='"'))
        yield n, [_limpo(c) for c in campos]


def _int(v):
    return int(v) if v.isdigit() else None


def _data(v):
    if len(v) != 8 or not v.isdigit():
        return None
    try:
        return dt.date(int(v[:4]), int(v[4:6]), int(v[6:])).isoformat()
    except ValueError:
        return None


def _sn(v):
    return {"S": True, "N": False}.get(v)


def registros_esperados(pasta: Path) -> dict[str, dict]:
    """cnpj -> the BrasilAPI record of every good establishment line of the release."""
    tab = {}
    for nome in ("Cnaes", "Motivos", "Municipios", "Naturezas", "Paises", "Qualificacoes"):
        tab[nome] = {int(c[0]): c[1] for _, c in _linhas(pasta / f"{nome}.zip")}
    empresas, simples, socios = {}, {}, defaultdict(list)
    for k in range(10):
        for _, c in _linhas(pasta / f"Empresas{k}.zip"):
            if len(c) == NCAMPOS["Empresas"]:
                empresas.setdefault(c[0], c)
        for _, c in _linhas(pasta / f"Socios{k}.zip"):
            if len(c) == NCAMPOS["Socios"]:
                socios[c[0]].append(c)
    for _, c in _linhas(pasta / "Simples.zip"):
        if len(c) == NCAMPOS["Simples"]:
            simples.setdefault(c[0], c)
    q = tab["Qualificacoes"]
    out = {}
    for k in range(10):
        for _, e in _linhas(pasta / f"Estabelecimentos{k}.zip"):
            if len(e) != NCAMPOS["Estabelecimentos"]:
                continue
            emp = empresas.get(e[0], [e[0], "", "", "", "", "", ""])
            sim = simples.get(e[0], [e[0], "", "", "", "", "", ""])
            capital = float(emp[4].replace(",", ".")) if emp[4] else None
            cnpj = e[0] + e[1] + e[2]
            out[cnpj] = {
                "cnpj": cnpj,
                "identificador_matriz_filial": _int(e[3]),
                "descricao_identificador_matriz_filial": {1: "MATRIZ", 2: "FILIAL"}.get(_int(e[3])),
                "nome_fantasia": e[4],
                "situacao_cadastral": _int(e[5]),
                "descricao_situacao_cadastral": SITUACOES.get(_int(e[5])),
                "data_situacao_cadastral": _data(e[6]),
                "motivo_situacao_cadastral": _int(e[7]),
                "descricao_motivo_situacao_cadastral": tab["Motivos"].get(_int(e[7])),
                "nome_cidade_no_exterior": e[8],
                "codigo_pais": _int(e[9]),
                "pais": tab["Paises"].get(_int(e[9])),
                "data_inicio_atividade": _data(e[10]),
                "cnae_fiscal": _int(e[11]),
                "cnae_fiscal_descricao": tab["Cnaes"].get(_int(e[11])),
                "descricao_tipo_de_logradouro": e[13],
                "logradouro": e[14],
                "numero": e[15],
                "complemento": e[16],
                "bairro": e[17],
                "cep": e[18],
                "uf": e[19],
                "codigo_municipio": _int(e[20]),
                "codigo_municipio_ibge": None,
                "municipio": tab["Municipios"].get(_int(e[20])),
                "ddd_telefone_1": e[21] + e[22],
                "ddd_telefone_2": e[23] + e[24],
                "ddd_fax": e[25] + e[26],
                "email": e[27],
                "situacao_especial": e[28],
                "data_situacao_especial": _data(e[29]),
                "opcao_pelo_simples": _sn(sim[1]),
                "data_opcao_pelo_simples": _data(sim[2]),
                "data_exclusao_do_simples": _data(sim[3]),
                "opcao_pelo_mei": _sn(sim[4]),
                "data_opcao_pelo_mei": _data(sim[5]),
                "data_exclusao_do_mei": _data(sim[6]),
                "razao_social": emp[1],
                "codigo_natureza_juridica": _int(emp[2]),
                "natureza_juridica": tab["Naturezas"].get(_int(emp[2])),
                "qualificacao_do_responsavel": _int(emp[3]),
                "capital_social": capital,
                "codigo_porte": _int(emp[5]),
                "porte": PORTES.get(_int(emp[5])),
                "ente_federativo_responsavel": emp[6],
                "qsa": [{
                    "identificador_de_socio": _int(s[1]),
                    "nome_socio": s[2],
                    "cnpj_cpf_do_socio": s[3],
                    "codigo_qualificacao_socio": _int(s[4]),
                    "qualificacao_socio": q.get(_int(s[4])),
                    "data_entrada_sociedade": _data(s[5]),
                    "codigo_pais": _int(s[6]),
                    "pais": tab["Paises"].get(_int(s[6])),
                    "cpf_representante_legal": s[7],
                    "nome_representante_legal": s[8],
                    "codigo_qualificacao_representante_legal": _int(s[9]),
                    "qualificacao_representante_legal": q.get(_int(s[9])),
                    "codigo_faixa_etaria": _int(s[10]),
                    "faixa_etaria": FAIXAS.get(_int(s[10])),
                } for s in socios.get(e[0], [])],
                "cnaes_secundarios": [{"codigo": int(c), "descricao": tab["Cnaes"].get(int(c), "")}
                                      for c in e[12].split(",") if c.isdigit()],
                "regime_tributario": [],
            }
    return out
