"""What the fuzz harnesses share: values built from the fuzzer's bytes, in-process
transports, and the rule every harness enforces.

The rule: whatever the input, the interpreter survives and only the exceptions the module
documents come out. Anything else is a finding and stops the run with the input saved.
"""

from __future__ import annotations

import json
import math
import sys

import atheris

with atheris.instrument_imports():
    import quillmarsh.submit as submit

# Exceptions the module documents for bad input: its own errors, the host's refusals of
# values it cannot convert or serialise, and the host's guard against nesting too deep.
DOCUMENTED = (
    ValueError,
    TypeError,
    OverflowError,
    RecursionError,
    submit.SubmissionRejectedError,
    submit.SignalClientResponseError,
)

TEXTS = [
    "",
    "a",
    "us_top",
    "pool-a",
    "Infinity",
    "-Infinity",
    "NaN",
    "é",
    "\x00",
    "/",
    "..",
    " ",
    "\ud800",
    "sharpe",
    "is_mi",
    "is_correlation",
    "eras",
    "12",
    "1.5",
    "signal_found",
]
KEYS = [
    "sharpe",
    "turnover",
    "is_correlation",
    "correlation",
    "is_mi",
    "is_pnl_mi_values",
    "_threshold_checks",
    "era_number",
    "market_id",
    "state",
    "eras",
    "eras_by_market",
    "universe_rules",
    "universes",
    "rule_id",
    "signal_pools",
    "thresholds",
    "is_correlation_threshold",
    "is_pnl_mi_threshold",
    "frequency",
    "max_depth",
    "max_node_count",
    "results",
    "status_code",
    "index",
    "body",
    "accepted",
    "failed",
    "submissions",
    "status",
    "reason",
    "error",
    "named_universe",
    "id",
    "name",
    "signal_is_thresholds",
    "universe_rule_id",
]


class Values:
    """Builds host values (nested, odd, huge, non-finite, non-ASCII) from fuzzer bytes."""

    def __init__(self, data: bytes) -> None:
        self.fdp = atheris.FuzzedDataProvider(data)

    def pick(self, options):
        return options[self.fdp.ConsumeIntInRange(0, len(options) - 1)]

    def scalar(self):
        kind = self.fdp.ConsumeIntInRange(0, 9)
        if kind == 0:
            return self.fdp.ConsumeInt(self.fdp.ConsumeIntInRange(1, 80))
        if kind == 1:
            return self.fdp.ConsumeRegularFloat()
        if kind == 2:
            return self.pick([math.nan, math.inf, -math.inf, 0.0, -0.0, 1e308, 5e-324])
        if kind == 3:
            return self.pick(TEXTS)
        if kind == 4:
            return self.fdp.ConsumeUnicodeNoSurrogates(self.fdp.ConsumeIntInRange(0, 12))
        if kind == 5:
            return self.pick([None, True, False])
        if kind == 6:
            return self.fdp.ConsumeBytes(self.fdp.ConsumeIntInRange(0, 8))
        if kind == 7:
            return self.pick([10**400, -(10**400), 2**63, 202, 400, 0])
        if kind == 8:
            return self.pick([object(), (1, 2), frozenset({1})])
        return self.fdp.ConsumeIntInRange(-3, 300)

    def value(self, depth: int = 0):
        kind = self.fdp.ConsumeIntInRange(0, 5)
        if depth > 6 or kind < 3:
            return self.scalar()
        if kind == 3:
            return [self.value(depth + 1) for _ in range(self.fdp.ConsumeIntInRange(0, 4))]
        if kind == 4:
            nested = self.value(depth + 1)
            for _ in range(self.fdp.ConsumeIntInRange(0, 3000)):  # occasionally very deep
                nested = {self.pick(KEYS): nested}
            return nested
        return {
            self.pick(KEYS) if self.fdp.ConsumeBool() else self.scalar_key(): self.value(depth + 1)
            for _ in range(self.fdp.ConsumeIntInRange(0, 5))
        }

    def scalar_key(self):
        key = self.scalar()
        try:
            hash(key)
        except TypeError:
            return "k"
        return key

    def mapping(self) -> dict:
        value = self.value(1)
        return value if isinstance(value, dict) else {self.pick(KEYS): value}


class Response:
    def __init__(self, status_code, content) -> None:
        self.status_code = status_code
        self.content = content


class ScriptedTransport:
    """Answers every request with the next of a few fuzzed answers, or raises."""

    def __init__(self, answers) -> None:
        self.answers = list(answers) or [(200, b"{}")]
        self.calls = 0

    def _next(self):
        status, content = self.answers[self.calls % len(self.answers)]
        self.calls += 1
        if isinstance(content, BaseException):
            raise content
        return Response(status, content)

    def post(self, path, *, content=None, headers=None):
        if content is not None and not isinstance(content, bytes):
            b"".join(content)
        return self._next()

    def get(self, path, *, headers=None):
        return self._next()


def checked(run, also=()):
    """Calls `run`; a documented exception (or one of `also`) is an answer, anything else
    escapes and is a finding."""
    try:
        run()
    except DOCUMENTED + tuple(also):
        pass


def main(test_one_input) -> None:
    sys.setrecursionlimit(1000)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


def to_json_bytes(value) -> bytes:
    try:
        return json.dumps(value).encode()
    except (TypeError, ValueError, RecursionError):
        return b"{}"
