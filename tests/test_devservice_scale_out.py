"""Scale-out without duplicates: four processes, each with its own client, submit
overlapping windows of one 10,000-signal set to one local service on an SQLite file at
the same moment; the file ends with each signal submitted exactly once."""

import json
import sqlite3
import subprocess
import sys

import pytest
from helpers import devservice_env, start_devservice, stop_devservice

pytestmark = pytest.mark.python_layers

pytestmark = pytest.mark.python_layers

TOTAL, WORKERS, OVERLAP = 10_000, 4, 500  # each window reaches OVERLAP signals into each neighbour's

WORKER = r"""
import json, sys
from quillmarsh import _backtest_timing
from quillmarsh.submit import SignalServiceClient

url, token, first, last = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
signals = [{"graph": f"rank(ts_mean(close, {i + 1}))", "named_universe": "us_top500",
            "signal_pool_name": "momentum", "is_stats": {"sharpe": 1.6, "turnover": 0.3, "is_correlation": 0.2},
            "is_pnl_mi": 0.4, "expression_elapsed_seconds": 0.5} for i in range(first, last)]
for s in signals:  # as the simulation side records each backtest
    _backtest_timing.record_backtest_timing(s["graph"], row_count=2520, elapsed_seconds=1.0,
                                            max_row_elapsed_seconds=0.004)
client = SignalServiceClient(url, token)
print("ready", flush=True)
sys.stdin.readline()  # every worker starts on the same word
result = client.submit_signals_batch(signals)
client.close()
print(json.dumps({"status": result.status_code, "accepted": result.accepted, "failed": result.failed,
                  "ids": [item.submission_id for item in result.results]}), flush=True)
"""


def windows():
    share = TOTAL // WORKERS
    return [(max(0, k * share - OVERLAP), min(TOTAL, (k + 1) * share + OVERLAP)) for k in range(WORKERS)]


@pytest.mark.whole_system
def test_overlapping_processes_submit_each_signal_once(tmp_path):
    db = tmp_path / "submissions.sqlite"
    service, printed = start_devservice("--token=scale", "--db", str(db))
    workers = []
    try:
        url = printed["QUILLMARSH_BASE_URL"]
        for first, last in windows():
            workers.append(
                subprocess.Popen(
                    [sys.executable, "-c", WORKER, url, "scale", str(first), str(last)],
                    stdin=subprocess.PIPE,
                    stdout=subprocess.PIPE,
                    text=True,
                    env=devservice_env(),
                )
            )
        assert [w.stdout.readline().strip() for w in workers] == ["ready"] * WORKERS
        for worker in workers:
            worker.stdin.write("go\n")
            worker.stdin.flush()
        reports = [json.loads(worker.communicate(timeout=120)[0]) for worker in workers]
    finally:
        for worker in workers:
            if worker.poll() is None:
                worker.kill()
        stop_devservice(service)

    by_signal = {}
    for (first, last), report in zip(windows(), reports):
        assert (report["status"], report["accepted"], report["failed"]) == (202, last - first, 0)
        for i, submission_id in zip(range(first, last), report["ids"]):
            by_signal.setdefault(i, set()).add(submission_id)
    assert len(by_signal) == TOTAL and all(len(ids) == 1 for ids in by_signal.values())  # overlaps agree

    with sqlite3.connect(db) as stored:
        rows = stored.execute("SELECT submission_id, idempotency_key FROM submissions").fetchall()
    assert len(rows) == TOTAL == len({key for _, key in rows})
    assert {submission_id for submission_id, _ in rows} == set().union(*by_signal.values())
