"""The client against the local service's injected faults, through the default httpx
transport: every signal is accounted for, and resubmitting what did not get through, with
the same idempotency keys, completes the set without a duplicate."""

import time

import pytest

from quillmarsh import _backtest_timing, devservice, submit

STATS = {"sharpe": 1.6, "turnover": 0.3, "is_correlation": 0.2}
TOTAL = 10_000
MAX_ATTEMPTS = 40  # a batch gets at least one chunk through per attempt; 100 chunks at most
DEADLINE_SECONDS = 120.0


@pytest.fixture(autouse=True)
def clean_timings():
    _backtest_timing.clear_recorded_backtest_timings()
    yield
    _backtest_timing.clear_recorded_backtest_timings()


def signal(i):
    return {
        "graph": f"rank(ts_mean(close, {i + 1}))",
        "named_universe": "us_top500",
        "signal_pool_name": "momentum",
        "is_stats": STATS,
        "is_pnl_mi": 0.4,
        "expression_elapsed_seconds": 0.5,
    }


def simulate(signals):
    for s in signals:
        _backtest_timing.record_backtest_timing(
            s["graph"], row_count=2520, elapsed_seconds=1.0, max_row_elapsed_seconds=0.004
        )


def batch(client, signals):
    simulate(signals)
    return client.submit_signals_batch(signals)


def accepted_ids(result, pending):
    """{position in the whole set: submission id} of the items the result accepted; `pending`
    maps the result's item indices to those positions."""
    return {pending[item.index]: item.submission_id for item in result.results if item.status_code == 202}


def resubmit_until_accepted(client, signals, result):
    """From `result`, the answer to a batch of all `signals`, submit again whatever it did not
    accept (the items of the chunks after a failing one are missing), until every signal is
    in; returns {position in `signals`: submission id}."""
    ids, pending = {}, list(range(len(signals)))
    deadline = time.monotonic() + DEADLINE_SECONDS
    for _ in range(MAX_ATTEMPTS):
        assert result.accepted + result.failed == len(pending)
        got = accepted_ids(result, pending)
        assert not got.keys() & ids.keys()
        ids.update(got)
        pending = [i for i in pending if i not in got]
        if not pending or time.monotonic() > deadline:
            break
        assert (result.status_code, result.error) == (503, "service_unavailable")
        result = batch(client, [signals[i] for i in pending])
    assert pending == []
    return ids


@pytest.mark.whole_system
def test_a_batch_against_a_failing_service_completes_on_resubmission_without_duplicates():
    signals = [signal(i) for i in range(TOTAL)]
    with devservice.start(fail_every=7) as service:
        client = submit.SignalServiceClient(service.url, service.token)
        try:
            # The catalog is request 1; chunks go out as requests 2 to 7, so the sixth fails.
            first = batch(client, signals)
            assert (first.status_code, first.accepted, first.failed) == (503, 500, TOTAL - 500)
            assert first.accepted + first.failed == TOTAL
            assert service.store.count() == first.accepted
            assert [item.index for item in first.results] == list(range(first.accepted))

            ids = resubmit_until_accepted(client, signals, first)
            assert service.store.count() == TOTAL
            assert len(set(ids.values())) == TOTAL

            # Everything again: the keys derived from identical submissions replay the stored ones.
            replayed = resubmit_until_accepted(client, signals, batch(client, signals))
            assert replayed == ids
            assert service.store.count() == TOTAL
        finally:
            client.close()
        failures = [r for r in service.requests if r[2] == 503]
        assert failures and all(target == "/signals/batch" for _, target, _ in failures)


def submit_one_by_one(client, signals, keys):
    """submit_signal for each signal with its key, again for those answered with a gateway
    page, until all are in; returns {position: submission id}."""
    ids, pending = {}, list(range(len(signals)))
    for _ in range(10):  # every 5th request fails: a fifth of each round goes again
        for i in pending:
            simulate([signals[i]])
            result = client.submit_signal(**signals[i], idempotency_key=keys[i])
            if result.status_code == 202:
                ids[i] = result.submission_id
            else:
                assert (result.status_code, result.submission_id) == (502, None)
                assert "502 Bad Gateway" in result.error
        pending = [i for i in pending if i not in ids]
        if not pending:
            break
    assert pending == []
    return ids


def test_gateway_pages_become_results_and_resubmissions_replay_the_stored_submissions():
    count = 400
    singles = [signal(i) for i in range(count)]
    keys = [f"fault-{i}" for i in range(count)]
    with devservice.start(malformed_every=5) as service:
        client = submit.SignalServiceClient(service.url, service.token)
        try:
            ids = submit_one_by_one(client, singles, keys)
            assert len(set(ids.values())) == count == service.store.count()
            assert sum(status == 502 for _, _, status in service.requests) == len(service.requests) // 5 > 0
            assert submit_one_by_one(client, singles, keys) == ids
            assert service.store.count() == count

            # A batch does not map a gateway page to a result: it raises, and the caller, who
            # cannot tell which chunks went in, sends the whole batch again.
            # Line its four chunks up with requests 2 to 5 of a cycle, so that the last one fails.
            for _ in range(5):
                if len(service.requests) % 5 == 1:
                    break
                client.list_signal_submissions(limit=1)
            signals = [signal(i) for i in range(count, 2 * count)]
            with pytest.raises(submit.SignalClientResponseError) as caught:
                batch(client, signals)
            assert caught.value.status_code == 502 and b"Bad Gateway" in caught.value.raw_body
            assert service.store.count() == count + 300
            _backtest_timing.clear_recorded_backtest_timings()
            again = batch(client, signals)
            assert (again.status_code, again.accepted, again.failed) == (202, count, 0)
            assert len({item.submission_id for item in again.results}) == count
            assert service.store.count() == 2 * count
        finally:
            client.close()
