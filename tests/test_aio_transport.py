"""The asynchronous transports against real servers on 127.0.0.1: AiohttpTransport (the SDK's
default) keeps every promise the httpx-based one (AsyncBoundedTransport) keeps. Each test runs
on both: the bytes and headers on the wire, the observer told once, answers bounded and decoded
step by step, failures as httpx's exceptions (results with status 0), certificates and proxies
from the environment."""

import asyncio
import gzip
import json
import socket
import threading

import httpx
import pytest
from fakes import SIGNAL_GRAPH, drip_server, signal_catalog, signal_kwargs

from quillmarsh import devservice, submit
from quillmarsh.aio_transport import AiohttpTransport
from quillmarsh.async_client import AsyncSignalServiceClient
from quillmarsh.transports import AsyncBoundedTransport

pytestmark = pytest.mark.python_layers

TRANSPORTS = {
    "aiohttp": lambda url, **options: AiohttpTransport(url, **options),
    "httpx": lambda url, max_answer_bytes=None, timeout=30.0: AsyncBoundedTransport(
        base_url=url, max_answer_bytes=max_answer_bytes, timeout=timeout
    ),
}
each = pytest.mark.parametrize("kind", TRANSPORTS)


def over(kind, url, call, **options):
    """Run `call(client)` (a coroutine function) with the raw asynchronous client over a
    transport of `kind` to `url`; its outcome."""

    async def main():
        transport = TRANSPORTS[kind](url, **options)
        client = AsyncSignalServiceClient(
            url, "tok-1", transport=transport, transmission_observer=options.pop("observer", None)
        )
        try:
            return await call(client)
        finally:
            await transport.aclose()

    return asyncio.run(main())


@each
@pytest.mark.parametrize("with_observer", [False, True])
def test_the_exact_bytes_and_headers_go_on_the_wire_and_the_observer_is_told_once(
    http_server, kind, with_observer, record_timing
):
    http_server.respond(200, signal_catalog(), method="GET")
    http_server.respond(202, {"submission_id": "s-1"}, method="POST")
    observed = []

    async def call(client):
        client._twin._transmission_observer = (lambda *a: observed.append(a)) if with_observer else None
        record_timing()
        return await client.submit_signal(SIGNAL_GRAPH, "us_top", **signal_kwargs())

    result = over(kind, http_server.url, call)
    post = http_server.requests[-1]
    assert result.submission_id == "s-1" and post.method == "POST" and post.path == "/signals/submit"
    assert post.header("Authorization") == "Bearer tok-1" and post.header("Content-Type") == "application/json"
    assert post.header("Idempotency-Key") == json.loads(post.body)["idempotency_key"]
    if kind == "aiohttp":  # sent with its length, whether or not the body was observed
        assert post.header("Content-Length") == str(len(post.body)) and not post.has_header("Transfer-Encoding")
    assert [o[3] for o in observed] == ([post.body] if with_observer else [])


@each
def test_a_query_goes_as_it_was_encoded(http_server, kind):
    http_server.respond(200, {"submissions": []})
    over(kind, http_server.url, lambda c: c.list_signal_submissions(status="a b/c", since="2024-01-01T00:00:00Z"))
    assert (
        http_server.requests[-1].path
        == "/signals/submissions?status=a%20b%2Fc&since=2024-01-01T00%3A00%3A00Z&limit=100"
    )


BOMB = gzip.compress(gzip.compress(b" " * 50_000_000))


@each
@pytest.mark.parametrize(
    "body, headers, limit, readable",
    [
        (BOMB, [("Content-Encoding", "gzip, gzip")], 1 << 20, False),
        (b" " * (2 << 20), [], 1 << 20, False),
        (gzip.compress(json.dumps({"status": "queued"}).encode()), [("Content-Encoding", "gzip")], 1 << 20, True),
        (json.dumps({"status": "queued", "pad": "x" * 1000}).encode(), [], 1031, True),  # exactly the limit
    ],
)
def test_answers_are_read_and_decoded_up_to_the_limit(http_server, kind, body, headers, limit, readable):
    http_server.respond(404, body, headers=headers)
    result = over(kind, http_server.url, lambda c: c.get_signal_status("s-1"), max_answer_bytes=limit)
    assert result.status_code == 404
    assert ("raw_body_preview" in result.body) != readable
    assert (b"larger than" in result.body["raw_body_preview"].encode()) if not readable else True


