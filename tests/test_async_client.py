"""AsyncSignalServiceClient: the same results, exceptions, requests, bodies, keys and headers as
the synchronous client for the same inputs and the same answers (a differential run over many
generated cases), one shared era-catalog fetch, concurrent batch chunks, and cancellation."""

import asyncio
import collections
import itertools
import json

import httpx
import pytest
from fakes import (
    SIGNAL_GRAPH,
    AsyncTransport,
    FakeResponse,
    RecordingTransport,
    read_content,
    signal_catalog,
    signal_kwargs,
)

from quillmarsh import _backtest_timing, submit
from quillmarsh.async_client import AsyncSignalServiceClient
from quillmarsh.async_sdk import AsyncSignalClient
from quillmarsh.client import SignalClient

URL = "https://signals.example"


# --- scripted answers: each a factory, so that both clients get fresh objects --------------------


def ok(status=200, body=None):
    return lambda: FakeResponse(status, {} if body is None else body)


def raw(status, text):
    return lambda: FakeResponse(status, text)


def raises(exc_type, *args):
    return lambda: exc_type(*args)


CATALOGS = {
    "catalog": ok(200, signal_catalog()),
    "catalog-500": ok(500, {"error": "down"}),
    "catalog-invalid": ok(200, {"eras": "nope"}),
    "catalog-unreachable": raises(httpx.ConnectError, "refused"),
}
LEGACY = {"error": "malformed_request", "detail": "signal_pool_id is required"}
ANSWERS = {
    "accepted": [ok(202, {"submission_id": "s-1", "status": "queued", "signal_pool_id": "p"})],
    "rejected": [ok(409, {"error": "duplicate", "detail": "seen"})],
    "legacy-then-accepted": [ok(400, LEGACY), ok(202, {"submission_id": "s-2"})],
    "legacy-then-unreachable": [ok(400, LEGACY), raises(httpx.ReadTimeout, "slow")],
    "legacy-then-unexpected": [ok(400, LEGACY), raises(KeyError, "boom")],
    "not-json-4xx": [raw(422, "<html>")],
    "not-json-502": [raw(502, "bad gateway")],
    "not-json-200": [raw(200, "plain")],
    "server-error": [ok(500, {"error": "internal"})],
    "unreachable": [raises(httpx.ConnectError, "refused Bearer tok")],
    "connection-error": [raises(ConnectionResetError, "reset")],
    "unexpected": [raises(ValueError, "transport bug")],
    "status": [ok(200, {"submission_id": "s-1", "status": "signal_found", "is_stats": {"sharpe": 1.0}})],
    "listing": [ok(200, {"submissions": [{"submission_id": "s-1", "status": "queued"}]})],
}

SIGNALS = {
    "valid": ((SIGNAL_GRAPH, "us_top"), signal_kwargs()),
    "caller-key": ((SIGNAL_GRAPH, "us_top"), signal_kwargs(idempotency_key="k-1")),
    "era-given": ((SIGNAL_GRAPH, "us_top"), signal_kwargs(market_id=7, era_number=3, metaparameters={"a": 1})),
    "wrong-era": ((SIGNAL_GRAPH, "us_top"), signal_kwargs(market_id=7, era_number=9)),
    "bad-universe": ((SIGNAL_GRAPH, ""), signal_kwargs()),
    "bad-pool": ((SIGNAL_GRAPH, "us_top"), signal_kwargs(signal_pool_name=" ")),
    "thresholds": ((SIGNAL_GRAPH, "us_top"), signal_kwargs(thresholds={"x": 1})),
    "nan-mi": ((SIGNAL_GRAPH, "us_top"), signal_kwargs(is_pnl_mi=float("nan"))),
    "over-correlated": ((SIGNAL_GRAPH, "us_top"), signal_kwargs(is_stats={"sharpe": 1, "is_correlation": 0.9})),
    "too-deep": (("rank(rank(rank(rank(rank(close)))))", "us_top"), signal_kwargs()),
}


def batch_of(n, **overrides):
    return [
        {"graph": SIGNAL_GRAPH, "named_universe": "us_top", **signal_kwargs(metaparameters={"n": i}), **overrides}
        for i in range(n)
    ]


