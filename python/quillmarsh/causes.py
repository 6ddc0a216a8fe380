"""``describe(outcome)``: one line that names the cause of any result record or exception the
client gives, rather than its symptom: a refused token, a service that cannot be reached or
answered unreadably, the service's own explanation of a rejection, a local check's refusal.
The command line prints exactly these lines."""

from __future__ import annotations

import http
from typing import Any

__all__ = ["describe", "one_line"]


def one_line(value: Any) -> str:
    """A value's text on one line (a service's message may hold line breaks)."""
    return " ".join(str(value).split()) or type(value).__name__


def _status_text(status_code: Any) -> str:
    """``502 Bad Gateway``; the bare value when it is no HTTP status."""
    try:
        return f"{status_code} {http.HTTPStatus(status_code).phrase}"
    except (ValueError, TypeError):
        return str(status_code)


def _explanation(body: Any) -> str | None:
    """The service's own explanation of a refusal: ``details.message`` (or ``details`` as
    text, or the older ``detail``)."""
    if not isinstance(body, dict):
        return None
    details = body.get("details")
    message = details.get("message") if isinstance(details, dict) else details
    message = message or body.get("detail")
    return one_line(message) if message else None


def _rejected(status_code: Any, reason: Any, body: Any) -> str:
    said = _explanation(body)
    if status_code in (401, 403):
        head = f"the service refused the token (HTTP {_status_text(status_code)}): check the token"
        return f"{head} ({said})" if said else head
    head = f"rejected by the service (HTTP {status_code}{' ' + one_line(reason) if reason else ''})"
    return f"{head}: {said}" if said else head


def _unreachable(reason: Any, base_url: str | None) -> str:
    import httpx

    where = base_url or "the service"
    if isinstance(reason, (httpx.TimeoutException, TimeoutError)):
        return f"no answer from {where} in time ({type(reason).__name__})"
    return f"cannot reach {where}: {one_line(reason)}"


def _unreadable(status_code: Any) -> str:
    return f"unreadable answer ({_status_text(status_code)})"


def _accepted(result: Any) -> str:
    from quillmarsh.signal_types import BatchSubmitItemResult, BatchSubmitResult, StatusResult, SubmissionListResult

    if isinstance(result, BatchSubmitResult):
        total = len(result.results)
        replayed = result.replayed
        return f"accepted {result.accepted} of {total}" + (f" ({replayed} already stored)" if replayed else "")
    if isinstance(result, StatusResult):
        return f"status {result.status}"
    if isinstance(result, SubmissionListResult):
        count = len(result.submissions)
        return f"{count} submission{'' if count == 1 else 's'}"
    if isinstance(result, BatchSubmitItemResult) or hasattr(result, "submission_id"):
        if getattr(result, "replayed", None) is True:
            return f"already stored (same content): {result.submission_id}"
        return f"accepted: {result.submission_id}"
    return f"answered {_status_text(result.status_code)}"


def _of_result(result: Any, base_url: str | None) -> str:
    if result.ok:
        return _accepted(result)
    if result.status_code == 0:
        return _unreachable(result.error, base_url)
    body = result.body
    if isinstance(body, dict) and "raw_body_preview" in body:
        return _unreadable(result.status_code)
    return _rejected(result.status_code, result.error, body)


def _of_exception(exc: BaseException, base_url: str | None) -> str:
    import httpx

    from quillmarsh import submit
    from quillmarsh.errors import ClientClosedError, ConfigError, EraCatalogUnavailable, ListingError

    if isinstance(exc, submit.SubmissionRejectedError):
        return _rejected(exc.status_code, exc.reason, exc.body)
    if isinstance(exc, submit.SignalClientResponseError):
        return _unreadable(exc.status_code)
    if isinstance(exc, (ConnectionError, httpx.RequestError, TimeoutError)):
        return _unreachable(exc, base_url)
    if isinstance(exc, EraCatalogUnavailable):
        cause = exc.__cause__
        return (
            f"cannot read the service's era catalog: {describe(cause, base_url=base_url) if cause else one_line(exc)}"
        )
    if isinstance(exc, ListingError):
        return one_line(exc)
    if isinstance(exc, (ClientClosedError, ConfigError)):
        return one_line(exc)
    if isinstance(exc, (ValueError, TypeError)):  # the client's own checks, before anything was sent
        return f"refused before sending: {one_line(exc)}"
    return f"unexpected {type(exc).__name__}: {one_line(exc)}"


def describe(outcome: Any, *, base_url: str | None = None) -> str:
    """One line for a result record or an exception of the client; ``base_url`` names the
    service in "cannot reach ..." lines (else "the service")."""
    if isinstance(outcome, BaseException):
        return _of_exception(outcome, base_url)
    if hasattr(outcome, "status_code") and hasattr(outcome, "error"):
        return _of_result(outcome, base_url)
    raise TypeError(f"describe() takes a result record or an exception, not {type(outcome).__name__}")
