// Test helpers for the input modules: event devices in a sandbox and the native records
// written into them, as a driver would deliver them.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim/sandbox_builder.h"
#include "sim/test_sandbox.h"

inline struct input_event make_event(uint16_t type, uint16_t code, int32_t value) {
  struct input_event ev;
  memset(&ev, 0, sizeof ev);
  ev.type = type;
  ev.code = code;
  ev.value = value;
  return ev;
}

// Makes /dev/input/ENTRY a FIFO; a name, when given, goes where the sandbox keeps it
// (/sys/class/input/inputN/name for eventN).
inline void add_event_device(const TestSandbox& sb, const std::string& entry,
                             const std::string& name = "") {
  make_fifo(sb.path(("/dev/input/" + entry).c_str()));
  if (!name.empty() && entry.compare(0, 5, "event") == 0) {
    std::string dir = sb.path(("/sys/class/input/input" + entry.substr(5)).c_str());
    make_dirs(dir);
    write_file(dir + "/name", name + "\n");
  }
}

// Entries of /dev/input whose names begin with "event", in the order the directory gives.
inline std::vector<std::string> event_entries_in_directory_order(const TestSandbox& sb) {
  std::vector<std::string> out;
  DIR* d = opendir(sb.path("/dev/input").c_str());
  if (d == nullptr) return out;
  while (struct dirent* e = readdir(d)) {
    if (strncmp(e->d_name, "event", 5) == 0) out.push_back(e->d_name);
  }
  closedir(d);
  return out;
}

// True when the FIFO has a reader: the program opened it.
inline bool fifo_has_reader(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// The writing end of a device FIFO, as the driver side. Opening waits (up to a few seconds)
// until the program has the device open.
class DeviceWriter {
 public:
  explicit DeviceWriter(const std::string& path) {
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((fd_ = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0 &&
           std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ~DeviceWriter() { hang_up(); }
  DeviceWriter(const DeviceWriter&) = delete;
  DeviceWriter& operator=(const DeviceWriter&) = delete;

  bool is_open() const { return fd_ >= 0; }
  bool send(const struct input_event& ev) { return send_bytes(&ev, sizeof ev); }
  bool send(uint16_t type, uint16_t code, int32_t value) {
    return send(make_event(type, code, value));
  }
  bool send_bytes(const void* data, size_t len) {
    return fd_ >= 0 && write(fd_, data, len) == static_cast<ssize_t>(len);
  }
  void hang_up() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};
