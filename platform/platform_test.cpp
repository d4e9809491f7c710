#include "platform/platform.h"

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

std::string boot_property(const char* cmdline, const char* name) {
  char value[BOOT_PROPERTY_VALUE_SIZE];
  int len = kernel_cmdline_property(cmdline, name, value);
  EXPECT_EQ(len, static_cast<int>(std::string(value).size()));
  return value;
}

}  // namespace

// A Linux without Android's property store reads the boot properties as Android's init sets
// them from the kernel command line.
TEST(KernelCmdlineProperty, BootModeAndBootPropertiesComeFromAndroidbootWords) {
  const char* line = "console=ttyS0 androidboot.mode=alarm quiet androidboot.hardware=qemu\n";
  EXPECT_EQ(boot_property(line, "ro.bootmode"), "alarm");
  EXPECT_EQ(boot_property(line, "ro.boot.mode"), "alarm");
  EXPECT_EQ(boot_property(line, "ro.boot.hardware"), "qemu");  // the line end is not the value's
  EXPECT_EQ(boot_property(line, "ro.boot.console"), "");
  EXPECT_EQ(boot_property(line, "console"), "");
  EXPECT_EQ(boot_property(line, "ro.sf.hwrotation"), "");
  EXPECT_EQ(boot_property("androidboot.modex=alarm mode=alarm", "ro.bootmode"), "");
  EXPECT_EQ(boot_property("androidboot.mode= androidboot.mode=alarm", "ro.bootmode"), "");
  EXPECT_EQ(boot_property("androidboot.mode=alarm androidboot.mode=charger", "ro.bootmode"),
            "alarm");
  EXPECT_EQ(boot_property("", "ro.bootmode"), "");
  EXPECT_EQ(boot_property("androidboot.mode=alarm", "ro.boot."), "");
}

TEST(KernelCmdlineProperty, ValueTooLongForTheStoreIsRefused) {
  std::string line = "androidboot.serialno=" + std::string(BOOT_PROPERTY_VALUE_SIZE - 1, 'x');
  EXPECT_EQ(boot_property(line.c_str(), "ro.boot.serialno").size(), BOOT_PROPERTY_VALUE_SIZE - 1);
  line += "x androidboot.serialno=short";
  EXPECT_EQ(boot_property(line.c_str(), "ro.boot.serialno"), "short");
}

// The phone's waits, on this machine's real clocks: a post ends a wait at once, the wall
// clock's deadline ends it no earlier than the deadline, a post made before the wait is kept.
TEST(PhoneWait, APostEndsAWaitWithoutADeadline) {
  Platform* phone = Platform::Default();
  WakeEvent event;
  std::thread poster([&event] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    event.post();
  });
  EXPECT_TRUE(phone->wait_event(event, WAIT_FOREVER));
  poster.join();
  EXPECT_FALSE(event.take());  // consumed by the wait
}

TEST(PhoneWait, TheWallClocksDeadlineEndsAWaitNotBefore) {
  Platform* phone = Platform::Default();
  WakeEvent event;
  WallTime now;
  ASSERT_EQ(phone->wall_time(&now), 0);
  WallTime deadline = wall_time_from_us(wall_time_us(now) + 30000);
  EXPECT_FALSE(phone->wait_event(event, deadline));
  WallTime after;
  ASSERT_EQ(phone->wall_time(&after), 0);
  EXPECT_GE(wall_time_us(after), wall_time_us(deadline));
  // A deadline already past ends it at once.
  EXPECT_FALSE(phone->wait_event(event, now));
}

TEST(PhoneWait, APostBeforeTheWaitIsKeptAndAStaleOneDoesNotEndTheNext) {
  Platform* phone = Platform::Default();
  WakeEvent event;
  event.post();
  EXPECT_TRUE(phone->wait_event(event, WAIT_FOREVER));
  WallTime now;
  ASSERT_EQ(phone->wall_time(&now), 0);
  // The post was taken: the next wait lasts to its deadline.
  EXPECT_FALSE(phone->wait_event(event, wall_time_from_us(wall_time_us(now) + 10000)));
}
