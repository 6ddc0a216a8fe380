"""Every rule a refused signal breaks, each in one line, in the signal's own field names and
saying what the era requires: the client's checks stop at the first refusal
(``sharpe failed: 0.1 >= 1.0``), and a person fixing a file wants them all at once
(``is_stats.sharpe is 0.1; era 3 requires at least 1.0 for momentum in us_top500``).

The rules are the client's own, asked one by one of the native module and the policy
modules, without taking a recorded backtest timing.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping
from typing import Any

from quillmarsh import _backtest_timing, _graph_complexity, _pool_identity, _threshold_gates
from quillmarsh.causes import one_line

# The statistics each gate reads, in the order the client looks for them.
METRIC_ALIASES = {
    "sharpe": ("sharpe", "is_sharpe", "gross_returns_sharpe"),
    "turnover": ("turnover", "avg_turnover", "is_turnover_pct"),
    "delta_exposure": ("delta_exposure",),
    "max_weight": ("max_weight",),
    "abs_weight_sum_mean": ("abs_weight_sum_mean",),
    "is_correlation": ("correlation", "is_correlation"),
}
NAMED_UNIVERSE_HINT = (
    "named_universe is required: give it in the signal, or set a default with "
    "QUILLMARSH_NAMED_UNIVERSE (or named_universe in the agent config file)"
)


def _first(check: Callable[[], Any]) -> str | None:
    """The message of the refusal ``check`` raises, or None when it passes."""
    try:
        check()
    except (ValueError, TypeError) as exc:
        return one_line(exc)
    return None


def _names(collection: Any, fields: tuple[str, ...]) -> list[str]:
    from quillmarsh import submit

    if isinstance(collection, dict):
        return [str(key) for key in collection]
    names = []
    for record in collection if isinstance(collection, (list, tuple)) else ():
        for field in fields:
            value = submit._field_value(record, field)
            if value is not None:
                names.append(str(value))
                break
    return names


def _known(names: list[str]) -> str:
    return ", ".join(names) or "none"


def _contract(fields: dict[str, Any]) -> list[str]:
    """The checks of a signal's own values (types, finiteness, manifest integers), each one."""
    from quillmarsh import submit

    stats = fields.get("is_stats")
    problems = [
        _first(lambda: submit._validate_selected_pool_id(fields.get("signal_pool_name"), "signal_pool_name")),
        None if isinstance(stats, dict) else "is_stats must be a dict",
        "is_stats must not contain MI contract fields (is_pnl_mi_values, is_mi_values, is_mi)"
        if isinstance(stats, dict) and submit._has_disallowed_mi_contract_field(stats)
        else None,
        "is_stats values must be finite numbers"
        if isinstance(stats, dict) and submit._has_non_finite_number(stats)
        else None,
        _first(lambda: submit._coerce_mi_contract_value(fields.get("is_pnl_mi"))),
    ]
    elapsed: Any = fields.get("expression_elapsed_seconds")
    if not (type(elapsed) in (int, float) and math.isfinite(elapsed) and elapsed > 0):
        problems.append(f"expression_elapsed_seconds must be a positive number of seconds, not {elapsed!r}")
    for name, falls_back_to in (
        ("client_manifest_version", None),
        ("client_manifest_market_id", "market_id"),
        ("client_manifest_era_number", "era_number"),
    ):
        given = name if fields.get(name) is not None else falls_back_to
        if given is not None and fields.get(given) is not None:
            problem = _first(lambda: submit._validate_optional_manifest_int(fields.get(given), given))
            problems.append(problem)
    return [p for p in problems if p]


def _gates(fields: dict[str, Any], thresholds: dict[str, Any], era_name: str, pool: str, universe: str) -> list[str]:
    """Every threshold the statistics miss, named as the signal names them."""
    from quillmarsh import submit

    stats = fields.get("is_stats")
    if not isinstance(stats, dict):
        return []
    metrics: dict[str, Any] = {gate: submit._stat_metric(stats, aliases) for gate, aliases in METRIC_ALIASES.items()}
    try:
        metrics["is_pnl_mi"] = submit._coerce_mi_contract_value(fields.get("is_pnl_mi"))
        verdict = _threshold_gates.evaluate_threshold_gates(
            metrics=metrics, threshold_set=thresholds, pool_thresholds=thresholds
        )
    except ValueError as exc:
        return [one_line(exc)]
    problems = []
    for failure in verdict.failures if not verdict.passed else ():
        bound = "at least" if failure.operator == ">=" else "at most"
        wanted = f"{era_name} requires {bound} {failure.threshold:g} for {pool} in {universe}"
        if failure.gate == "is_pnl_mi":
            problems.append(f"is_pnl_mi is {fields.get('is_pnl_mi')!r}; {wanted}")
            continue
        aliases = METRIC_ALIASES[failure.gate]
        used = next((a for a in aliases if submit._is_finite_number(stats.get(a))), None)
        if used is None:
            problems.append(f"is_stats has no {' or '.join(aliases)}; {wanted}")
        else:
            shown = f"|is_stats.{used}|" if failure.gate == "delta_exposure" else f"is_stats.{used}"
            problems.append(f"{shown} is {stats[used]!r}; {wanted}")
    return problems


