"""Steps written once, driven twice: a generator yields ``Call`` and ``Sleep`` steps; ``drive``
performs them with blocking calls and ``time.sleep``, ``adrive`` awaits them and
``asyncio.sleep``. The SDK faces' rules are such generators (``_face.py``), and so is the
exchange protocol the Python clients share (``settle``).

``settle`` drives one request of an operation's exchange by the protocol stated beside the
native driver (``operations/exchange.hpp``): answered or failed by its tag, a failure told
while it is handled, a follow-up request made inside that handling.
"""

from __future__ import annotations

import dataclasses
import time
from collections.abc import Generator, Mapping
from typing import Any, Protocol

from quillmarsh import submit


@dataclasses.dataclass(frozen=True, slots=True)
class Call:
    """Call ``name`` with ``args`` and ``kwargs``: the raw client's member (``raw``: the
    ``_raw_type`` of the client, called with the client as its self), else the client's own."""

    name: str
    args: tuple[Any, ...] = ()
    kwargs: Mapping[str, Any] = dataclasses.field(default_factory=dict)
    raw: bool = False


@dataclasses.dataclass(frozen=True, slots=True)
class Sleep:
    seconds: float


Steps = Generator[Call | Sleep, Any, Any]


def _call(client: Any, step: Call) -> Any:
    state = getattr(client, "_face_state", None)
    if state is not None:
        state.check_open(client)
    if step.raw:
        return getattr(client._raw_type, step.name)(client, *step.args, **step.kwargs)
    return getattr(client, step.name)(*step.args, **step.kwargs)


def drive(client: Any, steps: Steps) -> Any:
    """Run the steps with blocking calls; returns what the steps return."""
    try:
        step = next(steps)
        while True:
            try:
                if isinstance(step, Sleep):
                    value = time.sleep(step.seconds)  # type: ignore[func-returns-value]
                else:
                    value = _call(client, step)
            except BaseException as exc:  # the steps decide what a failure becomes
                step = steps.throw(exc)
            else:
                step = steps.send(value)
    except StopIteration as stop:
        return stop.value


async def adrive(client: Any, steps: Steps) -> Any:
    """Run the steps with ``await``; returns what the steps return."""
    import asyncio

    try:
        step = next(steps)
        while True:
            try:
                value = await (asyncio.sleep(step.seconds) if isinstance(step, Sleep) else _call(client, step))
            except BaseException as exc:  # the steps decide what a failure becomes
                step = steps.throw(exc)
            else:
                step = steps.send(value)
    except StopIteration as stop:
        return stop.value


class Watch(Protocol):
    """Told of each request of an exchange: when it is sent, and when it settled (with the
    failure of a request that failed in a way the operation maps, else None)."""

    def sent(self, exchange: Any, tag: int) -> None: ...

    def settled(self, exchange: Any, tag: int, failure: BaseException | None) -> None: ...


def settle(exchange: Any, request: tuple[int, str, str, Any], watch: Watch | None = None) -> Steps:
    """Make one request of the exchange (``client._canonical_request``) and tell the exchange
    its outcome; then any request that follows its failure, inside that failure's handling."""
    tag, method, endpoint, body = request
    if watch is not None:
        watch.sent(exchange, tag)
    try:
        status_code, data = yield Call("_canonical_request", (method, endpoint, body))
    except Exception as exc:  # noqa: BLE001 - every failure is the exchange's to map
        submit._exchange_failed(exchange, tag, exc)
        if watch is not None:
            watch.settled(exchange, tag, exc)
        follow = submit._exchange_next(exchange)
        if follow is not None:
            yield from settle(exchange, follow, watch)
        return
    submit._exchange_answered(exchange, tag, status_code, data)
    if watch is not None:
        watch.settled(exchange, tag, None)
