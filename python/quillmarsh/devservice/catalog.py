"""The era catalog the local service publishes at ``GET /eras``, and lookups in it.

The built-in catalog (``default_catalog()``) has two markets with several eras each;
era 3 is the active era of both. Its shape::

    {"active_era_number": 3,
     "markets": [{"market_id": 1, "name": "us_equities", ...}, ...],
     "eras_by_market": {"1": [era, ...], "2": [era, ...]}}

An era carries ``market_id``, ``era_number``, ``state`` ("closed", "active",
"scheduled"), graph limits ``max_depth`` / ``max_node_count``, the data ``frequency``,
era-wide ``thresholds``, ``universe_rules`` (named universe -> rule), ``universes``
(list of universe records), ``signal_pools`` and ``strategy_pools`` (dicts keyed by pool
name) and a ``simulation_data_contract_projection``. A signal pool lists the universes it
serves under ``universes``, keyed by rule id, each with its ``signal_is_thresholds``.

A catalog given as a JSON file may instead list its eras flat under ``eras``, and may
give pools and universes as lists; the lookups below read both shapes. It must be
standard JSON: a ``NaN`` or ``Infinity`` token, or a number beyond a double, is refused.
"""

from __future__ import annotations

import json
import math
from pathlib import Path
from typing import Any

from quillmarsh._pool_identity import selected_signal_pool_from_era_config

__all__ = ["Catalog", "default_catalog", "load_catalog"]

ACTIVE_ERA = 3

# market id, market name, data set, (named universe, rule id, instrument count, description)
_MARKETS = (
    (
        1,
        "us_equities",
        "us_equities_eod",
        (
            ("us_top500", 12, 500, "US listed equities, top 500 by 60-day ADV"),
            ("us_top1000", 13, 1000, "US listed equities, top 1000 by 60-day ADV"),
        ),
    ),
    (
        2,
        "eu_equities",
        "eu_equities_eod",
        (
            ("eu_top300", 21, 300, "European equities, top 300 by 60-day ADV"),
            ("eu_top600", 22, 600, "European equities, top 600 by 60-day ADV"),
        ),
    ),
)
# era number -> (state, max_depth, max_node_count, start, end); market 2 opened one era later
_ERAS = {
    1: ("closed", 6, 24, "2024-01-01", "2024-03-31"),
    2: ("closed", 6, 32, "2024-04-01", "2024-06-30"),
    3: ("active", 8, 48, "2024-07-01", "2024-09-30"),
    4: ("scheduled", 8, 64, "2024-10-01", "2024-12-31"),
}
_MARKET_ERAS = {1: (1, 2, 3, 4), 2: (2, 3)}
# pool name -> (per-universe overrides of the base thresholds, reward in credits);
# "value" serves only the first universe of each market
_SIGNAL_POOLS = {
    "momentum": ({"min_sharpe": 1.0, "max_turnover": 0.6}, 25.0),
    "mean_reversion": ({"min_sharpe": 0.8, "max_turnover": 0.9, "is_correlation_threshold": 0.5}, 20.0),
    "value": ({"min_sharpe": 0.6, "max_turnover": 0.3, "is_pnl_mi_threshold": 0.05}, 30.0),
}
_STRATEGY_POOLS = ("core", "market_neutral")


def _signal_pool(market: int, era: int, name: str, universes: tuple) -> dict[str, Any]:
    overrides, reward = _SIGNAL_POOLS[name]
    served = universes[:1] if name == "value" else universes
    per_universe = {}
    for position, (_, rule_id, _, _) in enumerate(served):
        thresholds = {
            "min_sharpe": 0.8,
            "max_turnover": 0.7,
            "is_correlation_threshold": 0.6,
            "is_pnl_mi_threshold": 0.02,
            **overrides,
        }
        if position:  # the broader universe asks a little less of a signal's Sharpe ratio
            thresholds["min_sharpe"] = round(thresholds["min_sharpe"] - 0.1, 2)
        per_universe[str(rule_id)] = {"rule_id": rule_id, "signal_is_thresholds": thresholds}
    return {
        "name": name,
        "signal_pool_id": f"sp-{market}-{era}-{name}",
        "strategy_pool_id": f"stp-{market}-{era}-core",
        "strategy_signal_pool": f"core/{name}",
        "reward_credits": reward,
        "universes": per_universe,
    }


