"""Answers of a broken or hostile service: nested too deep to parse, corrupt encodings,
decompression bombs; and polling with a timeout that can never expire."""

import asyncio
import gzip
import json
import math
import tracemalloc

import pytest
from fakes import FakeResponse, RecordingTransport, signal_catalog, signal_kwargs

from quillmarsh import cli, submit
from quillmarsh.signal_types import BatchSubmitResult, StatusResult, SubmissionListResult, SubmitResult
from quillmarsh.transports import BoundedTransport

DEEP = b"[" * 100_000 + b"]" * 100_000
BOMB = gzip.compress(gzip.compress(b" " * 200_000_000))  # about 200 KB, 200 MB once decoded


def operations(client, record_timing):
    return {
        "submit_signal": lambda: (
            record_timing(),
            client.submit_signal("rank(ts_mean(close, 5))", "us_top", **signal_kwargs()),
        )[1],
        "submit_signals_batch": lambda: client.submit_signals_batch([]),
        "get_signal_status": lambda: client.get_signal_status("s-1"),
        "list_signal_submissions": lambda: client.list_signal_submissions(),
    }


RESULTS = {
    "submit_signal": SubmitResult,
    "submit_signals_batch": BatchSubmitResult,
    "get_signal_status": StatusResult,
    "list_signal_submissions": SubmissionListResult,
}


@pytest.mark.parametrize("operation", list(RESULTS))
def test_an_answer_nested_too_deep_is_a_malformed_answer(operation, record_timing, caplog):
    transport = RecordingTransport(FakeResponse(422, DEEP), FakeResponse(200, DEEP))
    client = submit.SignalServiceClient("https://signals.example", "tok", transport=transport)
    client._era_catalog_cache = signal_catalog()
    call = operations(client, record_timing)[operation]
    result = call()  # 422: mapped like any unreadable 4xx answer
    assert type(result) is RESULTS[operation] and result.status_code == 422
    with pytest.raises(submit.SignalClientResponseError, match="Malformed JSON response") as caught:
        call()  # 200: an unreadable success is raised, as for any malformed body
    assert isinstance(caught.value.__cause__, RecursionError) and caught.value.raw_body == DEEP
    assert [r.levelname for r in caplog.records if r.name == "quillmarsh.submit"] == ["WARNING", "WARNING"]


def test_corrupt_content_encoding_is_a_transport_failure(http_server, record_timing):
    """httpx reports it as a DecodingError, a RequestError that is not a TransportError."""
    http_server.respond(200, b"not gzip at all", headers=[("Content-Encoding", "gzip")], times=None)
    client = submit.SignalServiceClient(http_server.url, "tok")
    client._era_catalog_cache = signal_catalog()
    for name, call in operations(client, record_timing).items():
        result = call()
        assert (type(result), result.status_code) == (RESULTS[name], 0), name
        assert "decompress" in result.error.lower() or "gzip" in result.error.lower()


def test_poll_refuses_a_nan_timeout_before_any_request(monkeypatch):
    transport = RecordingTransport()
    client = submit.SignalServiceClient("https://signals.example", "tok", transport=transport)
    with pytest.raises(ValueError, match="timeout must be a number of seconds, not NaN"):
        client.poll_until_terminal("s-1", timeout=math.nan)
    assert transport.calls == []


def test_poll_with_an_infinite_timeout_waits_for_a_terminal_status(monkeypatch):
    statuses = ["queued", "simulating", "simulating", "signal_os_passed"]
    transport = RecordingTransport(*(FakeResponse(200, {"status": s}) for s in statuses))
    sleeps = []
    monkeypatch.setattr(submit.time, "sleep", sleeps.append)
    result = submit.SignalServiceClient("https://s.example", "tok", transport=transport).poll_until_terminal(
        "s-1", timeout=math.inf
    )
    assert (result.status, sleeps) == ("signal_os_passed", [0.1, 0.1, 0.1])


