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
#include "base/decimal_text.h"
#include "base/kernel_log.h"
#include "base/shell.h"
#include "devices/control_file.h"
#include "platform/platform.h"

namespace {

constexpr int kAlarmTextSize = 12;      // "%i" of any 32-bit value and its NUL
constexpr int kWakealarmTextSize = 24;  // "%lld" of any 64-bit value and its NUL
constexpr char kWakealarmClear[] = "0";

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

// Updates of the database run one at a time, beside the alarm: two sqlite3 writing at once
// would find the database locked, and one of the alarms would stay enabled.
constexpr int kMaxQueuedUpdates = 16;
ShellJob g_running_update;
AlarmDbUpdate g_queued[kMaxQueuedUpdates];
int g_queued_count = 0;

// The wake-up through the standard RTC interface, at the wall clock's second plus `delay`
// (the RTC keeps the system's time). A pending alarm is cleared first: the kernel refuses a
// new one while another is set.
int32_t write_wakealarm(int32_t delay) {
  std::string path = device_path(RTC_WAKEALARM_PATH);
  int64_t at = read_clock().sec + delay;
  char text[kWakealarmTextSize];
  snprintf(text, sizeof text, "%lld", static_cast<long long>(at));
  {
    ControlFile clear(path.c_str());
    if (!clear.is_open()) {
      kernel_log_write(3, "<3>alarm: rtc alarm_op and wakealarm unusable: %s\n", strerror(errno));
      return -1;
    }
    if (!clear.write_text(kWakealarmClear)) {
      kernel_log_write(3, "<3>alarm: rtc wakealarm clear error: %s\n", strerror(errno));
    }
  }
  ControlFile alarm(path.c_str());
  if (!alarm.write_text(text)) {
    kernel_log_write(3, "<3>alarm: rtc wakealarm write error: %s\n", strerror(errno));
    return -1;
  }
  kernel_log_write(6, "<6>alarm: rtc wakealarm set to %s\n", text);
  return 0;
}

}  // namespace

void pump_alarm_updates() {
  if (g_running_update.started() && !g_running_update.try_finish()) return;
  while (g_queued_count > 0) {
    AlarmDbUpdate update = g_queued[0];
    --g_queued_count;
    memmove(g_queued, g_queued + 1, sizeof g_queued[0] * g_queued_count);
    std::string command;
    if (!alarm_db_update_command(update, &command)) {
      kernel_log_write(3, "<3>alarm: cannot build the command to update alarm %d\n",
                       update.alarm_id);
      continue;
    }
    if (g_running_update.start(command.c_str())) return;
    kernel_log_write(3, "<3>alarm: cannot start the command to update alarm %d\n", update.alarm_id);
  }
}

void queue_alarm_update(const AlarmDbUpdate& update) {
  pump_alarm_updates();
  if (g_queued_count == kMaxQueuedUpdates) {
    kernel_log_write(3, "<3>alarm: too many database updates waiting: alarm %d not updated\n",
                     update.alarm_id);
    return;
  }
  g_queued[g_queued_count++] = update;
  pump_alarm_updates();
}

int32_t write_rtc_alarm(int32_t delay) {
  char base_text[RTC_READ_SIZE + 1];
  memset(base_text, 0, sizeof base_text);
  int op = open(device_path(RTC_ALARM_OP_PATH).c_str(), O_RDONLY | O_CLOEXEC);
  ssize_t got = op < 0 ? -1 : read_retrying(op, base_text, RTC_READ_SIZE);
  if (op >= 0) close(op);
  // An RTC driver without the vendor's files (a mainline kernel, many phones): the standard
  // interface takes the same instant.
  if (got < 0) return write_wakealarm(delay);
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
  disable_alarm_item(g_cur_alarm);
}

void disable_alarm_item(const AlarmSecItem* item) {
  if (item == nullptr || item->day != -1) return;
  AlarmDbUpdate update;
  update.kind = AlarmDbUpdate::kSwitchOff;
  update.alarm_id = item->id;
  queue_alarm_update(update);
}

void finish_alarm_updates() {
  WallTime deadline = wall_time_from_us(wall_time_us(read_clock()) + ALARM_UPDATE_GRACE_US);
  while (g_running_update.started()) {
    if (g_running_update.finish(deadline) == -1) {
      kernel_log_write(3, "<3>alarm: database update gave no end in time: ended, %d dropped\n",
                       g_queued_count);
      g_queued_count = 0;
      return;
    }
    pump_alarm_updates();
  }
}

bool alarm_updates_busy() {
  return g_running_update.started() || g_queued_count > 0;
}

void alarm_updates_reset() {
  g_running_update = ShellJob();
  g_queued_count = 0;
}
