#include "alarm/shell.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/platform.h"

namespace {

constexpr int kExecFailedStatus = 127;
constexpr int kFirstFreeDescriptor = 3;

// Moves a close-on-exec descriptor above the standard ones, so that the child's dup2 onto
// standard output always makes a new descriptor (dup2 of a descriptor onto itself would keep
// its close-on-exec flag and leave the command without standard output).
int above_standard_descriptors(int fd) {
  if (fd >= kFirstFreeDescriptor) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, kFirstFreeDescriptor);
  close(fd);
  return moved;
}

// Everything the child needs, made before fork: after fork the child only calls dup2,
// execv and _exit, which are safe in the child of a process with threads.
struct ShellCommand {
  std::string shell = device_path(SHELL_PATH);
  char* argv[4];
  explicit ShellCommand(const char* command) {
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

FILE* shell_popen(const char* command, pid_t* pid) {
  if (command == nullptr || pid == nullptr) return nullptr;
  ShellCommand cmd(command);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
  int read_fd = above_standard_descriptors(fds[0]);
  int write_fd = above_standard_descriptors(fds[1]);
  FILE* stream = read_fd >= 0 ? fdopen(read_fd, "r") : nullptr;
  if (stream == nullptr || write_fd < 0) {
    if (stream != nullptr) {
      fclose(stream);
    } else if (read_fd >= 0) {
      close(read_fd);
    }
    if (write_fd >= 0) close(write_fd);
    return nullptr;
  }

  pid_t child = platform().fork_process();
  if (child == 0) {
    if (dup2(write_fd, STDOUT_FILENO) < 0) _exit(kExecFailedStatus);
    execv(cmd.shell.c_str(), cmd.argv);
    _exit(kExecFailedStatus);
  }
  close(write_fd);
  if (child < 0) {
    fclose(stream);
    return nullptr;
  }
  *pid = child;
  return stream;
}

int shell_pclose(FILE* stream, pid_t pid) {
  if (stream == nullptr) return -1;
  fclose(stream);
  return pid > 0 ? wait_for(pid) : -1;
}

int shell_system(const char* command) {
  if (command == nullptr) return -1;
  ShellCommand cmd(command);
  pid_t child = platform().fork_process();
  if (child == 0) {
    execv(cmd.shell.c_str(), cmd.argv);
    _exit(kExecFailedStatus);
  }
  if (child < 0) return -1;
  return wait_for(child);
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
