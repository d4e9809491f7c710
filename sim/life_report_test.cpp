#include "sim/life_report.h"

#include <stdlib.h>

#include <ctime>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "alarm/alarm_delay.h"
#include "alarm/alarm_flag.h"
#include "sandbox/sandbox_platform.h"
#include "sim/life_files.h"
#include "sim/life_picture.h"
#include "sim/sandbox_builder.h"
#include "sim/test_sandbox.h"
#include "sim/test_time.h"

namespace {

int64_t local(const char* at) {
  return parse_local_time_us(at) / 1000000;
}

LifeAlarm alarm(int id, int hour, int minutes, int days, bool enabled = true) {
  LifeAlarm a;
  a.id = id;
  a.hour = hour;
  a.minutes = minutes;
  a.daysofweek = days;
  a.enabled = enabled;
  return a;
}

LifeInput life(const char* tz, const char* from, int days, std::vector<LifeAlarm> alarms) {
  EXPECT_TRUE(use_time_zone(tz));
  LifeInput in;
  in.params.tz = tz;
  in.params.from = local(from);
  in.params.days = days;
  in.params.to = life_span_end(in.params.from, days);
  in.params.user = "stop:10";
  in.alarms = std::move(alarms);
  return in;
}

LifeSnoozeNote note(int id, int64_t end, double written_at = 0) {
  LifeSnoozeNote n;
  n.alarm_id = id;
  n.end = end;
  n.written_at = written_at;
  return n;
}

using Due = std::tuple<int64_t, int, bool>;  // due, alarm id, snooze

std::vector<Due> dues(const std::vector<LifeInstant>& instants) {
  std::vector<Due> out;
  for (const LifeInstant& i : instants) out.emplace_back(i.due, i.alarm_id, i.snooze);
  return out;
}

constexpr int kWeekdays = 0x1f;  // Monday to Friday
constexpr int kWeekend = 0x60;   // Saturday and Sunday
constexpr int kEveryDay = 0x7f;

// A JSON syntax check: true when the whole text is one JSON value.
class JsonChecker {
 public:
  explicit JsonChecker(const std::string& text) : s_(text) {}
  bool valid() {
    bool ok = value();
    space();
    return ok && i_ == s_.size();
  }

 private:
  void space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\t')) ++i_;
  }
  bool literal(const char* word) {
    std::string w(word);
    if (s_.compare(i_, w.size(), w) != 0) return false;
    i_ += w.size();
    return true;
  }
  bool string() {
    if (s_[i_] != '"') return false;
    for (++i_; i_ < s_.size(); ++i_) {
      if (s_[i_] == '"') {
        ++i_;
        return true;
      }
      if (static_cast<unsigned char>(s_[i_]) < 0x20) return false;
      if (s_[i_] == '\\') ++i_;
    }
    return false;
  }
  bool number() {
    size_t start = i_;
    if (s_[i_] == '-') ++i_;
    while (i_ < s_.size() && (isdigit(static_cast<unsigned char>(s_[i_])) || s_[i_] == '.' ||
                              s_[i_] == 'e' || s_[i_] == '+' || s_[i_] == '-')) {
      ++i_;
    }
    return i_ > start && isdigit(static_cast<unsigned char>(s_[i_ - 1]));
  }
  template <typename F>
  bool sequence(char close, F&& item) {
    ++i_;
    space();
    if (i_ < s_.size() && s_[i_] == close) return ++i_, true;
    while (true) {
      space();
      if (!item()) return false;
      space();
      if (i_ >= s_.size()) return false;
      if (s_[i_] == close) return ++i_, true;
      if (s_[i_++] != ',') return false;
    }
  }
  bool value() {
    space();
    if (i_ >= s_.size()) return false;
    switch (s_[i_]) {
      case '{':
        return sequence('}', [this] {
          if (!string()) return false;
          space();
          return i_ < s_.size() && s_[i_++] == ':' && value();
        });
      case '[':
        return sequence(']', [this] { return value(); });
      case '"':
        return string();
      case 't':
        return literal("true");
      case 'f':
        return literal("false");
      case 'n':
        return literal("null");
      default:
        return number();
    }
  }
  const std::string& s_;
  size_t i_ = 0;
};

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

