#include "alarm/alarm_schedule.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "alarm/alarm_db.h"
#include "alarm/alarm_delay.h"
#include "alarm/alarm_rtc.h"
#include "sim/sandbox_builder.h"
#include "sim/test_sandbox.h"

namespace {

// Weekday bits of day_mask.
constexpr int kMon = 1, kWed = 4, kThu = 8, kSun = 64;
constexpr int kMonToFri = 31;

void move_to(TestSandbox& sb, const char* at, const char* tz = "UTC") {
  sb.clock().advance_to(local_epoch_us(at, tz));
}
void move_by(TestSandbox& sb, int secs) {
  sb.clock().advance_by(int64_t{secs} * 1000000);
}

// Reads the sandbox's database and lays it onto the week, as alarm_init does.
AlarmSecItem* build_schedule() {
  read_alarm_db();
  return creat_alarm_sec_list();
}

std::vector<AlarmSecItem*> items() {
  std::vector<AlarmSecItem*> out;
  for (AlarmSecItem* i = g_alarm_sec_list; i != nullptr; i = i->next) out.push_back(i);
  return out;
}

// Puts a recorder in front of the sandbox's sqlite3: every run of the program's tool adds
// its arguments as one line to /sqlite_calls.
void record_sqlite_runs(const TestSandbox& sb) {
  std::string tool = sb.path("/system/xbin/sqlite3");
  unlink(tool.c_str());
  std::string script = "#!/bin/sh\nprintf '%s\\n' \"$*\" >> " + sb.path("/sqlite_calls") +
                       "\nexec " + find_in_path("sqlite3") + " \"$@\"\n";
  write_file(tool, script);
  chmod(tool.c_str(), 0755);
}
int database_updates(const TestSandbox& sb) {
  std::string calls = sb.read("/sqlite_calls");
  int n = 0;
  for (size_t p = calls.find(" update alarms"); p != std::string::npos;
       p = calls.find(" update alarms", p + 1)) {
    ++n;
  }
  return n;
}

}  // namespace

// get_week_secs and check_alarm_day.

TEST(WeekSeconds, FirstAndLastSecondOfTheWeek) {
  TestSandbox sb("2026-12-07 00:00:00");  // Monday
  EXPECT_EQ(get_week_secs(1), 0);
  EXPECT_EQ(get_week_secs(2), 604800);
  move_to(sb, "2026-12-13 23:59:59");  // Sunday
  EXPECT_EQ(get_week_secs(1), 604799);
  EXPECT_EQ(get_week_secs(2), 1);
  EXPECT_EQ(get_week_secs(0), -1);
  EXPECT_EQ(get_week_secs(3), -1);
}

TEST(WeekSeconds, CountInLocalTime) {
  {
    TestSandbox sb("2026-12-07 00:00:00", "Europe/Berlin");  // Sunday 23:00 UTC
    EXPECT_EQ(get_week_secs(1), 0);
  }
  TestSandbox summer("2027-07-05 07:00:00", "Europe/Berlin");  // Monday, summer time
  EXPECT_EQ(get_week_secs(1), 25200);
}

TEST(OneShotDay, PastButSinceThePhoneWokeIsToday) {
  {
    TestSandbox sb("2026-12-09 06:30:50");  // Wednesday, after a 70-second boot
    sb.booted_seconds_ago(70);
    EXPECT_EQ(check_alarm_day(6 * 3600 + 30 * 60), 2);
  }
  TestSandbox sb("2026-12-09 06:30:30");  // woke at 06:30:10: 06:30 was the last run's
  sb.booted_seconds_ago(20);
  EXPECT_EQ(check_alarm_day(6 * 3600 + 30 * 60), 3);
  EXPECT_EQ(check_alarm_day(6 * 3600 + 31 * 60), 2);  // still ahead
}

TEST(OneShotDay, WithoutABootClockSixtySecondsPastIsToday) {
  TestSandbox sb("2026-12-09 06:31:00");
  sb.platform().boot_clock = false;
  EXPECT_EQ(check_alarm_day(6 * 3600 + 30 * 60), 2);
  EXPECT_EQ(check_alarm_day(6 * 3600 + 29 * 60), 3);
}

