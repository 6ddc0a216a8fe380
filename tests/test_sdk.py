"""The SDK faces, SignalClient and AsyncSignalClient (each test runs both): production defaults
(retries, bounded answers, path prefixes, settings checked), waiting with backoff, every page of
a listing, timings handed back for a signal worth sending again, replays, pre-screening, the
one-line causes, and the small edges of a Python API."""

import asyncio
import inspect
import json
import time

import httpx
import pytest
from fakes import (
    SIGNAL_GRAPH,
    AsyncTransport,
    FakeClock,
    FakeResponse,
    RecordingTransport,
    drip_server,
    signal_catalog,
    signal_kwargs,
)

import quillmarsh
from quillmarsh import _backtest_timing, describe, devservice, submit
from quillmarsh.async_sdk import AsyncSignalClient
from quillmarsh.client import SignalClient
from quillmarsh.errors import ClientClosedError, EraCatalogUnavailable, ListingError

URL = "https://signals.example"


class Awaiting:
    """A SignalClient whose operations are awaited as AsyncSignalClient's are, so that one
    scenario runs on both faces."""

    def __init__(self, client):
        self.client = client

    def __getattr__(self, name):
        member = getattr(self.client, name)
        if not callable(member):
            return member

        async def call(*args, **kwargs):
            return member(*args, **kwargs)

        return call

    async def iter_submissions(self, **filters):
        for submission in self.client.iter_submissions(**filters):
            yield submission


def scenario(face, body, *args, **kwargs):
    """Run `body(client)` (a coroutine function) with a client of `face` built from the arguments."""

    async def main():
        if face == "sync":
            client = SignalClient(*args, **kwargs)
            with client:
                return await body(Awaiting(client))
        async with AsyncSignalClient(*args, **kwargs) as client:
            return await body(client)

    return asyncio.run(main())


def fake(face, *answers):
    """A fake transport of the face's kind answering `answers`, and its calls as (name, path)."""
    transport = RecordingTransport(*answers) if face == "sync" else AsyncTransport(*answers)
    return transport


def paths(face, transport):
    return [c.args[-1] if face == "sync" else c[1][-1] for c in transport.calls]


both = pytest.mark.parametrize("face", ["sync", "async"])


@pytest.fixture
def clean_environment(monkeypatch, tmp_path):
    monkeypatch.setenv("QUILLMARSH_CONFIG", str(tmp_path / "none.toml"))
    for name in ("QUILLMARSH_BASE_URL", "QUILLMARSH_TOKEN", "QUILLMARSH_PROFILE"):
        monkeypatch.delenv(name, raising=False)


# --- defaults ---------------------------------------------------------------------------------


@both
def test_defaults_retry_bound_answers_and_keep_a_path_prefix(
    face, http_server, record_timing, clean_environment, monkeypatch
):
    http_server.respond(200, signal_catalog(), method="GET", path="/api/eras")
    http_server.respond(503, {"error": "busy"}, headers=[("Retry-After", "0")], method="POST")
    http_server.respond(202, {"submission_id": "s-1"}, method="POST")
    http_server.respond(404, "x" * 5000, path="/api/signals/status/s-1")
    monkeypatch.setenv("QUILLMARSH_BASE_URL", f"{http_server.url}/api")  # found without an argument
    monkeypatch.setenv("QUILLMARSH_TOKEN", "tok")

    async def body(client):
        record_timing()
        return (
            await client.submit_signal(SIGNAL_GRAPH, "us_top", **signal_kwargs()),
            await client.get_signal_status("s-1"),
        )

    submitted, status = scenario(face, body, max_answer_bytes=1000)
    assert submitted.ok and submitted.submission_id == "s-1"
    assert [r.path for r in http_server.requests] == [
        "/api/eras",
        "/api/signals/submit",
        "/api/signals/submit",
        "/api/signals/status/s-1",
    ]
    assert status.status_code == 404 and "larger than 1000 bytes" in status.body["raw_body_preview"]


@both
def test_an_observed_submission_is_retried_and_observed_once(face, http_server, record_timing, clean_environment):
    http_server.respond(200, signal_catalog(), method="GET", path="/eras")
    http_server.respond(503, {"error": "busy"}, headers=[("Retry-After", "0")], method="POST")
    observed = []

    async def body(client):
        record_timing()
        return await client.submit_signal(SIGNAL_GRAPH, "us_top", **signal_kwargs())

    result = scenario(face, body, http_server.url, "tok", transmission_observer=lambda *a: observed.append(a[3]))
    posts = [r.body for r in http_server.requests if r.method == "POST"]
    assert result.ok and len(posts) == 2 and posts[0] == posts[1] and observed == posts[:1]


