// The program's main flow on the manual clock: start-up, the wait for the due alarm and every
// row of the main loop's state table. Worker threads are recorded, not started; touches and
// the power key are posted by actions scheduled on the clock, as the input thread would.
#include "alarm/alarm.h"

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "alarm/alarm_flag.h"
#include "alarm/alarm_schedule.h"
#include "devices/music.h"
#include "devices/vibrator.h"
#include "input/input_event.h"
#include "screen/alarm_screen.h"
#include "sim/test_sandbox.h"

namespace {

constexpr char kBacklight[] = "/sys/class/leds/lcd-backlight/brightness";
constexpr char kSnoozeNote[] = "/data/data/com.android.deskclock/files/alarm_delay.tmp";
constexpr char kRtcParam[] = "/sys/class/rtc/rtc0/alarm_param";
constexpr int kMonToFri = 31;

// One run of the program in a sandbox whose clock starts at `at` (UTC).
class AlarmRun {
 public:
  explicit AlarmRun(const char* at) : sb_(at, "UTC"), t0_(sb_.clock().now_us()) {
    sb_.platform().start_threads = false;
    sb_.write("/sys/class/rtc/rtc0/alarm_op", "1000000\n");
    // A safety net: no test runs for more than two virtual hours.
    at_secs(7200, [] {
      g_alarm_status.exit_request = 9;
      g_main_wakeup.post();
    });
  }

  TestSandbox& sb() { return sb_; }
  const TestSandbox& sb() const { return sb_; }
  // Ring period and snooze period in minutes.
  void flags(int ring_minutes, int snooze_minutes) {
    sb_.write("/productinfo/alarm_flag", "f f " + std::to_string(ring_minutes) +
                                             " /res/sounds/default_ring.mp3 " +
                                             std::to_string(snooze_minutes) + "\n");
  }
  void at_secs(double secs, std::function<void()> action) {
    sb_.clock().schedule(t0_ + static_cast<int64_t>(secs * 1e6), std::move(action));
  }
  void press(double secs, int32_t button) {
    at_secs(secs, [button] {
      g_button_event = button;
      g_main_wakeup.post();
    });
  }
  void power_key(double secs) {
    at_secs(secs, [] {
      g_alarm_status.exit_request = 9;
      g_main_wakeup.post();
    });
  }
  // Records what a person would notice at a moment: is it ringing, is the screen lit.
  struct Look {
    int32_t state = -1;
    bool ringing = false;
    std::string backlight;
  };
  void look(double secs, Look* out) {
    at_secs(secs, [this, out] {
      out->state = g_alarm_status.state;
      out->ringing = g_music_pid > 0;
      out->backlight = sb_.read(kBacklight);
    });
  }
  double seconds_of(int64_t us) const { return static_cast<double>(us - t0_) / 1e6; }
  int threads_of(void* (*entry)(void*)) {
    int n = 0;
    for (auto* t : sb_.platform().threads) n += t == entry;
    return n;
  }
  std::string kmsg() const { return sb_.kmsg(); }

