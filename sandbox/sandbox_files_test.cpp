#include "sandbox/sandbox_files.h"

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sandbox/sandbox_platform.h"
#include "sim/test_sandbox.h"

TEST(SandboxFiles, EachRecordReadsBackAsWrittenAndDamagedOnesAreRefused) {
  TestSandbox sb;
  SandboxPoweroff off;
  off.at_us = 1796796012003456;
  off.synced = true;
  ASSERT_TRUE(write_sandbox_poweroff(sb.root(), off));
  SandboxPoweroff back;
  ASSERT_TRUE(read_sandbox_poweroff(sb.root(), &back));
  EXPECT_EQ(back.at_us, off.at_us);
  EXPECT_TRUE(back.synced);
  sb.write(SANDBOX_POWEROFF_RECORD, "soon\n");
  EXPECT_FALSE(read_sandbox_poweroff(sb.root(), &back));

  std::string console = sb.path("/dev/tty0");
  EXPECT_EQ(read_sandbox_console_mode(console), "");
  ASSERT_TRUE(write_sandbox_console_mode(console, true));
  EXPECT_EQ(read_sandbox_console_mode(console), "graphics");

  PlayerStart start;
  start.pid = 41;
  start.parent_pid = 40;
  start.at_us = 1796796021250000;
  start.args = "/res/sounds/a_ring.mp3 two\nlines";
  std::string line = format_player_start(start);
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line, whatever the arguments hold";
  PlayerStart got;
  ASSERT_TRUE(parse_player_start(line, &got));
  EXPECT_EQ(got.pid, 41);
  EXPECT_EQ(got.parent_pid, 40);
  EXPECT_EQ(got.at_us, start.at_us);
  EXPECT_EQ(got.args, "/res/sounds/a_ring.mp3 two_lines");
  EXPECT_FALSE(parse_player_start("start 41 /res/sounds/a_ring.mp3\n", &got));
  long ms = 0;
  ASSERT_TRUE(parse_player_reply(format_player_reply(2500), &ms));
  EXPECT_EQ(ms, 2500);
  EXPECT_FALSE(parse_player_reply("play -1\n", &ms));

  std::string log = format_sqlite_log_entry({5000000, "read", "delayed 2.5"}) + "garbage\n" +
                    format_sqlite_log_entry({7500000, "update", "held"});
  std::vector<SqliteLogEntry> entries = parse_sqlite_log(log);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].at_us, 5000000);
  EXPECT_EQ(entries[0].state, "delayed 2.5");
  EXPECT_EQ(entries[1].kind, "update");
  EXPECT_EQ(entries[1].state, "held");
}

TEST(SandboxEnvironment, TheWakeMomentAndTheFaultsReachTheProgramsPlatform) {
  SandboxEnvironment env;
  env.root = "/nonexistent/sandbox";
  env.start_us = 1796796000000000;
  env.mono_start_ns = 5;  // long ago: the clock has run on since
  env.speed = 1e-9;       // ...so slowly that it still reads its start
  env.wake_us = env.start_us - 35 * 1000000;
  env.faults = "poweroff-returns,thread-fail:2";
  env.slow = {{env.start_us + 1000000, env.start_us + 3000000, 5},
              {env.start_us + 9000000, env.start_us + 9500000, 2.5}};
  std::vector<std::string> entries = sandbox_environment_entries(env);
  ASSERT_EQ(entries.size(), 3u);
  for (const std::string& e : entries) {
    size_t eq = e.find('=');
    setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
  }
  std::unique_ptr<SandboxPlatform> p = SandboxPlatform::from_environment();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->root(), env.root);
  EXPECT_EQ(p->seconds_since_boot(), 35);
  SandboxEnvironment read;
  ASSERT_TRUE(read_sandbox_environment(&read));
  EXPECT_EQ(read.faults, env.faults);
  ASSERT_EQ(read.slow.size(), 2u);
  EXPECT_EQ(read.slow[0].speed, 5);
  EXPECT_EQ(read.slow[1].speed, 2.5);
  EXPECT_EQ(read.slow[1].from_us, env.start_us + 9000000);
  EXPECT_EQ(read.slow[1].to_us, env.start_us + 9500000);

  // A clock of three fields (an older simulator's) woke at its start.
  setenv(SANDBOX_CLOCK_ENV, "1796796000000000 5 1e-9", 1);
  ASSERT_TRUE(read_sandbox_environment(&read));
  EXPECT_EQ(read.wake_us, read.start_us);
  setenv(SANDBOX_CLOCK_ENV, "1796796000000000 5 0", 1);
  EXPECT_FALSE(read_sandbox_environment(&read));
  for (const char* name : {SANDBOX_ROOT_ENV, SANDBOX_CLOCK_ENV, SANDBOX_FAULTS_ENV}) unsetenv(name);
}
