"""Era choice, threshold resolution with the catalog cache, and the graph gates."""

from __future__ import annotations

import json

import quillmarsh.submit as submit

from .common import FailingTransport, Scenario, ScriptedTransport, _client, _expect

CALLS = 20_000


ERA = {
    "era_number": 2,
    "market_id": 1,
    "state": "active",
    "max_depth": 3,
    "max_node_count": 4,
    "frequency": "1d",
    "thresholds": {"is_correlation_threshold": 0.7, "is_pnl_mi_threshold": 0.1},
    "universe_rules": {"us_top": {"rule_id": 12}},
    "signal_pools": {
        "pool-a": {
            "universes": [{"universe_rule_id": "12", "signal_is_thresholds": {"sharpe": 1}}],
            "is_correlation_threshold": 0.6,
        }
    },
}
CATALOG = {"eras_by_market": {"1": [{"era_number": 1, "id": 1}, ERA]}, "active_market_era": {"era_number": "2"}}


class EraRecord:
    """An era given as an object: its fields are attributes, missing ones raise AttributeError."""

    def __init__(self, **fields):
        self.__dict__.update(fields)


def scenarios() -> dict[str, Scenario]:
    cached = _client(ScriptedTransport(200, json.dumps(CATALOG).encode()))
    cached._fetch_era_catalog()
    unavailable = _client(ScriptedTransport(503, b'{"error": "busy"}'))
    unreachable = _client(FailingTransport())
    objects = {"eras": [EraRecord(era_number=1, state=None), EraRecord(id=7, state="Open")], "active_era_number": 9}
    graph, graph_too_deep = "rank(close)", "rank(ts_mean(ts_delta(close, 1), 5))"

    def select() -> None:
        submit._active_era_from_catalog(CATALOG, market_id="1", era_number=2.0)
        submit._active_era_from_catalog(CATALOG)
        submit._active_era_from_catalog(objects, era_number="x")
        submit._required_positive_era_int(ERA, "market_id")
        submit._simulation_data_contract_projection_from_era(ERA)
        submit._coerce_optional_int("1.5")
        submit._mapping_lookup({"3": 1}, 3)
        _expect(ValueError, lambda: submit._required_active_submit_era({"eras": []}))()
        _expect(ValueError, lambda: submit._required_positive_era_int(objects["eras"][0], "max_depth"))()
        _expect(ValueError, lambda: submit._required_era_frequency({"frequency": " "}))()

    def gates_pass() -> None:
        submit._enforce_graph_complexity_for_submit(graph, ERA)
        submit._backtest_timing.record_backtest_timing(
            graph, row_count=10, elapsed_seconds=1.0, max_row_elapsed_seconds=0.1
        )
        submit._enforce_recorded_backtest_timing_for_submit(graph, ERA)

    def gates_refuse() -> None:
        _expect(ValueError, lambda: submit._enforce_graph_complexity_for_submit(graph_too_deep, ERA))()
        _expect(ValueError, lambda: submit._enforce_recorded_backtest_timing_for_submit(graph, ERA))()
        submit._backtest_timing.record_backtest_timing(
            graph, row_count=10, elapsed_seconds=9.0, max_row_elapsed_seconds=0.9
        )
        _expect(ValueError, lambda: submit._enforce_recorded_backtest_timing_for_submit(graph, ERA))()

    return {
        "era_thresholds": (
            lambda: cached._resolve_submit_thresholds("us_top", "pool-a", market_id=1),
            [cached, cached._era_catalog_cache],
        ),
        "era_threshold_refusals": (
            _expect(ValueError, lambda: cached._resolve_submit_thresholds("eu", "pool-a")),
            [cached],
        ),
        "era_fetch_failed": (
            _expect(ValueError, lambda: unavailable._resolve_submit_thresholds("us_top", "pool-a")),
            [unavailable],
        ),
        "era_fetch_unreachable": (_expect(ValueError, lambda: unreachable._fetch_era_catalog()), [unreachable]),
        "era_selection": (select, [CATALOG, ERA, objects]),
        "graph_gates_pass": (gates_pass, [ERA, graph]),
        "graph_gates_refuse": (gates_refuse, [ERA, graph, graph_too_deep]),
    }
