"""Model prices and context sizes.

Prices are list prices in US dollars per one million tokens (input, output)
as published by OpenAI on the date below; Azure OpenAI global deployments
charge the same.  A model is looked up by exact name first; a dated
snapshot ("gpt-4o-2024-08-06", "gpt-3.5-turbo-0125") not listed itself then
takes its family's entry.  Any other name is missing from the table, even
when it starts with a known one: "o1-mini" or "o3-pro" are priced quite
unlike "o1" or "o3".
"""

from __future__ import annotations

import re
from typing import Optional

__all__ = [
    "PRICES_AS_OF",
    "PRICES_PER_MILLION",
    "CONTEXT_TOKENS",
    "DEFAULT_CONTEXT_TOKENS",
    "price_for",
    "context_tokens_for",
    "cost_usd",
]

PRICES_AS_OF = "2025-08-07"

# model: (USD per 1M input tokens, USD per 1M output tokens)
PRICES_PER_MILLION: dict[str, tuple[float, float]] = {
    "gpt-4o": (2.50, 10.00),
    "gpt-4o-2024-05-13": (5.00, 15.00),
    "gpt-4o-mini": (0.15, 0.60),
    "gpt-4.1": (2.00, 8.00),
    "gpt-4.1-mini": (0.40, 1.60),
    "gpt-4.1-nano": (0.10, 0.40),
    "gpt-4-turbo": (10.00, 30.00),
    "gpt-3.5-turbo": (0.50, 1.50),
    "o1": (15.00, 60.00),
    "o3": (2.00, 8.00),
    "o3-mini": (1.10, 4.40),
    "o4-mini": (1.10, 4.40),
    "gpt-5": (1.25, 10.00),
    "gpt-5-mini": (0.25, 2.00),
    "gpt-5-nano": (0.05, 0.40),
}

CONTEXT_TOKENS: dict[str, int] = {
    "gpt-4o": 128_000,
    "gpt-4o-mini": 128_000,
    "gpt-4.1": 1_047_576,
    "gpt-4.1-mini": 1_047_576,
    "gpt-4.1-nano": 1_047_576,
    "gpt-4-turbo": 128_000,
    "gpt-3.5-turbo": 16_385,
    "o1": 200_000,
    "o3": 200_000,
    "o3-mini": 200_000,
    "o4-mini": 200_000,
    "gpt-5": 400_000,
    "gpt-5-mini": 400_000,
    "gpt-5-nano": 400_000,
}

DEFAULT_CONTEXT_TOKENS = 128_000


# "-2024-08-06" or "-0125" at the end of a model name: a dated snapshot.
_SNAPSHOT_SUFFIX = re.compile(r"-(?:\d{4}-\d{2}-\d{2}|\d{4})$")


def _lookup(table: dict, model: str):
    if model in table:
        return table[model]
    family = _SNAPSHOT_SUFFIX.sub("", model)
    return table.get(family) if family != model else None


def price_for(model: str) -> Optional[tuple[float, float]]:
    """(input, output) USD per 1M tokens, or None for a model not in the table."""
    return _lookup(PRICES_PER_MILLION, model)


def context_tokens_for(model: str) -> int:
    found = _lookup(CONTEXT_TOKENS, model)
    return found if found is not None else DEFAULT_CONTEXT_TOKENS


def cost_usd(model: str, input_tokens: int, output_tokens: int) -> float:
    price = price_for(model)
    if price is None:
        return 0.0
    return (input_tokens * price[0] + output_tokens * price[1]) / 1_000_000
