#include "alarm/alarm_schedule.h"

#include <ctime>
#include <limits>
#include <new>
#include <optional>

#include "alarm/alarm_db.h"
#include "alarm/alarm_delay.h"
#include "alarm/alarm_rtc.h"
#include "base/kernel_log.h"
#include "platform/platform.h"

AlarmSecItem* g_alarm_sec_list = nullptr;
AlarmSecItem* g_cur_alarm = nullptr;

namespace {

constexpr int kDaysPerWeek = 7;
constexpr int kRepeatDayBits = 7;  // bit 0 Monday ... bit 6 Sunday
constexpr int kEmptyRecordListLine = 772;
// How far ahead a template's next occurrence is looked for behind its instance.
constexpr int kMaxWeeksAhead = 520;

// The wall clock of `epoch_sec` as the phone shows it: where it lies in the week, and its
// offset from UTC (so that two moments can be compared in local time).
struct LocalClock {
  int32_t week_secs = 0;
  int64_t utc_offset = 0;
  int64_t local_secs(int64_t epoch_sec) const { return epoch_sec + utc_offset; }
};

LocalClock local_clock(int64_t epoch_sec) {
  struct tm tm = {};
  time_t t = static_cast<time_t>(epoch_sec);
  if (platform().local_time(t, &tm) != 0 && gmtime_r(&t, &tm) == nullptr) return {};
  int day_index = tm.tm_wday == 0 ? 6 : tm.tm_wday - 1;
  int second = tm.tm_sec > 59 ? 59 : tm.tm_sec;  // a leap second counts as the one before
  LocalClock c;
  c.week_secs = day_index * SECONDS_PER_DAY + tm.tm_hour * 3600 + tm.tm_min * 60 + second;
  c.utc_offset = tm.tm_gmtoff;
  return c;
}

int32_t mod_week(int64_t secs) {
  int64_t r = secs % SECONDS_PER_WEEK;
  return static_cast<int32_t>(r < 0 ? r + SECONDS_PER_WEEK : r);
}

// Real seconds from `now` until the wall clock first shows the moment `local_distance`
// seconds of wall-clock time ahead. They differ when daylight-saving time begins or ends in
// between; a moment that the clock skips (spring forward) comes when the clock jumps over it.
int64_t real_seconds_until(int64_t now, const LocalClock& now_clock, int64_t local_distance) {
  int64_t guess = now + local_distance;
  int64_t guess_offset = local_clock(guess).utc_offset;
  if (guess_offset == now_clock.utc_offset) return local_distance;
  int64_t shifted = guess - (guess_offset - now_clock.utc_offset);
  int64_t shifted_offset = local_clock(shifted).utc_offset;
  if (shifted_offset == guess_offset) return shifted > now ? shifted - now : 1;
  // Skipped wall-clock time: find the change of offset between the two guesses.
  int64_t before = shifted < guess ? shifted : guess;
  int64_t after = shifted < guess ? guess : shifted;
  int64_t after_offset = local_clock(after).utc_offset;
  if (before < now) before = now;
  while (after - before > 1) {
    int64_t mid = before + (after - before) / 2;
    if (local_clock(mid).utc_offset == after_offset) {
      after = mid;
    } else {
      before = mid;
    }
  }
  return after > now ? after - now : 1;
}

// Seconds of wall-clock time that the window (since, now] spans: an instant that the clock
// skips forward over is due, and when the clock is set back only the current second is.
int64_t local_look_back(const LocalClock& now_clock, int64_t now, int64_t since) {
  int64_t window_start = since < now - 1 ? since : now - 1;
  int64_t look_back =
      now_clock.local_secs(now) - local_clock(window_start).local_secs(window_start);
  return look_back < 1 ? 1 : look_back;
}

// Seconds since the most recent weekly occurrence of `item` (0 in its own second).
int32_t seconds_since_occurrence(const AlarmSecItem* item, const LocalClock& now_clock) {
  return mod_week(static_cast<int64_t>(now_clock.week_secs) - item->secs);
}

// The epoch second of a dated item: a snooze's end or an instance's firing.
int64_t dated_instant(const AlarmSecItem* item) {
  return is_snooze_item(item) ? item->snooze_end : item->instant;
}

// Whether an occurrence of `item` at the local seconds `local` (epoch seconds plus the UTC
// offset) counts: a template's occurrences count only after its instance's firing.
bool counts_after(const AlarmSecItem* item, int64_t local) {
  if (item->not_before == 0) return true;
  return local > local_clock(item->not_before).local_secs(item->not_before);
}

bool passed_over(const AlarmSecItem* item, int64_t now) {
  return item->day == -1 && item->one_shot_due_sec != 0 && item->one_shot_due_sec != now;
}

// Appends at the tail of g_alarm_sec_list; `tail` follows the last item.
void append_item(AlarmSecItem*** tail, AlarmSecItem* item) {
  item->next = nullptr;
  **tail = item;
  *tail = &item->next;
}

AlarmSecItem* new_item(const AlarmRecord* r, int32_t day, int32_t secs) {
  AlarmSecItem* item = new (std::nothrow) AlarmSecItem();
  if (item == nullptr) return nullptr;
  item->day = day;
  item->vib = r->vibrate;
  item->ala = r->alert;
  item->secs = secs;
  item->id = r->id;
  item->next = nullptr;
  return item;
}

// Where a snooze ending at `end` lies in the week; an end of 0 would not mark a snooze.
void set_snooze_end(AlarmSecItem* item, int64_t end) {
  item->snooze_end = end != 0 ? end : -1;
  item->secs = local_clock(end).week_secs;
  item->day = item->secs / SECONDS_PER_DAY;
}

// Orders the snoozes taken in this run (the note's start at or below 0).
int64_t g_snooze_sequence = 0;

// The previous call's time (epoch seconds); none before the first call of a run.
std::optional<int64_t> g_last_expire_check;
// Where the run's first call looks back to; fixed when first asked for.
std::optional<int64_t> g_first_look_back_start;
// The wake lay further back than the look-back reaches: instants in between are missed.
std::optional<int64_t> g_missed_since;

// Logs every item whose most recent occurrence lies between the wake and the start of the
// look-back: the phone booted too long to ring it.
void log_missed(AlarmSecItem* head, int64_t now) {
  if (!g_missed_since) return;
  LocalClock now_clock = local_clock(now);
  int64_t from = local_look_back(now_clock, now, *g_missed_since);
  int64_t to = local_look_back(now_clock, now, *g_first_look_back_start);
  for (const AlarmSecItem* item = head; item != nullptr; item = item->next) {
    // A dated item happened once, at its instant; a template's occurrence only after its
    // instance.
    bool dated = is_snooze_item(item) || item->instant != 0;
    int64_t back = dated ? now - dated_instant(item) : seconds_since_occurrence(item, now_clock);
    if (!dated && !counts_after(item, now_clock.local_secs(now) - back)) continue;
    if (back >= to && back < from) {
      kernel_log_write(3, "<3>alarm: alarm %d missed: due %d s ago, before the phone was up\n",
                       item->id, static_cast<int>(back));
    }
  }
  g_missed_since.reset();
}

// The snooze note's snoozes, behind the records' items, then the list is logged.
AlarmSecItem* finish_list(AlarmSecItem** tail, AlarmSecItem* snoozes) {
  for (AlarmSecItem* snooze = snoozes; snooze != nullptr;) {
    AlarmSecItem* after = snooze->next;
    append_item(&tail, snooze);
    snooze = after;
  }
  dump_alarm_sec_list(g_alarm_sec_list);
  return g_alarm_sec_list;
}

AlarmSecItem* free_chain(AlarmSecItem* head) {
  while (head != nullptr) {
    AlarmSecItem* next = head->next;
    delete head;
    head = next;
  }
  return nullptr;
}

const AlarmRecord* find_template(int32_t id) {
  for (const AlarmRecord* r = g_alarm_list; r != nullptr; r = r->next) {
    if (r->id == id) return r;
  }
  return nullptr;
}

int64_t instance_instant(const AlarmInstanceRecord* r) {
  return local_instant(r->year, r->month, r->day, r->hour, r->minute);
}

// The note's snooze of alarm `id` that ends in the minute starting at `instant`: the
// clock application keeps a snoozed instance at its snooze's end to the minute.
AlarmSecItem* note_snooze_in_minute(AlarmSecItem* snoozes, int32_t id, int64_t instant) {
  for (AlarmSecItem* s = snoozes; s != nullptr; s = s->next) {
    if (s->id == id && s->snooze_end >= instant && s->snooze_end < instant + 60) return s;
  }
  return nullptr;
}

// Android 4.4 and later: what the clock application will ring. Each instance still to ring
// at its own date and time; each enabled repeating template on its days after its latest
// instance, since the application makes the next instance only once the current one has
// rung (a phone kept off for days rings every one of them).
AlarmSecItem* creat_clock_app_list(AlarmSecItem** tail) {
  AlarmSecItem* snoozes = read_alarm_delay();
  bool made_any = false;
  for (const AlarmInstanceRecord* r = g_alarm_instance_list; r != nullptr; r = r->next) {
    if (r->state < 0 || r->state > INSTANCE_STATE_LAST_PENDING) continue;
    int64_t at = instance_instant(r);
    if (at < 0) {
      kernel_log_write(3, "<3>alarm: instance %d has no date: %d-%d-%d %d:%d\n", r->id, r->year,
                       r->month + 1, r->day, r->hour, r->minute);
      continue;
    }
    // The snooze the note holds is that same snooze, to the second: it rings once.
    AlarmSecItem* snooze = note_snooze_in_minute(snoozes, r->alarm_id, at);
    if (r->state == INSTANCE_STATE_SNOOZED && snooze != nullptr) {
      snooze->instance_id = r->id;
      continue;
    }
    AlarmSecItem* item = new (std::nothrow) AlarmSecItem();
    if (item == nullptr) return free_chain(snoozes);
    item->vib = r->vibrate;
    item->ala = r->alert;
    item->id = r->alarm_id;
    item->instance_id = r->id;
    item->instant = at;
    item->secs = local_clock(at).week_secs;
    item->day = item->secs / SECONDS_PER_DAY;
    append_item(&tail, item);
    made_any = true;
  }
  for (const AlarmRecord* t = g_alarm_list; t != nullptr; t = t->next) {
    if (t->enabled == 0 || (t->day_mask & 0x7f) == 0) continue;
    if (t->hour < 0 || t->hour > 23 || t->minute < 0 || t->minute > 59) continue;
    int64_t latest = 0;
    for (const AlarmInstanceRecord* r = g_alarm_instance_list; r != nullptr; r = r->next) {
      int64_t at = r->alarm_id == t->id ? instance_instant(r) : -1;
      if (at > latest) latest = at;
    }
    for (int bit = 0; bit < kRepeatDayBits; ++bit) {
      if ((t->day_mask & (1 << bit)) == 0) continue;
      AlarmSecItem* item =
          new_item(t, bit, bit * SECONDS_PER_DAY + t->hour * 3600 + t->minute * 60);
      if (item == nullptr) return free_chain(snoozes);
      item->not_before = latest;
      append_item(&tail, item);
      made_any = true;
    }
  }
  if (!made_any && snoozes == nullptr) return nullptr;
  return finish_list(tail, snoozes);
}

// The answer to a rung instance: dismissed, and its template switched off or removed when
// it rings only once.
void dismiss_instance_of(const AlarmSecItem* item) {
  AlarmDbUpdate u;
  u.kind = AlarmDbUpdate::kDismissInstance;
  u.alarm_id = item->id;
  u.instance_id = item->instance_id;
  const AlarmRecord* t = find_template(item->id);
  if (t != nullptr && (t->day_mask & 0x7f) == 0) {
    u.template_action = t->delete_after_use != 0 ? AlarmDbUpdate::kDeleteTemplate
                                                 : AlarmDbUpdate::kSwitchOffTemplate;
  }
  queue_alarm_update(u);
}

// A snoozed instance waits in the database until the snooze's end, as the clock
// application keeps it: a phone switched on meanwhile rings it there.
void snooze_instance_of(const AlarmSecItem* item, int64_t end) {
  struct tm tm = {};
  time_t t = static_cast<time_t>(end);
  if (platform().local_time(t, &tm) != 0) return;
  AlarmDbUpdate u;
  u.kind = AlarmDbUpdate::kSnoozeInstance;
  u.alarm_id = item->id;
  u.instance_id = item->instance_id;
  u.year = tm.tm_year + 1900;
  u.month = tm.tm_mon;
  u.day = tm.tm_mday;
  u.hour = tm.tm_hour;
  u.minute = tm.tm_min;
  // Its ring switched a one-shot alarm off; the clock application keeps it on while snoozed.
  const AlarmRecord* alarm = find_template(item->id);
  if (alarm != nullptr && (alarm->day_mask & 0x7f) == 0 && alarm->delete_after_use == 0) {
    u.template_action = AlarmDbUpdate::kSwitchOnTemplate;
  }
  queue_alarm_update(u);
}

}  // namespace

