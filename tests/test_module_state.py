"""Each import of the module makes a module object of its own, whose functions and classes run
against its own namespace, as a Python module's functions run against their globals."""

from __future__ import annotations

import importlib
import subprocess
import sys
import textwrap

import pytest
from fakes import FakeResponse, RecordingTransport, RequestFunc

import quillmarsh
import quillmarsh.submit  # noqa: F401 -- the first import, put back after each test


@pytest.fixture
def modules():
    """The module as imported, and a fresh import of it after `del sys.modules[...]` (the first
    is put back afterwards)."""
    first = sys.modules["quillmarsh.submit"]
    del sys.modules["quillmarsh.submit"]
    try:
        second = importlib.import_module("quillmarsh.submit")
    finally:
        sys.modules["quillmarsh.submit"] = first
        quillmarsh.submit = first
    return {"first": first, "second": second}


def requested_url(module):
    request_func = RequestFunc()
    module._request_json("GET", "eras", lambda: "token-abc", "http://127.0.0.1:9", None, request_func)
    return request_func.calls[-1][1]


def test_a_reimport_makes_a_module_of_its_own(modules):
    first, second = modules["first"], modules["second"]
    assert second is not first
    assert second.SignalServiceClient is not first.SignalServiceClient
    assert (first._join_url.__self__, second._join_url.__self__) == (first, second)
    with pytest.raises(second.SubmissionRejectedError) as raised:
        second._raise_submission_rejected(409, {"reason": "duplicate"})
    assert not isinstance(raised.value, first.SubmissionRejectedError)


@pytest.mark.parametrize(("replaced", "untouched"), [("second", "first"), ("first", "second")])
def test_a_replacement_is_honoured_by_its_own_module_only(modules, replaced, untouched, monkeypatch):
    monkeypatch.setattr(modules[replaced], "_join_url", lambda server_url, endpoint: "http://127.0.0.1:9/swapped")
    assert requested_url(modules[replaced]) == "http://127.0.0.1:9/swapped"
    assert requested_url(modules[untouched]) == "http://127.0.0.1:9/eras"


def test_methods_of_a_reimported_class_read_their_module(modules, monkeypatch):
    second = modules["second"]
    seen = []
    join = second._join_url
    monkeypatch.setattr(second, "_join_url", lambda url, endpoint: seen.append(endpoint) or join(url, endpoint))
    transport = RecordingTransport(FakeResponse(200, {"eras": []}))
    client = second.SignalServiceClient("http://127.0.0.1:9", "token-abc", transport=transport)
    assert client._canonical_request("GET", "eras") == (200, {"eras": []})
    assert seen == ["eras"]


def test_a_function_of_one_module_bound_in_another_runs_with_its_own_names(modules, monkeypatch):
    # The second module's client finds the first module's _request_json under its own name: the
    # call must reach the first module's namespace (its _join_url), not take the second's shortcut.
    first, second = modules["first"], modules["second"]
    seen = []
    join = first._join_url
    monkeypatch.setattr(second, "_request_json", first._request_json)
    monkeypatch.setattr(first, "_join_url", lambda url, endpoint: seen.append(endpoint) or join(url, endpoint))
    transport = RecordingTransport(FakeResponse(200, {"eras": []}))
    client = second.SignalServiceClient("http://127.0.0.1:9", "token-abc", transport=transport)
    assert client._canonical_request("GET", "eras") == (200, {"eras": []})
    assert seen == ["eras"]


@pytest.mark.skipif(sys.version_info < (3, 12), reason="declared from 3.12 on")
def test_a_subinterpreter_is_refused_at_import():
    # Module state aside, interned names and keyword tuples are kept for the process.
    script = textwrap.dedent("""
        import sys
        code = "import quillmarsh.submit"
        if sys.version_info >= (3, 13):
            import _interpreters
            failure = _interpreters.run_string(_interpreters.create(), code)
            print(failure.msg if failure else "imported")
        else:
            import _xxsubinterpreters
            try:
                _xxsubinterpreters.run_string(_xxsubinterpreters.create(), code)
                print("imported")
            except _xxsubinterpreters.RunFailedError as failure:
                print(failure)
        sys.stdout.flush()
    """)
    # (3.12.1 may abort at exit after any subinterpreter import of hashlib or httpx: not checked.)
    done = subprocess.run(
        [sys.executable, "-c", script],
        capture_output=True,
        text=True,
        timeout=60,
        env={"PYTHONPATH": ":".join(sys.path)},
    )
    assert "does not support loading in subinterpreters" in done.stdout, done.stdout + done.stderr
