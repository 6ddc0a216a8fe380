"""Talking to the service: the client a command uses, and one line that says why a request
failed, naming its cause rather than its symptom."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from quillmarsh.causes import describe as describe_outcome
from quillmarsh.config import Settings

from .errors import EXIT_FAILED, EXIT_OK, Reported, UsageError, one_line
from .output import Output


def build_client(conn: Settings) -> Any:
    """The SDK's client for the command's settings: answers capped and, unless ``--retries 0``,
    what is safe to retry retried."""
    from quillmarsh.client import SignalClient

    return _built(SignalClient, conn)


def build_async_client(conn: Settings) -> Any:
    """The asynchronous twin of ``build_client``'s client."""
    from quillmarsh.async_sdk import AsyncSignalClient

    return _built(AsyncSignalClient, conn)


def _built(client_type: Callable[..., Any], conn: Settings) -> Any:
    try:
        return client_type(conn.base_url, conn.token, timeout=conn.timeout, max_retries=conn.max_retries)
    except ValueError as exc:  # neither message repeats the token
        what = "token" if str(exc).startswith("the bearer token") else "base URL"
        raise UsageError(f"{what} refused: {one_line(exc)}") from None


# ---------------------------------------------------------------------------------------
# Why a request failed


def describe(exc: BaseException, base_url: str) -> str | None:
    """One line for a failure of the client, or None when it is a local refusal."""
    from quillmarsh import submit
    from quillmarsh.errors import EraCatalogUnavailable

    if isinstance(exc, (submit.SubmissionRejectedError, submit.SignalClientResponseError, ConnectionError,
                        EraCatalogUnavailable)) or type(exc).__module__.startswith("httpx"):
        return describe_outcome(exc, base_url=base_url)
    return None


def describe_result(result: Any, base_url: str) -> str:
    return describe_outcome(result, base_url=base_url)


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
    from quillmarsh.errors import EraCatalogUnavailable

    try:
        return getattr(client, operation)(*args, **kwargs)
    except Exception as exc:
        message = describe(exc, client._base_url)
        if message is not None:
            failure = exc.__cause__ if isinstance(exc, EraCatalogUnavailable) and exc.__cause__ else exc
            raise Reported(out.failure(message, _failure_document(failure))) from None
        if isinstance(exc, (ValueError, TypeError)):  # the client's own checks, before anything was sent
            raise Reported(out.failure(f"refused before sending: {where + ': ' if where else ''}{explain(exc)}"))
        raise


def _failure_document(exc: BaseException) -> dict[str, Any]:
    from quillmarsh import submit

    if isinstance(exc, submit.SubmissionRejectedError):
        return {"ok": False, "status_code": exc.status_code, "body": exc.body, "error": exc.reason}
    if isinstance(exc, submit.SignalClientResponseError):
        error, body = submit.SignalServiceClient._error_body_from_response_error(exc)
        return {"ok": False, "status_code": exc.status_code, "body": body, "error": error}
    return {"ok": False, "status_code": 0, "body": None, "error": one_line(exc)}
