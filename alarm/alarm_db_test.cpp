#include "alarm/alarm_db.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <cstdlib>

#include <gtest/gtest.h>

#include "alarm/alarm_rtc.h"
#include "alarm/alarm_schedule.h"
#include "sandbox/platform_wrapper.h"
#include "sim/test_sandbox.h"

namespace {

std::vector<const AlarmRecord*> records() {
  std::vector<const AlarmRecord*> out;
  for (const AlarmRecord* r = g_alarm_list; r != nullptr; r = r->next) out.push_back(r);
  return out;
}

// The platform with a fork that always fails.
class NoForkPlatform : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  pid_t fork_process() override { return -1; }
};

// Maps every phone path under a root that has a blank in it.
class BlankRootPlatform : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  std::string device_path(const char* p) const override {
    return "/tmp/with blank" + std::string(p);
  }
};

}  // namespace

// Row parsing, on lines as sqlite3's list mode prints them.

TEST(AlarmRowParsing, NineColumnsFillEveryField) {
  TestSandbox sb;
  ASSERT_EQ(parse_alarm_row("3|7|30|31|0|1|1|Wake up|content://media/alarm/5\n"), 0);
  auto r = records();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0]->id, 3);
  EXPECT_EQ(r[0]->hour, 7);
  EXPECT_EQ(r[0]->minute, 30);
  EXPECT_EQ(r[0]->day_mask, 31);
  EXPECT_EQ(r[0]->alarm_time, 0);
  EXPECT_EQ(r[0]->enabled, 1);
  EXPECT_EQ(r[0]->vibrate, 1);
  EXPECT_STREQ(r[0]->message, "Wake up");
  // The line end stays part of the last field.
  EXPECT_STREQ(r[0]->alert, "content://media/alarm/5\n");
  EXPECT_EQ(r[0]->next, nullptr);
}

TEST(AlarmRowParsing, EmptyLabelPutsTheRingToneIntoAlert) {
  TestSandbox sb;
  parse_alarm_row("3|7|30|31|0|1|1||content://media/alarm/5\n");
  ASSERT_NE(g_alarm_list, nullptr);
  EXPECT_STREQ(g_alarm_list->message, "");
  EXPECT_STREQ(g_alarm_list->alert, "content://media/alarm/5\n");
}

TEST(AlarmRowParsing, EightColumnsMoveThePlainLabelIntoAlert) {
  TestSandbox sb;
  parse_alarm_row("4|6|15|0|0|1|0|Dentist\n");
  ASSERT_NE(g_alarm_list, nullptr);
  EXPECT_STREQ(g_alarm_list->alert, "Dentist\n");
  for (char c : g_alarm_list->message) ASSERT_EQ(c, '\0');
}

// A row whose label and ring tone are both empty (the clock application's default rows):
// the line end after its seventh column is its eighth field, so it is still an alarm.
TEST(AlarmRowParsing, EmptyLabelAndRingToneStillGiveAnAlarm) {
  TestSandbox sb;
  parse_alarm_row("1|8|30|31|0|1|1||\n");
  auto r = records();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0]->hour, 8);
  EXPECT_EQ(r[0]->enabled, 1);
  EXPECT_EQ(r[0]->vibrate, 1);
  EXPECT_STREQ(r[0]->message, "");
  EXPECT_STREQ(r[0]->alert, "\n");
}

TEST(AlarmRowParsing, LinesWithTooFewFieldsAreSkipped) {
  TestSandbox sb;
  for (const char* line :
       {"", "\n", "garbage without separators\n", "1|2|3|4|5|6\n", "||||\n", "1|7|0|31|0|1|1"}) {
    EXPECT_EQ(parse_alarm_row(line), 0) << line;
  }
  EXPECT_EQ(parse_alarm_row(nullptr), 0);
  EXPECT_EQ(g_alarm_list, nullptr);
}

TEST(AlarmRowParsing, GarbageWithEnoughFieldsGivesZeroNumbers) {
  TestSandbox sb;
  parse_alarm_row("a|b|c|d|e|f|g|h|i\n");
  ASSERT_NE(g_alarm_list, nullptr);
  EXPECT_EQ(g_alarm_list->id, 0);
  EXPECT_EQ(g_alarm_list->enabled, 0);  // a switched-off alarm: it never rings
}

