"""Signal and strategy files as people write them: JSON objects (one per line for a batch)
holding the keyword fields of the client's operations, a signal's ``backtest_timing``
beside them (each read by ``quillmarsh.records``). Every problem of a record is reported at
once, with its file and line, and misspelt fields get a suggestion; integral numbers are taken
where the client wants floats.
"""

from __future__ import annotations

import contextlib
import dataclasses
import gc
import json
import re
import sys
from collections.abc import Callable, Iterable, Iterator
from typing import Any

import orjson

from quillmarsh.records import TIMING, field_problems, operation_fields, read_signal_record

from .errors import UsageError


@dataclasses.dataclass(slots=True)
class Signal:
    """A signal read from a file: where it stands, its fields, its backtest timing."""

    where: str
    line: int | None
    fields: dict[str, Any]
    timing: dict[str, Any]


@dataclasses.dataclass
class Problem:
    """A record that cannot be sent: where it stands and why (``input`` for a malformed record,
    ``refused`` for one the client's checks refused)."""

    where: str
    line: int | None
    message: str
    kind: str = "input"

    def __str__(self) -> str:
        return f"{self.where}: {self.message}"


def source_name(path: str) -> str:
    return "standard input" if path == "-" else path


def read_text(path: str) -> str:
    if path == "-":
        return sys.stdin.read()
    try:
        with open(path, encoding="utf-8") as handle:
            return handle.read()
    except OSError as exc:
        raise UsageError(f"cannot read {path}: {exc.strerror or exc}") from None
    except UnicodeDecodeError:
        raise UsageError(f"cannot read {path}: not UTF-8 text") from None


# 19 digits in a row may be an integer past 64 bits, which orjson reads as a float. In bytes,
# every digit is made a 0 and the run looked for as a substring: several times faster than a
# regular expression on the lines of a large batch.
_ZEROED = bytes.maketrans(b"123456789", b"000000000")
_RUN = b"0" * 19
_LONG_DIGITS = {bytes: lambda text: _RUN in text.translate(_ZEROED), str: re.compile(r"[0-9]{19}").search}


def loads(text: str | bytes) -> Any:
    """``json.loads(text)``, its value or its error, taken by orjson (several times faster on
    the files of a large batch) whenever orjson reads the text as ``json.loads`` does; what it
    does not read (``NaN`` and ``Infinity`` literals, lone surrogates) and what it would read
    otherwise (integers past 64 bits) goes to ``json.loads``."""
    if _LONG_DIGITS[type(text)](text):
        return json.loads(text)
    try:
        return orjson.loads(text)
    except orjson.JSONDecodeError:
        return json.loads(text)


def parse(text: str, where: str) -> Any:
    try:
        return loads(text)
    except json.JSONDecodeError as exc:
        raise UsageError(f"{where}: invalid JSON: {exc}") from None
    except RecursionError:
        raise UsageError(f"{where}: nested too deep to read") from None


def one_signal(path: str) -> Signal:
    """The signal of a file holding one JSON object; every problem of it at once."""
    where = source_name(path)
    checked = read_signal_record(parse(read_text(path), where))
    if isinstance(checked, list):
        raise UsageError(f"{where}: {'; '.join(checked)}")
    return Signal(where, None, *checked)


def strategy(path: str) -> dict[str, Any]:
    where = source_name(path)
    record = parse(read_text(path), where)
    if not isinstance(record, dict):
        raise UsageError(f"{where}: expected a JSON object, got {type(record).__name__}")
    problems = field_problems(record, *operation_fields("submit_strategy"))
    if problems:
        raise UsageError(f"{where}: {'; '.join(problems)}")
    return dict(record)


def signal_lines(path: str) -> tuple[list[Signal], list[Problem]]:
    """The signals of a JSON Lines file, and the problems of the lines that are not signals,
    each with its line number in the file. Blank lines are skipped."""
    name = source_name(path)
    signals: list[Signal] = []
    problems: list[Problem] = []
    with _collector_paused():
        for number, line in enumerate(_read_bytes(path).splitlines(), start=1):
            _read_line(name, number, line, signals, problems)
    if not signals and not problems:
        raise UsageError(f"{name}: no signals (expected one JSON object per line)")
    return signals, problems


@contextlib.contextmanager
def _collector_paused() -> Iterator[None]:
    """The cyclic garbage collector off while a file's records are built: they make no cycles,
    and its passes over millions of fresh containers would take longer than the parsing."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def _read_bytes(path: str) -> bytes:
    """A file's bytes, for a parser that reads UTF-8 itself."""
    if path == "-":
        stream = getattr(sys.stdin, "buffer", None)
        return stream.read() if stream is not None else sys.stdin.read().encode("utf-8")
    try:
        with open(path, "rb") as handle:
            return handle.read()
    except OSError as exc:
        raise UsageError(f"cannot read {path}: {exc.strerror or exc}") from None


def _read_line(name: str, number: int, line: bytes, signals: list[Signal], problems: list[Problem]) -> None:
    if line.strip():
        where = f"{name}:{number}"
        try:
            record = loads(line)
        except json.JSONDecodeError as exc:
            problems.append(Problem(where, number, f"invalid JSON: {exc}"))
            return
        except UnicodeDecodeError:
            problems.append(Problem(where, number, "not UTF-8 text"))
            return
        except RecursionError:
            problems.append(Problem(where, number, "nested too deep to read"))
            return
        checked = read_signal_record(record)
        if isinstance(checked, list):
            problems.append(Problem(where, number, "; ".join(checked)))
        else:
            signals.append(Signal(where, number, *checked))


def record_timings(signals: Iterable[Signal], record: Callable[..., Any] | None = None) -> list[Problem]:
    """Record each signal's backtest timing, as the simulation side would have; returns the
    signals whose timing was refused."""
    if record is None:
        from quillmarsh import record_backtest_timing as record
    refused = []
    for signal in signals:
        try:
            record(signal.fields["graph"], **signal.timing)
        except ValueError as exc:
            refused.append(Problem(signal.where, signal.line, f"{TIMING}: {exc}"))
    return refused
