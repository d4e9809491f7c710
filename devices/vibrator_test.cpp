#include "devices/vibrator.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/alarm_status.h"
#include "sim/test_sandbox.h"

namespace {

constexpr auto kPatience = std::chrono::seconds(5);

// A wait that only a change of the state ends, as SteppedSleeps records it.
constexpr int64_t kUntilChanged = -1;

// Holds every sleep and wait of the vibrator thread until the test lets it go, so the test
// sees the thread between its looks at the state. A released wait ends at its deadline: the
// clock moves there; a wait without one ends as a change of the state would end it.
class SteppedSleeps : public PlatformWrapper {
 public:
  SteppedSleeps(Platform* target, ManualClock* clock) : PlatformWrapper(target), clock_(clock) {}

  void sleep_us(int64_t usec) override { hold(usec, clock_->now_us() + usec); }
  bool wait_event(WakeEvent& event, const WallTime& deadline) override {
    if (is_wait_forever(deadline)) {
      hold(kUntilChanged, INT64_MAX);
    } else {
      hold(wall_time_us(deadline) - clock_->now_us(), wall_time_us(deadline));
    }
    event.take();
    return false;
  }
  // Waits until the thread has begun its nth sleep.
  bool wait_sleeps(int n) {
    std::unique_lock<std::mutex> lock(mu_);
    return changed_.wait_for(lock, kPatience, [&] { return static_cast<int>(slept_.size()) >= n; });
  }
  // On the test's thread, which drives the clock.
  void release_one() {
    int64_t until = INT64_MAX;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (released_ < static_cast<int>(until_.size())) until = until_[released_];
    }
    if (until != INT64_MAX && until > clock_->now_us()) clock_->advance_to(until);
    std::lock_guard<std::mutex> lock(mu_);
    ++released_;
    changed_.notify_all();
  }
  std::vector<int64_t> sleeps() {
    std::lock_guard<std::mutex> lock(mu_);
    return slept_;
  }

 private:
  void hold(int64_t usec, int64_t until_us) {
    std::unique_lock<std::mutex> lock(mu_);
    slept_.push_back(usec);
    until_.push_back(until_us);
    changed_.notify_all();
    int mine = static_cast<int>(slept_.size());
    changed_.wait(lock, [&] { return released_ >= mine; });
  }

  ManualClock* clock_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::vector<int64_t> slept_;
  std::vector<int64_t> until_;
  int released_ = 0;
};

bool wait_threads_left() {
  auto until = std::chrono::steady_clock::now() + kPatience;
  while (g_vibrator_threads != 0) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class VibratorThread : public ::testing::Test {
 protected:
  VibratorThread() : steps_(&sb_.platform(), &sb_.clock()) {
    set_platform(&steps_);
    sb_.open_kernel_log();
  }
  ~VibratorThread() override {
    // The thread must be gone before the platform it sleeps on.
    g_alarm_status.state = ALARM_STATE_OFF;
    for (int i = 0; i < 8; ++i) steps_.release_one();
    EXPECT_TRUE(wait_threads_left());
    set_platform(&sb_.platform());
  }
  void start() { ASSERT_EQ(platform().create_thread(vibrate_thread), 0); }
  // Lets the thread take its next look; true when it then sleeps again (did not leave).
  bool next_look(int sleeps_so_far) {
    steps_.release_one();
    return steps_.wait_sleeps(sleeps_so_far + 1);
  }
  // Lets the only thread take its next look; true when it leaves there, sleeping no more.
  bool leaves_at_next_look() {
    size_t before = steps_.sleeps().size();
    steps_.release_one();
    return wait_threads_left() && steps_.sleeps().size() == before;
  }
  std::string take_pulse() {
    std::string text = sb_.read(VIBRATOR_PATH);
    sb_.write(VIBRATOR_PATH, "");
    return text;
  }

  TestSandbox sb_;
  SteppedSleeps steps_;
};

}  // namespace

