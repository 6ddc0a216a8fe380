"""Backtest timings recorded at simulation, consumed at submission.

When a graph is simulated, the simulation side records how long its backtest
took (``record_backtest_timing``). A submission of that graph must find such
a record (``require_recorded_backtest_timing(s)``), takes it
(``consume_recorded_backtest_timing``) and has it judged against the era's
budget for its data frequency (``assess_client_backtest_timing``).

Registry: process-wide, guarded by a lock so that any thread may record and
consume. A graph is identified by its canonical JSON text
(``json.dumps(graph, sort_keys=True, separators=(",", ":"))``): dicts with
the same content in another key order are the same graph. A graph that
cannot be serialised that way, and ``None``, are refused with ``ValueError``
by the recording side; looking them up answers "nothing recorded".

Uses: one recording entitles one submission. Each ``record_backtest_timing``
call for a graph adds one use and replaces the stored figures with the new
ones; each ``consume_recorded_backtest_timing`` takes one use and returns the
latest figures, and the entry disappears with its last use. A batch that
holds the same graph twice therefore needs it recorded twice, and
``require_recorded_backtest_timings`` checks exactly that.

Budgets per data frequency (the frequency text is matched after trimming,
case-insensitively):

    frequency names           per-row budget   whole-run budget
    1d, d, day, daily         0.50 s           5 s + 0.050 s per row
    1h, h, hour, hourly       0.25 s           5 s + 0.010 s per row
    5m, 5min                  0.10 s           5 s + 0.004 s per row
    1m, 1min, minute          0.05 s           5 s + 0.002 s per row

The per-row budget bounds the slowest single row (``max_row_elapsed_seconds``);
the whole-run budget bounds the total (``elapsed_seconds``) and grows with
the number of rows. A value equal to its budget is within it. The row budget
is checked first, so a run over both budgets reports ``"row budget"``; a run
over the whole budget only reports ``"whole budget"``; an accepted run
reports ``"within budget"``. An unknown frequency (or one that is not a str)
is refused with reason ``"unknown frequency"`` and both budgets ``None``.
"""

from __future__ import annotations

import json
import math
import threading
from collections.abc import Iterable
from dataclasses import dataclass, fields
from typing import Any

__all__ = [
    "BacktestTimingAssessment",
    "RecordedBacktestTiming",
    "UseLedger",
    "assess_client_backtest_timing",
    "clear_recorded_backtest_timings",
    "consume_recorded_backtest_timing",
    "record_backtest_timing",
    "require_recorded_backtest_timing",
    "require_recorded_backtest_timings",
]

_REQUIRED_MESSAGE = (
    "recorded backtest timing is required before submit{where}; "
    "record the graph's backtest run with quillmarsh.record_backtest_timing(graph, row_count=..., "
    "elapsed_seconds=..., max_row_elapsed_seconds=...) before submitting it"
)

# name -> (per-row budget, fixed overhead, allowance per row), all in seconds
_BUDGET_TABLE: tuple[tuple[tuple[str, ...], float, float, float], ...] = (
    (("1d", "d", "day", "daily"), 0.5, 5.0, 0.05),
    (("1h", "h", "hour", "hourly"), 0.25, 5.0, 0.01),
    (("5m", "5min"), 0.1, 5.0, 0.004),
    (("1m", "1min", "minute"), 0.05, 5.0, 0.002),
)


def _budgets_by_name() -> dict[str, tuple[float, float, float, dict[int, float]]]:
    """name -> (per-row budget, fixed overhead, allowance per row, whole
    budgets worked out so far by row count); the names of a row share one."""
    budgets = {}
    for names, per_row, overhead, allowance in _BUDGET_TABLE:
        entry = (per_row, overhead, allowance, {})
        budgets.update(dict.fromkeys(names, entry))
    return budgets


_BUDGETS = _budgets_by_name()
_KEPT_WHOLE_BUDGETS = 1024  # row counts remembered per budget row


@dataclass(frozen=True, slots=True)
class RecordedBacktestTiming:
    """Figures of one simulated backtest run."""

    row_count: int
    elapsed_seconds: float
    max_row_elapsed_seconds: float


@dataclass(frozen=True, slots=True)
class BacktestTimingAssessment:
    """Verdict of a backtest run against its frequency's budgets."""

    accepted: bool
    reason: str
    elapsed_seconds: float
    max_row_elapsed_seconds: float
    whole_budget_seconds: float | None
    per_row_budget_seconds: float | None


def _slot_setters(cls: type) -> tuple[Any, ...]:
    """Setters of a frozen slots dataclass's fields, in field order.

    ``_new(cls)`` followed by one setter per field builds the same object as
    ``cls(...)`` without going through the frozen ``__setattr__`` guard.
    """
    return tuple(getattr(cls, field.name).__set__ for field in fields(cls))


