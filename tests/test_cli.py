"""The quillmarsh command line against the scripted server on 127.0.0.1: exit statuses,
outputs, what reaches the wire, and one-line errors that name their cause."""

import inspect
import json
import re
import socket
import sys
import types
from importlib import metadata
from pathlib import Path

import pytest
from cli_support import STRATEGY, TIMING, one_line, posts, signal_record
from fakes import SIGNAL_GRAPH

import quillmarsh
from quillmarsh import cli, submit
from quillmarsh.cli.options import SIGNAL_FIELDS_HELP, STRATEGY_FIELDS_HELP

pytestmark = pytest.mark.python_layers


@pytest.mark.parametrize(
    "argv, file, message",
    [
        ((), None, "the following arguments are required: COMMAND"),
        (("submit",), None, "the following arguments are required: file"),
        (("submit", "/no/such/file"), None, "cannot read /no/such/file"),
        (("submit", "FILE"), "a text", "FILE: expected a JSON object, got str"),
        (
            ("submit", "FILE"),
            {k: v for k, v in signal_record().items() if k not in ("backtest_timing", "is_pnl_mi")},
            "FILE: missing fields 'backtest_timing', 'is_pnl_mi'",
        ),
        (
            ("submit", "FILE"),
            signal_record(sharpe=1, signal_pool="x"),
            "FILE: unknown fields 'sharpe', 'signal_pool' (did you mean 'signal_pool_name'?)",
        ),
        (
            ("submit", "FILE"),
            signal_record(backtest_timing={**TIMING, "elapsed_seconds": -1}),
            "FILE: backtest_timing: elapsed_seconds must be a finite non-negative number",
        ),
        (
            ("strategy", "FILE"),
            {k: v for k, v in STRATEGY.items() if k != "strategy_pool_name"},
            "missing field 'strategy_pool_name'",
        ),
        (("batch", "FILE"), [], "no signals"),
        (("status", "s-1", "--base-url", "http://example.com"), None, "base URL refused"),
        (("poll", "s-1", "--timeout", "-1"), None, "argument --timeout: must be a finite number of seconds >= 0"),
        (("list", "--bogus"), None, "unrecognized arguments: --bogus"),
        (("list", "--retries", "-1"), None, "argument --retries: must be 0 or more"),
        (("list", "--profile", "work"), None, "no profile 'work'"),
    ],
)
def test_usage_and_input_errors_exit_2_with_one_line(run, http_server, argv, file, message):
    status, out, err = run(*argv, file=file)
    assert (status, out) == (2, "")
    assert message in one_line(err)
    assert http_server.requests == []


@pytest.mark.parametrize(
    "command, fields",
    [
        ("submit", "submit_signal"),
        ("batch", "submit_signal"),
        ("strategy", "submit_strategy"),
        ("check", None),
        ("status", None),
        ("poll", None),
        ("list", None),
    ],
)
def test_every_command_has_help_with_an_example_and_its_fields(run, command, fields):
    status, out, _ = run(command, "--help")
    assert status == 0 and "example:" in out
    if fields:  # every field the client takes, but the two it refuses on principle, as required or not
        parameters = inspect.signature(getattr(submit.SignalServiceClient, fields)).parameters.values()
        required = {p.name for p in parameters if p.default is p.empty} - {"self"}
        optional = {p.name for p in parameters if p.default is not p.empty} - {"threshold_checks", "thresholds"}
        shown = SIGNAL_FIELDS_HELP if fields == "submit_signal" else STRATEGY_FIELDS_HELP
        listed = {
            kind: set(re.findall(r"\w+", text.split("(")[0] if kind == "required" else text))
            for kind, text in re.findall(r"(required|optional)\s+(.*?)(?=\n  \w|\n[A-Z]|$)", shown, re.S)
        }
        assert listed["required"] - {"backtest_timing"} == required and optional <= listed["optional"]
        assert all(name in out.replace("\n", " ") for name in required | optional)


@pytest.mark.parametrize(
    "argv, program", [(("--version",), "quillmarsh"), (("serve", "--version"), "quillmarsh.devservice")]
)
def test_version(run, argv, program):
    service_command_line = "quillmarsh.devservice.__main__"
    loaded = service_command_line in sys.modules
    assert run(*argv) == (0, f"{program} {quillmarsh.__version__}\n", "")
    if not loaded:  # imported for this test alone, as test_serve_without_the_local_service_exits_2 expects
        sys.modules.pop(service_command_line, None)
    try:  # the package installed: its metadata, which the build took from the same line
        installed = metadata.distribution("quillmarsh")
    except metadata.PackageNotFoundError:
        return
    if Path(installed.locate_file("quillmarsh/__init__.py")) == Path(quillmarsh.__file__):
        assert installed.version == quillmarsh.__version__


