#!/usr/bin/env python3
"""Runs the phone program's scenarios in a qemu guest (scripts/vm.sh does the set-up).

For each scenario it lays the phone's files with alarm-sim (database, configuration, artwork),
packs them with the guest's common files into an initramfs, boots the guest with its clock
set before the alarm, drives it through QMP (screenshots, the power button) at moments taken
from the serial console, and judges the run from the console and qemu's end. It prints a
timeline per scenario and the figures, and exits non-zero when a scenario failed.
Only the standard library is used.
"""

import argparse
import calendar
import json
import os
import re
import shutil
import socket
import stat
import subprocess
import sys
import threading
import time

# Wednesday 2026-12-09, as the simulator's scenarios use it; the guest runs in UTC.
DAY = "2026-12-09"
ALARM = "07:00:00"
MON_TO_FRI = 31
WIDTH, HEIGHT = 480, 800
WAKE_AHEAD = 20     # the program wakes the phone this long before the next alarm
SNOOZE_SECS = 60    # alarm_flag's snooze period, one minute
SHOT_STEP = 0.25    # seconds between the screenshots after the ring starts
SUSPENDED_SHARE = 0.9   # of a dark snooze the guest sleeps through, at least
WAKE_AFTER = 10     # scenario 8 wakes the suspended guest this long after it went to sleep
RESUME_WITHIN = 2   # seconds from system_wakeup to the guest running again, at most
EARLY_SHOTS = 16

DB = "/data/data/com.android.deskclock/databases/alarms.db"
DB_7 = "/data/user_de/0/com.android.deskclock/databases/alarms.db"  # the clock app of 7.0
ZONE = "Europe/Paris"          # scenario 6's zone: 07:00 there is 06:00 UTC in December
ZONE_FILE = "/data/property/persist.sys.timezone"
ZONEINFO = "/usr/share/zoneinfo"   # where the guest's C library (glibc's TZDIR) reads zones
FLAG = "/productinfo/alarm_flag"
SOUND_FILE = "sound.wav"   # what the guest's sound card played, in the scenario's directory
SOUND_CHANNELS = 2
SOUND_HEADER = 44          # qemu's WAV header: the canonical one, lengths at bytes 4 and 40
SOUND_POLL = 0.005         # seconds between looks at the recording's size
SOUND_WRITE = 1024         # frames in one of qemu's writes (a 4 KiB buffer)
# What qemu still holds when the guest stops playing (the unwritten part of its buffer and
# what the sound card's model had fetched ahead) reaches the file only when the guest plays
# again: after a stop and a suspend, up to this many frames of the sound before come first.
SOUND_CARRY = 2 * SOUND_WRITE
STATUS_POLL = 0.1          # seconds between QMP's looks at whether the guest is suspended


def epoch(day, hms):
    return calendar.timegm(time.strptime(day + " " + hms, "%Y-%m-%d %H:%M:%S"))


def utc_text(secs):
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(secs))


# --- initramfs ------------------------------------------------------------------------------

class Cpio:
    """A newc archive, written without root: device nodes are records, not files."""

    def __init__(self, path):
        self.out = open(path, "wb")
        self.ino = 1

    def _record(self, name, mode, data=b"", rdev=(0, 0)):
        name_bytes = name.encode() + b"\0"
        fields = [self.ino, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1],
                  len(name_bytes), 0]
        self.ino += 1
        head = b"070701" + b"".join(b"%08X" % f for f in fields)
        self.out.write(head + name_bytes)
        self.out.write(b"\0" * ((4 - (len(head) + len(name_bytes)) % 4) % 4))
        self.out.write(data)
        self.out.write(b"\0" * ((4 - len(data) % 4) % 4))

    def add_tree(self, root):
        for base, dirs, files in os.walk(root):
            dirs.sort()
            rel = os.path.relpath(base, root)
            if rel != ".":
                self._record(rel, stat.S_IFDIR | 0o755)
            for f in sorted(files):
                path = os.path.join(base, f)
                name = os.path.normpath(os.path.join(rel, f))
                st = os.lstat(path)
                if stat.S_ISLNK(st.st_mode):
                    self._record(name, stat.S_IFLNK | 0o777, os.readlink(path).encode())
                else:
                    with open(path, "rb") as fh:
                        self._record(name, stat.S_IFREG | (st.st_mode & 0o7777), fh.read())
            for d in dirs:
                path = os.path.join(base, d)
                if os.path.islink(path):
                    self._record(os.path.normpath(os.path.join(rel, d)), stat.S_IFLNK | 0o777,
                                 os.readlink(path).encode())

    def add_node(self, name, major, minor):
        self._record(name, stat.S_IFCHR | 0o600, rdev=(major, minor))

    def close(self):
        self._record("TRAILER!!!", 0)
        self.out.close()


# --- QMP ------------------------------------------------------------------------------------

class Qmp:
    def __init__(self, path, deadline):
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        self.file = self.sock.makefile("rwb", buffering=0)
        self.lock = threading.Lock()
        self.replies = []
        self.events = []
        self.cond = threading.Condition()
        self.file.readline()  # the greeting
        threading.Thread(target=self._read, daemon=True).start()
        self.command("qmp_capabilities")

    def _read(self):
        try:
            for line in self.file:
                try:
                    msg = json.loads(line)
                except ValueError:
                    continue
                with self.cond:
                    if "event" in msg:
                        self.events.append((time.monotonic(), msg))
                    else:
                        self.replies.append(msg)
                    self.cond.notify_all()
        except OSError:
            pass  # qemu ended
        with self.cond:
            self.replies.append({"error": {"desc": "QMP closed"}})
            self.cond.notify_all()

    def command(self, name, timeout=30, **args):
        with self.lock:
            with self.cond:
                self.replies.clear()
            msg = {"execute": name}
            if args:
                msg["arguments"] = args
            try:
                self.file.write(json.dumps(msg).encode() + b"\n")
            except OSError:
                return {"error": {"desc": "QMP closed"}}
            with self.cond:
                self.cond.wait_for(lambda: self.replies, timeout)
                return self.replies[0] if self.replies else {"error": {"desc": "no reply"}}


# --- one guest run --------------------------------------------------------------------------

