#include "alarm/alarm_delay.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

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

// The non-empty lines of the note's text (runs of line ends count as one), as many as
// `limit` at most.
std::vector<std::string_view> note_lines(std::string_view text, size_t limit) {
  std::vector<std::string_view> lines;
  size_t pos = 0;
  while (lines.size() < limit) {
    size_t start = text.find_first_not_of('\n', pos);
    if (start == std::string_view::npos) break;
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    pos = end;
  }
  return lines;
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

// A failure at the note `phone_path` that is not a missing directory names the path: where
// the platform's policy denies the access, the kernel log is all that tells which file.
void log_note_error(const char* phone_path, int error) {
  if (error != ENOENT) {
    kernel_log_write(3, "<3>alarm: delay file %s: %s\n", phone_path, strerror(error));
  }
}

ssize_t write_block(int fd, const char (&text)[ALARM_DELAY_FILE_SIZE]) {
  ssize_t written;
  do {
    written = write(fd, text, sizeof text);
  } while (written < 0 && errno == EINTR);
  return written;
}

// Overwrites the existing note at `note` in place, where no new file can be made beside it:
// only a regular file, never through a link. 0, or -1 with errno.
int overwrite_note(const std::string& note, const char (&text)[ALARM_DELAY_FILE_SIZE]) {
  UniqueFd fd(open(note.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0) return -1;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  if (ftruncate(fd.get(), 0) != 0) return -1;
  if (write_block(fd.get(), text) != static_cast<ssize_t>(sizeof text)) {
    if (errno == 0) errno = EIO;
    return -1;
  }
  return 0;
}

enum class NoteWrite { kWritten, kNoDirectory, kFailed };

// Replaces the note at `phone_path` with `text` and the NUL bytes behind it, through a new
// file renamed over it; with `in_place`, where no new file can be made, over the existing
// note.
NoteWrite replace_note_at(const char* phone_path, const char (&text)[ALARM_DELAY_FILE_SIZE],
                          bool in_place) {
  std::string note = device_path(phone_path);
  std::string temp;
  UniqueFd fd(create_temp_beside(note, &temp));
  if (fd.get() < 0) {
    int error = errno;
    if (in_place && error != ENOENT && overwrite_note(note, text) == 0) return NoteWrite::kWritten;
    kernel_log_write(3, "<3>alarm: open delay time failed!\n");
    log_note_error(phone_path, error);
    return NoteWrite::kFailed;
  }
  // The mode asked for at creation is narrowed by the umask; the clock application must read it.
  fchmod(fd.get(), kNoteMode);
  if (write_block(fd.get(), text) != static_cast<ssize_t>(sizeof text)) {
    log_note_error(phone_path, errno);
    unlink(temp.c_str());
    return NoteWrite::kFailed;
  }
  if (rename(temp.c_str(), note.c_str()) != 0) {
    kernel_log_write(3, "<3>alarm: replace delay time failed: %s\n", strerror(errno));
    unlink(temp.c_str());
    return NoteWrite::kFailed;
  }
  return NoteWrite::kWritten;
}

// Writes the note in the program's own directory (when the init file made it) and at the
// clock application's path: 0 when a copy was written, -1 otherwise.
int32_t replace_note(const char (&text)[ALARM_DELAY_FILE_SIZE]) {
  bool written = false;
  std::string own_dir = device_path(ALARM_DELAY_OWN_PATH);
  own_dir.erase(own_dir.rfind('/'));
  struct stat st;
  if (stat(own_dir.c_str(), &st) == 0) {
    written = replace_note_at(ALARM_DELAY_OWN_PATH, text, false) == NoteWrite::kWritten;
  }
  written = replace_note_at(ALARM_DELAY_PATH, text, true) == NoteWrite::kWritten || written;
  if (!written) return -1;
  kernel_log_write(3, "<3>alarm: write delay time success, str=%s\n", text);
  return 0;
}

// Appends one pair to the note's text at `*used`.
void append_pair(char (&text)[ALARM_DELAY_FILE_SIZE], size_t* used, int32_t id, int64_t end) {
  int n = snprintf(text + *used, sizeof text - *used, kNoteFormat, id, static_cast<uint32_t>(end));
  if (n > 0) *used += std::min(static_cast<size_t>(n), sizeof text - 1 - *used);
}

// The note: the snooze of `first` (when given) ending at `first_end`, then the schedule's
// other snoozes still to ring, the latest taken first, as many as the note holds.
int32_t write_note(const AlarmSecItem* first, int64_t first_end) {
  char text[ALARM_DELAY_FILE_SIZE];
  memset(text, 0, sizeof text);
  size_t used = 0;
  if (first != nullptr) append_pair(text, &used, first->id, first_end);

  int64_t now = read_clock().sec;
  std::vector<const AlarmSecItem*> others;
  for (const AlarmSecItem* item = g_alarm_sec_list; item != nullptr; item = item->next) {
    if (!is_snooze_item(item) || item->snooze_over || item->snooze_end < now) continue;
    if (first != nullptr && item->id == first->id) continue;  // replaced by the new one
    others.push_back(item);
  }
  std::stable_sort(others.begin(), others.end(), [](const AlarmSecItem* a, const AlarmSecItem* b) {
    return a->snooze_taken > b->snooze_taken;
  });
  size_t room = ALARM_DELAY_MAX_SNOOZES - (first != nullptr ? 1 : 0);
  for (size_t i = 0; i < others.size(); ++i) {
    if (i == room) {
      kernel_log_write(3, "<3>alarm: the delay file holds %d snoozes: %zu left out\n",
                       ALARM_DELAY_MAX_SNOOZES, others.size() - room);
      break;
    }
    append_pair(text, &used, others[i]->id, others[i]->snooze_end);
  }
  return replace_note(text);
}

}  // namespace

int64_t alarm_delay_end_from_now() {
  return read_clock().sec + g_alarm_delay_time;
}

int32_t write_alarm_delay(const AlarmSecItem* item) {
  if (item == nullptr) return -1;
  return write_alarm_delay_until(item, alarm_delay_end_from_now());
}

int32_t write_alarm_delay_until(const AlarmSecItem* item, int64_t end) {
  if (item == nullptr) return -1;
  return write_note(item, end);
}

int32_t rewrite_alarm_delay() {
  return write_note(nullptr, 0);
}

// The snooze items of the note at `phone_path`; `*found` tells whether there was one.
static AlarmSecItem* read_note(const char* phone_path, bool* found) {
  std::string note = device_path(phone_path);
  struct stat before;
  bool there = lstat(note.c_str(), &before) == 0;
  int error = errno;
  *found = there || error != ENOENT;
  if (!*found) return nullptr;
  kernel_log_write(3, "<3>alarm: add delay item\n");
  if (!there) {
    log_note_error(phone_path, error);
    return nullptr;
  }
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
    if (fd.get() < 0) log_note_error(phone_path, errno);
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
      kernel_log_write(3, "<3>alarm: delay file is not a regular file\n");
      return nullptr;
    }
    ssize_t got;
    do {
      got = read(fd.get(), text, ALARM_DELAY_FILE_SIZE);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
      log_note_error(phone_path, errno);
      return nullptr;
    }
  }

  // One line more than the pairs read: it tells that the note holds more.
  constexpr size_t kLinesRead = 2 * ALARM_DELAY_MAX_SNOOZES + 1;
  std::vector<std::string_view> lines = note_lines(std::string_view(text), kLinesRead);
  if (lines.size() < 2) {
    kernel_log_write(3, "<3>alarm: delay file has no snooze end\n");
    return nullptr;
  }
  if (lines.size() == kLinesRead) {
    kernel_log_write(3, "<3>alarm: delay file holds more than %d snoozes: the rest skipped\n",
                     ALARM_DELAY_MAX_SNOOZES);
  }

  int64_t now = read_clock().sec;
  AlarmSecItem* head = nullptr;
  AlarmSecItem** tail = &head;
  for (size_t pair = 0; 2 * pair + 1 < lines.size() && pair < ALARM_DELAY_MAX_SNOOZES; ++pair) {
    std::string_view id_line = lines[2 * pair];
    std::string_view end_line = lines[2 * pair + 1];
    if (end_line.size() < kMillisDigits) {
      kernel_log_write(3, "<3>alarm: delay file has no snooze end\n");
      continue;
    }
    int32_t id = decimal_low32(id_line);
    int64_t end = text_to_seconds(end_line.substr(0, end_line.size() - kMillisDigits));

    struct tm tm = {};
    time_t end_t = static_cast<time_t>(end);
    if (platform().local_time(end_t, &tm) != 0) continue;
    kernel_log_write(3, "<3>alarm: delay id = %d, secs = %lld\n", id, static_cast<long long>(end));
    kernel_log_write(3, "<3>alarm: delay hour = %d\n, delay min = %d\n", tm.tm_hour, tm.tm_min);
    kernel_log_write(3, "<3>alarm: delay sec = %d\n, delay wday = %d\n", tm.tm_sec, tm.tm_wday);

    // Stale: it ended before the phone woke (where the first look at the schedule begins),
    // so the run that powered the phone off has rung it; and a minute ago at least.
    if (end < now - ALARM_DELAY_STALE_SECS && end <= first_look_back_start(now)) {
      kernel_log_write(3, "<3>alarm: delay file stale: snooze ended %lld s ago\n",
                       static_cast<long long>(now - end));
      continue;
    }
    if (end > now + ALARM_DELAY_AHEAD_LIMIT_SECS) {
      kernel_log_write(3, "<3>alarm: delay file ignored: snooze ends %lld s ahead\n",
                       static_cast<long long>(end - now));
      continue;
    }

    const AlarmRecord* record = g_alarm_list;
    while (record != nullptr && record->id != id) record = record->next;
    if (record == nullptr) continue;
    bool again = false;
    for (const AlarmSecItem* item = head; item != nullptr; item = item->next) {
      again = again || item->id == id;
    }
    if (again) {
      kernel_log_write(3, "<3>alarm: delay file snoozes alarm %d twice: the later pair skipped\n",
                       id);
      continue;
    }

    AlarmSecItem* item = new_snooze_item(record->id, record->vibrate, record->alert, end);
    if (item == nullptr) break;
    item->snooze_taken = -static_cast<int64_t>(pair);  // the first pair was taken last
    *tail = item;
    tail = &item->next;
  }
  return head;
}

