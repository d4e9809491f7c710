// The RTC wake-up alarm, and switching a fallen-due one-shot alarm off in the database.
#pragma once

#include <cstdint>

constexpr char RTC_ALARM_OP_PATH[] = "/sys/class/rtc/rtc0/alarm_op";
constexpr char RTC_ALARM_PARAM_PATH[] = "/sys/class/rtc/rtc0/alarm_param";
constexpr int32_t RTC_WAKE_AHEAD_SECS = 20;

int32_t write_rtc_alarm(int32_t delay);
int32_t set_rtc_alarm();
void disable_alarm();
