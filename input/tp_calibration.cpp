#include "input/tp_calibration.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "input/input_devices.h"
#include "platform/platform.h"
#include "platform/unique_fd.h"

namespace {

constexpr size_t kNameBufferSize = 80;  // EVIOCGNAME is asked for one byte less
constexpr size_t kEntryNameSize = 32;   // the entry name is used up to 31 characters
constexpr char kSysfsInputDir[] = "/sys/class/input/input";
constexpr char kCalModeFile[] = "/cal_mode";
constexpr char kCalCoefFile[] = "/cal_coef";

// The name the device gives itself; empty when it gives none.
void read_device_name(int dir_fd, const std::string& dir_path, const char* entry,
                      char (&name)[kNameBufferSize]) {
  memset(name, 0, sizeof name);
  // Non-blocking: the sandbox's devices are FIFOs, which would wait here for a writer.
  UniqueFd fd(openat(dir_fd, entry, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return;
  std::string path = dir_path + "/" + entry;
  int n = platform().input_device_name(fd.get(), path.c_str(), name, sizeof name - 1);
  if (n <= 0) memset(name, 0, sizeof name);
  name[sizeof name - 1] = '\0';
}

// Writes `len` bytes of `text` to the control `file` in the touch screen's sysfs directory
// `dir` (a phone path), replacing what was there. 0, or -1 when it could not be written.
int write_control(const char* dir, const char* file, const char* text, size_t len) {
  char phone_path[TP_SYSFS_PATH_SIZE];
  int n = snprintf(phone_path, sizeof phone_path, "%s%s", dir, file);
  if (n < 0 || static_cast<size_t>(n) >= sizeof phone_path) return -1;
  std::string path = device_path(phone_path);
  // Non-blocking: a control that is a FIFO nobody reads fails instead of hanging start-up.
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666));
  if (fd.get() < 0) return -1;
  if (len == 0) return 0;
  ssize_t written = write(fd.get(), text, len);
  return written == static_cast<ssize_t>(len) ? 0 : -1;
}

// The stored coefficients, at most TP_COEF_MAX bytes, as text up to the first zero byte.
// False when the file is missing or cannot be read.
bool read_coefficients(char (&coef)[TP_COEF_MAX + 1], size_t* len) {
  memset(coef, 0, sizeof coef);
  *len = 0;
  std::string path = device_path(TP_COEF_PATH);
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return false;
  size_t got = 0;
  while (got < static_cast<size_t>(TP_COEF_MAX)) {
    ssize_t n = read(fd.get(), coef + got, TP_COEF_MAX - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  *len = strnlen(coef, got);
  return true;
}

}  // namespace

int find_touch_screen(char* sysfs_dir) {
  std::string dir_path = device_path(INPUT_DIR_PATH);
  UniqueDir dir(opendir(dir_path.c_str()));
  if (!dir) return -1;
  int dir_fd = dirfd(dir.get());
  while (struct dirent* entry = readdir(dir.get())) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    char name[kNameBufferSize];
    read_device_name(dir_fd, dir_path, entry->d_name, name);
    if (strcmp(name, TOUCH_SCREEN_NAME) != 0) continue;

    // The input number is the part of the entry name after its first letter t (event3: 3).
    char entry_name[kEntryNameSize];
    snprintf(entry_name, sizeof entry_name, "%.*s", static_cast<int>(kEntryNameSize - 1),
             entry->d_name);
    const char* t = strchr(entry_name, 't');
    if (t != nullptr && t[1] != '\0' && sysfs_dir != nullptr) {
      char path[TP_SYSFS_PATH_SIZE];
      int n = snprintf(path, sizeof path, "%s%s", kSysfsInputDir, t + 1);
      if (n > 0 && static_cast<size_t>(n) < sizeof path) memcpy(sysfs_dir, path, n + 1);
    }
    return 0;
  }
  return -1;
}

int set_cal_mode(int mode) {
  char dir[TP_SYSFS_PATH_SIZE] = {};
  find_touch_screen(dir);
  // Without a touch screen there is no directory: nothing is written at the root instead.
  if (dir[0] == '\0') return 1;
  const char* text = mode == 1 ? "1" : mode == 2 ? "2" : "0";
  return write_control(dir, kCalModeFile, text, 1) == 0 ? 0 : 1;
}

void load_tp_calibration() {
  char dir[TP_SYSFS_PATH_SIZE] = {};
  find_touch_screen(dir);
  if (dir[0] == '\0') return;
  char coef[TP_COEF_MAX + 1];
  size_t len = 0;
  bool have_coef = read_coefficients(coef, &len);
  set_cal_mode(1);
  if (have_coef) write_control(dir, kCalCoefFile, coef, len);
  set_cal_mode(0);
}
