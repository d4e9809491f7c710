// The phone sleeps through a dark snooze: the real program in a sandbox whose platform plays
// the kernel's suspend to RAM (the clock jumps to the alarm timer's moment or to the power
// key), judged by the timeline, outcome.json and the kernel log.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e_support.h"

namespace {

// A Monday-to-Friday 07:00 alarm that rings five minutes and snoozes for `snooze_minutes`.
struct SnoozingAlarm {
  E2eSandbox sb;
  explicit SnoozingAlarm(int snooze_minutes, const std::vector<std::string>& init_args = {})
      : sb(init_args) {
    sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
    sb.set_flags(5, "/res/sounds/default_ring.mp3", snooze_minutes);
  }
};

// The snooze's end (epoch seconds) of the run's first note.
double snooze_end(const SimResult& r) {
  const Json& notes = r.outcome["snooze_notes"];
  return notes.a.empty() ? -1 : notes.a[0]["snooze_end"].n;
}

// The ring started in the second the snooze ends: from its start to one second later.
bool rings_in_the_snooze_ends_second(const SimResult& r) {
  const Json& rings = r.outcome["ring_starts"];
  if (rings.a.size() < 2) return false;
  double end = snooze_end(r);
  return rings.a[1].n >= end && rings.a[1].n < end + 1;
}

int count_lines(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(SuspendScenario, ADarkSnoozeSleepsUntilItsAlarmTimerAndRingsInTheSnoozesSecond) {
  SnoozingAlarm a(2, {"--player", "real"});
  SimResult r =
      a.sb.run({"--at", kWednesdayBefore, "--until", "160", touch("25", "left"), "150:key:power"});
  ASSERT_EQ(r.cli_status, 0) << r.timeline_text();
  const Json& suspends = r.outcome["suspends"];
  ASSERT_EQ(suspends.a.size(), 1u) << r.timeline_text();
  const Json& s = suspends.a[0];
  EXPECT_EQ(s["by"].s, "alarm-timer");
  // Dark first; asleep for all but the lead before the end; awake again before the ring.
  std::vector<TimelineEvent> light = r.events("backlight");
  ASSERT_GE(light.size(), 3u) << r.timeline_text();
  EXPECT_EQ(light[1].details, "0");
  const TimelineEvent* suspend = r.first("suspend");
  const TimelineEvent* resume = r.first("resume");
  ASSERT_NE(suspend, nullptr);
  ASSERT_NE(resume, nullptr);
  // The touch darkens the screen, then the phone sleeps (the simulator notes the backlight
  // as it reads it, a moment after the program wrote it).
  EXPECT_GE(ms(suspend->at), ms(25.0));
  // The snoozed ring's player has ended first: frozen while it stops, it would find its card
  // suspended at the resume and fail.
  std::vector<TimelineEvent> stops = r.events("player-stop");
  ASSERT_FALSE(stops.empty()) << r.timeline_text();
  EXPECT_LE(ms(stops[0].at), ms(suspend->at)) << r.timeline_text();
  EXPECT_LT(light[1].at, resume->at);
  EXPECT_LT(resume->at, light[2].at);
  EXPECT_EQ(resume->details, "by alarm-timer");
  double end = snooze_end(r);
  EXPECT_DOUBLE_EQ(s["alarm_timer"].n, end - 3);
  EXPECT_GE(s["resumed_at"].n, s["alarm_timer"].n);
  EXPECT_GT(s["resumed_at"].n - s["at"].n, 0.9 * 120 - 3) << r.timeline_text();
  EXPECT_TRUE(rings_in_the_snooze_ends_second(r)) << r.timeline_text();
}

TEST(SuspendScenario, ThePowerKeyWakesTheSleepingPhoneAndPowersItOff) {
  SnoozingAlarm a(5);
  SimResult r =
      a.sb.run({"--at", kWednesdayBefore, "--until", "90", touch("25", "left"), "40:key:power"});
  EXPECT_TRUE(r.powered_off()) << r.timeline_text();
  const Json& suspends = r.outcome["suspends"];
  ASSERT_EQ(suspends.a.size(), 1u) << r.timeline_text();
  EXPECT_EQ(suspends.a[0]["by"].s, "wake-up");
  const TimelineEvent* resume = r.first("resume");
  const TimelineEvent* off = r.first("poweroff");
  ASSERT_NE(resume, nullptr);
  ASSERT_NE(off, nullptr);
  EXPECT_GE(ms(resume->at), ms(40.0));
  EXPECT_GT(off->at, resume->at);
  // Answered at once: the power-off's own second of clean-up, no wait for a look.
  EXPECT_LT(off->at, 42.5) << r.timeline_text();
  EXPECT_EQ(r.outcome["rtc_alarm_param"].is_null(), false);
}

TEST(SuspendScenario, ASuspendAlwaysRefusedIsTriedBoundedTimesAndTheSnoozeStillRings) {
  SnoozingAlarm a(2);
  SimResult r = a.sb.run({"--at", kWednesdayBefore, "--until", "160", "--fault", "suspend-refused",
                          touch("25", "left"), "150:key:power"});
  ASSERT_EQ(r.cli_status, 0) << r.timeline_text();
  EXPECT_TRUE(r.outcome["suspends"].a.empty());
  int refusals = static_cast<int>(r.outcome["suspend_refusals"].n);
  EXPECT_GE(refusals, 2) << r.timeline_text();
  EXPECT_LE(refusals, 12) << r.timeline_text();
  EXPECT_EQ(static_cast<int>(r.events("suspend-refused").size()), refusals);
  EXPECT_TRUE(rings_in_the_snooze_ends_second(r)) << r.timeline_text();
}

TEST(SuspendScenario, AfterTwoRefusalsThePhoneSleepsAndStillRingsOnTime) {
  SnoozingAlarm a(2);
  SimResult r = a.sb.run({"--at", kWednesdayBefore, "--until", "160", "--fault",
                          "suspend-refused:2", touch("25", "left"), "150:key:power"});
  ASSERT_EQ(r.cli_status, 0) << r.timeline_text();
  EXPECT_EQ(r.outcome["suspend_refusals"].n, 2);
  ASSERT_EQ(r.outcome["suspends"].a.size(), 1u) << r.timeline_text();
  EXPECT_EQ(r.outcome["suspends"].a[0]["by"].s, "alarm-timer");
  const TimelineEvent* refused = r.first("suspend-refused");
  const TimelineEvent* suspend = r.first("suspend");
  ASSERT_NE(refused, nullptr);
  ASSERT_NE(suspend, nullptr);
  EXPECT_LT(refused->at, suspend->at);
  EXPECT_TRUE(rings_in_the_snooze_ends_second(r)) << r.timeline_text();
}

TEST(SuspendScenario, AResumeLateByTwoSecondsStillRingsInTheSnoozesSecond) {
  SnoozingAlarm a(2);
  SimResult r = a.sb.run({"--at", kWednesdayBefore, "--until", "160", "--fault", "resume-late:2",
                          touch("25", "left"), "150:key:power"});
  ASSERT_EQ(r.cli_status, 0) << r.timeline_text();
  const Json& suspends = r.outcome["suspends"];
  ASSERT_EQ(suspends.a.size(), 1u) << r.timeline_text();
  EXPECT_GE(suspends.a[0]["resumed_at"].n, suspends.a[0]["alarm_timer"].n + 2);
  EXPECT_TRUE(rings_in_the_snooze_ends_second(r)) << r.timeline_text();
}

TEST(SuspendScenario, WithoutAnAlarmTimerEverySnoozeWaitsAwakeAndSaysSoOnce) {
  for (const char* fault : {"no-alarm-timer", "no-suspend"}) {
    SnoozingAlarm a(1);
    // Two snoozes: the second one does not ask again.
    SimResult r = a.sb.run({"--at", kWednesdayBefore, "--until", "170", "--fault", fault,
                            touch("25", "left"), touch("95", "left"), "165:key:power"});
    ASSERT_EQ(r.cli_status, 0) << fault << "\n" << r.timeline_text();
    EXPECT_TRUE(r.outcome["suspends"].a.empty()) << fault;
    EXPECT_EQ(count_lines(r.kmsg, "cannot suspend"), 1) << fault << "\n" << r.kmsg;
    EXPECT_EQ(r.outcome["ring_starts"].a.size(), 3u) << fault << "\n" << r.timeline_text();
    EXPECT_TRUE(rings_in_the_snooze_ends_second(r)) << fault << "\n" << r.timeline_text();
  }
}

TEST(SuspendScenario, NeverWhileTheScreenIsLitOrTheAlarmRings) {
  // Snoozed with another alarm a minute ahead: the ring stops, the screen stays lit.
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  sb.add_alarm(2, 7, 1, kMonToFri, 1, 0);
  sb.set_flags(5, "/res/sounds/default_ring.mp3", 5);
  SimResult r =
      sb.run({"--at", kWednesdayBefore, "--until", "100", touch("25", "left"), "95:key:power"});
  ASSERT_EQ(r.cli_status, 0) << r.timeline_text();
  EXPECT_TRUE(r.outcome["suspends"].a.empty()) << r.timeline_text();
  EXPECT_EQ(r.outcome["suspend_refusals"].n, 0);
  EXPECT_EQ(r.first("suspend"), nullptr);
}

// The wall clock set back while an alarm rings (an RTC correction): the program's long wait
// for the ring period's end is looked at again at once, so an alarm the set brings ahead
// rings as it falls due.
TEST(WallClockSet, SetBackWhileRingingAnAlarmNowAheadRingsWhenItFallsDue) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  sb.add_alarm(2, 6, 40, kMonToFri, 1, 0);
  sb.set_flags(10, "/res/sounds/default_ring.mp3", 5);
  // 07:00:10, 25 minutes back: 06:35:10, and 06:40 lies 290 s ahead.
  SimResult r = sb.run({"--at", kWednesdayBefore, "--until", "40", "30:clock:-1500"});
  ASSERT_EQ(r.cli_status, 0) << r.timeline_text();
  ASSERT_NE(r.first("clock"), nullptr) << r.timeline_text();
  double forty = static_cast<double>(epoch_utc(2026, 12, 9, 6, 40, 0));
  bool rang_at_forty = false;
  for (const Json& at : r.outcome["ring_starts"].a) {
    // The switch to it pauses a second before the ring starts again.
    rang_at_forty = rang_at_forty || (at.n >= forty && at.n < forty + 2.5);
  }
  EXPECT_TRUE(rang_at_forty) << r.timeline_text();
}
