#!/usr/bin/env python3
"""Gera uma publicação sintética dos dados abertos do CNPJ (37 arquivos zip).

The files follow the Receita Federal's monthly release exactly: Latin-1,
``;`` separated, every field quoted, no header, one CSV per zip named like
``K3241.K03200Y0.D61108.ESTABELE``. The data is random but deterministic for
a seed, and, unless ``sujeira=False``, carries the dirt of the real files:
NUL characters and runs of spaces inside fields, absent and impossible
dates, accents, doubled quotes, alphanumeric CNPJs, and malformed lines
(short, long, unquoted) slipped between the records.

    python tools/gen_registro.py DESTINO --estabelecimentos 2000000

As a module, ``gerar_release(destino, estabelecimentos=...)`` returns a
manifest: rows per table, and every malformed line as (zip, line number).
"""

from __future__ import annotations

import argparse
import io
import json
import os
import random
import sys
import time
import zipfile
from dataclasses import dataclass, field
from pathlib import Path

__all__ = ["gerar_release", "Manifesto", "digitos_verificadores", "LINHAS_RUINS"]

CNAES = [
    ("6201501", "Desenvolvimento de programas de computador sob encomenda"),
    ("6202300", "Desenvolvimento e licenciamento de programas de computador customizáveis"),
    ("6204000", "Consultoria em tecnologia da informação"),
    ("4711302", "Comércio varejista de mercadorias em geral, com predominância de produtos alimentícios - supermercados"),
    ("4781400", "Comércio varejista de artigos do vestuário e acessórios"),
    ("5611201", "Restaurantes e similares"),
    ("4120400", "Construção de edifícios"),
    ("6911701", "Serviços advocatícios"),
    ("8630503", "Atividade médica ambulatorial restrita a consultas"),
    ("4930202", "Transporte rodoviário de carga, exceto produtos perigosos, intermunicipal, interestadual e internacional"),
    ("7319002", "Promoção de vendas"),
    ("8211300", "Serviços combinados de escritório e apoio administrativo"),
    ("4744099", "Comércio varejista de materiais de construção em geral"),
    ("1091101", "Fabricação de produtos de panificação industrial"),
    ("0111301", "Cultivo de arroz"),
]
MOTIVOS = [("00", "SEM MOTIVO"), ("01", "EXTINCAO POR ENCERRAMENTO LIQUIDACAO VOLUNTARIA"),
           ("21", "PEDIDO DE BAIXA INDEFERIDA"), ("63", "OMISSAO DE DECLARACOES"), ("71", "INAPTIDAO (LEI 11.941/2009 ART.54)")]
MUNICIPIOS = [("7107", "SAO PAULO", "SP"), ("6001", "RIO DE JANEIRO", "RJ"), ("9701", "BRASILIA", "DF"),
              ("4123", "BELO HORIZONTE", "MG"), ("7535", "CURITIBA", "PR"), ("8801", "PORTO ALEGRE", "RS"),
              ("2051", "JOÃO PESSOA", "PB"), ("1389", "GOIÂNIA", "GO"), ("0427", "MACEIÓ", "AL"),
              ("3849", "SÃO LUÍS", "MA"), ("2531", "RECIFE", "PE"), ("0139", "RIO BRANCO", "AC")]
NATUREZAS = [("2062", "Sociedade Empresária Limitada"), ("2135", "Empresário (Individual)"),
             ("2054", "Sociedade Anônima Fechada"), ("2305", "Empresa Individual de Responsabilidade Limitada (de Natureza Empresária)"),
             ("2011", "Empresa Pública"), ("3999", "Associação Privada")]
PAISES = [("105", "BRASIL"), ("249", "ESTADOS UNIDOS"), ("607", "PORTUGAL"), ("063", "ARGENTINA")]
QUALIFICACOES = [("00", "Não informada"), ("05", "Administrador"), ("10", "Diretor"), ("16", "Presidente"),
                 ("22", "Sócio"), ("49", "Sócio-Administrador"), ("50", "Empresário"), ("65", "Titular Pessoa Física Residente ou Domiciliado no Brasil")]

