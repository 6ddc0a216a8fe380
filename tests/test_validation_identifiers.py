import sys

import pytest

import quillmarsh
import quillmarsh.agent_onboarding as onboarding
from quillmarsh import submit

REQUIRED = "named_universe is required"
UNSAFE = "named_universe must be a single safe path segment, got "


class Text(str):
    pass


@pytest.mark.parametrize(
    "args, message",
    [
        (("",), "signal_pool_id must be a non-empty string"),
        ((None,), "signal_pool_id must be a non-empty string"),
        ((5,), "signal_pool_id must be a non-empty string"),
        (([],), "signal_pool_id must be a non-empty string"),
        ((b"pool",), "signal_pool_id must be a non-empty string"),
        ((Text(""),), "signal_pool_id must be a non-empty string"),
        ((None, "strategy_pool_name"), "strategy_pool_name must be a non-empty string"),
        (("", 7), "7 must be a non-empty string"),
    ],
)
def test_pool_id_refusals(args, message):
    with pytest.raises(ValueError) as caught:
        submit._validate_selected_pool_id(*args)
    assert str(caught.value) == message


@pytest.mark.parametrize("value", [" ", "pool", Text("p"), "\x00"])
def test_pool_id_accepts_any_non_empty_str(value):
    assert submit._validate_selected_pool_id(value, field_name="strategy_pool_name") is None


class Config:
    def __init__(self, value=None, error=None):
        self.value, self.error, self.keys = value, error, []

    def get(self, key):
        self.keys.append(key)
        if self.error is not None:
            raise self.error
        return self.value


class Unprintable:
    def __str__(self):
        raise TypeError("no text")


@pytest.fixture
def config(monkeypatch):
    def install(value):
        monkeypatch.setattr(onboarding, "_config", value)
        return value

    return install


@pytest.mark.parametrize(
    "value, expected",
    [
        (" us_top ", "us_top"),
        (42, "42"),
        ("a.b", "a.b"),
        ("..a", "..a"),
        ("...", "..."),
        ("\tu\n", "u"),
        (Text(" t "), "t"),
        ("\u00e9t\u00e9", "\u00e9t\u00e9"),
    ],
)
def test_named_universe_given(config, value, expected):
    defaults = config(Config("ignored"))
    out = submit._validate_named_universe(value)
    assert type(out) is str and out == expected and defaults.keys == []


@pytest.mark.parametrize("value", [None, "", "  \t"])
def test_named_universe_falls_back_to_the_configured_default(config, value):
    defaults = config(Config(" from_config\n"))
    assert submit._validate_named_universe(value) == "from_config" and defaults.keys == ["named_universe"]
    defaults.value = 7
    assert submit._validate_named_universe(value) == "7"


@pytest.mark.parametrize(
    "configured",
    [
        {},
        {"named_universe": ""},
        {"named_universe": "   "},
        {"named_universe": None},
        {"named_universe": 0},
        Config(error=ValueError("unreadable")),
        Config(error=LookupError()),
        Config(Unprintable()),
        object(),
        None,
    ],
)
def test_no_usable_default_means_required(config, configured):
    config(configured)
    with pytest.raises(ValueError) as caught:
        submit._validate_named_universe(None)
    assert str(caught.value) == REQUIRED and caught.value.__context__ is None


def test_missing_onboarding_module_means_required(monkeypatch):
    monkeypatch.setitem(sys.modules, "quillmarsh.agent_onboarding", None)
    with pytest.raises(ValueError, match=f"^{REQUIRED}$"):
        submit._validate_named_universe(" ")
    monkeypatch.delattr(onboarding, "_config")
    monkeypatch.setitem(sys.modules, "quillmarsh.agent_onboarding", onboarding)
    with pytest.raises(ValueError, match=f"^{REQUIRED}$"):
        submit._validate_named_universe(None)


