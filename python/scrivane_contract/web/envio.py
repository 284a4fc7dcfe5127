"""Receiving one uploaded contract (PDF, DOCX or image): streamed to a private file, bounded in
size, checked by content.

The multipart body is parsed as it arrives (``python_multipart``), so a
file over the limit is refused as soon as the limit is passed, never held
whole in memory or spooled to a shared temporary folder.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import AsyncIterator, Optional

from python_multipart.multipart import MultipartParser, parse_options_header

__all__ = ["ErroEnvio", "receber_pdf", "CAMPO_ARQUIVO", "eh_pdf", "formato_aceito", "FORMATO_NAO_SUPORTADO"]

CAMPO_ARQUIVO = "arquivo"
# A PDF header may be preceded by some bytes; readers accept it within the first KiB.
_JANELA_CABECALHO = 1024
# Room for the multipart boundaries and part headers around the file itself.
_FOLGA_MULTIPART = 64 * 1024


class ErroEnvio(Exception):
    """An upload refused with an HTTP status and a Portuguese message."""

    def __init__(self, status: int, mensagem: str) -> None:
        super().__init__(mensagem)
        self.status = status
        self.mensagem = mensagem


FORMATO_NAO_SUPORTADO = ("Formato não suportado: envie o contrato em PDF, DOCX ou imagem "
                         "(JPEG, PNG, TIFF ou HEIC).")


def eh_pdf(inicio: bytes) -> bool:
    """True when the first bytes of a file carry a PDF header."""
    return b"%PDF-" in inicio[:_JANELA_CABECALHO]


def formato_aceito(inicio: bytes) -> bool:
    """True when the first bytes are those of a PDF, a DOCX (a ZIP: its parts are checked when
    it is read) or an image the reader takes (JPEG, PNG, TIFF, HEIC)."""
    if eh_pdf(inicio):
        return True
    try:
        from scrivane.formats import nome_do_formato
    except Exception:  # noqa: BLE001 - no engine to read other formats: PDF only
        return False
    return nome_do_formato(inicio[:16]) is not None


def _nome_seguro(bruto: Optional[bytes]) -> str:
    if not bruto:
        return "contrato.pdf"
    nome = bruto.decode("utf-8", "replace").replace("\\", "/").rsplit("/", 1)[-1]
    nome = "".join(ch for ch in nome if ch.isprintable()).strip()
    return (nome or "contrato.pdf")[:200]


def _mb(n: int) -> str:
    return f"{n / (1024 * 1024):.0f} MB" if n >= 1024 * 1024 else f"{n // 1024} KB"


class _Receptor:
    """Parser callbacks: writes the file part to ``destino`` with the checks on the way."""

    def __init__(self, destino: Path, limite: int) -> None:
        self.destino = destino
        self.limite = limite
        self.fd: Optional[int] = None
        self.tamanho = 0
        self.inicio = b""
        self.verificado = False
        self.nome: Optional[str] = None
        self.arquivos = 0
        self._cab_nome = b""
        self._cab_valor = b""
        self._cabecalhos: dict[bytes, bytes] = {}
        self._parte_arquivo = False

    # header callbacks
    def on_part_begin(self) -> None:
        self._cabecalhos = {}
        self._parte_arquivo = False

    def on_header_field(self, data: bytes, start: int, end: int) -> None:
        self._cab_nome += data[start:end]

    def on_header_value(self, data: bytes, start: int, end: int) -> None:
        self._cab_valor += data[start:end]

    def on_header_end(self) -> None:
        self._cabecalhos[self._cab_nome.strip().lower()] = self._cab_valor.strip()
        self._cab_nome = self._cab_valor = b""

    def on_headers_finished(self) -> None:
        _, opcoes = parse_options_header(self._cabecalhos.get(b"content-disposition", b""))
        if b"filename" not in opcoes and opcoes.get(b"name") != CAMPO_ARQUIVO.encode():
            return  # an ordinary form field: ignored
        self.arquivos += 1
        if self.arquivos > 1:
            raise ErroEnvio(400, "Envie um único arquivo por verificação.")
        self._parte_arquivo = True
        self.nome = _nome_seguro(opcoes.get(b"filename"))
        self.fd = os.open(self.destino, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)

    def on_part_data(self, data: bytes, start: int, end: int) -> None:
        if not self._parte_arquivo:
            return
        pedaco = data[start:end]
        self.tamanho += len(pedaco)
        if self.tamanho > self.limite:
            raise ErroEnvio(413, f"Arquivo maior que o limite de {_mb(self.limite)}.")
        if not self.verificado:
            self.inicio += pedaco[: _JANELA_CABECALHO - len(self.inicio)]
            if len(self.inicio) >= _JANELA_CABECALHO:
                self._verificar()
        assert self.fd is not None
        os.write(self.fd, pedaco)

    def on_part_end(self) -> None:
        if self._parte_arquivo:
            self._parte_arquivo = False
            self._verificar()

    def _verificar(self) -> None:
        self.verificado = True
        if not formato_aceito(self.inicio):
            raise ErroEnvio(415, FORMATO_NAO_SUPORTADO)

    def fechar(self) -> None:
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


async def receber_pdf(corpo: AsyncIterator[bytes], content_type: str, content_length: Optional[str],
                      destino: Path, limite: int) -> str:
    """Writes the uploaded PDF of a multipart body to ``destino``; returns the file's name.

    Raises ``ErroEnvio`` (400, 413, 415) and leaves no file behind when it does.
    """
    tipo, opcoes = parse_options_header(content_type or "")
    fronteira = opcoes.get(b"boundary")
    if tipo != b"multipart/form-data" or not fronteira:
        raise ErroEnvio(400, f"Envie o contrato como multipart/form-data, no campo '{CAMPO_ARQUIVO}'.")
    if content_length:
        try:
            declarado = int(content_length)
        except ValueError:
            raise ErroEnvio(400, "Cabeçalho Content-Length inválido.") from None
        if declarado > limite + _FOLGA_MULTIPART:
            raise ErroEnvio(413, f"Arquivo maior que o limite de {_mb(limite)}.")
    receptor = _Receptor(destino, limite)
    parser = MultipartParser(fronteira, {
        "on_part_begin": receptor.on_part_begin,
        "on_header_field": receptor.on_header_field,
        "on_header_value": receptor.on_header_value,
        "on_header_end": receptor.on_header_end,
        "on_headers_finished": receptor.on_headers_finished,
        "on_part_data": receptor.on_part_data,
        "on_part_end": receptor.on_part_end,
    })
    recebido = 0
    try:
        async for pedaco in corpo:
            recebido += len(pedaco)
            if recebido > limite + _FOLGA_MULTIPART:
                raise ErroEnvio(413, f"Arquivo maior que o limite de {_mb(limite)}.")
            parser.write(pedaco)
        parser.finalize()
        if receptor.arquivos == 0:
            raise ErroEnvio(400, f"Nenhum arquivo enviado (campo '{CAMPO_ARQUIVO}').")
        if not receptor.verificado:
            receptor._verificar()
    except BaseException as exc:
        receptor.fechar()
        destino.unlink(missing_ok=True)
        if isinstance(exc, ErroEnvio):
            raise
        if isinstance(exc, Exception) and type(exc).__module__.startswith("python_multipart"):
            raise ErroEnvio(400, "Corpo multipart malformado.") from None
        raise
    receptor.fechar()
    assert receptor.nome is not None
    return receptor.nome
