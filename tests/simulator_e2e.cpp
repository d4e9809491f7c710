// alarm-sim itself: the phone's timing it plays (the boot delay, the RTC's lead, a slow or
// hung sqlite3) and the user it plays, judged by the outcome and the timeline it writes.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e_support.h"

namespace {

constexpr int kMonToFri = 31;
constexpr char kWednesdayBefore[] = "2026-12-09 06:59:40";  // 20 s before 07:00

}  // namespace

TEST(SimulatorScenario, TheRtcWokeThePhoneBootSecondsBeforeTheProgramStarts) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  const double start = static_cast<double>(epoch_utc(2026, 12, 9, 6, 59, 40));
  SimResult r = sb.run(
      {"--at", kWednesdayBefore, "--speed", "20", "--until", "40", "--boot", "35", "30:tap:mid"});
  EXPECT_DOUBLE_EQ(r.outcome["start_at"].n, start);
  EXPECT_DOUBLE_EQ(r.outcome["wake_at"].n, start - 35);
  const TimelineEvent* begin = r.first("start");
  ASSERT_NE(begin, nullptr);
  EXPECT_TRUE(contains(begin->details, "boot=35")) << begin->details;

  SimResult at_once = sb.run({"--at", kWednesdayBefore, "--speed", "20", "--until", "5"});
  EXPECT_DOUBLE_EQ(at_once.outcome["wake_at"].n, start);
}

TEST(SimulatorScenario, TheRtcWakesOnlyWhenItsAlarmLiesTheLeadAfterThePowerOff) {
  const long long thursday_wake = epoch_utc(2026, 12, 10, 7, 0, 0) - 20;
  {
    E2eSandbox sb;
    sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
    SimResult r =
        sb.run({"--at", kWednesdayBefore, "--speed", "10", "--until", "60", "30:tap:mid"});
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
    SimResult picky = sb.run({"--at", kWednesdayBefore, "--speed", "10", "--until", "60",
                              "--rtc-min-lead", "86400", "30:tap:mid"});
    ASSERT_TRUE(picky.powered_off());
    EXPECT_FALSE(picky.outcome["rtc_wakes"].b);
  }
  {
    // Stopped at 07:00:45 with another alarm at 07:01: the RTC is set one second ahead,
    // and a phone that is still going down misses it.
    E2eSandbox sb;
    sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
    sb.add_alarm(2, 7, 1, kMonToFri, 1, 0);
    SimResult r =
        sb.run({"--at", kWednesdayBefore, "--speed", "10", "--until", "90", "65:tap:mid"});
    ASSERT_TRUE(r.powered_off()) << r.timeline_text();
    EXPECT_LT(r.outcome["rtc_alarm"].n - r.outcome["poweroff_at"].n, 10);
    EXPECT_FALSE(r.outcome["rtc_wakes"].b);
  }
  {
    // Nothing due within fifty seconds: the RTC is set, at a high speed as exactly, and
    // the phone is not powered off.
    E2eSandbox sb;
    sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
    SimResult r = sb.run({"--at", "2026-12-09 06:58:00", "--speed", "200", "--until", "60"});
    EXPECT_FALSE(r.powered_off());
    EXPECT_TRUE(r.outcome["poweroff_at"].is_null());
    EXPECT_LE(std::llabs(static_cast<long long>(r.outcome["rtc_alarm"].n) -
                         (epoch_utc(2026, 12, 9, 7, 0, 0) - 20)),
              1);
    EXPECT_FALSE(r.outcome["rtc_wakes"].b);
  }
}
