"""What the command-line tests share: signal and strategy records as people write them, and
readers of what reached the scripted server and stderr."""

import json

from fakes import SIGNAL_GRAPH, signal_kwargs

TIMING = {"row_count": 100, "elapsed_seconds": 1.0, "max_row_elapsed_seconds": 0.01}


def signal_record(**overrides):
    return {
        "graph": SIGNAL_GRAPH,
        "named_universe": "us_top",
        **signal_kwargs(),
        "backtest_timing": TIMING,
        **overrides,
    }


STRATEGY = {
    "graph": SIGNAL_GRAPH,
    "named_universe": "us_top",
    "strategy_pool_name": "strat-a",
    "market_id": 7,
    "era_number": 3,
}


def posts(server):
    return [(r.path, json.loads(r.body)) for r in server.requests if r.method == "POST"]


def one_line(err):
    assert err.startswith("quillmarsh") and err.endswith("\n") and err.count("\n") == 1, err
    return err
