#!/usr/bin/env bash
# Runs every suite: starts the private Wine desktop the Windows tests need,
# runs CTest in the POSIX build, and stops what it started.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
state="$top/build/wine-state"

stop() { bash "$top/tests/wine/harness.sh" stop "$state" || true; }
trap stop EXIT
bash "$top/tests/wine/harness.sh" start "$state"
export PELMATIC_WINE_STATE="$state"
status=0
ctest --test-dir "$top/build/posix" --output-on-failure --timeout 1200 || status=1
# The POSIX suites once more under AddressSanitizer and UndefinedBehaviorSanitizer:
# any finding aborts the program or the test binary and fails the suite.
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1"
ctest --test-dir "$top/build/posix-asan" --output-on-failure --timeout 1200 \
      -R '^(unit_posix|e2e_posix)$' || status=1
exit $status
