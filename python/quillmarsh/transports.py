"""Transports to inject into ``SignalServiceClient(..., transport=...)``.

``BoundedTransport`` reads each answer, and decodes it, only up to a limit (64 MiB unless
told otherwise), so a broken or hostile service cannot make the client hold more than that
in memory: an answer of 548 bytes gzip-encoded twice can otherwise decode to hundreds of
megabytes. An answer over the limit is not read further and reaches the client as an
unreadable (non-JSON) answer, which the client reports as a malformed response. The
command line uses it; a library user caps answers with::

    from quillmarsh.transports import BoundedTransport
    client = SignalServiceClient(url, token, transport=BoundedTransport(base_url=url))

``RetryingTransport`` wraps any transport (an ``httpx.Client``, a ``BoundedTransport``, an
object of one's own) and sends a request again when the network failed (connection errors,
timeouts, a connection the service dropped) or the service answered 408, 429, 500, 502, 503
or 504, but only a request that is safe to repeat: a GET, HEAD or OPTIONS; a POST with an
``Idempotency-Key`` header; a POST of a batch, ``{"signals": [...]}``, in which every item
carries its ``idempotency_key`` (the service stores each keyed submission at most once).
Waits grow exponentially with full jitter, up to ``max_backoff`` each; a ``Retry-After``
(seconds or an HTTP-date) is honoured instead; retrying ends after ``attempts`` attempts, or
when the next wait would end more than ``max_total_seconds`` after the first attempt began.
Whatever the last attempt gave (its answer, or the exception it raised) is what the client
gets, so it reports a final failure exactly as it would without retries::

    from quillmarsh.transports import BoundedTransport, RetryingTransport
    client = SignalServiceClient(url, token, transport=RetryingTransport(BoundedTransport(base_url=url)))

Each retry is one INFO record on the ``quillmarsh.transports`` logger (method, path, attempt,
reason, wait; never a header: they carry the token), and ``on_retry(attempt, reason, wait)``
is called before each wait.

``AsyncBoundedTransport`` and ``AsyncRetryingTransport`` are the same two for
``AsyncSignalServiceClient``: the first over an ``httpx.AsyncClient``, the second waiting with
``asyncio.sleep``; their ``post``/``get``/``request`` are coroutines and ``aclose()`` closes
them::

    from quillmarsh.transports import AsyncBoundedTransport, AsyncRetryingTransport
    transport = AsyncRetryingTransport(AsyncBoundedTransport(base_url=url))
    async with AsyncSignalServiceClient(url, token, transport=transport) as client:
        ...
"""

from __future__ import annotations

import dataclasses
import email.utils
import json
import math
import random as _random
import time
import zlib
from collections.abc import Callable, Iterable, Mapping
from datetime import UTC
from typing import Any

import httpx

from quillmarsh import _steps
from quillmarsh.logging_style import log_library_surface_event

__all__ = [
    "Answer",
    "AsyncBoundedTransport",
    "AsyncRetryingTransport",
    "BoundedTransport",
    "DEFAULT_MAX_ANSWER_BYTES",
    "DEFAULT_RETRY_STATUSES",
    "RetryingTransport",
    "is_safe_to_repeat",
]

DEFAULT_MAX_ANSWER_BYTES = 64 * 1024 * 1024
_PIECE = 64 * 1024  # the most a decoder may produce in one step
_MOST_LAYERS = 4  # content encodings stacked on one answer


@dataclasses.dataclass
class Answer:
    """What a transport hands back: the status, the decoded body, the headers."""

    status_code: int
    content: bytes
    headers: httpx.Headers


class _TooLarge(Exception):
    pass


