#include "sim/test_sandbox.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "alarm/alarm.h"
#include "alarm/alarm_db.h"
#include "base/kernel_log.h"
#include "base/system_property.h"
#include "sim/property_request.h"

#ifndef ALARM_BUILD_DIR
#define ALARM_BUILD_DIR "."
#endif

int64_t local_epoch_us(const char* at, const char* tz) {
  setenv("TZ", tz, 1);
  tzset();
  return parse_local_time_us(at);
}

std::string test_artwork_dir() {
  std::string dir = std::string(ALARM_BUILD_DIR) + "/res/images";
  return access((dir + "/wvga").c_str(), F_OK) == 0 ? dir : "";
}

std::string test_player_path() {
  std::string p = std::string(ALARM_BUILD_DIR) + "/sim/alarm-player-standin";
  return access(p.c_str(), X_OK) == 0 ? p : "";
}

int TestPlatform::create_thread(void* (*entry)(void*)) {
  threads.push_back(entry);
  if (fail_thread_number == static_cast<int>(threads.size())) return EAGAIN;
  if (!start_threads) return 0;
  return PlatformWrapper::create_thread(entry);
}

int64_t TestPlatform::seconds_since_boot() {
  return boot_clock ? PlatformWrapper::seconds_since_boot() : -1;
}

int TestPlatform::power_off() {
  ++power_offs;
  WallTime now;
  if (wall_time(&now) == 0) power_off_at_us = wall_time_us(now);
  return PlatformWrapper::power_off();
}

void TestPlatform::sync_filesystems() {
  ++syncs;
  PlatformWrapper::sync_filesystems();
}

SandboxOptions TestSandbox::default_options() {
  SandboxOptions o;
  o.artwork_dir = test_artwork_dir();
  o.player_path = test_player_path();
  return o;
}

TestSandbox::TestSandbox(const char* at, const char* tz, const SandboxOptions& options) {
  char tmpl[] = "/tmp/alarm-test-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = tmpl;
  std::string error;
  if (!build_sandbox(root_, options, &error)) throw std::runtime_error(error);
  auto clock = std::make_unique<ManualClock>(local_epoch_us(at, tz));
  clock_ = clock.get();
  sandbox_ = std::make_unique<SandboxPlatform>(root_, std::move(clock));
  sandbox_->set_poweroff_returns(true);
  test_platform_ = std::make_unique<TestPlatform>(sandbox_.get());
  set_platform(test_platform_.get());
  alarm_reset_program_state();
}

TestSandbox::~TestSandbox() {
  alarm_reset_program_state();
  set_platform(nullptr);
  remove_tree(root_);
}

void TestSandbox::write(const char* phone_path, const std::string& content) const {
  write_file(path(phone_path), content);
}

std::string TestSandbox::read(const char* phone_path) const {
  std::string out;
  read_text_file(path(phone_path), &out);
  return out;
}

bool TestSandbox::exists(const char* phone_path) const {
  struct stat st;
  return lstat(path(phone_path).c_str(), &st) == 0;
}

void TestSandbox::set_property(const std::string& name, const std::string& value) const {
  set_property_in_file(path(SANDBOX_PROPERTY_FILE), name, value);
}

std::string TestSandbox::sql(const std::string& statement) const {
  std::string out;
  run_sqlite(path(ALARM_DB_PATH), statement, &out);
  return out;
}

std::string TestSandbox::sql_at(const char* phone_path, const std::string& statement) const {
  std::string out;
  run_sqlite(path(phone_path), statement, &out);
  return out;
}

void TestSandbox::add_alarm(int id, int hour, int minute, int days, int enabled, int vibrate,
                            const std::string& message, const std::string& alert) const {
  sql(alarm_insert_sql(id, hour, minute, days, enabled, vibrate, message, alert));
}

void TestSandbox::open_kernel_log() {
  kernel_log_open();
}

void TestSandbox::booted_seconds_ago(int secs) {
  sandbox_->set_wake_us(clock_->now_us() - int64_t{secs} * 1000000);
}

PropertyRecorder::PropertyRecorder(const TestSandbox& sb) {
  std::string path = sb.path(PROP_SERVICE_SOCKET);
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  unlink(path.c_str());
  fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(fd_, 8) != 0 || pipe2(stop_, O_CLOEXEC) != 0) {
    throw std::runtime_error("cannot serve " + path);
  }
  thread_ = std::thread([this] {
    for (;;) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents) return;
      int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      std::string got;
      char buf[256];
      ssize_t n;
      while ((n = read(c, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
      close(c);
      PropertyRequest request;
      std::string refused;
      std::string entry = decode_property_request(got, &request, &refused)
                              ? request.name + "=" + request.value
                              : "bad " + refused;
      std::lock_guard<std::mutex> lock(mu_);
      requests_.push_back(entry);
    }
  });
}

PropertyRecorder::~PropertyRecorder() {
  char c = 'x';
  ssize_t ignored = write(stop_[1], &c, 1);
  (void)ignored;
  thread_.join();
  close(fd_);
  close(stop_[0]);
  close(stop_[1]);
}

std::vector<std::string> PropertyRecorder::requests() {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

std::vector<std::string> PropertyRecorder::wait_for(size_t n, int timeout_ms) {
  for (int waited = 0; waited < timeout_ms; waited += 5) {
    if (requests().size() >= n) break;
    usleep(5000);
  }
  return requests();
}
