"""``SignalClient``: the client scripts and agents call, with production defaults.

It is ``quillmarsh.submit.SignalServiceClient`` (every operation, check, message and result
of it), and besides:

- settings from its arguments, else a profile, else ``QUILLMARSH_BASE_URL`` and
  ``QUILLMARSH_TOKEN`` (``quillmarsh.config``), checked when it is built;
- a transport of its own: retries of what is safe to repeat (``max_retries``, 4 unless a
  profile says otherwise; 0 turns them off), answers read up to ``max_answer_bytes``, a pool of
  ``max_connections`` (32), a base URL with a path prefix that works as given;
- ``wait_until_terminal`` (backoff, stops on a refusal, goes on through passing failures),
  ``iter_submissions`` (every page), ``check_signal`` / ``check_signals`` (nothing sent),
  ``era_catalog``;
- whole numbers taken where a float is expected; a submission that got no answer, a 408, a
  429 or a 5xx leaves the signal's backtest timing recorded, so the same signal can be sent
  again; ``replayed`` on results tells a submission the service had already stored;
- ``with`` closes it; an operation on a closed client raises ``ClientClosedError``::

    with SignalClient() as client:          # QUILLMARSH_BASE_URL / QUILLMARSH_TOKEN
        result = client.submit_signal(...)
        final = client.wait_until_terminal(result.submission_id, timeout=120)
"""

from __future__ import annotations

import inspect
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any

from quillmarsh import _face, _steps, prescreen, submit
from quillmarsh.progress import ChunkSent, ChunkSettled
from quillmarsh.signal_types import BatchSubmitResult, StatusResult, SubmissionListResult, SubmitResult
from quillmarsh.submit import SignalServiceClient

__all__ = ["SignalClient"]


