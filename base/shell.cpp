#include "base/shell.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

namespace {

constexpr int kExecFailedStatus = 127;
constexpr int kFirstFreeDescriptor = 3;
constexpr size_t kDrainChunk = 512;

// Moves a close-on-exec descriptor above the standard ones, so that the child's dup2 onto
// standard output always makes a new descriptor (dup2 of a descriptor onto itself would keep
// its close-on-exec flag and leave the command without standard output).
int above_standard_descriptors(int fd) {
  if (fd >= kFirstFreeDescriptor) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, kFirstFreeDescriptor);
  close(fd);
  return moved;
}

// Everything the child needs, made before fork: after fork the child only calls setpgid,
// dup2, execv and _exit, which are safe in the child of a process with threads.
struct ShellArgs {
  std::string shell = device_path(SHELL_PATH);
  char* argv[4];
  explicit ShellArgs(const char* command) {
    argv[0] = const_cast<char*>("sh");
    argv[1] = const_cast<char*>("-c");
    argv[2] = const_cast<char*>(command);
    argv[3] = nullptr;
  }
};

int wait_for(pid_t pid) {
  int status = 0;
  for (;;) {
    if (waitpid(pid, &status, 0) == pid) return status;
    if (errno != EINTR) return -1;
  }
}

}  // namespace

ShellJob::~ShellJob() {
  if (pid_ > 0) end_now();
  if (out_ >= 0) close(out_);
}

ShellJob::ShellJob(ShellJob&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), out_(std::exchange(other.out_, -1)) {}

ShellJob& ShellJob::operator=(ShellJob&& other) noexcept {
  if (this != &other) {
    if (pid_ > 0) end_now();
    if (out_ >= 0) close(out_);
    pid_ = std::exchange(other.pid_, -1);
    out_ = std::exchange(other.out_, -1);
  }
  return *this;
}

bool ShellJob::start(const char* command) {
  if (command == nullptr || pid_ > 0) return false;
  ShellArgs args(command);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  int read_fd = above_standard_descriptors(fds[0]);
  int write_fd = above_standard_descriptors(fds[1]);
  if (read_fd < 0 || write_fd < 0) {
    if (read_fd >= 0) close(read_fd);
    if (write_fd >= 0) close(write_fd);
    return false;
  }

  pid_t child = platform().fork_process();
  if (child == 0) {
    // A group of its own: the shell and the tool it starts are ended together.
    setpgid(0, 0);
    if (dup2(write_fd, STDOUT_FILENO) < 0) _exit(kExecFailedStatus);
    execv(args.shell.c_str(), args.argv);
    _exit(kExecFailedStatus);
  }
  close(write_fd);
  if (child < 0) {
    close(read_fd);
    return false;
  }
  setpgid(child, child);  // also here, so that the group exists before any kill
  pid_ = child;
  out_ = read_fd;
  return true;
}

bool ShellJob::try_finish() {
  if (pid_ <= 0) return true;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == 0) return false;
  if (r < 0 && errno == EINTR) return false;
  // Reaped, or not our child any more: either way nothing is left to wait for.
  pid_ = -1;
  if (out_ >= 0) close(out_);
  out_ = -1;
  return true;
}

int ShellJob::finish(const WallTime& deadline) {
  if (pid_ <= 0) return -1;
  bool closed = false;
  while (!closed && out_ >= 0) {
    int r = platform().wait_readable(out_, deadline);
    if (r <= 0) break;
    char drop[kDrainChunk];
    ssize_t n = read(out_, drop, sizeof drop);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) closed = true;
  }
  if (!closed) {
    end_now();
    return -1;
  }
  int status = wait_for(pid_);
  pid_ = -1;
  close(out_);
  out_ = -1;
  return status;
}

void ShellJob::end_now() {
  // The group is still ours: its leader is not reaped yet, so its id cannot be reused.
  kill(-pid_, SIGKILL);
  kill(pid_, SIGKILL);
  wait_for(pid_);
  pid_ = -1;
}

bool shell_word_is_plain(const std::string& word) {
  if (word.empty()) return false;
  for (char c : word) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '/' || c == '.' || c == '_' || c == '-' || c == '+';
    if (!ok) return false;
  }
  return true;
}
