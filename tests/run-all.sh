#!/usr/bin/env bash
# Runs every suite: starts the private Wine desktops the Windows tests need,
# runs CTest in the POSIX build and in its sanitizer build, gives every fuzz
# target a short run, and stops what it started. Ends with one
# "N passed, N failed" line over all suites.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
state="$top/build/wine-state"
logs="$top/build/test-logs"
rm -rf "$logs"
mkdir -p "$logs"

# Which Windows build Wine runs here, decided by starting a 32-bit program
# once: the 32-bit one (what most vendors ship) where the host runs it,
# else the 64-bit one. PELMATIC_WINE_ARCH=win32|win64 chooses the other.
if bash "$top/scripts/host-runs-i386.sh"; then runs_i386=1; else runs_i386=0; fi
arch=${PELMATIC_WINE_ARCH:-}
case $arch in
  "") if [ $runs_i386 = 1 ]; then arch=win32; else arch=win64; fi ;;
  win64) ;;
  win32)
    if [ $runs_i386 = 0 ]; then
      echo "run-all: PELMATIC_WINE_ARCH=win32, but this host runs 64-bit code only" >&2
      exit 1
    fi ;;
  *) echo "run-all: PELMATIC_WINE_ARCH must be win32 or win64, not '$arch'" >&2; exit 1 ;;
esac
# The other build's unit tests run in a prefix of their own, where they can.
other=""
if [ $arch = win32 ]; then other=win64; elif [ $runs_i386 = 1 ]; then other=win32; fi
state_other="$top/build/wine-state-$other"

stop() {
  [ -z "${asan_pid:-}" ] || kill "$asan_pid" 2>/dev/null || true
  bash "$top/tests/wine/harness.sh" stop "$state" || true
  [ -z "$other" ] || bash "$top/tests/wine/harness.sh" stop "$state_other" || true
}
trap stop EXIT
bash "$top/tests/wine/harness.sh" start "$state" "$arch"
export PELMATIC_WINE_STATE="$state"
if [ -n "$other" ]; then
  bash "$top/tests/wine/harness.sh" start "$state_other" "$other"
  export PELMATIC_WINE_STATE_OTHER="$state_other"
fi
if [ -n "$other" ]; then units="both builds"; else units="the $arch build"; fi
echo "run-all: the Wine end-to-end suites run the $arch build (build/windows$([ $arch = win64 ] && echo 64)); the Windows unit tests run on $units"
if [ $runs_i386 = 0 ]; then
  echo "run-all: the 32-bit build (build/windows) was built and its size and imports checked, but not run: this host runs 64-bit code only (a 32-bit program gives \"Exec format error\")"
fi

passed=0 failed=0
count() {  # suites passed and failed in a CTest log
  passed=$((passed + $(grep -cE 'Test +#[0-9]+: .* Passed' "$1" || true)))
  failed=$((failed + $(grep -cE 'Test +#[0-9]+: .*(Failed|Timeout|Not Run|Exception)' "$1" || true)))
}

# The POSIX suites once more under AddressSanitizer and UndefinedBehaviorSanitizer:
# any finding aborts the program or the test binary and fails the suite.
# They run beside the plain pass where each POSIX end-to-end pass gets a PID
# namespace of its own (tests/own-pids.sh), in which neither pass's
# PELMATIC.EXE counts as a second copy for the other's guard; else after it.
asan=(env ASAN_OPTIONS="abort_on_error=1:detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1"
      PELMATIC_SKIP_TIMEOUT_CASES=1
      ctest --test-dir "$top/build/posix-asan" --output-on-failure --timeout 1200
      -R '^(unit_posix|e2e_posix)$')
set +e
asan_pid=""
if unshare --pid --fork --kill-child --mount-proc true 2>/dev/null; then
  "${asan[@]}" >"$logs/ctest-asan.log" 2>&1 &
  asan_pid=$!
fi

# Two at a time: the POSIX end-to-end suite beside the Windows ones, which
# take turns (they share the Wine harness). The two builds' programs do not
# see each other as a second copy: Wine's are Windows processes.
ctest --test-dir "$top/build/posix" --output-on-failure --timeout 1200 -j 2 | tee "$logs/ctest.log"
rc_main=${PIPESTATUS[0]}
if [ -n "$asan_pid" ]; then
  wait "$asan_pid"
  rc_asan=$?
  asan_pid=""
else
  "${asan[@]}" >"$logs/ctest-asan.log" 2>&1
  rc_asan=$?
fi
set -e
cat "$logs/ctest-asan.log"
count "$logs/ctest.log"
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
