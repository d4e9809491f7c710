#include "alarm/alarm_delay.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

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