int64_t local_instant(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute) {
  if (year < 1970 || year > 9999 || month < 0 || month > 11 || day < 1 || day > 31 || hour < 0 ||
      hour > 23 || minute < 0 || minute > 59) {
    return -1;
  }
  struct tm tm = {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  int64_t as_utc = static_cast<int64_t>(timegm(&tm));
  if (tm.tm_mday != day) return -1;  // a day the month does not have
  int64_t guess = as_utc - local_clock(as_utc).utc_offset;
  int64_t offset = local_clock(guess).utc_offset;
  return as_utc - offset;
}

int32_t week_secs_at(int64_t epoch_sec) {
  return local_clock(epoch_sec).week_secs;
}

int32_t get_week_secs(int mode) {
  if (mode != 1 && mode != 2) return -1;
  int32_t secs = week_secs_at(read_clock().sec);
  return mode == 1 ? secs : SECONDS_PER_WEEK - secs;
}

int64_t first_look_back_start(int64_t now) {
  if (!g_first_look_back_start) {
    int64_t up = platform().seconds_since_boot();
    if (up < 0) {
      g_first_look_back_start = now - ALARM_FIRST_LOOK_BACK_SECS - 1;
    } else {
      // The boot clock counts whole seconds: the wake may lie up to a second earlier.
      int64_t before_wake = now - up - 2;
      int64_t limit = now - ALARM_WAKE_LOOK_BACK_LIMIT_SECS - 1;
      if (before_wake < limit) g_missed_since = before_wake;
      g_first_look_back_start = before_wake < limit ? limit : before_wake;
    }
  }
  return *g_first_look_back_start;
}

int32_t check_alarm_day(int32_t time_of_day) {
  int64_t now = read_clock().sec;
  LocalClock now_clock = local_clock(now);
  int64_t look_back = local_look_back(now_clock, now, first_look_back_start(now));
  int32_t now_of_day = now_clock.week_secs % SECONDS_PER_DAY;
  int32_t back = (now_of_day - time_of_day + SECONDS_PER_DAY) % SECONDS_PER_DAY;
  // Due: the day it fell on, which is yesterday for an instant just before midnight.
  if (back < look_back) return mod_week(int64_t{now_clock.week_secs} - back) / SECONDS_PER_DAY;
  int32_t day = now_clock.week_secs / SECONDS_PER_DAY;
  if (time_of_day < now_of_day) ++day;
  return day == kDaysPerWeek ? 0 : day;
}

AlarmSecItem* creat_alarm_sec_list() {
  if (g_alarm_list == nullptr && g_alarm_instance_list == nullptr) {
    kernel_log_write(3, "<3>alarm: %s line: %d\n", "creat_alarm_sec_list", kEmptyRecordListLine);
    return nullptr;
  }
  AlarmSecItem** tail = &g_alarm_sec_list;
  while (*tail != nullptr) tail = &(*tail)->next;
  if (g_alarm_db_kind == ALARM_DB_INSTANCES) return creat_clock_app_list(tail);
  bool made_any = false;
  for (const AlarmRecord* r = g_alarm_list; r != nullptr; r = r->next) {
    if (r->enabled == 0) continue;
    if (r->hour < 0 || r->hour > 23 || r->minute < 0 || r->minute > 59) {
      kernel_log_write(3, "<3>alarm: alarm %d has no time of day: %d:%d\n", r->id, r->hour,
                       r->minute);
      continue;
    }
    int32_t time_of_day = r->hour * 3600 + r->minute * 60;
    if (r->day_mask == 0) {
      int32_t day = check_alarm_day(time_of_day);
      kernel_log_write(3, "<3>alarm: %s check_alarm_day %d\n", "creat_alarm_sec_list", day);
      AlarmSecItem* item = new_item(r, -1, time_of_day + day * SECONDS_PER_DAY);
      if (item == nullptr) return nullptr;
      append_item(&tail, item);
      made_any = true;
      continue;
    }
    for (int bit = 0; bit < kRepeatDayBits; ++bit) {
      if ((r->day_mask & (1 << bit)) == 0) continue;
      AlarmSecItem* item = new_item(r, bit, bit * SECONDS_PER_DAY + time_of_day);
      if (item == nullptr) return nullptr;
      append_item(&tail, item);
      made_any = true;
    }
  }
  if (!made_any) return nullptr;
  // The note's snoozes, a chain of their own, go behind the records' items.
  return finish_list(tail, read_alarm_delay());
}

void dump_alarm_sec_list(const AlarmSecItem* head) {
  for (const AlarmSecItem* item = head; item != nullptr; item = item->next) {
    kernel_log_write(3, "<3>alarm: secs = %d\n", item->secs);
    kernel_log_write(3, "<3>alarm: id = %d\n", item->id);
    kernel_log_write(3, "<3>alarm: day = %d\n", item->day);
    kernel_log_write(3, "<3>alarm: vib = %d\n", item->vib);
    kernel_log_write(3, "<3>alarm: ala = %s\n", item->ala != nullptr ? item->ala : "");
  }
}

AlarmExpiry find_alarm_expiry(AlarmSecItem* head, int64_t now, int64_t since) {
  LocalClock now_clock = local_clock(now);
  int64_t look_back = local_look_back(now_clock, now, since);
  int64_t window_start = since < now - 1 ? since : now - 1;

  AlarmSecItem* due = nullptr;
  int64_t due_back = -1;  // how long ago the chosen due occurrence was
  AlarmSecItem* next = nullptr;
  int32_t next_distance = std::numeric_limits<int32_t>::max();  // wall-clock seconds
  AlarmSecItem* next_snooze = nullptr;
  int64_t snooze_distance = std::numeric_limits<int64_t>::max();  // real seconds
  for (AlarmSecItem* item = head; item != nullptr; item = item->next) {
    if (passed_over(item, now)) continue;
    if (is_snooze_item(item) || item->instant != 0) {
      // One instant: due in the window, else ahead, else gone by.
      if (is_snooze_item(item) && item->snooze_over) continue;
      int64_t at = dated_instant(item);
      if (at > now) {
        if (due == nullptr && at - now < snooze_distance) {
          next_snooze = item;
          snooze_distance = at - now;
        }
      } else if (at > window_start && now - at > due_back) {
        due = item;
        due_back = now - at;
      }
      continue;
    }
    int32_t back = seconds_since_occurrence(item, now_clock);
    if (back < look_back && counts_after(item, now_clock.local_secs(now) - back)) {
      if (back > due_back) {  // the earliest occurrence; the first of equal ones stays
        due = item;
        due_back = back;
      }
    } else if (due == nullptr) {
      int64_t distance = SECONDS_PER_WEEK - back;
      // The occurrences up to the template's instance are the instance's own.
      for (int weeks = 0;
           weeks < kMaxWeeksAhead && !counts_after(item, now_clock.local_secs(now) + distance);
           ++weeks) {
        distance += SECONDS_PER_WEEK;
      }
      if (counts_after(item, now_clock.local_secs(now) + distance) && distance < next_distance) {
        next = item;
        next_distance = static_cast<int32_t>(distance);
      }
    }
  }

  AlarmExpiry r;
  if (due != nullptr) {
    r.item = due;
    r.due = true;
    r.secs = 0;
    return r;
  }
  int64_t next_secs = std::numeric_limits<int64_t>::max();
  if (next != nullptr) {
    r.item = next;
    next_secs = real_seconds_until(now, now_clock, next_distance);
  }
  if (next_snooze != nullptr && snooze_distance < next_secs) {
    r.item = next_snooze;
    next_secs = snooze_distance;
  }
  if (r.item != nullptr) {
    r.secs = static_cast<int32_t>(next_secs < std::numeric_limits<int32_t>::max()
                                      ? next_secs
                                      : std::numeric_limits<int32_t>::max());
  }
  return r;
}

int32_t get_alarm_expire(AlarmSecItem** chosen) {
  if (chosen != nullptr) *chosen = nullptr;
  int64_t now = read_clock().sec;
  bool first = !g_last_expire_check;
  int64_t since = first ? first_look_back_start(now) : *g_last_expire_check;
  g_last_expire_check = now;
  pump_alarm_updates();
  if (g_alarm_sec_list == nullptr) return -1;
  if (first) log_missed(g_alarm_sec_list, now);

  AlarmExpiry e = find_alarm_expiry(g_alarm_sec_list, now, since);
  g_cur_alarm = e.item;
  if (e.item == nullptr) return -1;
  if (!e.due) return e.secs;
  if (chosen != nullptr) *chosen = g_cur_alarm;
  // One ring serves every alarm due now: each one-shot alarm among them is switched off,
  // and each snooze among them has rung.
  LocalClock now_clock = local_clock(now);
  int64_t look_back = local_look_back(now_clock, now, since);
  int64_t window_start = since < now - 1 ? since : now - 1;
  for (AlarmSecItem* item = g_alarm_sec_list; item != nullptr; item = item->next) {
    if (is_snooze_item(item) || item->instant != 0) {
      int64_t at = dated_instant(item);
      if (at <= window_start || at > now || (is_snooze_item(item) && item->snooze_over)) continue;
      if (is_snooze_item(item)) item->snooze_over = true;
      // The clock application's instance has rung: it is dismissed, as the application
      // dismisses it when its user stops it; a snooze taken later sets it snoozed again.
      if (item->instance_id != 0) dismiss_instance_of(item);
      continue;
    }
    if (item->day != -1 || passed_over(item, now)) continue;
    if (seconds_since_occurrence(item, now_clock) >= look_back) continue;
    if (item->one_shot_due_sec == 0) item->one_shot_due_sec = now;
    disable_alarm_item(item);
  }
  return 0;
}

void free_alarm_sec_list() {
  while (g_alarm_sec_list != nullptr) {
    AlarmSecItem* next = g_alarm_sec_list->next;
    delete g_alarm_sec_list;
    g_alarm_sec_list = next;
  }
  g_cur_alarm = nullptr;
}

AlarmSecItem* new_snooze_item(int32_t id, int32_t vib, const char* ala, int64_t end) {
  AlarmSecItem* item = new (std::nothrow) AlarmSecItem();
  if (item == nullptr) return nullptr;
  item->id = id;
  item->vib = vib;
  item->ala = ala;
  item->next = nullptr;
  set_snooze_end(item, end);
  return item;
}

AlarmSecItem* pending_snooze(int32_t id) {
  for (AlarmSecItem* item = g_alarm_sec_list; item != nullptr; item = item->next) {
    if (is_snooze_item(item) && item->id == id && !item->snooze_over) return item;
  }
  return nullptr;
}

bool snooze_alarm(const AlarmSecItem* alarm, int64_t end) {
  if (alarm == nullptr) return false;
  AlarmSecItem** tail = &g_alarm_sec_list;
  AlarmSecItem* item = nullptr;
  for (; *tail != nullptr; tail = &(*tail)->next) {
    if (item == nullptr && is_snooze_item(*tail) && (*tail)->id == alarm->id) item = *tail;
  }
  if (item == nullptr) {
    item = new_snooze_item(alarm->id, alarm->vib, alarm->ala, end);
    if (item == nullptr) {
      kernel_log_write(3, "<3>alarm: no memory for the snooze of alarm %d\n", alarm->id);
      return false;
    }
    append_item(&tail, item);
  } else {
    // The alarm's item is used again (the rung item may be this very one): one per alarm.
    set_snooze_end(item, end);
  }
  item->snooze_over = false;
  item->snooze_taken = ++g_snooze_sequence;
  if (alarm->instance_id != 0) {
    item->instance_id = alarm->instance_id;
    snooze_instance_of(item, end);
  }
  return true;
}

bool end_snooze(int32_t id) {
  AlarmSecItem* item = pending_snooze(id);
  if (item == nullptr) return false;
  item->snooze_over = true;
  return true;
}

void alarm_schedule_reset() {
  g_snooze_sequence = 0;
  g_last_expire_check.reset();
  g_first_look_back_start.reset();
  g_missed_since.reset();
  g_cur_alarm = nullptr;
}
