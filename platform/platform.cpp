// The process-wide platform pointer and the helpers every module uses.
#include "platform/platform.h"

#include <poll.h>
#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

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

void Platform::set_time_zone(const char* zone) {
  setenv("TZ", zone, 1);
  tzset();
}

int Platform::suspend_until(const WallTime&, WakeEvent&) {
  errno = ENODEV;
  return -1;
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

int kernel_cmdline_property(const char* cmdline, const char* name, char* value) {
  constexpr std::string_view kBootPrefix = "androidboot.";
  constexpr std::string_view kBootProperty = "ro.boot.";
  value[0] = '\0';
  std::string_view wanted(name);
  std::string_view key;
  if (wanted == "ro.bootmode") {
    key = "mode";
  } else if (wanted.substr(0, kBootProperty.size()) == kBootProperty) {
    key = wanted.substr(kBootProperty.size());
  } else {
    return 0;
  }
  if (key.empty()) return 0;
  std::string_view rest(cmdline);
  while (!rest.empty()) {
    size_t start = rest.find_first_not_of(" \t\n");
    if (start == std::string_view::npos) break;
    rest.remove_prefix(start);
    std::string_view word = rest.substr(0, rest.find_first_of(" \t\n"));
    rest.remove_prefix(word.size());
    if (word.substr(0, kBootPrefix.size()) != kBootPrefix) continue;
    word.remove_prefix(kBootPrefix.size());
    size_t eq = word.find('=');
    if (eq == std::string_view::npos || word.substr(0, eq) != key) continue;
    std::string_view found = word.substr(eq + 1);
    if (found.size() >= BOOT_PROPERTY_VALUE_SIZE) continue;  // refused: it stays unset
    memcpy(value, found.data(), found.size());
    value[found.size()] = '\0';
    return static_cast<int>(found.size());
  }
  return 0;
}
