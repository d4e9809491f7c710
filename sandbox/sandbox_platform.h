// The host's side of the seam: every phone path lives under a sandbox root, devices are
// emulated by plain files, FIFOs and sockets there, and time runs on a sandbox clock.
//
// Emulated devices (their files and formats in sandbox/sandbox_files.h):
//   /dev/graphics/fb0       a plain file the size of the device memory, mapped for real;
//                           its geometry in fb0.info and the shown buffer in fb0.var
//   /dev/tty0               a plain file; the console mode is kept in tty0.mode
//   /dev/input/eventN       FIFOs; each name in /sys/class/input/inputN/name
//   kernel-message node     a hard link to /dev/kmsg, a plain file
//   property store          /default.prop, name=value lines
//   power-off               recorded in /sim/poweroff, then the process ends
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "sandbox/sandbox_clock.h"
#include "sandbox/sandbox_files.h"

class SandboxPlatform : public Platform {
 public:
  SandboxPlatform(std::string root, std::unique_ptr<SandboxClock> clock);

  // The platform a sandboxed program runs on, configured by alarm-sim through the
  // environment (SandboxEnvironment; the faults as SandboxFaults names them). Null when not
  // configured.
  static std::unique_ptr<SandboxPlatform> from_environment();

  const std::string& root() const { return root_; }
  SandboxClock& clock() { return *clock_; }
  // When set, power_off records the power-off and returns -1 instead of ending the process.
  void set_poweroff_returns(bool v) { poweroff_returns_ = v; }
  // The Nth thread creation of the run (counted from 1) fails with EAGAIN; 0: none fails.
  void set_fail_thread_number(int n) { fail_thread_number_ = n; }
  // The phone's suspend: what it lacks and how it misbehaves (SandboxFaults).
  void set_suspend_faults(bool no_suspend, bool no_alarm_timer, int refusals, int64_t late_us) {
    no_suspend_ = no_suspend;
    no_alarm_timer_ = no_alarm_timer;
    suspend_refusals_ = refusals;
    resume_late_us_ = late_us;
  }
  // The moment the RTC switched the phone on (microseconds since the epoch); the clock's
  // reading when the platform was made, unless set.
  void set_wake_us(int64_t wake_us) { wake_us_ = wake_us; }

  std::string device_path(const char* phone_path) const override;
  int fb_get_fixed_info(int fd, fb_fix_screeninfo* info) override;
  int fb_get_variable_info(int fd, fb_var_screeninfo* info) override;
  int fb_put_variable_info(int fd, const fb_var_screeninfo* info) override;
  int console_set_mode(int fd, int kd_mode) override;
  int input_device_name(int fd, const char* device_path, char* name, size_t size) override;
  int make_kmsg_node(const char* path) override;
  int property_read(const char* name, char* value) override;
  void sync_filesystems() override;
  int power_off() override;
  int wall_time(WallTime* now) override;
  int local_time(time_t t, struct tm* out) override;
  int64_t seconds_since_boot() override;
  void sleep_us(int64_t usec) override;
  bool wait_event(WakeEvent& event, const WallTime& deadline) override;
  // The kernel's side of a suspend: the phone sleeps (every thread of the program may still
  // wait, so the clock jumps) until the alarm timer's moment, later by the "resume-late"
  // fault, or until `wake` is posted (a wake-up source: the input thread's post after the
  // power key or a touch). Each suspend, resume and refusal goes to SANDBOX_SUSPEND_LOG.
  int suspend_until(const WallTime& until, WakeEvent& wake) override;
  int wait_readable(int fd, const WallTime& deadline) override;
  int poll_input(struct pollfd* fds, unsigned count, bool wait) override;
  int wait_signal(const sigset_t& set) override;
  int create_thread(void* (*entry)(void*)) override;
  pid_t fork_process() override;
  // The sound card is a sink of WAV files (sandbox/sandbox_sound.h), paced by the clock.
  std::unique_ptr<SoundStream> open_sound(const SoundRequest& request) override;
  int set_mixer_control(int card, const char* name, const char* value) override;
  // When set, the card is busy: every open fails with EBUSY.
  void set_sound_busy(bool v) { sound_busy_ = v; }

 private:
  bool is_framebuffer(int fd) const;

  std::string root_;
  std::unique_ptr<SandboxClock> clock_;
  bool poweroff_returns_ = false;
  int fail_thread_number_ = 0;
  bool sound_busy_ = false;
  std::atomic<int64_t> wake_us_;
  std::atomic<int> threads_asked_{0};
  std::atomic<bool> synced_{false};
  bool no_suspend_ = false;
  bool no_alarm_timer_ = false;
  std::atomic<int> suspend_refusals_{0};  // still to refuse; -1 refuses every one
  int64_t resume_late_us_ = 0;
};

// Faults of a broken phone that a sandboxed program meets, named in ALARM_SANDBOX_FAULTS
// (comma-separated): "poweroff-returns" (the power-off fails and returns), "thread-fail:N"
// (the Nth thread creation, counted from 1, fails). The sqlite3 faults are acted out by the
// sandbox's stand-in for the tool, which the program starts through the shell; the
// program's platform accepts and ignores them: "sqlite-hang:read" and "sqlite-hang:update"
// (that kind of command never returns), "sqlite-hang:read-after:N" (a read prints N rows and
// half a row, then never returns), "sqlite-slow:S" (each command takes S more virtual
// seconds). The phone's suspend: "no-suspend" (the kernel offers no suspend to RAM),
// "no-alarm-timer" (no alarm timer can be made), "suspend-refused" (every suspend is
// refused, as with a wake lock held) or "suspend-refused:N" (the first N), "resume-late:S"
// (the phone resumes S virtual seconds after its alarm timer's moment). "sound-busy": another
// program holds the sound card, so the ring player cannot open it.
struct SandboxFaults {
  bool poweroff_returns = false;
  int fail_thread_number = 0;
  bool sound_busy = false;
  bool sqlite_hang_read = false;
  bool sqlite_hang_update = false;
  // "sqlite-hang:read-after:N": a read prints its first N rows in full and half of the next,
  // then never returns; -1 when not asked for.
  int sqlite_hang_read_after_rows = -1;
  double sqlite_slow_seconds = 0;
  bool no_suspend = false;
  bool no_alarm_timer = false;
  int suspend_refusals = 0;  // -1: every one
  double resume_late_seconds = 0;

  bool any_sqlite() const {
    return sqlite_hang_read || sqlite_hang_update || sqlite_hang_read_after_rows >= 0 ||
           sqlite_slow_seconds > 0;
  }
};
// Adds the faults named in `text` to `faults`; false, with the first name it does not know
// in `unknown`, when a name is not one of the above.
bool parse_sandbox_faults(const std::string& text, SandboxFaults* faults, std::string* unknown);
