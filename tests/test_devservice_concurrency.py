"""The local signal service under concurrent clients, and across a restart on the same SQLite file."""

import subprocess
import threading

import pytest
from fakes import SERVICE_STATS
from helpers import start_devservice, stop_devservice

from quillmarsh import devservice, submit

pytestmark = pytest.mark.python_layers

THREADS, PER_THREAD = 8, 500


def test_eight_threads_share_one_client(record_timing):
    made, failures = {}, []
    lock = threading.Lock()
    with devservice.start() as service:
        client = submit.SignalServiceClient(service.url, service.token)

        def work(thread):
            for n in range(PER_THREAD):
                graph = f"rank(ts_mean(close, {thread * PER_THREAD + n + 1}))"
                key = f"t{thread}-{n}"
                record_timing(graph)
                result = client.submit_signal(
                    graph,
                    "us_top500",
                    signal_pool_name="momentum",
                    is_stats=SERVICE_STATS,
                    is_pnl_mi=0.4,
                    expression_elapsed_seconds=0.5,
                    idempotency_key=key,
                )
                with lock:
                    (failures.append(result) if result.status_code != 202 else made.__setitem__(key, result))

        threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=300)
        listed, since = [], None
        for _ in range(THREADS * PER_THREAD // 1000 + 2):  # pages of 1000, then the short last one
            page = client.list_signal_submissions(since=since, limit=1000)
            listed += page.submissions
            since = page.body["next_since"]
            if since is None:
                break
        client.close()
        stored = service.store.count()
    assert failures == [] and len(made) == THREADS * PER_THREAD
    assert len({r.submission_id for r in made.values()}) == len(made) == stored
    assert {s["idempotency_key"]: s["submission_id"] for s in listed} == {
        key: r.submission_id for key, r in made.items()
    }
    assert len(listed) == len(made)


def test_a_restart_on_the_same_db_keeps_submissions_and_keys(tmp_path):
    strategy = {"strategy_pool_name": "core", "market_id": 1, "era_number": 3, "idempotency_key": "restart-1"}
    answers = []
    for extra in ((), ("--token", "fixed-token", "--status-after-polls", "1")):
        process, printed = start_devservice("--db", str(tmp_path / "submissions.db"), *extra)
        try:
            assert set(printed) == ({"QUILLMARSH_BASE_URL"} if extra else {"QUILLMARSH_BASE_URL", "QUILLMARSH_TOKEN"})
            client = submit.SignalServiceClient(
                printed["QUILLMARSH_BASE_URL"], printed.get("QUILLMARSH_TOKEN", "fixed-token")
            )
            answers.append(client.submit_strategy("f(x)", "us_top500", **strategy))
            if extra:
                with pytest.raises(submit.SubmissionRejectedError) as conflict:
                    client.submit_strategy("g(x)", "us_top500", **strategy)
                assert conflict.value.status_code == 409
                status = client.get_signal_status(answers[0].submission_id).status
                listed = client.list_signal_submissions().submissions
            client.close()
        finally:
            stop_devservice(process)
    assert [a.status_code for a in answers] == [202, 202]
    assert answers[1].submission_id == answers[0].submission_id and answers[1].body == answers[0].body
    assert status == "signal_found" and [s["submission_id"] for s in listed] == [answers[0].submission_id]


@pytest.mark.whole_system
def test_two_thousand_submissions_on_one_event_loop_are_each_stored_once(tmp_path, record_timing):
    """All in flight at once on one loop, then a tenth of them again: each stored once, under
    the id its first answer gave, whatever order the service took them in."""
    import asyncio

    from quillmarsh import SignalClient
    from quillmarsh.async_client import AsyncSignalServiceClient

    total, again = 2000, 200
    graphs = [f"rank(ts_mean(close, {n + 1}))" for n in range(total)]

    async def submit_all(url, token, graphs):
        async with AsyncSignalServiceClient(url, token) as client:
            return await asyncio.gather(
                *(
                    client.submit_signal(
                        graph,
                        "us_top500",
                        signal_pool_name="momentum",
                        is_stats=SERVICE_STATS,
                        is_pnl_mi=0.4,
                        expression_elapsed_seconds=0.5,
                    )
                    for graph in graphs
                )
            )

    process, printed = start_devservice("--db", str(tmp_path / "submissions.db"), stderr=subprocess.DEVNULL)
    try:
        url, token = printed["QUILLMARSH_BASE_URL"], printed["QUILLMARSH_TOKEN"]
        for graph in graphs + graphs[:again]:
            record_timing(graph)
        first = asyncio.run(submit_all(url, token, graphs))
        replayed = asyncio.run(submit_all(url, token, graphs[:again]))
        with SignalClient(url, token) as client:
            listed, since = [], None
            while True:
                page = client.list_signal_submissions(since=since, limit=1000)
                listed += page.submissions
                since = page.body["next_since"]
                if since is None:
                    break
    finally:
        stop_devservice(process)
    assert [r.status_code for r in first] == [202] * total and len({r.submission_id for r in first}) == total
    assert [r.submission_id for r in replayed] == [r.submission_id for r in first[:again]]
    assert len(listed) == total and {s["submission_id"] for s in listed} == {r.submission_id for r in first}
