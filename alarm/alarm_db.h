// The clock application's alarms, read through the sqlite3 tool into g_alarm_list.
#pragma once

#include <cstdint>

constexpr int ALARM_TEXT_SIZE = 512;
constexpr int ALARM_LINE_SIZE = 1024;
constexpr char ALARM_DB_PATH[] = "/data/data/com.android.deskclock/databases/alarms.db";
constexpr char SQLITE_TOOL_PATH[] = "/system/xbin/sqlite3";
// Lines with fewer fields are skipped (blank lines, garbage). A row whose two texts are
// empty still has eight: the line end that follows its seventh column is a field.
constexpr int ALARM_ROW_MIN_FIELDS = 8;
// The query may take this long; a sqlite3 that has not finished by then is ended, and the
// rows it printed in full are all there is.
constexpr int64_t ALARM_DB_READ_LIMIT_US = 10 * 1000000;

struct AlarmRecord {
  int32_t id;
  int32_t hour;
  int32_t minute;
  int32_t day_mask;  // bit 0 Monday ... bit 6 Sunday; 0 rings once
  int32_t alarm_time;
  int32_t enabled;
  int32_t vibrate;
  char message[ALARM_TEXT_SIZE];
  char alert[ALARM_TEXT_SIZE];
  AlarmRecord* next;
};

extern AlarmRecord* g_alarm_list;

// Runs the query and appends one record per row: 0 when the output was read to its end,
// -1 when the command could not be started or gave no end within ALARM_DB_READ_LIMIT_US.
int32_t read_alarm_db();
// Appends the record of one output line (a line with too few fields appends nothing): 0, or
// -1 when no memory could be had.
int32_t parse_alarm_row(const char* line);
void free_alarm_list();

// The command lines of the query and of switching alarm `id` off, built from the mapped
// paths; false when a mapped path is not a plain shell word or the line does not fit.
bool alarm_db_query_command(char* out, int size);
bool alarm_db_disable_command(int32_t id, char* out, int size);
