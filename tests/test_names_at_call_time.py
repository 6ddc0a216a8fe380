"""Every name the module reads (a helper, a constant, a collaborator, a host module) is read when
the call needs it, as a Python module reads its globals: a replacement is called with what the
module's own would have been given, and its answer is what the caller goes on with."""

import dataclasses
import json
import math
import types
from collections.abc import Callable
from typing import Any

import pytest
from fakes import RequestFunc

from quillmarsh import _backtest_timing, submit
from quillmarsh.submit import SignalServiceClient

C = SignalServiceClient
ERA = {
    "era_number": 1,
    "state": "active",
    "universe_rules": {"us_top": {"rule_id": 12}},
    "thresholds": {"sharpe": 1.0},
    "signal_pools": {"pool-a": {}},
}


def contract(**overrides):
    args = dict(signal_pool_name="pool", is_stats={"sharpe": 1.0}, is_pnl_mi=0.5, expression_elapsed_seconds=0.25)
    return C._validate_submission_contract(**{**args, **overrides})


def resolving_client():
    client = C("https://signals.example", "tok", transport=object())
    client._fetch_era_catalog = lambda: "catalog"  # an instance attribute: reached through self
    return client


def request_via(request_func, endpoint="x", **kwargs):
    return submit._request_json("POST", endpoint, lambda: "tok", "https://signals.example", {}, request_func, **kwargs)


def sent_by(request_func, **kwargs):
    """`request_func` after it was handed a request."""
    request_via(request_func, **kwargs)
    return request_func


class ObservedBody(submit._TransmissionObservedBody):
    pass


def malformed_request(request_func):
    request_func.answer = (200, b"not json")
    with pytest.raises(submit.SignalClientResponseError) as caught:
        request_via(request_func)
    return caught.value.url, caught.value.raw_body_preview


def refusal(call):
    """The message of the ValueError `call` raises (None if it returns)."""
    try:
        call()
    except ValueError as exc:
        return str(exc)
    return None


@dataclasses.dataclass
class Row:
    replaced: dict[str, Any]  # name in the module (or "module.name" in a collaborator) -> value
    call: Callable[[], Any]
    expected: Any  # the call's result, or an exception type it raises
    calls: list | None = None  # for replacements that are callables: what each was called with


SPY = object()  # in `replaced`: a callable returning the value that follows it, its calls noted