@both
def test_a_dripping_answer_is_cut_at_the_whole_request_timeout(face, clean_environment):
    url, stop = drip_server(interval=0.2)  # 20 bytes: 4 s to the end of the answer
    try:
        started = time.monotonic()
        result = scenario(face, lambda client: client.get_signal_status("s-1"), url, "tok", timeout=1, max_retries=0)
        took = time.monotonic() - started
    finally:
        stop()
    assert result.status_code == 0 and took < 3


def test_a_chunk_the_service_refuses_whole_is_sent_again_signal_by_signal(record_timing, clean_environment):
    signals = [
        {
            "graph": f"rank(ts_mean(close, {n}))",
            "named_universe": "us_top500",
            "signal_pool_name": "momentum",
            "is_stats": {"sharpe": 1.6, "turnover": 0.3, "is_correlation": 0.2},
            "is_pnl_mi": 0.4,
            "expression_elapsed_seconds": 1.0,
        }
        for n in range(150)
    ]
    events = []
    with devservice.start() as service, SignalClient(service.url, service.token) as client:
        for signal in signals:
            record_timing(signal["graph"])
        checked = client.check_signals(signals)
        checked[120].body["metaparameters"] = {"window": 2**60}  # beyond what the service takes in a body
        result = client.submit_checked(checked, on_chunk=events.append)
        stored = service.store.count()
    assert (result.accepted, result.failed, stored) == (149, 1, 149)
    [refused] = [item for item in result.results if item.status_code != 202]
    assert refused.index == 120 and refused.status_code == 400 and "2**53" in describe(refused)
    assert [(e.start, e.count) for e in events if type(e).__name__ == "ChunkSettled"][:2] == [(0, 100), (100, 1)]


@both
def test_retries_off_leave_the_first_answer(face, http_server, record_timing, clean_environment):
    http_server.respond(200, signal_catalog(), method="GET", path="/eras")
    http_server.respond(503, {"error": "busy"}, headers=[("Retry-After", "0")], method="POST")

    async def body(client):
        record_timing()
        return await client.submit_signal(SIGNAL_GRAPH, "us_top", **signal_kwargs())

    assert scenario(face, body, http_server.url, "tok", max_retries=0).status_code == 503


@pytest.mark.parametrize(
    "given, error, message",
    [
        ({"token": 5}, TypeError, "the token must be a str, not int"),
        ({"timeout": 0}, ValueError, "timeout must be a finite number of seconds above 0, not 0"),
        ({"timeout": float("nan")}, ValueError, "timeout must be a finite number of seconds above 0"),
        ({"timeout": "soon"}, ValueError, "timeout must be a number of seconds above 0, not 'soon'"),
        ({"max_connections": 0}, ValueError, "max_connections must be a whole number of at least 1"),
        ({"max_answer_bytes": 1.5}, ValueError, "max_answer_bytes must be a whole number of at least 1"),
        ({"max_retries": -1}, ValueError, "max_retries must be a whole number, 0 or more"),
        ({"base_url": None}, ValueError, "no service URL: pass base_url"),
        ({"base_url": "http://signals.example"}, ValueError, "bearer"),
    ],
)
@both
def test_construction_refuses_what_cannot_work(face, clean_environment, given, error, message):
    arguments = {"base_url": URL, "token": "tok", **given}
    with pytest.raises(error, match=message):
        scenario(face, lambda client: asyncio.sleep(0), **arguments)


@both
def test_timeout_as_an_httpx_timeout(face, clean_environment):
    async def body(client):
        return client.base_url

    assert scenario(face, body, URL, "tok", timeout=httpx.Timeout(3.0)) == URL


# --- waiting ------------------------------------------------------------------------------------


def answers(*items):
    out = []
    for item in items:
        if isinstance(item, BaseException):
            out.append(item)
        elif isinstance(item, tuple):
            out.append(FakeResponse(*item))
        else:
            out.append(FakeResponse(200, {"status": item}))
    return out


