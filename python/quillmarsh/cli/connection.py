"""Talking to the service: the client a command uses, and one line that says why a request
failed, naming its cause rather than its symptom."""

from __future__ import annotations

import http
from collections.abc import Callable
from typing import Any
from urllib.parse import urlsplit

from .errors import EXIT_FAILED, EXIT_OK, Reported, UsageError, one_line
from .output import Output
from .settings import Connection


def origin_of(base_url: str) -> str:
    """scheme://host[:port] of a URL: the transport resolves the client's paths, which
    already carry any path prefix of the base URL, against it."""
    try:
        parts = urlsplit(base_url)
    except ValueError:
        return base_url  # the client refuses it with its own message
    return f"{parts.scheme}://{parts.netloc}" if parts.scheme and parts.netloc else base_url


def build_client(conn: Connection, observer: Callable[..., Any] | None = None,
                 on_retry: Callable[..., Any] | None = None) -> Any:
    """A client over a transport that caps answers and, unless ``--retries 0``, retries what
    is safe to retry."""
    from quillmarsh.client import SignalClient
    from quillmarsh.transports import BoundedTransport, RetryingTransport

    return _built(conn, SignalClient, BoundedTransport, RetryingTransport, observer, on_retry)


def build_async_client(conn: Connection) -> Any:
    """The asynchronous client over the asynchronous twins of ``build_client``'s transports:
    the same origin, timeout, certificate checks, answer cap and retries."""
    from quillmarsh.async_client import AsyncSignalServiceClient
    from quillmarsh.transports import AsyncBoundedTransport, AsyncRetryingTransport

    return _built(conn, AsyncSignalServiceClient, AsyncBoundedTransport, AsyncRetryingTransport)


def _built(conn: Connection, client_type: Callable[..., Any], bounded: Callable[..., Any],
           retrying: Callable[..., Any], observer: Callable[..., Any] | None = None,
           on_retry: Callable[..., Any] | None = None) -> Any:
    origin = origin_of(conn.base_url)
    transport: Any = bounded(base_url=origin, timeout=conn.request_timeout,
                             verify=not origin.lower().startswith("http://"))
    if conn.retries > 0:
        transport = retrying(transport, attempts=conn.retries + 1, on_retry=on_retry)
    try:
        return client_type(conn.base_url, conn.token, timeout=conn.request_timeout, transport=transport,
                           transmission_observer=observer)
    except ValueError as exc:  # neither message repeats the token
        what = "token" if str(exc).startswith("the bearer token") else "base URL"
        raise UsageError(f"{what} refused: {one_line(exc)}") from None


# ---------------------------------------------------------------------------------------
# Why a request failed


def status_text(status_code: Any) -> str:
    """``502 Bad Gateway``; the bare value when it is no HTTP status."""
    try:
        return f"{status_code} {http.HTTPStatus(status_code).phrase}"
    except (ValueError, TypeError):
        return str(status_code)


def explanation(body: Any) -> str | None:
    """The service's own explanation of a refusal: ``details.message`` (or ``details`` as
    text, or the older ``detail``)."""
    if not isinstance(body, dict):
        return None
    details = body.get("details")
    message = details.get("message") if isinstance(details, dict) else details
    message = message or body.get("detail")
    return one_line(message) if message else None


def rejected(status_code: Any, reason: Any, body: Any) -> str:
    said = explanation(body)
    if status_code in (401, 403):
        head = f"the service refused the token (HTTP {status_text(status_code)}): check the token"
        return f"{head} ({said})" if said else head
    head = f"rejected by the service (HTTP {status_code}{' ' + one_line(reason) if reason else ''})"
    return f"{head}: {said}" if said else head


def unreadable(status_code: Any) -> str:
    return f"unreadable answer ({status_text(status_code)})"


def unreachable(base_url: str, reason: Any) -> str:
    import httpx

    if isinstance(reason, (httpx.TimeoutException, TimeoutError)):
        return f"no answer from {base_url} in time ({type(reason).__name__})"
    return f"cannot reach {base_url}: {one_line(reason)}"


def describe(exc: BaseException, base_url: str) -> str | None:
    """One line for a failure of the client, or None when it is a local refusal."""
    import httpx

    from quillmarsh import submit

    if isinstance(exc, submit.SubmissionRejectedError):
        return rejected(exc.status_code, exc.reason, exc.body)
    if isinstance(exc, submit.SignalClientResponseError):
        return unreadable(exc.status_code)
    if isinstance(exc, (ConnectionError, httpx.RequestError)):
        return unreachable(base_url, exc)
    # The era catalog could not be read: its failure is the cause of the refusal.
    if _is_catalog_failure(exc):
        cause = describe(exc.__cause__, base_url) or one_line(exc.__cause__)
        return f"cannot read the service's era catalog: {cause}"
    return None


def describe_result(result: Any, base_url: str) -> str:
    if result.status_code == 0:
        return unreachable(base_url, result.error)
    body = result.body
    if isinstance(body, dict) and "raw_body_preview" in body:
        return unreadable(result.status_code)
    return rejected(result.status_code, result.error, body)


def report(out: Output, client: Any, result: Any, render: Callable[[Any], Any]) -> int:
    """Print a result record; 0 when it reports success, else 1 with its cause on stderr."""
    out.record(result, render)
    if result.ok:
        return EXIT_OK
    out.error(describe_result(result, client._base_url))
    return EXIT_FAILED


def invoke(out: Output, client: Any, operation: str, *args: Any, where: str | None = None,
           explain: Callable[[BaseException], str] = one_line, **kwargs: Any) -> Any:
    """Call one operation of the client; report what it raises on one line (a refusal of the
    input prefixed by ``where`` and told by ``explain``) and end the command."""
    try:
        return getattr(client, operation)(*args, **kwargs)
    except Exception as exc:
        message = describe(exc, client._base_url)
        if message is not None:
            failure = exc.__cause__ if _is_catalog_failure(exc) else exc
            raise Reported(out.failure(message, _failure_document(failure))) from None
        if isinstance(exc, (ValueError, TypeError)):  # the client's own checks, before anything was sent
            raise Reported(out.failure(f"refused before sending: {where + ': ' if where else ''}{explain(exc)}"))
        raise


def _is_catalog_failure(exc: BaseException) -> bool:
    return isinstance(exc, ValueError) and "could not fetch /eras" in str(exc) and exc.__cause__ is not None


def _failure_document(exc: BaseException) -> dict[str, Any]:
    from quillmarsh import submit

    if isinstance(exc, submit.SubmissionRejectedError):
        return {"ok": False, "status_code": exc.status_code, "body": exc.body, "error": exc.reason}
    if isinstance(exc, submit.SignalClientResponseError):
        error, body = submit.SignalServiceClient._error_body_from_response_error(exc)
        return {"ok": False, "status_code": exc.status_code, "body": body, "error": error}
    return {"ok": False, "status_code": 0, "body": None, "error": one_line(exc)}
