// alarm-sim life: a phone kept switched off for days and woken only by its RTC, judged
// against the instants the clock application's records mean.
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e_support.h"

namespace {

constexpr int kMon = 1, kSat = 32, kSun = 64;

using Life = LifeRun;

std::string report(const E2eSandbox& sb) {
  return sb.read("/sim/life.txt");
}

// Rung on time; a program slowed down by a sanitizer or an emulator may ring late, as long
// as it rings.
bool rang_in_time(const std::string& result) {
  return result == "on-time" || (slow_program_slack(1) > 0 && result == "late");
}

}  // namespace

TEST(LifeScenario, AWeekOfWeekdayWeekendAndOneShotAlarmsRingsEachOnTime) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  sb.add_alarm(2, 9, 30, kSat | kSun, 1, 0);
  sb.add_alarm(3, 6, 30, 0, 1, 0);
  // Switched off on Wednesday at noon: the one-shot alarm's next 06:30 is Thursday's.
  Life l = live_life(sb, {"--from", "2026-12-09 12:00:00", "--days", "7"});
  ASSERT_EQ(l.cli_status, 0) << l.out;
  struct Due {
    long long at;
    int id;
  } want[] = {
      {epoch_utc(2026, 12, 10, 6, 30, 0), 3}, {epoch_utc(2026, 12, 10, 7, 0, 0), 1},
      {epoch_utc(2026, 12, 11, 7, 0, 0), 1},  {epoch_utc(2026, 12, 12, 9, 30, 0), 2},
      {epoch_utc(2026, 12, 13, 9, 30, 0), 2}, {epoch_utc(2026, 12, 14, 7, 0, 0), 1},
      {epoch_utc(2026, 12, 15, 7, 0, 0), 1},  {epoch_utc(2026, 12, 16, 7, 0, 0), 1},
  };
  const Json& expected = l.json["expected"];
  ASSERT_EQ(expected.a.size(), sizeof want / sizeof *want) << report(sb);
  for (size_t i = 0; i < expected.a.size(); ++i) {
    EXPECT_EQ(static_cast<long long>(expected.a[i]["due"].n), want[i].at) << i;
    EXPECT_EQ(expected.a[i]["alarm_id"].n, want[i].id) << i;
    EXPECT_TRUE(rang_in_time(expected.a[i]["result"].s)) << report(sb);
  }
  EXPECT_EQ(life_count(l, "unexpected"), 0) << report(sb);
  EXPECT_EQ(life_count(l, "lost_wakes"), 0);
  EXPECT_EQ(life_count(l, "boots"), 8);
  EXPECT_TRUE(l.json["ended_early"].is_null());
  EXPECT_EQ(sb.sql("SELECT enabled FROM alarms WHERE _id=3;"), "0\n");
  EXPECT_GT(lit_share(sb.path("/sim/life.png")), 0.5);
}

// An RTC driver with only the standard interface (no alarm_op, as on a mainline kernel):
// each power-off programs wakealarm, cleared first, and the phone wakes from it for every
// alarm as it does from alarm_param.
TEST(LifeScenario, AnRtcWithOnlyWakealarmWakesThePhoneForEachAlarm) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  Life l = live_life(sb, {"--from", "2026-12-09 12:00:00", "--days", "3", "--rtc", "wakealarm"});
  ASSERT_EQ(l.cli_status, 0) << l.out;
  EXPECT_EQ(life_count(l, "expected"), 2) << report(sb);  // Thursday and Friday 07:00
  EXPECT_EQ(life_rung_in_time(l), 2) << report(sb);
  EXPECT_EQ(life_count(l, "lost_wakes"), 0);
  ASSERT_EQ(l.json["boots"].a.size(), 2u);
  EXPECT_EQ(static_cast<long long>(l.json["boots"].a[0]["rtc_alarm"].n),
            epoch_utc(2026, 12, 11, 7, 0, 0) - 20);
  Json outcome;
  ASSERT_TRUE(parse_json(sb.read("/sim/outcome.json"), &outcome));
  EXPECT_TRUE(outcome["rtc_alarm_param"].is_null());
  EXPECT_EQ(outcome["rtc_wakealarm"].s, std::to_string(epoch_utc(2026, 12, 14, 7, 0, 0) - 20));
  EXPECT_NE(access(sb.path("/sys/class/rtc/rtc0/alarm_op").c_str(), F_OK), 0);
  std::string runs = sb.read("/sim/life-runs.txt");
  EXPECT_TRUE(contains(runs, "rtc wakealarm cleared")) << runs;
}

