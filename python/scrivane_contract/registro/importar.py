"""Importação de uma publicação mensal dos dados abertos do CNPJ para SQLite.

The zips are read in place (never unpacked to disk): a reader thread
inflates the CSV member block by block while the C++ loader parses and
inserts the previous block without the GIL. The database is built in a
temporary file beside the target and moved over it only when complete, so
an interrupted or failed import leaves the previous database as it was.
"""

from __future__ import annotations

import datetime as _dt
import json
import os
import queue
import re
import sqlite3
import threading
import time
import zipfile
import zlib
from glob import escape as glob_escape
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterable, Optional

from .banco import ESQUEMA, INDICES, INDICES_OUTROS, NOMES_FTS, limpar_cnpj14

__all__ = ["importar", "ResumoImportacao", "ErroImportacao", "ARQUIVOS_PUBLICACAO", "texto_busca"]

BLOCO = 1 << 20

# The 37 zips of a release, in the order they are loaded.
_TABELAS_APOIO = ("Cnaes", "Motivos", "Municipios", "Naturezas", "Paises", "Qualificacoes")
ARQUIVOS_PUBLICACAO: tuple[str, ...] = (
    tuple(f"{t}.zip" for t in _TABELAS_APOIO)
    + tuple(f"Empresas{i}.zip" for i in range(10))
    + tuple(f"Estabelecimentos{i}.zip" for i in range(10))
    + tuple(f"Socios{i}.zip" for i in range(10))
    + ("Simples.zip",)
)
_NOME_ZIP = re.compile(r"^(Empresas|Estabelecimentos|Socios)\d*\.zip$|^(Simples|" + "|".join(_TABELAS_APOIO) + r")\.zip$",
                       re.IGNORECASE)
_CANONICO = {t.lower(): t for t in ("Empresas", "Estabelecimentos", "Socios", "Simples") + _TABELAS_APOIO}
_DATA_MEMBRO = re.compile(r"\.D(\d)(\d\d)(\d\d)\.")

_SITUACOES = {"NULA": 1, "ATIVA": 2, "SUSPENSA": 3, "INAPTA": 4, "BAIXADA": 8}


class ErroImportacao(Exception):
    """A importação parou: arquivo zip corrompido, origem inválida, disco cheio..."""


@dataclass
class ResumoImportacao:
    banco: str
    linhas: dict = field(default_factory=dict)  # table -> rows loaded
    ruins: int = 0
    segundos: float = 0.0
    tamanho: int = 0
    log: Optional[str] = None
    data_extracao: Optional[str] = None
    faltando: list = field(default_factory=list)  # release files not found (or unreadable) in the source
    parcial: bool = False  # imported with files missing, on request


class Progresso:
    """Recebe o andamento da importação (a linha de comando mostra uma barra)."""

    def inicio(self, total_bytes: int) -> None: ...

    def arquivo(self, nome: str) -> None: ...

    def avanco(self, nbytes: int, linhas: int) -> None: ...

    def etapa(self, texto: str) -> None: ...

    def fim(self) -> None: ...


def _ano_de(digito: int, hoje: _dt.date) -> int:
    ano = hoje.year + 1
    while ano % 10 != digito:
        ano -= 1
    return ano


def data_extracao(nome_membro: str, hoje: Optional[_dt.date] = None) -> Optional[str]:
    """A data no nome do CSV (``K3241.K03200Y0.D61108.ESTABELE`` → 2026-11-08), ou None."""
    m = _DATA_MEMBRO.search(nome_membro)
    if not m:
        return None
    ano = _ano_de(int(m.group(1)), hoje or _dt.date.today())
    try:
        return _dt.date(ano, int(m.group(2)), int(m.group(3))).isoformat()
    except ValueError:
        return None


def _tabela(nome_zip: str) -> str:
    base = re.sub(r"\d*\.zip$", "", nome_zip, flags=re.IGNORECASE)
    return _CANONICO[base.lower()]


