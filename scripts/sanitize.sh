#!/usr/bin/env bash
# Builds with a sanitizer and runs every test under it: address (AddressSanitizer with
# UndefinedBehaviorSanitizer) or thread (ThreadSanitizer). The end-to-end scenarios run the
# sanitized program itself, so its threads and processes are checked too.
#   scripts/sanitize.sh address|thread
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:?usage: scripts/sanitize.sh address|thread}
scripts/setup.sh
cmake -S . -B "build-$mode" -G Ninja -DALARM_SANITIZE="$mode" >/dev/null
# What the tests run, not the benchmarks: the suite's binaries, alarm-sim with the program
# and its stand-ins, and the artwork.
start=$(date +%s)
ninja -C "build-$mode" unit_tests e2e_tests alarm-sim artwork
built=$(date +%s)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=second_deadlock_stack=1
status=0
(cd "build-$mode" && ctest --output-on-failure -j2 ${SANITIZE_EXCLUDE:+-E "$SANITIZE_EXCLUDE"}) || status=$?
echo "$mode: build $((built - start)) s, tests $(($(date +%s) - built)) s"
exit $status
