"""Onboarding defaults of an agent using quillmarsh.

``_config`` is a read-only mapping whose values are read afresh at every
access, from two sources:

1. the environment: ``QUILLMARSH_NAMED_UNIVERSE`` supplies
   ``named_universe`` and wins over the file (a blank value counts as
   unset);
2. a JSON file holding one object: the path in ``QUILLMARSH_AGENT_CONFIG``
   when that is set and not blank (``~`` is expanded), otherwise
   ``~/.config/quillmarsh/agent.json``.

A missing file supplies nothing. A file that cannot be read, is not valid
JSON, or does not hold a JSON object makes every lookup raise
``ValueError`` naming the file.
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import Any

__all__ = ["AgentOnboardingConfig"]

_ENV_CONFIG_PATH = "QUILLMARSH_AGENT_CONFIG"
_ENV_OVERRIDES = {"named_universe": "QUILLMARSH_NAMED_UNIVERSE"}


def _config_path() -> Path | None:
    explicit = os.environ.get(_ENV_CONFIG_PATH, "").strip()
    if explicit:
        return Path(explicit).expanduser()
    try:
        return Path.home() / ".config" / "quillmarsh" / "agent.json"
    except RuntimeError:  # no resolvable home directory
        return None


def _read_file() -> dict[str, Any]:
    path = _config_path()
    if path is None or not path.exists():
        return {}
    try:
        data = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError) as exc:
        raise ValueError(f"agent config {str(path)!r} is unreadable: {exc}") from exc
    if not isinstance(data, dict):
        raise ValueError(f"agent config {str(path)!r} must hold a JSON object")
    return data


class AgentOnboardingConfig(Mapping[str, Any]):
    """Read-only view of the onboarding settings, re-read on every access."""

    def _current(self) -> dict[str, Any]:
        values = _read_file()
        for key, variable in _ENV_OVERRIDES.items():
            value = os.environ.get(variable, "")
            if value.strip():
                values[key] = value
        return values

    def __getitem__(self, key: str) -> Any:
        return self._current()[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._current())

    def __len__(self) -> int:
        return len(self._current())

    def __repr__(self) -> str:
        return f"<{type(self).__name__} path={str(_config_path())!r}>"


_config = AgentOnboardingConfig()
