"""The extraction engine: registered questions put to a language model about one document."""

from __future__ import annotations

import json
import os
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any, Optional

from pydantic import BaseModel, ValidationError

from . import grounding, pricing
from .document import Document
from .isolation import escape_for_log, read_isolated
from .schema import schema_name, strict_json_schema
from .selection import Selection, estimate_tokens, select_pages

__all__ = ["QuestionConfig", "Question", "Metrics", "Answer", "RunResult", "Scrivane", "PLACEHOLDER", "reading_kept"]

PLACEHOLDER = "{texto}"
PROVIDERS = ("openai", "azure", "local")
# Chooses the provider when the constructor is given none.
ENV_PROVIDER = "SCRIVANE_PROVIDER"
DEFAULT_MODEL = "gpt-4o"
DEFAULT_AZURE_API_VERSION = "2024-02-15-preview"
DEFAULT_TIMEOUT = 120.0
DEFAULT_MAX_RETRIES = 4
# Tokens kept free for the answer, at most a quarter of the context.
OUTPUT_RESERVE_TOKENS = 8_000
# A refused or malformed answer is asked this many times in all.
ATTEMPTS = 2


def _br(valor: float, casas: int = 0) -> str:
    """A number written the Brazilian way: 2.817, 0,0123, 12,3."""
    texto = f"{valor:,.{casas}f}"
    return texto.replace(",", "\0").replace(".", ",").replace("\0", ".")


@dataclass(frozen=True)
class QuestionConfig:
    id: str
    name: str
    tag: str

    def __post_init__(self) -> None:
        for attr in ("id", "name", "tag"):
            if not isinstance(getattr(self, attr), str):
                raise TypeError(f"QuestionConfig.{attr} must be str, got {type(getattr(self, attr)).__name__}")
        if not self.id:
            raise ValueError("QuestionConfig.id must not be empty")


@dataclass
class Question:
    """One question: prompts, keywords locating its answer, and the shape of the answer.

    ``user_prompt`` holds the placeholder ``{texto}`` where the document's text
    goes; a prompt without it gets the text appended after a blank line.
    """

    config: QuestionConfig
    system_prompt: str
    user_prompt: str
    keywords: list[str] = field(default_factory=list)
    response_model: type[BaseModel] = None  # type: ignore[assignment]

    def __post_init__(self) -> None:
        if not isinstance(self.config, QuestionConfig):
            raise TypeError(f"Question.config must be a QuestionConfig, got {type(self.config).__name__}")
        for attr in ("system_prompt", "user_prompt"):
            if not isinstance(getattr(self, attr), str):
                raise TypeError(f"Question.{attr} must be str")
        keywords = list(self.keywords)
        if not all(isinstance(k, str) for k in keywords):
            raise TypeError("Question.keywords must be texts")
        self.keywords = keywords
        if not (isinstance(self.response_model, type) and issubclass(self.response_model, BaseModel)):
            raise TypeError("Question.response_model must be a pydantic model class")

    @property
    def id(self) -> str:
        return self.config.id

    def render_user_prompt(self, text: str) -> str:
        # str.replace, not str.format: contract text and prompts may hold braces.
        if PLACEHOLDER in self.user_prompt:
            return self.user_prompt.replace(PLACEHOLDER, text)
        return f"{self.user_prompt}\n\n{text}"


@dataclass
class Metrics:
    input_tokens: int = 0
    output_tokens: int = 0
    cost_usd: float = 0.0
    time_seconds: float = 0.0
    calls: int = 0

    @property
    def tokens(self) -> int:
        return self.input_tokens + self.output_tokens

    def add(self, other: "Metrics") -> None:
        self.input_tokens += other.input_tokens
        self.output_tokens += other.output_tokens
        self.cost_usd += other.cost_usd
        self.calls += other.calls


@dataclass
class Answer:
    """A question's validated answer."""

    question_id: str
    raw_result: dict[str, Any]
    result: BaseModel
    metrics: Metrics
    attempts: int
    pages: tuple[int, ...]  # zero-based pages sent to the model
    narrowed: bool  # only part of the document was sent


