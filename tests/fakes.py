"""What the tests share besides fixtures: fake transports and request functions, a scripted
HTTP server on loopback, the signal catalog and arguments used throughout, and a pure-Python
twin for comparing argument errors with the interpreter's own."""

from __future__ import annotations

import asyncio
import collections
import dataclasses
import hashlib
import http.server
import inspect
import json
import threading


def encode_body(body) -> bytes:
    if isinstance(body, (bytes, bytearray)):
        return bytes(body)
    if isinstance(body, str):
        return body.encode("utf-8")
    return json.dumps(body).encode("utf-8")


def read_content(content):
    """What a transport would put on the wire for `content` (reads an observed body)."""
    if content is None or isinstance(content, bytes):
        return content
    return b"".join(content)


class FakeResponse:
    def __init__(self, status_code=200, body=None):
        self.status_code = status_code
        self.content = encode_body({} if body is None else body)


@dataclasses.dataclass
class TransportCall:
    name: str  # "post", "get" or "request"
    args: tuple
    kwargs: dict
    sent: bytes | None  # the body bytes as read by the transport


class BasicTransport:
    """A transport with only `post` and `get`; answers with queued responses (or raises them),
    then with `otherwise(path)` if given, else an empty 200."""

    def __init__(self, *responses, read_body=True, otherwise=None):
        self.responses = collections.deque(responses)
        self.read_body = read_body
        self.otherwise = otherwise
        self.calls: list[TransportCall] = []

    def respond(self, status_code=200, body=None):
        self.responses.append(FakeResponse(status_code, body))
        return self

    def _answer(self, name, args, kwargs):
        content = kwargs.get("content")
        sent = read_content(content) if self.read_body else None
        self.calls.append(TransportCall(name, args, kwargs, sent))
        answer = _next_answer(self, args[-1])
        if isinstance(answer, BaseException):
            raise answer
        return answer

    def post(self, path, *, content=None, headers=None):
        return self._answer("post", (path,), {"content": content, "headers": headers})

    def get(self, path, *, headers=None):
        return self._answer("get", (path,), {"headers": headers})


class RecordingTransport(BasicTransport):
    """A transport with `post`, `get`, `request` and `close`."""

    closed = 0

    def request(self, method, path, *, content=None, headers=None):
        return self._answer("request", (method, path), {"content": content, "headers": headers})

    def close(self):
        self.closed += 1


def _next_answer(transport, path):
    if transport.responses:
        return transport.responses.popleft()
    return transport.otherwise(path) if transport.otherwise is not None else FakeResponse()


class AsyncTransport:
    """RecordingTransport's twin with awaitable methods: the same answers, the same record."""

    def __init__(self, *responses, pause=0.0, otherwise=None):
        self.responses = collections.deque(responses)
        self.otherwise = otherwise
        self.calls = []
        self.pause = pause
        self.closed = 0

    async def _answer(self, name, args, kwargs):
        content = kwargs.get("content")
        if content is not None and not isinstance(content, bytes):
            content = b"".join([chunk async for chunk in content])
        self.calls.append((name, args, kwargs["headers"], content))
        if self.pause:
            await asyncio.sleep(self.pause)
        answer = _next_answer(self, args[-1])
        if isinstance(answer, BaseException):
            raise answer
        return answer

    async def post(self, path, *, content=None, headers=None):
        return await self._answer("post", (path,), {"content": content, "headers": headers})

    async def get(self, path, *, headers=None):
        return await self._answer("get", (path,), {"headers": headers})

    async def request(self, method, path, *, content=None, headers=None):
        return await self._answer("request", (method, path), {"content": content, "headers": headers})

    async def aclose(self):
        self.closed += 1


class RequestFunc:
    """A `request_func` callback for `_request_json`: records `(method, url, headers, body)`."""

    def __init__(self, status_code=200, body=None, read_body=True):
        self.answer = (status_code, encode_body({} if body is None else body))
        self.read_body = read_body
        self.calls = []
        self.sent = None

    def __call__(self, method, url, headers, body):
        self.calls.append((method, url, headers, body))
        if self.read_body:
            self.sent = read_content(body)
        return self.answer


@dataclasses.dataclass
class RecordedRequest:
    method: str
    path: str  # raw request target: path and query, as sent
    headers: list  # (name, value) pairs in arrival order, names as sent
    body: bytes

    def header(self, name, default=None):
        return next((v for k, v in self.headers if k.lower() == name.lower()), default)

    def has_header(self, name):
        return any(k.lower() == name.lower() for k, _ in self.headers)


