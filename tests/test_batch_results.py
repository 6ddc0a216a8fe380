"""Batch answers into results: item results, counts, combined statuses, partial failures."""

import pytest

from quillmarsh.signal_types import BatchSubmitItemResult, BatchSubmitResult
from quillmarsh.submit import SignalServiceClient as C


def item(index, status_code, body=None, error=None, **ids):
    fields = dict(submission_id=None, signal_pool_id=None, strategy_pool_id=None, strategy_signal_pool=None)
    return BatchSubmitItemResult(index=index, status_code=status_code, body=body, error=error, **{**fields, **ids})


def chunk(status_code, accepted, failed, results=()):
    return BatchSubmitResult(
        status_code=status_code, body={}, accepted=accepted, failed=failed, results=list(results), error=None
    )


@pytest.mark.parametrize(
    "entry, expected",
    [
        (
            {"index": 0, "status_code": 202, "body": {"submission_id": "s", "signal_pool_id": "p", "reason": None}},
            item(
                0,
                202,
                {"submission_id": "s", "signal_pool_id": "p", "reason": None},
                submission_id="s",
                signal_pool_id="p",
            ),
        ),
        (
            {"index": 1, "status_code": 409, "body": {"reason": "", "error": "duplicate"}},
            item(1, 409, {"reason": "", "error": "duplicate"}, error="duplicate"),
        ),
        (
            {"index": 2, "status_code": 422, "body": {"reason": "bad", "error": "x"}},
            item(2, 422, {"reason": "bad", "error": "x"}, error="bad"),
        ),
        ({"index": "3", "body": "not a dict"}, item("3", None)),
    ],
)
def test_item_result_from_body(entry, expected):
    assert C._batch_item_result_from_body(entry) == expected


@pytest.mark.parametrize(
    "body, accepted, failed, n_items",
    [
        ({"results": [{"index": 0, "status_code": 202}, "skipped", {"index": 1, "status_code": 409}]}, 1, 1, 2),
        ({"results": ({"index": 0, "status_code": 202},)}, 0, 0, 0),
        ({}, 0, 0, 0),
        ({"accepted": 5, "results": [{"status_code": 202}] * 3}, 5, -2, 3),
        ({"accepted": True, "failed": 7, "results": []}, True, 7, 0),
    ],
)
def test_result_from_body_counts(body, accepted, failed, n_items):
    result = C._batch_result_from_body(207, body, error="e")
    assert (result.status_code, result.body, result.accepted, result.failed, len(result.results), result.error) == (
        207,
        body,
        accepted,
        failed,
        n_items,
        "e",
    )


@pytest.mark.parametrize(
    "statuses, expected",
    [
        ([202, 202], 202),
        ([], 202),
        ([409, 409], 409),
        ([409, 422], 207),
        ([202, 409], 207),
        ([None, None], 207),
        ([True], True),
    ],
)
def test_http_status_for_items(statuses, expected):
    assert C._batch_http_status_for_items([item(i, s) for i, s in enumerate(statuses)]) == expected


@pytest.mark.parametrize(
    "chunks, expected",
    [
        ([chunk(202, 0, 0), chunk(202, 0, 0)], 202),
        ([chunk(400, 0, 3), chunk(400, 0, 1)], 400),
        ([chunk(400, 0, 3), chunk(500, 0, 1)], 207),
        ([chunk(202, 1, 0, [item(0, 202)]), chunk(202, 1, 0, [item(100, 202)])], 202),
        ([chunk(202, 1, 0, [item(0, 202)]), chunk(207, 0, 1, [item(100, 409, {"error": "dup"})])], 207),
    ],
)
def test_combine_chunk_results(chunks, expected):
    combined = C._combine_batch_chunk_results(chunks)
    items = [i for c in chunks for i in c.results]
    assert (combined.status_code, combined.results, combined.error) == (expected, items, None)
    assert combined.accepted == sum(c.accepted for c in chunks) and combined.failed == sum(c.failed for c in chunks)
    assert combined.body == {
        "accepted": combined.accepted,
        "failed": combined.failed,
        "results": [
            {"index": i.index, "status_code": i.status_code, **({"body": i.body} if i.body is not None else {})}
            for i in items
        ],
    }


@pytest.mark.parametrize(
    "failure, error, body_error",
    [
        (
            BatchSubmitResult(status_code=0, body=None, accepted=0, failed=0, results=[], error="ConnectError"),
            "ConnectError",
            "ConnectError",
        ),
        (
            BatchSubmitResult(status_code=503, body={"error": "busy"}, accepted=0, failed=0, results=[], error=None),
            "busy",
            "busy",
        ),
        (BatchSubmitResult(status_code=422, body={"x": 1}, accepted=0, failed=0, results=[], error=None), None, None),
    ],
)
def test_partial_failure(failure, error, body_error):
    prior = [item(0, 202), item(1, 409)]
    result = C._batch_result_with_partial_failure(failure, prior, 10)
    assert (result.status_code, result.accepted, result.failed, result.error) == (failure.status_code, 1, 9, error)
    assert result.results is prior
    expected_body = {
        "accepted": 1,
        "failed": 9,
        "results": [{"index": 0, "status_code": 202}, {"index": 1, "status_code": 409}],
        "error": body_error,
    }
    if isinstance(failure.body, dict):
        expected_body["failure"] = failure.body
    assert result.body == expected_body
    assert C._batch_result_with_partial_failure(failure, prior, 1).failed == 1


def test_rebase_shifts_only_exact_int_indices():
    items = [item(3, 202), item(True, 202), item(None, 202), item("3", 202)]
    result = chunk(202, 4, 0, items)
    assert C._rebase_batch_item_indices(result, 0) is None and [i.index for i in items] == [3, True, None, "3"]
    C._rebase_batch_item_indices(result, 100)
    assert [i.index for i in result.results] == [103, True, None, "3"]


def test_class_converters_use_fellow_converters_through_the_class():
    class Client(C):
        @staticmethod
        def _batch_item_result_from_body(entry):
            return item(-1, entry["status_code"])

        @staticmethod
        def _batch_http_status_for_items(results):
            return 299

    assert Client._batch_result_from_body(202, {"results": [{"status_code": 202}]}).results == [item(-1, 202)]
    assert Client._combine_batch_chunk_results([chunk(202, 1, 0, [item(0, 202)])]).status_code == 299
