// The generated artwork: every image decodes through the program's own loader, the three
// kinds of PNG file are among them, and the sizes make a sound layout on each size class.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

#include "screen/graphics.h"
#include "screen/layout_test_util.h"
#include "screen/resources.h"
#include "sim/test_sandbox.h"

namespace {

const char* const kNames[] = {"icon_alarm",  "button_sleep",
                              "button_stop", "button_poweron",
                              "button_bg",   "0",
                              "1",           "2",
                              "3",           "4",
                              "5",           "6",
                              "7",           "8",
                              "9",           "dot"};

struct Screen {
  const char* dir;
  int w, h;
};
const Screen kScreens[] = {{"qvga", 240, 320}, {"hvga", 320, 480}, {"wvga", 480, 800}};

class ArtworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test_artwork_dir().empty()) GTEST_SKIP() << "the artwork was not built";
  }
  // The colour type byte of a PNG file's header.
  static int colour_type(const std::string& path) {
    std::string bytes;
    if (!read_text_file(path, &bytes) || bytes.size() < 26) return -1;
    return static_cast<uint8_t>(bytes[25]);
  }
  static bool interlaced(const std::string& path) {
    std::string bytes;
    return read_text_file(path, &bytes) && bytes.size() > 28 && bytes[28] == 1;
  }
};

TEST_F(ArtworkTest, EveryImageDecodesAndTheFileKindsAreCovered) {
  TestSandbox sb;
  std::set<int> kinds;
  bool any_interlaced = false;
  for (const Screen& s : kScreens) {
    for (const char* name : kNames) {
      SCOPED_TRACE(std::string(s.dir) + "/" + name);
      std::string file = test_artwork_dir() + "/" + s.dir + "/" + name + ".png";
      int type = colour_type(file);
      kinds.insert(type);
      any_interlaced = any_interlaced || interlaced(file);
      gr_surface* img = nullptr;
      ASSERT_EQ(res_create_surface((std::string(s.dir) + "/" + name).c_str(), &img), 0);
      EXPECT_EQ(img->format, type == 2 ? GR_FORMAT_RGBX_8888 : GR_FORMAT_RGBA_8888);
      // Not blank: some pixel is bright and visible.
      bool lit = false;
      for (uint32_t i = 0; i < img->width * img->height && !lit; ++i) {
        const uint8_t* p = img->data + i * 4;
        lit = p[3] > 128 && p[0] + p[1] + p[2] > 300;
      }
      EXPECT_TRUE(lit);
      res_release_surface(img);
    }
  }
  EXPECT_EQ(kinds, (std::set<int>{2, 3, 6}));  // RGB, palette, RGBA
  EXPECT_TRUE(any_interlaced);
}

// On its own screen each class's images make the layout of the alarm screen: the icon and
// the time above the buttons, nothing off the screen, each label inside its button.
// Each screen's pictures have the sizes its layout was written down for, and that layout
// fits: the time between the icon and the buttons, three buttons side by side, each label on
// its button.
TEST_F(ArtworkTest, SizesFitTheLayoutOfTheirScreen) {
  for (const ScreenLayout& l : kScreenLayouts) {
    SCOPED_TRACE(l.group);
    SandboxOptions o = TestSandbox::default_options();
    o.width = l.width;
    o.height = l.height;
    TestSandbox sb("2026-12-09 07:05:00", "UTC", o);
    ASSERT_EQ(gr_init(), 0);
    ASSERT_STREQ(res_resolution_dir(l.width, l.height), (std::string(l.group) + "/").c_str());
    alarm_load_images(IMAGE_GROUP_SCREEN);
    alarm_load_images(IMAGE_GROUP_CLOCK);
    for (int i = 0; i < 17; ++i) ASSERT_TRUE(i == 5 || g_surfaces[i] != nullptr) << i;
    auto size = [](int slot) {
      return std::make_pair(static_cast<int>(g_surfaces[slot]->width),
                            static_cast<int>(g_surfaces[slot]->height));
    };
    EXPECT_EQ(size(0), std::make_pair(l.icon.w, l.icon.h));
    for (int b = 0; b < 3; ++b) {
      EXPECT_EQ(size(4), std::make_pair(l.buttons[b].w, l.buttons[b].h));
      EXPECT_EQ(size(1 + b), std::make_pair(l.labels[b].w, l.labels[b].h));
      const LayoutRect& bg = l.buttons[b];
      const LayoutRect& label = l.labels[b];
      EXPECT_TRUE(label.x >= bg.x && label.x + label.w <= bg.x + bg.w && label.y >= bg.y &&
                  label.y + label.h <= bg.y + bg.h);
      EXPECT_LE(bg.x + bg.w, b < 2 ? l.buttons[b + 1].x : l.width);
    }
    for (int d = 0; d < 10; ++d) {
      EXPECT_EQ(size(IMAGE_SLOT_DIGIT0 + d), std::make_pair(l.digit_w, l.digit_h));
    }
    EXPECT_EQ(size(IMAGE_SLOT_DOT), std::make_pair(l.dot_w, l.digit_h));
    EXPECT_GE(l.time_y, l.icon.y + l.icon.h);
    EXPECT_LT(l.time_y + l.digit_h, l.buttons[0].y);
    EXPECT_GE(l.digit_x[0], 0);
    EXPECT_LE(l.digit_x[3] + l.digit_w, l.width);
    // The time takes a good part of the width, so it reads from a distance.
    EXPECT_GT(l.digit_x[3] + l.digit_w - l.digit_x[0], l.width / 2);
  }
}

// Each digit is its own picture, and the icon's corners are transparent.
TEST_F(ArtworkTest, DigitsDifferAndTheIconIsCutOut) {
  TestSandbox sb;
  ASSERT_EQ(gr_init(), 0);
  alarm_load_images(IMAGE_GROUP_SCREEN);
  alarm_load_images(IMAGE_GROUP_CLOCK);
  std::set<std::string> seen;
  for (int d = 0; d < 10; ++d) {
    const gr_surface* s = g_surfaces[IMAGE_SLOT_DIGIT0 + d];
    ASSERT_NE(s, nullptr);
    seen.insert(std::string(reinterpret_cast<const char*>(s->data), s->width * s->height * 4));
  }
  EXPECT_EQ(seen.size(), 10u);
  const gr_surface* icon = g_surfaces[0];
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(icon->data[3], 0);  // top-left corner
  EXPECT_EQ(icon->data[(icon->width * icon->height / 2 + icon->width / 2) * 4 + 3], 255);
}

}  // namespace
