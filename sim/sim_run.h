// Runs the real program in a sandbox on a virtual clock: prepares the sandbox, starts the
// program with its peers (sim/sim_services), plays the scripted actions and the user
// (sim/sim_actions), reaps every process it left, and writes the outcome and the timeline.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sandbox/sandbox_clock.h"
#include "sim/sim_actions.h"
#include "sim/sim_outcome.h"

struct SimRunOptions {
  std::string root;       // the sandbox
  std::string at;         // local start time "YYYY-MM-DD HH:MM:SS"; empty: now
  int64_t start_us = -1;  // start time, epoch microseconds; overrides `at` when 0 or more
  std::string tz = "UTC";
  // Where the phone keeps `tz` (valid_zone_source): "" hands it to the program as TZ.
  std::string zone_from;
  double speed = 1.0;
  double until = -1;         // virtual seconds; negative: until the program ends
  double play_seconds = 30;  // how long one run of the ring file lasts (virtual)
  double boot_seconds = 0;   // the RTC woke the phone this long before the program started
  double rtc_min_lead = 10;  // an RTC alarm closer to the power-off than this wakes nothing
  // Stretches of virtual time (epoch microseconds) in which the clock runs at their own,
  // lower speed: around the moments a run is judged by, so that a fast run stays exact there.
  std::vector<ClockStretch> slow;
  // The clock jumps to the next deadline whenever everything waits (sandbox/sandbox_jumps.h);
  // false: it runs at its speed all along, as a comparison.
  bool jump = true;
  bool poweroff_returns = false;
  std::vector<std::string> faults;  // faults of the phone, as SandboxFaults names them
  bool property_service = true;     // false: nothing answers on the property service socket
  bool rtc_op_fixed = false;        // alarm_op holds rtc_op_text all along, not the RTC's time
  std::string rtc_op_text;
  bool rtc_standard = false;  // an RTC driver without alarm_op: only the standard wakealarm
  std::string program;        // the sandboxed program; empty: beside this executable
  std::vector<SimAction> actions;
  UserPolicy user;
};

// Runs the program and writes DIR/sim/outcome.json and DIR/sim/timeline.txt. SIGINT, SIGTERM
// and SIGHUP (unless ignored) end a run as --until does, with `interrupted` set: the program
// runs in a session of its own, out of reach of the terminal, and must not outlive alarm-sim.
SimOutcome run_simulation(const SimRunOptions& options);

// The signal that interrupted a run, or 0: callers that chain runs stop there.
int sim_interrupt_signal();

// The file name of the sqlite3 stand-in, beside the sandboxed program.
constexpr char SQLITE_STANDIN_NAME[] = "alarm-sqlite-standin";
