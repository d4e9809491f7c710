// The jumping clock of a sandbox run. Every process of a run that runs the project's own
// code (the program and its ring controllers, the stand-ins, the simulator) maps one record,
// a file of the sandbox: the clock's anchor (what it read at which CLOCK_MONOTONIC moment)
// and a slot per thread that says whether the thread runs or waits, on what and until when.
// While anything runs, virtual time runs at the run's speed (slower in the slow stretches);
// when every thread waits and no other process of the program runs, the simulator
// (JumpDecider) moves the clock at once to the earliest deadline and wakes who is due.
//
// A wake-up counts as running from the moment it is made until the waiter has run: a post
// of a WakeEvent marks its waiter woken under the event's lock; for a thread that waits on
// descriptors or signals (a FIFO write, a report on a socket, a child's end) the decider
// asks the kernel whether the thread still sleeps. A process forked for another program
// (the shell, the host's sqlite3) counts as running while the kernel says it runs, and while
// it sleeps waiting for anything but a process of the run (the shell for a stand-in).
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/unique_fd.h"
#include "sandbox/sandbox_clock.h"

struct ClockRecord;
class ClockRecordMapping;

// The signal that wakes the decider (a thread may be the last to start waiting) and that
// ends a wait on descriptors whose deadline a jump has reached. Its default action is to
// ignore it, so a stray one harms no process.
constexpr int JUMP_SIGNAL = SIGURG;
// Installs a handler that does nothing (restarting what can be restarted), so that the
// signal ends the waits it is meant to end; an existing handler is kept.
void install_jump_signal_handler();

class JumpingClock : public SandboxClock {
 public:
  // A fresh record at `path` for one run, the clock reading `start_us` now: the simulator's.
  // `speed` 0 makes a clock that stands still between jumps. Null when it cannot be made.
  static std::unique_ptr<JumpingClock> create(const std::string& path, int64_t start_us,
                                              double speed, std::vector<ClockStretch> slow = {});
  // The record at `path`, for a process of the run: its thread takes the slot made for it
  // when the process was started, or a new one. Null when it cannot be mapped.
  static std::unique_ptr<JumpingClock> open(const std::string& path, double speed,
                                            std::vector<ClockStretch> slow = {});
  ~JumpingClock() override;
  JumpingClock(const JumpingClock&) = delete;
  JumpingClock& operator=(const JumpingClock&) = delete;

  int64_t now_us() override;
  void sleep_us(int64_t usec) override;
  bool wait_flag(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, bool& pending,
                 int64_t deadline_us, WakeWatcher** watcher) override;
  int wait_readable(int fd, int64_t deadline_us) override;
  int poll_input(struct pollfd* fds, unsigned count, bool wait) override;
  int wait_signal(const sigset_t& set) override;
  void hold() override;
  int start_thread(void* (*entry)(void*)) override;
  pid_t fork_process() override;

  // Waits as poll() does until a descriptor is ready or the clock reaches `deadline_us`
  // (INT64_MAX: none): poll()'s result, 0 at the deadline.
  int wait_descriptors(struct pollfd* fds, unsigned count, int64_t deadline_us);
  // Gives the calling thread its slot now, as running, rather than at its first wait.
  void attach_thread();
  // From now on the process is judged by what the kernel says of it.
  void leave() override;

  double speed() const { return speed_; }
  // CLOCK_MONOTONIC nanoseconds at which the clock reads `virtual_us` on its present anchor;
  // INT64_MAX when it never will (no deadline, or a stopped clock).
  int64_t real_ns_at(int64_t virtual_us);
  // What a clock that read `anchor_us` at `anchor_ns` reads at `mono_ns`, and when it reads
  // `virtual_us`.
  int64_t virtual_us_after(int64_t anchor_us, int64_t anchor_ns, int64_t mono_ns) const;
  int64_t real_ns_after(int64_t anchor_us, int64_t anchor_ns, int64_t virtual_us) const;

 private:
  friend class JumpDecider;
  JumpingClock(std::shared_ptr<ClockRecordMapping> mapping, double speed,
               std::vector<ClockStretch> slow);
  ClockRecord& record() const;
  void anchor(int64_t* virtual_us, int64_t* mono_ns) const;
  int wait_on_descriptors(struct pollfd* fds, unsigned count, int64_t deadline_us, uint32_t kind);
  // The calling thread's slot, made and taken on first use; -1 when none could be had.
  int my_slot();
  void sleep_until(int64_t deadline_us);

  std::shared_ptr<ClockRecordMapping> mapping_;
  double speed_;
  std::vector<ClockStretch> slow_;  // sorted, apart
};

// The simulator's side: looks whether everything waits, moves the clock and wakes the
// waiters that are due. The thread that makes it is the one the participants wake with
// JUMP_SIGNAL, when one of them may be the last to start waiting, so it should keep the
// signal blocked except while it waits for them.
class JumpDecider {
 public:
  explicit JumpDecider(JumpingClock& clock);
  ~JumpDecider();
  JumpDecider(const JumpDecider&) = delete;
  JumpDecider& operator=(const JumpDecider&) = delete;

  struct Look {
    bool quiet = false;  // every participant waits, no other process of the program runs
    // Something runs that will not say when it stops (a thread the kernel has woken, a
    // process of another program): look again shortly.
    bool look_again = false;
    int64_t earliest_us = INT64_MAX;  // the earliest deadline of the waiters
  };
  Look look();
  // Moves the clock forward to `virtual_us` at once.
  void jump_to(int64_t virtual_us);
  // Sets the wall clock `delta_us` away from what it reads (back when negative), as an RTC
  // correction or a person would: waits for a moment of the wall clock end (the phone's
  // timers on the wall clock are cancelled), sleeps keep their length.
  void set_clock(int64_t delta_us);
  // Wakes every waiter whose deadline is `virtual_us` or earlier; how many.
  int wake_due(int64_t virtual_us);
  // The process `pid` is ended by no one but the run itself (the program): a thread of it
  // that sleeps or waits on an event is woken by nothing but a post or a jump, and the
  // kernel need not be asked about it.
  void trust(pid_t pid) { trusted_ = pid; }
  // The input devices are FIFOs that only the simulator writes, through `fds`: a thread
  // that waits on them has something to run exactly while one of them holds data.
  void watch_input(std::vector<int> fds) {
    input_fds_ = std::move(fds);
    watch_input_ = true;
  }
  // Readable when a process that holds a slot ends: to wait on beside the signal.
  std::vector<int> process_fds() const;
  // What the clock read at `mono_ns`, jumps included.
  int64_t virtual_us_at(int64_t mono_ns) const;
  uint64_t jumps() const;

 private:
  // Frees the slots of the processes that have ended.
  void forget_ended_processes();
  // Whether a process of another program runs, or waits for something the run does not
  // know of.
  bool process_runs(pid_t pid);
  // The kernel's state letter of a thread (tid 0: of the process); 0 when it is gone.
  char kernel_state(pid_t pid, pid_t tid);

  JumpingClock& clock_;
  pid_t trusted_ = 0;
  bool watch_input_ = false;
  std::vector<int> input_fds_;
  std::map<pid_t, UniqueFd> process_fds_;  // pidfds, where the kernel has them
  std::map<std::pair<pid_t, pid_t>, UniqueFd> stat_fds_;
  mutable std::mutex history_mu_;
  std::vector<std::pair<int64_t, int64_t>> history_;  // (mono_ns, virtual_us) of each anchor
};
