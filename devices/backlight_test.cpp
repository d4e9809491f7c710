#include "devices/backlight.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "sim/test_sandbox.h"

namespace {

void set_level(int level) {
  snprintf(g_lcd_brightness, sizeof g_lcd_brightness, "%d", level);
}

}  // namespace

TEST(Backlight, OnWritesTheLevelAndOffWritesZero) {
  TestSandbox sb;
  sb.open_kernel_log();
  set_level(25);
  sb.write(BACKLIGHT_PATH, "255\n");
  EXPECT_EQ(set_backlight("off"), 0);
  EXPECT_EQ(sb.read(BACKLIGHT_PATH), "0");
  EXPECT_EQ(g_lcd_off, 1);
  EXPECT_EQ(set_backlight("on"), 0);
  EXPECT_EQ(sb.read(BACKLIGHT_PATH), "25");  // exactly two characters, old text truncated
  EXPECT_EQ(g_lcd_off, 0);
  EXPECT_EQ(sb.kmsg(), "<6>alarm: set backlight to 0\n<6>alarm: set backlight to 25\n");
}

TEST(Backlight, FailuresAreReportedButTheFlagFollowsTheRequest) {
  TestSandbox sb;
  sb.open_kernel_log();
  set_level(25);
  unlink(sb.path(BACKLIGHT_PATH).c_str());
  EXPECT_EQ(set_backlight("off"), -1);
  EXPECT_EQ(g_lcd_off, 1);
  EXPECT_FALSE(sb.exists(BACKLIGHT_PATH));  // never created
  EXPECT_EQ(sb.kmsg(), "<3>alarm: can't set  brightness\n");

  ASSERT_EQ(symlink("/dev/full", sb.path(BACKLIGHT_PATH).c_str()), 0);
  EXPECT_EQ(set_backlight("on"), -1);
  EXPECT_EQ(g_lcd_off, 0);
  EXPECT_EQ(sb.kmsg(),
            "<3>alarm: can't set  brightness\n<6>alarm: set backlight to 25\n"
            "<3>alarm: write brightness failed\n");
}

TEST(Backlight, AnyOtherArgumentWritesNothing) {
  TestSandbox sb;
  sb.open_kernel_log();
  set_level(25);
  sb.write(BACKLIGHT_PATH, "7");
  ASSERT_EQ(set_backlight("off"), 0);
  sb.write(BACKLIGHT_PATH, "7");
  for (const char* arg : {"ON", "of", "offf", "on ", "", "1"}) {
    EXPECT_EQ(set_backlight(arg), -1) << arg;
  }
  EXPECT_EQ(set_backlight(nullptr), -1);
  EXPECT_EQ(sb.read(BACKLIGHT_PATH), "7");
  EXPECT_EQ(g_lcd_off, 1);
  EXPECT_EQ(sb.kmsg(), "<6>alarm: set backlight to 0\n");
}
