// The sandbox's stand-in for "/system/bin/mplayer": it "plays" the ring file for a set time
// and exits, and ends on SIGUSR2 as a player that installs no handler does.
//
// Under alarm-sim it reports each start on the simulator's socket "<root>/sim/player.sock"
// ("start PID ARGS...") and is told how long to play ("play MILLISECONDS"); it keeps the
// connection open until it ends, so the simulator sees the end whatever its cause. Without
// a simulator it appends "start PID ARGS" and "end PID" lines to "<root>/sim/player.log"
// and plays for the real seconds in "<root>/sim/player_seconds" (default one hour).
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
#include <string>

namespace {

constexpr char kSelfSuffix[] = "/system/bin/mplayer";
constexpr long kDefaultPlayMs = 3600L * 1000;
constexpr int kReplyTimeoutMs = 2000;

std::string sandbox_root() {
  const char* env = getenv("ALARM_SANDBOX_ROOT");
  if (env != nullptr && env[0] == '/') return env;
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  buf[n] = '\0';
  std::string self = buf;
  size_t len = strlen(kSelfSuffix);
  if (self.size() > len && self.compare(self.size() - len, len, kSelfSuffix) == 0) {
    return self.substr(0, self.size() - len);
  }
  return "";
}

std::string describe_start(int argc, char** argv) {
  std::string line = "start " + std::to_string(getpid());
  for (int i = 1; i < argc; ++i) {
    line += ' ';
    for (const char* p = argv[i]; *p; ++p) line += (*p == '\n' || *p == ' ') ? '_' : *p;
  }
  return line + "\n";
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
  std::string path = root + "/sim/player.sock";
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return -1;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      write(fd, start.data(), start.size()) != static_cast<ssize_t>(start.size())) {
    close(fd);
    return -1;
  }
  char reply[64] = {};
  size_t got = 0;
  while (got < sizeof reply - 1 && strchr(reply, '\n') == nullptr) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, kReplyTimeoutMs) <= 0) break;
    ssize_t n = read(fd, reply + got, sizeof reply - 1 - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  long ms = 0;
  if (sscanf(reply, "play %ld", &ms) == 1 && ms >= 0) *play_ms = ms;
  return fd;
}

void play_for(long ms) {
  struct timespec ts = {static_cast<time_t>(ms / 1000), (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string root = sandbox_root();
  std::string start = describe_start(argc, argv);
  long play_ms = kDefaultPlayMs;
  int sim = root.empty() ? -1 : report_to_simulator(root, start, &play_ms);
  if (sim < 0 && !root.empty()) {
    append_line(root + "/sim/player.log", start);
    FILE* f = fopen((root + "/sim/player_seconds").c_str(), "re");
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
    if (sim < 0 && !root.empty())
      append_line(root + "/sim/player.log", "end " + std::to_string(getpid()) + "\n");
    return 1;
  }
  play_for(play_ms);
  if (sim < 0 && !root.empty()) {
    append_line(root + "/sim/player.log", "end " + std::to_string(getpid()) + "\n");
  }
  return 0;
}
