"""The HTTP side: a threading HTTP/1.1 server with keep-alive, bearer authentication,
the six routes at the root of the base URL, and fault injection for testing clients.

Routes::

    GET  /eras                                the era catalog
    POST /signals/submit                      one signal
    POST /strategies/submit                   one strategy
    POST /signals/batch                       {"signals": [...]}, at most 100
    GET  /signals/status/<percent-encoded id>
    GET  /signals/submissions?status=&idempotency_key=&since=&limit=

A listing holds status answers in the order the submissions were made: those created
after ``since`` (ISO-8601), with the given ``status`` and ``idempotency_key``, at most
``limit`` (1 to 1000, default 100); a full page gives ``next_since`` to continue from.

Every request needs ``Authorization: Bearer <token>``; without it the answer is 401.
Faults count authenticated requests (every route, the catalog included): with
``fail_every=N`` the N-th, 2N-th, ... request gets a 503 JSON answer; with
``malformed_every=M`` the M-th, 2M-th, ... gets a 502 HTML page, as a proxy in front of
the service would send. Neither request is processed. ``latency`` delays every answer.
"""

from __future__ import annotations

import collections
import hmac
import http.server
import json
import secrets
import socket
import sys
import threading
import time
import traceback
from pathlib import Path
from typing import Any
from urllib.parse import parse_qsl, unquote, urlsplit

from .catalog import Catalog, default_catalog, load_catalog
from .lifecycle import Progression
from .operations import Operations
from .store import Store
from .validation import Refusal, parse_json

__all__ = ["Service", "start"]

MAX_BODY_BYTES = 16 * 1024 * 1024
_GATEWAY_PAGE = (b"<html><head><title>502 Bad Gateway</title></head>\r\n"
                 b"<body><center><h1>502 Bad Gateway</h1></center></body></html>\r\n")
_ROUTES = {  # path -> allowed method
    "/eras": "GET", "/signals/submit": "POST", "/strategies/submit": "POST",
    "/signals/batch": "POST", "/signals/submissions": "GET",
}
_STATUS_PREFIX = "/signals/status/"


class Answer:
    """One HTTP answer: a status, a JSON body (or raw bytes) and extra headers."""

    def __init__(self, status: int, body: Any, headers: dict[str, str] | None = None,
                 content_type: str = "application/json"):
        self.status = status
        self.body = body if isinstance(body, bytes) else json.dumps(body).encode("utf-8")
        self.headers = headers or {}
        self.content_type = content_type


def _error(status: int, error: str, detail: str, **headers: str) -> Answer:
    return Answer(status, {"error": error, "detail": detail}, {k.replace("_", "-"): v for k, v in headers.items()})


