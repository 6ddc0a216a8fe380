"""`quillmarsh batch` and `quillmarsh check`: every bad line reported with its file line before
anything is sent, what was not sent told apart from what failed, retries, Ctrl-C."""

import json
import os
import signal
import subprocess
import sys
import time

import pytest
from cli_support import one_line, posts, signal_record
from fakes import service_record

from quillmarsh import devservice

pytestmark = pytest.mark.python_layers

DEEP = "rank(ts_mean(ts_std(ts_max(close, 5), 5), 5))"  # deeper than the catalog's limit


def answer(count, start=0):
    return {
        "results": [{"index": i, "status_code": 202, "body": {"submission_id": f"s-{start + i}"}} for i in range(count)]
    }


def test_every_bad_line_is_reported_with_its_file_line_and_nothing_is_sent(run, http_server):
    lines = [signal_record(), "{not json", signal_record(metaparameter={}), signal_record(graph=DEEP), signal_record()]
    status, out, err = run("batch", "FILE", "--format", "json", file=lines)
    assert status == 2 and posts(http_server) == []
    with pytest.raises(json.JSONDecodeError) as parse_error:  # the host's own words
        json.loads("{not json")
    assert err.splitlines()[:3] == [
        f"quillmarsh: batch: FILE:2: invalid JSON: {parse_error.value}",
        "quillmarsh: batch: FILE:3: unknown field 'metaparameter' (did you mean 'metaparameters'?)",
        "quillmarsh: batch: FILE:4: graph is 5 levels deep; era 3 allows at most 4",
    ]
    assert "nothing was sent: 3 of 5 lines cannot be sent" in err and "--skip-invalid" in err
    outcomes = {line["line"]: line["outcome"] for line in json.loads(out)["lines"]}
    assert outcomes == {1: "not_sent", 2: "invalid", 3: "invalid", 4: "invalid", 5: "not_sent"}


def test_a_line_the_service_would_refuse_as_a_whole_request_is_refused_before_sending(run, http_server):
    deep = {}
    for _ in range(70):
        deep = {"x": deep}
    lines = [
        signal_record(),
        signal_record(metaparameters={"window": 2**60}),
        '{"graph": ' + "[" * 100_000 + "]" * 100_000 + "}",
        json.dumps(signal_record(metaparameters={"tag": "\ud800"})),
        signal_record(metaparameters=deep),
    ]
    status, out, err = run("batch", "FILE", "--format", "json", file=lines)
    assert status == 2 and posts(http_server) == []
    assert err.splitlines()[:4] == [
        "quillmarsh: batch: FILE:2: metaparameters.window is 1152921504606846976, beyond +-(2**53 - 1), the largest "
        "integer the service takes exactly",
        "quillmarsh: batch: FILE:3: nested too deep to read",
        "quillmarsh: batch: FILE:4: metaparameters.tag holds a lone UTF-16 surrogate, which the service cannot store",
        "quillmarsh: batch: FILE:5: metaparameters is nested deeper than the 64 levels the service takes",
    ]


def test_skip_invalid_sends_the_others_and_reports_each_line(run, http_server):
    http_server.respond(202, answer(2), method="POST", path="/signals/batch")
    lines = [signal_record(), signal_record(graph=DEEP), signal_record(is_pnl_mi=0.5)]
    status, out, err = run("batch", "FILE", "--format", "json", "--skip-invalid", file=lines)
    document = json.loads(out)
    assert status == 1 and (document["accepted"], document["invalid"]) == (2, 1)
    assert [(line["line"], line["outcome"], line["submission_id"]) for line in document["lines"]] == [
        (1, "accepted", "s-0"),
        (2, "invalid", None),
        (3, "accepted", "s-1"),
    ]
    [(_, sent)] = posts(http_server)
    assert [s["is_pnl_mi"] for s in sent["signals"]] == [0.4, 0.5]


def test_more_than_twenty_bad_lines_are_counted(run):
    status, out, err = run("batch", "FILE", file=[signal_record(graph=DEEP)] * 25)
    assert status == 1 and len(err.splitlines()) == 22 and "... and 5 more lines refused" in err


