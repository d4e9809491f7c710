// The seam between the program and the operating system. Everything that differs between a
// phone and the host sandbox goes through Platform; plain file I/O, poll, fork/exec and
// signals stay real on both sides.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "platform/sound.h"

struct fb_fix_screeninfo;
struct fb_var_screeninfo;
struct pollfd;

// A moment of the wall clock, as the system clock gives it.
struct WallTime {
  int64_t sec = 0;
  int64_t usec = 0;
};

inline int64_t wall_time_us(const WallTime& t) {
  return t.sec * 1000000 + t.usec;
}
inline WallTime wall_time_from_us(int64_t us) {
  WallTime t;
  t.sec = us / 1000000;
  t.usec = us % 1000000;
  if (t.usec < 0) {
    t.usec += 1000000;
    t.sec -= 1;
  }
  return t;
}

// Told of every post, under the event's lock, while a thread waits on a WakeEvent through a
// platform that keeps account of its waiting threads (the sandbox's jumping clock): the
// waiter counts as running from the post on, before it has even woken.
class WakeWatcher {
 public:
  virtual void posted() = 0;

 protected:
  ~WakeWatcher() = default;
};

// A wake-up signal with one waiter and any number of posters. A post that comes before the
// wait is kept, so a wake-up is never lost between a look at the shared words and the wait.
class WakeEvent {
 public:
  void post() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      pending_ = true;
      if (watcher_ != nullptr) watcher_->posted();
    }
    cv_.notify_all();
  }
  // Consumes a pending post; true if there was one.
  bool take() {
    std::lock_guard<std::mutex> lock(mu_);
    bool was = pending_;
    pending_ = false;
    return was;
  }

 private:
  friend class Platform;
  std::mutex mu_;
  std::condition_variable cv_;
  bool pending_ = false;
  WakeWatcher* watcher_ = nullptr;  // set by the platform while a thread waits
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Device paths: a fixed phone path (absolute) to where it lives. Unchanged on the phone,
  // under the sandbox root on the host. Command lines for the shell are built from these.
  virtual std::string device_path(const char* phone_path) const = 0;

  // Framebuffer and console. Each returns 0 on success, -1 with errno on failure.
  virtual int fb_get_fixed_info(int fd, fb_fix_screeninfo* info) = 0;
  virtual int fb_get_variable_info(int fd, fb_var_screeninfo* info) = 0;
  virtual int fb_put_variable_info(int fd, const fb_var_screeninfo* info) = 0;
  virtual int console_set_mode(int fd, int kd_mode) = 0;

  // Input: the device's name as EVIOCGNAME gives it (bytes stored including the final
  // zero, at most `size`), or -1.
  virtual int input_device_name(int fd, const char* device_path, char* name, size_t size) = 0;

  // Kernel log: make the kernel-message device node (character device 1:11, mode 0600).
  // Fails with EEXIST when something is there already.
  virtual int make_kmsg_node(const char* path) = 0;

  // Property store: the value of `name` into `value` (room for 92 bytes); its length, or 0
  // when unset.
  virtual int property_read(const char* name, char* value) = 0;

  // Power: flush file systems, then power off. power_off returns only when it failed.
  virtual void sync_filesystems() = 0;
  virtual int power_off() = 0;

  // Time: the wall clock (0, or -1 when it could not be read), local time, sleeping.
  virtual int wall_time(WallTime* now) = 0;
  virtual int local_time(time_t t, struct tm* out) = 0;
  // The zone local_time converts to from now on (a zone name, or "UTC"). Both sides convert
  // with the C library, which takes the zone from TZ.
  virtual void set_time_zone(const char* zone);
  // Seconds since the phone was switched on (the kernel's boot clock; in a sandbox, since
  // its virtual wake moment), or -1 where there is no such clock.
  virtual int64_t seconds_since_boot() = 0;
  virtual void sleep_us(int64_t usec) = 0;
  // Waits until `event` is posted (true; the post is consumed), the wall clock reaches
  // `deadline` (false) or the wall clock is set (false: an RTC correction, a time set by
  // hand), so that a long wait for a moment of the wall clock is looked at again when the
  // clock jumps. WAIT_FOREVER waits for the post alone.
  virtual bool wait_event(WakeEvent& event, const WallTime& deadline) = 0;
  // Suspends the phone to RAM until the wall clock reaches `until` (an alarm timer wakes it)
  // or a wake-up source (the power key) wakes it first: 0 once it has resumed, whatever woke
  // it. -1 with errno EBUSY when the suspend was refused because a wake-up event came first
  // (a post of `wake` pending is one: the waiter has something to answer); -1 with another
  // errno when the phone cannot suspend at all: ENODEV without suspend to RAM, or the alarm
  // timer's error (EINVAL without one, EPERM without the right to set it).
  virtual int suspend_until(const WallTime& until, WakeEvent& wake);
  // Waits until `fd` can be read without blocking (data, end of file or an error): 1; 0 when
  // the wall clock reaches `deadline` first; -1 when the descriptor cannot be waited on.
  virtual int wait_readable(int fd, const WallTime& deadline) = 0;
  // The input devices' wait: poll() of their descriptors, blocking until one has something
  // (`wait`) or only looking. poll()'s result.
  virtual int poll_input(struct pollfd* fds, unsigned count, bool wait) = 0;
  // Waits until one of the signals of `set`, which the caller blocks, is pending and takes
  // it: its number, or -1 (EINTR when another signal came first).
  virtual int wait_signal(const sigset_t& set) = 0;

  // Threads and processes, where a test must be able to make creation fail.
  // create_thread starts a detached thread with default attributes: 0, or an error number.
  virtual int create_thread(void* (*entry)(void*)) = 0;
  virtual pid_t fork_process() = 0;

  // Sound: a playback stream on a card's device, or null with errno (ENOENT: no such card or
  // device; EBUSY: another program plays on it). The ring player's only way to a card.
  virtual std::unique_ptr<SoundStream> open_sound(const SoundRequest& request) = 0;
  // Sets the mixer control `name` of `card` to `value` (a number, a percentage of the
  // control's range as "N%", "on"/"off", or one of its items by name): 0, or -1 with errno.
  virtual int set_mixer_control(int card, const char* name, const char* value) = 0;

  // The phone's platform: Linux with Android's property store. Made on first use and never
  // destroyed, since detached worker threads may still use it while the process ends.
  static Platform* Default();

 protected:
  // For implementations: the event's lock, condition and flag.
  static std::mutex& event_mutex(WakeEvent& e) { return e.mu_; }
  static std::condition_variable& event_cv(WakeEvent& e) { return e.cv_; }
  static bool& event_pending(WakeEvent& e) { return e.pending_; }
  static WakeWatcher*& event_watcher(WakeEvent& e) { return e.watcher_; }
};

