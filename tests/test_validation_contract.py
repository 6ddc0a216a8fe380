import math
import types

import pytest

from quillmarsh import submit
from quillmarsh.submit import SignalServiceClient

NAN, INF = math.nan, math.inf
AUTHORITY = "caller-supplied thresholds are not accepted; submit thresholds must come from era thresholds"
MI_REFUSAL = "is_pnl_mi must be a scalar number or Infinity"
ELAPSED = "expression_elapsed_seconds must be a positive float"
METRIC_KEYS = [
    "sharpe",
    "turnover",
    "delta_exposure",
    "max_weight",
    "abs_weight_sum_mean",
    "is_correlation",
    "is_pnl_mi",
]


def contract(**overrides):
    args = dict(signal_pool_name="pool", is_stats={"sharpe": 1.0}, is_pnl_mi=0.5, expression_elapsed_seconds=0.25)
    return SignalServiceClient._validate_submission_contract(**{**args, **overrides})


class Gate:
    """Stands in for evaluate_threshold_gates and records its calls."""

    def __init__(self, passed=True, failures=()):
        self.verdict = types.SimpleNamespace(passed=passed, failures=failures)
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.verdict


@pytest.fixture
def gate(monkeypatch):
    fake = Gate()
    monkeypatch.setattr(submit, "evaluate_threshold_gates", fake)
    return fake


@pytest.mark.parametrize(
    "args, kwargs, refused",
    [
        ((), {}, False),
        ((None, None), {}, False),
        ((), {"thresholds": {}}, True),
        ((False,), {}, True),
        ((), {"threshold_checks": []}, True),
        ((None, 0), {}, True),
    ],
)
def test_reject_caller_threshold_authority(args, kwargs, refused):
    if not refused:
        assert submit._reject_caller_threshold_authority(*args, **kwargs) is None
        return
    with pytest.raises(ValueError, match=f"^{AUTHORITY}$"):
        submit._reject_caller_threshold_authority(*args, **kwargs)


def test_no_thresholds_runs_no_gate(gate):
    assert submit._validate_submission_thresholds({}, "not even an MI value") is None
    assert submit._validate_submission_thresholds([], NAN, None) is None and gate.calls == []


@pytest.mark.parametrize("thresholds", [[], (), "min_sharpe", 0, types.MappingProxyType({})])
def test_thresholds_must_be_a_dict(gate, thresholds):
    with pytest.raises(ValueError, match="^thresholds must be a dict$"):
        submit._validate_submission_thresholds({"sharpe": 1.0}, NAN, thresholds)
    assert gate.calls == []


@pytest.mark.parametrize(
    "stats, mi, expected",
    [
        ({"is_sharpe": 1.2}, 0.5, [1.2, None, None, None, None, None, 0.5]),
        (
            {"sharpe": "2", "gross_returns_sharpe": 0.9, "avg_turnover": 3},
            "Infinity",
            [0.9, 3.0, None, None, None, None, INF],
        ),
        (
            {
                "is_turnover_pct": 0.4,
                "turnover": True,
                "delta_exposure": -1,
                "max_weight": 0.1,
                "abs_weight_sum_mean": 2,
                "correlation": 0.3,
                "is_correlation": 0.2,
            },
            -INF,
            [None, 0.4, -1.0, 0.1, 2.0, 0.3, -INF],
        ),
        ({"is_correlation": 0.7, "sharpe": NAN, "is_sharpe": 10**400}, 4, [None, None, None, None, None, 0.7, 4.0]),
    ],
)
def test_gate_receives_metrics_and_the_same_thresholds_twice(gate, stats, mi, expected):
    thresholds = {"min_sharpe": 1.0}
    assert submit._validate_submission_thresholds(stats, mi, thresholds=thresholds) is None
    [(args, kwargs)] = gate.calls
    assert args == () and list(kwargs) == ["metrics", "threshold_set", "pool_thresholds"]
    assert list(kwargs["metrics"].items()) == list(zip(METRIC_KEYS, expected))
    assert kwargs["threshold_set"] is thresholds and kwargs["pool_thresholds"] is thresholds


def test_mi_refusal_comes_before_the_gate(gate):
    with pytest.raises(ValueError, match=MI_REFUSAL):
        submit._validate_submission_thresholds({"sharpe": 1.0}, NAN, {})
    assert gate.calls == []


FAILURE = types.SimpleNamespace(gate="sharpe", actual=0.5, operator=">=", threshold=1.0)


@pytest.mark.parametrize(
    "failure, message",
    [
        (FAILURE, "sharpe failed: 0.5 >= 1.0"),
        (types.SimpleNamespace(**{**vars(FAILURE), "actual": None}), "sharpe failed: None >= 1.0"),
        (types.SimpleNamespace(gate=7, actual=3, operator="<=", threshold=INF), "7 failed: 3 <= inf"),
    ],
)
def test_first_gate_failure_is_raised(gate, failure, message):
    gate.verdict = types.SimpleNamespace(passed=0, failures=[failure, None])
    with pytest.raises(ValueError) as caught:
        submit._validate_submission_thresholds({}, 1.0, {})
    assert str(caught.value) == message


def test_passed_verdict_ignores_failures_and_empty_failures_raise(gate):
    gate.verdict = types.SimpleNamespace(passed=[1], failures="not read")
    assert submit._validate_submission_thresholds({}, 1.0, {}) is None
    gate.verdict = types.SimpleNamespace(passed=False, failures=())
    with pytest.raises(IndexError):
        submit._validate_submission_thresholds({}, 1.0, {})


