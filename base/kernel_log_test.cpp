#include "base/kernel_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "sandbox/platform_wrapper.h"
#include "sim/test_sandbox.h"

namespace {

// A platform whose policy refuses every device node, as Android's SELinux does.
class NoMknodPlatform : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  int make_kmsg_node(const char*) override {
    errno = EACCES;
    return -1;
  }
};

}  // namespace

TEST(KernelLog, MessagesReachTheLogAndTheNodeIsRemoved) {
  TestSandbox sb;
  kernel_log_open();
  ASSERT_GE(g_kernel_log_fd, 0);
  EXPECT_FALSE(sb.exists(KERNEL_LOG_NODE));
  EXPECT_EQ(fcntl(g_kernel_log_fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  kernel_log_write(3, "<3>alarm: secs = %d\n", 25200);
  kernel_log_write(6, "<6>alarm: no line end");
  EXPECT_EQ(sb.kmsg(), "<3>alarm: secs = 25200\n<6>alarm: no line end");
}

TEST(KernelLog, LongMessageIsCutTo511Characters) {
  TestSandbox sb;
  kernel_log_open();
  std::string label(600, 'x');
  kernel_log_write(3, "<3>alarm: ala = %s\n", label.c_str());
  std::string logged = sb.kmsg();
  ASSERT_EQ(logged.size(), 511u);
  EXPECT_EQ(logged.substr(0, 16), "<3>alarm: ala = ");
  EXPECT_EQ(logged.back(), 'x');
}

TEST(KernelLog, NothingIsWrittenBeforeTheLogIsOpen) {
  TestSandbox sb;
  kernel_log_write(3, "<3>alarm: too early\n");
  kernel_log_open();
  kernel_log_write(3, "<3>alarm: in time\n");
  EXPECT_EQ(sb.kmsg(), "<3>alarm: in time\n");
}

TEST(KernelLog, ANodeAlreadyPresentKeepsTheLogClosedAndStays) {
  TestSandbox sb;
  sb.write(KERNEL_LOG_NODE, "someone else's\n");
  kernel_log_open();
  EXPECT_EQ(g_kernel_log_fd, -1);
  kernel_log_write(3, "<3>alarm: lost\n");
  EXPECT_EQ(sb.kmsg(), "");
  EXPECT_EQ(sb.read(KERNEL_LOG_NODE), "someone else's\n");
}

TEST(KernelLog, ANodeTheSystemWillNotMakeGivesTheKernelsOwnDevice) {
  TestSandbox sb;
  NoMknodPlatform no_mknod(&sb.platform());
  set_platform(&no_mknod);
  kernel_log_open();
  set_platform(&sb.platform());
  ASSERT_GE(g_kernel_log_fd, 0);
  EXPECT_EQ(fcntl(g_kernel_log_fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  EXPECT_FALSE(sb.exists(KERNEL_LOG_NODE));
  kernel_log_write(3, "<3>alarm: delay file %s: %s\n", "/x", "Permission denied");
  EXPECT_EQ(sb.kmsg(), "<3>alarm: delay file /x: Permission denied\n");
}
