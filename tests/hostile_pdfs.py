"""Hostile PDFs written byte by byte for the tests: bombs, repeated page trees, huge pages, control characters;
and how far a reader process has gone into one."""

from __future__ import annotations

import os
import struct
import zlib
from pathlib import Path


def montar(objetos: list[bytes], raiz: int = 1) -> bytes:
    """A PDF file from its numbered objects (object i+1 is objetos[i]), with a correct cross-reference table."""
    saida = bytearray(b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n")
    posicoes = []
    for numero, corpo in enumerate(objetos, 1):
        posicoes.append(len(saida))
        saida += b"%d 0 obj\n" % numero + corpo + b"\nendobj\n"
    xref = len(saida)
    saida += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objetos) + 1)
    for pos in posicoes:
        saida += b"%010d 00000 n \n" % pos
    saida += b"trailer\n<< /Size %d /Root %d 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objetos) + 1, raiz, xref)
    return bytes(saida)


def fluxo(dados: bytes, comprimir: bool = False) -> bytes:
    if comprimir:
        dados = zlib.compress(dados, 9)
        return b"<< /Length %d /Filter /FlateDecode >>\nstream\n" % len(dados) + dados + b"\nendstream"
    return b"<< /Length %d >>\nstream\n" % len(dados) + dados + b"\nendstream"


_FONTE = b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"


def texto_simples(linhas: list[str], largura: int = 595, altura: int = 842) -> bytes:
    """One page of Helvetica text (ASCII), with its MediaBox."""
    conteudo = b"BT /F1 11 Tf 14 TL 50 800 Td " + b" ".join(
        b"(" + linha.encode("latin-1").replace(b"\\", b"\\\\").replace(b"(", b"\\(").replace(b")", b"\\)")
        + b") '" for linha in linhas) + b" ET"
    return montar([
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %d %d] /Contents 4 0 R /Resources << /Font << /F1 5 0 R >> >> >>"
        % (largura, altura),
        fluxo(conteudo),
        _FONTE,
    ])


def bomba(mib_por_fluxo: int = 16, repeticoes: int = 64) -> bytes:
    """A page whose content is one small compressed stream listed ``repeticoes`` times: each inflates to
    ``mib_por_fluxo`` MiB of blanks, and the page asks for all of them at once (1 GiB by default, from a
    file of a few tens of kilobytes)."""
    miolo = zlib.compress(b" " * (mib_por_fluxo << 20), 9)
    lista = b" ".join(b"4 0 R" for _ in range(repeticoes))
    return montar([
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents [" + lista + b"] >>",
        b"<< /Length %d /Filter /FlateDecode >>\nstream\n" % len(miolo) + miolo + b"\nendstream",
    ])


def arvore_repetida(vezes: int = 200_000) -> bytes:
    """A page tree whose one page is listed ``vezes`` times (a few bytes per page)."""
    kids = b" ".join(b"3 0 R" for _ in range(vezes))
    return montar([
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [" + kids + b"] /Count %d >>" % vezes,
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R /Resources << /Font << /F1 5 0 R >> >> >>",
        fluxo(b"BT /F1 11 Tf 50 800 Td (CONTRATANTE) Tj ET"),
        _FONTE,
    ])


def pagina_gigante(polegadas: int = 14_400, paginas: int = 1) -> bytes:
    """A scanned-looking page (one image over all of it, no text) declared ``polegadas`` inches wide and high,
    listed ``paginas`` times."""
    lado = polegadas * 72
    pixels = bytes(range(256)) * 64  # 128 x 128 grey
    return montar([
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [" + b" ".join([b"3 0 R"] * paginas) + b"] /Count %d >>" % paginas,
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %d %d] /Contents 4 0 R /Resources << /XObject << /Im1 5 0 R >> >> >>"
        % (lado, lado),
        fluxo(b"q %d 0 0 %d 0 0 cm /Im1 Do Q" % (lado, lado)),
        b"<< /Type /XObject /Subtype /Image /Width 128 /Height 128 /ColorSpace /DeviceGray /BitsPerComponent 8 "
        b"/Length %d >>\nstream\n" % len(pixels) + pixels + b"\nendstream",
    ])


def com_controles(trechos: list[str]) -> bytes:
    """One page whose text layer maps glyph codes to the given texts (control characters included) through a
    ToUnicode map: exactly what a hostile producer can put in a text layer."""
    mapa = b"".join(b"<%02X> <%s>\n" % (i + 1, t.encode("utf-16-be").hex().upper().encode())
                    for i, t in enumerate(trechos))
    cmap = (b"/CIDInit /ProcSet findresource begin 12 dict begin begincmap\n"
            b"/CMapName /Hostil def /CMapType 2 def\n1 begincodespacerange <00> <FF> endcodespacerange\n"
            + b"%d beginbfchar\n" % len(trechos) + mapa + b"endbfchar\nendcmap\n"
            b"CMapName currentdict /CMap defineresource pop end end")
    codigos = bytes(range(1, len(trechos) + 1)).hex().upper().encode()
    return montar([
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R /Resources << /Font << /F1 5 0 R >> >> >>",
        fluxo(b"BT /F1 11 Tf 50 800 Td <" + codigos + b"> Tj ET"),
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /ToUnicode 6 0 R >>",
        fluxo(cmap),
    ])


def gravar(caminho: Path, dados: bytes) -> Path:
    caminho.write_bytes(dados)
    return caminho


def paginas_comecadas(pid: int) -> int:
    """How many pages of its current document the reader process ``pid`` has begun (0: none yet, or no
    such reader), from the progress file it shares with its pool, in its own TMPDIR."""
    try:
        with open(f"/proc/{pid}/environ", "rb") as f:
            ambiente = dict(item.split(b"=", 1) for item in f.read().split(b"\0") if b"=" in item)
        with open(os.path.join(ambiente[b"TMPDIR"], b".progresso"), "rb") as f:
            return struct.unpack("<q", f.read(8))[0]
    except (OSError, KeyError, struct.error):
        return 0