def test_real_gate_collaborator():
    with pytest.raises(ValueError, match=r"^sharpe failed: 0\.5 >= 1\.0$"):
        submit._validate_submission_thresholds({"sharpe": 0.5}, INF, {"min_sharpe": 1.0})
    assert submit._validate_submission_thresholds({"sharpe": 1.5}, INF, {"min_sharpe": 1.0}) is None


class Int(int):
    pass


@pytest.mark.parametrize("value", [0, -3, True, False, 2.0, "2", Int(2), -(10**30)])
def test_manifest_int_refusals(value):
    with pytest.raises(ValueError, match="^client_manifest_version must be a positive integer$"):
        submit._validate_optional_manifest_int(value, "client_manifest_version")


@pytest.mark.parametrize("value", [None, 1, 10**30])
def test_manifest_int_passes_value_through(value):
    assert submit._validate_optional_manifest_int(value, "x") is value


def test_contract_passes_and_returns_none():
    assert contract() is None
    assert (
        contract(
            is_stats={"sharpe": 2.0, "n": [1, {"m": 3}]},
            is_pnl_mi="Infinity",
            thresholds={"min_sharpe": 1},
            client_manifest_version=1,
            client_manifest_market_id=2,
            client_manifest_era_number=10**20,
        )
        is None
    )


@pytest.mark.parametrize(
    "overrides, message",
    [
        ({"signal_pool_name": None, "is_stats": []}, "signal_pool_name must be a non-empty string"),
        ({"signal_pool_name": "", "is_pnl_mi": NAN}, "signal_pool_name must be a non-empty string"),
        ({"is_stats": [], "is_pnl_mi": NAN}, "is_stats must be a dict"),
        ({"is_stats": {"x": NAN, "is_mi": 1}}, "is_stats must not contain MI contract fields"),
        ({"is_stats": {"x": [NAN]}, "is_pnl_mi": "inf"}, "is_stats values must be finite numbers"),
        ({"is_pnl_mi": True, "thresholds": []}, MI_REFUSAL),
        ({"thresholds": [], "expression_elapsed_seconds": 1}, "thresholds must be a dict"),
        ({"thresholds": {"min_sharpe": 2.0}, "expression_elapsed_seconds": 0.0}, "sharpe failed: 1.0 >= 2.0"),
        ({"expression_elapsed_seconds": 1, "client_manifest_version": 0}, ELAPSED),
        (
            {"client_manifest_version": 0, "client_manifest_market_id": 0},
            "client_manifest_version must be a positive integer",
        ),
        (
            {"client_manifest_market_id": True, "client_manifest_era_number": -1},
            "client_manifest_market_id must be a positive integer",
        ),
        ({"client_manifest_era_number": 2.0}, "client_manifest_era_number must be a positive integer"),
    ],
)
def test_contract_order_of_checks(overrides, message):
    with pytest.raises(ValueError) as caught:
        contract(**overrides)
    assert str(caught.value) == message


class Float(float):
    pass


@pytest.mark.parametrize(
    "seconds, ok",
    [
        (1, False),
        (0.0, False),
        (-0.0, False),
        (-1.0, False),
        (NAN, False),
        (INF, False),
        (Float(1.0), False),
        ("1.0", False),
        (True, False),
        (None, False),
        (0.001, True),
        (5e-324, True),
    ],
)
def test_contract_elapsed_seconds(seconds, ok):
    if ok:
        assert contract(expression_elapsed_seconds=seconds) is None
        return
    with pytest.raises(ValueError, match=f"^{ELAPSED}$"):
        contract(expression_elapsed_seconds=seconds)


def test_contract_calls_its_helpers_by_name_in_order(monkeypatch):
    calls = []

    def spy(name):
        original = getattr(submit, name)

        def wrapper(*args, **kwargs):
            calls.append((name, args, kwargs))
            return original(*args, **kwargs)

        monkeypatch.setattr(submit, name, wrapper)

    for name in (
        "_validate_selected_pool_id",
        "_has_disallowed_mi_contract_field",
        "_has_non_finite_number",
        "_coerce_mi_contract_value",
        "_validate_submission_thresholds",
        "_validate_optional_manifest_int",
        "_stat_metric",
        "evaluate_threshold_gates",
    ):
        spy(name)
    stats, thresholds = {"sharpe": 1.0}, {}
    assert contract(is_stats=stats, thresholds=thresholds, client_manifest_market_id=3) is None
    names = [name for name, _, _ in calls]
    # Each walk also calls itself by name for the one statistic, as a recursive function would.
    assert names == (
        ["_validate_selected_pool_id"]
        + ["_has_disallowed_mi_contract_field"] * 2
        + ["_has_non_finite_number"] * 2
        + ["_coerce_mi_contract_value", "_validate_submission_thresholds"]
        + ["_stat_metric"] * 6
        + ["_coerce_mi_contract_value", "evaluate_threshold_gates"]
        + ["_validate_optional_manifest_int"] * 3
    )
    assert calls[0][1:] == (("pool", "signal_pool_name"), {})
    assert calls[2][1] == (1.0,) and calls[6][1:] == ((stats, 0.5), {"thresholds": thresholds})
    assert [c[1] for c in calls[-3:]] == [
        (None, "client_manifest_version"),
        (3, "client_manifest_market_id"),
        (None, "client_manifest_era_number"),
    ]
