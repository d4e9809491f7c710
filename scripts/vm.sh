#!/usr/bin/env bash
# The phone program on a real Linux kernel: boots Debian's own kernel in qemu with an
# initramfs that lays the phone's paths, and runs the alarm scenarios there:
#   scripts/vm.sh x86_64|armhf [--no-fbdev] [--kvm] [-j N] [SCENARIO[:no-fbdev]... | --bench]
# x86_64 boots the amd64 kernel with a bochs display; armhf the armmp kernel on qemu's "virt"
# board with virtio-gpu (VGA where the guest suspends, scenario 3): the 32-bit phone
# (16-byte input events, 32-bit time_t). Both screens are 480x800. The scenarios (all by
# default): 1 ring and stop, 2 the RTC with the power-off failing, 3 snooze, 4 a boot longer
# than the RTC's lead, 5 nothing due, 6 the clock app of 7.0 with the zone on /data and the
# guest's clock in UTC, 7 suspended to RAM through a dark snooze and woken by the program's
# alarm timer, 8 the suspended guest woken from outside and the power key read: the
# power-off (vm/vm.py).
# --no-fbdev boots every scenario without the DRM drivers' framebuffer emulation (no
# /dev/fb0: the program draws through DRM/KMS), N:no-fbdev scenario N alone; --bench boots one
# guest that runs bench_drm_present (a frame's present on the DRM card against a memcpy);
# --kvm uses KVM where it works (the scenarios hold on qemu's emulation alone, as CI runs
# them); -j N runs N guests at a time (default 2), the longest first; --sound judges what
# the guest's sound card played in scenarios 1 and 3 (README).
# Installs what is missing (Debian, as root), downloads the kernel package by name and
# unpacks it (not installed), and works in build-vm/ARCH.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/apt.sh
usage="usage: scripts/vm.sh x86_64|armhf [--no-fbdev] [--kvm] [--sound] [-j N] [SCENARIO[:no-fbdev]... | --bench]"
arch=${1:?$usage}
shift
no_fbdev=()
kvm=()
bench=()
jobs=2
judge_sound=0
scenarios=()
while [ $# -gt 0 ]; do
  case "$1" in
    --no-fbdev) no_fbdev=(--no-fbdev) ;;
    --kvm) kvm=(--kvm) ;;
    --bench) bench=(--bench) ;;
    --sound) judge_sound=1 ;;
    -j) jobs=${2:?$usage}; shift ;;
    [0-9]*) scenarios+=("$1") ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
  shift
done

# Per target: Debian's architecture, the kernel's flavour, qemu, the program's build.
case "$arch" in
  x86_64) deb_arch=amd64 flavour=amd64 qemu_package=qemu-system-x86 build=build ;;
  armhf) deb_arch=armhf flavour=armmp qemu_package=qemu-system-arm build=build-armhf ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
work=build-vm/$arch
debs=build-vm/debs-$deb_arch
root=$work/root
export DEBIAN_FRONTEND=noninteractive

now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }
started=$(now)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# The host's tools: qemu, the guest's shell (busybox), depmod, python3 for the driver, and
# readelf for the libraries the guest's programs need.
host_packages=("$qemu_package" busybox-static kmod python3 sqlite3 binutils)
missing=()
for p in "${host_packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ "$deb_arch" != amd64 ] && ! dpkg --print-foreign-architectures | grep -qx "$deb_arch"; then
  echo "adding the $deb_arch architecture"
  dpkg --add-architecture "$deb_arch"
  apt_update vm.sh "linux-image-$flavour:$deb_arch"
