# shellcheck shell=bash
# Debian package installs that a registry's hiccup does not break; sourced by the set-up
# scripts (setup.sh, cross.sh, vm.sh):
#   apt_update WHO [PACKAGE...]    # the index, tried again after a pause when it fails
#   apt_install WHO PACKAGE...     # the index, then the packages
#   apt_version_skew PACKAGE:ARCH...
# A mirror in the middle of a sync makes `apt-get update` fail for one index while the others
# are fine: the update is tried a few times, and goes on when every package named has a
# candidate.

# True when apt offers a candidate for the package (NAME or NAME:ARCH).
apt_offers() {
  [[ "$(apt-cache policy "$1" 2>/dev/null)" == *"Candidate: "[!\(]* ]]
}

apt_update() {
  local who=$1 try p lacking
  shift
  for try in 1 2 3 4; do
    apt-get update -qq 2>/dev/null && return 0
    lacking=()
    for p in "$@"; do apt_offers "$p" || lacking+=("$p"); done
    if [ $# -gt 0 ] && [ ${#lacking[@]} -eq 0 ]; then
      echo "$who: apt-get update failed for some index; every package needed is offered, going on" >&2
      return 0
    fi
    if [ "$try" -lt 4 ]; then
      echo "$who: apt-get update failed (try $try of 4); again in 15 s" >&2
      sleep 15
    fi
  done
  echo "$who: apt-get update keeps failing${lacking:+ and no index offers ${lacking[*]}};" \
    "the mirror may be mid-sync: try again later" >&2
  return 1
}

apt_install() {
  local who=$1 log
  shift
  export DEBIAN_FRONTEND=noninteractive
  apt_update "$who" "$@" || return 1
  log=$(mktemp)
  if ! apt-get install -y -qq "$@" >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    rm -f "$log"
    return 1
  fi
  rm -f "$log"
}

# Of the target's packages (NAME:ARCH) whose host package is installed, those whose candidate
# is another version, as "NAME host-version, target-version for ARCH" separated by "; ":
# Multi-Arch: same packages must be at one version on both, so these will not install while
# one architecture's index lags the other's.
apt_version_skew() {
  local p host target out=""
  for p in "$@"; do
    host=$(dpkg-query -W -f='${Version}' "${p%%:*}" 2>/dev/null) || continue
    target=$(apt-cache policy "$p" 2>/dev/null | awk '/Candidate:/ { print $2 }')
    if [ -n "$host" ] && [ -n "$target" ] && [ "$target" != "(none)" ] && [ "$target" != "$host" ]; then
      out+="${out:+; }${p%%:*} $host here, $target for ${p#*:}"
    fi
  done
  echo "$out"
}
