import types

import pytest

from quillmarsh import submit

NO_ERA = "era config unavailable: /eras returned no active era"


def era(label, **fields):
    return {"label": label, **fields}


def chosen(catalog, **kwargs):
    picked = submit._active_era_from_catalog(catalog, **kwargs)
    return picked if picked is None else picked["label"]


class Record:
    present = 1
    none = None

    @property
    def missing_by_property(self):
        raise AttributeError("computed")

    @property
    def broken(self):
        raise RuntimeError("boom")


class GetDict(dict):
    def get(self, key, default=None):
        return ("get", key, default)


@pytest.mark.parametrize(
    "value, key, default, expected",
    [
        ({"k": 1}, "k", "d", 1),
        ({"k": None}, "k", "d", None),
        ({}, "k", "d", "d"),
        ({}, "k", None, None),
        (GetDict(k=1), "k", "d", ("get", "k", "d")),
        (Record(), "present", "d", 1),
        (Record(), "none", "d", None),
        (Record(), "absent", "d", "d"),
        (Record(), "missing_by_property", "d", "d"),
        (None, "k", "d", "d"),
        (5, "real", "d", 5),
        ("text", "k", 0, 0),
    ],
)
def test_field_value(value, key, default, expected):
    assert submit._field_value(value, key, default) == expected


def test_field_value_reads_a_non_str_name_through_the_builtin_getattr():
    with pytest.raises(TypeError, match="attribute name must be string"):
        submit._field_value(object(), 5, "d")
    called_where_builtins_have_no_getattr = {"__builtins__": {}, "field_value": submit._field_value}
    with pytest.raises(NameError, match="name 'getattr' is not defined"):
        exec("field_value(object, 5, 'd')", {**called_where_builtins_have_no_getattr, "object": 1})


def test_field_value_propagates_errors_other_than_missing():
    with pytest.raises(RuntimeError, match="boom"):
        submit._field_value(Record(), "broken", "d")
    with pytest.raises(TypeError):
        submit._field_value({}, [], "d")  # an unhashable key, as dict.get refuses it
    with pytest.raises(TypeError) as caught:
        submit._field_value(Record(), 3, "d")
    with pytest.raises(TypeError) as expected:
        getattr(Record(), 3, "d")
    assert str(caught.value) == str(expected.value)


@pytest.mark.parametrize(
    "mapping, key, expected",
    [
        ({"3": "text"}, 3, "text"),
        ({3: "int", "3": "text"}, 3, "int"),
        ({"a": None}, "a", None),
        ({}, "a", None),
        ([("3", 1)], "3", None),
        (None, "a", None),
        (types.SimpleNamespace(a=1), "a", None),
    ],
)
def test_mapping_lookup(mapping, key, expected):
    assert submit._mapping_lookup(mapping, key) == expected


@pytest.mark.parametrize(
    "value, expected",
    [
        ("12", 12),
        (" 12 ", 12),
        ("1.5", None),
        (2.9, 2),
        (-2.9, -2),
        (float("inf"), None),
        (float("nan"), None),
        (False, None),
        (True, None),
        (None, None),
        ("x", None),
        ([1], None),
        (7, 7),
        (10**30, 10**30),
    ],
)
def test_coerce_optional_int(value, expected):
    assert submit._coerce_optional_int(value) == expected


FLAT = [era("a", era_number=1), era("b", era_number=2, state="active"), era("c", era_number=3)]


@pytest.mark.parametrize(
    "catalog, kwargs, expected",
    [
        ({"eras": FLAT}, {}, "b"),
        ({"eras": FLAT}, {"era_number": 3}, "c"),
        ({"eras": FLAT}, {"era_number": "3"}, "c"),
        ({"eras": FLAT}, {"era_number": 3.0}, "c"),
        ({"eras": FLAT}, {"era_number": 99}, "b"),
        ({"eras": FLAT + [era("nameless")]}, {"era_number": "abc"}, "nameless"),
        ({"eras": [era("x", era_number="z")] + FLAT}, {"era_number": True}, "x"),
        ({"eras": FLAT, "active_era_number": 1}, {}, "a"),
        (
            {"eras": [era("zero", era_number=0), era("one", era_number=1, state="open")], "active_era_number": 0},
            {},
            "zero",
        ),
        ({"eras": FLAT, "active_era_number": None, "active_market_era": {"era_number": 3}}, {}, "c"),
        ({"eras": FLAT, "active_market_era": {}, "current_market_era": {"era_number": "1"}}, {}, "a"),
        ({"eras": FLAT, "active_market_era": [1], "current_market_era": {"era_number": 1}}, {}, "b"),
        ({"eras": [era("id", id=5), era("five", era_number=5)], "active_era_number": 5}, {}, "id"),
        ({"eras": [era("none", era_number=None, id=5), era("five", era_number=5)], "active_era_number": 5}, {}, "five"),
        ({"eras": [era("a", state=" active"), era("b", state="CuRrEnT")]}, {}, "b"),
        ({"eras": [era("a", state=None), era("b", state="Open")]}, {}, "b"),
        ({"eras": [era("a", state="closed"), era("b")]}, {}, "a"),
        ({"eras": FLAT, "active_era_number": 42}, {}, "b"),
        ({"eras_by_market": {"7": [era("m7")]}, "eras": FLAT}, {"market_id": 7}, "m7"),
        ({"eras_by_market": {"7": [era("m7")]}}, {"market_id": "7"}, "m7"),
        ({"eras_by_market": {7: [era("int7")]}}, {"market_id": "7"}, "int7"),
        ({"eras_by_market": {"7": [], 7: [era("int7")]}}, {"market_id": 7}, "int7"),
        ({"eras_by_market": {"7": [era("m7")]}, "eras": FLAT}, {"market_id": 8}, None),
        ({"eras_by_market": {}, "market_era_groups": {"1": [era("g")]}}, {}, "g"),
        ({"eras_by_market": {"1": [], "2": "x"}, "eras": FLAT}, {}, "b"),
        ({"eras_by_market": {"1": [era("m1a"), era("m1b")], "2": [era("m2", state="open")]}}, {}, "m2"),
        ({"eras_by_market": {"2": [era("m2a")], "1": [era("m1", state="open")]}}, {}, "m1"),
        ({"eras_by_market": {"2": [era("m2a")], "1": [era("m1")]}}, {}, "m2a"),
        ({"eras_by_market": [era("l")], "eras": FLAT}, {}, "b"),
        ({"eras": []}, {}, None),
        ({"eras": {"a": 1}}, {}, None),
        ({}, {}, None),
    ],
)
def test_active_era_preference(catalog, kwargs, expected):
    assert chosen(catalog, **kwargs) == expected


