"""How a submission moves from receipt to its verdict, and what a status answer carries.

A submission is "queued", then "simulating", then reaches its terminal status: on the
N-th status read (``after_polls``, 3 by default) or S seconds after it was received
(``after_seconds``). The verdict is settled on receipt and shown once terminal:

* a signal whose in-sample statistics meet the era thresholds for its pool and universe:
  "signal_os_passed", with a payment in credits;
* a signal that fails a threshold gate: "signal_is_rejected", with the gate in
  ``rejection_reason``;
* a strategy: "signal_found".

To exercise a client's handling of the other outcomes, a submission may ask for any
terminal status with ``metaparameters: {"devservice_outcome": "<status>"}``.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .validation import Checked

__all__ = ["QUEUED", "SIMULATING", "TERMINAL_STATUSES", "Progression", "facts", "status_body", "verdict"]

QUEUED, SIMULATING = "queued", "simulating"
TERMINAL_STATUSES = (
    "signal_found",
    "signal_is_rejected",
    "signal_os_passed",
    "signal_os_failed",
    "signal_server_side_error",
    "signal_useful",
    "signal_not_useful",
    "signal_useful_transition_failed",
)
DEFAULT_POLLS = 3

# terminal status -> (failure_reason, failure_message) for the outcomes that fail
_FAILURES = {
    "signal_os_failed": (
        "os_sharpe_below_threshold",
        "the signal's out-of-sample Sharpe ratio is below the era's minimum",
    ),
    "signal_not_useful": ("no_marginal_contribution", "adding the signal does not improve the pool's strategy"),
    "signal_server_side_error": ("simulation_error", "the out-of-sample simulation failed; submit again later"),
    "signal_useful_transition_failed": (
        "transition_failed",
        "the signal was useful but could not be moved into the strategy pool",
    ),
}


class Progression:
    """Which status a submission shows, from its poll count or its age."""

    def __init__(self, *, after_polls: int | None = None, after_seconds: float | None = None):
        if after_polls is not None and after_seconds is not None:
            raise ValueError("give status_after_polls or status_after_seconds, not both")
        if after_polls is not None and (
            isinstance(after_polls, bool) or not isinstance(after_polls, int) or after_polls < 0
        ):
            raise ValueError(f"status_after_polls must be an int >= 0, got {after_polls!r}")
        if after_seconds is not None and not (isinstance(after_seconds, (int, float)) and after_seconds >= 0):
            raise ValueError(f"status_after_seconds must be a number >= 0, got {after_seconds!r}")
        self.after_seconds = after_seconds
        self.after_polls = DEFAULT_POLLS if after_polls is None else after_polls

    def status(self, terminal: str, *, polls: int, created_us: int, now_us: int) -> str:
        if self.after_seconds is not None:
            age = (now_us - created_us) / 1e6
            if age >= self.after_seconds:
                return terminal
            return SIMULATING if age >= self.after_seconds / 2 else QUEUED
        if polls >= self.after_polls:
            return terminal
        return SIMULATING if polls >= 2 else QUEUED


def verdict(checked: Checked) -> dict[str, Any]:
    """The terminal status and the fields that come with it."""
    out: dict[str, Any] = {
        "status": None,
        "payment": None,
        "rejection_reason": None,
        "failure_reason": None,
        "failure_detail": None,
        "failure_message": None,
    }
    if checked.requested_outcome is not None:
        status = checked.requested_outcome
    elif checked.kind == "strategy":
        status = "signal_found"
    else:
        status = "signal_is_rejected" if checked.gate_failure else "signal_os_passed"
    out["status"] = status
    if status in ("signal_os_passed", "signal_useful"):
        out["payment"] = {"amount": float(checked.reward_credits or 10.0), "currency": "credits"}
    elif status == "signal_is_rejected":
        out["rejection_reason"] = f"is_thresholds_not_met: {checked.gate_failure or 'rejected on request'}"
    elif status in _FAILURES:
        reason, message = _FAILURES[status]
        out.update(
            failure_reason=reason, failure_detail=f"{status} at era {checked.era_number}", failure_message=message
        )
    return out


def facts(checked: Checked) -> dict[str, Any]:
    """What a status answer repeats of the submission itself."""
    return {
        "kind": checked.kind,
        "named_universe": checked.named_universe,
        "pool_name": checked.pool_name,
        "market_id": checked.market_id,
        "era_number": checked.era_number,
        "signal_pool_id": checked.signal_pool_id,
        "strategy_pool_id": checked.strategy_pool_id,
        "strategy_signal_pool": checked.strategy_signal_pool,
        "is_stats": checked.is_stats,
        "is_correlation": checked.is_correlation,
        "is_pnl_mi": checked.is_pnl_mi,
    }


def status_body(record: dict[str, Any], status: str) -> dict[str, Any]:
    known, outcome = record["facts"], record["verdict"]
    final = status == outcome["status"]
    pool_field = "signal_pool_name" if known["kind"] == "signal" else "strategy_pool_name"
    body = {
        "submission_id": record["submission_id"],
        "kind": known["kind"],
        "status": status,
        "signal_pool_id": known["signal_pool_id"],
        "strategy_pool_id": known["strategy_pool_id"],
        "strategy_signal_pool": known["strategy_signal_pool"],
        pool_field: known["pool_name"],
        "named_universe": known["named_universe"],
        "market_id": known["market_id"],
        "era_number": known["era_number"],
        "idempotency_key": record["idempotency_key"],
        "created_at": record["created_at"],
        "is_stats": known["is_stats"],
        "is_correlation": known["is_correlation"] if final else None,
        "agent_is_correlation": known["is_correlation"],
        "is_pnl_mi": known["is_pnl_mi"] if final else None,
        "agent_is_pnl_mi": known["is_pnl_mi"],
    }
    for key in ("payment", "rejection_reason", "failure_reason", "failure_detail", "failure_message"):
        body[key] = outcome[key] if final else None
    return body
