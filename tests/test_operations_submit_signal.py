"""submit_signal through injected transports, and the idempotency key of a body."""

import json
import math
import re

import httpx
import pytest
from fakes import SIGNAL_GRAPH, FakeResponse, keyed, signal_body, signal_catalog, signal_kwargs
from helpers import host_message

from quillmarsh import _backtest_timing, submit
from quillmarsh.submit import SignalServiceClient

RETRY_ASK = {"error": "malformed_request", "detail": "signal_pool_id is required"}
AUTHORITY = "caller-supplied thresholds are not accepted; submit thresholds must come from era thresholds"


def send(client, **overrides):
    return client.submit_signal(SIGNAL_GRAPH, "us_top", **signal_kwargs(**overrides))


def test_steps_run_in_order_through_the_namespace_and_the_client(monkeypatch, signal_client):
    log, depth = [], [0]

    def spy(name, real):
        def call(*args, **kwargs):
            log.extend([(name, args[-2:], kwargs)] if depth[0] == 0 else [])
            depth[0] += 1
            try:
                return real(*args, **kwargs)
            finally:
                depth[0] -= 1

        return call

    steps = (
        "_reject_caller_threshold_authority _validate_named_universe _validate_selected_pool_id require "
        "_resolve_submit_thresholds _fetch_era_catalog _required_active_submit_era _required_positive_era_int "
        "_required_positive_era_int _validate_submission_contract _enforce_graph_complexity_for_submit "
        "_enforce_recorded_backtest_timing_for_submit _submission_is_stats_payload _mi_contract_json_value "
        "_validate_optional_manifest_int _validate_optional_manifest_int _validate_optional_manifest_int "
        "_simulation_data_contract_projection_from_era _idempotency_key_for_body _canonical_request "
        "_submit_result_from_body"
    ).split()
    monkeypatch.setattr(
        _backtest_timing,
        "require_recorded_backtest_timing",
        spy("require", _backtest_timing.require_recorded_backtest_timing),
    )
    for name in set(steps) - {"require"}:
        if hasattr(submit, name):
            monkeypatch.setattr(submit, name, spy(name, getattr(submit, name)))
        else:  # a member, overridden on the instance
            setattr(signal_client, name, spy(name, getattr(signal_client, name)))
    send(signal_client, client_manifest_version=5)
    assert [entry[0] for entry in log] == steps
    assert (log[0][2], log[4][1:]) == (
        {"threshold_checks": None, "thresholds": None},
        (("us_top", "pool-a"), {"market_id": None, "era_number": None}),
    )


ALL_OPTIONAL = dict(
    is_stats={"sharpe": 2, "is_correlation": 0.1, "_threshold_checks": ["x"]},
    is_pnl_mi=math.inf,
    metaparameters={"w": 1},
    search_state=[0],
    client_manifest_version=2,
    market_id=7,
    era_number=3,
    client_manifest_market_id=70,
    client_manifest_era_number=30,
)
ALL_OPTIONAL_BODY = {
    **dict(list(signal_body().items())[:5]),
    "is_stats": {"sharpe": 2, "is_correlation": 0.1},
    "is_pnl_mi": "Infinity",
    "expression_elapsed_seconds": 0.5,
    "market_id": 7,
    "era_number": 3,
    "client_manifest_version": 2,
    "client_manifest_market_id": 70,
    "client_manifest_era_number": 30,
    "metaparameters": {"w": 1},
    "search_state": [0],
    "simulation_data_contract_projection": {"fields": ["close"]},
}


@pytest.mark.parametrize(
    "overrides, era, expected",
    [
        ({}, {}, keyed(signal_body())),
        ({"idempotency_key": 12345}, {}, {**signal_body(), "idempotency_key": "12345"}),
        ({"idempotency_key": ""}, {}, {**signal_body(), "idempotency_key": ""}),
        (ALL_OPTIONAL, {"simulation_data_contract_projection": {"fields": ["close"]}}, keyed(ALL_OPTIONAL_BODY)),
    ],
)
def test_body_on_the_wire(signal_client, fake_transport, overrides, era, expected):
    signal_client._era_catalog_cache = signal_catalog(**era)
    fake_transport.respond(202, {"submission_id": "s-1"})
    assert send(signal_client, **overrides).submission_id == "s-1"
    [call] = fake_transport.calls
    assert call.sent == json.dumps(expected).encode()
    assert call.kwargs["headers"].get("Idempotency-Key") == (expected["idempotency_key"] or None)


