"""Submission operations: submit_signal for every outcome (with the legacy retry), submit_strategy,
status, listing and polling."""

from __future__ import annotations

import itertools
import json

import quillmarsh.submit as submit
from quillmarsh import _backtest_timing

from .common import FailingTransport, Response, Scenario, ScriptedTransport, _client, _expect

CALLS = 20_000
SUBMIT_CALLS = 100_000  # the main operation runs the full loop

GRAPH = "rank(ts_mean(close, 5))"
CATALOG = {
    "eras": [
        {
            "market_id": 7,
            "era_number": 3,
            "state": "active",
            "max_depth": 4,
            "max_node_count": 8,
            "frequency": "1d",
            "thresholds": {"is_correlation_threshold": 0.7, "is_pnl_mi_threshold": 0.1},
            "universe_rules": {"us_top": {"rule_id": 12}},
            "signal_pools": {"pool-a": {}},
            "simulation_data_contract_projection": {"fields": ["close"]},
        }
    ]
}
IS_STATS = {"sharpe": 1.5, "is_correlation": 0.2, "_threshold_checks": ["x"]}
METAPARAMETERS = {"window": 5}
RETRY_ASK = json.dumps({"error": "malformed_request", "detail": "signal_pool_id is required"}).encode()


class CyclingTransport(ScriptedTransport):
    """Answers requests with the given (status, content) pairs in turn, over and over."""

    def __init__(self, *answers: tuple[int, bytes]) -> None:
        super().__init__()
        self._answers = itertools.cycle([Response(status, content) for status, content in answers])

    def _answer(self, content=None):
        self.response = next(self._answers)
        return super()._answer(content)


class FakeClock:
    """Stands in for the module's `time`: sleeping moves the clock on, instantly."""

    def __init__(self) -> None:
        self.now = 0.0

    def monotonic(self) -> float:
        return self.now

    def sleep(self, seconds: float) -> None:
        self.now += seconds


def _signal_client(transport) -> submit.SignalServiceClient:
    client = _client(transport)
    client._era_catalog_cache = CATALOG
    return client


def _submitter(client, record=True, **overrides):
    kwargs = {
        "signal_pool_name": "pool-a",
        "is_stats": IS_STATS,
        "is_pnl_mi": 0.4,
        "expression_elapsed_seconds": 0.5,
        "metaparameters": METAPARAMETERS,
        **overrides,
    }

    def run():
        if record:
            _backtest_timing.record_backtest_timing(
                GRAPH, row_count=100, elapsed_seconds=1.0, max_row_elapsed_seconds=0.01
            )
        return client.submit_signal(GRAPH, "us_top", **kwargs)

    return run


def _polling(client, timeout):
    def run():
        clock, real = FakeClock(), submit.time
        submit.time = clock
        try:
            client.poll_until_terminal("s 1", timeout=timeout)
        finally:
            submit.time = real

    return run


def scenarios() -> dict[str, Scenario]:
    accepted = _signal_client(ScriptedTransport(202, b'{"submission_id": "s-1", "signal_pool_id": "p"}'))
    rejected = _signal_client(ScriptedTransport(422, b'{"reason": "too_correlated", "details": {"max": 0.7}}'))
    retried = _signal_client(CyclingTransport((400, RETRY_ASK), (202, b'{"submission_id": "s-2"}')))
    retried_twice = _signal_client(ScriptedTransport(400, RETRY_ASK))
    malformed = _signal_client(ScriptedTransport(503, b"<html>busy</html>"))
    server_error = _signal_client(ScriptedTransport(500, b"<html>oops</html>"))
    broken = _signal_client(FailingTransport())
    strategy = _client(ScriptedTransport(202, b'{"submission_id": "st-1"}'))
    strategy_rejected = _client(ScriptedTransport(409, b'{"reason": "duplicate"}'))
    status = _client(
        CyclingTransport(
            (200, b'{"status": "pending", "correlation": 1}'),
            (404, b'{"error": "unknown"}'),
            (400, b"<html>"),
            (200, b'{"status": "signal_found", "is_pnl_mi": "Infinity"}'),
        )
    )
    unreachable = _client(FailingTransport())
    listing = _client(
        CyclingTransport(
            (200, b'{"submissions": [{"submission_id": "s-1"}]}'), (403, b'{"error": "denied"}'), (404, b"nope")
        )
    )
    pending = _client(ScriptedTransport(200, b'{"status": "pending"}'))

    def statuses():
        for _ in range(4):
            status.get_signal_status("a b/c")
        unreachable.get_signal_status("s")

    def listings():
        for _ in range(3):
            listing.list_signal_submissions(status="signal found", since="2024-01-01T00:00:00Z", limit=5.0)
        unreachable.list_signal_submissions()

    def strategies():
        strategy.submit_strategy(
            GRAPH,
            "us_top",
            strategy_pool_name="sp",
            market_id=7,
            era_number=3,
            metaparameters=METAPARAMETERS,
            client_manifest_version=2,
        )
        _expect(
            submit.SubmissionRejectedError,
            lambda: strategy_rejected.submit_strategy(
                GRAPH, "us_top", strategy_pool_name="sp", market_id=7, era_number=3, idempotency_key=12
            ),
        )()
        _expect(
            ValueError, lambda: strategy.submit_strategy(GRAPH, strategy_pool_name="sp", market_id="7", era_number=3)
        )()

    signal_watched = [CATALOG, IS_STATS, METAPARAMETERS]
    return {
        "submit_accepted": (_submitter(accepted), [accepted, *signal_watched], SUBMIT_CALLS),
        "submit_rejected": (_submitter(rejected), [rejected, *signal_watched]),
        "submit_legacy_retry": (_submitter(retried), [retried, *signal_watched]),
        "submit_retry_rejected": (_submitter(retried_twice, idempotency_key=12345), [retried_twice, *signal_watched]),
        "submit_malformed_503": (_submitter(malformed), [malformed, *signal_watched]),
        "submit_unmapped_500": (
            _expect(submit.SignalClientResponseError, _submitter(server_error)),
            [server_error, *signal_watched],
        ),
        "submit_transport_error": (_submitter(broken), [broken, *signal_watched]),
        "submit_refused": (
            _expect(ValueError, _submitter(accepted, record=False, thresholds={"x": 1})),
            [accepted, IS_STATS],
        ),
        "submit_strategy": (strategies, [strategy, strategy_rejected, METAPARAMETERS]),
        "status": (statuses, [status, unreachable]),
        "listing": (listings, [listing, unreachable]),
        "poll": (_polling(pending, 0.25), [pending]),
        "idempotency_key": (
            lambda: submit.SignalServiceClient._idempotency_key_for_body(
                {"b": METAPARAMETERS, "idempotency_key": 1, "a": "é"}
            ),
            [METAPARAMETERS],
        ),
    }
