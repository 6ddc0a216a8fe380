"""Request paths: success, rejection, malformed bodies, transport errors, observed bodies."""

from __future__ import annotations

import httpx

import quillmarsh.submit as submit

from .common import BODY, FailingTransport, Scenario, ScriptedTransport, _client, _expect

CALLS = 100_000


def scenarios() -> dict[str, Scenario]:
    ok = _client(ScriptedTransport(200, b'{"submission_id": "s-1"}'))
    rejected = _client(ScriptedTransport(422, b'{"error": "bad", "details": {"x": 1}}'))
    malformed = _client(ScriptedTransport(503, b"<html>busy</html>"))
    non_object = _client(ScriptedTransport(200, b"[1, 2]"))
    broken = _client(FailingTransport())
    observed = _client(ScriptedTransport(200, b"{}"), observer=lambda *args: None)
    unread = _client(ScriptedTransport(200, b"{}", read_body=False), observer=lambda *args: None)
    quoting = _client(FailingTransport(lambda: httpx.LocalProtocolError("Illegal header value b'Bearer token '")))
    quoting._jwt_token = "token "
    deep = _client(ScriptedTransport(422, b"[" * 5000 + b"]" * 5000))
    corrupt = _client(FailingTransport(lambda: httpx.DecodingError("corrupt gzip")))
    body = BODY
    return {
        "redacted_transport_error": (
            _expect(httpx.LocalProtocolError, lambda: quoting._canonical_request("POST", "signals/submit", body)),
            [quoting, body],
        ),
        "unsendable_token": (_expect(ValueError, lambda: submit.SignalServiceClient("https://s.example", "t\n")), []),
        "answer_nested_too_deep": (
            _expect(submit.SignalClientResponseError, lambda: deep._canonical_request("GET", "eras")),
            [deep],
            20_000,
        ),
        "decoding_error_status": (lambda: corrupt.get_signal_status("s-1"), [corrupt]),
        "success": (lambda: ok._canonical_request("POST", "signals/submit", body), [ok, body]),
        "get": (lambda: ok._canonical_request("GET", "eras"), [ok]),
        "rejection": (
            _expect(
                submit.SubmissionRejectedError, lambda: rejected._canonical_request("POST", "signals/submit", body)
            ),
            [rejected, body],
        ),
        "malformed_body": (
            _expect(
                submit.SignalClientResponseError, lambda: malformed._canonical_request("POST", "signals/submit", body)
            ),
            [malformed, body],
        ),
        "non_object_body": (
            _expect(submit.SignalClientResponseError, lambda: non_object._canonical_request("GET", "eras")),
            [non_object],
        ),
        "transport_error": (
            _expect(httpx.ConnectError, lambda: broken._canonical_request("POST", "signals/submit", body)),
            [broken, body],
        ),
        "observed_body": (lambda: observed._canonical_request("POST", "signals/submit", body), [observed, body]),
        "unread_observed_body": (
            _expect(RuntimeError, lambda: unread._canonical_request("POST", "signals/submit", body)),
            [unread, body],
        ),
        "argument_error": (_expect(TypeError, lambda: submit._request_json("GET")), []),
        "percent_encode": (lambda: submit._percent_encode("a b/é~"), []),
    }