// Two alarms a minute apart, on a phone whose RTC needs half a minute between the
// power-off and its alarm: stopped at 07:00:11, the RTC is set for 07:00:40, the phone
// never wakes again, and 07:01 is missed.
TEST(LifeScenario, AnRtcAlarmTooCloseToThePowerOffIsALostWake) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  sb.add_alarm(2, 7, 1, kMonToFri, 1, 0);
  Life l = live_life(sb, {"--from", "2026-12-09 12:00:00", "--days", "2", "--rtc-min-lead", "30"});
  ASSERT_EQ(l.cli_status, 0) << l.out;
  EXPECT_EQ(life_count(l, "boots"), 1) << report(sb);
  EXPECT_EQ(life_count(l, "lost_wakes"), 1);
  EXPECT_EQ(life_rung_in_time(l), 1);
  EXPECT_EQ(life_count(l, "missed"), 3);  // 07:01, and Friday's two
  EXPECT_FALSE(l.json["boots"].a[0]["rtc_wakes"].b);
  EXPECT_TRUE(contains(l.json["ended_early"].s, "RTC")) << l.json["ended_early"].s;
}

// A boot of more than ten minutes: the alarm the phone was woken for is older than the
// program looks back, nothing else is due, and the program ends with the phone on, for
// Android to start. The life ends there.
TEST(LifeScenario, ABootLongerThanTenMinutesEndsTheLifeWithThePhoneOn) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  Life l = live_life(sb, {"--from", "2026-12-09 12:00:00", "--days", "3", "--boot", "700"});
  ASSERT_EQ(l.cli_status, 0) << l.out;
  EXPECT_EQ(life_count(l, "boots"), 1) << report(sb);
  EXPECT_FALSE(l.json["boots"].a[0]["powered_off"].b);
  EXPECT_TRUE(contains(l.json["ended_early"].s, "left on")) << l.json["ended_early"].s;
  EXPECT_EQ(life_count(l, "missed"), 1);
  EXPECT_EQ(life_count(l, "expected"), 1);  // Android's clock application rings the rest
  EXPECT_TRUE(contains(sb.read("/dev/kmsg"), "<3>alarm: alarm 1 missed: due "));
}

// The mixed alarms that a phone's real timing once broke: two a minute apart, Sunday
// 23:59 and Monday 00:00, a one-shot alarm, after a 35-second boot. Each rings once, on time,
// and every wake-up is one the RTC keeps.
TEST(LifeScenario, MixedAlarmsAfterA35SecondBootEachRingOnceOnTime) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  sb.add_alarm(2, 7, 1, kMonToFri, 1, 0);
  sb.add_alarm(3, 23, 59, kSun, 1, 0);
  sb.add_alarm(4, 0, 0, kMon, 1, 0);
  sb.add_alarm(5, 6, 30, 0, 1, 0);
  Life l = live_life(sb, {"--from", "2026-12-13 12:00:00", "--days", "3", "--boot", "35"});
  ASSERT_EQ(l.cli_status, 0) << l.out;
  EXPECT_EQ(life_count(l, "expected"), 9) << report(sb);
  EXPECT_EQ(life_rung_in_time(l), 9) << report(sb);
  EXPECT_EQ(life_count(l, "unexpected"), 0) << report(sb);
  EXPECT_EQ(life_count(l, "lost_wakes"), 0) << report(sb);
  EXPECT_TRUE(l.json["ended_early"].is_null());
}