def _era(market: int, market_name: str, dataset: str, universes: tuple, number: int) -> dict[str, Any]:
    state, max_depth, max_node_count, start, end = _ERAS[number]
    return {
        "market_id": market,
        "market_name": market_name,
        "era_number": number,
        "state": state,
        "starts_at": f"{start}T00:00:00Z",
        "ends_at": f"{end}T23:59:59Z",
        "max_depth": max_depth,
        "max_node_count": max_node_count,
        "frequency": "1d",
        "thresholds": {"min_sharpe": 0.5, "is_correlation_threshold": 0.7, "is_pnl_mi_threshold": 0.01},
        "universe_rules": {
            name: {"rule_id": rule_id, "min_adv_usd": 5_000_000, "rebalance": "monthly"}
            for name, rule_id, _, _ in universes
        },
        "universes": [
            {"named_universe": name, "rule_id": rule_id, "instrument_count": count, "description": text}
            for name, rule_id, count, text in universes
        ],
        "signal_pools": {name: _signal_pool(market, number, name, universes) for name in _SIGNAL_POOLS},
        "strategy_pools": {
            name: {
                "name": name,
                "strategy_pool_id": f"stp-{market}-{number}-{name}",
                "universes": [rule_id for _, rule_id, _, _ in universes],
            }
            for name in _STRATEGY_POOLS
        },
        "simulation_data_contract_projection": {
            "dataset": dataset,
            "schema_version": 4,
            "fields": ["open", "high", "low", "close", "volume", "vwap"],
            "start_date": "2015-01-02",
            "end_date": start,
            "timezone": "UTC",
        },
    }


def default_catalog() -> dict[str, Any]:
    """A fresh copy of the built-in catalog."""
    return {
        "active_era_number": ACTIVE_ERA,
        "markets": [
            {"market_id": market, "name": name, "active_era_number": ACTIVE_ERA} for market, name, _, _ in _MARKETS
        ],
        "eras_by_market": {
            str(market): [_era(market, name, dataset, universes, number) for number in _MARKET_ERAS[market]]
            for market, name, dataset, universes in _MARKETS
        },
    }


def _not_finite(token: str) -> Any:
    raise ValueError(f"{token} is not valid JSON")


