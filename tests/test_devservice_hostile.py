"""The local signal service against a hostile client on loopback: raw bytes on a socket,
bodies it must not read, JSON it must not choke on, connections it must cap and close."""

import gzip
import json
import socket
import sqlite3
import struct
import time

import httpx
import pytest
from fakes import SIGNAL_GRAPH, service_body
from helpers import start_devservice, stop_devservice

from quillmarsh import devservice

pytestmark = pytest.mark.python_layers

MB = 1024 * 1024


@pytest.fixture
def service():
    with devservice.start() as running:
        yield running


def connect(service, timeout=10.0):
    host, port = service.url.rsplit("//", 1)[1].rsplit(":", 1)
    return socket.create_connection((host, int(port)), timeout=timeout)


def read_answer(reader, head=False):
    """(status, lower-cased headers, body) of one answer read from `reader` (a socket's file)."""
    status_line = reader.readline()
    if not status_line:
        raise ConnectionError("closed before an answer")
    headers = {}
    while (line := reader.readline()) not in (b"\r\n", b""):
        name, _, value = line.decode("latin-1").partition(":")
        headers[name.strip().lower()] = value.strip()
    body = b"" if head else reader.read(int(headers["content-length"]))
    return int(status_line.split()[1]), headers, body


def closed_by_peer(sock):
    """True when the service ends the connection (EOF or reset) instead of leaving it open."""
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True


def exchange(service, raw, head=False):
    with connect(service) as sock:
        sock.sendall(raw)
        return read_answer(sock.makefile("rb"), head)


def request(service, method="POST", path="/signals/submit", headers=(), body=b"", token=True):
    lines = [f"{method} {path} HTTP/1.1", "Host: 127.0.0.1"]
    if token:
        lines.append(f"Authorization: Bearer {service.token}")
    lines += list(headers)
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body


def flood(sock, total):
    """Send up to `total` bytes; how many went out before the service closed the connection."""
    block, sent = b"x" * MB, 0
    try:
        while sent < total:
            sent += sock.send(block[: total - sent])
    except (BrokenPipeError, ConnectionResetError):
        pass
    return sent


@pytest.mark.parametrize(
    "framing, total",
    [
        (["Content-Length: 16777216"], 16 * MB),
        (["Content-Length: 16777216", "Expect: 100-continue"], 16 * MB),  # and no "100 Continue" first
        (["Transfer-Encoding: chunked"], 48 * MB),
    ],
)
def test_a_request_without_the_token_is_refused_before_its_body_is_read(service, framing, total):
    with connect(service) as sock:
        sock.sendall(request(service, headers=framing, token=False))
        status, headers, body = read_answer(sock.makefile("rb"))  # answered with the body still unsent
        assert (status, json.loads(body)["error"], headers["connection"]) == (401, "unauthorized", "close")
        assert headers["content-type"] == "application/json"
        assert flood(sock, total) < total  # the service stopped reading: the body cannot all go out
    assert service.store.count() == 0


def chunked(*chunks):
    return ["Transfer-Encoding: chunked"], b"".join(chunks)


GZIPPED = gzip.compress(json.dumps({"graph": "rank(close)"}).encode())


