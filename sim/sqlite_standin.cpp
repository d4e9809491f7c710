// The sandbox's stand-in for "/system/xbin/sqlite3" under a sqlite3 fault: alarm-sim links
// it there for the run. It tells a read (" select ...") from an update (" update ...") by
// its SQL argument, holds that kind of command for good ("sqlite-hang:read|update"), prints
// some rows of a read and then holds it ("sqlite-hang:read-after:N") or
// delays every command by virtual seconds ("sqlite-slow:S"), then runs the host's sqlite3
// with the same arguments. It learns the sandbox, its clock and the faults from the
// environment the program hands down through the shell, and logs what it did with each
// command (sandbox/sandbox_files.h).
#include <fcntl.h>
#include <limits.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "sandbox/sandbox_clock.h"
#include "sandbox/sandbox_files.h"
#include "sandbox/sandbox_platform.h"
#include "sim/sandbox_builder.h"

namespace {

constexpr char kToolName[] = "sqlite3";
constexpr int kExecFailedStatus = 127;

// "read", "update" or "other", from the first word of the last argument (the SQL), past
// the settings (PRAGMA statements) that may come before the statement itself.
std::string command_kind(int argc, char** argv) {
  if (argc < 2) return "other";
  std::string word;
  for (const char* p = argv[argc - 1]; *p; ++p) {
    if (word == "pragma") {  // a setting: skipped to its end
      if (*p == ';') word.clear();
      continue;
    }
    if (isspace(static_cast<unsigned char>(*p))) {
      if (word.empty()) continue;
      break;
    }
    word += static_cast<char>(tolower(static_cast<unsigned char>(*p)));
  }
  if (word == "select") return "read";
  if (word == "update") return "update";
  return "other";
}

// The host's sqlite3 from PATH, never this program.
std::string host_tool() {
  char self[PATH_MAX];
  return find_in_path(kToolName, realpath("/proc/self/exe", self) != nullptr ? self : "");
}

void log_entry(const SandboxEnvironment& env, SandboxClock& clock, const std::string& kind,
               const std::string& state) {
  SqliteLogEntry entry;
  entry.at_us = clock.now_us();
  entry.kind = kind;
  entry.state = state;
  std::string line = format_sqlite_log_entry(entry);
  int fd = open((env.root + SANDBOX_SQLITE_LOG).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                0644);
  if (fd < 0) return;
  ssize_t ignored = write(fd, line.data(), line.size());
  (void)ignored;
  close(fd);
}

// The host tool's whole output for these arguments, or false when it could not be run.
bool host_output(const std::string& tool, char** argv, std::string* out) {
  int fds[2];
  if (tool.empty() || pipe2(fds, O_CLOEXEC) != 0) return false;
  pid_t child = fork();
  if (child == 0) {
    dup2(fds[1], STDOUT_FILENO);
    execv(tool.c_str(), argv);
    _exit(kExecFailedStatus);
  }
  close(fds[1]);
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) out->append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return child > 0;
}

// A read that hangs after `rows` rows: they are printed in full, then half of the next one,
// and the command holds for good.
[[noreturn]] void print_rows_then_hold(const SandboxEnvironment& env, SandboxClock& clock,
                                       const std::string& tool, char** argv, int rows) {
  std::string out;
  host_output(tool, argv, &out);
  size_t cut = 0;
  for (int i = 0; i < rows && cut < out.size(); ++i) {
    size_t end = out.find('\n', cut);
    cut = end == std::string::npos ? out.size() : end + 1;
  }
  size_t next = out.find('\n', cut);
  if (next != std::string::npos) cut += (next - cut) / 2;
  for (size_t done = 0; done < cut;) {
    ssize_t n = write(STDOUT_FILENO, out.data() + done, cut - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  log_entry(env, clock, "read", "held after " + std::to_string(rows) + " rows");
  clock.hold();
  _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  std::string tool = host_tool();
  SandboxEnvironment env;
  if (read_sandbox_environment(&env)) {
    SandboxFaults faults;
    parse_sandbox_faults(env.faults, &faults, nullptr);
    std::unique_ptr<SandboxClock> clock_owner = sandbox_clock(env);
    if (clock_owner == nullptr) {
      fprintf(stderr, "sqlite3 stand-in: the sandbox's clock cannot be used\n");
      return kExecFailedStatus;
    }
    SandboxClock& clock = *clock_owner;
    std::string kind = command_kind(argc, argv);
    if (kind == "read" && faults.sqlite_hang_read_after_rows >= 0) {
      argv[0] = const_cast<char*>(kToolName);
      print_rows_then_hold(env, clock, tool, argv, faults.sqlite_hang_read_after_rows);
    }
    if ((kind == "read" && faults.sqlite_hang_read) ||
        (kind == "update" && faults.sqlite_hang_update)) {
      log_entry(env, clock, kind, "held");
      // Never returns: the end of the run ends it with the program's other processes.
      clock.hold();
    }
    if (faults.sqlite_slow_seconds > 0) {
      char state[48];
      snprintf(state, sizeof state, "delayed %g", faults.sqlite_slow_seconds);
      log_entry(env, clock, kind, state);
      clock.sleep_us(static_cast<int64_t>(std::llround(faults.sqlite_slow_seconds * 1e6)));
    }
    log_entry(env, clock, kind, "runs");
    // The host's tool is no part of the run: from here the kernel tells whether it runs.
    clock.leave();
  }
  if (tool.empty()) {
    fprintf(stderr, "sqlite3 stand-in: no sqlite3 in PATH\n");
    return kExecFailedStatus;
  }
  char name[sizeof kToolName];
  snprintf(name, sizeof name, "%s", kToolName);
  argv[0] = name;
  execv(tool.c_str(), argv);
  perror("sqlite3 stand-in");
  return kExecFailedStatus;
}