@pytest.mark.parametrize("odd_status", [{"state": "queued"}, ["queued"]])
def test_poll_reads_a_status_that_is_no_string_as_not_terminal(monkeypatch, odd_status):
    """Both raw clients: an object or array where the status belongs keeps polling to the deadline."""
    from fakes import AsyncTransport

    from quillmarsh.async_client import AsyncSignalServiceClient

    monkeypatch.setattr(submit, "_POLL_INTERVAL_SECONDS", 0.001)
    answers = [{"status": odd_status}, {"status": odd_status}, {"status": "signal_found"}]
    sync = submit.SignalServiceClient(
        "https://s.example", "tok", transport=RecordingTransport(*(FakeResponse(200, a) for a in answers))
    )
    asynchronous = AsyncSignalServiceClient(
        "https://s.example", "tok", transport=AsyncTransport(*(FakeResponse(200, a) for a in answers))
    )
    assert sync.poll_until_terminal("s-1", timeout=30).status == "signal_found"
    assert asyncio.run(asynchronous.poll_until_terminal("s-1", timeout=30)).status == "signal_found"


def peak_while(call):
    tracemalloc.start()
    try:
        outcome = call()
        return outcome, tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize(
    "body, headers, limit, readable",
    [
        (BOMB, [("Content-Encoding", "gzip, gzip")], 1 << 20, False),
        (b" " * (2 << 20), [], 1 << 20, False),
        (gzip.compress(json.dumps({"status": "queued"}).encode()), [("Content-Encoding", "gzip")], 1 << 20, True),
        (json.dumps({"status": "queued", "pad": "x" * 1000}).encode(), [], 1031, True),  # exactly the limit
    ],
)
def test_bounded_transport_reads_at_most_its_limit(http_server, body, headers, limit, readable):
    http_server.respond(200, body, headers=headers)
    transport = BoundedTransport(base_url=http_server.url, max_answer_bytes=limit)
    client = submit.SignalServiceClient(http_server.url, "tok", transport=transport)
    try:
        result, peak = peak_while(lambda: client.get_signal_status("s-1"))
    except submit.SignalClientResponseError as exc:  # a 200 answer that is not JSON is raised
        assert not readable and b"larger than" in exc.raw_body
        peak = 0
    else:
        assert readable and result.status == "queued"
    assert peak < limit + (4 << 20)


@pytest.mark.parametrize(
    "headers, message",
    [
        ([("Content-Encoding", "br")], "unsupported content encoding 'br'"),
        ([("Content-Encoding", "gzip, " * 5 + "gzip")], "6 content encodings stacked on one answer"),
    ],
)
def test_bounded_transport_refuses_encodings_it_did_not_ask_for(http_server, headers, message):
    http_server.respond(404, b"{}", headers=headers)
    transport = BoundedTransport(base_url=http_server.url)
    result = submit.SignalServiceClient(http_server.url, "tok", transport=transport).get_signal_status("s-1")
    assert (result.status_code, result.error) == (0, message)
    assert http_server.requests[0].header("Accept-Encoding") == "gzip, deflate"


def test_cli_caps_a_decompression_bomb(http_server, monkeypatch, capsys):
    http_server.respond(404, BOMB, headers=[("Content-Encoding", "gzip, gzip")])
    monkeypatch.setattr("quillmarsh.transports.DEFAULT_MAX_ANSWER_BYTES", 1 << 20)
    status, peak = peak_while(
        lambda: cli.main(["--base-url", http_server.url, "--token", "t", "--format", "json", "status", "s-1"])
    )
    out, err = capsys.readouterr()
    assert status == 1 and json.loads(out)["status_code"] == 404 and peak < 16 << 20


def test_default_transport_has_no_limit_of_its_own(http_server):
    """The library's own transport reads what the service sends (see BoundedTransport)."""
    http_server.respond(200, gzip.compress(b" " * (3 << 20) + b"{}"), headers=[("Content-Encoding", "gzip")])
    assert submit.SignalServiceClient(http_server.url, "tok").get_signal_status("s").status_code == 200