// What should ring, from the records alone.

TEST(LifeExpected, AWeekOfWeekdayWeekendAndOneShotAlarmsAndTheSnoozeNote) {
  // Berlin is UTC+1 in December; Wednesday 2026-12-09 06:45 local is 05:45 UTC.
  LifeInput in = life("Europe/Berlin", "2026-12-09 06:45:00", 7,
                      {alarm(1, 7, 0, kWeekdays), alarm(2, 9, 30, kWeekend),
                       alarm(3, 6, 30, 0),                   // once: today's 06:30 has passed
                       alarm(4, 8, 0, kEveryDay, false),     // disabled
                       alarm(5, 24, 0, kEveryDay)});         // no such time
  in.note_at_start = note(1, local("2026-12-09 06:50:00"));  // a snooze that ends in the life
  EXPECT_EQ(in.params.to, epoch_utc(2026, 12, 16, 5, 45));

  std::vector<Due> expected = {
      {epoch_utc(2026, 12, 9, 5, 50), 1, true},    // Wed 06:50, the note's snooze
      {epoch_utc(2026, 12, 9, 6, 0), 1, false},    // Wed 07:00
      {epoch_utc(2026, 12, 10, 5, 30), 3, false},  // Thu 06:30, the one-shot alarm, once
      {epoch_utc(2026, 12, 10, 6, 0), 1, false},   // Thu
      {epoch_utc(2026, 12, 11, 6, 0), 1, false},   // Fri
      {epoch_utc(2026, 12, 12, 8, 30), 2, false},  // Sat 09:30
      {epoch_utc(2026, 12, 13, 8, 30), 2, false},  // Sun 09:30
      {epoch_utc(2026, 12, 14, 6, 0), 1, false},   // Mon
      {epoch_utc(2026, 12, 15, 6, 0), 1, false},   // Tue; Wednesday's 07:00 lies after the end
  };
  EXPECT_EQ(dues(life_expected_instants(in)), expected);

  // A one-shot alarm not yet passed rings today; a stale note and one naming no alarm do not.
  in.alarms = {alarm(3, 6, 45, 0)};
  in.note_at_start = note(3, local("2026-12-09 06:44:59"));
  in.notes = {note(9, local("2026-12-09 07:00:00"))};
  EXPECT_EQ(dues(life_expected_instants(in)),
            (std::vector<Due>{{epoch_utc(2026, 12, 9, 5, 45), 3, false}}));
}

TEST(LifeExpected, DaylightSavingDaysInBerlin) {
  // Sunday 2026-03-29 skips 02:00-03:00; Sunday 2026-10-25 has 02:00-03:00 twice.
  LifeInput spring = life("Europe/Berlin", "2026-03-28 12:00:00", 2,
                          {alarm(1, 2, 30, kEveryDay), alarm(2, 7, 0, kEveryDay)});
  EXPECT_EQ(spring.params.to - spring.params.from, 47 * 3600);  // a day of 23 hours
  std::vector<Due> spring_expected = {
      {epoch_utc(2026, 3, 29, 1, 30), 1, false},  // 02:30 is skipped: 03:30 CEST
      {epoch_utc(2026, 3, 29, 5, 0), 2, false},   // 07:00 CEST
      {epoch_utc(2026, 3, 30, 0, 30), 1, false},  // 02:30 CEST
      {epoch_utc(2026, 3, 30, 5, 0), 2, false},
  };
  EXPECT_EQ(dues(life_expected_instants(spring)), spring_expected);

  LifeInput autumn = life("Europe/Berlin", "2026-10-24 12:00:00", 2,
                          {alarm(1, 2, 30, kEveryDay), alarm(2, 7, 0, kEveryDay)});
  EXPECT_EQ(autumn.params.to - autumn.params.from, 49 * 3600);  // a day of 25 hours
  std::vector<Due> autumn_expected = {
      {epoch_utc(2026, 10, 25, 0, 30), 1, false},  // the first 02:30 (CEST), not the second
      {epoch_utc(2026, 10, 25, 6, 0), 2, false},   // 07:00 CET
      {epoch_utc(2026, 10, 26, 1, 30), 1, false},
      {epoch_utc(2026, 10, 26, 6, 0), 2, false},
  };
  EXPECT_EQ(dues(life_expected_instants(autumn)), autumn_expected);
}

