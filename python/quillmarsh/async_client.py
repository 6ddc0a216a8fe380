"""``AsyncSignalServiceClient``: the operations of ``SignalServiceClient`` as coroutines.

Hundreds of submissions and polls can be in flight on one event loop::

    async with AsyncSignalServiceClient("https://signals.example.com", token) as client:
        results = await asyncio.gather(*(client.submit_signal(**signal) for signal in signals))

Every check, body, idempotency key, header and result is the synchronous client's: each
operation is prepared by the native module into an exchange (the requests to make, and what
their answers and failures become), which this class drives with ``await`` where the
synchronous client drives it with its blocking transport. A synchronous twin holds the
settings (vetted as ``SignalServiceClient`` vets them) and the era catalog; it never sends.

A cancelled call leaves the client usable. A cancelled POST may or may not have reached the
service; submitting the same signal again is safe, because its idempotency key is derived
from its content.
"""

from __future__ import annotations

import asyncio
import functools
import inspect
from collections.abc import Callable, Coroutine, Mapping, Sequence
from typing import Any, Self, TypeVar

from quillmarsh import _steps, submit
from quillmarsh.signal_types import BatchSubmitResult, StatusResult, SubmissionListResult, SubmitResult
from quillmarsh.submit import SignalServiceClient

__all__ = ["AsyncSignalServiceClient"]


class _CatalogPending(BaseException):
    """The era catalog is needed and not fetched yet (a BaseException, so that no check on the
    way converts it)."""


class _SendsNothing:
    """The twin's transport: the asynchronous client makes every request itself."""

    def _refuse(self, *args: Any, **kwargs: Any) -> Any:
        raise RuntimeError("the asynchronous client's settings holder sends no requests")

    post = get = request = _refuse


class _Twin(SignalServiceClient):
    """The synchronous client whose settings, checks and era catalog the asynchronous one uses.

    Its catalog lookup does no I/O: while nothing is cached it raises ``_CatalogPending``, the
    asynchronous client fetches the catalog with ``await`` and prepares the operation again."""

    def _fetch_era_catalog(self) -> dict[str, Any]:
        catalog = self._era_catalog_cache
        if isinstance(catalog, dict):
            return catalog
        raise _CatalogPending


class _ObservedStream:
    """The observed request body as the asynchronous byte stream a transport reads (reading it
    calls the transmission observer, as reading the body does); rewindable as the body is, so a
    retrying transport may send it again, and of known size, so it goes out with its length."""

    __slots__ = ("_body",)

    def __init__(self, body: Any) -> None:
        self._body = body

    def __aiter__(self) -> _ObservedStream:
        return self

    async def __anext__(self) -> bytes:
        for chunk in self._body:
            return bytes(chunk)
        raise StopAsyncIteration

    def read(self, size: int | None = -1) -> bytes:
        return bytes(self._body.read(size))

    def seek(self, offset: int, whence: int = 0) -> int:
        return int(self._body.seek(offset, whence))

    def tell(self) -> int:
        return int(self._body.tell())

    def size(self) -> int:
        return len(self._body_bytes)

    @property
    def _body_bytes(self) -> bytes:
        held: bytes = self._body._body_bytes
        return held


_Declared = TypeVar("_Declared", bound=Callable[..., Coroutine[Any, Any, Any]])


def _operation(declared: _Declared) -> _Declared:
    """The coroutine of the synchronous client's operation of the same name: the native module
    binds its arguments (with the synchronous method's messages) and prepares its exchange.
    ``declared`` gives its typed signature and doc, held to the synchronous method's at import."""
    name = declared.__name__
    ours = list(inspect.signature(declared).parameters.values())[1:]
    theirs = list(inspect.signature(getattr(SignalServiceClient, name)).parameters.values())[1:]
    if [(p.name, p.kind, p.default) for p in ours] != [(p.name, p.kind, p.default) for p in theirs]:
        raise TypeError(f"AsyncSignalServiceClient.{name} does not take SignalServiceClient.{name}'s parameters")

    async def operation(self: AsyncSignalServiceClient, /, *args: Any, **kwargs: Any) -> Any:
        return await self._run(name, args, kwargs)

    return functools.wraps(declared)(operation)  # type: ignore[return-value]


def _positive_int(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"{name} must be a positive int, not {value!r}")
    return value


