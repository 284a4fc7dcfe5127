"""Contracts that are not PDFs: photos and scans (images), Word files (DOCX).

The reader (``scrivane.document``) hands a file here when its first bytes say
it is one of these formats, whatever its name:

* images (JPEG, PNG, TIFF with any number of pages, HEIC when the
  ``pillow-heif`` plugin is installed) are read by the same OCR as a scanned
  PDF page: each frame turned upright by its EXIF orientation, converted to
  grey and capped at ``ocr.MAX_RENDER_PIXELS``; Tesseract's orientation and
  script detection (``--psm 1``) reads pages turned sideways or upside down,
  and its layout analysis follows slightly skewed lines.
* DOCX files are read with python-docx: the body's paragraphs and tables in
  document order, then each section's headers and footers.

Pillow and python-docx are imported only when such a file is read.  The same
limits as for PDFs apply: the page limit (frames of an image, blocks of a
DOCX), a pixel limit per image, and, in the isolated readers, memory and time.
"""

from __future__ import annotations

import io
import time
import zipfile
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Optional

from . import ocr as _ocr

__all__ = ["IMAGEM", "DOCX", "ACEITOS", "FormatoNaoSuportado", "detectar", "nome_do_formato", "ler_imagem",
           "ler_docx", "ler", "Lido"]

IMAGEM = "imagem"
DOCX = "docx"
# What the reader accepts, as the refusal of any other file names it.
ACEITOS = "PDF, DOCX, imagem (JPEG, PNG, TIFF ou HEIC) ou texto simples"
# A DOCX whose parts inflate past this is refused before it is parsed.
DOCX_LIMITE_BYTES = 256 * 1024 * 1024

# First bytes of each image format, and its name.
_ASSINATURAS = (
    (b"\xff\xd8\xff", "JPEG"),
    (b"\x89PNG\r\n\x1a\n", "PNG"),
    (b"II*\x00", "TIFF"),
    (b"MM\x00*", "TIFF"),
    (b"II+\x00", "TIFF"),  # BigTIFF
    (b"MM\x00+", "TIFF"),
)
_MARCAS_HEIF = {b"heic", b"heix", b"hevc", b"hevx", b"heim", b"heis", b"mif1", b"msf1", b"avif"}


class FormatoNaoSuportado(ValueError):
    """Um arquivo que nenhum leitor aceita."""


def _formato_imagem(inicio: bytes) -> Optional[str]:
    for assinatura, nome in _ASSINATURAS:
        if inicio.startswith(assinatura):
            return nome
    if inicio[4:8] == b"ftyp" and inicio[8:12] in _MARCAS_HEIF:
        return "HEIC"
    return None


def nome_do_formato(inicio: bytes) -> Optional[str]:
    """"JPEG", "PNG", "TIFF", "HEIC" ou "DOCX" pelos primeiros bytes; None para os demais.

    Um ZIP conta como DOCX pelos primeiros bytes; ``detectar`` confere o conteúdo."""
    if (imagem := _formato_imagem(inicio)) is not None:
        return imagem
    if inicio.startswith(b"PK\x03\x04"):
        return "DOCX"
    return None


def detectar(dados: bytes) -> Optional[tuple[str, str]]:
    """(tipo, nome) de uma imagem ou de um DOCX pelo conteúdo: (IMAGEM, "JPEG"), (DOCX, "DOCX")...

    None para qualquer outro arquivo.  Um ZIP que não é documento do Word levanta
    ``FormatoNaoSuportado``."""
    if (imagem := _formato_imagem(dados[:16])) is not None:
        return IMAGEM, imagem
    if dados.startswith(b"PK\x03\x04"):
        try:
            with zipfile.ZipFile(io.BytesIO(dados)) as arquivo:
                nomes = set(arquivo.namelist())
        except (zipfile.BadZipFile, ValueError, OSError):
            nomes = set()
        if "word/document.xml" not in nomes:
            raise FormatoNaoSuportado("arquivo compactado (ZIP) que não é documento do Word (DOCX)")
        return DOCX, "DOCX"
    return None


@dataclass
class Lido:
    pages: list[str]
    ocr_pages: tuple[int, ...] = ()
    ocr_seconds: float = 0.0


# -- images -------------------------------------------------------------------------


