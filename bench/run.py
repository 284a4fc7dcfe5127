"""Run every benchmark in this folder (bench_*.py), one after the other."""

import runpy
import sys
from pathlib import Path

here = Path(__file__).resolve().parent
sys.path.insert(0, str(here))
only = sys.argv[1:]
for path in sorted(here.glob("bench_*.py")):
    if only and not any(name in path.stem for name in only):
        continue
    runpy.run_path(str(path), run_name="__main__")
    print()
