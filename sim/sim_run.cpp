#include "sim/sim_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>

#include "platform/sandbox_clock.h"
#include "platform/sandbox_platform.h"
#include "platform/unique_fd.h"
#include "sim/sandbox_builder.h"
#include "sim/screenshot.h"

extern char** environ;

namespace {

constexpr char kVibratorPath[] = "/sys/class/timed_output/vibrator/enable";
constexpr char kBacklightPath[] = "/sys/class/leds/lcd-backlight/brightness";
constexpr char kRtcDir[] = "/sys/class/rtc/rtc0";
constexpr char kPropertySocket[] = "/dev/socket/property_service";
constexpr size_t kPropertyRequestSize = 128;
constexpr size_t kPropertyNameOffset = 4;
constexpr size_t kPropertyNameLimit = 32;
constexpr size_t kPropertyValueOffset = 36;
constexpr size_t kPropertyValueLimit = 92;
constexpr int kSocketTimeoutMs = 1000;
constexpr int kChildPollUs = 2000;
constexpr int kDrainMs = 150;

std::string trim(std::string s) {
  while (!s.empty() &&
         (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '\0')) {
    s.pop_back();
  }
  return s;
}

// A control file's text, when it is a plain file: something else linked in its place (a
// device such as /dev/full, a FIFO) is not read, as it may never end or never answer.
bool read_control_text(const std::string& path, std::string* out) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return read_text_file(path, out);
}

// The run's clock: virtual seconds since the program started.
class RunClock {
 public:
  RunClock(int64_t start_us, double speed)
      : start_us_(start_us), mono_start_ns_(VirtualClock::monotonic_ns()), speed_(speed) {}
  double elapsed() const {
    return static_cast<double>(VirtualClock::monotonic_ns() - mono_start_ns_) * speed_ / 1e9;
  }
  int64_t virtual_us() const { return start_us_ + static_cast<int64_t>(elapsed() * 1e6); }
  double elapsed_at_virtual_us(int64_t us) const {
    return static_cast<double>(us - start_us_) / 1e6;
  }
  int64_t start_us() const { return start_us_; }
  int64_t mono_start_ns() const { return mono_start_ns_; }
  double speed() const { return speed_; }
  // Real nanoseconds until the clock reads `elapsed` seconds.
  int64_t real_ns_until(double elapsed_secs) const {
    double left = (elapsed_secs - elapsed()) / speed_ * 1e9;
    return left > 0 ? static_cast<int64_t>(left) : 0;
  }

 private:
  int64_t start_us_;
  int64_t mono_start_ns_;
  double speed_;
};

class Timeline {
 public:
  explicit Timeline(const RunClock& clock) : clock_(clock) {}
  void add(const std::string& word, const std::string& details) {
    add_at(clock_.elapsed(), word, details);
  }
  void add_at(double at, const std::string& word, const std::string& details) {
    std::lock_guard<std::mutex> lock(mu_);
    entries_.push_back({at < 0 ? 0 : at, word, details});
  }
  std::vector<SimTimelineEntry> sorted() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<SimTimelineEntry> out = entries_;
    std::stable_sort(
        out.begin(), out.end(),
        [](const SimTimelineEntry& a, const SimTimelineEntry& b) { return a.at < b.at; });
    return out;
  }

 private:
  const RunClock& clock_;
  std::mutex mu_;
  std::vector<SimTimelineEntry> entries_;
};

UniqueFd listen_unix(const std::string& path) {
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return UniqueFd();
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  unlink(path.c_str());
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.get() < 0) return UniqueFd();
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(fd.get(), 16) != 0) {
    return UniqueFd();
  }
  return fd;
}

// Reads up to `want` bytes, waiting at most the socket timeout for each piece.
std::string read_some(int fd, size_t want, bool until_newline) {
  std::string got;
  while (got.size() < want) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, kSocketTimeoutMs) <= 0) break;
    char buf[256];
    size_t ask = std::min(sizeof buf, want - got.size());
    ssize_t n = read(fd, buf, until_newline ? 1 : ask);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
    if (until_newline && got.back() == '\n') break;
  }
  return got;
}

