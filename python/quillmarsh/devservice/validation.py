"""Judging request bodies: 400 for what is malformed, 422 for what the catalog does not hold.

``check_signal`` and ``check_strategy`` return a ``Checked`` record of what the service
keeps about an accepted submission, or raise ``Refusal`` carrying the HTTP status and
the JSON answer: ``{"error": ..., "details": {...}}`` for a 400, ``{"reason": ...,
"details": {...}}`` for a 422.

``details`` (made by ``explain``) is what a client shows its user: always an object with
``message``, a sentence that says what is wrong and, where the service knows, what it
would take instead; and, where useful, machine-readable fields beside it:

* ``field``: the request field (or query parameter) the refusal is about;
* ``allowed``: the values the service would take there (the catalog's universes, pools
  or eras, the statuses, the methods of a route);
* ``minimum`` / ``maximum``: the bounds of a number or a count;
* ``line`` / ``column``: where a body stops being JSON;
* ``retry_after``: the seconds to wait before retrying (with a ``Retry-After`` header).

``parse_json`` reads a request body. What is not JSON text (the ``NaN`` and ``Infinity``
tokens included) is ``malformed_json``; JSON text the service does not take is
``malformed_request``:

* a number that does not fit a double (``1e999``): it would come back as a bare
  ``Infinity``, which no JSON parser has to accept;
* an integer beyond +-(2**53 - 1) (``MAX_SAFE_INTEGER``): the largest that every JSON
  implementation reads exactly (RFC 7493, I-JSON); a bigger one is read differently by
  a client built on doubles, and one of hundreds of digits costs a quadratic conversion;
* arrays and objects nested deeper than ``MAX_DEPTH`` (64) levels, counting the body
  itself as one: a request the client sends has at most a handful, a JSON graph a few
  per graph level, and deeper documents exhaust the stack of whatever re-reads them;
* a string holding a lone UTF-16 surrogate (``"\\ud800"``): it cannot be stored as text.

``dumps`` writes every answer: standard JSON only, a non-finite number (which an older
store file may hold) as the string ``"Infinity"``, ``"-Infinity"`` or ``"NaN"``.
"""

from __future__ import annotations

import hashlib
import json
import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from quillmarsh._graph_complexity import measure_graph_complexity
from quillmarsh._threshold_gates import evaluate_threshold_gates

from .catalog import Catalog
from .lifecycle import TERMINAL_STATUSES

__all__ = [
    "MAX_DEPTH",
    "MAX_SAFE_INTEGER",
    "Checked",
    "Refusal",
    "check_signal",
    "check_strategy",
    "dumps",
    "fingerprint",
    "parse_json",
]

RETIRED_UNIVERSE_FIELDS = ("universe_id", "valid_universe_id", "valid_universe_rule_id")
MAX_SAFE_INTEGER = 2**53 - 1
MAX_DEPTH = 64


def explain(message: str, **fields: Any) -> dict[str, Any]:
    """The ``details`` of an error answer: the message and the machine fields that are not None."""
    return {"message": message, **{name: value for name, value in fields.items() if value is not None}}


def known(names: list[Any], limit: int = 20) -> str:
    """A list of names for a message: the first ``limit``, and how many there are past them."""
    if not names:
        return "none"
    shown = ", ".join(str(name) for name in names[:limit])
    return shown if len(names) <= limit else f"{shown}, ... ({len(names)} in all)"


class Refusal(Exception):
    """A request the service answers with an error status and a JSON body."""

    def __init__(self, status: int, body: dict[str, Any]):
        super().__init__(f"{status}: {body}")
        self.status = status
        self.body = body


def malformed(message: str, error: str = "malformed_request", **fields: Any) -> Refusal:
    return Refusal(400, {"error": error, "details": explain(message, **fields)})


def unprocessable(reason: str, message: str, **fields: Any) -> Refusal:
    return Refusal(422, {"reason": reason, "details": explain(message, **fields)})