def _arquivos(origem: Path) -> tuple[list[Path], list[str]]:
    if not origem.is_dir():
        raise ErroImportacao(f"origem não é uma pasta: {origem}")
    achados = {p.name.lower(): p for p in origem.iterdir() if p.is_file() and _NOME_ZIP.match(p.name)}
    if not achados:
        # A folder of months (as `registro baixar` leaves it): the latest one.
        meses = sorted(p for p in origem.iterdir() if p.is_dir() and re.fullmatch(r"\d{4}-\d{2}", p.name))
        if meses:
            return _arquivos(meses[-1])
        raise ErroImportacao(f"nenhum arquivo da publicação (Empresas0.zip, Estabelecimentos0.zip, ...) em {origem}")
    ordem = []
    for nome in ARQUIVOS_PUBLICACAO:
        p = achados.pop(nome.lower(), None)
        if p is not None:
            ordem.append(p)
    # Extra numbered parts (a release split in more than ten files) keep their table.
    ordem.extend(sorted(achados.values()))
    faltando = [n for n in ARQUIVOS_PUBLICACAO if n.lower() not in {p.name.lower() for p in ordem}]
    return ordem, faltando


def _membro(z: zipfile.ZipFile, nome: str) -> zipfile.ZipInfo:
    membros = [i for i in z.infolist() if not i.is_dir()]
    if not membros:
        raise ErroImportacao(f"arquivo zip vazio: {nome}")
    return max(membros, key=lambda i: i.file_size)


def _blocos(f) -> Iterable[bytes]:
    """The member's bytes, inflated by a second thread while the caller loads the last block."""
    fila: queue.Queue = queue.Queue(maxsize=4)
    parar = threading.Event()

    def ler():
        try:
            while not parar.is_set():
                bloco = f.read(BLOCO)
                fila.put(bloco)
                if not bloco:
                    return
        except BaseException as e:  # handed to the consumer
            fila.put(e)

    t = threading.Thread(target=ler, name="registro-zip", daemon=True)
    t.start()
    try:
        while True:
            item = fila.get()
            if isinstance(item, BaseException):
                raise item
            if not item:
                return
            yield item
    finally:
        parar.set()
        while t.is_alive():
            try:
                fila.get(timeout=0.05)
            except queue.Empty:
                pass
        t.join()


def texto_busca(razao: str, fantasia: str, uf: str, situacao: Optional[int]) -> str:
    """O documento do índice de nomes: nomes mais as marcas de filtro (UF e situação)."""
    return f"{razao} {fantasia} xuf{(uf or '').lower()} xsit{situacao or 0}"


def _situacao_de(obj: dict) -> int:
    s = obj.get("situacao_cadastral")
    if isinstance(s, int):
        return s
    if isinstance(s, str) and s.isdigit():
        return int(s)
    return _SITUACOES.get(str(obj.get("descricao_situacao_cadastral") or "").upper(), 0)


def ler_texto(caminho: Path) -> str:
    """O texto de um arquivo na codificação em que foi salvo.

    UTF-8 (com ou sem a marca BOM que o Excel e o Bloco de Notas gravam), UTF-16
    com BOM, e senão Windows-1252/Latin-1, a codificação das planilhas e dos
    sistemas antigos no Brasil.
    """
    dados = Path(caminho).read_bytes()
    if dados.startswith((b"\xff\xfe", b"\xfe\xff")):
        return dados.decode("utf-16")
    try:
        return dados.decode("utf-8-sig")
    except UnicodeDecodeError:
        pass
    try:
        return dados.decode("cp1252")
    except UnicodeDecodeError:  # the five bytes cp1252 leaves undefined
        return dados.decode("latin-1")


def adicionar_jsonl(con: sqlite3.Connection, caminho: Path, log: list) -> int:
    """Grava os registros (formato BrasilAPI, um por linha) na tabela de extras."""
    n = 0
    # Split on line feeds only: U+2028 and U+0085 may stand inside a JSON string.
    for numero, linha in enumerate(ler_texto(caminho).split("\n"), 1):
        if not linha.strip():
            continue
        try:
            obj = json.loads(linha)
        except ValueError:
            log.append((caminho.name, numero, "JSON inválido", linha[:160].rstrip()))
            continue
        cnpj = limpar_cnpj14(str(obj.get("cnpj", ""))) if isinstance(obj, dict) else None
        if cnpj is None:
            log.append((caminho.name, numero, "registro sem CNPJ válido", linha[:160].rstrip()))
            continue
        obj["cnpj"] = cnpj
        con.execute("INSERT OR REPLACE INTO extras(cnpj, dados) VALUES(?, ?)",
                    (cnpj, json.dumps(obj, ensure_ascii=False)))
        con.execute("DELETE FROM nomes_extras WHERE cnpj = ?", (cnpj,))
        con.execute("INSERT INTO nomes_extras(cnpj, texto) VALUES(?, ?)", (cnpj, texto_busca(
            str(obj.get("razao_social") or ""), str(obj.get("nome_fantasia") or ""), str(obj.get("uf") or ""),
            _situacao_de(obj))))
        n += 1
    return n


