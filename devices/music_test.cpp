#include "devices/music.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim/test_sandbox.h"

namespace {

using std::chrono::milliseconds;
constexpr milliseconds kPatience(10000);  // generous: a loaded machine, or qemu

// Fork faults: the program's fork fails, the controller counts its player forks in a file,
// or a stop arrives just as the controller makes its first player.
class ForkHooks : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  pid_t fork_process() override {
    if (getpid() == program_) {
      if (fail_program_forks) {
        errno = EAGAIN;
        return -1;
      }
    } else {
      if (!count_file.empty()) {
        int fd = open(count_file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0 && write(fd, "f", 1) == 1) close(fd);
      }
      if (stop_at_first_player && !stopped_) {
        stopped_ = true;
        kill(getpid(), SIGUSR1);
      }
    }
    return PlatformWrapper::fork_process();
  }
  // The controller's pauses before a retry, one mark a slice in `pause_file`.
  void sleep_us(int64_t usec) override {
    if (getpid() != program_ && !pause_file.empty()) {
      int fd = open(pause_file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
      if (fd >= 0 && write(fd, "p", 1) == 1) close(fd);
    }
    PlatformWrapper::sleep_us(usec);
  }

  bool fail_program_forks = false;
  bool stop_at_first_player = false;
  std::string count_file;
  std::string pause_file;

 private:
  const pid_t program_ = getpid();
  bool stopped_ = false;
};

struct PlayerRun {
  pid_t pid;
  std::string args;  // "argument count:arguments"
};

bool eventually(const std::function<bool()>& done, milliseconds patience = kPatience) {
  auto until = std::chrono::steady_clock::now() + patience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return true;
}

// The state letter of a process, or 0 when it no longer exists.
char process_state(pid_t pid, pid_t* parent = nullptr) {
  std::string stat;
  if (!read_text_file("/proc/" + std::to_string(pid) + "/stat", &stat)) return 0;
  size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return 0;
  if (parent != nullptr) *parent = static_cast<pid_t>(atoi(stat.c_str() + close + 4));
  return stat[close + 2];
}

// The nice value of a process (the stat file's 19th field), or 100 when it cannot be read.
int process_nice(pid_t pid) {
  std::string stat;
  if (!read_text_file("/proc/" + std::to_string(pid) + "/stat", &stat)) return 100;
  size_t at = stat.rfind(')');
  std::istringstream fields(at == std::string::npos ? "" : stat.substr(at + 2));
  std::string field;
  for (int i = 3; i < 19 && fields >> field; ++i) {
  }
  int nice = 100;
  fields >> nice;
  return nice;
}

bool gone(pid_t pid) {
  char s = process_state(pid);
  return s == 0 || s == 'Z';
}

// Exit status of a child within the patience, or -1.
int wait_exit(pid_t child, milliseconds patience = kPatience) {
  int status = -1;
  eventually([&] { return waitpid(child, &status, WNOHANG) == child; }, patience);
  return status;
}

std::vector<pid_t> proc_entries(const std::string& dir) {
  std::vector<pid_t> out;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] >= '0' && e->d_name[0] <= '9') out.push_back(atoi(e->d_name));
  }
  closedir(d);
  return out;
}

// True once a child has ended and can be reaped; it is left for its owner to reap.
bool reapable(pid_t child) {
  siginfo_t info = {};
  return waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == child;
}

int zombie_children() {
  int zombies = 0;
  for (pid_t pid : proc_entries("/proc")) {
    pid_t parent = 0;
    if (process_state(pid, &parent) == 'Z' && parent == getpid()) ++zombies;
  }
  return zombies;
}

class RingPlayer : public ::testing::Test {
 protected:
  RingPlayer() {
    sb_.open_kernel_log();
    run_clock(1.0);
  }
  ~RingPlayer() override {
    music_reset();
    set_platform(&sb_.platform());
  }

  // The controller lives in a process of its own, where only a running clock moves.
  void run_clock(double speed) {
    auto clock =
        std::make_unique<VirtualClock>(sb_.clock().now_us(), VirtualClock::monotonic_ns(), speed);
    sandbox_ = std::make_unique<SandboxPlatform>(sb_.root(), std::move(clock));
    hooks_ = std::make_unique<ForkHooks>(sandbox_.get());
    set_platform(hooks_.get());
  }
  // A player that logs its pid and arguments and "plays" for `seconds` of real time.
  void install_player(const char* seconds) {
    std::string script = "#!/bin/sh\necho \"$$ $#:$*\" >> " + sb_.path("/player.log") +
                         "\nexec sleep " + seconds + "\n";
    std::string player = sb_.path(MUSIC_PLAYER_PATH);
    sb_.write(MUSIC_PLAYER_PATH, script);
    chmod(player.c_str(), 0755);
  }
  std::vector<PlayerRun> runs() const {
    std::vector<PlayerRun> out;
    std::istringstream in(sb_.read("/player.log"));
    PlayerRun run;
    while (in >> run.pid && std::getline(in >> std::ws, run.args)) out.push_back(run);
    return out;
  }
  bool wait_runs(size_t n) {
    return eventually([&] { return runs().size() >= n; });
  }

