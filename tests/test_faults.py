"""The client against the local service's injected faults (503s, gateway pages): every signal
is accounted for, with retries at once, without them by submitting again what did not get
through; the same idempotency keys complete the set without a duplicate, and submitting it
all again replays what is stored."""

import time
from contextlib import closing

import pytest
from fakes import SERVICE_TIMING, service_signal, service_signals

from quillmarsh import _backtest_timing, devservice, submit
from quillmarsh.transports import BoundedTransport, RetryingTransport

MAX_ATTEMPTS = 40  # a batch gets at least one chunk through per attempt
DEADLINE_SECONDS = 120.0


def simulate(signals):
    for s in signals:
        _backtest_timing.record_backtest_timing(s["graph"], **SERVICE_TIMING)


def batch(client, signals):
    simulate(signals)
    return client.submit_signals_batch(signals)


def client_for(service, waits):
    """A client of the service; with `waits`, retrying (each wait noted, not slept)."""
    transport = BoundedTransport(base_url=service.url)
    if waits is not None:
        transport = RetryingTransport(transport, sleep=waits.append)  # the service's Retry-After: 1
    return submit.SignalServiceClient(service.url, service.token, transport=transport)


def failures(service):
    return [target for _, target, status in service.requests if status == 503]


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


@pytest.mark.parametrize("retrying", [True, False], ids=["retries", "no retries"])
def test_a_big_batch_against_injected_503s_stores_each_signal_once(retrying):
    signals = [service_signal(i) for i in range(3000)]
    waits = [] if retrying else None
    with devservice.start(fail_every=3) as service, closing(client_for(service, waits)) as client:
        first = batch(client, signals)
        if retrying:
            assert (first.status_code, first.accepted, first.failed) == (202, 3000, 0)
            assert len(failures(service)) == len(waits) >= 10 and set(waits) == {1.0}
            ids = {item.index: item.submission_id for item in first.results}
        else:  # the catalog is request 1, the first chunk request 2, the second request 3
            assert (first.status_code, first.accepted, first.failed) == (503, 100, 2900)
            assert service.store.count() == 100 and [item.index for item in first.results] == list(range(100))
            ids = resubmit_until_accepted(client, signals, first)
        assert len(set(ids.values())) == 3000 == service.store.count()
        assert set(failures(service)) == {"/signals/batch"}

        # Everything again: the keys derived from identical submissions replay the stored ones.
        assert resubmit_until_accepted(client, signals, batch(client, signals)) == ids
        assert service.store.count() == 3000


def test_signals_one_by_one_all_get_in_once_through_the_injected_503s():
    waits = []
    with devservice.start(fail_every=3) as service, closing(client_for(service, waits)) as client:
        results = [client.submit_signal(**s) for s in service_signals(300)]
        assert [r.status_code for r in results] == [202] * 300
        assert len({r.submission_id for r in results}) == 300 == service.store.count()
        assert len(failures(service)) == len(service.requests) // 3 == len(waits) > 100
        assert set(failures(service)) == {"/signals/submit"} and set(waits) == {1.0}


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
    singles = [service_signal(i) for i in range(count)]
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
            signals = [service_signal(i) for i in range(count, 2 * count)]
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
