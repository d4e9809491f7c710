#include "alarm/alarm_db.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "base/decimal_text.h"
#include "base/kernel_log.h"
#include "base/shell.h"
#include "platform/platform.h"

AlarmRecord* g_alarm_list = nullptr;

namespace {

// The columns in the table's order; a line end inside a label or ring tone is printed as a
// blank, since sqlite3's list mode would print it as it is and the rest of the text would
// read as a row of its own (an alarm nobody set). The line end is written as the blob
// literal X'0A', which every sqlite3 a phone ships understands (char() came only with
// 3.7.16; Android 4.x has 3.7.11).
constexpr char kQueryFormat[] =
    "%s %s \" select _id, hour, minutes, daysofweek, alarmtime, enabled, vibrate,"
    " replace(message, X'0A', ' '), replace(alert, X'0A', ' ') from alarms\"";
// The rollback journal stays in memory: from Android 8.0 the platform lets no other domain
// make a new file among the clock application's, so sqlite3 must not put alarms.db-journal
// beside the database (a refused journal would fail the update). sqlite3 3.7.11 knows the
// mode. The price: a power loss in the very write of the one page could leave it torn.
constexpr char kDisableFormat[] =
    "%s %s \" PRAGMA journal_mode=MEMORY; update alarms set enabled=0 where _id=%d\"";
constexpr char kSeparator = '|';
constexpr int kNumericFields = 7;

// The next field in the manner of strtok with "|": separators before it are skipped, so an
// empty column yields no field. Empty when the text is used up.
std::string_view next_field(std::string_view text, size_t* pos) {
  size_t start = text.find_first_not_of(kSeparator, *pos);
  if (start == std::string_view::npos) {
    *pos = text.size();
    return {};
  }
  size_t end = text.find(kSeparator, start);
  if (end == std::string_view::npos) end = text.size();
  *pos = end;
  return text.substr(start, end - start);
}

// Copies at most ALARM_TEXT_SIZE - 1 characters; the field's rest stays NUL.
void copy_text(char (&dst)[ALARM_TEXT_SIZE], std::string_view src) {
  size_t n = src.size() < ALARM_TEXT_SIZE - 1 ? src.size() : ALARM_TEXT_SIZE - 1;
  memset(dst, 0, sizeof dst);
  memcpy(dst, src.data(), n);
}

void append_record(AlarmRecord* record) {
  AlarmRecord** tail = &g_alarm_list;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = record;
}

bool plain_path(const char* phone_path, std::string* out) {
  *out = device_path(phone_path);
  return shell_word_is_plain(*out);
}

// Cuts the query's output into lines as fgets into a buffer of ALARM_LINE_SIZE would, and
// hands each to parse_alarm_row: a line longer than the buffer is one row, made of its first
// ALARM_LINE_SIZE - 1 characters; the rest of it is dropped.
class RowSplitter {
 public:
  void feed(const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      char c = data[i];
      if (dropping_) {
        if (c == '\n') dropping_ = false;
        continue;
      }
      line_[used_++] = c;
      if (c == '\n') {
        emit();
      } else if (used_ == sizeof line_ - 1) {
        emit();
        dropping_ = true;
      }
    }
  }
  // The last line, when the output does not end with a line end.
  void end() {
    if (used_ > 0) emit();
  }

 private:
  void emit() {
    line_[used_] = '\0';
    parse_alarm_row(line_);
    memset(line_, 0, sizeof line_);
    used_ = 0;
  }

  char line_[ALARM_LINE_SIZE] = {};
  size_t used_ = 0;
  bool dropping_ = false;
};

}  // namespace

bool alarm_db_query_command(char* out, int size) {
  std::string tool, db;
  if (!plain_path(SQLITE_TOOL_PATH, &tool) || !plain_path(ALARM_DB_PATH, &db)) return false;
  memset(out, 0, size);
  int n = snprintf(out, size, kQueryFormat, tool.c_str(), db.c_str());
  return n > 0 && n < size;
}

bool alarm_db_disable_command(int32_t id, char* out, int size) {
  std::string tool, db;
  if (!plain_path(SQLITE_TOOL_PATH, &tool) || !plain_path(ALARM_DB_PATH, &db)) return false;
  memset(out, 0, size);
  int n = snprintf(out, size, kDisableFormat, tool.c_str(), db.c_str(), id);
  return n > 0 && n < size;
}

int32_t parse_alarm_row(const char* line) {
  if (line == nullptr) return 0;
  char copy[ALARM_LINE_SIZE];
  memset(copy, 0, sizeof copy);
  strncpy(copy, line, sizeof copy - 1);
  std::string_view text(copy);

  std::string_view fields[kNumericFields + 2];
  int count = 0;
  size_t pos = 0;
  while (count < kNumericFields + 2) {
    std::string_view f = next_field(text, &pos);
    if (f.empty()) break;
    fields[count++] = f;
  }
  if (count < ALARM_ROW_MIN_FIELDS) return 0;

  AlarmRecord* record = new (std::nothrow) AlarmRecord();
  if (record == nullptr) return -1;
  record->id = decimal_low32(fields[0]);
  record->hour = decimal_low32(fields[1]);
  record->minute = decimal_low32(fields[2]);
  record->day_mask = decimal_low32(fields[3]);
  record->alarm_time = decimal_low32(fields[4]);
  record->enabled = decimal_low32(fields[5]);
  record->vibrate = decimal_low32(fields[6]);
  if (count == kNumericFields + 2) {
    copy_text(record->message, fields[7]);
    copy_text(record->alert, fields[8]);
  } else if (count == kNumericFields + 1) {
    // No ninth field: the label column was empty, so field 8 is the ring tone.
    copy_text(record->alert, fields[7]);
  }
  record->next = nullptr;
  append_record(record);
  return 0;
}

int32_t read_alarm_db() {
  char command[ALARM_LINE_SIZE];
  ShellJob query;
  if (!alarm_db_query_command(command, sizeof command) || !query.start(command)) {
    kernel_log_write(3, "<3>alarm: popen db");
    return -1;
  }
  WallTime deadline = wall_time_from_us(wall_time_us(read_clock()) + ALARM_DB_READ_LIMIT_US);
  RowSplitter rows;
  char chunk[ALARM_LINE_SIZE];
  for (;;) {
    int ready = platform().wait_readable(query.output(), deadline);
    if (ready == 0) {
      kernel_log_write(3, "<3>alarm: sqlite3 gave no end of its rows in %d s: ended\n",
                       static_cast<int>(ALARM_DB_READ_LIMIT_US / 1000000));
      query.finish(deadline);
      return -1;
    }
    ssize_t n = ready < 0 ? -1 : read(query.output(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    rows.feed(chunk, static_cast<size_t>(n));
  }
  rows.end();
  query.finish(deadline);
  return 0;
}

void free_alarm_list() {
  while (g_alarm_list != nullptr) {
    AlarmRecord* next = g_alarm_list->next;
    delete g_alarm_list;
    g_alarm_list = next;
  }
}
