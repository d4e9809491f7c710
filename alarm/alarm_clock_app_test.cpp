// The clock application of Android 4.4 and later: its templates and instances read, rung as
// the application would ring them, and answered in its own tables.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "alarm/alarm_db.h"
#include "alarm/alarm_delay.h"
#include "alarm/alarm_rtc.h"
#include "alarm/alarm_schedule.h"
#include "sim/sandbox_builder.h"
#include "sim/test_sandbox.h"

namespace {

constexpr int kEveryDay = 127;
constexpr int kMonToFri = 31;

SandboxOptions clock_app(const char* version) {
  SandboxOptions o;
  o.clock_app = version;
  return o;
}

std::string de_sql(const TestSandbox& sb, const std::string& statement) {
  return sb.sql_at(ALARM_DB_DE_PATH, statement);
}

AlarmSecItem* build_schedule() {
  read_alarm_db();
  return creat_alarm_sec_list();
}

std::set<std::string> files_in(const std::string& dir) {
  std::set<std::string> out;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") out.insert(name);
  }
  closedir(d);
  return out;
}

// The first look of the run, then one a second until `secs` have passed: the ids of the
// alarms reported due, in order.
std::string due_ids_over(TestSandbox& sb, int secs) {
  std::string due;
  for (int i = 0; i <= secs; ++i) {
    if (get_alarm_expire(nullptr) == 0) due += std::to_string(g_cur_alarm->id) + " ";
    sb.clock().advance_by(1000000);
  }
  return due;
}

}  // namespace

// Reading the tables.

TEST(ClockAppReader, TemplatesAndInstancesComeFromDeviceProtectedStorage) {
  TestSandbox sb("2026-12-09 06:59:40", "UTC", clock_app("7"));
  de_sql(sb, template_insert_sql(3, 7, 0, kMonToFri, 1, 1, 0, "Work|late\nshift", nullptr));
  de_sql(sb, instance_insert_sql(9, 3, 2026, 11, 9, 7, 0, 1, 0, "Work|late\nshift", ""));
  ASSERT_EQ(read_alarm_db(), 0);
  EXPECT_EQ(g_alarm_db_kind, ALARM_DB_INSTANCES);
  EXPECT_STREQ(g_alarm_db_path, ALARM_DB_DE_PATH);
  ASSERT_NE(g_alarm_list, nullptr);
  EXPECT_EQ(g_alarm_list->id, 3);
  EXPECT_EQ(g_alarm_list->day_mask, kMonToFri);
  EXPECT_EQ(g_alarm_list->vibrate, 1);
  // The label arrives whole ("|" and all); a NULL ring tone is the default sound, as an
  // empty one was in the old table, and an empty one is silent.
  EXPECT_STREQ(g_alarm_list->message, "Work|late shift");
  EXPECT_STREQ(g_alarm_list->alert, "");
  ASSERT_NE(g_alarm_instance_list, nullptr);
  const AlarmInstanceRecord* i = g_alarm_instance_list;
  EXPECT_EQ(i->id, 9);
  EXPECT_EQ(i->alarm_id, 3);
  EXPECT_EQ(i->year, 2026);
  EXPECT_EQ(i->month, 11);
  EXPECT_EQ(i->day, 9);
  EXPECT_EQ(i->state, 1);
  EXPECT_STREQ(i->alert, "silent\n");
  // No database was made at the old path by asking it.
  EXPECT_FALSE(sb.exists(ALARM_DB_PATH));
}

TEST(ClockAppReader, Android44KeepsTheTablesAtTheOldPath) {
  TestSandbox sb("2026-12-09 06:59:40", "UTC", clock_app("4.4"));
  sb.sql(template_insert_sql(1, 7, 0, 0, 1, 0));
  ASSERT_EQ(read_alarm_db(), 0);
  EXPECT_EQ(g_alarm_db_kind, ALARM_DB_INSTANCES);
  EXPECT_STREQ(g_alarm_db_path, ALARM_DB_PATH);
  ASSERT_NE(g_alarm_list, nullptr);
  EXPECT_EQ(g_alarm_list->hour, 7);
}