def test_the_answer_cap_holds_for_the_answers_read_at_once():
    body = json.dumps({"status": "queued", "pad": "x" * 700_000}).encode()
    url, stop = drip_server(body, interval=0.3, piece=400_000)  # both answers half read at once

    async def both(client):
        return await asyncio.gather(
            client.get_signal_status("a"), client.get_signal_status("b"), return_exceptions=True
        )

    try:
        outcomes = over("aiohttp", url, both, max_answer_bytes=1 << 20)
    finally:
        stop()
    # Read one after another, each fits; read at once, together they do not: one is cut.
    assert any(isinstance(o, submit.SignalClientResponseError) and b"larger than" in o.raw_body for o in outcomes)


@each
@pytest.mark.parametrize(
    "headers, message",
    [
        ([("Content-Encoding", "br")], "unsupported content encoding 'br'"),
        ([("Content-Encoding", "gzip")], "corrupt encoded content"),
    ],
)
def test_an_encoding_it_cannot_undo_is_a_transport_failure(http_server, kind, headers, message):
    http_server.respond(404, b"not gzip", headers=headers)
    result = over(kind, http_server.url, lambda c: c.get_signal_status("s-1"))
    assert result.status_code == 0 and message in result.error


def silent_server(behaviour):
    """A server on 127.0.0.1 that, for each connection, closes it at once ("close") or holds it
    without a word ("silent"); its URL and a stop function."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen()
    held = []

    def serve():
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            if behaviour == "close":
                conn.recv(65536)
                conn.close()
            else:
                held.append(conn)

    threading.Thread(target=serve, daemon=True).start()

    def stop():
        listener.close()
        for conn in held:
            conn.close()

    return f"http://127.0.0.1:{listener.getsockname()[1]}", stop


def refused_url():
    with socket.socket() as unused:
        unused.bind(("127.0.0.1", 0))
        return f"http://127.0.0.1:{unused.getsockname()[1]}"


@each
@pytest.mark.parametrize(
    "behaviour, failure",
    [("refused", httpx.ConnectError), ("close", httpx.RemoteProtocolError), ("silent", httpx.ReadTimeout)],
)
def test_failures_are_httpx_exceptions_and_results_with_no_status(kind, behaviour, failure):
    url, stop = (refused_url(), lambda: None) if behaviour == "refused" else silent_server(behaviour)
    try:

        async def raw(client):
            transport = TRANSPORTS[kind](url, timeout=0.3)
            try:
                await transport.get("/signals/status/s-1", headers={})
            except Exception as exc:  # noqa: BLE001 - what the transport raises is the subject
                return exc
            finally:
                await transport.aclose()

        raised = over(kind, url, raw)
        result = over(kind, url, lambda c: c.get_signal_status("s-1"), timeout=0.3)
    finally:
        stop()
    assert isinstance(raised, failure) and result.status_code == 0 and result.error


@each
def test_a_proxy_named_by_the_environment_is_used(http_server, kind, monkeypatch):
    http_server.respond(200, {"status": "queued"})
    monkeypatch.setenv("HTTP_PROXY", http_server.url)
    target = refused_url()  # never reached directly
    result = over(kind, target, lambda c: c.get_signal_status("s-1"))
    assert result.status == "queued" and http_server.requests[-1].path == f"{target}/signals/status/s-1"


@each
def test_https_is_verified_against_the_authority_the_environment_names(kind, monkeypatch):
    pytest.importorskip("trustme")
    with devservice.start(tls=True) as service:
        url = service.url
        refused = over(kind, url, lambda c: c.list_signal_submissions())  # certifi does not know its authority
        monkeypatch.setenv("SSL_CERT_FILE", str(service.ca_pem_path))

        async def listing(client):
            client._twin._jwt_token = service.token
            return await client.list_signal_submissions()

        trusted = over(kind, url, listing)
    assert refused.status_code == 0 and "certificate" in refused.error.lower()
    assert trusted.status_code == 200