def test_onboarding_module_is_imported_when_not_loaded(monkeypatch):
    monkeypatch.setattr(quillmarsh, "agent_onboarding", onboarding)
    monkeypatch.delitem(sys.modules, "quillmarsh.agent_onboarding")
    monkeypatch.setenv("QUILLMARSH_NAMED_UNIVERSE", "fresh")
    assert submit._validate_named_universe(None) == "fresh"
    assert sys.modules["quillmarsh.agent_onboarding"] is not onboarding


def test_interrupt_while_reading_the_default_passes_through(config):
    config(Config(error=KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        submit._validate_named_universe(None)


def test_real_onboarding_configuration_from_the_environment(monkeypatch, tmp_path):
    monkeypatch.setenv("QUILLMARSH_AGENT_CONFIG", str(tmp_path / "absent.json"))
    monkeypatch.setenv("QUILLMARSH_NAMED_UNIVERSE", "  env_universe ")
    assert submit._validate_named_universe(None) == "env_universe"
    monkeypatch.delenv("QUILLMARSH_NAMED_UNIVERSE")
    with pytest.raises(ValueError, match=f"^{REQUIRED}$"):
        submit._validate_named_universe(None)


@pytest.mark.parametrize(
    "value, configured, shown",
    [
        (".", None, "'.'"),
        ("..", None, "'..'"),
        (" .. ", None, "' .. '"),
        ("a/b", None, "'a/b'"),
        ("/", None, "'/'"),
        ("a\\b", None, "'a\\\\b'"),
        ("ab\\", None, "'ab\\\\'"),
        ("a\x00b", None, "'a\\x00b'"),
        (None, "a/b", "None"),
        ("  ", "..", "'  '"),
        (None, "x\\y", "None"),
        (Text("u/v"), None, "'u/v'"),
    ],
)
def test_unsafe_segment_shows_the_argument(config, value, configured, shown):
    config({"named_universe": configured})
    with pytest.raises(ValueError) as caught:
        submit._validate_named_universe(value)
    assert str(caught.value) == UNSAFE + shown


@pytest.mark.parametrize(
    "body, message",
    [
        ({"valid_universe_id": 1, "universe_id": 2}, "universe_id is retired; submit named_universe"),
        ({"valid_universe_rule_id": None}, "valid_universe_rule_id is retired; submit named_universe"),
        ({"valid_universe_rule_id": 1, "valid_universe_id": 0}, "valid_universe_id is retired; submit named_universe"),
        (type("Body", (dict,), {})(universe_id=""), "universe_id is retired; submit named_universe"),
    ],
)
def test_retired_universe_aliases_refused(body, message):
    with pytest.raises(ValueError) as caught:
        submit._reject_retired_universe_aliases(body)
    assert str(caught.value) == message


@pytest.mark.parametrize("body", [[("universe_id", 1)], None, "universe_id", {"named_universe": "x"}, {}])
def test_bodies_without_retired_aliases_pass(body):
    assert submit._reject_retired_universe_aliases(body) is None


def test_the_retired_alias_keys():
    assert submit._RETIRED_UNIVERSE_ALIAS_KEYS == ("universe_id", "valid_universe_id", "valid_universe_rule_id")


def test_named_universe_text_is_stripped_by_its_own_strip():
    class Padded(str):
        def strip(self):
            return "us_top1000"

    class Universe:
        def __str__(self):
            return Padded("  us_top500  ")

    assert submit._validate_named_universe(Universe()) == "us_top1000"


class Dots(str):  # not exactly a str: asked through its own operators
    pass


class Unequal(str):
    def __eq__(self, other):
        raise LookupError("compared")

    __hash__ = str.__hash__


@pytest.mark.parametrize(
    "stripped, raised", [(Dots(".."), ValueError), (Dots("."), ValueError), (Unequal("us"), LookupError)]
)
def test_a_stripped_text_of_its_own_type_is_compared_by_its_own_operators(stripped, raised):
    class Padded(str):
        def strip(self):
            return stripped

    class Universe:
        def __str__(self):
            return Padded(" x ")

    with pytest.raises(raised):
        submit._validate_named_universe(Universe())