class Run:
    """Boots one guest, plays the scenario's triggers, and keeps what it saw."""

    def __init__(self, cmd, work, triggers, timeout, watch_status=False):
        self.cmd = cmd
        self.work = work
        self.triggers = [dict(t, done=False) for t in triggers]
        self.timeout = timeout
        self.watch_status = watch_status
        self.status = []        # (host seconds, QMP's run state): each change, from the first
        self.lines = []         # (host seconds since start, text)
        self.actions = []       # (host seconds, text)
        self.exit_code = None
        self.end_at = None
        self.shutdown_reason = None
        self.lock = threading.Lock()
        self.sound_path = os.path.join(work, SOUND_FILE)
        self.growth = []        # (host seconds, bytes): each size the recording grew to
        self.done = threading.Event()

    def t(self):
        return time.monotonic() - self.t0

    def _console(self, stream):
        with open(os.path.join(self.work, "console.log"), "w") as log:
            for raw in stream:
                line = raw.decode(errors="replace").rstrip("\r\n")
                at = self.t()
                with self.lock:
                    self.lines.append((at, line))
                log.write("%8.3f %s\n" % (at, line))
                log.flush()
                for trig in self.triggers:
                    if (not trig["done"] and "fire_at" not in trig and "on" in trig and
                            re.search(trig["on"], line)):
                        trig["fire_at"] = at + trig["after"]

    def _watch_sound(self):
        """The recording's size as it grows: qemu writes what the guest plays as it plays it,
        so each size's first sighting dates the frames up to it on the console's clock."""
        last = -1
        while not self.done.is_set():
            try:
                size = os.path.getsize(self.sound_path)
            except OSError:
                size = -1
            if size != last and size >= 0:
                self.growth.append((self.t(), size))
                last = size
            time.sleep(SOUND_POLL)

    def _act(self, qmp, trig):
        what = trig["do"]
        if what == "shot":
            path = os.path.join(self.work, trig["file"])
            reply = qmp.command("screendump", filename=path)
            ok = "return" in reply and os.path.exists(path)
            self.actions.append((self.t(), "shot %s%s" % (trig["file"], "" if ok else " FAILED")))
        elif what == "powerdown":
            qmp.command("system_powerdown")
            self.actions.append((self.t(), "power button (system_powerdown)"))
        elif what == "wakeup":
            reply = qmp.command("system_wakeup")
            self.actions.append((self.t(), "wake-up (system_wakeup)%s" %
                                 ("" if "return" in reply else " FAILED: %s" % reply)))

    def _look_at_status(self, qmp):
        """QMP's run state ("running", "suspended"...), each change kept with its moment; a
        trigger on a state fires its delay after the guest entered it."""
        reply = qmp.command("query-status")
        state = reply.get("return", {}).get("status")
        if state is None or (self.status and self.status[-1][1] == state):
            return
        at = self.t()
        self.status.append((at, state))
        for trig in self.triggers:
            if not trig["done"] and "fire_at" not in trig and trig.get("on_status") == state:
                trig["fire_at"] = at + trig["after"]

    def run(self):
        sock = os.path.join(self.work, "qmp.sock")
        if os.path.exists(sock):
            os.unlink(sock)
        cmd = self.cmd + ["-qmp", "unix:%s,server=on,wait=off" % sock]
        self.t0 = time.monotonic()
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL)
        reader = threading.Thread(target=self._console, args=(proc.stdout,), daemon=True)
        reader.start()
        watcher = threading.Thread(target=self._watch_sound, daemon=True)
        watcher.start()
        qmp = None
        try:
            qmp = Qmp(sock, time.monotonic() + 10)
            next_look = 0.0
            while proc.poll() is None:
                if self.watch_status and self.t() >= next_look:
                    next_look = self.t() + STATUS_POLL
                    self._look_at_status(qmp)
                if self.t() > self.timeout:
                    self.actions.append((self.t(), "timeout: qemu ended"))
                    qmp.command("quit")
                    break
                for trig in self.triggers:
                    if not trig["done"] and "fire_at" in trig and self.t() >= trig["fire_at"]:
                        trig["done"] = True
                        self._act(qmp, trig)
                time.sleep(0.02)
        except OSError as e:
            self.actions.append((self.t(), "QMP: %s" % e))
        try:
            proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        self.end_at = self.t()
        self.exit_code = proc.returncode
        reader.join(timeout=5)
        self.done.set()
        watcher.join(timeout=5)
        with open(os.path.join(self.work, "sound-growth.txt"), "w") as f:
            f.writelines("%.4f %d\n" % g for g in self.growth)
        if qmp is not None:
            for _, ev in qmp.events:
                if ev.get("event") == "SHUTDOWN":
                    self.shutdown_reason = ev.get("data", {}).get("reason")

    # What the console said.
    def first(self, pattern, after=-1.0):
        for at, line in self.lines:
            if at > after:
                m = re.search(pattern, line)
                if m:
                    return at, m
        return None, None

    def all(self, pattern):
        return [(at, m) for at, line in self.lines for m in [re.search(pattern, line)] if m]


# --- scenarios ------------------------------------------------------------------------------

def scenario_table(arch):
    """Each scenario: its alarm, the guest's clock, the helpers and triggers, its judge."""
    due = epoch(DAY, ALARM)
    # The program starts 7 to 10 s after qemu on a machine without KVM, up to 22 s with two
    # guests booting at once on two cores; the alarm falls due 40 s after qemu starts, so the
    # program waits for it, mostly for the 10 s its CPU figure is taken over.
    lead = 40 if arch == "x86_64" else 45
    ring_shot = {"on": r"vm: player-start 1 ", "after": 5, "do": "shot", "file": "ringing.ppm"}
    # Screenshots every 0.25 s from the ring's start: when the alarm screen reaches the display.
    early = [{"on": r"vm: player-start 1 ", "after": i * SHOT_STEP, "do": "shot",
              "file": "early-%02d.ppm" % i} for i in range(1, EARLY_SHOTS + 1)]
    return {
        1: dict(title="ring and stop", alarm=(7, 0, MON_TO_FRI), start=due - lead,
                touch="mid@1+12", triggers=[ring_shot] + early, judge=judge_ring_and_stop),
        2: dict(title="the RTC on a real kernel (no CAP_SYS_BOOT)", alarm=(7, 0, MON_TO_FRI),
                start=due - lead, touch="mid@1+3", nocap=True, triggers=[],
                judge=judge_rtc_stays_on),
        # The snooze's dark wait suspends the guest until the snooze's end.
        3: dict(title="snooze", alarm=(7, 0, MON_TO_FRI), start=due - lead, touch="left@1+3",
                suspends=True,
                triggers=[{"on": r"vm: touch left", "after": 2, "do": "shot", "file": "dark.ppm"},
                          {"on": r"vm: player-start 2 ", "after": 2, "do": "shot",
                           "file": "again.ppm"},
                          {"on": r"vm: player-start 2 ", "after": 3, "do": "powerdown"}],
                judge=judge_snooze, timeout=180),
        4: dict(title="a boot longer than the RTC's lead", alarm=(7, 0, MON_TO_FRI),
                start=due - 15, boot_wait=40, touch="mid@1+3", triggers=[],
                judge=judge_long_boot, timeout=150),
        5: dict(title="nothing due", alarm=(9, 0, MON_TO_FRI), start=due - lead, triggers=[],
                judge=judge_nothing_due),
        # The clock app of 7.0 and the zone on /data alone, the guest's clock in UTC: 07:00 in
        # Paris is due at 06:00 UTC, an hour before the alarm's hour read as UTC.
        6: dict(title="the clock app of 7.0 in the zone on /data", alarm=(7, 0, MON_TO_FRI),
                clock_app=7, zone=ZONE, due=due - 3600, start=due - 3600 - lead,
                touch="mid@1+3", triggers=[], judge=judge_zone, timeout=90),
        # Suspend to RAM through the dark snooze: QMP's run state says when the guest sleeps.
        7: dict(title="suspended through a dark snooze", alarm=(7, 0, MON_TO_FRI),
                start=due - lead, touch="left@1+3", watch_status=True, suspends=True,
                triggers=[{"on": r"vm: player-start 2 ", "after": 2, "do": "powerdown"}],
                judge=judge_suspended_snooze, timeout=180),
        8: dict(title="the power key wakes the suspended phone", alarm=(7, 0, MON_TO_FRI),
                start=due - lead, touch="left@1+3", power_key=True, watch_status=True,
                suspends=True, triggers=[{"on_status": "suspended", "after": WAKE_AFTER, "do": "wakeup"}],
                judge=judge_woken_by_power_key, timeout=150),
    }


