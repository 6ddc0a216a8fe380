import math

import pytest

from quillmarsh._threshold_gates import evaluate_threshold_gates

GOOD = {"sharpe": 1.5, "turnover": 0.3, "delta_exposure": -0.05, "max_weight": 0.02,
        "abs_weight_sum_mean": 1.0, "is_correlation": 0.4, "is_pnl_mi": 0.2}


def _gate(thresholds, pool=None, **overrides):
    return evaluate_threshold_gates(
        metrics={**GOOD, **overrides}, threshold_set=thresholds, pool_thresholds=pool
    )


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
