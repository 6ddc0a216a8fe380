"""``quillmarsh submit FILE`` (one signal) and ``quillmarsh strategy FILE``."""

from __future__ import annotations

import argparse
from typing import Any

from . import connection, signals
from .checks import refusal
from .errors import EXIT_FAILED, EXIT_OK, UsageError
from .output import Output, fields_table
from .settings import connection as settings


def _tables(result: Any) -> list[Any]:
    verdict = "accepted" if result.ok else "not accepted"
    rows = [("status code", result.status_code), ("submission id", result.submission_id),
            ("signal pool id", result.signal_pool_id), ("strategy pool id", result.strategy_pool_id),
            ("strategy signal pool", result.strategy_signal_pool), ("error", result.error)]
    return [fields_table(f"Submission {verdict}", [r for r in rows if r[1] is not None])]


def _report(out: Output, client: Any, result: Any) -> int:
    out.record(result, _tables)
    if result.ok:
        return EXIT_OK
    out.error(connection.describe_result(result, client._base_url))
    return EXIT_FAILED


def run_submit(args: argparse.Namespace, out: Output) -> int:
    signal = signals.one_signal(args.file)
    refused = signals.record_timings([signal])
    if refused:
        raise UsageError(str(refused[0]))
    fields = dict(signal.fields)
    with connection.build_client(settings(args)) as client:
        def explain(exc: BaseException) -> str:
            return refusal(client._era_catalog_cache, signal.fields, exc)

        result = connection.invoke(out, client, "submit_signal", fields.pop("graph"), fields.pop("named_universe", None),
                                   where=signal.where, explain=explain, **fields)
        return _report(out, client, result)


def run_strategy(args: argparse.Namespace, out: Output) -> int:
    fields = signals.strategy(args.file)
    with connection.build_client(settings(args)) as client:
        result = connection.invoke(out, client, "submit_strategy", fields.pop("graph"),
                                   fields.pop("named_universe", None), where=signals.source_name(args.file), **fields)
        return _report(out, client, result)
