#!/usr/bin/env bash
# Runs the test suite against the extension built with AddressSanitizer and
# UndefinedBehaviorSanitizer (see scripts/asan-env.sh), but the tests marked whole_system
# (the whole system at scale, static checks of files) or python_layers (the command line,
# settings, the local service, the policy modules), whose native paths the focused tests
# cover; arguments replace that selection (scripts/sanitize.sh tests/test_x.py).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/asan-env.sh
if [ $# -eq 0 ]; then set -- -m "not whole_system and not python_layers"; fi
"$python" -m pytest -q -p no:cacheprovider "$@"
