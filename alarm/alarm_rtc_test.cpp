#include "alarm/alarm_rtc.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include <algorithm>

#include "alarm/alarm_db.h"
#include "alarm/alarm_schedule.h"
#include "sim/sandbox_builder.h"
#include "sim/test_sandbox.h"

namespace {

constexpr int kWed = 4;
constexpr int kMonToFri = 31;

void move_by(TestSandbox& sb, int secs) {
  sb.clock().advance_by(int64_t{secs} * 1000000);
}

void set_base(const TestSandbox& sb, const std::string& text) {
  sb.write(RTC_ALARM_OP_PATH, text);
}
std::string programmed(const TestSandbox& sb) {
  return sb.read(RTC_ALARM_PARAM_PATH);
}

AlarmSecItem* build_schedule() {
  read_alarm_db();
  return creat_alarm_sec_list();
}

void record_sqlite_runs(const TestSandbox& sb) {
  std::string tool = sb.path("/system/xbin/sqlite3");
  unlink(tool.c_str());
  write_file(tool, "#!/bin/sh\nprintf '%s\\n' \"$*\" >> " + sb.path("/sqlite_calls") + "\nexec " +
                       find_in_path("sqlite3") + " \"$@\"\n");
  chmod(tool.c_str(), 0755);
}

// How many times the program ran sqlite3 since record_sqlite_runs.
size_t sqlite_runs(const TestSandbox& sb) {
  std::string calls = sb.read("/sqlite_calls");
  return static_cast<size_t>(std::count(calls.begin(), calls.end(), '\n'));
}

}  // namespace

// write_rtc_alarm on the sandbox's RTC files.

TEST(RtcAlarm, BasePlusDelayIsWrittenAsBareDecimalText) {
  TestSandbox sb;
  set_base(sb, "1000000\n");
  sb.write(RTC_ALARM_PARAM_PATH, "99999999999999");
  EXPECT_EQ(write_rtc_alarm(3580), 0);
  EXPECT_EQ(programmed(sb), "1003580");
  EXPECT_EQ(write_rtc_alarm(-20), 0);
  EXPECT_EQ(programmed(sb), "999980");
}

TEST(RtcAlarm, TheBaseIsTheLeadingNumberOfAlarmOp) {
  TestSandbox sb;
  set_base(sb, "  +1000000 seconds\n");
  EXPECT_EQ(write_rtc_alarm(1), 0);
  EXPECT_EQ(programmed(sb), "1000001");
}

TEST(RtcAlarm, ValuesBeyond32BitsAreClamped) {
  TestSandbox sb;
  set_base(sb, "99999999999\n");
  EXPECT_EQ(write_rtc_alarm(5), 0);
  EXPECT_EQ(programmed(sb), "2147483647");
  set_base(sb, "-99999999999\n");
  EXPECT_EQ(write_rtc_alarm(-5), 0);
  EXPECT_EQ(programmed(sb), "-2147483648");
}

TEST(RtcAlarm, WithoutAReadableAlarmOpOrAWakealarmNothingIsProgrammed) {
  TestSandbox sb;
  sb.write(RTC_ALARM_PARAM_PATH, "untouched");
  unlink(sb.path(RTC_WAKEALARM_PATH).c_str());
  std::string op = sb.path(RTC_ALARM_OP_PATH);
  unlink(op.c_str());
  EXPECT_EQ(write_rtc_alarm(100), -1);  // missing
  ASSERT_EQ(mkdir(op.c_str(), 0755), 0);
  EXPECT_EQ(write_rtc_alarm(100), -1);  // opens, but does not read
  rmdir(op.c_str());
  set_base(sb, "");
  EXPECT_EQ(write_rtc_alarm(100), -1);  // no base time: not an alarm in 1970
  set_base(sb, "none\n");
  EXPECT_EQ(write_rtc_alarm(100), -1);
  EXPECT_EQ(programmed(sb), "untouched");
}

