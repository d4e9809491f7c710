// Alarms on a phone's real timing: an RTC wake-up that must lie well after the power-off,
// several alarms in one minute, a button in the very second another alarm falls due, a
// snooze that outlives the run that took it.
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e_support.h"

// 07:00 and 07:01: stopped at 07:00:45, the next alarm is 15 s away, too near for an RTC
// wake-up after a power-off. The phone waits dark and silent and rings 07:01 in its second.
TEST(PhoneTiming, StopWithTheNextAlarmTooNearWaitsDarkAndRingsIt) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  sb.add_alarm(2, 7, 1, kMonToFri, 1, 0);
  SimResult r = sb.run({"--at", kWednesdayBefore, "--speed", "1", "--until", "150",
                        touch("65", "mid"), touch("95", "mid")});
  EXPECT_TRUE(r.powered_off()) << r.timeline_text();
  std::vector<TimelineEvent> rings = r.events("player-start");
  ASSERT_EQ(rings.size(), 2u) << r.timeline_text();
  EXPECT_LT(rings[0].at, 65.0);
  EXPECT_GE(rings[1].at, 80.0);  // 07:01:00 and the second before every ring
  EXPECT_LT(rings[1].at, 83.0);
  std::vector<TimelineEvent> light = r.events("backlight");
  ASSERT_GE(light.size(), 3u) << r.timeline_text();
  EXPECT_EQ(light[1].details, "0");  // dark at the stop
  EXPECT_GE(light[1].at, 65.0);
  EXPECT_EQ(light[2].details, "25");  // lit again for 07:01
  EXPECT_GE(light[2].at, 80.0);
  // Only the second stop powers off, with Thursday's 07:00 programmed.
  const TimelineEvent* off = r.first("poweroff");
  ASSERT_NE(off, nullptr);
  EXPECT_GE(off->at, 95.0);
  EXPECT_LE(std::llabs(atoll(r.outcome["rtc_alarm_param"].s.c_str()) -
                       (epoch_utc(2026, 12, 10, 7, 0, 0) - 20)),
            1);
  EXPECT_TRUE(r.outcome["rtc_wakes"].b);
  EXPECT_TRUE(contains(r.kmsg, "too near to power off: waiting for it")) << r.kmsg;
}

// The power key during that dark wait powers off as it always does.
TEST(PhoneTiming, ThePowerKeyDuringTheDarkWaitPowersOff) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  sb.add_alarm(2, 7, 1, kMonToFri, 1, 0);
  SimResult r = sb.run({"--at", kWednesdayBefore, "--speed", "1", "--until", "120",
                        touch("65", "mid"), "70:key:power"});
  EXPECT_TRUE(r.powered_off()) << r.timeline_text();
  const TimelineEvent* off = r.first("poweroff");
  ASSERT_NE(off, nullptr);
  EXPECT_GT(off->at, 70.0);
  EXPECT_LT(off->at, 80.0);
  EXPECT_EQ(r.events("player-start").size(), 1u) << r.timeline_text();
}

// Two one-shot alarms of the same minute ring once, and neither is left enabled to ring
// again on a later boot.
TEST(PhoneTiming, TwoOneShotAlarmsOfOneMinuteRingOnceAndAreBothSwitchedOff) {
  E2eSandbox sb;
  sb.add_alarm(3, 7, 0, 0, 1, 0, "once", "");
  sb.add_alarm(4, 7, 0, 0, 1, 0, "once too", "");
  sb.add_alarm(5, 9, 0, kMonToFri, 1, 0);
  SimResult r =
      sb.run({"--at", kWednesdayBefore, "--speed", "1", "--until", "60", touch("35", "mid")});
  EXPECT_TRUE(r.powered_off()) << r.timeline_text();
  EXPECT_EQ(r.events("player-start").size(), 1u) << r.timeline_text();
  EXPECT_EQ(sb.sql("SELECT _id, enabled FROM alarms ORDER BY _id;"), "3|0\n4|0\n5|1\n");
}

// 06:59 rings, is touched left at 06:59:10 and stays silent and lit (07:01 is nearer than
// the snooze period); from 07:00:01 the ring period is over and the loop snoozes twice a
// second. Whichever look first finds 07:01 due, the snooze step's or the loop's own, 07:01
// rings at once: left to a later look in the next second, it would be switched off in the
// database without ever ringing.
TEST(PhoneTiming, AnAlarmFoundDueBySnoozingRingsAtOnce) {
  E2eSandbox sb;
  sb.add_alarm(1, 6, 59, kMonToFri, 1, 0);
  sb.add_alarm(2, 7, 1, 0, 1, 0, "once", "");
  sb.set_flags(1, "/res/sounds/default_ring.mp3", 5);
  SimResult r = sb.run({"--at", "2026-12-09 06:58:58", "--speed", "1", "--until", "140",
                        touch("12", "left"), "135:key:power"});
  EXPECT_TRUE(r.powered_off()) << r.timeline_text();
  EXPECT_EQ(count_between(r, "player-start", 122.0, 124.5 + slow_program_slack(1)), 1)
      << r.timeline_text();
  EXPECT_EQ(sb.sql("SELECT _id, enabled FROM alarms ORDER BY _id;"), "1|1\n2|0\n");
}

