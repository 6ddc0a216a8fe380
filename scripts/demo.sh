#!/usr/bin/env bash
# The demo command. From a fresh clone it creates a virtual environment, installs the
# package, and runs the main job against the local signal service (python -m quillmarsh.demo).
# It says what it is doing on standard error while it builds; the job's own output follows.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${QUILLMARSH_VENV:-.venv}
say() { printf 'demo: %s\n' "$*" >&2; }
if [ ! -x "$venv/bin/python" ]; then
    say "creating the virtual environment $venv"
    python3 -m venv "$venv"
fi
say "building the extension and installing quillmarsh into $venv (about a minute the first time)..."
started=$SECONDS
"$venv/bin/python" -m pip install -q --disable-pip-version-check .
say "installed in $((SECONDS - started)) s; running the main job against the local signal service"
exec "$venv/bin/python" -m quillmarsh.demo
