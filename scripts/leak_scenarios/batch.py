"""Batch submission: 250 signals in chunks of 100, a failure on the last chunk, a refusal."""

from __future__ import annotations

import json

from quillmarsh import _backtest_timing

from .common import Response, Scenario, _client, _expect
from .operations import CATALOG

CALLS = 200  # each call submits 250 signals

SIGNALS = [
    {
        "graph": f"rank(ts_mean(close, {i + 2}))",
        "named_universe": "us_top",
        "signal_pool_name": "pool-a",
        "is_stats": {"sharpe": 1.5, "is_correlation": 0.2},
        "is_pnl_mi": 0.4,
        "expression_elapsed_seconds": 0.5,
    }
    for i in range(250)
]


class ChunkTransport:
    """Accepts every chunk, or fails from the `fail_from`-th request on with a connection error."""

    def __init__(self, fail_from: int | None = None) -> None:
        self.fail_from = fail_from
        self.requests = 0
        self.answers = {
            n: json.dumps(
                {"results": [{"index": i, "status_code": 202, "body": {"submission_id": "s"}} for i in range(n)]}
            ).encode()
            for n in (50, 100)
        }

    def post(self, path, *, content=None, headers=None):
        self.requests += 1
        if self.fail_from is not None and self.requests % 3 >= self.fail_from:
            raise ConnectionResetError("connection reset")
        return Response(202, self.answers[content.count(b'"idempotency_key"')])

    def get(self, path, *, headers=None):
        raise AssertionError("the catalog is cached")


def _batch(transport) -> tuple:
    client = _client(transport)
    client._era_catalog_cache = CATALOG

    def run():
        for signal in SIGNALS:
            _backtest_timing.record_backtest_timing(
                signal["graph"], row_count=100, elapsed_seconds=1.0, max_row_elapsed_seconds=0.01
            )
        return client.submit_signals_batch(SIGNALS)

    return run, client


def scenarios() -> dict[str, Scenario]:
    accepted, accepted_client = _batch(ChunkTransport())
    failing, failing_client = _batch(ChunkTransport(fail_from=2))
    refused = [dict(SIGNALS[0], thresholds=None)]
    return {
        "batch_chunks": (accepted, [accepted_client, CATALOG, SIGNALS[0]]),
        "batch_partial_failure": (failing, [failing_client, CATALOG, SIGNALS[0]]),
        "batch_refused": (_expect(ValueError, lambda: accepted_client.submit_signals_batch(refused)), [refused[0]]),
    }
