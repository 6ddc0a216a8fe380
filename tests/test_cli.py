"""The quillmarsh command line against the scripted server on 127.0.0.1: exit statuses, the JSON
and table outputs, what reaches the wire, one-line errors."""

import json
import socket
import sys
import types

import pytest
from conftest import SIGNAL_GRAPH, signal_catalog, signal_kwargs

from quillmarsh import _backtest_timing, cli

TIMING = {"row_count": 100, "elapsed_seconds": 1.0, "max_row_elapsed_seconds": 0.01}


def signal_record(**overrides):
    return {"graph": SIGNAL_GRAPH, "named_universe": "us_top", **signal_kwargs(), "backtest_timing": TIMING,
            **overrides}


STRATEGY = {"graph": SIGNAL_GRAPH, "named_universe": "us_top", "strategy_pool_name": "strat-a", "market_id": 7,
            "era_number": 3}


@pytest.fixture
def run(http_server, record_timing, monkeypatch, capsys, tmp_path):
    """`run(*argv, file=None)`: (exit status, stdout, stderr); `file` (a dict, or a list of lines
    for JSON Lines) is written to a file whose path replaces the argument "FILE"."""
    for name, value in (("QUILLMARSH_BASE_URL", http_server.url), ("QUILLMARSH_TOKEN", "tok-cli"),
                        ("COLUMNS", "200")):
        monkeypatch.setenv(name, value)
    monkeypatch.delenv("FORCE_COLOR", raising=False)
    http_server.respond(200, signal_catalog(), method="GET", path="/eras", times=None)

    def run(*argv, file=None):
        path = tmp_path / "input"
        if file is not None:
            text = "\n".join(json.dumps(line) for line in file) if isinstance(file, list) else json.dumps(file)
            path.write_text(text)
        status = cli.main([str(path) if a == "FILE" else a for a in argv])
        out, err = capsys.readouterr()
        return status, out, err

    return run


def posts(server):
    return [(r.path, json.loads(r.body)) for r in server.requests if r.method == "POST"]


def one_line(err):
    assert err.startswith("quillmarsh") and err.endswith("\n") and err.count("\n") == 1, err
    return err


@pytest.mark.parametrize("argv, file, message", [
    ((), None, "the following arguments are required: COMMAND"),
    (("submit",), None, "the following arguments are required: file"),
    (("submit", "/no/such/file"), None, "cannot read /no/such/file"),
    (("submit", "FILE"), "a text", "expected a JSON object, got str"),
    (("submit", "FILE"), {k: v for k, v in signal_record().items() if k != "backtest_timing"},
     "missing field 'backtest_timing'"),
    (("submit", "FILE"), signal_record(signal_pool_id="pool-a"), "unknown field 'signal_pool_id'"),
    (("submit", "FILE"), signal_record(backtest_timing={**TIMING, "elapsed_seconds": -1}),
     "backtest_timing: elapsed_seconds must be a finite non-negative number"),
    (("strategy", "FILE"), {k: v for k, v in STRATEGY.items() if k != "strategy_pool_name"},
     "missing field 'strategy_pool_name'"),
    (("batch", "FILE"), [signal_record(), {"graph": SIGNAL_GRAPH}], "line 2: missing fields"),
    (("batch", "FILE"), [], "no signals"),
    (("status", "s-1", "--base-url", "http://example.com"), None, "base URL refused"),
    (("poll", "s-1", "--timeout", "-1"), None, "argument --timeout: must be a finite number of seconds >= 0"),
    (("list", "--bogus"), None, "unrecognized arguments: --bogus"),
    (("list", "--request-timeout", "0"), None, "argument --request-timeout: must be a finite number of seconds > 0"),
    (("list", "--limit", "many"), None, "argument --limit: invalid int value"),
])
def test_usage_and_input_errors_exit_2_with_one_line(run, http_server, argv, file, message):
    status, out, err = run(*argv, file=file)
    assert (status, out) == (2, "")
    assert message in one_line(err)
    assert http_server.requests == []


@pytest.mark.parametrize("variable", ["QUILLMARSH_TOKEN", "QUILLMARSH_BASE_URL"])
def test_missing_connection_settings_exit_2(run, monkeypatch, variable):
    monkeypatch.delenv(variable)
    status, out, err = run("list")
    assert (status, out) == (2, "") and ("--token" if "TOKEN" in variable else "--base-url") in one_line(err)


def test_failed_timing_recording_takes_back_earlier_lines(run):
    bad = signal_record(graph="rank(open)", backtest_timing={**TIMING, "max_row_elapsed_seconds": 5.0})
    assert run("batch", "FILE", file=[signal_record(), bad])[0] == 2
    assert _backtest_timing.consume_recorded_backtest_timing(SIGNAL_GRAPH) is None


