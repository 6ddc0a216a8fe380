#!/usr/bin/env bash
# Incremental developer build: compiles the extension with CMake into build/dev-<python> and
# drops it next to the Python sources, so `PYTHONPATH=python pytest` runs against it (each
# Python version has its own build folder and its own module file name).
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python}
build=build/dev-$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$build"
# Replace by rename, never in place: a running interpreter keeps the old file mapped.
for so in "$build"/submit*.so; do
  cp "$so" "python/quillmarsh/.$(basename "$so").tmp"
  mv -f "python/quillmarsh/.$(basename "$so").tmp" "python/quillmarsh/$(basename "$so")"
done
