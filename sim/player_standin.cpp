// The sandbox's stand-in for "/system/bin/mplayer": it "plays" the ring file for a set time
// and exits, and ends on SIGUSR2 as a player that installs no handler does.
//
// Under alarm-sim it reports each start, stamped on the sandbox's virtual clock and with the
// ring controller that started it, on the simulator's socket and is told how long to play
// (virtual time: it plays on the sandbox's clock, where the run's jumps reach it); it keeps
// the connection open until it ends, so the simulator sees the end whatever its cause.
// Without a simulator it logs its start and end and plays for the real seconds of the
// seconds file (default one hour). The formats are in sandbox/sandbox_files.h.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "devices/music.h"
#include "sandbox/sandbox_clock.h"
#include "sandbox/sandbox_files.h"
#include "sim/player_report.h"

namespace {

constexpr long kDefaultPlayMs = 3600L * 1000;

void append_line(const std::string& path, const std::string& line) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t ignored = write(fd, line.data(), line.size());
  (void)ignored;
  close(fd);
}

void play_for(long ms) {
  struct timespec ts = {static_cast<time_t>(ms / 1000), (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  SandboxEnvironment env;
  bool has_env = read_sandbox_environment(&env);
  std::unique_ptr<SandboxClock> clock = has_env ? sandbox_clock(env) : nullptr;
  PlayerReport report;
  report_player_start(has_env ? &env : nullptr, clock.get(), argc, argv, kDefaultPlayMs, &report);
  const std::string& root = report.root;
  long play_ms = report.play_ms;
  int sim = report.fd;
  bool logging = sim < 0 && !root.empty();
  std::string pid = std::to_string(getpid());
  if (logging) {
    append_line(root + SANDBOX_PLAYER_LOG, "start " + pid + " " + report.args + "\n");
    FILE* f = fopen((root + SANDBOX_PLAYER_SECONDS).c_str(), "re");
    double secs = 0;
    if (f != nullptr) {
      if (fscanf(f, "%lf", &secs) == 1 && secs >= 0) play_ms = static_cast<long>(secs * 1000);
      fclose(f);
    }
  }

  // A real player gives up at once on a file it cannot open.
  struct stat st;
  if (argc < 2 || stat(argv[1], &st) != 0 || !S_ISREG(st.st_mode)) {
    fprintf(stderr, "mplayer: cannot open %s\n", argc < 2 ? "(no file)" : argv[1]);
    if (logging) append_line(root + SANDBOX_PLAYER_LOG, "end " + pid + "\n");
    return 1;
  }
  if (sim >= 0 && clock != nullptr) {
    // The simulator's milliseconds are virtual, from the start it was told of.
    clock->sleep_us(report.at_us + play_ms * 1000LL - clock->now_us());
  } else {
    play_for(play_ms);
  }
  if (logging) append_line(root + SANDBOX_PLAYER_LOG, "end " + pid + "\n");
  return 0;
}
