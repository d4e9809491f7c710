// The phone's side of the seam: real devices, the real clocks, bionic's property store.
#include <fcntl.h>
#include <linux/fb.h>
#include <linux/input.h>
#include <linux/kd.h>
#include <linux/reboot.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>

#include "platform/linux_sound.h"
#include "platform/platform.h"
#include "platform/unique_fd.h"

#ifdef __ANDROID__
#include <sys/system_properties.h>
#endif

namespace {

constexpr char kPowerStatePath[] = "/sys/power/state";
constexpr char kWakeupCountPath[] = "/sys/power/wakeup_count";
constexpr char kSuspendToRam[] = "mem";
constexpr size_t kPowerFileReadSize = 128;

constexpr int kKmsgMajor = 1;
constexpr int kKmsgMinor = 11;
#ifndef __ANDROID__
constexpr char kCmdlinePath[] = "/proc/cmdline";
constexpr size_t kCmdlineSize = 4096;  // the longest command line a kernel takes
#endif

struct timespec timespec_at(const WallTime& t) {
  struct timespec ts;
  constexpr time_t kLatest = std::numeric_limits<time_t>::max();
  ts.tv_sec = t.sec > static_cast<int64_t>(kLatest) ? kLatest : static_cast<time_t>(t.sec);
  ts.tv_nsec = static_cast<long>(t.usec * 1000);
  return ts;
}

// Arms `fd`, a timerfd, to fire when the wall clock reaches `at` (absolute); with
// `cancel_on_set` its read fails with ECANCELED when the clock is set meanwhile.
bool arm_wall_timer(int fd, const WallTime& at, bool cancel_on_set) {
  struct itimerspec its = {};
  its.it_value = timespec_at(at);
  if (its.it_value.tv_sec == 0 && its.it_value.tv_nsec == 0) its.it_value.tv_nsec = 1;
  int flags = TFD_TIMER_ABSTIME | (cancel_on_set ? TFD_TIMER_CANCEL_ON_SET : 0);
  return timerfd_settime(fd, flags, &its, nullptr) == 0;
}

void disarm_timer(int fd) {
  struct itimerspec its = {};
  timerfd_settime(fd, 0, &its, nullptr);
}

// What a waiting thread sleeps on: an eventfd that a post of its event writes, and a timer
// on the wall clock that ends the wait at its deadline or when the clock is set. Made on a
// thread's first wait and kept for its life.
struct ThreadWait {
  UniqueFd posted;
  UniqueFd timer;
  bool tried = false;
  bool ready() {
    if (!tried) {
      tried = true;
      posted.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
      timer.reset(timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK));
    }
    return posted.get() >= 0 && timer.get() >= 0;
  }
};
thread_local ThreadWait t_wait;

class EventFdWatcher : public WakeWatcher {
 public:
  explicit EventFdWatcher(int fd) : fd_(fd) {}
  void posted() override {
    uint64_t one = 1;
    while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

 private:
  int fd_;
};

void drain(int fd) {
  uint64_t value;
  while (read(fd, &value, sizeof value) > 0) {
  }
}

int read_power_file(const char* path, char* text, size_t size) {
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return -1;
  ssize_t got;
  do {
    got = read(fd.get(), text, size - 1);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return -1;
  text[got] = '\0';
  return static_cast<int>(got);
}

// Writes `text` to a power control: 0, or -1 with the kernel's errno (EBUSY: refused).
int write_power_file(const char* path, const char* text, size_t len) {
  UniqueFd fd(open(path, O_WRONLY | O_CLOEXEC));
  if (fd.get() < 0) return -1;
  ssize_t put;
  do {
    put = write(fd.get(), text, len);
  } while (put < 0 && errno == EINTR);
  return put == static_cast<ssize_t>(len) ? 0 : -1;
}

bool offers_suspend_to_ram() {
  char states[kPowerFileReadSize];
  if (read_power_file(kPowerStatePath, states, sizeof states) < 0) return false;
  char* rest = nullptr;
  for (char* word = strtok_r(states, " \n", &rest); word != nullptr;
       word = strtok_r(nullptr, " \n", &rest)) {
    if (strcmp(word, kSuspendToRam) == 0) return true;
  }
  return false;
}

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
    if (!pending && t_wait.ready()) {
      const bool timed = !is_wait_forever(deadline);
      if (!timed || arm_wall_timer(t_wait.timer.get(), deadline, true)) {
        EventFdWatcher watcher(t_wait.posted.get());
        event_watcher(event) = &watcher;
        lock.unlock();
        struct pollfd fds[2] = {{t_wait.posted.get(), POLLIN, 0}, {t_wait.timer.get(), POLLIN, 0}};
        while (poll(fds, timed ? 2 : 1, -1) < 0 && errno == EINTR) {
        }
        lock.lock();
        event_watcher(event) = nullptr;
        drain(t_wait.posted.get());
        if (timed) {
          drain(t_wait.timer.get());  // also takes a cancellation by a set of the clock
          disarm_timer(t_wait.timer.get());
        }
        bool was = pending;
        pending = false;
        return was;
      }
    }
    // Without timerfds: the condition on the wall clock, which a set of the clock does not end.
    // A wait forever has no moment: in the clock's nanoseconds it would overflow.
    const bool forever = is_wait_forever(deadline);
    auto until = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::microseconds(forever ? 0 : wall_time_us(deadline))));
    while (!pending) {
      if (forever) {
        event_cv(event).wait(lock);
      } else if (event_cv(event).wait_until(lock, until) == std::cv_status::timeout) {
        break;
      }
    }
    bool was = pending;
    pending = false;
    return was;
  }

  int suspend_until(const WallTime& until, WakeEvent& wake) override {
    std::call_once(suspend_checked_, [this] {
      if (!offers_suspend_to_ram()) {
        suspend_error_ = ENODEV;
        return;
      }
      // The alarm timer: the kernel programs the RTC so that its moment wakes the phone.
      alarm_timer_.reset(timerfd_create(CLOCK_REALTIME_ALARM, TFD_CLOEXEC | TFD_NONBLOCK));
      if (alarm_timer_.get() < 0) suspend_error_ = errno;
    });
    if (suspend_error_ != 0) {
      errno = suspend_error_;
      return -1;
    }
    // A wake-up event from here on (the power key) makes the kernel refuse the suspend.
    char count[kPowerFileReadSize];
    int count_len = read_power_file(kWakeupCountPath, count, sizeof count);
    {
      std::lock_guard<std::mutex> lock(event_mutex(wake));
      if (event_pending(wake)) {
        errno = EBUSY;
        return -1;
      }
    }
    if (count_len > 0 && write_power_file(kWakeupCountPath, count, count_len) != 0) {
      errno = EBUSY;
      return -1;
    }
    if (!arm_wall_timer(alarm_timer_.get(), until, false)) return -1;
    int r = write_power_file(kPowerStatePath, kSuspendToRam, sizeof kSuspendToRam - 1);
    int err = errno;
    disarm_timer(alarm_timer_.get());
    drain(alarm_timer_.get());
    if (r != 0) {
      // Refused for now (a wake-up event, a driver that would not suspend), unless the
      // kernel or the policy will never let it.
      bool never = err == EPERM || err == EACCES || err == EINVAL || err == ENODEV;
      errno = never ? err : EBUSY;
      return -1;
    }
    return 0;
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

 private:
  std::once_flag suspend_checked_;
  int suspend_error_ = 0;
  UniqueFd alarm_timer_;
};

}  // namespace

Platform* Platform::Default() {
  static Platform* const phone = new LinuxPlatform;
  return phone;
}