// Rings matched to instants.

TEST(LifeJudge, OnTimeWithinTheBootDelayAllowanceLateBeyondItMissedWithoutARing) {
  EXPECT_EQ(life_on_time_allowance(0), 2);  // woken 20 s ahead: no excuse
  EXPECT_EQ(life_on_time_allowance(20), 2);
  EXPECT_EQ(life_on_time_allowance(70), 52);

  LifeInput in = life("UTC", "2026-12-07 00:00:00", 3, {alarm(1, 7, 0, kEveryDay)});
  in.params.boot_seconds = 35;  // rung within 17 s is on time
  in.rings = {static_cast<double>(epoch_utc(2026, 12, 7, 7, 0, 17)),
              epoch_utc(2026, 12, 8, 7, 0, 17) + 0.5};  // Wednesday has no ring
  LifeReport r = judge_life(in);
  ASSERT_EQ(r.expected.size(), 3u);
  EXPECT_EQ(r.expected[0].result, LifeResult::kOnTime);
  EXPECT_DOUBLE_EQ(r.expected[0].late_seconds, 17);
  EXPECT_EQ(r.expected[1].result, LifeResult::kLate);
  EXPECT_DOUBLE_EQ(*r.expected[1].rang_at, epoch_utc(2026, 12, 8, 7, 0, 17) + 0.5);
  EXPECT_EQ(r.expected[2].result, LifeResult::kMissed);
  EXPECT_FALSE(r.expected[2].rang_at);
  EXPECT_EQ(r.summary.on_time, 1);
  EXPECT_EQ(r.summary.late, 1);
  EXPECT_EQ(r.summary.missed, 1);
  EXPECT_EQ(r.summary.unexpected, 0);
}

TEST(LifeJudge, OneRingPerMinuteGroupTheRestAreUnexpected) {
  // Monday: alarms 1 and 2 at 07:00 share a ring (half a second early still counts), alarm
  // 3 at 07:01 needs its own; 07:00 rung twice, and a phantom at 03:00. Tuesday: 07:00's
  // ring comes after 07:01 is due, so it belongs to 07:01 and 07:00 is missed.
  LifeInput in =
      life("UTC", "2026-12-07 00:00:00", 2,
           {alarm(1, 7, 0, kEveryDay), alarm(2, 7, 0, kEveryDay), alarm(3, 7, 1, kEveryDay)});
  const double mon = static_cast<double>(epoch_utc(2026, 12, 7, 0, 0));
  const double tue = static_cast<double>(epoch_utc(2026, 12, 8, 0, 0));
  in.rings = {mon + 7 * 3600 - 0.4, mon + 7 * 3600 + 40, mon + 7 * 3600 + 60.2, mon + 3 * 3600,
              tue + 7 * 3600 + 65};
  LifeReport r = judge_life(in);
  ASSERT_EQ(r.expected.size(), 6u);
  for (int i : {0, 1}) {
    EXPECT_EQ(r.expected[i].result, LifeResult::kOnTime) << i;
    EXPECT_DOUBLE_EQ(*r.expected[i].rang_at, mon + 7 * 3600 - 0.4) << i;
    EXPECT_DOUBLE_EQ(r.expected[i].late_seconds, 0) << i;
  }
  EXPECT_EQ(r.expected[2].alarm_id, 3);
  EXPECT_DOUBLE_EQ(*r.expected[2].rang_at, mon + 7 * 3600 + 60.2);
  EXPECT_EQ(r.expected[3].result, LifeResult::kMissed);
  EXPECT_EQ(r.expected[4].result, LifeResult::kMissed);
  EXPECT_EQ(r.expected[5].result, LifeResult::kLate);
  EXPECT_DOUBLE_EQ(r.expected[5].late_seconds, 5);
  EXPECT_EQ(r.unexpected_rings, (std::vector<double>{mon + 3 * 3600, mon + 7 * 3600 + 40}));
}

