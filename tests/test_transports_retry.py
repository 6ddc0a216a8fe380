"""RetryingTransport: the schedule of its waits, which requests and which failures it sends
again, the body it resends, what reaches the client in the end, its log; and the client
through it against the local service's injected 503s."""

import asyncio
import io
import itertools
import json
import logging
from email.utils import formatdate

import httpx
import pytest
from fakes import EPOCH, BasicTransport, FakeClock, FakeResponse, RecordingTransport

from quillmarsh import submit
from quillmarsh.transports import Answer, AsyncRetryingTransport, RetryingTransport

TOKEN = "secret-token-0123456789"
AUTH = {"Authorization": f"Bearer {TOKEN}"}
KEYED = {**AUTH, "Content-Type": "application/json", "Idempotency-Key": "sigsubmit-1"}
JSON = {**AUTH, "Content-Type": "application/json"}


def answer(status, retry_after=None):
    headers = httpx.Headers({} if retry_after is None else {"Retry-After": retry_after})
    return Answer(status, b"{}", headers)


def batch(*keys):
    return json.dumps(
        {"signals": [{"graph": "rank(close)", **({} if k is None else {"idempotency_key": k})} for k in keys]}
    ).encode()


class TimedTransport(RecordingTransport):
    def __init__(self, time, per_attempt, *responses):
        super().__init__(*responses)
        self.time, self.per_attempt = time, per_attempt

    def _answer(self, name, args, kwargs):
        self.time.now += self.per_attempt
        return super()._answer(name, args, kwargs)


def retrying(inner, time, flavour="sync", **options):
    options = {"random": lambda: 1.0, **options}
    if flavour == "async":
        return Driven(inner, time, **options)
    return RetryingTransport(inner, sleep=time.sleep, clock=time.clock, wall_clock=time.wall_clock, **options)


class Awaited:
    """A synchronous fake transport as an asynchronous one."""

    def __init__(self, inner):
        self.inner = inner

    def __getattr__(self, name):
        method = getattr(self.inner, name)

        async def call(*args, **kwargs):
            return method(*args, **kwargs)

        return call


class Driven:
    """An AsyncRetryingTransport over a fake, each call run to its end: the tables of this file
    hold for both retrying transports."""

    def __init__(self, inner, time, **options):
        async def sleep(seconds):
            time.sleep(seconds)

        self.transport = AsyncRetryingTransport(
            Awaited(inner), sleep=sleep, clock=time.clock, wall_clock=time.wall_clock, **options
        )

    def __getattr__(self, name):
        call = getattr(self.transport, name)
        return lambda *args, **kwargs: asyncio.run(call(*args, **kwargs))


FLAVOURS = pytest.mark.parametrize("flavour", ["sync", "async"])


# --- the schedule ------------------------------------------------------------------------------


def draws(*values):
    values = itertools.cycle(values)  # each run of a schedule takes them all, from the first
    return lambda: next(values)


HTTP_DATE_IN_7S = formatdate(EPOCH + 7, usegmt=True)
HTTP_DATE_PAST = formatdate(EPOCH - 60, usegmt=True)

# (answers in order, options, seconds each attempt takes, expected waits, attempts made)
SCHEDULES = {
    "doubling_then_capped": ([503] * 6, {"attempts": 6, "backoff": 1, "max_backoff": 5}, 0, [1, 2, 4, 5, 5], 6),
    "full_jitter_scales_each_ceiling": (
        [503] * 4,
        {"backoff": 1, "max_backoff": 100, "random": draws(0.25, 0.75, 0.5)},
        0,
        [0.25, 1.5, 2.0],
        4,
    ),
    "jitter_can_draw_zero": ([503] * 3, {"attempts": 3, "random": lambda: 0.0}, 0, [0.0, 0.0], 3),
    "attempts_cap": ([503] * 9, {"attempts": 3, "backoff": 0.1}, 0, [0.1, 0.2], 3),
    "one_attempt_never_retries": ([503, 200], {"attempts": 1}, 0, [], 1),
    "retry_after_seconds_over_backoff_cap": ([(503, "3"), (503, " 12 "), 200], {"max_backoff": 1}, 0, [3, 12], 3),
    "retry_after_http_date": ([(429, HTTP_DATE_IN_7S), 200], {}, 0, [7], 2),
    "retry_after_date_in_the_past_is_now": ([(503, HTTP_DATE_PAST), 200], {}, 0, [0], 2),
    "unreadable_retry_after_falls_back": ([(503, "soon"), (503, "-3"), 200], {"backoff": 1}, 0, [1, 2], 3),
    "budget_ends_the_waits": (
        [503] * 9,
        {"attempts": 9, "backoff": 4, "max_backoff": 60, "max_total_seconds": 10},
        0,
        [4],
        2,
    ),
    "budget_counts_the_attempts": (
        [503] * 9,
        {"attempts": 9, "backoff": 1, "max_backoff": 60, "max_total_seconds": 10},
        3,
        [1, 2],
        3,
    ),
    "retry_after_beyond_the_budget": ([(503, "31"), 200], {"max_total_seconds": 30}, 0, [], 1),
    "retry_after_within_the_budget": ([(503, "30"), 200], {"max_total_seconds": 30}, 0, [30], 2),
}


