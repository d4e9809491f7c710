// The refresh thread on a 480 x 800 sandbox display in real time: the CPU it costs while the
// screen does not change, the frames it copies then, and how long a drawing takes to reach
// the display (from the end of the drawing to the end of the buffer switch that shows it).
#include <fcntl.h>
#include <ftw.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "alarm/alarm.h"
#include "sandbox/platform_wrapper.h"
#include "sandbox/sandbox_clock.h"
#include "sandbox/sandbox_platform.h"
#include "screen/alarm_screen.h"
#include "screen/graphics.h"
#include "screen/resources.h"
#include "sim/sandbox_builder.h"
#include "sim/test_sandbox.h"

namespace {

constexpr int kDrawings = 200;
constexpr double kIdleSeconds = 3.0;

int64_t mono_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double process_cpu_s() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// The sandbox platform, noting when each buffer switch is done.
class SwitchClock : public PlatformWrapper {
 public:
  explicit SwitchClock(Platform* target) : PlatformWrapper(target) {}
  int fb_put_variable_info(int fd, const fb_var_screeninfo* info) override {
    int rc = PlatformWrapper::fb_put_variable_info(fd, info);
    std::lock_guard<std::mutex> lock(mu_);
    times_ns_.push_back(mono_ns());
    return rc;
  }
  int count() {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<int>(times_ns_.size());
  }
  // The first switch done after `t_ns`, or -1.
  int64_t first_after(int64_t t_ns) {
    std::lock_guard<std::mutex> lock(mu_);
    for (int64_t t : times_ns_) {
      if (t > t_ns) return t;
    }
    return -1;
  }

 private:
  std::mutex mu_;
  std::vector<int64_t> times_ns_;
};

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

}  // namespace

int main() {
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string tmpl = std::string(base) + "/alarm-bench-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) return 1;
  const std::string root = buf.data();
  SandboxOptions o;
  o.artwork_dir = test_artwork_dir();
  std::string error;
  if (!build_sandbox(root, o, &error)) {
    fprintf(stderr, "sandbox: %s\n", error.c_str());
    return 1;
  }
  auto sandbox = std::make_unique<SandboxPlatform>(
      root, std::make_unique<VirtualClock>(0, VirtualClock::monotonic_ns(), 1.0));
  SwitchClock platform_with_clock(sandbox.get());
  set_platform(&platform_with_clock);
  alarm_reset_program_state();
  if (gr_init() != 0) return 1;
  alarm_load_images(IMAGE_GROUP_SCREEN);
  alarm_load_images(IMAGE_GROUP_CLOCK);
  alarm_draw_screen(IMAGE_GROUP_SCREEN);

  g_alarm_status.state = ALARM_STATE_RINGING;
  if (platform().create_thread(refreshen_screen) != 0) return 1;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // both buffers up to date

  // An unchanged screen.
  int switches_before = platform_with_clock.count();
  double cpu0 = process_cpu_s();
  std::this_thread::sleep_for(std::chrono::duration<double>(kIdleSeconds));
  double idle_cpu = process_cpu_s() - cpu0;
  int idle_frames = platform_with_clock.count() - switches_before;

  // Drawings: the whole alarm screen, each after a pause in which the thread goes idle. The
  // drawing ends when its lock is let go.
  std::vector<double> latency_us;
  int late = 0;
  for (int i = 0; i < kDrawings; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    int64_t drawn = 0;
    {
      GrDrawLock picture(gr_draw_mutex());
      alarm_draw_screen(IMAGE_GROUP_SCREEN);
      drawn = mono_ns();
    }
    int64_t shown = -1;
    while ((shown = platform_with_clock.first_after(drawn)) < 0 && mono_ns() < drawn + 1000000000) {
      std::this_thread::yield();
    }
    double us = shown < 0 ? 1e6 : (shown - drawn) / 1000.0;
    latency_us.push_back(us);
    if (us > 1000) ++late;
  }
  std::sort(latency_us.begin(), latency_us.end());

  g_alarm_status.state = ALARM_STATE_OFF;
  alarm_reset_program_state();  // lets the refresh thread leave
  set_platform(nullptr);
  nftw(root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);

  double idle_share = idle_cpu / kIdleSeconds * 100;
  std::string load;
  read_text_file("/proc/loadavg", &load);
  printf("machine load (1, 5, 15 min, runnable/all): %s", load.c_str());
  printf("unchanged screen: %.3f %% of a core over %.1f s, %d frames copied\n", idle_share,
         kIdleSeconds, idle_frames);
  printf(
      "drawing to display over %d alarm screens: median %.0f us, 99th %.0f us, worst %.0f us, "
      "%d over 1 ms\n",
      kDrawings, latency_us[latency_us.size() / 2], latency_us[latency_us.size() * 99 / 100],
      latency_us.back(), late);
  printf(
      "targets: idle under 1 %% of a core, no frame copied idle, every drawing within 1 ms: "
      "%s\n",
      idle_share < 1.0 && idle_frames == 0 && late == 0 ? "met" : "NOT met");
  return 0;
}
