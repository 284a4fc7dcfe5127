"""Reading a document's text, page by page.

PDFs are read through their text layer with pypdfium2, annotations and form
fields included (the visible stamp of a digital signature lives there):
pages that carry annotations are flattened in memory before their text is
taken, and the file is never written.  Words that pdfium reports broken at
a line end are joined.  Scanned pages (images without a text layer, or with
only a stamp's few words) are read by OCR when it is available (see
``scrivane.ocr``); when it is not, the pages left unread are logged and
listed in the result.

Any other file is read as text (UTF-16 with a byte-order mark, else UTF-8,
falling back to Latin-1; a binary file is refused), split into pages at form
feeds, or into blocks of paragraphs when it has none, so that long text
files can be narrowed to their relevant parts like PDFs.
"""

from __future__ import annotations

import logging
import os
import re
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Optional

from . import ocr as _ocr

__all__ = ["Document", "DocumentError", "DocumentLimitError", "EmptyDocumentError", "read_document",
           "strip_controls", "PAGE_LIMIT"]

log = logging.getLogger("scrivane")

# Size of the blocks a text file without form feeds is cut into.
TEXT_BLOCK_CHARS = 4000

# pdfium is not thread-safe, and its calls release the GIL: two documents read
# at once from different threads (two engines, or one engine used by several
# threads) crash the interpreter.  Every use of pdfium goes through this lock.
_PDFIUM_LOCK = threading.Lock()

# pdfium's mark for a hyphen that ends a line inside a word; the line break
# after it is already gone.
_LINE_END_HYPHEN = "\ufffe"
# A compound word broken at its own hyphen repeats the hyphen at the start of
# the next line (Portuguese usage); pdfium leaves both: keep one, join the word.
_REPEATED_HYPHEN = re.compile(r"(?<=\w)-\n-(?=\w)")

# Documents with more pages than this are refused (a page tree can repeat one
# page a hundred thousand times in a few kilobytes).
PAGE_LIMIT = 2000
ENV_PAGE_LIMIT = "SCRIVANE_LIMITE_PAGINAS"

# C0 and C1 control characters other than line feed and tab: in a terminal
# they move the cursor, erase lines or write to the clipboard.
_CONTROLS = dict.fromkeys([*range(0x00, 0x09), *range(0x0B, 0x20), *range(0x7F, 0xA0)])

# Called with (zero-based page, stage) as each page is read ("texto", then
# "ocr" for the scanned ones), so a supervising process knows where a reading
# stopped.  None: nobody listens.
page_hook: Optional[Callable[[int, str], None]] = None


def strip_controls(text: str) -> str:
    """O texto sem caracteres de controle C0/C1, exceto quebra de linha e tabulação."""
    return text.translate(_CONTROLS)


def _page_limit(max_pages: Optional[int]) -> int:
    if max_pages is not None:
        return max_pages
    try:
        return int(os.environ.get(ENV_PAGE_LIMIT, "") or PAGE_LIMIT)
    except ValueError:
        return PAGE_LIMIT


class DocumentError(ValueError):
    """The document cannot be read."""


class DocumentLimitError(DocumentError):
    """The document passes a reading limit (pages, memory, time)."""


class EmptyDocumentError(DocumentError):
    """The document holds no text at all (for instance a scanned PDF that could not be read by OCR)."""


@dataclass(frozen=True)
class Document:
    path: Path
    pages: tuple[str, ...]
    ocr_pages: tuple[int, ...] = ()  # zero-based pages read by OCR
    unread_pages: tuple[int, ...] = ()  # zero-based scanned pages left unread (OCR off or unavailable)
    unread_reason: str = ""  # why they were left unread
    ocr_seconds: float = 0.0

    @property
    def text(self) -> str:
        return "\n\n".join(self.pages)

    @property
    def char_count(self) -> int:
        return sum(len(p) for p in self.pages)


@dataclass
class _PdfText:
    pages: list[str]
    scanned: list[int]  # pages to read by OCR
    ocr_pages: tuple[int, ...] = ()
    ocr_seconds: float = 0.0


