"""The command line as a shell user meets it: through a pseudo-terminal 80 and 120 columns wide,
and through a pipe (plain lines for grep and cut, every command); replays told, all of a
signal's problems at once, the next page's command, "did you mean", completion, -q, the
library's log lines, and no private name of the library in the command line's code."""

import ast
import fcntl
import json
import os
import pathlib
import pty
import re
import struct
import subprocess
import sys
import termios

import pytest
from cli_support import signal_record

import quillmarsh
from quillmarsh import devservice

pytestmark = pytest.mark.python_layers

ANSI = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]|\x1b\][^\x07]*\x07")
BOX = set("─│┃┏┓┗┛┡┩┌┐└┘├┤┬┴┼━╇╈")


def run_cli(argv, env, columns=None, stdin=None):
    """(exit status, stdout, stderr) of `python -m quillmarsh argv`; with `columns`, both streams
    go to a pseudo-terminal that wide (and come back together, as a terminal shows them)."""
    command = [sys.executable, "-m", "quillmarsh", *argv]
    if columns is None:
        done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=60, input=stdin)
        return done.returncode, done.stdout, done.stderr
    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 50, columns, 0, 0))
    child = subprocess.Popen(
        command,
        env={**env, "COLUMNS": str(columns), "TERM": "xterm"},
        stdin=subprocess.DEVNULL,
        stdout=follower,
        stderr=follower,
        close_fds=True,
    )
    os.close(follower)
    chunks = []
    while True:
        try:
            chunk = os.read(leader, 65536)
        except OSError:  # the child closed its end
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(leader)
    text = ANSI.sub("", b"".join(chunks).decode("utf-8", "replace")).replace("\r\n", "\n")
    return child.wait(timeout=60), text, ""


