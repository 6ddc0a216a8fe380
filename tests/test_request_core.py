import inspect
import json
import logging
import re
import types
import urllib.parse
from http import HTTPStatus

import pytest
from fakes import RequestFunc
from helpers import host_message
from hypothesis import given
from hypothesis import strategies as st

from quillmarsh import submit

BASE = "http://127.0.0.1:8000/api/"
URL = "http://127.0.0.1:8000/api/signals/submit"
UNUSED_MSG = "transport returned without consuming the request body; transmission observer could not be honored"


def send(request_func, body=None, method="POST", *, token="tok", observer=None, endpoint="/signals/submit"):
    return submit._request_json(method, endpoint, lambda: token, BASE, body, request_func, observer)


class KeyedDict(dict):
    def get(self, key, default=None):
        return "from-get" if key == "idempotency_key" else default


@pytest.mark.parametrize(
    "method, body, token, headers",
    [
        ("GET", None, "tok", {"Authorization": "Bearer tok"}),
        (
            "POST",
            {"a": 1, "idempotency_key": ""},
            "tok",
            {"Authorization": "Bearer tok", "Content-Type": "application/json"},
        ),
        (
            "POST",
            {"idempotency_key": 7, "x": [1.5, None, True]},
            12,
            {"Authorization": "Bearer 12", "Content-Type": "application/json", "Idempotency-Key": "7"},
        ),
        ("POST", [{"idempotency_key": "k"}], "t", {"Authorization": "Bearer t", "Content-Type": "application/json"}),
        (
            "PUT",
            {"z": "é\u2603", "idempotency_key": "sig-1", "a": {"b": 2}},
            "",
            {"Authorization": "Bearer ", "Content-Type": "application/json", "Idempotency-Key": "sig-1"},
        ),
        (
            "POST",
            {"nan": float("nan"), "inf": [float("inf"), -float("inf")]},
            "t",
            {"Authorization": "Bearer t", "Content-Type": "application/json"},
        ),
        (
            "POST",
            KeyedDict(idempotency_key="own"),
            "t",
            {"Authorization": "Bearer t", "Content-Type": "application/json", "Idempotency-Key": "from-get"},
        ),
    ],
)
def test_headers_and_body_bytes(request_func, method, body, token, headers):
    assert send(request_func, body, method, token=token) == (200, {})
    [(sent_method, url, sent_headers, sent_body)] = request_func.calls
    assert (sent_method, url) == (method, URL)
    assert list(sent_headers.items()) == list(headers.items())
    assert sent_body == (None if body is None else json.dumps(body).encode())


def test_url_is_vetted_before_the_token_is_read(request_func, monkeypatch):
    seen, refusal = [], PermissionError("refused")

    def vet(*args):
        seen.append(args)
        raise refusal

    monkeypatch.setattr(submit, "validate_bearer_transport_url", vet)
    token_reads = []
    with pytest.raises(PermissionError) as caught:
        submit._request_json("POST", "//eras", lambda: token_reads.append(1), BASE + "//", {}, request_func)
    assert caught.value is refusal and seen == [(BASE + "eras",)] and token_reads == [] and request_func.calls == []
    monkeypatch.undo()
    with pytest.raises(ValueError, match="only to a loopback host"):
        submit._request_json("GET", "eras", pytest.fail, "http://signals.example.com", None, request_func)


def test_observer_sees_the_transmitted_request(request_func):
    observed = []
    body = {"idempotency_key": "k", "v": 1}
    assert send(request_func, body, observer=lambda *a: observed.append(a)) == (200, {})
    [(_, _, headers, wrapped)] = request_func.calls
    assert type(wrapped) is submit._TransmissionObservedBody and wrapped.consumed
    [(method, url, seen_headers, seen_bytes)] = observed
    assert (method, url, seen_bytes) == ("POST", URL, json.dumps(body).encode()) == ("POST", URL, request_func.sent)
    assert seen_headers == headers and seen_headers is not headers


@pytest.mark.parametrize("answer", [(200, b"{}"), (500, b"<html>")])
def test_unread_observed_body_is_refused_before_the_response(answer, caplog):
    calls = []

    def request_func(method, url, headers, body):
        calls.append(body)
        return answer

    observer = pytest.fail
    with pytest.raises(RuntimeError) as caught:
        send(request_func, {"a": 1}, observer=observer)
    assert str(caught.value) == UNUSED_MSG and not calls[0].consumed and caplog.records == []


def test_observer_is_ignored_without_body(request_func):
    request_func.read_body = False
    assert send(request_func, None, "GET", observer=pytest.fail) == (200, {})
    assert request_func.calls[0][3] is None