def test_chosen_era_is_the_catalog_record_and_objects_are_read_too():
    first, active = types.SimpleNamespace(era_number=1), types.SimpleNamespace(era_number=2, state="ACTIVE")
    catalog = {"eras": [first, active]}
    assert submit._active_era_from_catalog(catalog) is active
    assert submit._active_era_from_catalog(catalog, era_number=1) is first
    assert submit._required_active_submit_era(catalog, era_number="1") is first


def test_a_state_whose_text_refuses_lower_propagates():
    class Shouting(str):
        def lower(self):
            raise RuntimeError("no lower case here")

    class State:
        def __str__(self):
            return Shouting("ACTIVE")

    with pytest.raises(RuntimeError, match="no lower case here"):
        submit._active_era_from_catalog({"eras": [era("a", state=State())]})


@pytest.mark.parametrize("catalog", [[{"era_number": 1}], None, "eras", {"eras": []}])
def test_no_era_to_choose(catalog):
    assert submit._active_era_from_catalog(catalog) is None
    with pytest.raises(ValueError) as caught:
        submit._required_active_submit_era(catalog)
    assert str(caught.value) == NO_ERA


def test_market_id_that_int_refuses_propagates():
    with pytest.raises(ValueError, match="invalid literal for int"):
        submit._active_era_from_catalog({"eras_by_market": {"1": [era("a")]}}, market_id="one")


def test_era_fields_are_read_in_order_through_the_module(monkeypatch):
    reads = []
    real_field_value = submit._field_value

    def field_value(*args):
        reads.append(args)
        return real_field_value(*args)

    monkeypatch.setattr(submit, "_field_value", field_value)
    assert chosen({"eras": FLAT, "active_era_number": 2}, era_number=9) == "b"
    assert reads[:3] == [(FLAT[0], "era_number"), (FLAT[1], "era_number"), (FLAT[2], "era_number")]
    assert reads[3:5] == [(FLAT[0], "id"), (FLAT[0], "era_number", None)]


@pytest.mark.parametrize(
    "era_record, field, message",
    [
        ({"n": 1}, "n", None),
        ({"n": 10**20}, "n", None),
        ({"n": 0}, "n", "n"),
        ({"n": -1}, "n", "n"),
        ({"n": True}, "n", "n"),
        ({"n": 2.5}, "n", "n"),
        ({"n": "2"}, "n", "n"),
        ({"n": 5.0}, "n", "n"),
        ({}, "max_depth", "max_depth"),
        (types.SimpleNamespace(market_id=3), "market_id", None),
    ],
)
def test_required_positive_era_int(era_record, field, message):
    if message is None:
        assert submit._required_positive_era_int(era_record, field) == submit._field_value(era_record, field)
    else:
        with pytest.raises(ValueError) as caught:
            submit._required_positive_era_int(era_record, field)
        assert str(caught.value) == f"era config field {message} must be a positive integer"


class Text(str):
    pass


@pytest.mark.parametrize(
    "frequency, ok",
    [
        (" 1d ", True),
        ("1h", True),
        (Text("daily"), True),
        ("", False),
        ("  \t\u3000", False),
        (None, False),
        (5, False),
        (Text(" "), False),
    ],
)
def test_required_era_frequency(frequency, ok):
    if ok:
        assert submit._required_era_frequency({"frequency": frequency}) is frequency
    else:
        with pytest.raises(ValueError) as caught:
            submit._required_era_frequency({"frequency": frequency})
        assert str(caught.value) == "era config field frequency must be a non-empty string"


def test_simulation_data_contract_projection():
    projection = {"fields": ["close"], "lag": 1}
    copied = submit._simulation_data_contract_projection_from_era({"simulation_data_contract_projection": projection})
    assert copied == projection and copied is not projection and type(copied) is dict
    assert submit._simulation_data_contract_projection_from_era({}) is None
    assert submit._simulation_data_contract_projection_from_era({"simulation_data_contract_projection": None}) is None
    with pytest.raises(ValueError) as caught:
        submit._simulation_data_contract_projection_from_era({"simulation_data_contract_projection": [1]})
    assert str(caught.value) == "era config field simulation_data_contract_projection must be a dict"
