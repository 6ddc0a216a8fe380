"""The clients at the speed of the wire: every side submits new signals to the same minimal
server (``wire_server.py``, a subprocess answering every POST with a 202 at once or after
``--latency``), so what differs between the sides is the client alone. Prints, from one run:

* requests per second and this process's CPU time per request of: the synchronous
  ``SignalServiceClient`` one call after another, a bare ``httpx.Client.post`` of the same
  bytes; ``AsyncSignalServiceClient`` over its default ``httpx.AsyncClient``,
  ``AsyncSignalClient`` over its default aiohttp transport (retries on, answers bounded), a
  bare ``httpx.AsyncClient`` and a bare ``aiohttp.ClientSession`` posting the same bytes, each
  with ``--in-flight`` calls at once on one event loop;
* the same answered after 10 ms (what a network adds);
* the ratios the goals are stated in: ``AsyncSignalClient``'s CPU per request against the
  bare aiohttp session's (goal: at most 2.0x), its throughput answered after 10 ms against the
  bare session's (goal: at least 0.8x), and the synchronous ``submit_signal`` against the bare
  ``httpx.Client.post`` (goal: at most 1.05x).

The sides take turns in rounds of alternating order; every signal is new and every result is
checked. Ratios are printed, never asserted.

    python benchmarks/bench_async.py [--calls N] [--rounds R] [--in-flight K] [--latency S] [--light]
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import json
import os
import pathlib
import subprocess
import sys
import time
from collections.abc import Callable
from typing import Any

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import workload  # noqa: E402

import quillmarsh  # noqa: E402
from quillmarsh.async_client import AsyncSignalServiceClient  # noqa: E402
from quillmarsh.submit import SignalServiceClient  # noqa: E402

TOKEN = "bench-token"


class Server:
    def __init__(self, latency: float) -> None:
        self.process = subprocess.Popen(
            [sys.executable, str(HERE / "wire_server.py"), f"--latency={latency}"],
            stdout=subprocess.PIPE,
            text=True,
            cwd=HERE,
        )
        self.url = f"http://127.0.0.1:{self.process.stdout.readline().strip().partition('=')[2]}"  # type: ignore

    def close(self) -> None:
        self.process.kill()
        self.process.wait(timeout=10)


class Signals:
    """New signals, each with its backtest timing recorded, and their prepared bodies and headers:
    the realistic ones of workload.py (30-node graphs, 20 statistics), or light ones (an
    8-node graph, 4 statistics) whose own work is a small part of a request."""

    def __init__(self, light: bool = False) -> None:
        self.made, self.light = 0, light

    def take(self, count: int) -> list[dict[str, Any]]:
        if self.light:
            batch = [
                {
                    "graph": f"rank(ts_mean(sub(close, ts_delay(close, {n % 20 + 1})), {n + 5}))",
                    "named_universe": workload.NAMED_UNIVERSE,
                    "signal_pool_name": workload.SIGNAL_POOL,
                    "is_stats": {"sharpe": 1.6, "turnover": 0.3, "correlation": 0.2, "drawdown": 0.08},
                    "is_pnl_mi": 0.4,
                    "expression_elapsed_seconds": 1.0,
                }
                for n in range(self.made, self.made + count)
            ]
        else:
            batch = workload.signals(count, seed=self.made + 1)
            for n, signal in enumerate(batch):
                signal["graph"] = f"add({signal['graph']}, {self.made + n})"
        self.made += count
        workload.record_timings(batch)
        return batch

    def wire(self, count: int) -> list[tuple[bytes, dict[str, str]]]:
        """(body bytes, headers) of new signals as submit_signal posts them."""
        out = []
        for signal in self.take(count):
            checked = quillmarsh.check_signal(catalog=workload.CATALOG, **signal)
            out.append(
                (
                    json.dumps(checked.body).encode(),
                    {
                        "Authorization": f"Bearer {TOKEN}",
                        "Content-Type": "application/json",
                        "Idempotency-Key": checked.idempotency_key,
                    },
                )
            )
        return out


class Side:
    def __init__(self, name: str, make: Callable[[int], Any], run: Callable[[Any], list[Any]], wire: bool) -> None:
        self.name, self.make, self.run, self.wire = name, make, run, wire
        self.count, self.wall, self.cpu = 0, 0.0, 0.0

    def rate(self) -> float:
        return self.count / self.wall

    def cpu_us(self) -> float:
        return self.cpu / self.count * 1e6

    def __str__(self) -> str:
        return f"  {self.name:<44} {self.rate():>8,.0f}/s  client CPU {self.cpu_us():>6,.0f} us/request"


def measure(sides: list[Side], signals: Signals, calls: int, rounds: int) -> None:
    for side in sides:  # warm: connections open, the era catalog read
        side.run(signals.wire(64) if side.wire else signals.take(64))
    for r in range(rounds):
        for side in sides if r % 2 == 0 else sides[::-1]:
            work = signals.wire(calls // rounds) if side.wire else signals.take(calls // rounds)
            gc.collect()
            wall, cpu = time.perf_counter(), time.process_time()
            statuses = side.run(work)
            side.wall += time.perf_counter() - wall
            side.cpu += time.process_time() - cpu
            side.count += len(work)
            assert statuses == [202] * len(work), (side.name, set(statuses))


async def _gather(calls: list[Callable[[], Any]], in_flight: int) -> list[Any]:
    results: list[Any] = [None] * len(calls)
    todo = iter(enumerate(calls))

    async def worker() -> None:
        for i, call in todo:
            results[i] = await call()

    await asyncio.gather(*(worker() for _ in range(in_flight)))
    return results


def sides_for(url: str, loop: asyncio.AbstractEventLoop, in_flight: int) -> tuple[list[Side], Callable[[], None]]:
    import aiohttp
    import httpx

    sync_client = SignalServiceClient(url, TOKEN)
    bare_sync = httpx.Client(base_url=url)
    raw_async = AsyncSignalServiceClient(url, TOKEN)
    face = quillmarsh.AsyncSignalClient(url, TOKEN, max_connections=in_flight)
    bare_httpx = httpx.AsyncClient(base_url=url, limits=httpx.Limits(max_connections=in_flight))
    session = loop.run_until_complete(_session(aiohttp, in_flight))

    def on_loop(client: Any) -> Callable[[list[dict[str, Any]]], list[Any]]:
        return lambda batch: [
            r.status_code
            for r in loop.run_until_complete(_gather([lambda s=s: client.submit_signal(**s) for s in batch], in_flight))
        ]

    async def aiohttp_post(body: bytes, headers: dict[str, str]) -> int:
        async with session.post(url + "/signals/submit", data=body, headers=headers) as response:
            await response.read()
            return response.status

    async def httpx_post(body: bytes, headers: dict[str, str]) -> int:
        return (await bare_httpx.post("/signals/submit", content=body, headers=headers)).status_code

    sides = [
        Side(
            "SignalServiceClient, one after another",
            lambda n: None,
            lambda batch: [sync_client.submit_signal(**s).status_code for s in batch],
            False,
        ),
        Side(
            "bare httpx.Client.post, one after another",
            lambda n: None,
            lambda wire: [bare_sync.post("/signals/submit", content=b, headers=h).status_code for b, h in wire],
            True,
        ),
        Side(f"AsyncSignalServiceClient (httpx), {in_flight} in flight", lambda n: None, on_loop(raw_async), False),
        Side(f"AsyncSignalClient (aiohttp), {in_flight} in flight", lambda n: None, on_loop(face), False),
        Side(
            f"bare httpx.AsyncClient, {in_flight} in flight",
            lambda n: None,
            lambda wire: loop.run_until_complete(_gather([lambda w=w: httpx_post(*w) for w in wire], in_flight)),
            True,
        ),
        Side(
            f"bare aiohttp.ClientSession, {in_flight} in flight",
            lambda n: None,
            lambda wire: loop.run_until_complete(_gather([lambda w=w: aiohttp_post(*w) for w in wire], in_flight)),
            True,
        ),
    ]

    def close() -> None:
        sync_client.close()
        bare_sync.close()
        for closing in (raw_async.aclose(), face.aclose(), bare_httpx.aclose(), session.close()):
            loop.run_until_complete(closing)

    return sides, close


async def _session(aiohttp: Any, in_flight: int) -> Any:
    return aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=in_flight))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=2000, help="submissions a side (default 2000)")
    parser.add_argument("--rounds", type=int, default=4, help="rounds they are split into (default 4)")
    parser.add_argument("--in-flight", type=int, default=64, help="calls at once on the event loop (default 64)")
    parser.add_argument("--latency", type=float, default=0.01, help="answer delay of the second run (default 0.01)")
    parser.add_argument("--light", action="store_true", help="light signals instead of workload.py's realistic ones")
    args = parser.parse_args()
    for name in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy", "all_proxy"):
        os.environ.pop(name, None)
    signals = Signals(args.light)
    runs = {}
    for latency in (0.0, args.latency):
        server, loop = Server(latency), asyncio.new_event_loop()
        try:
            sides, close = sides_for(server.url, loop, args.in_flight)
            calls = args.calls if latency == 0.0 else args.calls // 4  # one after another is slow against 10 ms
            measure(sides, signals, calls, args.rounds)
            close()
        finally:
            loop.close()
            server.close()
        runs[latency] = {side.name.split(",")[0].split(" (")[0]: side for side in sides}
        print(f"answered {'at once' if not latency else f'after {latency * 1000:.0f} ms'}, {calls:,} a side:")
        for side in sides:
            print(side)
    now, later = runs[0.0], runs[args.latency]
    face, bare = "AsyncSignalClient", "bare aiohttp.ClientSession"
    print(
        f"AsyncSignalClient CPU per request / bare aiohttp session: {now[face].cpu_us() / now[bare].cpu_us():.2f}x "
        f"(goal at most 2.0x)"
    )
    print(
        f"AsyncSignalClient throughput after {args.latency * 1000:.0f} ms / bare aiohttp session: "
        f"{later[face].rate() / later[bare].rate():.2f}x (goal at least 0.8x)"
    )
    sync, bare_sync = now["SignalServiceClient"], now["bare httpx.Client.post"]
    print(
        f"SignalServiceClient.submit_signal / bare httpx.Client.post, time per request: "
        f"{bare_sync.rate() / sync.rate():.2f}x (goal at most 1.05x)"
    )


if __name__ == "__main__":
    main()
