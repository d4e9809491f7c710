// Clocks of a sandbox. VirtualClock runs from a chosen moment at a chosen speed (sleeps and
// deadlines shrink by the same factor), slower in stretches of virtual time set beforehand;
// ManualClock stands still and moves only when the thread that drives it sleeps or waits,
// running the actions scheduled on the way. (JumpingClock, sandbox/sandbox_jumps.h, runs
// as VirtualClock and jumps to the next deadline while everything waits.)
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

class WakeWatcher;
struct pollfd;

class SandboxClock {
 public:
  virtual ~SandboxClock() = default;
  virtual int64_t now_us() = 0;
  virtual void sleep_us(int64_t usec) = 0;
  // Waits on a condition whose flag is `pending` (guarded by `lock`) until the flag is set
  // or the clock reaches `deadline_us`. Returns the flag; the caller consumes it. `watcher`
  // is the event's place for a watcher of its posts (WakeEvent), or null.
  virtual bool wait_flag(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                         bool& pending, int64_t deadline_us, WakeWatcher** watcher) = 0;
  // Waits until `fd` can be read or the clock reaches `deadline_us`: as
  // Platform::wait_readable.
  virtual int wait_readable(int fd, int64_t deadline_us) = 0;
  // As Platform::poll_input and Platform::wait_signal: here, plain poll() and sigwaitinfo().
  virtual int poll_input(struct pollfd* fds, unsigned count, bool wait);
  virtual int wait_signal(const sigset_t& set);
  // Sleeps for good, as a hung tool does: only a signal that ends the process ends it.
  virtual void hold();
  // A detached thread with default attributes (0, or an error number), and a new process:
  // a clock that keeps account of the threads that wait knows of them from the start.
  virtual int start_thread(void* (*entry)(void*));
  virtual pid_t fork_process();
  // This process is about to exec a program that is no part of the run (the host's sqlite3).
  virtual void leave() {}
};

// A stretch of virtual time, microseconds since the epoch, [from_us, to_us), in which the
// clock runs `speed` times as fast as real time.
struct ClockStretch {
  int64_t from_us = 0;
  int64_t to_us = 0;
  double speed = 1;
};

class VirtualClock : public SandboxClock {
 public:
  // The clock reads `start_us` (microseconds since the epoch) at CLOCK_MONOTONIC
  // `mono_start_ns` and runs `speed` times as fast as real time, but at their own speed in
  // the `slow` stretches (a stretch that overlaps one before it starts where that ends). A
  // simulation that runs fast slows down around the moments it judges, so that the real time
  // the host takes there (a process started, a file written) does not grow into seconds.
  VirtualClock(int64_t start_us, int64_t mono_start_ns, double speed,
               std::vector<ClockStretch> slow = {});
  int64_t now_us() override;
  void sleep_us(int64_t usec) override;
  bool wait_flag(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, bool& pending,
                 int64_t deadline_us, WakeWatcher** watcher) override;
  int wait_readable(int fd, int64_t deadline_us) override;

  static int64_t monotonic_ns();
  double speed() const { return speed_; }
  int64_t start_us() const { return start_us_; }
  int64_t mono_start_ns() const { return mono_start_ns_; }
  // Real monotonic nanoseconds at which the clock reads `virtual_us`.
  int64_t real_ns_at(int64_t virtual_us) const;
  // What the clock reads at real monotonic nanoseconds `mono_ns`.
  int64_t virtual_us_at(int64_t mono_ns) const;

 private:
  // From `virtual_us` (read at `mono_ns`) on, the clock runs at `speed`.
  struct Segment {
    int64_t virtual_us;
    int64_t mono_ns;
    double speed;
  };
  const Segment& segment_at_virtual(int64_t virtual_us) const;
  const Segment& segment_at_mono(int64_t mono_ns) const;

  int64_t start_us_;
  int64_t mono_start_ns_;
  double speed_;
  std::vector<Segment> segments_;  // in order; the first at the start
};

class ManualClock : public SandboxClock {
 public:
  // The thread that constructs the clock drives it.
  explicit ManualClock(int64_t start_us);
  int64_t now_us() override;
  void sleep_us(int64_t usec) override;
  bool wait_flag(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, bool& pending,
                 int64_t deadline_us, WakeWatcher** watcher) override;
  // The descriptor is waited on in real time; on the driving thread the clock moves on a
  // second at a time while nothing comes, so a peer that never answers meets the deadline.
  int wait_readable(int fd, int64_t deadline_us) override;

  // Moves the clock forward to `t_us`, running every action scheduled up to then, each at
  // its own moment. Only the driving thread advances the clock.
  void advance_to(int64_t t_us);
  void advance_by(int64_t usec) { advance_to(now_us() + usec); }
  // Runs `action` on the driving thread when the clock passes `t_us`.
  void schedule(int64_t t_us, std::function<void()> action);
  // Moment of the next scheduled action, or INT64_MAX.
  int64_t next_action_us();

 private:
  bool on_driver() const { return std::this_thread::get_id() == driver_; }
  // In a process forked from the test (a ring controller) the clock cannot move: sleeps
  // there take real time instead.
  bool in_fork() const;

  std::mutex mu_;
  std::condition_variable moved_;
  std::atomic<int64_t> now_us_;
  pid_t owner_pid_;
  std::multimap<int64_t, std::function<void()>> actions_;
  std::thread::id driver_;
};
