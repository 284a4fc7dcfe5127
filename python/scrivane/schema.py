"""Strict JSON schema for structured answers, built from a pydantic model.

OpenAI's strict structured outputs accept a subset of JSON Schema: every
object lists all its properties as required and forbids additional ones;
optional values are expressed as a union with null; ``default`` is not
allowed.  pydantic's own schema is rewritten into that form here.
"""

from __future__ import annotations

import re
from typing import Any

from pydantic import BaseModel

__all__ = ["strict_json_schema", "schema_name"]

_UNSUPPORTED_KEYS = ("default", "title")


def _strict(node: Any, definitions: dict[str, Any]) -> Any:
    if isinstance(node, list):
        return [_strict(item, definitions) for item in node]
    if not isinstance(node, dict):
        return node
    if "$ref" in node and len(node) > 1:
        # Keywords beside a $ref are not accepted by strict mode: inline the
        # referenced definition and keep the local keywords (a description).
        ref = node["$ref"]
        target = definitions.get(ref.rsplit("/", 1)[-1], {})
        node = {**target, **{k: v for k, v in node.items() if k != "$ref"}}
    out = {}
    for key, value in node.items():
        if key in _UNSUPPORTED_KEYS:
            continue
        if key in ("properties", "$defs") and isinstance(value, dict):
            # Keys here are field or definition names, not keywords: a field
            # called "title" or "default" stays.
            out[key] = {name: _strict(sub, definitions) for name, sub in value.items()}
        else:
            out[key] = _strict(value, definitions)
    if out.get("type") == "object" or "properties" in out:
        props = out.get("properties", {})
        out["type"] = "object"
        out["properties"] = props
        out["required"] = list(props)
        out["additionalProperties"] = False
    return out


def strict_json_schema(model: type[BaseModel]) -> dict[str, Any]:
    """The model's JSON schema in the strict form structured outputs require."""
    if not (isinstance(model, type) and issubclass(model, BaseModel)):
        raise TypeError(f"response_model must be a pydantic model class, got {model!r}")
    schema = model.model_json_schema(mode="validation")
    definitions = schema.pop("$defs", {})
    result = _strict(schema, definitions)
    if definitions:
        result["$defs"] = {name: _strict(sub, definitions) for name, sub in definitions.items()}
    return result


def schema_name(model: type[BaseModel]) -> str:
    """A name for the schema that satisfies the API's pattern ``^[a-zA-Z0-9_-]{1,64}$``."""
    return re.sub(r"[^a-zA-Z0-9_-]", "_", model.__name__)[:64] or "answer"
