"""Load check: threads sharing one client against the local signal service.

Starts ``python -m quillmarsh.devservice`` as a subprocess on a free loopback port (so this
process holds the client alone and its memory is the client's), then runs THREADS threads
for SECONDS seconds that share ONE ``SignalServiceClient``, each recording the backtest timing
of its next distinct signal and submitting it with ``submit_signal``. Memory (RSS, and the
interpreter's heap as tracemalloc sees it) is sampled every few seconds, each time with the
threads held between two calls, so that no request is in flight in any sample.

At the end it checks, and exits 1 on any violation:

* no thread crashed and every call came back accepted (202, a submission id, no error);
* each thread's submission ids are distinct, no id is shared between threads, and their union
  is what the service holds, both through the listing (pages of 1000, ``since``/``next_since``)
  and in the service's SQLite file read after it stopped;
* memory is flat: over the last third of the samples neither RSS nor the traced heap grows
  beyond a small bound.

It prints submissions per second, latency p50/p99 and the memory samples.

    python scripts/load_check.py [--seconds 60] [--threads 8] [--sample-every 5] [--no-tracemalloc]

The threads write each submission id and latency to a file of their own rather than keeping
them in memory, so that the bookkeeping does not show up as growth of the client.
"""

from __future__ import annotations

import argparse
import gc
import os
import secrets
import select
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import tracemalloc
from pathlib import Path

from quillmarsh import _backtest_timing
from quillmarsh.submit import SignalServiceClient

UNIVERSE = "us_top500"
POOL = "momentum"
STATS = {"sharpe": 1.6, "turnover": 0.3, "is_correlation": 0.2}
MAX_RATE_PER_THREAD = 5_000  # submissions per second: bounds each thread's loop by count too
RSS_BOUND_BYTES = 2 * 2**20  # growth allowed over the last third of the samples
HEAP_BOUND_BYTES = 256 * 2**10
LIST_PAGE = 1000
START_TIMEOUT_SECONDS = 30.0


def graph(thread: int, n: int) -> str:
    """A distinct expression per (thread, n): depth 3, 4 nodes."""
    return f"rank(ts_mean(close, {thread * 10_000_000 + n + 1}))"


def rss_bytes() -> int | None:
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        try:
            import psutil
        except ImportError:
            return None
        return psutil.Process().memory_info().rss


def start_service(token: str, db: Path, log) -> tuple[subprocess.Popen, str]:
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
            "--db",
            str(db),
        ],
        stdout=subprocess.PIPE,
        stderr=log,
        text=True,
        env=env,
    )
    ready, _, _ = select.select([process.stdout], [], [], START_TIMEOUT_SECONDS)
    line = process.stdout.readline().strip() if ready else ""
    if not line.startswith("QUILLMARSH_BASE_URL="):
        process.kill()
        process.wait(timeout=10)
        raise RuntimeError(f"the local signal service did not start (first line: {line!r})")
    return process, line.partition("=")[2]


def stop_service(process: subprocess.Popen) -> int:
    process.send_signal(signal.SIGTERM)
    try:
        return process.wait(timeout=30)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout=10)
        return -9


class Pause:
    """Lets the sampler stop every worker between two calls, so that a memory sample holds
    no request in flight and samples compare like with like."""

    def __init__(self) -> None:
        self._cond = threading.Condition()
        self._paused = False
        self._parked = 0

    def checkpoint(self) -> None:
        with self._cond:
            if not self._paused:
                return
            self._parked += 1
            self._cond.notify_all()
            while self._paused:
                self._cond.wait(1.0)
            self._parked -= 1

    def hold(self, workers: list[threading.Thread], timeout: float = 10.0) -> bool:
        """Pause and wait until every live worker is parked; False if that took too long."""
        limit = time.monotonic() + timeout
        with self._cond:
            self._paused = True
            while self._parked < sum(w.is_alive() for w in workers):
                if time.monotonic() >= limit:
                    return False
                self._cond.wait(0.05)
        return True

    def release(self) -> None:
        with self._cond:
            self._paused = False
            self._cond.notify_all()


