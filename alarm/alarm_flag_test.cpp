#include "alarm/alarm_flag.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "sim/sandbox_builder.h"
#include "sim/test_sandbox.h"

namespace {

constexpr char kRing[] = "/res/sounds/default_ring.mp3";

void write_flag(const TestSandbox& sb, const std::string& text) {
  sb.write(ALARM_FLAG_PATH, text);
}

}  // namespace

TEST(AlarmFlag, FiveFieldsGiveMinutesAsSecondsAndTheRingPath) {
  TestSandbox sb;
  write_flag(sb, "alarm_flag 1 3 /res/sounds/default_ring.mp3 10\n");
  const char* ring = read_alarm_flag();
  ASSERT_NE(ring, nullptr);
  EXPECT_EQ(ring, g_alarm_ring_path);
  EXPECT_STREQ(g_alarm_ring_path, kRing);  // the phone path; the ring player maps it
  EXPECT_EQ(g_alarm_last_time, 180);
  EXPECT_EQ(g_alarm_delay_time, 600);
}

TEST(AlarmFlag, BeforeTheFileIsReadTheDefaultsHold) {
  TestSandbox sb;
  EXPECT_STREQ(g_alarm_ring_path, DEFAULT_RING_PATH);
  EXPECT_EQ(g_alarm_last_time, 0);
  EXPECT_EQ(g_alarm_delay_time, 0);
}

TEST(AlarmFlag, AnEmptyFileGivesTheDefaultSoundAndOneMinuteEach) {
  TestSandbox sb;
  write_flag(sb, "");
  EXPECT_EQ(read_alarm_flag(), nullptr);
  EXPECT_EQ(g_alarm_ring_path, nullptr);  // the ring player's own default sound
  EXPECT_EQ(g_alarm_last_time, 60);
  EXPECT_EQ(g_alarm_delay_time, 60);
}

TEST(AlarmFlag, FourFieldsTakeTheRingPathAndASnoozeOfOneMinute) {
  TestSandbox sb;
  write_flag(sb, "x y 2 /res/sounds/default_ring.mp3");
  EXPECT_STREQ(read_alarm_flag(), kRing);
  EXPECT_EQ(g_alarm_last_time, 120);
  EXPECT_EQ(g_alarm_delay_time, 60);
}

TEST(AlarmFlag, ZeroOrNonNumericMinutesMeanOneMinute) {
  TestSandbox sb;
  write_flag(sb, "x y 0 /res/sounds/default_ring.mp3 ten");
  read_alarm_flag();
  EXPECT_EQ(g_alarm_last_time, 60);
  EXPECT_EQ(g_alarm_delay_time, 60);
}

TEST(AlarmFlag, LargeValuesAreUsedAsTheyCome) {
  TestSandbox sb;
  write_flag(sb, "x y 70 /res/sounds/default_ring.mp3 36");
  read_alarm_flag();
  EXPECT_EQ(g_alarm_last_time, 4200);
  EXPECT_EQ(g_alarm_delay_time, 2160);
}

TEST(AlarmFlag, MinutesBeyond32BitSecondsGiveTheLargestPeriod) {
  TestSandbox sb;
  write_flag(sb, "x y 99999999999 /res/sounds/default_ring.mp3 4294967296");
  read_alarm_flag();
  EXPECT_GT(g_alarm_last_time, 2000000000);  // never negative, never wrapped to 0
  EXPECT_GT(g_alarm_delay_time, 2000000000);
}

TEST(AlarmFlag, RunsOfSeparatorsCountAsOne) {
  TestSandbox sb;
  write_flag(sb, "\n\n  \talarm_flag\t\t1 \n\n 4\t \n/res/sounds/default_ring.mp3\n\n\n   7\n\n");
  EXPECT_STREQ(read_alarm_flag(), kRing);
  EXPECT_EQ(g_alarm_last_time, 240);
  EXPECT_EQ(g_alarm_delay_time, 420);
}

TEST(AlarmFlag, OnlyTheFirst300BytesAreRead) {
  TestSandbox sb;
  std::string text = std::string(100, 'a') + " " + std::string(100, 'b') + " 2 " + kRing + " ";
  text += std::string(297 - text.size(), ' ');
  text += "12345 and more";
  ASSERT_EQ(text.find("12345"), 297u);
  write_flag(sb, text);
  EXPECT_STREQ(read_alarm_flag(), kRing);
  EXPECT_EQ(g_alarm_last_time, 120);
  EXPECT_EQ(g_alarm_delay_time, 123 * 60);  // the field cut after its third byte
}