@pytest.mark.parametrize(
    "script, timeout, final, sleeps",
    [
        (answers("queued", "simulating", "signal_os_passed"), 60, "signal_os_passed", [0.5, 0.75]),
        (answers((404, {"error": "not_found"})), 60, 404, []),
        (answers((401, {"error": "unauthorized"})), 60, 401, []),
        (
            answers(httpx.ConnectError("reset"), (503, {"error": "busy"}), (429, {}), (408, {}), "signal_found"),
            60,
            "signal_found",
            [0.5, 0.75, 1.125, 1.6875],
        ),
        (answers((502, "<html>bad gateway</html>"), "signal_useful"), 60, "signal_useful", [0.5]),
        (answers({"nested": "status"}, ["a", "list"], "signal_os_failed"), 60, "signal_os_failed", [0.5, 0.75]),
        (answers(*["queued"] * 9), 2, "queued", [0.5, 0.75, 0.75]),
        (
            answers(*["queued"] * 12),
            30,
            "queued",
            [0.5, 0.75, 1.125, 1.6875, 2.53125, 3.796875, 5.0, 5.0, 5.0, 4.609375],
        ),
    ],
)
@both
def test_wait_until_terminal_backs_off_and_stops_on_what_reading_cannot_change(
    face, monkeypatch, script, timeout, final, sleeps
):
    clock = FakeClock()
    monkeypatch.setattr("quillmarsh._face.time", clock)
    monkeypatch.setattr("quillmarsh._steps.time", clock)
    monkeypatch.setattr("asyncio.sleep", clock.asleep)
    transport = fake(face, *script)

    async def body(client):
        return await client.wait_until_terminal("s-1", timeout=timeout)

    last = scenario(face, body, URL, "tok", transport=transport, max_retries=0)
    assert (last.status if isinstance(final, str) else last.status_code) == final
    assert clock.sleeps == pytest.approx(sleeps) and len(transport.calls) == len(sleeps) + 1


@both
def test_poll_until_terminal_stays_as_the_raw_client_polls(face, monkeypatch):
    monkeypatch.setattr(submit, "_POLL_INTERVAL_SECONDS", 0.001)
    transport = fake(face, *answers(*[(404, {"error": "not_found"})] * 1000))

    async def body(client):
        return await client.poll_until_terminal("s-1", timeout=0.05)

    assert scenario(face, body, URL, "tok", transport=transport, max_retries=0).status_code == 404
    assert len(transport.calls) > 2  # a refusal is read again until the deadline, as the raw client does


# --- timings handed back -----------------------------------------------------------------------------


def catalog_and(*items):
    return [FakeResponse(200, signal_catalog()), *items]


@pytest.mark.parametrize(
    "answer, kept",
    [
        (FakeResponse(202, {"submission_id": "s-1"}), False),
        (FakeResponse(400, {"error": "malformed_request"}), False),
        (FakeResponse(409, {"error": "conflict"}), False),
        (httpx.ConnectError("refused"), True),
        (FakeResponse(408, {"error": "timeout"}), True),
        (FakeResponse(429, {"error": "slow_down"}), True),
        (FakeResponse(503, {"error": "busy"}), True),
        (FakeResponse(500, "<html>"), True),  # raised by the raw client: nothing came back to read
    ],
)
@both
def test_a_submission_that_may_be_sent_again_keeps_its_timing(face, record_timing, answer, kept):
    transport = fake(face, *catalog_and(answer))

    async def body(client):
        record_timing()
        try:
            await client.submit_signal(SIGNAL_GRAPH, "us_top", **signal_kwargs())
        except submit.SignalClientResponseError:
            pass

    scenario(face, body, URL, "tok", transport=transport, max_retries=0)
    recorded = _backtest_timing.UseLedger([SIGNAL_GRAPH])._entries[SIGNAL_GRAPH]
    assert (recorded is not None) == kept


@both
def test_a_batch_keeps_the_timings_of_the_signals_not_stored(face):
    graphs = [f"rank(ts_mean(close, {n}))" for n in range(250)]
    for graph in graphs:
        _backtest_timing.record_backtest_timing(graph, row_count=100, elapsed_seconds=1.0, max_row_elapsed_seconds=0.01)
    first = {
        "accepted": 99,
        "failed": 1,
        "results": [
            {"index": i, "status_code": 202 if i != 5 else 503, "body": {"submission_id": f"b{i}"}} for i in range(100)
        ],
    }
    transport = fake(face, *catalog_and(FakeResponse(200, first), FakeResponse(503, {"error": "busy"})))

    async def body(client):
        return await client.submit_signals_batch(
            [{"graph": g, "named_universe": "us_top", **signal_kwargs()} for g in graphs]
        )

    result = scenario(face, body, URL, "tok", transport=transport, max_retries=0)
    kept = [g for g in graphs if _backtest_timing.UseLedger([g])._entries[g] is not None]
    assert result.accepted == 99 and kept == [graphs[5], *graphs[100:]]


