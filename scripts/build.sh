#!/usr/bin/env bash
# Builds into a directory (default: build). Extra arguments go to cmake, for example
# -DALARM_SANITIZE=address.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
ninja -C "$dir"
