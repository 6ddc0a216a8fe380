#!/usr/bin/env bash
# The demo command. From a fresh clone it creates a virtual environment, installs the
# package, and runs the main job against the local signal service (python -m quillmarsh.demo).
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${QUILLMARSH_VENV:-.venv}
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check .
exec "$venv/bin/python" -m quillmarsh.demo