class App:
    """Authentication, fault injection and routing, for whatever HTTP server carries them."""

    def __init__(self, operations: Operations, token: str, *, fail_every: int = 0,
                 malformed_every: int = 0, latency: float = 0.0):
        self.operations = operations
        self.token = token
        self.fail_every = fail_every
        self.malformed_every = malformed_every
        self.latency = latency
        self.requests: collections.deque[tuple[str, str, int]] = collections.deque(maxlen=100_000)
        self._counter = 0
        self._lock = threading.Lock()

    def _authorized(self, header: str | None) -> bool:
        scheme, _, given = (header or "").partition(" ")
        return scheme.lower() == "bearer" and hmac.compare_digest(given.strip().encode(), self.token.encode())

    def _fault(self) -> Answer | None:
        with self._lock:
            self._counter += 1
            count = self._counter
        if self.fail_every and count % self.fail_every == 0:
            return _error(503, "service_unavailable", f"injected failure of request {count} "
                                                      f"(every {self.fail_every})", Retry_After="1")
        if self.malformed_every and count % self.malformed_every == 0:
            return Answer(502, _GATEWAY_PAGE, content_type="text/html")
        return None

    def handle(self, method: str, target: str, headers: Any, body: bytes) -> Answer:
        if self.latency:
            time.sleep(self.latency)
        answer = self._handle(method, target, headers, body)
        self.requests.append((method, target, answer.status))
        return answer

    def _handle(self, method: str, target: str, headers: Any, body: bytes) -> Answer:
        if not self._authorized(headers.get("Authorization")):
            return _error(401, "unauthorized", "a valid bearer token is required", WWW_Authenticate="Bearer")
        fault = self._fault()
        if fault is not None:
            return fault
        parts = urlsplit(target)
        path = parts.path
        expected = "GET" if path.startswith(_STATUS_PREFIX) else _ROUTES.get(path)
        if expected is None:
            return _error(404, "not_found", f"no route {path}")
        if method != expected:
            return _error(405, "method_not_allowed", f"{path} takes {expected}", Allow=expected)
        try:
            if path.startswith(_STATUS_PREFIX):
                segment = path[len(_STATUS_PREFIX):]
                if not segment or "/" in segment:
                    return _error(404, "not_found", f"no route {path}")
                return Answer(*self.operations.status(unquote(segment, errors="strict")))
            if path == "/eras":
                return Answer(200, self.operations.catalog.body())
            if path == "/signals/submissions":
                return Answer(*self.operations.listing(dict(parse_qsl(parts.query, keep_blank_values=True))))
            data = parse_json(body)
            if path == "/signals/batch":
                return Answer(*self.operations.batch(data))
            kind = "signal" if path == "/signals/submit" else "strategy"
            status, answer, replayed = self.operations.submit(kind, data, headers.get("Idempotency-Key"))
            return Answer(status, answer, {"Idempotent-Replayed": "true"} if replayed else None)
        except Refusal as refusal:
            return Answer(refusal.status, refusal.body)
        except UnicodeDecodeError:
            return _error(404, "not_found", "submission id is not valid UTF-8")


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "quillmarsh-devservice"
    timeout = 120  # an idle keep-alive connection is closed after this many seconds
    wbufsize = -1  # buffered: status line, headers and body leave in one write
    server: "_HTTPServer"

    def setup(self) -> None:
        super().setup()
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.server.track(self.connection, True)

    def finish(self) -> None:
        try:
            super().finish()
        finally:
            self.server.track(self.connection, False)

    def _read_body(self) -> bytes | None:
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            chunks: list[bytes] = []
            total = 0
            while True:
                size = int(self.rfile.readline(1024).split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline(1024) not in (b"\r\n", b"\n", b""):
                        pass
                    return b"".join(chunks)
                total += size
                if total > MAX_BODY_BYTES:
                    return None
                chunks.append(self.rfile.read(size))
                self.rfile.readline(1024)
        length = int(self.headers.get("Content-Length") or 0)
        if length < 0 or length > MAX_BODY_BYTES:
            return None
        return self.rfile.read(length)

    def _send(self, answer: Answer) -> None:
        self.send_response(answer.status)
        self.send_header("Content-Type", answer.content_type)
        self.send_header("Content-Length", str(len(answer.body)))
        for name, value in answer.headers.items():
            self.send_header(name, value)
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(answer.body)

    def _dispatch(self) -> None:
        try:
            body = self._read_body()
        except ValueError:
            self.close_connection = True
            self._send(_error(400, "malformed_request", "unreadable request body framing"))
            return
        if body is None:
            self.close_connection = True
            self._send(_error(413, "payload_too_large", f"request bodies are limited to {MAX_BODY_BYTES} bytes"))
            return
        try:
            answer = self.server.app.handle(self.command, self.path, self.headers, body)
        except Exception:
            traceback.print_exc(file=sys.stderr)
            answer = _error(500, "internal_error", "the service failed on this request; see its log")
        self._send(answer)

    do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = _dispatch

    def log_message(self, format: str, *args: Any) -> None:
        if self.server.verbose:
            sys.stderr.write(f"{self.address_string()} {format % args}\n")


class _HTTPServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address: tuple[str, int], app: App, verbose: bool):
        if ":" in address[0]:
            self.address_family = socket.AF_INET6
        self.app = app
        self.verbose = verbose
        self._connections: set[socket.socket] = set()
        self._connections_lock = threading.Lock()
        super().__init__(address, _Handler)

    def track(self, connection: socket.socket, open_: bool) -> None:
        with self._connections_lock:
            (self._connections.add if open_ else self._connections.discard)(connection)

    def close_connections(self) -> None:
        """End the kept-alive connections so that their threads finish."""
        with self._connections_lock:
            connections = list(self._connections)
        for connection in connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class Service:
    """A running local service: ``url``, ``token``, ``stop()``; also a context manager."""

    def __init__(self, httpd: _HTTPServer, app: App, store: Store):
        self._httpd = httpd
        self.app = app
        self.store = store
        self.token = app.token
        host, port = str(httpd.server_address[0]), httpd.server_address[1]
        self.url = f"http://[{host}]:{port}" if ":" in host else f"http://{host}:{port}"
        self._thread = threading.Thread(target=httpd.serve_forever, kwargs={"poll_interval": 0.1},
                                        name=f"devservice-{port}", daemon=True)
        self._thread.start()
        self._stopped = False

    @property
    def requests(self) -> list[tuple[str, str, int]]:
        """(method, request target, status) of every request answered so far."""
        return list(self.app.requests)

    def stop(self) -> None:
        if self._stopped:
            return
        self._stopped = True
        self._httpd.shutdown()
        self._httpd.close_connections()
        self._httpd.server_close()
        self._thread.join(timeout=10)
        self.store.close()

    def __enter__(self) -> "Service":
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def __repr__(self) -> str:
        return f"<Service {self.url}>"


def _non_negative(name: str, value: Any, kind: Any) -> None:
    if isinstance(value, bool) or not isinstance(value, kind) or value < 0:
        raise ValueError(f"{name} must be a non-negative number, got {value!r}")


def start(*, host: str = "127.0.0.1", port: int = 0, token: str | None = None,
          catalog: dict[str, Any] | str | Path | None = None, db: str | Path | None = None,
          status_after_polls: int | None = None, status_after_seconds: float | None = None,
          demand_signal_pool_id_once: bool = False, fail_every: int = 0, malformed_every: int = 0,
          latency: float = 0.0, verbose: bool = False) -> Service:
    """Start the local service in a background thread and return it once it listens.

    ``catalog`` is a catalog dict or the path of a JSON file (default: the built-in one);
    ``db`` an SQLite file to keep submissions in (default: memory); ``token`` the bearer
    token clients must send (default: a new random one, in ``Service.token``).
    """
    for name, value, kind in (("fail_every", fail_every, int), ("malformed_every", malformed_every, int),
                              ("latency", latency, (int, float))):
        _non_negative(name, value, kind)
    if token is not None and not (isinstance(token, str) and token.strip()):
        raise ValueError("token must be a non-empty string")
    if catalog is None:
        data = default_catalog()
    elif isinstance(catalog, dict):
        data = catalog
    else:
        data = load_catalog(catalog)
    progression = Progression(after_polls=status_after_polls, after_seconds=status_after_seconds)
    store = Store(str(db) if db is not None else None)
    operations = Operations(Catalog(data), store, progression, demand_signal_pool_id_once=demand_signal_pool_id_once)
    app = App(operations, token.strip() if token else secrets.token_urlsafe(24), fail_every=fail_every,
              malformed_every=malformed_every, latency=latency)
    try:
        httpd = _HTTPServer((host, port), app, verbose)
    except BaseException:
        store.close()
        raise
    return Service(httpd, app, store)
