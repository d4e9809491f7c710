#include "sim/life_report.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <limits>
#include <tuple>

#include "alarm/alarm_db.h"
#include "alarm/alarm_delay.h"
#include "base/decimal_text.h"
#include "sandbox/sandbox_platform.h"
#include "sim/json_text.h"
#include "sim/sandbox_builder.h"

namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int kWeekdayMask = 0x7f;  // Monday (bit 0) to Sunday (bit 6)
constexpr char kAlarmQuery[] =
    "SELECT _id, hour, minutes, daysofweek, enabled FROM alarms ORDER BY _id;";
constexpr size_t kAlarmQueryColumns = 5;
constexpr char kTemplateQuery[] =
    "SELECT _id, hour, minutes, daysofweek, enabled FROM alarm_templates ORDER BY _id;";
constexpr char kInstanceQuery[] =
    "SELECT _id, alarm_id, year, month, day, hour, minutes, alarm_state FROM alarm_instances "
    "ORDER BY _id;";
constexpr size_t kInstanceQueryColumns = 8;
constexpr int kLastRingingState = 5;

// The rows of a query's output, each cut at "|".
std::vector<std::vector<std::string_view>> output_rows(const std::string& text) {
  std::vector<std::vector<std::string_view>> rows;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    std::vector<std::string_view> fields;
    for (size_t start = 0;;) {
      size_t bar = line.find('|', start);
      fields.push_back(line.substr(start, bar == std::string_view::npos ? bar : bar - start));
      if (bar == std::string_view::npos) break;
      start = bar + 1;
    }
    rows.push_back(fields);
  }
  return rows;
}

// The rows of kAlarmQuery or kTemplateQuery.
void add_alarms(const std::string& text, std::vector<LifeAlarm>* out) {
  for (const auto& fields : output_rows(text)) {
    if (fields.size() != kAlarmQueryColumns) continue;
    LifeAlarm a;
    a.id = decimal_low32(fields[0]);
    a.hour = decimal_low32(fields[1]);
    a.minutes = decimal_low32(fields[2]);
    a.daysofweek = decimal_low32(fields[3]);
    a.enabled = decimal_low32(fields[4]) == 1;  // as the clock application reads it
    out->push_back(a);
  }
}

bool read_instances(const std::string& db, std::vector<LifeInstanceRow>* out) {
  std::string text;
  if (!run_sqlite(db, kInstanceQuery, &text)) return false;
  out->clear();
  for (const auto& f : output_rows(text)) {
    if (f.size() != kInstanceQueryColumns) continue;
    LifeInstanceRow r;
    int* numbers[] = {&r.id, &r.alarm_id, &r.year, &r.month, &r.day, &r.hour, &r.minutes, &r.state};
    for (size_t i = 0; i < kInstanceQueryColumns; ++i) *numbers[i] = decimal_low32(f[i]);
    r.month += 1;
    out->push_back(r);
  }
  return true;
}
const char* const kDayNames[7] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's civil algorithms).
int64_t days_from_civil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct LocalFields {
  int64_t day = 0;  // life_local_day
  int hour = 0;
  int minute = 0;
  int second = 0;
  long gmtoff = 0;
};

