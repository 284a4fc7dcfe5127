"""A local OpenAI-compatible HTTP server for tests.

It listens on 127.0.0.1 (a free port), answers ``POST .../chat/completions``
and ``POST .../responses`` (so both ``OpenAI(base_url=server.base_url)`` and
``AzureOpenAI(azure_endpoint=server.url, ...)`` reach it) from scripted
replies, and records every request it receives.

    from openai_server import OpenAIServer, Reply

    with OpenAIServer() as server:
        server.script("especialista em contratos", Reply.json({"empresas": []}, delay=0.5))
        server.script("outra pergunta", Reply.error(429), Reply.json({...}))
        ...  # point the client at server.base_url
        server.requests          # every request: method, path, query, headers, body
        server.requests_matching("outra pergunta")

A script is chosen by its ``match``: a text looked for in the request's
prompts (the messages' contents, or a Responses call's ``instructions`` and
``input``), or a function of the JSON body.  Scripts are tried in the order
they were added; the first that matches gives the next of its replies, and
its last reply is repeated once the others are used up.  A request no
script matches gets ``default`` (an empty JSON object answer unless set).
"""

from __future__ import annotations

import json
import sys
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable, Optional, Union
from urllib.parse import parse_qs, urlsplit

__all__ = ["OpenAIServer", "Reply", "RecordedRequest"]

Match = Union[str, Callable[[dict], bool], None]
GATE_LIMIT = 120.0


@dataclass
class Reply:
    """One scripted answer.  Build it with the class methods."""

    kind: str  # "content", "refusal", "error", "responses"
    content: Optional[str] = None
    status: int = 200
    headers: dict[str, str] = field(default_factory=dict)
    error_body: Any = None
    delay: float = 0.0
    prompt_tokens: int = 100
    completion_tokens: int = 20
    finish_reason: str = "stop"
    # Ordering without clocks: the answer waits until ``after`` is set (an error
    # answer if it is not set within GATE_LIMIT seconds), and chosing it sets ``opens``.
    after: Optional[threading.Event] = None
    opens: Optional[threading.Event] = None

    @classmethod
    def json(cls, obj: Any, *, delay: float = 0.0, prompt_tokens: int = 100, completion_tokens: int = 20,
             after: Optional[threading.Event] = None, opens: Optional[threading.Event] = None) -> "Reply":
        """A chat completion whose message content is ``obj`` as JSON."""
        return cls("content", json.dumps(obj, ensure_ascii=False), delay=delay,
                   prompt_tokens=prompt_tokens, completion_tokens=completion_tokens, after=after, opens=opens)

    @classmethod
    def text(cls, content: Optional[str], *, delay: float = 0.0, prompt_tokens: int = 100,
             completion_tokens: int = 20, finish_reason: str = "stop") -> "Reply":
        """A chat completion whose message content is ``content`` as it is (invalid JSON, None...)."""
        return cls("content", content, delay=delay, prompt_tokens=prompt_tokens,
                   completion_tokens=completion_tokens, finish_reason=finish_reason)

    @classmethod
    def refusal(cls, message: str = "I'm sorry, I can't help with that.", *, delay: float = 0.0,
                prompt_tokens: int = 100, completion_tokens: int = 10) -> "Reply":
        """A chat completion whose assistant message is a refusal."""
        return cls("refusal", message, delay=delay, prompt_tokens=prompt_tokens, completion_tokens=completion_tokens)

    @classmethod
    def error(cls, status: int, *, message: str = "scripted error", headers: Optional[dict[str, str]] = None,
              body: Any = None, delay: float = 0.0) -> "Reply":
        """An HTTP error.  A 429 gets ``retry-after-ms: 10`` unless headers are given."""
        if headers is None:
            headers = {"retry-after-ms": "10"} if status == 429 else {}
        if body is None:
            body = {"error": {"message": message, "type": "scripted", "code": str(status)}}
        return cls("error", status=status, headers=headers, error_body=body, delay=delay)

    @classmethod
    def output_text(cls, text: str, *, delay: float = 0.0, prompt_tokens: int = 100,
                    completion_tokens: int = 20) -> "Reply":
        """A Responses API answer whose output message holds ``text``."""
        return cls("responses", text, delay=delay, prompt_tokens=prompt_tokens, completion_tokens=completion_tokens)


