"""``registro baixar``: download de uma publicação mensal do compartilhamento da Receita Federal.

The release is a public share listed over WebDAV (``PROPFIND``, basic auth
with the share token as user and an empty password); files come over plain
HTTP GET. Downloads resume where they stopped (HTTP Range on a ``.parcial``
file), are retried with a growing pause, and each zip is checked (size and
CRC of every member) before it takes its final name.
"""

from __future__ import annotations

import re
import time
import xml.etree.ElementTree as ET
import zipfile
from dataclasses import dataclass
from pathlib import Path
from typing import Optional
from urllib.parse import quote, unquote, urlsplit

import requests

__all__ = ["baixar", "listar_meses", "listar_arquivos", "ErroDownload", "URL_PADRAO", "TOKEN_PADRAO"]

URL_PADRAO = "https://arquivos.receitafederal.gov.br"
TOKEN_PADRAO = "YggdBLfdninEJX9"
_MES = re.compile(r"^\d{4}-\d{2}$")
_PROPFIND = b"""<?xml version="1.0"?>
<d:propfind xmlns:d="DAV:"><d:prop><d:getcontentlength/><d:resourcetype/></d:prop></d:propfind>"""
BLOCO = 1 << 16


class ErroDownload(Exception):
    """O download não pôde ser concluído."""


@dataclass
class ArquivoRemoto:
    nome: str
    tamanho: Optional[int]


class ProgressoDownload:
    def inicio(self, total: int) -> None: ...

    def arquivo(self, nome: str) -> None: ...

    def avanco(self, n: int) -> None: ...

    def aviso(self, texto: str) -> None: ...

    def fim(self) -> None: ...


def _sessao() -> requests.Session:
    from .sessao import user_agent

    s = requests.Session()
    s.headers["User-Agent"] = user_agent()
    return s


def _propfind(s: requests.Session, url: str, token: str, timeout: float) -> list[tuple[str, Optional[int], bool]]:
    r = s.request("PROPFIND", url, data=_PROPFIND, auth=(token, ""), timeout=timeout,
                  headers={"Depth": "1", "Content-Type": "application/xml"})
    if r.status_code != 207:
        raise ErroDownload(f"listagem recusada ({r.status_code}) em {url}")
    try:
        raiz = ET.fromstring(r.content)
    except ET.ParseError as e:
        raise ErroDownload(f"listagem ilegível em {url}: {e}") from None
    ns = {"d": "DAV:"}
    itens = []
    for resp in raiz.findall("d:response", ns):
        href = unquote(resp.findtext("d:href", "", ns))
        tamanho = resp.findtext(".//d:getcontentlength", None, ns)
        pasta = resp.find(".//d:resourcetype/d:collection", ns) is not None
        itens.append((href, int(tamanho) if tamanho and tamanho.isdigit() else None, pasta))
    return itens


def _webdav(base: str) -> str:
    return base.rstrip("/") + "/public.php/webdav/"


def listar_meses(base: str = URL_PADRAO, token: str = TOKEN_PADRAO, timeout: float = 60) -> list[str]:
    """Os meses publicados (AAAA-MM), em ordem."""
    with _sessao() as s:
        itens = _propfind(s, _webdav(base), token, timeout)
    meses = {Path(urlsplit(h).path.rstrip("/")).name for h, _, pasta in itens if pasta}
    return sorted(m for m in meses if _MES.match(m))


def listar_arquivos(mes: str, base: str = URL_PADRAO, token: str = TOKEN_PADRAO,
                    timeout: float = 60) -> list[ArquivoRemoto]:
    """Os zips de um mês, com o tamanho anunciado."""
    with _sessao() as s:
        itens = _propfind(s, _webdav(base) + quote(mes) + "/", token, timeout)
    out = []
    for href, tamanho, pasta in itens:
        nome = Path(urlsplit(href).path).name
        if not pasta and nome.lower().endswith(".zip"):
            out.append(ArquivoRemoto(nome, tamanho))
    if not out:
        raise ErroDownload(f"nenhum arquivo zip publicado em {mes}")
    return sorted(out, key=lambda a: a.nome)


def _zip_integro(caminho: Path) -> Optional[str]:
    try:
        with zipfile.ZipFile(caminho) as z:
            ruim = z.testzip()
    except (zipfile.BadZipFile, OSError, EOFError) as e:
        return str(e)
    return f"CRC inválido em {ruim}" if ruim else None