LocalFields local_fields(int64_t epoch) {
  time_t t = static_cast<time_t>(epoch);
  struct tm tm = {};
  localtime_r(&t, &tm);
  LocalFields f;
  f.day = days_from_civil(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  f.hour = tm.tm_hour;
  f.minute = tm.tm_min;
  f.second = tm.tm_sec;
  f.gmtoff = tm.tm_gmtoff;
  return f;
}

int64_t local_instant_of_day(int64_t day, int hour, int minute) {
  int y, m, d;
  life_civil_date(day, &y, &m, &d);
  return life_local_instant(y, m, d, hour, minute);
}

// The end of the judged span: `to`, or the moment the phone was left on when earlier.
int64_t judged_end(const LifeParams& p) {
  return p.phone_on_from && *p.phone_on_from < p.to ? *p.phone_on_from : p.to;
}

bool names_an_alarm(const std::vector<LifeAlarm>& alarms, int id) {
  return std::any_of(alarms.begin(), alarms.end(), [id](const LifeAlarm& a) { return a.id == id; });
}

// The rule that pairs rings with instants: the instants due in the same second form a group,
// answered by the first ring from LIFE_RING_EARLY_SECS before their second up to that much
// before the next group's. `answer(first, next, ring)` is called for each group [first, next)
// that a ring answers, with that ring's index in `rings` (sorted).
template <typename Answer>
void match_rings(const std::vector<LifeInstant>& instants, const std::vector<double>& rings,
                 Answer answer) {
  for (size_t first = 0; first < instants.size();) {
    size_t next = first;
    while (next < instants.size() && instants[next].due == instants[first].due) ++next;
    const double lo = static_cast<double>(instants[first].due) - LIFE_RING_EARLY_SECS;
    const double hi = next < instants.size()
                          ? static_cast<double>(instants[next].due) - LIFE_RING_EARLY_SECS
                          : std::numeric_limits<double>::infinity();
    auto ring = std::lower_bound(rings.begin(), rings.end(), lo);
    if (ring != rings.end() && *ring < hi) {
      answer(first, next, static_cast<size_t>(ring - rings.begin()));
    }
    first = next;
  }
}

// The user stopped an alarm: touched the middle button while it rang.
struct LifeStop {
  double ring = 0;  // the ring start the touch answered
  double at = 0;
  int alarm_id = 0;
};

// The stops of the user policy. A stop ends the ringing alarm: the alarms of the own
// instants (not snooze ends) whose ring it was, paired as the judge pairs them; a ring that
// served a snooze's end alone stops a snooze that has rung already.
std::vector<LifeStop> user_stops(const LifeInput& input, const std::vector<LifeInstant>& own) {
  std::vector<LifeStop> stops;
  const LifeParams& p = input.params;
  if (p.stops == LifeParams::Stops::kNever) return stops;
  std::vector<double> rings = input.rings;
  std::sort(rings.begin(), rings.end());
  // Under kLaterRings each run's first ring is snoozed, not stopped.
  std::vector<bool> stopped(rings.size(), true);
  if (p.stops == LifeParams::Stops::kLaterRings) {
    // The boots come in order: a ring belongs to the last one started before it.
    size_t boot = 0, last_boot = 0;
    for (size_t i = 0; i < rings.size(); ++i) {
      while (boot < input.boots.size() &&
             static_cast<double>(input.boots[boot].start) <= rings[i]) {
        ++boot;
      }
      stopped[i] = i > 0 && boot == last_boot;
      last_boot = boot;
    }
  }
  match_rings(own, rings, [&](size_t first, size_t next, size_t ring) {
    if (!stopped[ring]) return;
    for (size_t i = first; i < next; ++i) {
      stops.push_back({rings[ring], rings[ring] + p.stop_delay, own[i].alarm_id});
    }
  });
  return stops;
}

// Whether the snooze of `n` was ended before it rang: snoozed again (the later snooze takes
// its place), or stopped when the alarm rang again while its snooze was still to ring. A
// touch that answers the ring the snooze was taken from finds the screen dark: no stop.
bool snooze_ended_early(const LifeSnoozeNote& n, const std::vector<LifeSnoozeNote>& notes,
                        const std::vector<LifeStop>& stops) {
  auto within = [&n](double t) { return t > n.written_at && t < n.end; };
  for (const LifeSnoozeNote& m : notes) {
    if (m.alarm_id == n.alarm_id && within(m.written_at)) return true;
  }
  for (const LifeStop& stop : stops) {
    if (stop.alarm_id == n.alarm_id && within(stop.ring) && within(stop.at)) return true;
  }
  return false;
}

// ---- Text helpers shared by the JSON and the person's text.

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  va_list args, again;
  va_start(args, fmt);
  va_copy(again, args);
  int size = vsnprintf(nullptr, 0, fmt, args);
  va_end(args);
  std::string out(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  if (size > 0) vsnprintf(&out[0], out.size() + 1, fmt, again);
  va_end(again);
  return out;
}

std::string json_number(double v) {
  return std::isfinite(v) ? format("%g", v) : "null";
}

std::string int_text(int64_t v) {
  return format("%lld", static_cast<long long>(v));
}

// An epoch as local time with the weekday, milliseconds when asked for.
std::string local_text(double t, bool millis) {
  double whole = std::floor(t);
  int ms = static_cast<int>(std::lround((t - whole) * 1000));
  if (ms == 1000) {
    whole += 1;
    ms = 0;
  }
  time_t secs = static_cast<time_t>(whole);
  struct tm tm = {};
  localtime_r(&secs, &tm);
  char day[40], zone[16];
  strftime(day, sizeof day, "%a %Y-%m-%d %H:%M:%S", &tm);
  strftime(zone, sizeof zone, "%Z", &tm);
  return millis ? format("%s.%03d %s", day, ms, zone) : format("%s %s", day, zone);
}

// The time of day alone when `t` falls on the local date of `ref`, else the whole text.
std::string clock_text(double t, int64_t ref, bool millis) {
  std::string full = local_text(t, millis);
  if (life_local_day(static_cast<int64_t>(std::floor(t))) != life_local_day(ref)) return full;
  size_t start = full.find(' ', 4) + 1;  // after "Wed 2026-12-09 "
  return full.substr(start, full.rfind(' ') - start);
}

std::string days_text(int mask) {
  if ((mask & kWeekdayMask) == 0) return "once";
  std::string out;
  for (int i = 0; i < 7; ++i) {
    if (mask & (1 << i)) out += std::string(out.empty() ? "" : ",") + kDayNames[i];
  }
  return out;
}

}  // namespace

