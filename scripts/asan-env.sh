# Sourced by scripts/sanitize.sh and scripts/fuzz.sh: builds the extension with
# AddressSanitizer and UndefinedBehaviorSanitizer, stages it beside a copy of the Python
# package, and exports what a run against it needs. Python objects are allocated with malloc
# so that ASan sees every use after free; leak detection is off because the interpreter keeps
# memory at exit (scripts/leak_check.py watches for leaks instead).
python=${PYTHON:-python}
build=build/asan
stage=$build/stage

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMARSH_SANITIZE=ON \
  -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$build"

rm -rf "$stage" && mkdir -p "$stage"
cp -r python/quillmarsh "$stage/quillmarsh"
rm -f "$stage"/quillmarsh/submit*.so
cp "$build"/submit*.so "$stage/quillmarsh/"

export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONMALLOC=malloc
export PYTHONPATH="$PWD/$stage"
"$python" -c "import quillmarsh.submit as s; assert s.__file__.startswith('$PWD/$stage'), s.__file__"
