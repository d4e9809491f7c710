#include "fuzz/fuzz_support.h"

#include <fcntl.h>
#include <ftw.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>

#include "base/kernel_log.h"
#include "platform/platform.h"
#include "sandbox/sandbox_clock.h"
#include "sandbox/sandbox_platform.h"

namespace {

std::string g_root;
std::unique_ptr<SandboxPlatform> g_sandbox;

[[noreturn]] void die(const char* what, const std::string& path) {
  fprintf(stderr, "fuzz sandbox: %s %s: %s\n", what, path.c_str(), strerror(errno));
  abort();
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

void remove_sandbox() {
  if (g_root.empty()) return;
  set_platform(nullptr);
  g_sandbox.reset();
  nftw(g_root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
  g_root.clear();
}

int64_t utc_epoch_us(const char* at) {
  struct tm tm = {};
  if (sscanf(at, "%d-%d-%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
             &tm.tm_sec) != 6) {
    fprintf(stderr, "fuzz sandbox: bad moment %s\n", at);
    abort();
  }
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return static_cast<int64_t>(timegm(&tm)) * 1000000;
}

}  // namespace

void fuzz_sandbox_init(const char* at) {
  if (!g_root.empty()) return;
  setenv("TZ", "UTC", 1);
  tzset();
  // Every input becomes a file write: a memory file system keeps that cheap.
  const char* tmp = getenv("TMPDIR");
  if (tmp == nullptr || tmp[0] == '\0') tmp = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string tmpl = std::string(tmp) + "/alarm-fuzz-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) die("cannot make", tmpl);
  g_root = tmpl;
  g_sandbox =
      std::make_unique<SandboxPlatform>(g_root, std::make_unique<ManualClock>(utc_epoch_us(at)));
  set_platform(g_sandbox.get());
  atexit(remove_sandbox);

  g_kernel_log_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (g_kernel_log_fd < 0) die("cannot open", "/dev/null");
}

int64_t fuzz_now_sec() {
  return read_clock().sec;
}

std::string fuzz_host_path(const char* phone_path) {
  return g_root + phone_path;
}

void fuzz_make_dir(const char* phone_dir) {
  std::string_view rest(phone_dir);
  std::string path = g_root;
  size_t pos = 0;
  while (pos < rest.size()) {
    size_t next = rest.find('/', pos + 1);
    if (next == std::string_view::npos) next = rest.size();
    path += rest.substr(pos, next - pos);
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) die("cannot make", path);
    pos = next;
  }
}

void fuzz_write_file(const char* phone_path, const void* data, size_t size) {
  std::string path = fuzz_host_path(phone_path);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) die("cannot write", path);
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) die("cannot write", path);
    p += n;
    size -= static_cast<size_t>(n);
  }
  close(fd);
}

void fuzz_fail(const char* file, int line, const char* what) {
  char message[512];
  snprintf(message, sizeof message, "invariant broken at %s:%d: %s", file, line, what);
  fprintf(stderr, "%s\n", message);
  // Also where the sanitizers report, which stays open when the fuzzer closes stderr.
  __sanitizer_report_error_summary(message);
  abort();
}
