// The clock application's alarms, read through the sqlite3 tool into g_alarm_list.
#pragma once

#include <cstdint>

constexpr int ALARM_TEXT_SIZE = 512;
constexpr int ALARM_LINE_SIZE = 1024;
constexpr char ALARM_DB_PATH[] = "/data/data/com.android.deskclock/databases/alarms.db";
constexpr char SQLITE_TOOL_PATH[] = "/system/xbin/sqlite3";

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

int32_t read_alarm_db();
int32_t parse_alarm_row(const char* line);
void free_alarm_list();
