"""Consultas ao banco do registro local, nas respostas dos próprios serviços.

``RegistroLocal(caminho)`` answers as BrasilAPI (the full company record),
as ReceitaWS and as the Casa dos Dados name search, from the SQLite file
that ``importar`` builds. It reads the file only (read-only connections,
one per thread) and reopens it when an import has replaced it.
"""

from __future__ import annotations

import json
import os
import re
import sqlite3
import threading
import time
import unicodedata
from pathlib import Path
from typing import Any, Optional

from .banco import DESLOCAMENTO_FANTASIA, chave_cnpj, cnpj_de_chave, limpar_cnpj14

__all__ = ["RegistroLocal", "RegistroIndisponivel", "resposta_brasilapi_erro", "resposta_receitaws_erro",
           "descricao_local", "motivo_ausente"]

SITUACOES = {1: "NULA", 2: "ATIVA", 3: "SUSPENSA", 4: "INAPTA", 8: "BAIXADA"}
_SITUACAO_CODIGO = {v: k for k, v in SITUACOES.items()}
MATRIZ_FILIAL = {1: "MATRIZ", 2: "FILIAL"}
PORTES = {0: "NÃO INFORMADO", 1: "MICRO EMPRESA", 3: "EMPRESA DE PEQUENO PORTE", 5: "DEMAIS"}
PORTES_RECEITAWS = {0: "", 1: "ME", 3: "EPP", 5: "DEMAIS"}
FAIXAS = {0: "Não se aplica", 1: "Entre 0 a 12 anos", 2: "Entre 13 a 20 anos", 3: "Entre 21 a 30 anos",
          4: "Entre 31 a 40 anos", 5: "Entre 41 a 50 anos", 6: "Entre 51 a 60 anos", 7: "Entre 61 a 70 anos",
          8: "Entre 71 a 80 anos", 9: "Maiores de 80 anos"}

# One statement for the establishment, its company and its Simples option.
_CONSULTA = (
    "SELECT e.rowid, e.chave, e.dv, e.matriz, e.fantasia, e.situacao, e.data_situacao, e.motivo, e.cidade_exterior, "
    "e.pais, e.inicio, e.cnae, e.cnaes_secundarios, e.tipo_logradouro, e.logradouro, e.numero, e.complemento, "
    "e.bairro, e.cep, e.uf, e.municipio, e.telefone1, e.telefone2, e.fax, e.email, e.situacao_especial, "
    "e.data_situacao_especial, m.razao_social, m.natureza, m.qualificacao, m.capital, m.porte, m.ente, "
    "s.opcao_simples, s.data_opcao_simples, s.data_exclusao_simples, s.opcao_mei, s.data_opcao_mei, "
    "s.data_exclusao_mei "
    "FROM estabelecimentos e "
    "LEFT JOIN empresas m ON m.rowid = (SELECT rowid FROM empresas WHERE chave = ?3 LIMIT 1) "
    "LEFT JOIN simples s ON s.rowid = (SELECT rowid FROM simples WHERE chave = ?3 LIMIT 1) "
    "WHERE e.chave = ?1 AND e.dv = ?2 LIMIT 1"
)
_SUFIXOS = frozenset({"ltda", "limitada", "me", "epp", "eireli", "sa", "s", "a", "cia", "mei"})
_PALAVRA = re.compile(r"[^\W_]+")
LIMITE_CANDIDATOS = 400


def descricao_local(publicacao: Optional[str], completo: bool) -> str:
    """"Registro local (publicação 2026-11)"; "Registro local parcial (...)" para uma lista parcial."""
    nome = "Registro local" if completo else "Registro local parcial"
    return f"{nome} (publicação {publicacao})" if publicacao else nome


def motivo_ausente(publicacao: Optional[str]) -> str:
    """A mensagem de uma empresa que o registro local não tem, sem resposta da Receita Federal."""
    quando = f" (publicação {publicacao})" if publicacao else ""
    return f"Não consta no registro local{quando}; consulta à Receita Federal não concluída"


