"""Reading a document's text, page by page.

PDFs are read through their text layer with pypdfium2; any other file is
read as text (UTF-16 with a byte-order mark, else UTF-8, falling back to
Latin-1; a binary file is refused), split into pages at form
feeds, or into blocks of paragraphs when it has none, so that long text
files can be narrowed to their relevant parts like PDFs.
"""

from __future__ import annotations

import os
import threading
from dataclasses import dataclass
from pathlib import Path

__all__ = ["Document", "DocumentError", "EmptyDocumentError", "read_document"]

# Size of the blocks a text file without form feeds is cut into.
TEXT_BLOCK_CHARS = 4000

# pdfium is not thread-safe, and its calls release the GIL: two documents read
# at once from different threads (two engines, or one engine used by several
# threads) crash the interpreter.  Every use of pdfium goes through this lock.
_PDFIUM_LOCK = threading.Lock()


class DocumentError(ValueError):
    """The document cannot be read."""


class EmptyDocumentError(DocumentError):
    """The document holds no text at all (for instance a scanned PDF without text layer)."""


@dataclass(frozen=True)
class Document:
    path: Path
    pages: tuple[str, ...]

    @property
    def text(self) -> str:
        return "\n\n".join(self.pages)

    @property
    def char_count(self) -> int:
        return sum(len(p) for p in self.pages)


def _pdf_pages(path: Path, data: bytes) -> list[str]:
    with _PDFIUM_LOCK:
        return _pdf_pages_locked(path, data)


def _pdf_pages_locked(path: Path, data: bytes) -> list[str]:
    import pypdfium2 as pdfium

    try:
        pdf = pdfium.PdfDocument(data)
    except pdfium.PdfiumError as exc:
        raise DocumentError(f"PDF ilegível: {path} ({exc})") from exc
    pages: list[str] = []
    try:
        for index in range(len(pdf)):
            page = pdf[index]
            try:
                textpage = page.get_textpage()
                try:
                    text = textpage.get_text_range()
                finally:
                    textpage.close()
            finally:
                page.close()
            # pdfium ends lines with CR LF; keep plain line feeds.
            pages.append(text.replace("\r\n", "\n").replace("\r", "\n"))
    finally:
        pdf.close()
    return pages


def _split_text(text: str) -> list[str]:
    if "\f" in text:
        return text.split("\f")
    # Blocks of at most TEXT_BLOCK_CHARS, cut at a blank line when one lies in
    # the second half of the block, else at a line end, else at a space.  A
    # text without blank lines (common in converted documents) is still cut,
    # so that a long one can be narrowed instead of sent as one huge page.
    blocks: list[str] = []
    start = 0
    while len(text) - start > TEXT_BLOCK_CHARS:
        limit = start + TEXT_BLOCK_CHARS
        cut = limit
        for separator in ("\n\n", "\n", " "):
            found = text.rfind(separator, start + TEXT_BLOCK_CHARS // 2, limit)
            if found != -1:
                cut = found + len(separator)
                break
        blocks.append(text[start:cut])
        start = cut
    blocks.append(text[start:])
    return blocks


def read_document(path: str | os.PathLike[str]) -> Document:
    """Text of the document at ``path``, one entry per page.

    Raises ``FileNotFoundError`` for a missing file, ``DocumentError`` for an
    unreadable PDF or a binary file that is not a PDF, and
    ``EmptyDocumentError`` when there is no text at all.
    """
    p = Path(path)
    if p.is_dir():
        raise DocumentError(f"O caminho é uma pasta, não um documento: {p}")
    data = p.read_bytes()
    # Readers accept a PDF header anywhere in the first kilobyte.
    if b"%PDF-" in data[:1024] or p.suffix.lower() == ".pdf":
        pages = _pdf_pages(p, data)
    else:
        if data.startswith((b"\xff\xfe", b"\xfe\xff")):
            text = data.decode("utf-16", errors="replace")
        elif b"\x00" in data:
            # An image, a word-processor file, an archive: not text.  Read as
            # Latin-1 it would reach the model as noise and come back as an
            # extraction that found nothing.
            raise DocumentError(
                f"O documento não é PDF nem texto: {p} "
                "(converta-o para PDF com texto, ou para texto simples)"
            )
        else:
            try:
                text = data.decode("utf-8-sig")
            except UnicodeDecodeError:
                text = data.decode("latin-1")
        pages = _split_text(text.replace("\r\n", "\n"))
    if not any(page.strip() for page in pages):
        raise EmptyDocumentError(
            f"Nenhum texto encontrado no documento: {p} "
            "(PDF digitalizado sem camada de texto, ou arquivo vazio)"
        )
    return Document(path=p, pages=tuple(pages))
