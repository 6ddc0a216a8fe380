"""get_signal_status, list_signal_submissions and poll_until_terminal through an injected transport."""

import types

import httpx
import pytest
from fakes import FakeClock, FakeResponse

from quillmarsh import submit

MALFORMED_400 = submit.SignalClientResponseError("m", status_code=400, url="u", raw_body=b" bad \n")
BAD_BODY = {"error": "bad", "raw_body_preview": "bad", "status_code": 400}


@pytest.fixture
def client(fake_transport):
    return submit.SignalServiceClient("https://signals.example", "tok", transport=fake_transport)


@pytest.mark.parametrize(
    "answer, expected",
    [
        (
            FakeResponse(200, {"status": "signal_found", "correlation": 1}),
            (200, {"status": "signal_found"}, "signal_found", None),
        ),
        (FakeResponse(404, {"error": "unknown"}), (404, {"error": "unknown"}, None, "unknown")),
        (FakeResponse(400, b" bad \n"), (400, BAD_BODY, None, "bad")),
        (httpx.ReadTimeout(""), (0, None, None, "ReadTimeout")),
        (ConnectionRefusedError("refused"), (0, None, None, "refused")),
        (FakeResponse(503, b"<html>"), submit.SignalClientResponseError),
        (LookupError("x"), LookupError),
    ],
)
def test_status_outcomes(client, fake_transport, answer, expected):
    fake_transport.responses.append(answer)
    if isinstance(expected, type):
        with pytest.raises(expected) as caught:
            client.get_signal_status("a b/c")
        assert caught.value is answer or caught.value.status_code == answer.status_code
    else:
        result = client.get_signal_status("a b/c")
        assert type(result) is submit.StatusResult
        assert (result.status_code, result.body, result.status, result.error) == expected
    assert [(call.name, call.args) for call in fake_transport.calls] == [("get", ("/signals/status/a%20b%2Fc",))]


@pytest.mark.parametrize(
    "kwargs, path",
    [
        ({}, "/signals/submissions?limit=100"),
        ({"limit": None}, "/signals/submissions"),
        (
            {"limit": 5.0, "since": "2024-01-01T10:00:00Z", "status": "signal found"},
            "/signals/submissions?status=signal%20found&since=2024-01-01T10%3A00%3A00Z&limit=5",
        ),
        (
            {"since": 1, "limit": "7", "idempotency_key": 12, "status": "a&b=c"},
            "/signals/submissions?status=a%26b%3Dc&idempotency_key=12&since=1&limit=7",
        ),
    ],
)
def test_listing_query(client, fake_transport, kwargs, path):
    fake_transport.respond(200, {"submissions": [{"submission_id": "s-1"}]})
    result = client.list_signal_submissions(**kwargs)
    assert (result.status_code, result.submissions, result.error) == (200, [{"submission_id": "s-1"}], None)
    assert fake_transport.calls[0].args == (path,)


@pytest.mark.parametrize(
    "raised, expected",
    [
        (httpx.ConnectError(""), (0, None, "ConnectError")),
        (ConnectionAbortedError("gone"), (0, None, "gone")),
        (submit.SubmissionRejectedError(404, "gone"), (404, {}, "gone")),
        (MALFORMED_400, (400, BAD_BODY, "bad")),
        (submit.SignalClientResponseError("m", status_code=502, url="u", raw_body=b""), None),
    ],
)
def test_listing_failures(client, raised, expected):
    def refuse(*args):
        raise raised

    client._canonical_request = refuse
    if expected is None:
        with pytest.raises(submit.SignalClientResponseError) as caught:
            client.list_signal_submissions()
        assert caught.value is raised
        return
    result = client.list_signal_submissions()
    assert type(result) is submit.SubmissionListResult
    assert (result.status_code, result.body, result.error, result.submissions) == (*expected, [])


PENDING = FakeResponse(200, {"status": "pending"})


@pytest.mark.parametrize(
    "timeout, answers, sleeps, last",
    [
        (0.25, [PENDING] * 3 + [FakeResponse(200, {"status": "running"})], [0.1, 0.1, 0.05], (200, "running")),
        (0, [], [], (200, None)),
        (10, [PENDING, FakeResponse(200, {"status": "signal_os_failed"})], [0.1], (200, "signal_os_failed")),
        (10, [PENDING, PENDING, httpx.ConnectError("down")], [0.1, 0.1], (0, None)),
        (0.25, [FakeResponse(404, {"error": "unknown"})] * 4, [0.1, 0.1, 0.05], (404, None)),
    ],
)
def test_polling(monkeypatch, client, fake_transport, timeout, answers, sleeps, last):
    clock = FakeClock()
    monkeypatch.setattr(submit, "time", clock)
    fake_transport.responses.extend(answers)
    result = client.poll_until_terminal("s-1", timeout=timeout)
    assert clock.sleeps == pytest.approx(sleeps) and (result.status_code, result.status) == last
    assert [call.args for call in fake_transport.calls] == [("/signals/status/s-1",)] * (len(sleeps) + 1)


def test_polling_sleeps_min_of_interval_and_remaining_as_min_chooses(monkeypatch, client, fake_transport):
    # min(interval, remaining) answers the interval itself on a tie: here the int 1, not 1.0.
    clock = FakeClock()
    monkeypatch.setattr(submit, "time", clock)
    monkeypatch.setattr(submit, "_POLL_INTERVAL_SECONDS", 1)
    fake_transport.responses.extend([PENDING, PENDING, PENDING])
    client.poll_until_terminal("s-1", timeout=2.0)
    assert [(value, type(value)) for value in clock.sleeps] == [(1, int), (1, int)]


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda client: client.get_signal_status(123), AttributeError),  # 123.encode(...)
        (lambda client: client.get_signal_status("\ud800"), UnicodeEncodeError),
        (lambda client: client.list_signal_submissions(limit="ten"), ValueError),  # int("ten")
        (lambda client: client.list_signal_submissions(limit=object()), TypeError),
    ],
)
def test_argument_conversion_errors_raise_before_any_request(client, fake_transport, call, error):
    with pytest.raises(error):
        call(client)
    assert fake_transport.calls == []


@pytest.mark.parametrize("failure", [httpx.DecodingError("corrupt gzip"), httpx.TooManyRedirects("loop")])
@pytest.mark.parametrize("raised_by", ["transport", "canonical_request"])
def test_a_request_error_that_is_no_transport_error_is_a_transport_failure(
    client, fake_transport, failure, raised_by, monkeypatch
):
    if raised_by == "transport":
        fake_transport.responses.append(failure)
    else:  # straight out of the client's own request step, as a subclass's may raise it

        def fail(*args):
            raise failure

        monkeypatch.setattr(client, "_canonical_request", fail)
    result = client.get_signal_status("s-1")
    assert (result.status_code, result.error) == (0, str(failure))


def test_an_httpx_without_request_error_leaves_the_other_clauses(client, monkeypatch):
    def reject(*args):
        raise submit.SubmissionRejectedError(404, "not_found", body={"error": "not_found"})

    monkeypatch.setattr(client, "_canonical_request", reject)
    monkeypatch.setattr(submit, "httpx", types.SimpleNamespace(TransportError=httpx.TransportError))
    result = client.get_signal_status("s-1")
    assert (result.status_code, result.error) == (404, "not_found")
