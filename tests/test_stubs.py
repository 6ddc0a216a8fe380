"""The type stubs of quillmarsh.submit: checked against the runtime by mypy's stubtest, complete
down to the private members stubtest does not insist on, and strict enough to catch misuse."""

import ast
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import quillmarsh
from quillmarsh import submit

PACKAGE = Path(quillmarsh.__file__).parent
STUB = PACKAGE / "submit.pyi"


def mypy_env():
    """The environment of a mypy run that finds the very package these tests import."""
    env = dict(os.environ)
    root = str(PACKAGE.parent)
    if "site-packages" not in PACKAGE.parts:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [root, env.get("PYTHONPATH")]))
    return env


def run_mypy(args, cwd):
    (cwd / "mypy.ini").write_text("[mypy]\n")  # no configuration from elsewhere applies
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=cwd, env=mypy_env(), capture_output=True, text=True, timeout=600
    )


@pytest.mark.whole_system
def test_stubtest_is_clean(tmp_path):
    assert (PACKAGE / "py.typed").is_file()
    done = run_mypy(
        ["mypy.stubtest", "--mypy-config-file", "mypy.ini", "quillmarsh.submit", "quillmarsh.async_client"], tmp_path
    )
    assert done.returncode == 0, done.stdout + done.stderr


SDK_MODULES = (
    "quillmarsh",
    "quillmarsh.client",
    "quillmarsh.async_sdk",
    "quillmarsh._face",
    "quillmarsh.config",
    "quillmarsh.prescreen",
    "quillmarsh.causes",
    "quillmarsh.errors",
    "quillmarsh._face_transport",
    "quillmarsh.signal_types",
    "quillmarsh.transports",
    "quillmarsh._steps",
    "quillmarsh._explain",
    "quillmarsh.progress",
    "quillmarsh.async_client",
    "quillmarsh.records",
    "quillmarsh.dask",
)


@pytest.mark.whole_system
def test_the_sdk_type_checks_strictly(tmp_path):
    modules = [arg for name in SDK_MODULES for arg in ("-m", name)]
    done = run_mypy(["mypy", "--config-file", "mypy.ini", "--strict", *modules], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def stub_names(body):
    names = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = node
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update({alias.asname: node for alias in node.names if alias.asname})  # re-exports only
    return names


def test_stub_lists_every_runtime_name_and_member():
    tree = stub_names(ast.parse(STUB.read_text()).body)
    runtime = {name for name in vars(submit) if not name.startswith("__")} - {"Any", "Callable"}  # typing helpers
    assert sorted(runtime - set(tree)) == []
    assert sorted(name for name in tree if name not in runtime and not name.startswith("_")) == []
    for cls in (c for c in vars(submit).values() if isinstance(c, type) and c.__module__ == submit.__name__):
        members = {n for n in vars(cls) if n not in ("__module__", "__doc__", "__dict__", "__weakref__")}
        assert sorted(members - set(stub_names(tree[cls.__name__].body))) == [], cls.__name__


@pytest.mark.whole_system
def test_stubs_reject_misuse(tmp_path):
    """Every deliberate misuse carries an ignore for the error it must raise; with
    --warn-unused-ignores, a stub too lax to report it fails the run."""
    (tmp_path / "usage.py").write_text(
        textwrap.dedent("""
        from quillmarsh import submit
        from quillmarsh.submit import SignalServiceClient, StatusResult, SubmitResult, SubmissionRejectedError

        client = SignalServiceClient("https://signals.example", "token", timeout=5.0)
        accepted: SubmitResult = client.submit_signal(
            "rank(close)", "us_top", signal_pool_name="pool-a", is_stats={"sharpe": 1.0}, is_pnl_mi=0.4,
            expression_elapsed_seconds=0.5)
        polled: StatusResult = client.poll_until_terminal("s-1", timeout=1.0)
        statuses: frozenset[str] = submit._TERMINAL_STATUSES
        code: int = SignalServiceClient._batch_http_status_for_items([])
        reason: int = SubmissionRejectedError(400, "bad").status_code

        client.submit_signal("g", signal_pool_name="p", is_stats={}, is_pnl_mi=0.1)  # type: ignore[call-arg]
        client.poll_until_terminal("s-1", 1.0)  # type: ignore[call-arg]
        SignalServiceClient("https://signals.example", "token", 5.0)  # type: ignore[call-arg]
        wrong: StatusResult = client.get_signal_status("s-1").status_code  # type: ignore[assignment]
        client.list_signal_submissions(state="x")  # type: ignore[call-arg]
        client.close(True)  # type: ignore[call-arg]
    """)
    )
    done = run_mypy(
        ["mypy", "--strict", "--warn-unused-ignores", "--no-incremental", "--config-file", "mypy.ini", "usage.py"],
        tmp_path,
    )
    assert done.returncode == 0, done.stdout + done.stderr
