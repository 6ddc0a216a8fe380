"""Realistic signals, an era catalog and in-process transports shared by the benchmarks.

A signal here has a graph expression of about 30 nodes, in-sample statistics of about 20
metrics, an MI value and a measured evaluation time; every graph is distinct, as in a real
research run, and each has a backtest timing recorded the way the simulation side records it.
"""

from __future__ import annotations

import json
import random

from quillmarsh import _backtest_timing

OPERATORS = [
    ("rank", 1),
    ("neg", 1),
    ("abs", 1),
    ("ts_mean", 2),
    ("ts_std", 2),
    ("ts_delta", 2),
    ("add", 2),
    ("sub", 2),
    ("mul", 2),
    ("ts_corr", 3),
]
FIELDS = ["close", "open", "high", "low", "volume", "vwap", "returns"]
METRICS = [
    "sharpe",
    "turnover",
    "delta_exposure",
    "max_weight",
    "abs_weight_sum_mean",
    "correlation",
    "fitness",
    "returns",
    "drawdown",
    "margin",
    "long_count",
    "short_count",
    "pnl",
    "volatility",
    "hit_ratio",
    "avg_holding",
    "skew",
    "kurtosis",
    "beta",
    "tracking_error",
]

NAMED_UNIVERSE = "us_top_3000"
SIGNAL_POOL = "pool-core"
ERA = {
    "era_number": 7,
    "market_id": 1,
    "state": "active",
    "max_depth": 30,
    "max_node_count": 64,
    "frequency": "1d",
    "thresholds": {"is_correlation_threshold": 0.7, "is_pnl_mi_threshold": 0.05, "min_sharpe": 0.5},
    "universe_rules": {NAMED_UNIVERSE: {"rule_id": 12}},
    "signal_pools": {
        SIGNAL_POOL: {"universes": {"12": {"signal_is_thresholds": {"min_sharpe": 0.8, "max_turnover": 0.9}}}}
    },
    "simulation_data_contract_projection": {"fields": FIELDS, "rows": 2520},
}
CATALOG = {"eras_by_market": {"1": [ERA]}, "active_era_number": 7}
CATALOG_BYTES = json.dumps(CATALOG).encode()


def graph_expression(rng: random.Random, nodes: int) -> str:
    """A random expression of exactly `nodes` nodes (operators, fields and window lengths)."""
    if nodes == 1:
        return rng.choice(FIELDS)
    name, arity = rng.choice([op for op in OPERATORS if op[1] <= nodes - 1])
    window = name.startswith("ts_")
    children = arity - 1 if window else arity
    if children == 0:
        return f"{name}({rng.choice(FIELDS)}, {rng.randint(2, 60)})"
    # Share the remaining nodes (less a window leaf) among the children, each at least one.
    remaining = nodes - 1 - (1 if window else 0)
    cuts = sorted(rng.sample(range(1, remaining), children - 1)) if children > 1 and remaining > children else []
    sizes = [b - a for a, b in zip([0] + cuts, cuts + [remaining])] if cuts else [remaining] + [1] * (children - 1)
    if sum(sizes) != remaining or min(sizes) < 1:
        sizes = [remaining - children + 1] + [1] * (children - 1)
    args = [graph_expression(rng, size) for size in sizes]
    if window:
        args.append(str(rng.randint(2, 60)))
    return f"{name}({', '.join(args)})"


def signals(count: int, seed: int = 7) -> list[dict]:
    rng = random.Random(seed)
    out = []
    for i in range(count):
        graph = f"add({graph_expression(rng, 28)}, {i})"
        stats = {name: round(rng.uniform(0.1, 0.6), 6) for name in METRICS}
        stats["sharpe"] = round(rng.uniform(1.0, 3.0), 6)
        out.append(
            {
                "graph": graph,
                "named_universe": NAMED_UNIVERSE,
                "signal_pool_name": SIGNAL_POOL,
                "is_stats": stats,
                "is_pnl_mi": round(rng.uniform(0.1, 2.0), 6),
                "expression_elapsed_seconds": round(rng.uniform(0.5, 3.0), 6),
            }
        )
    return out


def record_timings(batch: list[dict]) -> None:
    for signal in batch:
        _backtest_timing.record_backtest_timing(
            signal["graph"], row_count=2520, elapsed_seconds=2.0, max_row_elapsed_seconds=0.002
        )


class Response:
    __slots__ = ("status_code", "content")

    def __init__(self, status_code: int, content: bytes) -> None:
        self.status_code = status_code
        self.content = content


def batch_answer(count: int) -> bytes:
    return json.dumps(
        {
            "accepted": count,
            "failed": 0,
            "results": [
                {"index": i, "status_code": 202, "body": {"submission_id": f"sub-{i:06d}", "signal_pool_id": "sp-1"}}
                for i in range(count)
            ],
        }
    ).encode()


SUBMIT_ANSWER = json.dumps({"submission_id": "sub-000001", "signal_pool_id": "sp-1", "status": "queued"}).encode()


class InstantTransport:
    """Answers at once from prepared bytes: the catalog, a submission, a chunk of a batch."""

    def __init__(self) -> None:
        self.batch_answers = {n: batch_answer(n) for n in (100,)}
        self.captured: list[bytes] | None = None  # set to a list to keep the bodies posted

    def get(self, path, *, headers=None):
        return Response(200, CATALOG_BYTES)

    def post(self, path, *, content=None, headers=None):
        if self.captured is not None:
            self.captured.append(content)
        if path.endswith("/batch"):
            count = content.count(b'"idempotency_key"')
            answer = self.batch_answers.get(count) or self.batch_answers.setdefault(count, batch_answer(count))
            return Response(202, answer)
        return Response(202, SUBMIT_ANSWER)