def _abrir_imagem(caminho: Path, dados: bytes, formato: str):
    try:
        from PIL import Image
    except ImportError:
        raise ImportError("Pillow") from None
    if formato == "HEIC":
        try:
            import pillow_heif
        except ImportError:
            raise FormatoNaoSuportado(
                "imagem HEIC: para lê-la instale o suporte a HEIC (pip install pillow-heif), "
                "ou envie a foto em JPEG ou PNG") from None
        pillow_heif.register_heif_opener()
    # Past the pixel limit (twice Pillow's own warning threshold) an image is refused, not decoded.
    Image.MAX_IMAGE_PIXELS = _ocr.MAX_RENDER_PIXELS * 4
    try:
        imagem = Image.open(io.BytesIO(dados))
        imagem.size  # noqa: B018  (the header is read)
    except Image.DecompressionBombError as exc:
        raise LimiteImagem(f"imagem grande demais ({exc})") from None
    except Exception as exc:  # PIL.UnidentifiedImageError, a truncated header...
        raise ImagemIlegivel(f"imagem {formato} ilegível ou corrompida ({exc})") from None
    return imagem


class LimiteImagem(ValueError):
    """Uma imagem que passa dos limites de leitura."""


class ImagemIlegivel(ValueError):
    """Uma imagem que não pôde ser decodificada."""


def _quadro(imagem, indice: int):
    """The frame ``indice`` upright, in grey, within the OCR pixel limit."""
    from PIL import Image, ImageOps

    imagem.seek(indice)
    try:
        quadro = ImageOps.exif_transpose(imagem)
    except Exception:  # a broken EXIF block: the frame as stored
        quadro = imagem.copy()
    quadro = quadro.convert("L")
    largura, altura = quadro.size
    if largura * altura > _ocr.MAX_RENDER_PIXELS:
        escala = (_ocr.MAX_RENDER_PIXELS / (largura * altura)) ** 0.5
        quadro = quadro.resize((max(1, int(largura * escala)), max(1, int(altura * escala))), Image.LANCZOS)
    return quadro


def ler_imagem(caminho: Path, dados: bytes, formato: str, *, limite_paginas: int, workers: Optional[int],
               ao_ler_pagina: Optional[Callable[[int, int], None]] = None,
               progresso: Optional[Callable[[int, int], None]] = None) -> Lido:
    """O texto de cada quadro da imagem, por OCR (o chamador já sabe que o OCR pode rodar).

    ``ao_ler_pagina(indice, total)`` é chamado quando cada página vai ao OCR;
    ``progresso(lidas, total)``, a cada página lida."""
    imagem = _abrir_imagem(caminho, dados, formato)
    try:
        quadros = int(getattr(imagem, "n_frames", 1) or 1)
        if quadros > limite_paginas:
            raise LimiteImagem(f"imagem com {quadros:,} páginas; limite {limite_paginas:,}".replace(",", "."))
        inicio = time.perf_counter()

        def render(indice: int):
            if ao_ler_pagina is not None:
                ao_ler_pagina(indice, quadros)
            try:
                return _quadro(imagem, indice)
            except (OSError, ValueError, EOFError) as exc:
                raise ImagemIlegivel(f"imagem {formato} ilegível na página {indice + 1} ({exc})") from None

        textos = _ocr.read_pages(render, list(range(quadros)), workers=workers, progress=progresso)
        return Lido([textos.get(i, "") for i in range(quadros)], tuple(range(quadros)),
                    time.perf_counter() - inicio)
    finally:
        imagem.close()


# -- DOCX ---------------------------------------------------------------------------


def _texto_tabela(tabela) -> list[str]:
    """A table's text, row by row.  A row of one-line cells is one line ("Razão Social: ACME",
    cells after a label joined by a space, others by " | "); a row with cells of several lines
    (signature blocks side by side) gives each cell's lines in turn.  Merged cells count once;
    a nested table follows its cell."""
    linhas: list[str] = []
    for linha in tabela.rows:
        celulas: list[list[str]] = []
        vistas: set[int] = set()
        internas = []
        for celula in linha.cells:
            if id(celula._tc) in vistas:
                continue
            vistas.add(id(celula._tc))
            texto = [p.text.strip() for p in celula.paragraphs if p.text.strip()]
            if texto:
                celulas.append(texto)
            internas.extend(celula.tables)
        if celulas and all(len(c) == 1 for c in celulas):
            junta = celulas[0][0]
            for (anterior,), (atual,) in zip(celulas, celulas[1:]):
                junta += (" " if anterior.endswith(":") else " | ") + atual
            linhas.append(junta)
        else:
            for c in celulas:
                linhas.extend(c)
        for interna in internas:
            linhas.extend(_texto_tabela(interna))
    return linhas


def _blocos(conteiner) -> list[str]:
    """Paragraphs and tables of a body, header or footer, in document order."""
    from docx.table import Table
    from docx.text.paragraph import Paragraph

    linhas: list[str] = []
    for bloco in conteiner.iter_inner_content():
        if isinstance(bloco, Paragraph):
            linhas.append(bloco.text)
        elif isinstance(bloco, Table):
            linhas.extend(_texto_tabela(bloco))
    return linhas


