"""Text about to reach a terminal or a log, with what is not printable made visible.

One sanitiser for everything the command line prints: ``escapar_controles``
writes what is not printable (controls, line breaks, bidi marks) as visible
escapes; ``para_terminal`` also cuts a long value to a readable length (the
full value stays in the JSON and in the history); ``TerminalSeguro`` wraps
an output stream so that nothing written to it (the library's report, a
message built anywhere) can move the cursor, retitle the window or hide text.
"""

from __future__ import annotations

import contextlib
import io
import sys
from typing import IO, Any, Iterator, Optional

__all__ = ["escapar_controles", "para_terminal", "json_sem_controles", "TerminalSeguro", "terminal_seguro",
           "linhas_curtas", "bruto", "LIMITE_TERMINAL", "LIMITE_LINHA"]

# Characters of one value (a name, an address, a file name) on the terminal.
LIMITE_TERMINAL = 200
# Characters of one line of the library's report (a label and a value or two).
LIMITE_LINHA = 500


def _escape(ch: str) -> str:
    c = ord(ch)
    return f"\\x{c:02x}" if c < 0x100 else f"\\u{c:04x}" if c < 0x10000 else f"\\U{c:08x}"


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
            saida.append(_escape(ch))
    return "".join(saida)


def _cortar(texto: str, limite: int) -> str:
    if len(texto) <= limite:
        return texto
    return f"{texto[:limite]}… (+{len(texto) - limite} caracteres)"


def para_terminal(valor: object, limite: int = LIMITE_TERMINAL) -> str:
    """Um valor pronto para o terminal: numa linha, sem caracteres de controle, cortado em ``limite`` caracteres."""
    return _cortar(escapar_controles(valor), limite)


def json_sem_controles(texto: str) -> str:
    """JSON (de ``json.dumps``) com cada caractere não imprimível escrito como ``\\uXXXX``.

    O significado não muda (só strings JSON podem conter tais caracteres), e a
    linha chega ao terminal sem nada que ele interprete.
    """
    if texto.isprintable():
        return texto
    saida = []
    for ch in texto:
        if ch.isprintable() or ch == "\n":
            saida.append(ch)
        else:
            c = ord(ch)
            if c < 0x10000:
                saida.append(f"\\u{c:04x}")
            else:
                c -= 0x10000
                saida.append(f"\\u{0xD800 + (c >> 10):04x}\\u{0xDC00 + (c & 0x3FF):04x}")
    return "".join(saida)


class TerminalSeguro(io.TextIOBase):
    """A text stream in front of another: whatever is not printable (except line breaks and tabs) is
    written as a visible escape; with ``limite_linha``, each line is cut at that many characters."""

    def __init__(self, fluxo: IO[str], limite_linha: Optional[int] = None) -> None:
        self.fluxo = fluxo
        self.limite_linha = limite_linha
        self._coluna = 0
        self._cortada = False

    def _limpar(self, parte: str) -> str:
        if parte.isprintable() or all(ch.isprintable() or ch == "\t" for ch in parte):
            return parte
        return "".join(ch if ch.isprintable() or ch == "\t" else _escape(ch) for ch in parte)

    def _linha(self, parte: str) -> str:
        parte = self._limpar(parte)
        if self.limite_linha is None:
            return parte
        resto = self.limite_linha - self._coluna
        self._coluna += len(parte)
        if resto >= len(parte):
            return parte
        if self._cortada:
            return ""
        self._cortada = True
        return parte[:max(resto, 0)] + "… (linha cortada)"

    def write(self, texto: str) -> int:
        partes = str(texto).split("\n")
        saida = []
        for i, parte in enumerate(partes):
            if i:
                saida.append("\n")
                self._coluna, self._cortada = 0, False
            saida.append(self._linha(parte))
        self.fluxo.write("".join(saida))
        return len(texto)

    def flush(self) -> None:
        if not getattr(self.fluxo, "closed", False):
            self.fluxo.flush()

    def close(self) -> None:
        # The stream underneath is not ours to close (nor to flush once its owner closed it).
        pass

    def isatty(self) -> bool:
        return bruto(self.fluxo).isatty()

    def fileno(self) -> int:
        return self.fluxo.fileno()

    def writable(self) -> bool:
        return True

    @property
    def encoding(self) -> str:  # type: ignore[override]
        return getattr(self.fluxo, "encoding", None) or "utf-8"

    @property
    def errors(self) -> Optional[str]:  # type: ignore[override]
        return getattr(self.fluxo, "errors", None)

    def __getattr__(self, nome: str) -> Any:
        return getattr(self.fluxo, nome)


def bruto(fluxo: Any) -> Any:
    """The stream under any ``TerminalSeguro`` (for writers that escape their own values, such as rich)."""
    while isinstance(fluxo, TerminalSeguro):
        fluxo = fluxo.fluxo
    return fluxo


@contextlib.contextmanager
def terminal_seguro() -> Iterator[None]:
    """Standard output and standard error pass through ``TerminalSeguro`` while the block runs."""
    saida, erro = sys.stdout, sys.stderr
    sys.stdout = TerminalSeguro(saida) if saida is not None and not isinstance(saida, TerminalSeguro) else saida
    sys.stderr = TerminalSeguro(erro) if erro is not None and not isinstance(erro, TerminalSeguro) else erro
    try:
        yield
    finally:
        with contextlib.suppress(Exception):
            sys.stdout.flush()
        sys.stdout, sys.stderr = saida, erro


@contextlib.contextmanager
def linhas_curtas(limite: int = LIMITE_LINHA) -> Iterator[None]:
    """Standard output cut at ``limite`` characters per line (and escaped) while the block runs:
    for the library's report, whose lines carry registry values of any length."""
    anterior = sys.stdout
    sys.stdout = TerminalSeguro(anterior, limite_linha=limite)
    try:
        yield
    finally:
        with contextlib.suppress(Exception):
            sys.stdout.flush()
        sys.stdout = anterior