def _clean(text: str) -> str:
    # pdfium ends lines with CR LF; keep plain line feeds.
    text = text.replace("\r\n", "\n").replace("\r", "\n").replace(_LINE_END_HYPHEN, "")
    if "-\n-" in text:
        text = _REPEATED_HYPHEN.sub("-", text)
    return text


def _open_pdf(path: Path, data: bytes):
    import pypdfium2 as pdfium
    import pypdfium2.raw as pdfium_c

    try:
        return pdfium.PdfDocument(data)
    except pdfium.PdfiumError as exc:
        if getattr(exc, "err_code", None) == pdfium_c.FPDF_ERR_PASSWORD:
            raise DocumentError(
                f"PDF protegido por senha: {path} (remova a senha para que o documento possa ser lido)"
            ) from None
        raise DocumentError(f"PDF ilegível: {path} ({exc})") from exc


# A page is read by OCR when it has no text layer and shows an image, or when
# its text is only a few words (the stamp a signing service adds to every
# page of a scan) over an image that covers most of the page.
SCANNED_TEXT_CHARS = 200
SCANNED_IMAGE_SHARE = 0.5


def _looks_scanned(page, text: str) -> bool:
    import pypdfium2.raw as pdfium_c

    chars = len("".join(text.split()))
    if chars >= SCANNED_TEXT_CHARS:
        return False
    images = page.get_objects(filter=[pdfium_c.FPDF_PAGEOBJ_IMAGE], max_depth=4)
    if chars == 0:
        return any(True for _ in images)
    width, height = page.get_size()
    page_area = max(width * height, 1.0)
    for image in images:
        left, bottom, right, top = image.get_bounds()
        if (right - left) * (top - bottom) >= SCANNED_IMAGE_SHARE * page_area:
            return True
    return False


def _page_text(pdf, index: int) -> tuple[str, bool]:
    """Text of one page, and whether the page is to be read by OCR."""
    import pypdfium2.raw as pdfium_c

    page = pdf[index]
    try:
        if pdfium_c.FPDFPage_GetAnnotCount(page.raw) > 0:
            # Draw the annotations' appearances into the page (in memory
            # only) so their text is extracted with the page's own.
            if pdfium_c.FPDFPage_Flatten(page.raw, pdfium_c.FLAT_NORMALDISPLAY) == pdfium_c.FLATTEN_SUCCESS:
                page.close()
                page = pdf[index]
        textpage = page.get_textpage()
        try:
            text = textpage.get_text_range()
        finally:
            textpage.close()
        return _clean(text), _looks_scanned(page, text)
    finally:
        page.close()


def _pdf_pages(path: Path, data: bytes, ocr: bool, ocr_workers: Optional[int], max_pages: int) -> _PdfText:
    with _PDFIUM_LOCK:
        pdf = _open_pdf(path, data)
    try:
        with _PDFIUM_LOCK:
            count = len(pdf)
            if count > max_pages:
                raise DocumentLimitError(
                    f"documento excede o limite de páginas ({count:,} páginas; limite {max_pages:,}): {path}"
                    .replace(",", "."))
            if pdf.get_formtype():
                pdf.init_forms()  # form fields get their appearances before flattening
            pages: list[str] = []
            scanned: list[int] = []
            for index in range(count):
                if page_hook is not None:
                    page_hook(index, "texto")
                text, to_ocr = _page_text(pdf, index)
                pages.append(text)
                if to_ocr:
                    scanned.append(index)
        result = _PdfText(pages, scanned)
        if scanned and ocr and _ocr.unavailable_reason() is None:
            started = time.perf_counter()

            def render(index: int):
                if page_hook is not None:
                    page_hook(index, "ocr")
                with _PDFIUM_LOCK:
                    page = pdf[index]
                    try:
                        scale = _ocr.render_scale(*page.get_size())
                        return page.render(scale=scale, grayscale=True, may_draw_forms=True).to_pil()
                    finally:
                        page.close()

            try:
                texts = _ocr.read_pages(render, scanned, workers=ocr_workers)
            except _ocr.OCRError as exc:
                raise DocumentError(f"{exc}: {path}") from exc
            for index, text in texts.items():
                # A stamp in the text layer may not be drawn on the image: keep it.
                pages[index] = f"{text}\n{pages[index]}" if pages[index].strip() else text
            result.ocr_pages = tuple(scanned)
            result.scanned = []
            result.ocr_seconds = time.perf_counter() - started
        return result
    finally:
        with _PDFIUM_LOCK:
            pdf.close()


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


