"""Following submissions: ``status ID``, ``poll ID`` and ``list``."""

from __future__ import annotations

import argparse
import shlex
from collections.abc import Iterator
from typing import Any

from quillmarsh import FAILING_STATUSES, TERMINAL_STATUSES, describe

from .connection import call, client_for, report
from .errors import EXIT_FAILED, EXIT_OK
from .output import Output, compact_json
from .settings import connection as settings

_STATUS_FIELDS = (
    "status",
    "status_code",
    "signal_pool_id",
    "strategy_pool_id",
    "strategy_signal_pool",
    "rejection_reason",
    "is_correlation",
    "agent_is_correlation",
    "is_pnl_mi",
    "agent_is_pnl_mi",
    "is_stats",
    "payment",
    "failure_reason",
    "failure_detail",
    "failure_message",
    "error",
)


def status_fields(submission_id: str, result: Any) -> list[tuple[str, Any]]:
    return [("submission_id", submission_id)] + [
        (name, getattr(result, name))
        for name in _STATUS_FIELDS
        if getattr(result, name) is not None or name == "status"
    ]


def run_status(args: argparse.Namespace, out: Output) -> int:
    conn = settings(args)
    with client_for(conn) as client:
        result = call(out, conn.base_url, lambda: client.get_signal_status(args.submission_id))
        return report(out, conn.base_url, result, "Submission status", status_fields(args.submission_id, result))


def run_poll(args: argparse.Namespace, out: Output) -> int:
    """Read the status until it is terminal (``SignalClient.wait_until_terminal``: 0.5 s, then
    1.5 times longer each time up to 5 s, at most ``--timeout`` seconds in all)."""
    conn = settings(args)
    identifier = args.submission_id
    with client_for(conn) as client, out.progress(f"Polling {identifier}", total=None) as progress:
        result = call(
            out,
            conn.base_url,
            lambda: client.wait_until_terminal(
                identifier,
                timeout=args.timeout,
                on_status=lambda r: progress.describe(f"Polling {identifier}: {r.status or 'no status yet'}"),
            ),
        )
    status = report(out, conn.base_url, result, "Submission status", status_fields(identifier, result))
    if status != EXIT_OK:
        return status
    if result.status not in TERMINAL_STATUSES:
        out.error(f"no terminal status within {args.timeout:g}s (last status: {result.status})")
        return EXIT_FAILED
    if args.exit_status and result.status in FAILING_STATUSES:
        out.error(f"{identifier} ended with the failing status {result.status}")
        return EXIT_FAILED
    return EXIT_OK


# --- list -----------------------------------------------------------------------------------------

_LIST_COLUMNS = ("submission_id", "status", "signal_pool_name", "named_universe", "created_at")
_IDS = ("submission_id", "idempotency_key", "created_at")
_PAGE = 100  # a single page without --limit
_SHOWN_AT_ONCE = 1000  # rows of an endless listing laid out together on a terminal


def _columns(records: list[dict[str, Any]], wide: bool) -> list[str]:
    present = {key for record in records for key in record}
    if not present:  # no row: the header of the usual columns
        return list(_LIST_COLUMNS) + (["idempotency_key"] if wide else [])
    columns = [c for c in _LIST_COLUMNS if c in present] or sorted(present)
    return columns + (sorted(present - set(columns)) if wide else [])


def _repeated_options(args: argparse.Namespace) -> list[str]:
    """The options that made this listing, to repeat for its next page (never the token)."""
    words = []
    for option, value in (
        ("--profile", getattr(args, "profile", None)),
        ("--base-url", getattr(args, "base_url", None)),
        ("--token-file", getattr(args, "token_file", None)),
        ("--status", args.status),
        ("--idempotency-key", args.idempotency_key),
        ("--limit", args.limit),
        ("--format", "json" if getattr(args, "format", None) == "json" else None),
    ):
        if value is not None:
            words += [option, str(value)]
    return words + (["--wide"] if args.wide else [])


