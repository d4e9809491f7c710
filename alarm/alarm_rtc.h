// The RTC wake-up alarm, and switching a fallen-due one-shot alarm off in the database.
#pragma once

#include <cstdint>

#include "alarm/alarm_db.h"

struct AlarmSecItem;

constexpr char RTC_ALARM_OP_PATH[] = "/sys/class/rtc/rtc0/alarm_op";
constexpr char RTC_ALARM_PARAM_PATH[] = "/sys/class/rtc/rtc0/alarm_param";
// The standard RTC interface, for an RTC driver without alarm_op: the wake-up as absolute
// epoch seconds; "0" clears it.
constexpr char RTC_WAKEALARM_PATH[] = "/sys/class/rtc/rtc0/wakealarm";
constexpr int32_t RTC_WAKE_AHEAD_SECS = 20;
// The shortest delay programmed: never a wake-up in the past.
constexpr int32_t RTC_MIN_DELAY_SECS = 1;
constexpr int RTC_READ_SIZE = 512;
// The RTC alarm must lie this far after the power-off to wake the phone for sure: set closer,
// it may fire while the kernel is still going down, and the wake-up is lost.
constexpr int32_t RTC_MIN_WAKE_LEAD_SECS = 10;
// A power-off with the next alarm nearer than this (31 s away waits, 32 s powers off) waits
// for that alarm instead: the wake-up lies RTC_WAKE_AHEAD_SECS before the alarm and must lie
// at least RTC_MIN_WAKE_LEAD_SECS after the power-off, which comes up to a second after the
// decision, and the seconds to the alarm are counted from the start of the current one.
constexpr int32_t POWEROFF_MIN_ALARM_SECS = RTC_WAKE_AHEAD_SECS + RTC_MIN_WAKE_LEAD_SECS + 2;

// Programs the wake-up `delay` seconds after the RTC's base time: 0 when written, -1 when
// alarm_op gave no base time or alarm_param could not be written. Where alarm_op cannot be
// read, the same instant, `delay` seconds after the wall clock's second, goes to wakealarm.
int32_t write_rtc_alarm(int32_t delay);
// Programs the wake-up 20 seconds before the alarm get_alarm_expire reports (1 second ahead
// when that alarm is due or less than 21 seconds away): -1 when there is none, else 0.
int32_t set_rtc_alarm();
// Switches g_cur_alarm off in the database when it is a one-shot item.
void disable_alarm();
// Switches `item` off in the database when it is a one-shot item. The update runs beside
// the alarm and never delays it; finish_alarm_updates waits for it.
void disable_alarm_item(const AlarmSecItem* item);
// Queues an update of the database; it runs beside the alarm, after those queued before it.
void queue_alarm_update(const AlarmDbUpdate& update);
// Starts the next waiting update once the one running has ended; every look at the schedule
// calls it, so the updates go on while the alarm rings.
void pump_alarm_updates();
// Updates still running get this long to finish before the program ends them.
constexpr int64_t ALARM_UPDATE_GRACE_US = 2000000;
// Waits for the database updates still running, at most ALARM_UPDATE_GRACE_US, and ends
// those that are not done by then (a sqlite3 that hangs must not keep the phone on).
void finish_alarm_updates();
// Whether an update runs or waits to run: pump_alarm_updates has work to do.
bool alarm_updates_busy();
// Tests: ends every update still running and forgets it.
void alarm_updates_reset();
