"""Throughput over loopback: `AsyncSignalServiceClient` on one event loop against the
synchronous `SignalServiceClient`, sequentially and from threads, all against one local service.

The local service runs as a subprocess (`python -m quillmarsh.devservice`, allowed more
connections than all the sides open together), one for each measurement: single submissions
answered at once, single submissions answered after a delay (`--latency`, 10 ms: what a
network round trip adds, where answering at once on loopback flatters a client that waits for
each answer), and batches. Every submission of every
side is a new signal with its backtest timing recorded beforehand, so the service creates a
submission for each one (it stores each idempotency key once; sending a key again would be a
replay, cheaper than a creation). Each side first submits signals of its own, untimed, so that
its connections are open and the era catalog is read. The sides then take turns, in rounds
whose order reverses from one round to the next, so that a service slowing down as its store
grows, or a machine busy for a while, weighs on every side alike. Prints, from one run:

* `submit_signal`, N signals a side (in rounds): the synchronous client one call after
  another; one synchronous client shared by a `ThreadPoolExecutor` of 8 threads (its
  httpx.Client is safe to share across threads, so one client serves them all); the
  asynchronous client with 32 calls in flight on one event loop (32 worker tasks); and the
  ratios async / sequential and async / threads.
* `submit_signals_batch` of M signals (chunks of 100), one call a side in each round: the
  asynchronous client with `max_concurrency=1` and with `max_concurrency=4`, the synchronous
  client's for reference, and the ratio 4 / 1.

A side's throughput is its submissions over its summed time; beside it, the time this process
spent on the CPU per submission. Every result is checked (202, no error, a submission id) and
counted, and the submission ids of the whole run must all be distinct, so a run that failed or
replayed cannot show a fast figure.

    python benchmarks/bench_async.py [--singles N] [--single-rounds R] [--batch M] [--batch-rounds R]
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import os
import pathlib
import secrets
import signal
import subprocess
import sys
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Self

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from bench_loopback import POOL, STATS, UNIVERSE, graph, record, start_service
from quillmarsh.async_client import AsyncSignalServiceClient
from quillmarsh.submit import SignalServiceClient

THREADS = 8
IN_FLIGHT = 32
CHUNK = 100  # signals per request of a batch
MAX_CONNECTIONS = 256  # the service's limit: well above the connections of all the sides together


class Signals:
    """Hands out new signals, never the same graph twice in a run, each with its backtest timing
    recorded; checks the results and keeps every submission id the service answered with."""

    def __init__(self) -> None:
        self.next = 0
        self.ids: set[str] = set()
        self.accepted = 0

    def take(self, count: int) -> list[dict[str, Any]]:
        graphs = [graph(n) for n in range(self.next, self.next + count)]
        self.next += count
        record(graphs)
        return [{"graph": g, "named_universe": UNIVERSE, "signal_pool_name": POOL, "is_stats": STATS,
                 "is_pnl_mi": 0.4, "expression_elapsed_seconds": 1.0} for g in graphs]

    def accept(self, results: Any, count: int, what: str) -> None:
        """`results` (a list of submission results, or a batch's result) are `count` new
        accepted submissions."""
        if not isinstance(results, list):
            batch = results
            assert batch.status_code == 202 and batch.error is None, (what, batch)
            assert batch.accepted == count and batch.failed == 0, (what, batch.accepted, batch.failed)
            results = batch.results
        assert len(results) == count, f"{what}: {len(results)} results for {count} signals"
        for result in results:
            assert result.status_code == 202 and result.error is None and result.submission_id, (what, result)
            self.ids.add(result.submission_id)
        self.accepted += count
        assert len(self.ids) == self.accepted, f"{what}: a submission id came back twice (a replay)"


class Side:
    """One way of submitting: `run` submits a list of signals and returns what it got back."""

    def __init__(self, name: str, run: Callable[[list[dict[str, Any]]], Any], warmup: int) -> None:
        self.name, self.run, self.warmup = name, run, warmup
        self.count, self.wall, self.cpu = 0, 0.0, 0.0

    def rate(self) -> float:
        return self.count / self.wall

    def __str__(self) -> str:
        return (f"{self.name} {self.rate():,.0f}/s ({self.wall:.2f} s, client CPU "
                f"{self.cpu / self.count * 1e6:,.0f} us each)")


def measure(sides: list[Side], signals: Signals, size: int, rounds: int) -> None:
    """Warm every side up, then `rounds` rounds of `size` new signals a side, the order of the
    sides reversed every other round."""
    for side in sides:
        signals.accept(side.run(warm := signals.take(side.warmup)), len(warm), f"{side.name} (warm-up)")
    for r in range(rounds):
        for side in sides if r % 2 == 0 else sides[::-1]:
            batch = signals.take(size)
            gc.collect()
            wall, cpu = time.perf_counter(), time.process_time()
            results = side.run(batch)
            side.wall += time.perf_counter() - wall
            side.cpu += time.process_time() - cpu
            side.count += size
            signals.accept(results, size, side.name)


async def in_flight(client: AsyncSignalServiceClient, batch: list[dict[str, Any]], tasks: int) -> list[Any]:
    """`submit_signal` of every signal of `batch`, by `tasks` tasks taking the next one in turn."""
    results: list[Any] = [None] * len(batch)
    todo = iter(enumerate(batch))

    async def worker() -> None:
        for i, s in todo:
            results[i] = await client.submit_signal(**s)

    await asyncio.gather(*(worker() for _ in range(tasks)))
    return results


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--singles", type=int, default=1000, help="submit_signal calls a side (default 1000)")
    parser.add_argument("--single-rounds", type=int, default=4, help="rounds they are split into (default 4)")
    parser.add_argument("--latency", type=float, default=0.01,
                        help="answer delay of the second single-submission run, as a network would add (default 0.01)")
    parser.add_argument("--delayed-singles", type=int, default=400,
                        help="submit_signal calls a side in that run (default 400)")
    parser.add_argument("--batch", type=int, default=10_000, help="signals of one batch call (default 10000)")
    parser.add_argument("--batch-rounds", type=int, default=2, help="batch calls a side (default 2)")
    args = parser.parse_args(argv)
    for name in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy", "all_proxy"):
        os.environ.pop(name, None)

    token = secrets.token_urlsafe(16)
    signals = Signals()
    singles = [run_singles(token, signals, 0.0, args.singles, args.single_rounds),
               run_singles(token, signals, args.latency, args.delayed_singles, args.single_rounds)]
    batches = run_batches(token, signals, args.batch, args.batch_rounds)

    print(f"loopback, local service processes: {signals.accepted:,} submissions, all accepted and distinct "
          f"(warm-ups included)")
    for latency, (sequential, threads, concurrent) in singles:
        delay = f", every answer delayed {latency * 1000:.0f} ms" if latency else ""
        print(f"submit_signal, {sequential.count:,} a side in {args.single_rounds} rounds{delay}: "
              + "; ".join(map(str, (sequential, threads, concurrent))))
        print(f"  (the {THREADS} threads share one client) -> async {IN_FLIGHT} / sequential "
              f"{concurrent.rate() / sequential.rate():.2f}x, async {IN_FLIGHT} / {THREADS} threads "
              f"{concurrent.rate() / threads.rate():.2f}x")
    one, four, sync_batch = batches
    print(f"submit_signals_batch of {args.batch:,} signals, {args.batch_rounds} calls a side: "
          + "; ".join(map(str, (one, four, sync_batch))))
    print(f"  -> max_concurrency 4 / 1 {four.rate() / one.rate():.2f}x, "
          f"async max_concurrency 1 / sync {one.rate() / sync_batch.rate():.2f}x")


class Service:
    """The local service for one measurement (answers delayed by `latency` seconds), a loop, a
    thread pool and the clients made against it, all closed on exit."""

    def __init__(self, token: str, latency: float) -> None:
        self.token = token
        self.process, self.url = start_service(token, f"--max-connections={MAX_CONNECTIONS}",
                                               f"--latency={latency}")
        self.loop = asyncio.new_event_loop()
        self.pool = ThreadPoolExecutor(THREADS)
        self.sync_clients: list[SignalServiceClient] = []
        self.async_clients: list[AsyncSignalServiceClient] = []

    def sync(self) -> SignalServiceClient:
        self.sync_clients.append(SignalServiceClient(self.url, self.token))
        return self.sync_clients[-1]

    def asynchronous(self) -> AsyncSignalServiceClient:
        self.async_clients.append(AsyncSignalServiceClient(self.url, self.token))  # used on `loop` only
        return self.async_clients[-1]

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        for client in self.async_clients:
            self.loop.run_until_complete(client.aclose())
        self.loop.close()
        self.pool.shutdown()
        for client in self.sync_clients:
            client.close()
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=10)


def run_singles(token: str, signals: Signals, latency: float, count: int, rounds: int) -> tuple[float, list[Side]]:
    """`submit_signal`: sequentially, from 8 threads sharing one client, 32 in flight on one loop."""
    with Service(token, latency) as service:
        sequential_client, shared_client, in_flight_client = service.sync(), service.sync(), service.asynchronous()
        sides = [
            Side("sync sequential", lambda batch: [sequential_client.submit_signal(**s) for s in batch], IN_FLIGHT),
            Side(f"sync {THREADS} threads",
                 lambda batch: list(service.pool.map(lambda s: shared_client.submit_signal(**s), batch)), IN_FLIGHT),
            Side(f"async {IN_FLIGHT} in flight",
                 lambda batch: service.loop.run_until_complete(in_flight(in_flight_client, batch, IN_FLIGHT)),
                 IN_FLIGHT),
        ]
        measure(sides, signals, count // rounds, rounds)
    return latency, sides


def run_batches(token: str, signals: Signals, size: int, rounds: int) -> list[Side]:
    """`submit_signals_batch`: the asynchronous client with 1 and 4 chunks in flight, and the
    synchronous client's for reference."""
    with Service(token, 0.0) as service:
        def async_batch(max_concurrency: int) -> Callable[[list[dict[str, Any]]], Any]:
            client = service.asynchronous()
            return lambda batch: service.loop.run_until_complete(
                client.submit_signals_batch(batch, max_concurrency=max_concurrency))

        sides = [Side("async max_concurrency=1", async_batch(1), CHUNK),
                 Side("async max_concurrency=4", async_batch(4), 4 * CHUNK),
                 Side("sync", service.sync().submit_signals_batch, CHUNK)]
        measure(sides, signals, size, rounds)
    return sides


if __name__ == "__main__":
    main()
