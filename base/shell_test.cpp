#include "base/shell.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "sandbox/platform_wrapper.h"
#include "sim/sandbox_builder.h"
#include "sim/test_sandbox.h"

namespace {

WallTime seconds_ahead(int secs) {
  return wall_time_from_us(wall_time_us(read_clock()) + int64_t{secs} * 1000000);
}

std::string run_and_read(const std::string& command, int* status = nullptr) {
  ShellJob job;
  if (!job.start(command.c_str())) return "<not started>";
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = read(job.output(), buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  int s = job.finish(seconds_ahead(5));
  if (status != nullptr) *status = s;
  return out;
}

int run(const std::string& command) {
  ShellJob job;
  if (!job.start(command.c_str())) return -1;
  return job.finish(seconds_ahead(5));
}

bool process_exists(pid_t pid) {
  return kill(pid, 0) == 0;
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

TEST(Shell, FinishWaitsAndGivesTheWaitStatus) {
  TestSandbox sb;
  int status = run("touch " + sb.path("/ran") + "; exit 3");
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
  run("true");
  EXPECT_EQ(sb.read("/shell_args"), "-c|true|");
}

TEST(Shell, AFailingForkStartsNothing) {
  TestSandbox sb;
  NoForkPlatform no_fork(&sb.platform());
  set_platform(&no_fork);
  ShellJob job;
  EXPECT_FALSE(job.start("echo hi"));
  EXPECT_FALSE(job.started());
  EXPECT_EQ(job.output(), -1);
  EXPECT_EQ(job.finish(seconds_ahead(1)), -1);
  set_platform(&sb.platform());
}

TEST(Shell, AMissingShellGivesExitStatus127) {
  TestSandbox sb;
  unlink(sb.path(SHELL_PATH).c_str());
  int status = -1;
  EXPECT_EQ(run_and_read("echo hi", &status), "");
  EXPECT_EQ(WEXITSTATUS(status), 127);
  EXPECT_EQ(WEXITSTATUS(run("true")), 127);
}

TEST(Shell, ACommandThatOverstaysItsDeadlineIsEndedWithWhatItStarted) {
  TestSandbox sb;
  ShellJob job;
  ASSERT_TRUE(job.start(("sleep 1000 & echo $! > " + sb.path("/child") + "; wait").c_str()));
  int64_t before = read_clock().sec;
  EXPECT_EQ(job.finish(seconds_ahead(3)), -1);
  EXPECT_GE(read_clock().sec - before, 3);  // the clock reached the deadline
  pid_t child = atoi(sb.read("/child").c_str());
  ASSERT_GT(child, 0);
  // Killed with its group; it is reaped by init, so it may linger a moment as a zombie.
  for (int i = 0; i < 100 && process_exists(child); ++i) {
    std::string stat;
    if (read_text_file("/proc/" + std::to_string(child) + "/stat", &stat) &&
        stat.find(") Z ") != std::string::npos) {
      break;
    }
    usleep(10000);
  }
  std::string stat;
  EXPECT_TRUE(!read_text_file("/proc/" + std::to_string(child) + "/stat", &stat) ||
              stat.find(") Z ") != std::string::npos)
      << stat;
}

TEST(Shell, TheOwnerEndsACommandStillRunning) {
  TestSandbox sb;
  pid_t pid = -1;
  {
    ShellJob job;
    ASSERT_TRUE(job.start("echo $$ > /dev/stdout; sleep 1000"));
    char buf[32] = {};
    ASSERT_GT(read(job.output(), buf, sizeof buf - 1), 0);
    pid = atoi(buf);
    EXPECT_FALSE(job.try_finish());
  }
  EXPECT_FALSE(process_exists(pid));  // ended and reaped
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
