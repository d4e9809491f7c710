#include "alarm/alarm_db.h"

#include <fcntl.h>
#include <sys/stat.h>
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
#include "platform/unique_fd.h"

AlarmRecord* g_alarm_list = nullptr;
AlarmInstanceRecord* g_alarm_instance_list = nullptr;
int g_alarm_db_kind = ALARM_DB_NONE;
const char* g_alarm_db_path = ALARM_DB_PATH;

namespace {

// The columns in the table's order. The two texts are printed as "#" and the hex of their
// bytes: sqlite3's list mode prints a text as it is, so a "|" in a label would shift the
// columns and a line end would make the rest of it read as a row of its own (an alarm
// nobody set). hex() and CAST are in every sqlite3 a phone ships (Android 4.x has 3.7.11).
// Each text is cut to a length at which the hex of both still fits the reader's line.
#define ALARM_HEX_TEXT(column, bytes) "'#' || hex(substr(cast(" column " as blob), 1, " #bytes "))"
// A text that may be NULL (the clock application's "default sound"): "-" then.
#define ALARM_HEX_TEXT_OR_NULL(column, bytes) \
  "case when " column " is null then '-' else " ALARM_HEX_TEXT(column, bytes) " end"
constexpr char kQueryFormat[] =
    "%s %s \" select _id, hour, minutes, daysofweek, alarmtime, enabled, vibrate, " ALARM_HEX_TEXT(
        "message", 200) ", " ALARM_HEX_TEXT("alert", 240) " from alarms\"";
// The rollback journal stays in memory: from Android 8.0 the platform lets no other domain
// make a new file among the clock application's, so sqlite3 must not put alarms.db-journal
// beside the database (a refused journal would fail the update). sqlite3 3.7.11 knows the
// mode. The price: a power loss in the very write of the one page could leave it torn.
#define ALARM_JOURNAL_IN_MEMORY "PRAGMA journal_mode=MEMORY;"
constexpr char kDisableFormat[] =
    "%s %s \" " ALARM_JOURNAL_IN_MEMORY " update alarms set enabled=0 where _id=%d\"";
// Android 4.4 and later: the templates, then the instances, each row led by its kind. Every
// number is printed (a NULL one as 0) so that no column is empty: an empty column gives no
// field.
constexpr char kClockAppQuery[] =
    " select 'T', ifnull(_id, 0), ifnull(hour, -1), ifnull(minutes, -1),"
    " ifnull(daysofweek, 0), ifnull(enabled, 0), ifnull(vibrate, 0),"
    " ifnull(delete_after_use, 0), " ALARM_HEX_TEXT("label", 200) ", "
    ALARM_HEX_TEXT_OR_NULL("ringtone", 240) " from alarm_templates;"
    " select 'I', ifnull(_id, 0), ifnull(year, 0), ifnull(month, 0), ifnull(day, 0),"
    " ifnull(hour, -1), ifnull(minutes, -1), ifnull(vibrate, 0), ifnull(alarm_state, 7),"
    " ifnull(alarm_id, -1), " ALARM_HEX_TEXT("label", 200) ", "
    ALARM_HEX_TEXT_OR_NULL("ringtone", 240) " from alarm_instances;";
#undef ALARM_HEX_TEXT_OR_NULL
#undef ALARM_HEX_TEXT
// The clock application's word for a silent alarm in the `alarms` table; from 4.4 it keeps
// an empty ring tone instead (and NULL for the default sound, which the old table kept as
// an empty text).
constexpr char kSilentRingtone[] = "silent";
constexpr char kTextCodeMark = '#';
constexpr char kTextNullMark[] = "-";
constexpr int kTemplateFields = 10;
constexpr int kInstanceFields = 12;
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
  if (n > 0) memcpy(dst, src.data(), n);  // an empty view may have no data at all
}

