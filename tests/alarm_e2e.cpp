// Whole alarms through alarm-sim: the real program in a sandbox with a real database, on the
// virtual clock, judged only by what a person or a peer program could observe.
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "screen/layout_test_util.h"
#include "sim/screenshot.h"
#include "tests/e2e_support.h"

namespace {

constexpr char kSnoozeNote[] = "/data/data/com.android.deskclock/files/alarm_delay.tmp";

}  // namespace

TEST(AlarmScenario, NothingDueWithinFiftySecondsEndsWithoutStartingAndroid) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 1);
  SimResult r = sb.run({"--at", "2026-12-09 06:58:00", "--speed", "1", "--until", "60"});
  EXPECT_EQ(r.exit_status(), 0) << r.timeline_text();
  // 120 s away at start-up; a slow start (a sanitizer build, or qemu on a loaded machine at
  // this speed) may see up to a second of real time less.
  size_t at = r.kmsg.find("<3>alarm: alarm expire: ");
  ASSERT_NE(at, std::string::npos) << r.kmsg;
  int expire = atoi(r.kmsg.c_str() + at + 24);
  EXPECT_LE(expire, 120);
  EXPECT_GE(expire, 100);
  EXPECT_TRUE(r.outcome["properties_set"].a.empty());
  EXPECT_EQ(r.player_runs(), 0);
  EXPECT_FALSE(r.powered_off());
  // The RTC wakes the phone again 20 s before the alarm.
  // The RTC's base time is read at whole virtual seconds: allow for one.
  long long rtc = atoll(r.outcome["rtc_alarm_param"].s.c_str());
  EXPECT_LE(std::llabs(rtc - (epoch_utc(2026, 12, 9, 7, 0, 0) - 20)), 1) << rtc;
}

TEST(AlarmScenario, WeekdayAlarmRingsAtItsSecondAndStopPowersOffForThursday) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0, "Work", "");
  std::string shot = sb.path("/sim/ringing.png");
  SimResult r = sb.run({"--at", kWednesdayBefore, "--speed", "1", "--until", "90",
                        "25:shot:" + shot, touch("30", "mid")});
  EXPECT_EQ(r.exit_status(), 0) << r.timeline_text();
  EXPECT_TRUE(r.powered_off());
  const TimelineEvent* start = r.first("player-start");
  ASSERT_NE(start, nullptr) << r.timeline_text();
  // Due at 07:00:00 (20 s); the ring starts one second later.
  EXPECT_GE(start->at, 20.9);
  EXPECT_LT(start->at, 23.0);
  EXPECT_LE(std::llabs(atoll(r.outcome["rtc_alarm_param"].s.c_str()) -
                       (epoch_utc(2026, 12, 10, 7, 0, 0) - 20)),
            1);
  const TimelineEvent* off = r.first("poweroff");
  ASSERT_NE(off, nullptr);
  EXPECT_GT(off->at, 30.9);
  EXPECT_EQ(r.first("rtc") != nullptr, true);
  EXPECT_GT(lit_share(shot), 0.01);  // the alarm screen is drawn
  EXPECT_LT(lit_share(shot), 0.9);   // on black
}

TEST(AlarmScenario, OneShotAlarmIsSwitchedOffAndThePowerKeyPowersOff) {
  E2eSandbox sb;
  sb.add_alarm(3, 7, 0, 0, 1, 0, "Once", "");
  SimResult r = sb.run({"--at", kWednesdayBefore, "--speed", "1", "--until", "90", "30:key:power"});
  EXPECT_EQ(r.exit_status(), 0) << r.timeline_text();
  EXPECT_TRUE(r.powered_off());
  EXPECT_GE(r.player_runs(), 1);
  EXPECT_EQ(sb.sql("SELECT enabled FROM alarms WHERE _id=3;"), "0\n");
  // Nothing else is due: the RTC is left alone.
  EXPECT_TRUE(r.outcome["rtc_alarm_param"].is_null()) << r.outcome["rtc_alarm_param"].s;
  // The power-off ends the program as on a phone: nothing is logged after it.
  EXPECT_FALSE(contains(r.kmsg, "<3>alarm: shutdown system\n"));
}

