"""Text PDFs built on the fly for tests and benchmarks."""

import ctypes

import pypdfium2 as pdfium
import pypdfium2.raw as pdfium_c


def write_text_pdf(path, pages):
    """A PDF with one page per text (Helvetica; an empty text gives a page without text)."""
    doc = pdfium.PdfDocument.new()
    for text in pages:
        page = doc.new_page(595, 842)
        for line_no, line in enumerate(text.split("\n") if text else []):
            obj = pdfium_c.FPDFPageObj_NewTextObj(doc.raw, b"Helvetica", ctypes.c_float(11))
            encoded = (line + "\x00").encode("utf-16-le")
            buffer = ctypes.create_string_buffer(encoded, len(encoded))
            pdfium_c.FPDFText_SetText(obj, ctypes.cast(buffer, ctypes.POINTER(pdfium_c.FPDF_WCHAR)))
            pdfium_c.FPDFPageObj_Transform(obj, 1, 0, 0, 1, 50, 800 - 14 * line_no)
            pdfium_c.FPDFPage_InsertObject(page.raw, obj)
        pdfium_c.FPDFPage_GenerateContent(page.raw)
        page.close()
    doc.save(str(path))
    doc.close()
    return path


def write_laid_out_pdf(path, pages, size=11):
    """A PDF whose pages place each text where told: a page is a list of (x, y, text), with x and y
    in points from the page's top-left corner (y: the text's baseline)."""
    doc = pdfium.PdfDocument.new()
    for items in pages:
        page = doc.new_page(595, 842)
        for x, y, text in items:
            obj = pdfium_c.FPDFPageObj_NewTextObj(doc.raw, b"Helvetica", ctypes.c_float(size))
            encoded = (text + "\x00").encode("utf-16-le")
            buffer = ctypes.create_string_buffer(encoded, len(encoded))
            pdfium_c.FPDFText_SetText(obj, ctypes.cast(buffer, ctypes.POINTER(pdfium_c.FPDF_WCHAR)))
            pdfium_c.FPDFPageObj_Transform(obj, 1, 0, 0, 1, x, 842 - y)
            pdfium_c.FPDFPage_InsertObject(page.raw, obj)
        pdfium_c.FPDFPage_GenerateContent(page.raw)
        page.close()
    doc.save(str(path))
    doc.close()
    return path