@pytest.mark.parametrize(
    "retries, outcome",
    [("0", {"accepted": 100, "failed": 100, "not_sent": 50}), ("2", {"accepted": 250, "failed": 0, "not_sent": 0})],
)
def test_a_failing_chunk_stops_the_batch_unless_a_retry_gets_it_through(run, http_server, retries, outcome):
    http_server.respond(202, answer(100), method="POST", path="/signals/batch")
    http_server.respond(503, {"error": "busy"}, method="POST", path="/signals/batch", headers=[("Retry-After", "0")])
    http_server.respond(202, answer(100, 100), method="POST", path="/signals/batch")
    http_server.respond(202, answer(50, 200), method="POST", path="/signals/batch")
    lines = [signal_record(is_pnl_mi=0.1 + i / 1000) for i in range(250)]
    status, out, err = run("batch", "FILE", "--format", "json", "--retries", retries, file=lines)
    document = json.loads(out)
    assert {k: document[k] for k in outcome} == outcome and status == (0 if retries != "0" else 1)
    if retries == "0":
        assert "chunk of lines 101-200: rejected by the service (HTTP 503 busy)" in err
        assert "50 not sent" in err and "re-running the same file is safe" in err
        assert {line["outcome"] for line in document["lines"][200:]} == {"not_sent"}


def test_progress_on_a_terminal(run, http_server, monkeypatch):
    monkeypatch.setenv("FORCE_COLOR", "1")  # rich then treats the captured streams as a terminal
    http_server.respond(202, answer(100), method="POST", path="/signals/batch")
    http_server.respond(202, answer(50, 100), method="POST", path="/signals/batch")
    status, out, err = run("batch", "FILE", "--format", "json", file=[signal_record()] * 150)
    assert (status, json.loads(out)["accepted"]) == (0, 150)
    assert "150/150" in err and [len(sent["signals"]) for _, sent in posts(http_server)] == [100, 50]


def test_check_prints_what_would_be_posted_and_sends_nothing(run, http_server):
    status, out, err = run("check", "FILE", "--format", "json", file=signal_record())
    [single] = json.loads(out)["signals"]
    assert status == 0 and (single["endpoint"], single["ok"]) == ("signals/submit", True)
    assert single["idempotency_key_header"] == single["body"]["idempotency_key"]
    assert single["wire"] == json.dumps(single["body"])  # the exact bytes submit would post
    status, out, err = run("check", "FILE", "--format", "json", file=[signal_record(), signal_record(graph=DEEP)])
    document = json.loads(out)
    assert status == 1 and document["sent"] is False and "FILE:2: graph is 5 levels deep" in err
    assert [(s["line"], s["ok"], s.get("endpoint")) for s in document["signals"]] == [
        (1, True, "signals/batch"),
        (2, False, None),
    ]
    assert document["signals"][0]["idempotency_key_header"] is None  # batch items carry their keys inside
    assert posts(http_server) == []


def write_signals(path, count):
    path.write_text("".join(json.dumps(service_record(n)) + "\n" for n in range(count)))


@pytest.mark.parametrize("retries", [4, 0])
def test_a_batch_against_a_service_failing_every_third_request(tmp_path, capsys, retries):
    from quillmarsh import cli

    write_signals(tmp_path / "signals.jsonl", 300)
    with devservice.start(fail_every=3) as service:
        argv = [
            "--base-url",
            service.url,
            f"--token={service.token}",
            "--format",
            "json",
            "--retries",
            str(retries),
            "batch",
            str(tmp_path / "signals.jsonl"),
        ]
        status = cli.main(argv)
        document = json.loads(capsys.readouterr().out)
        if retries:
            assert (status, document["accepted"], service.store.count()) == (0, 300, 300)
        else:  # the catalog read was the 1st request, the 2nd chunk the 3rd: 100 accepted, 100 failed
            assert (status, document["accepted"], document["failed"], document["not_sent"]) == (1, 100, 100, 100)
            not_sent = [line["line"] for line in document["lines"] if line["outcome"] == "not_sent"]
            assert not_sent == list(range(201, 301)) and service.store.count() == 100