# --- replays, pages -----------------------------------------------------------------------------------


@both
def test_replays_are_told_from_first_submissions(face, record_timing, clean_environment):
    signals = [
        {
            "graph": f"rank(ts_mean(close, {n}))",
            "named_universe": "us_top500",
            "signal_pool_name": "momentum",
            "is_stats": {"sharpe": 1.6, "turnover": 0.3, "is_correlation": 0.2},
            "is_pnl_mi": 0.4,
            "expression_elapsed_seconds": 2,
        }
        for n in range(3, 8)
    ]  # 2: a whole number where a float goes

    async def body(client):
        seen = []
        for _ in range(2):
            for signal in signals:
                record_timing(signal["graph"])
            one = await client.submit_signal(**signals[0])
            batch = await client.submit_signals_batch(signals[1:])
            seen.append((one.replayed, [item.replayed for item in batch.results], describe(one), describe(batch)))
        return seen

    with devservice.start() as service:
        first, again = scenario(face, body, service.url, service.token)
    assert first[:2] == (False, [False] * 4) and again[:2] == (True, [True] * 4)
    assert first[2].startswith("accepted: sub_") and again[2] == first[2].replace(
        "accepted:", "already stored (same content):"
    )
    assert (first[3], again[3]) == ("accepted 4 of 4", "accepted 4 of 4 (4 already stored)")


@both
def test_iter_submissions_follows_every_page_once(face, record_timing, clean_environment):
    async def body(client):
        for n in range(25):
            record_timing(f"rank(ts_mean(close, {n}))")
            await client.submit_signal(
                f"rank(ts_mean(close, {n}))",
                "us_top500",
                signal_pool_name="momentum",
                is_stats={"sharpe": 1.6, "turnover": 0.3, "is_correlation": 0.2},
                is_pnl_mi=0.4,
                expression_elapsed_seconds=2.0,
            )
        paged = [s["submission_id"] async for s in client.iter_submissions(page_size=10)]
        whole = [s["submission_id"] async for s in client.iter_submissions()]
        return paged, whole

    with devservice.start() as service:
        paged, whole = scenario(face, body, service.url, service.token)
    assert len(set(paged)) == 25 and paged == whole


@pytest.mark.parametrize(
    "pages, error, limits",
    [
        (
            [
                (400, {"error": "malformed_request", "details": {"field": "limit", "maximum": 50}}),
                (200, {"submissions": [{"submission_id": "a"}], "next_since": None}),
            ],
            None,
            ["1000", "50"],
        ),
        (
            [
                (200, {"submissions": [{"submission_id": "a"}], "next_since": "t1"}),
                (200, {"submissions": [{"submission_id": "b"}], "next_since": "t1"}),
            ],
            "next page starts where this one did",
            ["1000", "1000"],
        ),
        ([(401, {"error": "unauthorized"})], "listing failed: the service refused the token", ["1000"]),
    ],
)
@both
def test_iter_submissions_heeds_the_page_limit_and_stops_on_a_cursor_that_does_not_move(face, pages, error, limits):
    transport = fake(face, *(FakeResponse(*page) for page in pages))

    async def body(client):
        return [s["submission_id"] async for s in client.iter_submissions()]

    if error is None:
        assert scenario(face, body, URL, "tok", transport=transport, max_retries=0) == ["a"]
    else:
        with pytest.raises(ListingError, match=error):
            scenario(face, body, URL, "tok", transport=transport, max_retries=0)
    assert [p.split("limit=")[1].split("&")[0] for p in paths(face, transport)] == limits


# --- pre-screening ---------------------------------------------------------------------------------


@both
def test_check_signal_gives_exactly_what_submit_signal_posts_and_keeps_the_timing(face, record_timing, tmp_path):
    transport = fake(face, *catalog_and(FakeResponse(202, {"submission_id": "s-1"})))

    async def body(client):
        record_timing()
        checked = await client.check_signal(SIGNAL_GRAPH, "us_top", **signal_kwargs(expression_elapsed_seconds=1))
        offline = quillmarsh.check_signal(
            SIGNAL_GRAPH, "us_top", catalog=tmp_path / "catalog.json", **signal_kwargs(expression_elapsed_seconds=1)
        )
        await client.submit_signal(SIGNAL_GRAPH, "us_top", **signal_kwargs(expression_elapsed_seconds=1))
        return checked, offline

    (tmp_path / "catalog.json").write_text(json.dumps(signal_catalog()))
    checked, offline = scenario(face, body, URL, "tok", transport=transport, max_retries=0)
    posted = json.loads(transport.calls[-1].sent if face == "sync" else transport.calls[-1][3])
    assert checked == offline and checked.ok and checked.body == posted and checked.endpoint == "signals/submit"
    assert checked.idempotency_key == posted["idempotency_key"] and len(transport.calls) == 2


