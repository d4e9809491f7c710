#include "devices/music.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>

#include "base/kernel_log.h"
#include "platform/platform.h"

pid_t g_music_pid = -1;

namespace {

// The messages name the main module's source, as they always have.
constexpr char kMainModuleSource[] = "alarm/alarm.cpp";
constexpr char kPlayerArg0[] = "mplayer";

// A player run shorter than this did not play its file (missing player, unreadable file):
// the next start waits kRetryPauseUs, so a broken player cannot turn into a fork storm.
constexpr int64_t kShortRunUs = 1000000;
constexpr int64_t kRetryPauseUs = 1000000;
constexpr int64_t kRetrySliceUs = 50000;  // how soon a stop ends the pause

// Controllers started and not reaped yet; 0 marks a free slot.
constexpr int kMaxControllers = 16;
pid_t g_controllers[kMaxControllers];

// The player runs at Android's audio priority (ANDROID_PRIORITY_AUDIO): at the ring's start
// the screen's first frame is drawn at the same moment, and on a phone with one free core the
// player would otherwise take half of it and be heard late. Raising it takes CAP_SYS_NICE
// (init's SYS_NICE); without it the player runs at the program's own priority.
constexpr int kPlayerNice = -16;

// Descriptors the controller closes: it needs none, and the player gets only stdio.
constexpr int kFirstSpareFd = 3;
constexpr int kSpareFdScanEnd = 4096;

// A reset waits this long for a stopped controller before it kills it.
constexpr int kResetPolls = 300;
constexpr int64_t kResetPollUs = 10000;

// The controller's own state, written by its main flow and its signal handler.
static_assert(std::atomic<int32_t>::is_always_lock_free, "read in a signal handler");
std::atomic<int32_t> g_music_stop{0};
std::atomic<int32_t> g_player_pid{0};

void set_default_action(int sig) {
  struct sigaction sa = {};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  sigaction(sig, &sa, nullptr);
}

void close_spare_fds() {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, kFirstSpareFd, ~0U, 0) == 0) return;
#endif
  for (int fd = kFirstSpareFd; fd < kSpareFdScanEnd; ++fd) close(fd);
}

// --- In the controller process: only async-signal-safe calls from here to _exit. ---

[[noreturn]] void start_player(const char* player, char* const argv[], pid_t controller) {
  // A controller that is killed takes its player with it.
  prctl(PR_SET_PDEATHSIG, SIGUSR2);
  if (getppid() != controller) _exit(0);
  setpriority(PRIO_PROCESS, 0, kPlayerNice);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execv(player, argv);
  _exit(0);
}

void on_player_end(int) {}  // caught, not ignored, so that players stay waitable

// Takes the stop and child signals that have come, without waiting, acting on a stop.
void take_pending_signals(const sigset_t& shut) {
  struct timespec now = {0, 0};
  int sig;
  while ((sig = sigtimedwait(&shut, nullptr, &now)) > 0) {
    if (sig == SIGUSR1) music_stop_handler(SIGUSR1);
  }
}

// Waits until the player has ended and reaps it. The stop and child signals stay blocked
// and are taken here one by one, so a stop is acted on at once whenever it came, and the
// player is never signalled after it has been reaped (its pid could belong to another
// process by then).
void wait_for_player(pid_t pid, const sigset_t& shut) {
  for (;;) {
    pid_t r = waitpid(pid, nullptr, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) break;
    int sig = platform().wait_signal(shut);
    if (sig == SIGUSR1) music_stop_handler(SIGUSR1);
  }
  g_player_pid = 0;
}

void pause_before_retry(const sigset_t& shut) {
  for (int64_t waited = 0; waited < kRetryPauseUs && g_music_stop == 0; waited += kRetrySliceUs) {
    platform().sleep_us(kRetrySliceUs);
    take_pending_signals(shut);
  }
}

// Plays the ring again and again until the stop signal. The stop signal is shut while a
// player is made, and its arrival is looked at only after g_player_pid is set, so a stop
// in the middle of the creation still ends the new player at once.
[[noreturn]] void run_controller(const char* player, char* const argv[], pid_t program) {
  close_spare_fds();
  g_music_stop = 0;
  g_player_pid = 0;

  sigset_t shut;
  sigemptyset(&shut);
  sigaddset(&shut, SIGUSR1);
  sigaddset(&shut, SIGCHLD);
  sigprocmask(SIG_SETMASK, &shut, nullptr);  // the stop signal is shut since before the fork

  struct sigaction sa = {};
  sa.sa_handler = music_stop_handler;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGUSR1, &sa, nullptr);
  sa.sa_handler = on_player_end;  // caught, not ignored: the players stay waitable
  sigaction(SIGCHLD, &sa, nullptr);
  set_default_action(SIGUSR2);  // inherited by the player, which must end on it

  // A program that goes away without stopping the ring takes the ring with it.
  prctl(PR_SET_PDEATHSIG, SIGUSR1);
  if (getppid() != program) g_music_stop = 1;

  const pid_t self = getpid();
  while (g_music_stop == 0) {
    WallTime started = read_clock();
    pid_t pid = platform().fork_process();
    if (pid == 0) start_player(player, argv, self);
    if (pid > 0) {
      g_player_pid = pid;
      wait_for_player(pid, shut);
    }
    if (g_music_stop != 0) break;
    WallTime ended = read_clock();
    if (pid < 0 || wall_time_us(ended) - wall_time_us(started) < kShortRunUs) {
      pause_before_retry(shut);
    }
  }
  // Every player has been reaped by now; none is left to kill.
  _exit(0);
}

