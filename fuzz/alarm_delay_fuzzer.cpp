// The snooze note: the input is the whole of the note file, read by read_alarm_delay as at
// start-up with a few alarms in g_alarm_list. The items are held against a plain reading of
// the note: pairs of lines, each with its snooze end within the window the reader believes
// and its alarm found by its id, at most one pair per alarm and no more than the note holds.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "alarm/alarm_db.h"
#include "alarm/alarm_delay.h"
#include "alarm/alarm_schedule.h"
#include "fuzz/fuzz_support.h"

namespace {

// Alarm 5 twice: the first record with the id is the one the item takes.
const char* const kRows[] = {
    "1|6|45|127|0|1|0|work|content://media/internal/audio/media/1\n",
    "5|7|30|31|0|1|1|label|content://media/internal/audio/media/5\n",
    "0|0|0|0|0|0|0||silent\n",
    "-7|23|59|64|0|1|1|late|content://media/internal/audio/media/7\n",
    "5|8|0|96|0|0|0|copy|content://media/internal/audio/media/55\n",
};

bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

struct ExpectedPair {
  int32_t id = 0;
  int64_t end = 0;
  bool in_window = false;
};

// Line 1 of a pair a signed decimal (low 32 bits), line 2 an unsigned decimal followed by
// three characters of milliseconds; blank lines do not count. None when line 2 is shorter.
bool expected_pair(std::string_view id, std::string_view end_line, ExpectedPair* want) {
  if (end_line.size() < 3) return false;
  while (!id.empty() && is_space(id.front())) id.remove_prefix(1);
  bool negative = !id.empty() && id.front() == '-';
  if (!id.empty() && (id.front() == '-' || id.front() == '+')) id.remove_prefix(1);
  uint32_t v = 0;
  for (size_t i = 0; i < id.size() && id[i] >= '0' && id[i] <= '9'; ++i) {
    v = v * 10u + static_cast<uint32_t>(id[i] - '0');
  }
  v = negative ? 0u - v : v;
  memcpy(&want->id, &v, sizeof want->id);

  std::string_view secs = end_line.substr(0, end_line.size() - 3);
  while (!secs.empty() && is_space(secs.front())) secs.remove_prefix(1);
  constexpr int64_t kBeyondAnyWindow = int64_t{1} << 50;
  want->end = 0;
  for (size_t i = 0; i < secs.size() && secs[i] >= '0' && secs[i] <= '9'; ++i) {
    want->end = want->end * 10 + (secs[i] - '0');
    if (want->end > kBeyondAnyWindow) break;
  }
  // The sandbox's phone woke as it was made: the stale limit is the minute.
  int64_t now = fuzz_now_sec();
  want->in_window =
      want->end >= now - ALARM_DELAY_STALE_SECS && want->end <= now + ALARM_DELAY_AHEAD_LIMIT_SECS;
  return true;
}

const AlarmRecord* first_with_id(int32_t id) {
  for (const AlarmRecord* r = g_alarm_list; r != nullptr; r = r->next) {
    if (r->id == id) return r;
  }
  return nullptr;
}

struct ExpectedItem {
  const AlarmRecord* record;
  int64_t end;
};

std::vector<ExpectedItem> expected_items(const uint8_t* data, size_t size) {
  size_t n = size < ALARM_DELAY_FILE_SIZE ? size : ALARM_DELAY_FILE_SIZE;
  std::string text(reinterpret_cast<const char*>(data), n);
  text.resize(strlen(text.c_str()));
  std::vector<std::string_view> lines;
  for (size_t pos = 0;;) {
    size_t start = text.find_first_not_of('\n', pos);
    if (start == std::string::npos) break;
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(std::string_view(text).substr(start, end - start));
    pos = end;
  }
  std::vector<ExpectedItem> want;
  for (size_t pair = 0; pair < ALARM_DELAY_MAX_SNOOZES && 2 * pair + 1 < lines.size(); ++pair) {
    ExpectedPair p;
    if (!expected_pair(lines[2 * pair], lines[2 * pair + 1], &p) || !p.in_window) continue;
    const AlarmRecord* record = first_with_id(p.id);
    if (record == nullptr) continue;
    bool again = false;
    for (const ExpectedItem& w : want) again = again || w.record->id == record->id;
    if (!again) want.push_back({record, p.end});
  }
  return want;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_sandbox_init("2026-12-09 06:59:40");
  fuzz_make_dir("/data/data/com.android.deskclock/files");
  for (const char* row : kRows) {
    if (parse_alarm_row(row) != 0) return -1;
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_write_file(ALARM_DELAY_PATH, data, size);
  std::vector<ExpectedItem> want = expected_items(data, size);

  AlarmSecItem* head = read_alarm_delay();
  AlarmSecItem* item = head;
  for (const ExpectedItem& w : want) {
    FUZZ_CHECK(item != nullptr);
    FUZZ_CHECK(item->id == w.record->id);
    FUZZ_CHECK(item->vib == w.record->vibrate);
    FUZZ_CHECK(item->ala == w.record->alert);
    FUZZ_CHECK(item->snooze_end == w.end);
    FUZZ_CHECK(!item->snooze_over);

    // Weekday (Monday 0) and time of day of the snooze end, as seconds of the week.
    time_t end = static_cast<time_t>(w.end);
    struct tm tm = {};
    FUZZ_CHECK(localtime_r(&end, &tm) != nullptr);
    int day = (tm.tm_wday + 6) % 7;
    int second = tm.tm_sec > 59 ? 59 : tm.tm_sec;
    FUZZ_CHECK(item->day == day);
    FUZZ_CHECK(item->secs == day * SECONDS_PER_DAY + tm.tm_hour * 3600 + tm.tm_min * 60 + second);
    FUZZ_CHECK(item->secs >= 0 && item->secs < SECONDS_PER_WEEK);
    item = item->next;
  }
  FUZZ_CHECK(item == nullptr);
  while (head != nullptr) {
    AlarmSecItem* next = head->next;
    delete head;
    head = next;
  }
  return 0;
}
