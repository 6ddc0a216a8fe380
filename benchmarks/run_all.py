"""Runs every benchmark of this folder, one after another, and prints their figures.

python benchmarks/run_all.py
"""

import pathlib
import runpy
import sys

HERE = pathlib.Path(__file__).resolve().parent

if __name__ == "__main__":
    sys.path.insert(0, str(HERE))
    for script in sorted(HERE.glob("bench_*.py")):
        print(f"== {script.stem}")
        runpy.run_path(str(script), run_name="__main__")
