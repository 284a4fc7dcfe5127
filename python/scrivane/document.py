"""Reading a document's text, page by page.

PDFs are read through their text layer with pypdfium2, annotations and form
fields included (the visible stamp of a digital signature lives there):
pages that carry annotations are flattened in memory before their text is
taken, and the file is never written.  Words that pdfium reports broken at
a line end are joined.  A page is read by OCR (see ``scrivane.ocr``) when
what it shows is not accounted for by its text layer: an image with no text,
an image under a text layer that is only a stamp, a running header or a
case-file footer, text drawn as vector curves, or a scan's own OCR layer made
mostly of broken words.  Ordinary text pages cost one look at their text.
When OCR is not available, the pages left unread are logged and listed in the
result.

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
from typing import Any, Callable, Optional

from . import layout as _layout
from . import ocr as _ocr

__all__ = ["Document", "DocumentError", "DocumentLimitError", "EmptyDocumentError", "PaginaOCR",
           "read_document", "strip_controls", "ocr_progress", "PAGE_LIMIT"]

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
# One regular-expression scan: a translation table looks every character up (15x slower on accented text).
_CONTROLS = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f]")

# Called with (zero-based page, stage) as each page is read ("texto", then
# "ocr" for the scanned ones), so a supervising process knows where a reading
# stopped.  None: nobody listens.
page_hook: Optional[Callable[[int, str], None]] = None


# Who hears of each page read by OCR, per thread: ``listener(done, total)`` after each page
# (see ``ocr_progress``).  The isolated readers forward their pages to the caller's listener.
_listener = threading.local()


class ocr_progress:
    """Contexto em que ``ouvinte(lidas, total)`` é chamado a cada página lida por OCR nesta thread.

        with ocr_progress(lambda lidas, total: print(f"OCR {lidas}/{total}")):
            engine.process("digitalizado.pdf")
    """

    def __init__(self, listener: Optional[Callable[[int, int], None]]) -> None:
        self.listener = listener
        self._before: Optional[Callable[[int, int], None]] = None

    def __enter__(self) -> "ocr_progress":
        self._before = getattr(_listener, "fn", None)
        _listener.fn = self.listener
        return self

    def __exit__(self, *exc: object) -> None:
        _listener.fn = self._before


def _progress_listener() -> Optional[Callable[[int, int], None]]:
    return getattr(_listener, "fn", None)


def strip_controls(text: str) -> str:
    """O texto sem caracteres de controle C0/C1, exceto quebra de linha e tabulação."""
    return _CONTROLS.sub("", text)


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
    ocr_pages: tuple[int, ...] = ()  # zero-based pages read by OCR (PaginaOCR: the reason in .motivo)
    unread_pages: tuple[int, ...] = ()  # zero-based pages for OCR left unread (OCR off or unavailable)
    unread_reason: str = ""  # why they were left unread
    ocr_seconds: float = 0.0
    # Each page's words with their boxes (scrivane.layout.Pagina), taken while the text was read;
    # empty for a text file.
    layout: tuple[_layout.Pagina, ...] = ()

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
    layout: list[_layout.Pagina] = None  # type: ignore[assignment]


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


# Why a page is read by OCR (the values of ``PaginaOCR.motivo``).
MOTIVO_SEM_TEXTO = "sem_texto"  # no text layer, an image
MOTIVO_CARIMBO = "carimbo"  # an image under a text layer that is only a stamp, a header or a footer
MOTIVO_CURVAS = "curvas"  # text drawn as vector curves, no text layer for it
MOTIVO_OCR_RUIM = "ocr_ruim"  # a scan whose own OCR text layer is mostly broken words


class PaginaOCR(int):
    """Página (contada a partir de zero) que vai ao OCR, com o motivo em ``motivo``: "sem_texto"
    (imagem sem texto), "carimbo" (imagem sob texto que é só carimbo, cabeçalho ou rodapé),
    "curvas" (texto desenhado como curvas) ou "ocr_ruim" (camada de OCR com palavras quebradas)."""

    motivo: str

    def __new__(cls, index: int, motivo: str) -> "PaginaOCR":
        page = super().__new__(cls, index)
        page.motivo = motivo
        return page

    def __getnewargs__(self) -> tuple[int, str]:  # type: ignore[override]
        return int(self), self.motivo

    def __repr__(self) -> str:
        return f"PaginaOCR({int(self)}, {self.motivo!r})"


# A page's text layer counts as its text when, without the lines of stamps,
# running headers and footers, it still has this many characters; a page
# with less is looked at (its images and paths) to decide whether to OCR it.
BODY_TEXT_CHARS = 200
# Images covering this share of a page are content that a thin text layer
# does not account for.
SCANNED_IMAGE_SHARE = 0.25
# An OCR text layer over a full-page image is read again when this share of
# its words is broken.
BROKEN_WORDS_SHARE = 0.3
FULL_PAGE_IMAGE_SHARE = 0.8
# Text drawn as curves: many glyph-sized paths, or many curve segments.
GLYPH_PATHS = 150
CURVE_SEGMENTS = 400

# Lines that stamp a page rather than write it: authentication and signing
# services' stamps, case-file numbers, page and sheet numbers, links.
_STAMP_LINE = re.compile(
    r"(?:autenticad[oa]|assinad[oa]|chancelad[oa])\s+(?:com senha|digitalmente|eletronicamente|de forma digital"
    r"|com certificado)"
    r"|documento\s+n[º°o.]|autenticidade|autenticar|c[oó]digo\s+(?:de\s+)?(?:verifica|autentica|controle|crc)"
    r"|https?://|www\.|\.gov\.br|\bconferir\b|\bverificador\b|\bprotocolo\b|\bchave de acesso\b"
    r"|^(?:p[aá]g(?:ina)?\.?|fls?\.?|folhas?|livro)\s*:?\s*[\dxivl]+\b"
    r"|^\d+\s*(?:de|/)\s*\d+$|^[\W\d_]*$|^[A-Z]{2,}[A-Z0-9./-]*\d{5,}[A-Z0-9./-]*$",
    re.IGNORECASE,
)
# Words of an OCR text layer: letters, digits and the marks that stick to them.
_WORD = re.compile(r"[^\s.,;:!?()\[\]{}\"'“”‘’«»–—-]+")
_GOOD_WORD = re.compile(r"[A-Za-zÀ-ÿ]+|\d+(?:[.,/-]\d+)*[ºª°]?|[A-Za-zÀ-ÿ]+[ºª°]|[A-Za-zÀ-ÿ]\$|\d+[ºª°]?[a-z]{0,2}")
_ONE_LETTER_WORDS = frozenset("aeoàéÀÉAEOyY")


def _page_lines(text: str) -> list[str]:
    return [line.strip() for line in text.split("\n") if line.strip()]


def _repeated_lines(texts: list[str]) -> set[str]:
    """Lines at the top or foot of most pages (running headers and footers), digits folded."""
    if len(texts) < 3:
        return set()
    counts: dict[str, int] = {}
    for text in texts:
        lines = _page_lines(text)
        for key in {re.sub(r"\d+", "#", line) for line in lines[:6] + lines[-6:]}:
            counts[key] = counts.get(key, 0) + 1
    least = max(3, (len(texts) + 1) // 2)
    return {key for key, n in counts.items() if n >= least}


def _body_chars(text: str, repeated: set[str]) -> int:
    """Characters of the page's own text: the text layer without stamps, headers and footers."""
    total = 0
    for line in _page_lines(text):
        if _STAMP_LINE.search(line) or (repeated and re.sub(r"\d+", "#", line) in repeated):
            continue
        total += len(line) - line.count(" ")
    return total