TEST(AlarmFlag, ARingPathThatDoesNotExistIsLoggedAndDropped) {
  TestSandbox sb;
  sb.open_kernel_log();
  write_flag(sb, "x y 2 /sdcard/gone.mp3 3");
  EXPECT_EQ(read_alarm_flag(), nullptr);
  EXPECT_EQ(g_alarm_ring_path, nullptr);
  EXPECT_EQ(g_alarm_last_time, 120);
  EXPECT_EQ(g_alarm_delay_time, 180);
  std::string log = sb.kmsg();
  EXPECT_EQ(log.find("<3>alarm: "), 0u);
  EXPECT_NE(log.find("/sdcard/gone.mp3"), std::string::npos);
}

TEST(AlarmFlag, ARelativeRingPathIsDropped) {
  TestSandbox sb;
  sb.open_kernel_log();
  sb.write("/productinfo/tone.mp3", "tone");
  // Present in the working directory of the test, which is no place on the phone.
  ASSERT_TRUE(write_file("tone.mp3", "tone"));
  write_flag(sb, "x y 1 tone.mp3 1");
  EXPECT_EQ(read_alarm_flag(), nullptr);
  EXPECT_EQ(g_alarm_ring_path, nullptr);
  EXPECT_NE(sb.kmsg().find("<3>alarm: ring file tone.mp3: not a full path\n"), std::string::npos);
  unlink("tone.mp3");
}

TEST(AlarmFlag, TheRingPathIsLookedForInTheSandbox) {
  TestSandbox sb;
  make_dirs(sb.path("/sdcard"));
  sb.write("/sdcard/mine.mp3", "tone");
  write_flag(sb, "x y 1 /sdcard/mine.mp3 1");
  EXPECT_STREQ(read_alarm_flag(), "/sdcard/mine.mp3");
}

TEST(AlarmFlag, AMissingFileKeepsTheDefaultSoundAndRingsAndSnoozesAMinute) {
  TestSandbox sb;
  sb.open_kernel_log();
  unlink(sb.path(ALARM_FLAG_PATH).c_str());
  EXPECT_EQ(read_alarm_flag(), nullptr);
  EXPECT_STREQ(g_alarm_ring_path, DEFAULT_RING_PATH);
  EXPECT_EQ(g_alarm_last_time, 60);
  EXPECT_EQ(g_alarm_delay_time, 60);
  EXPECT_EQ(sb.kmsg(), std::string("<3>alarm: ") + ALARM_FLAG_PATH +
                           " open error: " + strerror(ENOENT) + "\n");
}

TEST(AlarmFlag, AFileThatCannotBeReadIsLikeAMissingOne) {
  TestSandbox sb;
  // A directory opens but does not read.
  unlink(sb.path(ALARM_FLAG_PATH).c_str());
  mkdir(sb.path(ALARM_FLAG_PATH).c_str(), 0755);
  EXPECT_EQ(read_alarm_flag(), nullptr);
  EXPECT_STREQ(g_alarm_ring_path, DEFAULT_RING_PATH);
  EXPECT_EQ(g_alarm_last_time, 60);
  EXPECT_EQ(g_alarm_delay_time, 60);
}

// Root may write any file, so the read-only case runs in a child that has given up root:
// a file it may only read is read, one it may not read at all gives the defaults.
TEST(AlarmFlag, AReadOnlyFileIsReadAndAnUnreadableOneGivesTheDefaults) {
  TestSandbox sb;
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to another user";
  chmod(sb.root().c_str(), 0755);
  write_flag(sb, "x y 2 /res/sounds/default_ring.mp3 3");
  std::string flag = sb.path(ALARM_FLAG_PATH);
  chmod(flag.c_str(), 0444);

  auto in_child_as_nobody = [&](int mode) {
    chmod(flag.c_str(), mode);
    pid_t pid = fork();
    if (pid == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
      alarm_flag_reset();
      const char* ring = read_alarm_flag();
      if (mode == 0444) {
        _exit(ring != nullptr && strcmp(ring, kRing) == 0 && g_alarm_last_time == 120 &&
                      g_alarm_delay_time == 180
                  ? 0
                  : 11);
      }
      _exit(ring == nullptr && g_alarm_ring_path != nullptr &&
                    strcmp(g_alarm_ring_path, DEFAULT_RING_PATH) == 0 && g_alarm_last_time == 60 &&
                    g_alarm_delay_time == 60
                ? 0
                : 12);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(in_child_as_nobody(0444), 0);
  EXPECT_EQ(in_child_as_nobody(0000), 0);
}

TEST(AlarmFlag, TheTextReadIsPrintedToStandardOutput) {
  TestSandbox sb;
  write_flag(sb, "a b 1 /res/sounds/default_ring.mp3 1");
  testing::internal::CaptureStdout();
  read_alarm_flag();
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            std::string(ALARM_FLAG_PATH) + " get: a b 1 /res/sounds/default_ring.mp3 1\n");
}
