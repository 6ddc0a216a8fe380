#!/usr/bin/env bash
# Runs the fuzz harnesses of fuzz/ against the sanitizer build (scripts/asan-env.sh), one after
# another, SECONDS each (default 60):
#   scripts/fuzz.sh [SECONDS [HARNESS...]]        e.g. nice scripts/fuzz.sh 600 fuzz_requests
# A harness starts from its corpus, build/fuzz/<harness>/ (kept between runs, not committed),
# and replays the committed seeds of fuzz/corpus/<harness>/ first. libFuzzer's whole output
# goes to build/fuzz/<harness>.log; what is printed here is the edges reached (cov: native and
# Python edges, ft: features) at start and end, and the executions. A finding (a crash, a
# sanitizer report, an exception the module does not document, an input running longer than
# 60 s) stops that harness and leaves the input as build/fuzz/<harness>-crash-* (or -timeout-*,
# -oom-*); the script then fails, as it does when a harness does not run at all or runs blind
# to the native code (libFuzzer reports no instrumented module loaded).
# QUILLMARSH_FUZZ_COVERAGE=OFF fuzzes the build without libFuzzer's instrumentation (Python edges
# only), in build/fuzz-nocov/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for harness in fuzz/fuzz_*.py; do names+=("$(basename "$harness" .py)"); done
fi
source scripts/asan-env.sh
out=build/fuzz
[ "$coverage" = ON ] || out=build/fuzz-nocov  # its corpus would not guide the instrumented runs
mkdir -p "$out"
status=0
for name in "${names[@]}"; do
  name=$(basename "$name" .py)
  if [ ! -f "fuzz/$name.py" ]; then echo "no harness fuzz/$name.py" >&2; exit 2; fi
  mkdir -p "$out/$name"
  seeds=()
  if [ -d "fuzz/corpus/$name" ]; then seeds=("../../fuzz/corpus/$name"); fi
  log=$out/$name.log
  echo "== $name (${seconds}s)"
  rc=0
  (cd "$out" && "$python" "../../fuzz/$name.py" "$name" "${seeds[@]}" -max_total_time="$seconds" -timeout=60 \
     -rss_limit_mb=4096 -artifact_prefix="$name-" -print_final_stats=1) >"$log" 2>&1 || rc=$?
  grep -E '^INFO: Loaded|^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' \
    "$log" || true
  if [ "$rc" -ne 0 ]; then
    echo "!! $name: finding or failure (exit $rc); the end of $log:"
    grep -vE 'Submission error|JSON response' "$log" | tail -n 40
    status=1
  elif [ "$coverage" = ON ] && ! grep -q '^INFO: Loaded [0-9]* modules .*inline 8-bit counters' "$log"; then
    # A runtime whose weak coverage callbacks win over libFuzzer's fuzzes blind to native code.
    echo "!! $name: libFuzzer saw no instrumented native module (is the sanitizer runtime preloaded?)"
    status=1
  fi
done
exit $status
