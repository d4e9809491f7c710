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
  RunClock(int64_t start_us, double speed)
      : start_us_(start_us), mono_start_ns_(VirtualClock::monotonic_ns()), speed_(speed) {}

  int64_t start_us() const { return start_us_; }
  int64_t mono_start_ns() const { return mono_start_ns_; }
  double speed() const { return speed_; }

  double elapsed() const { return elapsed_at_mono_ns(VirtualClock::monotonic_ns()); }
  double elapsed_at_mono_ns(int64_t mono_ns) const {
    return static_cast<double>(mono_ns - mono_start_ns_) * speed_ / 1e9;
  }
  double elapsed_at_virtual_us(int64_t us) const {
    return static_cast<double>(us - start_us_) / 1e6;
  }
  int64_t virtual_us() const { return start_us_ + static_cast<int64_t>(elapsed() * 1e6); }
  double epoch_seconds_at(double elapsed_secs) const {
    return static_cast<double>(start_us_) / 1e6 + elapsed_secs;
  }
  // CLOCK_MONOTONIC nanoseconds at which the clock reads `elapsed_secs`.
  int64_t mono_ns_at(double elapsed_secs) const {
    return mono_start_ns_ + static_cast<int64_t>(elapsed_secs / speed_ * 1e9);
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