def _broken_share(text: str) -> float:
    """Share of the words that no Portuguese text has: letters run into digits or symbols,
    stray single letters, letters of other scripts (what a poor OCR leaves)."""
    words = _WORD.findall(text)
    if len(words) < 40:
        return 0.0
    broken = 0
    for word in words:
        if len(word) == 1:
            broken += word.isalpha() and word not in _ONE_LETTER_WORDS
        elif not _GOOD_WORD.fullmatch(word):
            broken += 1
    return broken / len(words)


def _image_share(page, pdfium_c) -> float:
    """Share of the page covered by images (their areas added, each clipped to the page)."""
    width, height = page.get_size()
    page_area = max(width * height, 1.0)
    covered = 0.0
    for image in page.get_objects(filter=[pdfium_c.FPDF_PAGEOBJ_IMAGE], max_depth=4):
        left, bottom, right, top = image.get_bounds()
        left, bottom, right, top = max(left, 0.0), max(bottom, 0.0), min(right, width), min(top, height)
        if right > left and top > bottom:
            covered += (right - left) * (top - bottom)
    return min(covered / page_area, 1.0)


def _draws_glyphs(page, pdfium_c) -> bool:
    """Whether the page's vector paths draw text: many glyph-sized shapes, or many curves."""
    width, height = page.get_size()
    small = segments = 0
    for path in page.get_objects(filter=[pdfium_c.FPDF_PAGEOBJ_PATH], max_depth=4):
        left, bottom, right, top = path.get_bounds()
        if 0 < right - left < 0.05 * width and 0 < top - bottom < 0.05 * height:
            small += 1
        count = pdfium_c.FPDFPath_CountSegments(path.raw)
        for k in range(max(count, 0)):
            segment = pdfium_c.FPDFPath_GetPathSegment(path.raw, k)
            if pdfium_c.FPDFPathSegment_GetType(segment) == pdfium_c.FPDF_SEGMENT_BEZIERTO:
                segments += 1
        if small >= GLYPH_PATHS or segments >= CURVE_SEGMENTS:
            return True
    return False


