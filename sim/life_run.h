// alarm-sim life: a phone kept switched off for days and woken only by its RTC. Each wake
// is one run of the real program (sim/sim_run), started the boot delay after the wake; the
// next wake is the RTC alarm the run left, when it would switch a phone on. What the runs
// observed is judged by sim/life_report against the clock application's records.
#pragma once

#include <string>

#include "sim/life_report.h"
#include "sim/sim_actions.h"

struct LifeOptions {
  std::string root;  // the sandbox, made by `alarm-sim init`, with its alarms
  std::string from;  // "YYYY-MM-DD HH:MM:SS", local time in `tz`: the phone is switched off
  int days = 0;
  std::string tz = "UTC";
  std::string zone_from;     // where the phone keeps `tz` (SimRunOptions::zone_from)
  double boot_seconds = 0;   // from the RTC's wake to the program's start
  double rtc_min_lead = 10;  // an RTC alarm closer than this after the power-off is lost
  UserPolicy user;           // default stop:10
  // Virtual time runs this fast while anything runs; while everything waits the clock jumps
  // (unless `jump` is false), so a life needs no more than the program's own pace.
  double speed = 1;
  bool jump = true;
  double play_seconds = 30;   // one run of the ring file (virtual seconds)
  std::string program;        // the sandboxed program; empty: beside alarm-sim
  bool rtc_standard = false;  // the RTC offers only the standard wakealarm, no alarm_op
  bool quiet = false;         // no line per boot on standard output
};

LifeOptions default_life_options();

// Runs the life, writes DIR/sim/life.json, life.txt, life.png and life-runs.txt (each run's
// timeline), and fills `report`. False with a reason in `error` when it could not run.
bool run_life(const LifeOptions& options, LifeInput* input, LifeReport* report, std::string* error);
