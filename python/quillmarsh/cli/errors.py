"""Exit statuses and the two ways a command ends early."""

from __future__ import annotations

from typing import Any

EXIT_OK = 0  # everything was accepted / answered
EXIT_FAILED = 1  # refused, rejected, unreadable, unreachable, or not everything accepted
EXIT_USAGE = 2  # the command cannot run as given: options, input files, settings
EXIT_INTERRUPTED = 130  # Ctrl-C, as shells report SIGINT


class UsageError(Exception):
    """The command cannot run as given (exit status 2); the message is the one line shown."""


class Reported(Exception):
    """A failure already reported on stdout/stderr; carries the exit status."""

    def __init__(self, status: int):
        super().__init__(status)
        self.status = status


def one_line(value: Any) -> str:
    """A value's text on one line (a service's message may hold line breaks)."""
    return " ".join(str(value).split()) or type(value).__name__
