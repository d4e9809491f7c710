#include "sim/life_run.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "alarm/alarm_rtc.h"
#include "sim/life_files.h"
#include "sim/sandbox_builder.h"
#include "sim/sim_run.h"

namespace {

constexpr double kUsPerSecond = 1e6;
constexpr char kEndedPhoneOn[] = "the phone was left on: Android would start";
constexpr char kEndedNoWake[] = "no RTC alarm would switch the phone on again";
constexpr char kEndedRunFailed[] = "a run could not be started";
constexpr char kEndedInterrupted[] = "interrupted";

// Around the moments a life is judged by, the clock runs no faster than these speeds: the
// real time the host takes to start a process (milliseconds) stays a fraction of a virtual
// second there, as on a phone, instead of growing into seconds at the life's speed. A life
// at its own pace (speed 1, the default with jumps) needs none.
// The ring of an alarm due at D is judged from D + 1 s (the program's pause before it
// rings); its stretch covers that moment and what may delay it.
constexpr double kRingJudgedSpeed = 10;
constexpr int64_t kRingStretchFromUs = 800000;
constexpr int64_t kRingStretchToUs = 2000000;
// A program that starts this close to the alarm it was woken for (or after it) is judged on
// its start-up too: it has a second for it before its pause.
constexpr double kStartupMarginSecs = 10;
constexpr double kStartupJudgedSpeed = 4;
constexpr int64_t kStartupStretchUs = 3000000;
// How far ahead of a wake the stretches are laid out: a run lasts minutes, not days.
constexpr int64_t kStretchHorizonSecs = 86400;

// The slow stretches of the run that starts at `start` after a wake at `wake`, for a life
// at `speed`.
std::vector<ClockStretch> judged_stretches(const LifeInput& in, int64_t wake, double start,
                                           double speed) {
  std::vector<ClockStretch> out;
  if (speed <= kStartupJudgedSpeed) return out;
  int64_t start_us = static_cast<int64_t>(start * kUsPerSecond);
  bool startup_judged = false;
  for (const LifeInstant& i : life_expected_instants(in)) {
    if (i.due < wake || i.due > wake + kStretchHorizonSecs) continue;
    int64_t due_us = i.due * 1000000;
    if (speed > kRingJudgedSpeed)
      out.push_back({due_us + kRingStretchFromUs, due_us + kRingStretchToUs, kRingJudgedSpeed});
    if (static_cast<double>(i.due) < start + kStartupMarginSecs) startup_judged = true;
  }
  if (startup_judged) out.push_back({start_us, start_us + kStartupStretchUs, kStartupJudgedSpeed});
  return out;
}

// Whether the clock application's records still expect a ring after `moment`.
bool ring_expected_after(const LifeInput& in, double moment) {
  for (const LifeInstant& i : life_expected_instants(in)) {
    if (static_cast<double>(i.due) > moment) return true;
  }
  return false;
}

std::string boot_line(size_t index, const LifeBoot& b, const SimOutcome& o) {
  char line[256];
  std::string rtc = b.rtc_alarm ? local_time_text(*b.rtc_alarm) : std::string("none");
  snprintf(line, sizeof line, "boot %zu: woke %s, %zu ring%s, %s, RTC %s%s\n", index + 1,
           local_time_text(b.wake).c_str(), o.ring_starts.size(),
           o.ring_starts.size() == 1 ? "" : "s",
           o.interrupted        ? "interrupted"
           : o.stopped_at_until ? "still on at the life's end"
           : b.powered_off      ? "powered off"
                                : "left on",
           rtc.c_str(), b.powered_off && !b.rtc_wakes ? " (would not wake the phone)" : "");
  return line;
}

}  // namespace

LifeOptions default_life_options() {
  LifeOptions o;
  o.user.kind = UserPolicy::kStop;
  o.user.delay = 10;
  return o;
}

