"""Talking to the service through the SDK: the client a command uses, and one line that says
why a call failed (``quillmarsh.describe``), naming its cause rather than its symptom."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

from quillmarsh import SignalClientResponseError, SubmissionRejectedError, describe
from quillmarsh.config import Settings
from quillmarsh.errors import EraCatalogUnavailable

from .errors import EXIT_FAILED, EXIT_OK, Reported, UsageError, one_line
from .output import Output, jsonable


def client_for(conn: Settings) -> Any:
    """The SDK's client for the command's settings (retries, bounded answers, the origin)."""
    from quillmarsh import SignalClient

    return _built(SignalClient, conn)


def async_client_for(conn: Settings) -> Any:
    """The asynchronous twin of ``client_for``'s client."""
    from quillmarsh import AsyncSignalClient

    return _built(AsyncSignalClient, conn)


def _built(client_type: Callable[..., Any], conn: Settings) -> Any:
    try:
        return client_type(conn.base_url, conn.token, timeout=conn.timeout, max_retries=conn.max_retries)
    except (ValueError, TypeError) as exc:  # neither message repeats the token
        what = "token" if str(exc).startswith("the bearer token") else "base URL"
        raise UsageError(f"{what} refused: {one_line(exc)}") from None


def failure_document(exc: BaseException) -> dict[str, Any]:
    """The JSON document of a call that raised: what the service answered, when it did."""
    cause = exc.__cause__ if isinstance(exc, EraCatalogUnavailable) and exc.__cause__ is not None else exc
    error = describe(cause)
    if isinstance(cause, SubmissionRejectedError):
        return {"ok": False, "status_code": cause.status_code, "body": cause.body, "error": cause.reason}
    if isinstance(cause, SignalClientResponseError):
        return {
            "ok": False,
            "status_code": cause.status_code,
            "body": {"raw_body_preview": cause.raw_body_preview},
            "error": error,
        }
    return {"ok": False, "status_code": 0, "body": None, "error": error}


def is_local_refusal(exc: BaseException) -> bool:
    """The client's own checks refused the input before anything was sent."""
    return isinstance(exc, (ValueError, TypeError)) and not isinstance(exc, EraCatalogUnavailable)


def call(
    out: Output,
    base_url: str,
    operation: Callable[[], Any],
    *,
    where: str | None = None,
    explain: Callable[[BaseException], Sequence[str]] | None = None,
    lazy: bool = False,
) -> Any:
    """Call one operation of the client; report what it raises (every problem of a refused
    input, each prefixed by ``where`` and told by ``explain``) and end the command. ``lazy``:
    the operation gives an iterator, whose items are yielded with the same reporting."""
    if lazy:
        return _reported_items(out, base_url, operation)
    try:
        return operation()
    except Exception as exc:
        if not is_local_refusal(exc):
            raise Reported(out.failure(describe(exc, base_url=base_url), failure_document(exc))) from None
        problems = explain(exc) if explain is not None else [one_line(exc)]
        prefix = f"{where}: " if where else ""
        if out.format == "json":
            out.json(
                {"ok": False, "status_code": 0, "body": None, "error": "; ".join(problems), "problems": list(problems)}
            )
        for problem in problems:
            out.error(f"refused before sending: {prefix}{problem}")
        raise Reported(EXIT_FAILED) from None


def _reported_items(out: Output, base_url: str, operation: Callable[[], Any]) -> Any:
    try:
        yield from operation()
    except Exception as exc:
        raise Reported(out.failure(describe(exc, base_url=base_url), failure_document(exc))) from None


def unreadable(result: Any) -> bool:
    """The service answered with something that is not JSON (its first bytes are in the body)."""
    return isinstance(result.body, dict) and "raw_body_preview" in result.body


def report(out: Output, base_url: str, result: Any, title: str, fields: Sequence[tuple[str, Any]]) -> int:
    """Print a result record; 0 when it reports success, else 1 with its cause on stderr. An
    unreadable answer is described, not pasted (its first bytes stay in the body)."""
    if unreadable(result):
        cause = describe(result, base_url=base_url)
        fields = [(name, cause if name == "error" else value) for name, value in fields]
        out.record(title, fields, {**jsonable(result), "error": cause})
    else:
        out.record(title, fields, result)
    if result.ok:
        return EXIT_OK
    out.error(describe(result, base_url=base_url))
    return EXIT_FAILED
