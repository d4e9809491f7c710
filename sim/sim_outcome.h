// What a run of the program in a sandbox came to, and its two files for people and scripts:
// the timeline (one line per event) and outcome.json, written by a small JSON writer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct SimTimelineEntry {
  double at = 0;  // virtual seconds since the program started
  std::string word;
  std::string details;
};

// A snooze note the program wrote during the run.
struct SimSnoozeNote {
  double written_at = 0;   // epoch seconds (virtual)
  int alarm_id = 0;        // the snoozed alarm
  int64_t snooze_end = 0;  // epoch seconds
};

// A suspend of the phone to RAM: when it began, its alarm timer's moment, when it resumed
// (null while it was still suspended at the end) and what woke it.
struct SimSuspend {
  double at = 0;                     // epoch seconds (virtual)
  double alarm_timer = 0;            // epoch seconds
  std::optional<double> resumed_at;  // epoch seconds
  std::string by;                    // "alarm-timer" or "wake-up"; empty while suspended
};

struct SimOutcome {
  bool ran = false;  // the program could be started
  bool stopped_at_until = false;
  bool interrupted = false;  // a signal (Ctrl-C, kill, hang-up) ended the run early
  int exit_status = -1;      // as the shell sees it
  bool powered_off = false;
  bool has_rtc_alarm_param = false;
  std::string rtc_alarm_param;
  bool has_rtc_wakealarm = false;
  std::string rtc_wakealarm;
  std::vector<std::pair<std::string, std::string>> properties_set;
  int player_runs = 0;
  std::vector<std::string> screenshots;
  std::vector<SimTimelineEntry> timeline;
  double virtual_seconds = 0;
  double cpu_seconds = 0;      // the program, its threads and its processes
  long peak_rss_kb = 0;        // the program's own peak resident memory
  double audible_seconds = 0;  // the sound sink's stretches of sound together
  std::string error;

  // Epoch seconds of the virtual clock.
  double wake_at = 0;                 // the RTC switched the phone on
  double start_at = 0;                // the program started
  std::optional<double> poweroff_at;  // the program powered the phone off
  std::optional<int64_t> rtc_alarm;   // the RTC alarm left in alarm_param, else in wakealarm
  bool rtc_wakes = false;             // that alarm would switch a phone on again
  std::vector<double> ring_starts;    // each ring (not each replay of the ring file)
  std::vector<SimSnoozeNote> snooze_notes;
  std::vector<SimSuspend> suspends;
  int suspend_refusals = 0;  // suspends the phone refused (a wake-up event came first)
};

struct SqliteLogEntry;
// The suspends and refusals of a suspend log's entries (SANDBOX_SUSPEND_LOG).
void read_suspend_log(const std::vector<SqliteLogEntry>& entries, SimOutcome* out);

// Whether an RTC alarm programmed at a power-off wakes the phone: it must lie at least
// `min_lead` seconds after the power-off, or it fires while the kernel is going down.
bool rtc_alarm_wakes(std::optional<int64_t> rtc_alarm, std::optional<double> poweroff_at,
                     double min_lead);

// The leading decimal of an RTC control's text, as epoch seconds; empty when it has none.
std::optional<int64_t> rtc_seconds(const std::string& text);

std::string format_timeline(const std::vector<SimTimelineEntry>& timeline);
std::string format_outcome_json(const SimOutcome& outcome);