@pytest.mark.parametrize(
    "status_code, body, content_type, exit_status, error, message",
    [
        (202, {"submission_id": "s-1", "signal_pool_id": "pool-7"}, "application/json", 0, None, None),
        (
            422,
            {"reason": "is_correlation_too_high", "details": {"message": "0.9 > 0.7"}},
            "application/json",
            1,
            "is_correlation_too_high",
            "rejected by the service (HTTP 422 is_correlation_too_high): 0.9 > 0.7",
        ),
        (
            503,
            b"<html>busy</html>",
            "text/html",
            1,
            "unreadable answer (503 Service Unavailable)",
            "unreadable answer (503 Service Unavailable)",
        ),
        (
            500,
            b"<html>oops</html>",
            "text/html",
            1,
            "unreadable answer (500 Internal Server Error)",
            "unreadable answer (500 Internal Server Error)",
        ),
    ],
)
def test_submit_json_output_and_wire(run, http_server, status_code, body, content_type, exit_status, error, message):
    http_server.respond(status_code, body, content_type=content_type, method="POST", path="/signals/submit", times=None)
    status, out, err = run(
        "submit", "FILE", "--format", "json", "--retries", "0", file=signal_record(expression_elapsed_seconds=2)
    )
    document = json.loads(out)
    assert (status, document["ok"], document["status_code"], document["error"]) == (
        exit_status,
        not exit_status,
        status_code,
        error,
    )
    assert document.get("submission_id") == ("s-1" if status_code == 202 else None)
    assert err == "" if not exit_status else message in one_line(err)
    ((path, sent),) = posts(http_server)
    assert path == "/signals/submit" and "backtest_timing" not in sent
    assert (sent["graph"], sent["signal_pool_name"], sent["expression_elapsed_seconds"]) == (
        SIGNAL_GRAPH,
        "pool-a",
        2.0,
    )  # a whole number in the file, the float the client wants on the wire
    assert http_server.requests[-1].header("Authorization") == "Bearer tok-cli"


@pytest.mark.parametrize(
    "answer, message",
    [
        (
            (401, {"error": "unauthorized", "details": {"message": "a valid bearer token is required"}}),
            "cannot read the service's era catalog: the service refused the token (HTTP 401 Unauthorized): check the "
            "token (a valid bearer token is required)",
        ),
        (
            (502, b"<html>Bad Gateway</html>"),
            "cannot read the service's era catalog: unreadable answer (502 Bad Gateway)",
        ),
    ],
)
def test_a_failed_catalog_read_is_reported_by_its_cause(run, http_server, answer, message):
    http_server._queue.clear()  # no catalog
    http_server.respond(
        *answer,
        content_type="application/json" if isinstance(answer[1], dict) else "text/html",
        path="/eras",
        times=None,
    )
    for command in ("submit", "batch"):
        status, out, err = run(
            command, "FILE", "--retries", "0", file=signal_record() if command == "submit" else [signal_record()]
        )
        assert status == 1 and message in one_line(err) and "thresholds are required" not in err
    assert posts(http_server) == []


@pytest.mark.parametrize("argv", [("status", "s-1"), ("list",), ("submit", "FILE"), ("batch", "FILE")])
def test_an_unreachable_service_is_named(run, monkeypatch, argv):
    with socket.socket() as unused:  # bound, never listening: connections are refused
        unused.bind(("127.0.0.1", 0))
        url = f"http://127.0.0.1:{unused.getsockname()[1]}"
        monkeypatch.setenv("QUILLMARSH_BASE_URL", url)
        status, out, err = run(*argv, "--retries", "0", file=[signal_record()] if "batch" in argv else signal_record())
    assert status == 1 and f"cannot reach {url}" in one_line(err)


@pytest.mark.parametrize(
    "argv, answer, message",
    [
        (
            ("status", "s-1"),
            (404, {"error": "not_found", "details": {"message": "no submission with id 's-1'"}}),
            "rejected by the service (HTTP 404 not_found): no submission with id 's-1'",
        ),
        (
            ("list", "--limit", "5000"),
            (400, {"error": "malformed_request", "details": {"message": "limit must be an integer from 1 to 1000"}}),
            "rejected by the service (HTTP 400 malformed_request): limit must be an integer from 1 to 1000",
        ),
        (("status", "s-1"), (502, b"<html>gateway</html>"), "unreadable answer (502 Bad Gateway)"),
        (("list",), (502, b"<html>gateway</html>"), "unreadable answer (502 Bad Gateway)"),
    ],
)
def test_the_services_explanation_is_on_the_error_line(run, http_server, argv, answer, message):
    http_server.respond(
        *answer, content_type="application/json" if isinstance(answer[1], dict) else "text/html", times=None
    )
    status, out, err = run(*argv, "--retries", "0")
    assert status == 1 and message in one_line(err)


