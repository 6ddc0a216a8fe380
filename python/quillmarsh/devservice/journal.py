"""What the service did with each request: a bounded log, counts by outcome, and the
``--verbose`` lines.

Each entry is (method, target, status), the target cut to ``TARGET_SHOWN`` characters and
the method to ``METHOD_SHOWN``; the log keeps the last ``ENTRIES`` of them. So the log
stays under a few megabytes whatever clients send, and whether or not they have the token.

Besides the answers, the log holds the requests that got none a client could read:

* a connection past the cap, answered 503 before any request was read: ("", "", 503);
* a request whose head or body did not arrive before its deadline: 408 (its method and
  target when the head had arrived, else empty);
* a request the client abandoned (closed the connection before its answer could be
  written): status ``DROPPED`` (499, as proxies log it).

``counts`` adds them up by outcome since the start: ``answered`` (by status),
``refused_connections``, ``timed_out``, ``dropped``; ``connections`` and
``peak_connections`` are the connections open now and at most.
"""

from __future__ import annotations

import collections
import sys
from typing import NamedTuple, TextIO

__all__ = ["DROPPED", "ENTRIES", "Journal", "Logged"]

ENTRIES = 50_000
TARGET_SHOWN = 120
METHOD_SHOWN = 16
DROPPED = 499


class Logged(NamedTuple):
    method: str
    target: str
    status: int


def _cut(text: str, limit: int) -> str:
    return text if len(text) <= limit else text[:limit] + "..."


class Journal:
    """The request log. ``record`` is called from the event loop's thread only; readers on
    other threads take copies (a deque's copy is atomic under the GIL)."""

    def __init__(self, verbose: bool = False, stream: TextIO | None = None):
        self.verbose = verbose
        self._stream = stream
        self.entries: collections.deque[Logged] = collections.deque(maxlen=ENTRIES)
        self.answered: collections.Counter[int] = collections.Counter()
        self.refused_connections = 0
        self.timed_out = 0
        self.dropped = 0
        self.connections = 0
        self.peak_connections = 0

    def say(self, line: str) -> None:
        """One line on standard error under ``--verbose``."""
        if self.verbose:
            stream = self._stream or sys.stderr
            stream.write(line + "\n")
            stream.flush()

    def record(self, peer: str, method: str, target: str, status: int, note: str = "") -> None:
        entry = Logged(_cut(method, METHOD_SHOWN), _cut(target, TARGET_SHOWN), status)
        self.entries.append(entry)
        if status == DROPPED:
            self.dropped += 1
        else:
            self.answered[status] += 1
            if status == 408:
                self.timed_out += 1
        if self.verbose:
            request = f"{entry.method} {entry.target}" if entry.method else "-"
            self.say(f"{peer} {request} {status}" + (f" ({note})" if note else ""))

    def refused(self, peer: str, note: str) -> None:
        """A connection answered 503 before any request was read."""
        self.refused_connections += 1
        self.record(peer, "", "", 503, note)

    def opened(self) -> None:
        self.connections += 1
        self.peak_connections = max(self.peak_connections, self.connections)

    def closed(self) -> None:
        self.connections -= 1

    def counts(self) -> dict[str, object]:
        return {
            "answered": dict(sorted(self.answered.items())),
            "refused_connections": self.refused_connections,
            "timed_out": self.timed_out,
            "dropped": self.dropped,
            "connections": self.connections,
            "peak_connections": self.peak_connections,
        }