TEST(LifeJudge, TheRingAtTheEndOfASnoozeIsExpected) {
  LifeInput in = life("UTC", "2026-12-07 00:00:00", 1, {alarm(1, 7, 0, kEveryDay)});
  const double seven = static_cast<double>(epoch_utc(2026, 12, 7, 7, 0));
  in.rings = {seven + 1, seven + 611.2};
  EXPECT_EQ(judge_life(in).unexpected_rings, std::vector<double>{seven + 611.2});

  in.notes = {note(1, epoch_utc(2026, 12, 7, 7, 10, 11), epoch_utc(2026, 12, 7, 7, 0, 11))};
  LifeReport r = judge_life(in);
  EXPECT_TRUE(r.unexpected_rings.empty());
  ASSERT_EQ(r.expected.size(), 2u);
  EXPECT_TRUE(r.expected[1].snooze);
  EXPECT_EQ(r.expected[1].result, LifeResult::kOnTime);
  EXPECT_EQ(r.summary.expected, 2);
}

// The end of each snooze is expected unless the user ended it first: by stopping its alarm
// when it rang again, or by snoozing it again. A snooze of another alarm, or one taken from
// the ring the stop answers (the screen is dark then), stays expected; so do the further
// pairs of the note found at the start.
TEST(LifeExpected, ASnoozeIsExpectedUnlessStoppedOrSnoozedAgainFirst) {
  LifeInput in = life("UTC", "2026-12-07 00:00:00", 1,
                      {alarm(1, 7, 0, kEveryDay), alarm(2, 7, 1, kEveryDay),
                       alarm(3, 7, 2, kEveryDay), alarm(4, 8, 0, kEveryDay)});
  in.params.stops = LifeParams::Stops::kLaterRings;
  in.params.stop_delay = 10;
  const int64_t seven = epoch_utc(2026, 12, 7, 7, 0);
  in.note_at_start = note(4, in.params.from - 100);  // ended before the life
  in.other_notes_at_start = {note(4, seven + 1800)};
  in.rings = {seven + 1.0, seven + 61.0, seven + 121.0};
  in.notes = {note(1, seven + 311, seven + 11),    // 07:00 snoozed from the run's first ring
              note(2, seven + 361, seven + 61.5),  // 07:01 snoozed from its own ring
              note(3, seven + 421, seven + 100),   // 07:02 snoozed before it rings, then stopped
              note(1, seven + 400, seven + 200)};  // 07:00 snoozed again, in the silent state
  std::vector<Due> snoozes;
  for (const Due& d : dues(life_expected_instants(in))) {
    if (std::get<2>(d)) snoozes.push_back(d);
  }
  EXPECT_EQ(snoozes, (std::vector<Due>{
                         {seven + 361, 2, true}, {seven + 400, 1, true}, {seven + 1800, 4, true}}));
}

