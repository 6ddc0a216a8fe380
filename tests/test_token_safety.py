"""The bearer token goes into the Authorization header and nowhere else: not into results,
exception messages and their chained causes, log records, or the command line's output."""

import io
import json
import logging

import pytest
from fakes import SIGNAL_GRAPH, RecordingTransport

from quillmarsh import cli, submit
from quillmarsh.submit import SignalServiceClient

SECRET = "secret-token-0123456789"
REFUSAL = "the bearer token cannot be sent in an HTTP header"


def texts(value, seen=None):
    """Every text a caller, a traceback or a log can show of `value` (exceptions with their chain)."""
    seen = set() if seen is None else seen
    if value is None or id(value) in seen:
        return []
    seen.add(id(value))
    shown = [str(value), repr(value)]
    if isinstance(value, BaseException):
        shown += [repr(value.args), repr(getattr(value, "object", None))]
        shown += texts(value.__cause__, seen) + texts(value.__context__, seen)
    return shown


def assert_hidden(*values, records=()):
    shown = [t for v in values for t in texts(v)]
    shown += [r.getMessage() + repr(r.__dict__) for r in records if r.name.startswith("quillmarsh")]
    assert not [t for t in shown if SECRET in t]


@pytest.mark.parametrize("token", [SECRET + "\n", SECRET + "\r\n", "sec\x00" + SECRET, SECRET + "\x7f", "\x1b[0m"])
def test_unsendable_token_is_refused_without_being_repeated(token):
    transport = RecordingTransport()
    with pytest.raises(ValueError, match=REFUSAL) as at_construction:
        SignalServiceClient("https://signals.example", token, transport=transport)
    client = SignalServiceClient("https://signals.example", "tok\ten", transport=transport)  # a tab may be sent
    client._jwt_token = token  # read anew for every request
    with pytest.raises(ValueError, match=REFUSAL) as at_request:
        client.get_signal_status("s-1")
    assert transport.calls == []
    assert_hidden(at_construction.value, at_request.value)


def test_token_the_http_layer_refuses_is_redacted_everywhere(http_server, caplog, record_timing):
    """A trailing blank passes the local check, but the HTTP layer refuses the header and
    quotes it in its error; every text that error reaches is redacted."""
    caplog.set_level(logging.DEBUG, logger="quillmarsh")
    client = SignalServiceClient(http_server.url, SECRET + " ")
    shown = [client.get_signal_status("s-1"), client.list_signal_submissions()]
    assert [r.status_code for r in shown] == [0, 0] and "***" in shown[0].error
    fields = {"signal_pool_name": "p", "is_stats": {}, "is_pnl_mi": 0.1, "expression_elapsed_seconds": 1.0}
    for operation in (
        lambda: client.submit_signal(SIGNAL_GRAPH, "us_top", **fields),
        lambda: client.submit_signals_batch([{"graph": SIGNAL_GRAPH, "named_universe": "us_top", **fields}]),
    ):
        record_timing()
        with pytest.raises(ValueError, match="could not fetch /eras") as caught:
            operation()
        shown.append(caught.value)
    assert_hidden(*shown, records=caplog.records)
    assert http_server.requests == []


@pytest.mark.parametrize(
    "message, error",
    [
        ("refused Bearer {t}", lambda m: ConnectionError(m)),
        ("[{t!r}]", lambda m: ConnectionError(5, m, "x")),
        ("x", lambda m: UnicodeEncodeError("ascii", f"Bearer {SECRET}", 8, 9, "no")),
        ("bare {t} in the middle", lambda m: TimeoutError(m)),
    ],
)
def test_transport_errors_of_any_shape_are_redacted(message, error):
    transport = RecordingTransport(error(message.format(t=SECRET)))
    client = SignalServiceClient("https://signals.example", SECRET, transport=transport)
    try:
        outcome = client.get_signal_status("s-1")
    except Exception as exc:  # the UnicodeEncodeError is not a transport failure: it propagates
        outcome = exc
    assert_hidden(outcome)


def test_short_tokens_are_redacted_only_as_the_header_value():
    transport = RecordingTransport(ConnectionError("tok: refused header 'Bearer tok'"))
    result = SignalServiceClient("https://signals.example", "tok", transport=transport).get_signal_status("s")
    assert result.error == "tok: refused header '***'"


@pytest.fixture
def cli_run(monkeypatch, capsys, http_server):
    monkeypatch.setenv("QUILLMARSH_BASE_URL", http_server.url)
    monkeypatch.delenv("QUILLMARSH_TOKEN", raising=False)

    def run(*argv, stdin=""):
        monkeypatch.setattr("sys.stdin", io.StringIO(stdin))
        status = cli.main(list(argv))
        out, err = capsys.readouterr()
        return status, out, err

    return run


@pytest.mark.parametrize("source", ["file", "stdin", "env"])
def test_cli_reads_the_token_from_a_file_stdin_or_environment_without_its_line_break(
    cli_run, http_server, tmp_path, monkeypatch, source
):
    http_server.respond(200, {"status": "queued"})
    path = tmp_path / "token"
    path.write_text(f"  {SECRET}\n")
    argv = {"file": ["--token-file", str(path)], "stdin": ["--token-file", "-"], "env": []}[source]
    if source == "env":
        monkeypatch.setenv("QUILLMARSH_TOKEN", f"{SECRET}\n")
    status, out, err = cli_run("--format", "json", "status", "s-1", *argv, stdin=f"{SECRET}\r\n")
    assert status == 0, err
    assert http_server.requests[0].header("Authorization") == f"Bearer {SECRET}"


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--token", f"sec\x00{SECRET}"], "token refused: the bearer token cannot be sent"),
        (["--token-file", "/nonexistent/token"], "cannot read the token file /nonexistent/token"),
        (["--token", f"s\u00e9{SECRET}"], "token refused: it holds characters other than ASCII"),
    ],
)
def test_cli_output_never_shows_the_token(cli_run, argv, message):
    status, out, err = cli_run("--format", "json", "status", "s-1", *argv)
    assert status in (1, 2) and message in err and SECRET not in out + err
    if out:
        json.loads(out)


def test_a_token_object_is_judged_by_its_text():
    class Token:
        def __format__(self, spec):
            return SECRET + "\n"

    with pytest.raises(ValueError, match=REFUSAL) as caught:
        submit._request_json("GET", "eras", Token, "https://s.example", None, lambda *a: (200, b"{}"))
    assert_hidden(caught.value)
