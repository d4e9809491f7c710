// The week's alarm instants (seconds since Monday 00:00:00 local time) and the expiry
// computation that says when the next one is due.
#pragma once

#include <cstdint>

constexpr int32_t SECONDS_PER_DAY = 86400;
constexpr int32_t SECONDS_PER_WEEK = 604800;
// The first get_alarm_expire of a run looks back to the moment the phone was switched on:
// the alarm it was woken for may have come while it booted, and an instant before the wake
// belongs to the run that powered the phone off. It looks no further back than this; an
// older instant is logged as missed.
constexpr int32_t ALARM_WAKE_LOOK_BACK_LIMIT_SECS = 600;
// How far the first call looks back where the platform has no boot clock.
constexpr int32_t ALARM_FIRST_LOOK_BACK_SECS = 60;

struct AlarmSecItem {
  int32_t day;  // 0 Monday ... 6 Sunday; -1 a one-shot alarm
  int32_t vib;
  const char* ala;  // points into the record's alert text
  int32_t secs;
  int32_t id;
  AlarmSecItem* next;
  // A one-shot item: the epoch second in which get_alarm_expire first reported it due, 0
  // before. From the next second on the item takes no further part (it is switched off).
  int64_t one_shot_due_sec = 0;
  // A snooze item: the epoch second in which the snooze ends, one instant rather than a
  // weekly one (`day` and `secs` say where it lies in the week); 0 for the records' items.
  int64_t snooze_end = 0;
  // The snooze rang or its alarm was stopped: the item takes no further part.
  bool snooze_over = false;
  // When the snooze was taken, as an order (the higher the later): the note lists the
  // latest first.
  int64_t snooze_taken = 0;
  // A firing on an exact local date (an instance of the clock application of Android 4.4
  // and later): the epoch second it rings, one instant rather than a weekly one (`day` and
  // `secs` say where it lies in the week); 0 for weekly items.
  int64_t instant = 0;
  // The instance the item stands for (0: none), where the answer to its ring is written.
  int32_t instance_id = 0;
  // A weekly item of a 4.4+ template: only its occurrences after this epoch second count;
  // those up to it are the template's current instance's. 0: every occurrence counts.
  int64_t not_before = 0;
};

extern AlarmSecItem* g_alarm_sec_list;
extern AlarmSecItem* g_cur_alarm;

AlarmSecItem* creat_alarm_sec_list();
// The weekday (0 Monday ... 6 Sunday) of a one-shot alarm at `time_of_day`: the day of its
// most recent occurrence when that lies inside the first call's look-back (it is due), else
// today when it is still ahead, else tomorrow.
int32_t check_alarm_day(int32_t time_of_day);
int32_t get_week_secs(int mode);
// Seconds until the due alarm: 0 due now (the item goes to *chosen and g_cur_alarm; a
// one-shot one is switched off in the database), a positive number of seconds to wait for
// g_cur_alarm (*chosen null), or -1 when no item takes part (*chosen and g_cur_alarm null).
int32_t get_alarm_expire(AlarmSecItem** chosen);
void dump_alarm_sec_list(const AlarmSecItem* head);
void free_alarm_sec_list();
void alarm_schedule_reset();  // tests: forget the previous call's time

// Where the first call of a run starts looking (epoch seconds; an instant is due when it lies
// after it): the second before the phone woke, at most ALARM_WAKE_LOOK_BACK_LIMIT_SECS back,
// or ALARM_FIRST_LOOK_BACK_SECS back without a boot clock. Fixed by the first call of a run.
int64_t first_look_back_start(int64_t now);

// The expiry of a list at one moment, without side effects (get_alarm_expire adds the
// program's state: the previous call's time, the database update, g_cur_alarm).
struct AlarmExpiry {
  AlarmSecItem* item = nullptr;  // null: no item takes part
  bool due = false;              // an occurrence of `item` lies in (since, now]
  int32_t secs = -1;             // 0 when due, else real seconds to its next occurrence
};
// `since` is the previous look at the clock (epoch seconds); an item is due when one of its
// weekly occurrences lies in (min(since, now - 1), now]. Local time decides where an item
// lies; the seconds to wait are real seconds, across a change of daylight-saving time too.
AlarmExpiry find_alarm_expiry(AlarmSecItem* head, int64_t now, int64_t since);
// Seconds since Monday 00:00:00 local time of an epoch second.
int32_t week_secs_at(int64_t epoch_sec);
// The epoch second of local `hour`:`minute`:00 on the date `year`-`month` (0 January)-`day`;
// -1 for a date or time out of range. A time the clock skips comes out an hour off.
int64_t local_instant(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute);

// Snoozes. Each alarm has at most one snooze item, kept in g_alarm_sec_list behind the
// records' items; it counts like any other instant until it rings or its alarm is stopped.
//
// A new snooze item of the alarm `id` ending at `end` (epoch seconds), not in any list; null
// when memory runs out.
AlarmSecItem* new_snooze_item(int32_t id, int32_t vib, const char* ala, int64_t end);
inline bool is_snooze_item(const AlarmSecItem* item) {
  return item->snooze_end != 0;
}
// The snooze of alarm `id` that has still to ring, or null.
AlarmSecItem* pending_snooze(int32_t id);
// The snooze of `alarm`'s alarm ends at `end` from now on, in place of any it had. False
// when there is no alarm or no memory for its item.
bool snooze_alarm(const AlarmSecItem* alarm, int64_t end);
// The snooze of alarm `id`, if it has one still to ring, takes no further part: it rang, or
// the alarm was stopped. True when there was one.
bool end_snooze(int32_t id);
