// The week's alarm instants (seconds since Monday 00:00:00 local time) and the expiry
// computation that says when the next one is due.
#pragma once

#include <cstdint>

constexpr int32_t SECONDS_PER_DAY = 86400;
constexpr int32_t SECONDS_PER_WEEK = 604800;

struct AlarmSecItem {
  int32_t day;  // 0 Monday ... 6 Sunday; -1 a one-shot alarm
  int32_t vib;
  const char* ala;  // points into the record's alert text
  int32_t secs;
  int32_t id;
  AlarmSecItem* next;
};

extern AlarmSecItem* g_alarm_sec_list;
extern AlarmSecItem* g_cur_alarm;

AlarmSecItem* creat_alarm_sec_list();
int32_t check_alarm_day(int32_t time_of_day);
int32_t get_week_secs(int mode);
int32_t get_alarm_expire(AlarmSecItem** chosen);
void dump_alarm_sec_list(const AlarmSecItem* head);
void free_alarm_sec_list();
void alarm_schedule_reset();  // tests: forget the previous call's time
