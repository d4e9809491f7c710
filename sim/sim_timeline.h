// The clock of one run (virtual seconds since the program started, on the sandbox's
// virtual clock) and the timeline of events stamped on it, shared by the run's threads.
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sandbox_clock.h"
#include "sim/sim_outcome.h"

class RunClock {
 public:
  // Starts now (real time) at `start_us`; slower in the `slow` stretches, as VirtualClock.
  RunClock(int64_t start_us, double speed, std::vector<ClockStretch> slow = {})
      : slow_(slow), clock_(start_us, VirtualClock::monotonic_ns(), speed, std::move(slow)) {}

  int64_t start_us() const { return clock_.start_us(); }
  int64_t mono_start_ns() const { return clock_.mono_start_ns(); }
  double speed() const { return clock_.speed(); }
  const std::vector<ClockStretch>& slow() const { return slow_; }

  double elapsed() const { return elapsed_at_mono_ns(VirtualClock::monotonic_ns()); }
  double elapsed_at_mono_ns(int64_t mono_ns) const {
    return elapsed_at_virtual_us(clock_.virtual_us_at(mono_ns));
  }
  double elapsed_at_virtual_us(int64_t us) const {
    return static_cast<double>(us - start_us()) / 1e6;
  }
  int64_t virtual_us() const { return clock_.virtual_us_at(VirtualClock::monotonic_ns()); }
  double epoch_seconds_at(double elapsed_secs) const {
    return static_cast<double>(start_us()) / 1e6 + elapsed_secs;
  }
  // CLOCK_MONOTONIC nanoseconds at which the clock reads `elapsed_secs`.
  int64_t mono_ns_at(double elapsed_secs) const {
    return clock_.real_ns_at(start_us() + static_cast<int64_t>(elapsed_secs * 1e6));
  }

 private:
  std::vector<ClockStretch> slow_;
  VirtualClock clock_;
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