TEST(OneShotDay, JustAfterMidnightYesterdaysInstantIsDue) {
  TestSandbox sb("2026-12-14 00:00:30");  // Monday; woke on Sunday at 23:58:50
  sb.booted_seconds_ago(100);
  sb.add_alarm(7, 23, 59, 0, 1, 0, "late", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(g_alarm_sec_list->day, -1);
  EXPECT_EQ(g_alarm_sec_list->secs, 6 * 86400 + 23 * 3600 + 59 * 60);
  EXPECT_EQ(get_alarm_expire(nullptr), 0);
}

TEST(OneShotDay, PastOnASundayFallsOnMonday) {
  TestSandbox sb("2026-12-13 06:30:41");  // Sunday
  EXPECT_EQ(check_alarm_day(6 * 3600 + 30 * 60), 0);
  EXPECT_EQ(check_alarm_day(23 * 3600), 6);
}

// creat_alarm_sec_list.

TEST(AlarmSecList, MondayToFridayGivesFiveItemsInDayOrder) {
  TestSandbox sb;
  sb.open_kernel_log();
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 1, "work", "tone");
  ASSERT_EQ(build_schedule(), g_alarm_sec_list);
  auto it = items();
  ASSERT_EQ(it.size(), 5u);
  const int32_t secs[] = {25200, 111600, 198000, 284400, 370800};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(it[i]->secs, secs[i]);
    EXPECT_EQ(it[i]->day, i);
    EXPECT_EQ(it[i]->id, 1);
    EXPECT_EQ(it[i]->vib, 1);
    EXPECT_EQ(it[i]->ala, g_alarm_list->alert);
  }
  EXPECT_NE(sb.kmsg().find("<3>alarm: secs = 25200\n<3>alarm: id = 1\n<3>alarm: day = 0\n"
                           "<3>alarm: vib = 1\n<3>alarm: ala = tone\n\n"),
            std::string::npos);
}

TEST(AlarmSecList, OnlyTheSevenWeekdayBitsCount) {
  TestSandbox sb;
  sb.add_alarm(1, 7, 0, 0x80, 1, 1, "none", "tone");
  EXPECT_EQ(build_schedule(), nullptr);
  sb.add_alarm(2, 7, 0, 0x80 | kSun, 1, 1, "sunday", "tone");
  free_alarm_list();
  auto head = build_schedule();
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(items().size(), 1u);
  EXPECT_EQ(head->day, 6);
}

