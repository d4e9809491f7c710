// alarm-sim itself: the phone's timing it plays (the boot delay, the RTC's lead, a slow or
// hung sqlite3) and the user it plays, judged by the outcome and the timeline it writes.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/sim_run.h"
#include "tests/e2e_support.h"

TEST(SimulatorScenario, TheRtcWokeThePhoneBootSecondsBeforeTheProgramStarts) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  const double start = static_cast<double>(epoch_utc(2026, 12, 9, 6, 59, 40));
  SimResult r = sb.run({"--at", kWednesdayBefore, "--speed", "1", "--until", "40", "--boot", "35",
                        touch("30", "mid")});
  EXPECT_DOUBLE_EQ(r.outcome["start_at"].n, start);
  EXPECT_DOUBLE_EQ(r.outcome["wake_at"].n, start - 35);
  const TimelineEvent* begin = r.first("start");
  ASSERT_NE(begin, nullptr);
  EXPECT_TRUE(contains(begin->details, "boot=35")) << begin->details;

  SimResult at_once = sb.run({"--at", kWednesdayBefore, "--speed", "1", "--until", "5"});
  EXPECT_DOUBLE_EQ(at_once.outcome["wake_at"].n, start);
}

TEST(SimulatorScenario, TheRtcWakesOnlyWhenItsAlarmLiesTheLeadAfterThePowerOff) {
  const long long thursday_wake = epoch_utc(2026, 12, 10, 7, 0, 0) - 20;
  {
    E2eSandbox sb;
    sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
    SimResult r =
        sb.run({"--at", kWednesdayBefore, "--speed", "1", "--until", "60", touch("30", "mid")});
    ASSERT_TRUE(r.powered_off()) << r.timeline_text();
    const TimelineEvent* off = r.first("poweroff");
    ASSERT_NE(off, nullptr);
    double start = r.outcome["start_at"].n;
    EXPECT_NEAR(r.outcome["poweroff_at"].n, start + off->at, 0.002);
    EXPECT_GT(r.outcome["poweroff_at"].n, start + 30);
    // The program adds its delay to alarm_op, which holds the RTC's second.
    EXPECT_LE(std::llabs(static_cast<long long>(r.outcome["rtc_alarm"].n) - thursday_wake), 1);
    EXPECT_TRUE(r.outcome["rtc_wakes"].b);
    // Thursday's wake-up lies less than a day after the power-off.
    SimResult picky = sb.run({"--at", kWednesdayBefore, "--speed", "1", "--until", "60",
                              "--rtc-min-lead", "86400", touch("30", "mid")});
    ASSERT_TRUE(picky.powered_off());
    EXPECT_FALSE(picky.outcome["rtc_wakes"].b);
  }
  {
    // Nothing due within fifty seconds: the RTC is set exactly, and the phone is not
    // powered off. At the program's own pace the RTC's time is fresh however loaded the host.
    E2eSandbox sb;
    sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
    SimResult r = sb.run({"--at", "2026-12-09 06:50:00", "--speed", "1", "--until", "400"});
    EXPECT_EQ(r.exit_status(), 0) << r.timeline_text();
    EXPECT_FALSE(r.powered_off());
    EXPECT_TRUE(r.outcome["poweroff_at"].is_null());
    EXPECT_LE(std::llabs(static_cast<long long>(r.outcome["rtc_alarm"].n) -
                         (epoch_utc(2026, 12, 9, 7, 0, 0) - 20)),
              1);
    EXPECT_FALSE(r.outcome["rtc_wakes"].b);
  }
}

namespace {

constexpr char kSqliteTool[] = "/system/xbin/sqlite3";

// The start of a /proc file of process `pid`.
std::string proc_text(const char* pid, const char* file) {
  FILE* f = fopen((std::string("/proc/") + pid + "/" + file).c_str(), "re");
  if (f == nullptr) return "";
  char buf[16384];
  size_t n = fread(buf, 1, sizeof buf, f);
  fclose(f);
  return std::string(buf, n);
}

// Processes whose command line holds `text` or, with `in_environment`, whose environment
// holds it: the sandbox's root there marks the program and all it starts.
int processes_with(const std::string& text, bool in_environment) {
  int found = 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return -1;
  while (dirent* e = readdir(proc)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    found += contains(proc_text(e->d_name, "cmdline"), text) ||
             (in_environment && contains(proc_text(e->d_name, "environ"), text));
  }
  closedir(proc);
  return found;
}

// Processes of the sandbox, left behind by a run.
int processes_of(const std::string& root) {
  return processes_with(root, true);
}

// The sandbox's sqlite3 is the host's tool again after a run.
bool tool_is_the_hosts(const E2eSandbox& sb) {
  char target[4096] = {};
  ssize_t n = readlink(sb.path(kSqliteTool).c_str(), target, sizeof target - 1);
  return n > 0 && !contains(target, "standin") && contains(target, "sqlite3");
}

}  // namespace

