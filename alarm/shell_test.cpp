#include "alarm/shell.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/platform_wrapper.h"
#include "sim/sandbox_builder.h"
#include "sim/test_sandbox.h"

namespace {

std::string read_all(FILE* f) {
  std::string out;
  char buf[256];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  return out;
}

std::string run_and_read(const std::string& command, int* status = nullptr) {
  pid_t pid = -1;
  FILE* f = shell_popen(command.c_str(), &pid);
  if (f == nullptr) return "<not started>";
  std::string out = read_all(f);
  int s = shell_pclose(f, pid);
  if (status != nullptr) *status = s;
  return out;
}

class NoForkPlatform : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  pid_t fork_process() override { return -1; }
};

}  // namespace

TEST(Shell, ACommandsOutputIsReadFromThePipe) {
  TestSandbox sb;
  int status = -1;
  EXPECT_EQ(run_and_read("echo one; echo two", &status), "one\ntwo\n");
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Shell, SystemWaitsAndGivesTheWaitStatus) {
  TestSandbox sb;
  int status = shell_system(("touch " + sb.path("/ran") + "; exit 3").c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_TRUE(sb.exists("/ran"));
}

TEST(Shell, ThePhonesShellIsRunWithDashC) {
  TestSandbox sb;
  std::string sh = sb.path(SHELL_PATH);
  unlink(sh.c_str());
  write_file(
      sh, "#!/bin/sh\nprintf '%s|' \"$@\" > " + sb.path("/shell_args") + "\nexec /bin/sh \"$@\"\n");
  chmod(sh.c_str(), 0755);
  EXPECT_EQ(run_and_read("echo hi"), "hi\n");
  EXPECT_EQ(sb.read("/shell_args"), "-c|echo hi|");
  shell_system("true");
  EXPECT_EQ(sb.read("/shell_args"), "-c|true|");
}

TEST(Shell, AFailingForkStartsNothing) {
  TestSandbox sb;
  NoForkPlatform no_fork(&sb.platform());
  set_platform(&no_fork);
  pid_t pid = 12345;
  EXPECT_EQ(shell_popen("echo hi", &pid), nullptr);
  EXPECT_EQ(pid, 12345);
  EXPECT_EQ(shell_system("true"), -1);
  set_platform(&sb.platform());
}

TEST(Shell, AMissingShellGivesExitStatus127) {
  TestSandbox sb;
  unlink(sb.path(SHELL_PATH).c_str());
  int status = -1;
  EXPECT_EQ(run_and_read("echo hi", &status), "");
  EXPECT_EQ(WEXITSTATUS(status), 127);
  EXPECT_EQ(WEXITSTATUS(shell_system("true")), 127);
}

TEST(Shell, TheCommandInheritsNoDescriptorOfOurs) {
  TestSandbox sb;
  int ours = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(ours, 0);
  // The pipe's write end is the command's standard output only once: the read end and the
  // original write end stay behind.
  std::string script = "[ -e /proc/$$/fd/" + std::to_string(ours) +
                       " ] && echo leaked || echo closed; one=$(readlink /proc/$$/fd/1); n=0; "
                       "for f in /proc/$$/fd/*; do [ \"$(readlink $f)\" = \"$one\" ] && "
                       "n=$((n+1)); done; echo $n";
  EXPECT_EQ(run_and_read(script), "closed\n1\n");
  close(ours);
}

TEST(Shell, WorksWhenTheStandardDescriptorsAreClosed) {
  TestSandbox sb;
  fflush(stdout);
  int saved_in = dup(STDIN_FILENO);
  int saved_out = dup(STDOUT_FILENO);
  close(STDIN_FILENO);
  close(STDOUT_FILENO);
  std::string out = run_and_read("echo through the pipe");
  dup2(saved_in, STDIN_FILENO);
  dup2(saved_out, STDOUT_FILENO);
  close(saved_in);
  close(saved_out);
  EXPECT_EQ(out, "through the pipe\n");
}

TEST(Shell, OnlyPlainWordsMayStandUnquoted) {
  EXPECT_TRUE(shell_word_is_plain("/tmp/alarm-test-Ab3_x/system/xbin/sqlite3"));
  EXPECT_TRUE(shell_word_is_plain("/data/data/com.android.deskclock/databases/alarms.db"));
  for (const char* w :
       {"", "/a b", "/a;b", "/a$b", "/a\"b", "/a'b", "/a`b", "/a|b", "/a\nb", "/a*b", "/a(b"}) {
    EXPECT_FALSE(shell_word_is_plain(w)) << w;
  }
}
