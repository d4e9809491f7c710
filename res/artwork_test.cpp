// The generated artwork: every image decodes through the program's own loader, the three
// kinds of PNG file are among them, and the sizes make a sound layout on each size class.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "screen/graphics.h"
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
TEST_F(ArtworkTest, SizesFitTheLayoutOfTheirScreen) {
  for (const Screen& s : kScreens) {
    SCOPED_TRACE(s.dir);
    SandboxOptions o = TestSandbox::default_options();
    o.width = s.w;
    o.height = s.h;
    TestSandbox sb("2026-12-09 07:05:00", "UTC", o);
    ASSERT_EQ(gr_init(), 0);
    ASSERT_STREQ(res_resolution_dir(s.w, s.h), (std::string(s.dir) + "/").c_str());
    alarm_load_images(IMAGE_GROUP_SCREEN);
    alarm_load_images(IMAGE_GROUP_CLOCK);
    for (int i = 0; i < 17; ++i) ASSERT_TRUE(i == 5 || g_surfaces[i] != nullptr) << i;
    auto w = [](int slot) { return static_cast<int>(g_surfaces[slot]->width); };
    auto h = [](int slot) { return static_cast<int>(g_surfaces[slot]->height); };

    const int icon_top = (s.h - h(0)) / 3;
    const int time_top = icon_top + h(0) + 30;
    const int time_bottom = time_top + h(IMAGE_SLOT_DIGIT0);
    const int buttons_top = s.h - h(4);
    const int gap = (s.w - 3 * w(4)) / 4;
    EXPECT_GE(icon_top, 0);
    EXPECT_LE(w(0), s.w);
    EXPECT_LT(time_bottom, buttons_top);  // the time clears the buttons
    EXPECT_LE(4 * w(IMAGE_SLOT_DIGIT0) + w(IMAGE_SLOT_DOT), s.w);
    EXPECT_GT(gap, 0);  // three buttons side by side with room between them
    EXPECT_GE(h(IMAGE_SLOT_DOT), h(IMAGE_SLOT_DIGIT0));
    for (int d = 1; d < 10; ++d) {
      EXPECT_EQ(w(IMAGE_SLOT_DIGIT0 + d), w(IMAGE_SLOT_DIGIT0));  // drawn at digit 0's size
      EXPECT_EQ(h(IMAGE_SLOT_DIGIT0 + d), h(IMAGE_SLOT_DIGIT0));
    }
    for (int label = 1; label <= 3; ++label) {
      EXPECT_EQ(w(label), w(1));  // all drawn with the snooze label's size
      EXPECT_EQ(h(label), h(1));
      EXPECT_LE(w(label), w(4));
      EXPECT_LE(h(label), h(4));
    }
    // The time takes a good part of the width, so it reads from a distance.
    EXPECT_GT(4 * w(IMAGE_SLOT_DIGIT0) + w(IMAGE_SLOT_DOT), s.w / 2);
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
