"""The local service at an agent's scale, on loopback, run as its command line runs it: a
thousand submissions in flight at once, each answered after --latency, all accepted; fifteen
hundred idle connections held open while other clients are served; its peak memory bounded
through both."""

import asyncio
import json
import socket
from pathlib import Path

import aiohttp
import httpx
import pytest
from fakes import service_body
from helpers import start_devservice, stop_devservice

pytestmark = pytest.mark.python_layers

TOKEN = "capacity"
MEMORY_MB = 400


@pytest.fixture
def serve():
    """`serve(*options)`: the service's process and its URL; stopped after the test, with no traceback."""
    started = []

    def run(*options):
        process, printed = start_devservice(f"--token={TOKEN}", *options)
        started.append(process)
        return process, printed["QUILLMARSH_BASE_URL"]

    yield run
    for process in started:
        assert "Traceback" not in stop_devservice(process)


def peak_mb(process):
    status = Path(f"/proc/{process.pid}/status").read_text()
    return int(next(line for line in status.splitlines() if line.startswith("VmHWM:")).split()[1]) / 1024


@pytest.mark.whole_system
def test_a_thousand_submissions_in_flight_are_all_accepted(serve):
    process, url = serve("--latency", "0.2")

    async def submit_all():
        connector = aiohttp.TCPConnector(limit=0)  # a connection each: all thousand in flight at once
        async with aiohttp.ClientSession(connector=connector, timeout=aiohttp.ClientTimeout(total=120)) as session:

            async def one(n):
                try:
                    async with session.post(
                        f"{url}/signals/submit", json=service_body(n), headers={"Authorization": f"Bearer {TOKEN}"}
                    ) as answer:
                        return answer.status, (await answer.json())["submission_id"]
                except (aiohttp.ClientError, OSError) as exc:  # a reset or a connection closed unanswered
                    return type(exc).__name__, None

            return await asyncio.gather(*(one(n) for n in range(1000)))

    answers = asyncio.run(submit_all())
    assert [status for status, _ in answers] == [202] * 1000
    assert len({submission_id for _, submission_id in answers}) == 1000
    assert peak_mb(process) < MEMORY_MB


@pytest.mark.whole_system
def test_fifteen_hundred_idle_connections_are_held_while_others_are_served(serve):
    process, url = serve()
    host, port = url.rsplit("//", 1)[1].rsplit(":", 1)
    idle = [socket.create_connection((host, int(port)), timeout=10) for _ in range(1500)]
    try:
        with httpx.Client(base_url=url, headers={"Authorization": f"Bearer {TOKEN}"}, timeout=30) as http:
            statuses = [
                http.post("/signals/submit", content=json.dumps(service_body(n))).status_code for n in range(100)
            ]
        for sock in idle:  # still open: nothing to read, and no end of stream
            sock.setblocking(False)
            with pytest.raises(BlockingIOError):
                sock.recv(1)
    finally:
        for sock in idle:
            sock.close()
    assert statuses == [202] * 100
    assert peak_mb(process) < MEMORY_MB
