"""Following submissions: ``status ID``, ``poll ID`` and ``list``."""

from __future__ import annotations

import argparse
import shlex
import time
from typing import Any

from . import connection
from .errors import EXIT_FAILED, EXIT_OK
from .output import Output, fields_table, rows_table
from .settings import connection as settings

# Terminal statuses that end a submission's road without it being used.
FAILING_STATUSES = frozenset({"signal_is_rejected", "signal_os_failed", "signal_server_side_error",
                              "signal_not_useful", "signal_useful_transition_failed"})
FIRST_WAIT, LONGEST_WAIT, GROWTH = 0.5, 5.0, 1.5

_STATUS_FIELDS = ("status", "status_code", "signal_pool_id", "strategy_pool_id", "strategy_signal_pool",
                  "rejection_reason", "is_correlation", "agent_is_correlation", "is_pnl_mi", "agent_is_pnl_mi",
                  "is_stats", "payment", "failure_reason", "failure_detail", "failure_message", "error")


def _status_tables(submission_id: str):
    def render(result: Any) -> list[Any]:
        rows = [("submission", submission_id)]
        rows += [(name.replace("_", " "), getattr(result, name)) for name in _STATUS_FIELDS
                 if getattr(result, name) is not None or name == "status"]
        return [fields_table("Submission status", rows)]
    return render


def run_status(args: argparse.Namespace, out: Output) -> int:
    with connection.build_client(settings(args)) as client:
        result = connection.invoke(out, client, "get_signal_status", args.submission_id)
        return connection.report(out, client, result, _status_tables(args.submission_id))


def _final(result: Any) -> bool:
    """Whether more reading cannot change the answer: a refusal other than 408 or 429 (an
    unknown id, a refused token) ends polling at once."""
    code = result.status_code
    return result.error is not None and isinstance(code, int) and 400 <= code < 500 and code not in (408, 429)


def run_poll(args: argparse.Namespace, out: Output) -> int:
    """Read the status until it is terminal, waiting 0.5 s, then 1.5 times longer each time up
    to 5 s, and at most ``--timeout`` seconds in all."""
    from quillmarsh import submit

    terminal = submit._TERMINAL_STATUSES
    render = _status_tables(args.submission_id)
    with connection.build_client(settings(args)) as client:
        deadline = time.monotonic() + args.timeout
        wait = FIRST_WAIT
        with out.progress(f"Polling {args.submission_id}", total=None) as progress:
            while True:
                result = connection.invoke(out, client, "get_signal_status", args.submission_id)
                if result.status_code == 0 or _final(result) or result.status in terminal:
                    break
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                progress.describe(f"Polling {args.submission_id}: {result.status or 'no status yet'}")
                time.sleep(min(wait, left))
                wait = min(wait * GROWTH, LONGEST_WAIT)
        status = connection.report(out, client, result, render)
    if status != EXIT_OK:
        return status
    if result.status not in terminal:
        out.error(f"no terminal status within {args.timeout:g}s (last status: {result.status})")
        return EXIT_FAILED
    if args.exit_status and result.status in FAILING_STATUSES:
        out.error(f"{args.submission_id} ended with the failing status {result.status}")
        return EXIT_FAILED
    return EXIT_OK


_LIST_COLUMNS = ("submission_id", "status", "signal_pool_name", "named_universe", "created_at")


def _next_command(args: argparse.Namespace, next_since: str) -> str:
    words = ["quillmarsh", "list"]
    for option, value in (("--status", args.status), ("--idempotency-key", args.idempotency_key),
                          ("--limit", args.limit if args.limit != 100 else None)):
        if value is not None:
            words += [option, str(value)]
    return shlex.join(words + ["--since", next_since])


def run_list(args: argparse.Namespace, out: Output) -> int:
    submissions: list[Any] = []
    since, next_since = args.since, None
    with connection.build_client(settings(args)) as client:
        while True:
            result = connection.invoke(out, client, "list_signal_submissions", status=args.status,
                                       idempotency_key=args.idempotency_key, since=since, limit=args.limit)
            if not result.ok:
                return connection.report(out, client, result, lambda r: [])
            submissions += result.submissions
            next_since = result.body.get("next_since") if isinstance(result.body, dict) else None
            if not (args.all and next_since and result.submissions):
                break
            since = next_since
    if out.format == "json":
        out.json({"ok": True, "status_code": result.status_code, "submissions": submissions,
                  "next_since": next_since})
        return EXIT_OK
    records = [s for s in submissions if isinstance(s, dict)]
    columns = [c for c in _LIST_COLUMNS if any(c in s for s in records)] or sorted({k for s in records for k in s})
    if args.wide:
        columns += sorted({k for s in records for k in s} - set(columns))
    rows = [[s.get(c) for c in columns] for s in records]
    if out.plain:
        out.rows(columns, rows)
    elif not records:
        out.stdout.print("No submissions match.")
    else:
        title = f"{len(records)} submission{'s' if len(records) != 1 else ''}"
        out.print(rows_table(title, columns, rows, no_wrap=("submission_id", "idempotency_key", "created_at")))
    if next_since:
        out.error(f"more submissions: {_next_command(args, next_since)} (or --all)")
    return EXIT_OK
