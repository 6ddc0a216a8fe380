"""The transports ``SignalClient`` and ``AsyncSignalClient`` build: answers bounded, retries
under the safe-to-repeat rule, a pool the local service serves, paths resolved against the
bare origin of the base URL (the raw client's paths already carry any path prefix), and each
answer's headers noted for the operation that made the request (how a replay is told).

The pool: ``DEFAULT_MAX_CONNECTIONS`` (32) connections per client. The local service holds
thousands of connections at once, so many clients (agents and the command line) fit beside
each other without a refusal; on loopback, and against a service whose own workers are few,
more connections only queue at the service. A request waiting for a free connection waits as
long as it takes (no pool timeout): the wait is the client's own queue, not a failure of the
service, and ``timeout`` applies once the request is on its way.
"""

from __future__ import annotations

import contextvars
from typing import Any
from urllib.parse import urlsplit

import httpx

from quillmarsh import transports

DEFAULT_MAX_CONNECTIONS = 32

# The headers of each answer the current operation received, in order; None outside one.
_answers: contextvars.ContextVar[list[Any] | None] = contextvars.ContextVar("quillmarsh_answers", default=None)


def answers_noted() -> tuple[list[Any], contextvars.Token[list[Any] | None]]:
    """Start collecting the headers of the answers received from here on (in the current thread,
    or the current task and the tasks it starts): the list, and the token ``stop_noting`` takes."""
    answers: list[Any] = []
    return answers, _answers.set(answers)


def stop_noting(token: contextvars.Token[list[Any] | None]) -> None:
    _answers.reset(token)


def _note(response: Any) -> Any:
    answers = _answers.get()
    if answers is not None:
        answers.append(getattr(response, "headers", None))
    return response


def origin_of(base_url: str) -> str:
    """scheme://host[:port] of a URL."""
    try:
        parts = urlsplit(base_url)
    except ValueError:
        return base_url  # the raw client refuses it with its own message
    return f"{parts.scheme}://{parts.netloc}" if parts.scheme and parts.netloc else base_url


def _client_options(base_url: str, timeout: httpx.Timeout, max_connections: int) -> dict[str, Any]:
    origin = origin_of(base_url)
    return {
        "base_url": origin,
        "timeout": timeout,
        "verify": not origin.lower().startswith("http://"),
        "limits": httpx.Limits(max_connections=max_connections, max_keepalive_connections=max_connections),
    }


class _Noting:
    """A transport that notes the headers of each answer of ``inner``."""

    def __init__(self, inner: Any) -> None:
        self.inner = inner

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.inner!r})"


class NotingTransport(_Noting):
    def post(self, url: str, *, content: Any = None, headers: Any = None) -> Any:
        return _note(self.inner.post(url, content=content, headers=headers))

    def get(self, url: str, *, headers: Any = None) -> Any:
        return _note(self.inner.get(url, headers=headers))

    def request(self, method: str, url: str, *, content: Any = None, headers: Any = None) -> Any:
        return _note(self.inner.request(method, url, content=content, headers=headers))

    def close(self) -> None:
        close = getattr(self.inner, "close", None)
        if callable(close):
            close()


class AsyncNotingTransport(_Noting):
    async def post(self, url: str, *, content: Any = None, headers: Any = None) -> Any:
        return _note(await self.inner.post(url, content=content, headers=headers))

    async def get(self, url: str, *, headers: Any = None) -> Any:
        return _note(await self.inner.get(url, headers=headers))

    async def request(self, method: str, url: str, *, content: Any = None, headers: Any = None) -> Any:
        return _note(await self.inner.request(method, url, content=content, headers=headers))

    async def aclose(self) -> None:
        close = getattr(self.inner, "aclose", None)
        if callable(close):
            await close()


def build(
    base_url: str,
    *,
    asynchronous: bool,
    transport: Any,
    timeout: httpx.Timeout,
    total_timeout: float | None,
    max_retries: int,
    max_answer_bytes: int | None,
    max_connections: int,
    on_retry: Any,
) -> Any:
    """The transport of a face: ``transport`` (the caller's own) or a bounded one, retrying
    unless ``max_retries`` is 0, noting its answers."""
    retrying, noting = (
        (transports.AsyncRetryingTransport, AsyncNotingTransport)
        if asynchronous
        else (transports.RetryingTransport, NotingTransport)
    )
    if transport is None and asynchronous:
        from quillmarsh.aio_transport import AiohttpTransport

        options = _client_options(base_url, timeout, max_connections)
        transport = AiohttpTransport(
            options["base_url"],
            timeout=timeout,
            max_answer_bytes=max_answer_bytes,
            max_connections=max_connections,
            verify=options["verify"],
            total_timeout=total_timeout,
        )
    elif transport is None:
        transport = transports.BoundedTransport(
            max_answer_bytes=max_answer_bytes,
            total_timeout=total_timeout,
            **_client_options(base_url, timeout, max_connections),
        )
    if max_retries > 0:
        transport = retrying(transport, attempts=max_retries + 1, on_retry=on_retry)
    return noting(transport)