TEST(AlarmRowParsing, ThreeLinesGiveThreeRecordsInOrder) {
  TestSandbox sb;
  parse_alarm_row("1|6|0|0|0|1|0|a|x\n");
  parse_alarm_row("2|7|0|0|0|1|0|b|y\n");
  parse_alarm_row("3|8|0|0|0|1|0|c|z\n");
  auto r = records();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0]->id, 1);
  EXPECT_EQ(r[1]->id, 2);
  EXPECT_EQ(r[2]->id, 3);
  EXPECT_EQ(r[2]->next, nullptr);
}

TEST(AlarmRowParsing, LabelIsCutAt511Characters) {
  TestSandbox sb;
  std::string label(600, 'L');
  parse_alarm_row(("5|7|0|0|0|1|0|" + label + "|tone\n").c_str());
  ASSERT_NE(g_alarm_list, nullptr);
  EXPECT_EQ(std::string(g_alarm_list->message), std::string(511, 'L'));
  EXPECT_EQ(g_alarm_list->message[ALARM_TEXT_SIZE - 1], '\0');
  EXPECT_STREQ(g_alarm_list->alert, "tone\n");
}

TEST(AlarmRowParsing, TextAfterTheNinthColumnIsIgnored) {
  TestSandbox sb;
  parse_alarm_row("5|7|0|0|0|1|0|label|tone|extra|more\n");
  ASSERT_NE(g_alarm_list, nullptr);
  EXPECT_STREQ(g_alarm_list->message, "label");
  EXPECT_STREQ(g_alarm_list->alert, "tone");
}

TEST(AlarmRowParsing, ABarInTheLabelShiftsTheRingTone) {
  TestSandbox sb;
  parse_alarm_row("5|7|0|0|0|1|0|gym|bag|tone\n");
  ASSERT_NE(g_alarm_list, nullptr);
  EXPECT_STREQ(g_alarm_list->message, "gym");
  EXPECT_STREQ(g_alarm_list->alert, "bag");
}

TEST(AlarmRowParsing, NumbersAreReadAsAtoiReadsThem) {
  TestSandbox sb;
  parse_alarm_row(" 12|+7|-3|31x|4294967303|1|2|m|a\n");
  ASSERT_NE(g_alarm_list, nullptr);
  EXPECT_EQ(g_alarm_list->id, 12);
  EXPECT_EQ(g_alarm_list->hour, 7);
  EXPECT_EQ(g_alarm_list->minute, -3);
  EXPECT_EQ(g_alarm_list->day_mask, 31);
  EXPECT_EQ(g_alarm_list->alarm_time, 7);  // the low 32 bits
  EXPECT_EQ(g_alarm_list->vibrate, 2);
}

TEST(AlarmRowParsing, TheCallersLineStaysUntouched) {
  TestSandbox sb;
  char line[] = "1|7|0|0|0|1|0|m|a\n";
  parse_alarm_row(line);
  EXPECT_STREQ(line, "1|7|0|0|0|1|0|m|a\n");
}

// read_alarm_db on the real sqlite3 tool and a real database.

TEST(AlarmDbReader, AnEmptyTableGivesNoRecords) {
  TestSandbox sb;
  EXPECT_EQ(read_alarm_db(), 0);
  EXPECT_EQ(g_alarm_list, nullptr);
}

TEST(AlarmDbReader, RowsArriveInTableOrderWithTheirTexts) {
  TestSandbox sb;
  sb.add_alarm(3, 7, 30, 31, 1, 1, "Wake up", "content://media/alarm/5");
  sb.add_alarm(4, 6, 15, 0, 0, 0, "", "content://media/alarm/6");
  sb.add_alarm(9, 22, 5, 96, 1, 0, "Réveil – 起きて", "tone");
  ASSERT_EQ(read_alarm_db(), 0);
  auto r = records();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0]->id, 3);
  EXPECT_EQ(r[0]->day_mask, 31);
  EXPECT_STREQ(r[0]->message, "Wake up");
  EXPECT_STREQ(r[0]->alert, "content://media/alarm/5\n");
  EXPECT_EQ(r[1]->enabled, 0);
  EXPECT_STREQ(r[1]->message, "");
  EXPECT_STREQ(r[1]->alert, "content://media/alarm/6\n");
  EXPECT_STREQ(r[2]->message, "Réveil – 起きて");
  EXPECT_EQ(r[2]->day_mask, 96);
}