# `python -m quillmarsh` taking Ctrl-C even when started by a runner that ignores SIGINT (one in the background)
TAKES_CTRL_C = (
    "import runpy, signal; signal.signal(signal.SIGINT, signal.default_int_handler); "
    "runpy.run_module('quillmarsh', run_name='__main__', alter_sys=True)"
)


@pytest.mark.whole_system  # a CLI process interrupted while a service answers it: timing-dependent under load
@pytest.mark.parametrize("concurrency", ["1", "4"])
def test_ctrl_c_reports_what_was_accepted_and_that_rerunning_is_safe(tmp_path, concurrency):
    total = 6000  # 60 chunks at 0.2 s each: still running when a loaded machine gets round to Ctrl-C
    write_signals(tmp_path / "signals.jsonl", total)
    with devservice.start(latency=0.2) as service:
        env = {**os.environ, "QUILLMARSH_BASE_URL": service.url, "QUILLMARSH_TOKEN": service.token}
        child = subprocess.Popen(
            [
                sys.executable,
                "-c",
                TAKES_CTRL_C,
                "--format",
                "json",
                "batch",
                str(tmp_path / "signals.jsonl"),
                "--concurrency",
                concurrency,
            ],
            env=env,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        deadline = time.monotonic() + 60
        started = (int(concurrency) + 1) * 100  # a chunk was answered before the last of these was sent
        while service.store.count() < started and time.monotonic() < deadline and child.poll() is None:
            time.sleep(0.05)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
        stored = service.store.count()
    document = json.loads(out)
    assert child.returncode == 130 and 0 < document["accepted"] < total and document["accepted"] <= stored
    assert "interrupted:" in err and "re-running the same file is safe" in err
    assert document["not_sent"] + document["accepted"] + document["unknown"] == total


# --- --concurrency ------------------------------------------------------------------------------


def chunk_lines(document, outcome):
    return [line["line"] for line in document["lines"] if line["outcome"] == outcome]


@pytest.mark.parametrize(
    "value, message",
    [
        ("0", "must be 1 or more, got '0'"),
        ("-3", "must be 1 or more, got '-3'"),
        ("two", "not a whole number: 'two'"),
        ("1.5", "not a whole number: '1.5'"),
    ],
)
def test_a_concurrency_that_is_no_positive_whole_number_is_a_usage_error(run, http_server, value, message):
    status, out, err = run("batch", "FILE", "--concurrency", value, file=[signal_record()])
    assert (status, out, http_server.requests) == (2, "", [])
    assert f"argument --concurrency: {message}" in one_line(err)


def test_chunks_in_flight_at_once_end_as_chunks_sent_one_by_one(tmp_path, capsys):
    """350 signals against the local service; lines 2 and 3 share an idempotency key, so the
    service refuses line 3 within its chunk's answer."""
    from quillmarsh import cli

    path = tmp_path / "signals.jsonl"
    write_signals(path, 350)
    lines = path.read_text().splitlines()
    for number in (2, 3):
        lines[number - 1] = json.dumps({**json.loads(lines[number - 1]), "idempotency_key": "shared-key"})
    path.write_text("\n".join(lines))
    seen = {}
    for concurrency in ("1", "4"):
        with devservice.start() as service:
            status = cli.main(
                [
                    "--base-url",
                    service.url,
                    f"--token={service.token}",
                    "--format",
                    "json",
                    "batch",
                    str(path),
                    "--concurrency",
                    concurrency,
                ]
            )
            document = json.loads(capsys.readouterr().out)
            seen[concurrency] = (
                status,
                {k: document[k] for k in ("accepted", "failed", "not_sent", "unknown")},
                [
                    (line["line"], line["outcome"], line["status_code"], line["idempotency_key"])
                    for line in document["lines"]
                ],
                service.store.count(),
            )
    assert seen["4"] == seen["1"]
    status, counts, lines, stored = seen["4"]
    assert (status, counts, stored) == (1, {"accepted": 349, "failed": 1, "not_sent": 0, "unknown": 0}, 349)
    assert lines[2][:3] == (3, "failed", 409)


# (what the service answers every chunk, what becomes of its signals, the cause told for each, the status recorded,
# whether the SDK maps the failure into the chunk's result or it ends the batch)
WHOLE_CHUNK_FAILURES = {
    "refused": (
        {"status": 503, "body": {"error": "busy"}},
        "failed",
        "rejected by the service (HTTP 503 busy)",
        503,
        True,
    ),
    "token_refused": (
        {"status": 401, "body": {"error": "unauthorized"}},
        "failed",
        "the service refused the token (HTTP 401 Unauthorized): check the token",
        401,
        True,
    ),
    "not_json": (
        {"status": 200, "body": "<html>gateway</html>", "content_type": "text/html"},
        "unknown",
        "unreadable answer (200 OK)",
        None,
        False,
    ),
    "over_the_answer_cap": (
        {"status": 202, "body": {**answer(100), "pad": "x" * (2 << 20)}},
        "unknown",
        "unreadable answer (202 Accepted)",
        None,
        False,
    ),
    "undecodable": (
        {"status": 202, "body": answer(100), "headers": [("Content-Encoding", "br")]},
        "unknown",
        "cannot reach {url}: unsupported content encoding 'br'",
        0,
        True,
    ),
}


@pytest.mark.parametrize("concurrency, failed_chunks", [("1", 1), ("2", 2)])
@pytest.mark.parametrize(
    "response, outcome, cause, status_code, mapped", WHOLE_CHUNK_FAILURES.values(), ids=WHOLE_CHUNK_FAILURES
)
def test_a_chunk_failing_as_a_whole_stops_the_batch(
    run, http_server, monkeypatch, concurrency, failed_chunks, response, outcome, cause, status_code, mapped
):
    monkeypatch.setattr("quillmarsh.transports.DEFAULT_MAX_ANSWER_BYTES", 1 << 20)
    http_server.respond(**response, method="POST", path="/signals/batch", times=None)
    status, out, err = run(
        "batch",
        "FILE",
        "--format",
        "json",
        "--retries",
        "0",
        "--concurrency",
        concurrency,
        file=[signal_record(is_pnl_mi=0.1 + i / 1000) for i in range(250)],
    )
    document = json.loads(out)
    failed = failed_chunks * 100
    assert status == 1 and len(posts(http_server)) == failed_chunks
    assert chunk_lines(document, outcome) == list(range(1, failed + 1))
    assert chunk_lines(document, "not_sent") == list(range(failed + 1, 251))
    cause = cause.format(url=http_server.url)
    assert {line["error"] for line in document["lines"][:failed]} == {cause}
    if mapped:  # each chunk's failure told as it settles; unmapped, the first ends the batch
        assert {line["status_code"] for line in document["lines"][:failed]} == {status_code}
        reported = [f"chunk of lines {start}-{start + 99}: {cause}" for start in range(1, failed, 100)]
        assert sorted(line.split(": ", 2)[2] for line in err.splitlines() if "chunk of lines" in line) == reported
    else:
        assert f"the batch stopped: {cause}" in err
    assert f"{250 - failed} not sent" in err


@pytest.mark.parametrize("concurrency", ["1", "3"])
def test_a_retry_gets_a_chunk_through_with_chunks_in_flight(run, http_server, concurrency):
    http_server.respond(503, {"error": "busy"}, method="POST", path="/signals/batch", headers=[("Retry-After", "0")])
    http_server.respond(202, answer(100), method="POST", path="/signals/batch", times=None)
    status, out, _ = run(
        "batch",
        "FILE",
        "--format",
        "json",
        "--retries",
        "1",
        "--concurrency",
        concurrency,
        file=[signal_record(is_pnl_mi=0.1 + i / 1000) for i in range(250)],
    )
    assert (status, json.loads(out)["accepted"], len(posts(http_server))) == (0, 250, 4)
