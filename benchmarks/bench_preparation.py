"""How much work the client adds to the least work its job needs.

Side by side, in one run, on the same realistic signals (see workload.py):

* batch: `submit_signals_batch` of 10,000 signals through an in-process transport that answers
  at once, against a baseline doing only the unavoidable work for the same signals:
  `json.dumps` of each body for the wire, the canonical `json.dumps` plus `hashlib.sha256` of
  each key, and `json.loads` of the answers (target: at most 1.2x);
* memory: the peak the batch allocates (tracemalloc) against the size of the serialised
  request bodies (target: at most 3x);
* single: `submit_signal` with the era catalog cached, against the same per-signal baseline
  (target: at most 1.3x).

Times are the best of several rounds; ratios are printed, never asserted.

    python benchmarks/bench_preparation.py [--signals N] [--single N] [--rounds N]
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import json
import time
import tracemalloc

import workload

from quillmarsh.submit import SignalServiceClient


def canonical_key(body: dict) -> str:
    payload = {k: v for k, v in body.items() if k != "idempotency_key"}
    canonical = json.dumps(payload, sort_keys=True, separators=(",", ":"), allow_nan=False).encode("utf-8")
    return "sigsubmit-" + hashlib.sha256(canonical).hexdigest()


def baseline(bodies: list[dict], answers: list[bytes]) -> None:
    """The least work: wire JSON and key of every body, and parsing every answer."""
    for body in bodies:
        json.dumps(body).encode("utf-8")
        canonical_key(body)
    for answer in answers:
        json.loads(answer)


def new_client(transport: workload.InstantTransport) -> SignalServiceClient:
    client = SignalServiceClient("https://signals.example.com", "token", transport=transport)
    client._fetch_era_catalog()  # the catalog is fetched once per client; keep it out of the timings
    return client


def best_of(rounds: int, setup, run) -> float:
    best = float("inf")
    for _ in range(rounds):
        setup()
        gc.collect()
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def bench_batch(count: int, rounds: int) -> None:
    signals = workload.signals(count)
    transport = workload.InstantTransport()
    client = new_client(transport)
    posted = transport.captured = []
    workload.record_timings(signals)
    result = client.submit_signals_batch(signals)
    transport.captured = None
    assert result.accepted == count, result
    bodies = [body for chunk in posted for body in json.loads(chunk)["signals"]]
    answers = [workload.batch_answer(min(100, count - start)) for start in range(0, count, 100)]

    client_time = best_of(
        rounds, lambda: workload.record_timings(signals), lambda: client.submit_signals_batch(signals)
    )
    base_time = best_of(rounds, lambda: None, lambda: baseline(bodies, answers))
    print(
        f"batch of {count}: client {client_time * 1e3:.1f} ms, baseline {base_time * 1e3:.1f} ms, "
        f"ratio {client_time / base_time:.2f} (target <= 1.2)"
    )

    workload.record_timings(signals)
    gc.collect()
    tracemalloc.start()
    tracemalloc.reset_peak()
    before = tracemalloc.get_traced_memory()[0]
    client.submit_signals_batch(signals)
    peak = tracemalloc.get_traced_memory()[1] - before
    tracemalloc.stop()
    wire = sum(len(chunk) for chunk in posted)
    print(
        f"batch of {count}: peak memory {peak / 2**20:.1f} MiB, request bodies {wire / 2**20:.1f} MiB, "
        f"ratio {peak / wire:.2f} (target <= 3)"
    )


def bench_single(count: int, rounds: int) -> None:
    signals = workload.signals(count, seed=11)
    transport = workload.InstantTransport()
    client = new_client(transport)

    def submit_all() -> None:
        for s in signals:
            client.submit_signal(
                s["graph"],
                s["named_universe"],
                signal_pool_name=s["signal_pool_name"],
                is_stats=s["is_stats"],
                is_pnl_mi=s["is_pnl_mi"],
                expression_elapsed_seconds=s["expression_elapsed_seconds"],
            )

    posted = transport.captured = []
    workload.record_timings(signals)
    submit_all()
    transport.captured = None
    bodies = [json.loads(content) for content in posted]
    answers = [workload.SUBMIT_ANSWER] * count

    client_time = best_of(rounds, lambda: workload.record_timings(signals), submit_all)
    base_time = best_of(rounds, lambda: None, lambda: baseline(bodies, answers))
    print(
        f"single submit_signal x{count}: client {client_time / count * 1e6:.1f} us, "
        f"baseline {base_time / count * 1e6:.1f} us per signal, ratio {client_time / base_time:.2f} (target <= 1.3)"
    )


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description="client preparation work against the least work needed")
    parser.add_argument("--signals", type=int, default=10_000)
    parser.add_argument("--single", type=int, default=2_000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args(argv)
    bench_batch(args.signals, args.rounds)
    bench_single(args.single, args.rounds)


if __name__ == "__main__":
    main()