TEST(ClockAppReader, TheAlarmsTableComesFirst) {
  TestSandbox sb;
  sb.add_alarm(5, 6, 30, 0, 1, 0, "old", "tone");
  make_dirs(sb.path("/data/user_de/0/com.android.deskclock/databases"));
  de_sql(sb, CLOCK_APP_TABLES_SQL);
  de_sql(sb, template_insert_sql(1, 7, 0, 0, 1, 0));
  read_alarm_db();
  EXPECT_EQ(g_alarm_db_kind, ALARM_DB_ALARMS);
  ASSERT_NE(g_alarm_list, nullptr);
  EXPECT_EQ(g_alarm_list->id, 5);
  EXPECT_EQ(g_alarm_list->next, nullptr);
  EXPECT_EQ(g_alarm_instance_list, nullptr);
}

// Android 9 and later write ahead into alarms.db-wal: the latest alarms may be there alone.
// Reading the log in place would need its index file beside the database (sqlite3 makes one
// when it is missing); the program reads a copy and leaves the application's files as they
// were.
TEST(ClockAppReader, AWriteAheadLogIsReadWithoutTouchingTheApplicationsFiles) {
  TestSandbox sb("2026-12-09 06:59:40", "UTC", clock_app("7"));
  std::string db = sb.path(ALARM_DB_DE_PATH);
  ASSERT_TRUE(run_sqlite(db, "PRAGMA journal_mode=WAL;"));
  de_sql(sb, template_insert_sql(1, 6, 0, 0, 1, 0));
  // Not checkpointed: the second alarm is in the log only.
  std::string write = find_in_path("sqlite3") + " " + db + " '.dbconfig no_ckpt_on_close on' \"" +
                      template_insert_sql(2, 7, 30, kEveryDay, 1, 1) + "\" >/dev/null";
  ASSERT_EQ(system(write.c_str()), 0);
  // The database file alone (read as immutable, which ignores the log) has the first only.
  std::string in_file;
  ASSERT_TRUE(
      run_sqlite("file:" + db + "?immutable=1", "SELECT count(*) FROM alarm_templates;", &in_file));
  ASSERT_EQ(in_file, "1\n");
  // As a phone may leave it: the log without its index file.
  unlink((db + "-shm").c_str());
  ASSERT_TRUE(sb.exists("/data/user_de/0/com.android.deskclock/databases/alarms.db-wal"));
  std::set<std::string> before =
      files_in(sb.path("/data/user_de/0/com.android.deskclock/databases"));

  read_alarm_db();
  ASSERT_NE(g_alarm_list, nullptr);
  ASSERT_NE(g_alarm_list->next, nullptr);
  EXPECT_EQ(g_alarm_list->next->id, 2);
  EXPECT_EQ(g_alarm_list->next->minute, 30);
  EXPECT_EQ(files_in(sb.path("/data/user_de/0/com.android.deskclock/databases")), before);
  EXPECT_TRUE(files_in(sb.path(ALARM_WORK_DIR)).empty());
}

// What rings.

// A Wednesday: the daily alarm's instance today at 07:00, a one-shot alarm of today 07:30
// dismissed in advance, a weekday alarm whose instance is tomorrow, a one-shot alarm on
// Saturday at 09:00.
void lay_week(const TestSandbox& sb) {
  de_sql(sb, template_insert_sql(1, 7, 0, kEveryDay, 1, 0));
  de_sql(sb, instance_insert_sql(11, 1, 2026, 11, 9, 7, 0, 1));
  de_sql(sb, template_insert_sql(2, 7, 30, 0, 1, 0));
  de_sql(sb, instance_insert_sql(12, 2, 2026, 11, 9, 7, 30, 8));
  de_sql(sb, template_insert_sql(3, 6, 45, kMonToFri, 1, 1));
  de_sql(sb, instance_insert_sql(13, 3, 2026, 11, 10, 6, 45, 0, 1));
  de_sql(sb, template_insert_sql(4, 9, 0, 0, 1, 0));
  de_sql(sb, instance_insert_sql(14, 4, 2026, 11, 12, 9, 0, 0));
}

