#!/usr/bin/env bash
# Runs every built fuzz target for a fixed time, each on a scratch copy of
# its seed corpus, and reports per target the executions and any finding.
#
#   tests/fuzz/run.sh SECONDS [OUTDIR]
#
# OUTDIR keeps, per target, the grown corpus, the log and any reproducer
# (OUTDIR/<target>/artifacts/). Without OUTDIR a temporary folder is used,
# removed afterwards unless something was found.
#
# Exit status: 0 nothing found, 1 a crash, leak, time-out or memory limit
# in any target, 2 a usage or set-up problem (for instance targets not built).
#
# Environment:
#   PELMATIC_FUZZ_BUILD    build folder of the `fuzz` preset (default build/fuzz)
#   PELMATIC_FUZZ_TARGETS  targets to run (default: all eight)
#   PELMATIC_FUZZ_JOBS     targets run side by side (default 1)
#   PELMATIC_FUZZ_MERGE=1  afterwards, add the inputs that reached new code to
#                          the repository corpus (libFuzzer -merge=1)
set -euo pipefail

usage() {
  echo "usage: $0 SECONDS [OUTDIR]" >&2
  exit 2
}
[[ $# -ge 1 && $# -le 2 ]] || usage
SECONDS_EACH=$1
[[ $SECONDS_EACH =~ ^[1-9][0-9]*$ ]] || usage

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
BUILD=${PELMATIC_FUZZ_BUILD:-$ROOT/build/fuzz}
TARGETS=${PELMATIC_FUZZ_TARGETS:-manifest ini textfile peversion unzip url signing patch}
JOBS=${PELMATIC_FUZZ_JOBS:-1}
[[ $JOBS =~ ^[1-9][0-9]*$ ]] || { echo "PELMATIC_FUZZ_JOBS must be a positive number" >&2; exit 2; }

# Extra options per target, into OPTS: lengths that reach past the 4 KiB
# read buffer of the text reader, and the dictionaries.
target_options() {
  case $1 in
    manifest) OPTS=(-max_len=8192 "-dict=$HERE/dict/manifest.dict") ;;
    ini) OPTS=(-max_len=4096 "-dict=$HERE/dict/ini.dict") ;;
    textfile) OPTS=(-max_len=16384) ;;
    peversion) OPTS=(-max_len=8192 "-dict=$HERE/dict/peversion.dict") ;;
    unzip) OPTS=(-max_len=8192 "-dict=$HERE/dict/unzip.dict") ;;
    url) OPTS=(-max_len=512) ;;
    signing) OPTS=(-max_len=1024) ;;
    patch) OPTS=(-max_len=4096 "-dict=$HERE/dict/patch.dict") ;;
    *) return 1 ;;
  esac
}

for t in $TARGETS; do
  target_options "$t" || { echo "unknown fuzz target: $t" >&2; exit 2; }
  if [[ ! -x $BUILD/fuzz_$t ]]; then
    echo "$BUILD/fuzz_$t is not built: cmake --preset fuzz && cmake --build build/fuzz" >&2
    exit 2
  fi
  [[ -d $HERE/corpus/$t ]] || { echo "no seed corpus in $HERE/corpus/$t" >&2; exit 2; }
done

if [[ $# -eq 2 ]]; then
  OUT=$2
  mkdir -p "$OUT"
  OUT=$(cd "$OUT" && pwd)
  KEEP_OUT=1
else
  OUT=$(mktemp -d "${TMPDIR:-/tmp}/pelmatic-fuzz.XXXXXX")
  KEEP_OUT=0
fi

# The targets write a file or a folder on every execution: a RAM-backed
# folder when there is one. Removed at the end even if a target crashed and
# left its own folders behind.
if [[ -d /dev/shm && -w /dev/shm ]]; then
  SCRATCH=$(mktemp -d /dev/shm/pelmatic-fuzz-run.XXXXXX)
else
  SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/pelmatic-fuzz-run.XXXXXX")
fi
# shellcheck disable=SC2317  # called by the trap
cleanup() {
  rm -rf "$SCRATCH"
  if [[ $KEEP_OUT -eq 0 && ${FOUND:-1} -eq 0 ]]; then rm -rf "$OUT"; fi
}
trap cleanup EXIT

# Sanitizer reports with stacks, and a finding ends the run at once.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run_target() {
  local t=$1 dir=$OUT/$1
  rm -rf "$dir"
  mkdir -p "$dir/corpus" "$dir/artifacts" "$SCRATCH/$t"
  cp -R "$HERE/corpus/$t/." "$dir/corpus/"
  local rc=0 OPTS
  target_options "$t"
  PELMATIC_FUZZ_TMP=$SCRATCH/$t "$BUILD/fuzz_$t" \
    -max_total_time="$SECONDS_EACH" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/" "${OPTS[@]}" \
    "$dir/corpus" </dev/null >"$dir/log" 2>&1 || rc=$?
  echo "$rc" >"$dir/rc"
  if [[ ${PELMATIC_FUZZ_MERGE:-0} == 1 && $rc -eq 0 ]]; then
    PELMATIC_FUZZ_TMP=$SCRATCH/$t "$BUILD/fuzz_$t" -merge=1 "${OPTS[@]}" \
      "$HERE/corpus/$t" "$dir/corpus" </dev/null >>"$dir/merge.log" 2>&1
  fi
}

start=$(date +%s)
running=0
for t in $TARGETS; do
  run_target "$t" &
  running=$((running + 1))
  if [[ $running -ge $JOBS ]]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait || true
elapsed=$(($(date +%s) - start))

FOUND=0
printf '%-10s %14s %10s  %s\n' target executions corpus result
for t in $TARGETS; do
  dir=$OUT/$t
  rc=$(cat "$dir/rc" 2>/dev/null || echo 255)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -n 1)
  files=$(find "$dir/corpus" -type f | wc -l)
  kinds=""
  for kind in crash leak timeout oom; do
    n=$(find "$dir/artifacts" -maxdepth 1 -name "$kind-*" | wc -l)
    [[ $n -gt 0 ]] && kinds+="$kind($n) "
  done
  if [[ ! -e $dir/rc ]]; then
    FOUND=2
    result="DID NOT RUN"
  elif [[ $rc -eq 0 && -z $kinds ]]; then
    result=ok
  else
    [[ $FOUND -eq 0 ]] && FOUND=1
    result="FOUND ${kinds:-exit status $rc}"
  fi
  printf '%-10s %14s %10s  %s\n' "$t" "${execs:-?}" "$files" "$result"
  if [[ $result != ok ]]; then
    for f in "$dir"/artifacts/*; do [[ -e $f ]] && echo "  reproducer: $f"; done
    echo "  log: $dir/log (last lines below)"
    tail -n 40 "$dir/log" | sed 's/^/    /'
  fi
done
echo "fuzzing took ${elapsed}s for ${SECONDS_EACH}s per target; output in $OUT$([[ $KEEP_OUT -eq 0 && $FOUND -eq 0 ]] && echo ' (removed)')"
exit $FOUND