class _Decoder:
    """The Content-Encoding layers of one answer, undone step by step with bounded output."""

    def __init__(self, content_encoding: str, limit: int):
        self.limit = limit
        self.size = 0
        self.pieces: list[bytes] = []
        codings = [c.strip().lower() for c in content_encoding.split(",") if c.strip()]
        codings = [c for c in codings if c != "identity"]
        if len(codings) > _MOST_LAYERS:
            raise httpx.DecodingError(f"{len(codings)} content encodings stacked on one answer")
        self.layers = [self._layer(c) for c in reversed(codings)]  # the last applied is undone first

    @staticmethod
    def _layer(coding: str) -> Any:
        if coding in ("gzip", "x-gzip"):
            return zlib.decompressobj(zlib.MAX_WBITS | 16)
        if coding == "deflate":
            return zlib.decompressobj(zlib.MAX_WBITS)
        raise httpx.DecodingError(f"unsupported content encoding {coding!r}")

    def feed(self, data: bytes, depth: int = 0) -> None:
        if depth == len(self.layers):
            self.size += len(data)
            if self.size > self.limit:
                raise _TooLarge
            self.pieces.append(data)
            return
        layer = self.layers[depth]
        try:
            while data:
                piece = layer.decompress(data, _PIECE)
                self.feed(piece, depth + 1)
                data = layer.unconsumed_tail
        except zlib.error as exc:
            raise httpx.DecodingError(f"corrupt encoded content: {exc}") from None

    def body(self) -> bytes:
        for depth, layer in enumerate(self.layers):
            try:
                self.feed(layer.flush(), depth + 1)
            except zlib.error as exc:
                raise httpx.DecodingError(f"corrupt encoded content: {exc}") from None
        return b"".join(self.pieces)


class _Bounded:
    """What both bounded transports hold: the limit, and the client given or the options of the
    one to build."""

    def __init__(
        self,
        client: Any = None,
        *,
        max_answer_bytes: int | None = None,
        total_timeout: float | None = None,
        **client_options: Any,
    ):
        if max_answer_bytes is None:
            max_answer_bytes = DEFAULT_MAX_ANSWER_BYTES
        if max_answer_bytes < 1:
            raise ValueError("max_answer_bytes must be at least 1")
        self.max_answer_bytes = max_answer_bytes
        self.total_timeout = total_timeout
        self._owned = client is None
        self._client = client
        self._client_options = client_options

    def _extensions(self, timeout: httpx.Timeout) -> dict[str, Any] | None:
        """Each phase's timeout no longer than what is left of ``total_timeout``, from now."""
        if self.total_timeout is None:
            return None
        whole = self.total_timeout
        return {
            "timeout": {
                phase: whole if limit is None else min(limit, whole) for phase, limit in timeout.as_dict().items()
            }
        }

    def _deadline(self) -> float | None:
        return None if self.total_timeout is None else time.monotonic() + self.total_timeout

    @staticmethod
    def _past(deadline: float | None) -> None:
        """A whole request's time is up: the answer came, but too slowly to wait for its end."""
        if deadline is not None and time.monotonic() > deadline:
            raise httpx.ReadTimeout("the answer took longer than the request's whole timeout")

    @staticmethod
    def _asking(headers: Any) -> httpx.Headers:
        asking = httpx.Headers(headers)
        asking.setdefault("Accept-Encoding", "gzip, deflate")  # only what these transports decode themselves
        return asking

    def _not_read(self) -> bytes:
        return f"answer not read: larger than {self.max_answer_bytes} bytes".encode()

    def request(self, method: str, url: str, *, content: Any = None, headers: Any = None) -> Any:
        raise NotImplementedError

    # post and get are request's: an answer, or for the async transport an awaitable of one.
    def post(self, url: str, *, content: Any = None, headers: Any = None) -> Any:
        return self.request("POST", url, content=content, headers=headers)

    def get(self, url: str, *, headers: Any = None) -> Any:
        return self.request("GET", url, headers=headers)


class _Reading:
    """One answer read and decoded up to the transport's limit, fed its raw pieces by a sync or
    an async loop."""

    def __init__(self, transport: _Bounded, response: httpx.Response, deadline: float | None):
        self.transport, self.response, self.deadline = transport, response, deadline
        self.decoder = _Decoder(response.headers.get("Content-Encoding", ""), transport.max_answer_bytes)
        self.too_large = False

    @property
    def read_already(self) -> bytes | None:
        """The whole raw answer when it was read already (httpx's MockTransport answers from
        memory, and its stream cannot be read again)."""
        return self.response.content if self.response.is_stream_consumed else None

    def feed(self, raw: bytes) -> bool:
        """Whether to go on reading."""
        self.transport._past(self.deadline)
        try:
            self.decoder.feed(raw)
        except _TooLarge:
            self.too_large = True
        return not self.too_large

    def answer(self) -> Answer:
        body = self.transport._not_read()
        if not self.too_large:
            try:
                body = self.decoder.body()
            except _TooLarge:
                pass
        return Answer(self.response.status_code, body, self.response.headers)


