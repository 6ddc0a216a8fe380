"""submit_signals_batch: shape and contract checks before any POST, chunks of 100, index
rebasing, partial failures, derived keys."""

import copy
import json

import httpx
import pytest
from fakes import keyed, signal_catalog

from quillmarsh import _backtest_timing
from quillmarsh.submit import SignalClientResponseError

AUTHORITY = "caller-supplied thresholds are not accepted; submit thresholds must come from era thresholds"


def graph(i):
    return f"rank(ts_mean(close, {i + 2}))"


def submission(i, **extra):
    return {
        "graph": graph(i),
        "named_universe": "us_top",
        "signal_pool_name": "pool-a",
        "is_stats": {"sharpe": 1.5, "is_correlation": 0.2, "_threshold_checks": {"x": 1}},
        "is_pnl_mi": 0.4,
        "expression_elapsed_seconds": 0.5,
        **extra,
    }


def prepared(i, **extra):
    """What the batch posts for submission(i): era fields filled, gates measured, key derived."""
    return keyed(
        {
            "graph": graph(i),
            "named_universe": "us_top",
            "signal_pool_name": "pool-a",
            "is_stats": {"sharpe": 1.5, "is_correlation": 0.2},
            "is_pnl_mi": 0.4,
            "expression_elapsed_seconds": 0.5,
            **extra,
            "market_id": 7,
            "era_number": 3,
            "client_manifest_market_id": 7,
            "client_manifest_era_number": 3,
            "graph_depth": 3,
            "graph_node_count": 4,
        }
    )


def answer(count, status=202):
    return {"results": [{"index": i, "status_code": status, "body": {"submission_id": f"s-{i}"}} for i in range(count)]}


@pytest.fixture
def batch(signal_client, fake_transport):
    _backtest_timing.clear_recorded_backtest_timings()  # the client's one timing: each run records its own

    def run(submissions):
        for item in submissions:
            if isinstance(item, dict) and "graph" in item:
                _backtest_timing.record_backtest_timing(
                    item["graph"], row_count=100, elapsed_seconds=1.0, max_row_elapsed_seconds=0.01
                )
        return signal_client.submit_signals_batch(submissions)

    return run


def posted(transport):
    return [json.loads(call.sent)["signals"] for call in transport.calls if call.name == "post"]


def test_one_request_with_prepared_bodies_and_callers_dicts_unchanged(batch, fake_transport):
    submissions = (submission(0), submission(1, idempotency_key=None, metaparameters={"w": 5}), submission(0))
    before = copy.deepcopy(submissions)
    fake_transport.respond(202, answer(3))
    result = batch(list(submissions))
    assert submissions == before
    [signals] = posted(fake_transport)
    assert signals == [prepared(0), {**prepared(1, metaparameters={"w": 5}), "idempotency_key": None}, prepared(0)]
    assert list(signals[0]) == list(prepared(0))
    assert signals[0]["idempotency_key"] == signals[2]["idempotency_key"]
    assert "Idempotency-Key" not in fake_transport.calls[0].kwargs["headers"]
    assert (result.status_code, result.accepted, result.failed, [r.index for r in result.results]) == (
        202,
        3,
        0,
        [0, 1, 2],
    )


@pytest.mark.parametrize("count, sizes", [(0, [0]), (99, [99]), (100, [100]), (101, [100, 1]), (250, [100, 100, 50])])
def test_chunks_of_100_with_rebased_indices(batch, fake_transport, signal_client, monkeypatch, count, sizes):
    for size in sizes:
        fake_transport.respond(202, answer(size))
    combined = []  # a batch of up to 100 is one request whose result stands as it is
    combine = signal_client._combine_batch_chunk_results
    monkeypatch.setattr(
        signal_client, "_combine_batch_chunk_results", lambda results: combined.append(len(results)) or combine(results)
    )
    result = batch([submission(i) for i in range(count)])
    assert combined == ([len(sizes)] if count > 100 else [])
    assert [len(signals) for signals in posted(fake_transport)] == sizes
    assert [r.index for r in result.results] == list(range(count))
    assert [r.submission_id for r in result.results][-1:] == [f"s-{(count - 1) % 100}"][:count]
    assert (result.status_code, result.accepted, result.failed) == (202, count, 0)


@pytest.mark.parametrize(
    "failure, status, error",
    [
        (httpx.ConnectError("connection refused"), 0, "connection refused"),
        (SignalClientResponseError("bad", status_code=429, url="u", raw_body=b"slow down"), 429, "slow down"),
    ],
)
def test_failure_on_the_third_chunk_keeps_the_first_two(batch, fake_transport, failure, status, error):
    fake_transport.respond(202, answer(100)).respond(207, answer(100))
    fake_transport.responses.append(failure)
    result = batch([submission(i) for i in range(250)])
    assert [len(signals) for signals in posted(fake_transport)] == [100, 100, 50]
    assert (result.status_code, result.error, result.accepted, result.failed) == (status, error, 200, 50)
    assert [r.index for r in result.results] == list(range(200))


def test_rejection_of_a_single_request_becomes_a_result(batch, fake_transport):
    fake_transport.respond(422, {"error": "too_many", "details": {"max": 100}})
    result = batch([submission(0)])
    assert (result.status_code, result.error, result.body, result.results) == (
        422,
        "too_many",
        {"error": "too_many", "details": {"max": 100}},
        [],
    )


@pytest.mark.parametrize("status", [500, 502, 503])
def test_malformed_answers_outside_4xx_raise_even_after_accepted_chunks(batch, fake_transport, status):
    fake_transport.respond(202, answer(100)).respond(status, "<html>down</html>")
    with pytest.raises(SignalClientResponseError):
        batch([submission(i) for i in range(150)])


@pytest.mark.parametrize(
    "submissions, message",
    [
        ({"a": 1}, "submissions must be a list or tuple of dicts"),
        ([{"signal_pool_name": ""}, "not a dict"], "each batch submission must be a dict"),
        ([submission(0, thresholds=None)], AUTHORITY),
        ([submission(0, threshold_checks={})], AUTHORITY),
        ([submission(0, universe_id=3)], "universe_id is retired; submit named_universe"),
        ([submission(0, signal_pool_id="p")], "signal_pool_id is retired; submit signal_pool_name"),
        ([submission(0, signal_pool_name="")], "signal_pool_name must be a non-empty string"),
        (
            [submission(0), {"graph": graph(1), "named_universe": "us_top", "signal_pool_name": "pool-a"}],
            "is_stats must be a dict",
        ),
        ([submission(0, is_stats={"sharpe": float("nan")})], "is_stats values must be finite numbers"),
    ],
)
def test_refusals_before_any_post(batch, fake_transport, submissions, message):
    with pytest.raises(ValueError) as caught:
        batch(submissions)
    assert str(caught.value) == message
    assert posted(fake_transport) == []


def test_missing_timing_fails_for_the_whole_batch_before_any_post(signal_client, fake_transport):
    _backtest_timing.clear_recorded_backtest_timings()
    with pytest.raises(ValueError, match="recorded backtest timing is required"):
        signal_client.submit_signals_batch([submission(0)])
    assert posted(fake_transport) == []


def test_each_submission_resolves_its_own_era(batch, fake_transport, signal_client):
    catalog = signal_catalog()
    catalog["eras"].append({**catalog["eras"][0], "era_number": 4, "state": "closed"})
    signal_client._era_catalog_cache = catalog
    fake_transport.respond(202, answer(2))
    batch([submission(0), submission(1, era_number=4)])
    assert [s["era_number"] for s in posted(fake_transport)[0]] == [3, 4]
