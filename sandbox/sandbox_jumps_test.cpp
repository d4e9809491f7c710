#include "sandbox/sandbox_jumps.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sandbox/sandbox_platform.h"

namespace {

constexpr int64_t kStartUs = 1796796000LL * 1000000;  // Wednesday 2026-12-09 06:00 UTC
constexpr int64_t kSecond = 1000000;
constexpr int kPatienceSteps = 20000;

// A run's record on a stopped clock (it moves only when the decider jumps), a sandbox
// platform on it for the waiters, and the decider on the test's thread.
struct JumpWorld {
  JumpWorld() {
    char tmpl[] = "/tmp/alarm-jumps-XXXXXX";
    dir = mkdtemp(tmpl) != nullptr ? tmpl : "";
    auto made = JumpingClock::create(dir + "/clock", kStartUs, 0);
    clock = made.get();
    platform = std::make_unique<SandboxPlatform>(dir, std::move(made));
    decider = std::make_unique<JumpDecider>(*clock);
  }
  ~JumpWorld() {
    decider.reset();
    platform.reset();
    unlink((dir + "/clock").c_str());
    rmdir(dir.c_str());
  }

  // Plays the decider until `done`: a jump whenever everything waits, and every waiter
  // that is due woken.
  template <typename Done>
  bool decide_until(Done done) {
    for (int step = 0; step < kPatienceSteps; ++step) {
      if (done()) return true;
      JumpDecider::Look look = decider->look();
      if (look.quiet && look.earliest_us != INT64_MAX) decider->jump_to(look.earliest_us);
      decider->wake_due(clock->now_us());
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return done();
  }
  // A thread of the test, in the clock's account from its start, as the platform's threads
  // are.
  template <typename Body>
  std::thread thread(Body body) {
    std::atomic<bool> attached{false};
    std::thread t([this, body, &attached] {
      clock->attach_thread();
      attached = true;
      body();
    });
    while (!attached) std::this_thread::yield();
    return t;
  }
  // Looks, without jumping, until everything waits (each thread has reached its wait).
  bool settle() {
    for (int step = 0; step < kPatienceSteps; ++step) {
      if (decider->look().quiet) return true;
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return false;
  }

  std::string dir;
  JumpingClock* clock = nullptr;
  std::unique_ptr<SandboxPlatform> platform;
  std::unique_ptr<JumpDecider> decider;
};

}  // namespace

TEST(JumpingClock, EachKindOfWaitEndsExactlyAtItsDeadlineWhenEverythingWaits) {
  JumpWorld w;
  ASSERT_NE(w.clock, nullptr);
  SandboxPlatform& p = *w.platform;
  EXPECT_EQ(w.clock->now_us(), kStartUs);  // stopped
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  std::atomic<int64_t> slept{0}, waited{0}, read_at{0};
  std::thread sleeper = w.thread([&] {
    p.sleep_us(3 * kSecond);
    slept = w.clock->now_us();
  });
  std::thread event_waiter = w.thread([&] {
    WakeEvent event;
    bool posted = p.wait_event(event, wall_time_from_us(kStartUs + kSecond));
    waited = posted ? -1 : w.clock->now_us();
  });
  std::thread reader = w.thread([&] {
    int r = p.wait_readable(fds[0], wall_time_from_us(kStartUs + 2 * kSecond));
    read_at = r != 0 ? -1 : w.clock->now_us();
  });
  ASSERT_TRUE(w.decide_until([&] { return slept != 0 && waited != 0 && read_at != 0; }));
  sleeper.join();
  event_waiter.join();
  reader.join();
  EXPECT_EQ(waited, kStartUs + kSecond);
  EXPECT_EQ(read_at, kStartUs + 2 * kSecond);  // ended by the jump's signal
  EXPECT_EQ(slept, kStartUs + 3 * kSecond);
  EXPECT_EQ(w.decider->jumps(), 3u);
  w.decider->jump_to(kStartUs);  // never backwards
  EXPECT_EQ(w.clock->now_us(), kStartUs + 3 * kSecond);
  close(fds[0]);
  close(fds[1]);
}

TEST(JumpingClock, RunsThroughTheSlowStretchesAsAVirtualClockFromItsAnchor) {
  JumpWorld w;
  // 100 times as fast, 10 times from 1 s to 2 s and from 2.5 s to 3 s.
  std::vector<ClockStretch> slow = {{2500000, 3 * kSecond, 10}, {kSecond, 2 * kSecond, 10}};
  auto clock = JumpingClock::create(w.dir + "/fast", 0, 100, slow);
  ASSERT_NE(clock, nullptr);
  // From the start, and from an anchor inside a stretch, as a jump leaves one.
  for (int64_t anchor_us : {int64_t{0}, 3 * kSecond / 2}) {
    VirtualClock plain(anchor_us, 1000, 100, slow);
    for (int64_t v : std::vector<int64_t>{anchor_us, anchor_us + kSecond / 3, 2 * kSecond + 1,
                                          2800000, 7 * kSecond}) {
      int64_t real = clock->real_ns_after(anchor_us, 1000, v);
      EXPECT_NEAR(real, plain.real_ns_at(v), 1) << anchor_us << " " << v;
      EXPECT_NEAR(clock->virtual_us_after(anchor_us, 1000, real), v, 1) << anchor_us << " " << v;
    }
  }
  clock.reset();
  unlink((w.dir + "/fast").c_str());
}

TEST(JumpingClock, AWakeUpCountsAsRunningFromItsMakingUntilTheWaiterHasRun) {
  JumpWorld w;
  ASSERT_NE(w.clock, nullptr);
  SandboxPlatform& p = *w.platform;
  const WallTime far = wall_time_from_us(kStartUs + 100 * kSecond);
  // Each waiter, once woken, runs on (holding its slot) until it is let go.
  std::atomic<int> let_go{0};
  auto run_on_until = [&](int step) {
    while (let_go < step) std::this_thread::yield();
  };

  // A post: the waiter is marked woken under the event's lock.
  WakeEvent event;
  std::atomic<int> posts_seen{0};
  std::thread event_waiter = w.thread([&] {
    if (p.wait_event(event, far)) ++posts_seen;
    run_on_until(1);
    if (p.wait_event(event, far)) ++posts_seen;
  });
  ASSERT_TRUE(w.settle());
  event.post();
  EXPECT_FALSE(w.decider->look().quiet);
  while (posts_seen < 1) std::this_thread::yield();
  EXPECT_FALSE(w.decider->look().quiet);
  let_go = 1;
  ASSERT_TRUE(w.settle());  // it has run and waits again

  // Input written into a FIFO of the input devices (which the simulator holds open for
  // writing): running while the FIFO holds data.
  std::string fifo = w.dir + "/event0";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int writer = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  int device = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  w.decider->watch_input({writer});
  std::atomic<bool> got_input{false};
  std::thread input_waiter = w.thread([&] {
    pollfd fd = {device, POLLIN, 0};
    p.poll_input(&fd, 1, true);
    char c;
    got_input = read(device, &c, 1) == 1;
    run_on_until(2);
  });
  ASSERT_TRUE(w.settle());
  ASSERT_EQ(write(writer, "k", 1), 1);
  EXPECT_FALSE(w.decider->look().quiet);
  while (!got_input) std::this_thread::yield();
  EXPECT_FALSE(w.decider->look().quiet);
  let_go = 2;
  input_waiter.join();

  // A signal to a thread that waits for it.
  std::atomic<int> signal_taken{0};
  std::thread signal_waiter = w.thread([&] {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal_taken = p.wait_signal(set);
    run_on_until(3);
  });
  ASSERT_TRUE(w.settle());
  pthread_kill(signal_waiter.native_handle(), SIGUSR2);
  EXPECT_FALSE(w.decider->look().quiet);
  while (signal_taken == 0) std::this_thread::yield();
  EXPECT_FALSE(w.decider->look().quiet);
  let_go = 3;
  signal_waiter.join();
  EXPECT_EQ(signal_taken, SIGUSR2);

  // A child's end: it closes the pipe its parent reads. While the child lives and sleeps on
  // something the run does not know of, it counts as running itself.
  int out[2], hold[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(hold, O_CLOEXEC), 0);
  pid_t child = p.fork_process();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(hold[1]);
    close(out[0]);
    char c;
    ssize_t ignored = read(hold[0], &c, 1);
    (void)ignored;
    _exit(0);
  }
  close(out[1]);
  close(hold[0]);
  std::atomic<int> readable{-2};
  std::thread reader = w.thread([&] {
    readable = p.wait_readable(out[0], far);
    run_on_until(4);
  });
  for (int i = 0; i < 50; ++i) EXPECT_FALSE(w.decider->look().quiet);
  close(hold[1]);  // the child ends
  siginfo_t info = {};
  ASSERT_EQ(waitid(P_PID, child, &info, WEXITED | WNOWAIT), 0);
  EXPECT_FALSE(w.decider->look().quiet);
  let_go = 4;
  reader.join();
  EXPECT_EQ(readable, 1);  // the end of file, not the deadline
  waitpid(child, nullptr, 0);

