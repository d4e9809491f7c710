#!/usr/bin/env bash
# How often each thread of the program wakes while nothing happens: the voluntary context
# switches of every thread (and of the processes it started) over a window of real time, in
# the sandbox at speed 1 without jumps, while it waits for the due alarm, while it rings
# (vibrating) and while it is dark in a snooze. A thread that sleeps until something it must
# answer switches only at its own deadlines.
#
#   bench/thread_wakeups.sh [PATH/TO/alarm-sim] [--window S]
#
# The wait for the due alarm lasts at most 50 s (a farther alarm ends the program), so its
# window is 45 s; the others last --window seconds (default 60).
set -euo pipefail
sim=build/sim/alarm-sim
if [[ $# -gt 0 && $1 != --* ]]; then
  sim=$1
  shift
fi
window=60
while [[ $# -gt 0 ]]; do
  case $1 in
    --window) window=$2; shift 2 ;;
    *) echo "thread_wakeups.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
work=$(mktemp -d /tmp/alarm-wakeups-XXXXXX)
sim_pid=
cleanup() {
  if [[ -n $sim_pid ]]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
db=/data/data/com.android.deskclock/databases/alarms.db

# measure NAME FROM SECONDS ALARM-SIM-RUN-ARGS...: starts the run, reads the counts FROM
# seconds after the program started and again SECONDS later, prints them per thread.
measure() {
  local name=$1 from=$2 secs=$3
  shift 3
  local d=$work/$name
  "$sim" init "$d" >/dev/null 2>&1
  # A vibrating Monday-to-Friday 07:00 alarm; ring for ten minutes, snooze for three.
  sqlite3 "$d$db" "INSERT INTO alarms VALUES(1,7,0,31,0,1,1,'','');"
  echo "alarm_flag 1 10 /res/sounds/default_ring.mp3 3" >"$d/productinfo/alarm_flag"
  "$sim" run "$d" --no-jump --speed 1 --play 600 "$@" >/dev/null 2>&1 &
  sim_pid=$!
  python3 - "$sim_pid" "$from" "$secs" "$name" <<'PY'
import os, sys, time
sim, start_after, secs, name = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3]), sys.argv[4]

def children(pid):
    out = []
    for t in os.listdir(f"/proc/{pid}/task"):
        try:
            out += [int(c) for c in open(f"/proc/{pid}/task/{t}/children").read().split()]
        except OSError:
            pass
    return out

def program():
    for _ in range(200):
        for c in children(sim):
            try:
                if open(f"/proc/{c}/comm").read().strip().startswith("poweroff_alarm"):
                    return c
            except OSError:
                pass
        time.sleep(0.05)
    sys.exit(f"{name}: the program did not start")

def counts(pid):
    """(pid, tid) -> voluntary switches, for the program's threads and its descendants'."""
    out, todo = {}, [pid]
    while todo:
        p = todo.pop()
        try:
            tids = sorted(int(t) for t in os.listdir(f"/proc/{p}/task"))
        except OSError:
            continue
        for t in tids:
            try:
                for line in open(f"/proc/{p}/task/{t}/status"):
                    if line.startswith("voluntary_ctxt_switches:"):
                        out[(p, t)] = int(line.split()[1])
            except OSError:
                pass
        todo += children(p)
    return out

pid = program()
time.sleep(start_after)
before = counts(pid)
time.sleep(secs)
after = counts(pid)
if not after or not os.path.exists(f"/proc/{pid}"):
    print(f"{name}: the run ended before the window did; no figures")
    sys.exit(0)
# The program's threads are made in this order: main, refresh, input, vibrator.
names = ["main", "refresh", "input", "vibrator"]
own = sorted(t for (p, t) in after if p == pid)
print(f"{name} ({secs:.0f} s):")
total = 0
for (p, t), n in sorted(after.items()):
    if (p, t) not in before:
        continue  # started inside the window: not idle
    d = n - before[(p, t)]
    total += d
    label = names[own.index(t)] if p == pid and own.index(t) < len(names) else f"process {open(f'/proc/{p}/comm').read().strip() if os.path.exists(f'/proc/{p}/comm') else p}"
    print(f"  {label:<28} {d:6d}   ({d * 60 / secs:7.1f} a minute)")
print(f"  {'all':<28} {total:6d}")
PY
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=
}

measure waiting 2 45 --at "2026-12-09 06:59:12" --until 50
measure ringing 5 "$window" --at "2026-12-09 06:59:59" --until $((window + 8))
measure dark-snooze 6 "$window" --at "2026-12-09 06:59:59" --until $((window + 9)) 3:tap:left
