"""What the SDK faces (``SignalClient``, ``AsyncSignalClient``) add to the raw clients, written
once for both.

Each operation of a face is a generator of steps: ``Call`` (one operation of the raw client,
or one of the face's own methods) and ``Sleep``. ``drive`` runs the steps with the blocking
raw client and ``time.sleep``; ``adrive`` awaits them with the asynchronous one and
``asyncio.sleep``. The rules live in the steps: what a submission hands back to the
backtest-timing registry when it may be sent again, how a replay is read off the answer, how
long ``wait_until_terminal`` waits, how ``iter_submissions`` follows the pages.
"""

from __future__ import annotations

import dataclasses
import math
import time
from collections.abc import Callable, Mapping
from typing import Any

import httpx

from quillmarsh import _backtest_timing, _steps, config
from quillmarsh._face_transport import DEFAULT_MAX_CONNECTIONS, answers_noted, build, stop_noting
from quillmarsh.errors import ClientClosedError, EraCatalogUnavailable, ListingError
from quillmarsh.progress import ChunkSent, ChunkSettled
from quillmarsh.signal_types import SubmitResult

_set_replayed: Any = vars(SubmitResult)["replayed"].__set__  # the slot itself, past the frozen guard
FLOAT_FIELDS = ("expression_elapsed_seconds",)  # the raw client wants a float; people write 2
FIRST_WAIT, LONGEST_WAIT, GROWTH = 0.5, 5.0, 1.5
LARGEST_PAGE = 1000  # asked first by iter_submissions without page_size; a refusal naming a maximum is heeded


Steps = _steps.Steps
Call, Sleep = _steps.Call, _steps.Sleep


# ---------------------------------------------------------------------------------------
# Construction


@dataclasses.dataclass(frozen=True)
class Configured:
    """What a face's constructor hands its raw client: the settings, the timeout as given and
    the transport built."""

    settings: config.Settings
    timeout: Any
    transport: Any
    max_connections: int


def _timeout(value: Any) -> httpx.Timeout:
    """An ``httpx.Timeout`` from a number of seconds (above 0) or an ``httpx.Timeout``; the
    wait for a free connection of the pool is not bounded."""
    if isinstance(value, httpx.Timeout):
        return value
    return httpx.Timeout(config.seconds(value, "timeout"), pool=None)