class BoundedTransport(_Bounded):
    """An ``httpx.Client`` (given, or built from ``client_options``) whose answers are read and
    decoded up to ``max_answer_bytes``; it has the ``post``/``get``/``request``/``close`` of
    a transport. Corrupt or unsupported encodings raise ``httpx.DecodingError``."""

    def __init__(
        self, client: httpx.Client | None = None, *, max_answer_bytes: int | None = None, **client_options: Any
    ):
        super().__init__(client, max_answer_bytes=max_answer_bytes, **client_options)

    @property
    def client(self) -> httpx.Client:
        """The httpx.Client, built on first use (so a URL the client refuses is never parsed here)."""
        client: httpx.Client | None = self._client
        if client is None:
            client = self._client = httpx.Client(**self._client_options)
        return client

    def request(self, method: str, url: str, *, content: Any = None, headers: Any = None) -> Answer:
        deadline, client = self._deadline(), self.client
        with client.stream(
            method, url, content=content, headers=self._asking(headers), extensions=self._extensions(client.timeout)
        ) as response:
            reading = _Reading(self, response, deadline)
            read = reading.read_already
            for raw in [read] if read is not None else response.iter_raw():
                if not reading.feed(raw):
                    break
            return reading.answer()

    def close(self) -> None:
        if self._owned and self._client is not None:
            self._client.close()


class AsyncBoundedTransport(_Bounded):
    """``BoundedTransport`` over an ``httpx.AsyncClient`` (given, or built from
    ``client_options`` on first use), for ``AsyncSignalServiceClient``: ``post``, ``get`` and
    ``request`` give awaitables, and ``aclose()`` closes the client it built."""

    def __init__(
        self, client: httpx.AsyncClient | None = None, *, max_answer_bytes: int | None = None, **client_options: Any
    ):
        super().__init__(client, max_answer_bytes=max_answer_bytes, **client_options)

    @property
    def client(self) -> httpx.AsyncClient:
        """The httpx.AsyncClient, built on first use (in the event loop that uses it)."""
        client: httpx.AsyncClient | None = self._client
        if client is None:
            client = self._client = httpx.AsyncClient(**self._client_options)
        return client

    async def request(self, method: str, url: str, *, content: Any = None, headers: Any = None) -> Answer:
        deadline, client = self._deadline(), self.client
        async with client.stream(
            method, url, content=content, headers=self._asking(headers), extensions=self._extensions(client.timeout)
        ) as response:
            reading = _Reading(self, response, deadline)
            if (read := reading.read_already) is not None:
                reading.feed(read)
            else:
                async for raw in response.aiter_raw():
                    if not reading.feed(raw):
                        break
            return reading.answer()

    async def aclose(self) -> None:
        if self._owned and self._client is not None:
            await self._client.aclose()


# Answers worth asking again: the request timed out at the service, the client is asked to
# slow down, or the service (or a proxy in front of it) failed for the moment. Not 501 or
# 505: the same request would meet the same refusal.
DEFAULT_RETRY_STATUSES = frozenset({408, 429, 500, 502, 503, 504})

# Failures of the network, not of the request: another attempt may well get through. Not
# LocalProtocolError, DecodingError, UnsupportedProtocol, InvalidURL, TooManyRedirects or
# ProxyError: each would fail the same way again.
_RETRIED_ERRORS = (ConnectionError, TimeoutError, httpx.TimeoutException, httpx.NetworkError, httpx.RemoteProtocolError)
_SAFE_METHODS = frozenset({"GET", "HEAD", "OPTIONS"})
_MOST_DOUBLINGS = 62  # backoff * 2**n is capped long before; this only keeps the float finite

SafetyRule = Callable[[str, str, Mapping[str, str], bytes | None], bool]
RetryObserver = Callable[[int, str, float], None]