 private:
  TestSandbox sb_;
  int64_t t0_;
};

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

TEST(Startup, BootModesThatBeginWithAlarmStartTheAlarm) {
  for (const char* mode : {"alarm", "alarmboot"}) {
    TestSandbox sb;
    sb.set_property("ro.bootmode", mode);
    EXPECT_EQ(alarm_main(), ALARM_EXIT_INIT_FAILED) << mode;  // the alarm table is empty
    EXPECT_TRUE(contains(sb.kmsg(), "<3>alarm: alarm init failed\n")) << mode;
    EXPECT_EQ(g_alarm_status.state, ALARM_STATE_OFF);
  }
}

TEST(Startup, OtherBootModesEndWithStatusZero) {
  for (const char* mode : {"charger", "normal", "Alarm", ""}) {
    TestSandbox sb;
    sb.write("/default.prop", mode[0] ? std::string("ro.bootmode=") + mode + "\n" : "");
    sb.add_alarm(1, 7, 0, kMonToFri, 1, 1);
    EXPECT_EQ(alarm_main(), ALARM_EXIT_OK) << mode;
    EXPECT_EQ(sb.kmsg(), "<3>alarm: not power off alarm\n") << mode;
    EXPECT_TRUE(sb.platform().threads.empty());
  }
}

TEST(Startup, ResistivePanelsGetTheirCalibration) {
  struct Case {
    const char* kind;
    bool calibrated;
  };
  for (Case c : {Case{"res", true}, Case{"resistive", true}, Case{"RES", false},
                 Case{"capacitive", false}, Case{"", false}}) {
    TestSandbox sb;
    sb.set_property("ro.device.tp", c.kind);
    sb.write("/data/tpcalcoef", "1 2 3 4 5 6 7");
    alarm_main();
    EXPECT_EQ(sb.read("/sys/class/input/input0/cal_coef"), c.calibrated ? "1 2 3 4 5 6 7" : "")
        << c.kind;
    EXPECT_EQ(sb.read("/sys/class/input/input0/cal_mode"), c.calibrated ? "0" : "") << c.kind;
  }
}

TEST(Startup, AThreadThatCannotStartEndsWithStatusMinusOne) {
  struct Case {
    int failing;
    const char* message;
  };
  for (Case c : {Case{1, "<3>alarm: refreshen_screen thread creat fail\n"},
                 Case{2, "<3>alarm: get_input_event thread creat fail\n"}}) {
    AlarmRun run("2026-12-09 06:59:58");
    run.sb().add_alarm(1, 7, 0, kMonToFri, 1, 0);
    run.sb().platform().fail_thread_number = c.failing;
    EXPECT_EQ(alarm_main(), ALARM_EXIT_THREAD_FAILED);
    EXPECT_TRUE(contains(run.kmsg(), c.message));
    EXPECT_EQ(g_alarm_status.state, ALARM_STATE_OFF);
    EXPECT_EQ(g_music_pid, -1);  // the ring never started
  }
}

TEST(WaitForTheAlarm, AnAlarmFiftySecondsAwayIsWaitedFor) {
  AlarmRun run("2026-12-09 06:59:10");
  run.sb().add_alarm(1, 7, 0, kMonToFri, 1, 0);
  AlarmRun::Look before, after;
  run.look(49.5, &before);
  run.look(51.5, &after);  // the ring starts one second after the due second
  run.power_key(60);
  EXPECT_EQ(alarm_main(), ALARM_EXIT_OK);
  EXPECT_FALSE(before.ringing);
  EXPECT_TRUE(after.ringing);
  EXPECT_EQ(after.backlight, "25");
  EXPECT_EQ(run.threads_of(refreshen_screen), 1);
  EXPECT_EQ(run.threads_of(get_input_event), 1);
}

TEST(WaitForTheAlarm, AnAlarmFiftyOneSecondsAwayEndsTheProgram) {
  AlarmRun run("2026-12-09 06:59:09");
  run.sb().add_alarm(1, 7, 0, kMonToFri, 1, 0);
  PropertyRecorder properties(run.sb());
  EXPECT_EQ(alarm_main(), ALARM_EXIT_OK);
  EXPECT_TRUE(contains(run.kmsg(), "<3>alarm: alarm expire: 51\n"));
  EXPECT_TRUE(run.sb().platform().threads.empty());
  EXPECT_EQ(run.sb().platform().power_offs, 0);
  EXPECT_TRUE(properties.requests().empty());  // Android is not started on this path
  // The phone is to wake 20 seconds before the alarm.
  EXPECT_EQ(run.sb().read(kRtcParam), "1000031");
}

TEST(Snooze, NextAlarmBeyondTheSnoozeDarkensAndRingsAgain) {
  AlarmRun run("2026-12-09 06:59:50");
  run.sb().add_alarm(4, 7, 0, kMonToFri, 1, 0);
  run.flags(10, 5);
  AlarmRun::Look snoozed, still, again;
  run.press(20, BUTTON_SLEEP);  // 07:00:10
  run.look(25, &snoozed);
  run.look(318, &still);
  run.look(322, &again);  // 07:05:12, after 300 s of snooze
  run.power_key(330);
  EXPECT_EQ(alarm_main(), ALARM_EXIT_OK);
  EXPECT_EQ(snoozed.state, ALARM_STATE_DELAY);
  EXPECT_FALSE(snoozed.ringing);
  EXPECT_EQ(snoozed.backlight, "0");
  EXPECT_EQ(still.state, ALARM_STATE_DELAY);
  EXPECT_EQ(again.state, ALARM_STATE_RINGING);
  EXPECT_TRUE(again.ringing);
  EXPECT_EQ(again.backlight, "25");
  std::string note = run.sb().read(kSnoozeNote);
  ASSERT_EQ(note.size(), 512u);
  EXPECT_EQ(note.substr(0, 2), "4\n");
}

TEST(Snooze, NextAlarmWithinTheSnoozeStaysSilentAndLit) {
  AlarmRun run("2026-12-09 06:59:50");
  run.sb().add_alarm(1, 7, 0, kMonToFri, 1, 0);
  run.sb().add_alarm(2, 7, 3, kMonToFri, 1, 0);
  run.flags(10, 5);
  AlarmRun::Look silent, switched;
  run.press(20, BUTTON_SLEEP);
  run.look(30, &silent);
  run.look(192, &switched);  // 07:03:02, after the switch to the second alarm
  run.power_key(200);
  EXPECT_EQ(alarm_main(), ALARM_EXIT_OK);
  EXPECT_EQ(silent.state, ALARM_STATE_RINGING);
  EXPECT_FALSE(silent.ringing);
  EXPECT_EQ(silent.backlight, "25");
  EXPECT_EQ(switched.state, ALARM_STATE_RINGING);
  EXPECT_TRUE(switched.ringing);
}

TEST(Snooze, TheRingPeriodRunningOutSnoozesByItself) {
  AlarmRun run("2026-12-09 06:59:50");
  run.sb().add_alarm(1, 7, 0, kMonToFri, 1, 0);
  run.flags(1, 5);
  AlarmRun::Look ringing, snoozed;
  run.look(70, &ringing);  // 07:01:00, 59 s after the ring started
  run.look(73, &snoozed);
  run.power_key(80);
  EXPECT_EQ(alarm_main(), ALARM_EXIT_OK);
  EXPECT_EQ(ringing.state, ALARM_STATE_RINGING);
  EXPECT_TRUE(ringing.ringing);
  EXPECT_EQ(snoozed.state, ALARM_STATE_DELAY);
  EXPECT_EQ(snoozed.backlight, "0");
  EXPECT_EQ(run.sb().read(kSnoozeNote).substr(0, 2), "1\n");
}

TEST(Snooze, ARingPeriodOfZeroSnoozesEveryRinging) {
  AlarmRun run("2026-12-09 06:59:50");
  run.sb().add_alarm(1, 7, 0, kMonToFri, 1, 0);
  run.flags(1, 1);
  AlarmRun::Look first;
  // The settings are read during start-up; shorten the ring period once they are in.
  run.at_secs(9, [] { g_alarm_last_time = 0; });
  run.look(12.5, &first);  // 07:00:02.5: ringing began at 07:00:01
  run.power_key(20);
  EXPECT_EQ(alarm_main(), ALARM_EXIT_OK);
  EXPECT_EQ(first.state, ALARM_STATE_DELAY);
  EXPECT_FALSE(first.ringing);
}

TEST(Stop, TheMiddleButtonPowersOffWithTheNextAlarmProgrammed) {
  AlarmRun run("2026-12-09 06:59:50");
  run.sb().add_alarm(1, 7, 0, kMonToFri, 1, 0);
  run.flags(10, 5);
  run.press(20, BUTTON_STOP);  // 07:00:10
  EXPECT_EQ(alarm_main(), ALARM_EXIT_OK);
  EXPECT_EQ(run.sb().platform().power_offs, 1);
  EXPECT_EQ(run.sb().platform().syncs, 1);
  EXPECT_DOUBLE_EQ(run.seconds_of(run.sb().platform().power_off_at_us), 21.0);
  std::string log = run.kmsg();
  EXPECT_TRUE(contains(log, "<3>alarm: shutdown system\n"));
  EXPECT_FALSE(contains(log, "alarm final exit"));
  // Thursday 07:00 seen from Wednesday 07:00:11, 20 seconds early.
  EXPECT_EQ(run.sb().read(kRtcParam), std::to_string(1000000 + 86389 - 20));
  EXPECT_FALSE(run.sb().exists(kSnoozeNote));
}

// The edge of the wait for an alarm too near for a power-off: 32 s away at the stop powers
// off, the wake-up 11 s after the power-off; 31 s away waits dark and rings that alarm.
TEST(Stop, TheNextAlarm32SecondsAwayPowersOffAnd31WaitsDark) {
  for (double stop_at : {38.0, 39.0}) {  // 07:00:28, 07:00:29
    AlarmRun run("2026-12-09 06:59:50");
    run.sb().add_alarm(1, 7, 0, kMonToFri, 1, 0);
    run.sb().add_alarm(2, 7, 1, kMonToFri, 1, 0);
    run.flags(10, 5);
    run.press(stop_at, BUTTON_STOP);
    AlarmRun::Look dark, rung;
    run.look(60, &dark);  // 07:00:50
    run.look(75, &rung);  // 07:01:05
    run.press(80, BUTTON_STOP);
    EXPECT_EQ(alarm_main(), ALARM_EXIT_OK);
    EXPECT_EQ(run.sb().platform().power_offs, 1);
    const double off = run.seconds_of(run.sb().platform().power_off_at_us);
    if (stop_at == 38.0) {
      EXPECT_DOUBLE_EQ(off, 39.0);
      EXPECT_EQ(run.sb().read(kRtcParam), std::to_string(1000000 + 31 - 20));
    } else {
      EXPECT_TRUE(contains(run.kmsg(), "next alarm in 31 s is too near to power off"));
      EXPECT_EQ(dark.state, ALARM_STATE_DELAY);
      EXPECT_FALSE(dark.ringing);
      EXPECT_TRUE(rung.ringing);
      EXPECT_GT(off, 80.0);
    }
  }
}

// Stopped while silent after its snooze (the next alarm lies within the snooze), the alarm
// on the screen is stopped: its snooze ends, the note forgets it, and the RTC goes for the
// next alarm.
TEST(Stop, InTheSilentStateEndsTheSnoozeJustTaken) {
  AlarmRun run("2026-12-09 06:59:50");
  run.sb().add_alarm(1, 7, 0, kMonToFri, 1, 0);
  run.sb().add_alarm(2, 7, 3, kMonToFri, 1, 0);
  run.flags(10, 5);
  run.press(20, BUTTON_SLEEP);  // 07:00:10: silent, 07:03 is nearer than 07:05:10
  run.press(40, BUTTON_STOP);
  EXPECT_EQ(alarm_main(), ALARM_EXIT_OK);
  EXPECT_EQ(run.sb().platform().power_offs, 1);
  // 07:03 seen from 07:00:31, 20 seconds early.
  EXPECT_EQ(run.sb().read(kRtcParam), std::to_string(1000000 + 149 - 20));
  EXPECT_EQ(run.sb().read(kSnoozeNote), std::string(512, '\0'));
}

TEST(PowerOn, TheRightButtonStartsAndroid) {
  AlarmRun run("2026-12-09 06:59:50");
  run.sb().add_alarm(6, 7, 0, kMonToFri, 1, 0);
  run.flags(10, 5);
  PropertyRecorder properties(run.sb());
  run.press(20, BUTTON_POWERON);
  EXPECT_EQ(alarm_main(), ALARM_EXIT_OK);
  std::vector<std::string> requests = properties.wait_for(1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0], "ctl.start=zygote");
  EXPECT_EQ(run.sb().platform().power_offs, 0);
  EXPECT_TRUE(contains(run.kmsg(), "<3>alarm:  alarm final exit\n"));
  EXPECT_EQ(run.sb().read(kSnoozeNote).substr(0, 2), "6\n");
  EXPECT_EQ(run.sb().read(kBacklight), "25");
  EXPECT_EQ(g_music_pid, -1);
}