@pytest.mark.parametrize("status_code, body, content_type, exit_status, error", [
    (202, {"submission_id": "s-1", "signal_pool_id": "pool-7"}, "application/json", 0, None),
    (422, {"reason": "is_correlation_too_high"}, "application/json", 1, "is_correlation_too_high"),
    (503, b"<html>busy</html>", "text/html", 1, "<html>busy</html>"),  # mapped to a result by the client
    (500, b"<html>oops</html>", "text/html", 1, "<html>oops</html>"),  # raised by the client
])
def test_submit_json_output_and_wire(run, http_server, status_code, body, content_type, exit_status, error):
    http_server.respond(status_code, body, content_type=content_type, method="POST", path="/signals/submit")
    status, out, err = run("submit", "FILE", "--format", "json", file=signal_record())
    document = json.loads(out)
    assert (status, document["ok"], document["status_code"], document["error"]) == (
        exit_status, not exit_status, status_code, error)
    assert document.get("submission_id") == ("s-1" if status_code == 202 else None)
    assert err == "" if not exit_status else f"({status_code})" in one_line(err)
    (path, sent), = posts(http_server)
    assert path == "/signals/submit" and "backtest_timing" not in sent
    assert (sent["graph"], sent["named_universe"], sent["signal_pool_name"]) == (SIGNAL_GRAPH, "us_top", "pool-a")
    assert http_server.requests[-1].header("Authorization") == "Bearer tok-cli"


@pytest.mark.parametrize("status_code, body, exit_status, expected", [
    (202, {"submission_id": "s-1"}, 0, ["Submission accepted", "s-1"]),
    (409, {"reason": "duplicate_submission"}, 1, ["Submission rejected", "duplicate_submission", "409"]),
])
def test_submit_table_output(run, http_server, status_code, body, exit_status, expected):
    http_server.respond(status_code, body, method="POST", path="/signals/submit")
    status, out, err = run("--format", "table", "submit", "FILE", file=signal_record())
    assert status == exit_status and all(text in out for text in expected)
    assert err == "" if not exit_status else "duplicate_submission" in one_line(err)


@pytest.mark.parametrize("record, catalog_only, message", [
    (signal_record(thresholds={"min_sharpe": 0}), False, "caller-supplied thresholds are not accepted"),
    (signal_record(graph="rank(ts_mean(ts_std(ts_max(close, 5), 5), 5))"), True, "depth"),
    (signal_record(backtest_timing={**TIMING, "elapsed_seconds": 50.0}), True, "budget"),
])
def test_local_refusal_is_a_rejection_without_a_post(run, http_server, record, catalog_only, message):
    status, out, err = run("submit", "FILE", "--format", "json", file=record)
    assert status == 1 and message in one_line(err) and "refused before sending" in err
    document = json.loads(out)
    assert (document["ok"], document["status_code"], message in document["error"]) == (False, 0, True)
    assert [r.path for r in http_server.requests] == (["/eras"] if catalog_only else [])


def test_unreachable_service_exits_1(run, monkeypatch):
    with socket.socket() as unused:  # bound, never listening: connections are refused
        unused.bind(("127.0.0.1", 0))
        monkeypatch.setenv("QUILLMARSH_BASE_URL", f"http://127.0.0.1:{unused.getsockname()[1]}")
        status, out, err = run("status", "s-1", "--format", "json")
    assert status == 1 and json.loads(out)["status_code"] == 0 and "no answer from the service" in one_line(err)


@pytest.mark.parametrize("results, exit_status, message", [
    ([202, 202, 202], 0, None),
    ([202, 409, 202], 1, "1 of 3 signals not accepted"),
])
def test_batch(run, http_server, results, exit_status, message):
    items = [{"index": i, "status_code": code, "body": {"submission_id": f"s-{i}"} if code == 202 else
              {"reason": "duplicate"}} for i, code in enumerate(results)]
    http_server.respond(207 if exit_status else 202, {"results": items}, method="POST", path="/signals/batch")
    lines = [signal_record(is_pnl_mi=mi) for mi in (0.2, 0.3, 0.4)]  # one graph, recorded once per line
    status, out, err = run("batch", "FILE", file=lines)
    assert status == exit_status and "accepted" in out
    assert ("Failed signals" in out and "duplicate" in out and message in one_line(err)) if message else err == ""
    (path, sent), = posts(http_server)
    assert [s["is_pnl_mi"] for s in sent["signals"]] == [0.2, 0.3, 0.4]
    assert not any("backtest_timing" in s for s in sent["signals"])


