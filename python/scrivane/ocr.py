"""Reading pages without a text layer with Tesseract (OCR).

Pages are rendered by the caller (pdfium is not thread-safe, so rendering
stays on one thread under its lock) and read by Tesseract processes in
parallel, one per core, each limited to one thread: Tesseract's own
threading is several times slower on a busy machine than one process per
page.

Needs the optional packages ``pytesseract`` and ``Pillow`` (the extra
``scrivane-contract[ocr]``) and the ``tesseract`` program with its Portuguese
data (Debian: ``tesseract-ocr tesseract-ocr-por``).
"""

from __future__ import annotations

import functools
import math
import os
import re
import shlex
import shutil
import subprocess
import tempfile
from collections import deque
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, Callable, Optional, Sequence

__all__ = ["OCR_DPI", "OCR_LANGUAGE", "INSTALL_HINT", "MAX_RENDER_PIXELS", "OCRError", "ocr_requested",
           "unavailable_reason", "read_pages", "render_scale"]

OCR_DPI = 300
OCR_LANGUAGE = "por"
# Automatic page segmentation with orientation and script detection, so
# rotated scans are read the right way up.
OCR_CONFIG = "--psm 1"
# Seconds Tesseract may spend on one page (a few on a normal page) before the
# page is given up as unreadable.
OCR_PAGE_TIMEOUT = 300
# No page is rendered past this many pixels: a page declared miles wide is
# read at a lower resolution instead of filling memory and disk.
MAX_RENDER_PIXELS = 50_000_000
INSTALL_HINT = (
    "para ler páginas digitalizadas instale o OCR: pip install 'scrivane-contract[ocr]' "
    "e o Tesseract com português (apt-get install tesseract-ocr tesseract-ocr-por)"
)
# Values of SCRIVANE_OCR that turn OCR off.
_OFF = {"0", "false", "no", "nao", "não", "off"}


class OCRError(RuntimeError):
    """O Tesseract falhou ao ler uma página."""


def ocr_requested(ocr: Optional[bool]) -> bool:
    """Se o OCR deve ser usado: o argumento, quando dado; senão o ambiente (SCRIVANE_OCR=0 desliga)."""
    if ocr is not None:
        return bool(ocr)
    return os.environ.get("SCRIVANE_OCR", "").strip().lower() not in _OFF


def unavailable_reason() -> Optional[str]:
    """Por que o OCR não pode rodar aqui, ou None quando pode."""
    try:
        import PIL.Image  # noqa: F401
        import pytesseract
    except ImportError as exc:
        return f"pacote {exc.name or 'pytesseract'} ausente"
    command = shutil.which(pytesseract.pytesseract.tesseract_cmd)
    if command is None:
        return "programa tesseract não encontrado"
    languages = _languages(command)
    if OCR_LANGUAGE not in languages:
        return f"Tesseract sem o idioma '{OCR_LANGUAGE}'"
    if "osd" not in languages:  # orientation detection, for --psm 1
        return "Tesseract sem os dados de orientação 'osd'"
    return None


@functools.lru_cache(maxsize=8)
def _languages(command: str) -> frozenset[str]:
    try:
        done = subprocess.run([command, "--list-langs"], capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.SubprocessError):
        return frozenset()
    lines = (done.stdout + done.stderr).splitlines()
    return frozenset(line.strip() for line in lines if line.strip() and " " not in line.strip())


def render_scale(width: float, height: float) -> float:
    """Escala de renderização de uma página de ``width`` × ``height`` pontos: OCR_DPI, reduzida
    para que a imagem não passe de MAX_RENDER_PIXELS."""
    scale = OCR_DPI / 72
    area = max(float(width), 1.0) * max(float(height), 1.0)
    if area * scale * scale > MAX_RENDER_PIXELS:
        scale = math.sqrt(MAX_RENDER_PIXELS / area)
    return scale


def default_workers() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # not on Linux
        return max(1, os.cpu_count() or 1)


# CNPJ and CPF numbers with the stray spaces OCR puts between narrow digits
# ("1 1.222.333/0001-81": the two ones of "11" are set wide apart in most
# fonts).  A match is joined only when the digits then have the exact shape.
_LOOSE_NUMBER = re.compile(
    r"(?<![\d.])\d[\d ]{0,4}\.[\d ]{3,5}\.[\d ]{3,5}(?:/[\d ]{4,7})?-[\d ]{2,3}(?![\d])"
)
_NUMBER_SHAPES = re.compile(r"\d{2}\.\d{3}\.\d{3}/\d{4}-\d{2}|\d{3}\.\d{3}\.\d{3}-\d{2}")


