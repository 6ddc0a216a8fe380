"""Submitting and following signals through the default httpx.Client against a real server on 127.0.0.1."""

import json
import socket

import pytest
from fakes import SIGNAL_GRAPH, keyed, signal_body, signal_catalog, signal_kwargs

from quillmarsh import submit

HTML = b"<html><body>Service Unavailable</body></html>"


@pytest.fixture
def client(http_server, record_timing):
    http_server.respond(200, signal_catalog(), method="GET", path="/eras")
    record_timing()
    client = submit.SignalServiceClient(http_server.url, "jwt-e2e")
    yield client
    client.close()


@pytest.mark.parametrize(
    "status, body, content_type, expected",
    [
        (
            202,
            {"submission_id": "s-9", "strategy_signal_pool": "sp"},
            "application/json",
            (202, {"submission_id": "s-9", "strategy_signal_pool": "sp"}, "s-9", "sp", None),
        ),
        (
            422,
            {"reason": "is_correlation_too_high", "details": {"max": 0.7}},
            "application/json",
            (
                422,
                {"reason": "is_correlation_too_high", "details": {"max": 0.7}},
                None,
                None,
                "is_correlation_too_high",
            ),
        ),
        (
            503,
            HTML,
            "text/html",
            (
                503,
                {"error": HTML.decode(), "raw_body_preview": HTML.decode(), "status_code": 503},
                None,
                None,
                HTML.decode(),
            ),
        ),
    ],
)
def test_submit_signal_end_to_end(http_server, client, status, body, content_type, expected):
    http_server.respond(status, body, content_type=content_type, method="POST", path="/signals/submit")
    result = client.submit_signal(SIGNAL_GRAPH, "us_top", **signal_kwargs())
    assert type(result) is submit.SubmitResult
    assert (
        result.status_code,
        result.body,
        result.submission_id,
        result.strategy_signal_pool,
        result.error,
    ) == expected
    catalog, post = http_server.requests
    assert (catalog.method, catalog.path, post.method, post.path) == ("GET", "/eras", "POST", "/signals/submit")
    sent = keyed(signal_body())
    assert post.body == json.dumps(sent).encode()
    assert [post.header(n) for n in ("Authorization", "Content-Type", "Idempotency-Key")] == [
        "Bearer jwt-e2e",
        "application/json",
        sent["idempotency_key"],
    ]


def test_server_error_page_raises(http_server, client):
    http_server.respond(500, HTML, content_type="text/html", method="POST", path="/signals/submit")
    with pytest.raises(submit.SignalClientResponseError) as caught:
        client.submit_signal(SIGNAL_GRAPH, "us_top", **signal_kwargs())
    assert (caught.value.status_code, caught.value.raw_body) == (500, HTML)


def test_refused_connection_is_a_transport_result(record_timing):
    with socket.socket() as unused:  # bound, never listening: connections to it are refused
        unused.bind(("127.0.0.1", 0))
        client = submit.SignalServiceClient(f"http://127.0.0.1:{unused.getsockname()[1]}", "jwt")
        client._era_catalog_cache = signal_catalog()
        record_timing()
        result = client.submit_signal(SIGNAL_GRAPH, "us_top", **signal_kwargs())
        client.close()
    assert type(result) is submit.SubmitResult
    assert (result.status_code, result.body, result.submission_id) == (0, None, None) and result.error


def test_status_listing_and_polling_end_to_end(http_server, client):
    http_server.respond(200, {"status": "signal_found"}, path="/signals/status/a%20b%2Fc")
    http_server.respond(200, {"submissions": [{"submission_id": "s-1"}]}, path="/signals/submissions")
    assert client.get_signal_status("a b/c").status == "signal_found"
    assert client.list_signal_submissions(status="x y", limit=5).submissions == [{"submission_id": "s-1"}]
    assert client.poll_until_terminal("a b/c", timeout=0).status is None
    assert [(r.method, r.path) for r in http_server.requests] == [
        ("GET", "/signals/status/a%20b%2Fc"),
        ("GET", "/signals/submissions?status=x%20y&limit=5"),
        ("GET", "/signals/status/a%20b%2Fc"),
    ]
