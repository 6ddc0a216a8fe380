"""The ``quillmarsh`` command: submit signals and strategies, follow submissions, serve locally.

Commands (``quillmarsh COMMAND --help`` for each)::

    submit FILE          one signal from a JSON file ("-" reads standard input)
    strategy FILE        one strategy from a JSON file
    batch FILE           signals from a JSON Lines file, one signal per line
    status ID            the status of one submission
    poll ID              read the status until it is terminal (--timeout S, default 60)
    list                 list submissions (--status, --idempotency-key, --since, --limit)
    serve [ARGS...]      run the local signal service (ARGS go to quillmarsh.devservice)

The service's URL and bearer token come from ``--base-url`` and ``--token`` (or
``--token-file PATH``, "-" for standard input, which keeps the token off the command line),
else from the environment variables ``QUILLMARSH_BASE_URL`` and ``QUILLMARSH_TOKEN``; the
blanks and line break around a token are dropped. These options, like
``--format`` and ``--request-timeout``, may be given before or after the command name.

A signal file holds the keyword fields of ``SignalServiceClient.submit_signal`` (``graph``,
``named_universe``, ``signal_pool_name``, ``is_stats``, ``is_pnl_mi``,
``expression_elapsed_seconds``, and optionally the others) plus ``backtest_timing``, the
figures measured when the graph was simulated: ``{"row_count": ..., "elapsed_seconds": ...,
"max_row_elapsed_seconds": ...}``. The command records that timing
(``quillmarsh._backtest_timing.record_backtest_timing``) before submitting, as the
simulation side does in a research process. A strategy file holds the fields of
``submit_strategy``.

Output: ``--format table`` (the default) prints readable tables; ``--format json`` prints
one JSON document on standard output: the result record's fields with ``ok`` first
(non-finite numbers as the texts "Infinity", "-Infinity", "NaN"). On a terminal, batches
and polling show a progress display on standard error.

Exit status:

* 0: everything was accepted (for ``status`` and ``list``: the service answered; for
  ``poll``: a terminal status was reached).
* 1: the service rejected something, answered with something unreadable, or could not be
  reached; a signal refused by the client's own checks before sending (the era's rules,
  thresholds, graph limits, timing budget) counts as rejected too; ``poll`` also exits 1
  when no terminal status was reached in time. With ``--format json`` the document is
  still printed (``status_code`` 0 when no HTTP answer was received).
* 2: the command could not be run as given: bad options, an unreadable or malformed input
  file, no URL or token, a base URL refused for bearer transport, the local service not
  installed (``serve``).

Every error is one line on standard error, never a traceback.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import importlib
import inspect
import json
import math
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import Any, NoReturn

EXIT_OK = 0
EXIT_REJECTED = 1
EXIT_USAGE = 2

_PROG = "quillmarsh"
_TIMING_FIELDS = ("row_count", "elapsed_seconds", "max_row_elapsed_seconds")


class UsageError(Exception):
    """The command cannot run as given (exit status 2)."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see '{self.prog} --help')")


# ---------------------------------------------------------------------------------------
# Command line


def _seconds(text: str, *, allow_zero: bool) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not math.isfinite(value) or value < 0 or (value == 0 and not allow_zero):
        bound = ">= 0" if allow_zero else "> 0"
        raise argparse.ArgumentTypeError(f"must be a finite number of seconds {bound}, got {text!r}")
    return value


def _poll_timeout(text: str) -> float:
    return _seconds(text, allow_zero=True)


def _request_timeout(text: str) -> float:
    return _seconds(text, allow_zero=False)


def _connection_options(suppress: bool) -> _Parser:
    """The options every client command takes; with ``suppress`` their defaults are left
    unset, so a value given before the command name is not overwritten by a default."""
    default = argparse.SUPPRESS if suppress else None
    parent = _Parser(add_help=False)
    group = parent.add_argument_group("service and output")
    group.add_argument("--base-url", default=default, metavar="URL",
                       help="signal service URL (default: $QUILLMARSH_BASE_URL)")
    group.add_argument("--token", default=default,
                       help="bearer token (default: --token-file, else $QUILLMARSH_TOKEN)")
    group.add_argument("--token-file", default=default, metavar="PATH",
                       help='read the bearer token from this file ("-": standard input), keeping it off '
                            "the command line")
    group.add_argument("--format", default=default, choices=("table", "json"),
                       help="output format (default: table)")
    group.add_argument("--request-timeout", default=default, type=_request_timeout, metavar="S",
                       help="timeout of each HTTP request in seconds (default: 30)")
    return parent


