#include "alarm/alarm_rtc.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "alarm/alarm_db.h"
#include "alarm/alarm_schedule.h"
#include "alarm/decimal_text.h"
#include "alarm/kernel_log.h"
#include "alarm/shell.h"
#include "platform/platform.h"

namespace {

constexpr int kAlarmTextSize = 12;  // "%i" of any 32-bit value and its NUL

// The leading signed decimal of `text` (white space, one sign, digits), clamped to 32 bits;
// false when there are no digits.
bool leading_int32(const char* text, int32_t* out) {
  const char* p = text;
  while (is_c_space(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (*p < '0' || *p > '9') return false;
  int64_t value = 0;
  constexpr int64_t kBeyond = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value <= kBeyond) value = value * 10 + (*p - '0');
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max()) value = std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) value = std::numeric_limits<int32_t>::min();
  *out = static_cast<int32_t>(value);
  return true;
}

ssize_t read_retrying(int fd, char* buf, size_t size) {
  ssize_t got;
  do {
    got = read(fd, buf, size);
  } while (got < 0 && errno == EINTR);
  return got;
}

}  // namespace

int32_t write_rtc_alarm(int32_t delay) {
  char base_text[RTC_READ_SIZE + 1];
  memset(base_text, 0, sizeof base_text);
  int op = open(device_path(RTC_ALARM_OP_PATH).c_str(), O_RDONLY | O_CLOEXEC);
  if (op < 0) return -1;
  ssize_t got = read_retrying(op, base_text, RTC_READ_SIZE);
  close(op);
  int32_t base = 0;
  // No base time means no wake-up time either: a bare delay would set the alarm to 1970.
  if (got <= 0 || !leading_int32(base_text, &base)) {
    kernel_log_write(3, "<3>alarm: rtc alarm_op gave no time\n");
    return -1;
  }

  int64_t sum = int64_t{base} + delay;
  if (sum > std::numeric_limits<int32_t>::max()) sum = std::numeric_limits<int32_t>::max();
  if (sum < std::numeric_limits<int32_t>::min()) sum = std::numeric_limits<int32_t>::min();
  char alarm_text[kAlarmTextSize];
  memset(alarm_text, 0, sizeof alarm_text);
  int len = snprintf(alarm_text, sizeof alarm_text, "%i", static_cast<int>(sum));

  int param = open(device_path(RTC_ALARM_PARAM_PATH).c_str(), O_RDWR | O_TRUNC | O_CLOEXEC);
  if (param < 0) {
    kernel_log_write(3, "<3>alarm: rtc alarm_param open error: %s\n", strerror(errno));
    return -1;
  }
  ssize_t written;
  do {
    written = write(param, alarm_text, len);
  } while (written < 0 && errno == EINTR);
  close(param);
  if (written != len) {
    kernel_log_write(3, "<3>alarm: rtc alarm_param write error\n");
    return -1;
  }
  return 0;
}

int32_t set_rtc_alarm() {
  int32_t e = get_alarm_expire(nullptr);
  if (e < 0) return -1;
  int32_t delay = e - RTC_WAKE_AHEAD_SECS;
  if (delay < RTC_MIN_DELAY_SECS) delay = RTC_MIN_DELAY_SECS;
  write_rtc_alarm(delay);
  return 0;
}

void disable_alarm() {
  if (g_cur_alarm == nullptr || g_cur_alarm->day != -1) return;
  char command[ALARM_LINE_SIZE];
  if (!alarm_db_disable_command(g_cur_alarm->id, command, sizeof command)) {
    kernel_log_write(3, "<3>alarm: cannot build the command to switch alarm %d off\n",
                     g_cur_alarm->id);
    return;
  }
  shell_system(command);
}