def _ocr_reason(open_page: Callable[[], Any], text: str, repeated: set[str]) -> Optional[str]:
    """Why the page is to be read by OCR, or None: what the page shows against what its text layer says.
    ``open_page`` gives the page, opened only when its text alone does not settle it."""
    import pypdfium2.raw as pdfium_c

    body = _body_chars(text, repeated)
    if body >= BODY_TEXT_CHARS:
        # The text layer is the page's text, unless it is a scan's own OCR gone wrong.
        if _broken_share(text) >= BROKEN_WORDS_SHARE and _image_share(open_page(), pdfium_c) >= FULL_PAGE_IMAGE_SHARE:
            return MOTIVO_OCR_RUIM
        return None
    page = open_page()
    images = _image_share(page, pdfium_c)
    if not text.strip():
        if images > 0:
            return MOTIVO_SEM_TEXTO
    elif images >= SCANNED_IMAGE_SHARE:
        return MOTIVO_CARIMBO
    if _draws_glyphs(page, pdfium_c):
        return MOTIVO_CURVAS
    return None


def _page_text(pdf, index: int) -> tuple[str, _layout.Pagina, Optional[str]]:
    """Text of one page, annotations and form fields included, its words with their boxes and,
    when its text alone already says the page needs a look at what it draws, why it is to be
    read by OCR ("" when it is not), taken while the page is open."""
    import pypdfium2.raw as pdfium_c

    page = pdf[index]
    try:
        if pdfium_c.FPDFPage_GetAnnotCount(page.raw) > 0:
            # Draw the annotations' appearances into the page (in memory
            # only) so their text is extracted with the page's own.
            if pdfium_c.FPDFPage_Flatten(page.raw, pdfium_c.FLAT_NORMALDISPLAY) == pdfium_c.FLATTEN_SUCCESS:
                page.close()
                page = pdf[index]
        width, height = page.get_size()
        textpage = page.get_textpage()
        try:
            text = textpage.get_text_range()
            words = _layout.medir_palavras_pdfium(textpage, text, height)
        finally:
            textpage.close()
        text = _clean(text)
        reason = None
        if _suspect(text) and _body_chars(text, set()) < BODY_TEXT_CHARS:
            # Running headers and footers only take characters away: short without them, the page
            # is short with them, and its reason does not depend on the other pages.
            reason = _ocr_reason(lambda: page, text, set()) or ""
        return text, _layout.Pagina(index + 1, width, height, words), reason
    finally:
        page.close()


def _suspect(text: str) -> bool:
    """A page whose text may not account for what it shows: too short, or a poor OCR layer."""
    return len(text) < 4 * BODY_TEXT_CHARS or _maybe_ocr_layer(text)


