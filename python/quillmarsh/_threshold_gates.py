"""Gating a signal's in-sample metrics against era thresholds.

Gates, in the fixed order in which they are evaluated and reported:

    gate (metric)        threshold name(s)                      passes when
    sharpe               min_sharpe                             sharpe >= threshold
    turnover             max_turnover                           turnover <= threshold
    turnover             min_turnover                           turnover >= threshold
    delta_exposure       max_delta_exposure                     abs(delta_exposure) <= threshold
    max_weight           max_weight, then max_max_weight        max_weight <= threshold
    abs_weight_sum_mean  max_abs_weight_sum_mean                abs_weight_sum_mean <= threshold
    is_correlation       is_correlation_threshold               is_correlation <= threshold
    is_pnl_mi            is_pnl_mi_threshold, then mi_threshold  is_pnl_mi >= threshold

A failure's ``operator`` is the comparison text, ``>=`` or ``<=``.

* ``is_correlation`` is the signal's correlation with the signals already in
  the pool: it must not exceed the threshold.
* ``is_pnl_mi`` is the mutual information between the signal's PnL and its
  target, a measure of what the signal knows: it must be at least the
  threshold. An MI of positive infinity passes every finite threshold;
  negative infinity fails every threshold but negative infinity.
* For ``delta_exposure`` the absolute value is compared and reported as the
  failure's ``actual``.

Threshold lookup: each gate's threshold is taken from ``pool_thresholds``
first, then from ``threshold_set``; within one mapping the first name listed
wins over its alias. An entry whose value is None counts as absent, so the
lookup goes on; a gate with no non-None threshold anywhere is not applied.
Either mapping may be None (no thresholds). Keys not listed above are
ignored.

Metrics: a mapping of the metric names above to numbers or None; a missing
key counts as None. A metric that is None (or NaN) while its gate has a
threshold fails that gate, reported with the metric as ``actual``.

Threshold values must be int or float (not bool) and not NaN; infinities
are allowed. Anything else raises ``ValueError``, as does a metric that is
neither None nor a number and a mapping argument that is not a mapping.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

__all__ = ["ThresholdGateFailure", "ThresholdGateResult", "evaluate_threshold_gates"]


@dataclass(frozen=True, slots=True)
class ThresholdGateFailure:
    """One failed gate: ``gate`` (metric name), ``actual``, ``operator``,
    ``threshold`` and the ``threshold_name`` the threshold was found under."""

    gate: str
    actual: float | None
    operator: str
    threshold: float
    threshold_name: str


@dataclass(frozen=True, slots=True)
class ThresholdGateResult:
    """Verdict of all gates: ``passed`` and the ``failures`` in gate order."""

    passed: bool
    failures: tuple[ThresholdGateFailure, ...]


# (metric, threshold names in order of preference, operator)
_GATES: tuple[tuple[str, tuple[str, ...], str], ...] = (
    ("sharpe", ("min_sharpe",), ">="),
    ("turnover", ("max_turnover",), "<="),
    ("turnover", ("min_turnover",), ">="),
    ("delta_exposure", ("max_delta_exposure",), "<="),
    ("max_weight", ("max_weight", "max_max_weight"), "<="),
    ("abs_weight_sum_mean", ("max_abs_weight_sum_mean",), "<="),
    ("is_correlation", ("is_correlation_threshold",), "<="),
    ("is_pnl_mi", ("is_pnl_mi_threshold", "mi_threshold"), ">="),
)


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _as_mapping(value: Any, name: str) -> Mapping[str, Any]:
    if type(value) is dict:
        return value
    if value is None:
        return {}
    if not isinstance(value, Mapping):
        raise ValueError(f"{name} must be a mapping, got {type(value).__name__}")
    return value


def _lookup_threshold(names: tuple[str, ...], sources: tuple[Mapping[str, Any], ...]) -> tuple[str, float] | None:
    for source in sources:
        for name in names:
            value = source.get(name)
            if value is None:
                continue
            if not _is_number(value) or math.isnan(value):
                raise ValueError(f"threshold {name} must be a number, got {value!r}")
            return name, value
    return None


_PASSED = ThresholdGateResult(passed=True, failures=())

# threshold name -> (metric, comparison): 0 is ">=", 1 is "<=", 2 is
# "abs(metric) <=".
_GATE_BY_NAME: dict[str, tuple[str, int]] = {
    name: (metric, 2 if metric == "delta_exposure" else int(operator == "<="))
    for metric, names, operator in _GATES
    for name in names
}
# Plain ints that ``math.isnan`` can take (it converts them to float).
_INT_LIMIT = 1.7976931348623157e308


def _passes_all(metrics: dict[Any, Any], thresholds: dict[Any, Any]) -> bool:
    """True when every threshold in ``thresholds`` is a plain number that its
    metric (a plain number too) meets; False otherwise, for the general path.

    This is stricter than the lookup: an alias is checked even where its gate's
    first name wins, so True means the gates pass whichever name is used.
    """
    for name, threshold in thresholds.items():
        gate = _GATE_BY_NAME.get(name)
        if gate is None or threshold is None:
            continue
        metric, comparison = gate
        actual = metrics.get(metric)
        if type(threshold) is not float and (type(threshold) is not int or not -_INT_LIMIT <= threshold <= _INT_LIMIT):
            return False
        if type(actual) is not float and (type(actual) is not int or not -_INT_LIMIT <= actual <= _INT_LIMIT):
            return False
        # A NaN on either side fails every comparison.
        if comparison == 0:
            if not actual >= threshold:
                return False
        elif comparison == 1:
            if not actual <= threshold:
                return False
        elif not abs(actual) <= threshold:
            return False
    return True


def evaluate_threshold_gates(
    *, metrics: Mapping[str, Any], threshold_set: Mapping[str, Any] | None, pool_thresholds: Mapping[str, Any] | None
) -> ThresholdGateResult:
    """Run every gate that has a threshold; see the module documentation."""
    # Fast path: plain dicts whose gates all pass. Each gate's threshold is
    # one of the values that ``_passes_all`` checks in the two mappings, so
    # when they all pass, every gate passes. Anything else (a failure, a value
    # to refuse, another mapping type) takes the general path.
    if type(metrics) is dict:
        if type(pool_thresholds) is dict:
            if _passes_all(metrics, pool_thresholds) and (
                threshold_set is pool_thresholds
                or threshold_set is None
                or (type(threshold_set) is dict and _passes_all(metrics, threshold_set))
            ):
                return _PASSED
        elif pool_thresholds is None and type(threshold_set) is dict:
            if _passes_all(metrics, threshold_set):
                return _PASSED
    return _evaluate_gates(metrics, threshold_set, pool_thresholds)


def _evaluate_gates(metrics: Any, threshold_set: Any, pool_thresholds: Any) -> ThresholdGateResult:
    """The general path: every gate in order, looked up one name at a time."""
    metrics = _as_mapping(metrics, "metrics")
    sources = (_as_mapping(pool_thresholds, "pool_thresholds"), _as_mapping(threshold_set, "threshold_set"))
    if type(pool_thresholds) is dict and threshold_set is pool_thresholds:
        sources = sources[:1]  # a dict looked up twice answers the same
    failures: list[ThresholdGateFailure] = []
    for metric, names, operator in _GATES:
        found = _lookup_threshold(names, sources)
        if found is None:
            continue
        threshold_name, threshold = found
        actual = metrics.get(metric)
        if actual is not None and not _is_number(actual):
            raise ValueError(f"metric {metric} must be a number or None, got {actual!r}")
        if actual is not None and metric == "delta_exposure":
            actual = abs(actual)
        if actual is None or math.isnan(actual):
            ok = False
        elif operator == ">=":
            ok = actual >= threshold
        else:
            ok = actual <= threshold
        if not ok:
            failures.append(
                ThresholdGateFailure(
                    gate=metric, actual=actual, operator=operator, threshold=threshold, threshold_name=threshold_name
                )
            )
    if not failures:
        return _PASSED
    return ThresholdGateResult(passed=False, failures=tuple(failures))