PALAVRAS = ("ACME AGRO ALFA ALIMENTOS AMAZONIA ARAUJO ATLANTICO AURORA BARROS BOA BRASIL CAMPOS CAPITAL "
            "CENTRAL COMERCIO CONSTRUCOES CONSULTORIA COSTA CRUZEIRO DIGITAL DISTRIBUIDORA DOURADO "
            "ENGENHARIA ESTRELA FARIA FERREIRA FLORESTA GOMES HORIZONTE IMPERIAL INDUSTRIA LIMA LOGISTICA "
            "MARTINS MERCADO MODERNA NACIONAL NORTE NOVA OLIVEIRA PAULISTA PEREIRA PRIMAVERA RAPIDO "
            "REAL RIBEIRO SANTOS SERVICOS SILVA SOLUCOES SOUZA SUL TECNOLOGIA TERRA TRANSPORTES UNIAO "
            "VALE VERDE VIDA").split()
PALAVRAS_ACENTO = ["AÇÚCAR", "CONSTRUÇÕES", "ÁGUA", "JOSÉ", "CORAÇÃO", "SÃO", "IRMÃOS", "PÃO", "GRÁFICA", "ÓTICA"]
SUFIXOS = ["LTDA", "LTDA", "LTDA", "S.A.", "EIRELI", "ME", "COMERCIO LTDA"]
PRENOMES = ["MARIA", "JOAO", "JOSÉ", "ANA", "ANTÔNIO", "FRANCISCO", "LUCAS", "JULIANA", "PEDRO", "CONCEIÇÃO",
            "PAULO", "FERNANDA", "CARLOS", "MÁRCIA", "RAFAEL"]
SOBRENOMES = ["DA SILVA", "SANTOS", "OLIVEIRA", "SOUZA", "PEREIRA", "FERREIRA", "ALVES", "LIMA", "GONÇALVES",
              "RIBEIRO", "ARAÚJO", "CARVALHO"]
LOGRADOUROS = [("RUA", "DAS FLORES"), ("AVENIDA", "PAULISTA"), ("RUA", "XV DE NOVEMBRO"), ("AVENIDA", "BRASIL"),
               ("TRAVESSA", "SÃO JOÃO"), ("RODOVIA", "BR 116"), ("ALAMEDA", "SANTOS"), ("PRACA", "DA SÉ")]
BAIRROS = ["CENTRO", "BELA VISTA", "JARDIM AMÉRICA", "VILA NOVA", "BOA VIAGEM", "SAVASSI", "ASA SUL"]
ALFANUM = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"

# The malformed lines slipped between the records, by kind.
LINHAS_RUINS = {
    "curta": '"12345678";"0001"',
    "longa": None,  # the record's field count plus one, built per table
    "sem_aspas": "12345678;0001;99",
}


def digitos_verificadores(base12: str) -> str:
    """The two check digits of a 12-character CNPJ base (digits or upper-case letters)."""
    vals = [ord(ch) - 48 for ch in base12]
    out = ""
    for pesos in ((5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2), (6, 5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2)):
        r = sum(v * p for v, p in zip(vals, pesos)) % 11
        d = 0 if r < 2 else 11 - r
        out += str(d)
        vals.append(d)
    return out


@dataclass
class Manifesto:
    """What a generated release holds."""

    pasta: str
    data: str  # extraction date, YYYY-MM-DD
    linhas: dict = field(default_factory=dict)  # table -> records written
    ruins: list = field(default_factory=list)  # [zip name, line number, kind]
    alfanumericos: list = field(default_factory=list)  # some alphanumeric CNPJs written

    def como_json(self) -> dict:
        return {"pasta": self.pasta, "data": self.data, "linhas": self.linhas, "ruins": self.ruins,
                "alfanumericos": self.alfanumericos}