TEST(ClockAppSchedule, PendingInstancesRingAtTheirDateAndDismissedOnesNever) {
  TestSandbox sb("2026-12-09 06:59:40", "UTC", clock_app("7"));
  lay_week(sb);
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 20);
  EXPECT_EQ(g_cur_alarm->instance_id, 11);
  // Wednesday 07:00 (daily), Thursday 06:45 (weekday) and 07:00 (daily), Friday 06:45 and
  // 07:00, Saturday 07:00 and 09:00 (one-shot): not Wednesday 07:30.
  std::string due;
  const int64_t saturday_nine = local_epoch_us("2026-12-12 09:00:00", "UTC") / 1000000;
  while (sb.clock().now_us() / 1000000 <= saturday_nine) {
    int32_t n = get_alarm_expire(nullptr);
    ASSERT_GE(n, 0);
    if (n == 0) {
      due += std::to_string(g_cur_alarm->id) + "@" +
             local_time_text(sb.clock().now_us() / 1000000).substr(4, 16) + " ";
      n = 1;
    }
    sb.clock().advance_by(int64_t{n} * 1000000);
  }
  EXPECT_EQ(due,
            "1@2026-12-09 07:00 3@2026-12-10 06:45 1@2026-12-10 07:00 3@2026-12-11 06:45 "
            "1@2026-12-11 07:00 1@2026-12-12 07:00 4@2026-12-12 09:00 ");
}

// The application makes a repeating alarm's next instance only when the current one has
// rung: a phone kept off since Monday rings the daily alarm every day all the same, and a
// power-off programs the RTC for it.
TEST(ClockAppSchedule, ARepeatingTemplateRingsEveryDayAfterItsInstance) {
  TestSandbox sb("2026-12-09 06:59:40", "UTC", clock_app("7"));
  de_sql(sb, template_insert_sql(1, 7, 0, kEveryDay, 1, 0));
  de_sql(sb, instance_insert_sql(11, 1, 2026, 11, 7, 7, 0, 7));
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 20);
  EXPECT_EQ(g_cur_alarm->id, 1);
  EXPECT_EQ(g_cur_alarm->instance_id, 0);
}

TEST(ClockAppSchedule, ADayDismissedInAdvanceSkipsToTheNextOne) {
  TestSandbox sb("2026-12-09 06:59:40", "UTC", clock_app("7"));
  de_sql(sb, template_insert_sql(1, 7, 0, kEveryDay, 1, 0));
  de_sql(sb, instance_insert_sql(11, 1, 2026, 11, 9, 7, 0, 8));
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(get_alarm_expire(nullptr), 86400 + 20);
}

// What the database holds after a ring.

TEST(ClockAppAnswers, ARungInstanceIsDismissedAndItsOneShotTemplateSwitchedOff) {
  TestSandbox sb("2026-12-09 06:59:50", "UTC", clock_app("7"));
  de_sql(sb, template_insert_sql(1, 7, 0, 0, 1, 0));
  de_sql(sb, instance_insert_sql(11, 1, 2026, 11, 9, 7, 0, 3));
  de_sql(sb, template_insert_sql(2, 7, 0, 0, 1, 0, 1));
  de_sql(sb, instance_insert_sql(12, 2, 2026, 11, 9, 7, 0, 3));
  de_sql(sb, template_insert_sql(3, 7, 0, kEveryDay, 1, 0));
  de_sql(sb, instance_insert_sql(13, 3, 2026, 11, 9, 7, 0, 3));
  ASSERT_NE(build_schedule(), nullptr);
  EXPECT_EQ(due_ids_over(sb, 20), "1 ");  // one ring for the three of 07:00
  finish_alarm_updates();
  EXPECT_EQ(de_sql(sb, "SELECT _id, alarm_state FROM alarm_instances ORDER BY _id;"),
            "11|7\n12|7\n13|7\n");
  // The one-shot alarm off, the one to be deleted after use gone, the daily one on.
  EXPECT_EQ(de_sql(sb, "SELECT _id, enabled FROM alarm_templates ORDER BY _id;"), "1|0\n3|1\n");
}

