"""``AiohttpTransport``: an asynchronous transport on aiohttp, for ``AsyncSignalClient`` (its
default) and ``AsyncSignalServiceClient(transport=...)``.

httpx's asyncio stack costs a client several times the CPU of the request itself; aiohttp's
is a fraction of it. This transport keeps what the client relies on from httpx:

- the same contract as the other transports: ``post``/``get``/``request`` coroutines taking the
  path of each request (resolved against the origin given here), answering an ``Answer``
  (``status_code``, ``content``, ``headers``); ``aclose()``;
- answers read and decoded step by step up to ``max_answer_bytes`` (aiohttp's own
  decompression is off: a decompression bomb never expands past the limit), as
  ``AsyncBoundedTransport`` does;
- failures raised as httpx's exceptions (``httpx.ConnectError``, ``httpx.ReadTimeout``,
  ``httpx.RemoteProtocolError`` ...), so the client maps them to results with ``status_code``
  0 and ``RetryingTransport`` retries the same ones: no aiohttp exception reaches a caller;
- timeouts from an ``httpx.Timeout`` (connect, read) or a number of seconds, and ``total`` for
  a bound on each whole request;
- certificates exactly as httpx takes them (``httpx.create_ssl_context``: ``SSL_CERT_FILE``,
  ``SSL_CERT_DIR``, else certifi's bundle; https verified), proxies from ``HTTP_PROXY``,
  ``HTTPS_PROXY``, ``ALL_PROXY`` and ``NO_PROXY``; no redirect followed;
- a request body handed over as a stream (the client's observed body) is read by aiohttp while
  it writes the request, so the transmission observer learns of it when it goes on the wire;
  it is sent with its ``Content-Length``, like any other body.
"""

from __future__ import annotations

import urllib.request
from typing import Any

import httpx

from quillmarsh import transports
from quillmarsh.transports import Answer, _Decoder, _TooLarge

__all__ = ["AiohttpTransport"]

_READ_PIECE = 64 * 1024


def _timeout(timeout: Any, total: float | None) -> Any:
    import aiohttp

    if not isinstance(timeout, httpx.Timeout):
        timeout = httpx.Timeout(timeout)
    return aiohttp.ClientTimeout(total=total, sock_connect=timeout.connect, sock_read=timeout.read)


def _failure(exc: BaseException) -> httpx.TransportError:
    """An aiohttp (or socket) failure as the httpx exception of the same meaning."""
    import aiohttp

    message = str(exc) or type(exc).__name__
    kinds: list[tuple[Any, type[httpx.TransportError]]] = [
        (aiohttp.ConnectionTimeoutError, httpx.ConnectTimeout),
        (TimeoutError, httpx.ReadTimeout),
        ((aiohttp.ClientProxyConnectionError, aiohttp.ClientHttpProxyError), httpx.ProxyError),
        (aiohttp.ClientConnectorError, httpx.ConnectError),
        (
            (aiohttp.ServerDisconnectedError, aiohttp.ClientPayloadError, aiohttp.ClientResponseError),
            httpx.RemoteProtocolError,
        ),
        ((aiohttp.InvalidUrlClientError, aiohttp.NonHttpUrlClientError), httpx.UnsupportedProtocol),
        (OSError, httpx.ReadError),
    ]
    for types, mapped in kinds:
        if isinstance(exc, types):
            return mapped(message)
    return httpx.TransportError(message)


def _proxy(url: str) -> str | None:
    """The proxy the environment names for ``url``, as httpx reads it: the proxy of the URL's
    scheme (``HTTP_PROXY``, ``HTTPS_PROXY``), else ``ALL_PROXY``, unless ``NO_PROXY`` exempts
    its host. Read once: aiohttp would read the environment again in a thread for every request."""
    from urllib.parse import urlsplit

    proxies = urllib.request.getproxies()
    if urllib.request.proxy_bypass(urlsplit(url).hostname or ""):
        return None
    return proxies.get(url.split("://", 1)[0].lower()) or proxies.get("all")


