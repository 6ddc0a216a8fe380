#!/usr/bin/env bash
# Incremental developer build: compiles the extension with CMake into build/dev and drops
# it next to the Python sources, so `PYTHONPATH=python pytest` runs against it.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python}
cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build build/dev
# Replace by rename, never in place: a running interpreter keeps the old file mapped.
for so in build/dev/submit*.so; do
  cp "$so" "python/quillmarsh/.$(basename "$so").tmp"
  mv -f "python/quillmarsh/.$(basename "$so").tmp" "python/quillmarsh/$(basename "$so")"
done