// Each sqlite3 command takes S more virtual seconds: the read at start-up ends 8 s later,
// so the program sees the 07:00 alarm 92 s away instead of 100 s.
TEST(SimulatorScenario, SqliteSlowDelaysEachCommandBySecondsOfVirtualTime) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  SimResult r = sb.run(
      {"--at", "2026-12-09 06:58:20", "--speed", "1", "--until", "80", "--fault", "sqlite-slow:8"});
  std::vector<TimelineEvent> sqlite = r.events("sqlite");
  ASSERT_EQ(sqlite.size(), 2u) << r.timeline_text();
  EXPECT_EQ(sqlite[0].details, "read delayed 8");
  EXPECT_EQ(sqlite[1].details, "read runs");
  // In whole milliseconds, as the timeline writes them: the delay may be exactly 8 s.
  const long long delayed_ms = ms(sqlite[1].at - sqlite[0].at);
  EXPECT_GE(delayed_ms, 8000);
  EXPECT_LT(delayed_ms, 10000);
  size_t at = r.kmsg.find("<3>alarm: alarm expire: ");
  ASSERT_NE(at, std::string::npos) << r.kmsg;
  int expire = atoi(r.kmsg.c_str() + at + 24);
  EXPECT_LE(expire, 92);
  EXPECT_GE(expire, 82);  // less the program's own start-up
  EXPECT_TRUE(tool_is_the_hosts(sb));
}

// A command of the hung kind never returns: it is held until the run ends, never reaches
// the database, and the end of the run leaves no process behind.
TEST(SimulatorScenario, SqliteHangHoldsItsKindOfCommandUntilTheRunEnds) {
  {
    E2eSandbox sb;
    sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
    SimResult r = sb.run(
        {"--at", kWednesdayBefore, "--speed", "1", "--until", "30", "--fault", "sqlite-hang:read"});
    std::vector<TimelineEvent> sqlite = r.events("sqlite");
    ASSERT_FALSE(sqlite.empty()) << r.timeline_text();
    for (const TimelineEvent& e : sqlite) EXPECT_EQ(e.details, "read held");
    EXPECT_FALSE(contains(r.kmsg, "<3>alarm: id = 1\n")) << "no row was read";
    EXPECT_EQ(processes_of(sb.root()), 0);
    EXPECT_TRUE(tool_is_the_hosts(sb));
  }
  {
    // A one-shot alarm is switched off in the database when it falls due: that update hangs.
    E2eSandbox sb;
    sb.add_alarm(3, 7, 0, 0, 1, 0);
    SimResult r = sb.run({"--at", kWednesdayBefore, "--speed", "1", "--until", "40", "--fault",
                          "sqlite-hang:update"});
    const TimelineEvent* read = r.first("sqlite");
    ASSERT_NE(read, nullptr) << r.timeline_text();
    EXPECT_EQ(read->details, "read runs");
    bool held = false;
    for (const TimelineEvent& e : r.events("sqlite")) {
      EXPECT_NE(e.details, "update runs");
      if (e.details == "update held") {
        held = true;
        EXPECT_GE(e.at, 19.5);  // when the alarm fell due
      }
    }
    EXPECT_TRUE(held) << r.timeline_text();
    EXPECT_EQ(sb.sql("SELECT enabled FROM alarms WHERE _id=3;"), "1\n");
    EXPECT_EQ(processes_of(sb.root()), 0);
    EXPECT_TRUE(tool_is_the_hosts(sb));
  }
}

// Ctrl-C or a kill ends a run as --until does: the program, in a session of its own out of
// the terminal's reach, is ended with all it started, and the outcome says so.
TEST(SimulatorScenario, ASignalEndsTheRunAndLeavesNoProcess) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  const std::string sim = alarm_sim_path();
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    // Without jumps: the waits of a ringing program no longer tick, so a jumping clock would
    // pass through each ring, player and all, in a few milliseconds of real time.
    execl(sim.c_str(), "alarm-sim", "run", sb.root().c_str(), "--at", kWednesdayBefore, "--speed",
          "10", "--no-jump", static_cast<char*>(nullptr));
    _exit(127);
  }
  // Rings from 20 virtual seconds on, with no user to stop it: wait for the player.
  const std::string ring_file = sb.root() + "/res/sounds/";
  for (int i = 0; i < 600 && processes_with(ring_file, false) == 0; ++i) usleep(50000);
  EXPECT_GT(processes_with(ring_file, false), 0) << "the alarm never rang";
  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
  EXPECT_EQ(processes_of(sb.root()), 0);
  Json outcome;
  ASSERT_TRUE(parse_json(sb.read("/sim/outcome.json"), &outcome));
  EXPECT_TRUE(outcome["interrupted"].b);
  EXPECT_TRUE(outcome["exit_status"].is_null());
  EXPECT_GT(outcome["virtual_seconds"].n, 20.0) << "ended before the ring";
  EXPECT_TRUE(tool_is_the_hosts(sb));
}

