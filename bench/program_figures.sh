#!/usr/bin/env bash
# Figures of the whole program (all its threads and processes) in the sandbox at real speed:
# CPU time while it waits for an alarm, while it rings with an unchanged screen and while it
# is snoozed; the time from a touch on the middle button to the end of the ring; and the
# peak memory while ringing on a 720 x 1280 x 32 screen.
#
#   bench/program_figures.sh [PATH/TO/alarm-sim]
set -euo pipefail
sim=${1:-build/sim/alarm-sim}
work=$(mktemp -d /tmp/alarm-figures-XXXXXX)
trap 'rm -rf "$work"' EXIT
db=/data/data/com.android.deskclock/databases/alarms.db

sandbox() {  # sandbox NAME [init options...]
  local d=$work/$1
  shift
  "$sim" init "$d" "$@" >/dev/null 2>&1
  sqlite3 "$d$db" "INSERT INTO alarms VALUES(1,7,0,31,0,1,0,'','');"
  # Ring for ten minutes before snoozing by itself; snooze for one minute.
  echo "alarm_flag 1 10 /res/sounds/default_ring.mp3 1" >"$d/productinfo/alarm_flag"
  echo "$d"
}
field() { python3 -c "import json,sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])" "$1/sim/outcome.json" "$2"; }

d=$(sandbox wait)
"$sim" run "$d" --at "2026-12-09 06:59:15" --speed 1 --until 10 >/dev/null
printf 'CPU while waiting 10 s for an alarm:        %6.3f s\n' "$(field "$d" program_cpu_seconds)"

d=$(sandbox ring)
"$sim" run "$d" --at "2026-12-09 06:59:59" --speed 1 --play 600 --until 12 >/dev/null
printf 'CPU over start-up and 10 s of ringing:      %6.3f s\n' "$(field "$d" program_cpu_seconds)"

d=$(sandbox snooze)
"$sim" run "$d" --at "2026-12-09 06:59:59" --speed 1 --play 600 --until 13 2.5:tap:left >/dev/null
printf 'CPU over start-up and 10 s of snooze:       %6.3f s\n' "$(field "$d" program_cpu_seconds)"

latencies=()
for i in 1 2 3 4 5; do
  d=$(sandbox tap$i)
  "$sim" run "$d" --at "2026-12-09 06:59:59" --speed 1 --play 600 --until 9 4:tap:mid >/dev/null
  latencies+=("$(python3 - "$d/sim/timeline.txt" <<'PY'
import sys
touch = stop = None
for line in open(sys.argv[1]):
    at, word = line.split()[:2]
    if word == "touch" and touch is None: touch = float(at)
    if word == "player-stop" and touch is not None and stop is None: stop = float(at)
print("%.1f" % ((stop - touch) * 1000) if touch is not None and stop is not None else "nan")
PY
)")
done
sorted=$(printf '%s\n' "${latencies[@]}" | sort -g | tr '\n' ' ')
median=$(printf '%s\n' "${latencies[@]}" | sort -g | sed -n 3p)
echo "tap:mid to the end of the ring (5 runs):    median ${median} ms   [${sorted% }]"

d=$(sandbox big --screen 720x1280x32)
"$sim" run "$d" --at "2026-12-09 06:59:59" --speed 1 --play 600 --until 5 >/dev/null
echo "peak memory while ringing on 720x1280x32:   $(field "$d" program_peak_rss_kb) KiB"