def _baixar_um(s: requests.Session, url: str, destino: Path, tamanho: Optional[int], tentativas: int,
               timeout: float, progresso: ProgressoDownload, pausa: float) -> None:
    parcial = destino.with_name(destino.name + ".parcial")
    erro = ""
    for tentativa in range(tentativas):
        if tentativa:
            progresso.aviso(f"{destino.name}: nova tentativa ({erro})")
            time.sleep(min(pausa * 2 ** (tentativa - 1), 60))
        feito = parcial.stat().st_size if parcial.exists() else 0
        if tamanho is not None and feito >= tamanho:
            break
        headers = {"Range": f"bytes={feito}-"} if feito else {}
        try:
            with s.get(url, headers=headers, stream=True, timeout=timeout) as r:
                if r.status_code == 416 and feito:
                    break  # nothing left to fetch
                if r.status_code == 200 and feito:
                    # The server ignored the range: start again from the beginning.
                    progresso.avanco(-feito)
                    feito = 0
                    modo = "wb"
                elif r.status_code == 206 and feito:
                    modo = "ab"
                elif r.status_code == 200:
                    modo = "wb"
                else:
                    erro = f"HTTP {r.status_code}"
                    if r.status_code in (401, 403, 404):
                        raise ErroDownload(f"{destino.name}: HTTP {r.status_code} em {url}")
                    continue
                with open(parcial, modo) as f:
                    for bloco in r.iter_content(BLOCO):
                        f.write(bloco)
                        progresso.avanco(len(bloco))
        except (requests.ConnectionError, requests.Timeout, requests.exceptions.ChunkedEncodingError) as e:
            erro = type(e).__name__
            continue
        feito = parcial.stat().st_size if parcial.exists() else 0
        if tamanho is None or feito >= tamanho:
            break
        erro = f"{feito} de {tamanho} bytes"
    else:
        raise ErroDownload(f"{destino.name}: download não concluído após {tentativas} tentativas ({erro})")
    feito = parcial.stat().st_size
    if tamanho is not None and feito != tamanho:
        parcial.unlink()
        raise ErroDownload(f"{destino.name}: tamanho {feito} difere do anunciado ({tamanho}); apagado")
    problema = _zip_integro(parcial)
    if problema:
        parcial.unlink()
        raise ErroDownload(f"{destino.name}: zip corrompido ({problema}); apagado, baixe de novo")
    parcial.replace(destino)


def baixar(destino: str | Path, mes: Optional[str] = None, *, base: str = URL_PADRAO, token: str = TOKEN_PADRAO,
           tentativas: int = 5, timeout: float = 60, progresso: Optional[ProgressoDownload] = None,
           pausa: float = 2.0) -> tuple[str, Path, list[str]]:
    """Baixa os zips de ``mes`` (padrão: o mais recente) para ``destino/AAAA-MM``.

    Devolve (mês, pasta, arquivos baixados agora). Arquivos já completos são mantidos;
    downloads interrompidos continuam de onde pararam.
    """
    progresso = progresso or ProgressoDownload()
    if mes is None:
        meses = listar_meses(base, token, timeout)
        if not meses:
            raise ErroDownload("nenhum mês publicado no compartilhamento")
        mes = meses[-1]
    elif not _MES.match(mes):
        raise ErroDownload(f"mês inválido: {mes} (use AAAA-MM)")
    arquivos = listar_arquivos(mes, base, token, timeout)
    pasta = Path(destino) / mes
    pasta.mkdir(parents=True, exist_ok=True)
    pendentes = []
    for a in arquivos:
        final = pasta / a.nome
        if final.exists() and (a.tamanho is None or final.stat().st_size == a.tamanho):
            continue
        pendentes.append(a)
    total = sum(a.tamanho or 0 for a in pendentes)
    ja = sum((pasta / (a.nome + ".parcial")).stat().st_size for a in pendentes
             if (pasta / (a.nome + ".parcial")).exists())
    progresso.inicio(total)
    progresso.avanco(ja)
    baixados = []
    with _sessao() as s:
        for a in pendentes:
            progresso.arquivo(a.nome)
            url = f"{base.rstrip('/')}/public.php/dav/files/{quote(token)}/{quote(mes)}/{quote(a.nome)}"
            _baixar_um(s, url, pasta / a.nome, a.tamanho, tentativas, timeout, progresso, pausa)
            baixados.append(a.nome)
    progresso.fim()
    return mes, pasta, baixados