ROWS = {
    "an era choice": Row(
        {"_active_era_from_catalog": (SPY, "picked")},
        lambda: submit._required_active_submit_era("cat", 4),
        "picked",
        [("_active_era_from_catalog", ("cat",), {"market_id": 4, "era_number": None})],
    ),
    "the era's integers": Row(
        {"_coerce_optional_int": (SPY, 1)},
        lambda: submit._active_era_from_catalog(
            {"eras": [{**ERA, "state": "closed"}, {**ERA, "era_number": 2}]}, era_number="x"
        ),
        {**ERA, "state": "closed"},  # "x" read as 1; the module's own reading finds no era "x" and takes the active one
    ),
    "the pool, rule and threshold collaborators": Row(
        {
            "_shared_selected_signal_pool_from_era_config": (SPY, {"is_correlation_threshold": 2}),
            "_rule_id_for_named_universe": (SPY, 4),
            "_signal_is_thresholds_for_pool": (SPY, [("mi_threshold", 3)]),
        },
        lambda: submit._submission_thresholds_from_era_catalog({"eras": [ERA]}, "us_top", "pool-a"),
        {"sharpe": 1.0, "mi_threshold": 3, "is_correlation_threshold": 2},
        [
            ("_shared_selected_signal_pool_from_era_config", (ERA, "pool-a"), {}),
            ("_rule_id_for_named_universe", (ERA, "us_top"), {}),
            ("_signal_is_thresholds_for_pool", ({"is_correlation_threshold": 2}, 4), {}),
        ],
    ),
    "the thresholds of a catalog, from a method": Row(
        {"_submission_thresholds_from_era_catalog": (SPY, "thresholds")},
        lambda: resolving_client()._resolve_submit_thresholds("u", "p", 3),
        "thresholds",
        [("_submission_thresholds_from_era_catalog", ("catalog", "u", "p"), {"market_id": 3, "era_number": None})],
    ),
    "the backtest-timing registry": Row(
        {"_backtest_timing.consume_recorded_backtest_timing": (SPY, None)},
        lambda: submit._enforce_recorded_backtest_timing_for_submit("g", None),
        ValueError,
        [("_backtest_timing.consume_recorded_backtest_timing", ("g",), {})],
    ),
    "the unreserved bytes": Row(
        {"_UNRESERVED_BYTES": frozenset(b"/\xc3")}, lambda: submit._percent_encode("a/é"), "%61/\xc3%A9"
    ),
    "the retired aliases": Row(
        {"_RETIRED_UNIVERSE_ALIAS_KEYS": ["legacy_id"]},
        lambda: [
            refusal(lambda: submit._reject_retired_universe_aliases(body))
            for body in ({"universe_id": 1}, {"legacy_id": 1})
        ],
        [None, "legacy_id is retired; submit named_universe"],
    ),
    "the finiteness walk": Row(
        {"_has_non_finite_number": (SPY, False)}, lambda: contract(is_stats={"x": math.nan}), None
    ),
    "the math module": Row(
        {"math": types.SimpleNamespace(isfinite=lambda x: x < 1.0, isnan=math.isnan)},
        lambda: refusal(lambda: contract(is_stats={"sharpe": 0.5}, expression_elapsed_seconds=2.0)),
        "expression_elapsed_seconds must be a positive float",
    ),
    "the MI coercion": Row({"_coerce_mi_contract_value": (SPY, -5)}, lambda: submit._mi_contract_json_value("x"), -5.0),
    "the URL joining and the preview length": Row(
        {"_join_url": lambda server_url, endpoint: f"https://elsewhere/{endpoint}", "_MALFORMED_BODY_PREVIEW_BYTES": 2},
        lambda: malformed_request(RequestFunc()),
        ("https://elsewhere/x", b"no"),
    ),
    "the JSON module": Row(
        {"json": types.SimpleNamespace(dumps=lambda body: "<custom>", loads=json.loads)},
        lambda: sent_by(RequestFunc()).sent,
        b"<custom>",
    ),
    "the refusal of an answer": Row(
        {"_raise_submission_rejected": (SPY, None)}, lambda: request_via(RequestFunc(404, {"e": 1})), (404, {"e": 1})
    ),
    "the observed body": Row(
        {"_TransmissionObservedBody": ObservedBody},
        lambda: type(sent_by(RequestFunc(), transmission_observer=lambda *a: None).calls[-1][3]),
        ObservedBody,
    ),
    "the JSON reader of an answer": Row(
        {"_parse_response_json": (SPY, {"parsed": 1})}, lambda: request_via(RequestFunc()), (200, {"parsed": 1})
    ),
}


@pytest.mark.parametrize("row", ROWS.values(), ids=ROWS.keys())
def test_a_replacement_by_name_is_honoured(monkeypatch, row):
    calls = []

    def spy(name, answer):
        def replacement(*args, **kwargs):
            calls.append((name, args, kwargs))
            return answer

        return replacement

    for dotted, value in row.replaced.items():
        owner, _, name = dotted.rpartition(".")
        target = {"": submit, "_backtest_timing": _backtest_timing}[owner]
        monkeypatch.setattr(target, name, spy(dotted, value[1]) if isinstance(value, tuple) else value)
    if isinstance(row.expected, type) and issubclass(row.expected, BaseException):
        with pytest.raises(row.expected):
            row.call()
    else:
        assert row.call() == row.expected
    if row.calls is not None:
        assert calls == row.calls
    else:
        assert {name for name, _, _ in calls} == {n for n, v in row.replaced.items() if isinstance(v, tuple)}
