"""The application the HTTP layer carries: the routes, declared once, bearer authentication,
fault injection, and the operations behind each route. Nothing here knows about sockets.

Routes (at the root of the base URL)::

    GET  /eras                                the era catalog
    POST /signals/submit                      one signal
    POST /strategies/submit                   one strategy
    POST /signals/batch                       {"signals": [...]}, at most 100
    GET  /signals/status/<percent-encoded id>
    GET  /signals/submissions?status=&idempotency_key=&since=&limit=
    GET  /openapi.json                        the OpenAPI 3.1 document of all of them

``HEAD`` is answered wherever ``GET`` is. Dispatch, the 404 and 405 answers (with
``Allow``) and the OpenAPI document's paths all come from ``ROUTES``.

A listing holds status answers in the order the submissions were made: those created
after ``since`` (ISO-8601), with the given ``status`` and ``idempotency_key``, at most
``limit`` (1 to 1000, default 100); a full page gives ``next_since`` to continue from.

Every request but ``GET /openapi.json`` needs ``Authorization: Bearer <token>``; without
it the answer is 401. The document is public because it holds nothing but the routes'
shapes, and tools that read it (schema testers, API browsers, client generators) fetch it
without credentials. Faults count authenticated requests (every route, the catalog
included): with ``fail_every=N`` the N-th, 2N-th, ... request gets a 503 JSON answer; with
``malformed_every=M`` the M-th, 2M-th, ... gets a 502 HTML page, as a proxy in front of the
service would send. Both carry ``Retry-After: 1``, as every 503 does; neither request is
processed. ``latency`` delays every answer (the HTTP layer waits it out).

Every error answer is ``{"error": ..., "details": {"message": ..., ...}}`` (a 422 has
``reason`` in place of ``error``; see ``validation`` for the fields of ``details``).
"""

from __future__ import annotations

import hmac
import itertools
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from importlib import resources
from typing import Any
from urllib.parse import parse_qsl, unquote

from .operations import Operations
from .validation import Refusal, dumps, explain, parse_json

__all__ = ["MAX_BODY_BYTES", "RETRY_AFTER_SECONDS", "ROUTES", "Answer", "App", "Route", "error", "unavailable"]

MAX_BODY_BYTES = 16 * 1024 * 1024
RETRY_AFTER_SECONDS = 1  # in every injected fault and every 503
_GATEWAY_PAGE = (
    b"<html><head><title>502 Bad Gateway</title></head>\r\n"
    b"<body><center><h1>502 Bad Gateway</h1></center></body></html>\r\n"
)


@dataclass(frozen=True)
class Route:
    """One route: its method, its path (a last segment ``{name}`` is a parameter), the
    operationId of the OpenAPI document, and whether it is served without a token."""

    method: str
    path: str
    operation: str
    public: bool = False

    def match(self, path: str) -> dict[str, str] | None:
        """The route's parameters (raw, percent-encoded) when ``path`` is this route's, else None."""
        head, brace, name = self.path.rpartition("/{")
        if not brace:
            return {} if path == self.path else None
        prefix = head + "/"
        segment = path[len(prefix) :]
        if path.startswith(prefix) and segment and "/" not in segment:
            return {name.rstrip("}"): segment}
        return None


ROUTES = (
    Route("GET", "/eras", "getEras"),
    Route("POST", "/signals/submit", "submitSignal"),
    Route("POST", "/strategies/submit", "submitStrategy"),
    Route("POST", "/signals/batch", "submitSignalBatch"),
    Route("GET", "/signals/status/{submission_id}", "getSignalStatus"),
    Route("GET", "/signals/submissions", "listSignalSubmissions"),
    Route("GET", "/openapi.json", "getOpenAPI", public=True),
)
_ROUTE_LIST = ", ".join(route.path.replace("{submission_id}", "<id>") for route in ROUTES)


def allowed_methods(route: Route) -> list[str]:
    """The methods a route answers: HEAD wherever GET is."""
    return [route.method, "HEAD"] if route.method == "GET" else [route.method]


class Answer:
    """One HTTP answer: a status, a JSON body (or raw bytes) and extra headers. ``close``
    asks the HTTP layer to end the connection after it."""

    __slots__ = ("body", "close", "content_type", "headers", "status")

    def __init__(
        self,
        status: int,
        body: Any,
        headers: dict[str, str] | None = None,
        content_type: str = "application/json",
        close: bool = False,
    ):
        self.status = status
        self.body = body if isinstance(body, bytes) else dumps(body).encode("utf-8")
        self.headers = headers or {}
        self.content_type = content_type
        self.close = close


def error(
    status: int, name: str, message: str, headers: dict[str, str] | None = None, *, close: bool = False, **fields: Any
) -> Answer:
    """An error answer: ``{"error": ..., "details": {"message": ..., **fields}}``."""
    return Answer(status, {"error": name, "details": explain(message, **fields)}, headers, close=close)


