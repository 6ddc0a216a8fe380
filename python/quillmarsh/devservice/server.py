"""The HTTP side: a threading HTTP/1.1 server with keep-alive, bearer authentication,
the six routes at the root of the base URL, its OpenAPI document, and fault injection
for testing clients.

Routes::

    GET  /eras                                the era catalog
    POST /signals/submit                      one signal
    POST /strategies/submit                   one strategy
    POST /signals/batch                       {"signals": [...]}, at most 100
    GET  /signals/status/<percent-encoded id>
    GET  /signals/submissions?status=&idempotency_key=&since=&limit=
    GET  /openapi.json                        the OpenAPI 3.1 document of all of them

A listing holds status answers in the order the submissions were made: those created
after ``since`` (ISO-8601), with the given ``status`` and ``idempotency_key``, at most
``limit`` (1 to 1000, default 100); a full page gives ``next_since`` to continue from.

Every request but ``GET /openapi.json`` needs ``Authorization: Bearer <token>``; without
it the answer is 401. The document is public because it holds nothing but the routes'
shapes, and tools that read it (schema testers, API browsers) fetch it without
credentials. Faults count authenticated requests (every route, the catalog included):
with ``fail_every=N`` the N-th, 2N-th, ... request gets a 503 JSON answer; with
``malformed_every=M`` the M-th, 2M-th, ... gets a 502 HTML page, as a proxy in front of
the service would send. Both carry ``Retry-After: 1``, as every 503 does; neither request
is processed. ``latency`` delays every answer.

Every error answer is ``{"error": ..., "details": {"message": ..., ...}}`` (a 422 has
``reason`` in place of ``error``; see ``validation`` for the fields of ``details``).

Against a hostile client:

* The token, the route and the method are checked before a byte of the body is read;
  an answer sent with a body left unread, and every 401, closes the connection.
* A body is ``Content-Length`` digits or well-formed chunks (hexadecimal sizes, each
  chunk followed by CRLF); anything else is 400, a transfer coding other than chunked is
  501, and the bytes actually read count against ``MAX_BODY_BYTES``: 413 past it, with
  nothing more read.
* Every answer is JSON with ``Content-Type: application/json`` (but the injected 502
  page), the HTTP layer's own refusals included: 400 for a malformed request line, 405
  with ``Allow`` for any method a route does not take (unknown ones included), 414 for
  a request line over 64 KiB, 431 for a header line over 64 KiB or more than 100
  headers, 505 for HTTP/0.9 and HTTP/2 and later.
* At most ``max_connections`` connections are served at a time, each on its own thread;
  past that a connection is answered 503 ``service_unavailable`` with ``Retry-After`` and
  closed (by a few extra short-lived threads; past those too, closed unanswered). A
  connection that stays idle ``idle_timeout`` seconds (between requests, or within one)
  is closed.
* A client that goes away mid-request or mid-answer is routine: nothing is printed
  (but a line with ``verbose``); a fault of the service itself prints its traceback.
* With TLS, the handshake happens on the connection's own thread, under the idle timeout.
"""

from __future__ import annotations

import collections
import errno
import hmac
import http.server
import re
import secrets
import shutil
import socket
import ssl
import sys
import tempfile
import threading
import time
import traceback
from collections.abc import Sequence
from importlib import resources
from pathlib import Path
from typing import Any
from urllib.parse import parse_qsl, unquote, urlsplit

from .catalog import Catalog, default_catalog, load_catalog
from .lifecycle import Progression
from .operations import Operations
from .store import Store
from .validation import Refusal, dumps, explain, parse_json

__all__ = ["DEFAULT_IDLE_TIMEOUT", "DEFAULT_MAX_CONNECTIONS", "MAX_BODY_BYTES", "CannotListen", "Service", "start"]

