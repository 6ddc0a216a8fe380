"""The HTTP side: the application of ``app`` on aiohttp's low-level HTTP/1.1 server, on an
event loop of its own thread; ``start()`` and ``Service``.

aiohttp parses requests (with llhttp, the parser of Node.js); this module adds what a
service reached by hostile clients needs on top, each bound documented here and in the
README:

* Capacity: at most ``max_connections`` connections are open at a time (default
  ``DEFAULT_MAX_CONNECTIONS``, fewer if the open-file limit allows fewer), however many of
  them are idle or waiting out ``--latency``. Past the cap a connection is answered 503
  ``service_unavailable`` with ``Retry-After`` and a message saying why, and closed (up to
  ``_REFUSERS`` such answers at a time; past those, closed unanswered).
* Deadlines: a request's head and body must arrive within ``request_timeout`` seconds of
  its first byte, whatever the client's pace: past that it is answered 408 and the
  connection closed. A connection with no request under way is closed after
  ``idle_timeout`` seconds.
* Sizes: the request line at most ``LINE_LIMIT`` bytes (414), a header at most
  ``FIELD_LIMIT`` bytes (431), at most ``MAX_HEADERS`` headers (431) and ``HEAD_LIMIT`` bytes
  of head in all (431); a body at most ``MAX_BODY_BYTES``, counted as read, chunked
  included (413); bodies held at once by all requests together at most ``BODY_BUDGET``
  bytes (503 past it). Bodies are never decompressed.
* The token, the route and the method are checked before a byte of the body is read
  (an authorized ``Expect: 100-continue`` gets its "100 Continue"); an answer sent with a
  body left unread, and every 401, closes the connection.
* Every answer is JSON with ``Content-Type: application/json`` (but the injected 502
  page), aiohttp's refusals of malformed requests included.
* Every request is logged in ``journal`` (and under ``verbose`` on standard error), those
  refused, timed out or dropped included; a client that goes away is routine and prints
  nothing else, a fault of the service itself prints its traceback.

The application's ``serve`` (JSON parsing, validation, the store) runs on the loop for a
small body and a store in memory (a fraction of a millisecond, cheaper than a thread's
hand-over), else on a few worker threads: a large body takes a while to parse, and a store
on a file may wait for another process that holds it.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import json
import os
import resource
import secrets
import shutil
import ssl
import sys
import tempfile
import threading
import traceback
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from aiohttp import HttpVersion10, HttpVersion11, http_exceptions, web, web_protocol
from aiohttp.web_request import BaseRequest

from .app import MAX_BODY_BYTES, RETRY_AFTER_SECONDS, Answer, App, error, unavailable
from .catalog import Catalog, default_catalog, load_catalog
from .journal import DROPPED, Journal, Logged
from .lifecycle import Progression
from .operations import Operations
from .store import Store

__all__ = [
    "DEFAULT_IDLE_TIMEOUT",
    "DEFAULT_MAX_CONNECTIONS",
    "DEFAULT_REQUEST_TIMEOUT",
    "MAX_BODY_BYTES",
    "RETRY_AFTER_SECONDS",
    "CannotListen",
    "Service",
    "start",
]

DEFAULT_MAX_CONNECTIONS = 4096
DEFAULT_IDLE_TIMEOUT = 30.0  # longer than clients keep idle connections (httpx: 5 s), so they close first
DEFAULT_REQUEST_TIMEOUT = 10.0
LINE_LIMIT = 8192
FIELD_LIMIT = 8190  # differs from LINE_LIMIT: aiohttp's LineTooLong says which limit it met, nothing else
MAX_HEADERS = 100
HEAD_LIMIT = 64 * 1024
BODY_BUDGET = 256 * 1024 * 1024
_READ_BUFFER = 32 * 1024  # aiohttp pauses a connection holding twice this of unread body
_REFUSERS = 256  # connections past the cap being answered 503 at a time
_REFUSAL_SECONDS = 2.0
_SPARE_FILES = 64  # open files beside the connections: the listener, the store, the interpreter's own
_WORKERS = 4
_INLINE_BODY = 256 * 1024  # served on the loop when the store is in memory: a fraction of a millisecond
_SERVER = "quillmarsh-devservice"
_REASONS = {
    400: "Bad Request",
    408: "Request Timeout",
    431: "Request Header Fields Too Large",
    503: "Service Unavailable",
}


class CannotListen(OSError):
    """The service cannot listen where it was asked to; the message says why, in one line."""


def _reason(exc: OSError) -> str:
    """What an OSError says, without its number, as the end of a sentence."""
    if isinstance(exc.errno, int) and exc.errno > 0:
        text = os.strerror(exc.errno)  # asyncio's errors while binding wrap the system's text in its own
    else:
        text = exc.strerror if isinstance(exc.strerror, str) and exc.strerror else str(exc)
    return text[:1].lower() + text[1:]


def _raw(answer: Answer) -> bytes:
    """An answer as bytes for a connection whose request never reached aiohttp's handler."""
    head = [
        f"HTTP/1.1 {answer.status} {_REASONS[answer.status]}",
        f"Server: {_SERVER}",
        f"Content-Type: {answer.content_type}",
        f"Content-Length: {len(answer.body)}",
        "Connection: close",
    ]
    head += [f"{name}: {value}" for name, value in answer.headers.items()]
    return ("\r\n".join(head) + "\r\n\r\n").encode("latin-1") + answer.body