class RegistroIndisponivel(Exception):
    """O banco do registro local não existe ou não pode ser lido."""


def _data(v: Optional[int]) -> Optional[str]:
    if not v:
        return None
    return f"{v // 10000:04d}-{v // 100 % 100:02d}-{v % 100:02d}"


def _data_br(iso: Optional[str]) -> str:
    if not iso or len(iso) != 10:
        return ""
    return f"{iso[8:10]}/{iso[5:7]}/{iso[0:4]}"


def _dobrar(texto: str) -> str:
    if texto.isascii():
        return " ".join(texto.lower().split())
    d = unicodedata.normalize("NFD", texto)
    return " ".join("".join(c for c in d if unicodedata.category(c) != "Mn").lower().split())


def resposta_brasilapi_erro(cnpj: str, status: int) -> dict:
    """O corpo de erro da BrasilAPI (404 não encontrado, 400 inválido)."""
    if status == 404:
        return {"message": f"CNPJ {_mascara(cnpj)} não encontrado.", "name": "NotFoundError", "type": "not_found"}
    return {"message": f"CNPJ {cnpj} inválido.", "name": "BadRequestError", "type": "bad_request"}


def resposta_receitaws_erro(mensagem: str) -> dict:
    return {"status": "ERROR", "message": mensagem}


def _mascara(c: str) -> str:
    if len(c) != 14:
        return c
    return f"{c[:2]}.{c[2:5]}.{c[5:8]}/{c[8:12]}-{c[12:]}"


def _cnae_mascara(codigo: Optional[int]) -> str:
    if codigo is None:
        return ""
    s = f"{codigo:07d}"
    return f"{s[:2]}.{s[2:4]}-{s[4]}-{s[5:]}"


def _telefone_br(t: str) -> str:
    if not t:
        return ""
    ddd, numero = t[:2], t[2:]
    if len(numero) > 4:
        numero = numero[:-4] + "-" + numero[-4:]
    return f"({ddd}) {numero}"