def _finite_float(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(f"number {text} is not finite")
    return value


def load_catalog(path: str | Path) -> dict[str, Any]:
    """Read a catalog from a JSON file; ``ValueError`` when it is not one the client can use."""
    try:
        text = Path(path).read_text(encoding="utf-8")
    except OSError as exc:
        reason = exc.strerror or str(exc)
        raise ValueError(f"cannot read the catalog {path}: {reason[:1].lower()}{reason[1:]}") from exc
    except ValueError as exc:
        raise ValueError(f"the catalog {path} is not UTF-8 text: {exc}") from exc
    try:
        data = json.loads(text, parse_constant=_not_finite, parse_float=_finite_float)
    except ValueError as exc:
        raise ValueError(f"the catalog {path} is not valid JSON: {exc}") from exc
    except RecursionError:
        raise ValueError(f"the catalog {path} nests its arrays and objects too deeply") from None
    if not isinstance(data, dict) or not (
        isinstance(data.get("eras_by_market"), dict)
        or isinstance(data.get("market_era_groups"), dict)
        or isinstance(data.get("eras"), list)
    ):
        raise ValueError(
            f"the catalog {path} must be an object with an eras_by_market object or an eras list "
            f"(--print-catalog prints the built-in one)"
        )
    return data


def _as_int(value: Any) -> int | None:
    if isinstance(value, bool):
        return None
    try:
        return int(value)
    except (TypeError, ValueError, OverflowError):
        return None


def _named(records: Any, name: str, fields: tuple[str, ...]) -> Any:
    """The entry called ``name`` of a dict keyed by name, or of a list of records."""
    if isinstance(records, dict):
        return records.get(name)
    if isinstance(records, list):
        for record in records:
            if isinstance(record, dict) and any(record.get(f) == name for f in fields):
                return record
    return None


def _names(records: Any, fields: tuple[str, ...]) -> list[str]:
    """The names of a dict keyed by name, or of a list of records (each by its first field set)."""
    if isinstance(records, dict):
        return [str(key) for key in records]
    found = []
    if isinstance(records, list):
        for record in records:
            name = (
                next((record[f] for f in fields if record.get(f) is not None), None)
                if isinstance(record, dict)
                else None
            )
            if name is not None:
                found.append(str(name))
    return found


def _unique(names: list[str]) -> list[str]:
    return list(dict.fromkeys(names))


class Catalog:
    """A catalog and the lookups the service makes when it judges a submission."""

    def __init__(self, data: dict[str, Any]):
        self.data = data
        try:
            self._body = json.dumps(data, allow_nan=False).encode("utf-8")
        except ValueError:
            raise ValueError("catalog holds a number that is not finite; answers are standard JSON") from None

    def body(self) -> bytes:
        """The catalog as served, encoded once."""
        return self._body

    def eras(self, market_id: int) -> list[Any]:
        groups = self.data.get("eras_by_market") or self.data.get("market_era_groups")
        if isinstance(groups, dict):
            eras = groups.get(str(market_id)) or groups.get(market_id)
            return eras if isinstance(eras, list) else []
        flat = self.data.get("eras")
        return (
            [e for e in flat if isinstance(e, dict) and _as_int(e.get("market_id")) == market_id]
            if isinstance(flat, list)
            else []
        )

    def era(self, market_id: int, era_number: int) -> dict[str, Any] | None:
        for era in self.eras(market_id):
            if isinstance(era, dict) and _as_int(era.get("era_number")) == era_number:
                return era
        return None

    def market_ids(self) -> list[int]:
        """The markets that have eras, in the catalog's order."""
        groups = self.data.get("eras_by_market") or self.data.get("market_era_groups")
        if isinstance(groups, dict):
            ids = [_as_int(key) for key, eras in groups.items() if isinstance(eras, list) and eras]
        else:
            flat = self.data.get("eras")
            ids = [_as_int(e.get("market_id")) for e in flat if isinstance(e, dict)] if isinstance(flat, list) else []
        return list(dict.fromkeys(i for i in ids if i is not None))

    def era_numbers(self, market_id: int, *, open_only: bool = False) -> list[int]:
        """The numbers of a market's eras (those that take submissions, with ``open_only``)."""
        numbers = [
            _as_int(era.get("era_number"))
            for era in self.eras(market_id)
            if isinstance(era, dict) and (not open_only or self.is_open(era))
        ]
        return list(dict.fromkeys(n for n in numbers if n is not None))

    def is_open(self, era: dict[str, Any]) -> bool:
        """An era takes submissions when its state says so, or, stateless, when it is the active one."""
        state = era.get("state")
        if state:
            return str(state).lower() in ("active", "current", "open")
        return _as_int(era.get("era_number")) == _as_int(self.data.get("active_era_number"))

    @staticmethod
    def signal_pool(era: dict[str, Any], name: str) -> Any:
        pool = selected_signal_pool_from_era_config(era, name)
        return pool if isinstance(pool, dict) else None

    @staticmethod
    def strategy_pool(era: dict[str, Any], name: str) -> Any:
        return _named(era.get("strategy_pools"), name, ("name", "strategy_pool_name", "id"))

    @staticmethod
    def rule_id(era: dict[str, Any], named_universe: str) -> int | None:
        rule = _named(era.get("universe_rules"), named_universe, ())
        if isinstance(rule, dict) and _as_int(rule.get("rule_id")) is not None:
            return _as_int(rule.get("rule_id"))
        universe = _named(era.get("universes"), named_universe, ("named_universe", "id", "name"))
        if isinstance(universe, dict):
            return _as_int(universe.get("rule_id"))
        return None

    @classmethod
    def universe_names(cls, era: dict[str, Any], pool: dict[str, Any] | None = None) -> list[str]:
        """The named universes of an era (those ``pool`` serves, when given)."""
        names = _unique(
            _names(era.get("universe_rules"), ()) + _names(era.get("universes"), ("named_universe", "id", "name"))
        )
        rule_ids = {name: cls.rule_id(era, name) for name in names}
        return [
            name
            for name, rule_id in rule_ids.items()
            if rule_id is not None and (pool is None or cls.universe_config(pool, rule_id)[0])
        ]

    @classmethod
    def signal_pool_names(cls, era: dict[str, Any]) -> list[str]:
        names = _unique(_names(era.get("signal_pools"), ("name", "signal_pool_name", "id")))
        return [name for name in names if cls.signal_pool(era, name) is not None]

    @classmethod
    def strategy_pool_names(cls, era: dict[str, Any]) -> list[str]:
        names = _unique(_names(era.get("strategy_pools"), ("name", "strategy_pool_name", "id")))
        return [name for name in names if isinstance(cls.strategy_pool(era, name), dict)]

    @staticmethod
    def universe_config(pool: dict[str, Any], rule_id: int) -> tuple[bool, Any]:
        """(whether the pool serves the universe, its configuration there). A pool that
        lists no universes serves them all."""
        universes = pool.get("universes")
        if isinstance(universes, dict):
            if not universes:
                return True, None
            config = universes.get(str(rule_id), universes.get(rule_id))
            return config is not None, config
        if isinstance(universes, list) and universes:
            for item in universes:
                item_id = item.get("universe_rule_id", item.get("rule_id")) if isinstance(item, dict) else item
                if _as_int(item_id) == rule_id:
                    return True, item
            return False, None
        return True, None

    @classmethod
    def thresholds(cls, era: dict[str, Any], pool: dict[str, Any], rule_id: int) -> dict[str, Any]:
        """Era-wide thresholds, replaced by the pool's for the universe (or its pool-wide
        ones), replaced by the pool's own correlation and MI fields."""
        merged = dict(era.get("thresholds") or {})
        _, config = cls.universe_config(pool, rule_id)
        own = config.get("signal_is_thresholds") if isinstance(config, dict) else None
        if not isinstance(own, dict):
            own = pool.get("signal_is_thresholds")
        merged.update(own if isinstance(own, dict) else {})
        for key in ("is_correlation_threshold", "is_pnl_mi_threshold"):
            if pool.get(key) is not None:
                merged[key] = pool[key]
        return merged
