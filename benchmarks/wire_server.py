"""A minimal HTTP/1.1 server on asyncio for the client benchmarks: the least a server can do, so
that what is measured is the client. It answers ``GET /eras`` with the benchmark catalog and
every POST with a 202 acceptance (a batch: one accepted item per signal), each after
``--latency`` seconds, on keep-alive connections; it prints ``PORT=<port>`` once it listens.

    python benchmarks/wire_server.py [--latency S]
"""

from __future__ import annotations

import argparse
import asyncio
import itertools
import json

from workload import CATALOG_BYTES

_ids = itertools.count()


def _answer(method: bytes, path: bytes, body: bytes) -> bytes:
    if method == b"GET":
        return CATALOG_BYTES
    if path.endswith(b"/batch"):
        count = body.count(b'"idempotency_key"')
        return json.dumps(
            {
                "accepted": count,
                "failed": 0,
                "results": [
                    {"index": i, "status_code": 202, "body": {"submission_id": f"sub-{next(_ids)}"}}
                    for i in range(count)
                ],
            }
        ).encode()
    return b'{"submission_id": "sub-%d", "status": "queued", "signal_pool_id": "sp-1"}' % next(_ids)


class Connection(asyncio.Protocol):
    def __init__(self, latency: float) -> None:
        self.latency = latency
        self.buffer = b""

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = transport  # type: ignore[assignment]

    def data_received(self, data: bytes) -> None:
        self.buffer += data
        while True:
            head_end = self.buffer.find(b"\r\n\r\n")
            if head_end < 0:
                return
            head = self.buffer[:head_end].split(b"\r\n")
            length = 0
            for line in head[1:]:
                name, _, value = line.partition(b":")
                if name.strip().lower() == b"content-length":
                    length = int(value)
            if len(self.buffer) < head_end + 4 + length:
                return
            body = self.buffer[head_end + 4 : head_end + 4 + length]
            self.buffer = self.buffer[head_end + 4 + length :]
            method, path, _ = head[0].split(b" ", 2)
            status = b"200 OK" if method == b"GET" else b"202 Accepted"
            payload = _answer(method, path, body)
            reply = (
                b"HTTP/1.1 %s\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n" % (status, len(payload))
            ) + payload
            if self.latency:
                asyncio.get_running_loop().call_later(self.latency, self._send, reply)
            else:
                self.transport.write(reply)  # type: ignore[attr-defined]

    def _send(self, reply: bytes) -> None:
        if not self.transport.is_closing():
            self.transport.write(reply)  # type: ignore[attr-defined]


async def serve(latency: float) -> None:
    server = await asyncio.get_running_loop().create_server(lambda: Connection(latency), "127.0.0.1", 0, backlog=1024)
    print(f"PORT={server.sockets[0].getsockname()[1]}", flush=True)
    await server.serve_forever()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--latency", type=float, default=0.0)
    asyncio.run(serve(parser.parse_args().latency))