@dataclasses.dataclass
class ScriptedResponse:
    status: int
    body: bytes
    content_type: str | None
    headers: tuple
    method: str | None
    path: str | None
    times: int | None  # None: answers every matching request

    def matches(self, request: RecordedRequest):
        return (self.method in (None, request.method)) and (self.path in (None, request.path.split("?")[0]))


class ScriptedServer:
    """Answers each request with the first queued response whose method/path filter matches,
    else with `default` (200 and `{}`); records every request."""

    def __init__(self):
        self.requests: list[RecordedRequest] = []
        self.default = ScriptedResponse(200, b"{}", "application/json", (), None, None, None)
        self._queue: list[ScriptedResponse] = []
        self._lock = threading.Lock()
        self._httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _make_handler(self))
        self._httpd.daemon_threads = True
        self._thread = threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)

    @property
    def url(self):
        host, port = self._httpd.server_address[:2]
        return f"http://{host}:{port}"

    def respond(
        self, status=200, body=None, *, content_type="application/json", headers=(), method=None, path=None, times=1
    ):
        """Queue a response; `body` is bytes/str as is, anything else as JSON."""
        with self._lock:
            self._queue.append(
                ScriptedResponse(
                    status, encode_body({} if body is None else body), content_type, tuple(headers), method, path, times
                )
            )
        return self

    def _next(self, request):
        with self._lock:
            self.requests.append(request)
            for i, scripted in enumerate(self._queue):
                if scripted.matches(request):
                    if scripted.times is not None:
                        scripted.times -= 1
                        if scripted.times <= 0:
                            del self._queue[i]
                    return scripted
        return self.default

    def start(self):
        self._thread.start()

    def stop(self):
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(timeout=10)


def _make_handler(server: ScriptedServer):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def _read_body(self):
            if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
                chunks = []
                while True:
                    size = int(self.rfile.readline().split(b";")[0].strip(), 16)
                    if size == 0:
                        while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                            pass
                        return b"".join(chunks)
                    chunks.append(self.rfile.read(size))
                    self.rfile.readline()
            return self.rfile.read(int(self.headers.get("Content-Length") or 0))

        def _handle(self):
            request = RecordedRequest(self.command, self.path, list(self.headers.items()), self._read_body())
            scripted = server._next(request)
            self.send_response(scripted.status)
            if scripted.content_type:
                self.send_header("Content-Type", scripted.content_type)
            for name, value in scripted.headers:
                self.send_header(name, value)
            bodiless = scripted.status in (204, 304) or scripted.status < 200
            if not bodiless:
                self.send_header("Content-Length", str(len(scripted.body)))
            self.end_headers()
            if not bodiless and self.command != "HEAD":
                self.wfile.write(scripted.body)

        do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = do_HEAD = _handle

        def log_message(self, format, *args):
            pass

    return Handler


def drip_server(body=b'{"status": "queued"}', interval=0.1, piece=1):
    """A server on 127.0.0.1 that answers every request with its head at once and then its body
    `piece` bytes every `interval` seconds; its URL and a function that stops it."""
    import socket

    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen()
    stopped = threading.Event()

    def answer(conn):
        with conn:
            conn.recv(65536)
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n" % len(body))
            for start in range(0, len(body), piece):
                if stopped.wait(interval):
                    return
                try:
                    conn.sendall(body[start : start + piece])
                except OSError:
                    return

    def serve():
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            threading.Thread(target=answer, args=(conn,), daemon=True).start()

    threading.Thread(target=serve, daemon=True).start()

    def stop():
        stopped.set()
        listener.close()

    return f"http://127.0.0.1:{listener.getsockname()[1]}", stop


def python_twin(func, qualname):
    """A pure-Python function with `func`'s signature (including self for methods) named like
    it; calling it raises exactly the TypeError the interpreter raises for bad arguments."""
    name = qualname.rpartition(".")[2]
    signature = inspect.signature(func)
    signature = signature.replace(
        parameters=[  # a Python method's self is an ordinary parameter
            p.replace(kind=p.POSITIONAL_OR_KEYWORD) if i == 0 and p.name in ("self", "cls") else p
            for i, p in enumerate(signature.parameters.values())
        ]
    )
    namespace = {}
    exec(f"def {name}{signature}: pass", namespace)
    twin = namespace[name]
    twin.__qualname__ = qualname
    return twin