// An RTC driver with only the standard interface (a mainline kernel): the same instant, as
// epoch seconds of the wall clock, goes to wakealarm, after clearing an alarm still set (the
// kernel refuses a new alarm while one is pending). An alarm_op that reads but gives no time
// is a broken driver, not a missing one: nothing is programmed then.
TEST(RtcAlarm, WithoutAlarmOpTheInstantGoesToWakealarmClearedFirst) {
  TestSandbox sb("2026-12-09 07:00:00");
  sb.open_kernel_log();
  sb.write(RTC_ALARM_PARAM_PATH, "untouched");
  unlink(sb.path(RTC_ALARM_OP_PATH).c_str());
  int64_t now = read_clock().sec;
  EXPECT_EQ(write_rtc_alarm(100), 0);
  EXPECT_EQ(sb.read(RTC_WAKEALARM_PATH), std::to_string(now + 100));
  EXPECT_EQ(programmed(sb), "untouched");

  std::string wake = sb.path(RTC_WAKEALARM_PATH);
  unlink(wake.c_str());
  ASSERT_EQ(mkfifo(wake.c_str(), 0600), 0);
  int fifo = open(wake.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(fifo, 0);
  EXPECT_EQ(write_rtc_alarm(3580), 0);
  char got[64] = {};
  ASSERT_GT(read(fifo, got, sizeof got - 1), 0);
  close(fifo);
  EXPECT_EQ(std::string(got), "0" + std::to_string(now + 3580));  // cleared, then set

  set_base(sb, "none\n");
  unlink(wake.c_str());
  sb.write(RTC_WAKEALARM_PATH, "");
  EXPECT_EQ(write_rtc_alarm(100), -1);
  EXPECT_EQ(sb.read(RTC_WAKEALARM_PATH), "");
}

TEST(RtcAlarm, AnAlarmParamThatCannotBeOpenedGivesMinusOne) {
  TestSandbox sb;
  sb.open_kernel_log();
  set_base(sb, "1000000\n");
  std::string param = sb.path(RTC_ALARM_PARAM_PATH);
  unlink(param.c_str());
  EXPECT_EQ(write_rtc_alarm(100), -1);
  EXPECT_FALSE(sb.exists(RTC_ALARM_PARAM_PATH));  // the driver's file is never made
  ASSERT_EQ(mkdir(param.c_str(), 0755), 0);
  EXPECT_EQ(write_rtc_alarm(100), -1);
  EXPECT_NE(sb.kmsg().find("<3>alarm: rtc alarm_param open error: "), std::string::npos);
}

// set_rtc_alarm: 20 seconds before the alarm get_alarm_expire reports, never in the past.

TEST(RtcAlarm, TheNextAlarmAnHourAwayWakesTwentySecondsBefore) {
  TestSandbox sb("2026-12-09 06:00:00");
  set_base(sb, "1000000\n");
  sb.add_alarm(1, 7, 0, kWed, 1, 0, "a", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(set_rtc_alarm(), 0);
  EXPECT_EQ(programmed(sb), "1003580");
}

TEST(RtcAlarm, OnWednesdayAfterTheAlarmTheWakeUpIsThursdays) {
  TestSandbox sb("2026-12-09 07:00:59");
  sb.booted_seconds_ago(80);
  set_base(sb, "1000000\n");
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0, "a", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 0);  // the ringing's own call
  move_by(sb, 1);                           // 07:01:00, nothing crossed since
  EXPECT_EQ(set_rtc_alarm(), 0);
  EXPECT_EQ(programmed(sb), std::to_string(1000000 + 86340 - 20));
}

TEST(RtcAlarm, AnAlarmDueNowOrWithin20SecondsWakesOneSecondAhead) {
  TestSandbox sb("2026-12-09 06:59:38");
  set_base(sb, "1000000\n");
  sb.add_alarm(1, 7, 0, kWed, 1, 0, "a", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(set_rtc_alarm(), 0);  // 22 s away
  EXPECT_EQ(programmed(sb), "1000002");
  move_by(sb, 1);  // 21 s away
  EXPECT_EQ(set_rtc_alarm(), 0);
  EXPECT_EQ(programmed(sb), "1000001");
  move_by(sb, 6);  // 15 s away
  EXPECT_EQ(set_rtc_alarm(), 0);
  EXPECT_EQ(programmed(sb), "1000001");
  move_by(sb, 15);  // due now
  EXPECT_EQ(set_rtc_alarm(), 0);
  EXPECT_EQ(programmed(sb), "1000001");
}

TEST(RtcAlarm, NoAlarmLeavesTheRtcAsItWas) {
  TestSandbox sb;
  sb.write(RTC_ALARM_PARAM_PATH, "untouched");
  EXPECT_EQ(set_rtc_alarm(), -1);
  EXPECT_EQ(programmed(sb), "untouched");
}

TEST(RtcAlarm, AOneShotAlarmThatRangIsNeverProgrammed) {
  TestSandbox sb("2026-12-09 07:00:00");
  sb.add_alarm(7, 7, 0, 0, 1, 0, "once", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 0);
  move_by(sb, 30);
  sb.write(RTC_ALARM_PARAM_PATH, "untouched");
  EXPECT_EQ(set_rtc_alarm(), -1);
  EXPECT_EQ(programmed(sb), "untouched");
  finish_alarm_updates();
  EXPECT_EQ(sb.sql("SELECT enabled FROM alarms WHERE _id=7;"), "0\n");
}

// disable_alarm.

TEST(DisableAlarm, AOneShotItemIsSwitchedOffInTheDatabaseOncePerCall) {
  TestSandbox sb("2026-12-09 06:00:00");
  record_sqlite_runs(sb);
  sb.add_alarm(7, 7, 0, 0, 1, 0, "once", "tone");
  sb.add_alarm(8, 8, 0, 0, 1, 0, "other", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  g_cur_alarm = g_alarm_sec_list;
  const size_t reads = sqlite_runs(sb);  // the schedule's read of the table
  disable_alarm();
  finish_alarm_updates();
  EXPECT_EQ(sqlite_runs(sb), reads + 1);
  EXPECT_EQ(sb.sql("SELECT _id, enabled FROM alarms ORDER BY _id;"), "7|0\n8|1\n");
  sb.sql("UPDATE alarms SET enabled=1 WHERE _id=7;");
  disable_alarm();
  finish_alarm_updates();
  EXPECT_EQ(sqlite_runs(sb), reads + 2);
  EXPECT_EQ(sb.sql("SELECT _id, enabled FROM alarms ORDER BY _id;"), "7|0\n8|1\n");
}

TEST(DisableAlarm, RepeatingAndSnoozeItemsAreLeftAlone) {
  TestSandbox sb("2026-12-09 06:00:00");
  record_sqlite_runs(sb);
  sb.add_alarm(1, 7, 0, kWed, 1, 0, "weekly", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  g_cur_alarm = g_alarm_sec_list;
  disable_alarm();
  AlarmSecItem snooze{};
  snooze.day = 2;  // a snooze item has its weekday
  snooze.id = 1;
  g_cur_alarm = &snooze;
  disable_alarm();
  g_cur_alarm = nullptr;
  disable_alarm();
  finish_alarm_updates();
  EXPECT_EQ(sqlite_runs(sb), 1u);  // the schedule's read alone
  EXPECT_EQ(sb.sql("SELECT enabled FROM alarms;"), "1\n");
}