// A sqlite3 that never answers the read at start-up holds the program 10 s, then the
// program goes on as with an empty table: nothing to ring, exit status -11.
TEST(PhoneTiming, AHungDatabaseReadIsEndedAfterTenSeconds) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  SimResult r = sb.run(
      {"--at", kWednesdayBefore, "--speed", "1", "--until", "60", "--fault", "sqlite-hang:read"});
  EXPECT_EQ(r.exit_status(), 245) << r.timeline_text();
  const TimelineEvent* exit = r.first("exit");
  ASSERT_NE(exit, nullptr);
  EXPECT_GE(exit->at, 10.0);
  EXPECT_LT(exit->at, 20.0);
  EXPECT_TRUE(contains(r.kmsg, "<3>alarm: sqlite3 gave no end of its rows in 10 s: ended\n"))
      << r.kmsg;
}

namespace {

int64_t rtc_alarm(const SimResult& r) {
  return static_cast<int64_t>(r.outcome["rtc_alarm"].n);
}

// Whether the RTC is set to wake the phone at `wake`. The program adds the seconds it counted
// on the wall clock to the RTC's time, and the RTC ticks apart from that clock (alarm_op is
// kept by the simulator's thread, which runs late on a loaded machine): a second off either
// way is the tick between the two reads.
bool rtc_set_for(const SimResult& r, int64_t wake) {
  return std::llabs(rtc_alarm(r) - wake) <= 1;
}

}  // namespace

// A read that hangs after printing one row in full and half of the next: the program ends it
// after its 10 s and goes on with the whole row alone. 07:00 rings; 07:01, cut in half, is
// not known, so the stop programs the RTC for Thursday's 07:00.
TEST(PhoneTiming, AHungDatabaseReadKeepsTheRowsPrintedInFull) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  sb.add_alarm(2, 7, 1, kMonToFri, 1, 0);
  SimResult r = sb.run({"--at", "2026-12-09 06:59:30", "--speed", "1", "--until", "60", "--fault",
                        "sqlite-hang:read-after:1", "--user", "stop:5"});
  EXPECT_TRUE(contains(r.kmsg, "sqlite3 gave no end of its rows in 10 s: ended\n")) << r.kmsg;
  ASSERT_EQ(r.events("ring").size(), 1u) << r.timeline_text();
  EXPECT_GE(r.events("ring")[0].at, 30.0);  // 07:00:00
  EXPECT_TRUE(rtc_set_for(r, epoch_utc(2026, 12, 10, 7, 0, 0) - 20)) << r.timeline_text();
}

// A one-shot alarm whose switching off never ends still rings in its second, the buttons
// work, and the update is ended before the power-off.
TEST(PhoneTiming, AHungDatabaseUpdateNeverDelaysTheRing) {
  E2eSandbox sb;
  sb.add_alarm(3, 7, 0, 0, 1, 0, "once", "");
  SimResult r = sb.run({"--at", kWednesdayBefore, "--speed", "1", "--until", "60", "--fault",
                        "sqlite-hang:update", "--user", "stop:10"});
  std::vector<TimelineEvent> rings = r.events("ring");
  ASSERT_EQ(rings.size(), 1u) << r.timeline_text();
  EXPECT_LT(rings[0].at, 22.0 + slow_program_slack(1));  // 07:00:00 is at 20 s
  EXPECT_TRUE(r.powered_off()) << r.timeline_text();
  const TimelineEvent* off = r.first("poweroff");
  ASSERT_NE(off, nullptr);
  EXPECT_LT(off->at, rings[0].at + 16.0);  // the stop, a second, at most 2 s for the update
  EXPECT_TRUE(contains(r.kmsg, "<3>alarm: database update gave no end in time: ended")) << r.kmsg;
}

// A snoozed alarm is never lost: whatever powers the phone off, the RTC wakes it for the
// snooze's end, and the next run rings it then, once.

