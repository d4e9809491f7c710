// The report of a life (`alarm-sim life`): from the clock application's records and what
// the boots observed, the instants that should have rung, how each went, and the files.
#pragma once

// Expectation is computed plainly from the records (hour, minutes, the weekday bits with
// Monday as bit 0, a one-shot alarm's next occurrence, snooze notes), never with the
// program's schedule code, so the report can catch the program's faults. Nothing here runs
// the program: the driver runs the boots, collects what they observed into a LifeInput,
// and then
//
//   LifeReport report = judge_life(input);
//   write_life_files(dir, input, report, &error);   // sim/life_files.h: life.{json,txt,png}
//
// Driver outline:
//   use_time_zone(tz);                                  // every local time below uses it
//   input.params.from = parse_local_time_us(from) / 1000000;
//   input.params.to = life_span_end(input.params.from, days);
//   read_life_alarms(dir, &input.alarms, &error);       // before the first boot
//   notes = read_life_snooze_notes(dir);               // likewise: note_at_start is the
//                                                       // first, other_notes_at_start the rest
//   first wake: the first due of life_expected_instants(input) minus 20 s;
//   for each boot: push a LifeBoot; push each ring start into input.rings; when the
//     run left a snooze note that differs from the one before it, push it into
//     input.notes (written_at: the moment of the snooze, as well as the run tells it);
//   on an early end: set params.ended_early, and params.phone_on_from when the phone
//     was left on (Android would start), so that later instants are not expected.
//
// Every epoch is in seconds; local times are those of the process's time zone.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The life as asked for, and how it ended.
struct LifeParams {
  int64_t from = 0;         // the phone is switched off here
  int64_t to = 0;           // the planned end (life_span_end); instants in [from, to) count
  int days = 0;             // as asked for (the report shows it)
  std::string tz = "UTC";   // the zone's name, for the report; the process must be set to it
  double boot_seconds = 0;  // from the RTC's wake to the program's start
  int rtc_min_lead = 10;    // an RTC alarm closer than this after the power-off is lost
  std::string user;         // the user policy as given ("stop:10", ...)
  // When that user touches the middle button, stopping the ringing alarm: never, `stop_delay`
  // seconds after every ring start, or after every one but a run's first (it is snoozed).
  enum class Stops { kNever, kEveryRing, kLaterRings };
  Stops stops = Stops::kNever;
  double stop_delay = 0;
  double speed = 1;
  // Empty, or why the life ended before `to` ("the phone was left on: Android would
  // start", "no RTC alarm would wake the phone", "a run was stopped", ...).
  std::string ended_early;
  // The moment the phone was left on, when that ended the life: from then on Android's
  // clock application rings, so later instants are not expected of the program. Leave it
  // unset for other early ends: the instants a lost wake costs are missed ones.
  std::optional<int64_t> phone_on_from;
};

// One row of the clock application's alarm table, the columns the expectation needs.
struct LifeAlarm {
  int id = 0;
  int hour = 0;
  int minutes = 0;
  int daysofweek = 0;  // bit 0 Monday ... bit 6 Sunday; 0 rings once
  bool enabled = false;
};

// One instance of the clock application's tables of Android 4.4 and later.
struct LifeInstanceRow {
  int id = 0;
  int alarm_id = 0;
  int year = 0, month = 0, day = 0;  // month 1 January (the table's month + 1)
  int hour = 0, minutes = 0;
  int state = 0;  // 0 to 5 still rings; 6 missed, 7 dismissed, 8 dismissed in advance
};

// A snooze note: the alarm snoozed and when its snooze ends (the ring expected then).
struct LifeSnoozeNote {
  double written_at = 0;  // when the snooze was taken; 0 (unknown) for the note found at the start
  int alarm_id = 0;
  int64_t end = 0;
};

// One boot of the phone: one run of the program.
struct LifeBoot {
  int64_t wake = 0;                // the RTC switched the phone on
  int64_t start = 0;               // the program started (wake + boot delay)
  std::optional<int> exit_status;  // none: the run was stopped
  bool powered_off = false;
  std::optional<double> poweroff_at;  // epoch of the power-off
  std::optional<int64_t> rtc_alarm;   // the RTC alarm the run left programmed
  bool rtc_wakes = false;             // that alarm would switch a real phone on
  double audible_seconds = 0;         // the sound heard in the run
};

struct LifeInput {
  LifeParams params;
  std::vector<LifeAlarm> alarms;  // as the database held them at `from`
  // Android 4.4 and later: `alarms` are the templates, and these their instances at `from`.
  bool clock_app = false;
  std::vector<LifeInstanceRow> instances;
  // The instances the last run left (read after the life): the clock application, started
  // then, would ring again or report missed those still to ring before the life's end.
  std::vector<LifeInstanceRow> instances_at_end;
  std::optional<LifeSnoozeNote> note_at_start;  // the snooze note found at `from`
  // Its further pairs: snoozes still to ring when it was written.
  std::vector<LifeSnoozeNote> other_notes_at_start;
  std::vector<LifeBoot> boots;        // in order
  std::vector<double> rings;          // each ring start, epoch (fractional)
  std::vector<LifeSnoozeNote> notes;  // snooze notes written during the life
};

enum class LifeResult { kOnTime, kLate, kMissed };
// "on-time", "late", "missed".
const char* life_result_name(LifeResult result);