TEST(Vibrator, WritesExactlyTheTextAndReportsFailures) {
  TestSandbox sb;
  sb.open_kernel_log();
  sb.write(VIBRATOR_PATH, "123456\n");
  EXPECT_EQ(set_vibrator(nullptr), -1);
  EXPECT_EQ(sb.read(VIBRATOR_PATH), "123456\n");
  EXPECT_EQ(set_vibrator(VIBRATOR_PULSE), 0);
  EXPECT_EQ(sb.read(VIBRATOR_PATH), "1000");

  unlink(sb.path(VIBRATOR_PATH).c_str());
  EXPECT_EQ(set_vibrator(VIBRATOR_PULSE), -1);
  EXPECT_FALSE(sb.exists(VIBRATOR_PATH));
  ASSERT_EQ(symlink("/dev/full", sb.path(VIBRATOR_PATH).c_str()), 0);
  EXPECT_EQ(set_vibrator(VIBRATOR_PULSE), -1);
  EXPECT_EQ(sb.kmsg(), "<3>alarm: can't set  vib\n<3>alarm: write vib failed\n");
}

TEST_F(VibratorThread, PulsesOnlyWhileRingingEveryTwoSeconds) {
  g_alarm_status.state = ALARM_STATE_DELAY;  // started while snoozed: no pulse yet
  start();
  ASSERT_TRUE(steps_.wait_sleeps(1));
  EXPECT_EQ(take_pulse(), "");
  g_alarm_status.state = ALARM_STATE_RINGING;
  ASSERT_TRUE(next_look(1));
  EXPECT_EQ(take_pulse(), "1000");
  ASSERT_TRUE(next_look(2));
  EXPECT_EQ(take_pulse(), "1000");
  g_alarm_status.state = ALARM_STATE_SHUTDOWN;  // keeps looking, does not pulse
  ASSERT_TRUE(next_look(3));
  EXPECT_EQ(take_pulse(), "");
  g_alarm_status.state = ALARM_STATE_OFF;  // set during the rest: leaves without a pulse
  EXPECT_TRUE(leaves_at_next_look());
  EXPECT_EQ(take_pulse(), "");
  // It waits out the period while it pulses; snoozed or shutting down, only a change of the
  // state wakes it.
  std::vector<int64_t> expected = {kUntilChanged, VIBRATOR_PERIOD_US, VIBRATOR_PERIOD_US,
                                   kUntilChanged};
  EXPECT_EQ(steps_.sleeps(), expected);
}

TEST_F(VibratorThread, LeavesOnAnAlarmSwitch) {
  g_alarm_status.state = ALARM_STATE_RINGING;
  start();
  ASSERT_TRUE(steps_.wait_sleeps(1));
  EXPECT_EQ(take_pulse(), "1000");
  g_alarm_status.state = ALARM_STATE_SWITCH;
  EXPECT_TRUE(leaves_at_next_look());
  EXPECT_EQ(take_pulse(), "");

  // The switch seen by the main loop only: the new epoch ends the old thread, the new
  // thread pulses on.
  g_alarm_status.state = ALARM_STATE_RINGING;
  start();
  ASSERT_TRUE(steps_.wait_sleeps(2));
  EXPECT_EQ(take_pulse(), "1000");
  g_vibrator_epoch.fetch_add(1);
  start();
  ASSERT_TRUE(steps_.wait_sleeps(3));
  EXPECT_EQ(take_pulse(), "1000");
  steps_.release_one();  // the old thread's look: it leaves
  steps_.release_one();  // the new thread's look: it pulses and sleeps again
  ASSERT_TRUE(steps_.wait_sleeps(4));
  auto until = std::chrono::steady_clock::now() + kPatience;
  while (g_vibrator_threads != 1 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(g_vibrator_threads, 1);
  EXPECT_EQ(take_pulse(), "1000");
}

TEST_F(VibratorThread, MissingVibratorIsTriedAgainEachPeriod) {
  unlink(sb_.path(VIBRATOR_PATH).c_str());
  g_alarm_status.state = ALARM_STATE_RINGING;
  start();
  ASSERT_TRUE(steps_.wait_sleeps(1));
  ASSERT_TRUE(next_look(1));
  ASSERT_TRUE(next_look(2));
  EXPECT_EQ(sb_.kmsg(),
            "<3>alarm: can't set  vib\n<3>alarm: can't set  vib\n"
            "<3>alarm: can't set  vib\n");
}