@both
def test_check_signals_gives_each_signal_its_body_or_its_problem(face):
    graphs = [f"rank(ts_mean(close, {n}))" for n in range(6)]
    for graph in graphs[:5]:
        _backtest_timing.record_backtest_timing(graph, row_count=100, elapsed_seconds=1.0, max_row_elapsed_seconds=0.01)
    signals = [{"graph": g, "named_universe": "us_top", **signal_kwargs()} for g in graphs]
    signals[1]["signal_pool_name"] = "no-such-pool"
    signals[3] = "not a signal"
    signals.append(dict(signals[0]))  # the same graph again: one recorded use for two submissions
    transport = fake(face, *catalog_and(FakeResponse(200, {"results": []})))

    async def body(client):
        checked = await client.check_signals(signals)
        good = [signals[i] for i, c in enumerate(checked) if c.ok]
        await client.submit_signals_batch(good)
        return checked

    checked = scenario(face, body, URL, "tok", transport=transport, max_retries=0)
    problems = {c.index: c.problem for c in checked if not c.ok}
    assert set(problems) == {1, 3, 5, 6}
    assert problems[1] == "signal_pool_name 'no-such-pool' is not in era 3 (known: pool-a)"
    assert problems[3] == "each batch submission must be a dict"
    assert "recorded backtest timing is required" in problems[5] and problems[5] == problems[6]
    posted = json.loads(transport.calls[-1].sent if face == "sync" else transport.calls[-1][3])["signals"]
    assert posted == [c.body for c in checked if c.ok] and [c.index for c in checked] == list(range(7))


POOL_SHARPE = {"pool-a": {"universes": {"12": {"signal_is_thresholds": {"min_sharpe": 1.0}}}}}
DEEP = "rank(rank(rank(rank(rank(close)))))"


@pytest.mark.parametrize(
    "signal, problems",
    [
        (
            {"is_stats": {"sharpe": 0.1, "is_correlation": 0.9}, "is_pnl_mi": 0.05},
            [
                "is_stats.sharpe is 0.1; era 3 requires at least 1 for pool-a in us_top",
                "is_stats.is_correlation is 0.9; era 3 requires at most 0.7 for pool-a in us_top",
                "is_pnl_mi is 0.05; era 3 requires at least 0.1 for pool-a in us_top",
            ],
        ),
        (
            {"is_stats": {"is_sharpe": 2.0}},
            ["is_stats has no correlation or is_correlation; era 3 requires at most 0.7 for pool-a in us_top"],
        ),
        (
            {"named_universe": "eu_top", "signal_pool_name": "pool-z"},
            [
                "named_universe 'eu_top' is not in era 3 (known: us_top)",
                "signal_pool_name 'pool-z' is not in era 3 (known: pool-a)",
            ],
        ),
        (
            {"named_universe": None},
            [
                "named_universe is required: give it in the signal, or set a default with "
                "QUILLMARSH_NAMED_UNIVERSE (or named_universe in the agent config file)"
            ],
        ),
        (
            {"market_id": "7", "expression_elapsed_seconds": -1.0},
            [
                "expression_elapsed_seconds must be a positive number of seconds, not -1.0",
                "market_id must be a positive integer",
            ],
        ),
        (
            {"graph": DEEP, "timing": 0.9},
            [
                "graph is 6 levels deep; era 3 allows at most 4",
                "backtest_timing is over era 3's budget for 1d data: "
                "max_row_elapsed_seconds 0.9 of at most 0.5, elapsed_seconds 1 of at most 10",
            ],
        ),
    ],
)
def test_a_refused_signal_is_told_every_rule_it_breaks(monkeypatch, signal, problems):
    monkeypatch.delenv("QUILLMARSH_NAMED_UNIVERSE", raising=False)
    monkeypatch.setenv("QUILLMARSH_AGENT_CONFIG", "/nonexistent/agent.json")
    fields = {"graph": SIGNAL_GRAPH, "named_universe": "us_top", **signal_kwargs(), **signal}
    _backtest_timing.record_backtest_timing(
        fields["graph"], row_count=100, elapsed_seconds=1.0, max_row_elapsed_seconds=fields.pop("timing", 0.01)
    )
    [checked] = quillmarsh.check_signals([fields], catalog=signal_catalog(signal_pools=POOL_SHARPE))
    assert list(checked.problems) == problems and checked.problem == "; ".join(problems)