@pytest.mark.parametrize("status, rejected", [(199, True), (200, False), (299, False), (300, True), (404, True)])
def test_status_range(request_func, status, rejected):
    request_func.answer = (status, b'{"reason": "r"}')
    if rejected:
        with pytest.raises(submit.SubmissionRejectedError) as caught:
            send(request_func, {})
        assert (caught.value.status_code, caught.value.reason, caught.value.body) == (status, "r", {"reason": "r"})
    else:
        assert send(request_func, {}) == (status, {"reason": "r"})


@pytest.mark.parametrize(
    "make",
    [
        lambda: (1, 2, 3),
        lambda: [1],
        lambda: [1, 2, 3],
        lambda: {1: 1, 2: 2, 3: 3},
        lambda: 5,
        lambda: None,
        lambda: "abc",
        lambda: iter(()),
        lambda: (i for i in "xyz"),
        lambda: iter([201, b'{"a": 1}']),
    ],
)
def test_transport_result_unpacks_like_python(make):
    try:
        status, raw = make()
    except (TypeError, ValueError) as expected:
        with pytest.raises(type(expected)) as actual:
            submit._request_json("GET", "eras", lambda: "t", BASE, None, lambda *a: make())
        assert str(actual.value) == str(expected)
    else:
        assert submit._request_json("GET", "eras", lambda: "t", BASE, None, lambda *a: make()) == (status, {"a": 1})


BAD_BODIES = [
    (204, b"", "Malformed", json.JSONDecodeError),
    (500, b"<html><body>Bad gateway</body></html>", "Malformed", json.JSONDecodeError),
    (200, b"\xff\xfe\x00", "Malformed", UnicodeDecodeError),
    (200, b"[]", "Non-object", None),
    (400, b'"text"', "Non-object", None),
    (201, b"null", "Non-object", None),
    (200, b"[" + b"1, " * 400 + b"1]", "Non-object", None),
]


@pytest.mark.parametrize("status, raw, headline, cause", BAD_BODIES)
def test_bad_response_bodies(request_func, caplog, status, raw, headline, cause):
    request_func.answer = (status, raw)
    with (
        caplog.at_level(logging.WARNING, logger="quillmarsh.submit"),
        pytest.raises(submit.SignalClientResponseError) as caught,
    ):
        send(request_func, {})
    error, preview = caught.value, raw[:512]
    assert str(error) == f"{headline} JSON response from {URL} for /signals/submit"
    assert (error.status_code, error.url, error.raw_body, error.raw_body_preview) == (status, URL, raw, preview)
    assert (type(error.__cause__) if cause else error.__cause__) is cause
    assert error.__suppress_context__ == (cause is not None) and error.__context__ is error.__cause__
    [record] = caplog.records
    assert (record.name, record.levelno, record.msg) == (
        "quillmarsh.submit",
        logging.WARNING,
        f"{headline} JSON response from %s status=%s operation=%s raw_body=%r",
    )
    assert record.args == (URL, status, "/signals/submit", preview)
    assert (record.status_code, record.url, record.operation, record.raw_body_preview) == (
        status,
        URL,
        "/signals/submit",
        preview,
    )


def test_unparseable_body_type_propagates(request_func):
    request_func.answer = (200, None)
    with pytest.raises(TypeError, match=re.escape(host_message(lambda: json.loads(None)))):
        send(request_func, {})


@pytest.mark.parametrize(
    "status, data, reason, details, message",
    [
        (500, {"error": "boom"}, "boom", None, "500: boom"),
        (422, {}, "http_422", None, "422: http_422"),
        (400, {"reason": "r", "error": "e", "details": {"x": 1}}, "r", {"x": 1}, "400: r"),
        (409, {"reason": 0, "error": ["dup"], "detail": "d"}, ["dup"], None, "409: ['dup']"),
        (True, {"reason": ""}, "http_True", None, "True: http_True"),
    ],
)
def test_raise_submission_rejected(status, data, reason, details, message):
    with pytest.raises(submit.SubmissionRejectedError) as caught:
        submit._raise_submission_rejected(status, data)
    error = caught.value
    assert (error.status_code, error.reason, error.details, error.args) == (status, reason, details, (message,))
    assert error.body is data and error.__cause__ is None


LEGACY = {"error": "malformed_request", "detail": "signal_pool_id is required"}


class ExplodingGet(dict):
    def get(self, *args):
        raise AssertionError("status is tested first")


