import json
import math

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from quillmarsh import _backtest_timing as bt

pytestmark = pytest.mark.python_layers

GRAPH = {"op": "rank", "args": ["close"]}
REQUIRED = "recorded backtest timing is required before submit"
HINT = (
    "; record the graph's backtest run with quillmarsh.record_backtest_timing(graph, row_count=..., "
    "elapsed_seconds=..., max_row_elapsed_seconds=...) before submitting it"
)


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
    assert str(info.value) == REQUIRED + HINT


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
        accepted,
        reason,
        whole,
        per_row,
    )
    assert (verdict.elapsed_seconds, verdict.max_row_elapsed_seconds) == (elapsed, max_row)


class _Text(str):
    """A str subclass whose methods mislead: only its text may count."""

    def __str__(self):
        return "rank(close)"

    def strip(self, chars=None):
        return "1H"

    def __eq__(self, other):
        return False

    def __hash__(self):
        return 0


# Strings that equal other graphs' JSON text, equal structures in another key
# order, a str subclass, and graphs that cannot be keyed; figures mostly valid.
_GRAPHS = [
    "rank(close)",
    "x",
    "5",
    "[1]",
    '"x"',
    "null",
    5,
    [1],
    ("x",),
    ["x"],
    {"a": 1, "b": [2]},
    {"b": [2], "a": 1},
    _Text("x"),
    math.nan,
    None,
    {1, 2},
]
_FIGURES = st.tuples(
    st.sampled_from([2520] * 3 + [100, 101] * 2 + [1, 0, -1, True, 2.0, 10**400]),
    st.sampled_from([2.0] * 4 + [0.0, 1.0, 131.0, 131.5, 200, -0.1, math.inf, math.nan, True, "1", 10**400]),
    st.sampled_from([0.1] * 4 + [0, 0.25, 0.5, 0.6, 2.0, -0.0, math.nan]),
)
_FREQUENCIES = st.sampled_from(["1d", "1d", " Daily ", "HOUR", "5m", "1min", "1w", "", None, 5, _Text("1d")])
_OPERATIONS = st.lists(
    st.tuples(
        st.sampled_from(["record", "record", "consume", "require", "batch", "assess"]),
        st.lists(st.sampled_from(_GRAPHS), min_size=1, max_size=3),
        _FIGURES,
        _FREQUENCIES,
    ),
    max_size=12,
)
_TEXT_GRAPH = [
    (name, [graph], (1, 1.0, 0.1), "1d")
    for name, graph in [
        ("record", _Text("x")),
        ("consume", "rank(close)"),
        ("consume", _Text("x")),
        ("record", "x"),
        ("consume", _Text("x")),
    ]
]


class _Reference:
    """The registry and budgets as documented, keyed by canonical JSON text."""

    BUDGETS = {
        **dict.fromkeys(["1d", "d", "day", "daily"], (0.5, 0.05)),
        **dict.fromkeys(["1h", "h", "hour", "hourly"], (0.25, 0.01)),
        **dict.fromkeys(["5m", "5min"], (0.1, 0.004)),
        **dict.fromkeys(["1m", "1min", "minute"], (0.05, 0.002)),
    }

    def __init__(self):
        self.registry = {}

    @staticmethod
    def key(graph):
        if graph is None:
            raise ValueError("graph is required to key a backtest timing, got None")
        try:
            return json.dumps(graph, sort_keys=True, separators=(",", ":"))
        except (TypeError, ValueError, RecursionError) as exc:
            raise ValueError(f"graph must be JSON-serialisable to key its backtest timing: {exc}") from exc

    def lookup(self, graph):
        try:
            return self.registry.get(self.key(graph))
        except ValueError:
            return None

    def record(self, graph, rows, elapsed, max_row):
        key = self.key(graph)
        bt._validate_figures(rows, elapsed, max_row)
        record = bt.RecordedBacktestTiming(row_count=rows, elapsed_seconds=elapsed, max_row_elapsed_seconds=max_row)
        self.registry[key] = [record, self.registry.get(key, [None, 0])[1] + 1]
        return record

    def consume(self, graph):
        entry = self.lookup(graph)
        if entry is None:
            return None
        entry[1] -= 1
        if entry[1] == 0:
            del self.registry[self.key(graph)]
        return entry[0]

    def require_one(self, graph):
        if self.lookup(graph) is None:
            raise ValueError(REQUIRED + HINT)
        return self.lookup(graph)[0]

    def require(self, graphs):
        for index, graph in enumerate(graphs):
            entry = self.lookup(graph)
            if entry is None or entry[1] < sum(self.key(g) == self.key(graph) for g in graphs[: index + 1]):
                raise ValueError(f"{REQUIRED} for submission {index}{HINT}")
        return tuple(self.lookup(graph)[0] for graph in graphs)

    def assess(self, frequency, rows, elapsed, max_row):
        bt._validate_figures(rows, elapsed, max_row)
        budget = self.BUDGETS.get(frequency.strip().lower()) if isinstance(frequency, str) else None
        whole = per_row = None
        reason = "unknown frequency"
        if budget is not None:
            per_row, whole = budget[0], round(5.0 + budget[1] * rows, 6)
            reason = "row budget" if max_row > per_row else "whole budget" if elapsed > whole else "within budget"
        return bt.BacktestTimingAssessment(
            accepted=reason == "within budget",
            reason=reason,
            elapsed_seconds=elapsed,
            max_row_elapsed_seconds=max_row,
            whole_budget_seconds=whole,
            per_row_budget_seconds=per_row,
        )


def _outcome(function, *args):
    try:
        result = function(*args)
        return type(result).__name__, repr(result)  # repr: NaN figures compare equal
    except Exception as exc:  # the exception itself is compared
        return type(exc), str(exc)


@settings(max_examples=300, deadline=None)
@given(_OPERATIONS)
@example(_TEXT_GRAPH)
def test_registry_and_assessment_match_a_reference(operations):
    bt.clear_recorded_backtest_timings()
    reference = _Reference()
    for name, graphs, (rows, elapsed, max_row), frequency in operations:
        graph = graphs[0]
        real, model = {
            "record": (
                lambda: _record(graph, rows, elapsed, max_row),
                lambda: reference.record(graph, rows, elapsed, max_row),
            ),
            "consume": (lambda: bt.consume_recorded_backtest_timing(graph), lambda: reference.consume(graph)),
            "require": (lambda: bt.require_recorded_backtest_timing(graph), lambda: reference.require_one(graph)),
            "batch": (lambda: bt.require_recorded_backtest_timings(graphs), lambda: reference.require(graphs)),
            "assess": (
                lambda: bt.assess_client_backtest_timing(
                    frequency=frequency, row_count=rows, elapsed_seconds=elapsed, max_row_elapsed_seconds=max_row
                ),
                lambda: reference.assess(frequency, rows, elapsed, max_row),
            ),
        }[name]
        assert _outcome(real) == _outcome(model), name