# What the HTTP layer (aiohttp's parser and the service's bounds on it) answers to requests it
# will not read: JSON, the connection closed when the rest of the request cannot be trusted.
@pytest.mark.parametrize(
    "method, path, headers, body, status, error",
    [
        ("POST", "/signals/submit", *chunked(b"-1\r\n", b"x" * 100), 400, "malformed_request"),
        ("POST", "/signals/submit", *chunked(b"zz\r\n"), 400, "malformed_request"),
        ("POST", "/signals/submit", *chunked(b"2\r\n{}XX\r\n0\r\n\r\n"), 400, "malformed_request"),
        ("POST", "/signals/submit", ["Content-Length: -5"], b"", 400, "malformed_request"),
        ("POST", "/signals/submit", ["Content-Length: 2x"], b"{}", 400, "malformed_request"),
        ("POST", "/signals/submit", ["Content-Length: 2", "Content-Length: 3"], b"{}", 400, "malformed_request"),
        ("POST", "/signals/submit", ["Content-Length: 16777217"], b"", 413, "payload_too_large"),
        (
            "POST",
            "/signals/submit",
            ["Content-Length: 2", "Transfer-Encoding: chunked"],
            b"{}",
            400,
            "malformed_request",
        ),
        ("POST", "/signals/submit", ["Transfer-Encoding: gzip"], b"", 400, "malformed_request"),
        # never decompressed: a small body cannot become a large one
        pytest.param(
            "POST",
            "/signals/submit",
            ["Content-Encoding: gzip", f"Content-Length: {len(GZIPPED)}"],
            GZIPPED,
            400,
            "malformed_json",
            id="gzip-body",
        ),
        ("OPTIONS", "/eras", [], b"", 405, "method_not_allowed"),
        ("DELETE", "/signals/status/x", [], b"", 405, "method_not_allowed"),
        ("QUERY", "/signals/submit", [], b"", 405, "method_not_allowed"),
        ("BREW", "/eras", [], b"", 400, "malformed_request"),  # not a method HTTP defines: the parser refuses it
        ("GET", "/" + "a" * 70_000, [], b"", 414, "uri_too_long"),
        ("GET", "/eras", [f"X-Filler-{n}: {n}" for n in range(150)], b"", 431, "header_fields_too_large"),
        ("GET", "/eras", ["X-Long: " + "b" * 70_000], b"", 431, "header_fields_too_large"),
        ("GET", "/eras", [f"X-Part-{n}: " + "c" * 800 for n in range(90)], b"", 431, "header_fields_too_large"),
    ],
)
def test_refusals_of_the_http_layer_are_json(service, method, path, headers, body, status, error):
    answer_status, answer_headers, answer = exchange(service, request(service, method, path, headers, body))
    assert (answer_status, answer_headers["content-type"], json.loads(answer)["error"]) == (
        status,
        "application/json",
        error,
    )
    assert json.loads(answer)["details"]["message"]
    if status == 405:
        allowed = "POST" if path == "/signals/submit" else "GET, HEAD"
        assert (answer_headers["allow"], json.loads(answer)["details"]["allowed"]) == (allowed, allowed.split(", "))
    elif error != "malformed_json":  # the body read whole is answered by the application, on a live connection
        assert answer_headers["connection"] == "close"
    assert service.store.count() == 0


@pytest.mark.parametrize(
    "raw, status",
    [
        (b"HELLO\r\n\r\n", 400),
        (b"GE(T /eras HTTP/1.1\r\n\r\n", 400),
        (b"GET /eras HTTP/x\r\n\r\n", 400),
        (b"GET /eras HTTP/2.0\r\n\r\n", 505),
        (b"GET /eras\r\n\r\n", 505),  # HTTP/0.9 has no status line: refused with one
    ],
)
def test_a_garbage_request_line_gets_a_json_answer(service, raw, status):
    with connect(service) as sock:
        sock.sendall(raw)
        reader = sock.makefile("rb")
        assert reader.peek(9)[:9] == b"HTTP/1.1 "  # in the service's own version, not the request's
        answer_status, headers, body = read_answer(reader)
    assert (answer_status, headers["content-type"], headers["connection"]) == (status, "application/json", "close")
    assert json.loads(body)["details"]["message"]


def test_a_body_past_16_mib_is_refused_as_it_is_read(service):
    """A chunked body declares no length: the bytes read count, and past the limit the answer is 413."""
    with connect(service) as sock:
        sock.sendall(request(service, headers=["Transfer-Encoding: chunked"]) + b"1000001\r\n")
        flood(sock, 16 * MB + 1)
        status, headers, body = read_answer(sock.makefile("rb"))
    assert (status, headers["connection"], json.loads(body)["details"]["maximum"]) == (413, "close", 16 * MB)


def test_bodies_past_what_the_service_holds_at_once_get_503_saying_why(service, monkeypatch):
    monkeypatch.setattr("quillmarsh.devservice.server.BODY_BUDGET", 1000)  # in place of 256 MiB
    status, headers, body = exchange(service, request(service, headers=["Content-Length: 2000"], body=b" " * 2000))
    assert (status, headers["retry-after"], headers["connection"]) == (503, "1", "close")
    assert "request bodies at most" in json.loads(body)["details"]["message"]


def test_head_is_answered_wherever_get_is_with_the_headers_alone(service):
    with connect(service) as sock:
        sock.sendall(
            request(service, "HEAD", "/eras")
            + request(service, "HEAD", "/signals/submit")
            + request(service, "GET", "/eras")
        )
        reader = sock.makefile("rb")
        status, headers, _ = read_answer(reader, head=True)
        refused, refusal, _ = read_answer(reader, head=True)  # the next answer starts where a bodiless one ends
        got, _, body = read_answer(reader)
    assert (status, headers["content-type"], int(headers["content-length"])) == (200, "application/json", len(body))
    assert (refused, refusal["allow"], got, json.loads(body)["active_era_number"]) == (405, "POST", 200, 3)


def raw_signal(**fields):
    return service_body(graph=SIGNAL_GRAPH, **fields)


def nested(depth):
    """A JSON text holding `depth` levels of arrays."""
    return "[" * depth + "]" * depth


