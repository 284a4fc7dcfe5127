"""scrivane: structured answers about a document from a language model.

    from scrivane import Scrivane, Question, QuestionConfig

    engine = Scrivane(openai_api_key="...", model="gpt-4o")
    engine.add_question(Question(
        config=QuestionConfig(id="partes", name="Partes", tag="partes"),
        system_prompt="Você extrai dados de contratos.",
        user_prompt="Liste as partes:\n\n{texto}",
        keywords=["contratante", "contratada"],
        response_model=MinhasPartes,      # a pydantic model
    ))
    run = engine.process("contrato.pdf")
    answer = run.get_result("partes")     # None when there is no answer
    answer.raw_result                     # dict shaped by MinhasPartes
    run.total_metrics.tokens, run.total_metrics.cost_usd, run.total_metrics.time_seconds
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .document import DocumentError, EmptyDocumentError, read_document
    from .engine import Answer, Metrics, Question, QuestionConfig, RunResult, Scrivane

# Loaded on first use: reading signatures or a document needs neither the
# engine nor pydantic.
_EXPORTS = {
    "Scrivane": "engine",
    "Question": "engine",
    "QuestionConfig": "engine",
    "RunResult": "engine",
    "Answer": "engine",
    "Metrics": "engine",
    "DocumentError": "document",
    "EmptyDocumentError": "document",
    "read_document": "document",
}

__all__ = [
    "Scrivane",
    "Question",
    "QuestionConfig",
    "RunResult",
    "Answer",
    "Metrics",
    "DocumentError",
    "EmptyDocumentError",
    "read_document",
]


def __getattr__(name: str):
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{module}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
