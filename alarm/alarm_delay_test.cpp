#include "alarm/alarm_delay.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "alarm/alarm_db.h"
#include "alarm/alarm_flag.h"
#include "sim/sandbox_builder.h"
#include "sim/test_sandbox.h"

namespace {

constexpr char kWednesday[] = "2026-12-09 06:59:40";  // a Wednesday

int64_t epoch(const char* at, const char* tz = "UTC") {
  return local_epoch_us(at, tz) / 1000000;
}

std::string note_text(int id, int64_t end_sec) {
  return std::to_string(id) + "\n" + std::to_string(end_sec) + "000\n";
}

void write_note(const TestSandbox& sb, const std::string& text) {
  std::string block = text;
  block.resize(ALARM_DELAY_FILE_SIZE, '\0');
  sb.write(ALARM_DELAY_PATH, block);
}

std::vector<std::string> files_in(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") out.push_back(name);
  }
  closedir(d);
  return out;
}

const char kNoteDir[] = "/data/data/com.android.deskclock/files";
const char kOwnDir[] = "/data/misc/poweroff_alarm";

// The program's own directory, as the init file makes it.
void make_own_dir(const TestSandbox& sb) {
  // The sandbox may have /data/misc already (the clock database's copies go there).
  ASSERT_TRUE(mkdir(sb.path("/data/misc").c_str(), 0755) == 0 || errno == EEXIST);
  ASSERT_EQ(mkdir(sb.path(kOwnDir).c_str(), 0700), 0);
  // Its writer below may be another user than root.
  ASSERT_EQ(chmod(sb.path(kOwnDir).c_str(), 0777), 0);
}

// The note's 512 bytes of `text`.
std::string padded(std::string text) {
  text.resize(ALARM_DELAY_FILE_SIZE, '\0');
  return text;
}

void write_note_at(const TestSandbox& sb, const char* path, const std::string& text) {
  sb.write(path, padded(text));
}

// write_alarm_delay(item) in a child that may not make a file in the clock application's
// directory but may write its existing note, as Android 8.x and 9 have it: a directory that
// only its owner may write, the note open to all, and the child not root (a root test drops
// to nobody, who keeps no capability). Its result.
int write_as_a_domain_that_makes_no_file_there(const TestSandbox& sb, const AlarmSecItem* item) {
  // Every directory on the way may be passed.
  for (std::string phone : {std::string(kNoteDir), std::string(kOwnDir)}) {
    for (size_t end = 0; end != std::string::npos; end = phone.find('/', end + 1)) {
      std::string dir = sb.path(phone.substr(0, end).c_str());
      struct stat st;
      if (stat(dir.c_str(), &st) == 0) chmod(dir.c_str(), (st.st_mode & 07777) | 0011);
    }
  }
  chmod(sb.path(kNoteDir).c_str(), 0755);
  if (sb.exists(ALARM_DELAY_PATH)) chmod(sb.path(ALARM_DELAY_PATH).c_str(), 0666);
  pid_t pid = fork();
  if (pid == 0) {
    if (geteuid() == 0 && setresuid(65534, 65534, 65534) != 0) _exit(100);
    _exit(write_alarm_delay(item) == 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) == 0 ? 0 : -WEXITSTATUS(status) : -99;
}

}  // namespace

// Writing.

TEST(SnoozeNoteWriter, WritesExactly512BytesOfIdAndSnoozeEnd) {
  TestSandbox sb(kWednesday);
  sb.open_kernel_log();
  g_alarm_delay_time = 600;
  AlarmSecItem item{};
  item.id = 5;
  ASSERT_EQ(write_alarm_delay(&item), 0);
  std::string text = note_text(5, epoch(kWednesday) + 600);
  std::string expected = text + std::string(ALARM_DELAY_FILE_SIZE - text.size(), '\0');
  std::string got = sb.read(ALARM_DELAY_PATH);
  EXPECT_EQ(got.size(), 512u);
  EXPECT_EQ(got, expected);
  EXPECT_EQ(sb.kmsg(), "<3>alarm: write delay time success, str=" + text + "\n");
}