def _temporario(banco: Path) -> Path:
    return banco.with_name(f".{banco.name}.importando-{os.getpid()}")


def _limpar_restos(banco: Path) -> None:
    """Removes the temporary files of imports whose process is gone (killed mid-way)."""
    for p in banco.parent.glob(f".{glob_escape(banco.name)}.importando-*"):
        m = re.search(r"\.importando-(\d+)(?:-b)?(?:-journal)?$", p.name)
        if not m:
            continue
        pid = int(m.group(1))
        if pid == os.getpid():
            continue
        try:
            os.kill(pid, 0)
            continue  # still running
        except ProcessLookupError:
            pass
        except PermissionError:
            continue
        p.unlink(missing_ok=True)


def _novo_banco(caminho: Path) -> None:
    con = sqlite3.connect(caminho)
    try:
        con.execute("PRAGMA page_size=8192")
        con.executescript(ESQUEMA)
        con.commit()
    finally:
        con.close()


class _Parar(Exception):
    """The other loader failed: this one stops too."""


def _carregar_grupo(caminho: Path, zips: list, progresso: Progresso, parar: threading.Event,
                    resultados: dict, indices: str = "") -> None:
    """Loads a group of zips into one database file (run in a thread of its own)."""
    from scrivane_contract import _registro

    carga = _registro.abrir(str(caminho))
    for indice, p, z, info in zips:
        tabela = _tabela(p.name)
        progresso.arquivo(p.name)
        _registro.iniciar(carga, tabela)
        antes = 0
        try:
            with z.open(info) as f:
                for bloco in _blocos(f):
                    if parar.is_set():
                        raise _Parar
                    linhas = _registro.alimentar(carga, bloco)
                    progresso.avanco(len(bloco), linhas - antes)
                    antes = linhas
        except (zipfile.BadZipFile, zlib.error, EOFError, OSError) as e:
            raise ErroImportacao(f"arquivo zip corrompido ou incompleto: {p.name} ({e})") from None
        ok, nruins, detalhes = _registro.terminar(carga)
        progresso.avanco(0, ok + nruins - antes)
        resultados[indice] = (p.name, tabela, ok, nruins, detalhes)
    _registro.fechar(carga)
    if indices:
        con = sqlite3.connect(caminho)
        try:
            con.execute("PRAGMA journal_mode=OFF")
            con.execute("PRAGMA synchronous=OFF")
            con.execute("PRAGMA cache_size=-131072")
            con.executescript(indices)
        finally:
            con.close()


