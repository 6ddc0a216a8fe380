#!/usr/bin/env bash
# The test command. From a fresh clone it creates a virtual environment, installs the
# package with its test extra, runs the test suite, then the sanitizer run, a short run of
# every fuzz harness against the sanitizer build (QUILLMARSH_FUZZ_SECONDS each, default 60),
# and the leak check.
#   QUILLMARSH_QUICK=1 scripts/test.sh   runs the test suite alone
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${QUILLMARSH_VENV:-.venv}
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
python="$PWD/$venv/bin/python"
"$python" -m pip install -q --disable-pip-version-check ".[test]"

echo "== test suite"
"$python" -m pytest -q -p no:cacheprovider
if [ "${QUILLMARSH_QUICK:-0}" = 1 ]; then exit 0; fi

echo "== sanitizer run (ASan + UBSan)"
PYTHON="$python" scripts/sanitize.sh
fuzz_seconds=${QUILLMARSH_FUZZ_SECONDS:-60}
echo "== fuzz harnesses against the sanitizer build (${fuzz_seconds} s each)"
PYTHON="$python" scripts/fuzz.sh "$fuzz_seconds"
echo "== leak check"
"$python" scripts/leak_check.py
