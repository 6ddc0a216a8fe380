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
        **validation_scenarios(),
    }


class _Gate:
    """A threshold gate that always fails its one gate."""

    def __init__(self) -> None:
        failure = type("Failure", (), {"gate": "sharpe", "actual": 0.5, "operator": ">=", "threshold": 1.0})()
        self.verdict = type("Verdict", (), {"passed": False, "failures": (failure,)})()

    def __call__(self, **kwargs):
        return self.verdict


def _deep_stats(depth: int) -> dict:
    stats: dict = {"sharpe": 1.0}
    for _ in range(depth):
        stats = {"nested": [stats]}
    return stats


def validation_scenarios() -> dict[str, tuple[Callable[[], None], list[object]]]:
    import quillmarsh.agent_onboarding as onboarding

    contract = submit.SignalServiceClient._validate_submission_contract
    stats = {"sharpe": 1.2, "turnover": 0.3, "nested": {"a": [1, 2.5, (3, 4)]}, "_threshold_checks": {"x": 1}}
    thresholds = {"min_sharpe": 1.0, "max_turnover": 0.5}
    bad_stats = {"sharpe": 1.0, "series": [1.0, float("nan")]}
    mi_stats = {"sharpe": 1.0, "x": {"is_mi": 1}}
    deep = _deep_stats(5_000)
    cyclic: dict = {"sharpe": 1.0}
    cyclic["self"] = cyclic
    failing_gate = _Gate()
    real_gate = submit.evaluate_threshold_gates

    def gate_failure() -> None:
        submit.evaluate_threshold_gates = failing_gate
        try:
            _expect(ValueError, lambda: contract("pool", stats, 0.5, 0.1, thresholds))()
        finally:
            submit.evaluate_threshold_gates = real_gate

    def onboarding_default() -> None:
        saved = onboarding._config
        onboarding._config = {"named_universe": " us_top "}
        try:
            submit._validate_named_universe(None)
        finally:
            onboarding._config = saved

    def onboarding_broken() -> None:
        saved = onboarding._config
        onboarding._config = None  # no get(): counts as no default
        try:
            _expect(ValueError, lambda: submit._validate_named_universe("  "))()
        finally:
            onboarding._config = saved

    def replaced_walks() -> None:
        # The walks call wrappers of themselves by name for every nested value.
        originals = {name: getattr(submit, name) for name in
                     ("_has_non_finite_number", "_has_disallowed_mi_contract_field", "_is_finite_number")}
        for name, original in originals.items():
            setattr(submit, name, lambda value, original=original: original(value))
        try:
            contract("pool", stats, 0.5, 0.1)
            _expect(ValueError, lambda: contract("pool", bad_stats, 0.5, 0.1))()
        finally:
            for name, original in originals.items():
                setattr(submit, name, original)

    return {
        "contract_replaced_walks": (replaced_walks, [stats, bad_stats]),
        "contract_pass": (lambda: contract("pool", stats, "Infinity", 0.1, thresholds, 1, 2, 3), [stats, thresholds]),
        "contract_non_finite": (_expect(ValueError, lambda: contract("pool", bad_stats, 0.5, 0.1)), [bad_stats]),
        "contract_mi_field": (_expect(ValueError, lambda: contract("pool", mi_stats, 0.5, 0.1)), [mi_stats]),
        "contract_mi_overflow": (_expect(ValueError, lambda: contract("pool", stats, 10 ** 400, 0.1)), [stats]),
        "contract_gate_failure": (gate_failure, [stats, thresholds, failing_gate]),
        "contract_deep_input": (_expect(RecursionError, lambda: contract("pool", deep, 0.5, 0.1)), [deep]),
        "contract_cyclic_input": (_expect(RecursionError, lambda: contract("pool", cyclic, 0.5, 0.1)), [cyclic]),
        "metric_helpers": (lambda: (submit._stat_metric(stats, ("x", "sharpe")), submit._mi_contract_json_value(3),
                                    submit._submission_is_stats_payload(stats)), [stats]),
        "named_universe": (lambda: submit._validate_named_universe(" us_top "), []),
        "named_universe_unsafe": (_expect(ValueError, lambda: submit._validate_named_universe("a/b")), []),
        "onboarding_default": (onboarding_default, []),
        "onboarding_broken": (onboarding_broken, []),
        "retired_alias": (_expect(ValueError, lambda: submit._reject_retired_universe_aliases(BODY | {"universe_id": 1})),
                          [BODY]),
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
