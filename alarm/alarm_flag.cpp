#include "alarm/alarm_flag.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "base/decimal_text.h"
#include "base/kernel_log.h"
#include "platform/platform.h"

const char* g_alarm_ring_path = DEFAULT_RING_PATH;
int32_t g_alarm_last_time = 0;
int32_t g_alarm_delay_time = 0;

namespace {

constexpr char kSeparators[] = " \t\n";
constexpr int kRingMinutesField = 3;
constexpr int kRingPathField = 4;
constexpr int kSnoozeMinutesField = 5;
constexpr int32_t kSecondsPerMinute = 60;
constexpr int32_t kMaxMinutes = std::numeric_limits<int32_t>::max() / kSecondsPerMinute;

// The file's text for the life of the program; g_alarm_ring_path points into it. One byte
// more than is read, so the text always ends in NUL.
char g_alarm_flag_text[ALARM_FLAG_BUFFER_SIZE + 1];

// Minutes as an unsigned decimal (white space, then digits up to the first other
// character), as seconds; 0, missing or not numeric gives one minute. A number of minutes
// too large for 32-bit seconds gives the largest.
int32_t minutes_field_to_secs(const char* field) {
  if (field == nullptr) return ALARM_FLAG_DEFAULT_SECS;
  const char* p = field;
  while (is_c_space(*p)) ++p;
  int64_t minutes = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    minutes = minutes * 10 + (*p - '0');
    if (minutes > kMaxMinutes) return kMaxMinutes * kSecondsPerMinute;
  }
  if (minutes == 0) return ALARM_FLAG_DEFAULT_SECS;
  return static_cast<int32_t>(minutes) * kSecondsPerMinute;
}

void use_defaults_for_periods() {
  g_alarm_last_time = ALARM_FLAG_DEFAULT_SECS;
  g_alarm_delay_time = ALARM_FLAG_DEFAULT_SECS;
}

}  // namespace

const char* read_alarm_flag() {
  std::string path = device_path(ALARM_FLAG_PATH);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    kernel_log_write(3, "<3>alarm: %s open error: %s\n", ALARM_FLAG_PATH, strerror(errno));
    use_defaults_for_periods();
    return nullptr;
  }
  memset(g_alarm_flag_text, 0, sizeof g_alarm_flag_text);
  ssize_t got;
  do {
    got = read(fd, g_alarm_flag_text, ALARM_FLAG_BUFFER_SIZE);
  } while (got < 0 && errno == EINTR);
  close(fd);
  if (got < 0) {
    printf("read %s failed\n", ALARM_FLAG_PATH);
    memset(g_alarm_flag_text, 0, sizeof g_alarm_flag_text);
    use_defaults_for_periods();
    return nullptr;
  }
  printf("%s get: %s\n", ALARM_FLAG_PATH, g_alarm_flag_text);

  char* fields[kSnoozeMinutesField + 1] = {};
  char* save = nullptr;
  char* field = strtok_r(g_alarm_flag_text, kSeparators, &save);
  for (int n = 1; field != nullptr && n <= kSnoozeMinutesField; ++n) {
    fields[n] = field;
    field = strtok_r(nullptr, kSeparators, &save);
  }

  const char* ring_path = fields[kRingPathField];
  if (ring_path != nullptr && ring_path[0] != '/') {
    // Only a full path names one file, whatever directory the program runs in.
    kernel_log_write(3, "<3>alarm: ring file %s: not a full path\n", ring_path);
    ring_path = nullptr;
  }
  if (ring_path != nullptr) {
    struct stat st;
    if (stat(device_path(ring_path).c_str(), &st) != 0) {
      kernel_log_write(3, "<3>alarm: ring file %s: %s\n", ring_path, strerror(errno));
      ring_path = nullptr;
    }
  }
  g_alarm_ring_path = ring_path;
  g_alarm_last_time = minutes_field_to_secs(fields[kRingMinutesField]);
  g_alarm_delay_time = minutes_field_to_secs(fields[kSnoozeMinutesField]);
  return ring_path;
}

void alarm_flag_reset() {
  memset(g_alarm_flag_text, 0, sizeof g_alarm_flag_text);
  g_alarm_ring_path = DEFAULT_RING_PATH;
  g_alarm_last_time = 0;
  g_alarm_delay_time = 0;
}
