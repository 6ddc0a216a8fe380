"""Reference and memory leak check for the native client.

Every scenario drives one request path of quillmarsh.submit many times through an
in-process transport. After a warm-up, the calls run in equal rounds; memory the
interpreter has handed out (tracemalloc) must not grow round after round (a leak grows
every round; a table of the interpreter's that resizes once grows one round only) nor in
total beyond a small bound, and the objects the calls were given must get their reference
counts back.

    python scripts/leak_check.py [--calls N] [--only NAME ...]

The scenarios live in scripts/leak_scenarios/, one module per subsystem.
"""

from __future__ import annotations

import argparse
import gc
import logging
import sys
import tracemalloc
from collections.abc import Callable

from leak_scenarios import MODULES

WARMUP = 2_000
ROUNDS = 4
ROUND_GROWTH_BOUND_BYTES = 64 * 1024
TOTAL_GROWTH_BOUND_BYTES = 2 * 1024 * 1024


def check(name: str, call: Callable[[], None], watched: list[object], calls: int) -> bool:
    # Tracing starts before the warm-up: a block that merely grows once (a cache reaching
    # its size) is then counted when it is first made, not as growth of the loop.
    tracemalloc.start()
    for _ in range(min(WARMUP, max(calls // 10, 10))):
        call()
    gc.collect()
    refcounts = list(map(sys.getrefcount, watched))
    marks = [tracemalloc.get_traced_memory()[0]]
    for _ in range(ROUNDS):
        for _ in range(calls // ROUNDS):
            call()
        gc.collect()
        marks.append(tracemalloc.get_traced_memory()[0])
    tracemalloc.stop()
    moved = [after - before for after, before in zip(map(sys.getrefcount, watched), refcounts)]
    rounds = [b - a for a, b in zip(marks, marks[1:])]
    steady_growth = min(rounds) > ROUND_GROWTH_BOUND_BYTES
    ok = not steady_growth and marks[-1] - marks[0] <= TOTAL_GROWTH_BOUND_BYTES and not any(moved)
    print(f"{'ok  ' if ok else 'LEAK'} {name:<24} calls={calls} growth_per_round={rounds}B refcount_deltas={moved}")
    return ok


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, help="calls per scenario (default: each subsystem's own)")
    parser.add_argument("--only", nargs="*")
    args = parser.parse_args(argv)
    # The malformed-body paths log a warning per call; keep the check quiet.
    logging.getLogger("quillmarsh.submit").setLevel(logging.CRITICAL)
    logging.getLogger("quillmarsh.submit").propagate = False
    # A scenario is (call, watched) or (call, watched, calls) when it needs its own count.
    results = [
        check(name, call, watched, args.calls or (rest[0] if rest else module.CALLS))
        for module in MODULES
        for name, (call, watched, *rest) in module.scenarios().items()
        if not args.only or name in args.only
    ]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
