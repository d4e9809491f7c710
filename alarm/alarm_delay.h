// The snooze note: the snoozed alarm's id and the end of the snooze, left for the next start.
#pragma once

#include <cstdint>

#include "alarm/alarm_schedule.h"

constexpr char ALARM_DELAY_PATH[] = "/data/data/com.android.deskclock/files/alarm_delay.tmp";
constexpr int ALARM_DELAY_FILE_SIZE = 512;

int32_t write_alarm_delay(const AlarmSecItem* item);
AlarmSecItem* read_alarm_delay();
