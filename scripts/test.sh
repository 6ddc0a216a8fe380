#!/usr/bin/env bash
# The test command. From a fresh clone, for each supported Python found on the machine
# (python3.X on the PATH, else pyenv's latest 3.X), it creates a virtual environment,
# installs the package with its test extra and runs the test suite; on the first, it checks
# the sources' style first (scripts/style.sh). On the first of them it
# then runs the sanitizer run, a short run of every fuzz harness against the sanitizer build
# (QUILLMARSH_FUZZ_SECONDS each, default 60) and the leak check, while the other versions'
# suites run beside it (the machine has two cores); beside the fuzz harnesses it tries the sdist
# once (tests/test_release_sdist.py --sdist: built, installed alone, the demo run). It says which
# versions ran and which were not found, and fails when a found version fails or none is found.
#   QUILLMARSH_QUICK=1 scripts/test.sh       the test suites alone
#   QUILLMARSH_PYTHONS="3.12" scripts/test.sh  only these versions
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh
wanted=${QUILLMARSH_PYTHONS:-$supported}

found=() missing=()
for version in $wanted; do
  if interpreter "$version" >/dev/null; then found+=("$version"); else missing+=("$version"); fi
done
echo "== Python versions: found ${found[*]:-none}; not found ${missing[*]:-none}"
[ ${#found[@]} -gt 0 ] || { echo "no supported Python found" >&2; exit 1; }

prepare() {  # a fresh-enough virtual environment with the package and its test extra
  local venv=.venv-$1
  [ -x "$venv/bin/python" ] || "$(interpreter "$1")" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check ".[test]"
}

# The OpenAPI generator the service's document is tried with, in an environment of its own: it
# pins an older httpx than the package is tested with. Its requirement is the openapi-tools extra.
openapi_tools() {
  local venv=build/tools/openapi
  [ -x "$venv/bin/openapi-python-client" ] && return
  "$(interpreter "$1")" -m venv "$venv"
  # shellcheck disable=SC2046
  "$venv/bin/python" -m pip install -q --disable-pip-version-check $("$venv/bin/python" -c \
    'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["openapi-tools"])')
}
mkdir -p build
openapi_tools "${found[0]}"
export QUILLMARSH_OPENAPI_GENERATOR="$PWD/build/tools/openapi/bin/openapi-python-client"

suite() {  # the test suite on version $1
  prepare "$1" && ".venv-$1/bin/python" -m pytest -q -p no:cacheprovider
}

# The other versions run in the background, each logged; their summaries come at the end.
first=${found[0]} others=("${found[@]:1}")
mkdir -p build
background=""
if [ ${#others[@]} -gt 0 ]; then
  ( status=0
    for version in "${others[@]}"; do
      suite "$version" >"build/test-$version.log" 2>&1 && echo 0 >"build/test-$version.status" ||
        { echo 1 >"build/test-$version.status"; status=1; }
    done
    exit $status ) &
  background=$!
fi

failed=()
echo "== test suite on Python $first"
prepare "$first"
python="$PWD/.venv-$first/bin/python"
echo "== style: ruff and clang-format (scripts/style.sh --fix rewrites)"
PYTHON="$python" scripts/style.sh || failed+=("style")
"$python" -m pytest -q -p no:cacheprovider || failed+=("$first")
if [ "${QUILLMARSH_QUICK:-0}" != 1 ] && [ ${#failed[@]} -eq 0 ]; then
  echo "== sanitizer run (ASan + UBSan) on Python $first"
  PYTHON="$python" scripts/sanitize.sh || failed+=("$first sanitizer")
  # The sdist, built and tried alone in a clean virtual environment (tests/test_release_sdist.py),
  # beside the fuzz harnesses: they keep one core busy for a set time, the sdist's build takes the other.
  "$python" -m pytest -q -p no:cacheprovider --sdist tests/test_release_sdist.py >build/test-sdist.log 2>&1 &
  sdist_test=$!
  fuzz_seconds=${QUILLMARSH_FUZZ_SECONDS:-60}
  echo "== fuzz harnesses against the sanitizer build (${fuzz_seconds} s each)"
  PYTHON="$python" scripts/fuzz.sh "$fuzz_seconds" || failed+=("$first fuzz")
  echo "== leak check"
  "$python" scripts/leak_check.py || failed+=("$first leak check")
  if wait "$sdist_test"; then
    echo "== sdist built, installed alone and run on Python $first: $(tail -n 1 build/test-sdist.log)"
  else
    failed+=("$first sdist")
    tail -n 60 build/test-sdist.log
  fi
fi

if [ -n "$background" ]; then
  wait "$background" || true
  for version in "${others[@]}"; do
    echo "== test suite on Python $version: $(tail -n 1 "build/test-$version.log")"
    if [ "$(cat "build/test-$version.status" 2>/dev/null)" != 0 ]; then
      failed+=("$version")
      tail -n 60 "build/test-$version.log"
    fi
  done
fi
echo "== Python versions run: ${found[*]}; not found: ${missing[*]:-none}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "== failed: ${failed[*]}" >&2
  exit 1
fi