class Verdict:
    def __init__(self):
        self.failures = []
        self.notes = []
        self.figures = {}

    def check(self, ok, text):
        if not ok:
            self.failures.append(text)
        return ok


def dark_screen(ppm):
    """None when the screendump shows a dark screen: all black, or the display switched off
    (qemu then shows its own 640x480 notice); else what it shows."""
    with open(ppm, "rb") as f:
        data = f.read()
    m = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
    if not m:
        return "an unreadable picture"
    if (int(m.group(1)), int(m.group(2))) != (WIDTH, HEIGHT):
        return None
    pixels = data[m.end():]
    lit = sum(1 for i in range(0, len(pixels), 3) if pixels[i:i + 3] != b"\0\0\0")
    return "%d pixels lit" % lit if lit else None


def ring_time(run):
    _, m = run.first(r"vm: player-start 1 .* at ([0-9.]+)")
    return float(m.group(1)) if m else None


def guest_time(run, pattern):
    at, m = run.first(pattern + r".* at ([0-9.]+)$")
    return (at, float(m.group(1))) if m else (None, None)


def common_figures(run, v):
    qemu_to_start, start_guest = guest_time(run, r"vm: program-start")
    if qemu_to_start is not None:
        v.figures["qemu start to program start"] = qemu_to_start
    ring = ring_time(run)
    if ring is not None and start_guest is not None:
        v.figures["program start to first ring"] = ring - start_guest
    for what in ("waiting", "ringing"):
        _, m = run.first(r"vm: cpu %s 10 s: ([0-9.]+) s" % what)
        if m:
            v.figures["program CPU while %s 10 s" % what] = float(m.group(1))
        _, m = run.first(r"vm: wakeups %s 10 s:(.*) at " % what)
        if m:
            v.notes.append("the program's threads' wake-ups while %s 10 s:%s" % (what, m.group(1)))
    _, m = run.first(r"vm: cpu player ringing 10 s: ([0-9.]+) s")
    if m:
        v.figures["player CPU while ringing 10 s"] = float(m.group(1))
    return start_guest, ring


def judge_powered_off(run, v, after_what):
    _, off = run.first(r"reboot: Power down")
    v.check(off is not None and run.shutdown_reason == "guest-shutdown",
            "the guest did not power off after %s (qemu: %s, exit %s)" %
            (after_what, run.shutdown_reason, run.exit_code))
    init_off, _ = run.first(r"vm: init powers off")
    v.check(init_off is None, "the program's power-off did not happen: init powered the guest off")


def judge_wakealarm_line(run, v, expected):
    at, m = run.first(r"alarm: rtc wakealarm set to (-?\d+)")
    if not v.check(m is not None, "no RTC wake-up was programmed (no wakealarm line)"):
        return None
    v.check(abs(int(m.group(1)) - expected) <= 1,
            "wakealarm %s, not %d (%s)" % (m.group(1), expected, utc_text(expected)))
    return at


def judge_display(run, v, sc):
    """Without the framebuffer emulation the program finds no /dev/graphics/fb0 and shows its
    screen through the DRM card: the kernel log names the card, connector, mode and format."""
    if not sc["no_fbdev"]:
        return
    v.check(run.first(r"vm: no fb0")[1] is not None, "the guest has a framebuffer device")
    _, m = run.first(r"alarm: display (/dev/dri/card\d+: connector .*)")
    if v.check(m is not None, "no DRM display was chosen (no \"alarm: display\" line)"):
        v.notes.append("display " + m.group(1))


def judge_ring_and_stop(run, v, sc, ctx):
    due = epoch(DAY, ALARM)
    judge_display(run, v, sc)
    _, ring = common_figures(run, v)
    if v.check(ring is not None, "the alarm never rang"):
        v.check(due <= ring < due + 3,
                "the ring started %.3f s after the alarm's second, not within it" % (ring - due))
    shot = os.path.join(run.work, "ringing.ppm")
    if v.check(os.path.exists(shot), "no screenshot while ringing"):
        out = subprocess.run([ctx.compare, ctx.reference, shot], capture_output=True, text=True)
        v.notes.append("screenshot against alarm-sim's: " + out.stdout.strip())
        v.check(out.returncode == 0, "the screenshot differs from alarm-sim's: " +
                out.stdout.strip())
        for i in range(1, EARLY_SHOTS + 1):
            early = os.path.join(run.work, "early-%02d.ppm" % i)
            if os.path.exists(early) and subprocess.run(
                    [ctx.compare, ctx.reference, early], capture_output=True).returncode == 0:
                shot_at = next((a for a, t in run.actions if "early-%02d" % i in t), None)
                ring_at, _ = run.first(r"vm: player-start 1 ")
                if shot_at is not None and ring_at is not None:
                    v.figures["ring start to the alarm screen in a screenshot"] = shot_at - ring_at
                break
    rtc_at = judge_wakealarm_line(run, v, epoch("2026-12-10", ALARM) - WAKE_AHEAD)
    judge_powered_off(run, v, "the stop button")
    tap_at, _ = run.first(r"vm: touch mid")
    judge_sound(run, v, ctx, [("tap on STOP", tap_at, True)])
    off_at, _ = run.first(r"reboot: Power down")
    if rtc_at is not None and off_at is not None:
        v.check(rtc_at <= off_at, "the RTC was written after the power-off")
    if tap_at is not None and run.shutdown_reason == "guest-shutdown":
        v.figures["tap to power-off"] = run.end_at - tap_at


def judge_rtc_stays_on(run, v, sc, ctx):
    common_figures(run, v)
    expected = epoch("2026-12-10", ALARM) - WAKE_AHEAD
    judge_wakealarm_line(run, v, expected)
    v.check(run.first(r"alarm: shutdown system")[1] is not None,
            "no \"shutdown system\" on the console")
    _, m = run.first(r"vm: program-exit (\d+)")
    v.check(m is not None and m.group(1) == "0", "the program did not end with status 0")
    _, m = run.first(r"vm: wakealarm (\d*)")
    v.check(m is not None and m.group(1) != "" and abs(int(m.group(1)) - expected) <= 1,
            "wakealarm holds %r, not %d" % (m.group(1) if m else None, expected))
    v.check(run.first(r"vm: init powers off")[1] is not None, "the guest did not live on")