TEST(AlarmScenario, LeftButtonSnoozesAndTheAlarmRingsAgain) {
  E2eSandbox sb;
  sb.add_alarm(5, 7, 0, kMonToFri, 1, 0);
  sb.set_flags(5, "/res/sounds/default_ring.mp3", 1);
  std::string again = sb.path("/sim/again.png");
  SimResult r = sb.run({"--at", kWednesdayBefore, "--speed", "1", "--until", "120",
                        touch("25", "left"), "95:shot:" + again, "100:key:power"});
  EXPECT_TRUE(r.powered_off()) << r.timeline_text();
  std::vector<TimelineEvent> light = r.events("backlight");
  ASSERT_GE(light.size(), 3u) << r.timeline_text();
  EXPECT_EQ(light[0].details, "25");
  EXPECT_EQ(light[1].details, "0");   // snoozed
  EXPECT_GE(light[1].at, 25.0);       // at the touch: the program's own pace takes no time here
  EXPECT_EQ(light[2].details, "25");  // ringing again after 60 s
  EXPECT_GT(light[2].at, 84.5);
  EXPECT_LT(light[2].at, 89.0);
  EXPECT_EQ(count_between(r, "player-start", 85.0, 91.0), 1);
  std::string note = sb.read(kSnoozeNote);
  ASSERT_EQ(note.size(), 512u);
  EXPECT_EQ(note.substr(0, 2), "5\n");
  EXPECT_GT(lit_share(again), 0.01);
}

TEST(AlarmScenario, TheRingPeriodRunningOutSnoozesByItself) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  sb.set_flags(1, "/res/sounds/default_ring.mp3", 1);
  SimResult r =
      sb.run({"--at", kWednesdayBefore, "--speed", "1", "--until", "100", "95:key:power"});
  std::vector<TimelineEvent> light = r.events("backlight");
  ASSERT_GE(light.size(), 2u) << r.timeline_text();
  EXPECT_EQ(light[1].details, "0");
  EXPECT_GT(light[1].at, 81.0);  // one minute after the ring started at 21 s
  EXPECT_LT(light[1].at, 84.0);
  EXPECT_EQ(sb.read(kSnoozeNote).substr(0, 2), "1\n");
}

TEST(AlarmScenario, SnoozeWithTheNextAlarmCloseStaysLitAndSwitches) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  sb.add_alarm(2, 7, 1, kMonToFri, 1, 0);
  sb.set_flags(5, "/res/sounds/default_ring.mp3", 5);
  SimResult r = sb.run({"--at", kWednesdayBefore, "--speed", "1", "--until", "100",
                        touch("30", "left"), "90:key:power"});
  EXPECT_TRUE(r.powered_off()) << r.timeline_text();
  // The light goes on for the ring and stays on through the snooze.
  ASSERT_FALSE(r.events("backlight").empty()) << r.timeline_text();
  for (const TimelineEvent& e : r.events("backlight")) {
    EXPECT_TRUE(e.details == "25" || e.at > 90.0) << e.at << " " << e.details;
  }
  // The ring stops at the touch, long before the 07:01 alarm starts it again.
  EXPECT_EQ(count_between(r, "player-stop", 30.0, 60.0), 1) << r.timeline_text();
  EXPECT_EQ(count_between(r, "player-start", 80.0, 84.0), 1) << r.timeline_text();
}

// On a panel mounted upside down the framebuffer holds the picture turned round, and the
// touch panel reports what the person sees: the stop button is drawn where the framebuffer
// turns it to, and a touch where the person sees it stops the alarm.
TEST(AlarmScenario, OnATurnedPanelTheButtonsAreWhereAPersonSeesThem) {
  E2eSandbox sb({"--rotation", "180"});
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  const std::string shot = sb.path("/sim/turned.png");
  SimResult r = sb.run({"--at", kWednesdayBefore, "--speed", "1", "--until", "60",
                        "30:shot:" + shot, touch("35", "mid")});
  const LayoutRect& stop = screen_layout(480, 800)->buttons[1];
  Screenshot picture;
  ASSERT_TRUE(read_png(shot, &picture));
  EXPECT_NE(picture.pixel(479 - stop.centre_x(), 799 - stop.centre_y())[0], 0);  // turned round
  EXPECT_EQ(picture.pixel(stop.centre_x(), stop.centre_y())[0], 0);  // black in the turned one
  const TimelineEvent* off = r.first("poweroff");
  ASSERT_NE(off, nullptr) << r.timeline_text();
  EXPECT_GT(off->at, 35.0) << r.timeline_text();
  EXPECT_EQ(r.player_runs(), 1);
}

