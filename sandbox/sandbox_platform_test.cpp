#include "sandbox/sandbox_platform.h"

#include <fcntl.h>
#include <linux/fb.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim/test_sandbox.h"

TEST(SandboxPlatform, PathsLiveUnderTheRoot) {
  TestSandbox sb;
  EXPECT_EQ(platform().device_path("/dev/graphics/fb0"), sb.root() + "/dev/graphics/fb0");
}

TEST(SandboxPlatform, LocalTimeFollowsTheZone) {
  TestSandbox sb("2026-12-09 07:00:00", "Europe/Berlin");
  WallTime now = read_clock();
  struct tm tm;
  ASSERT_EQ(platform().local_time(static_cast<time_t>(now.sec), &tm), 0);
  EXPECT_EQ(tm.tm_hour, 7);
  EXPECT_EQ(tm.tm_wday, 3);        // Wednesday
  EXPECT_EQ(now.sec, 1796796000);  // 06:00 UTC
}

TEST(SandboxPlatform, BootSecondsCountFromTheWakeMoment) {
  TestSandbox sb;
  EXPECT_EQ(platform().seconds_since_boot(), 0);
  sb.sandbox().set_wake_us(sb.clock().now_us() - 35 * 1000000);
  sb.clock().advance_by(1500000);
  EXPECT_EQ(platform().seconds_since_boot(), 36);
}

TEST(ManualClock, SleepsOnTheDrivingThreadMoveTheClockAndRunActions) {
  ManualClock clock(1000000);
  int64_t seen = -1;
  clock.schedule(1500000, [&] { seen = clock.now_us(); });
  clock.sleep_us(400000);
  EXPECT_EQ(clock.now_us(), 1400000);
  EXPECT_EQ(seen, -1);
  clock.sleep_us(400000);
  EXPECT_EQ(seen, 1500000);
  EXPECT_EQ(clock.now_us(), 1800000);
}

TEST(ManualClock, WaitEndsAtThePostOfAnAction) {
  TestSandbox sb;
  WakeEvent event;
  int64_t start = sb.clock().now_us();
  sb.clock().schedule(start + 300000, [&] { event.post(); });
  EXPECT_TRUE(platform().wait_event(event, wall_time_from_us(start + 1000000)));
  EXPECT_EQ(sb.clock().now_us(), start + 300000);
  EXPECT_FALSE(platform().wait_event(event, wall_time_from_us(start + 1000000)));
  EXPECT_EQ(sb.clock().now_us(), start + 1000000);
}

TEST(ManualClock, APostBeforeTheWaitIsKept) {
  TestSandbox sb;
  WakeEvent event;
  event.post();
  int64_t start = sb.clock().now_us();
  EXPECT_TRUE(platform().wait_event(event, wall_time_from_us(start + 1000000)));
  EXPECT_EQ(sb.clock().now_us(), start);
}

TEST(VirtualClock, RunsAtItsSpeed) {
  int64_t mono = VirtualClock::monotonic_ns();
  VirtualClock clock(5000000000000, mono, 100.0);
  clock.sleep_us(2000000);  // 20 ms of real time
  int64_t elapsed = clock.now_us() - 5000000000000;
  EXPECT_GE(elapsed, 2000000);
  EXPECT_LT(elapsed, 2000000 + 100 * 200000);  // generous: a loaded machine
}

TEST(VirtualClock, RunsAtItsSlowSpeedInsideTheSlowStretches) {
  constexpr int64_t kSec = 1000000;
  // 100 times as fast, but 10 times from 1 s to 2 s and from 2.5 s to 3 s.
  VirtualClock clock(0, 1000, 100.0, {{2500000, 3 * kSec, 10}, {kSec, 2 * kSec, 10}});
  EXPECT_EQ(clock.real_ns_at(kSec / 2), 1000 + 5000000);
  EXPECT_EQ(clock.real_ns_at(kSec), 1000 + 10000000);
  EXPECT_EQ(clock.real_ns_at(3 * kSec / 2), 1000 + 10000000 + 50000000);
  EXPECT_EQ(clock.real_ns_at(3 * kSec), 1000 + 10000000 + 100000000 + 5000000 + 50000000);
  EXPECT_EQ(clock.real_ns_at(4 * kSec), clock.real_ns_at(3 * kSec) + 10000000);
  for (int64_t v : std::vector<int64_t>{0, kSec / 3, kSec, 2 * kSec + 1, 2800000, 7 * kSec}) {
    EXPECT_NEAR(clock.virtual_us_at(clock.real_ns_at(v)), v, 1) << v;
  }
}

