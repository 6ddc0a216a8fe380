#!/usr/bin/env bash
# The sources' style: ruff (lint and format, settings in pyproject.toml) for the Python files,
# clang-format (.clang-format) for the native ones. Checks by default; --fix rewrites the files.
#   PYTHON=.venv-3.11/bin/python scripts/style.sh [--fix]
set -euo pipefail
cd "$(dirname "$0")/.."
bin="$(dirname "${PYTHON:-.venv-3.11/bin/python}")"
mapfile -t native < <(find native_sources -name '*.cpp' -o -name '*.hpp' | sort)
if [ "${1:-}" = --fix ]; then
  "$bin/ruff" check --fix . && "$bin/ruff" format . && "$bin/clang-format" -i "${native[@]}"
else
  "$bin/ruff" check --quiet . && "$bin/ruff" format --check --quiet . && "$bin/clang-format" --dry-run --Werror "${native[@]}"
fi
