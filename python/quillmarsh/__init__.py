"""quillmarsh: client-side submission of research signals and strategies.

The SDK a script or an agent calls (each name loaded on first use; importing this package
imports nothing else):

- ``SignalClient`` and ``AsyncSignalClient``: the client, blocking or on an event loop, with
  production defaults: settings from the environment and profiles (``quillmarsh.config``),
  retries of what is safe to repeat, bounded answers, a connection pool the local service
  serves, ``wait_until_terminal``, ``iter_submissions``, ``check_signal`` /
  ``check_signals``, replays told apart from first submissions.
- ``record_backtest_timing(graph, *, row_count, elapsed_seconds, max_row_elapsed_seconds)``:
  what the simulation side records once a graph's backtest has run; a submission of the
  graph needs it (one recording, one submission). ``consume_recorded_backtest_timing(graph)``
  takes one recording back, for a graph that will not be submitted after all.
- ``check_signal`` / ``check_signals`` (``quillmarsh.prescreen``): every local check and the
  exact body and key, offline, against an era catalog given as a dict or a file.
- ``describe(result_or_exception)``: the one-line cause of any outcome.
- ``TERMINAL_STATUSES``, ``FAILING_STATUSES``: where a submission's road ends, and which of
  those ends are failures.
- The exceptions: ``SubmissionRejectedError``, ``SignalClientResponseError`` (from
  ``quillmarsh.submit``), ``ClientClosedError``, ``EraCatalogUnavailable``, ``ListingError``,
  ``ConfigError``.
- ``__version__``: the package's version.

The raw clients keep exactly their own behaviour: ``quillmarsh.submit.SignalServiceClient``
(native) and ``AsyncSignalServiceClient`` (its operations as coroutines).

The package's loggers (``quillmarsh.*``) have a ``NullHandler``: a library records, the
application decides what is shown.
"""

from __future__ import annotations

import logging
from typing import Any

logging.getLogger(__name__).addHandler(logging.NullHandler())

# The package's version, written here alone: the build reads it into the distribution's metadata
# (pyproject.toml), and the command line and the local service show it.
__version__ = "0.1.0"

# Terminal statuses that end a submission's road without it being used.
FAILING_STATUSES = frozenset(
    {
        "signal_is_rejected",
        "signal_os_failed",
        "signal_server_side_error",
        "signal_not_useful",
        "signal_useful_transition_failed",
    }
)

_WHERE = {
    "SignalClient": "quillmarsh.client",
    "AsyncSignalClient": "quillmarsh.async_sdk",
    "AsyncSignalServiceClient": "quillmarsh.async_client",
    "record_backtest_timing": "quillmarsh._backtest_timing",
    "consume_recorded_backtest_timing": "quillmarsh._backtest_timing",
    "check_signal": "quillmarsh.prescreen",
    "check_signals": "quillmarsh.prescreen",
    "CheckedSignal": "quillmarsh.prescreen",
    "ChunkSent": "quillmarsh.progress",
    "ChunkSettled": "quillmarsh.progress",
    "describe": "quillmarsh.causes",
    "ClientClosedError": "quillmarsh.errors",
    "EraCatalogUnavailable": "quillmarsh.errors",
    "ListingError": "quillmarsh.errors",
    "ConfigError": "quillmarsh.config",
    "SubmissionRejectedError": "quillmarsh.submit",
    "SignalClientResponseError": "quillmarsh.submit",
}

__all__ = sorted([*_WHERE, "FAILING_STATUSES", "TERMINAL_STATUSES"])


def __getattr__(name: str) -> Any:
    import importlib

    if name == "TERMINAL_STATUSES":
        return importlib.import_module("quillmarsh.submit")._TERMINAL_STATUSES
    where = _WHERE.get(name)
    if where is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return getattr(importlib.import_module(where), name)


def __dir__() -> list[str]:
    return list(__all__)
