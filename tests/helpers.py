"""Small helpers the tests share (fixtures live in conftest.py)."""

from __future__ import annotations

from typing import Any, Callable


def host_message(action: Callable[[], Any]) -> str:
    """The text of the exception the interpreter raises for `action`: texts the host produces
    change from version to version, so a test asks the running host instead of spelling them."""
    try:
        action()
    except Exception as exc:  # noqa: BLE001 -- any exception's text is what is asked for
        return str(exc)
    raise AssertionError(f"{action} raised nothing")
