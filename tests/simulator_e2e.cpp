// alarm-sim itself: the phone's timing it plays (the boot delay, the RTC's lead, a slow or
// hung sqlite3) and the user it plays, judged by the outcome and the timeline it writes.
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