_new = object.__new__
_set_row_count, _set_elapsed, _set_max_row = _slot_setters(RecordedBacktestTiming)
(_set_accepted, _set_reason, _set_assessed_elapsed, _set_assessed_max_row, _set_whole_budget, _set_per_row_budget) = (
    _slot_setters(BacktestTimingAssessment)
)

_lock = threading.Lock()
# graph key -> [latest record, remaining uses]
_registry: dict[str | tuple[str], list[Any]] = {}


def _graph_key(graph: Any) -> str | tuple[str]:
    """The registry key of ``graph``: the text itself for an expression string,
    a 1-tuple holding the canonical JSON text for anything else.

    Two graphs get the same key exactly when their canonical JSON texts are
    equal: a string's JSON text is its quoted text, and no other value's JSON
    text starts with a quote, so the two kinds of key never meet.
    """
    if type(graph) is str:
        return graph
    if isinstance(graph, str):
        return str.__str__(graph)  # JSON writes a str subclass as its text
    if graph is None:
        raise ValueError("graph is required to key a backtest timing, got None")
    try:
        return (json.dumps(graph, sort_keys=True, separators=(",", ":")),)
    except (TypeError, ValueError, RecursionError) as exc:
        raise ValueError(f"graph must be JSON-serialisable to key its backtest timing: {exc}") from exc


def _lookup_key(graph: Any) -> str | tuple[str] | None:
    try:
        return _graph_key(graph)
    except ValueError:
        return None


_PLAIN_NUMBERS = frozenset((int, float))
_FLOAT_MAX = 1.7976931348623157e308


def _plain_figures(row_count: Any, elapsed: Any, max_row: Any) -> bool:
    """True for plainly valid figures (exact int and float types), which
    ``_validate_figures`` accepts; False leaves the verdict to it."""
    return (
        type(row_count) is int
        and row_count > 0
        and type(elapsed) in _PLAIN_NUMBERS
        and type(max_row) in _PLAIN_NUMBERS
        # NaN fails, infinity fails and a huge int fails (isfinite raises).
        and 0 <= max_row <= elapsed <= _FLOAT_MAX
    )


def _validate_figures(row_count: Any, elapsed: Any, max_row: Any) -> None:
    if isinstance(row_count, bool) or not isinstance(row_count, int) or row_count <= 0:
        raise ValueError(f"row_count must be a positive int, got {row_count!r}")
    for name, value in (("elapsed_seconds", elapsed), ("max_row_elapsed_seconds", max_row)):
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) or value < 0:
            raise ValueError(f"{name} must be a finite non-negative number, got {value!r}")
    if max_row > elapsed:
        raise ValueError(f"max_row_elapsed_seconds ({max_row!r}) must not exceed elapsed_seconds ({elapsed!r})")


def record_backtest_timing(
    graph: Any, *, row_count: int, elapsed_seconds: float, max_row_elapsed_seconds: float
) -> RecordedBacktestTiming:
    """Record one simulated run of ``graph``: store its figures, add one use."""
    key = graph if type(graph) is str else _graph_key(graph)
    if not _plain_figures(row_count, elapsed_seconds, max_row_elapsed_seconds):
        _validate_figures(row_count, elapsed_seconds, max_row_elapsed_seconds)
    record = _new(RecordedBacktestTiming)
    _set_row_count(record, row_count)
    _set_elapsed(record, elapsed_seconds)
    _set_max_row(record, max_row_elapsed_seconds)
    with _lock:
        entry = _registry.get(key)
        _registry[key] = [record, 1 if entry is None else entry[1] + 1]
    return record


def consume_recorded_backtest_timing(graph: Any) -> RecordedBacktestTiming | None:
    """Take one use of the graph's record; None when nothing is recorded."""
    key = graph if type(graph) is str else _lookup_key(graph)
    with _lock:
        entry = _registry.get(key) if key is not None else None
        if entry is None:
            return None
        entry[1] -= 1
        if entry[1] <= 0:
            del _registry[key]
        return entry[0]


def require_recorded_backtest_timing(graph: Any) -> RecordedBacktestTiming:
    """Return the graph's latest record without using it; raise if none."""
    key = _lookup_key(graph)
    with _lock:
        entry = _registry.get(key) if key is not None else None
    if entry is None:
        raise ValueError(_REQUIRED_MESSAGE.format(where=""))
    return entry[0]


