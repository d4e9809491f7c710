// Test support: a fresh sandbox in a temporary directory with the program's modules running
// on it, on a manual clock that moves only when the test (or the program's sleeps and waits
// on the test's thread) moves it.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sandbox/platform_wrapper.h"
#include "sandbox/sandbox_clock.h"
#include "sandbox/sandbox_platform.h"
#include "sim/sandbox_builder.h"

// Microseconds since the epoch of "YYYY-MM-DD HH:MM:SS" as local time in `tz`; sets the
// process's time zone to `tz`. -1 when the text does not parse.
int64_t local_epoch_us(const char* at, const char* tz);

// The sandbox platform with the faults a test may ask for.
class TestPlatform : public PlatformWrapper {
 public:
  explicit TestPlatform(Platform* target) : PlatformWrapper(target) {}

  int create_thread(void* (*entry)(void*)) override;
  int power_off() override;
  void sync_filesystems() override;
  int64_t seconds_since_boot() override;
  bool wait_event(WakeEvent& event, const WallTime& deadline) override {
    event_waits.fetch_add(1);
    return PlatformWrapper::wait_event(event, deadline);
  }

  std::atomic<int> event_waits{0};        // waits on an event, of every thread
  bool start_threads = true;              // false: threads are recorded, not started
  int fail_thread_number = 0;             // the Nth creation (from 1) fails
  std::vector<void* (*)(void*)> threads;  // every creation asked for
  int power_offs = 0;
  int64_t power_off_at_us = -1;  // wall clock of the last power-off
  int syncs = 0;
  bool boot_clock = true;  // false: a platform that cannot tell when the phone booted
};

class TestSandbox {
 public:
  explicit TestSandbox(const char* at = "2026-12-09 06:59:40", const char* tz = "UTC",
                       const SandboxOptions& options = default_options());
  ~TestSandbox();
  TestSandbox(const TestSandbox&) = delete;
  TestSandbox& operator=(const TestSandbox&) = delete;

  static SandboxOptions default_options();

  const std::string& root() const { return root_; }
  std::string path(const char* phone_path) const { return root_ + phone_path; }
  ManualClock& clock() { return *clock_; }
  TestPlatform& platform() { return *test_platform_; }
  SandboxPlatform& sandbox() { return *sandbox_; }

  void write(const char* phone_path, const std::string& content) const;
  std::string read(const char* phone_path) const;
  bool exists(const char* phone_path) const;
  // Everything the program wrote to the kernel log so far.
  std::string kmsg() const { return read("/dev/kmsg"); }
  void set_property(const std::string& name, const std::string& value) const;
  // Runs SQL on the clock application's database; its output.
  std::string sql(const std::string& statement) const;
  void add_alarm(int id, int hour, int minute, int days, int enabled, int vibrate,
                 const std::string& message = "", const std::string& alert = "") const;
  // Runs SQL on the database at a phone path (the 4.4+ one of SandboxOptions::clock_app).
  std::string sql_at(const char* phone_path, const std::string& statement) const;
  // Opens the kernel log of the program (as its start-up does).
  void open_kernel_log();
  // The phone was switched on by its RTC `secs` seconds ago (0 when the sandbox is made).
  void booted_seconds_ago(int secs);

 private:
  std::string root_;
  ManualClock* clock_ = nullptr;
  std::unique_ptr<SandboxPlatform> sandbox_;
  std::unique_ptr<TestPlatform> test_platform_;
};

// Serves the sandbox's property service socket on a thread of its own and keeps every
// request it receives as name=value.
class PropertyRecorder {
 public:
  explicit PropertyRecorder(const TestSandbox& sb);
  ~PropertyRecorder();
  std::vector<std::string> requests();
  // The requests once at least `n` have arrived, or after `timeout_ms` of real time.
  std::vector<std::string> wait_for(size_t n, int timeout_ms = 2000);

 private:
  int fd_ = -1;
  int stop_[2] = {-1, -1};
  std::thread thread_;
  std::mutex mu_;
  std::vector<std::string> requests_;
};

// Where the build put the artwork and the stand-in player (empty when not built).
std::string test_artwork_dir();
std::string test_player_path();
