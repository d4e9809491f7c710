#include "base/kernel_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

int g_kernel_log_fd = -1;

void kernel_log_open() {
  std::string node = device_path(KERNEL_LOG_NODE);
  if (platform().make_kmsg_node(node.c_str()) != 0) {
    // A node already there is someone else's: the log stays closed. Any other refusal is the
    // platform's: SELinux keeps mknod to init, ueventd and vold on every Android with a
    // policy (7 and later), so there the kernel's own node, which every domain may write,
    // carries the log.
    if (errno == EEXIST) return;
    g_kernel_log_fd = open(device_path(KERNEL_LOG_DEVICE).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    return;
  }
  g_kernel_log_fd = open(node.c_str(), O_WRONLY | O_APPEND);
  if (g_kernel_log_fd >= 0) fcntl(g_kernel_log_fd, F_SETFD, FD_CLOEXEC);
  unlink(node.c_str());
}

void kernel_log_write(int level, const char* format, ...) {
  (void)level;  // the message's own "<N>" prefix carries the level
  if (g_kernel_log_fd < 0) return;
  char buf[KERNEL_LOG_BUFFER_SIZE];
  va_list ap;
  va_start(ap, format);
  vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  buf[KERNEL_LOG_BUFFER_SIZE - 1] = '\0';
  ssize_t ignored = write(g_kernel_log_fd, buf, strlen(buf));
  (void)ignored;
}

void kernel_log_reset() {
  if (g_kernel_log_fd >= 0) close(g_kernel_log_fd);
  g_kernel_log_fd = -1;
}
