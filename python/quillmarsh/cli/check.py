"""``quillmarsh check FILE``: every local check of the client against the service's era catalog,
and the exact body (and key) each signal would be posted with; nothing is sent."""

from __future__ import annotations

import argparse
import json
from typing import Any

from quillmarsh import describe
from quillmarsh.prescreen import explain

from . import signals
from .batch import Batch, check_lines, report_problems
from .connection import client_for, failure_document, is_local_refusal
from .errors import EXIT_FAILED, EXIT_OK, EXIT_USAGE, Reported
from .output import Output
from .settings import connection as settings
from .signals import Problem


def _is_batch_file(path: str, text: str, forced: bool) -> bool:
    """A batch file: so named or asked for, or anything but one JSON document (a signal file
    may spread its one object over many lines)."""
    if forced or path.endswith((".jsonl", ".ndjson")):
        return True
    try:
        json.loads(text)
    except (json.JSONDecodeError, RecursionError):
        return True
    return False


def _checked(line: int | None, checked: Any) -> dict[str, Any]:
    key = checked.idempotency_key
    header = str(key) if key and checked.endpoint == "signals/submit" else None
    return {
        "line": line,
        "ok": True,
        "endpoint": checked.endpoint,
        "idempotency_key": key,
        "idempotency_key_header": header,
        "body": checked.body,
        "wire": json.dumps(checked.body),
    }


def _one(out: Output, client: Any, base_url: str, signal: signals.Signal) -> tuple[list[dict[str, Any]], list[Problem]]:
    refused = signals.record_timings([signal])
    if refused:
        return [], refused
    try:
        return [_checked(None, client.check_signal(**signal.fields))], []
    except Exception as exc:
        if not is_local_refusal(exc):
            raise Reported(out.failure(describe(exc, base_url=base_url), failure_document(exc))) from None
        problems = explain(signal.fields, exc, catalog=client.era_catalog)
        return [], [Problem(signal.where, None, "; ".join(problems), kind="refused")]


def run_check(args: argparse.Namespace, out: Output) -> int:
    text = signals.read_text(args.file)
    batch_form = _is_batch_file(args.file, text, args.batch)
    conn = settings(args)
    with client_for(conn) as client:
        if batch_form:
            batch = Batch(args.file)
            passed, refused = check_lines(out, client, conn.base_url, batch.signals)
            results = [_checked(signal.line, checked) for signal, checked in passed]
            problems = batch.problems + refused
        else:
            results, problems = _one(out, client, conn.base_url, signals.one_signal(args.file))
    results += [{"line": p.line, "ok": False, "error": p.message} for p in problems]
    results.sort(key=lambda r: r["line"] or 0)
    passed_results = [r for r in results if r["ok"]]
    if out.format == "json":
        out.json({"ok": not problems, "sent": False, "signals": results})
    elif out.plain:
        out.table(
            None,
            ("line", "endpoint", "idempotency_key", "body"),
            [(r["line"], r["endpoint"], r["idempotency_key"], r["wire"]) for r in passed_results],
        )
    else:
        name = signals.source_name(args.file)
        lines = []
        for result in passed_results:
            where = name + (f":{result['line']}" if result["line"] else "")
            header = f" Idempotency-Key: {result['idempotency_key_header']}" if result["idempotency_key_header"] else ""
            lines += [f"{where}: ok, would POST {result['endpoint']}{header}", result["wire"]]
        out.lines(lines)
    report_problems(out, problems)
    if problems:
        return EXIT_USAGE if any(p.kind == "input" for p in problems) else EXIT_FAILED
    out.note(f"{len(results)} signal{'s' if len(results) != 1 else ''} checked, nothing sent")
    return EXIT_OK
