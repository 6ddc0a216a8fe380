"""End to end over loopback: `submit_signal` against a plain `httpx.Client.post` of the same
bytes with the same headers to the same local service (target: at most 1.10x).

The local service runs as a subprocess (`python -m quillmarsh.devservice`), so its work is
in both figures but not in this process. The baseline's request bodies and headers are the
ones the client prepares for other, equally new signals (captured by a transport that
forwards only the catalog read), so the service creates a new submission for every request
of either side. The two sides alternate round by round; the ratio is of the median rounds.

    python benchmarks/bench_loopback.py [--calls N] [--rounds N] [--profile]

`--profile` adds a cProfile of the client's rounds (top functions by own time).
"""

from __future__ import annotations

import argparse
import cProfile
import gc
import io
import os
import pstats
import secrets
import select
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path

import httpx

from quillmarsh import _backtest_timing
from quillmarsh.submit import SignalServiceClient

UNIVERSE = "us_top500"
POOL = "momentum"
STATS = {"sharpe": 1.6, "turnover": 0.3, "is_correlation": 0.2, "drawdown": 0.08}


def graph(n: int) -> str:
    return f"rank(ts_mean(sub(close, ts_delay(close, {n % 20 + 1})), {n + 5}))"


def record(graphs: list[str]) -> None:
    for expression in graphs:
        _backtest_timing.record_backtest_timing(
            expression, row_count=2520, elapsed_seconds=1.0, max_row_elapsed_seconds=0.004
        )


def submit(client: SignalServiceClient, expression: str):
    return client.submit_signal(
        expression, UNIVERSE, signal_pool_name=POOL, is_stats=STATS, is_pnl_mi=0.4, expression_elapsed_seconds=1.0
    )


def start_service(token: str, *options: str) -> tuple[subprocess.Popen, str]:
    """Start the local service on a free loopback port (with the command line's `options`);
    the process and its base URL."""
    package_root = str(Path(sys.modules["quillmarsh"].__file__).resolve().parents[1])
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [package_root, os.environ.get("PYTHONPATH")]))}
    process = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "quillmarsh.devservice",
            "--host",
            "127.0.0.1",
            "--port",
            "0",
            f"--token={token}",
            *options,
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        text=True,
        env=env,
    )
    ready, _, _ = select.select([process.stdout], [], [], 30)
    line = process.stdout.readline().strip() if ready else ""
    if not line.startswith("QUILLMARSH_BASE_URL="):
        process.kill()
        process.wait(timeout=10)
        raise RuntimeError(
            f"the local signal service did not start (python -m quillmarsh.devservice shows why): {line!r}"
        )
    return process, line.partition("=")[2]


class CapturingTransport:
    """Reads the catalog from the service; keeps every POST's path, bytes and headers and
    answers it itself, so that nothing captured reaches the service."""

    def __init__(self, http: httpx.Client) -> None:
        self.http = http
        self.posts: list[tuple[str, bytes, dict[str, str]]] = []

    def get(self, path, *, headers=None):
        return self.http.get(path, headers=headers)

    def post(self, path, *, content=None, headers=None):
        self.posts.append((path, bytes(content), dict(headers)))
        return httpx.Response(202, json={"submission_id": f"captured-{len(self.posts)}", "status": "queued"})


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=300, help="requests per round (default 300)")
    parser.add_argument("--rounds", type=int, default=7, help="rounds of each side (default 7)")
    parser.add_argument("--profile", action="store_true", help="profile the client's rounds with cProfile")
    args = parser.parse_args(argv)
    for name in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy", "all_proxy"):
        os.environ.pop(name, None)

    token = secrets.token_urlsafe(16)
    process, url = start_service(token)
    client = SignalServiceClient(url, token)
    plain = httpx.Client(base_url=url, timeout=30.0)
    capture_http = httpx.Client(base_url=url, timeout=30.0)
    profiler = cProfile.Profile() if args.profile else None
    try:
        capture = SignalServiceClient(url, token, transport=CapturingTransport(capture_http))
        # Each round of each side gets its own new signals; warm-up signals come first.
        warmup = args.calls // 10 + 1
        client_graphs = [graph(2 * n) for n in range(warmup + args.rounds * args.calls)]
        baseline_graphs = [graph(2 * n + 1) for n in range(warmup + args.rounds * args.calls)]
        record(baseline_graphs)
        for expression in baseline_graphs:
            assert submit(capture, expression).status_code == 202
        posts = capture._client.posts
        assert len(posts) == len(baseline_graphs)

        def client_round(graphs: list[str]) -> float:
            record(graphs)
            gc.collect()
            if profiler:
                profiler.enable()
            start = time.perf_counter()
            for expression in graphs:
                result = submit(client, expression)
            elapsed = time.perf_counter() - start
            if profiler:
                profiler.disable()
            assert result.status_code == 202, result
            return elapsed

        def baseline_round(round_posts: list[tuple[str, bytes, dict[str, str]]]) -> float:
            gc.collect()
            start = time.perf_counter()
            for path, content, headers in round_posts:
                response = plain.post(path, content=content, headers=headers)
            elapsed = time.perf_counter() - start
            assert response.status_code == 202, response.text
            return elapsed

        client_round(client_graphs[:warmup])
        baseline_round(posts[:warmup])
        client_times, baseline_times = [], []
        for r in range(args.rounds):
            lo, hi = warmup + r * args.calls, warmup + (r + 1) * args.calls
            # Alternate which side goes first, so that neither always follows the other.
            if r % 2 == 0:
                client_times.append(client_round(client_graphs[lo:hi]))
                baseline_times.append(baseline_round(posts[lo:hi]))
            else:
                baseline_times.append(baseline_round(posts[lo:hi]))
                client_times.append(client_round(client_graphs[lo:hi]))
    finally:
        client.close()
        plain.close()
        capture_http.close()
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=10)

    per_call = 1e6 / args.calls
    client_median, baseline_median = statistics.median(client_times), statistics.median(baseline_times)
    print(
        f"loopback submit_signal x{args.calls} per round, {args.rounds} rounds each, alternating: "
        f"client {client_median * per_call:.0f} us, plain httpx post {baseline_median * per_call:.0f} us per call "
        f"(medians; best {min(client_times) * per_call:.0f} / {min(baseline_times) * per_call:.0f} us), "
        f"ratio {client_median / baseline_median:.2f} (target <= 1.10)"
    )
    if profiler:
        out = io.StringIO()
        pstats.Stats(profiler, stream=out).sort_stats("tottime").print_stats(15)
        print(out.getvalue())


if __name__ == "__main__":
    main()