class AiohttpTransport:
    """Requests through one ``aiohttp.ClientSession`` of ``max_connections`` connections to
    ``base_url``'s origin, built on first use (in the event loop that uses it)."""

    def __init__(
        self,
        base_url: str,
        *,
        timeout: Any = 30.0,
        max_answer_bytes: int | None = None,
        max_connections: int = 100,
        total_timeout: float | None = None,
        verify: bool = True,
    ) -> None:
        if max_answer_bytes is None:
            max_answer_bytes = transports.DEFAULT_MAX_ANSWER_BYTES
        if max_answer_bytes < 1:
            raise ValueError("max_answer_bytes must be at least 1")
        self.base_url = base_url.rstrip("/")
        self.max_answer_bytes = max_answer_bytes
        self._timeout, self._total = timeout, total_timeout
        self._max_connections, self._verify = max_connections, verify
        self._session: Any = None
        self._proxy = _proxy(self.base_url)
        self._held = 0  # bytes of the answers being read now

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.base_url!r})"

    def _open(self) -> Any:
        import aiohttp

        ssl_context: Any = False
        if self.base_url.lower().startswith("https://"):
            ssl_context = httpx.create_ssl_context(verify=self._verify, trust_env=True)
        connector = aiohttp.TCPConnector(limit=self._max_connections, ssl=ssl_context, keepalive_timeout=5.0)
        self._session = aiohttp.ClientSession(
            connector=connector,
            auto_decompress=False,
            trust_env=False,
            timeout=_timeout(self._timeout, self._total),
            raise_for_status=False,
        )
        return self._session

    async def request(self, method: str, url: str, *, content: Any = None, headers: Any = None) -> Answer:
        import aiohttp
        import yarl

        session = self._session or self._open()
        if isinstance(headers, dict):
            asking = dict(headers)
        else:
            asking = dict(httpx.Headers(headers).multi_items()) if headers is not None else {}
        asking.setdefault("Accept-Encoding", "gzip, deflate")  # only what this transport decodes itself
        data = content
        if content is not None and not isinstance(content, (bytes, bytearray, memoryview, str)):
            size = getattr(content, "size", None)
            if callable(size):
                asking["Content-Length"] = str(size())  # a stream of known length goes out as itself
        elif isinstance(content, str):
            data = content.encode("utf-8")
        try:
            async with session.request(
                method,
                yarl.URL(self.base_url + url, encoded=True),
                data=data,
                headers=asking,
                allow_redirects=False,
                proxy=self._proxy,
            ) as response:
                return Answer(response.status, await self._read(response), response.headers)
        except (aiohttp.ClientError, OSError, TimeoutError) as exc:
            raise _failure(exc) from exc

    async def _read(self, response: Any) -> bytes:
        """The answer's body, decoded; ``max_answer_bytes`` bounds what all the answers read at
        once hold together, so answers read concurrently cannot hold more than one would."""
        encoding = response.headers.get("Content-Encoding", "")
        length = response.content_length
        if not encoding and length is not None and self._held + length <= self.max_answer_bytes:
            self._held += length
            try:
                return bytes(await response.read())  # its length, no more
            finally:
                self._held -= length
        decoder = _Decoder(encoding, self.max_answer_bytes - self._held)
        counted = 0
        try:
            async for piece in response.content.iter_chunked(_READ_PIECE):
                decoder.feed(piece)
                self._held += decoder.size - counted
                counted = decoder.size
            return decoder.body()
        except _TooLarge:
            return f"answer not read: larger than {self.max_answer_bytes} bytes".encode()
        finally:
            self._held -= counted

    async def post(self, url: str, *, content: Any = None, headers: Any = None) -> Answer:
        return await self.request("POST", url, content=content, headers=headers)

    async def get(self, url: str, *, headers: Any = None) -> Answer:
        return await self.request("GET", url, headers=headers)

    async def aclose(self) -> None:
        session, self._session = self._session, None
        if session is not None:
            await session.close()