TEST(LifeJudge, ALostWakeIsAPowerOffThatCannotWakeBeforeALaterInstant) {
  LifeInput in = life("UTC", "2026-12-07 00:00:00", 3, {alarm(1, 7, 0, kEveryDay)});
  auto boot = [](int64_t wake, bool off, bool wakes) {
    LifeBoot b;
    b.wake = wake;
    b.start = wake + 20;
    b.exit_status = 0;
    b.powered_off = off;
    b.poweroff_at = wake + 45.5;
    b.rtc_wakes = wakes;
    b.audible_seconds = off ? 12.25 : 0.5;
    return b;
  };
  in.boots = {boot(epoch_utc(2026, 12, 7, 6, 59, 40), true, true),   // wakes: fine
              boot(epoch_utc(2026, 12, 8, 6, 59, 40), true, false),  // Wednesday's alarm is lost
              boot(epoch_utc(2026, 12, 9, 6, 59, 40), true, false),  // nothing left to ring
              boot(epoch_utc(2026, 12, 9, 8, 0, 0), false, false)};  // left on, not powered off
  LifeReport r = judge_life(in);
  EXPECT_EQ(r.lost_wake_boots, std::vector<size_t>{1});
  EXPECT_EQ(r.summary.lost_wakes, 1);
  EXPECT_EQ(r.summary.boots, 4);
  EXPECT_DOUBLE_EQ(r.summary.audible_seconds, 3 * 12.25 + 0.5);  // every boot's sound

  // Left on (Android would start) on Tuesday: Wednesday is not the program's to ring.
  in.params.phone_on_from = epoch_utc(2026, 12, 8, 7, 1);
  r = judge_life(in);
  EXPECT_EQ(r.summary.expected, 2);
  EXPECT_TRUE(r.lost_wake_boots.empty());
}

// Readers and files.

TEST(LifeReaders, ReadTheAlarmTableAndTheNoteTheProgramWrites) {
  TestSandbox sb("2026-12-09 06:59:40");
  sb.add_alarm(1, 7, 0, kWeekdays, 1, 1, "Work");
  sb.add_alarm(2, 6, 30, 0, 0, 0);
  std::vector<LifeAlarm> alarms;
  std::string error;
  ASSERT_TRUE(read_life_alarms(sb.root(), &alarms, &error)) << error;
  ASSERT_EQ(alarms.size(), 2u);
  EXPECT_EQ(std::make_tuple(alarms[0].id, alarms[0].hour, alarms[0].minutes, alarms[0].daysofweek,
                            alarms[0].enabled),
            std::make_tuple(1, 7, 0, kWeekdays, true));
  EXPECT_EQ(std::make_tuple(alarms[1].id, alarms[1].daysofweek, alarms[1].enabled),
            std::make_tuple(2, 0, false));

  EXPECT_FALSE(read_life_snooze_note(sb.root()));
  g_alarm_delay_time = 600;
  AlarmSecItem item{};
  item.id = 7;
  ASSERT_EQ(write_alarm_delay(&item), 0);
  std::optional<LifeSnoozeNote> n = read_life_snooze_note(sb.root());
  ASSERT_TRUE(n);
  EXPECT_EQ(n->alarm_id, 7);
  EXPECT_EQ(n->end, local_epoch_us("2026-12-09 06:59:40", "UTC") / 1000000 + 600);
  EXPECT_FALSE(parse_life_snooze_note("7\nsoon\n"));
  EXPECT_FALSE(parse_life_snooze_note("7\n"));
}