// The user answers each ring relative to its start: a ring is the first start of the player
// by a ring controller, not each replay of a short ring file.
TEST(SimulatorScenario, TheUserActsAfterEachRingStartAndReplaysAreNoRings) {
  {
    E2eSandbox sb;
    sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
    SimResult r = sb.run({"--at", kWednesdayBefore, "--speed", "1", "--until", "90", "--play", "2",
                          "--user", "stop:10"});
    ASSERT_TRUE(r.powered_off()) << r.timeline_text();
    ASSERT_EQ(r.events("ring").size(), 1u) << r.timeline_text();
    EXPECT_GE(r.player_runs(), 2);  // the 2-second ring file played again and again
    const Json& rings = r.outcome["ring_starts"];
    ASSERT_EQ(rings.a.size(), 1u);
    double ring = r.events("ring")[0].at;
    EXPECT_NEAR(rings.a[0].n - r.outcome["start_at"].n, ring, 0.002);
    std::vector<TimelineEvent> touches = r.events("touch");
    ASSERT_EQ(touches.size(), 1u);
    EXPECT_TRUE(contains(touches[0].details, "mid"));
    EXPECT_GE(ms(touches[0].at), ms(ring + 10.0));  // in the timeline's whole milliseconds
    EXPECT_LT(touches[0].at, ring + 12.0);
  }
  {
    E2eSandbox sb;
    sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
    SimResult r = sb.run(
        {"--at", kWednesdayBefore, "--speed", "1", "--until", "60", "--user", "power-key:4"});
    ASSERT_TRUE(r.powered_off()) << r.timeline_text();
    const TimelineEvent* ring = r.first("ring");
    const TimelineEvent* key = r.first("key");
    ASSERT_NE(ring, nullptr);
    ASSERT_NE(key, nullptr);
    EXPECT_GE(ms(key->at), ms(ring->at + 4.0));
    EXPECT_LT(key->at, ring->at + 6.0);
  }
}

// What a chain of runs uses: a run called in process at an epoch moment, with a boot delay
// and a user who snoozes the first ring and stops the next; the outcome holds the ring
// starts and the snooze note the program wrote.
TEST(SimulatorScenario, ARunInProcessGivesRingStartsAndSnoozeNotes) {
  E2eSandbox sb;
  sb.add_alarm(4, 7, 0, kMonToFri, 1, 0);
  sb.set_flags(5, "/res/sounds/default_ring.mp3", 1);
  SimRunOptions o;
  o.root = sb.root();
  o.at = "2030-01-01 00:00:00";  // start_us wins
  o.start_us = (epoch_utc(2026, 12, 9, 6, 59, 40) * 1000000LL) + 250000;
  o.boot_seconds = 35;
  o.speed = 1;
  o.until = 150;
  o.play_seconds = 3600;
  o.program = alarm_sim_path().substr(0, alarm_sim_path().rfind('/')) + "/poweroff_alarm_sandbox";
  std::string error;
  ASSERT_TRUE(parse_user_policy("snooze-then-stop:5", &o.user, &error)) << error;
  SimOutcome out = run_simulation(o);
  ASSERT_TRUE(out.ran) << out.error;
  EXPECT_DOUBLE_EQ(out.start_at, static_cast<double>(o.start_us) / 1e6);
  EXPECT_DOUBLE_EQ(out.wake_at, out.start_at - 35);
  EXPECT_TRUE(out.powered_off);
  ASSERT_EQ(out.ring_starts.size(), 2u) << format_timeline(out.timeline);
  EXPECT_GT(out.ring_starts[0], static_cast<double>(epoch_utc(2026, 12, 9, 7, 0, 0)));
  ASSERT_EQ(out.snooze_notes.size(), 1u);
  const SimSnoozeNote& note = out.snooze_notes[0];
  EXPECT_EQ(note.alarm_id, 4);
  EXPECT_GT(note.written_at, out.ring_starts[0] + 5);
  // The note ends a minute after the program's second of writing it, noticed a moment later.
  EXPECT_LE(static_cast<double>(note.snooze_end), note.written_at + 60);
  EXPECT_GE(static_cast<double>(note.snooze_end), note.written_at + 57);
  // The snooze ends and the alarm rings again; the user stops it.
  EXPECT_GT(out.ring_starts[1], static_cast<double>(note.snooze_end) - 1);
  ASSERT_TRUE(out.poweroff_at.has_value());
  EXPECT_GT(*out.poweroff_at, out.ring_starts[1] + 5);
}
