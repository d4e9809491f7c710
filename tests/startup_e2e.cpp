// Start-up through alarm-sim: the boot-mode check and the alarm initialisation.
#include <gtest/gtest.h>

#include "tests/e2e_support.h"

TEST(StartupScenario, NotAnAlarmBootEndsAtOnce) {
  for (const char* mode : {"normal", "charger", "Alarm"}) {
    E2eSandbox sb;
    sb.set_property("ro.bootmode", mode);
    SimResult r = sb.run({"--at", "2026-12-09 06:59:40", "--speed", "1", "--until", "30"});
    EXPECT_EQ(r.exit_status(), 0) << mode;
    EXPECT_EQ(r.kmsg, "<3>alarm: not power off alarm\n") << mode;
    EXPECT_FALSE(r.powered_off());
    EXPECT_EQ(r.player_runs(), 0);
    EXPECT_TRUE(r.outcome["rtc_alarm_param"].is_null());
    EXPECT_NE(r.stdout_text.find(std::string("alarm_prop: ") + mode + "\n"), std::string::npos);
  }
}

TEST(StartupScenario, EmptyAlarmTableFailsTheInitialisation) {
  E2eSandbox sb;
  SimResult r = sb.run({"--at", "2026-12-09 06:59:40", "--speed", "1", "--until", "30"});
  EXPECT_EQ(r.exit_status(), 245);
  EXPECT_NE(r.kmsg.find("<3>alarm: alarm init failed\n"), std::string::npos);
  EXPECT_EQ(r.player_runs(), 0);
  EXPECT_FALSE(r.powered_off());
}
