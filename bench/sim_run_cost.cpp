// Figures of one short run of the simulator, called in process as a chain of runs calls it:
// the real time a run costs beyond its virtual time at its speed (set-up, the program's
// hand-over, reaping, the outcome files) on a clock without jumps, the whole real time of
// the same run on the jumping clock, and how far the user's stop lands after the ring start
// it answers.
//   bench_sim_run_cost [RUNS]    (default 20)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/sim_run.h"
#include "sim/test_sandbox.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kSpeed = 200;
constexpr double kStopAfter = 10;
constexpr double kUntil = 120;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? atoi(argv[1]) : 20;
  if (runs <= 0) runs = 20;
  std::string player = test_player_path();
  if (player.empty()) {
    fprintf(stderr, "build the stand-in player and the sandboxed program first\n");
    return 1;
  }
  // A weekday 07:00 alarm, the run starting 20 s before it.
  TestSandbox sb("2026-12-09 06:59:40", "UTC");
  sb.add_alarm(1, 7, 0, 31, 1, 1, "Work", "");
  SimRunOptions o;
  o.root = sb.root();
  o.start_us = sb.clock().now_us();
  o.speed = kSpeed;
  o.until = kUntil;
  o.program = player.substr(0, player.rfind('/')) + "/poweroff_alarm_sandbox";
  std::string error;
  if (!parse_user_policy("stop:" + std::to_string(static_cast<int>(kStopAfter)), &o.user, &error)) {
    fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }

  // Without jumps, as a run always was: the real time beyond its virtual time at its speed.
  // With them, the whole run: its fixed cost and the little its waits cost.
  bool ok = true;
  for (bool jump : {false, true}) {
    o.jump = jump;
    std::vector<double> real_ms, fixed_ms, virtual_s, stop_lag_s;
    for (int i = 0; i < runs; ++i) {
      Clock::time_point begin = Clock::now();
      SimOutcome out = run_simulation(o);
      double ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
      if (!out.ran || out.ring_starts.empty()) {
        fprintf(stderr, "run %d: %s\n", i, out.ran ? "no ring" : out.error.c_str());
        continue;
      }
      real_ms.push_back(ms);
      fixed_ms.push_back(ms - out.virtual_seconds / kSpeed * 1000.0);
      virtual_s.push_back(out.virtual_seconds);
      double ring = out.ring_starts[0] - out.start_at;
      for (const SimTimelineEntry& e : out.timeline) {
        if (e.word == "touch" && e.at >= ring) {
          stop_lag_s.push_back(e.at - ring - kStopAfter);
          break;
        }
      }
    }
    printf(
        "short runs at speed %g %s jumps, an alarm 20 s ahead stopped %g s after its ring "
        "starts (%zu runs):\n",
        kSpeed, jump ? "with" : "without", kStopAfter, real_ms.size());
    printf("  virtual seconds per run:           median %6.2f s\n", median(virtual_s));
    if (jump) {
      printf("  real time per run, all of it:      median %6.2f ms\n", median(real_ms));
    } else {
      printf("  real time beyond virtual / speed:  median %6.2f ms\n", median(fixed_ms));
    }
    printf("  stop after its ring start, late by median %6.3f virtual s\n", median(stop_lag_s));
    ok = ok && !real_ms.empty();
  }
  return ok ? 0 : 1;
}
