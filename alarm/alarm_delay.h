// The snooze note: every pending snooze, each as its alarm's id and the end of the snooze,
// left for the next start. The first pair is the snooze taken last, as the note always was.
#pragma once

#include <cstdint>

#include "alarm/alarm_schedule.h"

constexpr char ALARM_DELAY_PATH[] = "/data/data/com.android.deskclock/files/alarm_delay.tmp";
// The same note in the program's own directory, which the init file makes: from Android 8.0
// the platform lets no other domain make a new file among the clock application's files, so
// the note can be replaced there only through this copy. Where the directory is missing (an
// older phone's init), the clock application's note is the only one.
constexpr char ALARM_DELAY_OWN_PATH[] = "/data/misc/poweroff_alarm/alarm_delay.tmp";
constexpr int ALARM_DELAY_FILE_SIZE = 512;
// A snooze that ended before the phone woke (before the first look at the schedule reaches
// back to) and longer ago than this is stale: no alarm.
constexpr int64_t ALARM_DELAY_STALE_SECS = 60;
// A note whose snooze ends further ahead than this is not believed: no alarm.
constexpr int64_t ALARM_DELAY_AHEAD_LIMIT_SECS = SECONDS_PER_WEEK;
// The most pairs a note holds; the reader skips any beyond. Each pair of "%d\n%u000\n" takes
// at most 26 bytes, so this many fit in the file with room to spare.
constexpr int ALARM_DELAY_MAX_SNOOZES = 16;
static_assert(ALARM_DELAY_MAX_SNOOZES * 26 < ALARM_DELAY_FILE_SIZE, "the pairs fit the note");

// The end of a snooze taken now: the snooze period from the current second.
int64_t alarm_delay_end_from_now();
// Writes the note for `item` (its id, now + the snooze period), then every other snooze of
// the schedule still to ring, in the program's own directory and at the clock application's
// path, each as a new file renamed over the old one; at the clock application's path, where
// no new file may be made there, over the existing note in place. 0 when a copy was written,
// -1 when the item is null or no copy could be written.
int32_t write_alarm_delay(const AlarmSecItem* item);
// The same with the snooze of `item` ending at `end` (epoch seconds).
int32_t write_alarm_delay_until(const AlarmSecItem* item, int64_t end);
// Writes the note of the schedule's snoozes still to ring alone (none: a note of no pair),
// after one of them has ended: 0, or -1 when the note could not be written.
int32_t rewrite_alarm_delay();
// The snooze items of the notes, a chain through `next` in the note's order, or null: no
// note, not a regular file, or unreadable. A pair is skipped when it is damaged, stale or too
// far ahead, beyond ALARM_DELAY_MAX_SNOOZES, names no alarm of g_alarm_list, or names an
// alarm an earlier pair already snoozed. The program's own note and the clock application's
// are merged, so that a note one of them missed loses no snooze: every alarm snoozed in
// either counts, with the later end where both hold it, the own note's order first.
AlarmSecItem* read_alarm_delay();
