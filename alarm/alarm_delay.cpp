#include "alarm/alarm_delay.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <string_view>

#include "alarm/alarm_db.h"
#include "alarm/alarm_flag.h"
#include "base/decimal_text.h"
#include "base/kernel_log.h"
#include "platform/platform.h"
#include "platform/unique_fd.h"

namespace {

constexpr char kNoteFormat[] = "%d\n%u000\n";
constexpr size_t kMillisDigits = 3;  // the "000" behind the seconds
constexpr mode_t kNoteMode = 0644;   // the clock application reads the note
constexpr int kTempNameTries = 16;

// Unsigned decimal; saturates rather than wrapping, so a damaged note is never near "now".
int64_t text_to_seconds(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && is_c_space(s[i])) ++i;
  int64_t value = 0;
  constexpr int64_t kLimit = int64_t{1} << 40;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    value = value * 10 + (s[i] - '0');
    if (value > kLimit) return kLimit;
  }
  return value;
}

// The first two non-empty lines of the note's text.
void note_lines(std::string_view text, std::string_view* first, std::string_view* second) {
  std::string_view* out[] = {first, second};
  size_t pos = 0;
  for (std::string_view* line : out) {
    size_t start = text.find_first_not_of('\n', pos);
    if (start == std::string_view::npos) return;
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    *line = text.substr(start, end - start);
    pos = end;
  }
}

// A new file beside the note, never one that was there (nor a link): its descriptor.
int create_temp_beside(const std::string& note, std::string* temp) {
  static unsigned counter = 0;
  size_t slash = note.rfind('/');
  std::string dir = slash == std::string::npos ? "." : note.substr(0, slash);
  for (int i = 0; i < kTempNameTries; ++i) {
    WallTime t = read_clock();
    char suffix[64];
    snprintf(suffix, sizeof suffix, "/.alarm_delay.%d.%u.%lld", static_cast<int>(getpid()),
             ++counter, static_cast<long long>(t.usec));
    *temp = dir + suffix;
    int fd = open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kNoteMode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

int32_t write_alarm_delay(const AlarmSecItem* item) {
  if (item == nullptr) return -1;
  char text[ALARM_DELAY_FILE_SIZE];
  memset(text, 0, sizeof text);
  uint32_t end =
      static_cast<uint32_t>(read_clock().sec) + static_cast<uint32_t>(g_alarm_delay_time);
  snprintf(text, sizeof text, kNoteFormat, item->id, end);

  std::string note = device_path(ALARM_DELAY_PATH);
  std::string temp;
  UniqueFd fd(create_temp_beside(note, &temp));
  if (fd.get() < 0) {
    kernel_log_write(3, "<3>alarm: open delay time failed!\n");
    return -1;
  }
  // The mode asked for at creation is narrowed by the umask; the clock application must read it.
  fchmod(fd.get(), kNoteMode);
  ssize_t written;
  do {
    written = write(fd.get(), text, sizeof text);
  } while (written < 0 && errno == EINTR);
  if (written != static_cast<ssize_t>(sizeof text)) {
    unlink(temp.c_str());
    return -1;
  }
  if (rename(temp.c_str(), note.c_str()) != 0) {
    kernel_log_write(3, "<3>alarm: replace delay time failed: %s\n", strerror(errno));
    unlink(temp.c_str());
    return -1;
  }
  kernel_log_write(3, "<3>alarm: write delay time success, str=%s\n", text);
  return 0;
}

AlarmSecItem* read_alarm_delay() {
  std::string note = device_path(ALARM_DELAY_PATH);
  struct stat before;
  bool found = lstat(note.c_str(), &before) == 0;
  if (!found && errno == ENOENT) {
    kernel_log_write(3, "<3>alarm: alarm delay file not exist\n");
    return nullptr;
  }
  kernel_log_write(3, "<3>alarm: add delay item\n");
  if (!found) return nullptr;
  // Only a regular file: a link must not lead elsewhere, a FIFO must not hang the alarm.
  if (!S_ISREG(before.st_mode)) {
    kernel_log_write(3, "<3>alarm: delay file is not a regular file\n");
    return nullptr;
  }
  char text[ALARM_DELAY_FILE_SIZE + 1];
  memset(text, 0, sizeof text);
  {
    UniqueFd fd(open(note.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
      kernel_log_write(3, "<3>alarm: delay file is not a regular file\n");
      return nullptr;
    }
    ssize_t got;
    do {
      got = read(fd.get(), text, ALARM_DELAY_FILE_SIZE);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return nullptr;
  }

  std::string_view id_line, end_line;
  note_lines(std::string_view(text), &id_line, &end_line);
  if (end_line.size() < kMillisDigits) {
    kernel_log_write(3, "<3>alarm: delay file has no snooze end\n");
    return nullptr;
  }
  int32_t id = decimal_low32(id_line);
  int64_t end = text_to_seconds(end_line.substr(0, end_line.size() - kMillisDigits));

  struct tm tm = {};
  time_t end_t = static_cast<time_t>(end);
  if (platform().local_time(end_t, &tm) != 0) return nullptr;
  kernel_log_write(3, "<3>alarm: delay id = %d, secs = %lld\n", id, static_cast<long long>(end));
  kernel_log_write(3, "<3>alarm: delay hour = %d\n, delay min = %d\n", tm.tm_hour, tm.tm_min);
  kernel_log_write(3, "<3>alarm: delay sec = %d\n, delay wday = %d\n", tm.tm_sec, tm.tm_wday);

  int64_t now = read_clock().sec;
  if (end < now - ALARM_DELAY_STALE_SECS) {
    kernel_log_write(3, "<3>alarm: delay file stale: snooze ended %lld s ago\n",
                     static_cast<long long>(now - end));
    return nullptr;
  }
  if (end > now + ALARM_DELAY_AHEAD_LIMIT_SECS) {
    kernel_log_write(3, "<3>alarm: delay file ignored: snooze ends %lld s ahead\n",
                     static_cast<long long>(end - now));
    return nullptr;
  }

  const AlarmRecord* record = g_alarm_list;
  while (record != nullptr && record->id != id) record = record->next;
  if (record == nullptr) return nullptr;

  AlarmSecItem* item = new (std::nothrow) AlarmSecItem();
  if (item == nullptr) return nullptr;
  item->day = tm.tm_wday == 0 ? 6 : tm.tm_wday - 1;
  int second = tm.tm_sec > 59 ? 59 : tm.tm_sec;
  item->secs = item->day * SECONDS_PER_DAY + tm.tm_hour * 3600 + tm.tm_min * 60 + second;
  item->id = record->id;
  item->vib = record->vibrate;
  item->ala = record->alert;
  item->next = nullptr;
  return item;
}
