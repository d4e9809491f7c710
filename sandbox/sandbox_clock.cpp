#include "sandbox/sandbox_clock.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "platform/platform.h"

int SandboxClock::poll_input(struct pollfd* fds, unsigned count, bool wait) {
  return poll(fds, count, wait ? -1 : 0);
}

int SandboxClock::wait_signal(const sigset_t& set) {
  return sigwaitinfo(&set, nullptr);
}

void SandboxClock::hold() {
  for (;;) pause();
}

int SandboxClock::start_thread(void* (*entry)(void*)) {
  return start_detached_thread(entry);
}

pid_t SandboxClock::fork_process() {
  return fork();
}

VirtualClock::VirtualClock(int64_t start_us, int64_t mono_start_ns, double speed,
                           std::vector<ClockStretch> slow)
    : start_us_(start_us), mono_start_ns_(mono_start_ns), speed_(speed > 0 ? speed : 1.0) {
  segments_.push_back({start_us_, mono_start_ns_, speed_});
  std::sort(slow.begin(), slow.end(),
            [](const ClockStretch& a, const ClockStretch& b) { return a.from_us < b.from_us; });
  // Each stretch after the start, beyond the one before it: a segment at its speed, then back.
  for (const ClockStretch& stretch : slow) {
    if (!(stretch.speed > 0)) continue;
    int64_t from = stretch.from_us > start_us_ ? stretch.from_us : start_us_;
    if (from < segments_.back().virtual_us) from = segments_.back().virtual_us;
    if (stretch.to_us <= from) continue;
    auto real_at = [&](int64_t v) {
      const Segment& s = segments_.back();
      return s.mono_ns +
             static_cast<int64_t>(static_cast<long double>(v - s.virtual_us) * 1000.0L / s.speed);
    };
    if (from == segments_.back().virtual_us) {
      segments_.back().speed = stretch.speed;
    } else {
      int64_t from_ns = real_at(from);
      segments_.push_back({from, from_ns, stretch.speed});
    }
    int64_t to_ns = real_at(stretch.to_us);
    segments_.push_back({stretch.to_us, to_ns, speed_});
  }
}

const VirtualClock::Segment& VirtualClock::segment_at_virtual(int64_t virtual_us) const {
  auto after = std::upper_bound(segments_.begin(), segments_.end(), virtual_us,
                                [](int64_t v, const Segment& s) { return v < s.virtual_us; });
  return after == segments_.begin() ? segments_.front() : *(after - 1);
}

const VirtualClock::Segment& VirtualClock::segment_at_mono(int64_t mono_ns) const {
  auto after = std::upper_bound(segments_.begin(), segments_.end(), mono_ns,
                                [](int64_t m, const Segment& s) { return m < s.mono_ns; });
  return after == segments_.begin() ? segments_.front() : *(after - 1);
}

int64_t VirtualClock::monotonic_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t VirtualClock::now_us() {
  return virtual_us_at(monotonic_ns());
}

int64_t VirtualClock::virtual_us_at(int64_t mono_ns) const {
  const Segment& s = segment_at_mono(mono_ns);
  long double real_ns = static_cast<long double>(mono_ns - s.mono_ns);
  return s.virtual_us + static_cast<int64_t>(real_ns * s.speed / 1000.0L);
}

int64_t VirtualClock::real_ns_at(int64_t virtual_us) const {
  const Segment& s = segment_at_virtual(virtual_us);
  long double v = static_cast<long double>(virtual_us - s.virtual_us);
  return s.mono_ns + static_cast<int64_t>(v * 1000.0L / s.speed);
}

void VirtualClock::sleep_us(int64_t usec) {
  if (usec <= 0) return;
  int64_t target = real_ns_at(now_us() + usec);
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(target / 1000000000);
  ts.tv_nsec = static_cast<long>(target % 1000000000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

bool VirtualClock::wait_flag(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                             bool& pending, int64_t deadline_us, WakeWatcher**) {
  using namespace std::chrono;
  if (deadline_us == INT64_MAX) {
    while (!pending) cv.wait(lock);
    return pending;
  }
  int64_t target_ns = real_ns_at(deadline_us);
  while (!pending) {
    int64_t left = target_ns - monotonic_ns();
    if (left <= 0) break;
    cv.wait_for(lock, nanoseconds(left));
  }
  return pending;
}

int VirtualClock::wait_readable(int fd, int64_t deadline_us) {
  int64_t target_ns = real_ns_at(deadline_us);
  for (;;) {
    int64_t left_ns = target_ns - monotonic_ns();
    if (left_ns <= 0) return poll_readable(fd, 0);
    int r = poll_readable(fd, ms_for((left_ns + 999) / 1000));
    if (r != 0) return r;
  }
}

ManualClock::ManualClock(int64_t start_us)
    : now_us_(start_us), owner_pid_(getpid()), driver_(std::this_thread::get_id()) {}

bool ManualClock::in_fork() const {
  return getpid() != owner_pid_;
}

int64_t ManualClock::now_us() {
  return now_us_.load();
}

int64_t ManualClock::next_action_us() {
  std::lock_guard<std::mutex> lock(mu_);
  return actions_.empty() ? INT64_MAX : actions_.begin()->first;
}

void ManualClock::schedule(int64_t t_us, std::function<void()> action) {
  std::lock_guard<std::mutex> lock(mu_);
  actions_.emplace(t_us, std::move(action));
}

void ManualClock::advance_to(int64_t t_us) {
  for (;;) {
    std::function<void()> action;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (actions_.empty() || actions_.begin()->first > t_us) {
        if (t_us > now_us_) now_us_ = t_us;
        break;
      }
      auto first = actions_.begin();
      if (first->first > now_us_) now_us_ = first->first;
      action = std::move(first->second);
      actions_.erase(first);
    }
    moved_.notify_all();
    action();
  }
  moved_.notify_all();
}

void ManualClock::sleep_us(int64_t usec) {
  if (usec <= 0) return;
  if (in_fork()) {
    sleep_real_us(usec);
    return;
  }
  if (on_driver()) {
    advance_by(usec);
    return;
  }
  std::unique_lock<std::mutex> lock(mu_);
  int64_t target = now_us_ + usec;
  moved_.wait(lock, [&] { return now_us_ >= target; });
}

bool ManualClock::wait_flag(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                            bool& pending, int64_t deadline_us, WakeWatcher**) {
  if (on_driver()) {
    // Run the clock forward action by action; an action may set the flag.
    while (!pending) {
      lock.unlock();
      int64_t next = next_action_us();
      int64_t now = now_us();
      if (now >= deadline_us) {
        lock.lock();
        break;
      }
      advance_to(next < deadline_us ? next : deadline_us);
      lock.lock();
    }
    return pending;
  }
  // Another thread: real waits in short slices until posted or the clock has passed.
  while (!pending && now_us() < deadline_us) {
    cv.wait_for(lock, std::chrono::milliseconds(1));
  }
  return pending;
}

int ManualClock::wait_readable(int fd, int64_t deadline_us) {
  constexpr int kRealSliceMs = 200;
  constexpr int64_t kVirtualStepUs = 1000000;
  for (;;) {
    int r = poll_readable(fd, kRealSliceMs);
    if (r != 0) return r;
    int64_t now = now_us();
    if (now >= deadline_us) return 0;
    if (on_driver() && !in_fork()) {
      advance_to(deadline_us - now < kVirtualStepUs ? deadline_us : now + kVirtualStepUs);
    }
  }
}
