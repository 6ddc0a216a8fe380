"""Submission contract checks: metrics, MI values, thresholds, identifiers, deep input."""

from __future__ import annotations

import quillmarsh.submit as submit

from .common import BODY, Scenario, _expect

CALLS = 20_000


class _Gate:
    """A threshold gate that always fails its one gate."""

    def __init__(self) -> None:
        failure = type("Failure", (), {"gate": "sharpe", "actual": 0.5, "operator": ">=", "threshold": 1.0})()
        self.verdict = type("Verdict", (), {"passed": False, "failures": (failure,)})()

    def __call__(self, **kwargs):
        return self.verdict


def _deep_stats(depth: int) -> dict:
    stats: dict = {"sharpe": 1.0}
    for _ in range(depth):
        stats = {"nested": [stats]}
    return stats


def scenarios() -> dict[str, Scenario]:
    import quillmarsh.agent_onboarding as onboarding

    contract = submit.SignalServiceClient._validate_submission_contract
    stats = {"sharpe": 1.2, "turnover": 0.3, "nested": {"a": [1, 2.5, (3, 4)]}, "_threshold_checks": {"x": 1}}
    thresholds = {"min_sharpe": 1.0, "max_turnover": 0.5}
    bad_stats = {"sharpe": 1.0, "series": [1.0, float("nan")]}
    mi_stats = {"sharpe": 1.0, "x": {"is_mi": 1}}
    deep = _deep_stats(5_000)
    cyclic: dict = {"sharpe": 1.0}
    cyclic["self"] = cyclic
    failing_gate = _Gate()
    real_gate = submit.evaluate_threshold_gates

    def gate_failure() -> None:
        submit.evaluate_threshold_gates = failing_gate
        try:
            _expect(ValueError, lambda: contract("pool", stats, 0.5, 0.1, thresholds))()
        finally:
            submit.evaluate_threshold_gates = real_gate

    def onboarding_default() -> None:
        saved = onboarding._config
        onboarding._config = {"named_universe": " us_top "}
        try:
            submit._validate_named_universe(None)
        finally:
            onboarding._config = saved

    def onboarding_broken() -> None:
        saved = onboarding._config
        onboarding._config = None  # no get(): counts as no default
        try:
            _expect(ValueError, lambda: submit._validate_named_universe("  "))()
        finally:
            onboarding._config = saved

    def replaced_walks() -> None:
        # The walks call wrappers of themselves by name for every nested value.
        originals = {
            name: getattr(submit, name)
            for name in ("_has_non_finite_number", "_has_disallowed_mi_contract_field", "_is_finite_number")
        }
        for name, original in originals.items():
            setattr(submit, name, lambda value, original=original: original(value))
        try:
            contract("pool", stats, 0.5, 0.1)
            _expect(ValueError, lambda: contract("pool", bad_stats, 0.5, 0.1))()
        finally:
            for name, original in originals.items():
                setattr(submit, name, original)

    return {
        "contract_replaced_walks": (replaced_walks, [stats, bad_stats]),
        "contract_pass": (lambda: contract("pool", stats, "Infinity", 0.1, thresholds, 1, 2, 3), [stats, thresholds]),
        "contract_non_finite": (_expect(ValueError, lambda: contract("pool", bad_stats, 0.5, 0.1)), [bad_stats]),
        "contract_mi_field": (_expect(ValueError, lambda: contract("pool", mi_stats, 0.5, 0.1)), [mi_stats]),
        "contract_mi_overflow": (_expect(ValueError, lambda: contract("pool", stats, 10**400, 0.1)), [stats]),
        "contract_gate_failure": (gate_failure, [stats, thresholds, failing_gate]),
        "contract_deep_input": (_expect(RecursionError, lambda: contract("pool", deep, 0.5, 0.1)), [deep]),
        "contract_cyclic_input": (_expect(RecursionError, lambda: contract("pool", cyclic, 0.5, 0.1)), [cyclic]),
        "metric_helpers": (
            lambda: (
                submit._stat_metric(stats, ("x", "sharpe")),
                submit._mi_contract_json_value(3),
                submit._submission_is_stats_payload(stats),
            ),
            [stats],
        ),
        "named_universe": (lambda: submit._validate_named_universe(" us_top "), []),
        "named_universe_unsafe": (_expect(ValueError, lambda: submit._validate_named_universe("a/b")), []),
        "onboarding_default": (onboarding_default, []),
        "onboarding_broken": (onboarding_broken, []),
        "retired_alias": (
            _expect(ValueError, lambda: submit._reject_retired_universe_aliases(BODY | {"universe_id": 1})),
            [BODY],
        ),
    }