def _peer(transport: asyncio.BaseTransport | None) -> str:
    address = transport.get_extra_info("peername") if transport is not None else None
    if isinstance(address, tuple) and len(address) >= 2:
        return f"[{address[0]}]:{address[1]}" if ":" in str(address[0]) else f"{address[0]}:{address[1]}"
    return "-"


def _parse_refusal(exc: BaseException | None) -> Answer:
    """The JSON answer to a request aiohttp's parser refused."""
    if isinstance(exc, http_exceptions.LineTooLong):
        if exc.args[1:2] == (LINE_LIMIT,):
            return error(
                414, "uri_too_long", f"the request line is over {LINE_LIMIT} bytes", close=True, maximum=LINE_LIMIT
            )
        return error(
            431, "header_fields_too_large", f"a header is over {FIELD_LIMIT} bytes", close=True, maximum=FIELD_LIMIT
        )
    text = getattr(exc, "message", "") or str(exc or "")
    if "too many headers" in text.lower():
        return error(
            431, "header_fields_too_large", f"more than {MAX_HEADERS} headers", close=True, maximum=MAX_HEADERS
        )
    first = text.strip().splitlines()[0].rstrip(":") if text.strip() else "malformed request"
    return error(
        400, "malformed_request", f"the request is not HTTP/1.1 the service can read: {first[:200]}", close=True
    )


