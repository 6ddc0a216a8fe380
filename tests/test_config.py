"""Where a client finds the service: arguments, profiles and the environment, for the SDK faces
and the command line alike; every value checked, no value (a token) ever shown."""

import os
import threading

import pytest

from quillmarsh import config
from quillmarsh.config import ConfigError, resolve_settings

pytestmark = pytest.mark.python_layers

CONFIG = """
[profiles.default]
base_url = "http://default.example"
token_file = "{tmp}/default-token"

[profiles.research]
base_url = "https://research.example"
token_file = "{tmp}/research-token"
retries = 7
request_timeout = 60
"""


@pytest.fixture
def config_dir(tmp_path, monkeypatch):
    (tmp_path / "config.toml").write_text(CONFIG.format(tmp=tmp_path))
    (tmp_path / "default-token").write_text("default-token\n")
    (tmp_path / "research-token").write_text("  research-token \n")
    (tmp_path / "option-token").write_text("option-token\n")
    monkeypatch.setenv("QUILLMARSH_CONFIG", str(tmp_path / "config.toml"))
    for name in ("QUILLMARSH_BASE_URL", "QUILLMARSH_TOKEN", "QUILLMARSH_PROFILE"):
        monkeypatch.delenv(name, raising=False)
    return tmp_path


ENV = {"QUILLMARSH_BASE_URL": "http://env.example", "QUILLMARSH_TOKEN": "env-token"}


@pytest.mark.parametrize(
    "given, environment, expected",
    [
        ({}, {}, ("http://default.example", "default-token", 4, 30.0)),
        ({}, ENV, ("http://env.example", "env-token", 4, 30.0)),
        ({"profile": "research"}, ENV, ("https://research.example", "research-token", 7, 60.0)),
        ({}, {"QUILLMARSH_PROFILE": "research"}, ("https://research.example", "research-token", 7, 60.0)),
        (
            {
                "profile": "research",
                "base_url": "http://opt.example",
                "token_file": "{tmp}/option-token",
                "max_retries": 0,
                "timeout": 5,
            },
            {},
            ("http://opt.example", "option-token", 0, 5),
        ),
        (
            {"token": " spaced \n", "token_file": "{tmp}/option-token"},
            {},
            ("http://default.example", "spaced", 4, 30.0),
        ),
    ],
)
def test_precedence(config_dir, monkeypatch, given, environment, expected):
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    found = resolve_settings(**{k: v.format(tmp=config_dir) if isinstance(v, str) else v for k, v in given.items()})
    assert (found.base_url, found.token, found.max_retries, found.timeout) == expected
    assert found.token not in repr(found)


def test_a_url_and_token_given_never_read_the_config_file(config_dir):
    (config_dir / "config.toml").write_text("[profiles\n")  # broken: reading it would fail
    assert resolve_settings("http://x.example", "tok").base_url == "http://x.example"


SECRET = "bare-secret-value-0123456789"


@pytest.mark.parametrize(
    "profile, message",
    [
        ("base_url = 'http://x'\ntoken = 'inline'", "unknown settings ['token']"),
        ("base_url = 'http://x'\ntoken_file = '/no/such/token'", "cannot read the token file /no/such/token"),
        ("base_url = 'http://x'\ntoken_file = 5", "'default': token_file must be a string (got an integer)"),
        ("base_url = 'http://x'\nrequest_timeout = '30s'", "'default': request_timeout must be a number of seconds"),
        ("base_url = 'http://x'\nrequest_timeout = 0", "'default': request_timeout must be a finite number"),
        ("base_url = 'http://x'\nrequest_timeout = inf", "'default': request_timeout must be a finite number"),
        ("base_url = 'http://x'\nretries = -3", "'default': retries must be a whole number, 0 or more"),
        ("base_url = 'http://x'\nretries = 1.5", "'default': retries must be a whole number, 0 or more (got a number)"),
        ("base_url = 'http://x'\nretries = 'many'", "'default': retries must be a whole number"),
    ],
)
def test_profile_values_are_checked_naming_the_file_and_key(config_dir, profile, message):
    (config_dir / "config.toml").write_text(f"[profiles.default]\n{profile}\n")
    with pytest.raises(ConfigError) as raised:
        resolve_settings()
    assert message in str(raised.value) and str(config_dir / "config.toml") in str(raised.value)


