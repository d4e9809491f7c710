#include "sim/sim_services.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "alarm/alarm_delay.h"
#include "alarm/alarm_rtc.h"
#include "base/system_property.h"
#include "devices/backlight.h"
#include "devices/vibrator.h"
#include "sandbox/sandbox_files.h"
#include "sim/property_request.h"
#include "sim/sandbox_builder.h"

namespace {

constexpr int kSocketTimeoutMs = 1000;
constexpr int kListenBacklog = 16;
constexpr size_t kControlReadSize = 256;
constexpr size_t kInotifyBufferSize = 4096;
// alarm_op is renamed into place from here, so its writes raise no event in the RTC's
// directory, which is watched for the program's writes. Its text is written into one of
// two files kept for the run, in turn, and linked into place: no file is made or removed
// each second.
constexpr char kRtcOpTemp[] = "/sim/alarm_op.tmp";
constexpr const char* kRtcOpFiles[2] = {"/sim/alarm_op.a", "/sim/alarm_op.b"};
constexpr int64_t kUsPerSecond = 1000000;

std::string parent_dir(const std::string& path) {
  return path.substr(0, path.rfind('/'));
}

std::string base_name(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

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

UniqueFd listen_unix(const std::string& path) {
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return UniqueFd();
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  unlink(path.c_str());
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.get() < 0) return UniqueFd();
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(fd.get(), kListenBacklog) != 0) {
    return UniqueFd();
  }
  return fd;
}

// Reads up to `want` bytes (or up to a line end), waiting at most the socket timeout for
// each piece.
std::string read_some(int fd, size_t want, bool until_newline) {
  std::string got;
  while (got.size() < want) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, kSocketTimeoutMs) <= 0) break;
    char buf[512];
    ssize_t n = read(fd, buf, std::min(sizeof buf, want - got.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
    if (until_newline && got.find('\n') != std::string::npos) break;
  }
  return got;
}

void post(int event_fd) {
  uint64_t one = 1;
  ssize_t ignored = write(event_fd, &one, sizeof one);
  (void)ignored;
}

void drain_event(int event_fd) {
  uint64_t count;
  ssize_t ignored = read(event_fd, &count, sizeof count);
  (void)ignored;
}

}  // namespace

SimServices::SimServices(const SimServicesConfig& config, const RunClock& clock, Timeline& timeline)
    : config_(config), clock_(clock), timeline_(timeline) {}

SimServices::~SimServices() {
  stop();
}

bool SimServices::start(std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error) *error = what;
    return false;
  };
  const std::string& root = config_.root;
  wake_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  ring_event_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (wake_.get() < 0 || ring_event_.get() < 0) return fail("eventfd");
  if (config_.property_service) {
    property_ = listen_unix(root + PROP_SERVICE_SOCKET);
    if (property_.get() < 0) return fail("cannot serve " + root + PROP_SERVICE_SOCKET);
  } else {
    unlink((root + PROP_SERVICE_SOCKET).c_str());  // a property service that is not there
  }
  player_ = listen_unix(root + SANDBOX_PLAYER_SOCKET);
  if (player_.get() < 0) return fail("cannot serve the player socket");
  for (auto [path, word] : {std::pair{VIBRATOR_PATH, "vibrate"}, {BACKLIGHT_PATH, "backlight"}}) {
    WatchedControl c;
    c.path = root + path;
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
    rtc_watch_ = inotify_add_watch(inotify_.get(), parent_dir(root + RTC_ALARM_PARAM_PATH).c_str(),
                                   IN_CLOSE_WRITE);
    note_watch_ = inotify_add_watch(inotify_.get(), parent_dir(root + ALARM_DELAY_PATH).c_str(),
                                    IN_CLOSE_WRITE | IN_MOVED_TO);
  }
  keep_rtc();
  // The thread is in the clock's account before the program can write to it.
  std::mutex started_mu;
  std::condition_variable started_cv;
  bool started = false;
  thread_ = std::thread([&, this] {
    clock_.attach_thread();
    {
      // Under the lock: the waiter below cannot leave, taking the condition with it, first.
      std::lock_guard<std::mutex> lock(started_mu);
      started = true;
      started_cv.notify_all();
    }
    loop();
  });
  std::unique_lock<std::mutex> lock(started_mu);
  started_cv.wait(lock, [&] { return started; });
  return true;
}

