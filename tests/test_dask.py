"""quillmarsh.dask: every candidate of a Dask collection gets its outcome (read, checked,
submitted through the SDK, what a chunk's failure leaves), the recorded timings are left as
they were found, and on a cluster whose worker dies midway every signal is stored once."""

import json
import os
import signal
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

import pytest
from cli_support import TIMING, posts, signal_record
from fakes import SERVICE_STATS, SIGNAL_GRAPH, signal_catalog

from quillmarsh import consume_recorded_backtest_timing

# dask is imported by each test, not here: the sanitizer run collects this file and leaves its
# tests out, without loading pandas and pyarrow beside its preloaded runtime.

DEEP = "rank(ts_mean(ts_std(ts_max(close, 5), 5), 5))"  # deeper than the catalog's limit


def item(index, status, body):
    return {"index": index, "status_code": status, "body": body}


def json_error(text):
    with pytest.raises(json.JSONDecodeError) as raised:  # the host's own words
        json.loads(text)
    return f"invalid JSON: {raised.value}"


def left_recorded(graphs):
    """The graphs some recorded timing was left for (each use taken, to see them all)."""
    left = set()
    for graph in graphs:
        while consume_recorded_backtest_timing(graph) is not None:
            left.add(graph)
    return left


@pytest.mark.python_layers
def test_every_candidate_gets_its_outcome_and_the_keys_are_those_posted(http_server):
    import dask
    import dask.bag
    import pandas as pd

    from quillmarsh.dask import submit_candidates

    http_server.respond(200, signal_catalog(), method="GET", path="/eras", times=None)
    http_server.respond(
        207,
        {
            "results": [
                item(0, 202, {"submission_id": "s-1", "replayed": False}),
                item(1, 202, {"submission_id": "s-0", "replayed": True}),
            ]
        },
        method="POST",
        path="/signals/batch",
    )
    http_server.respond(
        207,
        {"results": [item(0, 422, {"error": "unknown_universe", "details": {"message": "no universe us_top here"}})]},
        method="POST",
        path="/signals/batch",
    )
    table = [  # candidate, then what becomes of it: outcome, status, submission id, error
        (signal_record(is_pnl_mi=0.5), ("accepted", 202, "s-1", None)),
        (
            signal_record(metaparameter={}),
            ("invalid", None, None, "unknown field 'metaparameter' (did you mean 'metaparameters'?)"),
        ),
        (signal_record(), ("already_stored", 202, "s-0", None)),
        (signal_record(graph=DEEP), ("invalid", None, None, "graph is 5 levels deep; era 3 allows at most 4")),
        (
            json.dumps(signal_record(is_pnl_mi=0.6)),  # a JSON line, as dask.bag.read_text gives it
            ("failed", 422, None, "rejected by the service (HTTP 422 unknown_universe): no universe us_top here"),
        ),
        (
            signal_record(backtest_timing={**TIMING, "row_count": 0}),
            ("invalid", None, None, "backtest_timing: row_count must be a positive int, got 0"),
        ),
        ("{not json", ("invalid", None, None, json_error("{not json"))),
    ]
    candidates = dask.bag.from_sequence([candidate for candidate, _ in table], partition_size=4)
    with dask.config.set(scheduler="sync"):
        checked = submit_candidates(candidates, catalog=signal_catalog(), dry_run=True).compute()
        assert posts(http_server) == [] and len(http_server.requests) == 0  # a dry run with a catalog asks nothing
        outcomes = submit_candidates(candidates, base_url=http_server.url, token="tok").compute()

    rows = list(zip(outcomes.outcome, outcomes.status_code, outcomes.submission_id, outcomes.error))
    assert [tuple(None if value is pd.NA else value for value in row) for row in rows] == [
        expected for _, expected in table
    ]
    assert list(outcomes.index) == [0, 1, 2, 3, 0, 1, 2]  # each partition's rows, in order
    posted = [body["idempotency_key"] for _, sent in posts(http_server) for body in sent["signals"]]
    sent_rows = outcomes.outcome.isin(["accepted", "already_stored", "failed"]).tolist()
    assert posted == [key for key, sent in zip(outcomes.idempotency_key, sent_rows) if sent]
    assert checked.outcome.tolist() == ["checked", "invalid", "checked", "invalid", "checked", "invalid", "invalid"]
    assert checked.idempotency_key.fillna("").tolist() == outcomes.idempotency_key.fillna("").tolist()
    assert left_recorded([SIGNAL_GRAPH, DEEP]) == set()  # nothing stays recorded in the process