class _Connection(web_protocol.RequestHandler):
    """aiohttp's connection, with the request deadline, the bound on the head, the request
    log and JSON refusals. Relies on aiohttp's ``_messages`` queue (parsed requests not yet
    handled) to tell a complete head from one still arriving."""

    def __init__(self, manager: web.Server, front: _Front, **kwargs: Any):
        super().__init__(manager, **kwargs)
        self.front = front
        self._deadline: float | None = None  # of the request under way: its first byte + request_timeout
        self._timer: asyncio.TimerHandle | None = None
        self._in_request = False  # aiohttp's handler has the request
        self._head_complete = False
        self._head_bytes = 0
        self._unparsed = ""  # the message of aiohttp's refusal of a request it could not parse
        self._closing = False  # an answer that ends the connection was sent: what follows is the unread rest
        self._peer = "-"

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self._peer = _peer(transport)
        self.front.pending.pop(self, None)
        self.front.connections.add(self)
        self.front.journal.opened()
        super().connection_made(transport)

    def connection_lost(self, exc: BaseException | None) -> None:
        if self._deadline is not None and not self._in_request and not self._head_complete:
            self.front.journal.record(self._peer, "", "", DROPPED, "closed by the client with its request unfinished")
        self._disarm()
        self.front.pending.pop(self, None)
        if self in self.front.connections:
            self.front.connections.discard(self)
            self.front.journal.closed()
        super().connection_lost(exc)

    def data_received(self, data: bytes) -> None:
        if data and not self._in_request and self._deadline is None and not (self._force_close or self._closing):
            loop = self._loop
            self._deadline = loop.time() + self.front.request_timeout
            self._timer = loop.call_at(self._deadline, self._overdue)
            self._head_bytes = 0
            self.keep_alive(True)  # a request under way: stop aiohttp's idle timer, ours runs
        counting = not self._in_request and not self._head_complete and not self._closing
        room = HEAD_LIMIT - self._head_bytes
        if counting and len(data) > room:  # the parser sees no more of a head than the limit
            super().data_received(data[: max(room, 0)])
            if not self._messages:
                if not self._force_close:
                    self._refuse_raw(
                        error(
                            431,
                            "header_fields_too_large",
                            f"the request's head is over {HEAD_LIMIT} bytes",
                            maximum=HEAD_LIMIT,
                        ),
                        "head too large",
                    )
                return
            data = data[max(room, 0) :]
        elif counting:
            self._head_bytes += len(data)
        super().data_received(data)
        if self._messages:
            self._head_complete = True

    def _overdue(self) -> None:
        self._timer = None
        if self._in_request or self._head_complete or self.transport is None:
            return
        seconds = self.front.request_timeout
        self._refuse_raw(
            error(
                408,
                "request_timeout",
                f"the request's head did not arrive within {seconds:g} s; send a request in one go",
                maximum=seconds,
            ),
            "head not received in time",
        )

    def _refuse_raw(self, answer: Answer, note: str) -> None:
        self.front.journal.record(self._peer, "", "", answer.status, note)
        self._disarm()
        if self.transport is not None:
            self.transport.write(_raw(answer))
        self.force_close()

    def _disarm(self) -> None:
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        self._deadline = None
        self._head_complete = False

    def request_began(self) -> float:
        """Called by the handler: the deadline by which the request's body must have arrived."""
        deadline = self._deadline if self._deadline is not None else self._loop.time() + self.front.request_timeout
        self._in_request = True
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        return deadline

    def handle_error(
        self, request: BaseRequest, status: int = 500, exc: BaseException | None = None, message: str | None = None
    ) -> web.StreamResponse:
        """aiohttp's answer to a request it could not parse (or to a fault of the service), as JSON."""
        if isinstance(exc, http_exceptions.HttpProcessingError):
            answer = _parse_refusal(exc)
            self._unparsed = json.loads(answer.body)["details"]["message"]
        else:
            traceback.print_exception(exc or RuntimeError(f"HTTP {status}"), file=sys.stderr)
            answer = error(500, "internal_error", "the service failed on this request; see its log", close=True)
        return _response(answer)

    async def finish_response(
        self, request: BaseRequest, resp: web.StreamResponse, start_time: float | None
    ) -> tuple[web.StreamResponse, bool]:
        self._in_request = True
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        journal = self.front.journal
        method, target = ("", "") if self._unparsed else (request.method, request.raw_path)
        gone = self.transport is None
        # Logged first: a large answer leaves while it is written, and the client may look at the log then.
        journal.record(
            self._peer,
            method,
            target,
            DROPPED if gone else resp.status,
            "closed by the client before the answer" if gone else self._unparsed,
        )
        try:
            resp, reset = await super().finish_response(request, resp, start_time)
            if reset and not gone:
                journal.dropped += 1
                shown = f"{method} {target[:120]}" if method else "-"
                journal.say(f"{self._peer} {shown} {resp.status} not delivered: the client closed the connection")
            return resp, reset
        finally:
            self._closing = self._closing or not resp.keep_alive
            self.front.release(request)
            self._in_request = False
            self._unparsed = ""
            self._deadline = None
            self._head_complete = bool(self._messages)


class _Refusal(asyncio.Protocol):
    """A connection past the cap: answered 503 and closed once the client has had the answer."""

    def __init__(self, front: _Front):
        self.front = front
        self.transport: asyncio.Transport | None = None

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        assert isinstance(transport, asyncio.Transport)
        self.transport = transport
        self.front.refusers.add(self)
        self.front.journal.refused(_peer(transport), self.front.cap_message)
        transport.write(self.front.cap_answer)
        if transport.can_write_eof():
            transport.write_eof()  # the client reads the answer, then its close; no reset that could eat it
        self.front.loop.call_later(_REFUSAL_SECONDS, transport.close)

    def data_received(self, data: bytes) -> None:
        pass  # read and dropped: unread bytes at close would reset the connection

    def eof_received(self) -> bool:
        return False  # closes

    def connection_lost(self, exc: BaseException | None) -> None:
        self.front.refusers.discard(self)


