// A phone with broken parts: the real program in a sandbox where a tool, a device, a
// service or a system call is missing or fails. Each scenario states what must still
// happen, judged by what a person or a peer program could observe.
#include <ftw.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/screenshot.h"
#include "tests/e2e_support.h"

namespace {

constexpr double kDue = 10.0;
constexpr char kDatabase[] = "/data/data/com.android.deskclock/databases/alarms.db";
constexpr char kSnoozeDir[] = "/data/data/com.android.deskclock/files";
constexpr char kSnoozeNote[] = "/data/data/com.android.deskclock/files/alarm_delay.tmp";
constexpr char kVibrator[] = "/sys/class/timed_output/vibrator/enable";
constexpr char kBacklight[] = "/sys/class/leds/lcd-backlight/brightness";
constexpr char kRtcParam[] = "/sys/class/rtc/rtc0/alarm_param";

// The RTC wake-up for Thursday's 07:00 alarm; its base time is read at whole virtual
// seconds, so one second either way is the same wake-up.
bool rtc_set_for_thursday(const SimResult& r) {
  if (r.outcome["rtc_alarm_param"].is_null()) return false;
  long long rtc = atoll(r.outcome["rtc_alarm_param"].s.c_str());
  return std::llabs(rtc - (epoch_utc(2026, 12, 10, 7, 0, 0) - 20)) <= 1;
}

// Runs the program through alarm-sim; the run itself must work, and the program must
// leave no sanitizer report (a power-off ends it before a report at exit could fail it).
int count(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// An error line of the kernel log that mentions `part`.
bool error_logged(const std::string& kmsg, const std::string& part) {
  size_t start = 0;
  while (start < kmsg.size()) {
    size_t end = kmsg.find('\n', start);
    if (end == std::string::npos) end = kmsg.size();
    std::string line = kmsg.substr(start, end - start);
    if (line.compare(0, 10, "<3>alarm: ") == 0 && contains(line, part)) return true;
    start = end + 1;
  }
  return false;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

bool remove_tree(const std::string& path) {
  return nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS) == 0;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The ring started for the alarm that fell due (a slow start may see it due a little late).
bool rang(const SimResult& r) {
  const TimelineEvent* start = r.first("player-start");
  return start != nullptr && start->at > kDue;
}

// A sandbox with the one weekday alarm at 07:00; it vibrates.
struct SevenOClock {
  E2eSandbox sb;
  SevenOClock() { sb.add_alarm(1, 7, 0, kMonToFri, 1, 1, "Work", ""); }
};

}  // namespace

// Without the database tool no alarm can be known: the initialisation fails (status -11)
// and nothing rings, powers off or changes.
TEST(FaultScenario, SqliteMissingFailsTheInitialisationAndTouchesNothing) {
  SevenOClock w;
  ASSERT_EQ(unlink(w.sb.path("/system/xbin/sqlite3").c_str()), 0);
  SimResult r = w.sb.run({"--at", kBeforeSeven, "--speed", "1", "--until", "30"});
  EXPECT_EQ(r.exit_status(), 245) << r.timeline_text();
  EXPECT_TRUE(contains(r.kmsg, "<3>alarm: alarm init failed\n")) << r.kmsg;
  EXPECT_EQ(r.player_runs(), 0);
  EXPECT_FALSE(r.powered_off());
  EXPECT_TRUE(r.outcome["rtc_alarm_param"].is_null());
  EXPECT_TRUE(r.outcome["properties_set"].a.empty());
  EXPECT_EQ(w.sb.sql("SELECT _id, enabled FROM alarms;"), "1|1\n");
}

// A file in the database's place that is no SQLite database (random bytes, or a damaged
// one with a valid header): the tool reports an error, no alarm is read, and the file is
// left exactly as it was.
TEST(FaultScenario, DatabaseThatIsNotADatabaseFailsTheInitialisationAndIsLeftAlone) {
  std::string random_bytes;
  unsigned seed = 7;
  for (int i = 0; i < 8192; ++i) {
    seed = seed * 1103515245u + 12345u;
    random_bytes += static_cast<char>(seed >> 16);
  }
  std::string damaged = std::string("SQLite format 3\0", 16) + random_bytes;
  for (const std::string& content : {random_bytes, damaged}) {
    SevenOClock w;
    w.sb.write(kDatabase, content);
    SimResult r = w.sb.run({"--at", kBeforeSeven, "--speed", "1", "--until", "30"});
    EXPECT_EQ(r.exit_status(), 245) << r.timeline_text();
    EXPECT_TRUE(contains(r.kmsg, "<3>alarm: alarm init failed\n")) << r.kmsg;
    EXPECT_EQ(r.player_runs(), 0);
    EXPECT_FALSE(r.powered_off());
    EXPECT_TRUE(w.sb.read(kDatabase) == content) << "the database file was changed";
  }
}

// No framebuffer: nothing can be shown, but the alarm still rings and vibrates, and the
// power key still powers the phone off with the RTC set for the next alarm.
TEST(FaultScenario, NoFramebufferStillRingsVibratesAndPowersOff) {
  SevenOClock w;
  ASSERT_EQ(unlink(w.sb.path("/dev/graphics/fb0").c_str()), 0);
  SimResult r = w.sb.run({"--at", kBeforeSeven, "--speed", "1", "--until", "40", "17:key:power"});
  EXPECT_TRUE(contains(w.sb.read("/sim/stderr.txt"), "cannot open fb0: ")) << r.stdout_text;
  EXPECT_TRUE(rang(r)) << r.timeline_text();
  EXPECT_GE(count_between(r, "vibrate", kDue, 17.0), 1) << r.timeline_text();
  EXPECT_EQ(r.exit_status(), 0);
  EXPECT_TRUE(r.powered_off());
  EXPECT_TRUE(rtc_set_for_thursday(r)) << r.outcome["rtc_alarm_param"].s;
}

// No console: the graphics mode cannot be set, and nothing else changes: the alarm screen
// is shown and the middle button stops the alarm. The console is not made by the program.
TEST(FaultScenario, NoConsoleStillShowsTheAlarmScreenAndStops) {
  SevenOClock w;
  ASSERT_EQ(unlink(w.sb.path("/dev/tty0").c_str()), 0);
  std::string shot = w.sb.path("/sim/ringing.png");
  SimResult r = w.sb.run({"--at", kBeforeSeven, "--speed", "1", "--until", "40", "15:shot:" + shot,
                          touch("17", "mid")});
  EXPECT_TRUE(contains(w.sb.read("/sim/stderr.txt"), "can't open /dev/tty0: "));
  EXPECT_TRUE(rang(r)) << r.timeline_text();
  EXPECT_GT(lit_share(shot), 0.01);
  const TimelineEvent* off = r.first("poweroff");
  ASSERT_NE(off, nullptr) << r.timeline_text();
  EXPECT_GT(off->at, 17.0);
  EXPECT_TRUE(rtc_set_for_thursday(r));
  EXPECT_FALSE(exists(w.sb.path("/dev/tty0")));
}

// No input device at all: no touch or key can reach the program, yet the ring period
// running out still snoozes the alarm, and it rings again after the snooze.
TEST(FaultScenario, NoInputDeviceTheRingPeriodStillSnoozesAndRingsAgain) {
  SevenOClock w;
  w.sb.set_flags(1, "/res/sounds/default_ring.mp3", 1);
  ASSERT_TRUE(remove_tree(w.sb.path("/dev/input")));
  SimResult r = w.sb.run(
      {"--at", "2026-12-09 07:00:00", "--speed", "1", "--until", "160", touch("30", "left")});
  EXPECT_TRUE(r.outcome["stopped_at_until"].b) << r.timeline_text();
  const TimelineEvent* first = r.first("player-start");
  ASSERT_NE(first, nullptr) << r.timeline_text();
  std::vector<TimelineEvent> light = r.events("backlight");
  ASSERT_GE(light.size(), 3u) << r.timeline_text();
  EXPECT_EQ(light[0].details, "25");
  // The tap at 30 s goes nowhere: the ring period of one minute ends the ringing. (The
  // player records its start a few virtual seconds late where it starts slowly, as under an
  // emulator.)
  EXPECT_EQ(light[1].details, "0");
  EXPECT_GT(light[1].at, first->at + 55.0);
  EXPECT_LT(light[1].at, first->at + 63.0);
  EXPECT_EQ(light[2].details, "25");
  EXPECT_GT(light[2].at, light[1].at + 59.0);
  EXPECT_EQ(count_between(r, "player-start", light[2].at - 0.5, light[2].at + 3.0), 1);
  EXPECT_EQ(w.sb.read(kSnoozeNote).substr(0, 2), "1\n");
}

// The property service is not there: "power on" cannot ask for Android's start-up, but the
// program still ends as power on ends it (snooze note written, screen lit, status 0),
// without powering off.
TEST(FaultScenario, PropertyServiceAbsentPowerOnStillEndsTheProgram) {
  SevenOClock w;
  std::string props = w.sb.read("/default.prop");
  SimResult r = w.sb.run({"--at", kBeforeSeven, "--speed", "1", "--until", "40",
                          "--no-property-service", touch("16", "right")});
  EXPECT_TRUE(rang(r)) << r.timeline_text();
  // Ended by itself (a status, not stopped at --until): it did not wait for the service.
  EXPECT_EQ(r.exit_status(), 0) << r.timeline_text();
  EXPECT_FALSE(r.powered_off());
  EXPECT_TRUE(r.outcome["properties_set"].a.empty());
  EXPECT_EQ(w.sb.read("/default.prop"), props);
  EXPECT_EQ(w.sb.read(kSnoozeNote).substr(0, 2), "1\n");
  std::vector<TimelineEvent> light = r.events("backlight");
  ASSERT_FALSE(light.empty());
  EXPECT_EQ(light.back().details, "25");
  EXPECT_TRUE(contains(r.kmsg, "<3>alarm:  alarm final exit\n"));
}

// The clock application's files directory is missing: the snooze note cannot be written,
// the snooze happens all the same, and the program does not make the directory.
TEST(FaultScenario, SnoozeDirectoryMissingTheSnoozeStillHappens) {
  SevenOClock w;
  w.sb.set_flags(5, "/res/sounds/default_ring.mp3", 1);
  ASSERT_TRUE(remove_tree(w.sb.path(kSnoozeDir)));
  SimResult r = w.sb.run({"--at", kBeforeSeven, "--speed", "1", "--until", "100",
                          touch("15", "left"), "80:key:power"});
  EXPECT_TRUE(contains(r.kmsg, "<3>alarm: open delay time failed!\n")) << r.kmsg;
  std::vector<TimelineEvent> light = r.events("backlight");
  ASSERT_GE(light.size(), 3u) << r.timeline_text();
  EXPECT_EQ(light[1].details, "0");
  EXPECT_GE(light[1].at, 15.0);
  EXPECT_LT(light[1].at, 17.0);
  EXPECT_EQ(light[2].details, "25");
  EXPECT_GT(light[2].at, light[1].at + 59.0);
  EXPECT_EQ(count_between(r, "player-start", light[2].at - 0.5, 80.0), 1) << r.timeline_text();
  EXPECT_TRUE(r.powered_off());
  EXPECT_FALSE(exists(w.sb.path(kSnoozeDir)));
}

// A configured ring file that is not there: logged, and the alarm rings the default ring.
TEST(FaultScenario, AMissingRingFileRingsTheDefaultRing) {
  SevenOClock w;
  w.sb.set_flags(5, "/data/media/gone.mp3", 5);
  SimResult r = w.sb.run({"--at", kBeforeSeven, "--speed", "1", "--until", "60", "30:key:power"});
  EXPECT_TRUE(
      contains(r.kmsg, "<3>alarm: ring file /data/media/gone.mp3: No such file or directory\n"))
      << r.kmsg;
  ASSERT_TRUE(rang(r)) << r.timeline_text();
  EXPECT_TRUE(contains(r.first("player-start")->details, "/res/sounds/default_ring.mp3"))
      << r.timeline_text();
  EXPECT_FALSE(contains(r.timeline_text(), "gone.mp3"));
}

// Writes that fail: /dev/full in the place of the vibrator, the backlight and the RTC's
// alarm_param. Each failure is logged and nothing else changes: the alarm rings, snoozes,
// rings again and stops, and the phone powers off after the flush. The links stay.
TEST(FaultScenario, ControlFilesThatCannotBeWrittenStopNothing) {
  SevenOClock w;
  w.sb.set_flags(5, "/res/sounds/default_ring.mp3", 1);
  for (const char* control : {kVibrator, kBacklight, kRtcParam}) {
    unlink(w.sb.path(control).c_str());
    ASSERT_EQ(symlink("/dev/full", w.sb.path(control).c_str()), 0) << control;
  }
  // The user acts from each ring start, so a program slow to start still gets its taps.
  SimResult r = w.sb.run(
      {"--at", kBeforeSeven, "--speed", "1", "--until", "100", "--user", "snooze-then-stop:5"});
  EXPECT_GE(count(r.kmsg, "<3>alarm: write vib failed\n"), 2) << r.kmsg;
  EXPECT_GE(count(r.kmsg, "<3>alarm: write brightness failed\n"), 3);
  EXPECT_TRUE(error_logged(r.kmsg, "alarm_param")) << "the failed RTC write is not logged";
  std::vector<TimelineEvent> rings = r.events("player-start");
  ASSERT_EQ(rings.size(), 2u) << r.timeline_text();
  EXPECT_GT(rings[1].at, rings[0].at + 5.0 + 59.0) << "the snooze did not last its minute";
  EXPECT_TRUE(r.powered_off());
  const TimelineEvent* off = r.first("poweroff");
  ASSERT_NE(off, nullptr);
  EXPECT_EQ(off->details, "after sync");
  EXPECT_GT(off->at, rings[1].at + 5.0);
  for (const char* control : {kVibrator, kBacklight, kRtcParam}) {
    char target[64] = {};
    EXPECT_GT(readlink(w.sb.path(control).c_str(), target, sizeof target - 1), 0) << control;
    EXPECT_STREQ(target, "/dev/full") << control;
  }
}

// The RTC's alarm_op gives no time (empty, or text without a number): no wake-up time can
// be computed, so none is written (a bare delay would set the RTC to 1970); the failure is
// logged and the phone still powers off when the alarm is stopped.
TEST(FaultScenario, AlarmOpWithoutATimeWritesNoWakeUpButStillPowersOff) {
  for (const char* op : {"", "garbage 1796799600\n"}) {
    SevenOClock w;
    SimResult r = w.sb.run({"--at", kBeforeSeven, "--speed", "1", "--until", "40", "--rtc-op", op,
                            touch("16", "mid")});
    EXPECT_TRUE(rang(r)) << r.timeline_text();
    EXPECT_TRUE(r.powered_off()) << "alarm_op \"" << op << "\"";
    EXPECT_EQ(r.exit_status(), 0);
    EXPECT_TRUE(r.outcome["rtc_alarm_param"].is_null())
        << "alarm_op \"" << op << "\": " << r.outcome["rtc_alarm_param"].s;
    EXPECT_TRUE(r.events("rtc").empty());
    EXPECT_TRUE(error_logged(r.kmsg, "alarm_op")) << r.kmsg;
  }
}

// Something is already where the kernel-message node is made: the log stays closed for the
// whole run (not one message reaches the kernel log), the thing is left as it was, and
// the alarm works all the same.
TEST(FaultScenario, KernelMessageNodeAlreadyThereLeavesItAndLogsNothing) {
  SevenOClock w;
  w.sb.write("/dev/__kmsg__", "left by someone else\n");
  SimResult r = w.sb.run({"--at", kBeforeSeven, "--speed", "1", "--until", "40", "17:key:power"});
  EXPECT_EQ(r.kmsg, "");
  EXPECT_EQ(w.sb.read("/dev/__kmsg__"), "left by someone else\n");
  EXPECT_TRUE(rang(r)) << r.timeline_text();
  EXPECT_TRUE(r.powered_off());
  EXPECT_TRUE(rtc_set_for_thursday(r));
}

// The refresh or the input thread cannot be created: the program gives up with status -1
// (255) before anything rings, lights or powers off, and says which thread failed.
TEST(FaultScenario, ScreenOrInputThreadThatCannotBeCreatedEndsWithStatus255) {
  struct Case {
    const char* fault;
    const char* message;
  } cases[] = {{"thread-fail:1", "<3>alarm: refreshen_screen thread creat fail\n"},
               {"thread-fail:2", "<3>alarm: get_input_event thread creat fail\n"}};
  for (const Case& c : cases) {
    SevenOClock w;
    SimResult r =
        w.sb.run({"--at", kBeforeSeven, "--speed", "1", "--until", "30", "--fault", c.fault});
    EXPECT_EQ(r.exit_status(), 255) << c.fault << "\n" << r.timeline_text();
    EXPECT_TRUE(contains(r.kmsg, c.message)) << c.fault << "\n" << r.kmsg;
    const TimelineEvent* exit = r.first("exit");
    ASSERT_NE(exit, nullptr);
    EXPECT_GE(exit->at, kDue - 1.0) << "gave up before the alarm was due";
    EXPECT_EQ(r.player_runs(), 0);
    EXPECT_TRUE(r.events("backlight").empty());
    EXPECT_TRUE(r.events("vibrate").empty());
    EXPECT_FALSE(r.powered_off());
  }
}

// The vibrator thread cannot be created: the alarm rings without vibrating, and the rest
// of the alarm goes on.
TEST(FaultScenario, VibratorThreadThatCannotBeCreatedRingsWithoutVibration) {
  SevenOClock w;
  SimResult r = w.sb.run({"--at", kBeforeSeven, "--speed", "1", "--until", "40", "--fault",
                          "thread-fail:3", touch("18", "mid")});
  EXPECT_TRUE(rang(r)) << r.timeline_text();
  EXPECT_TRUE(r.events("vibrate").empty()) << r.timeline_text();
  EXPECT_TRUE(r.powered_off());
  EXPECT_TRUE(rtc_set_for_thursday(r));
}

// A power-off that returns (a broken phone): after the middle button the program logs it
// and ends with status 0 at once; after the power key it logs it, finishes its exit and
// ends with status 0.
TEST(FaultScenario, PowerOffThatReturnsIsLoggedAndTheProgramEnds) {
  {
    SevenOClock w;
    SimResult r = w.sb.run({"--at", kBeforeSeven, "--speed", "1", "--until", "40",
                            "--poweroff-returns", touch("16", "mid")});
    EXPECT_EQ(r.exit_status(), 0) << r.timeline_text();
    EXPECT_TRUE(contains(r.kmsg, "<3>alarm: shutdown system\n")) << r.kmsg;
    EXPECT_FALSE(contains(r.kmsg, "alarm final exit"));
    EXPECT_TRUE(rtc_set_for_thursday(r));
  }
  {
    SevenOClock w;
    SimResult r = w.sb.run({"--at", kBeforeSeven, "--speed", "1", "--until", "40", "--fault",
                            "poweroff-returns", "16:key:power"});
    EXPECT_EQ(r.exit_status(), 0) << r.timeline_text();
    size_t shutdown = r.kmsg.find("<3>alarm: shutdown system\n");
    size_t final_exit = r.kmsg.find("<3>alarm:  alarm final exit\n");
    ASSERT_NE(shutdown, std::string::npos) << r.kmsg;
    ASSERT_NE(final_exit, std::string::npos) << r.kmsg;
    EXPECT_LT(shutdown, final_exit);
    EXPECT_TRUE(rtc_set_for_thursday(r));
  }
}