const char* life_result_name(LifeResult result) {
  switch (result) {
    case LifeResult::kOnTime:
      return "on-time";
    case LifeResult::kLate:
      return "late";
    case LifeResult::kMissed:
      break;
  }
  return "missed";
}

double life_on_time_allowance(double boot_seconds) {
  return std::max(0.0, boot_seconds - LIFE_RTC_AHEAD_SECS) + LIFE_ON_TIME_SLACK_SECS;
}

int64_t life_local_day(int64_t epoch) {
  return local_fields(epoch).day;
}

void life_civil_date(int64_t day, int* year, int* month, int* mday) {
  int64_t z = day + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *mday = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *month = m;
  *year = static_cast<int>(yoe + era * 400 + (m <= 2));
}

int life_weekday(int64_t day) {
  constexpr int64_t kThursday = 3;  // 1970-01-01
  return static_cast<int>(((day % 7) + 7 + kThursday) % 7);
}

int64_t life_local_instant(int year, int month, int day, int hour, int minute) {
  const int64_t civil_day = days_from_civil(year, month, day);
  // The wall time read as if it were UTC; the zone's offset a day before and a day after
  // brackets any change of offset near it (zones change at most once in two days).
  const int64_t naive = civil_day * kSecondsPerDay + hour * 3600 + minute * 60;
  const long before = local_fields(naive - kSecondsPerDay).gmtoff;
  const long after = local_fields(naive + kSecondsPerDay).gmtoff;
  int64_t best = std::numeric_limits<int64_t>::max();
  for (long offset : {before, after}) {
    int64_t t = naive - offset;
    LocalFields f = local_fields(t);
    if (f.day == civil_day && f.hour == hour && f.minute == minute && f.second == 0) {
      best = std::min(best, t);
    }
  }
  // Skipped by the clocks: the offset before the skip moves it on by the skip's length.
  return best != std::numeric_limits<int64_t>::max() ? best : naive - before;
}

int64_t life_span_end(int64_t from, int days) {
  LocalFields f = local_fields(from);
  return local_instant_of_day(f.day + days, f.hour, f.minute) + f.second;
}

