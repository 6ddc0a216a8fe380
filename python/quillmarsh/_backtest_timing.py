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
from dataclasses import dataclass
from typing import Any, Iterable

__all__ = [
    "BacktestTimingAssessment",
    "RecordedBacktestTiming",
    "assess_client_backtest_timing",
    "clear_recorded_backtest_timings",
    "consume_recorded_backtest_timing",
    "record_backtest_timing",
    "require_recorded_backtest_timing",
    "require_recorded_backtest_timings",
]

_REQUIRED_MESSAGE = (
    "recorded backtest timing is required before submit{where}; "
    "run simulate_signal for this graph before submitting it"
)

# name -> (per-row budget, fixed overhead, allowance per row), all in seconds
_BUDGET_TABLE: tuple[tuple[tuple[str, ...], float, float, float], ...] = (
    (("1d", "d", "day", "daily"), 0.5, 5.0, 0.05),
    (("1h", "h", "hour", "hourly"), 0.25, 5.0, 0.01),
    (("5m", "5min"), 0.1, 5.0, 0.004),
    (("1m", "1min", "minute"), 0.05, 5.0, 0.002),
)
_BUDGETS = {name: budget[1:] for budget in _BUDGET_TABLE for name in budget[0]}


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


_lock = threading.Lock()
# canonical graph text -> [latest record, remaining uses]
_registry: dict[str, list[Any]] = {}


def _graph_key(graph: Any) -> str:
    if graph is None:
        raise ValueError("graph is required to key a backtest timing, got None")
    try:
        return json.dumps(graph, sort_keys=True, separators=(",", ":"))
    except (TypeError, ValueError, RecursionError) as exc:
        raise ValueError(
            f"graph must be JSON-serialisable to key its backtest timing: {exc}"
        ) from exc


def _lookup_key(graph: Any) -> str | None:
    try:
        return _graph_key(graph)
    except ValueError:
        return None


def _validate_figures(row_count: Any, elapsed: Any, max_row: Any) -> None:
    if isinstance(row_count, bool) or not isinstance(row_count, int) or row_count <= 0:
        raise ValueError(f"row_count must be a positive int, got {row_count!r}")
    for name, value in (("elapsed_seconds", elapsed), ("max_row_elapsed_seconds", max_row)):
        if (
            isinstance(value, bool)
            or not isinstance(value, (int, float))
            or not math.isfinite(value)
            or value < 0
        ):
            raise ValueError(f"{name} must be a finite non-negative number, got {value!r}")
    if max_row > elapsed:
        raise ValueError(
            f"max_row_elapsed_seconds ({max_row!r}) must not exceed elapsed_seconds ({elapsed!r})"
        )


def record_backtest_timing(
    graph: Any, *, row_count: int, elapsed_seconds: float, max_row_elapsed_seconds: float
) -> RecordedBacktestTiming:
    """Record one simulated run of ``graph``: store its figures, add one use."""
    key = _graph_key(graph)
    _validate_figures(row_count, elapsed_seconds, max_row_elapsed_seconds)
    record = RecordedBacktestTiming(
        row_count=row_count,
        elapsed_seconds=elapsed_seconds,
        max_row_elapsed_seconds=max_row_elapsed_seconds,
    )
    with _lock:
        uses = _registry[key][1] if key in _registry else 0
        _registry[key] = [record, uses + 1]
    return record


def consume_recorded_backtest_timing(graph: Any) -> RecordedBacktestTiming | None:
    """Take one use of the graph's record; None when nothing is recorded."""
    key = _lookup_key(graph)
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


def require_recorded_backtest_timings(
    graphs: Iterable[Any],
) -> tuple[RecordedBacktestTiming, ...]:
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
    needed: dict[str | None, int] = {}
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
    *,
    frequency: Any,
    row_count: int,
    elapsed_seconds: float,
    max_row_elapsed_seconds: float,
) -> BacktestTimingAssessment:
    """Judge a run against the budgets of ``frequency`` (see module table).

    Raises ``ValueError`` only for invalid figures; an unknown frequency is a
    refusal, not an error.
    """
    _validate_figures(row_count, elapsed_seconds, max_row_elapsed_seconds)
    budget = _BUDGETS.get(frequency.strip().lower()) if isinstance(frequency, str) else None
    if budget is None:
        accepted, reason, whole, per_row = False, "unknown frequency", None, None
    else:
        per_row, overhead, allowance = budget
        whole = round(overhead + allowance * row_count, 6)
        if max_row_elapsed_seconds > per_row:
            accepted, reason = False, "row budget"
        elif elapsed_seconds > whole:
            accepted, reason = False, "whole budget"
        else:
            accepted, reason = True, "within budget"
    return BacktestTimingAssessment(
        accepted=accepted,
        reason=reason,
        elapsed_seconds=elapsed_seconds,
        max_row_elapsed_seconds=max_row_elapsed_seconds,
        whole_budget_seconds=whole,
        per_row_budget_seconds=per_row,
    )


def clear_recorded_backtest_timings() -> None:
    """Forget every recorded timing (for tests and fresh sessions)."""
    with _lock:
        _registry.clear()
