// The phone's side of the seam.
#include "platform/linux_platform.h"

#include <fcntl.h>
#include <linux/fb.h>
#include <linux/input.h>
#include <linux/kd.h>
#include <linux/reboot.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#ifdef __ANDROID__
#include <sys/system_properties.h>
#endif

namespace {
constexpr int kKmsgMajor = 1;
constexpr int kKmsgMinor = 11;
}  // namespace

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

std::string LinuxPlatform::device_path(const char* phone_path) const { return phone_path; }

int LinuxPlatform::fb_get_fixed_info(int fd, fb_fix_screeninfo* info) {
  return ioctl(fd, FBIOGET_FSCREENINFO, info) < 0 ? -1 : 0;
}

int LinuxPlatform::fb_get_variable_info(int fd, fb_var_screeninfo* info) {
  return ioctl(fd, FBIOGET_VSCREENINFO, info) < 0 ? -1 : 0;
}

int LinuxPlatform::fb_put_variable_info(int fd, const fb_var_screeninfo* info) {
  return ioctl(fd, FBIOPUT_VSCREENINFO, info) < 0 ? -1 : 0;
}

int LinuxPlatform::console_set_mode(int fd, int kd_mode) {
  return ioctl(fd, KDSETMODE, kd_mode) < 0 ? -1 : 0;
}

int LinuxPlatform::input_device_name(int fd, const char*, char* name, size_t size) {
  return ioctl(fd, EVIOCGNAME(size), name);
}

int LinuxPlatform::make_kmsg_node(const char* path) {
  return mknod(path, S_IFCHR | 0600, makedev(kKmsgMajor, kKmsgMinor));
}

int LinuxPlatform::property_read(const char* name, char* value) {
#ifdef __ANDROID__
  return __system_property_get(name, value);
#else
  // A Linux system without Android's property store: every property is unset.
  (void)name;
  value[0] = '\0';
  return 0;
#endif
}

void LinuxPlatform::sync_filesystems() { sync(); }

int LinuxPlatform::power_off() {
  return static_cast<int>(syscall(SYS_reboot, LINUX_REBOOT_MAGIC1, LINUX_REBOOT_MAGIC2,
                                  LINUX_REBOOT_CMD_POWER_OFF, nullptr));
}

int LinuxPlatform::wall_time(WallTime* now) {
  struct timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) return -1;
  now->sec = tv.tv_sec;
  now->usec = tv.tv_usec;
  return 0;
}

int LinuxPlatform::local_time(time_t t, struct tm* out) {
  return localtime_r(&t, out) == nullptr ? -1 : 0;
}

void LinuxPlatform::sleep_us(int64_t usec) { sleep_real_us(usec); }

bool LinuxPlatform::wait_event(WakeEvent& event, const WallTime& deadline) {
  std::unique_lock<std::mutex> lock(event_mutex(event));
  bool& pending = event_pending(event);
  while (!pending) {
    WallTime now;
    if (wall_time(&now) != 0) return false;
    int64_t left = wall_time_us(deadline) - wall_time_us(now);
    if (left <= 0) return false;
    event_cv(event).wait_for(lock, std::chrono::microseconds(left));
  }
  pending = false;
  return true;
}

int LinuxPlatform::create_thread(void* (*entry)(void*)) { return start_detached_thread(entry); }

pid_t LinuxPlatform::fork_process() { return fork(); }