class Worker(threading.Thread):
    """Submits distinct signals through the shared client until the deadline; writes
    "<submission id> <latency in microseconds>" per accepted call to its own file."""

    def __init__(self, index: int, client: SignalServiceClient, deadline: float, cap: int, path: Path, pause: Pause):
        super().__init__(name=f"load-{index}", daemon=True)
        self.index, self.client, self.deadline, self.cap, self.path = index, client, deadline, cap, path
        self.pause = pause
        self.calls = 0
        self.failures = 0
        self.first_failures: list[str] = []  # at most a few, for the report
        self.crash: BaseException | None = None

    def fail(self, text: str) -> None:
        self.failures += 1
        if len(self.first_failures) < 5:
            self.first_failures.append(text)

    def run(self) -> None:
        client, now = self.client, time.perf_counter
        try:
            with open(self.path, "w") as out:
                for n in range(self.cap):
                    self.pause.checkpoint()
                    if time.monotonic() >= self.deadline:
                        break
                    expression = graph(self.index, n)
                    _backtest_timing.record_backtest_timing(
                        expression, row_count=2520, elapsed_seconds=1.0, max_row_elapsed_seconds=0.004
                    )
                    started = now()
                    result = client.submit_signal(
                        expression,
                        UNIVERSE,
                        signal_pool_name=POOL,
                        is_stats=STATS,
                        is_pnl_mi=0.4,
                        expression_elapsed_seconds=0.5,
                    )
                    elapsed = now() - started
                    self.calls += 1
                    if result.status_code == 202 and result.error is None and isinstance(result.submission_id, str):
                        out.write(f"{result.submission_id} {round(elapsed * 1e6)}\n")
                    else:
                        self.fail(f"call {n}: status {result.status_code}, error {result.error!r}")
        except BaseException as exc:  # a crash of the thread is a finding, reported below
            self.crash = exc


def sample_memory(samples: list[tuple[float, int | None, int | None]], started: float) -> None:
    gc.collect()
    heap = tracemalloc.get_traced_memory()[0] if tracemalloc.is_tracing() else None
    samples.append((time.monotonic() - started, rss_bytes(), heap))


def last_third_growth(values: list[int]) -> int:
    """How far the last third of the samples rose above its first sample."""
    tail = values[len(values) - max(3, len(values) // 3) :]
    return max(tail) - tail[0]


def percentile(ordered: list[int], fraction: float) -> float:
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))] / 1000 if ordered else float("nan")


