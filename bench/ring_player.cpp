// Figures of the ring player in a sandbox on the real clock: how soon a ring starts and
// stops, and what a controller costs while the player cannot be started.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "devices/music.h"
#include "sim/test_sandbox.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRings = 20;
constexpr int kIdleSeconds = 5;

double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

bool process_alive(pid_t pid) {
  std::string stat;
  if (!read_text_file("/proc/" + std::to_string(pid) + "/stat", &stat)) return false;
  size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// Lines in the player's log (one per start).
size_t starts(const TestSandbox& sb) {
  std::string log = sb.read("/player.log");
  return static_cast<size_t>(std::count(log.begin(), log.end(), '\n'));
}

pid_t last_player(const TestSandbox& sb) {
  std::string log = sb.read("/player.log");
  size_t end = log.rfind('\n');
  if (end == std::string::npos) return -1;
  size_t begin = log.rfind('\n', end - 1);
  begin = begin == std::string::npos ? 0 : begin + 1;
  return static_cast<pid_t>(atoi(log.c_str() + begin));
}

void install_player(const TestSandbox& sb, const std::string& body) {
  sb.write(MUSIC_PLAYER_PATH,
           "#!/bin/sh\necho \"$$\" >> " + sb.path("/player.log") + "\n" + body + "\n");
  chmod(sb.path(MUSIC_PLAYER_PATH).c_str(), 0755);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// CPU seconds of a stopped controller and the players it reaped.
double controller_cpu(pid_t controller) {
  int status;
  struct rusage ru;
  if (wait4(controller, &status, 0, &ru) != controller) return -1;
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Rings with a player that cannot play for kIdleSeconds; the controller's CPU time.
double idle_ring_cpu(TestSandbox& sb, int* player_forks) {
  size_t before = starts(sb);
  pid_t controller = musicProcess(nullptr, MUSIC_OP_PLAY);
  if (controller <= 0) return -1;
  std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
  musicProcess(nullptr, MUSIC_OP_STOP);
  *player_forks = static_cast<int>(starts(sb) - before);
  return controller_cpu(controller);
}

}  // namespace

int main() {
  TestSandbox sb;
  auto clock =
      std::make_unique<VirtualClock>(sb.clock().now_us(), VirtualClock::monotonic_ns(), 1.0);
  SandboxPlatform real_time(sb.root(), std::move(clock));
  set_platform(&real_time);

  install_player(sb, "exec sleep 3600");
  std::vector<double> start_ms, stop_ms;
  for (int i = 0; i < kRings; ++i) {
    size_t before = starts(sb);
    Clock::time_point t = Clock::now();
    pid_t controller = musicProcess(nullptr, MUSIC_OP_PLAY);
    if (controller <= 0) {
      fprintf(stderr, "ring did not start\n");
      return 1;
    }
    while (starts(sb) == before) std::this_thread::sleep_for(std::chrono::microseconds(200));
    start_ms.push_back(ms_since(t));
    pid_t player = last_player(sb);
    t = Clock::now();
    musicProcess(nullptr, MUSIC_OP_STOP);
    while (process_alive(player)) std::this_thread::sleep_for(std::chrono::microseconds(200));
    stop_ms.push_back(ms_since(t));
    int status;
    waitpid(controller, &status, 0);
  }
  printf("ring start (play to player running): median %.2f ms, max %.2f ms over %d rings\n",
         median(start_ms), *std::max_element(start_ms.begin(), start_ms.end()), kRings);
  printf("ring stop (stop to player ended):    median %.2f ms, max %.2f ms over %d rings\n",
         median(stop_ms), *std::max_element(stop_ms.begin(), stop_ms.end()), kRings);

  int forks = 0;
  install_player(sb, "exit 0");
  double cpu = idle_ring_cpu(sb, &forks);
  printf("player that ends at once: %d starts, controller CPU %.3f s over %d s\n", forks, cpu,
         kIdleSeconds);
  unlink(sb.path(MUSIC_PLAYER_PATH).c_str());
  cpu = idle_ring_cpu(sb, &forks);
  printf("missing player:           controller CPU %.3f s over %d s\n", cpu, kIdleSeconds);

  music_reset();
  set_platform(&sb.platform());
  return 0;
}
