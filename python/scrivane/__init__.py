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

from .document import DocumentError, EmptyDocumentError, read_document
from .engine import Answer, Metrics, Question, QuestionConfig, RunResult, Scrivane

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
