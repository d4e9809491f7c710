#!/usr/bin/env bash
# Installs what is missing, builds, and runs the simulated alarm (alarm-sim demo).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
build/sim/alarm-sim demo "${1:-alarm-demo}"