class _Closer(asyncio.Protocol):
    """A connection past the cap when the refusers are all busy: closed unanswered."""

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        transport.close()


class _Request(BaseRequest):
    """A request answered as HTTP/1.1 whatever version it named (aiohttp answers in the
    request's own); ``asked_version`` is the one it named."""

    ATTRS = BaseRequest.ATTRS | frozenset(["asked_version"])
    asked_version = HttpVersion11


class _Manager(web.Server):
    def __init__(self, front: _Front, **kwargs: Any):
        super().__init__(front.handle, request_factory=self._request, **kwargs)
        self.front = front

    def _request(self, message: Any, payload: Any, protocol: Any, writer: Any, task: Any) -> BaseRequest:
        asked = message.version
        if asked != HttpVersion11 and (asked != HttpVersion10 or message is web_protocol.ERROR):
            message = message._replace(version=HttpVersion11)
        request = _Request(message, payload, protocol, writer, task, self._loop)
        request.asked_version = asked
        return request

    def __call__(self) -> asyncio.Protocol:  # type: ignore[override]
        front = self.front
        if len(front.connections) + len(front.pending) >= front.max_connections and front.pending:
            # Accepted but not yet made: a TLS handshake under way, or one that failed (its protocol never
            # hears of it): those older than the handshake's timeout are gone.
            stale = self._loop.time() - front.idle_timeout - 1
            for connection in [c for c, created in front.pending.items() if created < stale]:
                del front.pending[connection]
        if len(front.connections) + len(front.pending) < front.max_connections:
            connection = _Connection(self, front, loop=self._loop, **self._kwargs)
            front.pending[connection] = self._loop.time()
            return connection
        if len(front.refusers) < _REFUSERS:
            return _Refusal(front)
        front.journal.refused_connections += 1
        front.journal.say(
            f"connection closed unanswered: {front.cap_message}, and {_REFUSERS} others are being answered 503"
        )
        return _Closer()


def _response(answer: Answer) -> web.Response:
    response = web.Response(
        status=answer.status, body=answer.body, headers=answer.headers, content_type=answer.content_type
    )
    response.headers["Server"] = _SERVER
    if answer.close:
        response.force_close()
    return response


