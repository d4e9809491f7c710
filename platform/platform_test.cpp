#include "platform/platform.h"

#include <string>

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
