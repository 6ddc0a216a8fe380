"""The exchange protocol the asynchronous client and the SDK faces drive: misuse of its private
functions is an exception, never a crash, and leaves the exchange as it was; preparing an
operation again after the era catalog arrives is the same as preparing it once."""

from __future__ import annotations

import pytest
from fakes import SIGNAL_GRAPH, signal_catalog, signal_kwargs

from quillmarsh import _backtest_timing, submit
from quillmarsh.async_client import _CatalogPending, _SendsNothing, _Twin

REJECTED = submit.SubmissionRejectedError(400, "bad", None, {"reason": "bad"})
ACCEPTED = {"submission_id": "s-1", "status": "queued"}


def client(catalog=True):
    holder = _Twin("https://signals.example", "tok", transport=_SendsNothing())
    if catalog:
        holder._era_catalog_cache = signal_catalog()
    return holder


def batch_answer(count):
    return {"results": [{"index": i, "status_code": 202, "body": {"submission_id": f"s-{i}"}} for i in range(count)]}


def body(i):
    return {"graph": f"g{i}", "idempotency_key": f"k{i}"}


# Each exchange: how to prepare it, and the answer its requests get.
EXCHANGES = {
    "status": (lambda: submit._exchange("get_signal_status", client(), "abc"), lambda tag: ACCEPTED),
    "strategy": (
        lambda: submit._exchange(
            "submit_strategy", client(), "g", "us_top", strategy_pool_name="p", market_id=7, era_number=3
        ),
        lambda tag: ACCEPTED,
    ),
    "batch": (
        lambda: submit._exchange("submit_prepared_batch", client(), [body(i) for i in range(250)]),
        lambda tag: batch_answer(100 if tag < 2 else 50),
    ),
}

NOT_A_CAPSULE = (None, 0, "exchange", object())


def misuses(exchange, fresh_tag):
    """(what, call) for each misuse, `fresh_tag` being the tag handed out last."""
    return [
        ("answered, tag never handed out", lambda: submit._exchange_answered(exchange, fresh_tag + 1, 202, ACCEPTED)),
        ("answered, negative tag", lambda: submit._exchange_answered(exchange, -1, 202, ACCEPTED)),
        ("answered, tag past every size", lambda: submit._exchange_answered(exchange, 2**70, 202, ACCEPTED)),
        ("answered, tag of another type", lambda: submit._exchange_answered(exchange, "0", 202, ACCEPTED)),
        ("answered, float tag", lambda: submit._exchange_answered(exchange, 0.0, 202, ACCEPTED)),
        ("failed, tag never handed out", lambda: submit._exchange_failed(exchange, fresh_tag + 1, REJECTED)),
        ("failed, not an exception", lambda: submit._exchange_failed(exchange, fresh_tag, "boom")),
        ("failed, an exception class", lambda: submit._exchange_failed(exchange, fresh_tag, ValueError)),
        ("settled, tag never handed out", lambda: submit._exchange_settled(exchange, fresh_tag + 1)),
        ("settled, negative tag", lambda: submit._exchange_settled(exchange, -1)),
        ("result, unsettled", lambda: submit._exchange_result(exchange)),
        *(
            (f"{name}, exchange {bad!r}", lambda call=call, bad=bad: call(bad))
            for bad in NOT_A_CAPSULE
            for name, call in (
                ("next", submit._exchange_next),
                ("result", submit._exchange_result),
                ("answered", lambda e: submit._exchange_answered(e, 0, 202, ACCEPTED)),
                ("settled", lambda e: submit._exchange_settled(e, 0)),
            )
        ),
    ]


@pytest.mark.parametrize("kind", EXCHANGES)
def test_misuse_raises_and_leaves_the_exchange_as_it_was(kind):
    prepare, answer = EXCHANGES[kind]
    expected = prepare()
    while (request := submit._exchange_next(expected)) is not None:
        submit._exchange_answered(expected, request[0], 202, answer(request[0]))

    exchange = prepare()
    seen = []

    def misuse(last_tag):
        for what, call in misuses(exchange, last_tag):
            with pytest.raises((TypeError, ValueError, OverflowError, RuntimeError)):
                call()
            seen.append(what)

    misuse(-1)
    while (request := submit._exchange_next(exchange)) is not None:
        misuse(request[0])
        submit._exchange_answered(exchange, request[0], 202, answer(request[0]))
        with pytest.raises(ValueError, match="no unsettled request"):  # the same tag answered again
            submit._exchange_answered(exchange, request[0], 202, answer(request[0]))
    assert submit._exchange_result(exchange) == submit._exchange_result(expected)
    assert len(seen) > 20


def test_a_follow_up_request_has_a_tag_of_its_own():
    # A rejection that asks for signal_pool_id: the same submission posted once more.
    _backtest_timing.record_backtest_timing(
        SIGNAL_GRAPH, row_count=100, elapsed_seconds=1.0, max_row_elapsed_seconds=0.01
    )
    exchange = submit._exchange("submit_signal", client(), SIGNAL_GRAPH, "us_top", **signal_kwargs())
    first = submit._exchange_next(exchange)
    legacy = submit.SubmissionRejectedError(
        400,
        "malformed_request",
        "signal_pool_id is required",
        {"error": "malformed_request", "detail": "signal_pool_id is required"},
    )
    try:
        raise legacy
    except submit.SubmissionRejectedError as exc:
        submit._exchange_failed(exchange, first[0], exc)
        follow = submit._exchange_next(exchange)
    assert follow[0] != first[0] and follow[3]["signal_pool_id"] == "pool-a"
    with pytest.raises(ValueError):
        submit._exchange_answered(exchange, first[0], 202, ACCEPTED)
    submit._exchange_answered(exchange, follow[0], 202, ACCEPTED)
    assert submit._exchange_settled(exchange, first[0]) is None
    assert submit._exchange_settled(exchange, follow[0]) is submit._exchange_result(exchange)


# The asynchronous client prepares an operation, meets the era catalog missing, fetches it and
# prepares the operation again: the first preparation must leave no trace.
CATALOG_READERS = [
    ("submit_signal", (SIGNAL_GRAPH, "us_top"), signal_kwargs()),
    ("submit_signals_batch", ([{"graph": SIGNAL_GRAPH, "named_universe": "us_top", **signal_kwargs()}],), {}),
]


def ledger():
    """The recorded timings with their uses left."""
    return {key: list(entry) for key, entry in _backtest_timing._registry.items()}


@pytest.mark.parametrize(("operation", "args", "kwargs"), CATALOG_READERS)
def test_preparing_again_after_the_catalog_arrives_is_preparing_once(operation, args, kwargs):
    for _ in range(2):  # a use for each preparation that gets past the catalog
        _backtest_timing.record_backtest_timing(
            SIGNAL_GRAPH, row_count=100, elapsed_seconds=1.0, max_row_elapsed_seconds=0.01
        )
    recorded = ledger()
    pending = client(catalog=False)
    held = dict(vars(pending))
    with pytest.raises(_CatalogPending):
        submit._exchange(operation, pending, *args, **kwargs)
    assert ledger() == recorded
    assert vars(pending) == held

    pending._era_catalog_cache = signal_catalog()
    again = submit._exchange_next(submit._exchange(operation, pending, *args, **kwargs))
    once = submit._exchange_next(submit._exchange(operation, client(), *args, **kwargs))
    assert again == once