  TestSandbox sb_;
  std::unique_ptr<SandboxPlatform> sandbox_;
  std::unique_ptr<ForkHooks> hooks_;
};

}  // namespace

TEST_F(RingPlayer, PlayWithoutPathPlaysTheDefaultRing) {
  install_player("30");
  int inherited = open("/dev/null", O_RDONLY);  // not close-on-exec
  ASSERT_GE(inherited, 3);
  int pid = musicProcess(nullptr, MUSIC_OP_PLAY);
  close(inherited);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(g_music_pid, pid);
  ASSERT_TRUE(wait_runs(1));
  EXPECT_EQ(runs()[0].args, "1:" + sb_.path(MUSIC_DEFAULT_RING));
  // The controller holds no descriptor of the program, so neither does the player.
  for (pid_t fd : proc_entries("/proc/" + std::to_string(pid) + "/fd")) EXPECT_LT(fd, 3);
}

TEST_F(RingPlayer, PlayerRunsAtTheAudioPriorityItsControllerAtTheProgramsOwn) {
  if (geteuid() != 0) GTEST_SKIP() << "raising a priority takes CAP_SYS_NICE";
  install_player("30");
  int controller = musicProcess(nullptr, MUSIC_OP_PLAY);
  ASSERT_GT(controller, 0);
  ASSERT_TRUE(wait_runs(1));
  EXPECT_EQ(process_nice(runs()[0].pid), -16);
  EXPECT_EQ(process_nice(controller), process_nice(getpid()));
}

TEST_F(RingPlayer, SecondPlayIsRefusedAndTheRingGoesOn) {
  install_player("30");
  int pid = musicProcess("/data/ring.mp3", MUSIC_OP_PLAY);
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(wait_runs(1));
  EXPECT_EQ(musicProcess("/data/ring.mp3", MUSIC_OP_PLAY), MUSIC_ERR_PLAYING);
  EXPECT_EQ(g_music_pid, pid);
  EXPECT_EQ(sb_.kmsg(),
            "<3>alarm: alarm/alarm.cpp:musicProcess now one mp3 is playing, please close it "
            "first!\n");
  std::this_thread::sleep_for(milliseconds(200));
  ASSERT_EQ(runs().size(), 1u);
  EXPECT_FALSE(gone(runs()[0].pid));
}

TEST_F(RingPlayer, StopTwiceThenPlayAgain) {
  install_player("30");
  int first = musicProcess(nullptr, MUSIC_OP_PLAY);
  ASSERT_GT(first, 0);
  ASSERT_TRUE(wait_runs(1));
  EXPECT_EQ(musicProcess(nullptr, MUSIC_OP_STOP), 0);
  EXPECT_EQ(g_music_pid, -1);
  EXPECT_TRUE(eventually([&] { return gone(runs()[0].pid); }));
  // The controller ends by itself; the program does not wait for it.
  int status = wait_exit(first);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(musicProcess(nullptr, MUSIC_OP_STOP), -1);
  EXPECT_EQ(sb_.kmsg(), "");

  int second = musicProcess("/data/media/ring.ogg", MUSIC_OP_PLAY);
  ASSERT_GT(second, 0);
  EXPECT_NE(second, first);
  ASSERT_TRUE(wait_runs(2));
  EXPECT_EQ(runs()[1].args, "1:" + sb_.path("/data/media/ring.ogg"));
}

// A 3-second file (at four times real speed) is played again at once, without the pause
// kept for a broken player, until the stop; then no run follows. Counted, not timed: a slow
// host only makes each run longer.
TEST_F(RingPlayer, FileIsPlayedAgainAtOnceUntilTheStop) {
  run_clock(4.0);
  install_player("0.75");
  hooks_->pause_file = sb_.path("/controller.pauses");
  int controller = musicProcess(nullptr, MUSIC_OP_PLAY);
  ASSERT_GT(controller, 0);
  ASSERT_TRUE(wait_runs(4));
  EXPECT_EQ(musicProcess(nullptr, MUSIC_OP_STOP), 0);
  EXPECT_TRUE(eventually([&] { return gone(controller); }));
  std::vector<PlayerRun> seen = runs();
  ASSERT_GE(seen.size(), 4u);
  for (const PlayerRun& run : seen) EXPECT_TRUE(gone(run.pid)) << run.pid;
  EXPECT_EQ(sb_.read("/controller.pauses"), "");
  EXPECT_EQ(runs().size(), seen.size());
}

TEST_F(RingPlayer, WrongOperationCodeIsRefused) {
  install_player("30");
  EXPECT_EQ(musicProcess(nullptr, 2), -1);
  EXPECT_EQ(g_music_pid, -1);
  int pid = musicProcess(nullptr, MUSIC_OP_PLAY);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(musicProcess(nullptr, -1), -1);
  EXPECT_EQ(g_music_pid, pid);  // not taken for a stop
  EXPECT_EQ(sb_.kmsg(),
            "<3>alarm: alarm/alarm.cpp:musicProcess wrong operation code [2]!\n"
            "<3>alarm: alarm/alarm.cpp:musicProcess wrong operation code [-1]!\n");
}

