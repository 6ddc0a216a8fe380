import collections
import decimal
import math
import sys
import types

import pytest

from quillmarsh import submit

INF, NAN = math.inf, math.nan
MI_REFUSAL = "is_pnl_mi must be a scalar number or Infinity"


class Int(int):
    pass


class Float(float):
    pass


class Text(str):
    pass


@pytest.mark.parametrize(
    "value, expected",
    [
        (1, True),
        (0, True),
        (1.5, True),
        (-0.0, True),
        (2**1023, True),
        (True, False),
        (False, False),
        (NAN, False),
        (INF, False),
        (-INF, False),
        (10**400, False),
        (-(10**400), False),
        ("1", False),
        (None, False),
        (Int(1), False),
        (Float(1.5), False),
        ([1], False),
        (1j, False),
    ],
)
def test_is_finite_number(value, expected):
    assert submit._is_finite_number(value) is expected


@pytest.mark.parametrize(
    "value, expected",
    [
        ({"a": [{"b": INF}]}, True),
        ({NAN: 1}, False),
        ({"a": "nan"}, False),
        ({"a": True}, False),
        ([], False),
        ({}, False),
        (-INF, True),
        ((1, (2, [NAN])), True),
        ({"a": 10**400}, True),
        ({"a": Float("inf")}, False),
        ({"a": {INF}}, False),
        ("inf", False),
        (collections.OrderedDict(a=1, b=[-INF]), True),
        ({"a": [1, 2.5, {"b": (0, -3)}]}, False),
    ],
)
def test_has_non_finite_number(value, expected):
    assert submit._has_non_finite_number(value) is expected


def test_non_finite_walk_order_and_short_circuit(monkeypatch):
    seen = []
    original = submit._is_finite_number
    monkeypatch.setattr(submit, "_is_finite_number", lambda v: seen.append(v) or original(v))
    assert submit._has_non_finite_number({"a": [1, {"b": INF, "c": 2}], "d": 3}) is True
    assert seen == [1, INF]


def test_walks_recurse_through_the_module_names(monkeypatch):
    seen = []
    original = submit._has_non_finite_number
    monkeypatch.setattr(submit, "_has_non_finite_number", lambda v: seen.append(v) or original(v))
    assert original({"a": [1, 2], "b": 3}) is False
    assert seen == [[1, 2], 1, 2, 3]
    # A replacement's answer counts for its truth.
    monkeypatch.setattr(submit, "_has_non_finite_number", lambda v: "yes" if v == 2 else 0)
    assert original([1, 2]) is True and original([1, [2]]) is False


def test_overridden_container_iteration_is_honoured():
    class Hidden(list):
        def __iter__(self):
            return iter([INF])

    class Values(dict):
        def items(self):
            return [("is_mi", 1)]

    assert submit._has_non_finite_number({"a": Hidden([1])}) is True
    assert submit._has_disallowed_mi_contract_field(Values(ok=1)) is True


def test_math_is_read_at_call_time(monkeypatch):
    monkeypatch.setattr(
        submit, "math", types.SimpleNamespace(isfinite=lambda x: x < 10, isnan=math.isnan, isinf=math.isinf)
    )
    assert submit._is_finite_number(11) is False and submit._is_finite_number(9.5) is True
    assert submit._has_non_finite_number({"a": [11.0]}) is True


def _nested(depth, make):
    value = 1.0
    for _ in range(depth):
        value = make(value)
    return value


def _cyclic(container):
    if isinstance(container, list):
        container.append({"x": container})
    else:
        container["me"] = container
    return container


WALKS = [
    submit._has_non_finite_number,
    submit._has_disallowed_mi_contract_field,
    lambda v: submit.SignalServiceClient._validate_submission_contract("pool", {"v": v}, 0.5, 1.0),
]


@pytest.mark.parametrize("walk", WALKS)
@pytest.mark.parametrize(
    "make",
    [
        lambda: _nested(100_000, lambda v: {"a": v}),
        lambda: _nested(100_000, lambda v: [v]),
        lambda: _cyclic({"a": 1}),
        lambda: _cyclic([1]),
    ],
)
def test_deep_or_cyclic_statistics_raise_recursion_error(walk, make):
    with pytest.raises(RecursionError):
        walk(make())


def test_deep_statistics_within_a_raised_limit_are_walked():
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(250_000)
    try:
        deep = _nested(100_000, lambda v: {"a": [v]})
        assert submit._has_non_finite_number(deep) is False
        assert submit._has_disallowed_mi_contract_field(deep) is False
    finally:
        sys.setrecursionlimit(limit)


def test_dict_mutated_by_a_key_hash_during_the_walk():
    class Sneaky:
        armed = False

        def __hash__(self):
            if self.armed:
                stats.clear()
            return 1

    key = Sneaky()
    stats = {key: 1, "x": {"y": 2}}
    key.armed = True
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        submit._has_disallowed_mi_contract_field(stats)


@pytest.mark.parametrize(
    "value, expected",
    [
        ("Infinity", INF),
        ("-Infinity", -INF),
        (Text("Infinity"), INF),
        (2, 2.0),
        (INF, INF),
        (-INF, -INF),
        (0.25, 0.25),
        (-3, -3.0),
    ],
)
def test_coerce_mi_contract_value(value, expected):
    out = submit._coerce_mi_contract_value(value)
    assert type(out) is float and out == expected


