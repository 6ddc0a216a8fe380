import types

import pytest

from quillmarsh import _backtest_timing, submit

NO_TIMING = (
    "recorded backtest timing is required before submit; run simulate_signal for this graph before submitting it"
)
ERA = {"max_depth": 5, "max_node_count": 10, "frequency": "1d"}


class Logged:
    """A record (an era, a timing record) that logs which of its fields are read."""

    def __init__(self, log, tag, **fields):
        self._log, self._tag, self._fields = log, tag, fields

    def __getattr__(self, name):
        self._log.append((self._tag, name))
        if name in self._fields:
            return self._fields[name]
        raise AttributeError(name)


BOTH = ["max_depth", "max_node_count"]


@pytest.mark.parametrize(
    "depth, nodes, era, reads, message",
    [
        (5, 10, ERA, BOTH, None),
        (6, 10, ERA, BOTH, "graph complexity depth 6 exceeds max_depth 5"),
        (6, 11, ERA, BOTH, "graph complexity depth 6 exceeds max_depth 5"),
        (5, 11, ERA, BOTH, "graph complexity node_count 11 exceeds max_node_count 10"),
        (5.5, 1, ERA, BOTH, "graph complexity depth 5.5 exceeds max_depth 5"),
        (9, 1, {"max_depth": 5}, BOTH, "era config field max_node_count must be a positive integer"),
        (
            1,
            1,
            {"max_depth": "5", "max_node_count": 10},
            ["max_depth"],
            "era config field max_depth must be a positive integer",
        ),
    ],
)
def test_complexity_gate(monkeypatch, depth, nodes, era, reads, message):
    log, complexity = [], types.SimpleNamespace(depth=depth, node_count=nodes)
    monkeypatch.setattr(submit, "measure_graph_complexity", lambda *args: log.append(("measure", args)) or complexity)
    logged_era = Logged(log, "era", **era)
    if message is None:
        assert submit._enforce_graph_complexity_for_submit("g", logged_era) is complexity
    else:
        with pytest.raises(ValueError) as caught:
            submit._enforce_graph_complexity_for_submit("g", logged_era)
        assert str(caught.value) == message
    assert log == [("measure", ("g",))] + [("era", field) for field in reads]


def test_complexity_gate_measures_with_the_sibling_module():
    with pytest.raises(ValueError, match="graph is required"):
        submit._enforce_graph_complexity_for_submit(None, None)
    with pytest.raises(ValueError) as caught:
        submit._enforce_graph_complexity_for_submit("rank(ts_mean(close, 5))", {"max_depth": 2, "max_node_count": 9})
    assert str(caught.value) == "graph complexity depth 3 exceeds max_depth 2"


class Timing:
    """A stand-in for the backtest timing module that logs its calls and the record's reads."""

    def __init__(self, log, record, assessment):
        self.log, self.record, self.assessment = log, record, assessment

    def consume_recorded_backtest_timing(self, *args, **kwargs):
        self.log.append(("consume", args, kwargs))
        return None if self.record is None else Logged(self.log, "record", **self.record)

    def assess_client_backtest_timing(self, *args, **kwargs):
        self.log.append(("assess", args, list(kwargs.items())))
        return self.assessment


FIGURES = {"row_count": 100, "elapsed_seconds": 3.5, "max_row_elapsed_seconds": 0.25}
REFUSED = types.SimpleNamespace(
    accepted=False,
    reason="row budget",
    elapsed_seconds=12.5,
    max_row_elapsed_seconds=0.75,
    whole_budget_seconds=10.0,
    per_row_budget_seconds=0.5,
)


@pytest.mark.parametrize(
    "record, frequency, assessment, message",
    [
        (FIGURES, " 1d ", types.SimpleNamespace(accepted=1), None),
        (None, "1d", REFUSED, NO_TIMING),
        (FIGURES, "  ", REFUSED, "era config field frequency must be a non-empty string"),
        (
            FIGURES,
            "1d",
            REFUSED,
            "backtest timing budget exceeded: row budget; elapsed=12.5; max_row=0.75; "
            "total_budget=10.0; row_budget=0.5",
        ),
        (
            FIGURES,
            "1y",
            types.SimpleNamespace(
                **{
                    **vars(REFUSED),
                    "reason": "unknown frequency",
                    "whole_budget_seconds": None,
                    "per_row_budget_seconds": None,
                }
            ),
            "backtest timing budget exceeded: unknown frequency; elapsed=12.5; max_row=0.75; total_budget=None; "
            "row_budget=None",
        ),
    ],
)
def test_timing_gate(monkeypatch, record, frequency, assessment, message):
    log = []
    monkeypatch.setattr(submit, "_backtest_timing", Timing(log, record, assessment))
    era = Logged(log, "era", frequency=frequency)
    if message is None:
        assert submit._enforce_recorded_backtest_timing_for_submit("g", era) is assessment
    else:
        with pytest.raises(ValueError) as caught:
            submit._enforce_recorded_backtest_timing_for_submit("g", era)
        assert str(caught.value) == message
    expected = [
        ("consume", ("g",), {}),
        ("era", "frequency"),
        ("record", "row_count"),
        ("record", "elapsed_seconds"),
        ("record", "max_row_elapsed_seconds"),
        ("assess", (), [("frequency", frequency), *FIGURES.items()]),
    ]
    assert log == expected[: 1 if record is None else 2 if frequency.isspace() else 6]


def test_a_timing_record_is_used_once():
    graph = {"op": "rank", "args": ["close"]}
    _backtest_timing.record_backtest_timing(graph, row_count=10, elapsed_seconds=1.0, max_row_elapsed_seconds=0.1)
    assessment = submit._enforce_recorded_backtest_timing_for_submit(graph, {"frequency": "1d"})
    assert (assessment.accepted, assessment.reason) == (True, "within budget")
    with pytest.raises(ValueError) as caught:  # the record was used up
        submit._enforce_recorded_backtest_timing_for_submit(graph, {"frequency": "1d"})
    assert str(caught.value) == NO_TIMING
