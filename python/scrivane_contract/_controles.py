"""Text about to reach a terminal or a log, with what is not printable made visible."""

from __future__ import annotations

__all__ = ["escapar_controles"]


def escapar_controles(texto: object, aspas: bool = False) -> str:
    """O texto com caracteres não imprimíveis (controles, quebras de linha, bidi) escritos como \\xNN/\\uNNNN.

    Com ``aspas``, também ``"`` e ``\\`` ganham uma barra: cada linha de log fica uma só e sem ambiguidade.
    """
    texto = str(texto)
    if texto.isprintable() and not (aspas and ('"' in texto or "\\" in texto)):
        return texto
    saida = []
    for ch in texto:
        if aspas and ch in '"\\':
            saida.append("\\" + ch)
        elif ch.isprintable():
            saida.append(ch)
        else:
            c = ord(ch)
            saida.append(f"\\x{c:02x}" if c < 0x100 else f"\\u{c:04x}" if c < 0x10000 else f"\\U{c:08x}")
    return "".join(saida)