// The deadline of a wait that only a post ends.
constexpr WallTime WAIT_FOREVER = {INT64_MAX / 1000000, 0};
inline bool is_wait_forever(const WallTime& t) {
  return t.sec >= WAIT_FOREVER.sec;
}

// The platform the program runs on. Set once by main() before anything else runs.
Platform& platform();
void set_platform(Platform* p);

// Shorthands used all over the program.
inline std::string device_path(const char* phone_path) {
  return platform().device_path(phone_path);
}
// Reads the wall clock, repeating a failing read until it succeeds.
WallTime read_clock();

// Helpers that both platforms use.
// A detached thread with default attributes: 0, or an error number.
int start_detached_thread(void* (*entry)(void*));
// Sleeps for `usec` of real time, resuming after signals.
void sleep_real_us(int64_t usec);
// One poll of `fd` for reading, for at most `timeout_ms` of real time: 1 readable (or hung
// up), 0 not within the time (also when a signal came), -1 on error.
int poll_readable(int fd, int timeout_ms);
// Milliseconds for a poll that must not end before `usec` have passed (capped at a minute).
int ms_for(int64_t usec);

// Room for a property value and its zero, as the property store gives it.
constexpr size_t BOOT_PROPERTY_VALUE_SIZE = 92;
// The property `name` as Android's init sets it from the kernel command line `cmdline`:
// every `androidboot.X=Y` gives ro.boot.X, and `androidboot.mode` gives ro.bootmode as
// well; words are separated by blanks, the first of a name wins (init's read-only
// properties cannot be set twice), and a value too long for the store is refused and so
// leaves the name to a later word. The
// value into `value` (BOOT_PROPERTY_VALUE_SIZE bytes); its length, or 0 when unset.
int kernel_cmdline_property(const char* cmdline, const char* name, char* value);