bool run_life(const LifeOptions& o, LifeInput* input, LifeReport* report, std::string* error) {
  if (o.days <= 0) {
    *error = "--days must be 1 or more";
    return false;
  }
  if (!use_time_zone(o.tz)) {
    *error = "unknown time zone " + o.tz;
    return false;
  }
  int64_t from_us = parse_local_time_us(o.from.c_str());
  if (from_us < 0) {
    *error = "--from must read YYYY-MM-DD HH:MM:SS";
    return false;
  }
  LifeInput in;
  in.params.from = from_us / 1000000;
  in.params.to = life_span_end(in.params.from, o.days);
  in.params.days = o.days;
  in.params.tz = o.tz;
  in.params.boot_seconds = o.boot_seconds;
  in.params.rtc_min_lead = static_cast<int>(o.rtc_min_lead);
  in.params.user = user_policy_text(o.user);
  in.params.speed = o.speed;
  if (o.user.kind == UserPolicy::kStop || o.user.kind == UserPolicy::kSnoozeThenStop) {
    in.params.stops = o.user.kind == UserPolicy::kStop ? LifeParams::Stops::kEveryRing
                                                       : LifeParams::Stops::kLaterRings;
    in.params.stop_delay = o.user.delay;
  }
  if (!read_life_alarms(o.root, &in.alarms, error, &in.clock_app, &in.instances)) return false;
  std::vector<LifeSnoozeNote> notes = read_life_snooze_notes(o.root);
  if (!notes.empty()) {
    in.note_at_start = notes.front();
    in.other_notes_at_start.assign(notes.begin() + 1, notes.end());
  }

  // Switched off at `from` with the RTC set 20 s before the first alarm.
  std::vector<LifeInstant> planned = life_expected_instants(in);
  std::string runs_log;
  if (!planned.empty()) {
    int64_t wake = planned.front().due - RTC_WAKE_AHEAD_SECS;
    if (wake < in.params.from) wake = in.params.from;
    while (wake < in.params.to) {
      LifeBoot boot;
      boot.wake = wake;
      double start = static_cast<double>(wake) + o.boot_seconds;
      boot.start = static_cast<int64_t>(std::floor(start));
      if (start >= static_cast<double>(in.params.to)) break;

      SimRunOptions run;
      run.root = o.root;
      run.start_us = static_cast<int64_t>(std::llround(start * kUsPerSecond));
      run.tz = o.tz;
      run.zone_from = o.zone_from;
      run.speed = o.speed;
      run.until = static_cast<double>(in.params.to) - start;
      run.play_seconds = o.play_seconds;
      run.boot_seconds = o.boot_seconds;
      run.rtc_min_lead = o.rtc_min_lead;
      run.program = o.program;
      run.rtc_standard = o.rtc_standard;
      run.user = o.user;
      run.jump = o.jump;
      run.slow = judged_stretches(in, wake, start, o.speed);
      SimOutcome out = run_simulation(run);
      if (!out.ran) {
        in.params.ended_early = std::string(kEndedRunFailed) + ": " + out.error;
        break;
      }
      if (!out.stopped_at_until && !out.interrupted) boot.exit_status = out.exit_status;
      boot.powered_off = out.powered_off;
      boot.poweroff_at = out.poweroff_at;
      boot.rtc_alarm = out.rtc_alarm;
      boot.rtc_wakes = out.rtc_wakes;
      boot.audible_seconds = out.audible_seconds;
      in.boots.push_back(boot);
      for (double ring : out.ring_starts) in.rings.push_back(ring);
      for (const SimSnoozeNote& n : out.snooze_notes) {
        LifeSnoozeNote note;
        note.written_at = n.written_at;
        note.alarm_id = n.alarm_id;
        note.end = n.snooze_end;
        in.notes.push_back(note);
      }

      std::string line = boot_line(in.boots.size() - 1, boot, out);
      if (!o.quiet) fputs(line.c_str(), stdout);
      runs_log += "== " + line + format_timeline(out.timeline);

      if (out.interrupted) {
        // Judge only what the life reached: what lay ahead was not missed.
        in.params.ended_early = kEndedInterrupted;
        in.params.to = static_cast<int64_t>(out.start_at + out.virtual_seconds);
        break;
      }
      if (out.stopped_at_until) break;  // the life's end came while the phone was on
      if (!boot.powered_off) {
        in.params.ended_early = kEndedPhoneOn;
        in.params.phone_on_from = static_cast<int64_t>(out.start_at + out.virtual_seconds);
        break;
      }
      if (!boot.rtc_wakes || !boot.rtc_alarm) {
        // A phone that is not woken again misses whatever was still to ring.
        if (ring_expected_after(in, boot.poweroff_at.value_or(out.start_at))) {
          in.params.ended_early = kEndedNoWake;
        }
        break;
      }
      wake = *boot.rtc_alarm;
    }
  }
  write_file(o.root + "/sim/life-runs.txt", runs_log);
  if (in.clock_app) {
    // The rows the program left, as the clock application would find them on its start.
    std::vector<LifeAlarm> templates;
    std::string ignored;
    bool clock_app = false;
    read_life_alarms(o.root, &templates, &ignored, &clock_app, &in.instances_at_end);
  }
  *report = judge_life(in);
  if (!write_life_files(o.root, in, *report, error)) return false;
  *input = std::move(in);
  return true;
}