_TIMING_FIGURES = ("row_count", "elapsed_seconds", "max_row_elapsed_seconds")


def _graph_and_timing(fields: dict[str, Any], era: Any, era_name: str) -> list[str]:
    from quillmarsh import submit

    graph = fields.get("graph")
    problems = []
    try:
        complexity = _graph_complexity.measure_graph_complexity(graph)
        for measure, limit_field, noun in (
            ("depth", "max_depth", "levels deep"),
            ("node_count", "max_node_count", "nodes"),
        ):
            limit = submit._required_positive_era_int(era, limit_field)
            value = getattr(complexity, measure)
            if value > limit:
                problems.append(f"graph is {value} {noun}; {era_name} allows at most {limit}")
    except (ValueError, TypeError) as exc:
        problems.append(one_line(exc))
    try:
        # The figures the signal came with, else the registry's (a refused submission used its record up).
        given = fields.get("backtest_timing")
        if isinstance(given, Mapping) and all(name in given for name in _TIMING_FIGURES):
            record = _backtest_timing.RecordedBacktestTiming(
                row_count=given["row_count"],
                elapsed_seconds=given["elapsed_seconds"],
                max_row_elapsed_seconds=given["max_row_elapsed_seconds"],
            )
        else:
            record = _backtest_timing.require_recorded_backtest_timing(graph)
        frequency = submit._field_value(era, "frequency")
        verdict = _backtest_timing.assess_client_backtest_timing(
            frequency=frequency,
            row_count=record.row_count,
            elapsed_seconds=record.elapsed_seconds,
            max_row_elapsed_seconds=record.max_row_elapsed_seconds,
        )
    except (ValueError, TypeError) as exc:
        return [*problems, one_line(exc)]
    if not verdict.accepted:
        if verdict.per_row_budget_seconds is None:
            problems.append(f"{era_name}'s data frequency {frequency!r} has no backtest budget")
        else:
            problems.append(
                f"backtest_timing is over {era_name}'s budget for {frequency} data: "
                f"max_row_elapsed_seconds {verdict.max_row_elapsed_seconds:g} of at most "
                f"{verdict.per_row_budget_seconds:g}, elapsed_seconds {verdict.elapsed_seconds:g} of at most "
                f"{verdict.whole_budget_seconds:g}"
            )
    return problems


def explain(fields: dict[str, Any], catalog_of: Callable[[], Any], refusal: BaseException) -> list[str]:
    """Every rule of the era ``fields`` (a signal's keyword fields, ``graph`` included) breaks,
    against the catalog ``catalog_of()`` gives; the refusal's own message when none can be told
    apart."""
    from quillmarsh import submit

    fallback = [one_line(refusal)]
    if fields.get("thresholds") is not None or fields.get("threshold_checks") is not None:
        return fallback
    try:
        universe = submit._validate_named_universe(fields.get("named_universe"))
    except ValueError:
        if fields.get("named_universe") is None:
            return [NAMED_UNIVERSE_HINT, *_contract(fields)]
        return [*fallback]
    try:
        catalog = catalog_of()
        era = submit._required_active_submit_era(
            catalog, market_id=fields.get("market_id"), era_number=fields.get("era_number")
        )
    except Exception:  # noqa: BLE001 - no catalog, or no era to hold the signal against
        return fallback
    era_name = f"era {submit._field_value(era, 'era_number')}"
    problems = []
    if submit._rule_id_for_named_universe(era, universe) is None:
        known = _names(submit._field_value(era, "universe_rules"), ())
        known += [
            n for n in _names(submit._field_value(era, "universes"), ("named_universe", "id", "name")) if n not in known
        ]
        problems.append(f"named_universe {universe!r} is not in {era_name} (known: {_known(known)})")
    pool: Any = fields.get("signal_pool_name")
    if (
        isinstance(pool, str)
        and pool.strip()
        and _pool_identity.selected_signal_pool_from_era_config(era, pool) is None
    ):
        known = _names(submit._field_value(era, "signal_pools"), ("name", "signal_pool_name", "id"))
        problems.append(f"signal_pool_name {pool!r} is not in {era_name} (known: {_known(known)})")
    problems += _contract(fields)
    if not problems:
        try:
            thresholds = submit._submission_thresholds_from_era_catalog(
                catalog, universe, pool, market_id=fields.get("market_id"), era_number=fields.get("era_number")
            )
        except ValueError as exc:
            problems.append(one_line(exc))
        else:
            problems += _gates(fields, thresholds, era_name, pool, universe)
    problems += _graph_and_timing(fields, era, era_name)
    return problems or fallback