class RegistroLocal:
    """Respostas dos três serviços a partir do banco SQLite."""

    def __init__(self, caminho: str | os.PathLike):
        self.caminho = Path(caminho)
        self._local = threading.local()
        self._trava = threading.Lock()
        self._identidade: Optional[tuple] = None
        self._tabelas: dict[str, dict[int, str]] = {}
        self._meta: dict[str, str] = {}
        self._tem_extras = True
        self._conexao()  # fails early when the file is missing

    # -- connection --------------------------------------------------------
    def _conexao(self) -> sqlite3.Connection:
        loc = self._local
        con = getattr(loc, "con", None)
        agora = time.monotonic()
        if con is not None and agora < loc.proxima_checagem:
            return con
        loc.proxima_checagem = agora + 0.2  # a replaced file is noticed within 0.2 s
        try:
            st = os.stat(self.caminho)
        except OSError as e:
            raise RegistroIndisponivel(f"banco do registro não encontrado: {self.caminho}") from e
        ident = (st.st_ino, st.st_dev, st.st_mtime_ns)
        if con is not None and loc.ident == ident:
            return con
        if con is not None:
            con.close()
        try:
            con = sqlite3.connect(f"file:{self.caminho}?mode=ro", uri=True, check_same_thread=False)
            con.execute("PRAGMA query_only=1")
            con.execute("PRAGMA cache_size=-65536")
            con.execute("PRAGMA mmap_size=268435456")
        except sqlite3.Error as e:
            raise RegistroIndisponivel(f"banco do registro ilegível: {self.caminho} ({e})") from e
        loc.con, loc.ident = con, ident
        with self._trava:
            if self._identidade != ident:
                self._carregar_tabelas(con)
                self._identidade = ident
        return con

    def _carregar_tabelas(self, con: sqlite3.Connection) -> None:
        try:
            tabelas = {}
            for nome in ("cnaes", "motivos", "municipios", "naturezas", "paises", "qualificacoes"):
                tabelas[nome] = dict(con.execute(f"SELECT codigo, descricao FROM {nome}"))
            meta = dict(con.execute("SELECT chave, valor FROM meta"))
            self._tem_extras = con.execute("SELECT 1 FROM extras LIMIT 1").fetchone() is not None
        except sqlite3.Error as e:
            raise RegistroIndisponivel(f"não é um banco do registro: {self.caminho} ({e})") from e
        self._tabelas, self._meta = tabelas, meta

    def procedencia(self) -> dict:
        """De onde vêm as respostas: ``publicacao`` (AAAA-MM), ``completo`` e a descrição.

        ``completo`` é verdadeiro quando o banco tem uma publicação mensal inteira (os 37
        arquivos); uma lista JSONL, ou uma importação a que faltaram arquivos, é parcial.
        A publicação de uma lista JSONL é o mês em que foi importada.
        """
        self._conexao()
        meta = self._meta
        data = meta.get("data_extracao") or ""
        publicacao = meta.get("publicacao") or data[:7] or (meta.get("importado_em") or "")[:7] or None
        # Databases imported before the flag existed: complete when built from a release.
        completo = (meta["completo"] == "1" if "completo" in meta else bool(data and meta.get("origem"))) \
            and meta.get("parcial") != "1"
        return {"publicacao": publicacao, "completo": completo, "descricao": descricao_local(publicacao, completo)}

    def info(self) -> dict:
        """Data da publicação, linhas por tabela e tamanho do arquivo."""
        con = self._conexao()
        meta = dict(self._meta)
        procedencia = self.procedencia()
        return {
            "banco": str(self.caminho),
            "publicacao": procedencia["publicacao"],
            "completo": procedencia["completo"],
            "data_extracao": meta.get("data_extracao") or None,
            "importado_em": meta.get("importado_em") or None,
            "origem": meta.get("origem") or None,
            "linhas": json.loads(meta.get("linhas") or "{}") | {
                "extras": con.execute("SELECT count(*) FROM extras").fetchone()[0]},
            "linhas_ignoradas": int(meta.get("linhas_ignoradas") or 0),
            "tamanho": os.stat(self.caminho).st_size,
        }

    # -- BrasilAPI ---------------------------------------------------------
    def brasilapi(self, cnpj: str) -> Optional[dict]:
        """O registro no formato da BrasilAPI, ou None quando o CNPJ não está no banco."""
        c = limpar_cnpj14(cnpj)
        if c is None:
            return None
        con = self._conexao()
        if self._tem_extras:
            extra = con.execute("SELECT dados FROM extras WHERE cnpj = ?", (c,)).fetchone()
            if extra is not None:
                return json.loads(extra[0])
        chave, dv = chave_cnpj(c)
        row = con.execute(_CONSULTA, (chave, dv, chave // 1679616)).fetchone()
        if row is None:
            return None
        return self._montar(con, row, c)

    def _montar(self, con: sqlite3.Connection, r: tuple, cnpj14: str) -> dict:
        t = self._tabelas
        (_, chave, dv, matriz, fantasia, situacao, data_situacao, motivo, cidade_exterior, pais, inicio, cnae,
         cnaes_sec, tipo_logr, logradouro, numero, complemento, bairro, cep, uf, municipio, tel1, tel2, fax, email,
         sit_esp, data_sit_esp) = r[:27]
        raiz = chave // 1679616
        emp = r[27:33]
        simp = r[33:39]
        qual = t["qualificacoes"]
        qsa = [{
            "identificador_de_socio": tipo,
            "nome_socio": nome or "",
            "cnpj_cpf_do_socio": doc or "",
            "codigo_qualificacao_socio": q,
            "qualificacao_socio": qual.get(q),
            "data_entrada_sociedade": _data(d),
            "codigo_pais": p,
            "pais": t["paises"].get(p),
            "cpf_representante_legal": rep or "",
            "nome_representante_legal": nrep or "",
            "codigo_qualificacao_representante_legal": qrep,
            "qualificacao_representante_legal": qual.get(qrep),
            "codigo_faixa_etaria": fx,
            "faixa_etaria": FAIXAS.get(fx),
        } for tipo, nome, doc, q, d, p, rep, nrep, qrep, fx in con.execute(
            "SELECT tipo, nome, documento, qualificacao, data_entrada, pais, representante, nome_representante, "
            "qualificacao_representante, faixa_etaria FROM socios WHERE chave = ? ORDER BY rowid", (raiz,))]
        cnaes = []
        for cod in (cnaes_sec or "").split(","):
            cod = cod.strip()
            if cod.isdigit():
                cnaes.append({"codigo": int(cod), "descricao": t["cnaes"].get(int(cod), "")})
        razao, natureza, qresp, capital, porte, ente = emp

        def sn(v):
            return None if v is None else bool(v)

        return {
            "cnpj": cnpj14,
            "identificador_matriz_filial": matriz,
            "descricao_identificador_matriz_filial": MATRIZ_FILIAL.get(matriz),
            "nome_fantasia": fantasia or "",
            "situacao_cadastral": situacao,
            "descricao_situacao_cadastral": SITUACOES.get(situacao),
            "data_situacao_cadastral": _data(data_situacao),
            "motivo_situacao_cadastral": motivo,
            "descricao_motivo_situacao_cadastral": t["motivos"].get(motivo),
            "nome_cidade_no_exterior": cidade_exterior or "",
            "codigo_pais": pais,
            "pais": t["paises"].get(pais),
            "data_inicio_atividade": _data(inicio),
            "cnae_fiscal": cnae,
            "cnae_fiscal_descricao": t["cnaes"].get(cnae),
            "descricao_tipo_de_logradouro": tipo_logr or "",
            "logradouro": logradouro or "",
            "numero": numero or "",
            "complemento": complemento or "",
            "bairro": bairro or "",
            "cep": cep or "",
            "uf": uf or "",
            "codigo_municipio": municipio,
            "codigo_municipio_ibge": None,
            "municipio": t["municipios"].get(municipio),
            "ddd_telefone_1": tel1 or "",
            "ddd_telefone_2": tel2 or "",
            "ddd_fax": fax or "",
            "email": email or "",
            "situacao_especial": sit_esp or "",
            "data_situacao_especial": _data(data_sit_esp),
            "opcao_pelo_simples": sn(simp[0]),
            "data_opcao_pelo_simples": _data(simp[1]),
            "data_exclusao_do_simples": _data(simp[2]),
            "opcao_pelo_mei": sn(simp[3]),
            "data_opcao_pelo_mei": _data(simp[4]),
            "data_exclusao_do_mei": _data(simp[5]),
            "razao_social": razao or "",
            "codigo_natureza_juridica": natureza,
            "natureza_juridica": t["naturezas"].get(natureza),
            "qualificacao_do_responsavel": qresp,
            "capital_social": capital,
            "codigo_porte": porte,
            "porte": PORTES.get(porte),
            "ente_federativo_responsavel": ente or "",
            "qsa": qsa,
            "cnaes_secundarios": cnaes,
            "regime_tributario": [],
        }

    # -- ReceitaWS ---------------------------------------------------------
    def receitaws(self, cnpj: str) -> Optional[dict]:
        """O registro no formato da ReceitaWS, ou None quando o CNPJ não está no banco."""
        b = self.brasilapi(cnpj)
        if b is None:
            return None
        return self.como_receitaws(b)

    def como_receitaws(self, b: dict) -> dict:
        qual = self._tabelas.get("qualificacoes", {})
        natureza = b.get("codigo_natureza_juridica")
        nat = b.get("natureza_juridica") or ""
        if isinstance(natureza, int):
            s = f"{natureza:04d}"
            nat = f"{s[:3]}-{s[3]} - {nat}"
        cnae = b.get("cnae_fiscal")
        secundarias = [{"code": _cnae_mascara(c.get("codigo")), "text": c.get("descricao") or ""}
                       for c in b.get("cnaes_secundarios") or []]
        telefones = " / ".join(x for x in (_telefone_br(b.get("ddd_telefone_1") or ""),
                                           _telefone_br(b.get("ddd_telefone_2") or "")) if x)
        capital = b.get("capital_social")

        def q(cod, texto):
            if texto is None:
                texto = qual.get(cod, "")
            return f"{cod:02d}-{texto}" if isinstance(cod, int) else (texto or "")

        def opcao(flag, d1, d2):
            return {"optante": bool(flag), "data_opcao": _data_br(b.get(d1)), "data_exclusao": _data_br(b.get(d2)),
                    "ultima_atualizacao": self._atualizacao()}

        cep = b.get("cep") or ""
        return {
            "status": "OK",
            "ultima_atualizacao": self._atualizacao(),
            "cnpj": _mascara(str(b.get("cnpj") or "")),
            "tipo": b.get("descricao_identificador_matriz_filial") or "",
            "porte": PORTES_RECEITAWS.get(b.get("codigo_porte"), b.get("porte") or ""),
            "nome": b.get("razao_social") or "",
            "fantasia": b.get("nome_fantasia") or "",
            "abertura": _data_br(b.get("data_inicio_atividade")),
            "atividade_principal": [{"code": _cnae_mascara(cnae), "text": b.get("cnae_fiscal_descricao") or ""}]
            if isinstance(cnae, int) else [],
            "atividades_secundarias": secundarias or [{"code": "00.00-0-00", "text": "Não informada"}],
            "natureza_juridica": nat,
            "logradouro": " ".join(x for x in (b.get("descricao_tipo_de_logradouro"), b.get("logradouro")) if x),
            "numero": b.get("numero") or "",
            "complemento": b.get("complemento") or "",
            "cep": f"{cep[:2]}.{cep[2:5]}-{cep[5:]}" if len(cep) == 8 else cep,
            "bairro": b.get("bairro") or "",
            "municipio": b.get("municipio") or "",
            "uf": b.get("uf") or "",
            "email": b.get("email") or "",
            "telefone": telefones,
            "efr": b.get("ente_federativo_responsavel") or "",
            "situacao": b.get("descricao_situacao_cadastral") or "",
            "data_situacao": _data_br(b.get("data_situacao_cadastral")),
            "motivo_situacao": b.get("descricao_motivo_situacao_cadastral") or "",
            "situacao_especial": b.get("situacao_especial") or "",
            "data_situacao_especial": _data_br(b.get("data_situacao_especial")),
            "capital_social": f"{capital:.2f}" if isinstance(capital, (int, float)) else "0.00",
            "qsa": [{
                "nome": s.get("nome_socio") or "",
                "qual": q(s.get("codigo_qualificacao_socio"), s.get("qualificacao_socio")),
                **({"pais_origem": s["pais"]} if s.get("pais") else {}),
                **({"nome_rep_legal": s["nome_representante_legal"],
                    "qual_rep_legal": q(s.get("codigo_qualificacao_representante_legal"),
                                        s.get("qualificacao_representante_legal"))}
                   if s.get("nome_representante_legal") else {}),
            } for s in b.get("qsa") or []],
            "simples": opcao(b.get("opcao_pelo_simples"), "data_opcao_pelo_simples", "data_exclusao_do_simples"),
            "simei": opcao(b.get("opcao_pelo_mei"), "data_opcao_pelo_mei", "data_exclusao_do_mei"),
            "extra": {},
            "billing": {"free": True, "database": True},
        }

    def _atualizacao(self) -> str:
        d = self._meta.get("data_extracao") or ""
        return f"{d}T00:00:00.000Z" if d else ""

    # -- Casa dos Dados ----------------------------------------------------
    def buscar(self, termo: str, *, ufs: Optional[list[str]] = None, situacao: Optional[str] = "ATIVA",
               limite: int = 20) -> tuple[int, list[dict]]:
        """(quantos, acertos) dos estabelecimentos cujo nome contém todas as palavras de ``termo``.

        ``ufs``: só esses estados; ``situacao``: só essa situação cadastral (None: todas). Os
        acertos vêm na ordem: registros próprios (JSONL), razão social igual ao termo, razão
        social que começa por ele, o mesmo para o nome fantasia, e os demais; a matriz antes
        das filiais. A contagem vai só até encher a página (``limite``).
        """
        palavras = _PALAVRA.findall(_dobrar(termo))
        if not palavras:
            return 0, []
        # Whole words first; a prefix on the last word (costly on common words)
        # only when the whole words find nothing.
        # The legal-form suffixes (LTDA, ME, S.A., ...) are in most names: their
        # long lists cost more than they narrow; the ranking still compares the
        # whole names.
        palavras = [p for p in palavras if p not in _SUFIXOS] or palavras
        exato = " ".join(f'"{p}"' for p in palavras)
        prefixo = exato + "*"
        cod_situacao = None
        if situacao:
            cod_situacao = _SITUACAO_CODIGO.get(str(situacao).upper())
            if cod_situacao is None:
                return 0, []
        ufs_ok = {re.sub(r"[^A-Z]", "", u.upper()) for u in ufs or [] if u and u.strip()}
        con = self._conexao()
        alvo = _dobrar(termo)
        candidatos: dict[str, tuple] = {}

        def aceito(uf, sit) -> bool:
            return (cod_situacao is None or sit == cod_situacao) and (not ufs_ok or (uf or "").upper() in ufs_ok)

        # The team's own records first, then the release.
        expr = exato
        if con.execute("SELECT 1 FROM nomes WHERE nomes MATCH ? LIMIT 1", (exato,)).fetchone() is None and \
                con.execute("SELECT 1 FROM nomes_extras WHERE nomes_extras MATCH ? LIMIT 1", (exato,)).fetchone() is None:
            expr = prefixo
        partes = [f"({expr})"]
        if cod_situacao is not None:
            partes.append(f"xsit{cod_situacao}")
        if ufs_ok:
            partes.append("(" + " OR ".join(f"xuf{u.lower()}" for u in sorted(ufs_ok)) + ")")
        for (dados,) in con.execute("SELECT x.dados FROM nomes_extras n JOIN extras x ON x.cnpj = n.cnpj "
                                    "WHERE nomes_extras MATCH ? LIMIT ?", (" AND ".join(partes), LIMITE_CANDIDATOS)):
            b = json.loads(dados)
            candidatos[b["cnpj"]] = (b["cnpj"], b.get("razao_social") or "", b.get("nome_fantasia") or "",
                                     b.get("uf") or "", b.get("municipio") or "",
                                     b.get("descricao_situacao_cadastral"), b.get("identificador_matriz_filial") or 1,
                                     0)
        ids = [r for (r,) in con.execute("SELECT rowid FROM nomes WHERE nomes MATCH ? LIMIT ?",
                                         (expr, LIMITE_CANDIDATOS))]
        mun = self._tabelas.get("municipios", {})

        def nota(nome: str, de_fantasia: bool) -> int:
            n = _dobrar(nome)
            if n == alvo:
                return 2 if de_fantasia else 0
            if n.startswith(alvo):
                return 3 if de_fantasia else 1
            return 4

        # Rank the matching names first; then read the establishments of the
        # best ones, with the filters, until the page is full.
        itens = []
        emp_ids = [r for r in ids if r < DESLOCAMENTO_FANTASIA]
        est_ids = [r - DESLOCAMENTO_FANTASIA for r in ids if r >= DESLOCAMENTO_FANTASIA]
        for k in range(0, len(emp_ids), 500):
            lote = emp_ids[k:k + 500]
            for rowid, chave, razao in con.execute(
                    f"SELECT rowid, chave, razao_social FROM empresas WHERE rowid IN ({','.join('?' * len(lote))})",
                    lote):
                itens.append((nota(razao or "", False), len(razao or ""), rowid, "e", chave, razao or ""))
        colunas = "e.rowid, e.chave, e.dv, e.fantasia, e.uf, e.municipio, e.situacao, e.matriz"
        for k in range(0, len(est_ids), 500):
            lote = est_ids[k:k + 500]
            for linha in con.execute(f"SELECT {colunas} FROM estabelecimentos e "
                                     f"WHERE e.rowid IN ({','.join('?' * len(lote))})", lote):
                if aceito(linha[4], linha[6]):
                    itens.append((nota(linha[3] or "", True), len(linha[3] or ""), linha[0], "f", linha, None))
        itens.sort(key=lambda x: x[:3])
        filtros, params_filtro = "", []
        if cod_situacao is not None:
            filtros += " AND e.situacao = ?"
            params_filtro.append(cod_situacao)
        if ufs_ok:
            filtros += f" AND e.uf IN ({','.join('?' * len(ufs_ok))})"
            params_filtro.extend(sorted(ufs_ok))
        # In batches of ranked names: one statement reads the establishments
        # of a batch's companies (index range per company), filters applied.
        for k in range(0, len(itens), 50):
            if len(candidatos) >= limite:
                break
            lote = itens[k:k + 50]
            chaves = [dado for _, _, _, tipo, dado, _ in lote if tipo == "e"]
            por_empresa: dict[int, list] = {}
            if chaves:
                valores = ",".join("(?)" for _ in chaves)
                for linha in con.execute(
                        f"WITH r(raiz) AS (VALUES {valores}) SELECT {colunas} FROM r JOIN estabelecimentos e "
                        f"ON e.chave BETWEEN r.raiz * 1679616 AND r.raiz * 1679616 + 1679615{filtros} "
                        "ORDER BY e.chave", (*chaves, *params_filtro)):
                    por_empresa.setdefault(linha[1] // 1679616, []).append(linha)
            for _, _, _, tipo, dado, razao in lote:
                if tipo == "e":
                    linhas = por_empresa.get(dado, [])
                else:
                    linhas = [dado]
                    r = con.execute("SELECT razao_social FROM empresas WHERE chave = ? LIMIT 1",
                                    (dado[1] // 1679616,)).fetchone()
                    razao = r[0] if r else ""
                for rowid, chave, dv, fantasia, uf, municipio, sit, matriz in linhas:
                    c = cnpj_de_chave(chave, dv)
                    if c not in candidatos:
                        candidatos[c] = (c, razao or "", fantasia or "", uf or "", mun.get(municipio, ""),
                                         SITUACOES.get(sit), matriz or 1, rowid)
        ordem = list(candidatos.values())
        hits = [{
            "cnpj": c[0],
            "cnpj_raiz": c[0][:8],
            "razao_social": c[1],
            "nome_fantasia": c[2],
            "uf": c[3],
            "municipio": c[4],
            "situacao_cadastral": c[5] or "",
            "matriz_filial": MATRIZ_FILIAL.get(c[6], ""),
        } for c in ordem[:limite]]
        return len(ordem), hits

    def buscar_casadosdados(self, corpo: Any) -> tuple[int, dict]:
        """(status, resposta) da busca da Casa dos Dados para o corpo JSON enviado."""
        try:
            query = corpo.get("query") or {}
            termos = query.get("termo") or []
            termo = " ".join(str(t) for t in termos) if isinstance(termos, list) else str(termos)
            ufs = query.get("uf") or []
            ufs = [str(u) for u in ufs] if isinstance(ufs, list) else [str(ufs)]
            situacao = query.get("situacao_cadastral")
            situacao = situacao[0] if isinstance(situacao, list) and situacao else situacao
            pagina = int(corpo.get("page") or 1)
        except (AttributeError, TypeError, ValueError):
            return 400, {"success": False, "message": "Requisição inválida"}
        if pagina < 1:
            return 400, {"success": False, "message": "Página inválida"}
        total, hits = self.buscar(termo, ufs=ufs, situacao=situacao or None, limite=20 * pagina)
        return 200, {"success": True, "data": {"count": total, "cnpj": hits[20 * (pagina - 1):]}}
