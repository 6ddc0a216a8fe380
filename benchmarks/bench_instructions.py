"""Instructions per signal under callgrind: the client's preparation against the least work its
job needs, counted rather than timed (a count is the same run after run, whatever else the
machine is doing).

Each side runs in its own interpreter under ``valgrind --tool=callgrind`` twice, making the same
2N signals and then working on N of them, then on all 2N; the difference of the two totals, over
N, is that side's instructions per signal (start-up, imports and set-up cancel out). The sides,
on the realistic signals of workload.py:

* single: ``submit_signal`` through an in-process transport answering at once, the era catalog
  read beforehand;
* batch: ``submit_signals_batch`` of the signals, in chunks of 100;
* floor: for each body, ``json.dumps`` for the wire, the canonical ``json.dumps`` and SHA-256
  of its idempotency key, and ``json.loads`` of the answer: what any client of this service
  must do.

Prints each side's instructions per signal and the ratios single / floor (goal: at most 0.92x)
and batch / floor (goal: at most 0.99x). Needs valgrind.

    python benchmarks/bench_instructions.py [--signals N]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import re
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent

PROGRAM = r"""
import hashlib, json, sys
sys.path.insert(0, {here!r})
import workload
from quillmarsh.submit import SignalServiceClient

side, count, made = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
signals = workload.signals(made)  # the same set-up in every run: only the work differs with `count`
workload.record_timings(signals)
signals = signals[:count]
client = SignalServiceClient("https://signals.example.com", "token", transport=workload.InstantTransport())
client._fetch_era_catalog()
if side == "single":
    for signal in signals:
        client.submit_signal(**signal)
elif side == "batch":
    client.submit_signals_batch(signals)
else:
    answer = workload.SUBMIT_ANSWER
    projection = workload.ERA["simulation_data_contract_projection"]
    for signal in signals:  # a body of the same members as the client's (the copy costs ~1% of the rest)
        body = dict(signal, graph_depth=5, graph_node_count=28, market_id=1, era_number=7,
                    client_manifest_market_id=1, client_manifest_era_number=7,
                    simulation_data_contract_projection=projection)
        canonical = json.dumps(body, sort_keys=True, separators=(",", ":"), allow_nan=False).encode("utf-8")
        body["idempotency_key"] = "sigsubmit-" + hashlib.sha256(canonical).hexdigest()
        json.dumps(body).encode("utf-8")
        json.loads(answer)
"""


def instructions(side: str, count: int, made: int, program: pathlib.Path) -> int:
    with tempfile.TemporaryDirectory() as folder:
        out = pathlib.Path(folder) / "callgrind.out"
        done = subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                f"--callgrind-out-file={out}",
                sys.executable,
                str(program),
                side,
                str(count),
                str(made),
            ],
            capture_output=True,
            text=True,
            env={**os.environ, "PYTHONHASHSEED": "0"},
        )
        if done.returncode != 0:
            raise RuntimeError(done.stderr[-2000:])
        found = re.search(r"^summary:\s+(\d+)", out.read_text(), re.M) or re.search(
            r"^totals:\s+(\d+)", out.read_text(), re.M
        )
        assert found, "no total in callgrind's output"
        return int(found.group(1))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--signals", type=int, default=1000)
    args = parser.parse_args()
    n = args.signals
    with tempfile.TemporaryDirectory() as folder:
        program = pathlib.Path(folder) / "side.py"
        program.write_text(PROGRAM.format(here=str(HERE)))
        per_signal = {
            side: (instructions(side, 2 * n, 2 * n, program) - instructions(side, n, 2 * n, program)) / n
            for side in ("floor", "single", "batch")
        }
    for side, count in per_signal.items():
        print(f"{side:>6}: {count:,.0f} instructions per signal")
    print(
        f"single / floor {per_signal['single'] / per_signal['floor']:.3f}x (goal at most 0.92x); "
        f"batch / floor {per_signal['batch'] / per_signal['floor']:.3f}x (goal at most 0.99x)"
    )


if __name__ == "__main__":
    main()