def _header(headers: Any, name: str) -> str | None:
    """The value of header `name`, in any case, in whatever httpx takes as headers (a dict,
    pairs, httpx.Headers); None when absent or when `headers` is no such thing."""
    if headers is None:
        return None
    try:
        value: str | None = httpx.Headers(headers).get(name)
    except (TypeError, ValueError, AttributeError):
        return None
    return value


def _retry_after(response: Any, wall_clock: Callable[[], float]) -> float | None:
    """The seconds a response's ``Retry-After`` asks to wait (an HTTP-date in the past is 0),
    or None when it has none that can be read."""
    value = _header(getattr(response, "headers", None), "Retry-After")
    if value is None:
        return None
    value = value.strip()
    if value.isascii() and value.isdigit():
        return float(value)  # inf for absurdly many digits, which no budget admits
    try:
        when = email.utils.parsedate_to_datetime(value)
    except (TypeError, ValueError, IndexError, OverflowError):
        return None
    if when.tzinfo is None:  # an HTTP-date is GMT
        when = when.replace(tzinfo=UTC)
    return max(0.0, when.timestamp() - wall_clock())


def is_safe_to_repeat(method: str, path: str, headers: Mapping[str, str], body: bytes | None) -> bool:
    """Whether the service does the same whether a request arrives once or twice: a GET, HEAD
    or OPTIONS; a POST with a non-empty ``Idempotency-Key``; a POST of a batch
    ``{"signals": [...]}`` in which every item has a non-empty ``idempotency_key``."""
    del path  # the rule does not depend on the route
    method = method.upper()
    if method in _SAFE_METHODS:
        return True
    if method != "POST":
        return False
    key = _header(headers, "Idempotency-Key")
    if key is not None and key.strip():
        return True
    if not body:
        return False
    try:
        document = json.loads(body)
    except (ValueError, RecursionError):  # UnicodeDecodeError is a ValueError
        return False
    items = document.get("signals") if isinstance(document, dict) else None
    return isinstance(items, list) and all(
        isinstance(item, dict) and isinstance(item.get("idempotency_key"), str) and item["idempotency_key"].strip()
        for item in items
    )


class _Body:
    """A request body as sent on each attempt: bytes and text go again as they are; a stream
    goes again from where the first attempt began reading it; anything else only once."""

    def __init__(self, content: Any):
        self.content = content
        self.start: int | None = None
        if content is None or isinstance(content, (bytes, bytearray, memoryview, str)):
            self.resendable = True
            return
        seekable = getattr(content, "seekable", None)
        self.resendable = False
        if (
            callable(getattr(content, "seek", None))
            and callable(getattr(content, "read", None))
            and (seekable is None or seekable())
        ):
            try:
                self.start = content.tell() if callable(getattr(content, "tell", None)) else 0
            except (OSError, ValueError):  # io.UnsupportedOperation is both
                return
            self.resendable = True

    def rewind(self) -> bool:
        if self.start is None:
            return True
        try:
            self.content.seek(self.start)
        except (OSError, ValueError):
            return False
        return True

    def peek(self) -> bytes | None:
        """The bytes of the body, for deciding whether it may be sent again."""
        content = self.content
        if content is None or isinstance(content, bytes):
            return content
        if isinstance(content, str):
            return content.encode("utf-8")
        if isinstance(content, (bytearray, memoryview)):
            return bytes(content)
        # The client's observed body holds its bytes: they are read without reading the
        # stream, whose first read tells the client's observer the body went out, which it may
        # not have done (a connection refused before a byte of it was sent).
        held = getattr(content, "_body_bytes", None)
        if isinstance(held, bytes):
            return held
        if not self.rewind():
            return None
        try:
            data = content.read()
        except (OSError, ValueError):
            return None
        return data if isinstance(data, bytes) else None