def read_document(
    path: str | os.PathLike[str],
    *,
    ocr: Optional[bool] = None,
    ocr_workers: Optional[int] = None,
    max_pages: Optional[int] = None,
    ocr_unavailable: Optional[str] = None,
) -> Document:
    """Texto do documento em ``path``, uma entrada por página.

    Páginas de PDF sem camada de texto (digitalizadas) são lidas por OCR
    quando ``ocr`` é verdadeiro ou, sem o argumento, quando a variável de
    ambiente SCRIVANE_OCR não vale 0; ``ocr_workers`` limita os processos
    do Tesseract em paralelo (padrão: um por núcleo).  Páginas que ficam
    sem leitura são registradas no log "scrivane" e listadas em
    ``Document.unread_pages``.  ``max_pages`` limita as páginas (padrão:
    SCRIVANE_LIMITE_PAGINAS ou 2.000; acima disso, ``DocumentLimitError``);
    ``ocr_unavailable`` é o motivo, já conhecido, de o OCR não poder rodar.
    O texto vem sem caracteres de controle (exceto quebra de linha e tabulação).

    Levanta ``FileNotFoundError`` para arquivo ausente, ``DocumentError``
    para PDF ilegível ou protegido por senha e para arquivo binário que não
    é PDF, e ``EmptyDocumentError`` quando não há texto algum.
    """
    p = Path(path)
    if p.is_dir():
        raise DocumentError(f"O caminho é uma pasta, não um documento: {p}")
    data = p.read_bytes()
    want_ocr = _ocr.ocr_requested(ocr)
    unavailable = ocr_unavailable if ocr_unavailable is not None else (
        _ocr.unavailable_reason() if want_ocr else None)
    scanned: list[int] = []
    ocr_pages: tuple[int, ...] = ()
    ocr_seconds = 0.0
    # Readers accept a PDF header anywhere in the first kilobyte.
    if b"%PDF-" in data[:1024] or p.suffix.lower() == ".pdf":
        pdf_text = _pdf_pages(p, data, want_ocr and unavailable is None, ocr_workers, _page_limit(max_pages))
        pages = pdf_text.pages
        scanned, ocr_pages, ocr_seconds = pdf_text.scanned, pdf_text.ocr_pages, pdf_text.ocr_seconds
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
        pages = _split_text(text.replace("\r\n", "\n").replace(_LINE_END_HYPHEN, ""))
    pages = [strip_controls(page) for page in pages]
    reason = ""
    if scanned:
        if want_ocr:
            reason = f"OCR indisponível: {unavailable}; {_ocr.INSTALL_HINT}"
        else:
            reason = "OCR desativado (ocr=False ou SCRIVANE_OCR=0)"
    if not any(page.strip() for page in pages):
        if scanned:
            raise EmptyDocumentError(
                f"Nenhum texto encontrado no documento: {p} (PDF digitalizado sem camada de texto; {reason})"
            )
        if ocr_pages:
            detail = "o OCR não reconheceu texto nas páginas digitalizadas"
        else:
            detail = "PDF sem camada de texto, ou arquivo vazio"
        raise EmptyDocumentError(f"Nenhum texto encontrado no documento: {p} ({detail})")
    if scanned:
        log.warning(
            "%s: página(s) %s digitalizada(s) não lida(s) (%s)", p, ", ".join(str(i + 1) for i in scanned), reason
        )
    return Document(
        path=p,
        pages=tuple(pages),
        ocr_pages=ocr_pages,
        unread_pages=tuple(scanned),
        unread_reason=reason,
        ocr_seconds=ocr_seconds,
    )