TEST(PowerKey, WhileRingingPowersOffAtTheEndOfThePass) {
  AlarmRun run("2026-12-09 06:59:50");
  run.sb().add_alarm(1, 7, 0, kMonToFri, 1, 0);
  run.flags(10, 5);
  run.power_key(20);
  EXPECT_EQ(alarm_main(), ALARM_EXIT_OK);
  EXPECT_EQ(run.sb().platform().power_offs, 1);
  std::string log = run.kmsg();
  size_t shutdown = log.find("<3>alarm: shutdown system\n");
  ASSERT_NE(shutdown, std::string::npos);
  EXPECT_GT(log.find("<3>alarm:  alarm final exit\n"), shutdown);
  // Programmed once, at 07:00:10, from the schedule still in memory.
  EXPECT_EQ(run.sb().read(kRtcParam), std::to_string(1000000 + 86390 - 20));
}

TEST(PowerKey, WhileSnoozedEndsTheWaitWithinASecond) {
  AlarmRun run("2026-12-09 06:59:50");
  run.sb().add_alarm(1, 7, 0, kMonToFri, 1, 0);
  run.flags(10, 5);
  run.press(20, BUTTON_SLEEP);
  run.power_key(100.2);
  EXPECT_EQ(alarm_main(), ALARM_EXIT_OK);
  EXPECT_EQ(run.sb().platform().power_offs, 1);
  double off = run.seconds_of(run.sb().platform().power_off_at_us);
  EXPECT_GT(off, 100.2);
  EXPECT_LE(off, 100.2 + 1.0 + 1.0);  // seen within a second, then one second to power off
  EXPECT_EQ(run.sb().read(kSnoozeNote).size(), 512u);
}