TEST(VirtualClock, WaitWakesOnPostFromAnotherThread) {
  VirtualClock clock(0, VirtualClock::monotonic_ns(), 1.0);
  std::mutex mu;
  std::condition_variable cv;
  bool pending = false;
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::lock_guard<std::mutex> lock(mu);
    pending = true;
    cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(mu);
  EXPECT_TRUE(clock.wait_flag(lock, cv, pending, 10 * 1000000, nullptr));
  lock.unlock();
  poster.join();
  EXPECT_LT(clock.now_us(), 5 * 1000000);
}

TEST(SandboxFramebuffer, GeometryAndBufferSwitchAsADriverWould) {
  TestSandbox sb;
  int fd = open(sb.path("/dev/graphics/fb0").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  fb_fix_screeninfo fix;
  fb_var_screeninfo var;
  ASSERT_EQ(platform().fb_get_fixed_info(fd, &fix), 0);
  ASSERT_EQ(platform().fb_get_variable_info(fd, &var), 0);
  EXPECT_EQ(var.xres, 480u);
  EXPECT_EQ(var.yres, 800u);
  EXPECT_EQ(var.bits_per_pixel, 32u);
  EXPECT_EQ(fix.smem_len, 480u * 800 * 4 * 2);
  var.yres_virtual = 1600;
  var.yoffset = 800;
  EXPECT_EQ(platform().fb_put_variable_info(fd, &var), 0);
  fb_var_screeninfo again;
  ASSERT_EQ(platform().fb_get_variable_info(fd, &again), 0);
  EXPECT_EQ(again.yoffset, 800u);
  var.yres_virtual = 2400;  // more than the memory holds
  EXPECT_EQ(platform().fb_put_variable_info(fd, &var), -1);
  int other = open(sb.path("/dev/tty0").c_str(), O_RDWR);
  EXPECT_EQ(platform().fb_get_fixed_info(other, &fix), -1);
  close(other);
  close(fd);
}

TEST(SandboxInput, NameComesFromSysfs) {
  TestSandbox sb;
  int fd = open(sb.path("/dev/input/event0").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  char name[80];
  std::string dev = sb.path("/dev/input/event0");
  EXPECT_EQ(platform().input_device_name(fd, dev.c_str(), name, 79), 18);
  EXPECT_STREQ(name, "qild_touch_screen");
  char small[5];
  EXPECT_EQ(platform().input_device_name(fd, dev.c_str(), small, sizeof small), 5);
  EXPECT_STREQ(small, "qild");
  close(fd);
}

TEST(SandboxFaults, NamesAreParsedAndUnknownOnesReported) {
  SandboxFaults f;
  std::string unknown;
  EXPECT_TRUE(parse_sandbox_faults("poweroff-returns,thread-fail:3", &f, &unknown));
  EXPECT_TRUE(f.poweroff_returns);
  EXPECT_EQ(f.fail_thread_number, 3);
  EXPECT_FALSE(f.any_sqlite());
  // The sqlite3 faults are the stand-in's; the program's platform takes them without a word.
  EXPECT_TRUE(parse_sandbox_faults("sqlite-hang:update,sqlite-slow:2.5", &f, &unknown));
  EXPECT_FALSE(f.sqlite_hang_read);
  EXPECT_TRUE(f.sqlite_hang_update);
  EXPECT_DOUBLE_EQ(f.sqlite_slow_seconds, 2.5);
  EXPECT_TRUE(parse_sandbox_faults("sqlite-hang:read", &f, &unknown));
  EXPECT_TRUE(f.sqlite_hang_read);
  EXPECT_EQ(f.sqlite_hang_read_after_rows, -1);
  EXPECT_TRUE(parse_sandbox_faults("sqlite-hang:read-after:2", &f, &unknown));
  EXPECT_EQ(f.sqlite_hang_read_after_rows, 2);
  for (const char* bad :
       {"thread-fail:", "thread-fail:0", "thread-fail:-1", "thread-fail:2x",
        "thread-fail:99999999999", "poweroff", "Poweroff-returns", "sqlite-hang:write",
        "sqlite-hang", "sqlite-hang:read-after:", "sqlite-hang:read-after:x",
        "sqlite-slow:", "sqlite-slow:0", "sqlite-slow:-1", "sqlite-slow:1e3", "sqlite-slow:x",
        "sqlite-slow:99999"}) {
    SandboxFaults g;
    EXPECT_FALSE(parse_sandbox_faults(std::string("poweroff-returns,") + bad, &g, &unknown)) << bad;
    EXPECT_EQ(unknown, bad);
    EXPECT_EQ(g.fail_thread_number, 0) << bad;
  }
}

namespace {
void* do_nothing(void*) {
  return nullptr;
}
}  // namespace

TEST(SandboxFaults, OnlyTheNamedThreadCreationFails) {
  SandboxPlatform p("/nonexistent", std::make_unique<ManualClock>(0));
  p.set_fail_thread_number(2);
  EXPECT_EQ(p.create_thread(do_nothing), 0);
  EXPECT_EQ(p.create_thread(do_nothing), EAGAIN);
  EXPECT_EQ(p.create_thread(do_nothing), 0);
}

TEST(SandboxFaults, TheSuspendFaultsAreParsed) {
  SandboxFaults f;
  std::string unknown;
  EXPECT_TRUE(
      parse_sandbox_faults("suspend-refused:3,resume-late:2.5,no-alarm-timer", &f, &unknown));
  EXPECT_EQ(f.suspend_refusals, 3);
  EXPECT_DOUBLE_EQ(f.resume_late_seconds, 2.5);
  EXPECT_TRUE(f.no_alarm_timer);
  EXPECT_FALSE(f.no_suspend);
  EXPECT_TRUE(parse_sandbox_faults("suspend-refused,no-suspend", &f, &unknown));
  EXPECT_EQ(f.suspend_refusals, -1);
  EXPECT_TRUE(f.no_suspend);
  for (const char* bad : {"suspend-refused:", "suspend-refused:x", "resume-late:", "resume-late:0",
                          "resume-late:99999", "resume-late:-1", "suspend"}) {
    SandboxFaults g;
    EXPECT_FALSE(parse_sandbox_faults(bad, &g, &unknown)) << bad;
    EXPECT_EQ(unknown, bad);
  }
}

// The kernel's side of a suspend on a clock that stands still: the phone sleeps until its
// alarm timer, later by the fault, or until the wake-up source posts; a post already there
// refuses it.
TEST(SandboxSuspend, SleepsToTheAlarmTimerOrThePostAndLogsEach) {
  TestSandbox sb;
  SandboxPlatform& p = sb.sandbox();
  WakeEvent wake;
  const int64_t t0 = sb.clock().now_us();
  EXPECT_EQ(p.suspend_until(wall_time_from_us(t0 + 5000000), wake), 0);
  EXPECT_EQ(sb.clock().now_us(), t0 + 5000000);
  sb.clock().schedule(t0 + 7000000, [&wake] { wake.post(); });
  EXPECT_EQ(p.suspend_until(wall_time_from_us(t0 + 60000000), wake), 0);
  EXPECT_EQ(sb.clock().now_us(), t0 + 7000000);
  // The post stays for the waiter, and a suspend with it pending is refused.
  EXPECT_EQ(p.suspend_until(wall_time_from_us(t0 + 60000000), wake), -1);
  EXPECT_EQ(errno, EBUSY);
  EXPECT_TRUE(wake.take());
  p.set_suspend_faults(false, false, 0, 2000000);
  EXPECT_EQ(p.suspend_until(wall_time_from_us(t0 + 10000000), wake), 0);
  EXPECT_EQ(sb.clock().now_us(), t0 + 12000000);
  std::vector<SqliteLogEntry> log = parse_sqlite_log(sb.read(SANDBOX_SUSPEND_LOG));
  std::vector<std::string> seen;
  for (const SqliteLogEntry& e : log) seen.push_back(e.kind + " " + e.state);
  std::vector<std::string> expected = {"suspend " + std::to_string(t0 + 5000000),
                                       "resume alarm-timer",
                                       "suspend " + std::to_string(t0 + 60000000),
                                       "resume wake-up",
                                       "refused busy",
                                       "suspend " + std::to_string(t0 + 10000000),
                                       "resume alarm-timer"};
  EXPECT_EQ(seen, expected);
  p.set_suspend_faults(false, true, 0, 0);
  EXPECT_EQ(p.suspend_until(wall_time_from_us(t0 + 20000000), wake), -1);
  EXPECT_EQ(errno, EINVAL);
  p.set_suspend_faults(true, false, 0, 0);
  EXPECT_EQ(p.suspend_until(wall_time_from_us(t0 + 20000000), wake), -1);
  EXPECT_EQ(errno, ENODEV);
  p.set_suspend_faults(false, false, 1, 0);
  EXPECT_EQ(p.suspend_until(wall_time_from_us(t0 + 20000000), wake), -1);
  EXPECT_EQ(errno, EBUSY);
  EXPECT_EQ(p.suspend_until(wall_time_from_us(t0 + 20000000), wake), 0);
}
