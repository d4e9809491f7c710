// The phone's side of the seam: real devices, the real clocks, bionic's property store.
#include <fcntl.h>
#include <linux/fb.h>
#include <linux/input.h>
#include <linux/kd.h>
#include <linux/reboot.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/linux_sound.h"
#include "platform/platform.h"

#ifdef __ANDROID__
#include <sys/system_properties.h>
#endif

namespace {

constexpr int kKmsgMajor = 1;
constexpr int kKmsgMinor = 11;
#ifndef __ANDROID__
constexpr char kCmdlinePath[] = "/proc/cmdline";
constexpr size_t kCmdlineSize = 4096;  // the longest command line a kernel takes
#endif

class LinuxPlatform : public Platform {
 public:
  std::string device_path(const char* phone_path) const override { return phone_path; }

  int fb_get_fixed_info(int fd, fb_fix_screeninfo* info) override {
    return ioctl(fd, FBIOGET_FSCREENINFO, info) < 0 ? -1 : 0;
  }

  int fb_get_variable_info(int fd, fb_var_screeninfo* info) override {
    return ioctl(fd, FBIOGET_VSCREENINFO, info) < 0 ? -1 : 0;
  }

  int fb_put_variable_info(int fd, const fb_var_screeninfo* info) override {
    return ioctl(fd, FBIOPUT_VSCREENINFO, info) < 0 ? -1 : 0;
  }

  int console_set_mode(int fd, int kd_mode) override {
    return ioctl(fd, KDSETMODE, kd_mode) < 0 ? -1 : 0;
  }

  int input_device_name(int fd, const char*, char* name, size_t size) override {
    return ioctl(fd, EVIOCGNAME(size), name);
  }

  int make_kmsg_node(const char* path) override {
    return mknod(path, S_IFCHR | 0600, makedev(kKmsgMajor, kKmsgMinor));
  }

  int property_read(const char* name, char* value) override {
#ifdef __ANDROID__
    return __system_property_get(name, value);
#else
    // A Linux system without Android's property store: the boot properties init would have
    // set from the kernel command line, every other property unset.
    char cmdline[kCmdlineSize];
    value[0] = '\0';
    int fd = open(kCmdlinePath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    ssize_t got;
    do {
      got = read(fd, cmdline, sizeof cmdline - 1);
    } while (got < 0 && errno == EINTR);
    close(fd);
    if (got <= 0) return 0;
    cmdline[got] = '\0';
    return kernel_cmdline_property(cmdline, name, value);
#endif
  }

  void sync_filesystems() override {
    sync();
  }

  int power_off() override {
    return static_cast<int>(syscall(SYS_reboot, LINUX_REBOOT_MAGIC1, LINUX_REBOOT_MAGIC2,
                                    LINUX_REBOOT_CMD_POWER_OFF, nullptr));
  }

  int wall_time(WallTime* now) override {
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) return -1;
    now->sec = tv.tv_sec;
    now->usec = tv.tv_usec;
    return 0;
  }

  int local_time(time_t t, struct tm* out) override {
    return localtime_r(&t, out) == nullptr ? -1 : 0;
  }

  // The boot clock runs on through suspend, from the moment the kernel started.
  std::unique_ptr<SoundStream> open_sound(const SoundRequest& r) override {
    char path[64];
    snprintf(path, sizeof path, SOUND_PCM_PATH_FORMAT, r.card, r.device);
    return open_alsa_playback(device_path(path), r.rate, r.channels);
  }

  int set_mixer_control(int card, const char* name, const char* value) override {
    char path[64];
    snprintf(path, sizeof path, SOUND_CONTROL_PATH_FORMAT, card);
    return set_alsa_mixer_control(device_path(path), name, value);
  }

  int64_t seconds_since_boot() override {
    struct timespec ts;
    if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0) return -1;
    return static_cast<int64_t>(ts.tv_sec);
  }

  void sleep_us(int64_t usec) override {
    sleep_real_us(usec);
  }

  bool wait_event(WakeEvent& event, const WallTime& deadline) override {
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

  int wait_readable(int fd, const WallTime& deadline) override {
    for (;;) {
      WallTime now;
      if (wall_time(&now) != 0) return -1;
      int64_t left_us = wall_time_us(deadline) - wall_time_us(now);
      if (left_us <= 0) return poll_readable(fd, 0);
      int r = poll_readable(fd, ms_for(left_us));
      if (r != 0) return r;
    }
  }

  int poll_input(struct pollfd* fds, unsigned count, bool wait) override {
    return poll(fds, count, wait ? -1 : 0);
  }

  int wait_signal(const sigset_t& set) override {
    return sigwaitinfo(&set, nullptr);
  }

  int create_thread(void* (*entry)(void*)) override {
    return start_detached_thread(entry);
  }

  pid_t fork_process() override {
    return fork();
  }
};

}  // namespace

Platform* Platform::Default() {
  static Platform* const phone = new LinuxPlatform;
  return phone;
}