TEST(AlarmScenario, RightButtonStartsAndroid) {
  E2eSandbox sb;
  sb.add_alarm(7, 7, 0, kMonToFri, 1, 0);
  SimResult r =
      sb.run({"--at", kWednesdayBefore, "--speed", "1", "--until", "60", touch("30", "right")});
  EXPECT_EQ(r.exit_status(), 0) << r.timeline_text();
  EXPECT_FALSE(r.powered_off());
  const Json& props = r.outcome["properties_set"];
  ASSERT_EQ(props.a.size(), 1u);
  EXPECT_EQ(props.a[0]["name"].s, "ctl.start");
  EXPECT_EQ(props.a[0]["value"].s, "zygote");
  EXPECT_EQ(sb.read(kSnoozeNote).substr(0, 2), "7\n");
  EXPECT_TRUE(contains(sb.read("/default.prop"), "ctl.start=zygote\n"));
}

TEST(AlarmScenario, PowerKeyWhileSnoozedPowersOff) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  sb.set_flags(5, "/res/sounds/default_ring.mp3", 5);
  SimResult r = sb.run({"--at", kWednesdayBefore, "--speed", "1", "--until", "90",
                        touch("25", "left"), "40:key:power"});
  EXPECT_TRUE(r.powered_off()) << r.timeline_text();
  const TimelineEvent* off = r.first("poweroff");
  ASSERT_NE(off, nullptr);
  EXPECT_GT(off->at, 40.0);
  EXPECT_LT(off->at, 44.5);
  EXPECT_EQ(sb.read(kSnoozeNote).size(), 512u);
}

TEST(AlarmScenario, AnotherAlarmFallingDueRestartsTheRing) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  sb.add_alarm(2, 7, 1, kMonToFri, 1, 0);
  sb.set_flags(5, "/res/sounds/default_ring.mp3", 5);
  SimResult r =
      sb.run({"--at", kWednesdayBefore, "--speed", "1", "--until", "100", "90:key:power"});
  EXPECT_EQ(count_between(r, "player-stop", 79.9, 82.5), 1) << r.timeline_text();
  EXPECT_EQ(count_between(r, "player-start", 80.9, 83.5), 1) << r.timeline_text();
}

TEST(AlarmScenario, VibrationPulsesWhileRingingOnlyForFlagOne) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 1);
  sb.set_flags(5, "/res/sounds/default_ring.mp3", 1);
  SimResult r = sb.run({"--at", kWednesdayBefore, "--speed", "1", "--until", "100",
                        touch("41", "left"), "70:key:power"});
  int ringing = count_between(r, "vibrate", 20.0, 41.0);
  EXPECT_GE(ringing, 8) << r.timeline_text();  // every 2 s over 20 s
  EXPECT_LE(ringing, 11);
  EXPECT_EQ(count_between(r, "vibrate", 43.0, 70.0), 0);  // snoozed
  for (const TimelineEvent& e : r.events("vibrate")) EXPECT_EQ(e.details, "1000");

  E2eSandbox two;
  two.add_alarm(1, 7, 0, kMonToFri, 1, 2);
  SimResult r2 =
      two.run({"--at", kWednesdayBefore, "--speed", "1", "--until", "60", "40:key:power"});
  EXPECT_GE(r2.player_runs(), 1) << r2.timeline_text();  // it rang, without vibrating
  EXPECT_TRUE(r2.events("vibrate").empty()) << r2.timeline_text();
}

TEST(AlarmScenario, AMissingPlayerStillShowsAndVibratesWithoutSpinning) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 1);
  unlink(sb.path("/system/bin/mplayer").c_str());
  std::string shot = sb.path("/sim/silent.png");
  SimResult r = sb.run({"--at", kWednesdayBefore, "--speed", "4", "--until", "40",
                        "30:shot:" + shot, "36:key:power"});
  EXPECT_TRUE(r.powered_off()) << r.timeline_text();
  EXPECT_EQ(r.player_runs(), 0);
  EXPECT_GE(count_between(r, "vibrate", 20.0, 36.0), 5);
  EXPECT_GT(lit_share(shot), 0.01);
  // Four real seconds of ringing: a controller restarting at once would burn them all.
  EXPECT_LT(r.outcome["program_cpu_seconds"].n, 1.0);
}