def chunk_answer(n, status=202):
    return ok(
        200,
        {
            "accepted": n,
            "failed": 0,
            "results": [{"index": i, "status_code": status, "body": {"submission_id": f"b{i}"}} for i in range(n)],
        },
    )


BATCHES = {  # submissions, answers after the catalog
    "empty": ([], [chunk_answer(0)]),
    "one": (batch_of(1), [chunk_answer(1)]),
    "one-rejected": (batch_of(1), [ok(409, {"error": "batch_rejected"})]),
    "250": (batch_of(250), [chunk_answer(100), chunk_answer(100), chunk_answer(50)]),
    "250-second-unreachable": (batch_of(250), [chunk_answer(100), raises(httpx.ConnectError, "down")]),
    "250-second-rejected": (batch_of(250), [chunk_answer(100), ok(429, {"error": "slow_down"})]),
    "250-second-not-json": (batch_of(250), [chunk_answer(100), raw(503, "busy")]),
    "250-third-unexpected": (batch_of(250), [chunk_answer(100), chunk_answer(100), raises(RuntimeError, "x")]),
    "retired-alias": (batch_of(2, universe_id=3), []),
    "not-a-list": ("nope", []),
}


def cases():
    for signal, catalog, answer in itertools.product(SIGNALS, CATALOGS, ANSWERS):
        if catalog != "catalog" and answer != "accepted":
            continue  # a catalog failure ends the call before any answer is read
        yield pytest.param(
            "submit_signal",
            SIGNALS[signal],
            [CATALOGS[catalog], *ANSWERS[answer]],
            id=f"signal-{signal}-{catalog}-{answer}",
        )
    for name, (submissions, answers) in BATCHES.items():
        for catalog in ("catalog", "catalog-unreachable"):
            yield pytest.param(
                "submit_signals_batch",
                ((submissions,), {}),
                [CATALOGS[catalog], *answers],
                id=f"batch-{name}-{catalog}",
            )
    strategy = ((SIGNAL_GRAPH, "us_top"), {"strategy_pool_name": "s-pool", "market_id": 7, "era_number": 3})
    queries = {
        "status": ("get_signal_status", (("s/1 ?",), {})),
        "listing": ("list_signal_submissions", ((), {"status": "queued", "since": "2026-01-01", "limit": 5})),
        "strategy": ("submit_strategy", strategy),
    }
    for query, answer in itertools.product(queries, ANSWERS):
        operation, arguments = queries[query]
        yield pytest.param(operation, arguments, ANSWERS[answer], id=f"{query}-{answer}")


def outcome(call):
    """What a caller can observe of one call: its result, or its exception and chain."""
    try:
        return ("result", repr(call()))
    except Exception as exc:  # noqa: BLE001 - any exception is an outcome to compare
        chain = [(type(e).__name__, str(e)) for e in (exc, exc.__cause__, exc.__context__) if e is not None]
        return ("raised", chain, exc.__cause__ is None, exc.__context__ is None)


def wire(calls):
    return [(name, args, headers, read_content(content)) for name, args, headers, content in calls]


def record_timings(arguments):
    """One recorded backtest per signal the call submits."""
    args, _ = arguments
    for _ in range(len(args[0]) if args and isinstance(args[0], list) else 1):
        _backtest_timing.record_backtest_timing(
            SIGNAL_GRAPH, row_count=100, elapsed_seconds=1.0, max_row_elapsed_seconds=0.01
        )


def observer(seen):
    """A transmission observer writing what it is told next to the transport's calls."""
    return lambda method, url, headers, body: seen.append(("observed", method, url, dict(headers), body))


# The raw clients, and the SDK faces over them (retries off: each answer is used once).
FACES = {
    "raw": (lambda *a, **k: submit.SignalServiceClient(*a, **k), AsyncSignalServiceClient),
    "sdk": (
        lambda *a, **k: SignalClient(*a, max_retries=0, **k),
        lambda *a, **k: AsyncSignalClient(*a, max_retries=0, **k),
    ),
}


