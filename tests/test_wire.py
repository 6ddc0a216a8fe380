"""The client's default httpx transport against a real HTTP server on 127.0.0.1."""

import json
import logging

import httpx
import pytest

from quillmarsh import submit


@pytest.fixture
def connect(http_server):
    clients = []

    def connect(prefix="", **kwargs):
        client = submit.SignalServiceClient(http_server.url + prefix, "jwt-1", **kwargs)
        clients.append(client)
        return client

    yield connect
    for client in clients:
        client.close()


@pytest.mark.parametrize("with_observer", [False, True])
def test_post_puts_exact_bytes_and_headers_on_the_wire(http_server, connect, with_observer):
    observed = []
    client = connect(transmission_observer=(lambda *a: observed.append(a)) if with_observer else None)
    body = {"graph": "rank(close)", "idempotency_key": "sigsubmit-ab", "stats": [1.5, None, "é"]}
    http_server.respond(202, {"submission_id": "s-1"}, method="POST", path="/signals/submit")
    assert client._canonical_request("POST", "signals/submit", body) == (202, {"submission_id": "s-1"})
    [request] = http_server.requests
    assert (request.method, request.path, request.body) == ("POST", "/signals/submit", json.dumps(body).encode())
    assert [request.header(n) for n in ("Authorization", "Content-Type", "Idempotency-Key")] == [
        "Bearer jwt-1",
        "application/json",
        "sigsubmit-ab",
    ]
    if with_observer:
        url = http_server.url + "/signals/submit"
        assert observed == [
            (
                "POST",
                url,
                {
                    "Authorization": "Bearer jwt-1",
                    "Content-Type": "application/json",
                    "Idempotency-Key": "sigsubmit-ab",
                },
                request.body,
            )
        ]


def test_get_sends_no_body_headers_and_keeps_the_query_encoded(http_server, connect):
    client = connect(transmission_observer=pytest.fail)
    query = "status=signal%20found&cursor=a%2Fb%3Dc"
    assert client._canonical_request("GET", f"/signals/submissions?{query}") == (200, {})
    client._jwt_token = "jwt-2"
    client._canonical_request("GET", "signals/status/" + submit._percent_encode("id/1 é"))
    first, second = http_server.requests
    assert (first.method, first.path, first.body) == ("GET", f"/signals/submissions?{query}", b"")
    assert second.path == "/signals/status/id%2F1%20%C3%A9" and second.header("Authorization") == "Bearer jwt-2"
    for request in (first, second):
        assert not request.has_header("Content-Type") and not request.has_header("Idempotency-Key")


def test_base_url_without_path(http_server, connect):
    http_server.respond(200, {"eras": []}, path="/eras")
    assert connect(prefix="/")._canonical_request("GET", "eras") == (200, {"eras": []})
    assert [r.path for r in http_server.requests] == ["/eras"]


def test_base_url_path_prefix_reaches_the_server_twice(http_server, connect):
    # The adapter hands the transport the whole path (/api/eras) and the default httpx.Client
    # resolves it against its own base URL, which carries /api too. Documented in the README;
    # callers behind a prefix inject a transport built on the bare origin.
    http_server.respond(200, {"eras": []})
    connect(prefix="/api")._canonical_request("GET", "eras")
    assert [r.path for r in http_server.requests] == ["/api/api/eras"]


@pytest.mark.parametrize(
    "status, raw, headline",
    [
        (502, b"<html><body>Bad gateway</body></html>", "Malformed"),
        (204, b"", "Malformed"),
        (200, b'["not", "an", "object"]', "Non-object"),
    ],
)
def test_bodies_that_are_not_json_objects(http_server, connect, caplog, status, raw, headline):
    http_server.respond(status, raw, content_type="text/html")
    url = http_server.url + "/signals/batch"
    with (
        caplog.at_level(logging.WARNING, logger="quillmarsh.submit"),
        pytest.raises(submit.SignalClientResponseError) as caught,
    ):
        connect()._canonical_request("POST", "signals/batch", [{"a": 1}])
    assert str(caught.value) == f"{headline} JSON response from {url} for signals/batch"
    assert (caught.value.status_code, caught.value.raw_body) == (status, raw)
    assert [(r.levelno, r.args) for r in caplog.records] == [(logging.WARNING, (url, status, "signals/batch", raw))]
    assert not http_server.requests[0].has_header("Idempotency-Key")


def test_client_error_with_json_object_is_a_rejection(http_server, connect):
    answer = {"error": "threshold_failed", "details": {"sharpe": 0.1}}
    http_server.respond(422, answer)
    with pytest.raises(submit.SubmissionRejectedError) as caught:
        connect()._canonical_request("POST", "strategies/submit", {"idempotency_key": 0})
    assert (caught.value.status_code, caught.value.reason, caught.value.details, caught.value.body) == (
        422,
        "threshold_failed",
        {"sharpe": 0.1},
        answer,
    )
    assert str(caught.value) == "422: threshold_failed"
    assert not http_server.requests[0].has_header("Idempotency-Key")


def test_closed_client_refuses_to_send(http_server, connect):
    client = connect(timeout=4.5)
    assert (type(client._client), client._client.timeout) == (httpx.Client, httpx.Timeout(4.5))
    client.close()
    client.close()
    with pytest.raises(RuntimeError, match="client has been closed"):
        client._canonical_request("GET", "eras")
    assert http_server.requests == []


def test_unreachable_server_is_a_transport_error(connect, http_server):
    client = submit.SignalServiceClient("http://127.0.0.1:1", "t", timeout=5.0)
    try:
        with pytest.raises(httpx.TransportError):
            client._canonical_request("GET", "eras")
    finally:
        client.close()
