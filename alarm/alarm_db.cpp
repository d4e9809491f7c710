#include "alarm/alarm_db.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "alarm/decimal_text.h"
#include "alarm/kernel_log.h"
#include "alarm/shell.h"
#include "platform/platform.h"

AlarmRecord* g_alarm_list = nullptr;

namespace {

// The columns in the table's order; a line end inside a label or ring tone is printed as a
// blank, since sqlite3's list mode would print it as it is and the rest of the text would
// read as a row of its own (an alarm nobody set).
constexpr char kQueryFormat[] =
    "%s %s \" select _id, hour, minutes, daysofweek, alarmtime, enabled, vibrate,"
    " replace(message, char(10), char(32)), replace(alert, char(10), char(32)) from alarms\"";
constexpr char kDisableFormat[] = "%s %s \" update alarms set enabled=0 where _id=%d\"";
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

// Reads the rest of a line that did not fit into the line buffer and drops it.
void discard_rest_of_line(FILE* stream) {
  int c;
  do {
    c = getc(stream);
  } while (c != EOF && c != '\n');
}

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
  pid_t pid = -1;
  FILE* out = nullptr;
  if (alarm_db_query_command(command, sizeof command)) out = shell_popen(command, &pid);
  if (out == nullptr) {
    kernel_log_write(3, "<3>alarm: popen db");
    return -1;
  }
  char line[ALARM_LINE_SIZE];
  memset(line, 0, sizeof line);
  while (fgets(line, sizeof line, out) != nullptr) {
    size_t len = strlen(line);
    bool cut = len == sizeof line - 1 && line[len - 1] != '\n';
    parse_alarm_row(line);
    // A longer line is one row: its first 1023 characters were parsed, the rest is dropped.
    if (cut) discard_rest_of_line(out);
    memset(line, 0, sizeof line);
  }
  shell_pclose(out, pid);
  return 0;
}

void free_alarm_list() {
  while (g_alarm_list != nullptr) {
    AlarmRecord* next = g_alarm_list->next;
    delete g_alarm_list;
    g_alarm_list = next;
  }
}
