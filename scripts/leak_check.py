"""Reference and memory leak check for the native client.

Every scenario drives one request path of quillmarsh.submit many times through an
in-process transport. After a warm-up, the calls run in equal rounds; memory the
interpreter has handed out (tracemalloc) must not grow round after round (a leak grows
every round; a table of the interpreter's that resizes once grows one round only) nor in
total beyond a small bound, and the objects the calls were given must get their reference
counts back.

    python scripts/leak_check.py [--calls N] [--only NAME ...]
"""

from __future__ import annotations

import argparse
import gc
import json
import logging
import sys
import tracemalloc
from typing import Callable

import httpx

import quillmarsh.submit as submit

WARMUP = 2_000
ROUNDS = 4
ROUND_GROWTH_BOUND_BYTES = 64 * 1024
TOTAL_GROWTH_BOUND_BYTES = 2 * 1024 * 1024


class Response:
    def __init__(self, status_code: int, content: bytes) -> None:
        self.status_code = status_code
        self.content = content


class ScriptedTransport:
    """Answers every request with one response, or raises one exception."""

    def __init__(self, status_code: int = 200, content: bytes = b"{}", error: BaseException | None = None,
                 read_body: bool = True) -> None:
        self.response = Response(status_code, content)
        self.error = error
        self.read_body = read_body

    def _answer(self, content=None):
        if self.error is not None:
            raise self.error
        if self.read_body and content is not None and not isinstance(content, bytes):
            for _ in content:
                pass
        return self.response

    def post(self, path, *, content=None, headers=None):
        return self._answer(content)

    def get(self, path, *, headers=None):
        return self._answer()


class FailingTransport:
    """Refuses every request with a fresh connection error, as a real transport would."""

    def post(self, path, *, content=None, headers=None):
        raise httpx.ConnectError("connection refused")

    get = post


def _client(transport, observer=None) -> submit.SignalServiceClient:
    return submit.SignalServiceClient("https://signals.example", "token", transport=transport,
                                      transmission_observer=observer)


def _expect(exc_type: type[BaseException], fn: Callable[[], object]) -> Callable[[], None]:
    def run() -> None:
        try:
            fn()
        except exc_type:
            return
        raise AssertionError(f"expected {exc_type.__name__}")
    return run


BODY = {"graph": {"op": "rank"}, "named_universe": "us_top", "idempotency_key": "key-1"}

ERA = {"era_number": 2, "market_id": 1, "state": "active", "max_depth": 3, "max_node_count": 4, "frequency": "1d",
       "thresholds": {"is_correlation_threshold": 0.7, "is_pnl_mi_threshold": 0.1},
       "universe_rules": {"us_top": {"rule_id": 12}},
       "signal_pools": {"pool-a": {"universes": [{"universe_rule_id": "12", "signal_is_thresholds": {"sharpe": 1}}],
                                   "is_correlation_threshold": 0.6}}}
CATALOG = {"eras_by_market": {"1": [{"era_number": 1, "id": 1}, ERA]}, "active_market_era": {"era_number": "2"}}


class EraRecord:
    """An era given as an object: its fields are attributes, missing ones raise AttributeError."""

    def __init__(self, **fields):
        self.__dict__.update(fields)


def era_scenarios() -> dict[str, tuple[Callable[[], None], list[object]]]:
    cached = _client(ScriptedTransport(200, json.dumps(CATALOG).encode()))
    cached._fetch_era_catalog()
    unavailable = _client(ScriptedTransport(503, b'{"error": "busy"}'))
    unreachable = _client(FailingTransport())
    objects = {"eras": [EraRecord(era_number=1, state=None), EraRecord(id=7, state="Open")], "active_era_number": 9}
    graph, graph_too_deep = "rank(close)", "rank(ts_mean(ts_delta(close, 1), 5))"

    def select() -> None:
        submit._active_era_from_catalog(CATALOG, market_id="1", era_number=2.0)
        submit._active_era_from_catalog(CATALOG)
        submit._active_era_from_catalog(objects, era_number="x")
        submit._required_positive_era_int(ERA, "market_id")
        submit._simulation_data_contract_projection_from_era(ERA)
        submit._coerce_optional_int("1.5")
        submit._mapping_lookup({"3": 1}, 3)
        _expect(ValueError, lambda: submit._required_active_submit_era({"eras": []}))()
        _expect(ValueError, lambda: submit._required_positive_era_int(objects["eras"][0], "max_depth"))()
        _expect(ValueError, lambda: submit._required_era_frequency({"frequency": " "}))()

    def gates_pass() -> None:
        submit._enforce_graph_complexity_for_submit(graph, ERA)
        submit._backtest_timing.record_backtest_timing(graph, row_count=10, elapsed_seconds=1.0,
                                                       max_row_elapsed_seconds=0.1)
        submit._enforce_recorded_backtest_timing_for_submit(graph, ERA)

    def gates_refuse() -> None:
        _expect(ValueError, lambda: submit._enforce_graph_complexity_for_submit(graph_too_deep, ERA))()
        _expect(ValueError, lambda: submit._enforce_recorded_backtest_timing_for_submit(graph, ERA))()
        submit._backtest_timing.record_backtest_timing(graph, row_count=10, elapsed_seconds=9.0,
                                                       max_row_elapsed_seconds=0.9)
        _expect(ValueError, lambda: submit._enforce_recorded_backtest_timing_for_submit(graph, ERA))()

    return {
        "era_thresholds": (lambda: cached._resolve_submit_thresholds("us_top", "pool-a", market_id=1),
                           [cached, cached._era_catalog_cache]),
        "era_threshold_refusals": (_expect(ValueError, lambda: cached._resolve_submit_thresholds("eu", "pool-a")),
                                   [cached]),
        "era_fetch_failed": (_expect(ValueError, lambda: unavailable._resolve_submit_thresholds("us_top", "pool-a")),
                             [unavailable]),
        "era_fetch_unreachable": (_expect(ValueError, lambda: unreachable._fetch_era_catalog()), [unreachable]),
        "era_selection": (select, [CATALOG, ERA, objects]),
        "graph_gates_pass": (gates_pass, [ERA, graph]),
        "graph_gates_refuse": (gates_refuse, [ERA, graph, graph_too_deep]),
    }