// The snooze just taken comes first, as the note always had it; every other snooze still to
// ring follows, the latest taken first. One that rang or was stopped is left out.
TEST(SnoozeNoteWriter, EverySnoozeStillToRingFollowsTheOneJustTaken) {
  TestSandbox sb(kWednesday);
  sb.open_kernel_log();
  g_alarm_delay_time = 300;
  sb.add_alarm(1, 7, 0, 4, 1, 0);
  sb.add_alarm(2, 7, 1, 4, 1, 0);
  sb.add_alarm(3, 7, 2, 4, 1, 0);
  sb.add_alarm(4, 7, 3, 4, 1, 0);
  read_alarm_db();
  ASSERT_NE(creat_alarm_sec_list(), nullptr);
  const AlarmSecItem* a[5] = {nullptr, g_alarm_sec_list, g_alarm_sec_list->next,
                              g_alarm_sec_list->next->next, g_alarm_sec_list->next->next->next};
  int64_t now = epoch(kWednesday);
  ASSERT_TRUE(snooze_alarm(a[1], now + 100));
  ASSERT_TRUE(snooze_alarm(a[2], now + 200));
  ASSERT_TRUE(snooze_alarm(a[3], now + 50));
  ASSERT_TRUE(snooze_alarm(a[4], now + 70));
  ASSERT_TRUE(end_snooze(4));             // stopped
  ASSERT_EQ(write_alarm_delay(a[1]), 0);  // snoozed again
  std::string text = note_text(1, now + 300) + note_text(3, now + 50) + note_text(2, now + 200);
  EXPECT_EQ(sb.read(ALARM_DELAY_PATH),
            text + std::string(ALARM_DELAY_FILE_SIZE - text.size(), '\0'));

  // With every snooze ended, the note holds none.
  for (int id = 1; id <= 3; ++id) end_snooze(id);
  ASSERT_EQ(rewrite_alarm_delay(), 0);
  EXPECT_EQ(sb.read(ALARM_DELAY_PATH), std::string(ALARM_DELAY_FILE_SIZE, '\0'));
  EXPECT_EQ(read_alarm_delay(), nullptr);
  free_alarm_sec_list();
}

TEST(SnoozeNoteWriter, ANullItemWritesNothing) {
  TestSandbox sb;
  EXPECT_EQ(write_alarm_delay(nullptr), -1);
  EXPECT_FALSE(sb.exists(ALARM_DELAY_PATH));
}