def _count(value: Any, name: str, least: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < least:
        raise ValueError(f"{name} must be a whole number of at least {least}, not {value!r}")
    return value


def configure(
    base_url: str | None,
    token: str | None,
    *,
    asynchronous: bool,
    profile: str | None,
    timeout: Any,
    max_retries: Any,
    max_answer_bytes: Any,
    max_connections: Any,
    transport: Any,
    on_retry: Any,
) -> Configured:
    """Settings resolved (arguments, profile, environment) and checked, and the transport."""
    settings = config.resolve_settings(base_url, token, profile=profile, timeout=timeout, max_retries=max_retries)
    httpx_timeout = _timeout(settings.timeout)
    # A number of seconds bounds each whole request, however slowly the service answers.
    whole = None if isinstance(settings.timeout, httpx.Timeout) else httpx_timeout.read
    connections = _count(DEFAULT_MAX_CONNECTIONS if max_connections is None else max_connections, "max_connections", 1)
    built = build(
        settings.base_url,
        asynchronous=asynchronous,
        transport=transport,
        timeout=httpx_timeout,
        total_timeout=whole,
        max_retries=settings.max_retries,
        max_answer_bytes=None if max_answer_bytes is None else _count(max_answer_bytes, "max_answer_bytes", 1),
        max_connections=connections,
        on_retry=on_retry,
    )
    return Configured(settings, settings.timeout, built, connections)


class Constructed:
    """The constructor both faces share (it comes first in their bases): settings resolved and
    checked, the transport built, then the raw client's own constructor with them."""

    _asynchronous = False  # the face drives an asynchronous raw client
    _face_state: FaceState
    max_connections: int  # the pool's size: requests at once

    def __init__(
        self,
        base_url: str | None = None,
        token: str | None = None,
        *,
        timeout: Any = None,
        max_retries: int | None = None,
        max_answer_bytes: int | None = None,
        max_connections: int | None = None,
        transport: Any = None,
        transmission_observer: Callable[..., Any] | None = None,
        profile: str | None = None,
        on_retry: Callable[[int, str, float], Any] | None = None,
    ) -> None:
        configured = configure(
            base_url,
            token,
            asynchronous=self._asynchronous,
            profile=profile,
            timeout=timeout,
            max_retries=max_retries,
            max_answer_bytes=max_answer_bytes,
            max_connections=max_connections,
            transport=transport,
            on_retry=on_retry,
        )
        self._face_state = FaceState()
        self.max_connections = configured.max_connections
        raw: Any = super()  # the raw client, next in the face's bases
        raw.__init__(
            configured.settings.base_url,
            configured.settings.token,
            timeout=configured.timeout,
            transport=configured.transport,
            transmission_observer=transmission_observer,
        )


class FaceState:
    """What both faces keep beside their raw client: whether they are closed."""

    closed = False

    def check_open(self, face: Any) -> None:
        if self.closed:
            raise ClientClosedError(f"this {type(face).__name__} is closed: make a new client to send requests")


def catalog_failure(exc: ValueError) -> ValueError:
    """The raw client's catalog failure as ``EraCatalogUnavailable`` when a request failed (it
    has a cause); an unusable catalog stays as it is."""
    if exc.__cause__ is None or isinstance(exc, EraCatalogUnavailable):
        return exc
    failure = EraCatalogUnavailable(str(exc))
    failure.__cause__ = exc.__cause__
    return failure


# ---------------------------------------------------------------------------------------
# Submissions: whole numbers taken as floats, timings handed back, replays told


def _with_floats(fields: Mapping[str, Any]) -> dict[str, Any]:
    """The fields with a whole number where a float is expected turned into that float."""
    out = dict(fields)
    for name in FLOAT_FIELDS:
        if type(out.get(name)) is int:
            out[name] = float(out[name])
    return out


def _sent_again(status_code: Any) -> bool:
    """Whether an attempt that ended so may well succeed if the same signal is sent again: no
    answer, a 408, a 429 or a 5xx."""
    return isinstance(status_code, int) and (status_code == 0 or status_code in (408, 429) or status_code >= 500)


def _local_refusal(exc: BaseException) -> bool:
    """A check of the client refused the signal before it was sent: sending it again as it is
    meets the same refusal (an unreadable era catalog is not one: nothing was taken then)."""
    return isinstance(exc, (ValueError, TypeError)) and not isinstance(exc, EraCatalogUnavailable)


def _replayed(answers: list[Any], result: Any) -> bool | None:
    if not result.ok:
        return None
    headers = answers[-1] if answers else None
    try:
        value = headers.get("Idempotent-Replayed") if headers is not None else None
    except (AttributeError, TypeError):
        value = None
    return isinstance(value, str) and value.strip().lower() == "true"


def submit_signal(graph: Any, named_universe: Any, fields: Mapping[str, Any]) -> Steps:
    ledger = _backtest_timing.UseLedger([graph])
    answers, noting = answers_noted()
    try:
        result = yield Call("submit_signal", (graph, named_universe), _with_floats(fields), raw=True)
    except BaseException as exc:
        if not _local_refusal(exc) and _sent_again(getattr(exc, "status_code", 0)):
            ledger.give_back([graph])
        raise
    finally:
        stop_noting(noting)
    if _sent_again(result.status_code):
        ledger.give_back([graph])
    _set_replayed(result, _replayed(answers, result))  # a record of our own, not yet handed out
    return result


def _batch_items(submissions: Any) -> Any:
    """The submissions with whole numbers taken as floats (new dicts only where one changes)."""
    if not isinstance(submissions, (list, tuple)):
        return submissions  # the raw client refuses it with its own message
    return [
        _with_floats(item) if type(item) is dict and any(type(item.get(n)) is int for n in FLOAT_FIELDS) else item
        for item in submissions
    ]


def _graphs(items: Any) -> list[Any]:
    if not isinstance(items, (list, tuple)):
        return []
    return [item.get("graph") if type(item) is dict else None for item in items]


def _again(result: Any, count: int) -> list[int]:
    """The positions of the batch whose signals may well get in if sent again: those answered
    with no answer, 408, 429 or 5xx, and those without an answer of their own."""
    answered = {item.index: item for item in result.results if type(item.index) is int}
    return [i for i in range(count) if (item := answered.get(i)) is None or _sent_again(item.status_code)]


def _mark_replays_of(item: Any) -> None:
    if item.status_code == 202:
        body = item.body
        item.replayed = isinstance(body, dict) and body.get("replayed") is True


def _mark_replays(result: Any) -> None:
    for item in result.results:
        _mark_replays_of(item)


class _ChunkReporter:
    """Tells the caller's ``on_chunk`` of each chunk of a batch: sent, then settled."""

    def __init__(self, count: int, on_chunk: Callable[[Any], Any]) -> None:
        from quillmarsh import submit

        self.count, self.on_chunk = count, on_chunk
        self.size = submit._SIGNALS_BATCH_CLIENT_CHUNK_SIZE
        self.whole = count <= self.size  # one request, whatever its size

    def _span(self, tag: int) -> tuple[int, int]:
        if self.whole:
            return 0, self.count
        start = tag * self.size
        return start, min(self.size, self.count - start)

    def sent(self, exchange: Any, tag: int) -> None:
        self.on_chunk(ChunkSent(*self._span(tag)))

    def settled(self, exchange: Any, tag: int, failure: BaseException | None) -> None:
        from quillmarsh import submit

        result = submit._exchange_settled(exchange, tag)
        if result is not None:
            _mark_replays(result)
        self.on_chunk(ChunkSettled(*self._span(tag), result, failure))


def _posted(
    exchange: Any, graphs: list[Any], ledger: Any, max_concurrency: int, on_chunk: Callable[[Any], Any] | None
) -> Steps:
    """Post a prepared batch; its result, the uses of what was not stored given back."""
    from quillmarsh import submit

    try:
        watch = _ChunkReporter(len(graphs), on_chunk) if on_chunk is not None else None
        yield Call("_settle", (exchange, max_concurrency, watch))
    except BaseException:
        ledger.give_back(graphs)  # nothing came back to say what was stored
        raise
    result = submit._exchange_result(exchange)
    ledger.give_back([graphs[i] for i in _again(result, len(graphs))])
    _mark_replays(result)
    return result


def submit_signals_batch(submissions: Any, max_concurrency: int, on_chunk: Callable[[Any], Any] | None) -> Steps:

    _count(max_concurrency, "max_concurrency", 1)
    items = _batch_items(submissions)
    graphs = _graphs(items)
    ledger = _backtest_timing.UseLedger(graphs)
    try:
        exchange = yield Call("_prepared", ("submit_signals_batch", items))
    except BaseException as exc:
        if not _local_refusal(exc):
            ledger.give_back(graphs)
        raise
    return (yield from _posted(exchange, graphs, ledger, max_concurrency, on_chunk))


class _CheckedWatch(_ChunkReporter):
    """The chunks of one post of checked bodies (positions ``offset`` on of the whole batch):
    their items' indices made positions in the whole batch, each chunk told to ``on_chunk``,
    and the chunk the service refused as a whole with 400, if one was."""

    def __init__(self, count: int, offset: int, on_chunk: Callable[[Any], Any] | None) -> None:
        super().__init__(count, on_chunk or (lambda event: None))
        self.offset = offset
        self.refused: tuple[int, int, BaseException] | None = None
        self.stopped: Any = None  # the result of a chunk that failed otherwise, stopping the batch

    def _span(self, tag: int) -> tuple[int, int]:
        start, count = super()._span(tag)
        return self.offset + start, count

    def settled(self, exchange: Any, tag: int, failure: BaseException | None) -> None:
        from quillmarsh import submit

        result = submit._exchange_settled(exchange, tag)
        if result is not None and failure is None and self.offset:
            submit.SignalServiceClient._rebase_batch_item_indices(result, self.offset)
        if isinstance(failure, submit.SubmissionRejectedError) and failure.status_code == 400 and not self.refused:
            self.refused = (*self._span(tag), failure)
            if self.refused[1] > 1:
                return  # its signals are posted again, each told as it settles
        elif failure is not None and self.stopped is None:
            self.stopped = result
        super().settled(exchange, tag, failure)


def _refused_item(position: int, refusal: Any) -> Any:
    """The result of one signal the service refused as a whole request."""
    from quillmarsh.signal_types import BatchSubmitItemResult

    return BatchSubmitItemResult(
        index=position,
        status_code=refusal.status_code,
        body=refusal.body,
        submission_id=None,
        signal_pool_id=None,
        strategy_pool_id=None,
        strategy_signal_pool=None,
        error=refusal.reason,
    )


def _post_checked(bodies: list[Any], offset: int, max_concurrency: int, on_chunk: Callable[[Any], Any] | None) -> Steps:
    """Post ``bodies`` (positions ``offset`` on) as a batch posts its own. A chunk the service
    refuses as a whole with 400 (one signal it will not take spoils its chunk) is posted again
    one signal at a time, so that only the offending ones fail, and the batch goes on after it.
    Returns the items answered and the failure that stopped the batch (a result), if one did."""
    from quillmarsh import submit

    exchange = yield Call("_prepared", ("submit_prepared_batch", bodies))
    watch = _CheckedWatch(len(bodies), offset, on_chunk)
    yield Call("_settle", (exchange, max_concurrency, watch))
    result = submit._exchange_result(exchange)
    if watch.refused is None or watch.stopped is not None:
        return list(result.results), watch.stopped
    start, count, refusal = watch.refused
    items = [item for item in result.results if not (start <= item.index < start + count)]
    if count == 1:
        items.append(_refused_item(start, refusal))
    else:
        for position in range(start, start + count):
            alone, stopped = yield from _post_checked([bodies[position - offset]], position, 1, on_chunk)
            items += alone
            if stopped is not None:
                return items, stopped
    rest = start + count - offset
    if rest < len(bodies):
        later, stopped = yield from _post_checked(bodies[rest:], offset + rest, max_concurrency, on_chunk)
        return items + later, stopped
    return items, None


def submit_checked(checked: Any, max_concurrency: int, on_chunk: Callable[[Any], Any] | None) -> Steps:
    """Post the bodies of signals ``check_signals`` passed, as the batch posts its own, but a
    chunk refused as a whole with 400 is posted again signal by signal; each signal stored (or
    found stored) takes one use of its recorded timing, as a submission does."""
    from quillmarsh import submit
    from quillmarsh.signal_types import BatchSubmitResult

    _count(max_concurrency, "max_concurrency", 1)
    checked = list(checked)
    for index, one in enumerate(checked):
        if not getattr(one, "ok", False) or not isinstance(getattr(one, "body", None), dict):
            problem = getattr(one, "problem", None) or "it is not a CheckedSignal with a body"
            raise ValueError(f"checked signal {index} cannot be submitted: {problem}")
    bodies = [one.body for one in checked]
    graphs = [body.get("graph") for body in bodies]
    items, stopped = yield from _post_checked(bodies, 0, max_concurrency, on_chunk)
    items.sort(key=lambda item: item.index if type(item.index) is int else -1)
    for item in items:
        _mark_replays_of(item)
        if item.status_code == 202 and type(item.index) is int and 0 <= item.index < len(graphs):
            _backtest_timing.consume_recorded_backtest_timing(graphs[item.index])
    client = submit.SignalServiceClient
    if stopped is not None:
        return client._batch_result_with_partial_failure(stopped, items, len(bodies))
    accepted = sum(1 for item in items if item.status_code == 202)
    body = {
        "accepted": accepted,
        "failed": len(items) - accepted,
        "results": [client._batch_body_item_from_result(item) for item in items],
    }
    return BatchSubmitResult(
        status_code=client._batch_http_status_for_items(items),
        body=body,
        accepted=accepted,
        failed=len(items) - accepted,
        results=items,
        error=None,
    )


class _NoLedger:
    """A batch of checked bodies took no use: there is nothing to give back."""

    def give_back(self, graphs: Any) -> None:
        pass


def call(name: str, *args: Any, **kwargs: Any) -> Steps:
    """One operation of the raw client, as it is."""
    return (yield Call(name, args, kwargs, raw=True))


# ---------------------------------------------------------------------------------------
# Waiting with backoff


def _terminal(status: Any) -> bool:
    from quillmarsh import submit

    return isinstance(status, str) and status in submit._TERMINAL_STATUSES


def _refused(result: Any) -> bool:
    """A refusal that more reading cannot change: a 4xx other than 408 and 429 (an unknown id,
    a refused token)."""
    code = result.status_code
    return (
        result.error is not None
        and isinstance(code, int)
        and not isinstance(code, bool)
        and 400 <= code < 500
        and code not in (408, 429)
    )


def wait_until_terminal(submission_id: Any, timeout: Any, on_status: Callable[[Any], Any] | None = None) -> Steps:
    from quillmarsh import submit

    seconds = float(timeout) if isinstance(timeout, (int, float)) and not isinstance(timeout, bool) else math.nan
    if math.isnan(seconds):
        raise ValueError(f"timeout must be a number of seconds, not {timeout!r}")
    deadline = time.monotonic() + seconds
    wait = FIRST_WAIT
    while True:
        try:
            last = yield Call("get_signal_status", (submission_id,))
        except submit.SignalClientResponseError as exc:  # an unreadable 5xx: a passing failure
            if not _sent_again(exc.status_code):
                raise
            last = submit.SignalServiceClient._status_result_from_response_error(exc)
        if on_status is not None:
            on_status(last)
        if _terminal(last.status) or _refused(last):
            return last
        left = deadline - time.monotonic()
        if left <= 0:
            return last
        yield Sleep(min(wait, left))
        wait = min(wait * GROWTH, LONGEST_WAIT)


# ---------------------------------------------------------------------------------------
# Following the pages of a listing


class Pager:
    """The pages of a listing: ``query()`` gives the keywords of the next page's request (None
    when there is none), ``take(result)`` the page's submissions."""

    def __init__(self, *, status: Any, idempotency_key: Any, since: Any, page_size: int | None) -> None:
        if page_size is not None:
            _count(page_size, "page_size", 1)
        self._filters = {"status": status, "idempotency_key": idempotency_key}
        self._since = since
        self._size = page_size or LARGEST_PAGE
        self._adapt = page_size is None
        self._done = False

    def query(self) -> dict[str, Any] | None:
        if self._done:
            return None
        return {**self._filters, "since": self._since, "limit": self._size}

    def take(self, result: Any) -> list[Any]:
        if not result.ok:
            maximum = self._maximum(result)
            if maximum is not None:
                self._size, self._adapt = maximum, False
                return []
            from quillmarsh.causes import describe

            raise ListingError(f"listing failed: {describe(result)}", result)
        self._adapt = False
        body = result.body if isinstance(result.body, dict) else {}
        following = body.get("next_since")
        submissions = list(result.submissions)
        if not following or not submissions:
            self._done = True
        elif following == self._since:
            raise ListingError(
                f"the service's next page starts where this one did (next_since {following!r}): "
                "stopping instead of reading the same page again",
                result,
            )
        else:
            self._since = following
        return submissions

    def _maximum(self, result: Any) -> int | None:
        """The largest page the service says it allows, when it refused the first one for its size."""
        if not self._adapt or result.status_code != 400 or not isinstance(result.body, dict):
            return None
        details = result.body.get("details")
        if not isinstance(details, dict) or details.get("field") != "limit":
            return None
        maximum = details.get("maximum")
        return maximum if type(maximum) is int and 0 < maximum < self._size else None
