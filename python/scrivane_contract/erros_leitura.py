"""Mensagens, em português, para um documento que não pôde ser lido.

The reader and the PDF library word their failures for a developer: the
server's own path, pdfium's English reason ("Failed to load document
(PDFium: Data format error)").  ``mensagem_leitura`` rewrites such a text for
the person who sent the file, naming the file as that person knows it.  It
works on the text alone, so it also serves a failure that crossed a process
boundary.
"""

from __future__ import annotations

import os
import re
from typing import Optional

__all__ = ["mensagem_leitura", "traduzir_pdfium", "NAO_E_PDF_VALIDO", "PROTEGIDO_POR_SENHA"]

NAO_E_PDF_VALIDO = "o arquivo não é um PDF válido ou está corrompido"
PROTEGIDO_POR_SENHA = ("o arquivo está protegido por senha: abra-o com a senha, salve uma cópia sem "
                       "senha e verifique a cópia")
_SEGURANCA = ("o arquivo usa uma proteção (criptografia) que não conseguimos abrir: salve uma cópia "
              "sem proteção e verifique a cópia")
_ACESSO = "não foi possível ler o arquivo"
_PAGINA = "o arquivo tem páginas corrompidas ou incompletas"

# pdfium's reasons (pypdfium2 writes "Failed to load document (PDFium: <reason>)").
_MOTIVOS_PDFIUM = (
    ("password", PROTEGIDO_POR_SENHA),
    ("security", _SEGURANCA),
    ("file access", _ACESSO),
    ("page not found", _PAGINA),
    ("content error", _PAGINA),
    ("failed to load page", _PAGINA),  # pypdfium2's own text for a page it cannot open
    ("data format", NAO_E_PDF_VALIDO),
    ("unknown error", NAO_E_PDF_VALIDO),
)


def _motivo_pdfium(texto: str) -> Optional[str]:
    minusculo = texto.casefold()
    if "pdfium" not in minusculo and "failed to load" not in minusculo:
        return None
    for chave, motivo in _MOTIVOS_PDFIUM:
        if chave in minusculo:
            return motivo
    return NAO_E_PDF_VALIDO


def mensagem_leitura(texto: str, arquivo: Optional[str] = None,
                     caminho: Optional[str | os.PathLike[str]] = None) -> str:
    """A mensagem de erro ``texto`` reescrita para quem enviou o arquivo.

    ``arquivo`` é o nome que a pessoa conhece (o do envio); ``caminho``, onde o
    arquivo estava de fato: cada menção a ele passa a ser ``arquivo``.  PDF
    protegido por senha e PDF ilegível ganham uma explicação em português (por
    exemplo "NOME: o arquivo não é um PDF válido ou está corrompido"); os
    demais textos só trocam o caminho pelo nome.
    """
    texto = " ".join(str(texto).split())
    nome = arquivo or (os.path.basename(os.fspath(caminho)) if caminho is not None else None)
    if caminho is not None and nome:
        completo = os.fspath(caminho)
        for forma in {completo, os.path.abspath(completo)}:
            if forma:
                texto = texto.replace(forma, nome)
    prefixo = f"{nome}: " if nome else ""
    if texto.startswith("PDF protegido por senha"):
        return prefixo + PROTEGIDO_POR_SENHA
    motivo = _motivo_pdfium(texto)
    if motivo is not None or texto.startswith("PDF ilegível"):
        return prefixo + (motivo or NAO_E_PDF_VALIDO)
    return texto


def traduzir_pdfium(texto: str, arquivo: Optional[str] = None) -> str:
    """``texto`` rewritten by ``mensagem_leitura`` when it carries the PDF library's English
    (whatever passed it on: a queue, the reader's process, the signature reader); else as it is."""
    minusculo = str(texto).casefold()
    if "pdfium" not in minusculo and "failed to load" not in minusculo:
        return texto
    return mensagem_leitura(texto, arquivo)