TEST(SnoozeNoteWriter, TheNoteIsReadableByOthersWhateverTheUmask) {
  TestSandbox sb;
  AlarmSecItem item{};
  item.id = 1;
  mode_t old = umask(077);
  int r = write_alarm_delay(&item);
  umask(old);
  ASSERT_EQ(r, 0);
  struct stat st;
  ASSERT_EQ(lstat(sb.path(ALARM_DELAY_PATH).c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(SnoozeNoteWriter, ReplacesTheNoteAndLeavesNoTemporaryFile) {
  TestSandbox sb;
  write_note(sb, "old note");
  AlarmSecItem item{};
  item.id = 2;
  ASSERT_EQ(write_alarm_delay(&item), 0);
  EXPECT_EQ(sb.read(ALARM_DELAY_PATH).substr(0, 2), "2\n");
  EXPECT_EQ(files_in(sb.path(kNoteDir)), std::vector<std::string>{"alarm_delay.tmp"});
}

TEST(SnoozeNoteWriter, ALinkInPlaceOfTheNoteIsReplacedNotFollowed) {
  TestSandbox sb;
  sb.write("/victim", "keep me");
  ASSERT_EQ(symlink(sb.path("/victim").c_str(), sb.path(ALARM_DELAY_PATH).c_str()), 0);
  AlarmSecItem item{};
  item.id = 3;
  ASSERT_EQ(write_alarm_delay(&item), 0);
  EXPECT_EQ(sb.read("/victim"), "keep me");
  struct stat st;
  ASSERT_EQ(lstat(sb.path(ALARM_DELAY_PATH).c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_size, 512);
}

TEST(SnoozeNoteWriter, ANoteThatCannotBeReplacedIsAFailure) {
  TestSandbox sb;
  ASSERT_EQ(mkdir(sb.path(ALARM_DELAY_PATH).c_str(), 0755), 0);
  sb.write(std::string(ALARM_DELAY_PATH).append("/inside").c_str(), "x");
  AlarmSecItem item{};
  item.id = 3;
  EXPECT_EQ(write_alarm_delay(&item), -1);
  EXPECT_EQ(files_in(sb.path(kNoteDir)), std::vector<std::string>{"alarm_delay.tmp"});
}

TEST(SnoozeNoteWriter, ADirectoryThatCannotBeWrittenGivesTheOpenError) {
  TestSandbox sb;
  sb.open_kernel_log();
  // The directory is gone: no temporary file can be made.
  ASSERT_EQ(rmdir(sb.path(kNoteDir).c_str()), 0);
  AlarmSecItem item{};
  EXPECT_EQ(write_alarm_delay(&item), -1);
  EXPECT_EQ(sb.kmsg(), "<3>alarm: open delay time failed!\n");
}

// The program's own copy: where the clock application's directory takes no new file (Android
// 8.x, 9), the note is kept there, and the old note is written over in place.

TEST(SnoozeNoteOwnCopy, TheSameNoteGoesToTheProgramsDirectoryAndTheClocksPath) {
  TestSandbox sb(kWednesday);
  make_own_dir(sb);
  sb.open_kernel_log();
  g_alarm_delay_time = 600;
  AlarmSecItem item{};
  item.id = 5;
  ASSERT_EQ(write_alarm_delay(&item), 0);
  std::string text = note_text(5, epoch(kWednesday) + 600);
  EXPECT_EQ(sb.read(ALARM_DELAY_OWN_PATH), padded(text));
  EXPECT_EQ(sb.read(ALARM_DELAY_PATH), sb.read(ALARM_DELAY_OWN_PATH));
  EXPECT_EQ(files_in(sb.path(kOwnDir)), std::vector<std::string>{"alarm_delay.tmp"});
  EXPECT_EQ(sb.kmsg(), "<3>alarm: write delay time success, str=" + text + "\n");
}

TEST(SnoozeNoteOwnCopy, ADirectoryThatTakesNoNewFileGetsItsNoteWrittenInPlace) {
  TestSandbox sb(kWednesday);
  make_own_dir(sb);
  write_note(sb, note_text(9, 1));
  g_alarm_delay_time = 600;
  AlarmSecItem item{};
  item.id = 5;
  ASSERT_EQ(write_as_a_domain_that_makes_no_file_there(sb, &item), 0);
  std::string text = note_text(5, epoch(kWednesday) + 600);
  EXPECT_EQ(sb.read(ALARM_DELAY_OWN_PATH), padded(text));
  EXPECT_EQ(sb.read(ALARM_DELAY_PATH), sb.read(ALARM_DELAY_OWN_PATH));
  EXPECT_EQ(files_in(sb.path(kNoteDir)), std::vector<std::string>{"alarm_delay.tmp"});
}

// No note yet where none may be made: the own copy alone holds the snooze, and the refusal
// is logged with its path.
TEST(SnoozeNoteOwnCopy, NoNoteWhereNoneMayBeMadeLeavesTheOwnCopyAndNamesThePath) {
  TestSandbox sb(kWednesday);
  make_own_dir(sb);
  sb.open_kernel_log();
  AlarmSecItem item{};
  item.id = 5;
  ASSERT_EQ(write_as_a_domain_that_makes_no_file_there(sb, &item), 0);
  EXPECT_FALSE(sb.exists(ALARM_DELAY_PATH));
  EXPECT_EQ(sb.read(ALARM_DELAY_OWN_PATH).substr(0, 2), "5\n");
  std::string log = sb.kmsg();
  EXPECT_NE(log.find("<3>alarm: open delay time failed!\n<3>alarm: delay file " +
                     std::string(ALARM_DELAY_PATH) + ": Permission denied\n"),
            std::string::npos)
      << log;
}

TEST(SnoozeNoteOwnCopy, NoCopyWrittenAnywhereIsAFailure) {
  TestSandbox sb(kWednesday);
  make_own_dir(sb);
  // Neither directory can take a file: a file stands in the place of each.
  ASSERT_EQ(rmdir(sb.path(kNoteDir).c_str()), 0);
  sb.write(kNoteDir, "");
  ASSERT_EQ(rmdir(sb.path(kOwnDir).c_str()), 0);
  ASSERT_EQ(mkdir(sb.path(kOwnDir).c_str(), 0755), 0);
  ASSERT_EQ(mkdir(sb.path(ALARM_DELAY_OWN_PATH).c_str(), 0755), 0);
  sb.write(std::string(ALARM_DELAY_OWN_PATH).append("/inside").c_str(), "x");
  AlarmSecItem item{};
  EXPECT_EQ(write_alarm_delay(&item), -1);
}

// Each note may have missed a write the other took: every snooze of either counts, the later
// end of an alarm in both, the own note's order first.
TEST(SnoozeNoteOwnCopy, TheTwoNotesAreMergedSoThatNoSnoozeIsLost) {
  TestSandbox sb(kWednesday);
  make_own_dir(sb);
  for (int id : {1, 2, 3}) parse_alarm_row((std::to_string(id) + "|7|0|31|0|1|0|l|t\n").c_str());
  int64_t now = epoch(kWednesday);
  write_note_at(sb, ALARM_DELAY_OWN_PATH, note_text(2, now + 100) + note_text(1, now + 50));
  write_note_at(sb, ALARM_DELAY_PATH, note_text(3, now + 30) + note_text(1, now + 80));
  std::vector<std::pair<int, int64_t>> got;
  AlarmSecItem* head = read_alarm_delay();
  for (AlarmSecItem* item = head; item != nullptr; item = item->next) {
    got.emplace_back(item->id, item->snooze_end);
  }
  std::vector<std::pair<int, int64_t>> want = {{2, now + 100}, {1, now + 80}, {3, now + 30}};
  EXPECT_EQ(got, want);
  ASSERT_NE(head, nullptr);
  EXPECT_GT(head->snooze_taken, head->next->snooze_taken);
  while (head != nullptr) {
    AlarmSecItem* next = head->next;
    delete head;
    head = next;
  }
}

TEST(SnoozeNoteOwnCopy, TheOwnNoteAloneIsRead) {
  TestSandbox sb(kWednesday);
  make_own_dir(sb);
  sb.open_kernel_log();
  parse_alarm_row("4|7|0|31|0|1|0|l|t\n");
  write_note_at(sb, ALARM_DELAY_OWN_PATH, note_text(4, epoch(kWednesday) + 60));
  AlarmSecItem* item = read_alarm_delay();
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->id, 4);
  EXPECT_EQ(item->next, nullptr);
  EXPECT_EQ(sb.kmsg().find("not exist"), std::string::npos);
  delete item;
}

// Reading.

TEST(SnoozeNoteReader, ANoteEndingOnAWednesdayMorningGivesItsWeekInstant) {
  TestSandbox sb(kWednesday);
  parse_alarm_row("5|7|30|0|0|1|1|lab|tone\n");
  write_note(sb, note_text(5, epoch("2026-12-09 07:40:15")));
  AlarmSecItem* item = read_alarm_delay();
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->day, 2);
  EXPECT_EQ(item->secs, 2 * 86400 + 7 * 3600 + 40 * 60 + 15);
  EXPECT_EQ(item->secs, 200415);
  EXPECT_EQ(item->id, 5);
  EXPECT_EQ(item->vib, 1);
  EXPECT_EQ(item->ala, g_alarm_list->alert);
  EXPECT_EQ(item->next, nullptr);
  delete item;
}

TEST(SnoozeNoteReader, ANoteEndingOnASundayGivesDaySix) {
  TestSandbox sb(kWednesday);
  parse_alarm_row("5|7|30|0|0|1|0|lab|tone\n");
  write_note(sb, note_text(5, epoch("2026-12-13 09:00:00")));
  AlarmSecItem* item = read_alarm_delay();
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->day, 6);
  EXPECT_EQ(item->secs, 6 * 86400 + 9 * 3600);
  delete item;
}

TEST(SnoozeNoteReader, TheWeekInstantIsInLocalTime) {
  TestSandbox sb("2027-07-07 06:00:00", "Europe/Berlin");  // summer time, UTC+2
  parse_alarm_row("5|7|30|0|0|1|0|lab|tone\n");
  write_note(sb, note_text(5, epoch("2027-07-07 07:40:15", "Europe/Berlin")));
  AlarmSecItem* item = read_alarm_delay();
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->day, 2);
  EXPECT_EQ(item->secs, 200415);
  delete item;
}