void SimServices::stop() {
  if (thread_.joinable()) {
    stopping_ = true;
    post(wake_.get());
    thread_.join();
  }
  for (WatchedControl& c : controls_) {
    if (!c.replaced) continue;
    c.fd.reset();
    unlink(c.path.c_str());
    write_file(c.path, c.last);
    c.replaced = false;
  }
  for (auto& conn : players_) close(conn.first);
  players_.clear();
  for (int k = 0; k < 2; ++k) {
    if (rtc_op_files_[k].get() < 0) continue;
    rtc_op_files_[k].reset();
    unlink((config_.root + kRtcOpFiles[k]).c_str());  // alarm_op keeps its own name
  }
  if (property_.get() >= 0) unlink((config_.root + PROP_SERVICE_SOCKET).c_str());
  if (player_.get() >= 0) unlink((config_.root + SANDBOX_PLAYER_SOCKET).c_str());
  property_.reset();
  player_.reset();
}

bool SimServices::has_ring_starts() {
  std::lock_guard<std::mutex> lock(mu_);
  return rings_taken_ < rings_.size();
}

std::vector<SimRingStart> SimServices::take_ring_starts() {
  drain_event(ring_event_.get());
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<SimRingStart> out(rings_.begin() + static_cast<long>(rings_taken_), rings_.end());
  rings_taken_ = rings_.size();
  return out;
}

std::vector<std::pair<std::string, std::string>> SimServices::properties() {
  std::lock_guard<std::mutex> lock(mu_);
  return properties_;
}

std::vector<SimRingStart> SimServices::ring_starts() {
  std::lock_guard<std::mutex> lock(mu_);
  return rings_;
}

std::vector<SimSnoozeNote> SimServices::snooze_notes() {
  std::lock_guard<std::mutex> lock(mu_);
  return notes_;
}

bool SimServices::backlight_off() {
  std::lock_guard<std::mutex> lock(mu_);
  return backlight_off_;
}

void SimServices::loop() {
  while (!stopping_) pass(true);
  // The program has ended: whatever it sent or wrote is waiting already.
  while (pass(false)) {
  }
}

bool SimServices::pass(bool wait) {
  enum Source { kWake, kProperty, kPlayerSocket, kInotify, kControl, kPlayer };
  std::vector<pollfd> fds;
  std::vector<std::pair<Source, size_t>> sources;
  auto watch = [&](int fd, Source source, size_t index) {
    if (fd < 0) return;
    fds.push_back({fd, POLLIN, 0});
    sources.emplace_back(source, index);
  };
  watch(wake_.get(), kWake, 0);
  watch(property_.get(), kProperty, 0);
  watch(player_.get(), kPlayerSocket, 0);
  watch(inotify_.get(), kInotify, 0);
  for (size_t i = 0; i < controls_.size(); ++i) watch(controls_[i].fd.get(), kControl, i);
  for (auto& conn : players_) watch(conn.first, kPlayer, 0);

  int n = clock_.poll(fds.data(), static_cast<unsigned>(fds.size()), wait);
  if (n <= 0) return false;
  bool handled = false;
  for (size_t i = 0; i < fds.size(); ++i) {
    if (fds[i].revents == 0) continue;
    switch (sources[i].first) {
      case kWake:
        drain_event(wake_.get());
        break;
      case kProperty:
        serve_property();
        handled = true;
        break;
      case kPlayerSocket:
        accept_player();
        handled = true;
        break;
      case kInotify:
        read_inotify();
        handled = true;
        break;
      case kControl:
        read_control(controls_[sources[i].second]);
        handled = true;
        break;
      case kPlayer:
        player_event(fds[i].fd);
        handled = true;
        break;
    }
  }
  return handled;
}