def _sender(inner: Any, via: str, method: str, url: str, content: Any, headers: Any) -> Callable[[], Any]:
    """One attempt of the request through ``inner``'s ``via`` method; ``request`` falls back to
    ``post`` or ``get`` for an inner transport that has only those."""
    if via == "request":
        send = getattr(inner, "request", None)
        if send is not None:
            return lambda: send(method, url, content=content, headers=headers)
        if method == "POST":
            via = "post"
        elif method == "GET" and content is None:
            via = "get"
        else:
            raise ValueError(f"Unsupported HTTP method: {method}")
    if via == "post":
        return lambda: inner.post(url, content=content, headers=headers)
    return lambda: inner.get(url, headers=headers)


class _Retrying:
    """What both retrying transports share: their settings, and the decision after each attempt
    (whether to make another, after how long), announced as it is made."""

    _component = "RetryingTransport"  # in each retry's record

    def __init__(
        self,
        inner: Any,
        *,
        attempts: int = 4,
        backoff: float = 0.5,
        max_backoff: float = 8.0,
        max_total_seconds: float = 30.0,
        retry_statuses: Iterable[int] = DEFAULT_RETRY_STATUSES,
        sleep: Callable[[float], Any] = time.sleep,
        clock: Callable[[], float] = time.monotonic,
        wall_clock: Callable[[], float] = time.time,
        random: Callable[[], float] = _random.random,
        safe: SafetyRule | None = None,
        on_retry: RetryObserver | None = None,
    ):
        if isinstance(attempts, bool) or not isinstance(attempts, int) or attempts < 1:
            raise ValueError("attempts must be an integer of at least 1")
        for name, value in (("backoff", backoff), ("max_backoff", max_backoff)):
            if not (isinstance(value, (int, float)) and 0 <= value < math.inf):
                raise ValueError(f"{name} must be a finite number of seconds, at least 0")
        if not (isinstance(max_total_seconds, (int, float)) and max_total_seconds >= 0):
            raise ValueError("max_total_seconds must be a number of seconds, at least 0")
        self.inner = inner
        self.attempts = attempts
        self.backoff = float(backoff)
        self.max_backoff = float(max_backoff)
        self.max_total_seconds = float(max_total_seconds)
        self.retry_statuses = frozenset(retry_statuses)
        self.safe: SafetyRule = is_safe_to_repeat if safe is None else safe
        self.on_retry = on_retry
        self._sleep = sleep
        self._clock = clock
        self._wall_clock = wall_clock
        self._random = random

    # post, get and request: the retry flow, driven by the sync transport with blocking calls, by
    # the async one as an awaitable.
    def post(self, url: str, *, content: Any = None, headers: Any = None) -> Any:
        return self._run(self._flow("POST", url, content, headers, "post"))

    def get(self, url: str, *, headers: Any = None) -> Any:
        return self._run(self._flow("GET", url, None, headers, "get"))

    def request(self, method: str, url: str, *, content: Any = None, headers: Any = None) -> Any:
        return self._run(self._flow(method, url, content, headers, "request"))

    def _run(self, flow: _steps.Steps) -> Any:
        raise NotImplementedError

    @staticmethod
    def _attempt(send_once: Callable[[], Any]) -> Any:
        return send_once()

    def _flow(self, method: str, url: str, content: Any, headers: Any, via: str) -> _steps.Steps:
        """The attempts of one request, as steps: each attempt, and each wait before the next."""
        send_once = _sender(self.inner, via, method, url, content, headers)
        body = _Body(content)
        started = self._clock()
        attempt = 1
        while True:
            try:
                response = yield _steps.Call("_attempt", (send_once,))
            except _RETRIED_ERRORS as exc:
                wait = self._after(attempt, started, method, url, headers, body, error=exc)
                if wait is None:
                    raise
            else:
                wait = self._after(attempt, started, method, url, headers, body, response=response)
                if wait is None:
                    return response
            attempt += 1
            yield _steps.Call("_sleep", (wait,))

    def _after(
        self,
        attempt: int,
        started: float,
        method: str,
        url: str,
        headers: Any,
        body: _Body,
        *,
        response: Any = None,
        error: BaseException | None = None,
    ) -> float | None:
        """The wait before another attempt, announced, after attempt ``attempt`` answered
        ``response`` or raised one of ``_RETRIED_ERRORS`` (``error``); None when what it gave stands."""
        if error is not None:
            reason = type(error).__name__  # never its text, which may quote a header
        else:
            status = getattr(response, "status_code", None)
            if not (isinstance(status, int) and status in self.retry_statuses):
                return None
            reason = f"HTTP {status}"
        wait = self._retry_wait(attempt, response, started, method, url, headers, body)
        if wait is not None:
            self._announce(method, url, attempt + 1, reason, wait)
        return wait

    def _retry_wait(
        self, attempt: int, response: Any, started: float, method: str, url: str, headers: Any, body: _Body
    ) -> float | None:
        """The wait before the next attempt, or None when the last outcome stands. The cheap
        questions come first; the body is read last, and only for a request that may go again."""
        if attempt >= self.attempts or not body.resendable:
            return None
        wait = _retry_after(response, self._wall_clock) if response is not None else None
        if wait is None:
            ceiling = min(self.max_backoff, self.backoff * 2.0 ** min(attempt - 1, _MOST_DOUBLINGS))
            wait = self._random() * ceiling  # full jitter: clients failed together spread out most
        if not math.isfinite(wait) or self._clock() - started + wait > self.max_total_seconds:
            return None
        if not self.safe(method.upper(), url, headers if headers is not None else {}, body.peek()):
            return None
        return wait if body.rewind() else None

    def _announce(self, method: str, url: str, attempt: int, reason: str, wait: float) -> None:
        # INFO: a retry is the transport doing its job; what the last attempt gives reaches the
        # caller as the client's own result (or its WARNING for a transport failure).
        log_library_surface_event(
            "Request",
            "retry",
            sub_service="transports",
            component=self._component,
            metadata={
                "method": method,
                "path": url,
                "attempt": attempt,
                "attempts": self.attempts,
                "reason": reason,
                "wait_seconds": round(wait, 3),
            },
            source_function=f"{self._component}._send",
            source_file=__name__,
        )
        if self.on_retry is not None:
            self.on_retry(attempt, reason, wait)