def test_batch_progress_on_a_terminal_counts_transmitted_signals(run, http_server, monkeypatch):
    monkeypatch.setenv("FORCE_COLOR", "1")  # rich then treats the captured streams as a terminal
    for accepted in (100, 50):
        http_server.respond(202, {"accepted": accepted, "failed": 0, "results": []}, method="POST",
                            path="/signals/batch")
    status, out, err = run("batch", "FILE", "--format", "json", file=[signal_record()] * 150)
    assert (status, json.loads(out)["accepted"]) == (0, 150)
    assert "150/150" in err and [len(sent["signals"]) for _, sent in posts(http_server)] == [100, 50]


@pytest.mark.parametrize("argv, answer, exit_status, message", [
    (("status", "a b"), (200, {"status": "signal_os_passed", "is_pnl_mi": "Infinity"}), 0, None),
    (("status", "a b"), (404, {"error": "unknown_submission"}), 1, "rejected by the service (404): unknown_submission"),
    (("poll", "a b", "--timeout", "0"), (200, {"status": "signal_found"}), 0, None),
    (("poll", "a b", "--timeout", "0"), (200, {"status": "queued"}), 1, "no terminal status within 0s"),
])
def test_status_and_poll(run, http_server, argv, answer, exit_status, message):
    http_server.respond(*answer, path="/signals/status/a%20b", times=None)
    status, out, err = run(*argv, "--format", "json")
    document = json.loads(out, parse_constant=pytest.fail)  # strict JSON: an infinity travels as its text
    assert (status, document["status"], document["is_pnl_mi"]) == (
        exit_status, answer[1].get("status"), answer[1].get("is_pnl_mi"))
    assert (message in one_line(err)) if message else err == ""
    status, out, _ = run(*argv)
    assert status == exit_status and answer[1].get("status", "unknown_submission") in out and "a b" in out


def test_list_filters_and_table(run, http_server):
    http_server.respond(200, {"submissions": [{"submission_id": "s-1", "status": "signal_found"},
                                              {"submission_id": "s-2", "status": "queued"}]},
                        path="/signals/submissions")
    status, out, err = run("list", "--status", "queued", "--since", "2024-01-01T00:00:00Z", "--limit", "5")
    assert (status, err) == (0, "") and all(t in out for t in ("2 submissions", "s-1", "s-2", "signal_found"))
    assert http_server.requests[-1].path == "/signals/submissions?status=queued&since=2024-01-01T00%3A00%3A00Z&limit=5"


@pytest.mark.parametrize("answer, exit_status", [((202, {"submission_id": "t-1"}), 0),
                                                 ((409, {"reason": "conflict"}), 1)])
def test_strategy(run, http_server, answer, exit_status):
    http_server.respond(*answer, method="POST", path="/strategies/submit")
    status, out, err = run("strategy", "FILE", "--format", "json", file=STRATEGY)
    document = json.loads(out)
    assert (status, document["ok"], document["status_code"]) == (exit_status, not exit_status, answer[0])
    assert (err == "") if not exit_status else "rejected by the service (409): conflict" in one_line(err)
    assert posts(http_server)[0][1]["strategy_pool_name"] == "strat-a"


@pytest.mark.parametrize("argv, env_token, forwarded", [
    (("serve", "--port", "0"), "env-tok", ["--port", "0", "--token=env-tok"]),
    (("--token", "opt", "serve", "--port", "0"), None, ["--port", "0", "--token=opt"]),
    (("serve", "--token", "own", "--db", "x.db"), "env-tok", ["--token", "own", "--db", "x.db"]),
])
def test_serve_delegates_to_the_local_service(monkeypatch, argv, env_token, forwarded):
    calls = []
    service = types.ModuleType("quillmarsh.devservice.__main__")
    service.main = lambda args: calls.append(args) or 3
    monkeypatch.setitem(sys.modules, "quillmarsh.devservice", types.ModuleType("quillmarsh.devservice"))
    monkeypatch.setitem(sys.modules, "quillmarsh.devservice.__main__", service)
    monkeypatch.delenv("QUILLMARSH_TOKEN", raising=False)
    if env_token:
        monkeypatch.setenv("QUILLMARSH_TOKEN", env_token)
    assert (cli.main(list(argv)), calls) == (3, [forwarded])


def test_serve_without_the_local_service_exits_2(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "quillmarsh.devservice", None)
    assert cli.main(["serve"]) == 2
    assert "local signal service is not available" in one_line(capsys.readouterr().err)
