"""The source distribution stands alone: built from this tree, installed into a clean virtual
environment from the sdist and the package index only (the extension compiled from its sources),
it holds what the package ships, imports from the environment, carries the version the source
declares, and runs the demo against the local service. It compiles the extension once, so it runs
only with --sdist (scripts/test.sh runs it once per test command; scripts/wheels.sh tries the
released sdist the same way)."""

import json
import os
import re
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

import quillmarsh

ROOT = Path(__file__).resolve().parents[1]
SHIPPED = {
    "python/quillmarsh/submit.pyi",
    "python/quillmarsh/py.typed",
    "python/quillmarsh/devservice/openapi.json",
    "native_sources/src/static_cxx_runtime.cpp",
    "CMakeLists.txt",
    "pyproject.toml",
    "README.md",
}
PROBE = """
import importlib.metadata as metadata, json, sys, quillmarsh, quillmarsh.submit
files = {str(f) for f in metadata.files("quillmarsh")}
print(json.dumps({"version": quillmarsh.__version__, "metadata": metadata.version("quillmarsh"),
                  "module": quillmarsh.submit.__file__, "prefix": sys.prefix,
                  "shipped": sorted(f for f in files if f.endswith((".pyi", "py.typed", "openapi.json")))}))
"""

pytestmark = pytest.mark.whole_system


@pytest.mark.timeout(1200)
def test_the_sdist_installs_alone_and_runs_the_demo(request, tmp_path):
    if not request.config.getoption("--sdist"):
        pytest.skip("builds and compiles the sdist: run with --sdist (scripts/test.sh does, once)")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV")}

    def run(*argv):
        done = subprocess.run(
            [str(a) for a in argv], check=False, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=900
        )
        assert done.returncode == 0, f"{argv}:\n{done.stdout[-3000:]}\n{done.stderr[-3000:]}"
        return done.stdout

    run(sys.executable, "-m", "build", "--sdist", "--outdir", tmp_path / "dist", ROOT)
    (sdist,) = (tmp_path / "dist").iterdir()
    assert sdist.name == f"quillmarsh-{quillmarsh.__version__}.tar.gz"
    with tarfile.open(sdist) as archive:
        names = {name.partition("/")[2] for name in archive.getnames()}
    assert SHIPPED <= names
    assert not [n for n in names if n.endswith(".so") or re.match(r"(build|dist|\.venv[^/]*)/", n)]

    run(sys.executable, "-m", "venv", "--without-pip", tmp_path / "venv")  # this pip installs into it
    python = tmp_path / "venv" / "bin" / "python"
    run(sys.executable, "-m", "pip", "--python", python, "install", "-q", "--disable-pip-version-check", sdist)
    probe = json.loads(run(python, "-c", PROBE))
    assert probe["version"] == probe["metadata"] == quillmarsh.__version__
    assert Path(probe["module"]).is_relative_to(probe["prefix"])
    assert [Path(f).name for f in probe["shipped"]] == ["openapi.json", "py.typed", "submit.pyi"]
    assert run(tmp_path / "venv" / "bin" / "quillmarsh", "--version") == f"quillmarsh {quillmarsh.__version__}\n"
    assert "250 accepted, 0 failed of 250" in run(python, "-m", "quillmarsh.demo")
