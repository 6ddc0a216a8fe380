"""Structured logging of library surface events.

One event is one log record on the logger ``quillmarsh.<sub_service>``
(for example ``quillmarsh.submit``), with the message
``"<surface> <outcome> sub_service=<sub_service> component=<component>"``
followed by each metadata entry as `` key=value`` (a text with blanks, ``=``
or quotes shown as its repr), so that any handler shows the event's facts
(``Request retry sub_service=transports component=RetryingTransport
method=POST path=/signals/submit attempt=2 reason='HTTP 503' wait_seconds=0.4``),
and the structured fields under the
record attribute ``quillmarsh_event``: a dict with ``surface``, ``outcome``,
``sub_service``, ``component``, ``metadata`` (a shallow copy, ``{}`` when
none), ``source_function``, ``source_file``, ``source_line`` and ``level``
(the level's name).

Level: WARNING when ``outcome`` is ``"error"``, INFO otherwise, unless
``level`` is given as a logging level number or name (``"DEBUG"``, ...).

Metadata is carried as given: values need not be JSON-serialisable. A
metadata object that cannot be copied as a mapping is kept under
``{"value": <its repr>}``; odd metadata never makes the call raise. An
unknown level name raises ``ValueError``.
"""

from __future__ import annotations

import logging
from collections.abc import Mapping
from typing import Any

__all__ = ["log_library_surface_event"]


def _safe_repr(value: Any) -> str:
    try:
        return repr(value)
    except Exception:
        return f"<unrepresentable {type(value).__name__}>"


def _metadata_copy(metadata: Any) -> dict[Any, Any]:
    if metadata is None:
        return {}
    if isinstance(metadata, Mapping):
        try:
            return dict(metadata)
        except Exception:
            pass
    return {"value": _safe_repr(metadata)}


def _shown(value: Any) -> str:
    if isinstance(value, str):
        return value if value and not any(c.isspace() or c in "='\"" for c in value) else _safe_repr(value)
    try:
        return format(value)
    except Exception:
        return _safe_repr(value)


def _facts(metadata: dict[Any, Any]) -> str:
    return "".join(f" {key}={_shown(value)}" for key, value in metadata.items())


def _resolve_level(outcome: Any, level: Any) -> int:
    if level is None:
        return logging.WARNING if outcome == "error" else logging.INFO
    if isinstance(level, int) and not isinstance(level, bool):
        return level
    if isinstance(level, str):
        number = logging.getLevelNamesMapping().get(level.strip().upper())
        if number is not None:
            return number
    raise ValueError(f"level must be a logging level number or name, got {level!r}")


def log_library_surface_event(
    surface: Any,
    outcome: Any,
    *,
    sub_service: Any,
    component: Any,
    metadata: Any = None,
    source_function: Any = None,
    source_file: Any = None,
    source_line: Any = None,
    level: Any = None,
) -> None:
    """Emit one structured record for a library surface event."""
    number = _resolve_level(outcome, level)
    logger = logging.getLogger(f"quillmarsh.{sub_service}")
    if not logger.isEnabledFor(number):
        return None
    facts = _metadata_copy(metadata)
    event = {
        "surface": surface,
        "outcome": outcome,
        "sub_service": sub_service,
        "component": component,
        "metadata": facts,
        "source_function": source_function,
        "source_file": source_file,
        "source_line": source_line,
        "level": logging.getLevelName(number),
    }
    logger.log(
        number,
        "%s %s sub_service=%s component=%s%s",
        surface,
        outcome,
        sub_service,
        component,
        _facts(facts),
        extra={"quillmarsh_event": event},
    )
    return None