@FLAVOURS
@pytest.mark.parametrize("answers, options, per_attempt, waits, made", SCHEDULES.values(), ids=SCHEDULES.keys())
def test_schedule(answers, options, per_attempt, waits, made, flavour):
    time = FakeClock(now=0.0)
    answers = [answer(*a) if isinstance(a, tuple) else answer(a) for a in answers]
    inner = TimedTransport(time, per_attempt, *answers)
    got = retrying(inner, time, flavour, **options).get("/eras", headers=AUTH)
    assert time.sleeps == pytest.approx(waits)
    assert len(inner.calls) == made
    assert got is answers[made - 1]


def test_retry_after_from_any_headers_mapping_and_none_without_headers():
    time = FakeClock(now=0.0)
    dict_headers = FakeResponse(503)
    dict_headers.headers = {"retry-after": "4"}
    inner = RecordingTransport(dict_headers, FakeResponse(503), FakeResponse(200))  # the second has no headers
    retrying(inner, time, backoff=1).get("/eras", headers=AUTH)
    assert time.sleeps == [4, 2]


# --- which requests go again -------------------------------------------------------------------

# (how the request is sent, headers, body, attempts made when the first answer is a 503)
REQUESTS = {
    "get": ("get", AUTH, None, 2),
    "head": ("HEAD", AUTH, None, 2),
    "options": ("OPTIONS", AUTH, None, 2),
    "keyed_post": ("post", KEYED, b'{"graph": "x"}', 2),
    "keyed_post_lower_case_header": ("post", {**JSON, "idempotency-key": "k"}, b"{}", 2),
    "keyed_batch": ("post", JSON, batch("a", "b", "c"), 2),
    "unkeyed_post": ("post", JSON, b'{"graph": "x"}', 1),
    "blank_header_key": ("post", {**JSON, "Idempotency-Key": "  "}, b'{"graph": "x"}', 1),
    "batch_with_an_unkeyed_item": ("post", JSON, batch("a", None, "c"), 1),
    "batch_with_an_empty_key": ("post", JSON, batch("a", ""), 1),
    "batch_with_a_non_text_key": ("post", JSON, json.dumps({"signals": [{"idempotency_key": 7}]}).encode(), 1),
    "signals_not_a_list": ("post", JSON, b'{"signals": {"idempotency_key": "a"}}', 1),
    "not_json": ("post", JSON, b"\xff{", 1),
    "nested_too_deep": ("post", JSON, b"[" * 100_000 + b"]" * 100_000, 1),
    "put_even_keyed": ("PUT", KEYED, b"{}", 1),
    "delete": ("DELETE", AUTH, None, 1),
}


def send(transport, how, headers, body):
    if how == "get":
        return transport.get("/p?q=1", headers=headers)
    if how == "post":
        return transport.post("/p?q=1", content=body, headers=headers)
    return transport.request(how, "/p?q=1", content=body, headers=headers)


@FLAVOURS
@pytest.mark.parametrize("how, headers, body, made", REQUESTS.values(), ids=REQUESTS.keys())
def test_which_requests_go_again(how, headers, body, made, flavour):
    time = FakeClock(now=0.0)
    inner = RecordingTransport(answer(503), answer(200))
    got = send(retrying(inner, time, flavour), how, headers, body)
    assert len(inner.calls) == made and got.status_code == (200 if made == 2 else 503)
    assert all(call.sent == body for call in inner.calls)


class Rule:
    def __init__(self, verdict):
        self.verdict, self.calls = verdict, []

    def __call__(self, method, path, headers, body):
        self.calls.append((method, path, headers, body))
        return self.verdict