def body_text(**raw_fields):
    """A signal's JSON text with the given fields written as raw JSON text."""
    text = json.dumps(raw_signal(is_stats={"sharpe": 1.6}))[:-1]
    return (text + "".join(f', "{k}": {v}' for k, v in raw_fields.items()) + "}").encode()


@pytest.mark.parametrize(
    "body, status, error",
    [
        (body_text(is_stats='{"sharpe": 1e999}'), 400, "malformed_request"),
        (body_text(is_stats='{"sharpe": -1E400}'), 400, "malformed_request"),
        (body_text(is_stats='{"sharpe": ' + "9" * 400 + "}"), 400, "malformed_request"),
        (body_text(is_stats='{"n": 9007199254740992}'), 400, "malformed_request"),  # 2**53
        (body_text(is_stats='{"n": -9007199254740991}'), 202, None),  # -(2**53 - 1)
        (body_text(is_stats='{"deep": ' + nested(980) + "}"), 400, "malformed_request"),
        (body_text(is_stats='{"deep": ' + nested(100_000) + "}"), 400, "malformed_request"),
        (body_text(is_stats='{"deep": ' + nested(62) + "}"), 202, None),  # 64 levels with the body and is_stats
        (body_text(is_stats='{"deep": ' + nested(63) + "}"), 400, "malformed_request"),
        (body_text(is_stats='{"sharpe": NaN}'), 400, "malformed_json"),
        (body_text(is_stats='{"sharpe": Infinity}'), 400, "malformed_json"),
        (body_text(idempotency_key='"\\ud800"'), 400, "malformed_request"),  # a lone surrogate
    ],
)
def test_json_beyond_the_limits_is_refused(service, body, status, error):
    with authorized(service) as http:
        answer = http.post("/signals/submit", content=body)
        assert (answer.status_code, answer.json().get("error")) == (status, error)
        assert service.store.count() == (status == 202)
        listing = http.get("/signals/submissions")
    json.loads(listing.text, parse_constant=pytest.fail)  # standard JSON only


def authorized(running):
    return httpx.Client(base_url=running.url, headers={"Authorization": f"Bearer {running.token}"})


def test_answers_never_hold_non_standard_numbers(tmp_path):
    """A file written by an older service may hold a non-finite number; answers write it as a string."""
    path = tmp_path / "old.sqlite"
    with devservice.start(db=path) as running, authorized(running) as http:
        assert http.post("/signals/submit", json=raw_signal(is_stats={"sharpe": 7.5})).status_code == 202
    with sqlite3.connect(path) as db:
        db.execute("UPDATE submissions SET record = replace(record, '7.5', 'Infinity')")
    with devservice.start(db=path) as running, authorized(running) as http:
        answer = http.get("/signals/submissions")
    listed = json.loads(answer.text, parse_constant=pytest.fail)["submissions"]
    assert listed[0]["is_stats"] == {"sharpe": "Infinity"}


@pytest.mark.parametrize("text", ['{"eras": [], "x": Infinity}', '{"eras": [], "x": 1e999}'])
def test_a_catalog_with_non_finite_numbers_is_refused(tmp_path, text):
    path = tmp_path / "catalog.json"
    path.write_text(text)
    with pytest.raises(ValueError, match="not finite|not valid JSON"):
        devservice.start(catalog=path)


def test_connections_past_the_cap_get_503_and_are_closed():
    with devservice.start(max_connections=2) as running:
        held = [connect(running) for _ in range(2)]
        for sock in held:  # each holds a slot once its first answer came back
            sock.sendall(request(running, "GET", "/eras"))
            assert read_answer(sock.makefile("rb"))[0] == 200
        with connect(running) as extra:
            status, headers, body = read_answer(extra.makefile("rb"))
            assert (status, headers["connection"], headers["retry-after"], json.loads(body)["error"]) == (
                503,
                "close",
                "1",
                "service_unavailable",
            )
            assert json.loads(body)["details"]["retry_after"] == 1
            assert closed_by_peer(extra)
        held.pop().close()
        for _ in range(200):  # the slot comes back once the service sees the close
            with connect(running) as again:
                again.sendall(request(running, "GET", "/eras"))
                status = read_answer(again.makefile("rb"))[0]
            if status == 200:
                break
            time.sleep(0.02)
        assert status == 200
        held[0].close()


def drip(socks, seconds):
    """Send one byte every 50 ms on each connection for `seconds`, or until the service closed them all."""
    ends = time.monotonic() + seconds
    open_ = list(socks)
    while open_ and time.monotonic() < ends:
        for sock in list(open_):
            try:
                sock.send(b"x")
            except OSError:
                open_.remove(sock)
        time.sleep(0.05)


