"""What the SDK faces cost, side by side in one run on the same realistic signals (workload.py):

* pre-screening: `quillmarsh.check_signals` against an era catalog given as a dict, in signals
  per second on one core (goal: at least 50,000), against the raw client's own preparation of
  the same signals as one batch (its checks, bodies and keys, nothing else) and against the
  least work a key needs (canonical `json.dumps` + SHA-256 of each body);
* overhead: `SignalClient.submit_signal` against the raw `SignalServiceClient.submit_signal`
  through the same in-process transport answering at once, and `AsyncSignalClient` against
  `AsyncSignalServiceClient` the same way, in microseconds per call.

Times are the best of several rounds; ratios are printed, never asserted.

    python benchmarks/bench_sdk.py [--signals N] [--calls N] [--rounds N]
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import hashlib
import json
import time

import workload

import quillmarsh
from quillmarsh import _backtest_timing, submit
from quillmarsh.async_client import AsyncSignalServiceClient

URL = "https://signals.example.com"


def best_of(rounds: int, setup, run) -> float:
    best = float("inf")
    for _ in range(rounds):
        setup()
        gc.collect()
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def key_floor(bodies: list[dict]) -> None:
    for body in bodies:
        canonical = json.dumps(body, sort_keys=True, separators=(",", ":"), allow_nan=False).encode("utf-8")
        hashlib.sha256(canonical).hexdigest()


def raw_preparation(signals: list[dict]) -> None:
    holder = submit.SignalServiceClient("http://127.0.0.1", "t", transport=object())
    holder._era_catalog_cache = workload.CATALOG
    exchange = submit._exchange("submit_signals_batch", holder, signals)
    while submit._exchange_next(exchange) is not None:
        pass


class AsyncInstant:
    def __init__(self) -> None:
        self.sync = workload.InstantTransport()

    async def get(self, path, *, headers=None):
        return self.sync.get(path, headers=headers)

    async def post(self, path, *, content=None, headers=None):
        if not isinstance(content, bytes):
            content = b"".join([chunk async for chunk in content])
        return self.sync.post(path, content=content, headers=headers)


def per_call(rounds: int, signals: list[dict], make, asynchronous: bool) -> float:
    """Seconds per submit_signal of the client `make(transport)` builds (catalog fetched first)."""
    client = make(AsyncInstant() if asynchronous else workload.InstantTransport())

    def setup() -> None:
        workload.record_timings(signals)

    async def submit_all() -> None:
        for signal in signals:
            await client.submit_signal(**signal)

    def run() -> None:
        if asynchronous:
            asyncio.run(submit_all())
        else:
            for signal in signals:
                client.submit_signal(**signal)

    setup()
    run()  # warm: the catalog is read once per client
    return best_of(rounds, setup, run) / len(signals)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--signals", type=int, default=20_000)
    parser.add_argument("--calls", type=int, default=2_000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    signals = workload.signals(args.signals)
    workload.record_timings(signals[:10])
    checked = quillmarsh.check_signals(signals[:10], catalog=workload.CATALOG)
    assert all(c.ok for c in checked), [c.problem for c in checked if not c.ok]
    workload.record_timings(signals)
    bodies = [c.body for c in quillmarsh.check_signals(signals, catalog=workload.CATALOG)]
    assert all(b is not None for b in bodies)

    def recorded() -> None:
        _backtest_timing.clear_recorded_backtest_timings()
        workload.record_timings(signals)

    screened = best_of(args.rounds, recorded, lambda: quillmarsh.check_signals(signals, catalog=workload.CATALOG))
    prepared = best_of(args.rounds, recorded, lambda: raw_preparation(signals))
    floor = best_of(args.rounds, lambda: None, lambda: key_floor(bodies))
    n = len(signals)
    print(
        f"pre-screening {n:,} signals: {n / screened:,.0f} signals/s ({screened / n * 1e6:.1f} us each; "
        f"goal 50,000/s); the raw preparation {n / prepared:,.0f}/s; the key floor {n / floor:,.0f}/s"
    )
    print(f"  check_signals / raw preparation: {screened / prepared:.2f}x; / key floor: {screened / floor:.2f}x")

    calls = signals[: args.calls]
    raw = per_call(args.rounds, calls, lambda t: submit.SignalServiceClient(URL, "tok", transport=t), False)
    face = per_call(
        args.rounds, calls, lambda t: quillmarsh.SignalClient(URL, "tok", transport=t, max_retries=0), False
    )
    araw = per_call(args.rounds, calls, lambda t: AsyncSignalServiceClient(URL, "tok", transport=t), True)
    aface = per_call(
        args.rounds, calls, lambda t: quillmarsh.AsyncSignalClient(URL, "tok", transport=t, max_retries=0), True
    )
    print(
        f"submit_signal, in-process answers: raw {raw * 1e6:.1f} us, SignalClient {face * 1e6:.1f} us "
        f"({face / raw:.2f}x, +{(face - raw) * 1e6:.1f} us)"
    )
    print(
        f"  asynchronous: raw {araw * 1e6:.1f} us, AsyncSignalClient {aface * 1e6:.1f} us "
        f"({aface / araw:.2f}x, +{(aface - araw) * 1e6:.1f} us)"
    )


if __name__ == "__main__":
    main()
