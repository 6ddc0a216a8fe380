"""The local service's command line: option errors as one line and exit status 2, the
program name it is run under, --version, --help, and what it prints when it starts."""

import importlib
import json
import os
import resource
import signal
import socket
import subprocess
import sys
from pathlib import Path

import pytest
from helpers import host_message

import quillmarsh
from quillmarsh import submit

pytestmark = pytest.mark.python_layers

PROG = "python -m quillmarsh.devservice"
MODULE = "quillmarsh.devservice.__main__"


@pytest.fixture
def refusal(capsys):
    """`refusal(argv, prog=None)`: (exit status, stdout, stderr) of a run of main() that must stop
    before serving. The module is imported for the test alone: no other test finds it loaded."""
    loaded = MODULE in sys.modules
    main = importlib.import_module(MODULE).main

    def run(argv, prog=None):
        status = main(argv, **({"prog": prog} if prog else {}))
        out, err = capsys.readouterr()
        return status, out, err

    yield run
    if not loaded:
        sys.modules.pop(MODULE, None)


@pytest.fixture
def busy_port():
    with socket.create_server(("127.0.0.1", 0)) as listener:
        yield listener.getsockname()[1]


def write(tmp_path, text):
    path = tmp_path / "catalog.json"
    path.write_text(text)
    return str(path)


# (argv, built from tmp_path and a busy port; the line expected after "<prog>: ")
FILES = resource.getrlimit(resource.RLIMIT_NOFILE)[1]  # the hard limit: the service raises its soft one to it
OPTION_ERRORS = [
    (
        lambda tmp, port: ["--db", f"{tmp}/no/such/dir/x.sqlite"],
        "cannot open the database {tmp}/no/such/dir/x.sqlite: folder {tmp}/no/such/dir does not exist",
    ),
    (lambda tmp, port: ["--db", str(tmp)], "cannot open the database {tmp}: unable to open database file"),
    (
        lambda tmp, port: ["--port", "99999"],
        "argument --port: must be a port number from 0 to 65535, got 99999 (see '{prog} --help')",
    ),
    (
        lambda tmp, port: ["--port", "eighty"],
        "argument --port: must be a whole number, got 'eighty' (see '{prog} --help')",
    ),
    (lambda tmp, port: ["--port", str(port)], "cannot listen on 127.0.0.1:{port}: address already in use"),
    (
        lambda tmp, port: ["--catalog", f"{tmp}/missing.json"],
        "cannot read the catalog {tmp}/missing.json: no such file or directory",
    ),
    (
        lambda tmp, port: ["--catalog", write(tmp, '{"eras": [}')],
        "the catalog {tmp}/catalog.json is not valid JSON: " + host_message(lambda: json.loads('{"eras": [}')),
    ),
    (
        lambda tmp, port: ["--catalog", write(tmp, '{"eras": {}}')],
        "the catalog {tmp}/catalog.json must be an object with an eras_by_market object or an eras list "
        "(--print-catalog prints the built-in one)",
    ),
    (
        lambda tmp, port: ["--catalog", write(tmp, "[" * 100_000)],
        "the catalog {tmp}/catalog.json nests its arrays and objects too deeply",
    ),
    (
        lambda tmp, port: ["--fail-every", "-1"],
        "argument --fail-every: must be 0 or more, got -1 (see '{prog} --help')",
    ),
    (lambda tmp, port: ["--tok", "x"], "unrecognized arguments: --tok x (see '{prog} --help')"),
    (
        lambda tmp, port: ["--tls-ca-out", f"{tmp}/ca.pem"],
        "--tls-name and --tls-ca-out need --tls (see '{prog} --help')",
    ),
    (
        lambda tmp, port: ["--max-connections", str(FILES)],
        f"max_connections {FILES} needs {FILES + 320} open files, and this process may open {FILES} (ulimit -n); "
        f"ask for {FILES - 320} at most",
    ),
    (
        lambda tmp, port: ["--tls", "--tls-ca-out", f"{tmp}/no/ca.pem"],
        "cannot write the certificate authority to {tmp}/no/ca.pem: no such file or directory",
    ),
]


@pytest.mark.parametrize("prog", [None, "quillmarsh serve"])
@pytest.mark.parametrize("argv, expected", OPTION_ERRORS)
def test_an_option_the_service_cannot_start_with_is_one_line_and_status_2(
    refusal, tmp_path, busy_port, prog, argv, expected
):
    if "--tls" in argv(tmp_path, busy_port):
        pytest.importorskip("trustme")
    shown = prog or PROG
    status, out, err = refusal(argv(tmp_path, busy_port), prog)
    assert (status, out) == (2, "")
    assert err == f"{shown}: {expected.format(tmp=tmp_path, port=busy_port, prog=shown)}\n"


def test_tls_without_trustme_is_one_line(refusal, monkeypatch):
    monkeypatch.setitem(sys.modules, "trustme", None)
    assert refusal(["--tls"]) == (
        2,
        "",
        f"{PROG}: serving https needs the trustme package: pip install trustme (it is in quillmarsh's test extra)\n",
    )


@pytest.mark.parametrize("prog", [None, "quillmarsh serve"])
def test_help_names_the_program_and_shows_examples(refusal, prog):
    status, out, err = refusal(["--help"], prog)
    shown = prog or PROG
    assert (status, err) == (0, "")
    assert out.startswith(f"usage: {shown} [-h] [--version]")
    examples = out.split("\nexamples:\n", 1)[1]
    assert f"  {shown} --port 8765 --token dev-token\n" in examples and "export QUILLMARSH_BASE_URL=" in examples


def test_version(refusal):
    assert refusal(["--version"]) == (0, f"quillmarsh.devservice {quillmarsh.__version__}\n", "")


def run(*argv):
    path = [str(Path(submit.__file__).parents[1]), os.environ.get("PYTHONPATH", "")]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, path))}
    return subprocess.Popen(
        [sys.executable, "-m", "quillmarsh.devservice", *argv],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )


def test_a_refused_option_leaves_no_traceback(tmp_path):
    out, err = run("--db", str(tmp_path / "missing" / "x.sqlite")).communicate(timeout=60)
    assert (out, err.count("\n"), "Traceback" in err) == ("", 1, False)
    assert err.startswith(f"{PROG}: cannot open the database ")


def test_the_service_says_where_it_listens_and_stops_on_ctrl_c():
    process = run("--token=t")
    try:
        url = process.stdout.readline().strip().removeprefix("QUILLMARSH_BASE_URL=")
        assert process.stderr.readline() == f"quillmarsh local signal service on {url} \u2014 Ctrl-C to stop\n"
    finally:
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=20)
    assert (process.returncode, out, err) == (0, "", "quillmarsh local signal service stopped\n")
    assert url.startswith("http://127.0.0.1:")