def require_recorded_backtest_timings(graphs: Iterable[Any]) -> tuple[RecordedBacktestTiming, ...]:
    """Check that every submission of a batch has a use of its own.

    ``graphs`` lists the batch's graphs in order (None for a submission
    without one). A graph listed n times needs at least n recorded uses.
    Nothing is consumed. The error names the first submission (0-based
    index) left without a use. Returns the records in batch order.
    """
    if isinstance(graphs, (str, bytes, dict)) or not isinstance(graphs, Iterable):
        raise ValueError("graphs must be a list of graphs")
    graphs = list(graphs)
    keys = [_lookup_key(graph) for graph in graphs]
    needed: dict[str | tuple[str] | None, int] = {}
    records: list[RecordedBacktestTiming] = []
    with _lock:
        for index, key in enumerate(keys):
            count = needed[key] = needed.get(key, 0) + 1
            entry = _registry.get(key) if key is not None else None
            if entry is None or entry[1] < count:
                raise ValueError(_REQUIRED_MESSAGE.format(where=f" for submission {index}"))
            records.append(entry[0])
    return tuple(records)


def assess_client_backtest_timing(
    *, frequency: Any, row_count: int, elapsed_seconds: float, max_row_elapsed_seconds: float
) -> BacktestTimingAssessment:
    """Judge a run against the budgets of ``frequency`` (see module table).

    Raises ``ValueError`` only for invalid figures; an unknown frequency is a
    refusal, not an error.
    """
    if not _plain_figures(row_count, elapsed_seconds, max_row_elapsed_seconds):
        _validate_figures(row_count, elapsed_seconds, max_row_elapsed_seconds)
    # Table names are trimmed and lower case, so a name as given is found as is.
    budget = _BUDGETS.get(frequency) if type(frequency) is str else None
    if budget is None and isinstance(frequency, str):
        budget = _BUDGETS.get(frequency.strip().lower())
    if budget is None:
        accepted, reason, whole, per_row = False, "unknown frequency", None, None
    else:
        per_row, overhead, allowance, wholes = budget
        plain_count = type(row_count) is int
        whole = wholes.get(row_count) if plain_count else None
        if whole is None:
            whole = round(overhead + allowance * row_count, 6)
            if plain_count and len(wholes) < _KEPT_WHOLE_BUDGETS:
                wholes[row_count] = whole
        if max_row_elapsed_seconds > per_row:
            accepted, reason = False, "row budget"
        elif elapsed_seconds > whole:
            accepted, reason = False, "whole budget"
        else:
            accepted, reason = True, "within budget"
    assessment = _new(BacktestTimingAssessment)
    _set_accepted(assessment, accepted)
    _set_reason(assessment, reason)
    _set_assessed_elapsed(assessment, elapsed_seconds)
    _set_assessed_max_row(assessment, max_row_elapsed_seconds)
    _set_whole_budget(assessment, whole)
    _set_per_row_budget(assessment, per_row)
    return assessment


def clear_recorded_backtest_timings() -> None:
    """Forget every recorded timing (for tests and fresh sessions)."""
    with _lock:
        _registry.clear()


class UseLedger:
    """The uses recorded for some graphs at one moment, to hand back what a submission took.

    The client's SDK faces take one before a submission: an attempt that got no answer (or a
    408, 429 or 5xx) is given its uses back (``give_back``), so the same signal can be submitted
    again; a check that sends nothing puts every entry back as it was (``restore``)."""

    __slots__ = ("_entries",)

    def __init__(self, graphs: Iterable[Any]) -> None:
        keys = {_lookup_key(graph) for graph in graphs}
        keys.discard(None)
        with _lock:
            self._entries = {key: (entry[0], entry[1]) if (entry := _registry.get(key)) else None for key in keys}

    def give_back(self, graphs: Iterable[Any]) -> None:
        """One use back for each graph listed (as often as it is listed), up to the uses taken
        from it since the ledger was made."""
        wanted: dict[str | tuple[str], int] = {}
        for graph in graphs:
            key = _lookup_key(graph)
            if key is not None and self._entries.get(key) is not None:
                wanted[key] = wanted.get(key, 0) + 1
        with _lock:
            for key, count in wanted.items():
                record, uses = self._entries[key]  # type: ignore[misc]
                entry = _registry.get(key)
                now = entry[1] if entry is not None else 0
                back = min(count, uses - now)
                if back > 0:
                    _registry[key] = [entry[0] if entry is not None else record, now + back]

    def restore(self) -> None:
        """Every entry of the ledger's graphs as it was when the ledger was made."""
        with _lock:
            for key, kept in self._entries.items():
                if kept is None:
                    _registry.pop(key, None)
                else:
                    _registry[key] = [kept[0], kept[1]]
