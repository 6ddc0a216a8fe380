import math
import types
from collections.abc import Mapping

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from quillmarsh import _threshold_gates as gates
from quillmarsh._threshold_gates import evaluate_threshold_gates

pytestmark = pytest.mark.python_layers

GOOD = {
    "sharpe": 1.5,
    "turnover": 0.3,
    "delta_exposure": -0.05,
    "max_weight": 0.02,
    "abs_weight_sum_mean": 1.0,
    "is_correlation": 0.4,
    "is_pnl_mi": 0.2,
}


def _gate(thresholds, pool=None, **overrides):
    return evaluate_threshold_gates(metrics={**GOOD, **overrides}, threshold_set=thresholds, pool_thresholds=pool)


def _summary(result):
    return [(f.gate, f.actual, f.operator, f.threshold) for f in result.failures]


@pytest.mark.parametrize(
    "thresholds, overrides, failure",
    [
        ({"min_sharpe": 2.0}, {}, ("sharpe", 1.5, ">=", 2.0)),
        ({"max_turnover": 0.2}, {}, ("turnover", 0.3, "<=", 0.2)),
        ({"min_turnover": 0.5}, {}, ("turnover", 0.3, ">=", 0.5)),
        ({"max_delta_exposure": 0.1}, {"delta_exposure": -0.25}, ("delta_exposure", 0.25, "<=", 0.1)),
        ({"max_max_weight": 0.01}, {}, ("max_weight", 0.02, "<=", 0.01)),
        ({"max_abs_weight_sum_mean": 0.5}, {}, ("abs_weight_sum_mean", 1.0, "<=", 0.5)),
        ({"is_correlation_threshold": 0.3}, {}, ("is_correlation", 0.4, "<=", 0.3)),
        ({"is_correlation_threshold": 0.9}, {"is_correlation": None}, ("is_correlation", None, "<=", 0.9)),
        ({"mi_threshold": 0.5}, {}, ("is_pnl_mi", 0.2, ">=", 0.5)),
        ({"is_pnl_mi_threshold": 0}, {"is_pnl_mi": -math.inf}, ("is_pnl_mi", -math.inf, ">=", 0)),
    ],
)
def test_each_gate_reports_its_failure(thresholds, overrides, failure):
    result = _gate(thresholds, **overrides)
    assert result.passed is False and _summary(result) == [failure]


@pytest.mark.parametrize(
    "thresholds, overrides",
    [
        ({"min_sharpe": 1.5, "max_turnover": 0.3, "is_correlation_threshold": 0.4}, {}),  # bounds inclusive
        ({"is_pnl_mi_threshold": 1e9}, {"is_pnl_mi": math.inf}),
        ({"min_sharpe": None, "max_turnover": math.inf}, {}),
        ({"unknown_key": "ignored"}, {"sharpe": None}),
    ],
)
def test_passing_gates(thresholds, overrides):
    result = _gate(thresholds, **overrides)
    assert result.passed is True and result.failures == ()


def test_failures_follow_the_fixed_gate_order():
    thresholds = {"mi_threshold": 1.0, "is_correlation_threshold": 0.1, "min_sharpe": 9.0, "max_turnover": 0.1}
    assert [f.gate for f in _gate(thresholds).failures] == ["sharpe", "turnover", "is_correlation", "is_pnl_mi"]


def test_pool_thresholds_win_and_none_falls_through():
    failures = _gate({"min_sharpe": 1.0, "max_weight": 0.01}, pool={"min_sharpe": 2.0, "max_weight": None}).failures
    assert [(f.gate, f.threshold) for f in failures] == [("sharpe", 2.0), ("max_weight", 0.01)]
    assert _gate({"is_pnl_mi_threshold": 0.1, "mi_threshold": 5.0}).passed  # primary name wins over alias


@pytest.mark.parametrize(
    "thresholds, overrides, fragment",
    [
        ({"min_sharpe": "1.0"}, {}, "threshold min_sharpe must be a number"),
        ({"is_correlation_threshold": math.nan}, {}, "must be a number, got nan"),
        ({"min_sharpe": 1.0}, {"sharpe": "high"}, "metric sharpe must be a number or None"),
        ([("min_sharpe", 1.0)], {}, "threshold_set must be a mapping"),
    ],
)
def test_bad_values_raise(thresholds, overrides, fragment):
    with pytest.raises(ValueError, match=fragment):
        _gate(thresholds, **overrides)