// A control file that the program writes and the simulator keeps a history of: a FIFO for
// the time of the run, a plain file with the last value afterwards.
struct WatchedControl {
  std::string path;
  std::string word;
  UniqueFd fd;
  std::string last;
  bool replaced = false;
};

// The services of the sandbox, on one thread of their own.
class Services {
 public:
  Services(const SimRunOptions& o, const RunClock& clock, Timeline& timeline)
      : root_(o.root),
        clock_(clock),
        timeline_(timeline),
        play_secs_(o.play_seconds),
        serve_properties_(o.property_service),
        rtc_op_fixed_(o.rtc_op_fixed),
        rtc_op_text_(o.rtc_op_text) {}

  bool start(std::string* error) {
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return fail(error, "pipe");
    if (serve_properties_) {
      property_ = listen_unix(root_ + kPropertySocket);
      if (property_.get() < 0) return fail(error, "cannot serve " + root_ + kPropertySocket);
    } else {
      unlink((root_ + kPropertySocket).c_str());  // a property service that is not there
    }
    player_ = listen_unix(root_ + "/sim/player.sock");
    if (player_.get() < 0) return fail(error, "cannot serve the player socket");
    for (auto [path, word] : {std::pair{kVibratorPath, "vibrate"}, {kBacklightPath, "backlight"}}) {
      WatchedControl c;
      c.path = root_ + path;
      c.word = word;
      struct stat st;
      if (lstat(c.path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        read_text_file(c.path, &c.last);
        c.replaced = make_fifo(c.path);
      }
      if (c.replaced) c.fd.reset(open(c.path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
      controls_.push_back(std::move(c));
    }
    inotify_.reset(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (inotify_.get() >= 0) {
      inotify_add_watch(inotify_.get(), (root_ + kRtcDir).c_str(), IN_CLOSE_WRITE | IN_MOVED_TO);
    }
    update_rtc();
    thread_ = std::thread([this] { loop(); });
    return true;
  }

  // Lets the connections drain, then stops the thread and restores the controls.
  void stop() {
    if (thread_.joinable()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kDrainMs));
      stopping_ = true;
      char c = 'x';
      ssize_t ignored = write(wake_[1], &c, 1);
      (void)ignored;
      thread_.join();
    }
    for (WatchedControl& c : controls_) {
      if (!c.replaced) continue;
      c.fd.reset();
      unlink(c.path.c_str());
      write_file(c.path, c.last);
    }
    for (auto& conn : players_) close(conn.first);
    players_.clear();
    if (wake_[0] >= 0) close(wake_[0]);
    if (wake_[1] >= 0) close(wake_[1]);
    wake_[0] = wake_[1] = -1;
    unlink((root_ + kPropertySocket).c_str());
    unlink((root_ + "/sim/player.sock").c_str());
  }

  ~Services() { stop(); }

  std::vector<std::pair<std::string, std::string>> properties() {
    std::lock_guard<std::mutex> lock(mu_);
    return properties_;
  }
  int player_runs() const { return player_runs_; }
  // Whether the backlight was last switched off (written "0").
  bool backlight_off() {
    std::lock_guard<std::mutex> lock(mu_);
    for (const WatchedControl& c : controls_) {
      if (c.word == std::string("backlight")) return c.last == "0";
    }
    return false;
  }

 private:
  static bool fail(std::string* error, const std::string& what) {
    if (error) *error = what;
    return false;
  }

  void update_rtc() {
    // A broken RTC driver: alarm_op gives the same text all along.
    if (rtc_op_fixed_) {
      if (rtc_secs_ < 0) replace_text_file(root_ + kRtcDir + "/alarm_op", rtc_op_text_);
      rtc_secs_ = 0;
      return;
    }
    int64_t secs = clock_.virtual_us() / 1000000;
    if (secs == rtc_secs_) return;
    rtc_secs_ = secs;
    replace_text_file(root_ + kRtcDir + "/alarm_op", std::to_string(secs) + "\n");
  }

  void loop() {
    while (!stopping_) {
      std::vector<pollfd> fds;
      fds.push_back({wake_[0], POLLIN, 0});
      fds.push_back({property_.get(), POLLIN, 0});
      fds.push_back({player_.get(), POLLIN, 0});
      fds.push_back({inotify_.get(), POLLIN, 0});
      for (WatchedControl& c : controls_) fds.push_back({c.fd.get(), POLLIN, 0});
      size_t first_player = fds.size();
      for (auto& conn : players_) fds.push_back({conn.first, POLLIN, 0});

      // Wake at the next virtual second to keep the RTC.
      double elapsed = clock_.elapsed();
      int64_t ns = clock_.real_ns_until(std::floor(elapsed) + 1.0);
      int timeout = static_cast<int>(std::min<int64_t>(ns / 1000000 + 1, 200));
      int n = poll(fds.data(), fds.size(), timeout);
      update_rtc();
      if (n <= 0) continue;
      if (fds[1].revents & POLLIN) serve_property();
      if (fds[2].revents & POLLIN) accept_player();
      if (fds[3].revents & POLLIN) read_inotify();
      for (size_t i = 0; i < controls_.size(); ++i) {
        if (fds[4 + i].revents & POLLIN) read_control(controls_[i]);
      }
      for (size_t i = first_player; i < fds.size(); ++i) {
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) player_event(fds[i].fd);
      }
    }
  }

  void serve_property() {
    for (;;) {
      UniqueFd conn(accept4(property_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (conn.get() < 0) return;
      std::string req = read_some(conn.get(), kPropertyRequestSize, false);
      std::string reason;
      std::string name, value;
      if (req.size() != kPropertyRequestSize) {
        reason = "request of " + std::to_string(req.size()) + " bytes";
      } else {
        uint32_t cmd = static_cast<uint8_t>(req[0]) | (static_cast<uint8_t>(req[1]) << 8) |
                       (static_cast<uint8_t>(req[2]) << 16) |
                       (static_cast<uint32_t>(static_cast<uint8_t>(req[3])) << 24);
        const char* n = req.data() + kPropertyNameOffset;
        const char* v = req.data() + kPropertyValueOffset;
        if (cmd != 1) {
          reason = "command " + std::to_string(cmd);
        } else if (memchr(n, 0, kPropertyNameLimit) == nullptr || n[0] == '\0') {
          reason = "name not terminated or empty";
        } else if (memchr(v, 0, kPropertyValueLimit) == nullptr) {
          reason = "value not terminated";
        } else {
          name = n;
          value = v;
        }
      }
      if (!reason.empty()) {
        timeline_.add("property-refused", reason);
        continue;
      }
      set_property_in_file(root_ + "/default.prop", name, value);
      timeline_.add("property", name + "=" + value);
      std::lock_guard<std::mutex> lock(mu_);
      properties_.emplace_back(name, value);
    }
  }

  void accept_player() {
    for (;;) {
      int conn = accept4(player_.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (conn < 0) return;
      std::string line = trim(read_some(conn, 4096, true));
      long pid = 0;
      std::string args;
      if (sscanf(line.c_str(), "start %ld", &pid) == 1) {
        size_t sp = line.find(' ', 6);
        if (sp != std::string::npos) args = line.substr(sp + 1);
      }
      long ms = static_cast<long>(play_secs_ / clock_.speed() * 1000.0);
      std::string reply = "play " + std::to_string(ms) + "\n";
      ssize_t ignored = write(conn, reply.data(), reply.size());
      (void)ignored;
      ++player_runs_;
      timeline_.add("player-start", "pid=" + std::to_string(pid) + " " + args);
      players_[conn] = pid;
    }
  }

  void player_event(int conn) {
    char buf[256];
    ssize_t n = read(conn, buf, sizeof buf);
    if (n > 0) return;
    auto it = players_.find(conn);
    long pid = it == players_.end() ? 0 : it->second;
    timeline_.add("player-stop", "pid=" + std::to_string(pid));
    close(conn);
    players_.erase(conn);
  }

  void read_control(WatchedControl& c) {
    char buf[256];
    ssize_t n = read(c.fd.get(), buf, sizeof buf);
    if (n <= 0) return;
    {
      std::lock_guard<std::mutex> lock(mu_);
      c.last.assign(buf, static_cast<size_t>(n));
    }
    timeline_.add(c.word, std::string(buf, static_cast<size_t>(n)));
  }

  void read_inotify() {
    alignas(inotify_event) char buf[4096];
    ssize_t n;
    while ((n = read(inotify_.get(), buf, sizeof buf)) > 0) {
      for (char* p = buf; p < buf + n;) {
        auto* ev = reinterpret_cast<inotify_event*>(p);
        if (ev->len > 0 && strcmp(ev->name, "alarm_param") == 0) {
          std::string value;
          read_control_text(root_ + kRtcDir + "/alarm_param", &value);
          std::string details = value;
          char* end = nullptr;
          long long secs = strtoll(value.c_str(), &end, 10);
          if (end != value.c_str()) details += " (" + local_time_text(secs) + ")";
          // Noticed a moment after the write: date it by the file's own time.
          struct stat st;
          double at = clock_.elapsed();
          struct timespec real_now;
          clock_gettime(CLOCK_REALTIME, &real_now);
          if (stat((root_ + kRtcDir + "/alarm_param").c_str(), &st) == 0) {
            double lag = static_cast<double>(real_now.tv_sec - st.st_mtim.tv_sec) +
                         static_cast<double>(real_now.tv_nsec - st.st_mtim.tv_nsec) / 1e9;
            if (lag > 0 && lag < 1) at -= lag * clock_.speed();
          }
          timeline_.add_at(at, "rtc", details);
        }
        p += sizeof(inotify_event) + ev->len;
      }
    }
  }

  std::string root_;
  const RunClock& clock_;
  Timeline& timeline_;
  double play_secs_;
  bool serve_properties_;
  bool rtc_op_fixed_;
  std::string rtc_op_text_;
  int wake_[2] = {-1, -1};
  UniqueFd property_;
  UniqueFd player_;
  UniqueFd inotify_;
  std::vector<WatchedControl> controls_;
  std::map<int, long> players_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::mutex mu_;
  std::vector<std::pair<std::string, std::string>> properties_;
  std::atomic<int> player_runs_{0};
  int64_t rtc_secs_ = -1;
};

// The last button layout the program logged, from the kernel log.
bool button_middle(const std::string& root, const std::string& button, int* x, int* y) {
  std::string kmsg;
  if (!read_text_file(root + "/dev/kmsg", &kmsg)) return false;
  int v[4];
  const char* keys[4] = {"x0", "y0", "x1", "y1"};
  for (int i = 0; i < 4; ++i) {
    std::string needle = "alarm: " + button + "." + keys[i] + " = ";
    size_t at = kmsg.rfind(needle);
    if (at == std::string::npos) return false;
    v[i] = atoi(kmsg.c_str() + at + needle.size());
  }
  *x = (v[0] + v[2]) / 2;
  *y = (v[1] + v[3]) / 2;
  return true;
}

bool send_events(const std::string& device, const std::vector<input_event>& events) {
  UniqueFd fd(open(device.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return false;
  size_t bytes = events.size() * sizeof(input_event);
  return write(fd.get(), events.data(), bytes) == static_cast<ssize_t>(bytes);
}

input_event make_event(uint16_t type, uint16_t code, int32_t value) {
  input_event ev = {};
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  ev.input_event_sec = tv.tv_sec;
  ev.input_event_usec = tv.tv_usec;
  ev.type = type;
  ev.code = code;
  ev.value = value;
  return ev;
}

std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string visible(const std::string& s) {
  std::string out;
  for (unsigned char c : s) out += (c < 0x20 || c == 0x7f) ? '.' : static_cast<char>(c);
  return out;
}

class SimRun {
 public:
  explicit SimRun(const SimRunOptions& o) : o_(o) {}

  SimOutcome run() {
    SimOutcome out;
    if (!prepare(&out)) return finish(&out);
    std::string error;
    services_ = std::make_unique<Services>(o_, *clock_, *timeline_);
    if (!services_->start(&error)) {
      out.error = error;
      return finish(&out);
    }
    open_input_writers();
    if (!spawn(&out)) return finish(&out);
    out.ran = true;
    timeline_->add_at(
        0, "start",
        "at=" + local_time_text(clock_->start_us() / 1000000) + " speed=" + fmt(o_.speed));

    std::vector<SimAction> actions = o_.actions;
    std::stable_sort(actions.begin(), actions.end(),
                     [](const SimAction& a, const SimAction& b) { return a.at < b.at; });
    size_t next = 0;
    for (;;) {
      if (reap(&out)) break;
      double now = clock_->elapsed();
      if (o_.until >= 0 && now >= o_.until) {
        out.stopped_at_until = true;
        break;
      }
      if (next < actions.size() && now >= actions[next].at) {
        perform(actions[next++], &out);
        continue;
      }
      usleep(kChildPollUs);
    }
    out.virtual_seconds = clock_->elapsed();
    // The program's processes still running (all of them when stopped at --until), with
    // what they have reaped themselves.
    out.cpu_seconds += group_cpu_seconds(child_);
    if (out.stopped_at_until) {
      kill(-child_, SIGKILL);
      int status;
      struct rusage usage;
      if (wait4(child_, &status, 0, &usage) == child_) out.peak_rss_kb = usage.ru_maxrss;
      timeline_->add("exit", "stopped by the simulator at --until");
    }
    kill(-child_, SIGKILL);  // whatever the program left behind: controller, player
    return finish(&out);
  }

 private:
  static double cpu_seconds(const struct rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  }

  // CPU time of the live processes of a process group, from /proc.
  static double group_cpu_seconds(pid_t pgid) {
    double total = 0;
    DIR* d = opendir("/proc");
    if (d == nullptr) return 0;
    long ticks = sysconf(_SC_CLK_TCK);
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      std::string stat;
      if (!read_text_file(std::string("/proc/") + e->d_name + "/stat", &stat)) continue;
      size_t close_paren = stat.rfind(')');
      if (close_paren == std::string::npos) continue;
      char state;
      long ppid, pgrp, session, tty, tpgid;
      unsigned long flags, minflt, cminflt, majflt, cmajflt, utime, stime;
      long cutime, cstime;
      if (sscanf(stat.c_str() + close_paren + 1,
                 " %c %ld %ld %ld %ld %ld %lu %lu %lu %lu %lu %lu %lu %ld %ld", &state, &ppid,
                 &pgrp, &session, &tty, &tpgid, &flags, &minflt, &cminflt, &majflt, &cmajflt,
                 &utime, &stime, &cutime, &cstime) == 15 &&
          pgrp == pgid) {
        total += static_cast<double>(utime + stime + cutime + cstime) / static_cast<double>(ticks);
      }
    }
    closedir(d);
    return total;
  }

  static std::string fmt(double v) {
    char buf[32];
    snprintf(buf, sizeof buf, "%g", v);
    return buf;
  }

  bool prepare(SimOutcome* out) {
    if (!sandbox_root_is_safe(o_.root)) {
      out->error = "sandbox path must be absolute and made of letters, digits and / . _ - +";
      return false;
    }
    struct stat st;
    if (stat((o_.root + "/default.prop").c_str(), &st) != 0) {
      out->error = o_.root + " is not a sandbox (run alarm-sim init first)";
      return false;
    }
    if (o_.speed <= 0 || !std::isfinite(o_.speed)) {
      out->error = "--speed must be above 0";
      return false;
    }
    if (!use_time_zone(o_.tz)) {
      out->error = "unknown time zone " + o_.tz;
      return false;
    }
    int64_t start_us;
    if (o_.at.empty()) {
      start_us = static_cast<int64_t>(time(nullptr)) * 1000000;
    } else {
      start_us = parse_local_time_us(o_.at.c_str());
      if (start_us < 0) {
        out->error = "--at must read YYYY-MM-DD HH:MM:SS";
        return false;
      }
    }
    program_ = o_.program.empty() ? self_dir() + "/poweroff_alarm_sandbox" : o_.program;
    if (access(program_.c_str(), X_OK) != 0) {
      out->error = "cannot run " + program_;
      return false;
    }
    make_dirs(o_.root + "/sim");
    for (const char* f :
         {"/sim/outcome.json", "/sim/timeline.txt", "/sim/poweroff", "/sim/player.log"}) {
      unlink((o_.root + f).c_str());
    }
    write_file(o_.root + "/dev/kmsg", "");
    write_file(o_.root + "/sys/class/rtc/rtc0/alarm_param", "");
    clock_ = std::make_unique<RunClock>(start_us, o_.speed);
    timeline_ = std::make_unique<Timeline>(*clock_);
    return true;
  }

  void open_input_writers() {
    for (const char* dev : {SANDBOX_TOUCH_DEVICE, SANDBOX_KEY_DEVICE}) {
      std::string path = o_.root + dev;
      struct stat st;
      if (lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
        input_writers_.emplace_back(open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
      }
    }
  }

  bool spawn(SimOutcome* out) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      if (strncmp(*e, "ALARM_SANDBOX_", 14) != 0 && strncmp(*e, "TZ=", 3) != 0) env.push_back(*e);
    }
    char clock[96];
    snprintf(clock, sizeof clock, "%" PRId64 " %" PRId64 " %.9g", clock_->start_us(),
             clock_->mono_start_ns(), clock_->speed());
    env.push_back("ALARM_SANDBOX_ROOT=" + o_.root);
    env.push_back(std::string("ALARM_SANDBOX_CLOCK=") + clock);
    env.push_back("TZ=" + o_.tz);
    std::string faults = o_.poweroff_returns ? "poweroff-returns" : "";
    for (const std::string& f : o_.faults) faults += (faults.empty() ? "" : ",") + f;
    if (!faults.empty()) env.push_back("ALARM_SANDBOX_FAULTS=" + faults);
    std::vector<char*> envp;
    for (std::string& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string out_path = o_.root + "/sim/stdout.txt";
    std::string err_path = o_.root + "/sim/stderr.txt";
    char* argv[] = {const_cast<char*>("poweroff_alarm"), nullptr};

    child_ = fork();
    if (child_ < 0) {
      out->error = "fork failed";
      return false;
    }
    if (child_ == 0) {
      setpgid(0, 0);
      int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int null = open("/dev/null", O_RDONLY);
      if (o >= 0) dup2(o, 1);
      if (e >= 0) dup2(e, 2);
      if (null >= 0) dup2(null, 0);
      execve(program_.c_str(), argv, envp.data());
      _exit(127);
    }
    setpgid(child_, child_);
    return true;
  }

  // True once the program has ended.
  bool reap(SimOutcome* out) {
    int status;
    struct rusage usage;
    pid_t r = wait4(child_, &status, WNOHANG, &usage);
    if (r != child_) return false;
    out->cpu_seconds = cpu_seconds(usage);
    out->peak_rss_kb = usage.ru_maxrss;
    if (WIFEXITED(status)) {
      out->exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
      out->exit_status = 128 + WTERMSIG(status);
    }
    timeline_->add("exit", "status=" + std::to_string(out->exit_status));
    return true;
  }

  void perform(const SimAction& a, SimOutcome* out) {
    switch (a.kind) {
      case SimAction::kTap: {
        int x, y;
        if (!button_middle(o_.root, a.button, &x, &y)) {
          timeline_->add("touch", a.button + " not laid out yet: nothing sent");
          return;
        }
        touch(x, y, a.button);
        return;
      }
      case SimAction::kTouch:
        touch(a.x, a.y, "");
        return;
      case SimAction::kKey: {
        std::vector<input_event> evs = {
            make_event(EV_KEY, KEY_POWER, 1), make_event(EV_SYN, SYN_REPORT, 0),
            make_event(EV_KEY, KEY_POWER, 0), make_event(EV_SYN, SYN_REPORT, 0)};
        bool sent = send_events(o_.root + SANDBOX_KEY_DEVICE, evs);
        timeline_->add("key", sent ? "power" : "power: no key device");
        return;
      }
      case SimAction::kShot: {
        Screenshot shot;
        bool ok = fb_capture_shown(o_.root + "/dev/graphics/fb0", &shot);
        // A dark backlight shows nothing, whatever the buffer holds.
        bool dark = ok && services_->backlight_off();
        if (dark) {
          for (size_t i = 0; i < shot.rgba.size(); ++i) shot.rgba[i] = (i % 4 == 3) ? 255 : 0;
        }
        ok = ok && fb_capture_write_png(shot, a.file);
        timeline_->add("shot", !ok    ? a.file + ": no picture"
                               : dark ? a.file + " (backlight off)"
                                      : a.file);
        if (ok) out->screenshots.push_back(a.file);
        return;
      }
    }
  }

  void touch(int x, int y, const std::string& button) {
    std::vector<input_event> evs = {make_event(EV_ABS, ABS_X, x), make_event(EV_ABS, ABS_Y, y),
                                    make_event(EV_SYN, SYN_REPORT, 0)};
    bool sent = send_events(o_.root + SANDBOX_TOUCH_DEVICE, evs);
    std::string details = std::to_string(x) + "," + std::to_string(y);
    if (!button.empty()) details += " " + button;
    if (!sent) details += ": no touch device";
    timeline_->add("touch", details);
  }

  SimOutcome finish(SimOutcome* out) {
    if (services_) {
      services_->stop();
      out->properties_set = services_->properties();
      out->player_runs = services_->player_runs();
    }
    input_writers_.clear();
    if (clock_ == nullptr) return *out;

    std::string poweroff;
    if (read_text_file(o_.root + "/sim/poweroff", &poweroff)) {
      out->powered_off = true;
      double secs = atof(poweroff.c_str());
      int64_t us = static_cast<int64_t>(secs * 1e6);
      timeline_->add_at(
          clock_->elapsed_at_virtual_us(us), "poweroff",
          poweroff.find("unsynced") == std::string::npos ? "after sync" : "without sync");
    }
    std::string param;
    if (read_control_text(o_.root + "/sys/class/rtc/rtc0/alarm_param", &param) && !param.empty()) {
      out->has_rtc_alarm_param = true;
      out->rtc_alarm_param = param;
    }
    out->timeline = timeline_->sorted();
    write_file(o_.root + "/sim/timeline.txt", format_timeline(out->timeline));
    write_file(o_.root + "/sim/outcome.json", format_outcome_json(*out));
    return *out;
  }

  SimRunOptions o_;
  std::string program_;
  std::unique_ptr<RunClock> clock_;
  std::unique_ptr<Timeline> timeline_;
  std::unique_ptr<Services> services_;
  std::vector<UniqueFd> input_writers_;
  pid_t child_ = -1;
};

}  // namespace

bool parse_sim_action(const std::string& text, SimAction* a, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = "action \"" + text + "\": " + why;
    return false;
  };
  size_t c1 = text.find(':');
  if (c1 == std::string::npos || c1 == 0) return fail("expected S:WHAT[:ARG]");
  char* end = nullptr;
  a->at = strtod(text.c_str(), &end);
  if (end != text.c_str() + c1 || !(a->at >= 0)) return fail("S must be seconds, 0 or more");
  size_t c2 = text.find(':', c1 + 1);
  std::string what = text.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1);
  std::string arg = c2 == std::string::npos ? "" : text.substr(c2 + 1);
  if (what == "tap") {
    if (arg != "left" && arg != "mid" && arg != "right")
      return fail("tap takes left, mid or right");
    a->kind = SimAction::kTap;
    a->button = arg;
  } else if (what == "touch") {
    int consumed = 0;
    if (sscanf(arg.c_str(), "%d,%d%n", &a->x, &a->y, &consumed) != 2 ||
        consumed != static_cast<int>(arg.size())) {
      return fail("touch takes X,Y");
    }
    a->kind = SimAction::kTouch;
  } else if (what == "key") {
    if (arg != "power") return fail("key takes power");
    a->kind = SimAction::kKey;
    a->button = arg;
  } else if (what == "shot") {
    if (arg.empty()) return fail("shot takes a file name");
    a->kind = SimAction::kShot;
    a->file = arg;
  } else {
    return fail("unknown action " + what);
  }
  return true;
}

std::string format_timeline(const std::vector<SimTimelineEntry>& timeline) {
  std::string out;
  for (const SimTimelineEntry& e : timeline) {
    char head[48];
    snprintf(head, sizeof head, "%.3f %s", e.at, e.word.c_str());
    out += head;
    if (!e.details.empty()) out += " " + visible(e.details);
    out += "\n";
  }
  return out;
}

std::string format_outcome_json(const SimOutcome& o) {
  std::string out = "{\n";
  out += "  \"exit_status\": " +
         (o.ran && !o.stopped_at_until ? std::to_string(o.exit_status) : std::string("null")) +
         ",\n";
  out += std::string("  \"powered_off\": ") + (o.powered_off ? "true" : "false") + ",\n";
  out += "  \"rtc_alarm_param\": " +
         (o.has_rtc_alarm_param ? json_string(o.rtc_alarm_param) : std::string("null")) + ",\n";
  out += "  \"properties_set\": [";
  for (size_t i = 0; i < o.properties_set.size(); ++i) {
    out += (i ? ", " : "") + std::string("{\"name\": ") + json_string(o.properties_set[i].first) +
           ", \"value\": " + json_string(o.properties_set[i].second) + "}";
  }
  out += "],\n";
  out += "  \"player_runs\": " + std::to_string(o.player_runs) + ",\n";
  out += "  \"screenshots\": [";
  for (size_t i = 0; i < o.screenshots.size(); ++i) {
    out += (i ? ", " : "") + json_string(o.screenshots[i]);
  }
  out += "],\n";
  out += std::string("  \"stopped_at_until\": ") + (o.stopped_at_until ? "true" : "false") + ",\n";
  char secs[32];
  snprintf(secs, sizeof secs, "%.3f", o.virtual_seconds);
  out += std::string("  \"virtual_seconds\": ") + secs + ",\n";
  snprintf(secs, sizeof secs, "%.3f", o.cpu_seconds);
  out += std::string("  \"program_cpu_seconds\": ") + secs + ",\n";
  out += "  \"program_peak_rss_kb\": " + std::to_string(o.peak_rss_kb);
  if (!o.error.empty()) out += ",\n  \"error\": " + json_string(o.error);
  out += "\n}\n";
  return out;
}

SimOutcome run_simulation(const SimRunOptions& options) {
  return SimRun(options).run();
}