@pytest.mark.parametrize("verdict, made", [(True, 2), (False, 1)])
def test_a_custom_rule_replaces_the_default(verdict, made):
    rule = Rule(verdict)
    inner = RecordingTransport(answer(503), answer(200))
    transport = retrying(inner, FakeClock(now=0.0), safe=rule)
    transport.request("patch", "/p", content=b"text body", headers=JSON)  # the default refuses PATCH
    assert len(inner.calls) == made
    assert rule.calls == [("PATCH", "/p", JSON, b"text body")]


@pytest.mark.parametrize("first", [answer(200), answer(400), answer(501), httpx.DecodingError("corrupt")])
def test_the_rule_is_asked_only_when_a_retry_is_decided(first):
    rule = Rule(True)
    transport = retrying(RecordingTransport(first), FakeClock(now=0.0), safe=rule)
    try:
        transport.post("/signals/batch", content=batch("a"), headers=JSON)
    except httpx.DecodingError:
        pass
    assert rule.calls == []


# --- which failures go again -------------------------------------------------------------------

RETRIED = [
    ConnectionError("x"),
    ConnectionResetError("x"),
    ConnectionRefusedError("x"),
    BrokenPipeError("x"),
    TimeoutError("x"),
    httpx.ConnectTimeout("x"),
    httpx.ReadTimeout("x"),
    httpx.WriteTimeout("x"),
    httpx.PoolTimeout("x"),
    httpx.ConnectError("x"),
    httpx.ReadError("x"),
    httpx.WriteError("x"),
    httpx.CloseError("x"),
    httpx.RemoteProtocolError("x"),
]
FINAL = [
    httpx.LocalProtocolError("x"),
    httpx.DecodingError("x"),
    httpx.UnsupportedProtocol("x"),
    httpx.InvalidURL("x"),
    httpx.TooManyRedirects("x"),
    httpx.ProxyError("x"),
    ValueError("x"),
    OSError("x"),
]


@FLAVOURS
@pytest.mark.parametrize("error", RETRIED + FINAL, ids=lambda e: type(e).__name__)
def test_which_errors_go_again(error, flavour):
    final = answer(202)
    inner = RecordingTransport(error, final)
    transport = retrying(inner, FakeClock(now=0.0), flavour)
    if error in RETRIED:
        assert transport.post("/signals/submit", content=b"{}", headers=KEYED) is final
        assert len(inner.calls) == 2
    else:
        with pytest.raises(type(error)) as caught:
            transport.post("/signals/submit", content=b"{}", headers=KEYED)
        assert caught.value is error and len(inner.calls) == 1


@pytest.mark.parametrize(
    "status, retried",
    [(s, True) for s in (408, 429, 500, 502, 503, 504)]
    + [(s, False) for s in (200, 202, 400, 401, 404, 409, 413, 422, 501, 505)],
)
@FLAVOURS
def test_which_statuses_go_again(status, retried, flavour):
    first = answer(status)
    inner = RecordingTransport(first, answer(202))
    got = retrying(inner, FakeClock(now=0.0), flavour).get("/eras", headers=AUTH)
    assert (len(inner.calls), got is first) == ((2, False) if retried else (1, True))


def test_custom_statuses_replace_the_defaults():
    inner = RecordingTransport(answer(418), answer(503), answer(200))
    got = retrying(inner, FakeClock(now=0.0), retry_statuses={418}).get("/eras", headers=AUTH)
    assert got.status_code == 503 and len(inner.calls) == 2


# --- the body sent again, and what reaches the caller ------------------------------------------


class Observer:
    def __init__(self):
        self.calls = []

    def __call__(self, *args):
        self.calls.append(args)


def observed(body):
    observer = Observer()
    return submit._TransmissionObservedBody(body, observer, "POST", "http://127.0.0.1/signals/batch", JSON), observer


def test_an_observed_body_goes_again_whole_and_is_observed_once():
    body = batch("a", "b")
    content, observer = observed(body)
    inner = RecordingTransport(httpx.ReadError("reset"), answer(503), answer(202))
    got = retrying(inner, FakeClock(now=0.0)).post("/signals/batch", content=content, headers=JSON)
    assert got.status_code == 202
    assert [call.sent for call in inner.calls] == [body] * 3
    assert [call.kwargs["content"] for call in inner.calls] == [content] * 3
    assert len(observer.calls) == 1 and content.consumed


