"""Request side: arbitrary arguments through submit_signal, submit_strategy and
submit_signals_batch with in-process transports."""

from __future__ import annotations

from common import ScriptedTransport, Values, checked, main, submit

from quillmarsh import _backtest_timing

GRAPHS = ["rank(close)", "rank(ts_mean(close, 5))", "f(", "", {"op": "rank", "args": ["close"]}, ["x"], None, 7]
CATALOG = {
    "eras": [
        {
            "market_id": 7,
            "era_number": 3,
            "state": "active",
            "max_depth": 4,
            "max_node_count": 8,
            "frequency": "1d",
            "thresholds": {"is_correlation_threshold": 0.7, "is_pnl_mi_threshold": 0.1},
            "universe_rules": {"us_top": {"rule_id": 12}},
            "signal_pools": {"pool-a": {}},
        }
    ]
}


def test_one_input(data: bytes) -> None:
    values = Values(data)
    answers = [
        (
            values.pick([202, 400, 409, 422, 500, 503, 200]),
            values.pick(
                [
                    b'{"submission_id": "s"}',
                    b"<html>",
                    b"[]",
                    b'{"error": "malformed_request", "detail": "signal_pool_id is required"}',
                    ConnectionResetError("reset"),
                    b'{"results": [{"index": 0, "status_code": 202}]}',
                ]
            ),
        )
        for _ in range(values.fdp.ConsumeIntInRange(1, 3))
    ]
    client = submit.SignalServiceClient("https://signals.example", "t", transport=ScriptedTransport(answers))
    client._era_catalog_cache = CATALOG
    graph = values.pick(GRAPHS) if values.fdp.ConsumeBool() else values.value()
    if values.fdp.ConsumeBool():
        checked(
            lambda: _backtest_timing.record_backtest_timing(
                graph, row_count=100, elapsed_seconds=1.0, max_row_elapsed_seconds=0.01
            )
        )
    kwargs = {
        "signal_pool_name": values.pick(["pool-a", "", None, "other"]),
        "is_stats": values.value(),
        "is_pnl_mi": values.scalar(),
        "expression_elapsed_seconds": values.pick([0.5, 1, -1.0, float("nan")]),
    }
    for name in (
        "metaparameters",
        "search_state",
        "idempotency_key",
        "market_id",
        "era_number",
        "client_manifest_version",
        "client_manifest_market_id",
        "client_manifest_era_number",
    ):
        if values.fdp.ConsumeBool():
            kwargs[name] = values.scalar()
    checked(lambda: client.submit_signal(graph, values.pick(["us_top", None, "a/b", 42]), **kwargs))
    # Strategy submission maps nothing: a transport failure reaches the caller as it is.
    checked(
        lambda: client.submit_strategy(
            graph,
            "us_top",
            strategy_pool_name=values.pick(["sp", ""]),
            market_id=values.scalar(),
            era_number=values.scalar(),
            metaparameters=values.value(),
        ),
        also=(ConnectionError,),
    )
    batch = [
        values.mapping()
        if values.fdp.ConsumeBool()
        else {
            "graph": values.pick(GRAPHS),
            "named_universe": "us_top",
            "signal_pool_name": "pool-a",
            "is_stats": values.value(),
            "is_pnl_mi": values.scalar(),
            "expression_elapsed_seconds": 0.5,
        }
        for _ in range(values.fdp.ConsumeIntInRange(0, 4))
    ]
    checked(lambda: client.submit_signals_batch(values.pick([batch, tuple(batch), {"a": 1}, [1]])))
    # A submission id is percent-encoded as `id.encode("utf-8")`: other types fail there, as in Python.
    checked(lambda: client.get_signal_status(values.scalar()), also=(AttributeError, UnicodeEncodeError))
    checked(lambda: client.list_signal_submissions(status=values.scalar(), limit=values.scalar()))
    _backtest_timing.clear_recorded_backtest_timings()


if __name__ == "__main__":
    main(test_one_input)