def _carregar(tmp: Path, arquivos: list[Path], progresso: Progresso, resumo: ResumoImportacao,
              ruins: list, parcial: bool = False) -> None:
    """Loads the zips with two loaders at once: the establishments (the biggest table) into the
    target file, the companies, partners and Simples into a second file, copied over at the end."""
    zips = []
    total = 0
    try:
        for indice, p in enumerate(arquivos):
            z = None
            try:
                z = zipfile.ZipFile(p)
                info = _membro(z, p.name)
            except (zipfile.BadZipFile, OSError, EOFError, ErroImportacao) as e:
                if z is not None:
                    z.close()
                if parcial:
                    resumo.faltando.append(p.name)
                    continue
                detalhe = e if isinstance(e, ErroImportacao) else f"arquivo zip corrompido ou incompleto: {p.name} ({e})"
                raise ErroImportacao(f"{detalhe} (com --parcial, importa o que há e marca o banco como parcial)") \
                    from None
            zips.append((indice, p, z, info))
            total += info.file_size
            if resumo.data_extracao is None:
                resumo.data_extracao = data_extracao(info.filename)
        progresso.inicio(total)
        outros = {"Empresas", "Socios", "Simples"}
        # The second loader also indexes its tables, while the first still loads.
        grupos = [(tmp, [x for x in zips if _tabela(x[1].name) not in outros], ""),
                  (Path(str(tmp) + "-b"), [x for x in zips if _tabela(x[1].name) in outros], INDICES_OUTROS)]
        parar = threading.Event()
        resultados: dict = {}
        erros: list = []

        def trabalhar(caminho, grupo, indices):
            try:
                _carregar_grupo(caminho, grupo, progresso, parar, resultados, indices)
            except _Parar:
                pass
            except BaseException as e:  # handed to the main thread
                erros.append(e)
                parar.set()

        _novo_banco(grupos[1][0])
        threads = [threading.Thread(target=trabalhar, args=g, name=f"registro-carga-{k}")
                   for k, g in enumerate(grupos) if g[1]]
        for t in threads:
            t.start()
        try:
            for t in threads:
                while t.is_alive():
                    t.join(0.1)
        except BaseException:
            parar.set()
            for t in threads:
                t.join()
            raise
        if erros:
            raise erros[0]
    finally:
        for _, _, z, _ in zips:
            z.close()
    for indice in sorted(resultados):
        nome, tabela, ok, nruins, detalhes = resultados[indice]
        resumo.linhas[tabela.lower()] = resumo.linhas.get(tabela.lower(), 0) + ok
        resumo.ruins += nruins
        ruins.extend((nome, linha, motivo, trecho) for linha, motivo, trecho in detalhes)
        if nruins > len(detalhes):
            ruins.append((nome, 0, f"mais {nruins - len(detalhes)} linhas ignoradas sem detalhe", ""))
    # Same tables, empty targets: SQLite copies the records as they are stored.
    con = sqlite3.connect(tmp)
    try:
        con.execute("PRAGMA journal_mode=OFF")
        con.execute("PRAGMA synchronous=OFF")
        con.executescript(INDICES_OUTROS)  # matching indexes: copied along with the rows
        con.execute("ATTACH DATABASE ? AS b", (str(grupos[1][0]),))
        for tabela in ("empresas", "socios", "simples"):
            con.execute(f"INSERT INTO main.{tabela} SELECT * FROM b.{tabela}")
        con.commit()
        con.execute("DETACH DATABASE b")
    finally:
        con.close()
    grupos[1][0].unlink()


def _finalizar(tmp: Path, progresso: Progresso, resumo: ResumoImportacao, origem: Optional[Path],
               jsonl: Optional[Path], ruins: list) -> None:
    con = sqlite3.connect(tmp)
    try:
        con.execute("PRAGMA journal_mode=OFF")
        con.execute("PRAGMA synchronous=OFF")
        con.execute("PRAGMA cache_size=-262144")
        con.execute("PRAGMA temp_store=MEMORY")
        if origem is not None:
            progresso.etapa("índices")
            con.executescript(INDICES)
            progresso.etapa("índice de nomes")
            con.executescript(NOMES_FTS)
            con.execute("INSERT INTO nomes(nomes) VALUES('optimize')")
        else:
            con.executescript(INDICES)
            con.executescript(NOMES_FTS)
        if jsonl is not None:
            progresso.etapa("registros JSONL")
            antes = len(ruins)
            resumo.linhas["extras"] = adicionar_jsonl(con, jsonl, ruins)
            resumo.ruins += len(ruins) - antes
        importado_em = _dt.datetime.now(_dt.timezone.utc).isoformat(timespec="seconds")
        # Complete: every file of one monthly release was read.  A JSONL list,
        # or a release with files missing, holds only part of the registry.
        completo = origem is not None and not resumo.faltando and not resumo.parcial and bool(resumo.data_extracao)
        meta = {
            "data_extracao": resumo.data_extracao or "",
            "origem": str(origem) if origem else "",
            "completo": "1" if completo else "0",
            "publicacao": (resumo.data_extracao or importado_em)[:7],
            "importado_em": importado_em,
            "linhas": json.dumps(resumo.linhas),
            "linhas_ignoradas": str(resumo.ruins),
            # A release imported with files missing (on request): lookups cannot trust a miss.
            "parcial": "1" if resumo.parcial else "0",
            "arquivos_faltando": json.dumps(resumo.faltando),
        }
        con.executemany("INSERT OR REPLACE INTO meta(chave, valor) VALUES(?, ?)", meta.items())
        con.commit()
        con.execute("PRAGMA journal_mode=DELETE")
    finally:
        con.close()