def next_page_command(args: argparse.Namespace, next_since: str) -> str:
    return shlex.join(["quillmarsh", "list", *_repeated_options(args), "--since", next_since])


def run_list(args: argparse.Namespace, out: Output) -> int:
    conn = settings(args)
    with client_for(conn) as client:
        if args.all:
            return _list_all(args, out, client, conn.base_url)
        result = call(
            out,
            conn.base_url,
            lambda: client.list_signal_submissions(
                status=args.status, idempotency_key=args.idempotency_key, since=args.since, limit=args.limit or _PAGE
            ),
        )
    if not result.ok:
        return report(
            out, conn.base_url, result, "Submissions", [("status_code", result.status_code), ("error", result.error)]
        )
    next_since = result.body.get("next_since") if isinstance(result.body, dict) else None
    if out.format == "json":
        out.json(
            {"ok": True, "status_code": result.status_code, "submissions": result.submissions, "next_since": next_since}
        )
    else:
        _show(out, [s for s in result.submissions if isinstance(s, dict)], args.wide, None)
    if next_since and result.submissions:
        out.note(f"more submissions: {next_page_command(args, next_since)} (or --all)")
    return EXIT_OK


def _show(
    out: Output, records: list[dict[str, Any]], wide: bool, columns: list[str] | None, header: bool = True
) -> list[str]:
    columns = columns or _columns(records, wide)
    if not records and not out.plain:
        out.lines(["No submissions match."])
        return columns
    count = len(records)
    title = f"{count} submission{'s' if count != 1 else ''}"
    out.table(title, columns, [[record.get(c) for c in columns] for record in records], ids=_IDS, header=header)
    return columns


def _pages(submissions: Iterator[dict[str, Any]], size: int) -> Iterator[list[dict[str, Any]]]:
    page: list[dict[str, Any]] = []
    for submission in submissions:
        page.append(submission)
        if len(page) == size:
            yield page
            page = []
    if page:
        yield page


def _list_all(args: argparse.Namespace, out: Output, client: Any, base_url: str) -> int:
    """Every page, read as the service allows (the largest pages unless ``--limit``), each
    written out as it arrives: nothing is held but the page on its way."""
    submissions = client.iter_submissions(
        status=args.status, idempotency_key=args.idempotency_key, since=args.since, page_size=args.limit
    )
    read = 0
    with out.progress("Reading submissions", total=None) as progress:

        def counted() -> Iterator[dict[str, Any]]:
            nonlocal read
            for submission in submissions:
                read += 1
                if read % 100 == 0:
                    progress.describe(f"Reading submissions: {read:,}")
                yield submission

        if out.format == "json":
            return _stream_json(out, counted(), base_url)
        columns: list[str] | None = None
        for page in call(out, base_url, lambda: _pages(counted(), _SHOWN_AT_ONCE), lazy=True):
            columns = _show(out, [s for s in page if isinstance(s, dict)], args.wide, columns, header=columns is None)
        if columns is None:
            _show(out, [], args.wide, None)
    return EXIT_OK


def _stream_json(out: Output, submissions: Iterator[dict[str, Any]], base_url: str) -> int:
    """The listing's JSON document, its submissions written one a line as they arrive; ``ok``
    comes last, once it is known."""
    import sys

    sys.stdout.write('{\n  "submissions": [')
    count = 0
    failure = None
    try:
        for submission in submissions:
            sys.stdout.write((",\n    " if count else "\n    ") + compact_json(submission))
            count += 1
    except Exception as exc:  # noqa: BLE001 - told at the end of the document and on stderr
        failure = exc
    sys.stdout.write(("\n  ]" if count else "]") + ',\n  "next_since": null,\n')
    if failure is None:
        sys.stdout.write('  "ok": true,\n  "error": null\n}\n')
        return EXIT_OK
    line = describe(failure, base_url=base_url)
    sys.stdout.write(f'  "ok": false,\n  "error": {compact_json(line)}\n}}\n')
    out.error(line)
    return EXIT_FAILED
