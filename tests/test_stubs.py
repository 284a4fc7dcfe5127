"""The type stubs shipped with the package match the extension modules."""

import ast
import importlib
import inspect
from pathlib import Path

import pytest


def _stub_functions(module):
    stub = Path(module.__file__).with_name(module.__name__.rsplit(".", 1)[1] + ".pyi")
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    out = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            out[node.name] = node
        elif isinstance(node, ast.ClassDef):
            for sub in node.body:
                if isinstance(sub, ast.FunctionDef) and not any(
                    isinstance(d, ast.Name) and d.id == "property" for d in sub.decorator_list
                ):
                    out[f"{node.name}.{sub.name}"] = sub
    return out


def _stub_params(node):
    args = node.args
    defaults = [None] * (len(args.args) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
    return [(a.arg, d) for a, d in zip(args.args, defaults)]


@pytest.mark.parametrize("name", ["keywords", "cnpj", "checker", "_registro"])
def test_stub_signatures_match_runtime(name):
    module = importlib.import_module(f"scrivane_contract.{name}")
    stubs = _stub_functions(module)
    assert stubs
    for qualname, node in stubs.items():
        obj = module
        for part in qualname.split("."):
            obj = getattr(obj, part) if not isinstance(obj, type) else obj.__dict__[part]
        runtime = [
            (p.name, None if p.default is inspect.Parameter.empty else p.default)
            for p in inspect.signature(obj).parameters.values()
        ]
        assert _stub_params(node) == runtime, qualname