def list_everything(client: SignalServiceClient, limit_pages: int) -> tuple[list[dict], list[str]]:
    listed, problems, since = [], [], None
    for _ in range(limit_pages):
        page = client.list_signal_submissions(since=since, limit=LIST_PAGE)
        if not page.ok:
            problems.append(f"listing failed: status {page.status_code}, error {page.error!r}")
            break
        listed += page.submissions
        since = page.body.get("next_since")
        if since is None:
            break
    else:
        problems.append(f"the listing did not end within {limit_pages} pages")
    return listed, problems


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60.0, help="how long the threads submit (default 60)")
    parser.add_argument("--threads", type=int, default=8, help="threads sharing the one client (default 8)")
    parser.add_argument("--sample-every", type=float, default=5.0, help="seconds between memory samples (default 5)")
    parser.add_argument(
        "--no-tracemalloc",
        action="store_true",
        help="sample RSS only: tracemalloc costs the client about 3x its CPU time per call, "
        "so throughput and latency are the client's own only without it",
    )
    args = parser.parse_args(argv)
    if args.seconds <= 0 or args.threads < 1 or args.sample_every <= 0:
        parser.error("--seconds and --sample-every must be positive, --threads at least 1")

    for name in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy", "all_proxy"):
        os.environ.pop(name, None)
    violations: list[str] = []
    token = secrets.token_urlsafe(16)
    with tempfile.TemporaryDirectory(prefix="quillmarsh-load-") as tmp:
        work = Path(tmp)
        db = work / "submissions.db"
        with open(work / "service.log", "w+") as log:
            process, url = start_service(token, db, log)
            print(
                f"local signal service at {url} (pid {process.pid}); {args.threads} threads, one client, "
                f"{args.seconds:g} s"
            )
            try:
                client = SignalServiceClient(url, token)
                if not args.no_tracemalloc:
                    tracemalloc.start()
                started = time.monotonic()
                deadline = started + args.seconds
                cap = int(args.seconds * MAX_RATE_PER_THREAD) + 1
                pause = Pause()
                workers = [
                    Worker(i, client, deadline, cap, work / f"thread-{i}.txt", pause) for i in range(args.threads)
                ]
                samples: list[tuple[float, int | None, int | None]] = []
                sample_memory(samples, started)
                for worker in workers:
                    worker.start()
                next_sample = started + args.sample_every
                while any(w.is_alive() for w in workers) and time.monotonic() < deadline + 60:
                    time.sleep(max(0.0, min(0.2, next_sample - time.monotonic())))
                    if time.monotonic() >= next_sample:
                        if pause.hold(workers):
                            sample_memory(samples, started)
                        else:
                            violations.append("the threads did not stop for a memory sample within 10 s")
                        pause.release()
                        next_sample += args.sample_every
                ran = time.monotonic() - started
                for worker in workers:
                    worker.join(timeout=30)
                sample_memory(samples, started)
                if tracemalloc.is_tracing():
                    tracemalloc.stop()
                for worker in workers:
                    if worker.is_alive():
                        violations.append(f"thread {worker.index} did not finish")
                    if worker.crash is not None:
                        violations.append(f"thread {worker.index} crashed: {worker.crash!r}")
                    if worker.failures:
                        violations.append(
                            f"thread {worker.index}: {worker.failures} calls not accepted, first: "
                            + "; ".join(worker.first_failures)
                        )

                per_thread: list[list[str]] = []
                latencies: list[int] = []
                for worker in workers:
                    ids = []
                    with open(worker.path) as lines:
                        for line in lines:
                            submission_id, _, micros = line.partition(" ")
                            ids.append(submission_id)
                            latencies.append(int(micros))
                    per_thread.append(ids)
                    if len(set(ids)) != len(ids):
                        violations.append(f"thread {worker.index}: {len(ids) - len(set(ids))} repeated submission ids")
                made = set().union(*per_thread)
                total = sum(map(len, per_thread))
                calls = sum(w.calls for w in workers)
                if len(made) != total:
                    violations.append(f"{total - len(made)} submission ids shared between threads")

                listed, problems = list_everything(client, calls // LIST_PAGE + 3)
                violations += problems
                listed_ids = [s.get("submission_id") for s in listed]
                if len(set(listed_ids)) != len(listed_ids):
                    violations.append(f"the listing repeats {len(listed_ids) - len(set(listed_ids))} submissions")
                if set(listed_ids) != made:
                    violations.append(
                        f"the listing differs from what the threads made: "
                        f"{len(set(listed_ids) - made)} unknown, {len(made - set(listed_ids))} missing"
                    )
                keys = [s.get("idempotency_key") for s in listed]
                if len(set(keys)) != len(keys):
                    violations.append("the listing repeats an idempotency key")
                client.close()
            finally:
                status = stop_service(process)
            if status != 0:
                log.seek(0)
                violations.append(f"the service exited with status {status}: {log.read()[-2000:]}")

        with sqlite3.connect(db) as stored:
            stored_count = stored.execute("SELECT COUNT(*) FROM submissions").fetchone()[0]
            stored_ids = {row[0] for row in stored.execute("SELECT submission_id FROM submissions")}
        stored.close()
        if stored_count != len(made) or stored_ids != made:
            violations.append(
                f"the service stores {stored_count} submissions ({len(stored_ids - made)} unknown, "
                f"{len(made - stored_ids)} missing); the threads made {len(made)}"
            )

    latencies.sort()
    print(
        f"submissions: {calls} calls, {total} accepted, {len(made)} distinct ids, listed {len(listed)}, "
        f"stored {stored_count}"
    )
    print(
        f"throughput:  {total / ran:.0f} submissions/s over {ran:.1f} s "
        f"({', '.join(str(len(ids)) for ids in per_thread)} per thread)"
    )
    print(
        f"latency:     p50 {percentile(latencies, 0.50):.2f} ms, p99 {percentile(latencies, 0.99):.2f} ms, "
        f"max {percentile(latencies, 1.0):.2f} ms"
    )
    print("memory:      seconds     RSS MiB   heap KiB (tracemalloc)")
    nan = float("nan")
    for at, rss, heap in samples:
        print(
            f"             {at:7.1f}  {rss / 2**20 if rss is not None else nan:10.1f}  "
            f"{heap / 1024 if heap is not None else nan:9.0f}"
        )
    if len(samples) < 6:
        violations.append(f"only {len(samples)} memory samples: run longer or sample more often")
    for name, column, bound, unit in (("RSS", 1, RSS_BOUND_BYTES, 2**20), ("heap", 2, HEAP_BOUND_BYTES, 2**10)):
        points = [sample[column] for sample in samples if sample[column] is not None]
        if len(points) < len(samples):
            print(f"             {name}: not measured")
            continue
        growth = last_third_growth(points)
        print(
            f"             {name} growth over the last third: {growth / unit:+.2f} "
            f"{'MiB' if unit == 2**20 else 'KiB'} "
            f"(bound {bound / unit:g})"
        )
        if growth > bound:
            violations.append(f"{name} grew {growth:.0f} bytes over the last third of the run")
    if total == 0:
        violations.append("nothing was submitted")

    for violation in violations:
        print(f"VIOLATION: {violation}")
    print("load check " + ("passed" if not violations else f"failed: {len(violations)} violations"))
    return 1 if violations else 0


if __name__ == "__main__":
    sys.exit(main())