MAX_BODY_BYTES = 16 * 1024 * 1024
DEFAULT_MAX_CONNECTIONS = 64
DEFAULT_IDLE_TIMEOUT = 30.0  # longer than clients keep idle connections (httpx: 5 s), so they close first
RETRY_AFTER_SECONDS = 1  # in every injected fault and every 503
_REFUSERS = 8  # threads that may be answering 503 to connections past the cap at a time
_REFUSAL_SECONDS = 2.0
_LINE_LIMIT = 4096  # a chunk-size line or a trailer line
_MAX_TRAILERS = 32
_CHUNK_SIZE = re.compile(rb"[0-9A-Fa-f]{1,16}")
_DIGITS = re.compile(r"[0-9]{1,19}")
_TOKEN = re.compile(r"[!#$%&'*+.^_`|~0-9A-Za-z-]{1,64}")
_GATEWAY_PAGE = (b"<html><head><title>502 Bad Gateway</title></head>\r\n"
                 b"<body><center><h1>502 Bad Gateway</h1></center></body></html>\r\n")
_ROUTES = {  # path -> allowed method
    "/eras": "GET", "/signals/submit": "POST", "/strategies/submit": "POST",
    "/signals/batch": "POST", "/signals/submissions": "GET", "/openapi.json": "GET",
}
_PUBLIC = "/openapi.json"
_STATUS_PREFIX = "/signals/status/"
_ROUTE_LIST = "/eras, /signals/submit, /strategies/submit, /signals/batch, /signals/status/<id>, " \
              "/signals/submissions, /openapi.json"
_LAYER_ERRORS = {  # status the HTTP layer refuses with -> error name
    400: "malformed_request", 413: "payload_too_large", 414: "uri_too_long", 431: "header_fields_too_large",
    501: "not_implemented", 505: "http_version_not_supported",
}


class CannotListen(OSError):
    """The service cannot listen where it was asked to; the message says why, in one line."""


def _reason(exc: OSError) -> str:
    """What an OSError says, without its number, as the end of a sentence."""
    text = exc.strerror if isinstance(exc.strerror, str) and exc.strerror else str(exc)
    return text[:1].lower() + text[1:]


class Answer:
    """One HTTP answer: a status, a JSON body (or raw bytes) and extra headers."""

    def __init__(self, status: int, body: Any, headers: dict[str, str] | None = None,
                 content_type: str = "application/json"):
        self.status = status
        self.body = body if isinstance(body, bytes) else dumps(body).encode("utf-8")
        self.headers = headers or {}
        self.content_type = content_type


def _error(status: int, error: str, message: str, headers: dict[str, str] | None = None, **fields: Any) -> Answer:
    """An error answer: ``{"error": ..., "details": {"message": ..., **fields}}``."""
    return Answer(status, {"error": error, "details": explain(message, **fields)}, headers)


def _unauthorized() -> Answer:
    return _error(401, "unauthorized", "a valid bearer token is required: send Authorization: Bearer <token>",
                  {"WWW-Authenticate": "Bearer"})


def _unavailable(message: str) -> dict[str, Any]:
    """The body of a 503, sent with ``Retry-After``."""
    return {"error": "service_unavailable", "details": explain(message, retry_after=RETRY_AFTER_SECONDS)}


def _openapi_document() -> bytes:
    return resources.files(__package__).joinpath("openapi.json").read_bytes()


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
        self._openapi = _openapi_document()

    def authorized(self, header: str | None) -> bool:
        scheme, _, given = (header or "").partition(" ")
        return scheme.lower() == "bearer" and hmac.compare_digest(given.strip().encode(), self.token.encode())

    def _fault(self) -> Answer | None:
        with self._lock:
            self._counter += 1
            count = self._counter
        retry = {"Retry-After": str(RETRY_AFTER_SECONDS)}
        if self.fail_every and count % self.fail_every == 0:
            return Answer(503, _unavailable(f"injected failure of request {count} (every {self.fail_every}); "
                                            f"retry after {RETRY_AFTER_SECONDS} s"), retry)
        if self.malformed_every and count % self.malformed_every == 0:
            return Answer(502, _GATEWAY_PAGE, retry, content_type="text/html")
        return None

    def admit(self, method: str, path: str, authorization: str | None) -> Answer | None:
        """The answer to a request that goes no further than its head, or None to read its
        body and ``serve`` it: 401, an injected fault, 404, 405."""
        if path != _PUBLIC:
            if not self.authorized(authorization):
                return _unauthorized()
            fault = self._fault()
            if fault is not None:
                return fault
        if path.startswith(_STATUS_PREFIX):
            segment = path[len(_STATUS_PREFIX):]
            expected = "GET" if segment and "/" not in segment else None
        else:
            expected = _ROUTES.get(path)
        shown = path if len(path) <= 200 else f"{path[:200]}..."
        if expected is None:
            return _error(404, "not_found", f"no route {shown}; the routes, at the root of the base URL, are "
                                            f"{_ROUTE_LIST}")
        if method != expected:
            return _error(405, "method_not_allowed", f"{shown} takes {expected}, not {method[:40]}",
                          {"Allow": expected}, allowed=[expected])
        return None

    def serve(self, path: str, query: str, headers: Any, body: bytes) -> Answer:
        """The answer to an admitted request."""
        try:
            if path.startswith(_STATUS_PREFIX):
                return Answer(*self.operations.status(unquote(path[len(_STATUS_PREFIX):], errors="strict")))
            if path == _PUBLIC:
                return Answer(200, self._openapi)
            if path == "/eras":
                return Answer(200, self.operations.catalog.body())
            if path == "/signals/submissions":
                return Answer(*self.operations.listing(dict(parse_qsl(query, keep_blank_values=True))))
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


