#!/usr/bin/env bash
# Runs every fuzz harness in fuzz/ against the sanitizer build, SECONDS each (default 60):
#   scripts/fuzz.sh [SECONDS]
# A finding (a crash, a sanitizer report, or an exception the module does not document)
# stops that harness and leaves the input as crash-* in build/fuzz/; the script then fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
source scripts/asan-env.sh
mkdir -p build/fuzz
status=0
for harness in fuzz/fuzz_*.py; do
  name=$(basename "$harness" .py)
  mkdir -p "build/fuzz/$name"
  echo "== $name (${seconds}s)"
  if ! (cd build/fuzz && "$python" "../../$harness" "$name" -max_total_time="$seconds" -rss_limit_mb=4096 \
        -artifact_prefix="$name-" -print_final_stats=1 2>&1 | tail -n 25 | grep -E "Done|stat::number_of_executed_units|ERROR|Uncaught|Error|crash-"); then
    :
  fi
  if ls build/fuzz/"$name"-crash-* >/dev/null 2>&1; then status=1; fi
done
exit $status
