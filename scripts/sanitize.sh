#!/usr/bin/env bash
# Runs the test suite against the extension built with AddressSanitizer and
# UndefinedBehaviorSanitizer (see scripts/asan-env.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/asan-env.sh
"$python" -m pytest -q -p no:cacheprovider "$@"