std::vector<LifeInstant> life_expected_instants(const LifeInput& input) {
  const LifeParams& p = input.params;
  const int64_t end = judged_end(p);
  std::vector<LifeInstant> out;
  if (end <= p.from) return out;
  const int64_t first_day = life_local_day(p.from);
  const int64_t last_day = life_local_day(end - 1);
  auto add = [&](int64_t due, int id, bool snooze) {
    if (due < p.from || due >= end) return;
    LifeInstant instant;
    instant.due = due;
    instant.alarm_id = id;
    instant.snooze = snooze;
    out.push_back(instant);
  };

  for (const LifeInstanceRow& r : input.instances) {
    if (r.state < 0 || r.state > kLastRingingState) continue;
    add(life_local_instant(r.year, r.month, r.day, r.hour, r.minutes), r.alarm_id, false);
  }
  for (const LifeAlarm& a : input.alarms) {
    if (!a.enabled || a.hour < 0 || a.hour > 23 || a.minutes < 0 || a.minutes > 59) continue;
    const int mask = a.daysofweek & kWeekdayMask;
    // The 4.4+ templates: a one-shot one rings through its instance, a repeating one after
    // its latest instance (the application makes the next once that one has rung).
    int64_t after = std::numeric_limits<int64_t>::min();
    for (const LifeInstanceRow& r : input.instances) {
      if (r.alarm_id != a.id) continue;
      after = std::max(after, life_local_instant(r.year, r.month, r.day, r.hour, r.minutes));
    }
    if (mask == 0) {
      if (input.clock_app) continue;
      int64_t due = local_instant_of_day(first_day, a.hour, a.minutes);
      if (due < p.from) due = local_instant_of_day(first_day + 1, a.hour, a.minutes);
      add(due, a.id, false);
      continue;
    }
    for (int64_t day = first_day; day <= last_day; ++day) {
      int64_t due = local_instant_of_day(day, a.hour, a.minutes);
      if ((mask & (1 << life_weekday(day))) && due > after) add(due, a.id, false);
    }
  }

  auto key = [](const LifeInstant& i) { return std::make_tuple(i.due, i.snooze, i.alarm_id); };
  auto by_key = [&](const LifeInstant& a, const LifeInstant& b) { return key(a) < key(b); };
  std::sort(out.begin(), out.end(), by_key);
  const std::vector<LifeStop> stops = user_stops(input, out);

  std::vector<LifeSnoozeNote> notes;
  if (input.note_at_start) notes.push_back(*input.note_at_start);
  notes.insert(notes.end(), input.other_notes_at_start.begin(), input.other_notes_at_start.end());
  notes.insert(notes.end(), input.notes.begin(), input.notes.end());
  for (const LifeSnoozeNote& n : notes) {
    if (names_an_alarm(input.alarms, n.alarm_id) && !snooze_ended_early(n, notes, stops)) {
      add(n.end, n.alarm_id, true);
    }
  }

  std::sort(out.begin(), out.end(), by_key);
  out.erase(
      std::unique(out.begin(), out.end(),
                  [&](const LifeInstant& a, const LifeInstant& b) { return key(a) == key(b); }),
      out.end());
  return out;
}

LifeReport judge_life(const LifeInput& input) {
  LifeReport report;
  report.expected = life_expected_instants(input);
  std::vector<double> rings = input.rings;
  std::sort(rings.begin(), rings.end());
  std::vector<bool> matched(rings.size(), false);
  const double allowance = life_on_time_allowance(input.params.boot_seconds);

  std::vector<LifeInstant>& e = report.expected;
  match_rings(e, rings, [&](size_t first, size_t next, size_t ring) {
    matched[ring] = true;
    const double late = std::max(0.0, rings[ring] - static_cast<double>(e[first].due));
    for (size_t i = first; i < next; ++i) {
      e[i].rang_at = rings[ring];
      e[i].late_seconds = late;
      e[i].result = late <= allowance ? LifeResult::kOnTime : LifeResult::kLate;
    }
  });
  for (size_t i = 0; i < rings.size(); ++i) {
    if (!matched[i]) report.unexpected_rings.push_back(rings[i]);
  }

  for (size_t b = 0; b < input.boots.size(); ++b) {
    const LifeBoot& boot = input.boots[b];
    if (!boot.powered_off || boot.rtc_wakes) continue;
    const double off = boot.poweroff_at ? *boot.poweroff_at : static_cast<double>(boot.start);
    if (!e.empty() && static_cast<double>(e.back().due) > off) report.lost_wake_boots.push_back(b);
  }

  LifeSummary& s = report.summary;
  s.expected = static_cast<int>(e.size());
  for (const LifeInstant& i : e) {
    s.on_time += i.result == LifeResult::kOnTime;
    s.late += i.result == LifeResult::kLate;
    s.missed += i.result == LifeResult::kMissed;
  }
  s.unexpected = static_cast<int>(report.unexpected_rings.size());
  s.boots = static_cast<int>(input.boots.size());
  s.lost_wakes = static_cast<int>(report.lost_wake_boots.size());
  for (const LifeInstanceRow& r : input.instances_at_end) {
    int64_t due = life_local_instant(r.year, r.month, r.day, r.hour, r.minutes);
    s.stale_instances +=
        r.state >= 0 && r.state <= kLastRingingState && due < judged_end(input.params);
  }
  for (const LifeBoot& boot : input.boots) s.audible_seconds += boot.audible_seconds;
  return report;
}

