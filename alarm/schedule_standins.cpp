// Stand-ins until the schedule modules land: an empty schedule.
#include "alarm/alarm_db.h"
#include "alarm/alarm_delay.h"
#include "alarm/alarm_flag.h"
#include "alarm/alarm_rtc.h"
#include "alarm/alarm_schedule.h"

AlarmRecord* g_alarm_list = nullptr;
const char* g_alarm_ring_path = DEFAULT_RING_PATH;
int32_t g_alarm_last_time = 0;
int32_t g_alarm_delay_time = 0;
AlarmSecItem* g_alarm_sec_list = nullptr;
AlarmSecItem* g_cur_alarm = nullptr;

int32_t read_alarm_db() { return 0; }
int32_t parse_alarm_row(const char*) { return 0; }
void free_alarm_list() {}
const char* read_alarm_flag() { return nullptr; }
void alarm_flag_reset() {}
AlarmSecItem* creat_alarm_sec_list() { return nullptr; }
int32_t check_alarm_day(int32_t) { return 0; }
int32_t get_week_secs(int) { return -1; }
int32_t get_alarm_expire(AlarmSecItem** chosen) {
  if (chosen) *chosen = nullptr;
  return -1;
}
void dump_alarm_sec_list(const AlarmSecItem*) {}
void free_alarm_sec_list() {}
void alarm_schedule_reset() {}
int32_t write_alarm_delay(const AlarmSecItem*) { return -1; }
AlarmSecItem* read_alarm_delay() { return nullptr; }
int32_t write_rtc_alarm(int32_t) { return -1; }
int32_t set_rtc_alarm() { return -1; }
void disable_alarm() {}
