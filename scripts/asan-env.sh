# Sourced by scripts/sanitize.sh and scripts/fuzz.sh: builds the sanitizer variant of the
# extension (CMakeLists.txt, QUILLMARSH_SANITIZE): clang with AddressSanitizer and
# UndefinedBehaviorSanitizer, both halting on the first report, and libFuzzer's instrumentation,
# so that the fuzz harnesses are guided by the native code's edges. It stages the module beside
# a copy of the Python package and exports what a run against it needs: the sanitizer runtime
# with libFuzzer (built beside the module from the same clang) preloaded, which atheris finds and
# uses in place of its own libFuzzer. Python objects are allocated with malloc so that ASan sees
# every use after free; leak detection is off because the interpreter keeps memory at exit
# (scripts/leak_check.py watches for leaks instead).
#   QUILLMARSH_FUZZ_COVERAGE=OFF   the same build without the libFuzzer instrumentation, in
#                                  build/asan-nocov (to measure what the native edges add)
python=${PYTHON:-python}
case $python in /*) ;; */*) python=$PWD/$python ;; esac  # the fuzz runs change directory
cxx=${QUILLMARSH_SANITIZE_CXX:-clang++}
coverage=${QUILLMARSH_FUZZ_COVERAGE:-ON}
build=build/asan
[ "$coverage" = ON ] || build=build/asan-nocov
stage=$build/stage

if ! command -v "$cxx" >/dev/null; then
  echo "asan-env.sh: $cxx not found (Debian: apt-get install clang libclang-rt-14-dev)" >&2
  exit 1
fi
# A build directory configured by another compiler (the variant was once built with g++) is
# started afresh rather than reconfigured in place.
if [ -f "$build/CMakeCache.txt" ] &&
   ! grep -qx "CMAKE_CXX_COMPILER:.*=$(command -v "$cxx")" "$build/CMakeCache.txt"; then
  rm -rf "$build"
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$(command -v "$cxx")" \
  -DQUILLMARSH_SANITIZE=ON -DQUILLMARSH_FUZZ_COVERAGE="$coverage" \
  -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$build"

rm -rf "$stage" && mkdir -p "$stage"
cp -r python/quillmarsh "$stage/quillmarsh"
rm -f "$stage"/quillmarsh/submit*.so
cp "$build"/submit*.so "$stage/quillmarsh/"

export LD_PRELOAD="$PWD/$build/libquillmarsh_sanitizer_rt.so"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
symbolizer=$("$cxx" -print-prog-name=llvm-symbolizer)  # reports with file:line
if [ -x "$symbolizer" ]; then export ASAN_SYMBOLIZER_PATH=$symbolizer; fi
export PYTHONMALLOC=malloc
export PYTHONPATH="$PWD/$stage"
"$python" -c "import quillmarsh.submit as s; assert s.__file__.startswith('$PWD/$stage'), s.__file__"