def run_sync(operation, arguments, answers, face="raw"):
    transport = RecordingTransport(*(make() for make in answers))
    observed = []
    client = FACES[face][0](URL, "tok", transport=transport, transmission_observer=observer(observed))
    record_timings(arguments)
    args, kwargs = arguments
    seen = outcome(lambda: getattr(client, operation)(*args, **kwargs))
    return seen, [(c.name, c.args, c.kwargs["headers"], c.sent) for c in transport.calls] + observed


def run_async(operation, arguments, answers, face="raw"):
    transport = AsyncTransport(*(make() for make in answers))
    observed = []
    client = FACES[face][1](URL, "tok", transport=transport, transmission_observer=observer(observed))
    record_timings(arguments)
    args, kwargs = arguments
    seen = outcome(lambda: asyncio.run(getattr(client, operation)(*args, **kwargs)))
    return seen, wire(transport.calls) + observed


@pytest.mark.parametrize("face", FACES)
@pytest.mark.parametrize("operation, arguments, answers", list(cases()))
def test_async_client_behaves_as_the_synchronous_one(operation, arguments, answers, face, record_timing):
    sync_seen, sync_wire = run_sync(operation, arguments, answers, face)
    _backtest_timing.clear_recorded_backtest_timings()
    async_seen, async_wire = run_async(operation, arguments, answers, face)
    assert async_seen == sync_seen
    assert async_wire == sync_wire


def test_the_differential_run_covers_every_kind_of_outcome():
    kinds = collections.Counter()
    for case in cases():
        seen, requests = run_sync(*case.values)
        _backtest_timing.clear_recorded_backtest_timings()
        kinds[(seen[0], bool(requests))] += 1
        kinds["observed"] += any(call[0] == "observed" for call in requests)
    wanted = [("result", True), ("raised", True), ("raised", False)]  # a result always follows a request
    assert len(list(cases())) >= 200 and all(kinds[k] >= 10 for k in wanted) and kinds["observed"] >= 50, kinds


def test_poll_until_terminal_polls_as_the_synchronous_client(monkeypatch, record_timing):
    monkeypatch.setattr(submit, "_POLL_INTERVAL_SECONDS", 0.001)
    answers = [ok(200, {"status": "queued"}), ok(200, {"status": "queued"}), ok(200, {"status": "signal_found"})]
    sync_seen, sync_wire = run_sync("poll_until_terminal", (("s-1",), {"timeout": 30}), answers)
    async_seen, async_wire = run_async("poll_until_terminal", (("s-1",), {"timeout": 30}), answers)
    assert async_seen == sync_seen and async_wire == sync_wire and len(async_wire) == 3
    for timeout in (float("nan"), "soon"):
        assert run_async("poll_until_terminal", (("s-1",), {"timeout": timeout}), []) == run_sync(
            "poll_until_terminal", (("s-1",), {"timeout": timeout}), []
        )


# --- concurrency -----------------------------------------------------------------------------------


def test_concurrent_first_calls_share_one_catalog_fetch(record_timing):
    async def main():
        transport = AsyncTransport(FakeResponse(200, signal_catalog()), pause=0.01)
        client = AsyncSignalServiceClient(URL, "tok", transport=transport)
        for _ in range(20):
            record_timing()
        results = await asyncio.gather(
            *(client.submit_signal(SIGNAL_GRAPH, "us_top", **signal_kwargs(idempotency_key=f"k{i}")) for i in range(20))
        )
        return transport, results

    transport, results = asyncio.run(main())
    assert [c[1] for c in transport.calls].count(("/eras",)) == 1 and len(transport.calls) == 21
    assert {r.status_code for r in results} == {200}


