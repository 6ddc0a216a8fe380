"""Shared fixtures: the native module, fake transports, a scripted HTTP server on loopback,
and argument errors compared with a pure-Python twin (the shared pieces live in fakes.py)."""

from __future__ import annotations

import importlib
import inspect
import json
import types

import pytest
from fakes import (
    SIGNAL_GRAPH,
    BasicTransport,
    RecordingTransport,
    RequestFunc,
    ScriptedServer,
    _misfits,
    python_twin,
    signal_catalog,
)


def pytest_addoption(parser):
    parser.addoption(
        "--sdist",
        action="store_true",
        help="also build the sdist and try it in a clean virtual environment (test_release_sdist.py; "
        "it compiles the extension: scripts/test.sh runs it once, beside the fuzz harnesses)",
    )


# Set on the machine, these would send the tests' loopback requests elsewhere, or trust another
# authority; a test that wants one sets it.
_MACHINE_SETTINGS = "HTTP_PROXY HTTPS_PROXY ALL_PROXY http_proxy https_proxy all_proxy SSL_CERT_FILE SSL_CERT_DIR"


@pytest.fixture(autouse=True)
def isolated(monkeypatch):
    """Every test starts and ends with no machine network settings and no recorded backtest run."""
    from quillmarsh import _backtest_timing

    for name in _MACHINE_SETTINGS.split():
        monkeypatch.delenv(name, raising=False)
    _backtest_timing.clear_recorded_backtest_timings()
    yield
    _backtest_timing.clear_recorded_backtest_timings()


@pytest.fixture
def submit():
    return importlib.import_module("quillmarsh.submit")


@pytest.fixture
def fake_transport():
    return RecordingTransport()


@pytest.fixture
def basic_transport():
    return BasicTransport()


@pytest.fixture
def request_func():
    return RequestFunc()


@pytest.fixture
def http_server():
    server = ScriptedServer()
    server.start()
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture
def argument_errors():
    """`check(native, qualname, instance=None)`: every ill-fitting call of `native` raises the
    TypeError, with the same text, that a Python function of the same signature raises. For a
    class method, `native` is the method bound to its class: its twin takes `cls` first."""

    def check(native, qualname, instance=None):
        first = "self"
        if inspect.ismethod(native) and isinstance(native.__self__, type):
            first, instance, native = "cls", native.__self__, native.__func__
        twin = python_twin(native, qualname)
        if instance is not None:
            twin, native = types.MethodType(twin, instance), getattr(instance, native.__name__)
        checked = 0
        for args, kwargs in _misfits(inspect.signature(twin), instance is not None, first):
            try:
                twin(*args, **kwargs)
            except TypeError as expected:
                with pytest.raises(TypeError) as actual:
                    native(*args, **kwargs)
                assert str(actual.value) == str(expected), (qualname, args, kwargs)
                checked += 1
        assert checked >= 3

    return check


@pytest.fixture
def record_timing():
    """`record_timing(graph=SIGNAL_GRAPH)` records a backtest run for one submission; none outlives the test."""
    from quillmarsh import _backtest_timing

    def record(graph=SIGNAL_GRAPH):
        _backtest_timing.record_backtest_timing(graph, row_count=100, elapsed_seconds=1.0, max_row_elapsed_seconds=0.01)

    return record


@pytest.fixture
def signal_client(submit, fake_transport, record_timing):
    """A client over `fake_transport` with the era catalog cached and one timing recorded."""
    client = submit.SignalServiceClient("https://signals.example", "tok", transport=fake_transport)
    client._era_catalog_cache = signal_catalog()
    record_timing()
    return client


@pytest.fixture
def run(http_server, monkeypatch, capsys, tmp_path):
    """`run(*argv, file=None)`: (exit status, stdout, stderr); `file` (a dict, or a list of lines
    for JSON Lines: records, or texts written as they are) is written to a file whose path
    replaces the argument "FILE"."""
    from quillmarsh import cli

    for name, value in (
        ("QUILLMARSH_BASE_URL", http_server.url),
        ("QUILLMARSH_TOKEN", "tok-cli"),
        ("COLUMNS", "200"),
        ("QUILLMARSH_CONFIG", str(tmp_path / "no-config.toml")),
    ):
        monkeypatch.setenv(name, value)
    monkeypatch.delenv("FORCE_COLOR", raising=False)
    http_server.respond(200, signal_catalog(), method="GET", path="/eras", times=None)

    def run(*argv, file=None):
        path = tmp_path / "input"
        if file is not None:
            lines = file if isinstance(file, list) else [file]
            text = "\n".join(
                line if isinstance(line, str) and isinstance(file, list) else json.dumps(line) for line in lines
            )
            path.write_text(text)
        status = cli.main([str(path) if a == "FILE" else a for a in argv])
        out, err = capsys.readouterr()
        return status, out, err.replace(str(path), "FILE")

    return run
