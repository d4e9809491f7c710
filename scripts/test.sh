#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the unit tests, the end-to-end
# scenarios and the check of alarm-sim's contract.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
(cd build && ctest --output-on-failure -j2)