@pytest.mark.parametrize(
    "record, catalog_read, message",
    [
        (signal_record(thresholds={"min_sharpe": 0}), False, "caller-supplied thresholds are not accepted"),
        (
            signal_record(graph="rank(ts_mean(ts_std(ts_max(close, 5), 5), 5))"),
            True,
            "graph is 5 levels deep; era 3 allows at most 4",
        ),
        (signal_record(backtest_timing={**TIMING, "elapsed_seconds": 50.0}), True, "budget"),
    ],
)
def test_local_refusal_names_the_file_and_sends_nothing(run, http_server, record, catalog_read, message):
    status, out, err = run("submit", "FILE", "--format", "json", file=record)
    assert status == 1 and "refused before sending: FILE: " in one_line(err) and message in err
    assert json.loads(out)["ok"] is False
    assert [r.path for r in http_server.requests] == (["/eras"] if catalog_read else [])


def test_library_records_show_only_with_verbose(run, http_server):
    http_server.respond(404, b"<html>no</html>", content_type="text/html", path="/signals/status/s-1", times=None)
    status, _, err = run("status", "s-1")
    assert status == 1 and one_line(err)  # the library's warning is not printed as a second line
    status, _, err = run("status", "s-1", "-v")
    assert status == 1 and "quillmarsh.submit: WARNING: Malformed JSON response" in err


def test_a_base_url_with_a_path_prefix(run, http_server, monkeypatch):
    monkeypatch.setenv("QUILLMARSH_BASE_URL", http_server.url + "/api")
    http_server.respond(200, {"status": "queued"}, path="/api/signals/status/s-1")
    status, out, err = run("status", "s-1", "--format", "json")
    assert (status, json.loads(out)["status"]) == (0, "queued")
    assert [r.path for r in http_server.requests] == ["/api/signals/status/s-1"]


@pytest.mark.parametrize(
    "answer, exit_status", [((202, {"submission_id": "t-1"}), 0), ((409, {"reason": "conflict"}), 1)]
)
def test_strategy(run, http_server, answer, exit_status):
    http_server.respond(*answer, method="POST", path="/strategies/submit")
    status, out, err = run("strategy", "FILE", "--format", "json", file=STRATEGY)
    document = json.loads(out)
    assert (status, document["ok"], document["status_code"]) == (exit_status, not exit_status, answer[0])
    assert (err == "") if not exit_status else "rejected by the service (HTTP 409 conflict)" in one_line(err)
    assert posts(http_server)[0][1]["strategy_pool_name"] == "strat-a"


@pytest.mark.parametrize(
    "argv, env_token, forwarded",
    [
        (("serve", "--port", "0"), "env-tok", ["--port", "0", "--token=env-tok"]),
        (("--token", "opt", "serve", "--port", "0"), None, ["--port", "0", "--token=opt"]),
        (("serve", "--token", "own", "--db", "x.db"), "env-tok", ["--token", "own", "--db", "x.db"]),
    ],
)
def test_serve_delegates_to_the_local_service(monkeypatch, tmp_path, argv, env_token, forwarded):
    calls = []
    service = types.ModuleType("quillmarsh.devservice.__main__")
    service.main = lambda args, prog: calls.append((args, prog)) or 3
    monkeypatch.setitem(sys.modules, "quillmarsh.devservice", types.ModuleType("quillmarsh.devservice"))
    monkeypatch.setitem(sys.modules, "quillmarsh.devservice.__main__", service)
    monkeypatch.setenv("QUILLMARSH_CONFIG", str(tmp_path / "none.toml"))
    monkeypatch.delenv("QUILLMARSH_TOKEN", raising=False)
    if env_token:
        monkeypatch.setenv("QUILLMARSH_TOKEN", env_token)
    assert (cli.main(list(argv)), calls) == (3, [(forwarded, "quillmarsh serve")])


def test_serve_without_the_local_service_exits_2(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "quillmarsh.devservice", None)
    assert cli.main(["serve"]) == 2
    assert "local signal service is not available" in one_line(capsys.readouterr().err)
