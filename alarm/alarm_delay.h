// The snooze note: the snoozed alarm's id and the end of the snooze, left for the next start.
#pragma once

#include <cstdint>

#include "alarm/alarm_schedule.h"

constexpr char ALARM_DELAY_PATH[] = "/data/data/com.android.deskclock/files/alarm_delay.tmp";
constexpr int ALARM_DELAY_FILE_SIZE = 512;
// A note whose snooze ended longer ago than this is stale: no alarm.
constexpr int64_t ALARM_DELAY_STALE_SECS = 60;
// A note whose snooze ends further ahead than this is not believed: no alarm.
constexpr int64_t ALARM_DELAY_AHEAD_LIMIT_SECS = SECONDS_PER_WEEK;

// Writes the note for `item` (its id, now + the snooze period) as a new file renamed over
// the old one: 0, or -1 when the item is null or the note could not be written.
int32_t write_alarm_delay(const AlarmSecItem* item);
// The snooze item of the note, or null: no note, not a regular file, unreadable, stale or
// too far ahead, or its id names no alarm of g_alarm_list.
AlarmSecItem* read_alarm_delay();
