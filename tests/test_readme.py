"""Every command and code example of the README, run as written against the local service.

The README's blocks run in order: a block marked `<!-- readme-test: service -->` starts each
of its lines as a service and waits for it to say where it listens; `sh` blocks run together
in one bash session (an `export` carries on to later blocks), stopping at the first command
that fails; each `python` block runs in an interpreter of its own; `toml` blocks must be
config files the command line accepts. Only the blocks marked `skip` are not run, and those
may hold nothing but the set-up commands that CI runs itself. The ports the README's services
listen on become free ports of this machine, in every block, so the examples run beside a
service the reader already runs.
"""

import os
import pathlib
import queue
import re
import socket
import subprocess
import sys
import threading
import tomllib

import pytest

from quillmarsh import config

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
BLOCK = re.compile(r"(?:<!-- readme-test: (?P<mark>[^>]*?) -->\n)?```(?P<lang>\w*)\n(?P<body>.*?)```", re.S)
SET_UP_COMMANDS = {"scripts/demo.sh", "scripts/test.sh", "pip install .", "python benchmarks/run_all.py"}


def blocks(text=None):
    return [(m["mark"] or "", m["lang"], m["body"]) for m in BLOCK.finditer(text or README.read_text())]


def on_free_ports(text):
    """The README with each port a service of it listens on (`--port N`) replaced by a free one."""
    services = "".join(body for mark, _, body in blocks(text) if mark == "service")
    for port in set(re.findall(r"--port (\d+)", services)):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            free = probe.getsockname()[1]
        text = re.sub(rf"(?<![\d.]){port}(?!\d)", str(free), text)
    return text


def commands(body):
    return [line.split("#")[0].strip() for line in body.splitlines() if line.split("#")[0].strip()]


def start(line, cwd, env, started):
    """A service started from its README line (kept in `started`), once it has printed its URL."""
    service = subprocess.Popen(
        ["bash", "-c", f"exec {line}"], cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True
    )
    started.append(service)
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(out) for out in service.stdout], daemon=True).start()
    while True:
        try:
            out = lines.get(timeout=30)
        except queue.Empty:
            pytest.fail(f"no URL from {line!r} within 30 s")
        if out.startswith("QUILLMARSH_BASE_URL="):
            return


def test_only_set_up_commands_are_left_to_ci():
    skipped = [c for mark, _, body in blocks() if mark.startswith("skip") for c in commands(body)]
    assert skipped and set(skipped) <= SET_UP_COMMANDS


def test_config_examples_are_accepted(tmp_path, monkeypatch):
    examples = [body for _, lang, body in blocks() if lang == "toml"]
    assert examples
    for body in examples:
        (tmp_path / "config.toml").write_text(body)
        monkeypatch.setenv("QUILLMARSH_CONFIG", str(tmp_path / "config.toml"))
        for name in tomllib.loads(body)["profiles"]:
            profile = config._load_profile(name).values
            assert set(profile) <= config.PROFILE_KEYS and profile["base_url"]


@pytest.mark.whole_system
def test_every_example_runs_as_written(tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("QUILLMARSH_", "SSL_CERT"))}
    env.update(HOME=str(tmp_path), PATH=os.path.dirname(sys.executable) + os.pathsep + env["PATH"])
    if "PYTHONPATH" in env:  # the examples run elsewhere: a source tree on the path must still be found
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep))
    services, script, programs = [], [], []
    try:
        for mark, lang, body in blocks(on_free_ports(README.read_text())):
            if mark == "service":
                for line in commands(body):
                    start(line, tmp_path, env, services)
            elif not mark and lang == "sh":
                script.append(body)
            elif not mark and lang == "python":
                programs.append(body)
        assert len(services) >= 2 and script and programs
        done = subprocess.run(
            ["bash", "-euo", "pipefail", "-c", "\n".join(script)],
            cwd=tmp_path,
            env=env,
            capture_output=True,
            text=True,
            timeout=300,
        )
        assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
        for program in programs:
            ran = subprocess.run(
                [sys.executable, "-c", program], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120
            )
            assert ran.returncode == 0, program + ran.stdout + ran.stderr
    finally:
        for service in services:
            service.terminate()
            service.wait(timeout=30)
