"""Transports to inject into ``SignalServiceClient(..., transport=...)``.

``BoundedTransport`` reads each answer, and decodes it, only up to a limit (64 MiB unless
told otherwise), so a broken or hostile service cannot make the client hold more than that
in memory: an answer of 548 bytes gzip-encoded twice can otherwise decode to hundreds of
megabytes. An answer over the limit is not read further and reaches the client as an
unreadable (non-JSON) answer, which the client reports as a malformed response. The
command line uses it; a library user caps answers with::

    from quillmarsh.transports import BoundedTransport
    client = SignalServiceClient(url, token, transport=BoundedTransport(base_url=url))
"""

from __future__ import annotations

import dataclasses
import zlib
from typing import Any

import httpx

__all__ = ["Answer", "BoundedTransport", "DEFAULT_MAX_ANSWER_BYTES"]

DEFAULT_MAX_ANSWER_BYTES = 64 * 1024 * 1024
_PIECE = 64 * 1024  # the most a decoder may produce in one step
_MOST_LAYERS = 4  # content encodings stacked on one answer


@dataclasses.dataclass
class Answer:
    """What a transport hands back: the status, the decoded body, the headers."""

    status_code: int
    content: bytes
    headers: httpx.Headers


class _TooLarge(Exception):
    pass


class _Decoder:
    """The Content-Encoding layers of one answer, undone step by step with bounded output."""

    def __init__(self, content_encoding: str, limit: int):
        self.limit = limit
        self.size = 0
        self.pieces: list[bytes] = []
        codings = [c.strip().lower() for c in content_encoding.split(",") if c.strip()]
        codings = [c for c in codings if c != "identity"]
        if len(codings) > _MOST_LAYERS:
            raise httpx.DecodingError(f"{len(codings)} content encodings stacked on one answer")
        self.layers = [self._layer(c) for c in reversed(codings)]  # the last applied is undone first

    @staticmethod
    def _layer(coding: str) -> Any:
        if coding in ("gzip", "x-gzip"):
            return zlib.decompressobj(zlib.MAX_WBITS | 16)
        if coding == "deflate":
            return zlib.decompressobj(zlib.MAX_WBITS)
        raise httpx.DecodingError(f"unsupported content encoding {coding!r}")

    def feed(self, data: bytes, depth: int = 0) -> None:
        if depth == len(self.layers):
            self.size += len(data)
            if self.size > self.limit:
                raise _TooLarge
            self.pieces.append(data)
            return
        layer = self.layers[depth]
        try:
            while data:
                piece = layer.decompress(data, _PIECE)
                self.feed(piece, depth + 1)
                data = layer.unconsumed_tail
        except zlib.error as exc:
            raise httpx.DecodingError(f"corrupt encoded content: {exc}") from None

    def body(self) -> bytes:
        for depth, layer in enumerate(self.layers):
            try:
                self.feed(layer.flush(), depth + 1)
            except zlib.error as exc:
                raise httpx.DecodingError(f"corrupt encoded content: {exc}") from None
        return b"".join(self.pieces)


class BoundedTransport:
    """An ``httpx.Client`` (given, or built from ``client_options``) whose answers are read and
    decoded up to ``max_answer_bytes``; it has the ``post``/``get``/``request``/``close`` of
    a transport. Corrupt or unsupported encodings raise ``httpx.DecodingError``."""

    def __init__(self, client: httpx.Client | None = None, *, max_answer_bytes: int | None = None,
                 **client_options: Any):
        if max_answer_bytes is None:
            max_answer_bytes = DEFAULT_MAX_ANSWER_BYTES
        if max_answer_bytes < 1:
            raise ValueError("max_answer_bytes must be at least 1")
        self.max_answer_bytes = max_answer_bytes
        self._owned = client is None
        self._client = client
        self._client_options = client_options

    @property
    def client(self) -> httpx.Client:
        """The httpx.Client, built on first use (so a URL the client refuses is never parsed here)."""
        if self._client is None:
            self._client = httpx.Client(**self._client_options)
        return self._client

    def request(self, method: str, url: str, *, content: Any = None, headers: Any = None) -> Answer:
        headers = httpx.Headers(headers)
        headers.setdefault("Accept-Encoding", "gzip, deflate")  # only what this transport decodes itself
        with self.client.stream(method, url, content=content, headers=headers) as response:
            decoder = _Decoder(response.headers.get("Content-Encoding", ""), self.max_answer_bytes)
            try:
                for raw in response.iter_raw():
                    decoder.feed(raw)
                body = decoder.body()
            except _TooLarge:
                body = f"answer not read: larger than {self.max_answer_bytes} bytes".encode()
            return Answer(response.status_code, body, response.headers)

    def post(self, url: str, *, content: Any = None, headers: Any = None) -> Answer:
        return self.request("POST", url, content=content, headers=headers)

    def get(self, url: str, *, headers: Any = None) -> Answer:
        return self.request("GET", url, headers=headers)

    def close(self) -> None:
        if self._owned and self._client is not None:
            self._client.close()
