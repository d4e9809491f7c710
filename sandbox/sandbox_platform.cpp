#include "sandbox/sandbox_platform.h"

#include "sandbox/sandbox_sound.h"

#include <fcntl.h>
#include <linux/fb.h>
#include <linux/kd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <utility>

namespace {

const char kFramebuffer[] = "/dev/graphics/fb0";
const char kConsole[] = "/dev/tty0";

// The longest delay "sqlite-slow:S" takes: a day of virtual time.
constexpr double kSqliteSlowLimitSecs = 86400;
// The latest "resume-late:S" makes a resume: an hour.
constexpr double kResumeLateLimitSecs = 3600;

// A fault named "PREFIX" and a count of up to six digits: the count into `n`.
bool counted_fault(const std::string& name, const char* prefix, int* n) {
  constexpr size_t kMaxDigits = 6;
  const size_t len = strlen(prefix);
  if (name.compare(0, len, prefix) != 0 || name.size() <= len || name.size() > len + kMaxDigits ||
      name.find_first_not_of("0123456789", len) != std::string::npos) {
    return false;
  }
  *n = atoi(name.c_str() + len);
  return true;
}

}  // namespace

SandboxPlatform::SandboxPlatform(std::string root, std::unique_ptr<SandboxClock> clock)
    : root_(std::move(root)), clock_(std::move(clock)), wake_us_(clock_->now_us()) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

std::unique_ptr<SandboxPlatform> SandboxPlatform::from_environment() {
  SandboxEnvironment env;
  if (!read_sandbox_environment(&env)) return nullptr;
  std::unique_ptr<SandboxClock> clock = sandbox_clock(env);
  if (clock == nullptr) {
    fprintf(stderr, "sandbox: the clock record %s cannot be used\n", env.clock_record.c_str());
    return nullptr;
  }
  auto p = std::make_unique<SandboxPlatform>(env.root, std::move(clock));
  p->set_wake_us(env.wake_us);
  SandboxFaults faults;
  std::string unknown;
  if (!parse_sandbox_faults(env.faults, &faults, &unknown)) {
    fprintf(stderr, "sandbox: unknown fault \"%s\" ignored\n", unknown.c_str());
  }
  p->set_poweroff_returns(faults.poweroff_returns);
  p->set_fail_thread_number(faults.fail_thread_number);
  p->set_suspend_faults(faults.no_suspend, faults.no_alarm_timer, faults.suspend_refusals,
                        std::llround(faults.resume_late_seconds * 1e6));
  p->set_sound_busy(faults.sound_busy);
  return p;
}

bool parse_sandbox_faults(const std::string& text, SandboxFaults* faults, std::string* unknown) {
  constexpr char kThreadFail[] = "thread-fail:";
  constexpr size_t kThreadFailLen = sizeof kThreadFail - 1;
  constexpr char kSqliteSlow[] = "sqlite-slow:";
  constexpr size_t kSqliteSlowLen = sizeof kSqliteSlow - 1;
  constexpr size_t kMaxDigits = 6;
  constexpr char kLate[] = "resume-late:";
  constexpr size_t kLateLen = sizeof kLate - 1;
  bool all_known = true;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string name = text.substr(start, end - start);
    start = end + 1;
    if (name.empty()) continue;
    if (name == "poweroff-returns") {
      faults->poweroff_returns = true;
      continue;
    }
    if (name == "no-suspend" || name == "no-alarm-timer" || name == "suspend-refused") {
      if (name == "no-suspend") faults->no_suspend = true;
      if (name == "no-alarm-timer") faults->no_alarm_timer = true;
      if (name == "suspend-refused") faults->suspend_refusals = -1;
      continue;
    }
    if (counted_fault(name, "suspend-refused:", &faults->suspend_refusals)) continue;
    if (name.compare(0, kLateLen, kLate) == 0 && name.size() > kLateLen &&
        name.find_first_not_of("0123456789.", kLateLen) == std::string::npos) {
      double secs = strtod(name.c_str() + kLateLen, nullptr);
      if (secs > 0 && secs <= kResumeLateLimitSecs) {
        faults->resume_late_seconds = secs;
        continue;
      }
    }
    if (name == "sound-busy") {
      faults->sound_busy = true;
      continue;
    }
    if (name == "sqlite-hang:read" || name == "sqlite-hang:update") {
      (name == "sqlite-hang:read" ? faults->sqlite_hang_read : faults->sqlite_hang_update) = true;
      continue;
    }
    if (counted_fault(name, "sqlite-hang:read-after:", &faults->sqlite_hang_read_after_rows)) {
      continue;
    }
    if (name.compare(0, kSqliteSlowLen, kSqliteSlow) == 0 && name.size() > kSqliteSlowLen) {
      char* end = nullptr;
      double secs = strtod(name.c_str() + kSqliteSlowLen, &end);
      if (*end == '\0' && secs > 0 && secs <= kSqliteSlowLimitSecs &&
          name.find_first_not_of("0123456789.", kSqliteSlowLen) == std::string::npos) {
        faults->sqlite_slow_seconds = secs;
        continue;
      }
    }
    if (name.compare(0, kThreadFailLen, kThreadFail) == 0 && name.size() > kThreadFailLen &&
        name.size() <= kThreadFailLen + kMaxDigits &&
        name.find_first_not_of("0123456789", kThreadFailLen) == std::string::npos) {
      int n = atoi(name.c_str() + kThreadFailLen);
      if (n > 0) {
        faults->fail_thread_number = n;
        continue;
      }
    }
    if (all_known && unknown != nullptr) *unknown = name;
    all_known = false;
  }
  return all_known;
}

