"""The command line's batch against the module's own batch call, on the same 100,000 realistic
signals through the same in-process transport.

Prints, from one run: the time to read and check the fields of 100,000 lines of a file; the
whole ``quillmarsh batch FILE`` (reading, every local check, chunks of 100 posted and
answered, the per-line report) against ``SignalClient.submit_signals_batch`` on the signals
already in memory with their timings recorded, through the same client; and their ratio
(target: 1.15x).
"""

from __future__ import annotations

import contextlib
import io
import json
import pathlib
import sys
import tempfile
import time
from unittest import mock

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from workload import InstantTransport, record_timings, signals  # noqa: E402

from quillmarsh import _backtest_timing, cli  # noqa: E402
from quillmarsh.cli import batch as batch_command  # noqa: E402
from quillmarsh.cli import signals as signal_files  # noqa: E402
from quillmarsh.client import SignalClient  # noqa: E402

COUNT = 100_000
TIMING = {"row_count": 2520, "elapsed_seconds": 2.0, "max_row_elapsed_seconds": 0.002}


def best(runs: int, fn) -> float:
    times = []
    for _ in range(runs):
        started = time.perf_counter()
        fn()
        times.append(time.perf_counter() - started)
    return min(times)


def main() -> None:
    batch = signals(COUNT)
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "signals.jsonl"
        path.write_text("".join(json.dumps({**s, "backtest_timing": TIMING}) + "\n" for s in batch))
        parse = best(3, lambda: signal_files.signal_lines(str(path)))

        def client(*args, **kwargs):
            return SignalClient("https://signals.example", "tok", transport=InstantTransport())

        def command():
            with mock.patch.object(batch_command, "client_for", client), contextlib.redirect_stdout(io.StringIO()):
                status = cli.main(
                    [
                        "--base-url",
                        "https://signals.example",
                        "--token",
                        "tok",
                        "--format",
                        "json",
                        "-q",
                        "batch",
                        str(path),
                    ]
                )
            assert status == 0, status

        def module_call():
            record_timings(batch)
            result = client().submit_signals_batch(batch)
            assert result.accepted == COUNT, result

        _backtest_timing.clear_recorded_backtest_timings()
        ours, theirs = best(3, command), best(3, module_call)
    print(f"read and check the fields of {COUNT:,} lines: {parse:.2f} s")
    print(
        f"quillmarsh batch of {COUNT:,} signals: {ours:.2f} s; submit_signals_batch: {theirs:.2f} s "
        f"-> {ours / theirs:.2f}x (target 1.15x)"
    )


if __name__ == "__main__":
    main()