// The texts are printed as hex: a "|" in a label no longer shifts its tail into the ring
// tone.
TEST(AlarmDbReader, ALabelWithBarsKeepsItsRingTone) {
  TestSandbox sb;
  sb.add_alarm(2, 7, 0, 31, 1, 1, "a|b|c", "tone");
  read_alarm_db();
  ASSERT_NE(g_alarm_list, nullptr);
  EXPECT_EQ(g_alarm_list->hour, 7);
  EXPECT_EQ(g_alarm_list->enabled, 1);
  EXPECT_STREQ(g_alarm_list->message, "a|b|c");
  EXPECT_STREQ(g_alarm_list->alert, "tone\n");
}

TEST(AlarmDbReader, NullTextsAreEmptyTexts) {
  TestSandbox sb;
  sb.sql("INSERT INTO alarms VALUES(1,7,0,31,0,1,1,NULL,'tone');");
  sb.sql("INSERT INTO alarms VALUES(2,8,0,31,0,1,0,'label',NULL);");
  sb.sql("INSERT INTO alarms VALUES(3,9,0,31,0,1,0,NULL,NULL);");
  read_alarm_db();
  auto r = records();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_STREQ(r[0]->message, "");
  EXPECT_STREQ(r[0]->alert, "tone\n");
  // The line end behind the empty ring tone is a field of its own.
  EXPECT_STREQ(r[1]->message, "label");
  EXPECT_STREQ(r[1]->alert, "\n");
  EXPECT_EQ(r[2]->hour, 9);
  EXPECT_EQ(r[2]->enabled, 1);
  EXPECT_STREQ(r[2]->message, "");
  EXPECT_STREQ(r[2]->alert, "\n");
}

// Rows split like strtok: an empty (NULL) numeric column yields no field, and the
// columns after it move up one place. Kept as specified; this test shows what it does.
TEST(AlarmDbReader, ANullNumericColumnShiftsTheColumnsBehindIt) {
  TestSandbox sb;
  sb.sql("INSERT INTO alarms VALUES(1,7,0,31,NULL,1,0,'label','tone');");
  read_alarm_db();
  ASSERT_NE(g_alarm_list, nullptr);
  EXPECT_EQ(g_alarm_list->alarm_time, 1);  // the enabled column
  EXPECT_EQ(g_alarm_list->enabled, 0);     // the vibrate column
  EXPECT_EQ(g_alarm_list->vibrate, 0);     // "label"
  EXPECT_STREQ(g_alarm_list->message, "");
  EXPECT_STREQ(g_alarm_list->alert, "tone\n");  // eight fields: the last is the ring tone
}

TEST(AlarmDbReader, ALongLineIsOneRowFromItsFirst1023Characters) {
  TestSandbox sb;
  // The label's tail looks like a row of its own; it must not become one.
  std::string label = std::string(1100, 'x') + "|9|7|0|31|0|1|1|fake|row";
  sb.add_alarm(1, 6, 45, 31, 1, 0, label, "tone");
  sb.add_alarm(2, 7, 15, 0, 1, 1, "next", "tone2");
  ASSERT_EQ(read_alarm_db(), 0);
  auto r = records();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0]->id, 1);
  EXPECT_EQ(r[0]->minute, 45);
  // The label is printed cut, so that the row and its ring tone fit one line.
  EXPECT_EQ(std::string(r[0]->message), std::string(200, 'x'));
  EXPECT_STREQ(r[0]->alert, "tone\n");
  EXPECT_EQ(r[1]->id, 2);
  EXPECT_STREQ(r[1]->alert, "tone2\n");
}

