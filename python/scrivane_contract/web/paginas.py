"""Uma página do contrato desenhada pelo PDFium, para mostrar onde um valor foi lido.

O serviço não guarda o contrato depois da verificação: a página que a mostra
envia de novo o arquivo que ainda tem, e recebe a imagem de uma página, em
resolução de tela, com o tamanho da página em pontos (para desenhar por cima
a caixa de uma evidência).
"""

from __future__ import annotations

import io
from pathlib import Path

__all__ = ["renderizar_pagina", "PaginaInexistente", "ESCALA_PADRAO", "LADO_MAXIMO"]

# About 108 dpi: a page of text readable on a screen.
ESCALA_PADRAO = 1.5
# No side of the image is larger than this many pixels, whatever the page's declared size.
LADO_MAXIMO = 2400


class PaginaInexistente(LookupError):
    """O documento não tem a página pedida."""


def renderizar_pagina(caminho: str | Path, numero: int, escala: float = ESCALA_PADRAO) -> tuple[bytes, float, float]:
    """A página ``numero`` (a partir de 1) do PDF em ``caminho`` como PNG, com a largura e a altura da
    página em pontos."""
    import pypdfium2 as pdfium

    from scrivane.document import _PDFIUM_LOCK

    escala = min(max(float(escala), 0.25), 4.0)
    with _PDFIUM_LOCK:  # pdfium is not thread-safe
        pdf = pdfium.PdfDocument(str(caminho))
        try:
            if not 1 <= numero <= len(pdf):
                raise PaginaInexistente(f"o documento tem {len(pdf)} página(s); não há a página {numero}")
            if pdf.get_formtype():
                pdf.init_forms()  # form fields drawn with their values
            pagina = pdf[numero - 1]
            try:
                largura, altura = pagina.get_size()
                escala = min(escala, LADO_MAXIMO / max(largura, altura, 1.0))
                imagem = pagina.render(scale=escala, may_draw_forms=True).to_pil()
            finally:
                pagina.close()
        finally:
            pdf.close()
    saida = io.BytesIO()
    imagem.save(saida, format="PNG")
    return saida.getvalue(), float(largura), float(altura)
