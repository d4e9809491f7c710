#!/usr/bin/env bash
# A year of a phone kept switched off and woken only by its RTC (alarm-sim life), with the
# README's half dozen alarms of mixed kinds: prints how long it took in real time and what
# the life came to. The target is under a minute on a 2-core machine (boot 15, Europe/Paris).
#
#   bench/life_year.sh [PATH/TO/alarm-sim] [--boot S] [--tz ZONE] [--days N] [--speed N]
#                      [--no-jump] [--user POLICY] [--player real|standin]
#
# Defaults: build/sim/alarm-sim, boot 0, UTC, 365 days, the life's own speed and user
# (stop:10). A user who snoozes first (snooze-then-stop:10) keeps the program dark through
# a snooze at every boot: the year then measures the cost of the program's waits. The ring
# player is the real one, its sound kept (each ring's every 20 ms is a write to the sandbox's
# sink); --player standin plays nothing, and measures the program alone.
set -euo pipefail
sim=build/sim/alarm-sim
if [[ $# -gt 0 && $1 != --* ]]; then
  sim=$1
  shift
fi
boot=0
tz=UTC
days=365
extra=()
player=real
while [[ $# -gt 0 ]]; do
  case $1 in
    --boot) boot=$2; shift 2 ;;
    --tz) tz=$2; shift 2 ;;
    --days) days=$2; shift 2 ;;
    --speed) extra+=(--speed "$2"); shift 2 ;;
    --no-jump) extra+=(--no-jump); shift ;;
    --user) extra+=(--user "$2"); shift 2 ;;
    --player) player=$2; shift 2 ;;
    *) echo "life_year.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
work=$(mktemp -d /tmp/alarm-life-year-XXXXXX)
trap 'rm -rf "$work"' EXIT
"$sim" init "$work" --player "$player" >/dev/null
sqlite3 "$work/data/data/com.android.deskclock/databases/alarms.db" "
  INSERT INTO alarms VALUES(1,7,0,31,0,1,1,'Work','');
  INSERT INTO alarms VALUES(2,7,1,10,0,1,0,'Gym','');
  INSERT INTO alarms VALUES(3,23,59,64,0,1,0,'Bins','');
  INSERT INTO alarms VALUES(4,0,0,1,0,1,0,'Week','');
  INSERT INTO alarms VALUES(5,6,30,0,0,1,0,'Flight','');
  INSERT INTO alarms VALUES(6,9,30,96,0,1,0,'Weekend','');"
load_before=$(cut -d' ' -f1 /proc/loadavg)
start=$(date +%s.%N)
"$sim" life "$work" --from "2026-12-06 12:00:00" --days "$days" --boot "$boot" --tz "$tz" \
  ${extra[@]+"${extra[@]}"} | tail -n 4
end=$(date +%s.%N)
awk -v s="$start" -v e="$end" -v d="$days" -v b="$boot" -v z="$tz" -v l0="$load_before" \
  -v l1="$(cut -d' ' -f1 /proc/loadavg)" \
  'BEGIN { printf "%d days (boot %s s, %s) in %.1f s (%.1f min) of real time; load average %s, then %s\n", d, b, z, e - s, (e - s) / 60, l0, l1 }'