def _join_number(match: re.Match[str]) -> str:
    text = match.group(0)
    joined = text.strip().replace(" ", "")
    if joined == text or not _NUMBER_SHAPES.fullmatch(joined):
        return text
    return joined + (" " if text.endswith(" ") else "")


def tidy(text: str) -> str:
    """A saída do Tesseract como texto de página: sem quebra de página, CNPJ/CPF sem espaços soltos."""
    text = text.replace("\f", "").strip("\n")
    return _LOOSE_NUMBER.sub(_join_number, text)


def _recognize(image_path: str, boxes: bool = False) -> tuple[str, str]:
    # Tesseract is run directly so that its output lands beside the image, in
    # the caller's private folder, readable by the owner only.
    import pytesseract

    base = os.path.splitext(image_path)[0]
    command = [pytesseract.pytesseract.tesseract_cmd, image_path, base, "-l", OCR_LANGUAGE,
               *shlex.split(OCR_CONFIG), "txt", *(["tsv"] if boxes else [])]
    try:
        done = subprocess.run(command, capture_output=True, timeout=OCR_PAGE_TIMEOUT, umask=0o077)
    except subprocess.TimeoutExpired:
        raise RuntimeError(f"Tesseract excedeu {OCR_PAGE_TIMEOUT} s") from None
    if done.returncode != 0:
        lines = done.stderr.decode("utf-8", "replace").strip().splitlines()
        raise RuntimeError(lines[-1] if lines else f"Tesseract terminou com o código {done.returncode}")
    try:
        with open(base + ".txt", encoding="utf-8", errors="replace") as f:
            text = tidy(f.read())
        tsv = ""
        if boxes:
            with open(base + ".tsv", encoding="utf-8", errors="replace") as f:
                tsv = f.read()
        return text, tsv
    finally:
        for leftover in (base + ".txt", base + ".tsv", image_path):
            try:
                os.unlink(leftover)
            except OSError:
                pass


def read_pages(render: Callable[[int], Any], indices: Sequence[int], workers: Optional[int] = None,
               boxes: Optional[dict[int, str]] = None) -> dict[int, str]:
    """Texto de cada página de ``indices``, lido por OCR da imagem que ``render(indice)`` devolve.

    Com ``boxes`` (um dicionário), o Tesseract também dá as caixas das palavras: a sua saída TSV
    de cada página é guardada ali, pelo índice da página (ver ``scrivane.layout.palavras_tesseract``).

    ``render`` é chamado nesta thread, uma página por vez, enquanto as
    anteriores são lidas; no máximo duas páginas por processo esperam na
    memória.  Levanta ``OCRError`` quando o Tesseract falha numa página.
    """
    import pytesseract

    # Tesseract reads its thread limit from the environment it inherits.
    os.environ.setdefault("OMP_THREAD_LIMIT", "1")
    workers = workers or default_workers()
    results: dict[int, str] = {}
    pending: deque[tuple[int, Future[tuple[str, str]]]] = deque()

    def collect(index: int, future: Future[tuple[str, str]]) -> None:
        try:
            results[index], tsv = future.result()
            if boxes is not None:
                boxes[index] = tsv
        except (pytesseract.TesseractError, OSError, RuntimeError) as exc:
            raise OCRError(f"OCR falhou na página {index + 1}: {exc}") from exc

    with tempfile.TemporaryDirectory(prefix="scrivane-ocr-") as tmp, ThreadPoolExecutor(
        max_workers=workers, thread_name_prefix="scrivane-ocr"
    ) as pool:
        try:
            for index in indices:
                while len(pending) >= 2 * workers:
                    collect(*pending.popleft())
                # An uncompressed image: writing a PNG of a 300 dpi page
                # costs about as much as reading it.
                path = os.path.join(tmp, f"pagina-{index + 1}.pgm")
                image = render(index)
                with os.fdopen(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "wb") as out:
                    image.save(out, format="PPM")
                del image
                pending.append((index, pool.submit(_recognize, path, boxes is not None)))
            while pending:
                collect(*pending.popleft())
        finally:
            for _, future in pending:
                future.cancel()
    return results