class _Front:
    """The service's HTTP front: the listener, the connections, the handler."""

    def __init__(
        self,
        app: App,
        journal: Journal,
        *,
        max_connections: int,
        idle_timeout: float,
        request_timeout: float,
        serve_inline: bool,
    ):
        self.app = app
        self.serve_inline = serve_inline
        self.journal = journal
        self.max_connections = max_connections
        self.idle_timeout = idle_timeout
        self.request_timeout = request_timeout
        self.connections: set[_Connection] = set()
        self.pending: dict[_Connection, float] = {}  # accepted, not yet made (TLS: handshaking); when accepted
        self.refusers: set[_Refusal] = set()
        self.cap_message = f"the service holds at most {max_connections} connections at a time; retry later"
        self.cap_answer = _raw(unavailable(self.cap_message))
        self.body_bytes = 0  # held by requests being read or served
        self._held: dict[int, int] = {}
        self.executor = concurrent.futures.ThreadPoolExecutor(_WORKERS, thread_name_prefix="devservice-app")
        self.loop: asyncio.AbstractEventLoop = asyncio.new_event_loop()
        self.server: asyncio.Server | None = None

    async def listen(self, host: str, port: int, tls: ssl.SSLContext | None) -> tuple[str, int]:
        manager = _Manager(
            self,
            loop=self.loop,
            access_log=None,
            keepalive_timeout=self.idle_timeout,
            max_line_size=LINE_LIMIT,
            max_field_size=FIELD_LIMIT,
            max_headers=MAX_HEADERS,
            auto_decompress=False,
            read_bufsize=_READ_BUFFER,
            lingering_time=0,
        )
        self.server = await self.loop.create_server(
            manager, host, port, ssl=tls, backlog=4096, ssl_handshake_timeout=self.idle_timeout if tls else None
        )
        address = self.server.sockets[0].getsockname()
        return str(address[0]), int(address[1])

    def release(self, request: BaseRequest) -> None:
        self.body_bytes -= self._held.pop(id(request), 0)

    async def handle(self, request: BaseRequest) -> web.StreamResponse:
        connection = request.protocol
        assert isinstance(connection, _Connection)
        deadline = connection.request_began()
        app = self.app
        asked = getattr(request, "asked_version", request.version)
        if asked.major != 1:
            return _response(
                error(
                    505,
                    "http_version_not_supported",
                    f"HTTP/{asked.major}.{asked.minor} is not served; send HTTP/1.1",
                    close=True,
                )
            )
        if app.latency:
            await asyncio.sleep(app.latency)
        path, _, query = request.raw_path.partition("?")
        admitted = app.admit(request.method, path, request.headers.get("Authorization"))
        if isinstance(admitted, Answer):
            admitted.close = admitted.close or request.body_exists
            return _response(admitted)
        route, params = admitted
        body = await self._read_body(request, deadline)
        if isinstance(body, Answer):
            return _response(body)
        try:
            if self.serve_inline and len(body) <= _INLINE_BODY:
                answer = app.serve(route, params, query, request.headers, body)
            else:
                answer = await self.loop.run_in_executor(
                    self.executor, app.serve, route, params, query, request.headers, body
                )
        except Exception:
            traceback.print_exc(file=sys.stderr)
            answer = error(500, "internal_error", "the service failed on this request; see its log")
        return _response(answer)

    async def _read_body(self, request: BaseRequest, deadline: float) -> bytes | Answer:
        length = request.content_length
        if length is not None and length > MAX_BODY_BYTES:
            return error(
                413,
                "payload_too_large",
                f"request bodies are limited to {MAX_BODY_BYTES} bytes",
                close=True,
                maximum=MAX_BODY_BYTES,
            )
        if not request.body_exists:
            return b""
        if request.headers.get("Expect", "").lower() == "100-continue":
            await request.writer.write(b"HTTP/1.1 100 Continue\r\n\r\n")
        chunks, total = [], 0
        key = id(request)
        try:
            async with asyncio.timeout_at(deadline):
                while chunk := await request.content.readany():
                    total += len(chunk)
                    if total > MAX_BODY_BYTES:
                        return error(
                            413,
                            "payload_too_large",
                            f"request bodies are limited to {MAX_BODY_BYTES} bytes",
                            close=True,
                            maximum=MAX_BODY_BYTES,
                        )
                    if self.body_bytes + len(chunk) > BODY_BUDGET:
                        return unavailable(
                            f"the service holds {BODY_BUDGET // (1024 * 1024)} MiB of request "
                            f"bodies at most, and other requests hold them now; retry later",
                            close=True,
                        )
                    self.body_bytes += len(chunk)
                    self._held[key] = self._held.get(key, 0) + len(chunk)
                    chunks.append(chunk)
        except TimeoutError:
            seconds = self.request_timeout
            return error(
                408,
                "request_timeout",
                f"the request's body did not arrive within {seconds:g} s of its first byte; send a request in one go",
                close=True,
                maximum=seconds,
            )
        except ConnectionError:  # the client went away mid-body: logged as dropped, the answer goes nowhere
            return error(400, "malformed_request", "the connection closed before the body's end", close=True)
        except (web_protocol.RequestPayloadError, http_exceptions.HttpProcessingError) as exc:
            cause = exc.__cause__ or exc
            text = (getattr(cause, "message", "") or str(cause)).strip().splitlines()
            return error(
                400,
                "malformed_request",
                f"the request's body is not well framed: {(text[0] if text else type(cause).__name__)[:200]}",
                close=True,
            )
        return b"".join(chunks)

    async def close(self) -> None:
        if self.server is not None:
            self.server.close()
        for connection in list(self.connections):
            connection.force_close()
        for refuser in list(self.refusers):
            if refuser.transport is not None:
                refuser.transport.abort()
        current = asyncio.current_task()
        tasks = [task for task in asyncio.all_tasks(self.loop) if task is not current]
        for task in tasks:
            task.cancel()
        if tasks:
            await asyncio.wait(tasks, timeout=5)

    def on_loop_error(self, loop: asyncio.AbstractEventLoop, context: dict[str, Any]) -> None:
        """A client's connection that failed (reset, bad TLS) is routine; anything else is shown."""
        exc = context.get("exception")
        if isinstance(exc, (OSError, ssl.SSLError, asyncio.CancelledError)):
            self.journal.say(f"connection ended: {context.get('message', '')} {exc!r}")
            return
        loop.default_exception_handler(context)