@pytest.mark.parametrize(
    "status, body, expected",
    [
        (400, LEGACY, True),
        (400.0, dict(LEGACY, extra=1), True),
        (422, LEGACY, False),
        (401, ExplodingGet(), False),
        (400, {"error": "malformed_request", "details": "signal_pool_id is required"}, False),
        (400, {"error": "other", "detail": "signal_pool_id is required"}, False),
        (400, None, False),
        (400, [LEGACY], False),
    ],
)
def test_requires_legacy_signal_pool_id_retry(status, body, expected):
    exc = submit.SubmissionRejectedError(status, "r", body=body)
    assert submit._requires_legacy_signal_pool_id_retry(exc) is expected
    assert (
        submit._requires_legacy_signal_pool_id_retry(types.SimpleNamespace(status_code=status, body=body)) is expected
    )


def test_error_classes():
    rejected, response = submit.SubmissionRejectedError, submit.SignalClientResponseError
    assert rejected.__bases__ == response.__bases__ == (Exception,)
    assert str(inspect.signature(rejected)) == "(status_code, reason, details=None, body=None)"
    assert str(inspect.signature(response)) == "(message, *, status_code, url, raw_body)"
    error = response("bad", status_code=502, url="u", raw_body=bytes(range(256)) * 3)
    assert (error.args, error.status_code, error.url) == (("bad",), 502, "u")
    assert error.raw_body_preview == bytes(range(256)) * 2 and len(error.raw_body) == 768
    assert vars(rejected(1, 2, details=3)) == {"status_code": 1, "reason": 2, "details": 3, "body": None}


@pytest.mark.parametrize("name", ["SubmissionRejectedError", "SignalClientResponseError"])
def test_error_constructor_argument_errors(argument_errors, name):
    cls = getattr(submit, name)
    argument_errors(cls.__init__, f"{name}.__init__", cls.__new__(cls))


@pytest.mark.parametrize(
    "server_url, endpoint, joined",
    [
        ("http://h:1/", "/eras", "http://h:1/eras"),
        ("http://h///", "///signals/submit", "http://h/signals/submit"),
        ("http://h", "", "http://h/"),
        ("", "", "/"),
        ("http://h/api", "s?q=a%2Fb/", "http://h/api/s?q=a%2Fb/"),
        ("http://h", "http://other/x", "http://h/http://other/x"),
    ],
)
def test_join_url(server_url, endpoint, joined):
    assert submit._join_url(server_url, endpoint) == joined


@pytest.mark.parametrize(
    "value, encoded",
    [
        ("a b/é", "a%20b%2F%C3%A9"),
        ("AZaz09-._~", "AZaz09-._~"),
        ("", ""),
        ("?&=+%#", "%3F%26%3D%2B%25%23"),
        ("\x00\x7f\U0001f600", "%00%7F%F0%9F%98%80"),
    ],
)
def test_percent_encode(value, encoded):
    assert submit._percent_encode(value) == encoded


@given(st.text(alphabet=st.characters(blacklist_categories=["Cs"])))
def test_percent_encode_round_trips(value):
    encoded = submit._percent_encode(value)
    assert urllib.parse.unquote(encoded, errors="strict") == value
    assert re.fullmatch(r"(?:[A-Za-z0-9._~-]|%[0-9A-F]{2})*", encoded)
    assert encoded == urllib.parse.quote(value, safe="~")


def test_percent_encode_refuses_surrogates():
    with pytest.raises(UnicodeEncodeError):
        submit._percent_encode("\ud800")


def test_the_logger_is_read_at_call_time(request_func, monkeypatch, caplog):
    other_logger = logging.getLogger("quillmarsh.tests.other")
    monkeypatch.setattr(submit, "logger", other_logger)
    request_func.answer = (200, b"not json")
    with caplog.at_level(logging.WARNING), pytest.raises(submit.SignalClientResponseError):
        send(request_func, {"a": 1}, endpoint="x")
    assert [r.name for r in caplog.records] == ["quillmarsh.tests.other"]


@pytest.mark.parametrize(
    "status, rejected",
    [(HTTPStatus.CREATED, False), (HTTPStatus.NOT_FOUND, True), (HTTPStatus.PERMANENT_REDIRECT, True)],
)
def test_a_status_of_an_int_subclass_is_compared_through_its_own_operators(status, rejected):
    request_func = RequestFunc(status_code=status, body={"error": "not_found"})

    def call():
        return submit._request_json("GET", "eras", lambda: "token-abc", "http://127.0.0.1:9", None, request_func)

    if rejected:
        with pytest.raises(submit.SubmissionRejectedError) as raised:
            call()
        assert raised.value.status_code is status
    else:
        assert call() == (status, {"error": "not_found"})