// alarm_op gives the RTC's time, the virtual epoch second, fresh at each second: the
// program adds its delay to it.
void SimServices::keep_rtc() {
  if (config_.rtc_standard) {
    // No alarm_op at all, from the start.
    if (rtc_secs_ >= 0) return;
    rtc_secs_ = 0;
    unlink((config_.root + RTC_ALARM_OP_PATH).c_str());
    return;
  }
  std::string text;
  if (config_.rtc_op_fixed) {
    // A broken RTC driver: alarm_op gives the same text all along.
    if (rtc_secs_ >= 0) return;
    rtc_secs_ = 0;
    text = config_.rtc_op_text;
  } else {
    int64_t secs = clock_.virtual_us() / kUsPerSecond;
    if (secs == rtc_secs_) return;
    rtc_secs_ = secs;
    text = std::to_string(secs) + "\n";
  }
  std::string temp = config_.root + kRtcOpTemp;
  std::string op = config_.root + RTC_ALARM_OP_PATH;
  std::string file = config_.root + kRtcOpFiles[rtc_op_next_];
  UniqueFd& fd = rtc_op_files_[rtc_op_next_];
  rtc_op_next_ = 1 - rtc_op_next_;
  if (fd.get() < 0) fd.reset(open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  unlink(temp.c_str());
  ssize_t len = static_cast<ssize_t>(text.size());
  if (fd.get() >= 0 && pwrite(fd.get(), text.data(), text.size(), 0) == len &&
      ftruncate(fd.get(), len) == 0 && link(file.c_str(), temp.c_str()) == 0 &&
      rename(temp.c_str(), op.c_str()) == 0) {
    return;
  }
  // Where the files cannot be kept, a new file each time.
  if (!write_file(temp, text) || rename(temp.c_str(), op.c_str()) != 0) unlink(temp.c_str());
}

void SimServices::serve_property() {
  for (;;) {
    UniqueFd conn(accept4(property_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (conn.get() < 0) return;
    PropertyRequest request;
    std::string refused;
    if (!decode_property_request(read_some(conn.get(), PROP_REQUEST_SIZE, false), &request,
                                 &refused)) {
      timeline_.add("property-refused", refused);
      continue;
    }
    set_property_in_file(config_.root + SANDBOX_PROPERTY_FILE, request.name, request.value);
    timeline_.add("property", request.name + "=" + request.value);
    std::lock_guard<std::mutex> lock(mu_);
    properties_.emplace_back(request.name, request.value);
  }
}

void SimServices::accept_player() {
  for (;;) {
    int conn = accept4(player_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) return;
    std::string line = trim(read_some(conn, SANDBOX_PLAYER_LINE_LIMIT, true));
    PlayerStart start;
    if (!parse_player_start(line, &start)) start.args = line;
    // One run of the ring file, in virtual milliseconds from the start the player stamped.
    long ms = std::lround(config_.play_seconds * 1000);
    std::string reply = format_player_reply(ms);
    ssize_t ignored = send(conn, reply.data(), reply.size(), MSG_NOSIGNAL);
    (void)ignored;
    ++player_runs_;
    // The player stamps its own start on the virtual clock, closer to it than this.
    double at = start.at_us >= 0 ? clock_.elapsed_at_virtual_us(start.at_us) : clock_.elapsed();
    timeline_.add_at(at, "player-start", "pid=" + std::to_string(start.pid) + " " + start.args);
    players_[conn] = start.pid;
    if (start.parent_pid > 0 && controllers_.insert(start.parent_pid).second) {
      timeline_.add_at(at, "ring", "controller=" + std::to_string(start.parent_pid));
      {
        std::lock_guard<std::mutex> lock(mu_);
        rings_.push_back({at, start.parent_pid});
      }
      post(ring_event_.get());
    }
  }
}

void SimServices::player_event(int conn) {
  char buf[256];
  ssize_t n = read(conn, buf, sizeof buf);
  if (n > 0 || (n < 0 && errno == EINTR)) return;
  auto it = players_.find(conn);
  long pid = it == players_.end() ? 0 : it->second;
  timeline_.add("player-stop", "pid=" + std::to_string(pid));
  close(conn);
  players_.erase(conn);
}

void SimServices::read_control(WatchedControl& c) {
  char buf[kControlReadSize];
  ssize_t n = read(c.fd.get(), buf, sizeof buf);
  if (n <= 0) return;
  std::string value(buf, static_cast<size_t>(n));
  c.last = value;
  if (c.word == std::string("backlight")) {
    std::lock_guard<std::mutex> lock(mu_);
    backlight_off_ = value == BACKLIGHT_OFF_LEVEL;
  }
  timeline_.add(c.word, value);
}

void SimServices::read_inotify() {
  alignas(inotify_event) char buf[kInotifyBufferSize];
  ssize_t n;
  std::string rtc_name = base_name(RTC_ALARM_PARAM_PATH);
  std::string wake_name = base_name(RTC_WAKEALARM_PATH);
  std::string note_name = base_name(ALARM_DELAY_PATH);
  while ((n = read(inotify_.get(), buf, sizeof buf)) > 0) {
    for (char* p = buf; p < buf + n;) {
      auto* ev = reinterpret_cast<inotify_event*>(p);
      if (ev->len > 0 && ev->wd == rtc_watch_ && rtc_name == ev->name) {
        rtc_alarm_written(RTC_ALARM_PARAM_PATH);
      }
      if (ev->len > 0 && ev->wd == rtc_watch_ && wake_name == ev->name) {
        rtc_alarm_written(RTC_WAKEALARM_PATH);
      }
      if (ev->len > 0 && ev->wd == note_watch_ && note_name == ev->name) snooze_note_written();
      p += sizeof(inotify_event) + ev->len;
    }
  }
}

double SimServices::written_at(const std::string& path) const {
  double at = clock_.elapsed();
  struct stat st;
  struct timespec real_now;
  clock_gettime(CLOCK_REALTIME, &real_now);
  if (stat(path.c_str(), &st) == 0) {
    double lag = static_cast<double>(real_now.tv_sec - st.st_mtim.tv_sec) +
                 static_cast<double>(real_now.tv_nsec - st.st_mtim.tv_nsec) / 1e9;
    if (lag > 0 && lag < 1) {
      at =
          clock_.elapsed_at_mono_ns(VirtualClock::monotonic_ns() - static_cast<int64_t>(lag * 1e9));
    }
  }
  return at;
}

void SimServices::rtc_alarm_written(const char* phone_path) {
  std::string path = config_.root + phone_path;
  std::string value;
  read_control_text(path, &value);
  // alarm_param as its bare value, as always; the standard file by name.
  bool standard = strcmp(phone_path, RTC_WAKEALARM_PATH) == 0;
  std::string details = standard ? "wakealarm " + value : value;
  std::optional<int64_t> secs = rtc_seconds(value);
  if (standard && (!secs || *secs == 0)) {
    // "0" clears the alarm; the file may already be truncated for the next value when read.
    details = "wakealarm cleared";
  } else if (secs) {
    details += " (" + local_time_text(*secs) + ")";
  }
  timeline_.add_at(written_at(path), "rtc", details);
}

void SimServices::snooze_note_written() {
  std::string path = config_.root + ALARM_DELAY_PATH;
  // The program renames its new note into place and closes it after: one note, two events.
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return;
  if (st.st_ino == note_inode_ && st.st_mtim.tv_sec == note_mtime_.tv_sec &&
      st.st_mtim.tv_nsec == note_mtime_.tv_nsec) {
    return;
  }
  note_inode_ = st.st_ino;
  note_mtime_ = st.st_mtim;
  std::string text;
  if (!read_control_text(path, &text)) return;
  double at = clock_.elapsed();
  SimSnoozeNote note;
  if (!parse_snooze_note(text, &note.alarm_id, &note.snooze_end)) {
    // A note of no pair: the snooze it held was ended by stopping its alarm.
    bool empty = text.find_first_not_of(std::string("\n\0", 2)) == std::string::npos;
    timeline_.add_at(at, "snooze-note", empty ? "none pending" : "unreadable");
    return;
  }
  note.written_at = clock_.epoch_seconds_at(at);
  // The first pair is the snooze just taken; the others were still to ring.
  std::string details =
      "id=" + std::to_string(note.alarm_id) + " until " + local_time_text(note.snooze_end);
  std::vector<SnoozeNotePair> pairs = parse_snooze_note_pairs(text);
  for (size_t i = 1; i < pairs.size(); ++i) {
    details += (i == 1 ? "; pending id=" : ", id=") + std::to_string(pairs[i].alarm_id) +
               " until " + local_time_text(pairs[i].end);
  }
  timeline_.add_at(at, "snooze-note", details);
  std::lock_guard<std::mutex> lock(mu_);
  notes_.push_back(note);
}