class AsyncSignalServiceClient:
    """Result-based asyncio SDK facade: ``SignalServiceClient``'s operations as coroutines."""

    def __init__(
        self,
        base_url: str,
        jwt_token: str,
        *,
        timeout: float = 30.0,
        transport: Any = None,
        transmission_observer: Callable[..., Any] | None = None,
    ) -> None:
        self._twin = _Twin(
            base_url, jwt_token, timeout=timeout, transport=_SendsNothing(), transmission_observer=transmission_observer
        )
        if transport is None:
            settings: dict[str, Any] = {"base_url": base_url, "timeout": timeout}
            if base_url.lower().startswith("http://"):
                settings["verify"] = False
            transport = submit.httpx.AsyncClient(**settings)
        self._transport = transport
        self._catalog_fetch: asyncio.Future[Any] | None = None
        self._catalog_waiters = 0  # the calls waiting on _catalog_fetch

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self._twin._base_url!r})"

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.aclose()

    async def aclose(self) -> None:
        """Close the HTTP transport when it has a callable ``aclose()``."""
        close = getattr(self._transport, "aclose", None)
        if callable(close):
            await close()

    # --- operations --------------------------------------------------------------------------

    async def submit_signal(
        self,
        graph: Any,
        named_universe: str | None = None,
        *,
        signal_pool_name: str,
        is_stats: dict[str, Any],
        is_pnl_mi: float | str,
        metaparameters: Any = None,
        expression_elapsed_seconds: float,
        search_state: Any = None,
        idempotency_key: Any = None,
        threshold_checks: None = None,
        thresholds: None = None,
        client_manifest_version: int | None = None,
        market_id: int | None = None,
        era_number: int | None = None,
        client_manifest_market_id: int | None = None,
        client_manifest_era_number: int | None = None,
    ) -> SubmitResult:
        """``SignalServiceClient.submit_signal`` as a coroutine."""
        raise NotImplementedError  # made the native operation below the class

    async def submit_strategy(
        self,
        graph: Any,
        named_universe: str | None = None,
        *,
        strategy_pool_name: str,
        market_id: int,
        era_number: int,
        metaparameters: Any = None,
        idempotency_key: Any = None,
        client_manifest_version: int | None = None,
        client_manifest_market_id: int | None = None,
        client_manifest_era_number: int | None = None,
    ) -> SubmitResult:
        """``SignalServiceClient.submit_strategy`` as a coroutine."""
        raise NotImplementedError  # made the native operation below the class

    async def submit_signals_batch(
        self, submissions: Sequence[Mapping[str, Any]], *, max_concurrency: int = 1
    ) -> BatchSubmitResult:
        """``SignalServiceClient.submit_signals_batch`` as a coroutine, with up to
        ``max_concurrency`` chunks in flight (1: one after another). Items come back in input
        order; once a chunk fails no further chunk is sent, and the result counts every item of
        the chunks that were answered."""
        _positive_int(max_concurrency, "max_concurrency")
        result: BatchSubmitResult = await self._run("submit_signals_batch", (submissions,), {}, max_concurrency)
        return result

    async def get_signal_status(self, submission_id: str) -> StatusResult:
        """``SignalServiceClient.get_signal_status`` as a coroutine."""
        raise NotImplementedError  # made the native operation below the class

    async def list_signal_submissions(
        self, *, status: Any = None, idempotency_key: Any = None, since: Any = None, limit: float | None = 100
    ) -> SubmissionListResult:
        """``SignalServiceClient.list_signal_submissions`` as a coroutine."""
        raise NotImplementedError  # made the native operation below the class

    async def poll_until_terminal(self, submission_id: str, *, timeout: float) -> StatusResult:
        """``SignalServiceClient.poll_until_terminal`` as a coroutine, waiting with ``asyncio.sleep``."""
        deadline = submit._poll_deadline(timeout)
        last = await self.get_signal_status(submission_id)
        while (delay := submit._poll_delay(last, deadline)) is not None:
            await asyncio.sleep(delay)
            last = await self.get_signal_status(submission_id)
        return last

    # --- driving an exchange (the protocol: quillmarsh._steps.settle) -------------------------

    async def _run(
        self, operation: str, args: tuple[Any, ...], kwargs: dict[str, Any], max_concurrency: int = 1
    ) -> Any:
        exchange = await self._prepared(operation, *args, **kwargs)
        await self._settle(exchange, max_concurrency)
        return submit._exchange_result(exchange)

    async def _prepared(self, operation: str, *args: Any, **kwargs: Any) -> Any:
        """The exchange of ``operation`` prepared from the settings holder, once the era
        catalog it reads is here. Preparing again is safe: nothing a preparation does before
        it reads the catalog has an effect."""
        while True:
            try:
                return submit._exchange(operation, self._twin, *args, **kwargs)
            except _CatalogPending:
                pass
            await self._era_catalog()  # outside the except block: its failure has no context of ours

    async def _settle(self, exchange: Any, max_concurrency: int = 1, watch: _steps.Watch | None = None) -> None:
        """Make every request of the exchange, up to ``max_concurrency`` at once."""
        if max_concurrency == 1:
            while (request := submit._exchange_next(exchange)) is not None:
                await _steps.adrive(self, _steps.settle(exchange, request, watch))
            return
        in_flight: set[asyncio.Task[None]] = set()
        try:
            while True:
                while len(in_flight) < max_concurrency and (request := submit._exchange_next(exchange)) is not None:
                    in_flight.add(asyncio.ensure_future(_steps.adrive(self, _steps.settle(exchange, request, watch))))
                if not in_flight:
                    return
                done, in_flight = await asyncio.wait(in_flight, return_when=asyncio.FIRST_COMPLETED)
                # An unmapped failure propagates (the first; each is retrieved, none logged as lost).
                failures = [task.exception() for task in done]
                for failure in failures:
                    if failure is not None:
                        raise failure
        finally:
            for task in in_flight:
                task.cancel()
            if in_flight:
                await asyncio.gather(*in_flight, return_exceptions=True)

    # --- the era catalog: one fetch shared by concurrent first calls ----------------------------

    async def _era_catalog(self) -> None:
        fetch = self._catalog_fetch
        if fetch is None:
            fetch = self._catalog_fetch = asyncio.ensure_future(self._fetch_era_catalog())
            fetch.add_done_callback(self._catalog_settled)
            self._catalog_waiters = 0
        self._catalog_waiters += 1
        try:
            # Shielded: a caller cancelled while waiting does not cancel the others' fetch...
            await asyncio.shield(fetch)
        except asyncio.CancelledError:
            # ... but the last one does: a fetch nobody waits for would keep an answer that never
            # comes (a silent or dripping service) for the calls still to come.
            if self._catalog_waiters == 1 and not fetch.done():
                fetch.cancel()
                if self._catalog_fetch is fetch:
                    self._catalog_fetch = None
            raise
        finally:
            self._catalog_waiters -= 1

    def _catalog_settled(self, fetch: asyncio.Future[Any]) -> None:
        if self._catalog_fetch is fetch:
            self._catalog_fetch = None  # a failed fetch is tried again by the next call
        if not fetch.cancelled():
            fetch.exception()  # retrieved by its waiters; not "never retrieved" when none is left

    async def _fetch_era_catalog(self) -> dict[str, Any]:
        try:
            answer = await self._canonical_request("GET", "eras")
        except Exception as exc:  # noqa: BLE001 - the catalog step decides what a failure becomes
            return submit._settle_era_catalog(self._twin, None, exc)
        return submit._settle_era_catalog(self._twin, answer, None)

    # --- one request --------------------------------------------------------------------------

    async def _canonical_request(self, method: str, endpoint: str, body: Any = None) -> tuple[int, dict[str, Any]]:
        """Send an authenticated JSON request to the service; returns (status_code, dict)."""
        transmission = submit._transmission_begin(self._twin, method, endpoint, body)
        try:
            response = await submit._transmission_send(transmission, self._transport, _ObservedStream)
            status_code, content = submit._transmission_answer(self._twin, response)
        except BaseException as exc:
            submit._transmission_failed(transmission, exc)  # raises exc, the token taken out of it
            raise
        return submit._transmission_end(transmission, status_code, content)


# Each operation's coroutine: its declaration above, its arguments bound and its exchange
# prepared by the native module.
for _name in ("submit_signal", "submit_strategy", "get_signal_status", "list_signal_submissions"):
    setattr(AsyncSignalServiceClient, _name, _operation(getattr(AsyncSignalServiceClient, _name)))
del _name