@dataclass
class RunResult:
    """Outcome of one ``Scrivane.process`` call."""

    document: str
    page_count: int
    results: dict[str, Answer]
    failures: dict[str, str]  # question id -> why it has no answer
    total_metrics: Metrics
    ocr_pages: tuple[int, ...] = ()  # zero-based pages read by OCR
    unread_pages: tuple[int, ...] = ()  # zero-based scanned pages left unread (OCR off or unavailable)
    ocr_seconds: float = 0.0  # part of total_metrics.time_seconds
    grounding_seconds: float = 0.0  # locating the answers' values in the pages; part of time_seconds

    def get_result(self, question_id: str) -> Optional[Answer]:
        """The answer to ``question_id``, or None when the question has none."""
        return self.results.get(question_id)


def _as_json_mode(request: dict[str, Any]) -> dict[str, Any]:
    """The same request in JSON mode, the schema moved into the system prompt."""
    schema = request["response_format"]["json_schema"]["schema"]
    system, *rest = request["messages"]
    instructions = (
        f"{system['content']}\n\nResponda somente com um objeto JSON que siga exatamente este JSON Schema:\n"
        f"{json.dumps(schema, ensure_ascii=False)}"
    )
    return {
        **request,
        "messages": [{"role": "system", "content": instructions}, *rest],
        "response_format": {"type": "json_object"},
    }


class reading_kept:
    """Contexto em que ``Scrivane.process``, nesta thread, guarda o documento que leu.

        with reading_kept() as lido:
            engine.process("contrato.pdf")
        lido.document     # o Document lido (None se a leitura falhou)
        lido.identity     # (dispositivo, inode, tamanho, mtime_ns) do arquivo antes da leitura
        lido.is_contract  # o "eh_contrato" das regras locais, quando foram elas que responderam

    Quem olha o mesmo arquivo logo depois (por exemplo, para dizer se ele parece um contrato)
    não precisa lê-lo de novo.  Fora deste contexto nada é guardado.
    """

    def __init__(self) -> None:
        self.document: Optional[Document] = None
        self.identity: Optional[tuple[int, int, int, int]] = None
        self.is_contract: Optional[bool] = None
        self._before: Optional["reading_kept"] = None

    def __enter__(self) -> "reading_kept":
        self._before = getattr(_kept, "current", None)
        _kept.current = self
        return self

    def __exit__(self, *exc: object) -> None:
        _kept.current = self._before


# The ``reading_kept`` in force in each thread, if any.
_kept = threading.local()


def file_identity(path: str | os.PathLike[str]) -> Optional[tuple[int, int, int, int]]:
    """(dispositivo, inode, tamanho, mtime em ns) do arquivo, ou None quando não pode ser consultado."""
    try:
        st = os.stat(path)
    except (OSError, ValueError):
        return None
    return st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns


class _Unanswered(Exception):
    """The model refused or gave an answer that does not fit the schema."""