elif [ ${#missing[@]} -gt 0 ]; then
  apt_update vm.sh "${missing[@]}"
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The host build: alarm-sim for the reference screenshot and the phone files, the compare
# tool, the artwork; for x86_64 also the phone program and the guest helper.
scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
host_targets=(alarm-sim poweroff_alarm_sandbox alarm-player-standin artwork alarm-vm-compare
  alarm-vm-sound)
guest_targets=(poweroff_alarm alarm-vm)
[ ${#bench[@]} -gt 0 ] && guest_targets+=(bench_drm_present)
# The ring player, the phone's second program, where the build has it: the guest plays the
# ring through its sound card, and with --sound the scenarios judge what the card played.
# Without it the guest's stand-in plays nothing and nothing is judged of the sound.
sound=()
player=0
# (grep reads the whole list: with -q it would stop at the match, and pipefail would take
# ninja's broken pipe for a missing target.)
if ninja -C build -t targets all 2>/dev/null | grep '^poweroff_alarm_player:' >/dev/null; then
  player=1
  [ "$judge_sound" = 1 ] && sound=(--sound build/vm/alarm-vm-sound)
  [ "$arch" = x86_64 ] && guest_targets+=(poweroff_alarm_player)
fi
[ "$arch" = x86_64 ] && host_targets+=("${guest_targets[@]}")
ninja -C build -j2 "${host_targets[@]}" >/dev/null
if [ "$arch" = armhf ]; then
  # The program as scripts/cross.sh armhf builds it (build-armhf, reused when present); the
  # player's libraries may be missing for the target, and the scenarios then go on silent.
  scripts/cross.sh armhf --build "${guest_targets[@]}"
  if [ "$player" = 1 ] && ! scripts/cross.sh armhf --build poweroff_alarm_player; then
    echo "vm.sh: the ring player does not build for armhf: the guest's stand-in plays" >&2
    player=0
    sound=()
  fi
fi
# Asked to judge the sound, a guest without the player would pass in silence.
if [ "$judge_sound" = 1 ] && [ "$player" = 0 ]; then
  echo "vm.sh: --sound, but the build has no ring player (poweroff_alarm_player)" >&2
  exit 1
fi
built=$(now)

# Debian packages for the target, downloaded once into $debs and unpacked into $2.
fetch_and_unpack() {
  local into=$1 p file
  shift
  mkdir -p "$debs" "$into"
  for p in "$@"; do
    file=$(ls "$debs/${p%%:*}"_*.deb 2>/dev/null | head -n1 || true)
    if [ -z "$file" ]; then
      (cd "$debs" && apt-get download -q "$p" >/dev/null 2>&1) ||
        { apt_update vm.sh "$p" && (cd "$debs" && apt-get download -q "$p" >/dev/null); }
      file=$(ls "$debs/${p%%:*}"_*.deb | head -n1)
    fi
    dpkg-deb -x "$file" "$into"
  done
}

# The kernel: the versioned package the metapackage depends on.
meta="linux-image-$flavour:$deb_arch"
apt-cache show "$meta" >/dev/null 2>&1 || apt_update vm.sh "$meta"
kpkg=$(apt-cache depends "$meta" | awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
kpkg=${kpkg%%:*}
kdir=$work/kernel
if [ ! -e "$kdir/.$kpkg" ]; then
  rm -rf "$kdir"
  fetch_and_unpack "$kdir" "$kpkg:$deb_arch"
  touch "$kdir/.$kpkg"
fi
kver=$(ls "$kdir/lib/modules" | head -n1)
kernel=$(ls "$kdir/boot/vmlinuz-"* | head -n1)
[ -e "$kdir/lib/modules/$kver/modules.dep" ] || depmod -b "$kdir" "$kver"

# The drivers the guest loads, with their dependencies, in loading order: the display (arm:
# virtio-gpu and the PCI transport that carries it, and bochs for a guest that suspends,
# vm/vm.py), input events, uinput, the power key, the RTC, and the sound card. x86_64: qemu's
# intel-hda with its output codec, driven by the HDA generic codec driver; snd-hda-intel asks
# for its codec driver by module name once it has found the codec, which insmod cannot
# answer: the generic one is loaded first. arm, whose kernel has no driver for qemu's PCI
# sound cards: qemu's USB audio device on its XHCI controller.
if [ "$arch" = x86_64 ]; then
  wanted=(bochs evdev uinput button snd-hda-codec-generic snd-hda-intel)
else
  wanted=(virtio_pci virtio_gpu bochs evdev uinput gpio_keys rtc-pl031 xhci-pci snd-usb-audio)
fi
module_path() {
  local name=${1//-/_} alt=${1//_/-}
  grep -E "/($name|$alt)\.ko(\.[a-z]+)?:" "$kdir/lib/modules/$kver/modules.dep" | head -n1 |
    cut -d: -f1 || true
}
module_deps() {
  grep -E "^$1:" "$kdir/lib/modules/$kver/modules.dep" | cut -d: -f2 || true
}
ordered=()
add_module() {
  local m=$1 d
  for d in $(module_deps "$m" | tr ' ' '\n' | tac); do add_module "$d"; done
  case " ${ordered[*]} " in *" $m "*) ;; *) ordered+=("$m") ;; esac
}
for w in "${wanted[@]}"; do
  m=$(module_path "$w")
  if [ -n "$m" ]; then
    add_module "$m"
  elif ! grep -qE "/(${w//-/_}|${w//_/-})\.ko" "$kdir/lib/modules/$kver/modules.builtin"; then
    echo "vm.sh: the $kver kernel has no driver $w" >&2
    exit 1
  fi
done

# The guest's common files.
rm -rf "$root"
mkdir -p "$root"/{bin,lib,vm,proc,sys,dev,tmp,system/bin,system/xbin,res/sounds}
mkdir -p "$root/lib/modules"
for m in "${ordered[@]}"; do
  mkdir -p "$root/lib/modules/$(dirname "$m")"
  cp "$kdir/lib/modules/$kver/$m" "$root/lib/modules/$m"
  echo "$m" >>"$root/vm/modules"
done

# busybox, sqlite3 and the libraries the programs need, for the target.
target=$work/target
if [ "$arch" = x86_64 ]; then
  busybox=/bin/busybox
  sqlite=/usr/bin/sqlite3
  lib_dirs=(/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu /lib64)
else
  rm -rf "$target"
  fetch_and_unpack "$target" busybox-static:armhf sqlite3:armhf libsqlite3-0:armhf \
    libreadline8:armhf libtinfo6:armhf zlib1g:armhf libc6:armhf libstdc++6:armhf \
    libgcc-s1:armhf libpng16-16:armhf libdrm2:armhf
  busybox=$target/bin/busybox
  sqlite=$target/usr/bin/sqlite3
  # The label's and the player's libraries (FreeType, HarfBuzz and theirs, the decoders) come
  # from the target's multiarch packages that cross.sh installs, or its unpacked sysroot.
  lib_dirs=("$target/lib/arm-linux-gnueabihf" "$target/usr/lib/arm-linux-gnueabihf"
    "$PWD/build-armhf-sysroot/lib/arm-linux-gnueabihf"
    "$PWD/build-armhf-sysroot/usr/lib/arm-linux-gnueabihf"
    /lib/arm-linux-gnueabihf /usr/lib/arm-linux-gnueabihf)
fi
find_lib() {
  local d
  for d in "${lib_dirs[@]}"; do
    [ -e "$d/$1" ] && { echo "$d/$1"; return 0; }
  done
  echo "vm.sh: no $1 for $arch" >&2
  return 1
}
copied=" "
copy_libs() {
  local interp lib path
  interp=$(readelf -l "$1" | sed -n 's/.*interpreter: \(.*\)]/\1/p')
  if [ -n "$interp" ] && [ ! -e "$root$interp" ]; then
    mkdir -p "$root$(dirname "$interp")"
    cp -L "$(find_lib "$(basename "$interp")")" "$root$interp"
  fi
  for lib in $(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    case "$copied" in *" $lib "*) continue ;; esac
    copied+="$lib "
    path=$(find_lib "$lib")
    cp -L "$path" "$root/lib/$lib"
    copy_libs "$path"
  done
}
cp "$busybox" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
ln -s /bin/busybox "$root/system/bin/sh"
cp "$sqlite" "$root/system/xbin/sqlite3"
copy_libs "$root/system/xbin/sqlite3"
cp "$build/poweroff_alarm" "$root/system/bin/poweroff_alarm"
copy_libs "$root/system/bin/poweroff_alarm"
cp "$build/vm/alarm-vm" "$root/vm/alarm-vm"
if [ ${#bench[@]} -gt 0 ]; then
  cp "$build/bench/bench_drm_present" "$root/vm/bench_drm_present"
  copy_libs "$root/vm/bench_drm_present"
fi
ln -s /vm/alarm-vm "$root/system/bin/mplayer"
if [ "$player" = 1 ]; then
  cp "$build/mplayer" "$root/vm/ring-player"
  copy_libs "$root/vm/ring-player"
  # The card's mixer, as a phone's settings file sets it: the x86_64 guest's HDA codec starts
  # muted (vm/mplayer-hda.conf).
  if [ "$arch" = x86_64 ]; then
    mkdir -p "$root/system/etc"
    cp vm/mplayer-hda.conf "$root/system/etc/mplayer.conf"
  fi
fi
cp vm/init.sh "$root/init"
chmod 755 "$root/init"
prepared=$(now)

status=0
python3 vm/vm.py --arch "$arch" --work "$work" --kernel "$kernel" --root "$root" \
  --sim build/sim/alarm-sim --compare build/vm/alarm-vm-compare "${sound[@]}" --jobs "$jobs" \
  "${no_fbdev[@]}" "${kvm[@]}" "${bench[@]}" "${scenarios[@]}" || status=$?
done_at=$(now)
echo "$arch: kernel $kpkg; set-up and build $(seconds "$started" "$built") s," \
  "guest files $(seconds "$built" "$prepared") s, scenarios $(seconds "$prepared" "$done_at") s," \
  "the whole VM step $(seconds "$started" "$done_at") s"
exit $status
