"""Import time: `import quillmarsh.submit` against `import httpx` alone, each in a fresh
interpreter.

Each run is a new `python -c "import X"`; the three commands (quillmarsh.submit, httpx and a
bare interpreter, whose start-up is taken off both) alternate run by run. Printed: the median
wall time of each, the import cost of each (median less the bare start-up) and their ratio,
then, from one `python -X importtime -c "import quillmarsh.submit"`, the modules it pulls in
beyond httpx's own, by cumulative time.

    python benchmarks/bench_import.py [--runs N]
"""

from __future__ import annotations

import argparse
import os
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

import quillmarsh

COMMANDS = {"quillmarsh.submit": "import quillmarsh.submit", "httpx": "import httpx", "bare": "pass"}
_IMPORTTIME = re.compile(r"import time:\s+(\d+) \|\s+(\d+) \|( *)(\S+)")


def environment() -> dict[str, str]:
    package_root = str(Path(quillmarsh.__file__).resolve().parents[1])
    return {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [package_root, os.environ.get("PYTHONPATH")]))}


def run_once(code: str, env: dict[str, str]) -> float:
    start = time.perf_counter()
    subprocess.run([sys.executable, "-c", code], env=env, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def import_tree(module: str, env: dict[str, str]) -> list[tuple[int, int, int, str]]:
    """(self us, cumulative us, depth, name) of each module `import module` loads."""
    done = subprocess.run(
        [sys.executable, "-X", "importtime", "-c", f"import {module}"],
        env=env,
        check=True,
        capture_output=True,
        text=True,
    )
    return [
        (int(own), int(cumulative), len(indent) // 2, name)
        for own, cumulative, indent, name in _IMPORTTIME.findall(done.stderr)
    ]


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=21, help="fresh interpreters per command (default 21)")
    args = parser.parse_args(argv)
    env = environment()
    for code in COMMANDS.values():  # warm the file system cache and the byte-code caches
        run_once(code, env)
    times: dict[str, list[float]] = {name: [] for name in COMMANDS}
    for _ in range(args.runs):
        for name, code in COMMANDS.items():
            times[name].append(run_once(code, env))
    median = {name: statistics.median(values) * 1e3 for name, values in times.items()}
    cost = {name: median[name] - median["bare"] for name in ("quillmarsh.submit", "httpx")}
    print(
        f"import, median of {args.runs} fresh interpreters: quillmarsh.submit {median['quillmarsh.submit']:.1f} ms, "
        f"httpx {median['httpx']:.1f} ms, bare interpreter {median['bare']:.1f} ms"
    )
    print(
        f"import cost beyond start-up: quillmarsh.submit {cost['quillmarsh.submit']:.1f} ms, "
        f"httpx {cost['httpx']:.1f} ms, ratio {cost['quillmarsh.submit'] / cost['httpx']:.2f}; "
        f"whole process ratio {median['quillmarsh.submit'] / median['httpx']:.2f}"
    )

    httpx_modules = {name for *_, name in import_tree("httpx", env)}
    tree = import_tree("quillmarsh.submit", env)
    own = {name: own for own, _, _, name in tree}
    # The largest subtrees of modules httpx does not load: -X importtime lists a module after
    # the modules it imports, indented by depth; reversed, each module comes before them.
    tops, stack = [], []  # stack: (depth, counts) of the current module's importers
    for _, cumulative, depth, name in reversed(tree):
        while stack and stack[-1][0] >= depth:
            stack.pop()
        counts = name not in httpx_modules and name not in ("quillmarsh", "quillmarsh.submit")
        if counts and not any(counted for _, counted in stack):
            tops.append((cumulative, name))
        stack.append((depth, counts))
    tops.sort(reverse=True)
    print(
        f"one -X importtime run: quillmarsh.submit itself (the extension's load and init) "
        f"{own.get('quillmarsh.submit', 0) / 1e3:.1f} ms, quillmarsh package {own.get('quillmarsh', 0) / 1e3:.1f} ms; "
        f"modules httpx does not load {sum(c for c, _ in tops) / 1e3:.1f} ms, largest: "
        + ", ".join(f"{name} {cumulative / 1e3:.1f} ms" for cumulative, name in tops[:8])
    )


if __name__ == "__main__":
    main()
