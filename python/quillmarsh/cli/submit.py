"""``quillmarsh submit FILE`` (one signal) and ``quillmarsh strategy FILE``."""

from __future__ import annotations

import argparse
from typing import Any

from . import connection, signals
from .checks import refusal
from .errors import UsageError
from .output import Output, fields_table
from .settings import connection as settings


def _tables(result: Any) -> list[Any]:
    verdict = "accepted" if result.ok else "not accepted"
    rows = [("status code", result.status_code), ("submission id", result.submission_id),
            ("signal pool id", result.signal_pool_id), ("strategy pool id", result.strategy_pool_id),
            ("strategy signal pool", result.strategy_signal_pool), ("error", result.error)]
    return [fields_table(f"Submission {verdict}", [r for r in rows if r[1] is not None])]


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
        return connection.report(out, client, result, _tables)


def run_strategy(args: argparse.Namespace, out: Output) -> int:
    fields = signals.strategy(args.file)
    with connection.build_client(settings(args)) as client:
        result = connection.invoke(out, client, "submit_strategy", fields.pop("graph"),
                                   fields.pop("named_universe", None), where=signals.source_name(args.file), **fields)
        return connection.report(out, client, result, _tables)