@pytest.mark.python_layers
@pytest.mark.parametrize(
    "answered, outcome, status, error",
    [
        (True, "failed", 500, "rejected by the service (HTTP 500 internal_error): the store is down"),
        (False, "unknown", 0, "cannot reach http://127.0.0.1:9"),
    ],
)
def test_a_chunk_that_fails_whole_stops_its_partition(http_server, answered, outcome, status, error):
    import dask
    import dask.dataframe
    import pandas as pd

    from quillmarsh.dask import NOT_SENT, submit_candidates

    # (a chunk refused with 400 is sent again signal by signal instead: the SDK's tests hold that)
    http_server.respond(
        500,
        {"error": "internal_error", "details": {"message": "the store is down"}},
        method="POST",
        path="/signals/batch",
    )
    # 250 candidates as a table: nested fields in dotted columns, as pandas.json_normalize writes them
    frame = pd.json_normalize([signal_record(is_pnl_mi=0.1 + i / 1000) for i in range(250)])
    frame["backtest_timing.row_count"] = frame["backtest_timing.row_count"].astype(float)  # as with missing values
    candidates = dask.dataframe.from_pandas(frame.set_axis(range(1000, 1250)), npartitions=1)
    url = http_server.url if answered else "http://127.0.0.1:9"  # the discard port: nothing listens
    with dask.config.set(scheduler="sync"):
        outcomes = submit_candidates(
            candidates, base_url=url, token="tok", catalog=signal_catalog(), max_retries=0
        ).compute()
    assert list(outcomes.index) == list(range(1000, 1250))
    first, rest = outcomes.iloc[:100], outcomes.iloc[100:]
    assert set(first.outcome) == {outcome} and set(first.status_code) == {status}
    assert first.error.str.startswith(error).all(), first.error.iloc[0]
    assert set(rest.outcome) == {"not_sent"} and set(rest.error) == {NOT_SENT} and rest.status_code.isna().all()
    assert outcomes.idempotency_key.str.startswith("sigsubmit-").all()
    assert len(posts(http_server)) == (1 if answered else 0)
    assert left_recorded([SIGNAL_GRAPH]) == set()


# --- a cluster whose worker dies midway ----------------------------------------------------

TOTAL, PARTITIONS = 5000, 50


def candidate(n):
    """The nth candidate: every tenth is invalid, in one of three ways."""
    record = {
        "graph": f"rank(ts_mean(close, {n + 1}))",
        "named_universe": "us_top500",
        "signal_pool_name": "momentum",
        "is_stats": dict(SERVICE_STATS),
        "is_pnl_mi": 0.4,
        "expression_elapsed_seconds": 1.8,
        "backtest_timing": {"row_count": 2520, "elapsed_seconds": 1.8, "max_row_elapsed_seconds": 0.004},
    }
    kind = n % 30
    if kind == 9:
        record["named_universe"] = "us_top9"
    elif kind == 19:
        record["backtest_timing"]["max_row_elapsed_seconds"] = 9.0
    elif kind == 29:
        del record["is_stats"]
    return record


def invalid_error(n):
    return {
        9: "named_universe 'us_top9' is not in era 3 (known: us_top500, us_top1000)",
        19: "backtest_timing: max_row_elapsed_seconds (9.0) must not exceed elapsed_seconds (1.8)",
        29: "missing field 'is_stats'",
    }.get(n % 30)


def stored(db):
    try:
        with sqlite3.connect(f"file:{db}?mode=ro", uri=True) as connection:
            return dict(connection.execute("SELECT idempotency_key, submission_id FROM submissions").fetchall())
    except sqlite3.OperationalError:  # not made yet
        return {}


@pytest.mark.whole_system
def test_a_cluster_stores_each_signal_once_when_a_worker_dies_midway(tmp_path):
    import dask.dataframe
    import pandas as pd
    from distributed import Client, LocalCluster, wait

    from quillmarsh.dask import submit_candidates

    db = tmp_path / "submissions.sqlite"
    env = {
        **{k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")},
        "PYTHONPATH": os.pathsep.join(
            filter(None, [str(Path(__file__).parents[1] / "python"), os.environ.get("PYTHONPATH")])
        ),
    }
    service = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "quillmarsh.devservice",
            "--port",
            "0",
            "--token",
            "dask",
            "--db",
            str(db),
            "--latency",
            "0.1",
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )
    try:
        url = service.stdout.readline().strip().split("=", 1)[1]
        frame = pd.json_normalize([candidate(n) for n in range(TOTAL)])
        candidates = dask.dataframe.from_pandas(frame, npartitions=PARTITIONS)
        with (
            LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
            Client(cluster) as client,
        ):
            pids = client.run(os.getpid)
            outcomes = submit_candidates(candidates, base_url=url, token="dask")  # under way on the workers
            deadline = time.monotonic() + 60
            while len(stored(db)) < 1000 and time.monotonic() < deadline:
                time.sleep(0.02)
            at_kill = len(stored(db))
            victim = min(pids.values())
            os.kill(victim, signal.SIGKILL)  # a worker process dies with partitions in flight
            wait(outcomes, timeout=120)
            result = candidates.join(outcomes).compute()
            still = client.run(os.getpid)
    finally:
        service.send_signal(signal.SIGTERM)
        service.communicate(timeout=30)

    assert 1000 <= at_kill < TOTAL * 9 // 10, at_kill  # the worker died midway
    assert victim not in still.values() and len(still) == 2  # replaced by its nanny
    assert list(result.index) == list(range(TOTAL))
    rows = {n: row for n, row in zip(result.index, result.itertuples())}
    invalid = {n for n in rows if invalid_error(n)}
    assert len(invalid) == TOTAL // 10
    for n in invalid:
        assert (rows[n].outcome, rows[n].error) == ("invalid", invalid_error(n)), (n, rows[n])
    valid = [rows[n] for n in rows if n not in invalid]
    assert {row.outcome for row in valid} == {"accepted", "already_stored"}
    assert {row.status_code for row in valid} == {202} and not any(isinstance(row.error, str) for row in valid)
    replays = sum(row.outcome == "already_stored" for row in valid)
    assert replays > 0  # partitions of the dead worker ran again, and said so

    by_key = stored(db)
    assert len(by_key) == len(valid) == 4500  # each valid candidate stored, and stored once
    assert {row.idempotency_key: row.submission_id for row in valid} == by_key
