// The configuration file: the input is the whole of "/productinfo/alarm_flag", read by
// read_alarm_flag as at start-up. The settings are held against a plain strtok reading of
// the text: periods positive whole minutes, the ring path a full path that names an existing file.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "alarm/alarm_flag.h"
#include "fuzz/fuzz_support.h"
#include "platform/platform.h"

namespace {

constexpr int32_t kMinute = 60;
constexpr int64_t kMaxMinutes = std::numeric_limits<int32_t>::max() / kMinute;

// The ring files a configuration may name; the seeds use them.
const char* const kRingFiles[] = {"/res/sounds/default_ring.mp3", "/sdcard/ring.mp3"};

struct ExpectedSettings {
  std::string ring_path;  // empty: none
  int32_t ring_secs = 0;
  int32_t snooze_secs = 0;
};

int32_t minutes_to_secs(const char* field) {
  if (field == nullptr) return kMinute;
  while (*field == ' ' || (*field >= '\t' && *field <= '\r')) ++field;
  int64_t minutes = 0;
  for (; *field >= '0' && *field <= '9' && minutes <= kMaxMinutes; ++field) {
    minutes = minutes * 10 + (*field - '0');
  }
  if (minutes == 0) return kMinute;
  if (minutes > kMaxMinutes) minutes = kMaxMinutes;  // the longest period 32 bits can hold
  return static_cast<int32_t>(minutes * kMinute);
}

ExpectedSettings expected_settings(const uint8_t* data, size_t size) {
  char text[ALARM_FLAG_BUFFER_SIZE + 1] = {};
  memcpy(text, data, size < ALARM_FLAG_BUFFER_SIZE ? size : ALARM_FLAG_BUFFER_SIZE);
  const char* fields[6] = {};
  char* save = nullptr;
  int n = 0;
  for (char* f = strtok_r(text, " \t\n", &save); f != nullptr && n < 5;
       f = strtok_r(nullptr, " \t\n", &save)) {
    fields[++n] = f;
  }
  ExpectedSettings want;
  want.ring_secs = minutes_to_secs(fields[3]);
  want.snooze_secs = minutes_to_secs(fields[5]);
  struct stat st;
  if (fields[4] != nullptr && fields[4][0] == '/' &&
      stat(device_path(fields[4]).c_str(), &st) == 0) {
    want.ring_path = fields[4];
  }
  return want;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_sandbox_init("2026-12-09 06:59:40");
  fuzz_make_dir("/productinfo");
  fuzz_make_dir("/res/sounds");
  fuzz_make_dir("/sdcard");
  for (const char* ring : kRingFiles) fuzz_write_file(ring, "ring", 4);
  // The reader prints the file's text on standard output; keep it off the fuzzer's output.
  if (freopen("/dev/null", "w", stdout) == nullptr) return -1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_write_file(ALARM_FLAG_PATH, data, size);
  alarm_flag_reset();
  ExpectedSettings want = expected_settings(data, size);

  const char* ring = read_alarm_flag();
  FUZZ_CHECK(ring == g_alarm_ring_path);
  FUZZ_CHECK(g_alarm_last_time > 0 && g_alarm_last_time % kMinute == 0);
  FUZZ_CHECK(g_alarm_delay_time > 0 && g_alarm_delay_time % kMinute == 0);
  FUZZ_CHECK(g_alarm_last_time == want.ring_secs);
  FUZZ_CHECK(g_alarm_delay_time == want.snooze_secs);
  if (want.ring_path.empty()) {
    FUZZ_CHECK(ring == nullptr);
  } else {
    FUZZ_CHECK(ring != nullptr);
    FUZZ_CHECK(strnlen(ring, ALARM_FLAG_BUFFER_SIZE + 1) <= ALARM_FLAG_BUFFER_SIZE);
    FUZZ_CHECK(want.ring_path == ring);
  }
  return 0;
}
