"""Benchmark helpers: best-of-N timing and a uniform report line."""

import os
import sys
import tempfile
import time
from pathlib import Path

# The plain-Python twins live beside the tests.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

# Benchmarks (and the commands they start) keep their verifications in a
# throw-away history, never in the user's.
os.environ.setdefault("SCRIVANE_HISTORICO", str(Path(tempfile.mkdtemp(prefix="bench-historico-")) / "h.sqlite3"))


def best_of(fn, repeat=7, number=1):
    """Minimum time of one call over `repeat` rounds of `number` calls."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - t0) / number)
    return best


def fmt(seconds):
    if seconds >= 1e-3:
        return f"{seconds * 1e3:9.3f} ms"
    return f"{seconds * 1e6:9.3f} us"


def report(label, baseline, ours, target=None):
    ratio = baseline / ours if ours > 0 else float("inf")
    goal = ""
    if target is not None:
        goal = f"  (target >= {target:g}x: {'met' if ratio >= target else 'NOT met'})"
    print(f"{label:<52} baseline {fmt(baseline)}  ours {fmt(ours)}  ratio {ratio:8.1f}x{goal}")
    return ratio
