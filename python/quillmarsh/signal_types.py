"""Result records returned by the signal service client.

Every public operation of ``quillmarsh.submit.SignalServiceClient`` answers
with one of these records instead of raising for rejections, malformed
responses and transport failures. Records are built by keyword only.

Conventions shared by all records:

* ``status_code`` is the HTTP status of the service's answer, or ``0`` when
  no HTTP response was received (a transport failure).
* ``body`` is the service's JSON object, a dict the client built to describe
  a failure, or ``None``.
* ``error`` is ``None`` on success, otherwise the failure's text (a value the
  service sent is kept as it was sent).
* ``ok`` is true when ``error`` is ``None`` and ``status_code`` is a 2xx int; a
  record's repr shows it first.
* ``replayed`` (a submission, an item of a batch) is True when the service answered with the
  submission it had already stored under the same idempotency key, False when it stored a new
  one, None when that is not known: the SDK faces (``SignalClient``, ``AsyncSignalClient``)
  read it from the answer, the raw client leaves it None.

Identifier, status, metric and failure fields hold whatever the service's body
held under that name, or ``None``.

Records are immutable, except ``BatchSubmitItemResult.index``: a batch posted
in chunks is answered per chunk, and the client shifts each item's index to
its position in the whole batch after the record is built.
``BatchSubmitResult.results`` is the very list it was given, so those shifts
are visible through it.
"""

from __future__ import annotations

from dataclasses import dataclass, fields
from typing import Any

__all__ = ["BatchSubmitItemResult", "BatchSubmitResult", "StatusResult", "SubmissionListResult", "SubmitResult"]


def _is_ok(status_code: Any, error: Any) -> bool:
    return (
        error is None
        and isinstance(status_code, int)
        and not isinstance(status_code, bool)
        and 200 <= status_code < 300
    )


_SHOWN_CHARACTERS = 80


def _shown(value: Any) -> str:
    """``repr(value)``, or a summary of it when that would be long: a batch of 100 signals
    answers with a body of about a hundred kilobytes."""
    text = repr(value)
    if len(text) <= _SHOWN_CHARACTERS:
        return text
    if isinstance(value, (dict, list, tuple)):
        return f"<{type(value).__name__} of {len(value)}>"
    return text[: _SHOWN_CHARACTERS - 1] + "\u2026"


class _OkMixin:
    __slots__ = ()

    @property
    def ok(self) -> bool:
        """True when no error was reported and the status is 2xx."""
        return _is_ok(self.status_code, self.error)  # type: ignore[attr-defined]

    def __repr__(self) -> str:
        shown = ", ".join(f"{f.name}={_shown(getattr(self, f.name))}" for f in fields(self))  # type: ignore[arg-type]
        return f"{type(self).__name__}(ok={self.ok}, {shown})"


@dataclass(kw_only=True, slots=True, frozen=True, repr=False)
class SubmitResult(_OkMixin):
    """Outcome of one signal or strategy submission."""

    status_code: int
    body: Any
    submission_id: Any
    signal_pool_id: Any
    strategy_pool_id: Any
    strategy_signal_pool: Any
    error: Any
    replayed: bool | None = None


@dataclass(kw_only=True, slots=True, frozen=True, repr=False)
class StatusResult(_OkMixin):
    """A submission's status as reported by the service.

    The fields after ``error`` are filled only from a successful status
    answer; they default to ``None``.
    """

    status_code: int
    body: Any
    status: Any
    signal_pool_id: Any
    strategy_pool_id: Any
    strategy_signal_pool: Any
    error: Any
    is_stats: Any = None
    payment: Any = None
    rejection_reason: Any = None
    is_correlation: Any = None
    agent_is_correlation: Any = None
    is_pnl_mi: Any = None
    agent_is_pnl_mi: Any = None
    failure_reason: Any = None
    failure_detail: Any = None
    failure_message: Any = None


@dataclass(kw_only=True, slots=True, repr=False)
class BatchSubmitItemResult(_OkMixin):
    """Outcome of one submission inside a batch.

    ``index`` is the submission's position in the batch; it may be
    reassigned after construction (the only mutable field of any record).
    """

    index: Any
    status_code: int
    body: Any
    submission_id: Any
    signal_pool_id: Any
    strategy_pool_id: Any
    strategy_signal_pool: Any
    error: Any
    replayed: bool | None = None


@dataclass(kw_only=True, slots=True, frozen=True, repr=False)
class BatchSubmitResult(_OkMixin):
    """Outcome of a whole batch: counts and per-item results.

    ``results`` is kept as the very list object passed in (never copied).
    """

    status_code: int
    body: Any
    accepted: int
    failed: int
    results: list[BatchSubmitItemResult]
    error: Any

    @property
    def replayed(self) -> int:
        """How many items the service answered as replays of submissions it had stored."""
        return sum(1 for item in self.results if getattr(item, "replayed", None) is True)


@dataclass(kw_only=True, slots=True, frozen=True, repr=False)
class SubmissionListResult(_OkMixin):
    """A page of submissions as listed by the service."""

    status_code: int
    body: Any
    submissions: list[Any]
    error: Any