class Service:
    """A running local service: ``url``, ``token``, ``stop()``; also a context manager.

    ``requests`` is the request log, (method, target, status) each, and ``stats`` the
    counts by outcome (see ``journal``). With TLS, ``ca_pem_path`` is the PEM file of the
    certificate authority that issued the service's certificate (None without TLS);
    clients trust it, e.g. through ``SSL_CERT_FILE``. A file the service chose itself is
    removed by ``stop()``.
    """

    def __init__(
        self,
        front: _Front,
        address: tuple[str, int],
        store: Store,
        *,
        ca_pem_path: Path | None = None,
        owned_dir: str | None = None,
        thread: threading.Thread,
    ):
        self._front = front
        self.app = front.app
        self.store = store
        self.token = front.app.token
        self.ca_pem_path = ca_pem_path
        self.max_connections = front.max_connections
        self._owned_dir = owned_dir
        self._thread = thread
        scheme = "https" if ca_pem_path is not None else "http"
        host, port = address
        self.url = f"{scheme}://[{host}]:{port}" if ":" in host else f"{scheme}://{host}:{port}"
        self.port = port
        self._stopped = False

    @property
    def requests(self) -> list[Logged]:
        """(method, target, status) of the latest requests, refused, timed-out and dropped ones included."""
        return list(self._front.journal.entries.copy())

    @property
    def stats(self) -> dict[str, object]:
        """Counts since the start: answers by status, refused connections, timeouts, drops, connections."""
        return self._front.journal.counts()

    def stop(self) -> None:
        if self._stopped:
            return
        self._stopped = True
        loop = self._front.loop
        try:
            asyncio.run_coroutine_threadsafe(self._front.close(), loop).result(timeout=15)
        finally:
            loop.call_soon_threadsafe(loop.stop)
            self._thread.join(timeout=15)
            self._front.executor.shutdown(wait=True)
            if not self._thread.is_alive():
                loop.close()
            self.store.close()
            if self._owned_dir is not None:
                shutil.rmtree(self._owned_dir, ignore_errors=True)

    def __enter__(self) -> Service:
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def __repr__(self) -> str:
        return f"<Service {self.url}>"


def _non_negative(name: str, value: Any, kind: Any) -> None:
    if isinstance(value, bool) or not isinstance(value, kind) or value < 0:
        raise ValueError(f"{name} must be a non-negative number, got {value!r}")


