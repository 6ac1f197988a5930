#!/usr/bin/env bash
# Runs the cross-compiled unit tests of one Windows build under a Wine
# prefix of its architecture: run-unit.sh win32|win64 UNIT_TESTS_EXE.
# The prefixes are the harnesses tests/run-all.sh started
# (PELMATIC_WINE_STATE, and PELMATIC_WINE_STATE_OTHER for the other
# architecture); a build with none, on a host that cannot run it, is
# skipped with exit code 77 and says why.
set -euo pipefail
arch=$1
exe=$2
: "${PELMATIC_WINE_STATE:?start the Wine harness first (tests/run-all.sh does)}"
for state in "$PELMATIC_WINE_STATE" "${PELMATIC_WINE_STATE_OTHER:-}"; do
  [ -n "$state" ] && [ -f "$state/env.sh" ] || continue
  # shellcheck disable=SC1090,SC1091
  (. "$state/env.sh" && [ "$WINEARCH" = "$arch" ]) || continue
  # shellcheck disable=SC1090,SC1091
  . "$state/env.sh"
  export PELMATIC_WINE_STATE="$state"
  exec "$PELMATIC_WINE" "$exe" --gtest_brief=1
done
echo "run-unit: no $arch Wine prefix on this host: $exe was built, not run"
exit 77