TEST_F(RingPlayer, MissingPlayerIsRetriedOncePerSecond) {
  unlink(sb_.path(MUSIC_PLAYER_PATH).c_str());
  hooks_->count_file = sb_.path("/player.forks");
  int pid = musicProcess(nullptr, MUSIC_OP_PLAY);
  ASSERT_GT(pid, 0);
  std::this_thread::sleep_for(milliseconds(2500));
  size_t forks = sb_.read("/player.forks").size();
  EXPECT_GE(forks, 2u);
  EXPECT_LE(forks, 4u);
  EXPECT_EQ(musicProcess(nullptr, MUSIC_OP_STOP), 0);
  int status = wait_exit(pid, milliseconds(5000));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(RingPlayer, StopDuringPlayerCreationEndsTheNewPlayer) {
  install_player("30");
  hooks_->stop_at_first_player = true;
  int pid = musicProcess(nullptr, MUSIC_OP_PLAY);
  ASSERT_GT(pid, 0);
  int status = wait_exit(pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  for (const PlayerRun& run : runs()) EXPECT_TRUE(gone(run.pid));
}

TEST_F(RingPlayer, StopRightAfterPlayIsNotLost) {
  install_player("30");
  int pid = musicProcess(nullptr, MUSIC_OP_PLAY);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(musicProcess(nullptr, MUSIC_OP_STOP), 0);
  int status = wait_exit(pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  for (const PlayerRun& run : runs()) EXPECT_TRUE(gone(run.pid));
}

TEST_F(RingPlayer, EndedControllersAreReaped) {
  install_player("30");
  int last = -1;
  for (size_t ring = 1; ring <= 4; ++ring) {
    if (last > 0) {
      ASSERT_TRUE(eventually([&] { return reapable(last); }));
    }
    last = musicProcess(nullptr, MUSIC_OP_PLAY);  // reaps the controller stopped before
    ASSERT_GT(last, 0);
    EXPECT_EQ(zombie_children(), 0);
    ASSERT_TRUE(wait_runs(ring));
    ASSERT_EQ(musicProcess(nullptr, MUSIC_OP_STOP), 0);
  }
  ASSERT_TRUE(eventually([&] { return reapable(last); }));
  EXPECT_EQ(musicProcess(nullptr, MUSIC_OP_STOP), -1);  // a stop with nothing to stop, too
  EXPECT_EQ(zombie_children(), 0);
}

TEST_F(RingPlayer, ControllerThatHasGoneCountsAsStopped) {
  install_player("30");
  int pid = musicProcess(nullptr, MUSIC_OP_PLAY);
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(wait_runs(1));
  kill(pid, SIGKILL);
  // Its player does not ring on alone.
  EXPECT_TRUE(eventually([&] { return gone(runs()[0].pid); }));
  EXPECT_EQ(musicProcess(nullptr, MUSIC_OP_STOP), 0);
  EXPECT_EQ(g_music_pid, -1);

  // Killed and reaped by someone else before the stop: the next snooze still rings.
  pid = musicProcess(nullptr, MUSIC_OP_PLAY);
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(wait_runs(2));
  kill(pid, SIGKILL);
  ASSERT_NE(wait_exit(pid), -1);
  EXPECT_EQ(musicProcess(nullptr, MUSIC_OP_STOP), 0);
  EXPECT_GT(musicProcess(nullptr, MUSIC_OP_PLAY), 0);
  EXPECT_TRUE(wait_runs(3));
  EXPECT_EQ(sb_.kmsg(), "");
}

TEST_F(RingPlayer, ControllerThatCannotBeMadeIsReported) {
  install_player("30");
  hooks_->fail_program_forks = true;
  EXPECT_EQ(musicProcess(nullptr, MUSIC_OP_PLAY), -1);
  EXPECT_EQ(g_music_pid, -1);
  EXPECT_EQ(sb_.kmsg(), "");
  hooks_->fail_program_forks = false;
  EXPECT_GT(musicProcess(nullptr, MUSIC_OP_PLAY), 0);
}

TEST_F(RingPlayer, RingEndsWithTheProgram) {
  install_player("30");
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  pid_t program = fork();
  ASSERT_GE(program, 0);
  if (program == 0) {
    // A program that goes away while it rings, without stopping the ring.
    pid_t controller = musicProcess(nullptr, MUSIC_OP_PLAY);
    bool started = wait_runs(1);
    ssize_t ignored = write(pipe_fds[1], &controller, sizeof controller);
    (void)ignored;
    _exit(started ? 0 : 1);
  }
  close(pipe_fds[1]);
  pid_t controller = -1;
  ASSERT_EQ(read(pipe_fds[0], &controller, sizeof controller),
            static_cast<ssize_t>(sizeof controller));
  close(pipe_fds[0]);
  int status = wait_exit(program);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ASSERT_GT(controller, 0);
  EXPECT_TRUE(eventually([&] { return gone(controller); }));
  ASSERT_EQ(runs().size(), 1u);
  EXPECT_TRUE(eventually([&] { return gone(runs()[0].pid); }));
}