@pytest.mark.parametrize("phase", ["head", "body"])
def test_dripping_clients_are_answered_408_and_lock_no_one_out(phase):
    """More drippers than the threaded server had connection slots; each keeps its connection busy
    (a byte every 50 ms), without the token in its head or with it and a body to come."""
    with devservice.start(request_timeout=1.0) as running:
        drippers = [connect(running) for _ in range(80)]
        for sock in drippers:
            sock.sendall(
                b"GET /eras HTTP/1.1\r\nX-Drip: "
                if phase == "head"
                else request(running, headers=["Content-Length: 100000"])
            )
        with authorized(running) as http:
            assert http.get("/eras").status_code == 200  # served while they drip
        drip(drippers, seconds=5)
        for sock in drippers:
            status, headers, body = read_answer(sock.makefile("rb"))
            assert (status, headers["connection"], json.loads(body)["error"]) == (408, "close", "request_timeout")
            sock.close()
        assert running.stats["timed_out"] == 80


def test_the_request_log_keeps_a_short_prefix_of_each_target():
    """Nothing a client sends, with or without the token, makes an entry of the log long."""
    with devservice.start() as running:
        for n in range(200):
            with connect(running) as sock:
                sock.sendall(request(running, "GET", f"/{n}" + "t" * 8000, token=n % 2 == 0))
                assert read_answer(sock.makefile("rb"))[0] in (401, 404)
        logged = running.requests
    assert len(logged) == 200 and {status for _, _, status in logged} == {401, 404}
    assert max(len(target) for _, target, _ in logged) <= 130


def test_refused_timed_out_and_dropped_requests_are_logged_and_counted(capfd):
    with devservice.start(verbose=True, max_connections=2, request_timeout=0.5, latency=0.2) as running:
        slow = connect(running)
        slow.sendall(b"GET /eras HTTP/1.1\r\n")  # and nothing more: 408
        gone = connect(running)
        gone.sendall(request(running, "GET", "/eras"))
        with connect(running) as extra:  # past the cap of 2
            assert read_answer(extra.makefile("rb"))[0] == 503
        abort(gone)  # before the answer, written after the latency
        assert read_answer(slow.makefile("rb"))[0] == 408
        slow.close()
        with connect(running) as stranger:
            stranger.sendall(request(running, "GET", "/eras", token=False))
            assert read_answer(stranger.makefile("rb"))[0] == 401
        stats = running.stats
        logged = running.requests
    lines = capfd.readouterr().err.splitlines()
    assert (stats["refused_connections"], stats["timed_out"], stats["dropped"], stats["answered"][401]) == (1, 1, 1, 1)
    assert sorted(status for _, _, status in logged) == [401, 408, 499, 503]
    for status, words in (
        (503, "at most 2 connections"),
        (408, "head not received"),
        (499, "closed by the client"),
        (401, "GET /eras"),
    ):
        assert any(f" {status}" in line and words in line for line in lines), (status, lines)


@pytest.mark.parametrize("first_request", [False, True])
def test_idle_connections_are_closed(first_request):
    with devservice.start(idle_timeout=0.2) as running:
        with connect(running, timeout=30) as sock:
            if first_request:  # a kept-alive connection after an answer
                sock.sendall(request(running, "GET", "/eras"))
                assert read_answer(sock.makefile("rb"))[0] == 200
            assert closed_by_peer(sock)


def abort(sock):
    """Close with a reset, as a client that went away does."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


@pytest.mark.parametrize("tls", [False, True])
def test_clients_that_go_away_leave_no_traceback(tls):
    process, printed = start_devservice("--token=t", "--latency", "0.2", *(("--tls",) if tls else ()))
    url = printed["QUILLMARSH_BASE_URL"]
    try:
        host, port = url.rsplit("//", 1)[1].rsplit(":", 1)
        for _ in range(3):
            sock = socket.create_connection((host, int(port)), timeout=10)
            if tls:
                sock.sendall(b"GET /eras HTTP/1.1\r\n\r\n")  # plain text to the TLS port
                closed_by_peer(sock)
                sock.close()
                sock = socket.create_connection((host, int(port)), timeout=10)
                sock.sendall(b"\x16\x03\x01\x00\x05hello")  # a handshake cut short
            else:
                sock.sendall(b"GET /eras HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer t\r\n\r\n")
                abort(sock)  # gone before the answer is written
                sock = socket.create_connection((host, int(port)), timeout=10)
                sock.sendall(
                    b"POST /signals/submit HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer t\r\n"
                    b"Content-Length: 100\r\n\r\n{"
                )  # and the rest of the body never comes
            abort(sock)  # gone before the answer is written
        time.sleep(0.5)  # the answers are written (and fail) after the latency
    finally:
        err = stop_devservice(process)
    assert err == (
        f"quillmarsh local signal service on {url} \u2014 Ctrl-C to stop\nquillmarsh local signal service stopped\n"
    )  # and nothing about the clients that went away
