#!/usr/bin/env bash
# Cross-builds the program for 64-bit ARM into build-arm64 and runs every test there under
# qemu-aarch64: the unit tests, the end-to-end scenarios and the check of alarm-sim's
# contract. This is where the record sizes and alignment of a 64-bit phone are exercised.
# Installs what is missing first (Debian, as root). Prints how long the build and the tests
# took. Extra arguments go to ctest, for example -R Snooze.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build-arm64
export DEBIAN_FRONTEND=noninteractive

host_packages=(cmake ninja-build sqlite3 python3 tzdata qemu-user qemu-user-binfmt
  g++-aarch64-linux-gnu)
# The arm64 runtime comes from the multiarch packages alone (C library, C++ library, libpng,
# zlib), so the test binaries never mix two builds of the C library.
target_packages=(libc6:arm64 libstdc++6:arm64 libpng-dev:arm64 zlib1g-dev:arm64
  libgtest-dev:arm64 libgmock-dev:arm64)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

install_missing() {
  local missing=() p
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    echo "adding the arm64 architecture"
    dpkg --add-architecture arm64
  fi
  for p in "${host_packages[@]}" "${target_packages[@]}"; do
    installed "$p" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

# The end-to-end scenarios start arm64 programs from arm64 programs (the tests start
# alarm-sim, alarm-sim starts the program) and from the host's shell and python (the ring
# player, the contract check), so the kernel itself must hand arm64 executables to qemu.
binfmt=/proc/sys/fs/binfmt_misc
binfmt_rule=/usr/lib/binfmt.d/qemu-aarch64.conf
register_binfmt() {
  [ -e "$binfmt/qemu-aarch64" ] && return 0
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || true
  if [ -w "$binfmt/register" ] && [ -r "$binfmt_rule" ]; then
    echo "registering qemu-aarch64 for arm64 executables"
    grep -v '^#' "$binfmt_rule" >"$binfmt/register" || true
  fi
  [ -e "$binfmt/qemu-aarch64" ] && grep -qx enabled "$binfmt/qemu-aarch64"
}

install_missing
if ! register_binfmt; then
  echo "arm64.sh: arm64 executables cannot be started directly (binfmt_misc is not" >&2
  echo "  available or qemu-aarch64 could not be registered); the end-to-end scenarios need" >&2
  echo "  it. Run as root on a kernel with binfmt_misc." >&2
  exit 2
fi

start=$(date +%s.%N)
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake >/dev/null
ninja -C "$dir" -j2
built=$(date +%s.%N)
status=0
(cd "$dir" && ctest -j2 --output-on-failure "$@") || status=$?
done_at=$(date +%s.%N)
awk -v s="$start" -v b="$built" -v d="$done_at" \
  'BEGIN { printf "arm64: build %.1f s, tests under qemu %.1f s\n", b - s, d - b }'
exit $status