template <typename Record>
void append_to(Record** head, Record* record) {
  Record** tail = head;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = record;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The hex digits of a coded field, or false when it is not one.
bool coded_digits(std::string_view field, std::string_view* digits) {
  if (field.empty() || field[0] != kTextCodeMark) return false;
  std::string_view d = field.substr(1);
  if (!d.empty() && d.back() == '\n') d.remove_suffix(1);
  if (d.size() % 2 != 0) return false;
  for (char c : d) {
    if (hex_digit(c) < 0) return false;
  }
  *digits = d;
  return true;
}

// The fields of a line in the manner of strtok, at most `limit` of them.
int split_fields(std::string_view text, std::string_view* fields, int limit) {
  int count = 0;
  size_t pos = 0;
  while (count < limit) {
    std::string_view f = next_field(text, &pos);
    if (f.empty()) break;
    fields[count++] = f;
  }
  return count;
}

// The ring tone of a 4.4+ row in the words of the `alarms` table.
void ringtone_text(std::string_view field, char (&out)[ALARM_TEXT_SIZE]) {
  bool is_null = false;
  alarm_text_field(field, out, &is_null);
  bool ends_line = out[0] == '\n' && out[1] == '\0';
  if (is_null || (out[0] != '\0' && !ends_line)) return;
  copy_text(out, kSilentRingtone);
  if (ends_line) out[sizeof kSilentRingtone - 1] = '\n';
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
  explicit RowSplitter(int32_t (*parse)(const char*)) : parse_(parse) {}
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
    parse_(line_);
    memset(line_, 0, sizeof line_);
    used_ = 0;
  }

  int32_t (*parse_)(const char*);
  char line_[ALARM_LINE_SIZE] = {};
  size_t used_ = 0;
  bool dropping_ = false;
};

