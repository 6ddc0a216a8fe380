"""Small helpers the tests share (fixtures live in conftest.py)."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any


def host_message(action: Callable[[], Any]) -> str:
    """The text of the exception the interpreter raises for `action`: texts the host produces
    change from version to version, so a test asks the running host instead of spelling them."""
    try:
        action()
    except Exception as exc:  # noqa: BLE001 -- any exception's text is what is asked for
        return str(exc)
    raise AssertionError(f"{action} raised nothing")


def devservice_env() -> dict[str, str]:
    """The environment of a child process of the tests: the package these tests import on its
    path, and no proxy (every request goes to loopback)."""
    import os
    from pathlib import Path

    from quillmarsh import submit

    env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
    env["PYTHONPATH"] = os.pathsep.join(
        filter(None, [str(Path(submit.__file__).parents[1]), os.environ.get("PYTHONPATH", "")])
    )
    return env


def start_devservice(*options: str, stderr: Any = None) -> tuple[Any, dict[str, str]]:
    """`python -m quillmarsh.devservice` with `options`, once it listens: the process and the
    `NAME=value` lines it printed (the token's unless one was given, the CA's with --tls).
    Its standard error is piped unless `stderr` says otherwise (DEVNULL for thousands of requests
    logged with --verbose)."""
    import subprocess
    import sys

    process = subprocess.Popen(
        [sys.executable, "-m", "quillmarsh.devservice", *options],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE if stderr is None else stderr,
        text=True,
        env=devservice_env(),
    )
    count = 1 + (not any(o.startswith("--token") for o in options)) + ("--tls" in options)
    printed = dict(process.stdout.readline().strip().split("=", 1) for _ in range(count))
    return process, printed


def stop_devservice(process: Any) -> str:
    """SIGTERM, as Ctrl-C or a supervisor stops the service; its standard error, once it exited 0."""
    import signal
    import subprocess

    process.send_signal(signal.SIGTERM)
    try:
        _, err = process.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        process.kill()
        raise
    assert process.returncode == 0, err
    return err or ""
