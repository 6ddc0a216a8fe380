"""Where results go: one JSON document, tables on a terminal, tab-separated rows in a pipe;
errors as one line on stderr; progress on a terminal's stderr."""

from __future__ import annotations

import contextlib
import dataclasses
import json
import math
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import Any

from .errors import EXIT_FAILED

PROG = "quillmarsh"


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


def cell(value: Any) -> str:
    if value is None:
        return "-"
    if isinstance(value, (dict, list)):
        return json.dumps(jsonable(value), separators=(",", ":"), default=str)
    return str(jsonable(value))


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
    def __init__(self, command: str | None, format: str | None):
        from rich.console import Console

        self.command = command
        self.format = format or "table"
        self.stdout = Console(file=sys.stdout, highlight=False, emoji=False, markup=False)
        self.stderr = Console(file=sys.stderr, highlight=False, emoji=False, markup=False)

    @property
    def plain(self) -> bool:
        """Tab-separated rows instead of tables: standard output is a pipe or a file."""
        return self.format == "table" and not self.stdout.is_terminal

    def json(self, document: Any) -> None:
        sys.stdout.write(dump_json(document) + "\n")
        sys.stdout.flush()

    def print(self, *renderables: Any) -> None:
        for renderable in renderables:
            self.stdout.print(renderable)

    def rows(self, columns: Sequence[str], rows: Sequence[Sequence[Any]]) -> None:
        """Tab-separated lines, a header first, for scripts."""
        lines = ["\t".join(columns)] + ["\t".join(cell(v).replace("\t", " ") for v in row) for row in rows]
        sys.stdout.write("\n".join(lines) + "\n")
        sys.stdout.flush()

    def record(self, record: Any, render: Callable[[Any], Sequence[Any]]) -> None:
        if self.format == "json":
            self.json(record)
        else:
            self.print(*render(record))

    def error(self, message: str) -> None:
        error_line(self.command, message)

    def failure(self, message: str, document: dict[str, Any] | None = None) -> int:
        """Report a failure: the document on stdout (json), the message on stderr."""
        if self.format == "json":
            self.json(document or {"ok": False, "status_code": 0, "body": None, "error": message})
        self.error(message)
        return EXIT_FAILED

    @contextlib.contextmanager
    def progress(self, description: str, total: float | None) -> Iterator[Progress]:
        if not self.stderr.is_terminal:
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


def fields_table(title: str, rows: Sequence[tuple[str, Any]]) -> Any:
    from rich.table import Table

    table = Table(title=title, show_header=False, title_justify="left")
    table.add_column("field", style="bold", no_wrap=True)
    table.add_column("value", overflow="fold")
    for name, value in rows:
        table.add_row(name, cell(value))
    return table


def rows_table(title: str | None, columns: Sequence[str], rows: Sequence[Sequence[Any]],
               no_wrap: Sequence[str] = ()) -> Any:
    """A table; the columns named in ``no_wrap`` (identifiers people copy) never wrap."""
    from rich.table import Table

    table = Table(title=title, title_justify="left")
    for column in columns:
        if column in no_wrap:
            table.add_column(column, no_wrap=True, overflow="ignore")
        else:
            table.add_column(column, overflow="fold")
    for row in rows:
        table.add_row(*(cell(value) for value in row))
    return table
