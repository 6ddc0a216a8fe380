import math

import pytest

from quillmarsh import _backtest_timing as bt

GRAPH = {"op": "rank", "args": ["close"]}
REQUIRED = "recorded backtest timing is required before submit"


@pytest.fixture(autouse=True)
def _empty_registry():
    bt.clear_recorded_backtest_timings()
    yield
    bt.clear_recorded_backtest_timings()


def _record(graph=GRAPH, rows=100, elapsed=2.0, max_row=0.1):
    return bt.record_backtest_timing(graph, row_count=rows, elapsed_seconds=elapsed, max_row_elapsed_seconds=max_row)


def test_record_require_consume_cycle_keys_by_canonical_json():
    recorded = _record()
    same_graph = {"args": ["close"], "op": "rank"}
    assert bt.require_recorded_backtest_timing(same_graph) is recorded
    assert bt.consume_recorded_backtest_timing(same_graph) is recorded
    assert bt.consume_recorded_backtest_timing(GRAPH) is None
    with pytest.raises(ValueError) as info:
        bt.require_recorded_backtest_timing(GRAPH)
    assert str(info.value) == REQUIRED + "; run simulate_signal for this graph before submitting it"


def test_each_recording_adds_one_use_and_latest_figures_win():
    _record(rows=10)
    latest = _record(rows=20)
    assert [bt.consume_recorded_backtest_timing(GRAPH) for _ in range(3)] == [latest, latest, None]


@pytest.mark.parametrize(
    "graphs, recordings, missing_index",
    [([GRAPH, GRAPH], 1, 1), (["a", None], 1, 1), (["b", GRAPH], 1, 0), ([GRAPH, "x", GRAPH], 2, 1)],
)
def test_batch_requirement_counts_occurrences(graphs, recordings, missing_index):
    for _ in range(recordings):
        _record()
    _record("a")
    with pytest.raises(ValueError, match=f"{REQUIRED} for submission {missing_index};"):
        bt.require_recorded_backtest_timings(graphs)
    assert len(bt.require_recorded_backtest_timings([GRAPH] * recordings)) == recordings  # nothing consumed


@pytest.mark.parametrize(
    "kwargs, fragment",
    [
        ({"rows": 0}, "row_count must be a positive int"),
        ({"elapsed": math.inf}, "elapsed_seconds must be a finite non-negative number"),
        ({"max_row": -0.1}, "max_row_elapsed_seconds must be a finite"),
        ({"elapsed": 1.0, "max_row": 2.0}, "must not exceed elapsed_seconds"),
        ({"graph": {"s": {1, 2}}}, "graph must be JSON-serialisable"),
        ({"graph": None}, "graph is required"),
    ],
)
def test_record_refuses_bad_input(kwargs, fragment):
    with pytest.raises(ValueError, match=fragment):
        _record(**kwargs)


@pytest.mark.parametrize(
    "frequency, rows, elapsed, max_row, accepted, reason, whole, per_row",
    [
        ("1d", 2520, 131.0, 0.5, True, "within budget", 131.0, 0.5),
        (" Daily ", 2520, 131.5, 0.4, False, "whole budget", 131.0, 0.5),
        ("1h", 100, 200.0, 0.3, False, "row budget", 6.0, 0.25),
        ("1w", 10, 1.0, 0.1, False, "unknown frequency", None, None),
        (None, 10, 1.0, 0.1, False, "unknown frequency", None, None),
    ],
)
def test_assessment_against_budget_table(frequency, rows, elapsed, max_row, accepted, reason, whole, per_row):
    verdict = bt.assess_client_backtest_timing(
        frequency=frequency, row_count=rows, elapsed_seconds=elapsed, max_row_elapsed_seconds=max_row
    )
    assert (verdict.accepted, verdict.reason, verdict.whole_budget_seconds, verdict.per_row_budget_seconds) == (
        accepted, reason, whole, per_row)
    assert (verdict.elapsed_seconds, verdict.max_row_elapsed_seconds) == (elapsed, max_row)
