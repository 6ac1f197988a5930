#!/usr/bin/env bash
# Fails, naming each file and line, when C++ code of the program, its unit
# tests, fuzz targets or benchmarks differs from the style in .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files -co --exclude-standard \
  'src/**.cpp' 'src/**.h' 'tests/unit/*.cpp' 'tests/unit/*.h' \
  'tests/fuzz/*.cpp' 'tests/fuzz/*.h' 'bench/*.cpp' | sort -u)
existing=()
for f in "${files[@]}"; do [ -f "$f" ] && existing+=("$f"); done
clang-format --dry-run -Werror "${existing[@]}"
echo "format: ${#existing[@]} files as .clang-format has them"
