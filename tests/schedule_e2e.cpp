// alarm-sim schedule: a person's view of a phone's schedule, made by the program's modules.
#include <time.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/e2e_support.h"

namespace {

std::string schedule(const E2eSandbox& sb, const char* at, const char* boot = "0") {
  std::string out;
  int status = run_command(
      {alarm_sim_path(), "schedule", sb.root(), "--at", at, "--tz", "UTC", "--boot", boot}, &out);
  EXPECT_EQ(status, 0) << out;
  return out;
}

}  // namespace

TEST(ScheduleReport, ThreeAlarmsGiveTheNextOneAndTheRtcValue) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, 31, 1, 1, "Work", "");
  sb.add_alarm(2, 9, 30, 96, 1, 0, "Weekend", "");
  sb.add_alarm(3, 6, 15, 0, 1, 0, "Flight", "");
  // Wednesday 06:00 UTC: the one-shot 06:15 alarm falls today and comes first.
  std::string out = schedule(sb, "2026-12-09 06:00:00");
  EXPECT_TRUE(contains(out, "next alarm: id 3 at Wed 2026-12-09 06:15:00 UTC, in 0d 00h 15m 00s"))
      << out;
  long long now = 1796796000;  // 2026-12-09 06:00:00 UTC
  EXPECT_TRUE(contains(out, "RTC alarm at a power-off now: " + std::to_string(now + 900 - 20)))
      << out;
  EXPECT_TRUE(contains(out, "Sat 09:30:00  id 2    repeating")) << out;
  EXPECT_TRUE(contains(out, "label \"Work\"  ring \"\"")) << out;
  // Nothing in the phone's files changes by looking.
  EXPECT_EQ(sb.sql("SELECT enabled FROM alarms ORDER BY _id;"), "1\n1\n1\n");
}

TEST(ScheduleReport, AnAlarmThatIsDueNowIsReportedAndNotSwitchedOff) {
  E2eSandbox sb;
  sb.add_alarm(3, 6, 15, 0, 1, 0, "Flight", "");
  // The phone woke at 06:14:40, 20 s before the alarm, and took 40 s to boot.
  std::string out = schedule(sb, "2026-12-09 06:15:20", "40");
  EXPECT_TRUE(contains(out, "next alarm: id 3, due now")) << out;
  EXPECT_EQ(sb.sql("SELECT enabled FROM alarms;"), "1\n");
}

TEST(ScheduleReport, NoEnabledAlarmSaysSo) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, 31, 0, 1);
  std::string out = schedule(sb, "2026-12-09 06:00:00");
  EXPECT_TRUE(contains(out, "none (the program would end: alarm init failed)")) << out;
  EXPECT_TRUE(contains(out, "RTC alarm at a power-off now: not programmed")) << out;
}