TEST(PowerKey, MiddleButtonWhileSnoozedIsLost) {
  AlarmRun run("2026-12-09 06:59:50");
  run.sb().add_alarm(1, 7, 0, kMonToFri, 1, 0);
  run.flags(10, 1);
  AlarmRun::Look again;
  run.press(20, BUTTON_SLEEP);
  run.press(40, BUTTON_STOP);  // stored during the snooze wait, cleared after it
  run.look(85, &again);
  run.power_key(90);
  EXPECT_EQ(alarm_main(), ALARM_EXIT_OK);
  EXPECT_EQ(again.state, ALARM_STATE_RINGING);
  EXPECT_TRUE(again.ringing);
  // The power key ended it, not the middle button: that path never logs the final exit.
  EXPECT_TRUE(contains(run.kmsg(), "<3>alarm:  alarm final exit\n"));
  EXPECT_GT(run.seconds_of(run.sb().platform().power_off_at_us), 90.0);
}

TEST(Switch, AnotherAlarmFallingDueRestartsTheRing) {
  AlarmRun run("2026-12-09 06:59:50");
  run.sb().add_alarm(1, 7, 0, kMonToFri, 1, 0);
  run.sb().add_alarm(2, 7, 1, kMonToFri, 1, 1);
  run.flags(10, 5);
  AlarmRun::Look switching, rung;
  run.look(70.5, &switching);  // 07:01:00.5
  run.look(71.5, &rung);
  run.power_key(80);
  EXPECT_EQ(alarm_main(), ALARM_EXIT_OK);
  EXPECT_EQ(switching.state, ALARM_STATE_SWITCH);
  EXPECT_FALSE(switching.ringing);
  EXPECT_EQ(rung.state, ALARM_STATE_RINGING);
  EXPECT_TRUE(rung.ringing);
  // The first alarm does not vibrate, the second does.
  EXPECT_EQ(run.threads_of(vibrate_thread), 1);
}