// An instant that should have rung, and how it went.
struct LifeInstant {
  int64_t due = 0;
  int alarm_id = 0;
  bool snooze = false;  // the end of a snooze rather than an alarm's own time
  LifeResult result = LifeResult::kMissed;
  std::optional<double> rang_at;  // the ring matched to it
  double late_seconds = 0;        // rang_at - due, never below 0; 0 when missed
};

struct LifeSummary {
  int expected = 0;
  int on_time = 0;
  int late = 0;
  int missed = 0;
  int unexpected = 0;
  int boots = 0;
  int lost_wakes = 0;
  // Instances left to ring (states 0 to 5) at a moment before the life's end.
  int stale_instances = 0;
  double audible_seconds = 0;  // the sound heard in all the boots
};

struct LifeReport {
  std::vector<LifeInstant> expected;     // as life_expected_instants orders them
  std::vector<double> unexpected_rings;  // in order
  std::vector<size_t> lost_wake_boots;   // indexes into LifeInput::boots
  LifeSummary summary;
};

// A ring counts for an instant from this long before it (the observed start is rounded).
constexpr double LIFE_RING_EARLY_SECS = 0.5;
// The program may start boot - 20 s after the RTC's wake (it is woken 20 s ahead); a ring
// this much later than that is still on time.
constexpr double LIFE_RTC_AHEAD_SECS = 20;
constexpr double LIFE_ON_TIME_SLACK_SECS = 2;
// How late a ring may be and still count as on time: max(0, boot - 20) + 2.
double life_on_time_allowance(double boot_seconds);

// The same local time `days` calendar days after `from` (a day of a daylight-saving
// change is 23 or 25 hours long).
int64_t life_span_end(int64_t from, int days);

// The local calendar: the day number (days since 1970-01-01) of the local date of an
// epoch, the civil date of a day number, and its weekday (0 Monday ... 6 Sunday).
int64_t life_local_day(int64_t epoch);
void life_civil_date(int64_t day, int* year, int* month, int* mday);
int life_weekday(int64_t day);

// The epoch of local hh:mm:00 on the civil date y-m-d. A time the clocks skip (spring
// forward) is moved on by the length of the skip (02:30 becomes 03:30); a time that occurs
// twice (fall back) is its first occurrence.
int64_t life_local_instant(int year, int month, int day, int hour, int minute);

// Every instant that should ring in [from, end), end being `to` or `phone_on_from` when
// earlier; sorted by due (an alarm's own time before a snooze's end of the same second),
// then alarm id; results not judged yet (all missed):
// - an enabled repeating alarm at hh:mm:00 of each day whose weekday bit is set;
// - an enabled one-shot alarm once: today's hh:mm:00 if it is not before `from`, else
//   tomorrow's;
// - with the 4.4+ tables (`clock_app`): each instance in states 0 to 5 at its own local date
//   and time; an enabled repeating template on its days only after its latest instance;
//   a one-shot template through its instance alone;
// - the end of each snooze the user took (the notes at the start and each note written
//   during the life) and did not end before it: by stopping that alarm (a stop of the
//   policy, LifeParams::stops, for a ring that served one of the alarm's own instants) or
//   by snoozing it again; only when the note names an alarm of the records (enabled or not:
//   a rung one-shot alarm is disabled); a note seen twice counts once.
// Records with an hour outside 0..23 or minutes outside 0..59 never ring.
std::vector<LifeInstant> life_expected_instants(const LifeInput& input);

// The expected instants judged against the rings. Instants of the same due second form
// a group, satisfied by one ring: the first ring from LIFE_RING_EARLY_SECS before the due
// up to the same margin before the next group's due (no bound for the last group). A
// group's ring within life_on_time_allowance of the due is on time, a later one late; no
// ring is missed. Every ring that is no group's ring is unexpected (rung twice, a phantom).
// A lost wake is a power-off whose RTC alarm would not wake the phone while an expected
// instant still lies after it.
LifeReport judge_life(const LifeInput& input);

// The alarm table of the sandbox at `dir`, read with the host's sqlite3. False with a
// reason in `error` when the database cannot be read.
// With the 4.4+ tables instead (the device-protected database first), the templates go to
// `out` and their instances to `instances`, and `clock_app` is set.
bool read_life_alarms(const std::string& dir, std::vector<LifeAlarm>* out, std::string* error,
                      bool* clock_app = nullptr, std::vector<LifeInstanceRow>* instances = nullptr);
// The snooze note's text as the program writes it ("ID\nEND_MS\n", NUL-padded): its alarm
// id and end (written_at left 0); none when it does not read so.
std::optional<LifeSnoozeNote> parse_life_snooze_note(std::string_view text);
// The snooze note of the sandbox at `dir`; none when there is none or it does not read.
std::optional<LifeSnoozeNote> read_life_snooze_note(const std::string& dir);
// Every pair of that note, the snooze taken last first; pairs that do not read are left out.
std::vector<LifeSnoozeNote> read_life_snooze_notes(const std::string& dir);

// The report as JSON: the parameters (from, to, days, tz, boot, rtc_min_lead, user, speed,
// ended_early: null or the reason, phone_on_from), boots (wake, start, exit_status,
// powered_off, poweroff_at, rtc_alarm, rtc_wakes, lost_wake), rings, snooze_notes
// (written_at, alarm_id, end), expected (due, alarm_id, snooze, result, rang_at,
// late_seconds: null when missed), unexpected_rings and summary.
std::string life_json(const LifeInput& input, const LifeReport& report);
// The same for a person: local times with the weekday, the alarms, a line per boot, per
// snooze note, per expected instant and per unexpected ring, then the summary.
std::string life_text(const LifeInput& input, const LifeReport& report);
