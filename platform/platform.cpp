// The process-wide platform pointer and the helpers every module uses.
#include "platform/platform.h"

#include <poll.h>
#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace {
Platform* g_platform = nullptr;
}

Platform& platform() {
  if (g_platform == nullptr) abort();  // main() sets it before anything runs
  return *g_platform;
}

void set_platform(Platform* p) {
  g_platform = p;
}

WallTime read_clock() {
  WallTime now;
  while (platform().wall_time(&now) != 0) {
  }
  return now;
}

int start_detached_thread(void* (*entry)(void*)) {
  pthread_t thread;
  int rc = pthread_create(&thread, nullptr, entry, nullptr);
  if (rc == 0) pthread_detach(thread);
  return rc;
}

void sleep_real_us(int64_t usec) {
  if (usec <= 0) return;
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(usec / 1000000);
  ts.tv_nsec = static_cast<long>((usec % 1000000) * 1000);
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

int poll_readable(int fd, int timeout_ms) {
  struct pollfd p = {fd, POLLIN, 0};
  int r = poll(&p, 1, timeout_ms);
  if (r < 0) return errno == EINTR ? 0 : -1;
  if (r == 0) return 0;
  return (p.revents & POLLNVAL) != 0 ? -1 : 1;
}

int ms_for(int64_t usec) {
  constexpr int64_t kLongestPollMs = 60000;
  int64_t ms = (usec + 999) / 1000;
  if (ms < 0) ms = 0;
  return static_cast<int>(ms > kLongestPollMs ? kLongestPollMs : ms);
}