def _escrever_log(caminho: Path, ruins: list) -> None:
    with open(caminho, "w", encoding="utf-8") as f:
        for arquivo, linha, motivo, trecho in ruins:
            f.write(f"{arquivo}:{linha}: {motivo}: {trecho}\n")


def importar(origem: Optional[str | os.PathLike], banco: str | os.PathLike, *,
             jsonl: Optional[str | os.PathLike] = None, progresso: Optional[Progresso] = None,
             log: Optional[str | os.PathLike] = None, parcial: bool = False) -> ResumoImportacao:
    """Importa a publicação da pasta ``origem`` (os 37 zips) e/ou os registros JSONL para ``banco``.

    Com ``origem``, o banco é reconstruído num arquivo temporário e só substitui o
    anterior quando a importação termina.  Uma publicação com arquivos ausentes ou
    ilegíveis levanta ``ErroImportacao`` e deixa o banco anterior; com ``parcial``,
    importa o que há e marca o banco como parcial (chave ``parcial`` da tabela meta). Só com ``jsonl``, os registros são
    acrescentados ao banco existente (ou a um banco novo) numa única transação.
    Linhas malformadas são ignoradas, contadas e descritas no arquivo de log.
    """
    if origem is None and jsonl is None:
        raise ErroImportacao("nada a importar: indique a pasta da publicação ou --jsonl")
    if origem is not None:
        try:
            from scrivane_contract import _registro  # noqa: F401
        except ImportError:
            raise ErroImportacao(
                "o carregador do registro não foi compilado: instale os cabeçalhos do SQLite "
                "(Debian/Ubuntu: apt-get install libsqlite3-dev) e reinstale o pacote"
            ) from None
    t0 = time.perf_counter()
    banco = Path(banco)
    progresso = progresso or Progresso()
    jsonl_p = Path(jsonl) if jsonl is not None else None
    if jsonl_p is not None and not jsonl_p.is_file():
        raise ErroImportacao(f"arquivo JSONL não encontrado: {jsonl_p}")
    resumo = ResumoImportacao(str(banco))
    ruins: list = []
    origem_p = Path(origem) if origem is not None else None
    banco.parent.mkdir(parents=True, exist_ok=True)

    if origem_p is None and banco.exists():
        # Small additions go straight into the database, in one transaction.
        con = sqlite3.connect(banco)
        try:
            with con:
                resumo.linhas["extras"] = adicionar_jsonl(con, jsonl_p, ruins)
        finally:
            con.close()
        resumo.ruins = len(ruins)
    else:
        arquivos, resumo.faltando = _arquivos(origem_p) if origem_p is not None else ([], [])
        if resumo.faltando and not parcial:
            raise ErroImportacao(
                f"faltam {len(resumo.faltando)} arquivos da publicação: {', '.join(resumo.faltando)} "
                "(baixe-os de novo, ou use --parcial para importar o que há e marcar o banco como parcial)")
        tmp = _temporario(banco)
        _limpar_restos(banco)
        try:
            tmp.unlink(missing_ok=True)
            _novo_banco(tmp)
            if arquivos:
                _carregar(tmp, arquivos, progresso, resumo, ruins, parcial)
            resumo.parcial = bool(resumo.faltando)
            _finalizar(tmp, progresso, resumo, origem_p, jsonl_p, ruins)
            fd = os.open(tmp, os.O_RDONLY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
            os.replace(tmp, banco)
        except (RuntimeError, sqlite3.Error) as e:  # disk full, I/O error
            raise ErroImportacao(str(e)) from None
        finally:
            for p in (tmp, Path(str(tmp) + "-journal"), Path(str(tmp) + "-b"), Path(str(tmp) + "-b-journal")):
                try:
                    p.unlink()
                except FileNotFoundError:
                    pass
    progresso.fim()
    if ruins:
        log_p = Path(log) if log is not None else banco.with_name(banco.name + ".importacao.log")
        _escrever_log(log_p, ruins)
        resumo.log = str(log_p)
    resumo.segundos = time.perf_counter() - t0
    resumo.tamanho = banco.stat().st_size
    return resumo