class Scrivane:
    """Asks registered questions about a document and returns structured answers.

    Talks to OpenAI (or any OpenAI-compatible server through ``base_url`` or
    ``OPENAI_BASE_URL``) or to Azure OpenAI, through the official SDK.  The
    provider "local" asks no model: it answers from the document's text by
    the rules of ``scrivane.local_extractor``, with no network and no key.
    """

    def __init__(
        self,
        *,
        provider: Optional[str] = None,
        api_key: Optional[str] = None,
        openai_api_key: Optional[str] = None,
        azure_api_key: Optional[str] = None,
        azure_endpoint: Optional[str] = None,
        azure_deployment: Optional[str] = None,
        azure_api_version: Optional[str] = DEFAULT_AZURE_API_VERSION,
        base_url: Optional[str] = None,
        model: str = DEFAULT_MODEL,
        verbose: bool = False,
        api_token: Optional[str] = None,
        max_context_tokens: Optional[int] = None,
        timeout: float = DEFAULT_TIMEOUT,
        max_retries: int = DEFAULT_MAX_RETRIES,
        max_workers: Optional[int] = None,
        client: Any = None,
        ocr: Optional[bool] = None,
    ) -> None:
        if provider is None:
            provider = os.environ.get(ENV_PROVIDER) or None
        if provider is None:
            provider = "azure" if (azure_endpoint and azure_deployment and not (api_key or openai_api_key)) else "openai"
        if isinstance(provider, str):
            provider = provider.strip().lower()
        if provider not in PROVIDERS:
            raise ValueError(f"provider must be 'openai', 'azure' or 'local', got {provider!r}")
        if not isinstance(model, str) or not model:
            raise ValueError("model must be a non-empty text")
        if max_context_tokens is not None and max_context_tokens <= 0:
            raise ValueError("max_context_tokens must be positive")

        self.provider = provider
        self.model = model
        self.verbose = bool(verbose)
        # Token of a hosted extraction service; this engine calls the model
        # itself and does not send it anywhere.
        self.api_token = api_token
        self.max_context_tokens = max_context_tokens or pricing.context_tokens_for(model)
        self.max_workers = max_workers
        # Scanned pages are read by OCR unless this is False; None leaves it
        # to the environment (SCRIVANE_OCR=0 turns it off).
        self.ocr = ocr
        self.questions: list[Question] = []
        self._print_lock = threading.Lock()
        self._price_warned = False
        self._json_mode_only = False

        if client is not None:
            self.client = client
        elif provider == "local":
            self.client = None  # rules only: the SDK is never loaded
        elif provider == "azure":
            import openai

            azure_kwargs: dict[str, Any] = dict(
                api_key=azure_api_key or api_key,
                api_version=azure_api_version or DEFAULT_AZURE_API_VERSION,
                timeout=timeout,
                max_retries=max_retries,
            )
            if base_url:
                azure_kwargs["base_url"] = base_url
            else:
                azure_kwargs["azure_endpoint"] = azure_endpoint
                azure_kwargs["azure_deployment"] = azure_deployment
            self.client = openai.AzureOpenAI(**azure_kwargs)
        else:
            import openai

            self.client = openai.OpenAI(
                api_key=api_key or openai_api_key,
                base_url=base_url or os.environ.get("OPENAI_BASE_URL") or None,
                timeout=timeout,
                max_retries=max_retries,
            )

    def __repr__(self) -> str:
        return f"Scrivane(provider={self.provider!r}, model={self.model!r}, questions={[q.id for q in self.questions]!r})"

    # -- questions -----------------------------------------------------------

    def add_question(self, question: Question) -> Question:
        """Registers ``question`` for every later ``process``."""
        if not isinstance(question, Question):
            raise TypeError(f"add_question expects a Question, got {type(question).__name__}")
        if any(q.id == question.id for q in self.questions):
            raise ValueError(f"a question with id {question.id!r} is already registered")
        self.questions.append(question)
        return question

    # -- running -------------------------------------------------------------

    def process(self, path: str | os.PathLike[str]) -> RunResult:
        """Reads the document at ``path`` and answers every registered question.

        The document is read in a worker process under memory, time and page
        limits (see ``scrivane.isolation``).

        The questions are asked concurrently.  A question whose answer is
        refused or malformed twice has no answer; errors of the service
        itself (after the SDK's own retries) are raised.
        """
        started = time.perf_counter()
        kept = getattr(_kept, "current", None)
        if kept is not None:
            kept.document, kept.is_contract, kept.identity = None, None, file_identity(path)
        document = read_isolated(path, ocr=self.ocr)
        if kept is not None:
            kept.document = document
        self._say("📄", f"Documento: {escape_for_log(document.path.name)} ({len(document.pages)} página(s), ~{_br(estimate_tokens(document.text))} tokens)")
        if document.ocr_pages:
            pages = ", ".join(str(i + 1) for i in document.ocr_pages)
            reasons: dict[str, list[str]] = {}
            for i in document.ocr_pages:
                reasons.setdefault(getattr(i, "motivo", "") or "?", []).append(str(i + 1))
            why = "; ".join(f"{motivo}: {', '.join(numbers)}" for motivo, numbers in reasons.items())
            self._say("🔎", f"OCR: página(s) {pages} lida(s) por OCR ({_br(document.ocr_seconds, 1)} s; {why})")
        if document.unread_pages:
            pages = ", ".join(str(i + 1) for i in document.unread_pages)
            self._say("⚠️", f"Página(s) {pages} digitalizada(s) não lida(s): {document.unread_reason}")

        results: dict[str, Answer] = {}
        failures: dict[str, str] = {}
        total = Metrics()
        questions = list(self.questions)
        if questions and self.provider == "local":
            outcomes = self._answer_locally(questions, document)
            for question, (metrics, answer, reason) in zip(questions, outcomes):
                total.add(metrics)
                if answer is not None:
                    results[question.id] = answer
                else:
                    failures[question.id] = reason
        elif questions:
            workers = self.max_workers or len(questions)
            with ThreadPoolExecutor(max_workers=workers, thread_name_prefix="scrivane") as pool:
                futures = [pool.submit(self._answer, q, document) for q in questions]
                outcomes = [f.exception() or f.result() for f in futures]
            for question, outcome in zip(questions, outcomes):
                if isinstance(outcome, BaseException):
                    raise outcome
                metrics, answer, reason = outcome
                total.add(metrics)
                if answer is not None:
                    results[question.id] = answer
                else:
                    failures[question.id] = reason
        grounding_started = time.perf_counter()
        self._ground(document, questions, results)
        grounding_seconds = time.perf_counter() - grounding_started
        total.time_seconds = time.perf_counter() - started
        self._say("📊", f"Extração concluída: {_br(total.tokens)} tokens, US$ {_br(total.cost_usd, 4)}, "
                        f"{_br(total.time_seconds, 1)} s")
        return RunResult(
            document=str(document.path),
            page_count=len(document.pages),
            results=results,
            failures=failures,
            total_metrics=total,
            ocr_pages=document.ocr_pages,
            unread_pages=document.unread_pages,
            ocr_seconds=document.ocr_seconds,
            grounding_seconds=grounding_seconds,
        )

    @staticmethod
    def _ground(document: Document, questions: list[Question], results: dict[str, Answer]) -> None:
        """Every listed item of every answer gets the evidence of its values in the pages (see
        ``scrivane.grounding``), whoever answered: the model, or the local reader."""
        index: Optional[grounding.Indice] = None
        for question in questions:
            answer = results.get(question.id)
            listas = grounding.itens_com_evidencia(question.response_model)
            if answer is None or not any(answer.raw_result.get(nome) for nome in listas):
                continue
            if index is None:
                index = grounding.Indice(document)
            grounding.fundamentar(index, answer.raw_result, question.response_model)

    def document_budget(self, question: Question) -> int:
        """Tokens of document text that fit in one request for ``question``."""
        reserve = min(OUTPUT_RESERVE_TOKENS, self.max_context_tokens // 4)
        fixed = (
            estimate_tokens(question.system_prompt)
            + estimate_tokens(question.user_prompt)
            + estimate_tokens(json.dumps(strict_json_schema(question.response_model), ensure_ascii=False))
            + 50  # message framing
        )
        return max(0, self.max_context_tokens - reserve - fixed)

    def _answer(self, question: Question, document: Document) -> tuple[Metrics, Optional[Answer], str]:
        label = question.config.name or question.id
        selection = select_pages(document.pages, question.keywords, self.document_budget(question))
        if selection.narrowed:
            self._report_narrowing(label, document, selection)
        schema = strict_json_schema(question.response_model)
        request = dict(
            model=self.model,
            messages=[
                {"role": "system", "content": question.system_prompt},
                {"role": "user", "content": question.render_user_prompt(selection.text)},
            ],
            response_format={
                "type": "json_schema",
                "json_schema": {"name": schema_name(question.response_model), "schema": schema, "strict": True},
            },
        )
        metrics = Metrics()
        started = time.perf_counter()
        reason = ""
        for attempt in range(1, ATTEMPTS + 1):
            response = self._create(request)
            metrics.add(self._usage_metrics(response))
            try:
                parsed = self._parse(response, question.response_model)
            except _Unanswered as exc:
                reason = str(exc)
                if attempt < ATTEMPTS:
                    self._say("🔁", f"{label}: {reason}; perguntando de novo")
                continue
            metrics.time_seconds = time.perf_counter() - started
            self._say("✅", f"{label}: respondida ({_br(metrics.tokens)} tokens)")
            answer = Answer(
                question_id=question.id,
                raw_result=parsed.model_dump(),
                result=parsed,
                metrics=metrics,
                attempts=attempt,
                pages=selection.pages,
                narrowed=selection.narrowed,
            )
            return metrics, answer, ""
        metrics.time_seconds = time.perf_counter() - started
        self._say("❌", f"{label}: sem resposta após {ATTEMPTS} tentativas ({reason})")
        return metrics, None, reason

    def _answer_locally(
        self, questions: list[Question], document: Document
    ) -> list[tuple[Metrics, Optional[Answer], str]]:
        """Every question answered from one rule-based reading of the whole document.

        A question's answer takes, of that reading, the fields its
        ``response_model`` declares; a question none of whose fields the
        rules know, or whose model refuses the values, has no answer.
        """
        from . import local_extractor

        started = time.perf_counter()
        reading = local_extractor.extrair(document.pages, layout=document.layout)
        kept = getattr(_kept, "current", None)
        if kept is not None and kept.document is document and "eh_contrato" in reading:
            kept.is_contract = bool(reading["eh_contrato"])
        outcomes: list[tuple[Metrics, Optional[Answer], str]] = []
        for question in questions:
            label = question.config.name or question.id
            fields = question.response_model.model_fields
            values = {name: reading[name] for name in fields if name in reading}
            metrics = Metrics()
            if not values:
                reason = "o extrator local não conhece nenhum campo desta pergunta"
                self._say("❌", f"{label}: {reason}")
                outcomes.append((metrics, None, reason))
                continue
            try:
                parsed = question.response_model.model_validate(values)
            except ValidationError as exc:
                reason = f"resposta fora do formato ({exc.error_count()} erro(s))"
                self._say("❌", f"{label}: {reason}")
                outcomes.append((metrics, None, reason))
                continue
            metrics.time_seconds = time.perf_counter() - started
            self._say("✅", f"{label}: respondida pelo extrator local")
            outcomes.append((metrics, Answer(
                question_id=question.id,
                raw_result=parsed.model_dump(),
                result=parsed,
                metrics=metrics,
                attempts=1,
                pages=tuple(range(len(document.pages))),
                narrowed=False,
            ), ""))
        return outcomes

    def _create(self, request: dict[str, Any]) -> Any:
        """One chat completion; falls back to plain JSON mode where strict schemas are refused.

        Older Azure OpenAI API versions (such as 2024-02-15-preview) reject
        ``json_schema`` response formats; the answer is then asked in JSON
        mode with the schema written into the system prompt, and validated
        the same way.
        """
        import openai

        if self._json_mode_only:
            return self.client.chat.completions.create(**_as_json_mode(request))
        try:
            return self.client.chat.completions.create(**request)
        except openai.BadRequestError as exc:
            text = str(exc).lower()
            if "response_format" not in text and "json_schema" not in text:
                raise
            with self._print_lock:
                switched = not self._json_mode_only
                self._json_mode_only = True
            if switched:
                self._say("ℹ️", "O serviço recusou o formato JSON Schema estrito; usando modo JSON com o schema no prompt")
            return self.client.chat.completions.create(**_as_json_mode(request))

    @staticmethod
    def _parse(response: Any, model: type[BaseModel]) -> BaseModel:
        choices = getattr(response, "choices", None) or []
        if not choices:
            raise _Unanswered("resposta sem conteúdo")
        message = choices[0].message
        refusal = getattr(message, "refusal", None)
        if refusal:
            raise _Unanswered(f"o modelo recusou: {refusal}")
        content = message.content
        if not content:
            raise _Unanswered("resposta vazia")
        try:
            return model.model_validate_json(content)
        except ValidationError as exc:
            raise _Unanswered(f"resposta fora do formato ({exc.error_count()} erro(s))") from None

    def _usage_metrics(self, response: Any) -> Metrics:
        usage = getattr(response, "usage", None)
        prompt = int(getattr(usage, "prompt_tokens", 0) or 0)
        completion = int(getattr(usage, "completion_tokens", 0) or 0)
        if pricing.price_for(self.model) is None:
            self._warn_unpriced()
        return Metrics(
            input_tokens=prompt,
            output_tokens=completion,
            cost_usd=pricing.cost_usd(self.model, prompt, completion),
            calls=1,
        )

    # -- progress ------------------------------------------------------------

    def _warn_unpriced(self) -> None:
        with self._print_lock:
            if self._price_warned:
                return
            self._price_warned = True
        self._say("💲", f"Modelo '{self.model}' fora da tabela de preços ({pricing.PRICES_AS_OF}); custo contado como 0.0")

    def _report_narrowing(self, label: str, document: Document, selection: Selection) -> None:
        pages = ", ".join(str(i + 1) for i in selection.pages)
        note = " (página cortada)" if selection.truncated else ""
        self._say(
            "✂️",
            f"{label}: documento maior que o contexto (~{estimate_tokens(document.text):,} tokens, "
            f"limite {self.max_context_tokens:,}); enviadas {len(selection.pages)} de {selection.total_pages} "
            f"páginas: {pages}{note}",
        )

    def _say(self, emoji: str, message: str) -> None:
        if not self.verbose:
            return
        with self._print_lock:
            print(f"{emoji} {message}", file=sys.stdout, flush=True)
