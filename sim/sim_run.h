// Runs the real program in a sandbox on a virtual clock: serves the property service,
// keeps the RTC, watches the vibrator, backlight and ring player, plays scripted touches and
// keys, takes screenshots, and writes the outcome and the timeline.
#pragma once

#include <string>
#include <vector>

struct SimAction {
  enum Kind { kTap, kTouch, kKey, kShot };
  double at = 0;  // virtual seconds since the program started
  Kind kind = kTap;
  std::string button;  // tap: left, mid or right; key: power
  int x = 0;
  int y = 0;
  std::string file;  // shot
};

// Parses "S:tap:left", "S:touch:X,Y", "S:key:power" or "S:shot:FILE.png"; false with a
// reason in `error` when it does not parse.
bool parse_sim_action(const std::string& text, SimAction* action, std::string* error);

struct SimRunOptions {
  std::string root;  // the sandbox
  std::string at;    // local start time "YYYY-MM-DD HH:MM:SS"; empty: now
  std::string tz = "UTC";
  double speed = 1.0;
  double until = -1;         // virtual seconds; negative: until the program ends
  double play_seconds = 30;  // how long one run of the ring file lasts (virtual)
  bool poweroff_returns = false;
  std::string program;  // the sandboxed program; empty: beside this executable
  std::vector<SimAction> actions;
};

struct SimTimelineEntry {
  double at = 0;
  std::string word;
  std::string details;
};

struct SimOutcome {
  bool ran = false;  // the program could be started
  bool stopped_at_until = false;
  int exit_status = -1;  // as the shell sees it
  bool powered_off = false;
  bool has_rtc_alarm_param = false;
  std::string rtc_alarm_param;
  std::vector<std::pair<std::string, std::string>> properties_set;
  int player_runs = 0;
  std::vector<std::string> screenshots;
  std::vector<SimTimelineEntry> timeline;
  double virtual_seconds = 0;
  double cpu_seconds = 0;  // the program, its threads and its processes
  long peak_rss_kb = 0;    // the program's own peak resident memory
  std::string error;
};

// Runs the program and writes DIR/sim/outcome.json and DIR/sim/timeline.txt.
SimOutcome run_simulation(const SimRunOptions& options);

std::string format_timeline(const std::vector<SimTimelineEntry>& timeline);
std::string format_outcome_json(const SimOutcome& outcome);
