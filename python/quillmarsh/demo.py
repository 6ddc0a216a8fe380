"""The main job end to end against the local signal service.

Starts ``python -m quillmarsh.devservice`` on a free loopback port, records the backtest
timing of each graph as the simulation side does, submits one signal, submits a batch of
250, polls the single signal to a terminal status, lists the submissions, prints a short
summary, and stops the service. Exits 0 when every step did what it should.

    python -m quillmarsh.demo
"""

from __future__ import annotations

import secrets
import subprocess
import sys

from quillmarsh import record_backtest_timing
from quillmarsh.submit import SignalServiceClient

UNIVERSE = "us_top500"
POOL = "momentum"
STATS = {"sharpe": 1.6, "turnover": 0.3, "is_correlation": 0.2, "drawdown": 0.08}


def graph(i: int) -> str:
    return f"rank(ts_mean(sub(close, ts_delay(close, {i % 20 + 1})), {i + 5}))"


def simulate(expression: str) -> None:
    """What a simulation run leaves behind for the client: its measured backtest timing."""
    record_backtest_timing(expression, row_count=2520, elapsed_seconds=1.8, max_row_elapsed_seconds=0.004)


def start_service(token: str) -> tuple[subprocess.Popen, str]:
    # Its start and stop lines on stderr are for people running it by hand; shown here only
    # when it does not start.
    service = subprocess.Popen(
        [sys.executable, "-m", "quillmarsh.devservice", "--port", "0", f"--token={token}"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    for line in service.stdout:
        if line.startswith("QUILLMARSH_BASE_URL="):
            return service, line.strip().partition("=")[2]
    raise RuntimeError(f"the local signal service did not start: {service.stderr.read().strip()}")


def run() -> int:
    token = secrets.token_urlsafe(16)
    service, url = start_service(token)
    client = SignalServiceClient(url, token)
    try:
        print(f"local signal service at {url}")
        simulate(graph(0))
        single = client.submit_signal(
            graph(0), UNIVERSE, signal_pool_name=POOL, is_stats=STATS, is_pnl_mi=0.4, expression_elapsed_seconds=1.8
        )
        print(
            f"signal:   status {single.status_code}, submission {single.submission_id}, "
            f"pool {single.signal_pool_id}, error {single.error}"
        )

        batch = [
            {
                "graph": graph(i),
                "named_universe": UNIVERSE,
                "signal_pool_name": POOL,
                "is_stats": STATS,
                "is_pnl_mi": 0.4,
                "expression_elapsed_seconds": 1.8,
            }
            for i in range(1, 251)
        ]
        for item in batch:
            simulate(item["graph"])
        batch_result = client.submit_signals_batch(batch)
        print(
            f"batch:    status {batch_result.status_code}, {batch_result.accepted} accepted, "
            f"{batch_result.failed} failed of {len(batch)}"
        )

        final = client.poll_until_terminal(single.submission_id, timeout=30.0) if single.submission_id else None
        print(
            f"poll:     {single.submission_id} is {final.status if final else None}"
            + (f" (payment {final.payment})" if final and final.payment else "")
        )

        listing = client.list_signal_submissions(limit=500)
        print(f"list:     {len(listing.submissions)} submissions known to the service")

        ok = (
            single.status_code == 202
            and batch_result.accepted == len(batch)
            and final is not None
            and final.status
            in (
                "signal_os_passed",
                "signal_found",
                "signal_useful",
                "signal_os_failed",
                "signal_is_rejected",
                "signal_not_useful",
                "signal_server_side_error",
                "signal_useful_transition_failed",
            )
            and len(listing.submissions) >= 1 + len(batch)
        )
        print(
            "summary:  "
            + (
                "the signal, the batch of 250 and the poll all went through"
                if ok
                else "something did not go through; see above"
            )
        )
        return 0 if ok else 1
    finally:
        client.close()
        service.terminate()
        service.wait(timeout=10)


if __name__ == "__main__":
    sys.exit(run())
