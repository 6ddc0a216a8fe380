import pytest

from quillmarsh.agent_onboarding import _config

pytestmark = pytest.mark.python_layers


@pytest.fixture
def config_file(tmp_path, monkeypatch):
    monkeypatch.delenv("QUILLMARSH_NAMED_UNIVERSE", raising=False)
    monkeypatch.setenv("HOME", str(tmp_path))
    path = tmp_path / "agent.json"
    monkeypatch.setenv("QUILLMARSH_AGENT_CONFIG", str(path))
    return path


@pytest.mark.parametrize(
    "content, env, expected",
    [
        (None, None, None),
        ('{"named_universe": "file_u"}', None, "file_u"),
        ('{"named_universe": "file_u"}', "env_u", "env_u"),
        ('{"named_universe": "file_u"}', "  ", "file_u"),
    ],
)
def test_named_universe_sources(config_file, monkeypatch, content, env, expected):
    if content is not None:
        config_file.write_text(content)
    if env is not None:
        monkeypatch.setenv("QUILLMARSH_NAMED_UNIVERSE", env)
    assert _config.get("named_universe") == expected


def test_values_are_reread_on_each_lookup_and_default_path_is_used(config_file, monkeypatch, tmp_path):
    monkeypatch.delenv("QUILLMARSH_AGENT_CONFIG")
    default = tmp_path / ".config" / "quillmarsh" / "agent.json"
    default.parent.mkdir(parents=True)
    default.write_text('{"named_universe": "one", "other": 1}')
    assert _config.get("named_universe") == "one" and _config.get("missing", "dflt") == "dflt"
    default.write_text('{"named_universe": "two"}')
    assert _config.get("named_universe") == "two"


@pytest.mark.parametrize("content, fragment", [("{not json", "unreadable"), ('["list"]', "must hold a JSON object")])
def test_malformed_file_raises(config_file, content, fragment):
    config_file.write_text(content)
    with pytest.raises(ValueError, match=fragment):
        _config.get("named_universe")