def ler_docx(caminho: Path, dados: bytes) -> str:
    """O texto de um DOCX: o corpo (parágrafos e tabelas, na ordem), depois cabeçalhos e rodapés."""
    with zipfile.ZipFile(io.BytesIO(dados)) as arquivo:
        if sum(i.file_size for i in arquivo.infolist()) > DOCX_LIMITE_BYTES:
            raise LimiteImagem(f"DOCX que se expande a mais de {DOCX_LIMITE_BYTES // (1024 * 1024)} MB")
    try:
        import docx
    except ImportError:
        raise ImportError("python-docx") from None
    try:
        documento = docx.Document(io.BytesIO(dados))
    except Exception as exc:  # a part missing or malformed
        raise ImagemIlegivel(f"DOCX ilegível ou corrompido ({exc})") from None
    linhas = _blocos(documento)
    margens: list[str] = []
    vistos: set[str] = set()
    for secao in documento.sections:
        for parte in (secao.first_page_header, secao.header, secao.even_page_header,
                      secao.first_page_footer, secao.footer, secao.even_page_footer):
            if parte.is_linked_to_previous:  # no definition of its own: the previous one's, or none
                continue
            try:
                texto = "\n".join(_blocos(parte)).strip()
            except Exception:  # a header part that is not there
                continue
            if texto and texto not in vistos:
                vistos.add(texto)
                margens.append(texto)
    texto = "\n".join(linhas)
    if margens:
        texto += "\n\n" + "\n".join(margens)
    return texto


# -- the reader's entry point -------------------------------------------------------------


def ler(caminho: Path, dados: bytes, *, ocr: bool, unavailable: "Optional[str] | Callable[[], Optional[str]]",
        ocr_workers: Optional[int], max_pages: int,
        progress: Optional[Callable[[int, int], None]] = None) -> Optional[Lido]:
    """O texto de uma imagem ou de um DOCX, ou None quando o arquivo não é nenhum dos dois.

    Erros como os do leitor de PDF: ``DocumentError`` (formato não suportado, arquivo
    ilegível), ``DocumentLimitError`` (limites) e ``EmptyDocumentError`` (sem texto)."""
    from .document import DocumentError, DocumentLimitError, EmptyDocumentError

    try:
        achado = detectar(dados)
    except FormatoNaoSuportado as exc:
        raise DocumentError(f"formato não suportado: {caminho} ({exc}; aceitos: {ACEITOS})") from None
    if achado is None:
        return None
    tipo, nome = achado
    try:
        if tipo == DOCX:
            from .document import _split_text

            paginas = _split_text(ler_docx(caminho, dados))
            if len(paginas) > max_pages:
                raise LimiteImagem(f"DOCX com {len(paginas):,} blocos de texto; limite {max_pages:,}"
                                   .replace(",", "."))
            return Lido(paginas)
        if callable(unavailable):  # asked only now: the question loads Pillow and runs Tesseract
            unavailable = unavailable()
        if not ocr or unavailable is not None:
            motivo = "o OCR está desligado (SCRIVANE_OCR=0)" if not ocr else \
                f"OCR indisponível: {unavailable}; {_ocr.INSTALL_HINT}"
            raise EmptyDocumentError(
                f"Nenhum texto encontrado no documento: {caminho} (imagem {nome}: o texto de uma foto ou "
                f"digitalização só é lido por OCR, e {motivo})")

        def ao_ler(indice: int, total: int) -> None:
            from . import document

            if document.page_hook is not None:
                document.page_hook(indice, "ocr")

        try:
            return ler_imagem(caminho, dados, nome, limite_paginas=max_pages, workers=ocr_workers,
                              ao_ler_pagina=ao_ler, progresso=progress)
        except _ocr.OCRError as exc:
            raise DocumentError(f"{exc}: {caminho}") from exc
    except LimiteImagem as exc:
        raise DocumentLimitError(f"documento excede os limites de leitura ({exc}): {caminho}") from None
    except (ImagemIlegivel, FormatoNaoSuportado) as exc:
        raise DocumentError(f"{exc}: {caminho}") from None
    except ImportError as exc:
        pacote = str(exc) or "python-docx"
        extra = "docx" if "docx" in pacote else "ocr"
        raise DocumentError(f"para ler arquivos {nome} instale o suporte: pip install 'scrivane-contract[{extra}]' "
                            f"(falta o pacote {pacote}): {caminho}") from None