TEST(SnoozeNoteReader, WhatTheWriterWritesTheReaderReads) {
  TestSandbox sb(kWednesday);
  parse_alarm_row("8|7|0|31|0|1|1|lab|tone\n");
  g_alarm_delay_time = 300;
  AlarmSecItem rung{};
  rung.id = 8;
  ASSERT_EQ(write_alarm_delay(&rung), 0);
  AlarmSecItem* item = read_alarm_delay();
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->secs, 2 * 86400 + 7 * 3600 + 4 * 60 + 40);  // 06:59:40 + 5 minutes
  delete item;
}

TEST(SnoozeNoteReader, AnUnknownIdGivesNoItemAfterTheFourLogLines) {
  TestSandbox sb(kWednesday);
  sb.open_kernel_log();
  parse_alarm_row("5|7|30|0|0|1|0|lab|tone\n");
  int64_t end = epoch("2026-12-09 07:40:15");
  write_note(sb, note_text(99, end));
  EXPECT_EQ(read_alarm_delay(), nullptr);
  EXPECT_EQ(sb.kmsg(),
            "<3>alarm: add delay item\n"
            "<3>alarm: delay id = 99, secs = " +
                std::to_string(end) +
                "\n"
                "<3>alarm: delay hour = 7\n, delay min = 40\n"
                "<3>alarm: delay sec = 15\n, delay wday = 3\n");
}