// --- In the program. ---

void remember_controller(pid_t pid) {
  for (pid_t& slot : g_controllers) {
    if (slot == 0) {
      slot = pid;
      return;
    }
  }
  // All slots taken: this controller goes unreaped until the program ends.
}

// Reaps every controller that has ended, without blocking. True when the one that rings
// has ended (or was reaped elsewhere): then no ring plays any more.
bool reap_controllers() {
  bool ring_gone = false;
  for (pid_t& slot : g_controllers) {
    if (slot == 0) continue;
    pid_t r = waitpid(slot, nullptr, WNOHANG);
    if (r == slot || (r < 0 && errno == ECHILD)) {
      if (slot == g_music_pid) ring_gone = true;
      slot = 0;
    }
  }
  return ring_gone;
}

int music_play(const char* path) {
  if (g_music_pid != -1) {
    kernel_log_write(3, "<3>alarm: %s:%s now one mp3 is playing, please close it first!\n",
                     kMainModuleSource, "musicProcess");
    return MUSIC_ERR_PLAYING;
  }
  // Everything the controller needs is made before the fork.
  std::string player = device_path(MUSIC_PLAYER_PATH);
  std::string ring = device_path(path != nullptr ? path : MUSIC_DEFAULT_RING);
  char arg0[sizeof kPlayerArg0];
  for (size_t i = 0; i < sizeof kPlayerArg0; ++i) arg0[i] = kPlayerArg0[i];
  char* argv[] = {arg0, &ring[0], nullptr};
  const pid_t program = getpid();

  // The stop signal stays shut until the controller has its handler.
  sigset_t stop_only;
  sigemptyset(&stop_only);
  sigaddset(&stop_only, SIGUSR1);
  sigset_t saved;
  pthread_sigmask(SIG_BLOCK, &stop_only, &saved);
  pid_t pid = platform().fork_process();
  if (pid == 0) run_controller(player.c_str(), argv, program);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);

  if (pid < 0) {
    g_music_pid = -1;
    return -1;
  }
  remember_controller(pid);
  g_music_pid = pid;
  return pid;
}

int music_stop() {
  if (g_music_pid == -1) return -1;
  if (kill(g_music_pid, SIGUSR1) == 0 || errno == ESRCH) {
    g_music_pid = -1;
    return 0;
  }
  return -1;
}

}  // namespace

void music_stop_handler(int) {
  int saved_errno = errno;
  g_music_stop = 1;  // before the signal, so the wait that the player's end releases sees it
  pid_t player = g_player_pid;
  if (player > 0) kill(player, SIGUSR2);
  errno = saved_errno;
}

int musicProcess(const char* path, int op) {
  // A controller that has ended rings no more, whatever ended it: a stop finds the ring
  // stopped already, and a play starts a new one.
  bool ring_gone = reap_controllers();
  if (ring_gone) g_music_pid = -1;
  switch (op) {
    case MUSIC_OP_PLAY:
      return music_play(path);
    case MUSIC_OP_STOP:
      return ring_gone ? 0 : music_stop();
    default:
      kernel_log_write(3, "<3>alarm: %s:%s wrong operation code [%d]!\n", kMainModuleSource,
                       "musicProcess", op);
      return -1;
  }
}

bool music_controllers_running() {
  if (reap_controllers()) g_music_pid = -1;
  for (pid_t slot : g_controllers) {
    if (slot != 0) return true;
  }
  return false;
}

void music_reset() {
  for (pid_t& slot : g_controllers) {
    if (slot == 0) continue;
    pid_t r = waitpid(slot, nullptr, WNOHANG);
    if (r == 0) kill(slot, SIGUSR1);
    for (int i = 0; i < kResetPolls && r == 0; ++i) {
      sleep_real_us(kResetPollUs);  // real time: the controller runs apart
      r = waitpid(slot, nullptr, WNOHANG);
    }
    if (r == 0) {
      kill(slot, SIGKILL);
      while (waitpid(slot, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    slot = 0;
  }
  g_music_pid = -1;
}
