#!/usr/bin/env bash
# Runs every suite: starts the private Wine desktop the Windows tests need,
# runs CTest in the POSIX build and in its sanitizer build, and stops what
# it started. Ends with one "N passed, N failed" line over both runs.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
state="$top/build/wine-state"
logs="$top/build/test-logs"
mkdir -p "$logs"

stop() { bash "$top/tests/wine/harness.sh" stop "$state" || true; }
trap stop EXIT
bash "$top/tests/wine/harness.sh" start "$state"
export PELMATIC_WINE_STATE="$state"

status=0
ctest --test-dir "$top/build/posix" --output-on-failure --timeout 1200 \
  | tee "$logs/ctest.log" || status=1
# The POSIX suites once more under AddressSanitizer and UndefinedBehaviorSanitizer:
# any finding aborts the program or the test binary and fails the suite.
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1"
ctest --test-dir "$top/build/posix-asan" --output-on-failure --timeout 1200 \
      -R '^(unit_posix|e2e_posix)$' | tee "$logs/ctest-asan.log" || status=1

passed=$(cat "$logs/ctest.log" "$logs/ctest-asan.log" | grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' || true)
failed=$(cat "$logs/ctest.log" "$logs/ctest-asan.log" | grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*(Failed|Timeout|Not Run|Exception)' || true)
echo "suites: $passed passed, $failed failed"
[ "$failed" -eq 0 ] || status=1
exit $status
