#include "sim/player_report.h"

#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "devices/music.h"

namespace {

constexpr int kReplyTimeoutMs = 2000;
constexpr size_t kReplySize = 64;

std::string joined_args(int argc, char** argv) {
  std::string args;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) args += ' ';
    for (const char* p = argv[i]; *p; ++p) args += (*p == '\n' || *p == ' ') ? '_' : *p;
  }
  return args;
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

}  // namespace

std::string player_sandbox_root(const SandboxEnvironment* env) {
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

void report_player_start(const SandboxEnvironment* env, SandboxClock* clock, int argc, char** argv,
                         long default_play_ms, PlayerReport* report) {
  PlayerStart start;
  start.pid = getpid();
  start.parent_pid = getppid();
  if (clock != nullptr) start.at_us = clock->now_us();
  start.args = joined_args(argc, argv);
  report->at_us = start.at_us;
  report->args = start.args;
  report->root = player_sandbox_root(env);
  report->play_ms = default_play_ms;
  report->fd = report->root.empty() ? -1
                                    : report_to_simulator(report->root, format_player_start(start),
                                                          &report->play_ms);
}
