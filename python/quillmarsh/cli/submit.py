"""``quillmarsh submit FILE`` (one signal) and ``quillmarsh strategy FILE``."""

from __future__ import annotations

import argparse
from typing import Any

from quillmarsh.prescreen import explain

from . import signals
from .connection import call, client_for, report
from .errors import UsageError
from .output import Output
from .settings import connection as settings


def submission_fields(result: Any) -> tuple[str, list[tuple[str, Any]]]:
    """The title and fields of a submission's result: a replay is told from a new one."""
    if not result.ok:
        title = "Submission not accepted"
    elif result.replayed:
        title = "Submission already stored (same content)"
    else:
        title = "Submission accepted"
    fields = [
        ("status_code", result.status_code),
        ("submission_id", result.submission_id),
        ("signal_pool_id", result.signal_pool_id),
        ("strategy_pool_id", result.strategy_pool_id),
        ("strategy_signal_pool", result.strategy_signal_pool),
        ("replayed", result.replayed),
        ("error", result.error),
    ]
    return title, [(name, value) for name, value in fields if value is not None]


def run_submit(args: argparse.Namespace, out: Output) -> int:
    signal = signals.one_signal(args.file)
    refused = signals.record_timings([signal])
    if refused:
        raise UsageError(str(refused[0]))
    fields = dict(signal.fields)
    conn = settings(args)
    with client_for(conn) as client:
        result = call(
            out,
            conn.base_url,
            lambda: client.submit_signal(**fields),
            where=signal.where,
            explain=lambda exc: explain(
                {**signal.fields, "backtest_timing": signal.timing}, exc, catalog=client.era_catalog
            ),
        )
        return report(out, conn.base_url, result, *submission_fields(result))


def run_strategy(args: argparse.Namespace, out: Output) -> int:
    fields = signals.strategy(args.file)
    conn = settings(args)
    with client_for(conn) as client:
        result = call(
            out, conn.base_url, lambda: client.submit_strategy(**fields), where=signals.source_name(args.file)
        )
        return report(out, conn.base_url, result, *submission_fields(result))
