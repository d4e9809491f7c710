#!/usr/bin/env bash
# Installs what is missing, builds what the demo runs (alarm-sim, the program and the ring
# player on the sandbox platform, the stand-in player, the artwork and the default ring; not
# the tests and benchmarks), and runs the simulated alarm (alarm-sim demo).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
ninja -C build alarm-sim poweroff_alarm_sandbox alarm-player alarm-player-standin artwork \
  default_ring
build/sim/alarm-sim demo "${1:-alarm-demo}"