def _misfits(signature, bound, first="self"):
    params = list(signature.parameters.values())
    positional = tuple(range(sum(p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD) for p in params)))
    names = [p.name for p in params if p.kind is p.POSITIONAL_OR_KEYWORD]
    kwonly = {p.name: 1 for p in params if p.kind is p.KEYWORD_ONLY}
    calls = [
        ((), {}),
        (positional + (0,), {}),
        (positional + (0, 0), kwonly),
        (positional, {"bogus": 1}),
        ((), kwonly),
        (positional[:1], {}),
        (positional, {}),
        (positional[:-1], {"bogus": 2}),
    ]
    calls += [(positional, {n: 1}) for n in names[:2]]
    if bound:
        calls.append((positional, {first: 1, **kwonly}))
    return calls


SIGNAL_GRAPH = "rank(ts_mean(close, 5))"  # depth 3, 4 nodes


def signal_catalog(**era_fields):
    return {
        "eras": [
            {
                "market_id": 7,
                "era_number": 3,
                "state": "active",
                "max_depth": 4,
                "max_node_count": 8,
                "frequency": "1d",
                "thresholds": {"is_correlation_threshold": 0.7, "is_pnl_mi_threshold": 0.1},
                "universe_rules": {"us_top": {"rule_id": 12}},
                "signal_pools": {"pool-a": {}},
                **era_fields,
            }
        ]
    }


def signal_kwargs(**overrides):
    return {
        "signal_pool_name": "pool-a",
        "is_stats": {"sharpe": 1.5, "is_correlation": 0.2},
        "is_pnl_mi": 0.4,
        "expression_elapsed_seconds": 0.5,
        **overrides,
    }


def signal_body():
    """What submit_signal(SIGNAL_GRAPH, "us_top", **signal_kwargs()) posts, in wire order, before its key."""
    return {
        "graph": SIGNAL_GRAPH,
        "named_universe": "us_top",
        "signal_pool_name": "pool-a",
        "graph_depth": 3,
        "graph_node_count": 4,
        "is_stats": {"sharpe": 1.5, "is_correlation": 0.2},
        "is_pnl_mi": 0.4,
        "expression_elapsed_seconds": 0.5,
        "market_id": 7,
        "era_number": 3,
        "client_manifest_market_id": 7,
        "client_manifest_era_number": 3,
    }


def keyed(body):
    """`body` with the idempotency_key of its rule added last: "sigsubmit-" and the SHA-256 of its canonical JSON."""
    payload = {k: v for k, v in body.items() if k != "idempotency_key"}
    canonical = json.dumps(payload, sort_keys=True, separators=(",", ":"), allow_nan=False).encode("utf-8")
    return {**dict(body.items()), "idempotency_key": "sigsubmit-" + hashlib.sha256(canonical).hexdigest()}


# --- signals the local service's default catalog accepts (its us_top500 universe, momentum pool)

SERVICE_STATS = {"sharpe": 1.6, "turnover": 0.3, "is_correlation": 0.2}
SERVICE_TIMING = {"row_count": 2520, "elapsed_seconds": 1.0, "max_row_elapsed_seconds": 0.004}


def service_signal(n=0, **overrides):
    """The nth of a run of distinct signals, as submit_signal's keyword arguments."""
    return {
        "graph": f"rank(ts_mean(close, {n + 2}))",
        "named_universe": "us_top500",
        "signal_pool_name": "momentum",
        "is_stats": dict(SERVICE_STATS),
        "is_pnl_mi": 0.4,
        "expression_elapsed_seconds": 1.0,
        **overrides,
    }


def service_body(n=0, **overrides):
    """A service signal as a body posted as it is: with the era it enters (market 1, era 3)."""
    return {**service_signal(n), "market_id": 1, "era_number": 3, **overrides}


def service_signals(count, start=0):
    """`count` service signals, each with its backtest run recorded."""
    from quillmarsh import _backtest_timing

    made = [service_signal(n) for n in range(start, start + count)]
    for signal in made:
        _backtest_timing.record_backtest_timing(signal["graph"], **SERVICE_TIMING)
    return made


def service_record(n=0, **overrides):
    """A line of a signal file: a service signal with its backtest timing."""
    return {**service_signal(n), "backtest_timing": dict(SERVICE_TIMING), **overrides}


EPOCH = 1_700_000_000.0  # the wall clock when a FakeClock reads 0


class FakeClock:
    """Time that only sleeping moves: `monotonic()` / `clock()` and `wall_clock()` read it;
    `sleep()` and `asleep()` note each wait and move it on."""

    def __init__(self, now=1000.0):
        self.now, self.sleeps = now, []

    def monotonic(self):
        return self.now

    clock = monotonic

    def wall_clock(self):
        return EPOCH + self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds

    async def asleep(self, seconds):
        self.sleep(seconds)