class _Framing(Exception):
    """A request body the service refuses to read further: its answer."""

    def __init__(self, status: int, message: str, **fields: Any):
        super().__init__(message)
        self.answer = _error(status, _LAYER_ERRORS[status], message, **fields)


class _Gone(Exception):
    """The client closed the connection in the middle of a request."""


def _disconnect(exc: BaseException) -> bool:
    """Whether an exception only says that the client went away, stalled or spoke no TLS."""
    return isinstance(exc, (ConnectionError, TimeoutError, ssl.SSLError, _Gone)) or (
        isinstance(exc, OSError) and exc.errno == errno.ENOTCONN)


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "quillmarsh-devservice"
    wbufsize = -1  # buffered: status line, headers and body leave in one write
    server: "_HTTPServer"
    _unread = False  # the request declared a body that has not been read

    def setup(self) -> None:
        super().setup()
        self.connection.settimeout(self.server.idle_timeout)  # every read and write, the TLS handshake included
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if isinstance(self.connection, ssl.SSLSocket):
            self.connection.do_handshake()
        self.server.track(self.connection, True)

    def finish(self) -> None:
        try:
            super().finish()  # flushes what is left of an answer
        except Exception as exc:  # noqa: BLE001 - sorted below
            if not _disconnect(exc):
                raise
        finally:
            self.server.track(self.connection, False)

    def handle(self) -> None:
        try:
            super().handle()
        except Exception as exc:  # noqa: BLE001 - sorted below
            if not _disconnect(exc):
                raise
            self.log_message("connection ended: %r", exc)

    def parse_request(self) -> bool:
        self._unread = False
        if not super().parse_request():
            return False
        if self.request_version == "HTTP/0.9":  # no status line, no headers: nothing JSON could travel in
            self.request_version = "HTTP/1.0"
            self.send_error(505, "HTTP/0.9 requests are not served")
            return False
        if not _TOKEN.fullmatch(self.command):
            self.send_error(400, f"method {self.command[:40]!r} is not an HTTP token")
            return False
        return True

    def handle_expect_100(self) -> bool:
        """No "100 Continue", the client's cue to send its body, to a request without the token."""
        try:
            path = urlsplit(self.path).path
        except ValueError:
            path = ""
        if path != _PUBLIC and not self.server.app.authorized(self.headers.get("Authorization")):
            self._unread = True
            self._send(_unauthorized())
            return False
        return super().handle_expect_100()

    def send_error(self, code: int, message: str | None = None, explain: str | None = None) -> None:
        """The HTTP layer's refusals, as JSON (http.server's own are HTML pages)."""
        if self.request_version == "HTTP/0.9":  # a refused request line: answer with a status line
            self.request_version = "HTTP/1.0"
        default = self.responses.get(code, ("", ""))
        text = message or default[0]
        if explain and explain != text:
            text = f"{text}: {explain}"
        self.close_connection = True
        self._send(_error(code, _LAYER_ERRORS.get(code, "malformed_request"), text))

    def _send(self, answer: Answer) -> None:
        # Logged first: a large answer leaves while it is written, and the client may look at the log then.
        self.server.app.requests.append((self.command or "", self.path if self.command else "", answer.status))
        if self._unread or answer.status == 401:
            self.close_connection = True
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

    def _content_length(self) -> int | None:
        values = self.headers.get_all("Content-Length") or []
        texts = {value.strip() for value in values}
        if not texts:
            return None
        text = texts.pop()
        if texts or not _DIGITS.fullmatch(text):
            raise _Framing(400, "Content-Length must be one decimal number of bytes")
        return int(text)

    def _framing(self) -> tuple[bool, int]:
        """(chunked, Content-Length) of the request's body."""
        codings = [c.strip().lower() for value in self.headers.get_all("Transfer-Encoding") or []
                   for c in value.split(",") if c.strip()]
        length = self._content_length()
        if codings and length is not None:
            raise _Framing(400, "a request carries Transfer-Encoding or Content-Length, not both")
        if codings and codings != ["chunked"]:
            raise _Framing(501, f"transfer coding {', '.join(codings)} is not served; send chunked or "
                                f"Content-Length")
        if length is not None and length > MAX_BODY_BYTES:
            raise _Framing(413, f"request bodies are limited to {MAX_BODY_BYTES} bytes", maximum=MAX_BODY_BYTES)
        return bool(codings), length or 0

    def _line(self, what: str) -> bytes:
        line = self.rfile.readline(_LINE_LIMIT + 1)
        if len(line) > _LINE_LIMIT:
            raise _Framing(400, f"{what} is over {_LINE_LIMIT} bytes")
        if not line.endswith(b"\n"):
            raise _Gone(what)
        return line

    def _read_chunked(self) -> bytes:
        chunks: list[bytes] = []
        total = 0
        while True:
            text = self._line("a chunk-size line").split(b";", 1)[0].strip()
            if not _CHUNK_SIZE.fullmatch(text):
                raise _Framing(400, f"chunk size {text[:20]!r} is not a hexadecimal number")
            size = int(text, 16)
            if size == 0:
                break
            if total + size > MAX_BODY_BYTES:
                raise _Framing(413, f"request bodies are limited to {MAX_BODY_BYTES} bytes", maximum=MAX_BODY_BYTES)
            data = self.rfile.read(size)
            if len(data) < size:
                raise _Gone("in a chunk")
            total += size
            chunks.append(data)
            if self.rfile.read(2) != b"\r\n":
                raise _Framing(400, "chunk data must be followed by CRLF")
        for _ in range(_MAX_TRAILERS + 1):
            if self._line("a trailer line") in (b"\r\n", b"\n"):
                return b"".join(chunks)
        raise _Framing(400, f"more than {_MAX_TRAILERS} trailer lines")

    def _read_body(self) -> bytes:
        chunked, length = self._framing()
        if chunked:
            body = self._read_chunked()
        else:
            body = self.rfile.read(length) if length else b""
            if len(body) < length:
                raise _Gone("in the body")
        self._unread = False
        return body

    def _dispatch(self) -> None:
        self._unread = "Transfer-Encoding" in self.headers or self.headers.get("Content-Length", "0").strip() != "0"
        app = self.server.app
        if app.latency:
            time.sleep(app.latency)
        try:
            parts = urlsplit(self.path)
        except ValueError:
            self._send(_error(400, "malformed_request", "the request target is not a URL path"))
            return
        answer = app.admit(self.command, parts.path, self.headers.get("Authorization"))
        if answer is None:
            try:
                body = self._read_body()
            except _Framing as refusal:
                self._send(refusal.answer)
                return
            try:
                answer = app.serve(parts.path, parts.query, self.headers, body)
            except Exception:
                traceback.print_exc(file=sys.stderr)
                answer = _error(500, "internal_error", "the service failed on this request; see its log")
        self._send(answer)

    def __getattr__(self, name: str) -> Any:
        """Every method is dispatched (http.server looks up ``do_<METHOD>``): a route
        answers one it does not take with 405 and ``Allow``, whatever the method."""
        if name.startswith("do_"):
            return self._dispatch
        raise AttributeError(name)

    def log_message(self, format: str, *args: Any) -> None:
        if self.server.verbose:
            sys.stderr.write(f"{self.address_string()} {format % args}\n")