  event.post();
  event_waiter.join();
  EXPECT_EQ(posts_seen, 2);
  EXPECT_EQ(w.clock->now_us(), kStartUs);  // nothing was ever allowed to jump
  close(writer);
  close(device);
  unlink(fifo.c_str());
  close(out[0]);
}

TEST(JumpingClock, AWakeUpRacingAJumpIsNeverLost) {
  JumpWorld w;
  ASSERT_NE(w.clock, nullptr);
  SandboxPlatform& p = *w.platform;
  constexpr int kRounds = 200;
  const WallTime far = wall_time_from_us(kStartUs + 1000 * kSecond);
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  WakeEvent event;
  std::atomic<int> posted_rounds{0}, read_rounds{0}, poster_rounds{0};
  // Each round the poster sleeps a virtual second (a jump ends it), then wakes the other
  // two at once; were a wake-up lost, the clock would jump to their far deadline.
  std::thread poster = w.thread([&] {
    for (int i = 0; i < kRounds; ++i) {
      p.sleep_us(kSecond);
      event.post();
      ssize_t ignored = write(fds[1], "x", 1);
      (void)ignored;
      ++poster_rounds;
    }
  });
  std::thread event_waiter = w.thread([&] {
    while (posted_rounds < kRounds && p.wait_event(event, far)) ++posted_rounds;
  });
  std::thread reader = w.thread([&] {
    char c;
    while (read_rounds < kRounds && p.wait_readable(fds[0], far) == 1 && read(fds[0], &c, 1) == 1) {
      ++read_rounds;
    }
  });
  ASSERT_TRUE(w.decide_until([&] { return read_rounds == kRounds && poster_rounds == kRounds; }));
  poster.join();
  reader.join();
  event.post();  // the last posts may have come together
  event_waiter.join();
  EXPECT_EQ(read_rounds, kRounds);
  EXPECT_EQ(w.clock->now_us(), kStartUs + kRounds * kSecond);
  close(fds[0]);
  close(fds[1]);
}
