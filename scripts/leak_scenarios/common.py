"""In-process transports and helpers shared by the leak scenarios."""

from __future__ import annotations

from collections.abc import Callable
from typing import NamedTuple

import httpx

import quillmarsh.submit as submit


class Scenario(NamedTuple):
    call: Callable[[], object]
    watched: list[object]
    calls: int | None = None  # None: the module's CALLS


class Response:
    def __init__(self, status_code: int, content: bytes) -> None:
        self.status_code = status_code
        self.content = content


class ScriptedTransport:
    """Answers every request with one response, or raises one exception."""

    def __init__(
        self, status_code: int = 200, content: bytes = b"{}", error: BaseException | None = None, read_body: bool = True
    ) -> None:
        self.response = Response(status_code, content)
        self.error = error
        self.read_body = read_body

    def _answer(self, content=None):
        if self.error is not None:
            raise self.error
        if self.read_body and content is not None and not isinstance(content, bytes):
            for _ in content:
                pass
        return self.response

    def post(self, path, *, content=None, headers=None):
        return self._answer(content)

    def get(self, path, *, headers=None):
        return self._answer()


class FailingTransport:
    """Refuses every request with a fresh error (a connection error unless told otherwise), as a
    real transport would."""

    def __init__(self, make_error: Callable[[], BaseException] = lambda: httpx.ConnectError("connection refused")):
        self.make_error = make_error

    def post(self, path, *, content=None, headers=None):
        raise self.make_error()

    def get(self, path, *, headers=None):
        raise self.make_error()


def _client(transport, observer=None) -> submit.SignalServiceClient:
    return submit.SignalServiceClient(
        "https://signals.example", "token", transport=transport, transmission_observer=observer
    )


def _expect(exc_type: type[BaseException], fn: Callable[[], object]) -> Callable[[], None]:
    def run() -> None:
        try:
            fn()
        except exc_type:
            return
        raise AssertionError(f"expected {exc_type.__name__}")

    return run


BODY = {"graph": {"op": "rank"}, "named_universe": "us_top", "idempotency_key": "key-1"}
