#!/usr/bin/env bash
# A year of a phone kept switched off and woken only by its RTC (alarm-sim life), with the
# README's half dozen alarms of mixed kinds: prints how long it took in real time and what
# the life came to. The target is under 5 minutes on a 2-core machine.
#
#   bench/life_year.sh [PATH/TO/alarm-sim] [SPEED] [BOOT]
set -euo pipefail
sim=${1:-build/sim/alarm-sim}
speed=${2:-150}
boot=${3:-0}
work=$(mktemp -d /tmp/alarm-life-year-XXXXXX)
trap 'rm -rf "$work"' EXIT
"$sim" init "$work" >/dev/null
sqlite3 "$work/data/data/com.android.deskclock/databases/alarms.db" "
  INSERT INTO alarms VALUES(1,7,0,31,0,1,1,'Work','');
  INSERT INTO alarms VALUES(2,7,1,10,0,1,0,'Gym','');
  INSERT INTO alarms VALUES(3,23,59,64,0,1,0,'Bins','');
  INSERT INTO alarms VALUES(4,0,0,1,0,1,0,'Week','');
  INSERT INTO alarms VALUES(5,6,30,0,0,1,0,'Flight','');
  INSERT INTO alarms VALUES(6,9,30,96,0,1,0,'Weekend','');"
start=$(date +%s.%N)
"$sim" life "$work" --from "2026-12-06 12:00:00" --days 365 --speed "$speed" --boot "$boot" \
  | tail -n 4
end=$(date +%s.%N)
awk -v s="$start" -v e="$end" -v l="$(cat /proc/loadavg | cut -d' ' -f1)" \
  'BEGIN { printf "365 days in %.1f s (%.1f min) of real time; load average %s\n", e - s, (e - s) / 60, l }'