def judge_snooze(run, v, sc, ctx):
    judge_display(run, v, sc)
    common_figures(run, v)
    left_at, _ = run.first(r"vm: touch left")
    _, left_guest = guest_time(run, r"vm: touch left")
    shot = os.path.join(run.work, "dark.ppm")
    if sc["no_fbdev"]:
        # A DRM card's picture cannot be switched off from beside its master (the program):
        # the dark is the light the program switched off, the level the backlight got.
        off_at, _ = run.first(r"vm: backlight 0\b", left_at if left_at is not None else -1.0)
        again_at, _ = run.first(r"vm: player-start 2 ")
        v.check(off_at is not None and (again_at is None or off_at < again_at),
                "the backlight was not switched off after the left button")
        if off_at is not None:
            v.check(run.first(r"vm: backlight [1-9]", off_at)[1] is not None,
                    "the backlight was not switched on again")
    elif v.check(os.path.exists(shot), "no screenshot after the left button"):
        lit = dark_screen(shot)
        v.check(lit is None, "the screen is not dark while snoozed: %s" % lit)
    shot = os.path.join(run.work, "again.ppm")
    if v.check(os.path.exists(shot), "no screenshot when the alarm rang again"):
        out = subprocess.run([ctx.compare, ctx.snooze_reference, shot], capture_output=True,
                             text=True)
        v.notes.append("screenshot of the ring again against alarm-sim's: " + out.stdout.strip())
        v.check(out.returncode == 0, "the screen rung again differs from alarm-sim's: " +
                out.stdout.strip())
    _, m = run.first(r"vm: player-start 2 .* at ([0-9.]+)")
    if v.check(m is not None, "the alarm did not ring again after the snooze"):
        if left_guest is not None:
            again = float(m.group(1)) - left_guest
            v.figures["left button to the ring again"] = again
            # The snooze ends the period after the whole second the button was read in, so
            # the ring again may come up to a second short of the period after the touch.
            v.check(SNOOZE_SECS - 1 <= again < SNOOZE_SECS + 4,
                    "rang again %.1f s after the left button, not after the snooze period" % again)
    judge_wakealarm_line(run, v, epoch("2026-12-10", ALARM) - WAKE_AHEAD)
    judge_powered_off(run, v, "the power key")
    key_at = next((a for a, t in run.actions if t.startswith("power button")), None)
    judge_sound(run, v, ctx, [("snooze", left_at, True), ("power key", key_at, False)])
    if key_at is not None and run.shutdown_reason == "guest-shutdown":
        v.figures["power key to power-off"] = run.end_at - key_at


def snooze_end(run):
    """The snooze's end in the guest's clock, as the snooze note the program wrote holds it:
    the kernel log shows the note's lines, the alarm's id and then the end in milliseconds."""
    at, _ = run.first(r"alarm: write delay time success, str=")
    if at is None:
        return None
    _, m = run.first(r"^\[\s*[0-9.]+\]\s+(\d{10})000\s*$", at - 1e-6)
    return int(m.group(1)) if m else None


def suspended_spans(run, after):
    """The guest's suspends after the host moment `after`, as QMP's run state showed them:
    [went to sleep, running again] in host seconds, the latter None when it never woke."""
    spans = []
    for at, state in run.status:
        if state == "suspended" and at > after:
            spans.append([at, None])
        elif state != "suspended" and spans and spans[-1][1] is None:
            spans[-1][1] = at
    return spans


def judge_suspend_entered(run, v):
    """The program suspended the guest (no "cannot suspend"), and the ring player ended
    before it: a player frozen while it stops finds its card suspended at the resume."""
    _, m = run.first(r"alarm: cannot suspend.*")
    v.check(m is None, "the program found it cannot suspend: %s" % (m.group(0) if m else ""))
    _, m = run.first(r"mplayer: .* failed: .*")
    v.check(m is None, "the ring player failed: %s" % (m.group(0) if m else ""))


def judge_suspended_snooze(run, v, sc, ctx):
    """The dark snooze asleep: suspended within it for most of it, woken by the program's
    alarm timer (nothing from the host), ringing again in the snooze end's second."""
    common_figures(run, v)
    judge_suspend_entered(run, v)
    left_at, _ = run.first(r"vm: touch left")
    again_at, m = run.first(r"vm: player-start 2 .* at ([0-9.]+)")
    end = snooze_end(run)
    v.check(end is not None, "no snooze note in the kernel log")
    if not v.check(left_at is not None and m is not None, "the alarm did not ring again"):
        return
    again = float(m.group(1))
    spans = suspended_spans(run, left_at)
    spans = [s for s in spans if s[0] < again_at]
    if v.check(len(spans) == 1, "%d suspends in the snooze, not one" % len(spans)):
        slept, woke = spans[0]
        v.figures["left button to the suspend"] = slept - left_at
        if v.check(woke is not None and woke < again_at,
                   "the guest did not resume before the ring again"):
            asleep = woke - slept
            v.figures["suspended in the %d s snooze" % SNOOZE_SECS] = asleep
            v.figures["the resume to the ring again"] = again_at - woke
            v.check(asleep >= SUSPENDED_SHARE * SNOOZE_SECS,
                    "suspended %.1f s of the %d s snooze, less than %d %%" %
                    (asleep, SNOOZE_SECS, SUSPENDED_SHARE * 100))
    v.check(not any(t.startswith("wake-up") for _, t in run.actions),
            "the host woke the guest: it did not resume by itself")
    if end is not None:
        v.figures["the snooze's end to the ring again (guest's clock)"] = again - end
        v.check(end <= again < end + 1,
                "rang again %.3f s after the snooze's end %s, not in its second" %
                (again - end, utc_text(end)))
    judge_wakealarm_line(run, v, epoch("2026-12-10", ALARM) - WAKE_AHEAD)
    judge_powered_off(run, v, "the power key")


def judge_woken_by_power_key(run, v, sc, ctx):
    """The suspended guest woken from outside (qemu's system_wakeup, as the power key's
    interrupt wakes a phone) and the power key read at once: the phone powers off with the
    RTC set for the snooze, which stays to ring."""
    common_figures(run, v)
    judge_suspend_entered(run, v)
    left_at, _ = run.first(r"vm: touch left")
    wake_at, wake = next(((a, t) for a, t in run.actions if t.startswith("wake-up")),
                         (None, None))
    key_at, _ = run.first(r"vm: key power after a resume")
    off_at, _ = run.first(r"reboot: Power down")
    spans = suspended_spans(run, left_at if left_at is not None else -1.0)
    if v.check(spans, "the guest was never suspended in the snooze") and v.check(
            wake is not None and "FAILED" not in wake, "no system_wakeup: %s" % wake):
        woke = spans[0][1]
        v.check(woke is not None and wake_at - STATUS_POLL <= woke <= wake_at + RESUME_WITHIN,
                "system_wakeup at %.3f did not wake the guest (running again at %s)" %
                (wake_at, woke))
        if woke is not None:
            v.figures["system_wakeup to the guest running"] = woke - wake_at
            if key_at is not None:
                v.figures["the resume to the key pressed"] = key_at - woke
    if v.check(key_at is not None, "the guest's power key was not pressed after a resume"):
        if off_at is not None:
            v.figures["the key to the power-off"] = off_at - key_at
    v.check(run.first(r"vm: player-start 2 ")[1] is None,
            "the snooze rang again: the power key after the wake-up was not read")
    end = snooze_end(run)
    if v.check(end is not None, "no snooze note in the kernel log"):
        # The snooze is kept at the power-off: the RTC wakes the phone for it.
        rtc_at = judge_wakealarm_line(run, v, end - WAKE_AHEAD)
        if rtc_at is not None and off_at is not None:
            v.check(rtc_at <= off_at, "the RTC was written after the power-off")
    judge_powered_off(run, v, "the power key after the wake-up")