def _positive_seconds(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 < value < float("inf"):
        raise ValueError(f"{name} must be a positive number of seconds, got {value!r}")
    return float(value)


def _connection_cap(wanted: int | None) -> int:
    """The connection cap, within the open-file limit (raised toward its hard limit when needed)."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    need = (wanted or DEFAULT_MAX_CONNECTIONS) + _REFUSERS + _SPARE_FILES
    if soft != resource.RLIM_INFINITY and soft < need:
        raised = need if hard == resource.RLIM_INFINITY else min(need, hard)
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (raised, hard))
            soft = raised
        except (ValueError, OSError):
            pass
    room = need if soft == resource.RLIM_INFINITY else soft - _REFUSERS - _SPARE_FILES
    if wanted is None:
        return max(1, min(DEFAULT_MAX_CONNECTIONS, room))
    if wanted > room:
        raise ValueError(
            f"max_connections {wanted} needs {need} open files, and this process may open "
            f"{soft} (ulimit -n); ask for {max(1, room)} at most"
        )
    return wanted


def start(
    *,
    host: str = "127.0.0.1",
    port: int = 0,
    token: str | None = None,
    catalog: dict[str, Any] | str | Path | None = None,
    db: str | Path | None = None,
    status_after_polls: int | None = None,
    status_after_seconds: float | None = None,
    demand_signal_pool_id_once: bool = False,
    fail_every: int = 0,
    malformed_every: int = 0,
    latency: float = 0.0,
    verbose: bool = False,
    max_connections: int | None = None,
    idle_timeout: float = DEFAULT_IDLE_TIMEOUT,
    request_timeout: float = DEFAULT_REQUEST_TIMEOUT,
    tls: bool = False,
    tls_names: Sequence[str] | None = None,
    tls_ca_out: str | Path | None = None,
) -> Service:
    """Start the local service on an event loop in a background thread and return it once it listens.

    ``catalog`` is a catalog dict or the path of a JSON file (default: the built-in one);
    ``db`` an SQLite file to keep submissions in (default: memory); ``token`` the bearer
    token clients must send (default: a new random one, in ``Service.token``);
    ``max_connections`` the connections held open at a time (default 4096, or fewer when
    the open-file limit allows fewer); ``idle_timeout`` the seconds after which a connection
    with no request under way is closed; ``request_timeout`` the seconds a request's head
    and body may take to arrive (408 past them).

    ``tls=True`` serves https with a certificate for ``tls_names`` (default: localhost,
    127.0.0.1, ::1 and ``host``) issued by a certificate authority made for this run (needs
    the ``trustme`` package); the authority's PEM is written to ``tls_ca_out`` (default: a
    temporary file), in ``Service.ca_pem_path``.
    """
    for name, value, kind in (
        ("fail_every", fail_every, int),
        ("malformed_every", malformed_every, int),
        ("latency", latency, (int, float)),
    ):
        _non_negative(name, value, kind)
    if isinstance(port, bool) or not isinstance(port, int) or not 0 <= port <= 65535:
        raise ValueError(f"port must be an integer from 0 to 65535, got {port!r}")
    if max_connections is not None and (
        isinstance(max_connections, bool) or not isinstance(max_connections, int) or max_connections < 1
    ):
        raise ValueError(f"max_connections must be a positive integer, got {max_connections!r}")
    idle = _positive_seconds("idle_timeout", idle_timeout)
    deadline = _positive_seconds("request_timeout", request_timeout)
    if token is not None and not (isinstance(token, str) and token.strip()):
        raise ValueError("token must be a non-empty string")
    if not tls and (tls_names is not None or tls_ca_out is not None):
        raise ValueError("tls_names and tls_ca_out need tls=True")
    cap = _connection_cap(max_connections)
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
    store, front, thread = None, None, None
    try:
        store = Store(str(db) if db is not None else None)
        operations = Operations(catalog_, store, progression, demand_signal_pool_id_once=demand_signal_pool_id_once)
        app = App(
            operations,
            token.strip() if token else secrets.token_urlsafe(24),
            fail_every=fail_every,
            malformed_every=malformed_every,
            latency=latency,
        )
        front = _Front(
            app,
            Journal(verbose),
            max_connections=cap,
            idle_timeout=idle,
            request_timeout=deadline,
            serve_inline=db is None,
        )
        loop = front.loop
        loop.set_exception_handler(front.on_loop_error)
        thread = threading.Thread(target=loop.run_forever, name="devservice-loop", daemon=True)
        thread.start()
        try:
            address = asyncio.run_coroutine_threadsafe(front.listen(host, port, context), loop).result()
        except OSError as exc:
            shown = f"[{host}]" if ":" in host else host
            raise CannotListen(f"cannot listen on {shown}:{port}: {_reason(exc)}") from None
    except BaseException:
        if front is not None:
            front.loop.call_soon_threadsafe(front.loop.stop)
            if thread is not None:
                thread.join(timeout=10)
            front.loop.close()
            front.executor.shutdown(wait=False)
        if store is not None:
            store.close()
        if owned_dir is not None:
            shutil.rmtree(owned_dir, ignore_errors=True)
        raise
    return Service(front, address, store, ca_pem_path=ca_pem_path, owned_dir=owned_dir, thread=thread)