@pytest.mark.parametrize(
    "text, message",
    [
        (
            f'[profiles]\ndefault = "{SECRET}"\n',
            "profile 'default' must be a table such as [profiles.default] (got a string)",
        ),
        (f'profiles = "{SECRET}"\n', "[profiles] must be a table of profiles (got a string)"),
        ("[profiles\n", "invalid TOML"),
    ],
)
def test_config_file_mistakes_are_one_line_without_the_value(config_dir, text, message):
    (config_dir / "config.toml").write_text(text)
    with pytest.raises(ConfigError) as raised:
        resolve_settings()
    assert message in str(raised.value) and SECRET not in str(raised.value)


def test_a_named_profile_must_exist(config_dir):
    with pytest.raises(ConfigError, match=r"no profile 'prod' in .* \(profiles: default, research\)"):
        resolve_settings(profile="prod")


@pytest.mark.parametrize(
    "given, error, message",
    [
        ({"base_url": "http://x", "token": 123}, TypeError, "the token must be a str, not int"),
        ({"base_url": "http://x", "token": "  "}, ConfigError, "no token"),
        ({"token": "t"}, ConfigError, "no service URL"),
        ({"base_url": "http://x", "token": "t", "max_retries": -1}, ConfigError, "max_retries must be a whole number"),
        (
            {"base_url": "http://x", "token": "t", "max_retries": True},
            ConfigError,
            "max_retries must be a whole number",
        ),
    ],
)
def test_arguments_are_checked(monkeypatch, tmp_path, given, error, message):
    monkeypatch.setenv("QUILLMARSH_CONFIG", str(tmp_path / "none.toml"))
    for name in ("QUILLMARSH_BASE_URL", "QUILLMARSH_TOKEN", "QUILLMARSH_PROFILE"):
        monkeypatch.delenv(name, raising=False)
    with pytest.raises(error, match=message):
        resolve_settings(**given)


@pytest.mark.parametrize("value, seconds", [(30, 30.0), ("2.5", 2.5), (0.1, 0.1)])
def test_seconds_takes_numbers_and_their_text(value, seconds):
    assert config.seconds(value) == seconds


@pytest.mark.parametrize("value", [0, -1, float("nan"), float("inf"), 10**400, "30s", True, None, [1]])
def test_seconds_refuses_what_is_not_a_duration(value):
    with pytest.raises(ConfigError, match="timeout must be"):
        config.seconds(value)


# --- token files: only a regular file, only up to a bound, never a hang ------------------------


def test_token_files_that_are_no_token_are_refused_at_once(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    big = tmp_path / "big"
    big.write_bytes(b"x" * (config.MAX_TOKEN_BYTES + 1))
    empty = tmp_path / "empty"
    empty.write_text(" \n")
    latin = tmp_path / "latin"
    latin.write_bytes(b"\xe9t\xe9")
    cases = {
        "/dev/zero": "not a regular file",
        str(fifo): "not a regular file",
        str(big): "more than 64 KiB",
        str(empty): "is empty",
        str(latin): "not UTF-8 text",
        str(tmp_path): "Is a directory",
    }
    outcome = {}
    worker = threading.Thread(target=lambda: outcome.update({p: _refusal(p) for p in cases}), daemon=True)
    worker.start()
    worker.join(10)
    assert not worker.is_alive(), "reading a token file hung"
    assert all(cases[p] in outcome[p] for p in cases), outcome


def _refusal(path):
    try:
        config.read_token_file(path)
    except ConfigError as exc:
        return str(exc)
    return "read"


def test_a_token_on_standard_input_is_read_up_to_the_bound(monkeypatch):
    import io

    monkeypatch.setattr("sys.stdin", io.TextIOWrapper(io.BytesIO(b"y" * (config.MAX_TOKEN_BYTES + 10))))
    with pytest.raises(ConfigError, match="standard input: more than 64 KiB"):
        config.read_token_file("-")
    monkeypatch.setattr("sys.stdin", io.TextIOWrapper(io.BytesIO(b"  tok-1\r\nrest")))
    assert config.read_token_file("-") == "tok-1"