def scenarios() -> dict[str, tuple[Callable[[], None], list[object]]]:
    """name -> (one call, objects whose reference counts must not move)."""
    ok = _client(ScriptedTransport(200, b'{"submission_id": "s-1"}'))
    rejected = _client(ScriptedTransport(422, b'{"error": "bad", "details": {"x": 1}}'))
    malformed = _client(ScriptedTransport(503, b"<html>busy</html>"))
    non_object = _client(ScriptedTransport(200, b"[1, 2]"))
    broken = _client(FailingTransport())
    observed = _client(ScriptedTransport(200, b"{}"), observer=lambda *args: None)
    unread = _client(ScriptedTransport(200, b"{}", read_body=False), observer=lambda *args: None)
    body = BODY
    return {
        "success": (lambda: ok._canonical_request("POST", "signals/submit", body), [ok, body]),
        "get": (lambda: ok._canonical_request("GET", "eras"), [ok]),
        "rejection": (_expect(submit.SubmissionRejectedError,
                              lambda: rejected._canonical_request("POST", "signals/submit", body)), [rejected, body]),
        "malformed_body": (_expect(submit.SignalClientResponseError,
                                   lambda: malformed._canonical_request("POST", "signals/submit", body)),
                           [malformed, body]),
        "non_object_body": (_expect(submit.SignalClientResponseError,
                                    lambda: non_object._canonical_request("GET", "eras")), [non_object]),
        "transport_error": (_expect(httpx.ConnectError,
                                    lambda: broken._canonical_request("POST", "signals/submit", body)),
                            [broken, body]),
        "observed_body": (lambda: observed._canonical_request("POST", "signals/submit", body), [observed, body]),
        "unread_observed_body": (_expect(RuntimeError,
                                         lambda: unread._canonical_request("POST", "signals/submit", body)),
                                 [unread, body]),
        "argument_error": (_expect(TypeError, lambda: submit._request_json("GET")), []),
        "percent_encode": (lambda: submit._percent_encode("a b/é~"), []),
        **era_scenarios(),
    }


def check(name: str, call: Callable[[], None], watched: list[object], calls: int) -> bool:
    # Tracing starts before the warm-up: a block that merely grows once (a cache reaching
    # its size) is then counted when it is first made, not as growth of the loop.
    tracemalloc.start()
    for _ in range(WARMUP):
        call()
    gc.collect()
    refcounts = list(map(sys.getrefcount, watched))
    marks = [tracemalloc.get_traced_memory()[0]]
    for _ in range(ROUNDS):
        for _ in range(calls // ROUNDS):
            call()
        gc.collect()
        marks.append(tracemalloc.get_traced_memory()[0])
    tracemalloc.stop()
    moved = [after - before for after, before in zip(map(sys.getrefcount, watched), refcounts)]
    rounds = [b - a for a, b in zip(marks, marks[1:])]
    steady_growth = min(rounds) > ROUND_GROWTH_BOUND_BYTES
    ok = not steady_growth and marks[-1] - marks[0] <= TOTAL_GROWTH_BOUND_BYTES and not any(moved)
    print(f"{'ok  ' if ok else 'LEAK'} {name:<24} calls={calls} growth_per_round={rounds}B refcount_deltas={moved}")
    return ok


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=100_000)
    parser.add_argument("--only", nargs="*")
    args = parser.parse_args(argv)
    # The malformed-body paths log a warning per call; keep the check quiet.
    logging.getLogger("quillmarsh.submit").setLevel(logging.CRITICAL)
    logging.getLogger("quillmarsh.submit").propagate = False
    results = [check(name, call, watched, args.calls)
               for name, (call, watched) in scenarios().items()
               if not args.only or name in args.only]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