@dataclass
class Checked:
    """What an accepted submission is filed with."""

    kind: str  # "signal" or "strategy"
    market_id: int
    era_number: int
    named_universe: str
    pool_name: str
    signal_pool_id: str | None = None
    strategy_pool_id: str | None = None
    strategy_signal_pool: str | None = None
    reward_credits: float | None = None
    is_stats: dict[str, Any] | None = None
    is_correlation: float | None = None
    is_pnl_mi: Any = None
    gate_failure: str | None = None  # the first threshold gate the statistics fail
    requested_outcome: Any = None


def _reject_constant(token: str) -> Any:
    raise ValueError(f"{token} is not valid JSON")


class _Beyond(Exception):
    """JSON text the service does not take (see the module's notes)."""


def _bounded_int(text: str) -> int:
    if len(text.lstrip("-")) > 16 or abs(value := int(text)) > MAX_SAFE_INTEGER:
        shown = text if len(text) <= 24 else f"{text[:20]}... ({len(text)} characters)"
        raise _Beyond(f"integer {shown} is beyond +-{MAX_SAFE_INTEGER} (2**53 - 1)")
    return value


def _finite_float(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        shown = text if len(text) <= 24 else f"{text[:20]}..."
        raise _Beyond(f"number {shown} does not fit a double")
    return value


def _check_shape(value: Any) -> None:
    """Nesting depth and strings of a parsed document, walked without recursion."""
    stack = [(value, 1)] if isinstance(value, (str, dict, list)) else []
    while stack:
        item, depth = stack.pop()
        if isinstance(item, str):
            if not item.isascii():
                try:
                    item.encode("utf-8")
                except UnicodeEncodeError:
                    raise _Beyond("a string holds a lone UTF-16 surrogate") from None
            continue
        if depth > MAX_DEPTH:
            raise _Beyond(f"arrays and objects are nested deeper than {MAX_DEPTH} levels")
        if isinstance(item, dict):
            stack.extend((key, depth) for key in item)
        children = item.values() if isinstance(item, dict) else item
        stack.extend((child, depth + 1) for child in children if isinstance(child, (str, dict, list)))


def parse_json(raw: bytes) -> Any:
    """Strict, bounded JSON: 400 ``malformed_json`` for what is not JSON text (the NaN and
    Infinity tokens included), 400 ``malformed_request`` for JSON beyond the service's limits."""
    if not raw.strip():
        raise malformed("request body is empty; send a JSON object", "malformed_json")
    try:
        value = json.loads(
            raw.decode("utf-8"), parse_constant=_reject_constant, parse_int=_bounded_int, parse_float=_finite_float
        )
        _check_shape(value)
    except _Beyond as exc:
        raise malformed(f"request body is beyond the service's limits: {exc}") from None
    except RecursionError:
        raise malformed(
            f"request body is beyond the service's limits: arrays and objects are nested deeper than {MAX_DEPTH} levels"
        ) from None
    except json.JSONDecodeError as exc:
        raise malformed(
            f"request body is not valid JSON: {exc}", "malformed_json", line=exc.lineno, column=exc.colno
        ) from None
    except (UnicodeDecodeError, ValueError) as exc:
        raise malformed(f"request body is not valid JSON: {exc}", "malformed_json") from None
    return value


def _finite(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return "NaN" if value != value else ("Infinity" if value > 0 else "-Infinity")
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in value]
    return value


def dumps(value: Any) -> str:
    """Standard JSON text of an answer; a non-finite number is written as a string."""
    try:
        return json.dumps(value, allow_nan=False)
    except ValueError:
        return json.dumps(_finite(value), allow_nan=False)


def fingerprint(kind: str, body: dict[str, Any]) -> str:
    """What makes two requests under one idempotency key the same request: the body without
    its key, and without the older ``signal_pool_id`` when that only repeats the pool name."""
    same = {k: v for k, v in body.items() if k != "idempotency_key"}
    if same.get("signal_pool_id") == same.get("signal_pool_name"):
        same.pop("signal_pool_id", None)
    text = json.dumps([kind, same], sort_keys=True, separators=(",", ":"))
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


def _number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


def _positive_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and value > 0


_TEXT = (lambda v: isinstance(v, str) and bool(v.strip()), "a non-empty string")
_POSITIVE_INT = (_positive_int, "a positive integer")
_OBJECT = (lambda v: isinstance(v, dict), "an object")
_GRAPH = (
    lambda v: (isinstance(v, str) and bool(v.strip())) or (isinstance(v, (dict, list)) and bool(v)),
    "a non-empty expression string or JSON structure",
)
_MI = (lambda v: _number(v) or v == "Infinity", 'a finite number or "Infinity"')
_SECONDS = (lambda v: _number(v) and v > 0, "a positive number")

Rule = tuple[Callable[[Any], bool], str]
SIGNAL_REQUIRED: tuple[tuple[str, Rule], ...] = (
    ("graph", _GRAPH),
    ("named_universe", _TEXT),
    ("signal_pool_name", _TEXT),
    ("is_stats", _OBJECT),
    ("is_pnl_mi", _MI),
    ("expression_elapsed_seconds", _SECONDS),
    ("market_id", _POSITIVE_INT),
    ("era_number", _POSITIVE_INT),
)
STRATEGY_REQUIRED: tuple[tuple[str, Rule], ...] = (
    ("graph", _GRAPH),
    ("named_universe", _TEXT),
    ("strategy_pool_name", _TEXT),
    ("market_id", _POSITIVE_INT),
    ("era_number", _POSITIVE_INT),
)
OPTIONAL: tuple[tuple[str, Rule], ...] = (  # null counts as absent
    ("graph_depth", _POSITIVE_INT),
    ("graph_node_count", _POSITIVE_INT),
    ("client_manifest_version", _POSITIVE_INT),
    ("client_manifest_market_id", _POSITIVE_INT),
    ("client_manifest_era_number", _POSITIVE_INT),
    ("metaparameters", _OBJECT),
    ("simulation_data_contract_projection", _OBJECT),
    ("signal_pool_id", _TEXT),
    ("idempotency_key", (lambda v: isinstance(v, str), "a string")),
)


def _check_fields(body: Any, required: tuple[tuple[str, Rule], ...]) -> dict[str, Any]:
    if not isinstance(body, dict):
        raise malformed(f"request body must be a JSON object, got {_kind(body)}")
    for name in RETIRED_UNIVERSE_FIELDS:
        if name in body:
            raise malformed(f"{name} is retired; submit named_universe", field=name)
    for name, (valid, wanted) in required:
        if body.get(name) is None:
            raise malformed(f"{name} is required", field=name)
        if not valid(body[name]):
            raise malformed(f"{name} must be {wanted}, got {_kind(body[name])}", field=name)
    for name, (valid, wanted) in OPTIONAL:
        if body.get(name) is not None and not valid(body[name]):
            raise malformed(f"{name} must be {wanted}, got {_kind(body[name])}", field=name)
    return body


def _kind(value: Any) -> str:
    """A JSON value as a message shows it: short ones as JSON text, else their kind."""
    if isinstance(value, dict):
        return "an object"
    if isinstance(value, list):
        return "an array"
    text = dumps(value)
    if isinstance(value, str):
        return f"the string {text}" if len(text) <= 40 else "a string"
    return text if len(text) <= 40 else "a number"


def _open_era(catalog: Catalog, body: dict[str, Any]) -> dict[str, Any]:
    market_id, era_number = body["market_id"], body["era_number"]
    era = catalog.era(market_id, era_number)
    if era is None:
        numbers = catalog.era_numbers(market_id)
        if not numbers:
            markets = catalog.market_ids()
            raise unprocessable(
                "unknown_era",
                f"market_id {market_id} is not in the catalog; known: {known(markets)}",
                field="market_id",
                allowed=markets,
            )
        raise unprocessable(
            "unknown_era",
            f"era_number {era_number} is not an era of market {market_id}; known: {known(numbers)}",
            field="era_number",
            allowed=numbers,
        )
    if not catalog.is_open(era):
        open_ = catalog.era_numbers(market_id, open_only=True)
        raise unprocessable(
            "era_not_open",
            f"era {era_number} of market {market_id} is "
            f"{era.get('state') or 'not active'}; submissions go to "
            f"{_open_eras(open_)}",
            field="era_number",
            allowed=open_,
        )
    for name, expected in (("client_manifest_market_id", market_id), ("client_manifest_era_number", era_number)):
        if body.get(name) is not None and body[name] != expected:
            raise unprocessable(
                "manifest_mismatch",
                f"{name} {body[name]} does not match the submission's "
                f"{name.removeprefix('client_manifest_')} {expected}",
                field=name,
                allowed=[expected],
            )
    return era


def _open_eras(numbers: list[int]) -> str:
    if not numbers:
        return "no era of this market now"
    return f"era {numbers[0]}" if len(numbers) == 1 else f"eras {known(numbers)}"


def _rule_id(catalog: Catalog, era: dict[str, Any], pool: dict[str, Any], body: dict[str, Any], pool_name: str) -> int:
    named_universe = body["named_universe"].strip()
    rule_id = catalog.rule_id(era, named_universe)
    if rule_id is None:
        names = catalog.universe_names(era)
        raise unprocessable(
            "unknown_named_universe",
            f"named_universe {named_universe!r} is not in {_where(body)}; known: {known(names)}",
            field="named_universe",
            allowed=names,
        )
    if not catalog.universe_config(pool, rule_id)[0]:
        names = catalog.universe_names(era, pool)
        raise unprocessable(
            "universe_not_in_pool",
            f"pool {pool_name!r} does not take submissions for "
            f"named_universe {named_universe!r}; it takes: {known(names)}",
            field="named_universe",
            allowed=names,
        )
    return rule_id


def _where(body: dict[str, Any]) -> str:
    return f"era {body['era_number']} of market {body['market_id']}"


def _check_graph(era: dict[str, Any], body: dict[str, Any]) -> None:
    try:
        measured = measure_graph_complexity(body["graph"])
    except ValueError as exc:
        raise malformed(f"graph cannot be read: {exc}", field="graph") from None
    for name, actual, limit in (
        ("graph_depth", measured.depth, "max_depth"),
        ("graph_node_count", measured.node_count, "max_node_count"),
    ):
        if body.get(name) is not None and body[name] != actual:
            raise unprocessable(
                "graph_complexity_mismatch",
                f"{name} {body[name]} does not match the graph, which measures {actual}",
                field=name,
                allowed=[actual],
            )
        if _positive_int(era.get(limit)) and actual > era[limit]:
            raise unprocessable(
                "graph_too_complex",
                f"the graph's {name.removeprefix('graph_')} {actual} exceeds the era's {limit} {era[limit]}",
                field="graph",
                maximum=era[limit],
            )


def _metric(is_stats: dict[str, Any], *names: str) -> float | None:
    return next((float(is_stats[n]) for n in names if _number(is_stats.get(n))), None)


def _gate_failure(thresholds: dict[str, Any], is_stats: dict[str, Any], is_pnl_mi: Any) -> str | None:
    metrics = {
        "sharpe": _metric(is_stats, "sharpe", "is_sharpe", "gross_returns_sharpe"),
        "turnover": _metric(is_stats, "turnover", "avg_turnover", "is_turnover_pct"),
        "delta_exposure": _metric(is_stats, "delta_exposure"),
        "max_weight": _metric(is_stats, "max_weight"),
        "abs_weight_sum_mean": _metric(is_stats, "abs_weight_sum_mean"),
        "is_correlation": _metric(is_stats, "correlation", "is_correlation"),
        "is_pnl_mi": math.inf if is_pnl_mi == "Infinity" else float(is_pnl_mi),
    }
    try:
        verdict = evaluate_threshold_gates(metrics=metrics, threshold_set=thresholds, pool_thresholds=None)
    except ValueError as exc:  # a threshold in a hand-written catalog that is not a number
        return f"thresholds unusable: {exc}"
    if verdict.passed:
        return None
    first = verdict.failures[0]
    return f"{first.gate} failed: {first.actual} {first.operator} {first.threshold}"


def _requested_outcome(body: dict[str, Any]) -> Any:
    wanted = (body.get("metaparameters") or {}).get("devservice_outcome")
    if wanted is not None and wanted not in TERMINAL_STATUSES:
        raise malformed(
            "metaparameters.devservice_outcome must be one of " + ", ".join(TERMINAL_STATUSES),
            field="metaparameters.devservice_outcome",
            allowed=list(TERMINAL_STATUSES),
        )
    return wanted


def check_signal(catalog: Catalog, body: Any) -> Checked:
    body = _check_fields(body, SIGNAL_REQUIRED)
    era = _open_era(catalog, body)
    pool_name = body["signal_pool_name"]
    pool = catalog.signal_pool(era, pool_name)
    if pool is None:
        names = catalog.signal_pool_names(era)
        raise unprocessable(
            "unknown_signal_pool",
            f"signal_pool_name {pool_name!r} is not a signal pool of {_where(body)}; known: {known(names)}",
            field="signal_pool_name",
            allowed=names,
        )
    legacy_id = body.get("signal_pool_id")
    ids = list(dict.fromkeys(i for i in (pool_name, pool.get("signal_pool_id")) if i is not None))
    if legacy_id is not None and legacy_id not in ids:
        raise unprocessable(
            "signal_pool_mismatch",
            f"signal_pool_id {legacy_id!r} does not name pool {pool_name!r}; leave it out or send {known(ids)}",
            field="signal_pool_id",
            allowed=ids,
        )
    rule_id = _rule_id(catalog, era, pool, body, pool_name)
    _check_graph(era, body)
    projection = body.get("simulation_data_contract_projection")
    if projection is not None and projection != era.get("simulation_data_contract_projection"):
        raise unprocessable(
            "data_contract_mismatch",
            "simulation_data_contract_projection differs from the era's; refresh the catalog",
            field="simulation_data_contract_projection",
        )
    is_stats = body["is_stats"]
    return Checked(
        kind="signal",
        market_id=body["market_id"],
        era_number=body["era_number"],
        named_universe=body["named_universe"].strip(),
        pool_name=pool_name,
        signal_pool_id=pool.get("signal_pool_id", pool_name),
        strategy_pool_id=pool.get("strategy_pool_id"),
        strategy_signal_pool=pool.get("strategy_signal_pool"),
        reward_credits=pool.get("reward_credits"),
        is_stats=is_stats,
        is_correlation=_metric(is_stats, "correlation", "is_correlation"),
        is_pnl_mi=body["is_pnl_mi"],
        gate_failure=_gate_failure(catalog.thresholds(era, pool, rule_id), is_stats, body["is_pnl_mi"]),
        requested_outcome=_requested_outcome(body),
    )


def check_strategy(catalog: Catalog, body: Any) -> Checked:
    body = _check_fields(body, STRATEGY_REQUIRED)
    era = _open_era(catalog, body)
    pool_name = body["strategy_pool_name"]
    pool = catalog.strategy_pool(era, pool_name)
    if not isinstance(pool, dict):
        names = catalog.strategy_pool_names(era)
        raise unprocessable(
            "unknown_strategy_pool",
            f"strategy_pool_name {pool_name!r} is not a strategy pool of {_where(body)}; known: {known(names)}",
            field="strategy_pool_name",
            allowed=names,
        )
    _rule_id(catalog, era, pool, body, pool_name)
    _check_graph(era, body)
    return Checked(
        kind="strategy",
        market_id=body["market_id"],
        era_number=body["era_number"],
        named_universe=body["named_universe"].strip(),
        pool_name=pool_name,
        strategy_pool_id=pool.get("strategy_pool_id", pool_name),
        reward_credits=pool.get("reward_credits"),
        requested_outcome=_requested_outcome(body),
    )