class _Arquivo:
    """One zip of the release, written as one CSV member."""

    def __init__(self, pasta: Path, nome_zip: str, membro: str, manifesto: Manifesto, ncampos: int):
        self.nome_zip = nome_zip
        self.zip = zipfile.ZipFile(pasta / nome_zip, "w", zipfile.ZIP_DEFLATED, compresslevel=1)
        self.membro = self.zip.open(membro, "w", force_zip64=True)
        self.buf = io.BytesIO()
        self.linha = 0
        self.manifesto = manifesto
        self.ncampos = ncampos

    def escrever(self, campos: list[str]) -> None:
        self.linha += 1
        self.buf.write(('"' + '";"'.join(campos) + '"\n').encode("latin-1"))
        if self.buf.tell() > 1 << 20:
            self.membro.write(self.buf.getvalue())
            self.buf = io.BytesIO()

    def escrever_ruim(self, tipo: str) -> None:
        texto = LINHAS_RUINS[tipo]
        if texto is None:
            texto = '"' + '";"'.join(["9"] * (self.ncampos + 1)) + '"'
        self.linha += 1
        self.buf.write((texto + "\n").encode("latin-1"))
        self.manifesto.ruins.append([self.nome_zip, self.linha, tipo])

    def fechar(self) -> None:
        self.membro.write(self.buf.getvalue())
        self.membro.close()
        self.zip.close()


class _Gerador:
    def __init__(self, seed: int, sujeira: bool):
        self.r = random.Random(seed)
        self.sujeira = sujeira

    def sujo(self, p: float) -> bool:
        return self.sujeira and self.r.random() < p

    def nome_empresa(self) -> str:
        r = self.r
        n = r.randint(2, 3)
        palavras = [r.choice(PALAVRAS) for _ in range(n)]
        if r.random() < 0.15:
            palavras[r.randrange(n)] = r.choice(PALAVRAS_ACENTO)
        nome = " ".join(palavras) + " " + r.choice(SUFIXOS)
        if self.sujo(0.01):
            nome = nome.replace(" ", "   ", 1)  # a run of spaces
        if self.sujo(0.005):
            nome = nome[:3] + "\x00" + nome[3:]
        if self.sujo(0.002):
            nome = nome.replace(" ", ' ""NOVA"" ', 1)  # a doubled quote inside the field
        return nome

    def pessoa(self) -> str:
        r = self.r
        return f"{r.choice(PRENOMES)} {r.choice(SOBRENOMES)} {r.choice(SOBRENOMES)}"

    def data(self, ano0: int = 1970, ano1: int = 2026) -> str:
        r = self.r
        if self.sujo(0.01):
            return r.choice(["0", "00000000", "", "2021221", "20210231", "41000101", "99999999"])
        return f"{r.randint(ano0, ano1):04d}{r.randint(1, 12):02d}{r.randint(1, 28):02d}"

    def basico(self, i: int) -> str:
        if self.sujo(0.003):
            # Alphanumeric roots: new registrations use letters too.
            return "".join(self.r.choice(ALFANUM) for _ in range(7)) + self.r.choice(ALFANUM[10:])
        return f"{(i * 7919 + 10_000_000) % 100_000_000:08d}"


def _nome_membro(data: str, sufixo: str, k: int) -> str:
    ano, mes, dia = data.split("-")
    return f"K3241.K03200Y{k}.D{ano[-1]}{mes}{dia}.{sufixo}"