def judge_long_boot(run, v, sc, ctx):
    due = epoch(DAY, ALARM)
    start, ring = common_figures(run, v)
    if v.check(start is not None, "the program never started"):
        v.check(start > due, "the program started before the alarm's second")
        v.notes.append("program started %.1f s after the alarm's second" % (start - due))
    if v.check(ring is not None, "the alarm never rang"):
        if start is not None:
            v.check(ring - start < 3, "rang %.1f s after the start, not at once" % (ring - start))
    judge_powered_off(run, v, "the stop button")


def judge_zone(run, v, sc, ctx):
    """The ring in the zone's local second of the alarm, not in the UTC one an hour later:
    the program read the zone from /data and found its rules in the guest's zoneinfo."""
    due = sc["due"]
    _, m = run.first(r"alarm: time zone (\S+) from (.*)$")
    if v.check(m is not None, "no \"alarm: time zone\" line in the kernel log"):
        v.check(m.group(1) == sc["zone"] and m.group(2).strip() == ZONE_FILE,
                "the kernel log says the zone is %s from %s, not %s from %s" %
                (m.group(1), m.group(2).strip(), sc["zone"], ZONE_FILE))
    _, ring = common_figures(run, v)
    if v.check(ring is not None, "the alarm never rang (in UTC it would ring an hour later)"):
        v.check(due <= ring < due + 3,
                "the ring started %.3f s after the zone's alarm second %s UTC, not within it" %
                (ring - due, utc_text(due)))
    # The next: Thursday's 07:00 in the zone, from the template after Wednesday's instance.
    judge_wakealarm_line(run, v, due + 86400 - WAKE_AHEAD)
    judge_powered_off(run, v, "the stop button")


def judge_nothing_due(run, v, sc, ctx):
    common_figures(run, v)
    v.check(run.first(r"vm: player-start")[1] is None, "something rang")
    v.check(run.first(r"alarm: alarm expire: ")[1] is not None, "no \"alarm expire\" line")
    _, m = run.first(r"vm: program-exit (\d+)")
    v.check(m is not None and m.group(1) == "0", "the program did not end with status 0")
    v.check(run.first(r"vm: init powers off")[1] is not None,
            "the guest did not stay on after the program's end")


# --- the sound -----------------------------------------------------------------------------

RING = "/res/sounds/default_ring.mp3"
SOUND_ONSET = 0.3      # the ring's start to its sound on the card, at most
SOUND_GAP = 0.1        # the sound's gap at a restart of the player, at most
SOUND_END = 0.1        # a stop or snooze to the sound's end, at most
SOUND_MATCH = 0.9      # the correlation of each run with the ring file, at least
SOUND_MIN_RUN = 0.25   # a run cut shorter than this is too short to judge its sound by
SOUND_BREAK = 0.05     # a write this much later than its frames' length: a pause
# A write within a file's run may come late on a busy host, where qemu itself waits; a pause
# this long is the guest's player stalling.
SOUND_PAUSE = 0.5