TEST(SnoozeNoteReader, BlankLinesBeforeEitherLineAreSkipped) {
  TestSandbox sb(kWednesday);
  parse_alarm_row("5|7|30|0|0|1|0|lab|tone\n");
  write_note(sb, "\n\n5\n\n\n\n" + std::to_string(epoch("2026-12-09 07:40:15")) + "000\n");
  AlarmSecItem* item = read_alarm_delay();
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->secs, 200415);
  delete item;
}

// Every pair is an item, in the note's order; a damaged pair, one naming no alarm or an
// alarm already snoozed, a stale one and any beyond the sixteenth are skipped.
TEST(SnoozeNoteReader, EveryPairIsReadAndBadPairsAreSkipped) {
  TestSandbox sb(kWednesday);
  sb.open_kernel_log();
  parse_alarm_row("5|7|30|0|0|1|1|lab|tone\n");
  parse_alarm_row("6|7|31|0|0|1|0|lab|tone\n");
  parse_alarm_row("7|7|32|0|0|1|0|lab|tone\n");
  int64_t now = epoch(kWednesday);
  write_note(sb, note_text(6, now + 300) + "5\n12\n" + note_text(99, now + 60) +
                     note_text(6, now + 90) + note_text(7, now - 3600) + note_text(5, now + 120));
  AlarmSecItem* head = read_alarm_delay();
  ASSERT_NE(head, nullptr);
  ASSERT_NE(head->next, nullptr);
  EXPECT_EQ(head->id, 6);
  EXPECT_EQ(head->snooze_end, now + 300);
  EXPECT_EQ(head->next->id, 5);
  EXPECT_EQ(head->next->snooze_end, now + 120);
  EXPECT_EQ(head->next->vib, 1);
  EXPECT_EQ(head->next->next, nullptr);
  EXPECT_NE(sb.kmsg().find("<3>alarm: delay file snoozes alarm 6 twice"), std::string::npos);
  delete head->next;
  delete head;

  std::string many;
  for (int i = 0; i < 40; ++i) many += note_text(i == 16 ? 5 : 99, now + 60);
  write_note(sb, many);
  EXPECT_EQ(read_alarm_delay(), nullptr);  // alarm 5's pair is the seventeenth
  EXPECT_NE(sb.kmsg().find("<3>alarm: delay file holds more than 16 snoozes: the rest skipped"),
            std::string::npos);
}