bool read_life_alarms(const std::string& dir, std::vector<LifeAlarm>* out, std::string* error,
                      bool* clock_app, std::vector<LifeInstanceRow>* instances) {
  out->clear();
  if (clock_app != nullptr) *clock_app = false;
  if (instances != nullptr) instances->clear();
  const std::string db = dir + ALARM_DB_PATH;
  std::string text;
  bool old_db = access(db.c_str(), R_OK) == 0;
  std::string has_table;
  if (old_db &&
      run_sqlite(db, "SELECT count(*) FROM sqlite_master WHERE name='alarms';", &has_table) &&
      has_table == "1\n" && run_sqlite(db, kAlarmQuery, &text)) {
    add_alarms(text, out);
    return true;
  }
  for (const char* path : {ALARM_DB_DE_PATH, ALARM_DB_PATH}) {
    const std::string tables = dir + path;
    if (access(tables.c_str(), R_OK) != 0 || !run_sqlite(tables, kTemplateQuery, &text)) continue;
    add_alarms(text, out);
    std::vector<LifeInstanceRow> rows;
    read_instances(tables, &rows);
    if (instances != nullptr) *instances = rows;
    if (clock_app != nullptr) *clock_app = true;
    return true;
  }
  *error = old_db ? "sqlite3 could not read the alarms of " + db : "no alarm database at " + db;
  return false;
}

std::optional<LifeSnoozeNote> parse_life_snooze_note(std::string_view text) {
  LifeSnoozeNote note;
  if (!parse_snooze_note(text, &note.alarm_id, &note.end)) return std::nullopt;
  return note;
}

std::optional<LifeSnoozeNote> read_life_snooze_note(const std::string& dir) {
  std::string text;
  if (!read_text_file(dir + ALARM_DELAY_PATH, &text)) return std::nullopt;
  return parse_life_snooze_note(text);
}

std::vector<LifeSnoozeNote> read_life_snooze_notes(const std::string& dir) {
  std::vector<LifeSnoozeNote> notes;
  std::string text;
  if (!read_text_file(dir + ALARM_DELAY_PATH, &text)) return notes;
  for (const SnoozeNotePair& pair : parse_snooze_note_pairs(text)) {
    LifeSnoozeNote note;
    note.alarm_id = pair.alarm_id;
    note.end = pair.end;
    notes.push_back(note);
  }
  return notes;
}