class Recording:
    """What the sound card played, dated on the console's clock by the recording's growth,
    and the ring file's runs in it (alarm-vm-sound)."""

    def __init__(self, run, ctx, ring):
        self.rate = ctx.sound_rate
        self.bpf = 2 * SOUND_CHANNELS
        with open(run.sound_path, "rb") as f:
            data = bytearray(f.read())
        # qemu fills the header's lengths in at a clean exit only: the data is what follows.
        data_len = (len(data) - SOUND_HEADER) // self.bpf * self.bpf
        data[4:8] = (SOUND_HEADER - 8 + data_len).to_bytes(4, "little")
        data[40:44] = data_len.to_bytes(4, "little")
        self.path = os.path.join(run.work, "sound-read.wav")
        with open(self.path, "wb") as f:
            f.write(data[:SOUND_HEADER + data_len])
        self.frames = data_len // self.bpf
        # Each size's first sighting; a size seen again later is the same frames.
        self.growth = []
        for at, size in run.growth:
            n = max(0, (size - SOUND_HEADER) // self.bpf)
            if n > (self.growth[-1][1] if self.growth else 0):
                self.growth.append((at, n))
        # A pause of the guest's sound lies within a write that came later than its frames
        # take to play (qemu's writes go through a 4 KiB buffer: 1024 frames a write).
        self.pauses = [(f0, f1, (t1 - t0) - (f1 - f0) / self.rate)
                       for (t0, f0), (t1, f1) in zip(self.growth, self.growth[1:])]
        # The last write, when less than a buffer, came at qemu's exit, whenever it played.
        if len(self.growth) > 1 and self.growth[-1][1] - self.growth[-2][1] < SOUND_WRITE:
            self.pauses.pop()
        self.breaks = [(f0, late) for f0, _, late in self.pauses if late > SOUND_BREAK]
        out = subprocess.run([ctx.sound, "runs", self.path, ring] +
                             ["%d:%.3f" % b for b in self.breaks],
                             capture_output=True, text=True)
        if out.returncode != 0:
            raise RuntimeError("alarm-vm-sound: " + out.stderr.strip())
        self.runs = []
        for line in out.stdout.splitlines():
            w = line.split()
            if w[0] == "ring":
                self.ring_frames, self.ring_lead, self.ring_trail = int(w[3]), int(w[4]), int(w[5])
            elif w[0] == "run":
                self.runs.append(dict(start=int(w[2]), begin=int(w[3]), end=int(w[4]),
                                      score=float(w[5]), whole=w[6] == "1", resumed=w[7] == "1",
                                      first=int(w[8]), last=int(w[9]), lost=int(w[10])))

    def _write(self, frame):
        """The write that brought `frame` and the one before it: (time, frames) each."""
        before = None
        for at, n in self.growth:
            if n > frame:
                return before, (at, n)
            before = (at, n)
        return before, before

    def time_after(self, frame):
        """When `frame` reached the card, counted on from the write before it: for the frames
        up to a pause (the last write before it is the last that was on time; the final
        partial buffer is written only at qemu's exit)."""
        before, write = self._write(frame)
        if before is None:
            return write[0] - (write[1] - frame) / self.rate
        return min(write[0], before[0] + (frame - before[1]) / self.rate)

    def time_before(self, frame):
        """When `frame` reached the card, counted back from the write that brought it: for the
        frames after a pause (that write came when its buffer was full)."""
        before, write = self._write(frame)
        at = write[0] - (write[1] - frame) / self.rate
        return at if before is None else max(before[0], at)

    def file_start(self, r):
        """When the ring file's first frame reached the card in run `r`."""
        return self.time_before(r["begin"]) - (r["begin"] - r["start"]) / self.rate

    def carry_break(self, r, stop_at):
        """The frame where run `r`'s sound stopped, when the guest played nothing for a while
        from a moment after `stop_at` (the ring's stop) and all the run holds past that is
        what qemu carried over the pause; else None."""
        if r["first"] < 0 or stop_at is None:
            return None
        written_at = dict((n, at) for at, n in self.growth)
        for f0, _, late in self.pauses:
            if (late > SOUND_PAUSE and written_at[f0] >= stop_at and
                    r["first"] < f0 <= r["last"] < f0 + SOUND_CARRY):
                return f0
        return None

    def end_of(self, r, stopped=None):
        """When run `r`'s sound ended: at `stopped` (a carry_break) where there is one."""
        if stopped is not None:
            return self.time_after(stopped - 1) + 1.0 / self.rate
        return self.time_after(r["end"] - 1) + 1.0 / self.rate

    def late_between(self, lo, hi):
        """How late the writes of the frames from `lo` to `hi` came, together: the time the
        guest played nothing there."""
        return sum(late for f0, f1, late in self.pauses if f1 > lo and f0 < hi)

    def seam_gap(self, a, b):
        """The silence heard between run `a` and the next, `b`, beyond the ring file's own
        quiet at its end and start: the pauses there, and the quiet frames more than the
        file's (a player's lead-in; fewer where a recorder lost some)."""
        if a["last"] < 0 or b["first"] < 0:
            return None
        quiet = (b["first"] - a["last"] - 1 - self.ring_trail - self.ring_lead) / self.rate
        return self.late_between(a["last"], b["first"]) + quiet

    def pauses_within(self, r, stopped=None):
        """How late the writes within the sound of run `r` came: its sound paused mid-file
        (not at `stopped`, where it ended)."""
        if r["first"] < 0:
            return []
        return [late for f0, f1, late in self.pauses
                if f0 >= r["first"] and f1 <= r["last"] and f0 != stopped]


def judge_sound(run, v, ctx, ends):
    """The sound against the console's moments: `ends` holds, for each ring, its end's name,
    host time (None where the run ends first), and whether the sound must end with it."""
    if not ctx.sound:
        return
    starts = [at for at, _ in run.all(r"vm: player-start \d+ ")]
    if not v.check(os.path.exists(run.sound_path) and
                   os.path.getsize(run.sound_path) > SOUND_HEADER, "no sound reached the card"):
        return
    rec = Recording(run, ctx, os.path.join(run.work, "phone") + RING)
    v.notes.append("sound: %.2f s recorded, %d runs of the ring file (%.2f s) found, %d pauses" %
                   (rec.frames / rec.rate, len(rec.runs), rec.ring_frames / rec.rate,
                    len(rec.breaks)))
    worst_gap = None
    worst_pause = 0.0
    lost = 0.0
    for i, start in enumerate(starts):
        upto = starts[i + 1] if i + 1 < len(starts) else float("inf")
        runs = [r for r in rec.runs
                if start - SOUND_END <= rec.file_start(r) < upto - SOUND_END]
        n = i + 1
        if not v.check(runs, "ring %d: no sound of it reached the card" % n):
            continue
        onset = rec.file_start(runs[0]) - start
        v.figures["ring %d start to its sound on the card" % n] = onset
        v.check(-SOUND_END <= onset <= SOUND_ONSET,
                "ring %d: its sound reached the card %.3f s after the ring's start" % (n, onset))
        for a, b in zip(runs, runs[1:]):
            if b["resumed"]:
                pause = rec.late_between(a["last"], b["first"])
                worst_pause = max(worst_pause, pause)
                v.check(pause <= SOUND_PAUSE, "ring %d: the sound paused %.3f s within the file"
                        % (n, pause))
                continue
            if not v.check(a["whole"], "ring %d: a run of the file cut short at %.3f s" %
                           (n, rec.end_of(a))):
                continue
            gap = rec.seam_gap(a, b)
            if not v.check(gap is not None, "ring %d: a run of the file without sound" % n):
                continue
            worst_gap = gap if worst_gap is None else max(worst_gap, gap)
            v.check(gap <= SOUND_GAP, "ring %d: a gap of %.3f s at the restart at %.3f s" %
                    (n, gap, rec.end_of(a)))
        what, end_at, bound = ends[i] if i < len(ends) else (None, None, False)
        stopped = rec.carry_break(runs[-1], end_at)
        for r in runs:
            for pause in rec.pauses_within(r, stopped if r is runs[-1] else None):
                worst_pause = max(worst_pause, pause)
                v.check(pause <= SOUND_PAUSE, "ring %d: the sound paused %.3f s within the file"
                        % (n, pause))
            length = (r["end"] - r["begin"]) / rec.rate
            lost += r["lost"] / rec.rate
            if length >= SOUND_MIN_RUN:
                v.check(r["score"] >= SOUND_MATCH,
                        "ring %d: a run of %.2f s is not the ring file (correlation %.3f)" %
                        (n, length, r["score"]))
        if end_at is not None:
            end = rec.end_of(runs[-1], stopped) - end_at
            v.figures["%s to the sound's end (ring %d)" % (what, n)] = end
            if bound:
                v.check(-SOUND_END <= end <= SOUND_END,
                        "ring %d: its sound ended %.3f s after the %s" % (n, end, what))
    if worst_gap is not None:
        v.figures["the longest gap at a restart"] = worst_gap
    v.figures["the longest pause within a run of the file"] = worst_pause
    v.figures["the ring file's sound skipped within its runs"] = lost
    judged = [r["score"] for r in rec.runs if (r["end"] - r["begin"]) / rec.rate >= SOUND_MIN_RUN]
    if judged:
        v.notes.append("sound: correlation with the ring file, each run: %s (at least %.2f)" %
                       (" ".join("%.3f" % x for x in judged), SOUND_MATCH))


# --- driving a scenario ---------------------------------------------------------------------

class Context:
    pass


def sh(cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kw)


FONT_COPY_LIMIT = 1 << 20


def make_phone_files(ctx, n, sc, sandbox):
    """The scenario's phone files, laid by alarm-sim as for a sandbox run."""
    if os.path.exists(sandbox):
        shutil.rmtree(sandbox)
    hour, minute, days = sc["alarm"]
    if sc.get("clock_app") == 7:
        sh([ctx.sim, "init", sandbox, "--screen", "%dx%dx32" % (WIDTH, HEIGHT),
            "--clock-app", "7"])
        # The template and its pending instance for Wednesday (month 0 to 11), local time.
        year, month, day = (int(x) for x in DAY.split("-"))
        sh(["sqlite3", sandbox + DB_7,
            "INSERT INTO alarm_templates VALUES(1,%d,%d,%d,1,0,'Work',NULL,0);"
            "INSERT INTO alarm_instances VALUES(11,%d,%d,%d,%d,%d,0,'Work',NULL,0,1);"
            % (hour, minute, days, year, month - 1, day, hour, minute)])
    else:
        sh([ctx.sim, "init", sandbox, "--screen", "%dx%dx32" % (WIDTH, HEIGHT)])
        sh(["sqlite3", sandbox + DB,
            "INSERT INTO alarms VALUES(1,%d,%d,%d,0,1,0,'Work','');" % (hour, minute, days)])
    if sc.get("zone"):
        # As Android before 9 keeps a persistent property: one file, the value alone.
        os.makedirs(os.path.dirname(sandbox + ZONE_FILE), exist_ok=True)
        with open(sandbox + ZONE_FILE, "w") as f:
            f.write(sc["zone"])
    # Ring for 5 minutes before snoozing by itself; snooze for one.
    with open(sandbox + FLAG, "w") as f:
        f.write("alarm_flag 1 5 /res/sounds/default_ring.mp3 1\n")


def write_overlay(ctx, n, sc, sandbox, path):
    cpio = Cpio(path)
    stage = os.path.join(os.path.dirname(path), "overlay")
    if os.path.exists(stage):
        shutil.rmtree(stage)
    for d in ("data", "productinfo", "res"):
        shutil.copytree(os.path.join(sandbox, d), os.path.join(stage, d), symlinks=False)
    # The font list and its fonts, for the label: all but the large Chinese and Japanese face,
    # which no scenario's label needs (the program opens a font only for a character of it).
    os.makedirs(os.path.join(stage, "system", "fonts"))
    shutil.copytree(os.path.join(sandbox, "system", "etc"), os.path.join(stage, "system", "etc"))
    fonts = os.path.join(sandbox, "system", "fonts")
    for f in sorted(os.listdir(fonts)):
        if os.path.getsize(os.path.join(fonts, f)) <= FONT_COPY_LIMIT:
            shutil.copy(os.path.join(fonts, f), os.path.join(stage, "system", "fonts", f))
    if sc.get("zone"):
        # The zone's rules alone, where the guest's glibc looks for TZ=Area/City.
        zone_path = os.path.join(stage, ZONEINFO.lstrip("/"), sc["zone"])
        os.makedirs(os.path.dirname(zone_path))
        shutil.copy(os.path.join(ZONEINFO, sc["zone"]), zone_path)
    os.makedirs(os.path.join(stage, "vm"), exist_ok=True)
    with open(os.path.join(stage, "vm", "scenario.sh"), "w") as f:
        f.write("VM_SCENARIO=%d\n" % n)
        f.write("VM_SCREEN='%d %d'\n" % (WIDTH, HEIGHT))
        f.write("VM_TOUCH='%s'\n" % sc.get("touch", ""))
        f.write("VM_NOCAP=%d\n" % (1 if sc.get("nocap") else 0))
        f.write("VM_BOOT_WAIT=%d\n" % sc.get("boot_wait", 0))
        f.write("VM_DUE=%d\n" % sc.get("due", epoch(DAY, ALARM)))
        f.write("VM_FB=%d\n" % (0 if sc["no_fbdev"] else 1))
        f.write("VM_BENCH=%d\n" % (1 if sc.get("bench") else 0))
        f.write("VM_POWER_KEY=%d\n" % (1 if sc.get("power_key") else 0))
    cpio.add_tree(stage)
    cpio.close()


def qemu_command(ctx, initrd, sc, work):
    # printk.devkmsg=on: the kernel keeps every line the program logs (by default it keeps
    # ten lines in five seconds from one open /dev/kmsg and drops the rest).
    append = ["quiet", "androidboot.mode=alarm", "panic=-1", "printk.devkmsg=on"]
    if sc["no_fbdev"]:
        append.append("drm_kms_helper.fbdev_emulation=0")
    common = ["-m", "512", "-nodefaults", "-no-reboot", "-display", "none",
              "-serial", "stdio", "-monitor", "none", "-kernel", ctx.kernel, "-initrd", initrd,
              "-rtc", "base=%s" % utc_text(sc["start"])]
    if ctx.kvm:
        common += ["-accel", "kvm"]
    else:
        common += ["-accel", "tcg"]
    # The sound card: qemu writes what the guest plays into a WAV file, paced by its own
    # clock, and nothing while the guest plays nothing. x86_64: Intel HD Audio; arm, whose
    # kernel has no driver for qemu's PCI sound cards: a USB audio device on an XHCI bus.
    sound = ["-audiodev", "wav,id=snd0,path=%s,out.frequency=%d,out.channels=%d"
             % (os.path.join(work, SOUND_FILE), ctx.sound_rate, SOUND_CHANNELS)]
    if ctx.arch == "x86_64":
        sound += ["-device", "intel-hda", "-device", "hda-output,audiodev=snd0"]
        # Suspend to RAM (ACPI S3), which the pc machine's PIIX4 offers by default in qemu 7.2:
        # asked for, so that no machine type's default takes it from the snooze scenarios.
        return (["qemu-system-x86_64", "-M", "pc", "-global", "PIIX4_PM.disable_s3=0",
                 "-smp", "1",
                 "-device", "VGA,xres=%d,yres=%d,edid=on" % (WIDTH, HEIGHT)] + sound + common +
                ["-append", " ".join(["console=ttyS0"] + append)])
    sound += ["-device", "qemu-xhci", "-device", "usb-audio,audiodev=snd0"]
    # arm's display is virtio-gpu, but the armmp kernel's virtio-gpu driver cannot suspend:
    # at the resume virtio-pci resets the device, which drops its picture for good (qemu then
    # shows "Display output is not active"). A guest that suspends has x86_64's VGA display,
    # whose driver (bochs) brings the mode and the shown buffer back, as a phone's display
    # driver does, and blanks it for the backlight's 0.
    display = ("VGA,xres=%d,yres=%d,edid=on" if sc.get("suspends") else
               "virtio-gpu-pci,xres=%d,yres=%d") % (WIDTH, HEIGHT)
    return (["qemu-system-arm", "-M", "virt,highmem=off", "-cpu", "cortex-a15", "-smp", "1",
             "-device", display] + sound + common +
            ["-append", " ".join(["console=ttyAMA0"] + append)])


def reference_shot(ctx, sandbox, out):
    """alarm-sim's screenshot of the same alarm, five seconds into its ring."""
    start = "%s %s" % (DAY, time.strftime("%H:%M:%S", time.gmtime(epoch(DAY, ALARM) - 10)))
    sh([ctx.sim, "run", sandbox, "--at", start, "--speed", "2", "--until", "20",
        "16:shot:" + out])
    return out


def snooze_reference_shot(ctx, sandbox, out):
    """alarm-sim's screenshot of the same alarm snoozed at its third second, two seconds into
    its ring again."""
    start = "%s %s" % (DAY, time.strftime("%H:%M:%S", time.gmtime(epoch(DAY, ALARM) - 10)))
    sh([ctx.sim, "run", sandbox, "--at", start, "--speed", "5", "--until", "80",
        "13:tap:left", "75:shot:" + out])
    return out


def judge_bench(run, v, sc, ctx):
    _, m = run.first(r"vm: bench-exit (\d+)")
    v.check(m is not None and m.group(1) == "0", "bench_drm_present did not run to its end")
    for _, line in run.lines:
        if re.match(r"(drm screen|memcpy|copy in|present|target)", line):
            v.notes.append(line.strip())


def run_scenario(ctx, n, sc):
    work = os.path.join(ctx.work, "scenario-%d%s" % (n, "-no-fbdev" if sc["no_fbdev"] else ""))
    os.makedirs(work, exist_ok=True)
    for f in os.listdir(work):
        p = os.path.join(work, f)
        if os.path.isfile(p):
            os.unlink(p)
    sandbox = os.path.join(work, "phone")
    make_phone_files(ctx, n, sc, sandbox)
    overlay = os.path.join(work, "overlay.cpio")
    write_overlay(ctx, n, sc, sandbox, overlay)
    initrd = os.path.join(work, "initrd")
    with open(initrd, "wb") as out:
        for part in (ctx.base_cpio, overlay):
            with open(part, "rb") as f:
                shutil.copyfileobj(f, out)
    run = Run(qemu_command(ctx, initrd, sc, work), work, sc["triggers"],
              sc.get("timeout", 120), watch_status=sc.get("watch_status", False))
    run.run()
    v = Verdict()
    try:
        sc["judge"](run, v, sc, ctx)
    except Exception as e:  # a judge that cannot read the run fails it, with the reason
        v.failures.append("judging failed: %r" % e)
    return run, v


def timeline(run):
    keep = re.compile(r"^vm: |alarm: (rtc|time zone|shutdown|alarm expire|not power off|display)|"
                      r"reboot: |get (left|mid|right) button|framebuffer: |alarm start|"
                      r"failed|cannot|can't|PM: suspend (entry|exit)")
    rows = [(at, line) for at, line in run.lines if keep.search(line)]
    rows += [(at, "[host] " + text) for at, text in run.actions]
    rows += [(at, "[host] guest %s (query-status)" % state) for at, state in run.status]
    rows.append((run.end_at, "[host] qemu ended: exit %s, %s" %
                 (run.exit_code, run.shutdown_reason or "no shutdown event")))
    return "\n".join("  %7.3f  %s" % r for r in sorted(rows, key=lambda r: r[0]))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--arch", required=True, choices=["x86_64", "armhf"])
    p.add_argument("--work", required=True)
    p.add_argument("--kernel", required=True)
    p.add_argument("--root", required=True, help="the guest's common files")
    p.add_argument("--sim", required=True)
    p.add_argument("--compare", required=True)
    p.add_argument("--sound", help="alarm-vm-sound, which reads the sound card's recording: "
                   "the guest has the real ring player, and its sound is judged")
    p.add_argument("--no-fbdev", action="store_true", help="every scenario without /dev/fb0")
    p.add_argument("--kvm", action="store_true")
    p.add_argument("--jobs", type=int, default=1)
    p.add_argument("--bench", action="store_true", help="run bench_drm_present, no scenario")
    p.add_argument("scenarios", nargs="*",
                   help="N, or N:no-fbdev for one without the framebuffer emulation")
    a = p.parse_args()

    ctx = Context()
    ctx.arch, ctx.work, ctx.kernel, ctx.sim, ctx.compare = (a.arch, a.work, a.kernel, a.sim,
                                                            a.compare)
    ctx.kvm = a.kvm
    ctx.sound = a.sound
    os.makedirs(a.work, exist_ok=True)
    table = scenario_table(a.arch)
    if a.bench:
        table = {0: dict(title="bench_drm_present", alarm=(9, 0, MON_TO_FRI),
                         start=epoch(DAY, ALARM), bench=True, triggers=[], judge=judge_bench,
                         timeout=300)}
    # Each run: its label, its scenario, and whether the DRM drivers' /dev/fb0 is left out.
    chosen = []
    for word in ["0"] if a.bench else a.scenarios or [str(n) for n in sorted(table)]:
        m = re.match(r"^(\d+)(:no-fbdev)?$", word)
        if not m or int(m.group(1)) not in table:
            sys.exit("vm.py: no scenario %s (there are %s, each also N:no-fbdev)" %
                     (word, sorted(table)))
        no_fbdev = a.no_fbdev or m.group(2) is not None
        chosen.append(("%s%s" % (m.group(1), ":no-fbdev" if no_fbdev else ""), int(m.group(1)),
                       no_fbdev))
    numbers = {n for _, n, _ in chosen}

    # The sound card records at the ring file's rate: what the guest played is compared with
    # the file frame by frame.
    ctx.sound_rate = 44100
    if ctx.sound:
        ring_dir = os.path.join(a.work, "ring")
        make_phone_files(ctx, 0, table[min(table)], ring_dir)
        out = sh([ctx.sound, "describe", ring_dir + RING])
        ctx.sound_rate = int(out.stdout.split()[1])

    ctx.base_cpio = os.path.join(a.work, "base.cpio")
    cpio = Cpio(ctx.base_cpio)
    cpio.add_tree(a.root)
    cpio.add_node("dev/console", 5, 1)
    cpio.close()
    if 1 in numbers:
        ref_dir = os.path.join(a.work, "reference")
        os.makedirs(ref_dir, exist_ok=True)
        make_phone_files(ctx, 1, table[1], os.path.join(ref_dir, "phone"))
        ctx.reference = reference_shot(ctx, os.path.join(ref_dir, "phone"),
                                       os.path.join(ref_dir, "alarm-sim-ringing.png"))
    if 3 in numbers:
        ref_dir = os.path.join(a.work, "reference-snooze")
        os.makedirs(ref_dir, exist_ok=True)
        make_phone_files(ctx, 3, table[3], os.path.join(ref_dir, "phone"))
        ctx.snooze_reference = snooze_reference_shot(
            ctx, os.path.join(ref_dir, "phone"), os.path.join(ref_dir, "alarm-sim-again.png"))

    results = {}
    lock = threading.Lock()
    # The longest runs first, so that the last to end starts early.
    queue = sorted(chosen, key=lambda c: -table[c[1]].get("timeout", 120))

    def worker():
        while True:
            with lock:
                if not queue:
                    return
                label, n, no_fbdev = queue.pop(0)
            results[label] = run_scenario(ctx, n, dict(table[n], no_fbdev=no_fbdev))

    threads = [threading.Thread(target=worker) for _ in range(max(1, a.jobs))]
    for th in threads:
        th.start()
    for th in threads:
        th.join()

    passed = 0
    summary = []
    for label, n, no_fbdev in chosen:
        run, v = results[label]
        ok = not v.failures
        passed += ok
        print("\n== %s scenario %s: %s%s: %s" % (a.arch, label, table[n]["title"],
                                                ", no /dev/fb0 (DRM/KMS)" if no_fbdev else "",
                                                "passed" if ok else "FAILED"))
        print(timeline(run))
        for note in v.notes:
            print("  note: " + note)
        for name, value in v.figures.items():
            print("  figure: %s: %.2f s" % (name, value))
        for f in v.failures:
            print("  FAILED: " + f)
        summary.append((label, ok, v))
    print("\n%s: %d passed, %d failed" % (a.arch, passed, len(chosen) - passed))
    with open(os.path.join(a.work, "results.json"), "w") as f:
        json.dump({label: {"passed": ok, "failures": v.failures, "figures": v.figures}
                   for label, ok, v in summary}, f, indent=1)
    sys.exit(0 if passed == len(chosen) else 1)


if __name__ == "__main__":
    main()