TEST(ClockAppAnswers, ASnoozedInstanceWaitsAtTheSnoozesEnd) {
  TestSandbox sb("2026-12-09 07:00:00", "UTC", clock_app("7"));
  de_sql(sb, template_insert_sql(1, 7, 0, 0, 1, 0));
  de_sql(sb, instance_insert_sql(11, 1, 2026, 11, 9, 7, 0, 3));
  ASSERT_NE(build_schedule(), nullptr);
  ASSERT_EQ(get_alarm_expire(nullptr), 0);
  sb.clock().advance_by(23 * 1000000);
  int64_t end = sb.clock().now_us() / 1000000 + 600;  // 07:10:23
  ASSERT_TRUE(snooze_alarm(g_cur_alarm, end));
  finish_alarm_updates();
  EXPECT_EQ(de_sql(sb, "SELECT alarm_state, year, month, day, hour, minutes FROM alarm_instances;"),
            "4|2026|11|9|7|10\n");
  // The one-shot alarm its ring switched off is on while it is snoozed.
  EXPECT_EQ(de_sql(sb, "SELECT enabled FROM alarm_templates;"), "1\n");
  // The snooze rings at its end; its instance is then dismissed again.
  sb.clock().advance_to(int64_t{end} * 1000000);
  EXPECT_EQ(get_alarm_expire(nullptr), 0);
  finish_alarm_updates();
  EXPECT_EQ(de_sql(sb, "SELECT alarm_state FROM alarm_instances;"), "7\n");
  EXPECT_EQ(de_sql(sb, "SELECT enabled FROM alarm_templates;"), "0\n");
}

// The next start finds the snoozed instance at the minute of the snooze's end and the note
// at its second: the same snooze, rung once.
TEST(ClockAppAnswers, ASnoozedInstanceAndItsNoteRingOnce) {
  TestSandbox sb("2026-12-09 07:09:50", "UTC", clock_app("7"));
  de_sql(sb, template_insert_sql(1, 7, 0, kMonToFri, 1, 0));
  de_sql(sb, instance_insert_sql(11, 1, 2026, 11, 9, 7, 10, 4));
  int64_t end = local_epoch_us("2026-12-09 07:10:23", "UTC") / 1000000;
  char note[ALARM_DELAY_FILE_SIZE] = {};
  snprintf(note, sizeof note, "1\n%lld000\n", static_cast<long long>(end));
  sb.write(ALARM_DELAY_PATH, std::string(note, sizeof note));
  ASSERT_NE(build_schedule(), nullptr);
  std::string due;
  for (int i = 0; i <= 60; ++i) {
    if (get_alarm_expire(nullptr) == 0) {
      due += local_time_text(sb.clock().now_us() / 1000000).substr(15, 8) + " ";
    }
    sb.clock().advance_by(1000000);
  }
  EXPECT_EQ(due, "07:10:23 ");
  finish_alarm_updates();
  EXPECT_EQ(de_sql(sb, "SELECT alarm_state FROM alarm_instances;"), "7\n");
}

// A phone that booted too long to ring logs what it missed: an instance of its own date,
// not one that lies at the same place of another week.
TEST(ClockAppSchedule, OnlyAnInstancePassedWhileBootingIsLoggedMissed) {
  TestSandbox sb("2026-12-09 07:15:00", "UTC", clock_app("7"));
  sb.open_kernel_log();
  sb.booted_seconds_ago(1200);
  de_sql(sb, template_insert_sql(1, 7, 0, 0, 1, 0));
  de_sql(sb, instance_insert_sql(11, 1, 2026, 11, 9, 7, 0, 1));
  de_sql(sb, template_insert_sql(2, 7, 2, 0, 1, 0));
  de_sql(sb, instance_insert_sql(12, 2, 2026, 11, 16, 7, 2, 0));  // next week
  ASSERT_NE(build_schedule(), nullptr);
  get_alarm_expire(nullptr);
  EXPECT_NE(sb.kmsg().find("<3>alarm: alarm 1 missed: due 900 s ago"), std::string::npos);
  EXPECT_EQ(sb.kmsg().find("<3>alarm: alarm 2 missed"), std::string::npos) << sb.kmsg();
}
