// The snooze note: the input is the whole of the note file, read by read_alarm_delay as at
// start-up with a few alarms in g_alarm_list. The item is held against a plain reading of the
// note: the first two lines, the snooze end within the window the reader believes, the alarm
// found by its id.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

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

struct ExpectedNote {
  bool item = false;
  int32_t id = 0;
  int64_t end = 0;
};

// Line 1 a signed decimal (low 32 bits), line 2 an unsigned decimal followed by three
// characters of milliseconds; blank lines do not count.
ExpectedNote expected_note(const uint8_t* data, size_t size) {
  size_t n = size < ALARM_DELAY_FILE_SIZE ? size : ALARM_DELAY_FILE_SIZE;
  std::string text(reinterpret_cast<const char*>(data), n);
  text.resize(strlen(text.c_str()));
  std::string_view lines[2];
  size_t found = 0, pos = 0;
  while (found < 2) {
    size_t start = text.find_first_not_of('\n', pos);
    if (start == std::string::npos) break;
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines[found++] = std::string_view(text).substr(start, end - start);
    pos = end;
  }
  ExpectedNote want;
  if (found < 2 || lines[1].size() < 3) return want;

  std::string_view id = lines[0];
  while (!id.empty() && is_space(id.front())) id.remove_prefix(1);
  bool negative = !id.empty() && id.front() == '-';
  if (!id.empty() && (id.front() == '-' || id.front() == '+')) id.remove_prefix(1);
  uint32_t v = 0;
  for (size_t i = 0; i < id.size() && id[i] >= '0' && id[i] <= '9'; ++i) {
    v = v * 10u + static_cast<uint32_t>(id[i] - '0');
  }
  v = negative ? 0u - v : v;
  memcpy(&want.id, &v, sizeof want.id);

  std::string_view secs = lines[1].substr(0, lines[1].size() - 3);
  while (!secs.empty() && is_space(secs.front())) secs.remove_prefix(1);
  constexpr int64_t kBeyondAnyWindow = int64_t{1} << 50;
  for (size_t i = 0; i < secs.size() && secs[i] >= '0' && secs[i] <= '9'; ++i) {
    want.end = want.end * 10 + (secs[i] - '0');
    if (want.end > kBeyondAnyWindow) break;
  }
  int64_t now = fuzz_now_sec();
  want.item =
      want.end >= now - ALARM_DELAY_STALE_SECS && want.end <= now + ALARM_DELAY_AHEAD_LIMIT_SECS;
  return want;
}

const AlarmRecord* first_with_id(int32_t id) {
  for (const AlarmRecord* r = g_alarm_list; r != nullptr; r = r->next) {
    if (r->id == id) return r;
  }
  return nullptr;
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
  ExpectedNote want = expected_note(data, size);
  const AlarmRecord* record = want.item ? first_with_id(want.id) : nullptr;

  AlarmSecItem* item = read_alarm_delay();
  if (record == nullptr) {
    FUZZ_CHECK(item == nullptr);
    return 0;
  }
  FUZZ_CHECK(item != nullptr);
  FUZZ_CHECK(item->next == nullptr);
  FUZZ_CHECK(item->id == record->id);
  FUZZ_CHECK(item->vib == record->vibrate);
  FUZZ_CHECK(item->ala == record->alert);

  // Weekday (Monday 0) and time of day of the snooze end, as seconds of the week.
  time_t end = static_cast<time_t>(want.end);
  struct tm tm = {};
  FUZZ_CHECK(localtime_r(&end, &tm) != nullptr);
  int day = (tm.tm_wday + 6) % 7;
  FUZZ_CHECK(item->day == day);
  FUZZ_CHECK(item->secs == day * SECONDS_PER_DAY + tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec);
  FUZZ_CHECK(item->secs >= 0 && item->secs < SECONDS_PER_WEEK);
  delete item;
  return 0;
}