def test_a_failed_catalog_fetch_fails_its_waiters_and_is_tried_again(record_timing):
    async def main():
        transport = AsyncTransport(httpx.ConnectError("down"), pause=0.01)
        client = AsyncSignalServiceClient(URL, "tok", transport=transport)
        for _ in range(3):
            record_timing()
        first = await asyncio.gather(
            *(client.submit_signal(SIGNAL_GRAPH, "us_top", **signal_kwargs()) for _ in range(3)), return_exceptions=True
        )
        transport.responses.extend([FakeResponse(200, signal_catalog()), FakeResponse(202, {})])
        record_timing()
        second = await client.submit_signal(SIGNAL_GRAPH, "us_top", **signal_kwargs())
        return transport, first, second

    transport, first, second = asyncio.run(main())
    assert [str(e) for e in first] == ["thresholds are required for submit_signal; could not fetch /eras"] * 3
    assert all(type(e.__cause__) is httpx.ConnectError for e in first)
    assert second.status_code == 202 and [c[1] for c in transport.calls] == [
        ("/eras",),
        ("/eras",),
        ("/signals/submit",),
    ]


@pytest.mark.parametrize("max_concurrency", [1, 2, 4, 9])
@pytest.mark.parametrize("failing_chunk", [None, 0, 3])
def test_batch_chunks_in_flight_keep_input_order_and_counts(record_timing, max_concurrency, failing_chunk):
    async def main():
        transport = ChunkService(failing_chunk)
        client = AsyncSignalServiceClient(URL, "tok", transport=transport)
        client._twin._era_catalog_cache = signal_catalog()
        for _ in range(650):
            record_timing()
        return transport, await client.submit_signals_batch(batch_of(650), max_concurrency=max_concurrency)

    transport, result = asyncio.run(main())
    answered = sorted(transport.answered)
    assert [item.index for item in result.results] == [
        i for c in answered for i in range(c * 100, min(c * 100 + 100, 650))
    ]
    assert result.accepted == len(result.results) and result.accepted + result.failed == 650
    if failing_chunk is None:
        assert transport.most_in_flight == min(max_concurrency, 7) and answered == list(range(7))
        assert result.status_code == 202 and result.error is None
    else:
        assert result.status_code == 0 and "down" in result.error
        # Only chunks handed out before the failure was seen may start after it.
        assert len(transport.started) < transport.started_when_failed + max_concurrency
        if max_concurrency == 1:
            assert answered == list(range(failing_chunk))


class ChunkService:
    """Answers each batch chunk after a pause (later chunks sooner), failing one chunk with a
    transport error; records the chunks started, answered, and the most in flight at once."""

    def __init__(self, failing_chunk, failure=httpx.ConnectError, pause=0.002):
        self.failing_chunk, self.failure, self.pause, self.in_flight, self.most_in_flight = (
            failing_chunk,
            failure,
            pause,
            0,
            0,
        )
        self.started, self.answered, self.started_when_failed = [], set(), None

    async def post(self, path, *, content, headers):
        signals = json.loads(content)["signals"]
        chunk = signals[0]["metaparameters"]["n"] // 100
        self.started.append(chunk)
        self.in_flight += 1
        self.most_in_flight = max(self.most_in_flight, self.in_flight)
        await asyncio.sleep(self.pause * (7 - chunk))
        self.in_flight -= 1
        if chunk == self.failing_chunk:
            self.started_when_failed = len(self.started)
            raise self.failure("down")
        self.answered.add(chunk)
        return chunk_answer(len(signals))()


def test_an_unmapped_failure_of_a_chunk_in_flight_propagates_and_cancels_the_others(record_timing):
    async def main():
        transport = ChunkService(3, failure=RuntimeError)
        client = AsyncSignalServiceClient(URL, "tok", transport=transport)
        client._twin._era_catalog_cache = signal_catalog()
        for _ in range(650):
            record_timing()
        with pytest.raises(RuntimeError, match="down"):
            await client.submit_signals_batch(batch_of(650), max_concurrency=7)
        return transport, asyncio.all_tasks() - {asyncio.current_task()}

    transport, left = asyncio.run(main())
    assert left == set() and 3 not in transport.answered and len(transport.answered) < 7


# --- cancellation -----------------------------------------------------------------------------------


