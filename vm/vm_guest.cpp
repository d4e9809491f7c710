// alarm-vm: the helpers that play the phone's peers inside the virtual machine of
// scripts/vm.sh. One static program, called by the name it is started under or by its first
// argument:
//   mplayer FILE             the ring player's front: reports each run on the console
//   ("player-start
//                            RING" for a ring's first run, "player-replay RING RUN" for a ring
//                            controller's runs after it), then becomes the real player
//                            (/vm/ring-player) where the guest has one; else it stands in for
//                            it: "plays" until SIGUSR2 or VM_PLAY_SECONDS (default 300)
//   touch W H BUTTON@RING+S...  a uinput touch screen of W x H pixels that touches the middle of
//                            BUTTON (left, mid, right; the layout the program logged) S seconds
//                            after ring RING started
//   nocap PROGRAM [ARGS...]  runs PROGRAM without CAP_SYS_BOOT: its power-off fails
//   cpu PID DUE              the CPU seconds of PID over the 10 s before the epoch second DUE
//                            and over the 10 s from one second after the first ring, and
//                            beside the latter those of the ring (its controllers and players)
//   backlight FIFO [FB]      the LCD backlight: reads the levels the program writes into FIFO
//                            (laid at the backlight's path) and blanks the display FB at 0,
//                            as a panel without light goes dark, and unblanks it at any other;
//                            without FB (a DRM card, which only its master can blank) it
//                            reports the levels alone
//   powerkey                 a uinput power key that presses KEY_POWER once, at once after
//                            the guest's first resume from suspend (its boot clock then ahead
//                            of its monotonic clock by the time asleep), as a phone's key
//                            that wakes it is read
//   now                      the wall clock (epoch seconds, milliseconds) and the boot clock
// Each report is one console line beginning "vm: ".
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fb.h>
#include <linux/input.h>
#include <linux/uinput.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr char kConsole[] = "/dev/console";
constexpr char kRingRecord[] = "/tmp/vm-player-runs";
constexpr char kRealPlayer[] = "/vm/ring-player";
constexpr char kKmsg[] = "/dev/kmsg";
constexpr char kUinput[] = "/dev/uinput";
constexpr char kTouchName[] = "vm-touch-screen";
constexpr char kPowerKeyName[] = "vm-power-key";
constexpr int kDefaultPlaySeconds = 300;
constexpr int kTouchSlots = 10;
constexpr useconds_t kPollUs = 20000;
constexpr useconds_t kTouchHoldUs = 100000;
constexpr int kCpuWindowSecs = 10;
// A boot clock this much further ahead of the monotonic clock than at the start: the guest
// was suspended (the monotonic clock stands still while it sleeps).
constexpr double kAsleepAtLeast = 0.5;

double wall_now() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