def gerar_release(destino: str | os.PathLike, estabelecimentos: int = 1000, *, seed: int = 1,
                  sujeira: bool = True, data: str = "2026-11-08", socios_por_empresa: float = 0.6,
                  ruins_por_arquivo: int = 1) -> Manifesto:
    """Escreve em ``destino`` os 37 zips de uma publicação sintética e devolve o manifesto."""
    pasta = Path(destino)
    pasta.mkdir(parents=True, exist_ok=True)
    g = _Gerador(seed, sujeira)
    r = g.r
    man = Manifesto(str(pasta), data)
    nempresas = max(1, int(estabelecimentos / 1.15))

    # Lookup tables.
    for nome, sufixo, linhas in (
        ("Cnaes", "CNAECSV", CNAES), ("Motivos", "MOTICSV", MOTIVOS),
        ("Municipios", "MUNICCSV", [(c, n) for c, n, _ in MUNICIPIOS]), ("Naturezas", "NATJUCSV", NATUREZAS),
        ("Paises", "PAISCSV", PAISES), ("Qualificacoes", "QUALSCSV", QUALIFICACOES),
    ):
        arq = _Arquivo(pasta, f"{nome}.zip", _nome_membro(data, sufixo, 0), man, 2)
        for codigo, descricao in linhas:
            arq.escrever([codigo, descricao])
        arq.fechar()
        man.linhas[nome.lower()] = len(linhas)

    # The companies' roots, in a shuffled order as the real split is.
    raizes = []
    vistos = set()
    for i in range(nempresas):
        b = g.basico(i)
        while b in vistos:
            b = g.basico(i + r.randrange(1, 1 << 30))
        vistos.add(b)
        raizes.append(b)

    def partes(n: int) -> list[range]:
        passo = (n + 9) // 10
        return [range(k * passo, min(n, (k + 1) * passo)) for k in range(10)]

    def pos_ruim(faixa: range) -> set[int]:
        if not sujeira or not faixa:
            return set()
        return {r.randrange(faixa.start, faixa.stop) for _ in range(ruins_por_arquivo)}

    # Empresas.
    for k, faixa in enumerate(partes(nempresas)):
        arq = _Arquivo(pasta, f"Empresas{k}.zip", _nome_membro(data, "EMPRECSV", k), man, 7)
        ruins = pos_ruim(faixa)
        for i in faixa:
            if i in ruins:
                arq.escrever_ruim(r.choice(["curta", "longa", "sem_aspas"]))
            natureza = r.choice(NATUREZAS)[0]
            capital = r.choice(["0,00", "5000,00", f"{r.randint(1, 10_000_000)},{r.randint(0, 99):02d}",
                                "1061004829,23"])
            if g.sujo(0.002):
                capital = "999999999999"
            ente = "UNIÃO" if natureza == "2011" else ""
            arq.escrever([raizes[i], g.nome_empresa(), natureza, r.choice(["49", "05", "50", "16"]), capital,
                          r.choice(["00", "01", "03", "05"]), ente])
        arq.fechar()
    man.linhas["empresas"] = nempresas

    # Estabelecimentos: every company has its head office; the rest are branches.
    ordem = [1] * nempresas
    donos = list(range(nempresas)) + [r.randrange(nempresas) for _ in range(estabelecimentos - nempresas)]
    for k, faixa in enumerate(partes(len(donos))):
        arq = _Arquivo(pasta, f"Estabelecimentos{k}.zip", _nome_membro(data, "ESTABELE", k), man, 30)
        ruins = pos_ruim(faixa)
        for i in faixa:
            if i in ruins:
                arq.escrever_ruim(r.choice(["curta", "longa", "sem_aspas"]))
            e = donos[i]
            basico = raizes[e]
            o = f"{ordem[e]:04d}"
            ordem[e] += 1
            dv = digitos_verificadores(basico + o)
            if not basico.isdigit() and len(man.alfanumericos) < 20:
                man.alfanumericos.append(basico + o + dv)
            mun = r.choice(MUNICIPIOS)
            situacao = r.choices(["02", "08", "04", "03", "01"], [70, 20, 6, 3, 1])[0]
            motivo = "00" if situacao == "02" else r.choice(MOTIVOS)[0]
            exterior = r.random() < 0.003
            cnaes2 = ",".join(r.sample([c for c, _ in CNAES], r.randint(0, 3))) if r.random() < 0.5 else ""
            tipo, logr = r.choice(LOGRADOUROS)
            numero = "S/N" if r.random() < 0.1 else str(r.randint(1, 9999))
            cep = f"{r.randint(1000000, 99999999):08d}"
            ddd1, tel1 = (str(r.randint(11, 99)), str(r.randint(20000000, 99999999))) if r.random() < 0.7 else ("", "")
            ddd2, tel2 = (str(r.randint(11, 99)), str(r.randint(20000000, 99999999))) if r.random() < 0.1 else ("", "")
            dddf, fax = (ddd1, tel1) if r.random() < 0.03 else ("", "")
            fantasia = "" if r.random() < 0.4 else g.nome_empresa().rsplit(" ", 1)[0]
            email = f"contato{i}@exemplo.com.br" if r.random() < 0.5 else ""
            arq.escrever([
                basico, o, dv, "1" if o == "0001" else "2", fantasia, situacao, g.data(2000), motivo,
                "MIAMI" if exterior else "", "249" if exterior else ("105" if r.random() < 0.3 else ""),
                g.data(), r.choice(CNAES)[0], cnaes2, tipo, logr, numero,
                r.choice(["", "SALA 1", "ANDAR 5", "LOJA  2", "BLOCO B"]), r.choice(BAIRROS), cep,
                "EX" if exterior else mun[2], "9707" if exterior else mun[0], ddd1, tel1, ddd2, tel2, dddf, fax,
                email, "", "",
            ])
        arq.fechar()
    man.linhas["estabelecimentos"] = len(donos)

    # Socios.
    total_socios = 0
    nsocios = [0] * nempresas
    for _ in range(int(nempresas * socios_por_empresa)):
        nsocios[r.randrange(nempresas)] += 1
    for k, faixa in enumerate(partes(nempresas)):
        arq = _Arquivo(pasta, f"Socios{k}.zip", _nome_membro(data, "SOCIOCSV", k), man, 11)
        ruins = pos_ruim(faixa)
        for i in faixa:
            if i in ruins:
                arq.escrever_ruim(r.choice(["curta", "longa", "sem_aspas"]))
            for _ in range(nsocios[i]):
                total_socios += 1
                tipo = r.choices(["2", "1", "3"], [90, 8, 2])[0]
                if tipo == "1":
                    nome, doc = g.nome_empresa(), f"{r.randint(10**13, 10**14 - 1)}"
                else:
                    nome, doc = g.pessoa(), f"***{r.randint(0, 999999):06d}**" if tipo == "2" else ""
                rep = ("***000000**", "", "00") if r.random() < 0.95 else (
                    f"***{r.randint(0, 999999):06d}**", g.pessoa(), "05")
                arq.escrever([raizes[i], tipo, nome, doc, r.choice(["49", "22", "05", "10", "16"]), g.data(1980),
                              "" if tipo != "3" else "249", rep[0], rep[1], rep[2], str(r.randint(0, 9))])
        arq.fechar()
    man.linhas["socios"] = total_socios

    # Simples: about half of the companies.
    arq = _Arquivo(pasta, "Simples.zip", _nome_membro(data, "SIMPLES.CSV.D61108", 0), man, 7)
    total = 0
    ruins = pos_ruim(range(nempresas))
    for i in range(nempresas):
        if i in ruins:
            arq.escrever_ruim("curta")
        if r.random() < 0.5:
            continue
        total += 1
        simples = r.choice(["S", "N", ""])
        mei = r.choice(["S", "N", "N", ""])
        arq.escrever([raizes[i], simples, g.data(2007) if simples else "00000000",
                      "00000000" if simples != "N" else g.data(2007), mei,
                      g.data(2009) if mei == "S" else "00000000", "00000000"])
    arq.fechar()
    man.linhas["simples"] = total
    return man


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description="Gera uma publicação sintética dos dados abertos do CNPJ.")
    p.add_argument("destino", help="pasta onde escrever os 37 arquivos zip")
    p.add_argument("--estabelecimentos", type=int, default=1000, help="quantos estabelecimentos (padrão 1000)")
    p.add_argument("--seed", type=int, default=1, help="semente dos dados aleatórios")
    p.add_argument("--limpa", action="store_true", help="sem sujeira (linhas ruins, NUL, datas inválidas)")
    p.add_argument("--data", default="2026-11-08", help="data de extração (AAAA-MM-DD)")
    p.add_argument("--manifesto", help="grava o manifesto JSON neste arquivo")
    a = p.parse_args(argv)
    t0 = time.perf_counter()
    man = gerar_release(a.destino, a.estabelecimentos, seed=a.seed, sujeira=not a.limpa, data=a.data)
    if a.manifesto:
        Path(a.manifesto).write_text(json.dumps(man.como_json(), ensure_ascii=False, indent=1), encoding="utf-8")
    print(f"{a.destino}: {man.linhas} em {time.perf_counter() - t0:.1f} s; {len(man.ruins)} linhas ruins",
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