def test_deciding_does_not_observe_a_body_that_never_went_out():
    content, observer = observed(b'{"graph": "x"}')  # an unkeyed body: not sent again
    inner = RecordingTransport(httpx.ConnectError("refused"), read_body=False)
    with pytest.raises(httpx.ConnectError):
        retrying(inner, FakeClock(now=0.0)).post("/signals/submit", content=content, headers=JSON)
    assert observer.calls == [] and not content.consumed


def test_a_stream_goes_again_from_where_it_began():
    stream = io.BytesIO(b"skip" + batch("a"))
    stream.seek(4)
    inner = RecordingTransport(httpx.ReadError("reset"), answer(202))
    retrying(inner, FakeClock(now=0.0)).post("/signals/batch", content=stream, headers=JSON)
    assert [call.sent for call in inner.calls] == [batch("a")] * 2


def test_a_body_that_cannot_be_rewound_goes_once():
    chunks = iter([b'{"graph": ', b'"x"}'])
    inner = RecordingTransport(httpx.ReadError("reset"), answer(202))
    with pytest.raises(httpx.ReadError):
        retrying(inner, FakeClock(now=0.0)).post("/signals/submit", content=chunks, headers=KEYED)
    assert len(inner.calls) == 1


@FLAVOURS
def test_the_last_exception_is_raised_as_it_was(flavour):
    errors = [httpx.ConnectError(f"refused {i}") for i in range(3)]
    inner = RecordingTransport(*errors)
    with pytest.raises(httpx.ConnectError) as caught:
        retrying(inner, FakeClock(now=0.0), flavour, attempts=3).get("/eras", headers=AUTH)
    assert caught.value is errors[-1]
    assert caught.value.__context__ is None and caught.value.__cause__ is None


def test_request_and_close_reach_the_inner_transport():
    inner = RecordingTransport(answer(502), answer(200))
    transport = retrying(inner, FakeClock(now=0.0))
    assert transport.request("GET", "/eras", headers=AUTH).status_code == 200
    assert [call.args for call in inner.calls] == [("GET", "/eras")] * 2
    transport.close()
    assert inner.closed == 1


@FLAVOURS
def test_an_inner_transport_without_request_gets_post_and_get(flavour):
    inner = BasicTransport(answer(503), answer(202))
    transport = retrying(inner, FakeClock(now=0.0), flavour)
    assert transport.request("POST", "/signals/submit", content=b"{}", headers=KEYED).status_code == 202
    assert [call.name for call in inner.calls] == ["post", "post"]
    with pytest.raises(ValueError, match="Unsupported HTTP method: PUT"):
        transport.request("PUT", "/x", content=b"{}", headers=KEYED)
    getattr(transport, "close" if flavour == "sync" else "aclose")()  # nothing to close


@pytest.mark.parametrize(
    "options",
    [
        {"attempts": 0},
        {"attempts": 2.0},
        {"attempts": True},
        {"backoff": -1},
        {"max_backoff": float("inf")},
        {"backoff": float("nan")},
        {"max_total_seconds": float("nan")},
        {"max_total_seconds": -0.5},
    ],
)
def test_settings_refused(options):
    with pytest.raises(ValueError):
        RetryingTransport(RecordingTransport(), **options)


# --- the log and the progress callback ---------------------------------------------------------


@FLAVOURS
def test_each_retry_is_one_record_without_the_token(caplog, flavour):
    caplog.set_level(logging.DEBUG, logger="quillmarsh")
    progress = []
    inner = RecordingTransport(
        httpx.ConnectError(f"refused, Authorization: Bearer {TOKEN}"), answer(503, "2"), answer(202)
    )
    transport = retrying(inner, FakeClock(now=0.0), flavour, backoff=0.5, on_retry=lambda *args: progress.append(args))
    transport.post("/signals/submit", content=b"{}", headers=KEYED)
    assert progress == [(2, "ConnectError", 0.5), (3, "HTTP 503", 2.0)]
    assert [(r.name, r.levelno) for r in caplog.records] == [("quillmarsh.transports", logging.INFO)] * 2
    assert [r.quillmarsh_event["metadata"] for r in caplog.records] == [
        {
            "method": "POST",
            "path": "/signals/submit",
            "attempt": n,
            "attempts": 4,
            "reason": reason,
            "wait_seconds": wait,
        }
        for n, reason, wait in progress
    ]
    assert all(TOKEN not in repr(vars(r)) and TOKEN not in r.getMessage() for r in caplog.records)