def build_parser() -> argparse.ArgumentParser:
    common = _connection_options(suppress=True)
    parser = _Parser(
        prog=_PROG, parents=[common],
        description="Submit research signals and strategies to a signal service and follow them.",
        epilog="Exit status: 0 all accepted, 1 something rejected or unreachable, 2 usage or input error.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, help: str) -> argparse.ArgumentParser:
        return commands.add_parser(name, parents=[common], help=help, description=help)

    command("submit", "submit one signal from a JSON file").add_argument(
        "file", help='signal file (JSON object); "-" reads standard input')
    command("strategy", "submit one strategy from a JSON file").add_argument(
        "file", help='strategy file (JSON object); "-" reads standard input')
    command("batch", "submit the signals of a JSON Lines file, one per line").add_argument(
        "file", help='JSON Lines file; "-" reads standard input')
    command("status", "show the status of one submission").add_argument("submission_id", metavar="ID")
    poll = command("poll", "read a submission's status until it is terminal")
    poll.add_argument("submission_id", metavar="ID")
    poll.add_argument("--timeout", type=_poll_timeout, default=60.0, metavar="S",
                      help="give up after S seconds (default: 60)")
    listing = command("list", "list submissions")
    listing.add_argument("--status", help="only submissions with this status")
    listing.add_argument("--idempotency-key", help="only the submission with this idempotency key")
    listing.add_argument("--since", help="only submissions made since this time (as the service reads it)")
    listing.add_argument("--limit", type=int, default=100, help="at most this many (default: 100)")
    commands.add_parser(
        "serve", add_help=False, help="run the local signal service (arguments are passed on to it)",
        description="Run the local signal service; every argument is passed on to python -m quillmarsh.devservice.")
    return parser


# ---------------------------------------------------------------------------------------
# Entry point


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    argv = list(sys.argv[1:] if argv is None else argv)
    command: str | None = None
    try:
        args, extra = build_parser().parse_known_args(argv)
        command = args.command
        if command == "serve":
            return _serve(args, extra)
        if extra:
            raise UsageError(f"unrecognized arguments: {' '.join(extra)} (see '{_PROG} {command} --help')")
        return _COMMANDS[command](args, _Output(args))
    except UsageError as exc:
        _error(command, str(exc))
        return EXIT_USAGE
    except _Reported as reported:
        return reported.status
    except KeyboardInterrupt:
        _error(command, "interrupted")
        return 130
    except BrokenPipeError:  # output piped into a reader that went away: nothing left to say
        with contextlib.suppress(OSError):
            sys.stdout = open(os.devnull, "w")  # noqa: SIM115 -- keeps the interpreter's final flush quiet
        return EXIT_REJECTED
    except Exception as exc:  # the promise is one line, never a traceback
        _error(command, f"unexpected {type(exc).__name__}: {_one_line(exc)}")
        return EXIT_REJECTED


def _error(command: str | None, message: str) -> None:
    prefix = f"{_PROG}: {command}" if command else _PROG
    print(f"{prefix}: {message}", file=sys.stderr, flush=True)


def _one_line(value: Any) -> str:
    return " ".join(str(value).split()) or type(value).__name__


# ---------------------------------------------------------------------------------------
# Output


class _Output:
    """Where results go: a JSON document or rich tables on stdout, progress on stderr."""

    def __init__(self, args: argparse.Namespace):
        from rich.console import Console

        self.command = args.command
        self.format = getattr(args, "format", None) or "table"
        self.stdout = Console(file=sys.stdout, highlight=False, emoji=False, markup=False)
        self.stderr = Console(file=sys.stderr, highlight=False, emoji=False, markup=False)

    def json(self, document: Any) -> None:
        sys.stdout.write(json.dumps(_jsonable(document), indent=2, default=str) + "\n")
        sys.stdout.flush()

    def record(self, record: Any, render: Callable[[Any], Any]) -> None:
        if self.format == "json":
            self.json(record)
        else:
            for renderable in render(record):
                self.stdout.print(renderable)

    def failure(self, message: str, document: dict[str, Any] | None = None) -> int:
        """Report a rejection: the document on stdout (json), the message on stderr."""
        if self.format == "json":
            self.json(document or {"ok": False, "status_code": 0, "body": None, "error": message})
        _error(self.command, message)
        return EXIT_REJECTED

    @contextlib.contextmanager
    def progress(self, description: str, total: float | None) -> Iterator[Callable[[float], None]]:
        """A transient progress display on a terminal's stderr; yields ``advance(n)``."""
        if not self.stderr.is_terminal:
            yield lambda n: None
            return
        from rich.progress import (BarColumn, MofNCompleteColumn, Progress, SpinnerColumn, TextColumn,
                                   TimeElapsedColumn)

        columns = [SpinnerColumn(), TextColumn("{task.description}"), BarColumn()]
        if total is not None:
            columns.append(MofNCompleteColumn())
        columns.append(TimeElapsedColumn())
        with Progress(*columns, console=self.stderr, transient=True) as bar:
            task = bar.add_task(description, total=total)
            yield lambda n: bar.advance(task, n)


def _jsonable(value: Any) -> Any:
    """Records as dicts (``ok`` first), non-finite floats as their JSON-less texts."""
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        fields = {f.name: _jsonable(getattr(value, f.name)) for f in dataclasses.fields(value)}
        return {"ok": bool(getattr(value, "ok", fields.get("error") is None)), **fields}
    if isinstance(value, dict):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    if isinstance(value, float) and not math.isfinite(value):
        return "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
    return value


def _cell(value: Any) -> str:
    if value is None:
        return "-"
    if isinstance(value, (dict, list)):
        return json.dumps(_jsonable(value), separators=(",", ":"), default=str)
    return str(_jsonable(value))


def _fields_table(title: str, rows: Sequence[tuple[str, Any]]) -> Any:
    from rich.table import Table

    table = Table(title=title, show_header=False, title_justify="left")
    table.add_column("field", style="bold")
    table.add_column("value", overflow="fold")
    for name, value in rows:
        table.add_row(name, _cell(value))
    return table


def _rows_table(title: str, columns: Sequence[str], rows: Sequence[Sequence[Any]]) -> Any:
    from rich.table import Table

    table = Table(title=title, title_justify="left")
    for column in columns:
        table.add_column(column, overflow="fold")
    for row in rows:
        table.add_row(*(_cell(value) for value in row))
    return table


def _submit_tables(result: Any) -> list[Any]:
    verdict = "accepted" if result.ok else "rejected"
    rows = [("status code", result.status_code), ("submission id", result.submission_id),
            ("signal pool id", result.signal_pool_id), ("strategy pool id", result.strategy_pool_id),
            ("strategy signal pool", result.strategy_signal_pool), ("error", result.error)]
    return [_fields_table(f"Submission {verdict}", [r for r in rows if r[1] is not None or r[0] == "error"])]


def _batch_tables(result: Any) -> list[Any]:
    tables = [_fields_table("Batch", [("status code", result.status_code), ("accepted", result.accepted),
                                      ("failed", result.failed), ("error", result.error)])]
    failed = [item for item in result.results if not item.ok]
    if failed:
        tables.append(_rows_table("Failed signals", ("line", "status code", "error"),
                                  [(_line_of(item.index), item.status_code, item.error) for item in failed]))
    return tables


def _line_of(index: Any) -> Any:
    return index + 1 if isinstance(index, int) and not isinstance(index, bool) else index


_STATUS_FIELDS = ("status", "status_code", "signal_pool_id", "strategy_pool_id", "strategy_signal_pool",
                  "rejection_reason", "is_correlation", "agent_is_correlation", "is_pnl_mi", "agent_is_pnl_mi",
                  "is_stats", "payment", "failure_reason", "failure_detail", "failure_message", "error")


def _status_tables(submission_id: str) -> Callable[[Any], list[Any]]:
    def render(result: Any) -> list[Any]:
        rows = [("submission", submission_id)]
        rows += [(name.replace("_", " "), getattr(result, name)) for name in _STATUS_FIELDS
                 if getattr(result, name) is not None or name == "status"]
        return [_fields_table("Submission status", rows)]
    return render


_PREFERRED_LIST_COLUMNS = ("submission_id", "status", "signal_pool_name", "named_universe", "created_at",
                           "idempotency_key")


def _list_tables(result: Any) -> list[Any]:
    if result.error is not None:
        return [_fields_table("Listing failed", [("status code", result.status_code), ("error", result.error)])]
    submissions = [s for s in result.submissions if isinstance(s, dict)]
    seen = {key for s in submissions for key in s}
    columns = [c for c in _PREFERRED_LIST_COLUMNS if c in seen] or sorted(seen)
    title = f"{len(result.submissions)} submission{'s' if len(result.submissions) != 1 else ''}"
    return [_rows_table(title, columns, [[s.get(c) for c in columns] for s in submissions])]


# ---------------------------------------------------------------------------------------
# Input files


def _read_text(path: str) -> str:
    if path == "-":
        return sys.stdin.read()
    try:
        with open(path, encoding="utf-8") as handle:
            return handle.read()
    except OSError as exc:
        raise UsageError(f"cannot read {path}: {exc.strerror or exc}") from None
    except UnicodeDecodeError:
        raise UsageError(f"cannot read {path}: not UTF-8 text") from None


def _parse_json(text: str, where: str) -> Any:
    try:
        return json.loads(text)
    except json.JSONDecodeError as exc:
        raise UsageError(f"{where}: invalid JSON: {exc}") from None


def _operation_fields(operation: Callable[..., Any]) -> tuple[set[str], set[str]]:
    """The (allowed, required) field names of a client operation, from its signature."""
    parameters = [p for p in inspect.signature(operation).parameters.values() if p.name != "self"]
    return ({p.name for p in parameters},
            {p.name for p in parameters if p.default is inspect.Parameter.empty})


def _check_fields(record: Any, where: str, allowed: set[str], required: set[str]) -> dict[str, Any]:
    if not isinstance(record, dict):
        raise UsageError(f"{where}: expected a JSON object, got {type(record).__name__}")
    unknown = sorted(set(record) - allowed)
    if unknown:
        raise UsageError(f"{where}: unknown field{'s' if len(unknown) > 1 else ''} "
                         + ", ".join(repr(k) for k in unknown))
    missing = sorted(required - set(record))
    if missing:
        raise UsageError(f"{where}: missing field{'s' if len(missing) > 1 else ''} "
                         + ", ".join(repr(k) for k in missing))
    return record


def _signal(record: Any, where: str) -> tuple[dict[str, Any], dict[str, Any]]:
    """Split one signal of a file into (submission fields, backtest timing)."""
    from quillmarsh import submit

    allowed, required = _operation_fields(submit.SignalServiceClient.submit_signal)
    record = _check_fields(record, where, allowed | {"backtest_timing"}, required | {"backtest_timing"})
    fields = {k: v for k, v in record.items() if k != "backtest_timing"}
    timing = _check_fields(record["backtest_timing"], f"{where}: backtest_timing",
                           set(_TIMING_FIELDS), set(_TIMING_FIELDS))
    return fields, timing


def _record_timings(signals: Sequence[tuple[dict[str, Any], dict[str, Any], str]]) -> None:
    """Record every signal's backtest timing, as the simulation side would have; all or none."""
    from quillmarsh import _backtest_timing

    recorded: list[Any] = []
    for fields, timing, where in signals:
        try:
            _backtest_timing.record_backtest_timing(fields["graph"], **timing)
        except ValueError as exc:
            for graph in recorded:  # take back the uses recorded so far
                _backtest_timing.consume_recorded_backtest_timing(graph)
            raise UsageError(f"{where}: backtest_timing: {exc}") from None
        recorded.append(fields["graph"])


# ---------------------------------------------------------------------------------------
# Talking to the service


def _token(args: argparse.Namespace) -> str | None:
    """The bearer token from --token, --token-file or $QUILLMARSH_TOKEN, without the line break
    and blanks that files and shells leave around it."""
    token = getattr(args, "token", None)
    path = getattr(args, "token_file", None)
    if token is None and path is not None:
        if path == "-":
            token = sys.stdin.readline()
        else:
            try:
                with open(path, encoding="utf-8") as handle:
                    token = handle.read()
            except (OSError, UnicodeDecodeError) as exc:
                reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else "not UTF-8 text"
                raise UsageError(f"cannot read the token file {path}: {reason}") from None
        if not token.strip():
            raise UsageError(f"the token file {_source(path)} is empty")
    if token is None:
        token = os.environ.get("QUILLMARSH_TOKEN")
    token = token.strip() if token else None
    if token and not token.isascii():  # HTTP headers carry ASCII text; never repeat the token
        raise UsageError("token refused: it holds characters other than ASCII")
    return token


def _client(args: argparse.Namespace, transmission_observer: Callable[..., Any] | None = None) -> Any:
    from quillmarsh import submit
    from quillmarsh.transports import BoundedTransport

    base_url = getattr(args, "base_url", None) or os.environ.get("QUILLMARSH_BASE_URL")
    if not base_url:
        raise UsageError("no service URL: pass --base-url or set QUILLMARSH_BASE_URL")
    token = _token(args)
    if not token:
        raise UsageError("no token: pass --token or --token-file, or set QUILLMARSH_TOKEN")
    timeout = getattr(args, "request_timeout", None)
    timeout = 30.0 if timeout is None else timeout
    try:
        # The answers a command reads are capped: a broken or hostile service cannot make it
        # hold more than the transport's limit in memory.
        transport = BoundedTransport(base_url=base_url, timeout=timeout,
                                     verify=not base_url.lower().startswith("http://"))
        return submit.SignalServiceClient(base_url, token, timeout=timeout, transport=transport,
                                          transmission_observer=transmission_observer)
    except ValueError as exc:  # neither message repeats the token
        what = "token" if str(exc).startswith("the bearer token") else "base URL"
        raise UsageError(f"{what} refused: {_one_line(exc)}") from None


def _prepared_client(args: argparse.Namespace, signals: Sequence[tuple[dict[str, Any], dict[str, Any], str]],
                     transmission_observer: Callable[..., Any] | None = None) -> Any:
    """A client for submitting ``signals``, whose backtest timings are recorded by then."""
    client = _client(args, transmission_observer)
    try:
        _record_timings(signals)
    except UsageError:
        client.close()
        raise
    return client


class _Reported(Exception):
    """A failure already reported on stdout/stderr; carries the exit status."""

    def __init__(self, status: int):
        super().__init__(status)
        self.status = status


def _invoke(out: _Output, client: Any, operation: str, *args: Any, **kwargs: Any) -> Any:
    """Call one operation of the client, then close it. What the client raises is reported
    here: its own refusals, the service's rejections, unreadable answers, transport failures."""
    import httpx

    from quillmarsh import submit

    try:
        return getattr(client, operation)(*args, **kwargs)
    except submit.SubmissionRejectedError as exc:
        raise _Reported(out.failure(
            f"rejected by the service ({exc.status_code}): {_one_line(exc.reason)}",
            {"ok": False, "status_code": exc.status_code, "body": exc.body, "error": exc.reason})) from None
    except submit.SignalClientResponseError as exc:
        error, body = submit.SignalServiceClient._error_body_from_response_error(exc)
        raise _Reported(out.failure(
            f"unreadable answer from the service ({exc.status_code}): {_one_line(error)}",
            {"ok": False, "status_code": exc.status_code, "body": body, "error": error})) from None
    except (ConnectionError, httpx.RequestError) as exc:
        raise _Reported(out.failure(
            f"no answer from the service: {_one_line(exc)}",
            {"ok": False, "status_code": 0, "body": None, "error": _one_line(exc)})) from None
    except (ValueError, TypeError) as exc:  # the client's own checks, before anything is sent
        raise _Reported(out.failure(f"refused before sending: {_one_line(exc)}")) from None
    finally:
        client.close()


def _report(out: _Output, result: Any, render: Callable[[Any], list[Any]]) -> int:
    """Print a result record; 0 when it reports success, else 1 with the reason on stderr."""
    out.record(result, render)
    if result.ok:
        return EXIT_OK
    if result.status_code == 0:
        _error(out.command, f"no answer from the service: {_one_line(result.error)}")
    else:
        _error(out.command, f"rejected by the service ({result.status_code}): {_one_line(result.error)}")
    return EXIT_REJECTED


# ---------------------------------------------------------------------------------------
# Commands


def _source(path: str) -> str:
    return "standard input" if path == "-" else path


def _cmd_submit(args: argparse.Namespace, out: _Output) -> int:
    where = _source(args.file)
    fields, timing = _signal(_parse_json(_read_text(args.file), where), where)
    client = _prepared_client(args, [(fields, timing, where)])
    graph, universe = fields.pop("graph"), fields.pop("named_universe", None)
    return _report(out, _invoke(out, client, "submit_signal", graph, universe, **fields), _submit_tables)


def _cmd_strategy(args: argparse.Namespace, out: _Output) -> int:
    from quillmarsh import submit

    where = _source(args.file)
    allowed, required = _operation_fields(submit.SignalServiceClient.submit_strategy)
    fields = _check_fields(_parse_json(_read_text(args.file), where), where, allowed, required)
    client = _client(args)
    graph, universe = fields.pop("graph"), fields.pop("named_universe", None)
    return _report(out, _invoke(out, client, "submit_strategy", graph, universe, **fields), _submit_tables)


def _cmd_batch(args: argparse.Namespace, out: _Output) -> int:
    name = _source(args.file)
    signals = []
    for number, line in enumerate(_read_text(args.file).splitlines(), start=1):
        if line.strip():
            where = f"{name}, line {number}"
            fields, timing = _signal(_parse_json(line, where), where)
            signals.append((fields, timing, where))
    if not signals:
        raise UsageError(f"{name}: no signals (expected one JSON object per line)")

    with out.progress(f"Submitting {len(signals)} signals", total=len(signals)) as advance:
        def observe(method: str, url: str, headers: Any, body: bytes) -> None:
            if url.endswith("/signals/batch"):  # a chunk is going on the wire
                with contextlib.suppress(ValueError, KeyError, TypeError):
                    advance(len(json.loads(body)["signals"]))

        # The observer is the client's own report of what it transmits; it is only needed
        # for the progress display, so a batch run by a script goes out exactly as without it.
        client = _prepared_client(args, signals, observe if out.stderr.is_terminal else None)
        result = _invoke(out, client, "submit_signals_batch", [fields for fields, _, _ in signals])

    status = _report(out, result, _batch_tables)
    if status == EXIT_OK and (result.failed or result.accepted != len(signals)):
        _error(out.command, f"{len(signals) - result.accepted} of {len(signals)} signals not accepted")
        return EXIT_REJECTED
    return status


def _cmd_status(args: argparse.Namespace, out: _Output) -> int:
    result = _invoke(out, _client(args), "get_signal_status", args.submission_id)
    return _report(out, result, _status_tables(args.submission_id))


def _cmd_poll(args: argparse.Namespace, out: _Output) -> int:
    from quillmarsh import submit

    client = _client(args)
    with out.progress(f"Polling {args.submission_id} (timeout {args.timeout:g}s)", total=None):
        result = _invoke(out, client, "poll_until_terminal", args.submission_id, timeout=args.timeout)
    status = _report(out, result, _status_tables(args.submission_id))
    if status == EXIT_OK and result.status not in submit._TERMINAL_STATUSES:
        _error(out.command, f"no terminal status within {args.timeout:g}s (last status: {result.status})")
        return EXIT_REJECTED
    return status


def _cmd_list(args: argparse.Namespace, out: _Output) -> int:
    result = _invoke(out, _client(args), "list_signal_submissions", status=args.status,
                     idempotency_key=args.idempotency_key, since=args.since, limit=args.limit)
    return _report(out, result, _list_tables)


def _serve(args: argparse.Namespace, service_args: list[str]) -> int:
    """Hand over to the local signal service's own command line. A token given to this
    command (``--token`` before ``serve``, or ``QUILLMARSH_TOKEN``) becomes the service's
    token unless the service arguments name one, so that the other commands of the same
    shell reach it with no further set-up."""
    try:
        service_main = importlib.import_module("quillmarsh.devservice.__main__").main
    except ImportError as exc:
        raise UsageError(f"the local signal service is not available ({_one_line(exc)})") from None
    token = _token(args)
    if token and not any(a == "--token" or a.startswith("--token=") for a in service_args):
        service_args = [*service_args, f"--token={token}"]  # "=": a token may begin with "-"
    status = service_main(service_args)
    return status if isinstance(status, int) else EXIT_OK


_COMMANDS: dict[str, Callable[[argparse.Namespace, _Output], int]] = {
    "submit": _cmd_submit, "strategy": _cmd_strategy, "batch": _cmd_batch, "status": _cmd_status,
    "poll": _cmd_poll, "list": _cmd_list,
}


if __name__ == "__main__":
    sys.exit(main())
