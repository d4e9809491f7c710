#!/bin/sh
# The guest's init (scripts/vm.sh): mounts the kernel's file systems, loads the drivers, lays
# the phone's device paths as Android's init and ueventd would, starts the scenario's helpers
# and then the phone program, as the init file of a phone does in the alarm boot mode. Every
# report is a console line beginning "vm: ".
/bin/busybox --install -s /bin
export PATH=/bin:/system/bin:/system/xbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev 2>/dev/null
mkdir -p /tmp /dev/socket /dev/graphics
mount -t tmpfs tmpfs /tmp
exec </dev/console >/dev/console 2>&1
# The program's kernel log lines (levels 3 and 6) on the console.
echo 7 >/proc/sys/kernel/printk

. /vm/scenario.sh

now() { /vm/alarm-vm now | cut -d' ' -f1; }
say() { echo "vm: $* at $(now)"; }

say "init uptime $(cut -d' ' -f1 /proc/uptime)"
# Each driver with its options from the kernel command line (name.option=value), as modprobe
# would pass them: insmod alone leaves them out (drm_kms_helper.fbdev_emulation=0, say).
while read -r module; do
  name=$(basename "$module")
  name=${name%%.ko*}
  options=
  for word in $(cat /proc/cmdline); do
    case "$word" in
      "$name".*=* | "$(echo "$name" | tr - _)".*=*) options="$options ${word#*.}" ;;
    esac
  done
  insmod "/lib/modules/$module" $options || echo "vm: insmod $module failed"
done </vm/modules

# The RTC keeps the guest's time; a driver loaded as a module did not set the clock at boot.
[ -e /dev/rtc0 ] && hwclock -s -u 2>/dev/null

# The display as Android's ueventd lays it: /dev/graphics/fb0.
i=0
while [ ! -e /sys/class/graphics/fb0/dev ] && [ "$VM_FB" = 1 ] && [ $i -lt 100 ]; do
  sleep 0.1
  i=$((i + 1))
done
if [ -e /sys/class/graphics/fb0/dev ]; then
  IFS=: read -r major minor </sys/class/graphics/fb0/dev
  mknod /dev/graphics/fb0 c "$major" "$minor"
  say "fb0 $(cat /sys/class/graphics/fb0/virtual_size) bpp $(cat /sys/class/graphics/fb0/bits_per_pixel)"
else
  say "no fb0"
fi
for d in /sys/class/input/event*; do
  [ -e "$d/device/name" ] && say "input $(basename "$d") $(cat "$d/device/name")"
done
[ -e /sys/class/rtc/rtc0/name ] && say "rtc0 $(cat /sys/class/rtc/rtc0/name) $(cat /sys/class/rtc/rtc0/since_epoch)"
# What the kernel offers to suspend to ("mem" is suspend-to-idle where mem_sleep has no "deep").
say "power state $(cat /sys/power/state 2>/dev/null) mem_sleep $(cat /sys/power/mem_sleep 2>/dev/null)"

# The LCD backlight: qemu's displays have none, so a helper stands at its path and darkens
# the framebuffer display when the program switches the light off. A DRM card's picture can
# be switched off only by its master, the program: there the helper reports the levels alone.
mount -t tmpfs tmpfs /sys/class/leds
mkdir -p /sys/class/leds/lcd-backlight
mkfifo /sys/class/leds/lcd-backlight/brightness
if [ -e /dev/graphics/fb0 ]; then
  /vm/alarm-vm backlight /sys/class/leds/lcd-backlight/brightness /dev/graphics/fb0 &
else
  /vm/alarm-vm backlight /sys/class/leds/lcd-backlight/brightness &
fi

if [ "${VM_BENCH:-0}" = 1 ]; then
  /vm/bench_drm_present
  say "bench-exit $?"
  poweroff -f
fi

if [ -n "$VM_TOUCH" ]; then
  /vm/alarm-vm touch $VM_SCREEN $VM_TOUCH &
fi
# A power key pressed as the guest resumes, as a phone's key that wakes it is then read.
if [ "${VM_POWER_KEY:-0}" = 1 ]; then
  /vm/alarm-vm powerkey &
fi
sleep 0.2

if [ "${VM_BOOT_WAIT:-0}" -gt 0 ]; then
  say "boot goes on for $VM_BOOT_WAIT s"
  sleep "$VM_BOOT_WAIT"
fi

cd /
launcher=
[ "$VM_NOCAP" = 1 ] && launcher="/vm/alarm-vm nocap"
say "program-start uptime $(cut -d' ' -f1 /proc/uptime)"
$launcher /system/bin/poweroff_alarm &
pid=$!
/vm/alarm-vm cpu "$pid" "$VM_DUE" &
wait "$pid"
status=$?
say "program-exit $status"
say "wakealarm $(cat /sys/class/rtc/rtc0/wakealarm 2>/dev/null)"
# A phone's init would now hand over to Android; this guest ends here.
say "init powers off"
sync
poweroff -f