std::string life_json(const LifeInput& input, const LifeReport& report) {
  const LifeParams& p = input.params;
  auto secs = [](double t) { return json_seconds(t); };
  auto whole = [](int64_t t) { return int_text(t); };
  std::string j = "{\n";
  j += "  \"from\": " + int_text(p.from) + ",\n";
  j += "  \"to\": " + int_text(p.to) + ",\n";
  j += "  \"days\": " + int_text(p.days) + ",\n";
  j += "  \"tz\": " + json_string(p.tz) + ",\n";
  j += "  \"boot\": " + json_number(p.boot_seconds) + ",\n";
  j += "  \"rtc_min_lead\": " + int_text(p.rtc_min_lead) + ",\n";
  j += "  \"user\": " + json_string(p.user) + ",\n";
  j += "  \"speed\": " + json_number(p.speed) + ",\n";
  j +=
      "  \"ended_early\": " + (p.ended_early.empty() ? "null" : json_string(p.ended_early)) + ",\n";
  j += "  \"phone_on_from\": " + json_or_null(p.phone_on_from, whole) + ",\n";

  j += "  \"boots\": [";
  for (size_t b = 0; b < input.boots.size(); ++b) {
    const LifeBoot& boot = input.boots[b];
    bool lost = std::find(report.lost_wake_boots.begin(), report.lost_wake_boots.end(), b) !=
                report.lost_wake_boots.end();
    j += b ? ",\n    " : "\n    ";
    j += "{\"wake\": " + int_text(boot.wake) + ", \"start\": " + int_text(boot.start) +
         ", \"exit_status\": " + json_or_null(boot.exit_status, [](int v) { return int_text(v); }) +
         ", \"powered_off\": " + (boot.powered_off ? "true" : "false") +
         ", \"poweroff_at\": " + json_or_null(boot.poweroff_at, secs) +
         ", \"rtc_alarm\": " + json_or_null(boot.rtc_alarm, whole) +
         ", \"rtc_wakes\": " + (boot.rtc_wakes ? "true" : "false") +
         ", \"lost_wake\": " + (lost ? "true" : "false") + "}";
  }
  j += input.boots.empty() ? "],\n" : "\n  ],\n";

  std::vector<double> rings = input.rings;
  std::sort(rings.begin(), rings.end());
  j += "  \"rings\": [";
  for (size_t i = 0; i < rings.size(); ++i) j += (i ? ", " : "") + secs(rings[i]);
  j += "],\n";

  j += "  \"snooze_notes\": [";
  for (size_t i = 0; i < input.notes.size(); ++i) {
    const LifeSnoozeNote& n = input.notes[i];
    j += (i ? ", " : "") + format("{\"written_at\": %s, \"alarm_id\": %d, \"end\": %lld}",
                                  secs(n.written_at).c_str(), n.alarm_id,
                                  static_cast<long long>(n.end));
  }
  j += "],\n";

  j += "  \"expected\": [";
  for (size_t i = 0; i < report.expected.size(); ++i) {
    const LifeInstant& e = report.expected[i];
    bool missed = e.result == LifeResult::kMissed;
    j += i ? ",\n    " : "\n    ";
    j += "{\"due\": " + int_text(e.due) + ", \"alarm_id\": " + int_text(e.alarm_id) +
         ", \"snooze\": " + (e.snooze ? "true" : "false") + ", \"result\": \"" +
         life_result_name(e.result) + "\", \"rang_at\": " + json_or_null(e.rang_at, secs) +
         ", \"late_seconds\": " + (missed ? "null" : secs(e.late_seconds)) + "}";
  }
  j += report.expected.empty() ? "],\n" : "\n  ],\n";

  j += "  \"unexpected_rings\": [";
  for (size_t i = 0; i < report.unexpected_rings.size(); ++i) {
    j += (i ? ", " : "") + secs(report.unexpected_rings[i]);
  }
  j += "],\n";

  const LifeSummary& s = report.summary;
  j += format(
      "  \"summary\": {\"expected\": %d, \"on_time\": %d, \"late\": %d, \"missed\": %d, "
      "\"unexpected\": %d, \"boots\": %d, \"lost_wakes\": %d, \"audible_seconds\": %.3f%s}\n",
      s.expected, s.on_time, s.late, s.missed, s.unexpected, s.boots, s.lost_wakes,
      s.audible_seconds,
      input.clock_app ? format(", \"stale_instances\": %d", s.stale_instances).c_str() : "");
  return j + "}\n";
}

