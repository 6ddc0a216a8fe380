"""The asynchronous client: its exchanges and transmissions driven on one event loop, for
accepted, retried, refused and failing submissions, batches in flight together, and a
catalog fetched (or not) before the first submission."""

from __future__ import annotations

import asyncio
import itertools
import json

import httpx

from quillmarsh import _backtest_timing
from quillmarsh.async_client import AsyncSignalServiceClient

from .common import Response, Scenario
from .operations import CATALOG, GRAPH, IS_STATS, METAPARAMETERS, RETRY_ASK

CALLS = 3_000


class AsyncTransport:
    """Answers with the given (status, content) pairs in turn (an exception is raised)."""

    def __init__(self, *answers) -> None:
        self._answers = itertools.cycle(answers)

    async def _answer(self, content=None):
        if content is not None and not isinstance(content, bytes):
            [chunk async for chunk in content]
        answer = next(self._answers)
        if isinstance(answer, type) and issubclass(answer, BaseException):
            raise answer("refused")
        return Response(*answer)

    async def post(self, path, *, content=None, headers=None):
        return await self._answer(content)

    async def get(self, path, *, headers=None):
        return await self._answer()


def _client(*answers, catalog=CATALOG, observer=None) -> AsyncSignalServiceClient:
    client = AsyncSignalServiceClient(
        "https://signals.example", "token", transport=AsyncTransport(*answers), transmission_observer=observer
    )
    client._twin._era_catalog_cache = catalog
    return client


def _record(count: int = 1) -> None:
    for _ in range(count):
        _backtest_timing.record_backtest_timing(GRAPH, row_count=100, elapsed_seconds=1.0, max_row_elapsed_seconds=0.01)


def scenarios() -> dict[str, Scenario]:
    loop = asyncio.new_event_loop()
    accepted = _client((202, b'{"submission_id": "s-1"}'), observer=lambda *a: None)
    retried = _client((400, RETRY_ASK), (202, b'{"submission_id": "s-2"}'))
    failing = _client(httpx.ConnectError, (503, b"<html>busy</html>"), (409, b'{"reason": "duplicate"}'))
    unexpected = _client(KeyError)
    catalog = json.dumps(CATALOG).encode()
    signal = {
        "graph": GRAPH,
        "named_universe": "us_top",
        "signal_pool_name": "pool-a",
        "is_stats": IS_STATS,
        "is_pnl_mi": 0.4,
        "expression_elapsed_seconds": 0.5,
        "metaparameters": METAPARAMETERS,
    }
    chunk = json.dumps({"results": [{"index": i, "status_code": 202, "body": {}} for i in range(100)]}).encode()

    def submit(client, **overrides):
        return client.submit_signal(**{**signal, **overrides})

    async def submissions():
        _record(5)
        await submit(accepted)
        await submit(retried)
        await submit(failing)
        await submit(failing)
        try:
            await submit(unexpected)
        except KeyError:
            pass

    async def fresh_catalog():  # a first call fetches the catalog (once for the calls in flight together)
        _record(3)
        client = _client((200, catalog), (202, b"{}"), catalog=None)
        await asyncio.gather(*(submit(client, idempotency_key=f"k{i}") for i in range(3)))
        unreachable = _client(httpx.ConnectError, catalog=None)
        _record()
        try:
            await submit(unreachable)
        except ValueError:
            _backtest_timing.clear_recorded_backtest_timings()

    async def batches():
        _record(300)
        client = _client((200, chunk), (200, chunk), httpx.ConnectError)
        await client.submit_signals_batch(
            [dict(signal, metaparameters={"n": i}) for i in range(300)], max_concurrency=3
        )

    async def follow_ups():
        await accepted.get_signal_status("a b/c")
        await retried.list_signal_submissions(status="queued", limit=5.0)

    return {
        "async submissions": Scenario(
            lambda: loop.run_until_complete(submissions()), [IS_STATS, METAPARAMETERS], CALLS
        ),
        "async catalog fetch": Scenario(lambda: loop.run_until_complete(fresh_catalog()), [IS_STATS], 1_000),
        "async batch in flight": Scenario(lambda: loop.run_until_complete(batches()), [IS_STATS], 100),
        "async status, listing": Scenario(lambda: loop.run_until_complete(follow_ups()), [], CALLS),
    }
