// The clock of one run (virtual seconds since the program started, on the sandbox's
// virtual or jumping clock) and the timeline of events stamped on it, shared by the run's
// threads.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sandbox/sandbox_clock.h"
#include "sandbox/sandbox_jumps.h"
#include "sim/sim_outcome.h"

class RunClock {
 public:
  // Starts now (real time) at `start_us`; slower in the `slow` stretches, as VirtualClock.
  // With `record` (a path), the run's jumping clock, whose record is made there and whose
  // jumps the thread that makes the RunClock decides; jumping() tells whether it could be.
  RunClock(int64_t start_us, double speed, std::vector<ClockStretch> slow = {},
           const std::string& record = "")
      : slow_(slow), clock_(start_us, VirtualClock::monotonic_ns(), speed, slow) {
    if (record.empty()) return;
    jumps_ = JumpingClock::create(record, start_us, speed, std::move(slow));
    if (jumps_) decider_ = std::make_unique<JumpDecider>(*jumps_);
  }

  int64_t start_us() const { return clock_.start_us(); }
  int64_t mono_start_ns() const { return clock_.mono_start_ns(); }
  double speed() const { return clock_.speed(); }
  const std::vector<ClockStretch>& slow() const { return slow_; }
  bool jumping() const { return decider_ != nullptr; }
  // The jumps' decider: the thread that made the clock calls it. Null without jumps.
  JumpDecider* decider() const { return decider_.get(); }

  double elapsed() const { return elapsed_at_virtual_us(virtual_us()); }
  double elapsed_at_mono_ns(int64_t mono_ns) const {
    return elapsed_at_virtual_us(decider_ ? decider_->virtual_us_at(mono_ns)
                                          : clock_.virtual_us_at(mono_ns));
  }
  double elapsed_at_virtual_us(int64_t us) const {
    return static_cast<double>(us - start_us()) / 1e6;
  }
  int64_t virtual_us() const {
    return jumps_ ? jumps_->now_us() : clock_.virtual_us_at(VirtualClock::monotonic_ns());
  }
  double epoch_seconds_at(double elapsed_secs) const {
    return static_cast<double>(start_us()) / 1e6 + elapsed_secs;
  }
  // CLOCK_MONOTONIC nanoseconds at which the clock reads `elapsed_secs` (on the present
  // anchor of a jumping clock), and `us` since the epoch; INT64_MAX when it never will.
  int64_t mono_ns_at(double elapsed_secs) const {
    return mono_ns_at_virtual_us(start_us() + static_cast<int64_t>(elapsed_secs * 1e6));
  }
  int64_t mono_ns_at_virtual_us(int64_t us) const {
    return jumps_ ? jumps_->real_ns_at(us) : clock_.real_ns_at(us);
  }

  // The waits and processes of the simulator's own threads, in the jumping clock's account.
  int poll(struct pollfd* fds, unsigned count, bool wait) const {
    if (!jumps_ || !wait) return ::poll(fds, count, wait ? -1 : 0);
    return jumps_->wait_descriptors(fds, count, INT64_MAX);
  }
  void attach_thread() const {
    if (jumps_) jumps_->attach_thread();
  }
  pid_t fork_process() const { return jumps_ ? jumps_->fork_process() : fork(); }

 private:
  std::vector<ClockStretch> slow_;
  VirtualClock clock_;
  std::unique_ptr<JumpingClock> jumps_;
  std::unique_ptr<JumpDecider> decider_;
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