// Copies `from` to `to` (created with mode 0600, replaced when there); false when either
// cannot be opened or a read or write fails.
bool copy_file(const std::string& from, const std::string& to) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = out >= 0;
  char buf[8192];
  while (ok) {
    ssize_t n = read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < n;) {
      ssize_t w = write(out, buf + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      ok = w > 0;
      if (ok) done += w;
    }
  }
  if (out >= 0 && close(out) != 0) ok = false;
  close(in);
  return ok;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool has_write_ahead_log(const std::string& db) {
  struct stat st;
  return stat((db + "-wal").c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

// The database file's header says which journal it keeps: its read and write format bytes
// (offsets 18 and 19) are 2 in write-ahead-log mode.
bool in_write_ahead_log_mode(const std::string& db) {
  constexpr size_t kFormatOffset = 18;
  unsigned char header[kFormatOffset + 2];
  UniqueFd fd(open(db.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  ssize_t n = pread(fd.get(), header, sizeof header, 0);
  return n == static_cast<ssize_t>(sizeof header) && header[kFormatOffset] == 2 &&
         header[kFormatOffset + 1] == 2;
}

constexpr const char* kSqliteSideFiles[] = {"-wal", "-shm", "-journal"};

// A copy of a database and its write-ahead log, read in the program's own directory: reading
// the log in place needs its index file (-shm) beside the database, and sqlite3 makes one
// when it is missing, a file of the program's in the clock application's directory. The
// copy goes when its owner does.
class DatabaseCopy {
 public:
  ~DatabaseCopy() { remove_all(); }
  // The copy's path, or empty when it could not be made.
  std::string make(const std::string& db) {
    std::string dir = device_path(ALARM_WORK_DIR);
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
    path_ = dir + "/alarms-read.db";
    remove_all();
    if (!copy_file(db, path_) || !copy_file(db + "-wal", path_ + "-wal")) {
      remove_all();
      path_.clear();
    }
    return path_;
  }

 private:
  void remove_all() {
    if (path_.empty()) return;
    unlink(path_.c_str());
    for (const char* side : kSqliteSideFiles) unlink((path_ + side).c_str());
  }
  std::string path_;
};

constexpr int32_t kQueryTimedOut = -2;

// Runs one query and hands its rows to `parse`: 0 when its output was read to its end, -1
// when it could not be started, kQueryTimedOut when it gave no end by `deadline` (the rows
// it printed in full are kept).
int32_t run_query(const char* command, const WallTime& deadline, int32_t (*parse)(const char*)) {
  ShellJob query;
  if (!query.start(command)) return -1;
  RowSplitter rows(parse);
  char chunk[ALARM_LINE_SIZE];
  for (;;) {
    int ready = platform().wait_readable(query.output(), deadline);
    if (ready == 0) {
      kernel_log_write(3, "<3>alarm: sqlite3 gave no end of its rows in %d s: ended\n",
                       static_cast<int>(ALARM_DB_READ_LIMIT_US / 1000000));
      query.finish(deadline);
      return kQueryTimedOut;
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

bool legacy_query_command(const std::string& db, char* out, int size) {
  std::string tool;
  if (!plain_path(SQLITE_TOOL_PATH, &tool) || !shell_word_is_plain(db)) return false;
  memset(out, 0, size);
  int n = snprintf(out, size, kQueryFormat, tool.c_str(), db.c_str());
  return n > 0 && n < size;
}

// The 4.4+ tables of the database at `phone_path`; true when they held any row.
bool read_clock_app_tables(const char* phone_path, const WallTime& deadline) {
  std::string db = device_path(phone_path);
  if (!file_exists(db)) return false;
  DatabaseCopy copy;
  std::string read_path = db;
  if (has_write_ahead_log(db)) {
    read_path = copy.make(db);
    if (read_path.empty()) {
      kernel_log_write(3, "<3>alarm: cannot copy %s and its log: read in place\n", phone_path);
      read_path = db;
    }
  }
  std::string tool = device_path(SQLITE_TOOL_PATH);
  if (!shell_word_is_plain(tool) || !shell_word_is_plain(read_path)) return false;
  std::string command = tool + " " + read_path + " \"" + kClockAppQuery + "\"";
  run_query(command.c_str(), deadline, parse_clock_app_row);
  if (g_alarm_list == nullptr && g_alarm_instance_list == nullptr) return false;
  g_alarm_db_kind = ALARM_DB_INSTANCES;
  g_alarm_db_path = phone_path;
  kernel_log_write(6, "<6>alarm: alarms from alarm_templates and alarm_instances of %s\n",
                   phone_path);
  return true;
}

// What an instance's update does to its template.
std::string template_sql(const AlarmDbUpdate& u) {
  char sql[128] = "";
  switch (u.template_action) {
    case AlarmDbUpdate::kKeep:
      break;
    case AlarmDbUpdate::kSwitchOffTemplate:
    case AlarmDbUpdate::kSwitchOnTemplate:
      snprintf(sql, sizeof sql, " update alarm_templates set enabled=%d where _id=%d;",
               u.template_action == AlarmDbUpdate::kSwitchOnTemplate ? 1 : 0, u.alarm_id);
      break;
    case AlarmDbUpdate::kDeleteTemplate:
      snprintf(sql, sizeof sql, " delete from alarm_templates where _id=%d;", u.alarm_id);
      break;
  }
  return sql;
}

}  // namespace

void alarm_text_field(std::string_view field, char (&out)[ALARM_TEXT_SIZE], bool* is_null) {
  if (is_null != nullptr) *is_null = false;
  std::string_view digits;
  if (!coded_digits(field, &digits)) {
    if (is_null != nullptr && (field == kTextNullMark || field == "-\n")) {
      *is_null = true;
      field = {};
    }
    copy_text(out, field);
    return;
  }
  memset(out, 0, sizeof out);
  size_t n = 0;
  for (size_t i = 0; i + 1 < digits.size() && n < ALARM_TEXT_SIZE - 1; i += 2) {
    char c = static_cast<char>(hex_digit(digits[i]) * 16 + hex_digit(digits[i + 1]));
    if (c == '\0') break;
    // A line end inside a text reads as a blank, as it always has.
    out[n++] = c == '\n' ? ' ' : c;
  }
  // The line end that ends the row stays part of its last field, as with a plain text.
  if (field.back() == '\n' && n < ALARM_TEXT_SIZE - 1) out[n] = '\n';
}

const char* alarm_db_clock_app_sql() {
  return kClockAppQuery;
}

bool alarm_db_query_command(char* out, int size) {
  return legacy_query_command(device_path(ALARM_DB_PATH), out, size);
}

bool alarm_db_disable_command(int32_t id, char* out, int size) {
  std::string command;
  AlarmDbUpdate update;
  update.alarm_id = id;
  if (!alarm_db_update_command(update, &command) || command.size() >= static_cast<size_t>(size)) {
    return false;
  }
  memset(out, 0, size);
  memcpy(out, command.data(), command.size());
  return true;
}

bool alarm_db_update_command(const AlarmDbUpdate& u, std::string* out) {
  std::string tool, db;
  if (!plain_path(SQLITE_TOOL_PATH, &tool) || !plain_path(g_alarm_db_path, &db)) return false;
  char sql[ALARM_LINE_SIZE];
  int n = -1;
  switch (u.kind) {
    case AlarmDbUpdate::kSwitchOff: {
      char line[ALARM_LINE_SIZE];
      n = snprintf(line, sizeof line, kDisableFormat, tool.c_str(), db.c_str(), u.alarm_id);
      if (n <= 0 || n >= static_cast<int>(sizeof line)) return false;
      *out = line;
      return true;
    }
    case AlarmDbUpdate::kDismissInstance: {
      // As the clock application's dismiss leaves it: the instance done (the application
      // deletes a dismissed instance when it next starts, and makes a repeating alarm's next
      // one), a one-shot alarm switched off, or removed when it was to be deleted after use.
      n = snprintf(sql, sizeof sql, " update alarm_instances set alarm_state=%d where _id=%d;%s",
                   INSTANCE_STATE_DISMISSED, u.instance_id, template_sql(u).c_str());
      break;
    }
    case AlarmDbUpdate::kSnoozeInstance:
      // The application keeps a snoozed instance at its snooze's end, to the minute.
      n = snprintf(sql, sizeof sql,
                   " update alarm_instances set alarm_state=%d, year=%d, month=%d, day=%d,"
                   " hour=%d, minutes=%d where _id=%d;%s",
                   INSTANCE_STATE_SNOOZED, u.year, u.month, u.day, u.hour, u.minute, u.instance_id,
                   template_sql(u).c_str());
      break;
  }
  if (n <= 0 || n >= static_cast<int>(sizeof sql)) return false;
  // A database in write-ahead-log mode writes into its existing -wal file and keeps that
  // mode: the pragma would switch the clock application's database out of it.
  const char* journal =
      in_write_ahead_log_mode(device_path(g_alarm_db_path)) ? "" : ALARM_JOURNAL_IN_MEMORY;
  *out = tool + " " + db + " \"" + journal + sql + "\"";
  return true;
}

int32_t parse_alarm_row(const char* line) {
  if (line == nullptr) return 0;
  char copy[ALARM_LINE_SIZE];
  memset(copy, 0, sizeof copy);
  strncpy(copy, line, sizeof copy - 1);
  std::string_view text(copy);

  std::string_view fields[kNumericFields + 2];
  int count = split_fields(text, fields, kNumericFields + 2);
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
    alarm_text_field(fields[7], record->message, nullptr);
    alarm_text_field(fields[8], record->alert, nullptr);
  } else if (count == kNumericFields + 1) {
    // No ninth field: the label column was empty, so field 8 is the ring tone.
    alarm_text_field(fields[7], record->alert, nullptr);
  }
  record->next = nullptr;
  append_to(&g_alarm_list, record);
  return 0;
}

int32_t parse_clock_app_row(const char* line) {
  if (line == nullptr) return 0;
  char copy[ALARM_LINE_SIZE];
  memset(copy, 0, sizeof copy);
  strncpy(copy, line, sizeof copy - 1);
  std::string_view fields[kInstanceFields];
  int count = split_fields(copy, fields, kInstanceFields);
  if (count == kTemplateFields && fields[0] == "T") {
    AlarmRecord* r = new (std::nothrow) AlarmRecord();
    if (r == nullptr) return -1;
    r->id = decimal_low32(fields[1]);
    r->hour = decimal_low32(fields[2]);
    r->minute = decimal_low32(fields[3]);
    r->day_mask = decimal_low32(fields[4]);
    r->enabled = decimal_low32(fields[5]);
    r->vibrate = decimal_low32(fields[6]);
    r->delete_after_use = decimal_low32(fields[7]);
    alarm_text_field(fields[8], r->message, nullptr);
    ringtone_text(fields[9], r->alert);
    r->next = nullptr;
    append_to(&g_alarm_list, r);
  } else if (count == kInstanceFields && fields[0] == "I") {
    AlarmInstanceRecord* r = new (std::nothrow) AlarmInstanceRecord();
    if (r == nullptr) return -1;
    int32_t* numbers[] = {&r->id,     &r->year,    &r->month, &r->day,     &r->hour,
                          &r->minute, &r->vibrate, &r->state, &r->alarm_id};
    for (size_t i = 0; i < sizeof numbers / sizeof numbers[0]; ++i) {
      *numbers[i] = decimal_low32(fields[i + 1]);
    }
    alarm_text_field(fields[10], r->message, nullptr);
    ringtone_text(fields[11], r->alert);
    r->next = nullptr;
    append_to(&g_alarm_instance_list, r);
  }
  return 0;
}

int32_t read_alarm_db() {
  g_alarm_db_kind = ALARM_DB_NONE;
  g_alarm_db_path = ALARM_DB_PATH;
  WallTime deadline = wall_time_from_us(wall_time_us(read_clock()) + ALARM_DB_READ_LIMIT_US);
  std::string old_db = device_path(ALARM_DB_PATH);
  std::string tool;
  if (!plain_path(SQLITE_TOOL_PATH, &tool) || !shell_word_is_plain(old_db)) {
    kernel_log_write(3, "<3>alarm: popen db");
    return -1;
  }
  // sqlite3 makes an empty database where there is none: ask only one that is there.
  if (file_exists(old_db)) {
    char command[ALARM_LINE_SIZE];
    DatabaseCopy copy;
    std::string read_path = has_write_ahead_log(old_db) ? copy.make(old_db) : old_db;
    if (read_path.empty()) read_path = old_db;
    int32_t ran = legacy_query_command(read_path, command, sizeof command)
                      ? run_query(command, deadline, parse_alarm_row)
                      : -1;
    if (ran == -1) {
      kernel_log_write(3, "<3>alarm: popen db");
      return -1;
    }
    if (g_alarm_list != nullptr) {
      g_alarm_db_kind = ALARM_DB_ALARMS;
      return ran == 0 ? 0 : -1;
    }
    if (ran != 0) return -1;
  }
  // Android 4.4 and later: the device-protected database first (7.0 and later move it
  // there), then the old place.
  if (read_clock_app_tables(ALARM_DB_DE_PATH, deadline)) return 0;
  read_clock_app_tables(ALARM_DB_PATH, deadline);
  return 0;
}

void free_alarm_list() {
  g_alarm_db_kind = ALARM_DB_NONE;
  g_alarm_db_path = ALARM_DB_PATH;
  while (g_alarm_list != nullptr) {
    AlarmRecord* next = g_alarm_list->next;
    delete g_alarm_list;
    g_alarm_list = next;
  }
  while (g_alarm_instance_list != nullptr) {
    AlarmInstanceRecord* next = g_alarm_instance_list->next;
    delete g_alarm_instance_list;
    g_alarm_instance_list = next;
  }
}
