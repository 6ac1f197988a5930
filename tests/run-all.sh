#!/usr/bin/env bash
# Runs every suite: starts the private Wine desktop the Windows tests need,
# runs CTest in the POSIX build and in its sanitizer build, gives every fuzz
# target a short run, and stops what it started. Ends with one
# "N passed, N failed" line over all suites.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
state="$top/build/wine-state"
logs="$top/build/test-logs"
rm -rf "$logs"
mkdir -p "$logs"

stop() { bash "$top/tests/wine/harness.sh" stop "$state" || true; }
trap stop EXIT
bash "$top/tests/wine/harness.sh" start "$state"
export PELMATIC_WINE_STATE="$state"

passed=0 failed=0
count() {  # suites passed and failed in a CTest log
  passed=$((passed + $(grep -cE 'Test +#[0-9]+: .* Passed' "$1" || true)))
  failed=$((failed + $(grep -cE 'Test +#[0-9]+: .*(Failed|Timeout|Not Run|Exception)' "$1" || true)))
}

# Two at a time: the POSIX end-to-end suite beside the Windows ones, which
# take turns (they share the Wine harness). The two builds' programs do not
# see each other as a second copy: Wine's are Windows processes.
set +e
ctest --test-dir "$top/build/posix" --output-on-failure --timeout 1200 -j 2 | tee "$logs/ctest.log"
rc_main=${PIPESTATUS[0]}
set -e
count "$logs/ctest.log"

# The POSIX suites once more under AddressSanitizer and UndefinedBehaviorSanitizer:
# any finding aborts the program or the test binary and fails the suite.
set +e
ASAN_OPTIONS="abort_on_error=1:detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
PELMATIC_SKIP_TIMEOUT_CASES=1 \
  ctest --test-dir "$top/build/posix-asan" --output-on-failure --timeout 1200 \
        -R '^(unit_posix|e2e_posix)$' | tee "$logs/ctest-asan.log"
rc_asan=${PIPESTATUS[0]}
set -e
count "$logs/ctest-asan.log"

# Every fuzz target briefly, on its seed corpus and the inputs that once
# broke something.
if PELMATIC_FUZZ_JOBS=2 bash "$top/tests/fuzz/run.sh" "${PELMATIC_FUZZ_SMOKE_SECONDS:-10}" \
     "$logs/fuzz"; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
fi

# A CTest that failed without naming a failed suite still fails the run.
[ "$rc_main" -eq 0 ] && [ "$rc_asan" -eq 0 ] || [ "$failed" -gt 0 ] || failed=1
echo "suites: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
