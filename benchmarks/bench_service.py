"""The local service under load: submissions per second it answers with one request at a
time, with 100 and with 1,000 in flight, and its memory, for this tree's service and for the
service of an earlier revision (default: the last one on the hand-written threaded HTTP
layer), each run as `python -m ...devservice` in a process of its own.

The load comes from this process over aiohttp (one connection per request in flight), each
request a new signal, so the service validates and stores every one. Accepted means a 202;
refused counts the 503s; failed counts the requests that got no answer (resets, closed
connections). Answered per second counts every answer, refusals included; accepted per
second the 202s alone. The machine's other load is in every figure: compare figures of one
run. Memory is the service's resident set at the end of each level and its peak.

    python benchmarks/bench_service.py [--before REV] [--requests N] [--latency S]

`--before none` measures this tree's service alone.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import aiohttp

ROOT = Path(__file__).resolve().parents[1]
BEFORE = "2d1ff18"  # the last revision whose service ran on http.server, a thread per connection
TOKEN = "bench-token"
LEVELS = (1, 100, 1000)  # requests in flight


def signal_body(n: int) -> bytes:
    return json.dumps(
        {
            "graph": f"rank(ts_mean(close, {n + 2}))",
            "named_universe": "us_top500",
            "signal_pool_name": "momentum",
            "is_stats": {"sharpe": 1.6, "turnover": 0.3, "is_correlation": 0.2},
            "is_pnl_mi": 0.4,
            "expression_elapsed_seconds": 0.5,
            "market_id": 1,
            "era_number": 3,
        }
    ).encode()


def checkout(revision: str, into: Path) -> str:
    """The devservice package of `revision` as package `devservice_<rev>` under `into`; its name."""
    name = f"devservice_{revision.replace('-', '_').replace('/', '_')}"
    listing = subprocess.run(
        ["git", "-C", str(ROOT), "ls-tree", "--name-only", revision, "python/quillmarsh/devservice/"],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    (into / name).mkdir(parents=True)
    for path in listing.split():
        data = subprocess.run(
            ["git", "-C", str(ROOT), "show", f"{revision}:{path}"], check=True, capture_output=True
        ).stdout
        (into / name / Path(path).name).write_bytes(data)
    return name


def start(package: str, pythonpath: str, latency: float) -> tuple[subprocess.Popen, str]:
    env = {**{k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}, "PYTHONPATH": pythonpath}
    process = subprocess.Popen(
        [sys.executable, "-m", package, "--token", TOKEN, "--latency", str(latency)],
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        text=True,
        env=env,
    )
    line = process.stdout.readline().strip()
    if not line.startswith("QUILLMARSH_BASE_URL="):
        process.kill()
        raise SystemExit(f"{package} did not start: {line!r}")
    return process, line.split("=", 1)[1]


def memory(pid: int) -> tuple[float, float]:
    """(resident MB now, peak resident MB) of a process."""
    fields = dict(line.split(":", 1) for line in Path(f"/proc/{pid}/status").read_text().splitlines() if ":" in line)
    return int(fields["VmRSS"].split()[0]) / 1024, int(fields["VmHWM"].split()[0]) / 1024


async def load(url: str, in_flight: int, total: int, first: int) -> dict[str, float]:
    counts = {"accepted": 0, "refused": 0, "other": 0, "failed": 0}
    numbers = iter(range(first, first + total))
    headers = {"Authorization": f"Bearer {TOKEN}", "Content-Type": "application/json"}
    connector = aiohttp.TCPConnector(limit=in_flight, force_close=False)
    timeout = aiohttp.ClientTimeout(total=120)
    async with aiohttp.ClientSession(connector=connector, timeout=timeout) as session:

        async def worker() -> None:
            for n in numbers:
                try:
                    async with session.post(f"{url}/signals/submit", data=signal_body(n), headers=headers) as answer:
                        await answer.read()
                        key = {202: "accepted", 503: "refused"}.get(answer.status, "other")
                except (aiohttp.ClientError, TimeoutError, OSError):
                    key = "failed"
                counts[key] += 1

        began = time.perf_counter()
        await asyncio.gather(*(worker() for _ in range(in_flight)))
        counts["seconds"] = time.perf_counter() - began
    return counts


def measure(label: str, package: str, pythonpath: str, requests: int, latency: float) -> list[tuple]:
    process, url = start(package, pythonpath, latency)
    rows = []
    try:
        first = 0
        for in_flight in LEVELS:
            total = max(in_flight * 3, 50) if latency else max(requests, in_flight)  # with latency: 3 rounds
            counts = asyncio.run(load(url, in_flight, total, first))
            first += total
            now, peak = memory(process.pid)
            rows.append((label, in_flight, total, counts, now, peak))
    finally:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--before", default=BEFORE, help=f"revision to compare with (default {BEFORE}; none: skip)")
    parser.add_argument(
        "--requests",
        type=int,
        default=2000,
        help="requests per level (with --latency: three per request in flight, at least 50)",
    )
    parser.add_argument("--latency", type=float, default=0.0, help="the services' --latency")
    args = parser.parse_args()
    here = str(ROOT / "python")
    rows = []
    scratch = Path(tempfile.mkdtemp(prefix="bench-service-"))
    try:
        if args.before != "none":
            package = checkout(args.before, scratch)
            rows += measure(
                f"before ({args.before})", package, os.pathsep.join([str(scratch), here]), args.requests, args.latency
            )
        rows += measure("after (this tree)", "quillmarsh.devservice", here, args.requests, args.latency)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"service with --latency {args.latency:g}; {os.cpu_count()} CPUs shared with this load generator")
    print(
        f"{'service':24} {'in flight':>9} {'requests':>8} {'answered/s':>10} {'accepted/s':>10} {'accepted':>8} "
        f"{'refused':>7} {'failed':>6} {'RSS MB':>7} {'peak MB':>7}"
    )
    rates = {}
    for label, in_flight, total, counts, now, peak in rows:
        answered = counts["accepted"] + counts["refused"] + counts["other"]
        rate, accepted = answered / counts["seconds"], counts["accepted"] / counts["seconds"]
        rates[(label.split()[0], in_flight)] = (rate, accepted)
        print(
            f"{label:24} {in_flight:>9} {total:>8} {rate:>10.0f} {accepted:>10.0f} {counts['accepted']:>8} "
            f"{counts['refused']:>7} {counts['failed']:>6} {now:>7.0f} {peak:>7.0f}"
        )
    for in_flight in LEVELS:
        if ("before", in_flight) in rates:
            (after, after_ok), (before, before_ok) = rates[("after", in_flight)], rates[("before", in_flight)]
            print(
                f"after / before at {in_flight} in flight: answered/s {after / before:.2f}x, accepted/s "
                f"{after_ok / before_ok:.2f}x"
            )


if __name__ == "__main__":
    main()