std::string life_text(const LifeInput& input, const LifeReport& report) {
  const LifeParams& p = input.params;
  std::string t;
  t += "life from " + local_text(p.from, false) + " to " + local_text(p.to, false) + " (" +
       int_text(p.days) + " days), zone " + p.tz + "\n";
  t += format("boot delay %g s (on time: rung within %g s), RTC min lead %d s, user %s, speed %g\n",
              p.boot_seconds, life_on_time_allowance(p.boot_seconds), p.rtc_min_lead,
              p.user.empty() ? "(default)" : p.user.c_str(), p.speed);
  if (!p.ended_early.empty()) {
    t += "ended early: " + p.ended_early;
    if (p.phone_on_from) t += " (phone on from " + local_text(*p.phone_on_from, false) + ")";
    t += "\n";
  }

  t += "\nalarms at the start:\n";
  if (input.alarms.empty()) t += "  none\n";
  for (const LifeAlarm& a : input.alarms) {
    t += format("  id %-4d %02d:%02d  %-27s %s\n", a.id, a.hour, a.minutes,
                days_text(a.daysofweek).c_str(), a.enabled ? "enabled" : "disabled");
  }
  if (input.note_at_start) {
    t += format("  snooze note: alarm %d until ", input.note_at_start->alarm_id) +
         local_text(input.note_at_start->end, false) + "\n";
  }
  for (const LifeSnoozeNote& n : input.other_notes_at_start) {
    t += format("  snooze note: alarm %d until ", n.alarm_id) + local_text(n.end, false) +
         " (still to ring when it was written)\n";
  }

  t += "\nboots:\n";
  if (input.boots.empty()) t += "  none\n";
  for (size_t b = 0; b < input.boots.size(); ++b) {
    const LifeBoot& boot = input.boots[b];
    std::string line = format("  %3zu  woke ", b + 1) + local_text(boot.wake, false) +
                       ", started " + clock_text(boot.start, boot.wake, false);
    line += boot.exit_status ? format(", exit %d", *boot.exit_status) : ", stopped (no exit)";
    if (boot.powered_off) {
      line += ", powered off";
      if (boot.poweroff_at) line += " at " + clock_text(*boot.poweroff_at, boot.wake, true);
    } else {
      line += ", phone left on";
    }
    if (boot.rtc_alarm) {
      line += ", RTC " + clock_text(static_cast<double>(*boot.rtc_alarm), boot.wake, false);
    } else {
      line += ", no RTC alarm";
    }
    line += boot.rtc_wakes ? " (wakes)" : " (would not wake)";
    if (std::find(report.lost_wake_boots.begin(), report.lost_wake_boots.end(), b) !=
        report.lost_wake_boots.end()) {
      line += "  LOST WAKE";
    }
    t += line + "\n";
  }

  t += "\nsnooze notes written:\n";
  if (input.notes.empty()) t += "  none\n";
  for (const LifeSnoozeNote& n : input.notes) {
    t += "  " + local_text(n.written_at, false) + format("  alarm %d until ", n.alarm_id) +
         clock_text(n.end, static_cast<int64_t>(n.written_at), false) + "\n";
  }

  t += "\nexpected:\n";
  if (report.expected.empty()) t += "  none\n";
  for (const LifeInstant& e : report.expected) {
    std::string line = "  " + local_text(e.due, false) +
                       format("  alarm %-4d %-7s %-9s", e.alarm_id, e.snooze ? "snooze" : "",
                              life_result_name(e.result));
    if (e.rang_at) {
      line += format("rang +%.3f s", e.late_seconds);
      if (e.result == LifeResult::kLate) line += " at " + clock_text(*e.rang_at, e.due, true);
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    t += line + "\n";
  }

  t += "\nunexpected rings:\n";
  if (report.unexpected_rings.empty()) t += "  none\n";
  for (double r : report.unexpected_rings) t += "  " + local_text(r, true) + "\n";

  const LifeSummary& s = report.summary;
  t += format(
      "\nsummary: %d expected, %d on time, %d late, %d missed, %d unexpected, %d boots, "
      "%d lost wakes, %.1f audible seconds\n",
      s.expected, s.on_time, s.late, s.missed, s.unexpected, s.boots, s.lost_wakes,
      s.audible_seconds);
  if (input.clock_app) {
    t += format(
        "instances left to ring before the end (the clock application would ring them "
        "again or report them missed): %d\n",
        s.stale_instances);
  }
  return t;
}