// The middle button touched during the switch's pause was meant for 07:00: 07:01 still rings.
TEST(Switch, ATouchDuringTheSwitchIsNotForTheNewAlarm) {
  AlarmRun run("2026-12-09 06:59:50");
  run.sb().add_alarm(1, 7, 0, kMonToFri, 1, 0);
  run.sb().add_alarm(2, 7, 1, kMonToFri, 1, 0);
  run.flags(10, 5);
  AlarmRun::Look rung;
  run.press(70.5, BUTTON_STOP);  // 07:01:00.5
  run.look(72, &rung);
  run.power_key(80);
  EXPECT_EQ(alarm_main(), ALARM_EXIT_OK);
  EXPECT_EQ(rung.state, ALARM_STATE_RINGING);
  EXPECT_TRUE(rung.ringing);
  EXPECT_GE(run.seconds_of(run.sb().platform().power_off_at_us), 80);
}

TEST(Vibration, OnlyAVibrateFlagOfOneStartsTheVibrator) {
  for (int vibrate : {1, 2}) {
    AlarmRun run("2026-12-09 06:59:58");
    run.sb().add_alarm(1, 7, 0, kMonToFri, 1, vibrate);
    run.power_key(10);
    EXPECT_EQ(alarm_main(), ALARM_EXIT_OK);
    EXPECT_EQ(run.threads_of(vibrate_thread), vibrate == 1 ? 1 : 0) << vibrate;
  }
}