def _refusal_bytes(message: str) -> bytes:
    body = dumps(_unavailable(message)).encode("utf-8")
    head = (f"HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nContent-Length: {len(body)}\r\n"
            f"Retry-After: {RETRY_AFTER_SECONDS}\r\nConnection: close\r\n\r\n")
    return head.encode("latin-1") + body


class _HTTPServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64

    def __init__(self, address: tuple[str, int], app: App, verbose: bool, *, max_connections: int,
                 idle_timeout: float, tls: ssl.SSLContext | None = None):
        if ":" in address[0]:
            self.address_family = socket.AF_INET6
        self.app = app
        self.verbose = verbose
        self.idle_timeout = idle_timeout
        self.max_connections = max_connections
        self._slots = threading.BoundedSemaphore(max_connections)
        self._refusers = threading.BoundedSemaphore(_REFUSERS)
        self._refusal = _refusal_bytes(f"the service serves at most {max_connections} connections at a time; "
                                       f"retry later")
        self._connections: set[socket.socket] = set()
        self._connections_lock = threading.Lock()
        super().__init__(address, _Handler)
        if tls is not None:
            self.socket = tls.wrap_socket(self.socket, server_side=True, do_handshake_on_connect=False)

    def process_request(self, request: Any, client_address: Any) -> None:
        """One thread per connection, up to the cap; past it a short-lived thread answers 503."""
        if self._slots.acquire(blocking=False):
            target, release = self._serve, self._slots
        elif self._refusers.acquire(blocking=False):
            target, release = self._refuse, self._refusers
        else:
            self.shutdown_request(request)
            return

        def run() -> None:
            try:
                target(request, client_address)
            finally:
                release.release()

        threading.Thread(target=run, name=f"devservice-{target.__name__.strip('_')}", daemon=True).start()

    def _serve(self, request: socket.socket, client_address: Any) -> None:
        try:
            self.finish_request(request, client_address)
        except Exception:
            self.handle_error(request, client_address)
        finally:
            self.shutdown_request(request)

    def _refuse(self, request: socket.socket, client_address: Any) -> None:
        """Answer 503 and close, after the client has had the answer (no reset that could eat it)."""
        try:
            request.settimeout(_REFUSAL_SECONDS)
            if isinstance(request, ssl.SSLSocket):
                request.do_handshake()
            request.sendall(self._refusal)
            socket.socket.shutdown(request, socket.SHUT_WR)
            deadline = time.monotonic() + _REFUSAL_SECONDS
            while time.monotonic() < deadline and socket.socket.recv(request, 65536):
                pass
        except Exception:
            self.handle_error(request, client_address)
        finally:
            self.shutdown_request(request)

    def handle_error(self, request: Any, client_address: Any) -> None:
        exc = sys.exc_info()[1]
        if exc is not None and _disconnect(exc):
            if self.verbose:
                sys.stderr.write(f"{client_address[0]}:{client_address[1]} connection ended: {exc!r}\n")
            return
        super().handle_error(request, client_address)

    def track(self, connection: socket.socket, open_: bool) -> None:
        with self._connections_lock:
            (self._connections.add if open_ else self._connections.discard)(connection)

    def close_connections(self) -> None:
        """End the kept-alive connections so that their threads finish."""
        with self._connections_lock:
            connections = list(self._connections)
        for connection in connections:
            try:
                socket.socket.shutdown(connection, socket.SHUT_RDWR)  # below TLS: no close_notify from here
            except OSError:
                pass