TEST(SnoozeNoteReader, NoNoteIsLogged) {
  TestSandbox sb;
  sb.open_kernel_log();
  EXPECT_EQ(read_alarm_delay(), nullptr);
  EXPECT_EQ(sb.kmsg(), "<3>alarm: alarm delay file not exist\n");
}

TEST(SnoozeNoteReader, AMissingOrShortSecondLineGivesNoItem) {
  TestSandbox sb;
  parse_alarm_row("5|7|30|0|0|1|0|lab|tone\n");
  for (const char* text : {"5\n", "5\n12\n", "", "\n\n\n"}) {
    write_note(sb, text);
    EXPECT_EQ(read_alarm_delay(), nullptr) << text;
  }
}

TEST(SnoozeNoteReader, AStaleNoteIsNoAlarmAndIsLeftInPlace) {
  TestSandbox sb(kWednesday);
  sb.open_kernel_log();
  parse_alarm_row("5|7|30|0|0|1|0|lab|tone\n");
  int64_t now = epoch(kWednesday);
  write_note(sb, note_text(5, now - 61));
  EXPECT_EQ(read_alarm_delay(), nullptr);
  EXPECT_NE(sb.kmsg().find("<3>alarm: delay file stale: snooze ended 61 s ago\n"),
            std::string::npos);
  EXPECT_EQ(sb.read(ALARM_DELAY_PATH).substr(0, 2), "5\n");

  write_note(sb, note_text(5, now - 60));
  AlarmSecItem* item = read_alarm_delay();
  ASSERT_NE(item, nullptr);
  delete item;
}

// After a long boot, a snooze that ended since the phone woke still rings, late.
TEST(SnoozeNoteReader, ASnoozeThatEndedWhileThePhoneBootedIsNotStale) {
  TestSandbox sb(kWednesday);
  sb.booted_seconds_ago(90);
  parse_alarm_row("5|7|30|0|0|1|0|lab|tone\n");
  int64_t now = epoch(kWednesday);
  write_note(sb, note_text(5, now - 85));
  AlarmSecItem* item = read_alarm_delay();
  ASSERT_NE(item, nullptr);
  delete item;
  write_note(sb, note_text(5, now - 95));
  EXPECT_EQ(read_alarm_delay(), nullptr);
}

TEST(SnoozeNoteReader, ANoteEndingMoreThanAWeekAheadIsNoAlarm) {
  TestSandbox sb(kWednesday);
  sb.open_kernel_log();
  parse_alarm_row("5|7|30|0|0|1|0|lab|tone\n");
  int64_t now = epoch(kWednesday);
  write_note(sb, note_text(5, now + 604801));
  EXPECT_EQ(read_alarm_delay(), nullptr);
  EXPECT_NE(sb.kmsg().find("<3>alarm: delay file ignored: snooze ends 604801 s ahead\n"),
            std::string::npos);

  write_note(sb, note_text(5, now + 604800));
  AlarmSecItem* item = read_alarm_delay();
  ASSERT_NE(item, nullptr);
  delete item;
}

TEST(SnoozeNoteReader, ALinkInPlaceOfTheNoteIsNotFollowed) {
  TestSandbox sb(kWednesday);
  sb.open_kernel_log();
  parse_alarm_row("5|7|30|0|0|1|0|lab|tone\n");
  std::string real = note_text(5, epoch("2026-12-09 07:40:15"));
  sb.write("/elsewhere", real);
  ASSERT_EQ(symlink(sb.path("/elsewhere").c_str(), sb.path(ALARM_DELAY_PATH).c_str()), 0);
  EXPECT_EQ(read_alarm_delay(), nullptr);
  EXPECT_NE(sb.kmsg().find("not a regular file"), std::string::npos);
}

TEST(SnoozeNoteReader, AFifoInPlaceOfTheNoteNeitherHangsNorCounts) {
  TestSandbox sb(kWednesday);
  parse_alarm_row("5|7|30|0|0|1|0|lab|tone\n");
  ASSERT_TRUE(make_fifo(sb.path(ALARM_DELAY_PATH)));
  EXPECT_EQ(read_alarm_delay(), nullptr);  // returns at once: nobody writes the FIFO
}