def test_the_key_is_the_digest_of_the_canonical_body(signal_client, fake_transport):
    # The SHA-256 of the canonical text below, taken once with sha256sum: a change of the rule
    # (order, separators, number form, prefix) changes every key the service has stored.
    canonical = (
        '{"client_manifest_era_number":3,"client_manifest_market_id":7,"era_number":3,'
        '"expression_elapsed_seconds":0.5,"graph":"rank(ts_mean(close, 5))","graph_depth":3,"graph_node_count":4,'
        '"is_pnl_mi":0.4,"is_stats":{"is_correlation":0.2,"sharpe":1.5},"market_id":7,"named_universe":"us_top",'
        '"signal_pool_name":"pool-a"}'
    )
    golden = "sigsubmit-78e4ba6309253e24c02cbc49e1849fd4084ec0f387899a89216b6848bb4b5943"
    send(signal_client)
    sent = json.loads(fake_transport.calls[0].sent)
    assert {k: v for k, v in sent.items() if k != "idempotency_key"} == json.loads(canonical)
    assert sent["idempotency_key"] == golden == SignalServiceClient._idempotency_key_for_body(json.loads(canonical))


def test_key_does_not_depend_on_the_order_of_is_stats(signal_client, fake_transport, record_timing):
    record_timing()
    send(signal_client, is_stats={"sharpe": 1.5, "is_correlation": 0.2, "turnover": 0.1})
    send(signal_client, is_stats={"turnover": 0.1, "is_correlation": 0.2, "sharpe": 1.5})
    first, second = (json.loads(call.sent) for call in fake_transport.calls)
    assert list(first["is_stats"]) != list(second["is_stats"])
    assert first["idempotency_key"] == second["idempotency_key"] == keyed(first)["idempotency_key"]


@pytest.mark.parametrize("caller_key", [None, 12345])
@pytest.mark.parametrize(
    "second, expected",
    [
        (FakeResponse(202, {"submission_id": "s-2"}), (202, "s-2", None)),
        (FakeResponse(400, RETRY_ASK), (400, None, "malformed_request")),
    ],
)
def test_legacy_retry_posts_once_more_with_signal_pool_id(signal_client, fake_transport, caller_key, second, expected):
    fake_transport.responses.extend([FakeResponse(400, RETRY_ASK), second])
    result = send(signal_client, idempotency_key=caller_key)
    assert (result.status_code, result.submission_id, result.error) == expected
    first, retry = fake_transport.calls
    legacy = {**json.loads(first.sent), "signal_pool_id": "pool-a"}
    if caller_key is None:
        legacy = keyed({k: v for k, v in legacy.items() if k != "idempotency_key"})
        assert legacy["idempotency_key"] != json.loads(first.sent)["idempotency_key"]
    assert retry.sent == json.dumps(legacy).encode()
    assert retry.kwargs["headers"]["Idempotency-Key"] == legacy["idempotency_key"]


def test_failure_of_the_retry_raises_in_the_context_of_the_rejection(signal_client, fake_transport):
    fake_transport.responses.extend([FakeResponse(400, RETRY_ASK), FakeResponse(500, b"[]")])
    with pytest.raises(submit.SignalClientResponseError) as caught:
        send(signal_client)
    assert type(caught.value.__context__) is submit.SubmissionRejectedError and len(fake_transport.calls) == 2


def preview_body(text, status, preview=None):
    return {"error": text, "raw_body_preview": text if preview is None else preview, "status_code": status}


def failed(status_code, body, error):
    return {"status_code": status_code, "body": body, "error": error, "submission_id": None, "signal_pool_id": None}


