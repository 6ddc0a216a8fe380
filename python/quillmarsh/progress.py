"""What a batch reports while it is sent (``on_chunk=`` of ``submit_signals_batch`` and
``submit_checked`` on the SDK faces): each chunk when its request goes out (``ChunkSent``) and
when it settles (``ChunkSettled``)."""

from __future__ import annotations

import dataclasses
from typing import Any

__all__ = ["ChunkSent", "ChunkSettled"]


@dataclasses.dataclass(frozen=True, slots=True)
class ChunkSent:
    """The signals at positions ``start`` to ``start + count - 1`` of the batch are on their way
    (a request that is not answered may or may not have reached the service)."""

    start: int
    count: int


@dataclasses.dataclass(frozen=True, slots=True)
class ChunkSettled:
    """The chunk of those signals settled: ``result`` is its own ``BatchSubmitResult`` (its
    items' indices are positions in the batch); ``failure`` is None when the service answered
    the chunk, else what its request raised (a rejection of the whole chunk, or no answer; the
    result then stands for that failure, and ``quillmarsh.describe`` tells it)."""

    start: int
    count: int
    result: Any
    failure: BaseException | None = None