namespace {

constexpr int kEveryDay = 127;
constexpr char kRingFile[] = "/res/sounds/default_ring.mp3";
// Thursday's 07:00, 20 s early: where a run that stops the last snooze leaves the RTC.
const int64_t kThursdayWake = epoch_utc(2026, 12, 10, 7, 0, 0) - 20;

// "YYYY-MM-DD HH:MM:SS" of an epoch second, as --at takes it (UTC).
std::string utc_text(int64_t epoch) {
  time_t t = static_cast<time_t>(epoch);
  struct tm tm = {};
  gmtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

std::vector<double> ring_starts(const SimResult& r) {
  std::vector<double> out;
  for (const Json& at : r.outcome["ring_starts"].a) out.push_back(at.n);
  return out;
}

// The run the RTC wakes the phone for, 20 s before `snooze_end`, with a user who stops
// each ring: the snooze rings once, in its second, and stopping it leaves Thursday's
// alarm (or `next_wake`) to the RTC.
SimResult wake_rings_snooze_once(const E2eSandbox& sb, const SimResult& before, int64_t snooze_end,
                                 int64_t next_wake = kThursdayWake) {
  EXPECT_TRUE(before.powered_off()) << before.timeline_text();
  EXPECT_TRUE(rtc_set_for(before, snooze_end - 20))
      << rtc_alarm(before) << " for " << snooze_end - 20 << "\n"
      << before.timeline_text();
  EXPECT_TRUE(before.outcome["rtc_wakes"].b);
  SimResult r = sb.run(
      {"--at", utc_text(rtc_alarm(before)), "--speed", "1", "--until", "60", "--user", "stop:10"});
  std::vector<double> rings = ring_starts(r);
  EXPECT_EQ(rings.size(), 1u) << r.timeline_text();
  if (!rings.empty()) {
    EXPECT_GE(rings[0], static_cast<double>(snooze_end));
    EXPECT_LT(rings[0], snooze_end + 3.0 + slow_program_slack(1)) << r.timeline_text();
  }
  EXPECT_TRUE(r.powered_off()) << r.timeline_text();
  EXPECT_TRUE(rtc_set_for(r, next_wake)) << rtc_alarm(r) << " for " << next_wake << "\n"
                                         << r.timeline_text();
  EXPECT_TRUE(r.outcome["rtc_wakes"].b);
  return r;
}

}  // namespace

// The power key during the snooze's dark wait powers off with the RTC for the snooze's end,
// not for Thursday.
TEST(SnoozeKept, ThePowerKeyDuringASnoozeWakesThePhoneForItsEnd) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kEveryDay, 1, 0);
  sb.set_flags(30, kRingFile, 5);
  SimResult r = sb.run({"--at", kBeforeSeven, "--speed", "1", "--until", "120", touch("21", "left"),
                        "70:key:power"});
  ASSERT_EQ(r.outcome["snooze_notes"].a.size(), 1u) << r.timeline_text();
  int64_t end = static_cast<int64_t>(r.outcome["snooze_notes"].a[0]["snooze_end"].n);
  EXPECT_LE(std::llabs(end - epoch_utc(2026, 12, 9, 7, 5, 11)), 1);
  EXPECT_EQ(ring_starts(r).size(), 1u) << r.timeline_text();
  wake_rings_snooze_once(sb, r, end);
}

// The power key with the snooze's end less than 32 s away: the RTC could not be trusted
// with it, so the phone waits dark and rings it in its second, in the same run.
TEST(SnoozeKept, ThePowerKeyNearTheSnoozesEndRingsItInTheSameRun) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kEveryDay, 1, 0);
  sb.set_flags(30, kRingFile, 1);
  SimResult r = sb.run({"--at", kBeforeSeven, "--speed", "1", "--until", "110", touch("21", "left"),
                        "55:key:power", touch("95", "mid")});
  ASSERT_EQ(r.outcome["snooze_notes"].a.size(), 1u) << r.timeline_text();
  int64_t end = static_cast<int64_t>(r.outcome["snooze_notes"].a[0]["snooze_end"].n);
  std::vector<double> rings = ring_starts(r);
  ASSERT_EQ(rings.size(), 2u) << r.timeline_text();
  EXPECT_GE(rings[1], static_cast<double>(end));
  EXPECT_LT(rings[1], end + 3.0 + slow_program_slack(1)) << r.timeline_text();
  EXPECT_TRUE(r.powered_off()) << r.timeline_text();
  EXPECT_TRUE(rtc_set_for(r, kThursdayWake)) << rtc_alarm(r);
}

