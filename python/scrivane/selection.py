"""Choosing which pages of a long document go into one question's prompt.

When the whole text fits the token budget it is sent as it is.  Otherwise
the pages where the question's keywords occur (matched without regard to
case or accents) are taken first, most hits first, each with its
neighbours; what budget remains goes to the pages nearest the start and the
end of the document (parties are named at the start, signatures come at
the end).  Omitted stretches are marked in the text, so the model knows it
sees part of the document.
"""

from __future__ import annotations

import unicodedata
from dataclasses import dataclass
from typing import Iterable, Sequence

try:  # keyword counts in C++; the pure-Python count below gives the same numbers
    from ._selection import keyword_hits as _keyword_hits
except ImportError:  # running from a source tree without the built module
    _keyword_hits = None

__all__ = ["Selection", "estimate_tokens", "fold", "select_pages"]

PAGE_SEPARATOR = "\n\n"


def estimate_tokens(text: str) -> int:
    """Rough token count: about four characters per token."""
    return (len(text) + 3) // 4


def fold(text: str) -> str:
    """Lower case without accents, for keyword matching."""
    decomposed = unicodedata.normalize("NFD", text)
    return "".join(c for c in decomposed if unicodedata.category(c) != "Mn").casefold()


@dataclass(frozen=True)
class Selection:
    text: str
    pages: tuple[int, ...]  # zero-based indices of the pages sent, ascending
    total_pages: int
    narrowed: bool  # False when the whole document is sent
    truncated: bool = False  # a single page had to be cut to fit

    @property
    def estimated_tokens(self) -> int:
        return estimate_tokens(self.text)


def _page_header(index: int) -> str:
    return f"[Página {index + 1}]\n"


def _gap_marker(first: int, last: int) -> str:
    if first == last:
        return f"[... página {first + 1} omitida ...]"
    return f"[... páginas {first + 1} a {last + 1} omitidas ...]"


def _render(pages: Sequence[str], chosen: Iterable[int]) -> str:
    parts: list[str] = []
    previous = -1
    ordered = sorted(chosen)
    for index in ordered:
        if index > previous + 1:
            parts.append(_gap_marker(previous + 1, index - 1))
        parts.append(_page_header(index) + pages[index])
        previous = index
    if ordered and ordered[-1] < len(pages) - 1:
        parts.append(_gap_marker(ordered[-1] + 1, len(pages) - 1))
    return PAGE_SEPARATOR.join(parts)


def _hits(page: str, keywords: Sequence[str]) -> int:
    folded = fold(page)
    return sum(folded.count(k) for k in keywords)


def page_hits(pages: Sequence[str], keywords: Sequence[str]) -> list[int]:
    """Ocorrências das ``keywords`` (já normalizadas, não vazias) em cada página normalizada."""
    if not keywords:
        return [0] * len(pages)
    if _keyword_hits is not None:
        return _keyword_hits(list(pages), list(keywords))
    return [_hits(page, keywords) for page in pages]


def select_pages(pages: Sequence[str], keywords: Iterable[str], budget_tokens: int) -> Selection:
    """The text to send for one question, within ``budget_tokens``."""
    # The length of the whole text, without building it for a long document.
    length = sum(map(len, pages)) + len(PAGE_SEPARATOR) * max(0, len(pages) - 1)
    if (length + 3) // 4 <= budget_tokens:
        whole = PAGE_SEPARATOR.join(pages)
        return Selection(whole, tuple(range(len(pages))), len(pages), narrowed=False)

    folded_keywords = [k for k in (fold(k).strip() for k in keywords) if k]
    hits = page_hits(pages, folded_keywords)
    n = len(pages)
    # Room a page takes in the rendered text: header, separator and a share
    # of the omission markers.
    overhead = estimate_tokens(_page_header(n) + PAGE_SEPARATOR + _gap_marker(n, n) + PAGE_SEPARATOR)
    cost = [estimate_tokens(p) + overhead for p in pages]

    chosen: set[int] = set()
    remaining = budget_tokens - overhead  # the trailing omission marker

    def take(index: int) -> None:
        nonlocal remaining
        if 0 <= index < n and index not in chosen and cost[index] <= remaining:
            chosen.add(index)
            remaining -= cost[index]

    by_hits = sorted((i for i in range(n) if hits[i]), key=lambda i: (-hits[i], i))
    for index in by_hits:
        take(index)
        if index in chosen:
            take(index - 1)
            take(index + 1)
    # Fill what is left from both ends inwards.
    for k in range((n + 1) // 2):
        take(k)
        take(n - 1 - k)

    if chosen:
        return Selection(_render(pages, chosen), tuple(sorted(chosen)), n, narrowed=True)

    # Not even one page fits: cut the most relevant one, and say so.
    best = by_hits[0] if by_hits else 0
    room_chars = max(0, (budget_tokens - 3 * overhead) * 4)
    cut = list(pages)
    cut[best] = pages[best][:room_chars] + "\n[... texto da página cortado ...]"
    return Selection(_render(cut, [best]), (best,), n, narrowed=True, truncated=True)