namespace {

// Frees a chain of snooze items.
void free_items(AlarmSecItem* head) {
  while (head != nullptr) {
    AlarmSecItem* next = head->next;
    delete head;
    head = next;
  }
}

}  // namespace

AlarmSecItem* read_alarm_delay() {
  bool own_found = false;
  bool found = false;
  AlarmSecItem* own = read_note(ALARM_DELAY_OWN_PATH, &own_found);
  AlarmSecItem* theirs = read_note(ALARM_DELAY_PATH, &found);
  if (!own_found && !found) {
    kernel_log_write(3, "<3>alarm: alarm delay file not exist\n");
    return nullptr;
  }
  // The own note's pairs in its order, then the clock application's others; an alarm in both
  // keeps the later end (a later snooze of it).
  AlarmSecItem* head = own;
  AlarmSecItem** tail = &head;
  while (*tail != nullptr) tail = &(*tail)->next;
  while (theirs != nullptr) {
    AlarmSecItem* item = theirs;
    theirs = item->next;
    item->next = nullptr;
    AlarmSecItem** same = &head;
    while (*same != nullptr && (*same)->id != item->id) same = &(*same)->next;
    if (*same == nullptr) {
      *tail = item;
      tail = &item->next;
    } else if (item->snooze_end > (*same)->snooze_end) {
      item->next = (*same)->next;
      if (tail == &(*same)->next) tail = &item->next;
      delete *same;
      *same = item;
    } else {
      free_items(item);
    }
  }
  int64_t pair = 0;
  for (AlarmSecItem* item = head; item != nullptr; item = item->next) {
    item->snooze_taken = -pair++;  // the first pair was taken last
  }
  return head;
}