@pytest.mark.parametrize(
    "catalog, message",
    [
        ({"eras": "none"}, "returned invalid payload"),
        ("/no/such/catalog.json", "cannot read the era catalog"),
        ([1, 2], "an era catalog is a JSON object"),
    ],
)
def test_an_offline_catalog_that_is_no_catalog_is_refused(catalog, message):
    with pytest.raises(ValueError, match=message):
        quillmarsh.check_signals([], catalog=catalog)


# --- the small edges ---------------------------------------------------------------------------------


@both
def test_a_closed_client_says_so(face):
    async def body(client):
        await (client.close() if face == "sync" else client.aclose())
        with pytest.raises(
            ClientClosedError, match=f"this {'Async' if face == 'async' else ''}SignalClient is closed"
        ) as raised:
            await client.get_signal_status("s-1")
        return describe(raised.value), client.closed

    line, closed = scenario(face, body, URL, "tok", transport=fake(face))
    assert closed and line.startswith("this ") and "closed" in line


@both
def test_a_catalog_that_cannot_be_read_is_told_by_its_cause(face, record_timing):
    transport = fake(face, FakeResponse(401, {"error": "unauthorized", "details": {"message": "bad token"}}))

    async def body(client):
        record_timing()
        with pytest.raises(EraCatalogUnavailable) as raised:
            await client.submit_signal(SIGNAL_GRAPH, "us_top", **signal_kwargs())
        return raised.value

    failure = scenario(face, body, URL, "tok", transport=transport, max_retries=0)
    assert isinstance(failure, ValueError) and str(failure) == (
        "thresholds are required for submit_signal; could not fetch /eras"
    )
    assert describe(failure) == (
        "cannot read the service's era catalog: the service refused the token "
        "(HTTP 401 Unauthorized): check the token (bad token)"
    )
    assert _backtest_timing.UseLedger([SIGNAL_GRAPH])._entries[SIGNAL_GRAPH] is not None  # nothing was taken


@both
def test_the_public_surface(face):
    assert dir(quillmarsh) == quillmarsh.__all__ and all(getattr(quillmarsh, n) is not None for n in dir(quillmarsh))
    cls, raw = (
        (SignalClient, submit.SignalServiceClient)
        if face == "sync"
        else (AsyncSignalClient, quillmarsh.AsyncSignalServiceClient)
    )
    assert inspect.signature(cls.submit_signal) == inspect.signature(raw.submit_signal)
    assert repr(submit.SignalServiceClient._submit_result_from_body(202, {})).startswith("SubmitResult(ok=True, ")


@pytest.mark.parametrize(
    "outcome, line",
    [
        (
            submit.SubmissionRejectedError(422, "unknown_pool", body={"details": {"message": "no pool 'x'"}}),
            "rejected by the service (HTTP 422 unknown_pool): no pool 'x'",
        ),
        (
            submit.SignalClientResponseError("bad", status_code=502, url=URL, raw_body=b"<html>"),
            "unreadable answer (502 Bad Gateway)",
        ),
        (httpx.ReadTimeout("slow"), "no answer from the service in time (ReadTimeout)"),
        (httpx.ConnectError("[Errno 111] refused"), "cannot reach the service: [Errno 111] refused"),
        (ValueError("sharpe failed: 0.1 >= 1.0"), "refused before sending: sharpe failed: 0.1 >= 1.0"),
        (
            submit.SignalServiceClient._status_result_from_transport_error(ConnectionResetError("reset")),
            "cannot reach the service: reset",
        ),
        (
            submit.SignalServiceClient._submit_result_from_body(403, {"error": "forbidden"}),
            "the service refused the token (HTTP 403 Forbidden): check the token",
        ),
        (submit.SignalServiceClient._submission_list_result_from_body(200, {"submissions": [{}, {}]}), "2 submissions"),
    ],
)
def test_describe_names_the_cause_in_one_line(outcome, line):
    assert describe(outcome) == line