def _pages_to_ocr(pdf, pages: list[str], known: Optional[list[Optional[str]]] = None) -> list[PaginaOCR]:
    """The pages whose visible content their text layer does not account for, with the reason
    (``known``: the reasons already taken while the pages were read, None where not)."""
    # An ordinary text page costs one look at its text; only a page whose text does not settle it is
    # opened again (loading a page costs about as much as reading its text).
    suspects = [i for i, text in enumerate(pages) if _suspect(text)]
    if not suspects:
        return []
    repeated = _repeated_lines(pages)
    chosen: list[PaginaOCR] = []
    for index in suspects:
        if known is not None and known[index] is not None:
            if known[index]:
                chosen.append(PaginaOCR(index, known[index]))
            continue
        opened: list = []

        def open_page(index: int = index):
            if not opened:
                opened.append(pdf[index])
            return opened[0]

        try:
            reason = _ocr_reason(open_page, pages[index], repeated)
        finally:
            for page in opened:
                page.close()
        if reason:
            chosen.append(PaginaOCR(index, reason))
    return chosen


# What a poor OCR layer leaves in a text: stray one-letter words, letters of other scripts.
_STRAY_LETTER = re.compile(r"(?<!\S)[^\saeoAEOàéÀÉ\d]\s")
_ODD_CHARACTER = re.compile(r"[^\x00-\x7fÀ-ÿºª°§–—“”‘’•€]")


def _maybe_ocr_layer(text: str) -> bool:
    """A quick look at the start of a page's text for what a poor OCR layer leaves."""
    sample = text[:1500]
    if len(_ODD_CHARACTER.findall(sample)) >= 5:
        return True
    return len(_STRAY_LETTER.findall(sample)) * 40 >= sample.count(" ") * 3