double clock_now(clockid_t clock) {
  struct timespec ts;
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double boot_now() {
  return clock_now(CLOCK_BOOTTIME);
}

// One line on the console, whole, with the wall clock.
void report(const char* format, ...) {
  char text[512];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  char line[600];
  int n = snprintf(line, sizeof line, "vm: %s at %.3f\n", text, wall_now());
  int fd = open(kConsole, O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) fd = dup(STDOUT_FILENO);
  if (fd < 0) return;
  ssize_t ignored = write(fd, line, static_cast<size_t>(n));
  (void)ignored;
  close(fd);
}

void sleep_seconds(double s) {
  if (s <= 0) return;
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(s);
  ts.tv_nsec = static_cast<long>((s - static_cast<double>(ts.tv_sec)) * 1e9);
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void sleep_until(double wall) {
  sleep_seconds(wall - wall_now());
}

struct PlayerRun {
  int controller = 0;  // the process that started it: one for each ring
  double at = 0;
};

// Every player run so far: one line "CONTROLLER WALL" per run.
std::vector<PlayerRun> player_runs() {
  std::vector<PlayerRun> runs;
  FILE* f = fopen(kRingRecord, "re");
  if (f == nullptr) return runs;
  PlayerRun r;
  while (fscanf(f, "%d %lf", &r.controller, &r.at) == 2) runs.push_back(r);
  fclose(f);
  return runs;
}

// The rings started so far: a ring controller's first run starts a ring; its later runs
// replay the file.
std::vector<double> ring_starts() {
  std::vector<double> starts;
  int last = 0;
  for (const PlayerRun& r : player_runs()) {
    if (r.controller != last) starts.push_back(r.at);
    last = r.controller;
  }
  return starts;
}

// Waits for ring `n` (from 1) to start; its wall time, or -1 when `alive` says to stop.
double wait_for_ring(size_t n, pid_t alive = 0) {
  for (;;) {
    std::vector<double> starts = ring_starts();
    if (starts.size() >= n) return starts[n - 1];
    if (alive > 0 && kill(alive, 0) != 0) return -1;
    usleep(kPollUs);
  }
}

// --- mplayer -------------------------------------------------------------------------------

volatile sig_atomic_t g_stop = 0;
void on_stop(int) {
  g_stop = 1;
}

int run_player(int argc, char** argv) {
  // SIGUSR2 keeps its default action until the real player takes over: a stop that comes
  // first ends this process as it would end the player.
  const char* file = argc > 1 ? argv[1] : "(none)";
  const int controller = static_cast<int>(getppid());
  std::vector<PlayerRun> runs = player_runs();
  const bool replay = !runs.empty() && runs.back().controller == controller;
  size_t ring = ring_starts().size() + (replay ? 0 : 1);
  size_t run = 1;
  for (auto r = runs.rbegin(); replay && r != runs.rend() && r->controller == controller; ++r) {
    ++run;
  }
  double started = wall_now();
  FILE* f = fopen(kRingRecord, "ae");
  if (f != nullptr) {
    fprintf(f, "%d %.3f\n", controller, started);
    fclose(f);
  }
  if (replay) {
    report("player-replay %zu %zu %s", ring, run, file);
  } else {
    report("player-start %zu %s", ring, file);
  }
  if (access(kRealPlayer, X_OK) == 0) {
    // The same process: the controller's SIGUSR2 and SIGKILL reach the real player.
    execv(kRealPlayer, argv);
    report("player exec %s failed: %s", kRealPlayer, strerror(errno));
    return 0;
  }
  struct sigaction sa = {};
  sa.sa_handler = on_stop;
  sigaction(SIGUSR2, &sa, nullptr);
  const char* env = getenv("VM_PLAY_SECONDS");
  double play = env != nullptr ? atof(env) : kDefaultPlaySeconds;
  double end = started + play;
  while (g_stop == 0 && wall_now() < end) usleep(kPollUs);
  report("player-stop %zu %s", ring, g_stop != 0 ? "SIGUSR2" : "ended");
  return 0;
}

// --- touch ---------------------------------------------------------------------------------

struct TouchPlan {
  std::string button;
  size_t ring = 1;
  double after = 0;
};

bool parse_touch(const char* text, TouchPlan* plan) {
  const char* at = strchr(text, '@');
  if (at == nullptr) return false;
  plan->button.assign(text, at);
  char* end = nullptr;
  long ring = strtol(at + 1, &end, 10);
  if (ring < 1 || end == nullptr || *end != '+') return false;
  plan->ring = static_cast<size_t>(ring);
  plan->after = atof(end + 1);
  return plan->button == "left" || plan->button == "mid" || plan->button == "right";
}

// The middle of `button` as the program last logged its layout ("alarm: mid.x0 = 10").
bool button_middle(const std::string& button, int* x, int* y) {
  int fd = open(kKmsg, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int v[4];
  bool seen[4] = {false, false, false, false};
  const char* keys[4] = {"x0", "y0", "x1", "y1"};
  char record[1024];
  ssize_t n;
  while ((n = read(fd, record, sizeof record - 1)) != 0) {
    if (n < 0) {
      if (errno == EPIPE || errno == EINTR) continue;  // overwritten records, a signal
      break;
    }
    record[n] = '\0';
    for (int i = 0; i < 4; ++i) {
      std::string needle = "alarm: " + button + "." + keys[i] + " = ";
      const char* p = strstr(record, needle.c_str());
      if (p != nullptr) {
        v[i] = atoi(p + needle.size());
        seen[i] = true;
      }
    }
  }
  close(fd);
  if (!(seen[0] && seen[1] && seen[2] && seen[3])) return false;
  *x = (v[0] + v[2]) / 2;
  *y = (v[1] + v[3]) / 2;
  return true;
}

void emit(int fd, int type, int code, int value) {
  struct input_event ev = {};
  ev.type = static_cast<__u16>(type);
  ev.code = static_cast<__u16>(code);
  ev.value = value;
  ssize_t ignored = write(fd, &ev, sizeof ev);
  (void)ignored;
}

void set_abs(uinput_user_dev* dev, int axis, int min, int max) {
  dev->absmin[axis] = min;
  dev->absmax[axis] = max;
}

// The description of a virtual input device named `name`.
uinput_user_dev virtual_device(const char* name, int product) {
  uinput_user_dev dev = {};
  snprintf(dev.name, sizeof dev.name, "%s", name);
  dev.id.bustype = BUS_VIRTUAL;
  dev.id.vendor = 1;
  dev.id.product = static_cast<__u16>(product);
  return dev;
}

// Creates the device `dev` on the uinput descriptor `fd`: `fd`, or -1 (closed) on failure.
int create_uinput(int fd, const uinput_user_dev& dev) {
  if (write(fd, &dev, sizeof dev) != static_cast<ssize_t>(sizeof dev) ||
      ioctl(fd, UI_DEV_CREATE) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A direct touch screen with single-touch and multi-touch axes the size of the screen.
int make_touch_screen(int width, int height) {
  int fd = open(kUinput, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  ioctl(fd, UI_SET_EVBIT, EV_KEY);
  ioctl(fd, UI_SET_KEYBIT, BTN_TOUCH);
  ioctl(fd, UI_SET_EVBIT, EV_ABS);
  for (int axis :
       {ABS_X, ABS_Y, ABS_MT_SLOT, ABS_MT_TRACKING_ID, ABS_MT_POSITION_X, ABS_MT_POSITION_Y}) {
    ioctl(fd, UI_SET_ABSBIT, axis);
  }
  ioctl(fd, UI_SET_PROPBIT, INPUT_PROP_DIRECT);
  uinput_user_dev dev = virtual_device(kTouchName, 1);
  set_abs(&dev, ABS_X, 0, width - 1);
  set_abs(&dev, ABS_Y, 0, height - 1);
  set_abs(&dev, ABS_MT_POSITION_X, 0, width - 1);
  set_abs(&dev, ABS_MT_POSITION_Y, 0, height - 1);
  set_abs(&dev, ABS_MT_SLOT, 0, kTouchSlots - 1);
  set_abs(&dev, ABS_MT_TRACKING_ID, 0, 65535);
  return create_uinput(fd, dev);
}

void touch_at(int fd, int x, int y, int tracking_id) {
  emit(fd, EV_ABS, ABS_MT_SLOT, 0);
  emit(fd, EV_ABS, ABS_MT_TRACKING_ID, tracking_id);
  emit(fd, EV_ABS, ABS_MT_POSITION_X, x);
  emit(fd, EV_ABS, ABS_MT_POSITION_Y, y);
  emit(fd, EV_KEY, BTN_TOUCH, 1);
  emit(fd, EV_ABS, ABS_X, x);
  emit(fd, EV_ABS, ABS_Y, y);
  emit(fd, EV_SYN, SYN_REPORT, 0);
  usleep(kTouchHoldUs);
  emit(fd, EV_ABS, ABS_MT_TRACKING_ID, -1);
  emit(fd, EV_KEY, BTN_TOUCH, 0);
  emit(fd, EV_SYN, SYN_REPORT, 0);
}

int run_touch(int argc, char** argv) {
  if (argc < 3) return 2;
  int width = atoi(argv[1]);
  int height = atoi(argv[2]);
  std::vector<TouchPlan> plans;
  for (int i = 3; i < argc; ++i) {
    TouchPlan p;
    if (!parse_touch(argv[i], &p)) {
      fprintf(stderr, "touch: BUTTON@RING+SECONDS, not %s\n", argv[i]);
      return 2;
    }
    plans.push_back(p);
  }
  int fd = width > 0 && height > 0 ? make_touch_screen(width, height) : -1;
  if (fd < 0) {
    report("touch-screen failed: %s", strerror(errno));
    return 1;
  }
  report("touch-screen %dx%d", width, height);
  int tracking_id = 1;
  for (const TouchPlan& p : plans) {
    double ring = wait_for_ring(p.ring);
    sleep_until(ring + p.after);
    int x, y;
    if (!button_middle(p.button, &x, &y)) {
      report("touch %s: no layout in the kernel log", p.button.c_str());
      continue;
    }
    report("touch %s %d,%d", p.button.c_str(), x, y);
    touch_at(fd, x, y, tracking_id++);
  }
  // The device stays until the guest goes down: the program may still be reading it.
  for (;;) pause();
}

// --- powerkey ------------------------------------------------------------------------------

int make_power_key() {
  int fd = open(kUinput, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  ioctl(fd, UI_SET_EVBIT, EV_KEY);
  ioctl(fd, UI_SET_KEYBIT, KEY_POWER);
  return create_uinput(fd, virtual_device(kPowerKeyName, 2));
}

int run_powerkey() {
  int fd = make_power_key();
  if (fd < 0) {
    report("power-key failed: %s", strerror(errno));
    return 1;
  }
  report("power-key ready");
  const double gap = boot_now() - clock_now(CLOCK_MONOTONIC);
  double asleep = 0;
  while ((asleep = boot_now() - clock_now(CLOCK_MONOTONIC) - gap) < kAsleepAtLeast) {
    usleep(kPollUs);
  }
  emit(fd, EV_KEY, KEY_POWER, 1);
  emit(fd, EV_SYN, SYN_REPORT, 0);
  emit(fd, EV_KEY, KEY_POWER, 0);
  emit(fd, EV_SYN, SYN_REPORT, 0);
  report("key power after a resume, %.1f s asleep", asleep);
  for (;;) pause();
}

// --- nocap ---------------------------------------------------------------------------------

int run_nocap(int argc, char** argv) {
  if (argc < 2) return 2;
  if (prctl(PR_CAPBSET_DROP, CAP_SYS_BOOT, 0, 0, 0) != 0) {
    perror("nocap: PR_CAPBSET_DROP");
    return 1;
  }
  __user_cap_header_struct header = {};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &header, data) != 0) {
    perror("nocap: capget");
    return 1;
  }
  const __u32 bit = 1u << (CAP_SYS_BOOT % 32);
  const int word = CAP_SYS_BOOT / 32;
  data[word].effective &= ~bit;
  data[word].permitted &= ~bit;
  data[word].inheritable &= ~bit;
  if (syscall(SYS_capset, &header, data) != 0) {
    perror("nocap: capset");
    return 1;
  }
  execv(argv[1], argv + 1);
  perror("nocap: exec");
  return 127;
}

// --- cpu -----------------------------------------------------------------------------------

struct ProcCpu {
  pid_t parent = 0;
  double own = 0;       // utime + stime, seconds
  double children = 0;  // cutime + cstime: the children it has waited for
};

bool read_proc_cpu(pid_t pid, ProcCpu* out) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE* f = fopen(path, "re");
  if (f == nullptr) return false;
  char text[1024] = {};
  size_t n = fread(text, 1, sizeof text - 1, f);
  fclose(f);
  text[n] = '\0';
  const char* p = strrchr(text, ')');  // the name may hold blanks
  if (p == nullptr) return false;
  int parent = 0;
  unsigned long long utime = 0, stime = 0, cutime = 0, cstime = 0;
  // Fields after the name: state (3), ppid (4) ... utime (14), stime (15), cutime (16),
  // cstime (17).
  if (sscanf(p + 2, "%*c %d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu %llu %llu", &parent,
             &utime, &stime, &cutime, &cstime) != 5) {
    return false;
  }
  const auto tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  out->parent = static_cast<pid_t>(parent);
  out->own = static_cast<double>(utime + stime) / tick;
  out->children = static_cast<double>(cutime + cstime) / tick;
  return true;
}

// utime + stime of `pid` in seconds, or -1 when it is gone.
double cpu_seconds(pid_t pid) {
  ProcCpu c;
  return read_proc_cpu(pid, &c) ? c.own : -1;
}

// The CPU seconds of the ring of `program`: its ring controllers (its children), the players
// they run, and the players they have waited for.
double ring_cpu_seconds(pid_t program) {
  std::vector<std::pair<pid_t, ProcCpu>> all;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  while (dirent* e = readdir(proc)) {
    ProcCpu c;
    const pid_t pid = static_cast<pid_t>(atoi(e->d_name));
    if (pid > 0 && read_proc_cpu(pid, &c)) all.emplace_back(pid, c);
  }
  closedir(proc);
  double sum = 0;
  for (const auto& [controller, c] : all) {
    if (c.parent != program) continue;
    sum += c.own + c.children;
    for (const auto& [player, p] : all) {
      if (p.parent == controller) sum += p.own;
    }
  }
  return sum;
}

// The voluntary context switches of each of the program's threads, by thread id: how often
// each went to sleep, so how often it woke.
std::map<pid_t, long> thread_wakeups(pid_t pid) {
  std::map<pid_t, long> out;
  char dir[64];
  snprintf(dir, sizeof dir, "/proc/%d/task", static_cast<int>(pid));
  DIR* tasks = opendir(dir);
  if (tasks == nullptr) return out;
  while (dirent* e = readdir(tasks)) {
    const pid_t tid = static_cast<pid_t>(atoi(e->d_name));
    if (tid <= 0) continue;
    char path[96];
    snprintf(path, sizeof path, "%s/%d/status", dir, static_cast<int>(tid));
    FILE* f = fopen(path, "re");
    if (f == nullptr) continue;
    char line[128];
    while (fgets(line, sizeof line, f) != nullptr) {
      long n = 0;
      if (sscanf(line, "voluntary_ctxt_switches: %ld", &n) == 1) out[tid] = n;
    }
    fclose(f);
  }
  closedir(tasks);
  return out;
}

// One line of the switches in the window, thread by thread in the order they were made
// (main, refresh, input, vibrator), of the threads that lived through it.
void report_wakeups(const char* what, const std::map<pid_t, long>& a,
                    const std::map<pid_t, long>& b) {
  static const char* const kNames[] = {"main", "refresh", "input", "vibrator"};
  std::string line;
  size_t i = 0;
  for (const auto& [tid, n] : b) {
    auto before = a.find(tid);
    if (before == a.end()) continue;
    char part[64];
    snprintf(part, sizeof part, " %s %ld", i < 4 ? kNames[i] : "thread", n - before->second);
    line += part;
    ++i;
  }
  report("wakeups %s %d s:%s", what, kCpuWindowSecs, line.c_str());
}

void measure(pid_t pid, double from, const char* what, bool with_ring) {
  sleep_until(from);
  std::map<pid_t, long> wakeups_a = thread_wakeups(pid);
  double a = cpu_seconds(pid);
  double ring_a = with_ring ? ring_cpu_seconds(pid) : 0;
  if (a < 0) {
    report("cpu %s: the program had ended", what);
    return;
  }
  sleep_until(from + kCpuWindowSecs);
  double b = cpu_seconds(pid);
  double ring_b = with_ring ? ring_cpu_seconds(pid) : 0;
  if (b < 0) {
    report("cpu %s: the program ended within %d s", what, kCpuWindowSecs);
    return;
  }
  std::map<pid_t, long> wakeups_b = thread_wakeups(pid);
  report("cpu %s %d s: %.2f s", what, kCpuWindowSecs, b - a);
  report_wakeups(what, wakeups_a, wakeups_b);
  if (with_ring) report("cpu player %s %d s: %.2f s", what, kCpuWindowSecs, ring_b - ring_a);
}

int run_cpu(int argc, char** argv) {
  if (argc < 3) return 2;
  pid_t pid = static_cast<pid_t>(atoi(argv[1]));
  double due = atof(argv[2]);
  double from = due - kCpuWindowSecs - 1;
  if (wall_now() > from) {
    report("cpu waiting: the program started too late to measure 10 s of waiting");
  } else {
    measure(pid, from, "waiting", false);
  }
  double ring = wait_for_ring(1, pid);
  if (ring < 0) return 0;
  measure(pid, ring + 1, "ringing", true);
  return 0;
}

// --- backlight -----------------------------------------------------------------------------

int run_backlight(int argc, char** argv) {
  if (argc < 2) return 2;
  const char* display = argc > 2 ? argv[2] : nullptr;
  int fifo = open(argv[1], O_RDWR | O_CLOEXEC);  // also a writer: no end of file between writes
  if (fifo < 0) {
    report("backlight failed: %s", strerror(errno));
    return 1;
  }
  char text[64];
  ssize_t n;
  while ((n = read(fifo, text, sizeof text - 1)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    text[n] = '\0';
    int level = atoi(text);
    if (display == nullptr) {
      report("backlight %s", text);
      continue;
    }
    int fb = open(display, O_RDWR | O_CLOEXEC);
    int rc = fb < 0 ? -1 : ioctl(fb, FBIOBLANK, level == 0 ? FB_BLANK_POWERDOWN : FB_BLANK_UNBLANK);
    if (fb >= 0) close(fb);
    report("backlight %s%s", text, rc == 0 ? "" : " (the display could not follow)");
  }
  close(fifo);
  return 0;
}

int run_now() {
  printf("%.3f %.3f\n", wall_now(), boot_now());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* self = strrchr(argv[0], '/');
  self = self != nullptr ? self + 1 : argv[0];
  if (strcmp(self, "mplayer") == 0) return run_player(argc, argv);
  if (argc < 2) {
    fprintf(stderr, "usage: alarm-vm mplayer|touch|powerkey|nocap|cpu|backlight|now ...\n");
    return 2;
  }
  std::string verb = argv[1];
  if (verb == "mplayer") return run_player(argc - 1, argv + 1);
  if (verb == "touch") return run_touch(argc - 1, argv + 1);
  if (verb == "powerkey") return run_powerkey();
  if (verb == "nocap") return run_nocap(argc - 1, argv + 1);
  if (verb == "cpu") return run_cpu(argc - 1, argv + 1);
  if (verb == "backlight") return run_backlight(argc - 1, argv + 1);
  if (verb == "now") return run_now();
  fprintf(stderr, "alarm-vm: unknown verb %s\n", verb.c_str());
  return 2;
}