// 07:00 snoozed stays silent and lit (07:01 is within the snooze); 07:01 rings and is
// stopped. The RTC wakes the phone for 07:00's snooze, not for Thursday.
TEST(SnoozeKept, StoppingAnotherAlarmKeepsTheSnooze) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kEveryDay, 1, 0);
  sb.add_alarm(2, 7, 1, kEveryDay, 1, 0);
  sb.set_flags(30, kRingFile, 5);
  SimResult r = sb.run(
      {"--at", kBeforeSeven, "--speed", "1", "--until", "120", "--user", "snooze-then-stop:10"});
  ASSERT_EQ(r.outcome["snooze_notes"].a.size(), 1u) << r.timeline_text();
  EXPECT_EQ(r.outcome["snooze_notes"].a[0]["alarm_id"].n, 1);
  int64_t end = static_cast<int64_t>(r.outcome["snooze_notes"].a[0]["snooze_end"].n);
  EXPECT_EQ(ring_starts(r).size(), 2u) << r.timeline_text();  // 07:00 and 07:01, once each
  wake_rings_snooze_once(sb, r, end);
}

// 07:00 and then 07:01 snoozed, the power key before either ends: the note holds both, the
// last taken first. Each rings after its own RTC wake, once.
TEST(SnoozeKept, TwoSnoozesAtOnceBothRing) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kEveryDay, 1, 0);
  sb.add_alarm(2, 7, 1, kEveryDay, 1, 0);
  sb.set_flags(30, kRingFile, 5);
  SimResult r = sb.run({"--at", kBeforeSeven, "--speed", "1", "--until", "120", touch("21", "left"),
                        touch("81", "left"), "90:key:power"});
  const Json& notes = r.outcome["snooze_notes"];
  ASSERT_EQ(notes.a.size(), 2u) << r.timeline_text();
  int64_t first_end = static_cast<int64_t>(notes.a[0]["snooze_end"].n);
  int64_t second_end = static_cast<int64_t>(notes.a[1]["snooze_end"].n);
  EXPECT_EQ(notes.a[1]["alarm_id"].n, 2);
  std::string note = sb.read("/data/data/com.android.deskclock/files/alarm_delay.tmp");
  EXPECT_EQ(note.substr(0, note.find('\0')),
            "2\n" + std::to_string(second_end) + "000\n1\n" + std::to_string(first_end) + "000\n");
  EXPECT_EQ(ring_starts(r).size(), 2u) << r.timeline_text();
  // 07:00's snooze first; stopping it leaves the RTC to 07:01's, which rings next.
  SimResult woke = wake_rings_snooze_once(sb, r, first_end, second_end - 20);
  wake_rings_snooze_once(sb, woke, second_end);
}

// Where the clock application's directory takes no new file (Android 8.x and 9 forbid one to
// the program's domain; here a file stands where the directory was, which root cannot get
// past either), the snooze still happens, the refusal is logged with its path, the note is
// kept in the program's own directory, and the snooze rings at its end after the power-off.
TEST(SnoozeKept, AClockDirectoryThatTakesNoFileStillKeepsTheSnooze) {
  E2eSandbox sb;
  sb.add_alarm(1, 7, 0, kEveryDay, 1, 0);
  sb.set_flags(30, kRingFile, 5);
  const char kClockFiles[] = "/data/data/com.android.deskclock/files";
  ASSERT_EQ(rmdir(sb.path(kClockFiles).c_str()), 0);
  sb.write(kClockFiles, "");
  mkdir(sb.path("/data/misc").c_str(), 0755);
  ASSERT_EQ(mkdir(sb.path("/data/misc/poweroff_alarm").c_str(), 0700), 0);

  SimResult r = sb.run({"--at", kBeforeSeven, "--speed", "1", "--until", "120", touch("21", "left"),
                        "40:key:power"});
  EXPECT_TRUE(contains(r.kmsg, "<3>alarm: open delay time failed!\n")) << r.kmsg;
  EXPECT_TRUE(contains(r.kmsg, "<3>alarm: delay file " + std::string(kClockFiles) +
                                   "/alarm_delay.tmp: Not a directory\n"))
      << r.kmsg;
  std::vector<TimelineEvent> light = r.events("backlight");
  ASSERT_GE(light.size(), 2u) << r.timeline_text();
  EXPECT_EQ(light[1].details, "0");  // snoozed
  EXPECT_EQ(ring_starts(r).size(), 1u) << r.timeline_text();
  std::string note = sb.read("/data/misc/poweroff_alarm/alarm_delay.tmp");
  ASSERT_EQ(note.size(), 512u);
  ASSERT_EQ(note.substr(0, 2), "1\n");
  int64_t end = atoll(note.c_str() + 2) / 1000;
  EXPECT_GT(end, epoch_utc(2026, 12, 9, 7, 0, 0) + 5 * 60 - 1);
  wake_rings_snooze_once(sb, r, end);
  EXPECT_EQ(sb.read(kClockFiles), "");
}