def test_a_cancelled_call_leaves_the_client_usable(record_timing):
    """A call cancelled while the era catalog is fetched cancels that fetch (no other call waits
    for it): the next call fetches again instead of waiting on an answer that never comes."""

    async def reached(transport, calls):
        while len(transport.calls) < calls:  # the request is with the service
            await asyncio.sleep(0)

    class SilentFirst(AsyncTransport):
        async def get(self, path, *, headers=None):
            if not self.calls:
                self.calls.append(("get", (path,), headers, None))
                await asyncio.Event().wait()  # a service that never answers
            return await super().get(path, headers=headers)

    async def main():
        transport = SilentFirst(FakeResponse(200, signal_catalog()), pause=0.2)
        client = AsyncSignalServiceClient(URL, "tok", transport=transport)
        record_timing()
        call = asyncio.ensure_future(client.submit_signal(SIGNAL_GRAPH, "us_top", **signal_kwargs()))
        await reached(transport, 1)  # inside the catalog fetch
        call.cancel()
        with pytest.raises(asyncio.CancelledError):
            await call
        record_timing()
        result = await asyncio.wait_for(client.submit_signal(SIGNAL_GRAPH, "us_top", **signal_kwargs()), 5)
        cancelled = asyncio.ensure_future(client.get_signal_status("s-1"))
        await reached(transport, 4)
        cancelled.cancel()
        with pytest.raises(asyncio.CancelledError):
            await cancelled
        return transport, result, await client.get_signal_status("s-1")

    transport, result, status = asyncio.run(main())
    assert [c[1] for c in transport.calls] == [
        ("/eras",),
        ("/eras",),
        ("/signals/submit",),
        ("/signals/status/s-1",),
        ("/signals/status/s-1",),
    ]
    assert result.status_code == 200 and status.status_code == 200


def test_a_cancelled_batch_leaves_no_chunk_in_flight_and_the_client_usable(record_timing):
    async def main():
        transport = ChunkService(None, pause=1.0)
        client = AsyncSignalServiceClient(URL, "tok", transport=transport)
        client._twin._era_catalog_cache = signal_catalog()
        for _ in range(1300):
            record_timing()
        call = asyncio.ensure_future(client.submit_signals_batch(batch_of(650), max_concurrency=4))
        while len(transport.started) < 4:  # every chunk in flight has reached the service
            await asyncio.sleep(0)
        call.cancel()
        with pytest.raises(asyncio.CancelledError):
            await call
        left = asyncio.all_tasks() - {asyncio.current_task()}
        started, answered = len(transport.started), set(transport.answered)
        transport.pause = 0.0
        result = await client.submit_signals_batch(batch_of(650), max_concurrency=4)
        return left, started, answered, result

    left, started, answered, result = asyncio.run(main())
    assert left == set() and started == 4 and answered == set()  # the chunks in flight were cancelled
    assert (result.accepted, result.failed) == (650, 0)


def test_construction_close_and_repr_never_show_the_token():
    transport = AsyncTransport()

    async def main():
        async with AsyncSignalServiceClient(URL, "secret-token", transport=transport) as client:
            assert "secret-token" not in repr(client) and repr(client) == f"AsyncSignalServiceClient({URL!r})"
        return client

    asyncio.run(main())
    assert transport.closed == 1
    for base_url, token, error in [("http://signals.example", "tok", ValueError), (URL, "bad\ntoken", ValueError)]:
        with pytest.raises(error) as sync_error:
            submit.SignalServiceClient(base_url, token, transport=RecordingTransport())
        with pytest.raises(error) as async_error:
            AsyncSignalServiceClient(base_url, token, transport=transport)
        assert str(async_error.value) == str(sync_error.value)
    with pytest.raises(ValueError, match="max_concurrency must be a positive int"):
        asyncio.run(
            AsyncSignalServiceClient(URL, "tok", transport=transport).submit_signals_batch([], max_concurrency=0)
        )


def test_an_operation_declared_with_other_parameters_is_refused_at_import():
    from quillmarsh import async_client

    with pytest.raises(TypeError, match="does not take SignalServiceClient.get_signal_status's parameters"):

        async def get_signal_status(self, submission_id, *, timeout=None):
            raise NotImplementedError

        async_client._operation(get_signal_status)
