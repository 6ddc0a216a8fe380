"""The exceptions the SDK faces (``SignalClient``, ``AsyncSignalClient``) raise besides those
of ``quillmarsh.submit`` (``SubmissionRejectedError``, ``SignalClientResponseError``) and the
``ValueError`` of a local check. ``quillmarsh.describe`` tells each in one line."""

from __future__ import annotations

from typing import Any

from quillmarsh.config import ConfigError

__all__ = ["ClientClosedError", "ConfigError", "EraCatalogUnavailable", "ListingError"]


class ClientClosedError(RuntimeError):
    """An operation on a client that was closed (``close()``, ``aclose()`` or the end of its
    ``with`` block)."""


class EraCatalogUnavailable(ValueError):
    """The service's era catalog, which every signal is checked against, could not be read;
    ``__cause__`` is the failure of its request (a rejection, an unreadable answer, the network).
    A ``ValueError``, as the raw client raises it, with the same message."""


class ListingError(RuntimeError):
    """A page of ``iter_submissions`` that cannot be followed: the service refused or failed it
    (``result`` is that page's ``SubmissionListResult``), or its cursor did not advance."""

    def __init__(self, message: str, result: Any = None) -> None:
        super().__init__(message)
        self.result = result