@dataclass
class RecordedRequest:
    method: str
    path: str
    query: dict[str, list[str]]
    headers: dict[str, str]  # lower-case names
    body: Any  # parsed JSON, or the raw text when it is not JSON
    received_at: float  # time.perf_counter() on arrival

    @property
    def prompt_text(self) -> str:
        return _prompt_text(self.body)

    @property
    def messages(self) -> list[dict]:
        return list((self.body or {}).get("messages") or []) if isinstance(self.body, dict) else []


def _prompt_text(body: Any) -> str:
    if not isinstance(body, dict):
        return ""
    parts: list[str] = []
    for message in body.get("messages") or []:
        content = message.get("content")
        if isinstance(content, str):
            parts.append(content)
        elif isinstance(content, list):
            parts.extend(p.get("text", "") for p in content if isinstance(p, dict))
    for key in ("instructions", "input"):
        value = body.get(key)
        if isinstance(value, str):
            parts.append(value)
        elif isinstance(value, list):
            parts.append(json.dumps(value, ensure_ascii=False))
    return "\n".join(parts)


class _Script:
    def __init__(self, match: Match, replies: tuple[Reply, ...]):
        if not replies:
            raise ValueError("a script needs at least one reply")
        self.match = match
        self.replies = list(replies)
        self.used = 0

    def matches(self, body: Any) -> bool:
        if self.match is None:
            return True
        if callable(self.match):
            return bool(self.match(body))
        return self.match in _prompt_text(body)

    def next_reply(self) -> Reply:
        reply = self.replies[min(self.used, len(self.replies) - 1)]
        self.used += 1
        return reply


class _Servidor(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address) -> None:
        # A client that went away before its answer (a worker killed on purpose, a timed-out call)
        # is the client's business; anything else is still printed.
        if isinstance(sys.exc_info()[1], (BrokenPipeError, ConnectionResetError)):
            return
        super().handle_error(request, client_address)


class OpenAIServer:
    """Scripted OpenAI-compatible server on 127.0.0.1; use as a context manager or start()/stop()."""

    def __init__(self, default: Optional[Reply] = None) -> None:
        self.default = default or Reply.json({})
        self.requests: list[RecordedRequest] = []
        self._scripts: list[_Script] = []
        self._lock = threading.Lock()
        self._httpd: Optional[ThreadingHTTPServer] = None
        self._thread: Optional[threading.Thread] = None
        self._counter = 0

    # -- lifecycle -------------------------------------------------------------

    def start(self) -> "OpenAIServer":
        if self._httpd is not None:
            return self
        server = self

        class Handler(_Handler):
            owner = server

        self._httpd = _Servidor(("127.0.0.1", 0), Handler)
        self._thread = threading.Thread(
            target=self._httpd.serve_forever, kwargs={"poll_interval": 0.02}, name="openai-test-server", daemon=True
        )
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._httpd is None:
            return
        self._httpd.shutdown()
        self._httpd.server_close()
        if self._thread is not None:
            self._thread.join(timeout=5)
        self._httpd = None
        self._thread = None

    def __enter__(self) -> "OpenAIServer":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    @property
    def port(self) -> int:
        if self._httpd is None:
            raise RuntimeError("server not started")
        return self._httpd.server_address[1]

    @property
    def url(self) -> str:
        """Root URL, e.g. for an Azure endpoint."""
        return f"http://127.0.0.1:{self.port}"

    @property
    def base_url(self) -> str:
        """Base URL for ``OpenAI(base_url=...)``."""
        return self.url + "/v1"

    # -- scripting -------------------------------------------------------------

    def script(self, match: Match, *replies: Reply) -> None:
        """Answer requests that ``match`` with ``replies``, in order (the last one repeats)."""
        with self._lock:
            self._scripts.append(_Script(match, replies))

    def reset(self) -> None:
        """Forget scripts and recorded requests."""
        with self._lock:
            self._scripts.clear()
            self.requests.clear()

    def requests_matching(self, match: Match) -> list[RecordedRequest]:
        probe = _Script(match, (self.default,))
        with self._lock:
            return [r for r in self.requests if probe.matches(r.body)]

    # -- called by the handler ---------------------------------------------------

    def _record_and_choose(self, request: RecordedRequest) -> Reply:
        with self._lock:
            self.requests.append(request)
            self._counter += 1
            for script in self._scripts:
                if script.matches(request.body):
                    return script.next_reply()
            return self.default

    def _next_id(self) -> int:
        with self._lock:
            self._counter += 1
            return self._counter


