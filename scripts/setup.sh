#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libpng-dev zlib1g-dev pkg-config libdrm-dev
  sqlite3 libgtest-dev libgmock-dev libbenchmark-dev python3 tzdata
  libfreetype-dev libharfbuzz-dev libharfbuzz-bin libexpat1-dev
  fonts-roboto-unhinted fonts-noto-core fonts-droid-fallback
  libmpg123-dev libvorbisidec-dev libspeexdsp-dev libmp3lame-dev libvorbis-dev
  libsndfile1-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  . "$(dirname "$0")/apt.sh"
  apt_install setup.sh "${missing[@]}"
fi