def _pdf_pages(path: Path, data: bytes, ocr: Optional[Callable[[], Optional[str]]], ocr_workers: Optional[int],
               max_pages: int) -> _PdfText:
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
            layout: list[_layout.Pagina] = []
            known: list[Optional[str]] = []
            for index in range(count):
                if page_hook is not None:
                    page_hook(index, "texto")
                text, laid_out, reason = _page_text(pdf, index)
                pages.append(text)
                layout.append(laid_out)
                known.append(reason)
            scanned = _pages_to_ocr(pdf, pages, known)
        result = _PdfText(pages, scanned, layout=layout)
        if scanned and ocr is not None and ocr() is None and _ocr.unavailable_reason() is None:
            started = time.perf_counter()
            scales: dict[int, float] = {}

            def render(index: int):
                if page_hook is not None:
                    page_hook(index, "ocr")
                with _PDFIUM_LOCK:
                    page = pdf[index]
                    try:
                        scale = scales[index] = _ocr.render_scale(*page.get_size())
                        return page.render(scale=scale, grayscale=True, may_draw_forms=True).to_pil()
                    finally:
                        page.close()

            boxes: dict[int, str] = {}
            try:
                texts = _ocr.read_pages(render, scanned, workers=ocr_workers, boxes=boxes,
                                        progress=_progress_listener())
            except _ocr.OCRError as exc:
                raise DocumentError(f"{exc}: {path}") from exc
            reasons = {int(i): i.motivo for i in scanned}
            for index, text in texts.items():
                old = layout[index]
                words = _layout.palavras_tesseract(boxes.get(index, ""), scales.get(index, 1.0))
                if reasons.get(index) == MOTIVO_OCR_RUIM:
                    pages[index] = text  # the broken OCR layer is read anew, not kept
                    layout[index] = _layout.Pagina(old.numero, old.largura, old.altura, words, ocr=True)
                else:
                    layout[index] = _layout.Pagina(old.numero, old.largura, old.altura, words + old.palavras,
                                                   ocr=True)
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
    ocr_unavailable: Optional[str] | Callable[[], Optional[str]] = None,
) -> Document:
    """Texto do documento em ``path``, uma entrada por página.

    Páginas de PDF sem camada de texto (digitalizadas) são lidas por OCR
    quando ``ocr`` é verdadeiro ou, sem o argumento, quando a variável de
    ambiente SCRIVANE_OCR não vale 0; ``ocr_workers`` limita os processos
    do Tesseract em paralelo (padrão: um por núcleo).  Páginas que ficam
    sem leitura são registradas no log "scrivane" e listadas em
    ``Document.unread_pages``.  ``max_pages`` limita as páginas (padrão:
    SCRIVANE_LIMITE_PAGINAS ou 2.000; acima disso, ``DocumentLimitError``);
    ``ocr_unavailable`` é o motivo, já conhecido, de o OCR não poder rodar (ou a
    função que o diz, chamada só se alguma página precisar de OCR).
    O texto vem sem caracteres de controle (exceto quebra de linha e tabulação).
    Num PDF, ``Document.layout`` traz cada página disposta: as palavras com as
    suas caixas, tomadas na mesma leitura (ver ``scrivane.layout``).

    Levanta ``FileNotFoundError`` para arquivo ausente, ``DocumentError``
    para PDF ilegível ou protegido por senha e para arquivo binário que não
    é PDF, e ``EmptyDocumentError`` quando não há texto algum.
    """
    p = Path(path)
    if p.is_dir():
        raise DocumentError(f"O caminho é uma pasta, não um documento: {p}")
    data = p.read_bytes()
    want_ocr = _ocr.ocr_requested(ocr)
    asked: list[Optional[str]] = []

    def unavailable() -> Optional[str]:
        # Asked only of a document with a page to OCR: the question loads PIL and runs Tesseract.
        if not asked:
            asked.append(ocr_unavailable() if callable(ocr_unavailable) else
                         ocr_unavailable if ocr_unavailable is not None else _ocr.unavailable_reason())
        return asked[0]

    scanned: list[int] = []
    ocr_pages: tuple[int, ...] = ()
    ocr_seconds = 0.0
    layout: tuple[_layout.Pagina, ...] = ()
    # Readers accept a PDF header anywhere in the first kilobyte.
    if b"%PDF-" in data[:1024]:
        other = None
    else:
        # Photos, scans and Word files, known by their content whatever their name.
        from . import formats as _formats

        other = _formats.ler(p, data, ocr=want_ocr, unavailable=unavailable if want_ocr else None,
                             ocr_workers=ocr_workers, max_pages=_page_limit(max_pages),
                             progress=_progress_listener())
    if other is not None:
        pages, ocr_pages, ocr_seconds = other.pages, other.ocr_pages, other.ocr_seconds
    elif b"%PDF-" in data[:1024] or p.suffix.lower() == ".pdf":
        pdf_text = _pdf_pages(p, data, unavailable if want_ocr else None, ocr_workers, _page_limit(max_pages))
        pages = pdf_text.pages
        scanned, ocr_pages, ocr_seconds = pdf_text.scanned, pdf_text.ocr_pages, pdf_text.ocr_seconds
        layout = tuple(pdf_text.layout or ())
    else:
        if data.startswith((b"\xff\xfe", b"\xfe\xff")):
            text = data.decode("utf-16", errors="replace")
        elif b"\x00" in data:
            # An image, a word-processor file, an archive: not text.  Read as
            # Latin-1 it would reach the model as noise and come back as an
            # extraction that found nothing.
            from .formats import ACEITOS

            raise DocumentError(f"formato não suportado: {p} (aceitos: {ACEITOS})")
        else:
            try:
                text = data.decode("utf-8-sig")
            except UnicodeDecodeError:
                text = data.decode("latin-1")
        pages = _split_text(text.replace("\r\n", "\n").replace(_LINE_END_HYPHEN, ""))
    pages = [strip_controls(page) for page in pages]
    reason = ""
    if scanned:
        if not want_ocr and not _ocr.ocr_requested(None):
            reason = "OCR desligado por SCRIVANE_OCR=0"
        else:
            # Asked without OCR (a second, quick look at the text): why OCR could not have read
            # these pages is said the same way as when it was asked for.
            motivo = unavailable()
            reason = (f"OCR indisponível: {motivo}; {_ocr.INSTALL_HINT}" if motivo
                      else "OCR não usado nesta leitura (ocr=False)")
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
        layout=layout,
    )
