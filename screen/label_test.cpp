#include "screen/label.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "screen/alarm_screen.h"
#include "screen/graphics.h"
#include "screen/layout_test_util.h"
#include "screen/resources.h"
#include "screen/text_input.h"
#include "sim/fb_capture.h"
#include "sim/test_sandbox.h"

namespace {

// 511 bytes: the most a record holds.
std::string longest(const std::string& piece) {
  std::string s;
  while (s.size() + piece.size() <= TEXT_MAX_BYTES) s += piece;
  return s;
}

const std::string kCombiningMarks = longest("\xCC\x81") + "a";  // 255 acute accents
const std::vector<std::string> kLabels = {
    "Flight",
    "Medikamente",
    "تمرين الصباح",
    "טיסה לאילת",
    "दवा लेना",
    "服药",
    "薬を飲む",
    longest("Medikamente nehmen "),
    kCombiningMarks,
    std::string("bad\xFF\xC0 utf-8\x01\x1B[2J\ttab"),
    "\xF0\x9F\x98\x80\xF0\x9F\x98\xB4 emoji",
};

SandboxOptions screen(int w, int h, int rotation) {
  SandboxOptions o = TestSandbox::default_options();
  o.width = w;
  o.height = h;
  o.bits_per_pixel = 32;
  o.rotation = rotation;
  return o;
}

void load_all() {
  alarm_load_images(IMAGE_GROUP_SCREEN);
  alarm_load_images(IMAGE_GROUP_CLOCK);
  alarm_load_images(IMAGE_GROUP_EMPTY);
}

// The screen as a person sees it (a turned panel's framebuffer holds it turned round).
FbCapture seen(const TestSandbox& sb, int rotation) {
  gr_present();
  FbCapture c;
  EXPECT_TRUE(fb_capture_shown(sb.path(FB_DEVICE_PATH), &c));
  if (rotation == 180) {
    FbCapture t = c;
    for (uint32_t y = 0; y < c.height; ++y) {
      for (uint32_t x = 0; x < c.width; ++x) {
        const uint8_t* from = c.pixel(c.width - 1 - x, c.height - 1 - y);
        std::copy(from, from + 4, t.rgba.begin() + (y * c.width + x) * 4);
      }
    }
    return t;
  }
  return c;
}

// Starts the screen of `sb` and draws the alarm screen without a label: what it shows.
FbCapture without_label(const TestSandbox& sb, int rotation) {
  EXPECT_EQ(gr_init(), 0);
  load_all();
  alarm_draw_screen(IMAGE_GROUP_SCREEN);
  return seen(sb, rotation);
}

struct Box {
  int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;  // x1, y1 exclusive
  int pixels = 0;
};

// Where two pictures differ.
Box difference(const FbCapture& a, const FbCapture& b) {
  Box d;
  for (uint32_t y = 0; y < a.height; ++y) {
    for (uint32_t x = 0; x < a.width; ++x) {
      if (std::equal(a.pixel(x, y), a.pixel(x, y) + 3, b.pixel(x, y))) continue;
      d.x0 = std::min(d.x0, static_cast<int>(x));
      d.y0 = std::min(d.y0, static_cast<int>(y));
      d.x1 = std::max(d.x1, static_cast<int>(x) + 1);
      d.y1 = std::max(d.y1, static_cast<int>(y) + 1);
      ++d.pixels;
    }
  }
  return d;
}

// The band a label may take, from the artwork's layout: below the time's digits, above the
// buttons, inside the margins.
struct Band {
  int left, right, top, bottom;
};
Band band_of(int w, int h) {
  const ScreenLayout* l = screen_layout(w, h);
  if (l == nullptr) l = screen_layout(480, 800);  // larger screens show the wvga artwork
  const int icon_y = (h - l->icon.h) / 3;
  const int time_bottom = icon_y + l->icon.h + 30 + l->digit_h;
  const int margin = w * LABEL_MARGIN_PER_MILLE / 1000;
  return {margin, w - margin, time_bottom, h - l->buttons[0].h};
}

struct Size {
  int w, h;
};
const Size kSizes[] = {{240, 320}, {320, 480}, {480, 800}, {1080, 1920}};

// On every screen size of the artwork, turned or not, a label changes only pixels of the
// band between the time and the buttons, within the margins: never the time or a button.
TEST(AlarmLabel, StaysInTheBandBetweenTheTimeAndTheButtonsOnEveryScreen) {
  if (test_artwork_dir().empty()) GTEST_SKIP() << "the artwork was not built";
  for (const Size& s : kSizes) {
    for (int rotation : {0, 180}) {
      SCOPED_TRACE(std::to_string(s.w) + "x" + std::to_string(s.h) + " turned " +
                   std::to_string(rotation));
      TestSandbox sb("2026-12-09 07:05:10", "UTC", screen(s.w, s.h, rotation));
      const FbCapture plain = without_label(sb, rotation);
      const Band band = band_of(s.w, s.h);
      ASSERT_LT(band.top, band.bottom);
      for (const std::string& label : kLabels) {
        SCOPED_TRACE(label.substr(0, 40));
        alarm_label_set(label.c_str());
        alarm_draw_screen(IMAGE_GROUP_SCREEN);
        Box d = difference(plain, seen(sb, rotation));
        EXPECT_GT(d.pixels, 20);  // something of it is drawn: letters or missing-glyph boxes
        EXPECT_GE(d.x0, band.left);
        EXPECT_LE(d.x1, band.right);
        EXPECT_GE(d.y0, band.top);
        EXPECT_LE(d.y1, band.bottom);
      }
      gr_reset();
      alarm_screen_reset();
    }
  }
}

TEST(AlarmLabel, AnEmptyLabelLeavesTheScreenAsItWas) {
  if (test_artwork_dir().empty()) GTEST_SKIP() << "the artwork was not built";
  TestSandbox sb("2026-12-09 07:05:10", "UTC", screen(480, 800, 0));
  const FbCapture plain = without_label(sb, 0);
  alarm_label_set("Flight");
  alarm_draw_screen(IMAGE_GROUP_SCREEN);
  EXPECT_GT(difference(plain, seen(sb, 0)).pixels, 0);
  for (const char* empty : {"", " \t\n", "\x01\x02"}) {
    alarm_label_set(empty);
    alarm_draw_screen(IMAGE_GROUP_SCREEN);
    EXPECT_EQ(difference(plain, seen(sb, 0)).pixels, 0) << "\"" << empty << "\"";
  }
  alarm_label_set(nullptr);
  alarm_draw_screen(IMAGE_GROUP_SCREEN);
  EXPECT_EQ(difference(plain, seen(sb, 0)).pixels, 0);
}

// Drawing the screen again (a snooze's end, a switch of alarm) reuses the layout.
TEST(AlarmLabel, IsLaidOutOncePerLabelAndScreen) {
  TestSandbox sb("2026-12-09 07:05:10", "UTC", screen(480, 800, 0));
  ASSERT_EQ(gr_init(), 0);
  load_all();
  alarm_label_set("Flight");
  alarm_draw_screen(IMAGE_GROUP_SCREEN);
  const LabelPicture* first = alarm_label_picture();
  ASSERT_NE(first, nullptr);
  const uint8_t* pixels = first->surface.data;
  const uint32_t width = first->surface.width;
  alarm_draw_screen(IMAGE_GROUP_SCREEN);
  alarm_label_set("Flight");
  alarm_draw_screen(IMAGE_GROUP_SCREEN);
  ASSERT_EQ(alarm_label_picture(), first);
  EXPECT_EQ(alarm_label_picture()->surface.data, pixels);
  alarm_label_set("Gym");
  alarm_draw_screen(IMAGE_GROUP_SCREEN);
  ASSERT_NE(alarm_label_picture(), nullptr);
  EXPECT_LT(alarm_label_picture()->surface.width, width);  // laid out afresh
}

// The label is a fixed share of the screen: on a 1080-pixel-wide screen it is as wide, for
// its width, as on a 480-pixel one.
TEST(LabelLayout, TheSameLabelTakesTheSameShareOfTheScreen) {
  TextFonts fonts(sandbox_host_fonts());
  LabelPicture small, large;
  ASSERT_TRUE(label_layout(fonts, "Medikamente", 11, 480, 800, 550, 700, &small));
  ASSERT_TRUE(label_layout(fonts, "Medikamente", 11, 1080, 1920, 923, 1820, &large));
  EXPECT_EQ(small.em, 480 * LABEL_EM_PER_MILLE / 1000);
  EXPECT_EQ(large.em, 1080 * LABEL_EM_PER_MILLE / 1000);
  const double share_small = small.surface.width / 480.0,
               share_large = large.surface.width / 1080.0;
  EXPECT_NEAR(share_small, share_large, 0.01);
  // Centred across the screen.
  EXPECT_NEAR(small.x + small.surface.width / 2.0, 240, 2);
  EXPECT_NEAR(large.x + large.surface.width / 2.0, 540, 2);
}

TEST(LabelLayout, AWiderLabelIsCutWithAnEllipsisToTheScreenLessItsMargins) {
  TextFonts fonts(sandbox_host_fonts());
  const int margin = 480 * LABEL_MARGIN_PER_MILLE / 1000;
  for (const std::string& text :
       {longest("Medikamente nehmen "), longest("تمرين الصباح "), longest("服药")}) {
    SCOPED_TRACE(text.substr(0, 30));
    LabelPicture p;
    ASSERT_TRUE(label_layout(fonts, text.data(), text.size(), 480, 800, 550, 700, &p));
    EXPECT_TRUE(p.cut);
    EXPECT_GE(p.x, margin);
    EXPECT_LE(p.x + static_cast<int>(p.surface.width), 480 - margin);
    // Cut at the last cluster with room, not long before.
    EXPECT_GT(static_cast<int>(p.surface.width), (480 - 2 * margin) * 85 / 100);
  }
  LabelPicture p;
  ASSERT_TRUE(label_layout(fonts, "Gym", 3, 480, 800, 550, 700, &p));
  EXPECT_FALSE(p.cut);
}

TEST(LabelLayout, NoTextNoFontOrNoRoomDrawsNothing) {
  TextFonts fonts(sandbox_host_fonts());
  LabelPicture p;
  EXPECT_FALSE(label_layout(fonts, "", 0, 480, 800, 550, 700, &p));
  EXPECT_FALSE(label_layout(fonts, "Gym", 3, 480, 800, 550, 552, &p));  // a band of 2 rows
  EXPECT_FALSE(label_layout(fonts, "Gym", 3, 480, 800, 700, 550, &p));  // upside down
  EXPECT_FALSE(p.drawn());
  TextFonts none({{"/nonexistent/font.ttf", 0}});
  EXPECT_FALSE(label_layout(none, "Gym", 3, 480, 800, 550, 700, &p));
}

}  // namespace
