#include "input/input_devices.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/platform.h"
#include "platform/unique_fd.h"

namespace {

constexpr char kEventPrefix[] = "event";
constexpr size_t kEventPrefixLen = sizeof kEventPrefix - 1;
// Pause after a poll that failed for a reason other than a signal, so that a lasting
// failure (out of memory) does not turn the waiting call into a spin.
constexpr int kPollFailurePauseMs = 10;

// The set owns every descriptor in it; they stay open until the set is rebuilt or reset.
struct pollfd g_input_fds[MAX_INPUT_DEVICES];
unsigned g_input_count = 0;

void close_all() {
  for (unsigned i = 0; i < g_input_count; ++i) close(g_input_fds[i].fd);
  memset(g_input_fds, 0, sizeof g_input_fds);
  g_input_count = 0;
}

// Takes entry `i` out of the set, keeping the others in opening order. A descriptor that
// poll calls invalid is not ours any more and is not closed.
void drop_device(unsigned i, bool close_fd) {
  if (close_fd) close(g_input_fds[i].fd);
  for (unsigned j = i + 1; j < g_input_count; ++j) g_input_fds[j - 1] = g_input_fds[j];
  --g_input_count;
  g_input_fds[g_input_count] = pollfd{};
}

enum class ReadResult { kEvent, kNothing, kGone };

// One whole native record from entry `i`. End of file and hard errors mean the device can
// never deliver again (a removed device, or an entry that is no event device at all).
ReadResult read_event(unsigned i, struct input_event* ev) {
  ssize_t n = read(g_input_fds[i].fd, ev, sizeof *ev);
  if (n == static_cast<ssize_t>(sizeof *ev)) return ReadResult::kEvent;
  if (n > 0) return ReadResult::kNothing;  // a short read: passed over
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    return ReadResult::kNothing;
  }
  return ReadResult::kGone;
}

}  // namespace

int input_open_devices() {
  close_all();
  std::string dir_path = device_path(INPUT_DIR_PATH);
  UniqueDir dir(opendir(dir_path.c_str()));
  if (!dir) return 0;
  int dir_fd = dirfd(dir.get());
  while (struct dirent* entry = readdir(dir.get())) {
    if (strncmp(entry->d_name, kEventPrefix, kEventPrefixLen) != 0) continue;
    // Non-blocking, so that a FIFO without a writer opens at once; close-on-exec, so that
    // the ring player does not inherit the devices.
    int fd = openat(dir_fd, entry->d_name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    g_input_fds[g_input_count].fd = fd;
    g_input_fds[g_input_count].events = POLLIN;
    g_input_fds[g_input_count].revents = 0;
    if (++g_input_count == MAX_INPUT_DEVICES) break;
  }
  return 0;
}

int input_wait_event(struct input_event* ev, int dont_wait) {
  for (;;) {
    // With no device left this blocks for good (or returns at once when not waiting).
    int ready = platform().poll_input(g_input_fds, g_input_count, !dont_wait);
    if (ready < 0 && errno != EINTR && !dont_wait) poll(nullptr, 0, kPollFailurePauseMs);
    if (ready > 0) {
      unsigned i = 0;
      while (i < g_input_count) {
        short revents = g_input_fds[i].revents;
        if (revents & POLLIN) {
          ReadResult r = read_event(i, ev);
          if (r == ReadResult::kEvent) return 0;
          if (r == ReadResult::kGone) {
            drop_device(i, true);
            continue;
          }
        } else if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
          // Gone without data: left in the set it would make every poll return at once.
          drop_device(i, (revents & POLLNVAL) == 0);
          continue;
        }
        ++i;
      }
    }
    if (dont_wait) return -1;
  }
}

unsigned input_device_count() {
  return g_input_count;
}

void input_devices_reset() {
  close_all();
}