class Service:
    """A running local service: ``url``, ``token``, ``stop()``; also a context manager.

    With TLS, ``ca_pem_path`` is the PEM file of the certificate authority that issued the
    service's certificate (None without TLS); clients trust it, e.g. through
    ``SSL_CERT_FILE``. A file the service chose itself is removed by ``stop()``.
    """

    def __init__(self, httpd: _HTTPServer, app: App, store: Store, *, ca_pem_path: Path | None = None,
                 owned_dir: str | None = None):
        self._httpd = httpd
        self.app = app
        self.store = store
        self.token = app.token
        self.ca_pem_path = ca_pem_path
        self._owned_dir = owned_dir
        scheme = "https" if ca_pem_path is not None else "http"
        host, port = str(httpd.server_address[0]), httpd.server_address[1]
        self.url = f"{scheme}://[{host}]:{port}" if ":" in host else f"{scheme}://{host}:{port}"
        self.port = port
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
        if self._owned_dir is not None:
            shutil.rmtree(self._owned_dir, ignore_errors=True)

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
          latency: float = 0.0, verbose: bool = False, max_connections: int = DEFAULT_MAX_CONNECTIONS,
          idle_timeout: float = DEFAULT_IDLE_TIMEOUT, tls: bool = False, tls_names: Sequence[str] | None = None,
          tls_ca_out: str | Path | None = None) -> Service:
    """Start the local service in a background thread and return it once it listens.

    ``catalog`` is a catalog dict or the path of a JSON file (default: the built-in one);
    ``db`` an SQLite file to keep submissions in (default: memory); ``token`` the bearer
    token clients must send (default: a new random one, in ``Service.token``);
    ``max_connections`` the connections served at a time; ``idle_timeout`` the seconds
    after which an idle connection is closed.

    ``tls=True`` serves https with a certificate for ``tls_names`` (default: localhost,
    127.0.0.1, ::1 and ``host``) issued by a certificate authority made for this run (needs
    the ``trustme`` package); the authority's PEM is written to ``tls_ca_out`` (default: a
    temporary file), in ``Service.ca_pem_path``.
    """
    for name, value, kind in (("fail_every", fail_every, int), ("malformed_every", malformed_every, int),
                              ("latency", latency, (int, float))):
        _non_negative(name, value, kind)
    if isinstance(port, bool) or not isinstance(port, int) or not 0 <= port <= 65535:
        raise ValueError(f"port must be an integer from 0 to 65535, got {port!r}")
    if isinstance(max_connections, bool) or not isinstance(max_connections, int) or max_connections < 1:
        raise ValueError(f"max_connections must be a positive integer, got {max_connections!r}")
    if isinstance(idle_timeout, bool) or not isinstance(idle_timeout, (int, float)) or not idle_timeout > 0:
        raise ValueError(f"idle_timeout must be a positive number of seconds, got {idle_timeout!r}")
    if token is not None and not (isinstance(token, str) and token.strip()):
        raise ValueError("token must be a non-empty string")
    if not tls and (tls_names is not None or tls_ca_out is not None):
        raise ValueError("tls_names and tls_ca_out need tls=True")
    if catalog is None:
        data = default_catalog()
    elif isinstance(catalog, dict):
        data = catalog
    else:
        data = load_catalog(catalog)
    progression = Progression(after_polls=status_after_polls, after_seconds=status_after_seconds)
    context, ca_pem_path, owned_dir = None, None, None
    if tls:
        from .tls import server_context

        names = list(tls_names) if tls_names is not None else ["localhost", "127.0.0.1", "::1"]
        if tls_names is None and host not in names and host not in ("0.0.0.0", "::", ""):
            names.append(host)
        context, ca_pem = server_context(names)
        if tls_ca_out is None:
            owned_dir = tempfile.mkdtemp(prefix="quillmarsh-devservice-")
            tls_ca_out = Path(owned_dir) / "ca.pem"
        ca_pem_path = Path(tls_ca_out)
        try:
            ca_pem_path.write_bytes(ca_pem)
        except OSError as exc:
            raise OSError(f"cannot write the certificate authority to {tls_ca_out}: {_reason(exc)}") from None
    catalog_ = Catalog(data)
    store = None
    try:
        store = Store(str(db) if db is not None else None)
        operations = Operations(catalog_, store, progression, demand_signal_pool_id_once=demand_signal_pool_id_once)
        app = App(operations, token.strip() if token else secrets.token_urlsafe(24), fail_every=fail_every,
                  malformed_every=malformed_every, latency=latency)
        try:
            httpd = _HTTPServer((host, port), app, verbose, max_connections=max_connections,
                                idle_timeout=float(idle_timeout), tls=context)
        except OSError as exc:
            shown = f"[{host}]" if ":" in host else host
            raise CannotListen(f"cannot listen on {shown}:{port}: {_reason(exc)}") from None
    except BaseException:
        if store is not None:
            store.close()
        if owned_dir is not None:
            shutil.rmtree(owned_dir, ignore_errors=True)
        raise
    return Service(httpd, app, store, ca_pem_path=ca_pem_path, owned_dir=owned_dir)