class _Handler(BaseHTTPRequestHandler):
    owner: OpenAIServer
    protocol_version = "HTTP/1.1"

    def log_message(self, format: str, *args: Any) -> None:  # keep test output clean
        pass

    def do_GET(self) -> None:
        self._handle()

    def do_POST(self) -> None:
        self._handle()

    def _handle(self) -> None:
        length = int(self.headers.get("content-length") or 0)
        raw = self.rfile.read(length) if length else b""
        try:
            body: Any = json.loads(raw) if raw else None
        except ValueError:
            body = raw.decode("utf-8", "replace")
        parts = urlsplit(self.path)
        request = RecordedRequest(
            method=self.command,
            path=parts.path,
            query=parse_qs(parts.query),
            headers={k.lower(): v for k, v in self.headers.items()},
            body=body,
            received_at=time.perf_counter(),
        )
        if parts.path.endswith("/chat/completions"):
            endpoint = "chat"
        elif parts.path.endswith("/responses"):
            endpoint = "responses"
        else:
            self._send(404, {"error": {"message": f"no route for {parts.path}", "type": "not_found"}})
            return
        reply = self.owner._record_and_choose(request)
        if reply.opens is not None:
            reply.opens.set()
        if reply.after is not None and not reply.after.wait(GATE_LIMIT):
            self._send(500, {"error": {"message": "the event this answer waits for never came",
                                       "type": "scripted", "code": "500"}})
            return
        if reply.delay:
            time.sleep(reply.delay)
        if reply.kind == "error":
            self._send(reply.status, reply.error_body, reply.headers)
            return
        model = body.get("model", "unknown") if isinstance(body, dict) else "unknown"
        ident = self.owner._next_id()
        if endpoint == "responses":
            self._send(200, _responses_body(ident, model, reply))
        else:
            self._send(200, _chat_body(ident, model, reply))

    def _send(self, status: int, payload: Any, headers: Optional[dict[str, str]] = None) -> None:
        data = json.dumps(payload, ensure_ascii=False).encode("utf-8")
        self.send_response(status)
        self.send_header("content-type", "application/json")
        self.send_header("content-length", str(len(data)))
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data)


def _usage(reply: Reply) -> dict[str, int]:
    return {
        "prompt_tokens": reply.prompt_tokens,
        "completion_tokens": reply.completion_tokens,
        "total_tokens": reply.prompt_tokens + reply.completion_tokens,
    }


def _chat_body(ident: int, model: str, reply: Reply) -> dict:
    if reply.kind == "refusal":
        message = {"role": "assistant", "content": None, "refusal": reply.content}
    else:
        text = reply.content
        message = {"role": "assistant", "content": text, "refusal": None}
    return {
        "id": f"chatcmpl-{ident}",
        "object": "chat.completion",
        "created": int(time.time()),
        "model": model,
        "choices": [{"index": 0, "message": message, "finish_reason": reply.finish_reason, "logprobs": None}],
        "usage": _usage(reply),
    }


def _responses_body(ident: int, model: str, reply: Reply) -> dict:
    text = reply.content or ""
    return {
        "id": f"resp_{ident}",
        "object": "response",
        "created_at": int(time.time()),
        "model": model,
        "status": "completed",
        "output": [
            {"type": "web_search_call", "id": f"ws_{ident}", "status": "completed"},
            {
                "type": "message",
                "id": f"msg_{ident}",
                "status": "completed",
                "role": "assistant",
                "content": [{"type": "output_text", "text": text, "annotations": []}],
            },
        ],
        "parallel_tool_calls": True,
        "tool_choice": "auto",
        "tools": [],
        "usage": {
            "input_tokens": reply.prompt_tokens,
            "output_tokens": reply.completion_tokens,
            "total_tokens": reply.prompt_tokens + reply.completion_tokens,
        },
    }
