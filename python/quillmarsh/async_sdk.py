"""``AsyncSignalClient``: ``SignalClient`` on an event loop.

It is ``AsyncSignalServiceClient`` (the raw client's operations as coroutines, every check,
body, key and result the synchronous client's) with the defaults of ``SignalClient``:
settings from the environment and profiles, retries, bounded answers, a pool of 32
connections, ``wait_until_terminal``, ``iter_submissions`` (an asynchronous iterator),
``check_signal`` / ``check_signals``, timings handed back for a signal worth sending again,
replays told. The rules are written once for both faces (``quillmarsh._face``)::

    async with AsyncSignalClient() as client:
        results = await asyncio.gather(*(client.submit_signal(**s) for s in signals))
        finals = await asyncio.gather(*(client.wait_until_terminal(r.submission_id, timeout=120)
                                        for r in results if r.ok))
"""

from __future__ import annotations

import inspect
from collections.abc import AsyncIterator, Callable, Iterable, Mapping, Sequence
from typing import Any, cast

from quillmarsh import _face, _steps, prescreen
from quillmarsh.async_client import AsyncSignalServiceClient
from quillmarsh.progress import ChunkSent, ChunkSettled
from quillmarsh.signal_types import BatchSubmitResult, StatusResult, SubmissionListResult, SubmitResult

__all__ = ["AsyncSignalClient"]


class AsyncSignalClient(_face.Constructed, AsyncSignalServiceClient):
    """``AsyncSignalServiceClient`` with the production defaults of ``SignalClient``."""

    _raw_type = AsyncSignalServiceClient
    _asynchronous = True

    @property
    def closed(self) -> bool:
        return self._face_state.closed

    @property
    def base_url(self) -> str:
        return self._twin._base_url

    async def aclose(self) -> None:
        """Close the transport; later operations raise ``ClientClosedError``."""
        self._face_state.closed = True
        await super().aclose()

    # --- the raw client's operations, with the defaults of the face ---------------------------

    async def submit_signal(self, graph: Any, named_universe: str | None = None, **fields: Any) -> SubmitResult:
        result: SubmitResult = await _steps.adrive(self, _face.submit_signal(graph, named_universe, fields))
        return result

    async def submit_strategy(self, graph: Any, named_universe: str | None = None, **fields: Any) -> SubmitResult:
        result: SubmitResult = await _steps.adrive(self, _face.call("submit_strategy", graph, named_universe, **fields))
        return result

    async def submit_signals_batch(
        self,
        submissions: Sequence[Mapping[str, Any]],
        *,
        max_concurrency: int = 1,
        on_chunk: Callable[[ChunkSent | ChunkSettled], Any] | None = None,
    ) -> BatchSubmitResult:
        """The raw client's batch, up to ``max_concurrency`` chunks in flight;
        ``on_chunk`` is told of each chunk as it is sent (``ChunkSent``) and as it settles
        (``ChunkSettled``)."""
        result: BatchSubmitResult = await _steps.adrive(
            self, _face.submit_signals_batch(submissions, max_concurrency, on_chunk)
        )
        return result

    async def submit_checked(
        self,
        checked: Iterable[prescreen.CheckedSignal],
        *,
        max_concurrency: int = 1,
        on_chunk: Callable[[ChunkSent | ChunkSettled], Any] | None = None,
    ) -> BatchSubmitResult:
        """``SignalClient.submit_checked`` as a coroutine, up to ``max_concurrency`` chunks in flight."""
        result: BatchSubmitResult = await _steps.adrive(self, _face.submit_checked(checked, max_concurrency, on_chunk))
        return result

    async def get_signal_status(self, submission_id: str) -> StatusResult:
        result: StatusResult = await _steps.adrive(self, _face.call("get_signal_status", submission_id))
        return result

    async def list_signal_submissions(
        self, *, status: Any = None, idempotency_key: Any = None, since: Any = None, limit: Any = 100
    ) -> SubmissionListResult:
        result: SubmissionListResult = await _steps.adrive(
            self,
            _face.call(
                "list_signal_submissions", status=status, idempotency_key=idempotency_key, since=since, limit=limit
            ),
        )
        return result

    async def poll_until_terminal(self, submission_id: str, *, timeout: float) -> StatusResult:
        """The raw client's polling, exactly (0.1 s apart; see ``wait_until_terminal``)."""
        result: StatusResult = await _steps.adrive(
            self, _face.call("poll_until_terminal", submission_id, timeout=timeout)
        )
        return result

    # --- added by the face ----------------------------------------------------------------------

    async def wait_until_terminal(
        self, submission_id: str, *, timeout: float, on_status: Callable[[StatusResult], Any] | None = None
    ) -> StatusResult:
        """``SignalClient.wait_until_terminal`` as a coroutine."""
        result: StatusResult = await _steps.adrive(self, _face.wait_until_terminal(submission_id, timeout, on_status))
        return result

    async def iter_submissions(
        self, *, status: Any = None, idempotency_key: Any = None, since: Any = None, page_size: int | None = None
    ) -> AsyncIterator[dict[str, Any]]:
        """``SignalClient.iter_submissions`` as an asynchronous iterator."""
        pager = _face.Pager(status=status, idempotency_key=idempotency_key, since=since, page_size=page_size)
        while (query := pager.query()) is not None:
            for submission in pager.take(await self.list_signal_submissions(**query)):
                yield submission

    async def era_catalog(self) -> dict[str, Any]:
        """The service's era catalog (read once, then kept; concurrent first calls share one
        request); ``EraCatalogUnavailable`` when it cannot be read."""
        self._face_state.check_open(self)
        await self._era_catalog()
        return cast("dict[str, Any]", self._twin._era_catalog_cache)  # filled by the fetch just awaited

    async def _fetch_era_catalog(self) -> dict[str, Any]:
        try:
            catalog: dict[str, Any] = await super()._fetch_era_catalog()
        except ValueError as exc:
            failure = _face.catalog_failure(exc)
            if failure is exc:
                raise
            raise failure from exc.__cause__
        return catalog

    async def check_signal(
        self, graph: Any, named_universe: str | None = None, **fields: Any
    ) -> prescreen.CheckedSignal:
        """``SignalClient.check_signal`` as a coroutine (the checks themselves run at once)."""
        return prescreen.check_signal(graph, named_universe, catalog=await self.era_catalog(), **fields)

    async def check_signals(self, signals: Iterable[Mapping[str, Any]]) -> list[prescreen.CheckedSignal]:
        """``SignalClient.check_signals`` as a coroutine (the checks themselves run at once)."""
        return prescreen.check_signals(signals, catalog=await self.era_catalog())


for _name in ("submit_signal", "submit_strategy"):
    getattr(AsyncSignalClient, _name).__signature__ = inspect.signature(getattr(AsyncSignalServiceClient, _name))
del _name
