#!/usr/bin/env bash
# Runs the cross-compiled unit tests under the run's Wine prefix.
set -euo pipefail
: "${PELMATIC_WINE_STATE:?start the Wine harness first (tests/run-all.sh does)}"
# shellcheck disable=SC1091
. "$PELMATIC_WINE_STATE/env.sh"
exec wine "$1" --gtest_brief=1
