"""Signal records as files hold them: a JSON object with the keyword fields of
``submit_signal`` (``graph`` and ``named_universe`` included) and, beside them, the signal's
``backtest_timing`` (``row_count``, ``elapsed_seconds``, ``max_row_elapsed_seconds``)::

    {"graph": "rank(ts_mean(close, 5))", "named_universe": "us_top500",
     "signal_pool_name": "momentum", "is_stats": {"sharpe": 1.6, "turnover": 0.3},
     "is_pnl_mi": 0.4, "expression_elapsed_seconds": 1.8,
     "backtest_timing": {"row_count": 2520, "elapsed_seconds": 1.8, "max_row_elapsed_seconds": 0.004}}

``read_signal_record(record)`` splits one into the fields and the timing, or lists every
problem of its shape at once (unknown fields with the one probably meant, missing ones); the
values themselves are judged later by the client's checks (``quillmarsh.check_signals``). The
command line reads its signal files with it, and ``quillmarsh.dask`` its candidates.
"""

from __future__ import annotations

import difflib
import functools
import inspect
from collections.abc import Iterable, Mapping
from typing import Any

__all__ = ["FLOAT_FIELDS", "TIMING", "TIMING_FIELDS", "field_problems", "operation_fields", "read_signal_record"]

TIMING = "backtest_timing"
TIMING_FIELDS = ("row_count", "elapsed_seconds", "max_row_elapsed_seconds")
FLOAT_FIELDS = ("expression_elapsed_seconds",)  # the client wants a float, people write 2
_TIMING_KEYS = frozenset(TIMING_FIELDS)


@functools.cache
def operation_fields(operation: str) -> tuple[frozenset[str], frozenset[str]]:
    """The (allowed, required) field names of a client operation (``"submit_signal"``,
    ``"submit_strategy"``), from its signature."""
    from quillmarsh.submit import SignalServiceClient

    parameters = [
        p for p in inspect.signature(getattr(SignalServiceClient, operation)).parameters.values() if p.name != "self"
    ]
    return (
        frozenset(p.name for p in parameters),
        frozenset(p.name for p in parameters if p.default is inspect.Parameter.empty),
    )


@functools.cache
def _signal_fields() -> tuple[frozenset[str], frozenset[str]]:
    """The fields a signal record may and must have: those of submit_signal and its timing."""
    allowed, required = operation_fields("submit_signal")
    return allowed | {TIMING}, required | {TIMING}


def _names(names: Iterable[str]) -> str:
    return ", ".join(repr(n) for n in names)


def field_problems(record: Mapping[str, Any], allowed: frozenset[str], required: frozenset[str]) -> list[str]:
    """Unknown fields (with the likely one meant) and missing ones, all at once."""
    problems = []
    unknown = sorted(str(k) for k in record if k not in allowed)
    if unknown:
        shown = []
        for name in unknown:
            close = difflib.get_close_matches(name, sorted(allowed), n=1, cutoff=0.6)
            shown.append(f"{name!r} (did you mean {close[0]!r}?)" if close else repr(name))
        problems.append(f"unknown field{'s' if len(unknown) > 1 else ''} {', '.join(shown)}")
    missing = sorted(required - record.keys())
    if missing:
        problems.append(f"missing field{'s' if len(missing) > 1 else ''} {_names(missing)}")
    return problems


def read_signal_record(record: Any) -> tuple[dict[str, Any], dict[str, Any]] | list[str]:
    """``(fields, timing)`` of one signal record, or the list of its problems. ``fields`` is a
    new dict (the record is left as it was) holding the keyword fields of ``submit_signal``,
    a whole number taken as a float where the client wants one; ``timing`` is the record's
    ``backtest_timing``, the keywords of ``quillmarsh.record_backtest_timing``."""
    if not isinstance(record, dict):
        return [f"expected a JSON object, got {type(record).__name__}"]
    allowed, required = _signal_fields()
    timing = record.get(TIMING)
    keys = record.keys()
    if not (keys <= allowed and required <= keys and type(timing) is dict and timing.keys() == _TIMING_KEYS):
        problems = field_problems(record, allowed, required)
        if isinstance(timing, dict):
            problems += [f"{TIMING}: {p}" for p in field_problems(timing, _TIMING_KEYS, _TIMING_KEYS)]
        elif TIMING in record:
            problems.append(f"{TIMING}: expected a JSON object with {_names(TIMING_FIELDS)}")
        if problems:
            return problems
    fields = dict(record)
    del fields[TIMING]
    for name in FLOAT_FIELDS:
        if type(fields.get(name)) is int:
            fields[name] = float(fields[name])
    return fields, record[TIMING]