def unavailable(message: str, *, close: bool = False) -> Answer:
    """A 503 with ``Retry-After``, ``details.message`` saying why."""
    return error(
        503,
        "service_unavailable",
        message,
        {"Retry-After": str(RETRY_AFTER_SECONDS)},
        close=close,
        retry_after=RETRY_AFTER_SECONDS,
    )


def _unauthorized() -> Answer:
    return error(
        401,
        "unauthorized",
        "a valid bearer token is required: send Authorization: Bearer <token>",
        {"WWW-Authenticate": "Bearer"},
        close=True,
    )


def _shown(path: str) -> str:
    return path if len(path) <= 200 else f"{path[:200]}..."


def openapi_document() -> bytes:
    return resources.files(__package__).joinpath("openapi.json").read_bytes()


class App:
    """Authentication, fault injection and routing, for whatever HTTP server carries them.

    The HTTP layer calls ``admit`` with a request's head, before it reads a byte of the
    body, then ``serve`` with the body (``serve`` may block on the store: run it off the
    event loop).
    """

    def __init__(
        self, operations: Operations, token: str, *, fail_every: int = 0, malformed_every: int = 0, latency: float = 0.0
    ):
        self.operations = operations
        self.token = token
        self.fail_every = fail_every
        self.malformed_every = malformed_every
        self.latency = latency
        self._counter = itertools.count(1)  # next() is atomic: no lock needed
        self._openapi = openapi_document()
        self._serve: dict[str, Callable[[Mapping[str, str], str, Mapping[str, str], bytes], Answer]] = {
            "getEras": lambda params, query, headers, body: Answer(200, self.operations.catalog.body()),
            "submitSignal": lambda params, query, headers, body: self._submit("signal", headers, body),
            "submitStrategy": lambda params, query, headers, body: self._submit("strategy", headers, body),
            "submitSignalBatch": lambda params, query, headers, body: Answer(*self.operations.batch(parse_json(body))),
            "getSignalStatus": lambda params, query, headers, body: Answer(
                *self.operations.status(unquote(params["submission_id"], errors="strict"))
            ),
            "listSignalSubmissions": lambda params, query, headers, body: Answer(
                *self.operations.listing(dict(parse_qsl(query, keep_blank_values=True)))
            ),
            "getOpenAPI": lambda params, query, headers, body: Answer(200, self._openapi),
        }
        missing = {route.operation for route in ROUTES} ^ set(self._serve)
        assert not missing, f"routes and operations differ: {missing}"

    def authorized(self, header: str | None) -> bool:
        scheme, _, given = (header or "").partition(" ")
        return scheme.lower() == "bearer" and hmac.compare_digest(given.strip().encode(), self.token.encode())

    def _fault(self) -> Answer | None:
        count = next(self._counter)
        retry = {"Retry-After": str(RETRY_AFTER_SECONDS)}
        if self.fail_every and count % self.fail_every == 0:
            return unavailable(
                f"injected failure of request {count} (every {self.fail_every}); retry after {RETRY_AFTER_SECONDS} s"
            )
        if self.malformed_every and count % self.malformed_every == 0:
            return Answer(502, _GATEWAY_PAGE, retry, content_type="text/html")
        return None

    def admit(self, method: str, path: str, authorization: str | None) -> tuple[Route, dict[str, str]] | Answer:
        """The route and its parameters for a request's head, or the answer to a request that
        goes no further than its head: 401, an injected fault, 404, 405."""
        matched = [(route, params) for route in ROUTES if (params := route.match(path)) is not None]
        if not (matched and matched[0][0].public):
            if not self.authorized(authorization):
                return _unauthorized()
            fault = self._fault()
            if fault is not None:
                return fault
        if not matched:
            return error(
                404, "not_found", f"no route {_shown(path)}; the routes, at the root of the base URL, are {_ROUTE_LIST}"
            )
        for route, params in matched:
            if method in allowed_methods(route):
                return route, params
        allowed = [m for route, _ in matched for m in allowed_methods(route)]
        return error(
            405,
            "method_not_allowed",
            f"{_shown(path)} takes {' or '.join(allowed)}, not {method[:40]}",
            {"Allow": ", ".join(allowed)},
            allowed=allowed,
        )

    def serve(
        self, route: Route, params: Mapping[str, str], query: str, headers: Mapping[str, str], body: bytes
    ) -> Answer:
        """The answer to an admitted request."""
        try:
            return self._serve[route.operation](params, query, headers, body)
        except Refusal as refusal:
            return Answer(refusal.status, refusal.body)
        except UnicodeDecodeError:
            return error(404, "not_found", "submission id is not valid UTF-8")

    def _submit(self, kind: str, headers: Mapping[str, str], body: bytes) -> Answer:
        status, answer, replayed = self.operations.submit(kind, parse_json(body), headers.get("Idempotency-Key"))
        return Answer(status, answer, {"Idempotent-Replayed": "true"} if replayed else None)
