"""Where the command line finds the service and its token: options, profiles, environment."""

import argparse

import pytest

from quillmarsh.cli import settings
from quillmarsh.cli.errors import UsageError

CONFIG = """
[profiles.default]
base_url = "http://default.example"
token_file = "{tmp}/default-token"

[profiles.research]
base_url = "https://research.example"
token_file = "{tmp}/research-token"
retries = 7
"""


@pytest.fixture
def config(tmp_path, monkeypatch):
    (tmp_path / "config.toml").write_text(CONFIG.format(tmp=tmp_path))
    (tmp_path / "default-token").write_text("default-token\n")
    (tmp_path / "research-token").write_text("  research-token \n")
    (tmp_path / "option-token").write_text("option-token\n")
    monkeypatch.setenv("QUILLMARSH_CONFIG", str(tmp_path / "config.toml"))
    for name in ("QUILLMARSH_BASE_URL", "QUILLMARSH_TOKEN", "QUILLMARSH_PROFILE"):
        monkeypatch.delenv(name, raising=False)
    return tmp_path


@pytest.mark.parametrize("options, environment, expected", [
    ({}, {}, ("http://default.example", "default-token", 4)),
    ({}, {"QUILLMARSH_BASE_URL": "http://env.example", "QUILLMARSH_TOKEN": "env-token"},
     ("http://env.example", "env-token", 4)),
    ({"profile": "research"}, {"QUILLMARSH_BASE_URL": "http://env.example", "QUILLMARSH_TOKEN": "env-token"},
     ("https://research.example", "research-token", 7)),
    ({}, {"QUILLMARSH_PROFILE": "research"}, ("https://research.example", "research-token", 7)),
    ({"profile": "research", "base_url": "http://opt.example", "token_file": "{tmp}/option-token", "retries": 0},
     {}, ("http://opt.example", "option-token", 0)),
    ({"token": " spaced \n", "token_file": "{tmp}/option-token"}, {}, ("http://default.example", "spaced", 4)),
])
def test_precedence(config, monkeypatch, options, environment, expected):
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    args = argparse.Namespace(**{k: v.format(tmp=config) if isinstance(v, str) else v for k, v in options.items()})
    conn = settings.connection(args)
    assert (conn.base_url, conn.token, conn.retries) == expected


@pytest.mark.parametrize("text, message", [
    ("[profiles.default]\nbase_url = 'http://x'\ntoken = 'inline'\n", "unknown settings ['token']"),
    ("[profiles\n", "invalid TOML"),
    ('[profiles.default]\nbase_url = "http://x"\ntoken_file = "/no/such/token"\n',
     "cannot read the token file /no/such/token"),
])
def test_config_mistakes_are_one_clear_line(config, text, message):
    (config / "config.toml").write_text(text)
    with pytest.raises(UsageError, match=message.replace("[", r"\[").replace("]", r"\]")):
        settings.connection(argparse.Namespace())


def test_a_named_profile_must_exist(config):
    with pytest.raises(UsageError, match=r"no profile 'prod' in .* \(profiles: default, research\)"):
        settings.connection(argparse.Namespace(profile="prod"))
