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

namespace {

constexpr long kDefaultPlayMs = 3600L * 1000;
constexpr int kReplyTimeoutMs = 2000;
constexpr size_t kReplySize = 64;

// The sandbox root: from the environment alarm-sim hands over, else from where this program
// lies in the sandbox.
std::string sandbox_root(const SandboxEnvironment* env) {
  if (env != nullptr) return env->root;
  const char* root = getenv(SANDBOX_ROOT_ENV);
  if (root != nullptr && root[0] == '/') return root;
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  buf[n] = '\0';
  std::string self = buf;
  size_t len = strlen(MUSIC_PLAYER_PATH);
  if (self.size() > len && self.compare(self.size() - len, len, MUSIC_PLAYER_PATH) == 0) {
    return self.substr(0, self.size() - len);
  }
  return "";
}

std::string joined_args(int argc, char** argv) {
  std::string args;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) args += ' ';
    for (const char* p = argv[i]; *p; ++p) args += (*p == '\n' || *p == ' ') ? '_' : *p;
  }
  return args;
}

void append_line(const std::string& path, const std::string& line) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t ignored = write(fd, line.data(), line.size());
  (void)ignored;
  close(fd);
}

// Connects to the simulator and reports the start; the descriptor, or -1.
int report_to_simulator(const std::string& root, const std::string& start, long* play_ms) {
  std::string path = root + SANDBOX_PLAYER_SOCKET;
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return -1;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      send(fd, start.data(), start.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(start.size())) {
    close(fd);
    return -1;
  }
  char reply[kReplySize] = {};
  size_t got = 0;
  while (got < sizeof reply - 1 && strchr(reply, '\n') == nullptr) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, kReplyTimeoutMs) <= 0) break;
    ssize_t n = read(fd, reply + got, sizeof reply - 1 - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  parse_player_reply(reply, play_ms);
  return fd;
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
  PlayerStart start;
  start.pid = getpid();
  start.parent_pid = getppid();
  if (clock != nullptr) start.at_us = clock->now_us();
  start.args = joined_args(argc, argv);

  std::string root = sandbox_root(has_env ? &env : nullptr);
  long play_ms = kDefaultPlayMs;
  int sim = root.empty() ? -1 : report_to_simulator(root, format_player_start(start), &play_ms);
  bool logging = sim < 0 && !root.empty();
  std::string pid = std::to_string(start.pid);
  if (logging) {
    append_line(root + SANDBOX_PLAYER_LOG, "start " + pid + " " + start.args + "\n");
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
    clock->sleep_us(start.at_us + play_ms * 1000LL - clock->now_us());
  } else {
    play_for(play_ms);
  }
  if (logging) append_line(root + SANDBOX_PLAYER_LOG, "end " + pid + "\n");
  return 0;
}