TEST(WaitDelay, LooksAtTheExitRequestOncePerSecond) {
  TestSandbox sb;
  int64_t t0 = sb.clock().now_us();
  EXPECT_EQ(wait_delay(0), 0);
  EXPECT_EQ(wait_delay(-3), 0);
  EXPECT_EQ(sb.clock().now_us(), t0);
  EXPECT_EQ(wait_delay(3), 0);
  EXPECT_EQ(sb.clock().now_us(), t0 + 3000000);
  sb.clock().schedule(t0 + 4200000, [] { g_alarm_status.exit_request = 10; });
  EXPECT_EQ(wait_delay(10), 1);
  EXPECT_EQ(sb.clock().now_us(), t0 + 5000000);  // seen at the start of the next second
}

// The main thread sleeps until something it must answer: the waits it makes over a stretch
// with nothing to do are counted on the platform.
TEST(NoIdleWakeUps, TheWaitForTheDueAlarmSleepsToItsSecond) {
  AlarmRun run("2026-12-09 06:59:12");
  run.sb().add_alarm(1, 7, 0, kMonToFri, 1, 0);
  AlarmRun::Look rings;
  int waits_at_start = -1, waits_before_due = -1;
  run.at_secs(1, [&] { waits_at_start = run.sb().platform().event_waits; });
  run.at_secs(47.5, [&] { waits_before_due = run.sb().platform().event_waits; });
  run.look(49.5, &rings);  // rings a second after 07:00:00
  run.power_key(60);
  EXPECT_EQ(alarm_main(), ALARM_EXIT_OK);
  EXPECT_TRUE(rings.ringing);
  EXPECT_LE(waits_before_due - waits_at_start, 1);
}

TEST(NoIdleWakeUps, ARingingAlarmSleepsToTheRingPeriodsEndAndSnoozesThere) {
  AlarmRun run("2026-12-09 06:59:58");
  run.sb().add_alarm(1, 7, 0, kMonToFri, 1, 0);
  run.flags(5, 10);
  AlarmRun::Look ringing, snoozed;
  int waits_early = -1, waits_late = -1;
  run.at_secs(10, [&] { waits_early = run.sb().platform().event_waits; });
  run.at_secs(290, [&] { waits_late = run.sb().platform().event_waits; });
  run.look(290, &ringing);
  run.look(310, &snoozed);  // five minutes after the ring started at 07:00:01
  run.power_key(320);
  EXPECT_EQ(alarm_main(), ALARM_EXIT_OK);
  EXPECT_TRUE(ringing.ringing);
  EXPECT_EQ(snoozed.state, ALARM_STATE_DELAY);
  EXPECT_LE(waits_late - waits_early, 1);
}

TEST(NoIdleWakeUps, ADarkSnoozeSleepsToItsEndAndThePowerKeyIsAnsweredAtOnce) {
  AlarmRun run("2026-12-09 06:59:50");
  run.sb().add_alarm(1, 7, 0, kMonToFri, 1, 0);
  run.flags(10, 5);
  run.press(20, BUTTON_SLEEP);
  int waits_early = -1, waits_late = -1;
  run.at_secs(25, [&] { waits_early = run.sb().platform().event_waits; });
  run.at_secs(200, [&] { waits_late = run.sb().platform().event_waits; });
  run.power_key(200.2);
  EXPECT_EQ(alarm_main(), ALARM_EXIT_OK);
  EXPECT_LE(waits_late - waits_early, 1);
  // Seen at once: then the one second of the power-off.
  double off = run.seconds_of(run.sb().platform().power_off_at_us);
  EXPECT_GT(off, 200.2);
  EXPECT_LT(off, 200.2 + 1.5);
}