# Metrics mostly 0.5 and thresholds mostly 0.5 (bounds are inclusive) so that
# whole verdicts pass as well as fail; sometimes odd values (None, NaN, bool,
# text, an int too large for a float) and odd mappings.
_ODD = [None, math.nan, True, "1", 10**400]
_METRIC = st.sampled_from([0.5] * 50 + [-0.5, 1, 0, 2, math.inf, -math.inf] * 3 + _ODD)
_THRESHOLD = st.sampled_from([0.5] * 50 + [0, 1, -1, 2, math.inf, -math.inf] * 3 + _ODD)
_THRESHOLD_NAMES = [
    "min_sharpe",
    "max_turnover",
    "min_turnover",
    "max_delta_exposure",
    "max_weight",
    "max_max_weight",
    "max_abs_weight_sum_mean",
    "is_correlation_threshold",
    "is_pnl_mi_threshold",
    "mi_threshold",
    "other",
]
_THRESHOLDS = st.dictionaries(st.sampled_from(_THRESHOLD_NAMES), _THRESHOLD, max_size=6)


@st.composite
def _gate_arguments(draw):
    metrics = draw(st.dictionaries(st.sampled_from(list(GOOD)), _METRIC, min_size=5))
    metrics = draw(st.sampled_from([metrics] * 6 + [types.MappingProxyType(metrics), list(metrics), None]))
    pool = draw(_THRESHOLDS)
    shapes = {
        "same": pool,
        "copy": dict(pool),
        "none": None,
        "proxy": types.MappingProxyType(pool),
        "list": list(pool.items()),
        "other": draw(_THRESHOLDS),
    }
    pool_shape = draw(st.sampled_from(["same"] * 5 + ["none", "proxy", "list"]))
    set_shape = draw(st.sampled_from(["same"] * 4 + ["copy", "other", "none", "proxy", "list"]))
    return {"metrics": metrics, "threshold_set": shapes[set_shape], "pool_thresholds": shapes[pool_shape]}


_TABLE = [
    ("sharpe", ["min_sharpe"], ">="),
    ("turnover", ["max_turnover"], "<="),
    ("turnover", ["min_turnover"], ">="),
    ("delta_exposure", ["max_delta_exposure"], "<="),
    ("max_weight", ["max_weight", "max_max_weight"], "<="),
    ("abs_weight_sum_mean", ["max_abs_weight_sum_mean"], "<="),
    ("is_correlation", ["is_correlation_threshold"], "<="),
    ("is_pnl_mi", ["is_pnl_mi_threshold", "mi_threshold"], ">="),
]


def _reference(metrics, threshold_set, pool_thresholds):
    """The gates as documented, one after another."""

    def mapping(value, name):
        if value is not None and not isinstance(value, Mapping):
            raise ValueError(f"{name} must be a mapping, got {type(value).__name__}")
        return value or {}

    def number(value):
        return isinstance(value, (int, float)) and not isinstance(value, bool)

    metrics = mapping(metrics, "metrics")
    sources = [mapping(pool_thresholds, "pool_thresholds"), mapping(threshold_set, "threshold_set")]
    failures = []
    for metric, names, operator in _TABLE:
        found = next(
            ((name, source[name]) for source in sources for name in names if source.get(name) is not None), None
        )
        if found is None:
            continue
        name, threshold = found
        if not number(threshold) or math.isnan(threshold):
            raise ValueError(f"threshold {name} must be a number, got {threshold!r}")
        actual = metrics.get(metric)
        if actual is not None and not number(actual):
            raise ValueError(f"metric {metric} must be a number or None, got {actual!r}")
        actual = abs(actual) if actual is not None and metric == "delta_exposure" else actual
        if (
            actual is None
            or math.isnan(actual)
            or not (actual >= threshold if operator == ">=" else actual <= threshold)
        ):
            failures.append(gates.ThresholdGateFailure(metric, actual, operator, threshold, name))
    return gates.ThresholdGateResult(not failures, tuple(failures))


def _outcome(function, *args):
    try:
        return repr(function(*args))  # repr: NaN results compare equal
    except Exception as exc:  # the exception itself is compared
        return type(exc), str(exc)


@settings(max_examples=400, deadline=None)
@given(_gate_arguments())
@example({"metrics": {"turnover": 0.5}, "threshold_set": None, "pool_thresholds": {"max_turnover": 10**400}})
@example({"metrics": {"sharpe": 10**400}, "threshold_set": {"min_sharpe": 0.5}, "pool_thresholds": None})
@example({"metrics": {"sharpe": 1.0}, "threshold_set": {"min_sharpe": 0.5}, "pool_thresholds": [("min_sharpe", 2)]})
@example(
    {"metrics": GOOD, "threshold_set": {"max_weight": 0.5, "mi_threshold": 9}, "pool_thresholds": {"min_sharpe": 1}}
)
def test_fast_and_general_paths_match_a_reference(arguments):
    args = arguments["metrics"], arguments["threshold_set"], arguments["pool_thresholds"]
    expected = _outcome(_reference, *args)
    assert _outcome(lambda: evaluate_threshold_gates(**arguments)) == expected
    assert _outcome(gates._evaluate_gates, *args) == expected