class RetryingTransport(_Retrying):
    """A transport that sends a request again after a failure another attempt may not meet,
    when the request is safe to repeat; it has the ``post``/``get``/``request``/``close`` of
    a transport and passes each to ``inner``.

    ``attempts`` bounds the attempts (the first included); waits are drawn uniformly from 0 to
    ``backoff * 2**(n - 1)`` before the n-th retry, at most ``max_backoff``, unless the answer
    has a ``Retry-After``, which is honoured as it is; no retry is made whose wait would end
    more than ``max_total_seconds`` after the first attempt began. ``retry_statuses`` are the
    statuses asked again. ``safe(method, path, headers, body_bytes)`` replaces the rule of
    which requests may be repeated (``is_safe_to_repeat``); it is asked only when a retry is
    being decided. ``on_retry(attempt, reason, wait)`` is called before each wait, with the
    number of the attempt to come. ``sleep``, ``clock`` (monotonic), ``wall_clock`` (for an
    HTTP-date) and ``random`` (in [0, 1)) may be replaced, e.g. in tests.
    """

    def _run(self, flow: _steps.Steps) -> Any:
        return _steps.drive(self, flow)

    def close(self) -> None:
        close = getattr(self.inner, "close", None)
        if callable(close):
            close()


class AsyncRetryingTransport(_Retrying):
    """``RetryingTransport`` (the same settings, the same rules) for ``AsyncSignalServiceClient``:
    ``inner`` is an asynchronous transport (an ``httpx.AsyncClient``, an
    ``AsyncBoundedTransport``), ``post``, ``get`` and ``request`` give awaitables, ``sleep``
    (``asyncio.sleep`` unless replaced) is awaited, and ``aclose()`` closes ``inner``."""

    _component = "AsyncRetryingTransport"

    def __init__(self, inner: Any, *, sleep: Callable[[float], Any] | None = None, **options: Any):
        if sleep is None:
            import asyncio  # here: a synchronous program does not pay for importing it

            sleep = asyncio.sleep
        super().__init__(inner, sleep=sleep, **options)

    def _run(self, flow: _steps.Steps) -> Any:
        return _steps.adrive(self, flow)

    async def aclose(self) -> None:
        close = getattr(self.inner, "aclose", None)
        if callable(close):
            await close()