@pytest.mark.parametrize(
    "value", ["infinity", "INFINITY", "inf", "12", "", True, False, None, [], {}, NAN, Int(2), Float(1.0), b"Infinity"]
)
def test_coerce_mi_contract_value_refusals(value):
    with pytest.raises(ValueError) as caught:
        submit._coerce_mi_contract_value(value)
    assert str(caught.value) == MI_REFUSAL and caught.value.__cause__ is None


def test_unconvertible_mi_int_refusal_carries_the_overflow_as_cause():
    with pytest.raises(ValueError, match=MI_REFUSAL) as caught:
        submit._coerce_mi_contract_value(10**400)
    assert type(caught.value.__cause__) is OverflowError and caught.value.__suppress_context__


@pytest.mark.parametrize("value, expected", [("Infinity", "Infinity"), (INF, "Infinity"), (3, 3.0), (0.25, 0.25)])
def test_mi_contract_json_value(value, expected):
    out = submit._mi_contract_json_value(value)
    assert type(out) is type(expected) and out == expected


@pytest.mark.parametrize("value", ["-Infinity", -INF, NAN, True, "inf"])
def test_mi_contract_json_value_refusals(value):
    with pytest.raises(ValueError, match=f"^{MI_REFUSAL}$"):
        submit._mi_contract_json_value(value)


def test_mi_json_value_coerces_through_the_module_name(monkeypatch):
    answers = {
        "int": -5,
        "decimal": decimal.Decimal("2.5"),
        "up": decimal.Decimal("Infinity"),
        "down": decimal.Decimal("-Infinity"),
    }
    monkeypatch.setattr(submit, "_coerce_mi_contract_value", answers.get)
    assert [submit._mi_contract_json_value(k) for k in ("int", "decimal", "up")] == [-5.0, 2.5, "Infinity"]
    with pytest.raises(ValueError, match=MI_REFUSAL):
        submit._mi_contract_json_value("down")


class LooksLikeIsMi:
    def __hash__(self):
        return hash("is_mi")

    def __eq__(self, other):
        return other == "is_mi"


@pytest.mark.parametrize(
    "value, expected",
    [
        ({"a": [{"is_mi": 1}]}, True),
        ({"is_pnl_mi": 1}, False),
        ({"is_pnl_mi_values": None}, True),
        ({"x": ("y", {"is_mi_values": []})}, True),
        (["is_mi"], False),
        ({"a": "is_mi"}, False),
        ("is_mi", False),
        ({1: 2, None: 3, 2.5: 4, (1, "is_mi"): 5}, False),
        ({"nested": {"is_mix": 1, "is_m": 2}}, False),
        ({Text("is_mi"): 1}, True),
        ({LooksLikeIsMi(): 1}, True),
        ({}, False),
        (None, False),
    ],
)
def test_has_disallowed_mi_contract_field(value, expected):
    assert submit._has_disallowed_mi_contract_field(value) is expected


def test_disallowed_key_is_tested_before_its_value(monkeypatch):
    seen = []
    original = submit._has_disallowed_mi_contract_field
    monkeypatch.setattr(submit, "_has_disallowed_mi_contract_field", lambda v: seen.append(v) or original(v))
    assert original({"a": {"x": 1}, "is_mi": {"deep": 1}, "b": 2}) is True
    assert seen == [{"x": 1}, 1]


@pytest.mark.parametrize(
    "stats, keys, expected",
    [
        ({"sharpe": "12", "is_sharpe": 1}, ("sharpe", "is_sharpe"), 1.0),
        ({"sharpe": True}, ("sharpe", "is_sharpe"), None),
        ({}, ("sharpe",), None),
        ({"sharpe": 1}, (), None),
        ({"a": NAN, "b": INF, "c": None, "d": [1], "e": 0.5}, ("a", "b", "c", "d", "e"), 0.5),
        ({"a": 10**400, "b": 7}, ["a", "b"], 7.0),
        ({"a": Int(3), "b": 4}, iter(["a", "b"]), 4.0),
    ],
)
def test_stat_metric(stats, keys, expected):
    out = submit._stat_metric(stats, keys)
    assert out == expected and type(out) is type(expected)


@pytest.mark.parametrize(
    "stats, expected",
    [
        ({"sharpe": 1, "_threshold_checks": {"x": 1}}, {"sharpe": 1}),
        ({"sharpe": 1}, {"sharpe": 1}),
        (collections.OrderedDict(_threshold_checks=1, b=2), {"b": 2}),
    ],
)
def test_submission_is_stats_payload(stats, expected):
    before = dict(stats)
    payload = submit._submission_is_stats_payload(stats)
    assert type(payload) is dict and payload == expected and payload is not stats and stats == before


def test_a_replaced_isinf_decides_and_the_sign_is_the_values_own(monkeypatch):
    monkeypatch.setattr(
        submit, "math", types.SimpleNamespace(isinf=lambda x: True, isnan=math.isnan, isfinite=math.isfinite)
    )
    assert submit._mi_contract_json_value(0.5) == "Infinity"
    with pytest.raises(ValueError):
        submit._mi_contract_json_value(-0.5)


def test_an_iteration_that_fails_midway_propagates():
    class Breaking(list):
        def __iter__(self):
            yield 1.0
            raise RuntimeError("broken iteration")

    for walk in (submit._has_non_finite_number, submit._has_disallowed_mi_contract_field):
        with pytest.raises(RuntimeError, match="broken iteration"):
            walk({"values": Breaking([1.0, 2.0])})