class SignalClient(_face.Constructed, SignalServiceClient):
    """``SignalServiceClient`` with production defaults (see the module's documentation)."""

    _raw_type = SignalServiceClient

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self._base_url!r})"

    def __enter__(self) -> SignalClient:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    @property
    def closed(self) -> bool:
        return self._face_state.closed

    @property
    def base_url(self) -> str:
        return self._base_url

    def close(self) -> None:
        """Close the transport; later operations raise ``ClientClosedError``."""
        self._face_state.closed = True
        super().close()

    # --- the raw client's operations, with the defaults above ---------------------------------

    def submit_signal(self, graph: Any, named_universe: str | None = None, **fields: Any) -> SubmitResult:
        result: SubmitResult = _steps.drive(self, _face.submit_signal(graph, named_universe, fields))
        return result

    def submit_strategy(self, graph: Any, named_universe: str | None = None, **fields: Any) -> SubmitResult:
        result: SubmitResult = _steps.drive(self, _face.call("submit_strategy", graph, named_universe, **fields))
        return result

    def submit_signals_batch(
        self,
        submissions: Sequence[Mapping[str, Any]],
        *,
        on_chunk: Callable[[ChunkSent | ChunkSettled], Any] | None = None,
    ) -> BatchSubmitResult:
        """The raw client's batch; ``on_chunk`` is told of each chunk as it is sent
        (``ChunkSent``) and as it settles (``ChunkSettled``)."""
        result: BatchSubmitResult = _steps.drive(self, _face.submit_signals_batch(submissions, 1, on_chunk))
        return result

    def submit_checked(
        self,
        checked: Iterable[prescreen.CheckedSignal],
        *,
        on_chunk: Callable[[ChunkSent | ChunkSettled], Any] | None = None,
    ) -> BatchSubmitResult:
        """Post the bodies ``check_signals`` made (every one ``ok``), in chunks as a batch posts
        its own, without checking them again; the result's item indices are positions in
        ``checked``."""
        result: BatchSubmitResult = _steps.drive(self, _face.submit_checked(checked, 1, on_chunk))
        return result

    def get_signal_status(self, submission_id: str) -> StatusResult:
        result: StatusResult = _steps.drive(self, _face.call("get_signal_status", submission_id))
        return result

    def list_signal_submissions(
        self, *, status: Any = None, idempotency_key: Any = None, since: Any = None, limit: Any = 100
    ) -> SubmissionListResult:
        result: SubmissionListResult = _steps.drive(
            self,
            _face.call(
                "list_signal_submissions", status=status, idempotency_key=idempotency_key, since=since, limit=limit
            ),
        )
        return result

    def poll_until_terminal(self, submission_id: str, *, timeout: float) -> StatusResult:
        """The raw client's polling, exactly (0.1 s apart; see ``wait_until_terminal``)."""
        result: StatusResult = _steps.drive(self, _face.call("poll_until_terminal", submission_id, timeout=timeout))
        return result

    # --- added by the face ----------------------------------------------------------------------

    def wait_until_terminal(
        self, submission_id: str, *, timeout: float, on_status: Callable[[StatusResult], Any] | None = None
    ) -> StatusResult:
        """The submission's status once it is terminal, reading after 0.5 s, then 1.5 times
        longer each time up to 5 s, for at most ``timeout`` seconds. Stops at once on a refusal
        that reading again cannot change (a 4xx other than 408 and 429: an unknown id, a wrong
        token); goes on through no answer, 408, 429 and 5xx. Returns the last result.
        ``on_status(result)`` is told of each status read."""
        result: StatusResult = _steps.drive(self, _face.wait_until_terminal(submission_id, timeout, on_status))
        return result

    def iter_submissions(
        self, *, status: Any = None, idempotency_key: Any = None, since: Any = None, page_size: int | None = None
    ) -> Iterator[dict[str, Any]]:
        """Every submission that matches, across the service's pages, one page held at a time.
        ``page_size`` None asks for the largest page the service allows. A page the service
        refuses, or a cursor that does not advance, raises ``ListingError``."""
        pager = _face.Pager(status=status, idempotency_key=idempotency_key, since=since, page_size=page_size)
        while (query := pager.query()) is not None:
            yield from pager.take(self.list_signal_submissions(**query))

    def era_catalog(self) -> dict[str, Any]:
        """The service's era catalog (read once, then kept); ``EraCatalogUnavailable`` when it
        cannot be read."""
        self._face_state.check_open(self)
        return self._fetch_era_catalog()

    def _prepared(self, operation: str, *args: Any) -> Any:
        return submit._exchange(operation, self, *args)

    def _settle(self, exchange: Any, max_concurrency: int = 1, watch: _steps.Watch | None = None) -> None:
        while (request := submit._exchange_next(exchange)) is not None:
            _steps.drive(self, _steps.settle(exchange, request, watch))

    def _fetch_era_catalog(self) -> dict[str, Any]:
        try:
            catalog: dict[str, Any] = super()._fetch_era_catalog()
        except ValueError as exc:
            failure = _face.catalog_failure(exc)
            if failure is exc:
                raise
            raise failure from exc.__cause__
        return catalog

    def check_signal(self, graph: Any, named_universe: str | None = None, **fields: Any) -> prescreen.CheckedSignal:
        """What ``submit_signal`` would post (endpoint, body, idempotency key), checked against
        the service's era catalog, sending nothing; raises what ``submit_signal`` raises."""
        return prescreen.check_signal(graph, named_universe, catalog=self.era_catalog(), **fields)

    def check_signals(self, signals: Iterable[Mapping[str, Any]]) -> list[prescreen.CheckedSignal]:
        """One ``CheckedSignal`` per signal (the dicts of ``submit_signals_batch``), checked
        against the service's era catalog, sending nothing and raising nothing for a signal."""
        return prescreen.check_signals(signals, catalog=self.era_catalog())


for _name in ("submit_signal", "submit_strategy"):
    getattr(SignalClient, _name).__signature__ = inspect.signature(getattr(SignalServiceClient, _name))
del _name