// sqlite3 prints a text as it is: a line end inside a label must not cut the row, nor make
// the label's tail a row of its own.
TEST(AlarmDbReader, ALineEndInsideATextStaysInItsRow) {
  TestSandbox sb;
  sb.add_alarm(1, 6, 45, 31, 1, 0, "two\nlines", "tone");
  sb.add_alarm(2, 8, 0, 31, 1, 0, "Work\n77|7|1|127|0|1|1|evil|tone", "ring\nagain");
  read_alarm_db();
  auto r = records();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0]->minute, 45);
  EXPECT_STREQ(r[0]->message, "two lines");
  EXPECT_STREQ(r[0]->alert, "tone\n");
  EXPECT_EQ(r[1]->id, 2);  // no alarm 77
  EXPECT_EQ(r[1]->hour, 8);
}

TEST(AlarmDbReader, TextFromTheDatabaseNeverReachesAShell) {
  TestSandbox sb;
  std::string marker = sb.path("/pwned");
  sb.add_alarm(7, 7, 0, 0, 1, 0, "$(touch " + marker + ")",
               "`touch " + marker + "`\"; touch " + marker);
  read_alarm_db();
  creat_alarm_sec_list();
  ASSERT_NE(g_alarm_sec_list, nullptr);
  g_cur_alarm = g_alarm_sec_list;
  disable_alarm();
  finish_alarm_updates();
  EXPECT_FALSE(sb.exists("/pwned"));
  EXPECT_EQ(sb.sql("SELECT enabled FROM alarms WHERE _id=7;"), "0\n");
}

TEST(AlarmDbReader, ACommandThatCannotStartGivesMinusOne) {
  TestSandbox sb;
  sb.open_kernel_log();
  NoForkPlatform no_fork(&sb.platform());
  set_platform(&no_fork);
  EXPECT_EQ(read_alarm_db(), -1);
  set_platform(&sb.platform());
  EXPECT_EQ(g_alarm_list, nullptr);
  EXPECT_EQ(sb.kmsg(), "<3>alarm: popen db");
}

TEST(AlarmDbReader, AMappedPathThatIsNoPlainWordIsNeverRun) {
  TestSandbox sb;
  sb.open_kernel_log();
  BlankRootPlatform blank(&sb.platform());
  set_platform(&blank);
  char command[ALARM_LINE_SIZE];
  EXPECT_FALSE(alarm_db_query_command(command, sizeof command));
  EXPECT_FALSE(alarm_db_disable_command(7, command, sizeof command));
  EXPECT_EQ(read_alarm_db(), -1);
  set_platform(&sb.platform());
  EXPECT_EQ(sb.kmsg(), "<3>alarm: popen db");
}

// The command lines run the phone's sqlite3 on the clock application's database (what the
// query reads is judged by read_alarm_db above); the update, run on a real database,
// switches off its own alarm and no other.
TEST(AlarmDbReader, TheCommandLinesNameTheToolAndSwitchOffOneAlarm) {
  TestSandbox sb;
  sb.add_alarm(7, 7, 30, 31, 1, 1, "a", "tone");
  sb.add_alarm(8, 6, 0, 0, 1, 0, "b", "tone");
  const std::string tool_and_db = sb.path(SQLITE_TOOL_PATH) + " " + sb.path(ALARM_DB_PATH) + " ";
  char command[ALARM_LINE_SIZE];
  ASSERT_TRUE(alarm_db_query_command(command, sizeof command));
  EXPECT_EQ(std::string(command).rfind(tool_and_db, 0), 0u) << command;
  ASSERT_TRUE(alarm_db_disable_command(7, command, sizeof command));
  EXPECT_EQ(std::string(command).rfind(tool_and_db, 0), 0u) << command;
  ASSERT_EQ(system(command), 0);
  EXPECT_EQ(sb.sql("SELECT _id, enabled FROM alarms ORDER BY _id;"), "7|0\n8|1\n");
}