TEST(AlarmSecList, AOneShotAlarmIsLaidOntoItsDay) {
  TestSandbox sb("2026-12-09 06:30:30");
  sb.booted_seconds_ago(40);
  sb.open_kernel_log();
  sb.add_alarm(7, 6, 30, 0, 1, 0, "once", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(g_alarm_sec_list->day, -1);
  EXPECT_EQ(g_alarm_sec_list->secs, 2 * 86400 + 23400);
  EXPECT_NE(sb.kmsg().find("<3>alarm: creat_alarm_sec_list check_alarm_day 2\n"),
            std::string::npos);
}

TEST(AlarmSecList, NoRecordsAtAllIsLogged) {
  TestSandbox sb;
  sb.open_kernel_log();
  EXPECT_EQ(build_schedule(), nullptr);
  EXPECT_EQ(sb.kmsg(), "<3>alarm: creat_alarm_sec_list line: 772\n");
}

TEST(AlarmSecList, SwitchedOffAlarmsGiveNoItemsAndNoSnoozeRead) {
  TestSandbox sb;
  sb.open_kernel_log();
  sb.add_alarm(1, 7, 0, kMonToFri, 0, 1, "off", "tone");
  sb.write(ALARM_DELAY_PATH, "1\n1000000000000\n");
  EXPECT_EQ(build_schedule(), nullptr);
  EXPECT_EQ(sb.kmsg(), "");
}

TEST(AlarmSecList, TheSnoozeItemComesLast) {
  TestSandbox sb("2026-12-09 06:59:40");
  sb.add_alarm(1, 7, 0, kMon, 1, 0, "a", "tone");
  sb.add_alarm(2, 8, 0, kWed, 1, 1, "b", "tone2");
  int64_t end = local_epoch_us("2026-12-09 07:10:00", "UTC") / 1000000;
  sb.write(ALARM_DELAY_PATH, "2\n" + std::to_string(end) + "000\n");
  ASSERT_NE(build_schedule(), nullptr);
  auto it = items();
  ASSERT_EQ(it.size(), 3u);
  EXPECT_EQ(it[2]->id, 2);
  EXPECT_EQ(it[2]->secs, 2 * 86400 + 7 * 3600 + 600);
  EXPECT_EQ(it[2]->day, 2);
  EXPECT_EQ(it[2]->vib, 1);
}

TEST(AlarmSecList, ARecordWithoutAValidTimeOfDayIsSkipped) {
  TestSandbox sb;
  sb.open_kernel_log();
  sb.add_alarm(1, 25, 0, kMonToFri, 1, 0, "bad", "tone");
  sb.add_alarm(2, 7, 61, 0, 1, 0, "bad", "tone");
  sb.add_alarm(3, 7, 0, kMon, 1, 0, "good", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(items().size(), 1u);
  EXPECT_NE(sb.kmsg().find("<3>alarm: alarm 1 has no time of day: 25:0\n"), std::string::npos);
}

// get_alarm_expire: the week's examples, due seconds, late calls and the next occurrence.

TEST(AlarmExpire, CountsDownToTheItemAndIsDueInItsSecond) {
  TestSandbox sb("2026-12-09 06:59:30");  // Wednesday
  sb.add_alarm(1, 7, 0, kWed, 1, 0, "a", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  AlarmSecItem* chosen = g_alarm_sec_list;
  for (int expected = 30; expected >= 1; --expected) {
    EXPECT_EQ(get_alarm_expire(&chosen), expected);
    EXPECT_EQ(chosen, nullptr);
    EXPECT_EQ(g_cur_alarm, g_alarm_sec_list);
    move_by(sb, 1);
  }
  EXPECT_EQ(get_alarm_expire(&chosen), 0);
  EXPECT_EQ(chosen, g_alarm_sec_list);
  EXPECT_EQ(get_alarm_expire(&chosen), 0);  // every call in its second
  move_by(sb, 1);
  EXPECT_EQ(get_alarm_expire(&chosen), 604799);
  EXPECT_EQ(chosen, nullptr);
}

TEST(AlarmExpire, AFirstCallJustAfterTheInstantStillRingsIt) {
  TestSandbox sb("2026-12-09 07:00:10");
  sb.booted_seconds_ago(30);
  sb.add_alarm(1, 7, 0, kWed, 1, 0, "a", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 0);
  EXPECT_EQ(get_alarm_expire(nullptr), 604790);
  move_by(sb, 1);
  EXPECT_EQ(get_alarm_expire(nullptr), 604789);
}

TEST(AlarmExpire, TheFirstCallLooksBackToThePhonesWake) {
  {
    TestSandbox sb("2026-12-09 07:01:10");  // a 75-second boot: woke at 06:59:55
    sb.booted_seconds_ago(75);
    sb.add_alarm(1, 7, 0, kWed, 1, 0, "a", "tone");
    ASSERT_NE(build_schedule(), nullptr);
    EXPECT_EQ(get_alarm_expire(nullptr), 0);
  }
  // Woke at 07:00:05, right after a run that rang 07:00 and powered off: not again.
  TestSandbox sb("2026-12-09 07:00:40");
  sb.booted_seconds_ago(35);
  sb.add_alarm(1, 7, 0, kWed, 1, 0, "a", "tone");
  sb.add_alarm(2, 7, 1, kWed, 1, 0, "b", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 20);
  EXPECT_EQ(g_cur_alarm->id, 2);
}

TEST(AlarmExpire, AnInstantMoreThanTenMinutesBeforeTheStartIsLoggedAsMissed) {
  TestSandbox sb("2026-12-09 07:11:00");
  sb.open_kernel_log();
  sb.booted_seconds_ago(12 * 60);
  sb.add_alarm(1, 7, 0, kWed, 1, 0, "a", "tone");
  sb.add_alarm(2, 7, 5, kWed, 1, 0, "b", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 0);
  EXPECT_EQ(g_cur_alarm->id, 2);
  EXPECT_NE(sb.kmsg().find("<3>alarm: alarm 1 missed: due 660 s ago"), std::string::npos)
      << sb.kmsg();
  EXPECT_EQ(sb.kmsg().find("alarm 2 missed"), std::string::npos);
}

// The look-back's edge, after a twelve-minute boot: 599 s late still rings, 601 s is missed.
TEST(AlarmExpire, TheLookBackEndsTenMinutesBeforeTheStart) {
  for (const char* start : {"2026-12-09 07:09:59", "2026-12-09 07:10:01"}) {
    TestSandbox sb(start);
    sb.open_kernel_log();
    sb.booted_seconds_ago(12 * 60);
    sb.add_alarm(1, 7, 0, kWed, 1, 0, "a", "tone");
    ASSERT_NE(build_schedule(), nullptr);
    const bool late = start[15] == '9';
    EXPECT_EQ(get_alarm_expire(nullptr), late ? 0 : 604800 - 601) << start;
    EXPECT_EQ(sb.kmsg().find("<3>alarm: alarm 1 missed: due 601 s ago") != std::string::npos,
              !late);
  }
}

TEST(AlarmExpire, WithoutABootClockTheFirstCallLooksBackSixtySeconds) {
  {
    TestSandbox sb("2026-12-09 07:01:00");
    sb.platform().boot_clock = false;
    sb.add_alarm(1, 7, 0, kWed, 1, 0, "a", "tone");
    ASSERT_NE(build_schedule(), nullptr);
    EXPECT_EQ(get_alarm_expire(nullptr), 0);
  }
  TestSandbox later("2026-12-09 07:01:01");
  later.platform().boot_clock = false;
  later.add_alarm(1, 7, 0, kWed, 1, 0, "a", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 604800 - 61);
}

TEST(AlarmExpire, ALateCallStillReportsTheInstantItMissed) {
  TestSandbox sb("2026-12-09 06:59:59");
  sb.add_alarm(1, 7, 0, kWed, 1, 0, "a", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 1);
  move_by(sb, 2);  // 07:00:01: the second 07:00:00 was skipped
  AlarmSecItem* chosen = nullptr;
  EXPECT_EQ(get_alarm_expire(&chosen), 0);
  EXPECT_EQ(chosen, g_alarm_sec_list);
  EXPECT_EQ(get_alarm_expire(nullptr), 604799);
}

TEST(AlarmExpire, AnInstantEarlierInTheWeekDoesNotHideTodays) {
  TestSandbox sb("2026-12-09 06:59:50");
  sb.add_alarm(1, 7, 0, kMon | kWed, 1, 0, "a", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 10);
  EXPECT_EQ(g_cur_alarm->day, 2);
}

TEST(AlarmExpire, MondayToFridayRingsOnThursdayAfterWednesday) {
  TestSandbox sb("2026-12-09 07:00:50");
  sb.booted_seconds_ago(60);
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0, "a", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 0);  // looked back onto 07:00:00
  move_to(sb, "2026-12-09 07:01:00");
  EXPECT_EQ(get_alarm_expire(nullptr), 86340);
  EXPECT_EQ(g_cur_alarm->day, 3);
  move_to(sb, "2026-12-11 07:01:00");  // Friday: Thursday's and Friday's passed meanwhile
  EXPECT_EQ(get_alarm_expire(nullptr), 0);
  EXPECT_EQ(g_cur_alarm->day, 3);
  EXPECT_EQ(get_alarm_expire(nullptr), 25200 + 604800 - (4 * 86400 + 25260));
  EXPECT_EQ(g_cur_alarm->day, 0);
}

TEST(AlarmExpire, AmongDueInstantsTheEarliestIsChosen) {
  TestSandbox sb("2026-12-09 07:00:00");
  sb.booted_seconds_ago(90);
  sb.add_alarm(1, 7, 0, kWed, 1, 0, "seven", "tone");
  sb.add_alarm(2, 6, 59, kWed, 1, 0, "one minute before", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 0);
  EXPECT_EQ(g_cur_alarm->id, 2);
}

TEST(AlarmExpire, EqualInstantsGiveTheFirstInListOrder) {
  TestSandbox sb("2026-12-09 06:00:00");
  sb.add_alarm(4, 7, 0, kWed, 1, 0, "first", "tone");
  sb.add_alarm(5, 7, 0, kWed, 1, 1, "second", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 3600);
  EXPECT_EQ(g_cur_alarm->id, 4);
  move_to(sb, "2026-12-09 07:00:00");
  EXPECT_EQ(get_alarm_expire(nullptr), 0);
  EXPECT_EQ(g_cur_alarm->id, 4);
}

TEST(AlarmExpire, AnEmptyListGivesMinusOne) {
  TestSandbox sb;
  AlarmSecItem dummy{};
  AlarmSecItem* chosen = &dummy;
  EXPECT_EQ(get_alarm_expire(&chosen), -1);
  EXPECT_EQ(chosen, nullptr);
}

TEST(AlarmExpire, TheWeekTurnsFromSundayToMonday) {
  TestSandbox sb("2026-12-13 23:59:59");  // Sunday
  sb.add_alarm(1, 0, 0, kMon, 1, 0, "midnight", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 1);
  move_by(sb, 1);
  EXPECT_EQ(get_alarm_expire(nullptr), 0);
  move_by(sb, 1);
  EXPECT_EQ(get_alarm_expire(nullptr), 604799);
}

TEST(AlarmExpire, ALateCallAcrossTheWeekEndStillRings) {
  TestSandbox sb("2026-12-13 23:59:58");
  sb.add_alarm(1, 0, 0, kMon, 1, 0, "midnight", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 2);
  move_by(sb, 3);  // Monday 00:00:01
  EXPECT_EQ(get_alarm_expire(nullptr), 0);
}

TEST(AlarmExpire, TheFirstLookBackReachesIntoTheWeekBefore) {
  TestSandbox sb("2026-12-14 00:00:00");  // Monday; the alarm was Sunday 23:59:00
  sb.booted_seconds_ago(90);
  sb.add_alarm(1, 23, 59, kSun, 1, 0, "late", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 0);
  EXPECT_EQ(get_alarm_expire(nullptr), 604800 - 60);
}

TEST(AlarmExpire, ADueOneShotAlarmIsSwitchedOffOncePerCallThenPassedOver) {
  TestSandbox sb("2026-12-09 06:59:59");
  record_sqlite_runs(sb);
  sb.add_alarm(7, 7, 0, 0, 1, 0, "once", "tone");
  sb.add_alarm(8, 7, 0, kThu, 1, 0, "thursday", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 1);
  move_by(sb, 1);
  AlarmSecItem* chosen = nullptr;
  EXPECT_EQ(get_alarm_expire(&chosen), 0);
  EXPECT_EQ(chosen->id, 7);
  finish_alarm_updates();
  EXPECT_EQ(database_updates(sb), 1);
  EXPECT_EQ(sb.sql("SELECT _id, enabled FROM alarms ORDER BY _id;"), "7|0\n8|1\n");
  EXPECT_EQ(get_alarm_expire(nullptr), 0);  // the same second: reported, and updated, again
  finish_alarm_updates();
  EXPECT_EQ(database_updates(sb), 2);
  move_by(sb, 1);
  EXPECT_EQ(get_alarm_expire(nullptr), 86399);  // Thursday's; the one-shot takes no part
  EXPECT_EQ(g_cur_alarm->id, 8);
  EXPECT_EQ(database_updates(sb), 2);
  EXPECT_NE(sb.read("/sqlite_calls").find(" update alarms set enabled=0 where _id=7\n"),
            std::string::npos);
}

TEST(AlarmExpire, EveryOneShotAlarmDueIsSwitchedOffByTheOneRing) {
  TestSandbox sb("2026-12-09 06:59:59");
  sb.add_alarm(7, 7, 0, 0, 1, 0, "once", "tone");
  sb.add_alarm(8, 7, 0, 0, 1, 0, "once more", "tone");
  sb.add_alarm(9, 7, 1, 0, 1, 0, "a minute later", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  move_by(sb, 1);
  EXPECT_EQ(get_alarm_expire(nullptr), 0);
  EXPECT_EQ(g_cur_alarm->id, 7);
  finish_alarm_updates();
  EXPECT_EQ(sb.sql("SELECT _id, enabled FROM alarms ORDER BY _id;"), "7|0\n8|0\n9|1\n");
  move_by(sb, 1);
  EXPECT_EQ(get_alarm_expire(nullptr), 59);  // neither of the two rings again
  EXPECT_EQ(g_cur_alarm->id, 9);
}

TEST(AlarmExpire, AOneShotAlarmAloneLeavesNoAlarmOnceItRang) {
  TestSandbox sb("2026-12-09 07:00:00");
  sb.add_alarm(7, 7, 0, 0, 1, 0, "once", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 0);
  move_by(sb, 1);
  AlarmSecItem dummy{};
  AlarmSecItem* chosen = &dummy;
  EXPECT_EQ(get_alarm_expire(&chosen), -1);
  EXPECT_EQ(chosen, nullptr);
  EXPECT_EQ(g_cur_alarm, nullptr);
}

TEST(AlarmExpire, RepeatingAndSnoozeItemsAreNeverSwitchedOff) {
  TestSandbox sb("2026-12-09 07:00:00");
  record_sqlite_runs(sb);
  sb.add_alarm(1, 7, 0, kWed, 1, 0, "weekly", "tone");
  sb.add_alarm(2, 6, 0, kMon, 1, 0, "snoozed", "tone");
  int64_t end = local_epoch_us("2026-12-09 07:05:00", "UTC") / 1000000;
  sb.write(ALARM_DELAY_PATH, "2\n" + std::to_string(end) + "000\n");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 0);
  EXPECT_EQ(g_cur_alarm->id, 1);
  move_to(sb, "2026-12-09 07:05:00");
  EXPECT_EQ(get_alarm_expire(nullptr), 0);
  EXPECT_EQ(g_cur_alarm->id, 2);
  EXPECT_EQ(database_updates(sb), 0);
}

// A snooze is one instant, counted like the others until it rings or its alarm is stopped:
// the look ahead and the RTC see it, it is due once, and a stopped alarm's snooze is gone.
TEST(AlarmExpire, ASnoozeCountsUntilItRingsOrItsAlarmIsStopped) {
  TestSandbox sb("2026-12-09 07:00:00");  // Wednesday
  sb.add_alarm(1, 7, 0, kWed, 1, 1, "a", "tone");
  sb.add_alarm(2, 7, 30, kWed, 1, 0, "b", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 0);
  int64_t now = local_epoch_us("2026-12-09 07:00:00", "UTC") / 1000000;
  ASSERT_TRUE(snooze_alarm(g_cur_alarm, now + 300));
  ASSERT_TRUE(snooze_alarm(g_alarm_sec_list->next, now + 600));  // alarm 2, snoozed too
  ASSERT_EQ(items().size(), 4u);
  EXPECT_EQ(items()[2]->day, 2);
  EXPECT_EQ(items()[2]->secs, 2 * 86400 + 7 * 3600 + 300);
  EXPECT_EQ(items()[2]->vib, 1);
  move_by(sb, 1);
  EXPECT_EQ(get_alarm_expire(nullptr), 299);
  EXPECT_EQ(g_cur_alarm, items()[2]);

  // Snoozed again, the alarm keeps one item with the new end.
  ASSERT_TRUE(snooze_alarm(g_alarm_sec_list, now + 400));
  EXPECT_EQ(items().size(), 4u);
  EXPECT_EQ(get_alarm_expire(nullptr), 399);
  move_to(sb, "2026-12-09 07:06:40");
  EXPECT_EQ(get_alarm_expire(nullptr), 0);
  EXPECT_EQ(g_cur_alarm->id, 1);
  EXPECT_EQ(pending_snooze(1), nullptr);  // it rang
  EXPECT_EQ(get_alarm_expire(nullptr), 200);
  EXPECT_EQ(g_cur_alarm->id, 2);

  // Alarm 2 stopped: its snooze is gone and the RTC goes for its own 07:30.
  EXPECT_TRUE(end_snooze(2));
  EXPECT_FALSE(end_snooze(2));
  EXPECT_EQ(get_alarm_expire(nullptr), 1400);
  EXPECT_EQ(g_cur_alarm, g_alarm_sec_list->next);
}

// Daylight-saving time (Europe/Berlin): where an alarm lies is local time; the seconds to
// wait are real seconds, which the RTC counts.

TEST(AlarmExpireDst, SpringForwardMakesTheNightAnHourShorter) {
  TestSandbox sb("2027-03-27 23:00:00", "Europe/Berlin");  // Saturday; clocks go 02:00 -> 03:00
  sb.add_alarm(1, 7, 0, kSun, 1, 0, "sunday", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 7 * 3600);
}

TEST(AlarmExpireDst, AnInstantTheClockSkipsIsDueWhenTheClockJumps) {
  TestSandbox sb("2027-03-27 23:00:00", "Europe/Berlin");
  sb.add_alarm(1, 2, 30, kSun, 1, 0, "in the gap", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 3 * 3600);  // until 03:00 summer time
  move_to(sb, "2027-03-28 01:59:59", "Europe/Berlin");
  EXPECT_EQ(get_alarm_expire(nullptr), 1);
  move_by(sb, 1);  // 03:00:00 summer time
  EXPECT_EQ(get_alarm_expire(nullptr), 0);
}

TEST(AlarmExpireDst, FallBackMakesTheNightAnHourLonger) {
  TestSandbox sb("2026-10-24 23:00:00", "Europe/Berlin");  // Saturday; clocks go 03:00 -> 02:00
  sb.add_alarm(1, 7, 0, kSun, 1, 0, "sunday", "tone");
  sb.add_alarm(2, 2, 30, kSun, 1, 0, "twice", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 3 * 3600 + 1800);  // the first 02:30, summer time
  EXPECT_EQ(g_cur_alarm->id, 2);
  move_to(sb, "2026-10-25 05:00:00", "Europe/Berlin");
  EXPECT_EQ(get_alarm_expire(nullptr), 0);  // 02:30 passed since the previous call
  EXPECT_EQ(g_cur_alarm->id, 2);
  EXPECT_EQ(get_alarm_expire(nullptr), 2 * 3600);
  EXPECT_EQ(g_cur_alarm->id, 1);
}

TEST(AlarmExpireDst, TheHourAddedBeforeAnAlarmIsWaitedFor) {
  TestSandbox sb("2026-10-24 23:00:00", "Europe/Berlin");
  sb.add_alarm(1, 7, 0, kSun, 1, 0, "sunday", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 9 * 3600);
}

TEST(AlarmExpireDst, TheClockGoingBackAnHourDoesNotMakeEverythingDue) {
  // 02:59:59 comes twice that night; start before it to be in summer time for sure.
  TestSandbox sb("2026-10-25 01:30:00", "Europe/Berlin");
  sb.add_alarm(1, 7, 0, kSun, 1, 0, "sunday", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  move_by(sb, 5399);  // 02:59:59 summer time
  EXPECT_EQ(get_alarm_expire(nullptr), 5 * 3600 + 1);
  move_by(sb, 1);  // 02:00:00 winter time
  EXPECT_EQ(get_alarm_expire(nullptr), 5 * 3600);
}

// find_alarm_expiry on its own: any "since", without touching the program's state.

TEST(AlarmExpiryWindow, AClockSetBackLooksOnlyAtTheCurrentSecond) {
  TestSandbox sb("2026-12-09 07:00:01");
  sb.add_alarm(1, 7, 0, kWed, 1, 0, "a", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  int64_t now = local_epoch_us("2026-12-09 07:00:01", "UTC") / 1000000;
  AlarmExpiry e = find_alarm_expiry(g_alarm_sec_list, now, now + 3600);
  EXPECT_FALSE(e.due);
  EXPECT_EQ(e.secs, 604799);
  e = find_alarm_expiry(g_alarm_sec_list, now - 1, now + 3600);
  EXPECT_TRUE(e.due);
  EXPECT_EQ(e.secs, 0);
}

TEST(AlarmExpiryWindow, AWindowLongerThanAWeekMakesEveryItemDueAndTheEarliestWins) {
  TestSandbox sb("2026-12-09 12:00:00");
  sb.add_alarm(1, 7, 0, kWed, 1, 0, "five hours ago", "tone");
  sb.add_alarm(2, 13, 0, kWed, 1, 0, "in an hour, so 6 days 23 hours ago", "tone");
  ASSERT_NE(build_schedule(), nullptr);
  int64_t now = local_epoch_us("2026-12-09 12:00:00", "UTC") / 1000000;
  AlarmExpiry e = find_alarm_expiry(g_alarm_sec_list, now, now - 2 * 604800);
  EXPECT_TRUE(e.due);
  EXPECT_EQ(e.item->id, 2);
  EXPECT_EQ(g_cur_alarm, nullptr);  // no side effects
}
