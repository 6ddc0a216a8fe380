"""Where results go: one JSON document (``--format json``); tables on a terminal, fitted to its
width (a listing whose columns do not fit shows each row as a block of fields); and, when
standard output is a pipe or a file, plain text for scripts: ``field<TAB>value`` lines for a
record, a header line and tab-separated rows for a table (the header even when no row
matches). Errors are one line each on stderr; progress is shown on a terminal's stderr only,
and ``-q`` keeps stderr to the errors."""

from __future__ import annotations

import contextlib
import dataclasses
import json
import math
import sys
from collections.abc import Iterator, Sequence
from typing import Any

from .errors import EXIT_FAILED

PROG = "quillmarsh"
TABLE_EDGE = 4  # what a table adds to its columns' text: borders and padding, per column (and one more)


def error_line(command: str | None, message: str) -> None:
    prefix = f"{PROG}: {command}" if command else PROG
    print(f"{prefix}: {message}", file=sys.stderr, flush=True)


def jsonable(value: Any) -> Any:
    """Records as dicts (``ok`` first), non-finite floats as their JSON-less texts."""
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        fields = {f.name: jsonable(getattr(value, f.name)) for f in dataclasses.fields(value)}
        return {"ok": bool(getattr(value, "ok", fields.get("error") is None)), **fields}
    if isinstance(value, dict):
        return {str(k): jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [jsonable(v) for v in value]
    if isinstance(value, float) and not math.isfinite(value):
        return "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
    return value


_STRICT = json.JSONEncoder(allow_nan=False, default=str)  # C-accelerated: no indent


def _layout(document: Any) -> str:
    """Indented JSON whose long lists hold one compact entry per line: a batch's document lists
    every line of its file, and the interpreter's indenting encoder is a slow one."""
    if not isinstance(document, dict):
        return json.dumps(document, indent=2, allow_nan=False, default=str)
    parts = []
    for key, value in document.items():
        if isinstance(value, list) and len(value) > 1 and all(isinstance(v, dict) for v in value):
            entries = ",\n    ".join(map(_STRICT.encode, value))
            parts.append(f"  {_STRICT.encode(str(key))}: [\n    {entries}\n  ]")
        else:
            nested = json.dumps(value, indent=2, allow_nan=False, default=str).replace("\n", "\n  ")
            parts.append(f"  {_STRICT.encode(str(key))}: {nested}")
    return "{\n" + ",\n".join(parts) + "\n}" if parts else "{}"


def dump_json(document: Any) -> str:
    """The JSON text of a document (records as dicts with ``ok`` first), strict: non-finite
    numbers travel as their texts."""
    if dataclasses.is_dataclass(document) and not isinstance(document, type):
        document = jsonable(document)
    try:
        return _layout(document)
    except ValueError:  # a NaN or an infinity somewhere: the slower walk that names them
        return _layout(jsonable(document))


def compact_json(value: Any) -> str:
    """One value as strict JSON on one line."""
    return _STRICT.encode(jsonable(value))


def cell(value: Any) -> str:
    if value is None:
        return "-"
    if isinstance(value, (dict, list)):
        return json.dumps(jsonable(value), separators=(",", ":"), default=str)
    return str(jsonable(value))


def _plain(value: Any) -> str:
    """A cell on one line of a tab-separated row."""
    return " ".join(cell(value).replace("\t", " ").splitlines())


class Progress:
    """A transient display on a terminal's stderr: a bar (with a total) or a spinner whose
    text can change; does nothing elsewhere."""

    def __init__(self, bar: Any = None, task: Any = None):
        self._bar, self._task = bar, task

    def advance(self, n: float = 1) -> None:
        if self._bar is not None:
            self._bar.advance(self._task, n)

    def describe(self, text: str) -> None:
        if self._bar is not None:
            self._bar.update(self._task, description=text)


class Output:
    def __init__(self, command: str | None, format: str | None, quiet: bool = False):
        from rich.console import Console

        self.command = command
        self.format = format or "table"
        self.quiet = quiet
        self.stdout = Console(file=sys.stdout, highlight=False, emoji=False, markup=False)
        self.stderr = Console(file=sys.stderr, highlight=False, emoji=False, markup=False)

    @property
    def plain(self) -> bool:
        """Plain text instead of tables: standard output is a pipe or a file."""
        return self.format == "table" and not self.stdout.is_terminal

    def json(self, document: Any) -> None:
        sys.stdout.write(dump_json(document) + "\n")
        sys.stdout.flush()

    def lines(self, lines: Sequence[str]) -> None:
        """Text written as it is, never wrapped (ids and keys are copied from it)."""
        sys.stdout.write("".join(f"{line}\n" for line in lines))
        sys.stdout.flush()

    def record(self, title: str, fields: Sequence[tuple[str, Any]], document: Any = None) -> None:
        """One record: its JSON document, ``field<TAB>value`` lines, or a two-column table."""
        if self.format == "json":
            self.json(document)
        elif self.plain:
            self.lines([f"{name}\t{_plain(value)}" for name, value in fields])
        else:
            self.stdout.print(fields_table(title, fields))

    def table(
        self,
        title: str | None,
        columns: Sequence[str],
        rows: Sequence[Sequence[Any]],
        ids: Sequence[str] = (),
        header: bool = True,
    ) -> None:
        """Rows of a table: tab-separated (with a header line, even without rows), a table that
        fits the terminal, or, when the columns cannot fit without cutting an id, one block of
        ``field value`` lines per row."""
        if self.plain:
            head = ["\t".join(columns)] if header else []
            self.lines(head + ["\t".join(_plain(v) for v in row) for row in rows])
        elif _fits(columns, rows, ids, self.stdout.width):
            self.stdout.print(rows_table(title, columns, rows, no_wrap=ids))
        else:
            self.lines(([title, ""] if title else []) + _blocks(columns, rows, self.stdout.width))

    def error(self, message: str) -> None:
        error_line(self.command, message)

    def note(self, message: str) -> None:
        """A line for the person at the terminal (what was done, what to do next); ``-q`` drops it."""
        if not self.quiet:
            error_line(self.command, message)

    def failure(self, message: str, document: dict[str, Any] | None = None) -> int:
        """Report a failure: the document on stdout (json), the message on stderr."""
        if self.format == "json":
            self.json(document or {"ok": False, "status_code": 0, "body": None, "error": message})
        self.error(message)
        return EXIT_FAILED

    @contextlib.contextmanager
    def progress(self, description: str, total: float | None) -> Iterator[Progress]:
        if self.quiet or not self.stderr.is_terminal:
            yield Progress()
            return
        from rich.progress import BarColumn, MofNCompleteColumn, SpinnerColumn, TextColumn, TimeElapsedColumn
        from rich.progress import Progress as Bar

        columns = [SpinnerColumn(), TextColumn("{task.description}")]
        if total is not None:
            columns += [BarColumn(), MofNCompleteColumn()]
        columns.append(TimeElapsedColumn())
        with Bar(*columns, console=self.stderr, transient=True) as bar:
            yield Progress(bar, bar.add_task(description, total=total))


def _blocks(columns: Sequence[str], rows: Sequence[Sequence[Any]], width: int) -> list[str]:
    """One block of ``field  value`` lines per row, a blank line after each; a value too long to
    stand beside its field goes on the next line, indented, whole."""
    label = max(len(c) for c in columns)
    lines = []
    for row in rows:
        for column, value in zip(columns, row):
            text = cell(value)
            if label + 2 + len(text) <= width:
                lines.append(f"{column.ljust(label)}  {text}")
            else:
                lines += [column, f"  {text}"]
        lines.append("")
    return lines


def _fits(columns: Sequence[str], rows: Sequence[Sequence[Any]], ids: Sequence[str], width: int) -> bool:
    """Whether a table shows every id whole and every other column at least a word wide."""
    needed = 1
    for index, column in enumerate(columns):
        longest = max([len(cell(row[index])) for row in rows], default=0)
        shortest = longest if column in ids else min(longest, 12)
        needed += max(shortest, len(column) if column in ids else min(len(column), 12)) + TABLE_EDGE - 1
    return needed <= width


def fields_table(title: str, rows: Sequence[tuple[str, Any]]) -> Any:
    from rich.table import Table

    table = Table(title=title, show_header=False, title_justify="left")
    table.add_column("field", style="bold", no_wrap=True)
    table.add_column("value", overflow="fold")
    for name, value in rows:
        table.add_row(name.replace("_", " "), cell(value))
    return table


def rows_table(
    title: str | None, columns: Sequence[str], rows: Sequence[Sequence[Any]], no_wrap: Sequence[str] = ()
) -> Any:
    """A table; the columns named in ``no_wrap`` (identifiers people copy) never wrap."""
    from rich.table import Table

    table = Table(title=title, title_justify="left")
    for index, column in enumerate(columns):
        if column in no_wrap:
            whole = max([len(column), *(len(cell(row[index])) for row in rows)])
            table.add_column(column, no_wrap=True, min_width=whole)
        else:
            table.add_column(column, overflow="fold")
    for row in rows:
        table.add_row(*(cell(value) for value in row))
    return table