// Android 4.x phones ship sqlite3 3.7.11: the queries may call only functions it has (and
// CAST, an expression SQLite has always had).
TEST(AlarmDbReader, TheQueryCallsOnlyFunctionsOfSqlite3711) {
  static const std::set<std::string> k3711 = {
      "cast",   "abs",        "changes",       "coalesce",
      "glob",   "ifnull",     "hex",           "last_insert_rowid",
      "length", "like",       "lower",         "ltrim",
      "max",    "min",        "nullif",        "quote",
      "random", "randomblob", "replace",       "round",
      "rtrim",  "substr",     "total_changes", "trim",
      "typeof", "upper",      "zeroblob",      "date",
      "time",   "datetime",   "julianday",     "strftime",
      "avg",    "count",      "group_concat",  "sum",
      "total"};
  TestSandbox sb;
  char command[ALARM_LINE_SIZE];
  ASSERT_TRUE(alarm_db_query_command(command, sizeof command));
  std::string sql = std::string(strchr(command, '"')) + alarm_db_clock_app_sql();
  int calls = 0;
  for (size_t open = sql.find('('); open != std::string::npos; open = sql.find('(', open + 1)) {
    size_t end = open;
    while (end > 0 && sql[end - 1] == ' ') --end;
    size_t begin = end;
    while (begin > 0 &&
           (isalnum(static_cast<unsigned char>(sql[begin - 1])) || sql[begin - 1] == '_'))
      --begin;
    std::string name = sql.substr(begin, end - begin);
    for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    ++calls;
    EXPECT_EQ(k3711.count(name), 1u) << name << " is newer than sqlite3 3.7.11";
  }
  EXPECT_GT(calls, 0);
}

namespace {

// The names of the files made, moved in or removed in `dir` while `command` ran.
std::vector<std::string> files_touched_by(const std::string& dir, const std::string& command) {
  std::vector<std::string> names;
  int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (in < 0) return {"(no inotify)"};
  if (inotify_add_watch(in, dir.c_str(), IN_CREATE | IN_MOVED_TO | IN_DELETE) < 0) {
    close(in);
    return {"(no watch)"};
  }
  if (system(command.c_str()) != 0) names.push_back("(the command failed)");
  alignas(inotify_event) char buf[4096];
  ssize_t n;
  while ((n = read(in, buf, sizeof buf)) > 0) {
    for (char* p = buf; p < buf + n;) {
      auto* ev = reinterpret_cast<inotify_event*>(p);
      if (ev->len > 0) names.push_back(ev->name);
      p += sizeof(inotify_event) + ev->len;
    }
  }
  close(in);
  return names;
}

}  // namespace

// From Android 8.0 no file may be made among the clock application's: the update, run by a
// real sqlite3 on a real database, switches the alarm off and makes none, where the same
// update in sqlite3's own journal mode makes its journal there.
TEST(AlarmDbUpdate, TheUpdateMakesNoFileBesideTheDatabase) {
  TestSandbox sb;
  sb.add_alarm(7, 7, 30, 0, 1, 1, "a", "tone");
  sb.add_alarm(8, 6, 0, 0, 1, 0, "b", "tone");
  std::string dir = sb.path(ALARM_DB_PATH);
  dir.erase(dir.rfind('/'));
  char command[ALARM_LINE_SIZE];
  ASSERT_TRUE(alarm_db_disable_command(7, command, sizeof command));
  EXPECT_EQ(files_touched_by(dir, command), std::vector<std::string>{});
  EXPECT_EQ(sb.sql("SELECT _id, enabled FROM alarms ORDER BY _id;"), "7|0\n8|1\n");

  std::string plain = sb.path(SQLITE_TOOL_PATH) + " " + sb.path(ALARM_DB_PATH) +
                      " \" update alarms set enabled=0 where _id=8\"";
  std::vector<std::string> journal = files_touched_by(dir, plain);
  EXPECT_NE(std::find(journal.begin(), journal.end(), "alarms.db-journal"), journal.end())
      << "the watch sees no file sqlite3 makes";
}

TEST(AlarmDbReader, FreeingLeavesTheListEmpty) {
  TestSandbox sb;
  sb.add_alarm(1, 7, 0, 31, 1, 0, "a", "b");
  read_alarm_db();
  ASSERT_NE(g_alarm_list, nullptr);
  free_alarm_list();
  EXPECT_EQ(g_alarm_list, nullptr);
}
