#include "devices/control_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

ControlFile::ControlFile(const char* path) : fd_(open(path, O_RDWR | O_TRUNC | O_CLOEXEC)) {}

ControlFile::~ControlFile() {
  if (fd_ >= 0) close(fd_);
}

bool ControlFile::write_text(const char* text) {
  if (fd_ < 0) return false;
  size_t len = strlen(text);
  ssize_t n;
  do {
    n = write(fd_, text, len);
  } while (n < 0 && errno == EINTR);
  return n >= 0;
}
