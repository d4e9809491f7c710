// The RTC wake-up alarm, and switching a fallen-due one-shot alarm off in the database.
#pragma once

#include <cstdint>

constexpr char RTC_ALARM_OP_PATH[] = "/sys/class/rtc/rtc0/alarm_op";
constexpr char RTC_ALARM_PARAM_PATH[] = "/sys/class/rtc/rtc0/alarm_param";
constexpr int32_t RTC_WAKE_AHEAD_SECS = 20;
// The shortest delay programmed: never a wake-up in the past.
constexpr int32_t RTC_MIN_DELAY_SECS = 1;
constexpr int RTC_READ_SIZE = 512;

// Programs the wake-up `delay` seconds after the RTC's base time: 0 when written, -1 when
// alarm_op gave no base time or alarm_param could not be written.
int32_t write_rtc_alarm(int32_t delay);
// Programs the wake-up 20 seconds before the alarm get_alarm_expire reports (1 second ahead
// when that alarm is due or less than 21 seconds away): -1 when there is none, else 0.
int32_t set_rtc_alarm();
// Switches g_cur_alarm off in the database when it is a one-shot item.
void disable_alarm();