@pytest.mark.parametrize(
    "answer, expected",
    [
        (
            FakeResponse(
                202, {"submission_id": "s", "signal_pool_id": "p", "strategy_pool_id": 1, "strategy_signal_pool": 2}
            ),
            {
                "status_code": 202,
                "submission_id": "s",
                "signal_pool_id": "p",
                "strategy_pool_id": 1,
                "strategy_signal_pool": 2,
                "error": None,
            },
        ),
        (FakeResponse(422, {"reason": "too_correlated"}), failed(422, {"reason": "too_correlated"}, "too_correlated")),
        (
            FakeResponse(400, {**RETRY_ASK, "detail": "x"}),
            failed(400, {**RETRY_ASK, "detail": "x"}, "malformed_request"),
        ),
        (
            FakeResponse(404, b"<html>nope</html>\n"),
            failed(404, preview_body("<html>nope</html>", 404), "<html>nope</html>"),
        ),
        (FakeResponse(503, b"[1]"), failed(503, preview_body("[1]", 503), "[1]")),
        (FakeResponse(502, b"  "), failed(502, preview_body("http_502", 502, ""), "http_502")),
        (httpx.ConnectError("refused"), failed(0, None, "refused")),
        (ConnectionResetError(), failed(0, None, "ConnectionResetError")),
    ],
)
def test_outcomes_become_results(signal_client, fake_transport, answer, expected):
    fake_transport.responses.append(answer)
    result = send(signal_client)
    assert type(result) is submit.SubmitResult and len(fake_transport.calls) == 1
    assert {field: getattr(result, field) for field in expected} == expected


@pytest.mark.parametrize(
    "answer", [FakeResponse(500, b"<html>"), FakeResponse(501, b""), FakeResponse(200, b"[]"), KeyError("x")]
)
def test_other_failures_raise_unchanged(signal_client, fake_transport, answer):
    fake_transport.responses.append(answer)
    with pytest.raises(Exception) as caught:
        send(signal_client)
    assert (caught.value is answer and caught.value.__context__ is None) or (
        type(caught.value) is submit.SignalClientResponseError and caught.value.status_code == answer.status_code
    )


@pytest.mark.parametrize(
    "overrides, error, message, requests",
    [
        ({"thresholds": {}}, ValueError, AUTHORITY, []),
        ({"threshold_checks": []}, ValueError, AUTHORITY, []),
        ({"market_id": "7"}, ValueError, "client_manifest_market_id must be a positive integer", ["get"]),
        ({"era_number": "3"}, ValueError, "client_manifest_era_number must be a positive integer", ["get"]),
        (
            {"metaparameters": {"w": math.nan}},
            ValueError,
            host_message(lambda: json.dumps(math.nan, allow_nan=False)),
            ["get"],
        ),
        ({"search_state": {1, 2}}, TypeError, host_message(lambda: json.dumps({1, 2})), ["get"]),
    ],
)
def test_refusals_post_nothing(signal_client, fake_transport, overrides, error, message, requests):
    signal_client._era_catalog_cache = None
    fake_transport.respond(200, signal_catalog())
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        send(signal_client, **overrides)
    assert [call.name for call in fake_transport.calls] == requests


class Items:
    def __init__(self, *pairs):
        self.items = lambda: iter(pairs)


@pytest.mark.parametrize(
    "body, error",
    [
        ({}, None),
        ({"b": 1, "a": [1.5, None, True], "idempotency_key": "x"}, None),
        ({"z": "é\u2603", "n": {"y": 2}}, None),
        (Items(("idempotency_key", 1), ("k", "v")), None),
        ({"x": math.inf}, ValueError),
        ({"x": object()}, TypeError),
        ({1: 1, "a": 2}, TypeError),
        (Items((1, 2, 3)), ValueError),
    ],
)
def test_idempotency_key_for_body(body, error):
    if error is not None:
        with pytest.raises(error):
            SignalServiceClient._idempotency_key_for_body(body)
        return
    key = SignalServiceClient._idempotency_key_for_body(body)
    assert key == keyed(body)["idempotency_key"] and re.fullmatch("sigsubmit-[0-9a-f]{64}", key)