std::string SandboxPlatform::device_path(const char* phone_path) const {
  if (phone_path == nullptr || phone_path[0] != '/') return phone_path ? phone_path : "";
  return root_ + phone_path;
}

bool SandboxPlatform::is_framebuffer(int fd) const {
  struct stat a, b;
  if (fstat(fd, &a) != 0 || stat(device_path(kFramebuffer).c_str(), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int SandboxPlatform::fb_get_fixed_info(int fd, fb_fix_screeninfo* info) {
  SandboxFbGeometry g;
  if (!is_framebuffer(fd) || !read_sandbox_fb_geometry(device_path(kFramebuffer), &g)) {
    errno = ENOTTY;
    return -1;
  }
  memset(info, 0, sizeof *info);
  snprintf(info->id, sizeof info->id, "sandbox-fb");
  info->smem_len = g.smem_len;
  info->line_length = g.line_length;
  info->type = FB_TYPE_PACKED_PIXELS;
  info->visual = FB_VISUAL_TRUECOLOR;
  return 0;
}

int SandboxPlatform::fb_get_variable_info(int fd, fb_var_screeninfo* info) {
  SandboxFbGeometry g;
  uint32_t yoffset = 0, yres_virtual = 0;
  if (!is_framebuffer(fd) || !read_sandbox_fb_geometry(device_path(kFramebuffer), &g) ||
      !read_sandbox_fb_offset(device_path(kFramebuffer), &yoffset, &yres_virtual)) {
    errno = ENOTTY;
    return -1;
  }
  memset(info, 0, sizeof *info);
  info->xres = g.xres;
  info->yres = g.yres;
  info->xres_virtual = g.xres;
  info->yres_virtual = yres_virtual;
  info->yoffset = yoffset;
  info->bits_per_pixel = g.bits_per_pixel;
  if (g.bits_per_pixel == 16) {
    info->red = {11, 5, 0};
    info->green = {5, 6, 0};
    info->blue = {0, 5, 0};
  } else {
    info->red = {0, 8, 0};
    info->green = {8, 8, 0};
    info->blue = {16, 8, 0};
    info->transp = {24, 8, 0};
  }
  if (g.red_blue_swapped) std::swap(info->red, info->blue);
  return 0;
}

int SandboxPlatform::fb_put_variable_info(int fd, const fb_var_screeninfo* info) {
  SandboxFbGeometry g;
  if (!is_framebuffer(fd) || !read_sandbox_fb_geometry(device_path(kFramebuffer), &g)) {
    errno = ENOTTY;
    return -1;
  }
  // As a driver would: the virtual screen must fit the device memory.
  uint64_t need = static_cast<uint64_t>(info->yres_virtual) * g.line_length;
  if (info->xres != g.xres || info->yres != g.yres || info->yres_virtual < g.yres ||
      need > g.smem_len || info->yoffset + static_cast<uint64_t>(g.yres) > info->yres_virtual) {
    errno = EINVAL;
    return -1;
  }
  if (!write_sandbox_fb_offset(device_path(kFramebuffer), info->yoffset, info->yres_virtual)) {
    errno = EIO;
    return -1;
  }
  return 0;
}

int SandboxPlatform::console_set_mode(int fd, int kd_mode) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  if (kd_mode != KD_GRAPHICS && kd_mode != KD_TEXT) {
    errno = EINVAL;
    return -1;
  }
  return write_sandbox_console_mode(device_path(kConsole), kd_mode == KD_GRAPHICS) ? 0 : -1;
}

int SandboxPlatform::input_device_name(int fd, const char* dev_path, char* name, size_t size) {
  struct stat st;
  if (fstat(fd, &st) != 0 || size == 0) return -1;
  const char* base = strrchr(dev_path, '/');
  base = base ? base + 1 : dev_path;
  if (strncmp(base, "event", 5) != 0 || base[5] == '\0') {
    errno = ENOTTY;
    return -1;
  }
  std::string text;
  std::string sys = device_path(SANDBOX_INPUT_SYSFS_PREFIX) + (base + 5) + "/name";
  if (!read_text_file(sys, &text)) {
    errno = ENOTTY;
    return -1;
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
  size_t n = text.size() < size - 1 ? text.size() : size - 1;
  memcpy(name, text.data(), n);
  name[n] = '\0';
  return static_cast<int>(n + 1);
}

int SandboxPlatform::make_kmsg_node(const char* path) {
  std::string kmsg = device_path(SANDBOX_KMSG_FILE);
  int fd = open(kmsg.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) close(fd);
  return link(kmsg.c_str(), path);
}

int SandboxPlatform::property_read(const char* name, char* value) {
  constexpr size_t kValueMax = 91;
  value[0] = '\0';
  std::string text;
  if (!read_text_file(device_path(SANDBOX_PROPERTY_FILE), &text)) return 0;
  std::istringstream in(text);
  std::string line;
  size_t nlen = strlen(name);
  int len = 0;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line.compare(0, nlen, name) == 0 && line.size() > nlen && line[nlen] == '=') {
      std::string v = line.substr(nlen + 1, kValueMax);
      memcpy(value, v.c_str(), v.size() + 1);
      len = static_cast<int>(v.size());
    }
  }
  return len;
}

void SandboxPlatform::sync_filesystems() {
  synced_ = true;
}

int SandboxPlatform::power_off() {
  SandboxPoweroff record;
  record.at_us = clock_->now_us();
  record.synced = synced_;
  write_sandbox_poweroff(root_, record);
  if (poweroff_returns_) {
    errno = EPERM;
    return -1;
  }
  _exit(0);
}

int SandboxPlatform::wall_time(WallTime* now) {
  *now = wall_time_from_us(clock_->now_us());
  return 0;
}

int SandboxPlatform::local_time(time_t t, struct tm* out) {
  return localtime_r(&t, out) == nullptr ? -1 : 0;
}

int64_t SandboxPlatform::seconds_since_boot() {
  int64_t up = clock_->now_us() - wake_us_.load();
  return up > 0 ? up / 1000000 : 0;
}

void SandboxPlatform::sleep_us(int64_t usec) {
  clock_->sleep_us(usec);
}

bool SandboxPlatform::wait_event(WakeEvent& event, const WallTime& deadline) {
  std::unique_lock<std::mutex> lock(event_mutex(event));
  bool& pending = event_pending(event);
  int64_t deadline_us = is_wait_forever(deadline) ? INT64_MAX : wall_time_us(deadline);
  bool woken =
      clock_->wait_flag(lock, event_cv(event), pending, deadline_us, &event_watcher(event));
  pending = false;
  return woken;
}

int SandboxPlatform::suspend_until(const WallTime& until, WakeEvent& wake) {
  const std::string log = root_ + SANDBOX_SUSPEND_LOG;
  if (no_suspend_) {
    errno = ENODEV;
    return -1;
  }
  if (no_alarm_timer_) {
    errno = EINVAL;
    return -1;
  }
  std::unique_lock<std::mutex> lock(event_mutex(wake));
  bool& pending = event_pending(wake);
  int refusals = suspend_refusals_.load();
  if (pending || refusals != 0) {
    if (!pending && refusals > 0) suspend_refusals_.fetch_sub(1);
    append_sandbox_log_entry(log, {clock_->now_us(), "refused", "busy"});
    errno = EBUSY;
    return -1;
  }
  int64_t timer_us = is_wait_forever(until) ? INT64_MAX : wall_time_us(until);
  append_sandbox_log_entry(log, {clock_->now_us(), "suspend", std::to_string(timer_us)});
  int64_t resume_us =
      timer_us > INT64_MAX - resume_late_us_ ? INT64_MAX : timer_us + resume_late_us_;
  // The post, if any, stays pending: the waker has something for the program to answer.
  bool woken = clock_->wait_flag(lock, event_cv(wake), pending, resume_us, &event_watcher(wake));
  append_sandbox_log_entry(log, {clock_->now_us(), "resume", woken ? "wake-up" : "alarm-timer"});
  return 0;
}

int SandboxPlatform::wait_readable(int fd, const WallTime& deadline) {
  return clock_->wait_readable(fd, wall_time_us(deadline));
}

int SandboxPlatform::poll_input(struct pollfd* fds, unsigned count, bool wait) {
  return clock_->poll_input(fds, count, wait);
}

int SandboxPlatform::wait_signal(const sigset_t& set) {
  return clock_->wait_signal(set);
}

int SandboxPlatform::create_thread(void* (*entry)(void*)) {
  int number = threads_asked_.fetch_add(1) + 1;
  if (fail_thread_number_ != 0 && number == fail_thread_number_) return EAGAIN;
  return clock_->start_thread(entry);
}

pid_t SandboxPlatform::fork_process() {
  return clock_->fork_process();
}

std::unique_ptr<SoundStream> SandboxPlatform::open_sound(const SoundRequest& request) {
  if (sound_busy_) {
    errno = EBUSY;
    return nullptr;
  }
  return open_sandbox_sound(root_, *clock_, request);
}

int SandboxPlatform::set_mixer_control(int card, const char* name, const char* value) {
  return record_sandbox_mixer_setting(root_, card, name, value);
}
