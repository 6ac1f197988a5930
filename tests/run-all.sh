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
ctest --test-dir "$top/build/posix" --output-on-failure --timeout 1200