@pytest.fixture
def shell(tmp_path):
    """The environment of a shell whose service is the local one; yields (service, env)."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("QUILLMARSH_", "FORCE_COLOR", "COLUMNS"))}
    if "PYTHONPATH" in env:
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep))
    env["QUILLMARSH_CONFIG"] = str(tmp_path / "none.toml")
    with devservice.start() as service:
        env.update(QUILLMARSH_BASE_URL=service.url, QUILLMARSH_TOKEN=service.token)
        yield service, env


SIGNAL = {
    "graph": "rank(ts_mean(close, 5))",
    "named_universe": "us_top500",
    "signal_pool_name": "momentum",
    "is_stats": {"sharpe": 1.6, "turnover": 0.3, "is_correlation": 0.2},
    "is_pnl_mi": 0.4,
    "expression_elapsed_seconds": 1.8,
    "backtest_timing": {"row_count": 2520, "elapsed_seconds": 1.8, "max_row_elapsed_seconds": 0.004},
}


def files(tmp_path, count=3):
    one = tmp_path / "signal.json"
    one.write_text(json.dumps(SIGNAL))
    many = tmp_path / "signals.jsonl"
    many.write_text(
        "\n".join(json.dumps({**SIGNAL, "graph": f"rank(ts_mean(close, {n}))"}) for n in range(10, 10 + count))
    )
    strategy = tmp_path / "strategy.json"
    strategy.write_text(
        json.dumps(
            {
                "graph": "rank(close)",
                "named_universe": "us_top500",
                "strategy_pool_name": "core",
                "market_id": 1,
                "era_number": 3,
            }
        )
    )
    return one, many, strategy


def test_every_command_writes_plain_lines_into_a_pipe(shell, tmp_path):
    service, env = shell
    one, many, strategy = files(tmp_path)
    status, out, _ = run_cli(["submit", str(one)], env)
    fields = dict(line.split("\t") for line in out.splitlines())
    identifier = fields["submission_id"]
    assert status == 0 and fields["status_code"] == "202" and fields["replayed"] == "False"
    runs = {
        "status": ["status", identifier],
        "poll": ["poll", identifier, "--timeout", "30"],
        "strategy": ["strategy", str(strategy)],
        "batch": ["batch", str(many)],
        "check": ["check", str(many)],
        "list": ["list"],
        "list-none": ["list", "--status", "signal_never"],
    }
    for name, argv in runs.items():
        status, out, err = run_cli(argv, env)
        assert status == 0, (name, err)
        lines = out.splitlines()
        assert lines and not BOX & set(out) and all("\t" in line for line in lines), (name, out)
        if name in ("list", "list-none", "check"):  # a table: its header first, even without rows
            assert lines[0].split("\t")[0] in ("submission_id", "line"), (name, out)
        else:  # a record: field<TAB>value
            assert all(len(line.split("\t")) == 2 for line in lines), (name, out)
    assert len(run_cli(["list", "--status", "signal_never"], env)[1].splitlines()) == 1


@pytest.mark.parametrize("columns", [80, 120])
def test_tables_fit_the_terminal_and_never_cut_an_id(shell, tmp_path, columns):
    service, env = shell
    _, many, _ = files(tmp_path)
    assert run_cli(["batch", str(many)], env)[0] == 0
    status, out, _ = run_cli(["list", "--wide"], env, columns=columns)
    keys = [s["idempotency_key"] for s in json.loads(run_cli(["--format", "json", "list"], env)[1])["submissions"]]
    assert status == 0 and all(key in out for key in keys)  # whole, on one line each
    assert all(len(line) <= columns for line in out.splitlines() if "sigsubmit-" in line or "sub_" in line)
    status, out, _ = run_cli(["list"], env, columns=columns)
    assert status == 0 and "us_top500" in out and all(len(line) <= columns for line in out.splitlines())


def test_replays_are_told_as_such(shell, tmp_path):
    service, env = shell
    one, many, _ = files(tmp_path, count=300)
    first = run_cli(["submit", str(one)], env, columns=120)[1]
    again = run_cli(["submit", str(one)], env, columns=120)[1]
    assert "Submission accepted" in first and "Submission already stored (same content)" in again
    identifier = re.search(r"sub_[0-9a-f]{32}", first).group()
    assert identifier in again
    assert "300 of 300 signals accepted" in run_cli(["batch", str(many)], env)[2]
    status, out, err = run_cli(["batch", str(many)], env)
    assert status == 0 and "300 of 300 signals accepted (300 already stored)" in err
    assert "already_stored\t300" in out


def test_check_keeps_the_key_on_its_line_and_a_refusal_names_every_rule(shell, tmp_path):
    service, env = shell
    one, _, _ = files(tmp_path)
    status, out, _ = run_cli(["check", str(one)], env, columns=80)
    line = next(line for line in out.splitlines() if "would POST" in line)
    assert status == 0 and re.search(r"Idempotency-Key: sigsubmit-[0-9a-f]{64}$", line)
    bad = tmp_path / "bad.json"
    bad.write_text(
        json.dumps({**SIGNAL, "is_stats": {"sharpe": 0.1, "turnover": 0.9, "is_correlation": 0.2}, "market_id": "1"})
    )
    status, out, err = run_cli(["submit", str(bad)], env)
    assert status == 1 and err.splitlines() == [
        f"quillmarsh: submit: refused before sending: {bad}: market_id must be a positive integer"
    ]
    bad.write_text(json.dumps({**SIGNAL, "is_stats": {"sharpe": 0.1, "turnover": 0.9, "is_correlation": 0.2}}))
    status, out, err = run_cli(["submit", str(bad)], env)
    assert status == 1 and [line.split(": ", 4)[4] for line in err.splitlines()] == [
        "is_stats.sharpe is 0.1; era 3 requires at least 1 for momentum in us_top500",
        "is_stats.turnover is 0.9; era 3 requires at most 0.6 for momentum in us_top500",
    ]
    unnamed = tmp_path / "unnamed.json"
    unnamed.write_text(json.dumps({k: v for k, v in SIGNAL.items() if k != "named_universe"}))
    status, _, err = run_cli(["submit", str(unnamed)], {**env, "QUILLMARSH_AGENT_CONFIG": "/nonexistent"})
    assert status == 1 and "QUILLMARSH_NAMED_UNIVERSE" in err


def test_the_small_conveniences(shell, tmp_path):
    service, env = shell
    _, many, _ = files(tmp_path)
    status, out, err = run_cli(["sumbit", "x"], env)
    assert status == 2 and "unknown command 'sumbit' (did you mean 'submit'?)" in err
    status, out, err = run_cli(["-q", "batch", str(many)], env)
    assert (status, err) == (0, "")
    for shell_name in ("bash", "zsh", "fish"):
        status, script, _ = run_cli(["completion", shell_name], env)
        assert status == 0 and "submit" in script and "concurrency" in script
    bash = run_cli(["completion", "bash"], env)[1]
    checked = subprocess.run(
        ["bash", "-c", bash + '\nCOMP_WORDS=(quillmarsh ba); COMP_CWORD=1; _quillmarsh; echo "${COMPREPLY[@]}"'],
        capture_output=True,
        text=True,
    )
    assert checked.stdout.split() == ["batch"]


def test_verbose_shows_each_retry_with_its_facts(run, http_server):
    http_server.respond(503, {"error": "busy"}, headers=[("Retry-After", "0")], method="POST", path="/signals/submit")
    http_server.respond(202, {"submission_id": "s-1"}, method="POST", path="/signals/submit")
    status, out, err = run("submit", "FILE", "-v", file=signal_record())
    assert status == 0
    assert (
        "quillmarsh.transports: INFO: Request retry sub_service=transports component=RetryingTransport "
        "method=POST path=/signals/submit attempt=2 attempts=5 reason='HTTP 503' wait_seconds=0.0"
    ) in err


def test_list_all_reads_the_largest_pages_and_stops_on_a_cursor_that_does_not_move(run, http_server):
    page = {"submissions": [{"submission_id": "a", "created_at": "t1"}], "next_since": "t1"}
    http_server.respond(200, {**page, "next_since": None}, path="/signals/submissions")
    status, out, _ = run("list", "--all")
    assert status == 0 and http_server.requests[-1].path == "/signals/submissions?limit=1000"
    http_server.respond(200, page, path="/signals/submissions", times=None)
    status, out, err = run("list", "--all", "--since", "t0")
    assert status == 1 and "next page starts where this one did" in err and out.count("\ta") + 1 <= 3


def test_profile_values_are_checked_as_options_are(run, tmp_path, monkeypatch):
    (tmp_path / "config.toml").write_text(
        '[profiles.default]\nbase_url = "http://127.0.0.1:1"\nrequest_timeout = "30s"\n'
    )
    monkeypatch.setenv("QUILLMARSH_CONFIG", str(tmp_path / "config.toml"))
    status, out, err = run("status", "s-1")
    assert status == 2 and "config.toml: profile 'default': request_timeout must be a number of seconds" in err


def test_the_command_line_and_quillmarsh_dask_use_no_private_name_of_the_library():
    """Every name the command line and the Dask integration take from quillmarsh is public: no
    `quillmarsh._x` module, no `_x` imported or reached as an attribute of anything."""
    found = []
    package = pathlib.Path(quillmarsh.__file__).parent
    for path in [*package.joinpath("cli").glob("*.py"), package / "dask.py"]:
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and node.level == 0 and (node.module or "").startswith("quillmarsh"):
                modules = (node.module or "").split(".")
                names = [alias.name for alias in node.names]
                found += [f"{path.name}: {node.module}.{n}" for n in names if n.startswith("_") and n[:2] != "__"]
                found += [f"{path.name}: {node.module}" for m in modules if m.startswith("_")]
            elif isinstance(node, ast.Import):
                found += [f"{path.name}: {a.name}" for a in node.names if "._" in a.name]
            elif isinstance(node, ast.Attribute) and node.attr.startswith("_") and not node.attr.startswith("__"):
                owner = ast.unparse(node.value)
                if owner not in ("parser", "action", "argparse", "self") and not owner.startswith("action"):
                    found.append(f"{path.name}:{node.lineno}: {owner}.{node.attr}")
    assert found == []