TEST(LifeFiles, JsonParsesTextAndPictureShowEachResult) {
  TestSandbox sb;  // the life's directory
  LifeInput in = life("UTC", "2026-12-07 00:00:00", 2, {alarm(1, 7, 0, kEveryDay)});
  in.params.boot_seconds = 35;
  in.params.ended_early = "the \"phone\" was left on";
  LifeBoot b;
  b.wake = epoch_utc(2026, 12, 7, 6, 59, 40);
  b.start = b.wake + 35;
  b.powered_off = true;
  b.poweroff_at = b.wake + 60.25;
  b.rtc_alarm = epoch_utc(2026, 12, 8, 7, 0, 0);
  b.rtc_wakes = false;  // too close: Tuesday's 07:00 is lost
  in.boots = {b};
  const double phantom = static_cast<double>(epoch_utc(2026, 12, 7, 15, 7));
  in.rings = {b.start + 0.5, phantom};
  in.notes = {note(9, b.wake + 600, b.wake + 30)};  // names no alarm: listed, not expected
  LifeReport r = judge_life(in);

  std::string error;
  ASSERT_TRUE(write_life_files(sb.root(), in, r, &error)) << error;
  std::string json, text, png;
  ASSERT_TRUE(read_text_file(sb.path("/sim/life.json"), &json));
  ASSERT_TRUE(read_text_file(sb.path("/sim/life.txt"), &text));
  ASSERT_TRUE(read_text_file(sb.path("/sim/life.png"), &png));

  EXPECT_TRUE(JsonChecker(json).valid()) << json;
  for (const char* key : {"\"boots\"",
                          "\"wake\"",
                          "\"start\"",
                          "\"exit_status\": null",
                          "\"powered_off\": true",
                          "\"poweroff_at\": ",
                          "\"rtc_alarm\": ",
                          "\"rtc_wakes\": false",
                          "\"rings\"",
                          "\"expected\"",
                          "\"due\"",
                          "\"alarm_id\": 1",
                          "\"result\": \"on-time\"",
                          "\"result\": \"missed\"",
                          "\"rang_at\": null",
                          "\"snooze_notes\": [{\"written_at\": ",
                          "\"late_seconds\": 15.500",
                          "\"unexpected_rings\"",
                          "\"ended_early\": \"the \\\"phone\\\" was left on\"",
                          "\"summary\": {\"expected\": 2, \"on_time\": 1, \"late\": 0, "
                          "\"missed\": 1, \"unexpected\": 1, \"boots\": 1, \"lost_wakes\": 1, "
                          "\"audible_seconds\": 0.000}"}) {
    EXPECT_TRUE(contains(json, key)) << key;
  }
  EXPECT_TRUE(contains(text,
                       "Mon 2026-12-07 06:59:40 UTC, started 07:00:15, stopped (no exit), "
                       "powered off at 07:00:40.250, RTC Tue 2026-12-08 07:00:00 UTC "
                       "(would not wake)  LOST WAKE"))
      << text;
  EXPECT_TRUE(contains(text, "Tue 2026-12-08 07:00:00 UTC  alarm 1            missed\n")) << text;
  EXPECT_TRUE(contains(text, "unexpected rings:\n  Mon 2026-12-07 15:07:00.000 UTC\n")) << text;
  EXPECT_TRUE(contains(text, "summary: 2 expected, 1 on time, 0 late, 1 missed, 1 unexpected"));
  EXPECT_EQ(png.compare(1, 3, "PNG"), 0);

  // The missed instant in the upper half of its row, the phantom in the lower half.
  FbCapture pic = life_picture(in, r);
  auto colour_at = [&](int64_t epoch, int dy) {
    int x = 0, top = 0;
    EXPECT_TRUE(life_picture_position(in, epoch, &x, &top));
    const uint8_t* p = pic.pixel(x, top + dy);
    return static_cast<uint32_t>(p[0] << 16 | p[1] << 8 | p[2]);
  };
  const int upper = LIFE_PICTURE_HALF_HEIGHT / 2;
  const int lower = LIFE_PICTURE_HALF_HEIGHT + upper;
  EXPECT_EQ(colour_at(epoch_utc(2026, 12, 8, 7, 0), upper), LIFE_COLOUR_MISSED);
  EXPECT_EQ(colour_at(epoch_utc(2026, 12, 7, 7, 0), upper), LIFE_COLOUR_ON_TIME);
  EXPECT_EQ(colour_at(static_cast<int64_t>(phantom), lower), LIFE_COLOUR_UNEXPECTED);
  EXPECT_EQ(colour_at(static_cast<int64_t>(phantom), upper), 0xffffffu);
}
