"""PDFs as scanners, signing tools and form editors write them, built on the fly for the reader's
tests and benchmarks: image-only scans of a text PDF (noise, a small rotation), a signature stamp and
a filled form field in annotations, password protection."""

from __future__ import annotations

import random

import pikepdf
import pypdfium2 as pdfium
from PIL import Image, ImageFilter
from rapidfuzz.distance import Levenshtein

SCAN_DPI = 300


def scan_images(text_pdf, *, noisy=(), dpi=SCAN_DPI, seed=11):
    """One grayscale image per page of ``text_pdf``; the pages whose index is in ``noisy`` get
    sensor noise, dust specks, a slight blur and a small rotation, as a cheap scanner gives them."""
    rng = random.Random(seed)
    pdf = pdfium.PdfDocument(str(text_pdf))
    images = []
    try:
        for index in range(len(pdf)):
            page = pdf[index]
            image = page.render(scale=dpi / 72, grayscale=True).to_pil()
            page.close()
            if index in noisy:
                image = image.rotate(rng.uniform(0.8, 1.5) * rng.choice((-1, 1)), resample=Image.BICUBIC,
                                     fillcolor=255)
                noise = Image.effect_noise(image.size, 40).convert("L")
                image = Image.blend(image, noise, 0.25)
                pixels = image.load()
                width, height = image.size
                for _ in range(width * height // 1000):
                    pixels[rng.randrange(width), rng.randrange(height)] = rng.choice((0, 255))
                image = image.filter(ImageFilter.GaussianBlur(0.6))
            images.append(image)
    finally:
        pdf.close()
    return images


def write_image_pdf(path, images, dpi=SCAN_DPI):
    """An image-only PDF (no text layer), one page per image."""
    first, *rest = images
    first.save(path, "PDF", resolution=dpi, save_all=True, append_images=rest)
    return path


def write_scanned_pdf(path, text_pdf, *, noisy=(), turned=None, seed=11):
    """Scan of ``text_pdf``; ``turned`` maps page indices to the angle they were fed in at (90, 180, 270)."""
    images = scan_images(text_pdf, noisy=noisy, seed=seed)
    for index, angle in (turned or {}).items():
        images[index] = images[index].rotate(angle, expand=True)
    return write_image_pdf(path, images)


def merge_pdfs(path, *sources):
    """The pages of ``sources`` in order, in one PDF."""
    out = pikepdf.new()
    for source in sources:
        with pikepdf.open(source) as src:
            out.pages.extend(src.pages)
    out.save(path)
    return path


def add_footer(path, source, text, page=-1, invisible=False):
    """``source`` with one line of text added at the foot of a page, as signing services stamp scans
    (``invisible``: in text render mode 3, in the text layer only, never drawn)."""
    import ctypes

    import pypdfium2.raw as pdfium_c

    pdf = pdfium.PdfDocument(str(source))
    target = pdf[page if page >= 0 else len(pdf) + page]
    obj = pdfium_c.FPDFPageObj_NewTextObj(pdf.raw, b"Helvetica", ctypes.c_float(8))
    encoded = (text + "\x00").encode("utf-16-le")
    buffer = ctypes.create_string_buffer(encoded, len(encoded))
    pdfium_c.FPDFText_SetText(obj, ctypes.cast(buffer, ctypes.POINTER(pdfium_c.FPDF_WCHAR)))
    if invisible:
        pdfium_c.FPDFTextObj_SetTextRenderMode(obj, pdfium_c.FPDF_TEXTRENDERMODE_INVISIBLE)
    pdfium_c.FPDFPageObj_Transform(obj, 1, 0, 0, 1, 40, 20)
    pdfium_c.FPDFPage_InsertObject(target.raw, obj)
    pdfium_c.FPDFPage_GenerateContent(target.raw)
    target.close()
    pdf.save(str(path))
    pdf.close()
    return path


def _appearance(pdf, lines, width, height):
    font = pdf.make_indirect(pikepdf.Dictionary(Type=pikepdf.Name.Font, Subtype=pikepdf.Name.Type1,
                                                BaseFont=pikepdf.Name.Helvetica,
                                                Encoding=pikepdf.Name.WinAnsiEncoding))
    escaped = [line.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)") for line in lines]
    ops = f"BT /F1 9 Tf 2 {height - 11} Td 11 TL " + " ".join(f"({line}) Tj T*" for line in escaped) + " ET"
    stream = pikepdf.Stream(pdf, ops.encode("cp1252"))
    stream.Type, stream.Subtype = pikepdf.Name.XObject, pikepdf.Name.Form
    stream.BBox = [0, 0, width, height]
    stream.Resources = pikepdf.Dictionary(Font=pikepdf.Dictionary(F1=font))
    return stream


def add_stamp_and_field(path, text_pdf, stamp_lines, field_value, page=-1):
    """``text_pdf`` with a visible signature stamp (a Stamp annotation) and a filled text field
    (a Widget) on one page: their text lives only in the annotations' appearance streams."""
    with pikepdf.open(text_pdf) as pdf:
        target = pdf.pages[page]
        stamp = pdf.make_indirect(pikepdf.Dictionary(
            Type=pikepdf.Name.Annot, Subtype=pikepdf.Name.Stamp, Rect=[50, 560, 400, 600], F=4,
            AP=pikepdf.Dictionary(N=_appearance(pdf, stamp_lines, 350, 40))))
        field = pdf.make_indirect(pikepdf.Dictionary(
            Type=pikepdf.Name.Annot, Subtype=pikepdf.Name.Widget, FT=pikepdf.Name.Tx, T=pikepdf.String("nome"),
            V=pikepdf.String(field_value), Rect=[50, 500, 400, 520], F=4,
            AP=pikepdf.Dictionary(N=_appearance(pdf, [field_value], 350, 20))))
        target.Annots = pdf.make_indirect(pikepdf.Array([stamp, field]))
        pdf.Root.AcroForm = pikepdf.Dictionary(Fields=pikepdf.Array([field]))
        pdf.save(path)
    return path


def protect(path, text_pdf, user_password, owner_password="dono"):
    with pikepdf.open(text_pdf) as pdf:
        pdf.save(path, encryption=pikepdf.Encryption(user=user_password, owner=owner_password))
    return path


def cer(read: str, truth: str) -> float:
    """Character error rate of ``read`` against ``truth``, whitespace runs counted as one space."""
    a, b = " ".join(read.split()), " ".join(truth.split())
    return Levenshtein.distance(a, b) / max(1, len(b))


def add_text_lines(path, source, lines, page=-1, size=8, invisible=False, top=None):
    """``source`` with lines of text added to a page (at its foot, or from ``top`` down): the
    authentication stamp a case-file system prints on every page of a scan, or (``invisible``)
    the hidden text layer a scanner's own OCR lays over the image."""
    import ctypes

    import pypdfium2.raw as pdfium_c

    pdf = pdfium.PdfDocument(str(source))
    target = pdf[page if page >= 0 else len(pdf) + page]
    for n, line in enumerate(lines):
        obj = pdfium_c.FPDFPageObj_NewTextObj(pdf.raw, b"Helvetica", ctypes.c_float(size))
        encoded = (line + "\x00").encode("utf-16-le")
        buffer = ctypes.create_string_buffer(encoded, len(encoded))
        pdfium_c.FPDFText_SetText(obj, ctypes.cast(buffer, ctypes.POINTER(pdfium_c.FPDF_WCHAR)))
        if invisible:
            pdfium_c.FPDFTextObj_SetTextRenderMode(obj, pdfium_c.FPDF_TEXTRENDERMODE_INVISIBLE)
        y = (top - (size + 3) * n) if top is not None else 20 + (size + 2) * (len(lines) - 1 - n)
        pdfium_c.FPDFPageObj_Transform(obj, 1, 0, 0, 1, 40, y)
        pdfium_c.FPDFPage_InsertObject(target.raw, obj)
    pdfium_c.FPDFPage_GenerateContent(target.raw)
    target.close()
    pdf.save(str(path))
    pdf.close()
    return path


def write_curves_pdf(path, pages, size=11):
    """A PDF whose text is drawn as vector shapes, one path per glyph, with no text layer and no
    image (what "convert text to outlines" in a layout program leaves)."""
    import pypdfium2.raw as pdfium_c
    from PIL import ImageFont

    scale = 4  # glyphs drawn from masks of 4 pixels per point
    font = ImageFont.load_default(size=size * scale)
    doc = pdfium.PdfDocument.new()
    for text in pages:
        page = doc.new_page(595, 842)
        for line_no, line in enumerate(text.split("\n")):
            x = 50.0
            baseline = 800 - 15 * line_no
            for ch in line:
                advance = font.getlength(ch) / scale
                mask = font.getmask(ch)
                width, height = mask.size
                left, top = font.getbbox(ch)[:2]
                runs = []
                for row in range(height):
                    col = 0
                    while col < width:
                        if mask.getpixel((col, row)) > 127:
                            start = col
                            while col < width and mask.getpixel((col, row)) > 127:
                                col += 1
                            runs.append((start, row, col))
                        col += 1
                if runs:
                    shape = None
                    ascent = font.getmetrics()[0]
                    for start, row, end in runs:
                        x0 = x + (left + start) / scale
                        x1 = x + (left + end) / scale
                        y1 = baseline + (ascent - top - row) / scale
                        y0 = y1 - 1 / scale
                        if shape is None:
                            shape = pdfium_c.FPDFPageObj_CreateNewPath(x0, y0)
                        else:
                            pdfium_c.FPDFPath_MoveTo(shape, x0, y0)
                        pdfium_c.FPDFPath_LineTo(shape, x1, y0)
                        pdfium_c.FPDFPath_LineTo(shape, x1, y1)
                        pdfium_c.FPDFPath_LineTo(shape, x0, y1)
                        pdfium_c.FPDFPath_Close(shape)
                    pdfium_c.FPDFPageObj_SetFillColor(shape, 0, 0, 0, 255)
                    pdfium_c.FPDFPath_SetDrawMode(shape, pdfium_c.FPDF_FILLMODE_WINDING, False)
                    pdfium_c.FPDFPage_InsertObject(page.raw, shape)
                x += advance
        pdfium_c.FPDFPage_GenerateContent(page.raw)
        page.close()
    doc.save(str(path))
    doc.close()
    return path


def add_logo(path, source, page=0, size=(120, 60)):
    """``source`` with a small picture (a letterhead's logo) at the top of a page."""
    from PIL import Image, ImageDraw

    logo = Image.new("RGB", (size[0] * 2, size[1] * 2), "white")
    draw = ImageDraw.Draw(logo)
    draw.ellipse((10, 10, size[1] * 2 - 10, size[1] * 2 - 10), fill=(20, 70, 160))
    draw.rectangle((size[1] * 2, 40, size[0] * 2 - 10, size[1] * 2 - 40), fill=(200, 40, 40))
    pdf = pdfium.PdfDocument(str(source))
    target = pdf[page]
    image = pdfium.PdfImage.new(pdf)
    image.set_bitmap(pdfium.PdfBitmap.from_pil(logo))
    width, height = target.get_size()
    image.set_matrix(pdfium.PdfMatrix().scale(size[0], size[1]).translate(width - size[0] - 40, height - size[1] - 20))
    target.insert_obj(image)
    target.gen_content()
    target.close()
    pdf.save(str(path))
    pdf.close()
    return path
