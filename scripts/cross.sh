#!/usr/bin/env bash
# Cross-builds for a phone's ARM and runs the tests there under qemu:
#   scripts/cross.sh arm64|armhf [--unit] [CTEST-ARGS...]
#   scripts/cross.sh arm64|armhf --build TARGET...   (builds only these, runs nothing)
# arm64 is a 64-bit phone (g++-aarch64-linux-gnu, build-arm64), armhf the 32-bit phone the
# program was made for (g++-arm-linux-gnueabihf, build-armhf: 32-bit time_t, 16-byte input
# events). Without --unit it builds everything and runs the whole suite (unit tests,
# end-to-end scenarios, the checks); with --unit only the unit tests, as CI does. Extra
# arguments go to ctest, for example -R Snooze.
# It first prints the record sizes the build shares with the kernel and fails when they are
# not the phone's; at the end it prints how long the set-up, the build and the tests took.
# Installs what is missing (Debian, as root: Debian's cross compilers and the target's
# multiarch libraries) and registers qemu with binfmt_misc.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/apt.sh
usage="usage: scripts/cross.sh arm64|armhf [--unit | --build TARGET...] [CTEST-ARGS...]"
arch=${1:?$usage}
shift
unit_only=0
build_only=0
if [ "${1:-}" = --unit ]; then
  unit_only=1
  shift
elif [ "${1:-}" = --build ]; then
  build_only=1
  shift
  [ $# -gt 0 ] || { echo "$usage" >&2; exit 2; }
fi

# Per target: the cross triple, qemu's name, and the record sizes of its phone
# (struct input_event, time_t, long).
case "$arch" in
  arm64) triple=aarch64-linux-gnu qemu=aarch64 sizes="24 8 8" ;;
  armhf) triple=arm-linux-gnueabihf qemu=arm sizes="16 4 4" ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
dir=build-$arch
export DEBIAN_FRONTEND=noninteractive

host_packages=(cmake ninja-build pkg-config sqlite3 python3 tzdata qemu-user qemu-user-binfmt
  "g++-$triple")
# The target's runtime comes from the multiarch packages alone (C library, C++ library,
# libpng, zlib, libdrm, FreeType, HarfBuzz and expat for the label, the ring player's
# decoders and resampler, and the encoders its test sounds are made with), so the test
# binaries never mix two builds of the C library.
target_packages=("libc6:$arch" "libstdc++6:$arch" "libpng-dev:$arch" "zlib1g-dev:$arch"
  "libdrm-dev:$arch" "libgtest-dev:$arch" "libgmock-dev:$arch" "libfreetype-dev:$arch"
  "libharfbuzz-dev:$arch" "libexpat1-dev:$arch"
  "libmpg123-dev:$arch" "libvorbisidec-dev:$arch" "libspeexdsp-dev:$arch"
  "libmp3lame-dev:$arch" "libvorbis-dev:$arch" "libogg-dev:$arch")

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# When the target's multiarch packages cannot be installed beside the host's (a mirror whose
# index for the target lags behind the host's, so the versions differ), they are unpacked
# into a directory of their own instead: the build finds them there and qemu runs on them.
sysroot=$PWD/build-$arch-sysroot
sysroot_packages=("libc6:$arch" "libstdc++6:$arch" "libgcc-s1:$arch" "libpng16-16:$arch"
  "libpng-dev:$arch" "zlib1g:$arch" "zlib1g-dev:$arch" "libdrm2:$arch" "libdrm-dev:$arch"
  "libgtest-dev:$arch" "libgmock-dev:$arch" "libfreetype6:$arch" "libfreetype-dev:$arch"
  "libharfbuzz0b:$arch" "libharfbuzz-dev:$arch" "libexpat1:$arch" "libexpat1-dev:$arch"
  "libglib2.0-0:$arch" "libglib2.0-dev:$arch" "libgraphite2-3:$arch" "libgraphite2-dev:$arch"
  "libbrotli1:$arch" "libbrotli-dev:$arch" "libpcre2-8-0:$arch" "libbz2-1.0:$arch"
  "libmpg123-0:$arch" "libmpg123-dev:$arch" "libvorbisidec1:$arch" "libvorbisidec-dev:$arch"
  "libspeexdsp1:$arch" "libspeexdsp-dev:$arch"
  "libmp3lame0:$arch" "libmp3lame-dev:$arch" "libogg0:$arch" "libogg-dev:$arch"
  "libvorbis0a:$arch" "libvorbisenc2:$arch" "libvorbis-dev:$arch")
