"""``SignalClient``: the native ``SignalServiceClient`` with the conveniences of a Python
object that owns a connection.

``SignalServiceClient`` keeps exactly the surface the service's clients were written
against, which has no context-manager methods; this subclass adds them, and a repr that
names the base URL (never the token)::

    with SignalClient("https://signals.example.com", token) as client:
        result = client.submit_signal(...)
"""

from __future__ import annotations

from typing import Any

from quillmarsh.submit import SignalServiceClient

__all__ = ["SignalClient"]


class SignalClient(SignalServiceClient):
    """A ``SignalServiceClient`` usable in a ``with`` block, which closes its transport."""

    def __enter__(self) -> SignalClient:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self._base_url!r})"
