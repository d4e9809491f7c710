// Support for the end-to-end scenarios: a sandbox made by `alarm-sim init`, the real
// program run by `alarm-sim run`, and what a person or a peer program can observe
// afterwards (outcome.json, timeline.txt, the kernel log, the database, files).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/test_time.h"

// The scenarios' alarm days and start moments: a Monday-to-Friday alarm (weekday bits 0 to
// 4), seen on Wednesday 2026-12-09 before its 07:00.
constexpr int kMonToFri = 31;
constexpr char kWednesdayBefore[] = "2026-12-09 06:59:40";  // 20 s before 07:00
// Ten seconds before: 07:00 is due 10 s into the run and rings a second later.
constexpr char kBeforeSeven[] = "2026-12-09 06:59:50";

// A parsed JSON value (the subset outcome.json uses).
struct Json {
  enum Type { kNull, kBool, kNumber, kString, kArray, kObject } type = kNull;
  bool b = false;
  double n = 0;
  std::string s;
  std::vector<Json> a;
  std::map<std::string, Json> o;
  const Json& operator[](const std::string& key) const;
  bool is_null() const { return type == kNull; }
};
bool parse_json(const std::string& text, Json* out);

struct TimelineEvent {
  double at = 0;
  std::string word;
  std::string details;
};

struct SimResult {
  int cli_status = -1;  // alarm-sim's own exit status
  Json outcome;
  std::vector<TimelineEvent> timeline;
  std::string kmsg;
  std::string stdout_text;

  int exit_status() const;
  bool powered_off() const { return outcome["powered_off"].b; }
  int player_runs() const { return static_cast<int>(outcome["player_runs"].n); }
  std::vector<TimelineEvent> events(const std::string& word) const;
  const TimelineEvent* first(const std::string& word) const;
  std::string timeline_text() const;
};

class E2eSandbox {
 public:
  // Runs `alarm-sim init` with `init_args` in a fresh temporary directory.
  explicit E2eSandbox(const std::vector<std::string>& init_args = {});
  ~E2eSandbox();
  E2eSandbox(const E2eSandbox&) = delete;
  E2eSandbox& operator=(const E2eSandbox&) = delete;

  const std::string& root() const { return root_; }
  std::string path(const std::string& phone_path) const { return root_ + phone_path; }
  std::string read(const std::string& phone_path) const;
  void write(const std::string& phone_path, const std::string& content) const;
  std::string sql(const std::string& statement) const;
  void add_alarm(int id, int hour, int minute, int days, int enabled, int vibrate,
                 const std::string& message = "", const std::string& alert = "") const;
  // Fields 3 to 5 of the configuration file: ring minutes, ring file, snooze minutes.
  void set_flags(int ring_minutes, const std::string& ring_file, int snooze_minutes) const;
  void set_property(const std::string& name, const std::string& value) const;

  // `alarm-sim run ROOT args...`.
  SimResult run(const std::vector<std::string>& args) const;

 private:
  std::string root_;
};

std::string alarm_sim_path();

// `alarm-sim life ROOT args...`: its exit status, what it printed, and sim/life.json.
struct LifeRun {
  int cli_status = -1;
  std::string out;
  Json json;
};
LifeRun live_life(const E2eSandbox& sb, const std::vector<std::string>& args);
// A count of the life's summary ("expected", "on_time", "unexpected", ...).
int life_count(const LifeRun& l, const char* key);
// The instants rung on time; late ones too where the program runs slowly (a sanitizer or an
// emulator), as long as they rang.
int life_rung_in_time(const LifeRun& l);

// A touch at `at` seconds where a person sees the button ("left", "mid" or "right") of the
// 480x800 alarm screen as written down in screen/layout_test_util.h: "AT:touch:X,Y". The
// scenarios touch there, not at the rectangle the program logs, so that a button drawn in one
// place and hit in another fails.
std::string touch(const std::string& at, const std::string& button);

// Small judgements the scenarios share.
bool contains(const std::string& text, const std::string& part);
// Virtual seconds in the timeline's whole milliseconds, to compare moments that may be equal
// (on the jumping clock an action can come exactly on its second).
inline long long ms(double seconds) {
  return static_cast<long long>(seconds * 1000 + (seconds < 0 ? -0.5 : 0.5));
}
// Events of `word` from `from` (inclusive) to `to` (exclusive), virtual seconds.
int count_between(const SimResult& r, const std::string& word, double from, double to);
// Share of pixels of a PNG screenshot that are not black; -1 when it cannot be read.
double lit_share(const std::string& png);
// Where the program starts and runs slowly (under an emulator), ALARM_E2E_SLOWDOWN=N divides
// the --speed of an alarm-sim command line by N: the same virtual times, with N times the
// real time for every step between them.
void slow_down(std::vector<std::string>* argv);
// Virtual seconds a scenario at `speed` allows beyond its own margins where the program runs
// slowly (a sanitizer build, or under an emulator): a quarter of a second of real time for
// starting a process or a thread. 0 where the program runs at its own pace: there the
// scenarios' windows are the program's.
double slow_program_slack(double speed);
// Runs a command; its exit status, with its standard output in `out`.
int run_command(const std::vector<std::string>& argv, std::string* out);