use_sysroot=0
unpack_sysroot() {
  local p dl=$sysroot.debs
  echo "cross.sh: unpacking the $arch packages into $sysroot instead"
  rm -rf "$sysroot"
  mkdir -p "$sysroot" "$dl"
  for p in "${sysroot_packages[@]}"; do
    ls "$dl/${p%%:*}"_*.deb >/dev/null 2>&1 || (cd "$dl" && apt-get download -q "$p" >/dev/null)
  done
  for p in "$dl"/*.deb; do dpkg-deb -x "$p" "$sysroot"; done
  echo "${sysroot_packages[*]}" >"$sysroot/.complete"
}

install_missing() {
  local missing=() p
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    echo "adding the $arch architecture"
    dpkg --add-architecture "$arch"
  fi
  for p in "${host_packages[@]}" "${target_packages[@]}"; do
    installed "$p" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    # A sysroot unpacked from another list of packages is made again.
    if [ "$(cat "$sysroot/.complete" 2>/dev/null)" = "${sysroot_packages[*]}" ]; then
      missing=()
      for p in "${host_packages[@]}"; do installed "$p" || missing+=("$p"); done
      use_sysroot=1
    fi
  fi
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    apt_install cross.sh "${host_packages[@]}"
    if ! apt-get install -y -qq "${target_packages[@]}" >/dev/null 2>&1; then
      local skew
      skew=$(apt_version_skew "${sysroot_packages[@]}")
      if [ -n "$skew" ]; then
        echo "cross.sh: the $arch packages do not install beside the host's: their versions" \
          "differ ($skew); the $arch index lags the host's, and a later run may install them"
      else
        echo "cross.sh: the $arch packages do not install beside the host's"
      fi
      unpack_sysroot
      use_sysroot=1
    fi
  fi
}

# The end-to-end scenarios start target programs from target programs (the tests start
# alarm-sim, alarm-sim starts the program) and from the host's shell and python (the ring
# player, the contract check), so the kernel itself must hand them to qemu.
binfmt=/proc/sys/fs/binfmt_misc
binfmt_rule=/usr/lib/binfmt.d/qemu-$qemu.conf
register_binfmt() {
  [ -e "$binfmt/qemu-$qemu" ] && grep -qx enabled "$binfmt/qemu-$qemu" && return 0
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || true
  if [ -w "$binfmt/register" ] && [ -r "$binfmt_rule" ] && [ ! -e "$binfmt/qemu-$qemu" ]; then
    echo "registering qemu-$qemu for $arch executables"
    grep -v '^#' "$binfmt_rule" >"$binfmt/register" || true
  fi
  [ -e "$binfmt/qemu-$qemu" ] && grep -qx enabled "$binfmt/qemu-$qemu"
}

now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }

start=$(now)
install_missing
sysroot_args=()
if [ "$use_sysroot" = 1 ]; then
  sysroot_args=(-DALARM_CROSS_SYSROOT="$sysroot" -DALARM_QEMU_SYSROOT="$sysroot")
  export QEMU_LD_PREFIX=$sysroot  # for the target programs the tests start through binfmt_misc
fi
if [ "$build_only" = 1 ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/$triple.cmake" \
    "${sysroot_args[@]}" >/dev/null
  ninja -C "$dir" -j2 "$@"
  echo "$arch: set-up and build of $* $(seconds "$start" "$(now)") s"
  exit 0
fi
if ! register_binfmt; then
  echo "cross.sh: $arch executables cannot be started directly (binfmt_misc is not" >&2
  echo "  available or qemu-$qemu could not be registered); the tests need it. Run as root" >&2
  echo "  on a kernel with binfmt_misc." >&2
  exit 2
fi

set_up=$(now)
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/$triple.cmake" \
  "${sysroot_args[@]}" >/dev/null
if [ "$unit_only" = 1 ]; then
  # The unit tests, the artwork and the stand-in player they read, and the size printer.
  ninja -C "$dir" -j2 unit_tests artwork alarm-player-standin record_sizes
else
  ninja -C "$dir" -j2
fi
built=$(now)

# The record sizes the program shares with the kernel, from the target build itself.
printed=$("$dir/tests/record_sizes")
sed "s/^/$arch: /" <<<"$printed"
got=$(awk '{ printf "%s%s", sep, $NF; sep = " " }' <<<"$printed")
if [ "$got" != "$sizes" ]; then
  echo "cross.sh: FAILED: these are not the records of an $arch phone: input_event, time_t and" >&2
  echo "  long are $got bytes, the phone's are $sizes." >&2
  exit 1
fi

# The scenarios run at half their speed: qemu starts each program slowly, and the same virtual
# times then leave it twice the real time.
export ALARM_E2E_SLOWDOWN=${ALARM_E2E_SLOWDOWN:-2}
status=0
if [ "$unit_only" = 1 ]; then
  (cd "$dir" && ctest -j2 --output-on-failure -L unit "$@") || status=$?
else
  (cd "$dir" && ctest -j2 --output-on-failure "$@") || status=$?
fi
done_at=$(now)
what="the whole suite"
[ "$unit_only" = 1 ] && what="the unit tests"
echo "$arch: set-up $(seconds "$start" "$set_up") s, build $(seconds "$set_up" "$built") s," \
  "$what under qemu $(seconds "$built" "$done_at") s"
exit $status
