"""An agent at scale through the SDK's defaults: hundreds of submissions and waits in flight on
one event loop against the local service answering every request after 0.2 s."""

import asyncio
import time

import pytest
from fakes import SERVICE_STATS

from quillmarsh import FAILING_STATUSES, TERMINAL_STATUSES, AsyncSignalClient, devservice, record_backtest_timing

pytestmark = pytest.mark.whole_system


def test_300_submissions_and_waits_in_flight_all_end_terminal(monkeypatch, tmp_path):
    monkeypatch.setenv("QUILLMARSH_CONFIG", str(tmp_path / "none.toml"))
    graphs = [f"rank(ts_mean(close, {n}))" for n in range(300)]
    for graph in graphs:
        record_backtest_timing(graph, row_count=2520, elapsed_seconds=1.8, max_row_elapsed_seconds=0.004)

    async def agent(client, graph):
        submitted = await client.submit_signal(
            graph,
            "us_top500",
            signal_pool_name="momentum",
            is_stats=SERVICE_STATS,
            is_pnl_mi=0.4,
            expression_elapsed_seconds=1.8,
        )
        if not submitted.ok:
            return submitted
        return await client.wait_until_terminal(submitted.submission_id, timeout=120)

    async def main(service):
        async with AsyncSignalClient(service.url, service.token) as client:
            return await asyncio.gather(*(agent(client, graph) for graph in graphs))

    with devservice.start(latency=0.2) as service:
        started = time.monotonic()
        finals = asyncio.run(main(service))
        took = time.monotonic() - started
    not_terminal = [f for f in finals if f.status not in TERMINAL_STATUSES]
    assert not not_terminal, (len(not_terminal), not_terminal[:3])
    assert all(f.ok for f in finals) and not any(f.status in FAILING_STATUSES for f in finals), took
