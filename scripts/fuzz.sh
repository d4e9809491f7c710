#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for SECONDS (default 60) on its corpus:
# the seeds of fuzz/corpus/NAME/ and what earlier runs found (kept in the build directory).
# Prints per target the executions, the corpus size and the result, and exits non-zero when
# any target crashed, leaked, hung or tripped a sanitizer.
#   scripts/fuzz.sh [SECONDS] [TARGET...]     targets: alarm_row alarm_flag alarm_delay png
#                                             label font_list persistent_properties
#                                             sound_file player_config
# FUZZ_JOBS=2 runs two targets at a time; FUZZ_BUILD_DIR chooses the build directory
# (default build-fuzz). A single allocation of more than 512 MB counts as a failure: no
# input of these files needs one.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
dir=${FUZZ_BUILD_DIR:-build-fuzz}
jobs=${FUZZ_JOBS:-1}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(alarm_row alarm_flag alarm_delay png label font_list persistent_properties sound_file player_config)

case "$seconds" in
  '' | *[!0-9]*) echo "fuzz.sh: SECONDS must be a whole number, not '$seconds'" >&2; exit 2 ;;
esac

# Longest input per target: rows past the reader's line buffer, a configuration and a note
# well past the bytes read from them, images and ring files of a few kilobytes, settings
# and mixer paths of several.
max_len() {
  case "$1" in
    alarm_row) echo 4096 ;;
    alarm_flag | alarm_delay) echo 1024 ;;
    persistent_properties) echo 4096 ;;
    png) echo 16384 ;;
    label) echo 65536 ;;  # a label and a small font file
    font_list) echo 16384 ;;
    sound_file) echo 16384 ;;
    player_config) echo 8192 ;;
    *) echo "fuzz.sh: unknown target $1" >&2; return 1 ;;
  esac
}
for t in "${targets[@]}"; do max_len "$t" >/dev/null; done

echo "building the fuzz targets in $dir"
CC=clang CXX=clang++ cmake -S fuzz -B "$dir" -G Ninja >/dev/null
if ! ninja -C "$dir" -j2 >"$dir/build.log" 2>&1; then
  cat "$dir/build.log" >&2
  exit 1
fi

mkdir -p "$dir/logs" "$dir/artifacts" "$dir/corpus/label"
# A real font behind a label, as a seed of the label's target: Debian's Hebrew face is small.
hebrew=/usr/share/fonts/truetype/noto/NotoSansHebrew-Regular.ttf
if [ -r "$hebrew" ] && [ ! -e "$dir/corpus/label/hebrew_font" ]; then
  { printf '\002\010\000'; printf 'שלום'; cat "$hebrew"; } >"$dir/corpus/label/hebrew_font"
fi
# Each input is written to a file of the sandbox: on a memory file system where there is
# one, as a disk shared with others makes every write wait.
tmp_base="$PWD/$dir/tmp"
[ -d /dev/shm ] && [ -w /dev/shm ] && tmp_base=/dev/shm
mkdir -p "$tmp_base"
run_target() {
  local name=$1
  local work="$dir/corpus/$name" tmp
  tmp=$(mktemp -d "$tmp_base/alarm-fuzz-$name.XXXXXX")
  mkdir -p "$work"
  local rc=0
  TMPDIR="$tmp" \
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:allocator_may_return_null=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$dir/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=512 \
    -max_len="$(max_len "$name")" -close_fd_mask=3 -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/$name-" "$work" "fuzz/corpus/$name" \
    >"$dir/logs/$name.log" 2>&1 || rc=$?
  rm -rf "$tmp"
  echo "$rc" >"$dir/logs/$name.rc"
}

echo "running ${targets[*]} for ${seconds} s each, $jobs at a time"
running=0
for t in "${targets[@]}"; do
  run_target "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

failed=0
for t in "${targets[@]}"; do
  log="$dir/logs/$t.log"
  rc=$(cat "$dir/logs/$t.rc")
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1 || true)
  corpus=$( (grep -o 'corp: [0-9]*/[0-9]*[bkKMG]*' "$log" || true) | tail -1 | sed 's/corp: //')
  if [ "$rc" = 0 ] && ! grep -q 'ERROR: \|SUMMARY: ' "$log"; then
    result=ok
  else
    result="FAILED (exit $rc; log $log)"
    failed=1
  fi
  printf '%-12s %12s executions   corpus %-14s %s\n' "$t" "${execs:-?}" "${corpus:-?}" "$result"
done

if [ "$failed" != 0 ]; then
  for t in "${targets[@]}"; do
    [ "$(cat "$dir/logs/$t.rc")" = 0 ] && continue
    echo "---- $t" >&2
    grep -A40 -m1 'ERROR: \|SUMMARY: \|deadly signal\|invariant broken' "$dir/logs/$t.log" >&2 || tail -40 "$dir/logs/$t.log" >&2
    ls "$dir/artifacts/$t-"* 2>/dev/null >&2 || true
  done
  exit 1
fi
