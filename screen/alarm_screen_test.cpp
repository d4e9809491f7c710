#include "screen/alarm_screen.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "base/alarm_status.h"
#include "sandbox/platform_wrapper.h"
#include "screen/graphics.h"
#include "screen/layout_test_util.h"
#include "screen/png_test_util.h"
#include "screen/resources.h"
#include "sim/fb_capture.h"
#include "sim/test_sandbox.h"

namespace {

SandboxOptions options(int w, int h, int bpp, bool artwork, int rotation = 0) {
  SandboxOptions o = TestSandbox::default_options();
  if (!artwork) o.artwork_dir.clear();
  o.width = w;
  o.height = h;
  o.bits_per_pixel = bpp;
  o.rotation = rotation;
  return o;
}

// Solid test images in the size class of the screen, each of its own colour.
struct Colour {
  uint8_t r, g, b;
};
constexpr Colour kIcon{250, 10, 10}, kBg{10, 10, 250}, kSleep{10, 250, 10}, kStop{250, 250, 10},
    kPowerOn{10, 250, 250}, kDot{250, 10, 250};
Colour digit_colour(int d) {
  return {uint8_t(20 + d * 20), uint8_t(200 - d * 10), 128};
}

void put_image(const TestSandbox& sb, const char* dir, const std::string& name, int w, int h,
               Colour c) {
  std::string d = sb.path("/res/images/") + dir;
  make_dirs(d);
  ASSERT_TRUE(write_test_png(d + "/" + name + ".png", solid_png(w, h, c.r, c.g, c.b)));
}

// The sizes of the layout example: background 140 x 100, labels 100 x 40, icon 200 x 200,
// digits 40 wide, separator 20 wide.
void put_example_images(const TestSandbox& sb, const char* dir) {
  put_image(sb, dir, "icon_alarm", 200, 200, kIcon);
  put_image(sb, dir, "button_bg", 140, 100, kBg);
  put_image(sb, dir, "button_sleep", 100, 40, kSleep);
  put_image(sb, dir, "button_stop", 100, 40, kStop);
  put_image(sb, dir, "button_poweron", 100, 40, kPowerOn);
  for (int d = 0; d < 10; ++d) put_image(sb, dir, std::to_string(d), 40, 60, digit_colour(d));
  put_image(sb, dir, "dot", 20, 60, kDot);
}

void load_all() {
  alarm_load_images(IMAGE_GROUP_SCREEN);
  alarm_load_images(IMAGE_GROUP_CLOCK);
  alarm_load_images(IMAGE_GROUP_EMPTY);
}

FbCapture shot(const TestSandbox& sb) {
  FbCapture c;
  EXPECT_TRUE(fb_capture_shown(sb.path(FB_DEVICE_PATH), &c));
  return c;
}

bool is(const FbCapture& c, int x, int y, Colour want) {
  const uint8_t* p = c.pixel(static_cast<uint32_t>(x), static_cast<uint32_t>(y));
  return p[0] == want.r && p[1] == want.g && p[2] == want.b;
}

struct Rect {
  int w, h, x0, y0, x1, y1;
};
Rect rect(const ButtonRect& r) {
  return {r.width, r.height, r.x0, r.y0, r.x1, r.y1};
}
bool operator==(const Rect& a, const Rect& b) {
  return a.w == b.w && a.h == b.h && a.x0 == b.x0 && a.y0 == b.y0 && a.x1 == b.x1 && a.y1 == b.y1;
}
std::ostream& operator<<(std::ostream& o, const Rect& r) {
  return o << r.w << "x" << r.h << " (" << r.x0 << "," << r.y0 << ")-(" << r.x1 << "," << r.y1
           << ")";
}

TEST(AlarmScreenLayout, ExampleOn480By800) {
  TestSandbox sb("2026-12-09 07:05:00", "UTC", options(480, 800, 32, false));
  sb.open_kernel_log();
  put_example_images(sb, "wvga");
  ASSERT_EQ(gr_init(), 0);
  load_all();
  size_t before = sb.kmsg().size();
  alarm_draw_screen(IMAGE_GROUP_SCREEN);

  EXPECT_EQ(rect(g_left_pos), (Rect{140, 100, 15, 700, 155, 800}));
  EXPECT_EQ(rect(g_mid_pos), (Rect{140, 100, 170, 700, 310, 800}));
  EXPECT_EQ(rect(g_right_pos), (Rect{140, 100, 325, 700, 465, 800}));
  EXPECT_EQ(rect(g_s_left_pos), (Rect{100, 40, 35, 730, 0, 0}));
  EXPECT_EQ(rect(g_s_mid_pos), (Rect{100, 40, 190, 730, 0, 0}));
  EXPECT_EQ(rect(g_s_right_pos), (Rect{100, 40, 345, 730, 0, 0}));

  const std::string want =
      "<6>alarm: g_left_pos.y0: 700 g_left_pos.height: 100 g_s_left_pos.height:40\n"
      "<6>alarm: left.x0 = 15\n<6>alarm: left.y0 = 700\n<6>alarm: left.x1 = 155\n"
      "<6>alarm: left.y1 = 800\n<6>alarm: mid.x0 = 170\n<6>alarm: mid.y0 = 700\n"
      "<6>alarm: mid.x1 = 310\n<6>alarm: mid.y1 = 800\n<6>alarm: right.x0 = 325\n"
      "<6>alarm: right.y0 = 700\n<6>alarm: right.x1 = 465\n<6>alarm: right.y1 = 800\n"
      "<6>alarm: s_left.x0 = 35\n<6>alarm: s_left.y0 = 730\n<6>alarm: s_mid.x0 = 190\n"
      "<6>alarm: s_mid.y0 = 730\n<6>alarm: s_right.x0 = 345\n<6>alarm: s_right.y0 = 730\n"
      "<6>alarm: show time secs\n";
  EXPECT_EQ(sb.kmsg().substr(before), want);

  // Drawing never presents by itself.
  uint32_t yoffset = 0, yres_virtual = 0;
  ASSERT_TRUE(read_sandbox_fb_offset(sb.path(FB_DEVICE_PATH), &yoffset, &yres_virtual));
  EXPECT_EQ(yoffset, 0u);
  gr_present();
  FbCapture c = shot(sb);
  // The icon at (140, 200), its corners exactly there.
  EXPECT_TRUE(is(c, 140, 200, kIcon));
  EXPECT_TRUE(is(c, 339, 399, kIcon));
  EXPECT_TRUE(is(c, 139, 200, {0, 0, 0}));
  EXPECT_TRUE(is(c, 140, 199, {0, 0, 0}));
  EXPECT_TRUE(is(c, 340, 399, {0, 0, 0}));
  // Buttons and labels.
  EXPECT_TRUE(is(c, 15, 700, kBg));
  EXPECT_TRUE(is(c, 14, 700, {0, 0, 0}));
  EXPECT_TRUE(is(c, 464, 799, kBg));
  EXPECT_TRUE(is(c, 35, 730, kSleep));
  EXPECT_TRUE(is(c, 134, 769, kSleep));
  EXPECT_TRUE(is(c, 135, 769, kBg));
  EXPECT_TRUE(is(c, 190, 730, kStop));
  EXPECT_TRUE(is(c, 345, 730, kPowerOn));
  // The time, 07:05, from x = (480 - 20 - 160) / 2 = 150 with its top edge at 430.
  EXPECT_TRUE(is(c, 150, 430, digit_colour(0)));
  EXPECT_TRUE(is(c, 149, 430, {0, 0, 0}));
  EXPECT_TRUE(is(c, 150, 429, {0, 0, 0}));
  EXPECT_TRUE(is(c, 190, 430, digit_colour(7)));
  EXPECT_TRUE(is(c, 230, 430, kDot));
  EXPECT_TRUE(is(c, 250, 430, digit_colour(0)));
  EXPECT_TRUE(is(c, 290, 489, digit_colour(5)));
  EXPECT_TRUE(is(c, 330, 430, {0, 0, 0}));
}

// 07:05 in Berlin is 06:05 UTC: the digits follow local time.
TEST(AlarmScreenTime, DigitsShowTheLocalHourAndMinuteWithLeadingZeros) {
  struct Case {
    const char* at;
    const char* tz;
    int digits[4];
  };
  const Case cases[] = {{"2026-12-09 07:05:59", "Europe/Berlin", {0, 7, 0, 5}},
                        {"2026-12-09 23:59:00", "UTC", {2, 3, 5, 9}},
                        {"2026-12-09 00:00:00", "UTC", {0, 0, 0, 0}},
                        {"2026-12-09 12:34:00", "Asia/Kolkata", {1, 2, 3, 4}}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.at);
    TestSandbox sb(k.at, k.tz, options(480, 800, 32, false));
    put_example_images(sb, "wvga");
    ASSERT_EQ(gr_init(), 0);
    load_all();
    alarm_draw_time(100);
    gr_present();
    FbCapture c = shot(sb);
    const int xs[4] = {150, 190, 250, 290};
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(is(c, xs[i] + 20, 130, digit_colour(k.digits[i]))) << i;
    EXPECT_TRUE(is(c, 240, 130, kDot));
  }
}

TEST(AlarmScreenLayout, NarrowScreenHasANegativeGapAndClipsTheLeftButton) {
  TestSandbox sb("2026-12-09 07:05:00", "UTC", options(400, 800, 32, false));
  put_example_images(sb, "wvga");
  ASSERT_EQ(gr_init(), 0);
  load_all();
  alarm_draw_screen(IMAGE_GROUP_SCREEN);
  EXPECT_EQ(g_left_pos.x0, -5);  // (400 - 420) / 4 truncates to -5
  EXPECT_EQ(g_left_pos.x1, 135);
  EXPECT_EQ(g_mid_pos.x0, 130);
  EXPECT_EQ(g_right_pos.x0, 265);
  EXPECT_EQ(g_right_pos.x1, 405);
  EXPECT_EQ(g_s_left_pos.x0, 15);
  gr_present();
  FbCapture c = shot(sb);
  EXPECT_TRUE(is(c, 0, 700, kBg));
  EXPECT_TRUE(is(c, 399, 700, kBg));
}

TEST(AlarmScreenLayout, MissingImagesMeasureNothingAndTheScreenIsBlack) {
  TestSandbox sb("2026-12-09 07:05:00", "UTC", options(480, 800, 32, false));
  ASSERT_EQ(gr_init(), 0);
  load_all();
  gr_set_color(255, 255, 255, 255);
  gr_fill_rect(0, 0, 480, 800);
  alarm_draw_screen(IMAGE_GROUP_SCREEN);
  EXPECT_EQ(rect(g_left_pos), (Rect{0, 0, 120, 800, 120, 800}));  // gap = W / 4
  EXPECT_EQ(rect(g_mid_pos), (Rect{0, 0, 240, 800, 240, 800}));
  EXPECT_EQ(rect(g_right_pos), (Rect{0, 0, 360, 800, 360, 800}));
  gr_present();
  FbCapture c = shot(sb);
  for (uint32_t i = 0; i < c.width * c.height; ++i) ASSERT_EQ(c.rgba[i * 4], 0) << i;
}

TEST(AlarmScreenLayout, LabelsAreDrawnWithTheSnoozeLabelsSizeAndNeverReadPastTheirImage) {
  TestSandbox sb("2026-12-09 07:05:00", "UTC", options(480, 800, 32, false));
  put_example_images(sb, "wvga");
  put_image(sb, "wvga", "button_stop", 60, 20, kStop);         // smaller: drawn as far as it goes
  put_image(sb, "wvga", "button_poweron", 130, 50, kPowerOn);  // larger: cut to 100 x 40
  ASSERT_EQ(gr_init(), 0);
  load_all();
  alarm_draw_screen(IMAGE_GROUP_SCREEN);
  gr_present();
  FbCapture c = shot(sb);
  EXPECT_TRUE(is(c, 190 + 59, 730 + 19, kStop));
  EXPECT_TRUE(is(c, 190 + 60, 730, kBg));
  EXPECT_TRUE(is(c, 190, 730 + 20, kBg));
  EXPECT_TRUE(is(c, 345 + 99, 730 + 39, kPowerOn));
  EXPECT_TRUE(is(c, 345 + 100, 730, kBg));
  EXPECT_TRUE(is(c, 345, 730 + 40, kBg));
}

TEST(AlarmScreenCentered, GroupEighteenPaintsWhiteAndPresentsNothing) {
  TestSandbox sb("2026-12-09 07:05:00", "UTC", options(64, 48, 32, false));
  ASSERT_EQ(gr_init(), 0);
  alarm_show_centered_image(IMAGE_GROUP_EMPTY);
  uint32_t yoffset = 1, yres_virtual = 0;
  ASSERT_TRUE(read_sandbox_fb_offset(sb.path(FB_DEVICE_PATH), &yoffset, &yres_virtual));
  EXPECT_EQ(yoffset, 0u);
  EXPECT_TRUE(is(shot(sb), 10, 10, {0, 0, 0}));  // the display still shows what it had
  gr_present();
  EXPECT_TRUE(is(shot(sb), 10, 10, {255, 255, 255}));  // the back surface turned white
}

TEST(AlarmScreenCentered, AnImageIsCentredOnWhiteInBothBuffers) {
  TestSandbox sb("2026-12-09 07:05:00", "UTC", options(64, 48, 32, false));
  put_image(sb, "qvga", "icon_alarm", 10, 8, kIcon);
  ASSERT_EQ(gr_init(), 0);
  load_all();
  alarm_show_centered_image(0);
  FbCapture first = shot(sb);
  EXPECT_TRUE(is(first, 27, 20, kIcon));
  EXPECT_TRUE(is(first, 36, 27, kIcon));
  EXPECT_TRUE(is(first, 26, 20, {255, 255, 255}));
  EXPECT_TRUE(is(first, 37, 28, {255, 255, 255}));
  std::string bytes;
  ASSERT_TRUE(read_text_file(sb.path(FB_DEVICE_PATH), &bytes));
  const size_t buffer = 64 * 48 * 4;
  EXPECT_EQ(bytes.substr(0, buffer), bytes.substr(buffer, buffer));
}

// ---- the whole screen against a picture composed here ----

// The back surface the alarm screen should leave: black, then each image composited over it
// at its place, source over destination with the image's alpha.
std::vector<double> expected_screen(int w, int h) {
  std::vector<double> px(static_cast<size_t>(w) * h * 3, 0.0);
  auto put = [&](const gr_surface* s, int x0, int y0, int cw, int ch) {
    if (s == nullptr) return;
    for (int j = 0; j < ch && j < static_cast<int>(s->height); ++j) {
      for (int i = 0; i < cw && i < static_cast<int>(s->width); ++i) {
        int x = x0 + i, y = y0 + j;
        if (x < 0 || y < 0 || x >= w || y >= h) continue;
        const uint8_t* p = s->data + (j * s->stride + i) * 4;
        double a = s->format == GR_FORMAT_RGBX_8888 ? 1.0 : p[3] / 255.0;
        double* d = &px[(static_cast<size_t>(y) * w + x) * 3];
        for (int k = 0; k < 3; ++k) d[k] = p[k] * a + d[k] * (1 - a);
      }
    }
  };
  auto full = [&](const gr_surface* s, int x, int y) {
    if (s) put(s, x, y, s->width, s->height);
  };
  // The places, as written down for each screen size; the pictures, as loaded.
  const ScreenLayout* l = screen_layout(w, h);
  if (l == nullptr) {
    ADD_FAILURE() << "no layout written down for " << w << "x" << h;
    return px;
  }
  full(g_surfaces[0], l->icon.x, l->icon.y);
  for (int b = 0; b < 3; ++b) {
    full(g_surfaces[4], l->buttons[b].x, l->buttons[b].y);
    put(g_surfaces[1 + b], l->labels[b].x, l->labels[b].y, l->labels[b].w, l->labels[b].h);
  }
  const int hhmm[4] = {0, 7, 0, 5};
  for (int i = 0; i < 4; ++i) {
    put(g_surfaces[IMAGE_SLOT_DIGIT0 + hhmm[i]], l->digit_x[i], l->time_y, l->digit_w, l->digit_h);
  }
  put(g_surfaces[IMAGE_SLOT_DOT], l->dot_x, l->time_y, l->dot_w, l->digit_h);
  return px;
}

// Compares the display with the expected picture (turned when the panel is turned); the
// worst difference of any channel.
double worst_difference(const FbCapture& c, const std::vector<double>& want, bool turned,
                        bool rgb565) {
  double worst = 0;
  int w = static_cast<int>(c.width), h = static_cast<int>(c.height);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      int sx = turned ? w - 1 - x : x, sy = turned ? h - 1 - y : y;
      const double* e = &want[(static_cast<size_t>(sy) * w + sx) * 3];
      const uint8_t* got = c.pixel(x, y);
      for (int k = 0; k < 3; ++k) {
        double expect = e[k];
        if (rgb565) {
          // What the display can show of it: 5 or 6 bits, widened again.
          int bits = k == 1 ? 6 : 5, top = (1 << bits) - 1;
          int q = static_cast<int>(std::lround(expect * top / 255));
          expect = (q << (8 - bits)) | (q >> (2 * bits - 8));
        }
        worst = std::max(worst, std::fabs(got[k] - expect));
      }
    }
  }
  return worst;
}

TEST(AlarmScreenShot, WholeScreenMatchesTheComposedPicture) {
  if (test_artwork_dir().empty()) GTEST_SKIP() << "the artwork was not built";
  struct Case {
    int w, h, bpp, rotation;
    double tolerance;
  };
  const Case cases[] = {{480, 800, 32, 0, 1.0},
                        {480, 800, 32, 180, 1.0},
                        {320, 480, 16, 0, 9.0},
                        {320, 480, 16, 180, 9.0},
                        {240, 320, 32, 180, 1.0}};
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.w) + "x" + std::to_string(k.h) + "x" + std::to_string(k.bpp) +
                 " turned " + std::to_string(k.rotation));
    TestSandbox sb("2026-12-09 07:05:10", "UTC", options(k.w, k.h, k.bpp, true, k.rotation));
    ASSERT_EQ(gr_init(), 0);
    load_all();
    for (int s = 0; s < 17; ++s) ASSERT_TRUE(s == 5 || g_surfaces[s] != nullptr) << s;
    alarm_draw_screen(IMAGE_GROUP_SCREEN);
    gr_present();
    FbCapture c = shot(sb);
    const char* keep = getenv("ALARM_KEEP_SCREENSHOTS");
    if (keep != nullptr) {
      fb_capture_write_png(c, std::string(keep) + "/alarm_screen_" + std::to_string(k.w) + "x" +
                                  std::to_string(k.h) + "_" + std::to_string(k.rotation) + ".png");
    }
    EXPECT_LE(worst_difference(c, expected_screen(k.w, k.h), k.rotation == 180, k.bpp == 16),
              k.tolerance);
  }
}

// ---- the refresh thread ----

class RefreshTest : public ::testing::Test {
 protected:
  RefreshTest() : sb("2026-12-09 07:05:00", "UTC", options(64, 48, 32, false)) {}

  uint32_t yoffset() const {
    uint32_t y = 0, v = 0;
    EXPECT_TRUE(read_sandbox_fb_offset(sb.path(FB_DEVICE_PATH), &y, &v));
    return y;
  }
  std::string buffer(int n) const {
    std::string bytes;
    EXPECT_TRUE(read_text_file(sb.path(FB_DEVICE_PATH), &bytes));
    return bytes.substr(static_cast<size_t>(n) * 64 * 48 * 4, 64 * 48 * 4);
  }
  // Waits (real time, bounded) until `done` holds.
  template <typename F>
  bool eventually(F done) {
    for (int i = 0; i < 4000; ++i) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
  }
  void fill(uint8_t v) {
    gr_set_color(v, v, v, 255);
    gr_fill_rect(0, 0, 64, 48);
  }
  void stop_thread() {
    g_alarm_status.state = ALARM_STATE_OFF;
    gr_drawing_event().post();
    EXPECT_TRUE(eventually([] { return refresh_thread_count() == 0; }));
  }

  TestSandbox sb;
};

// Counts the presents: each one switches the shown buffer.
class PresentCounter : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  int fb_put_variable_info(int fd, const fb_var_screeninfo* info) override {
    presents.fetch_add(1);
    return PlatformWrapper::fb_put_variable_info(fd, info);
  }
  std::atomic<int> presents{0};
};

TEST_F(RefreshTest, EveryDrawingReachesBothBuffersAndAnUnchangedScreenIsNotCopied) {
  PresentCounter counter(&sb.platform());
  set_platform(&counter);
  // However the test ends, the thread ends before the counter goes.
  std::shared_ptr<void> restore(nullptr, [this](void*) {
    stop_thread();
    set_platform(&sb.platform());
  });
  ASSERT_EQ(gr_init(), 0);
  fill(40);
  const int before = counter.presents.load();
  g_alarm_status.state = ALARM_STATE_RINGING;
  ASSERT_EQ(platform().create_thread(refreshen_screen), 0);
  auto all = [](const std::string& b, uint8_t v) {
    for (size_t i = 0; i < b.size(); i += 4) {
      if (static_cast<uint8_t>(b[i]) != v) return false;
    }
    return true;
  };
  // Each drawing is presented twice, once into each buffer, and then no more while nothing
  // is drawn.
  EXPECT_TRUE(eventually([&] { return all(buffer(0), 40) && all(buffer(1), 40); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_EQ(counter.presents.load() - before, 2);

  fill(200);
  EXPECT_TRUE(eventually([&] { return all(buffer(0), 200) && all(buffer(1), 200); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_EQ(counter.presents.load() - before, 4);
}

TEST_F(RefreshTest, AScreenDrawnWhileTheThreadRunsIsShownWhole) {
  put_image(sb, "qvga", "icon_alarm", 16, 16, kIcon);
  put_image(sb, "qvga", "button_bg", 16, 10, kBg);
  for (const char* label : {"button_sleep", "button_stop", "button_poweron"}) {
    put_image(sb, "qvga", label, 12, 6, kSleep);
  }
  for (int d = 0; d < 10; ++d) put_image(sb, "qvga", std::to_string(d), 6, 8, digit_colour(d));
  put_image(sb, "qvga", "dot", 3, 8, kDot);
  ASSERT_EQ(gr_init(), 0);
  load_all();
  g_alarm_status.state = ALARM_STATE_RINGING;
  ASSERT_EQ(platform().create_thread(refreshen_screen), 0);
  for (int round = 0; round < 20; ++round) {
    gr_clear_screen();
    alarm_draw_screen(IMAGE_GROUP_SCREEN);
  }
  // Once settled, both buffers hold the finished alarm screen.
  EXPECT_TRUE(eventually([&] { return buffer(0) == buffer(1) && is(shot(sb), 24, 10, kIcon); }));
  FbCapture c = shot(sb);
  EXPECT_TRUE(is(c, g_mid_pos.x0, g_mid_pos.y0, kBg));
  EXPECT_TRUE(is(c, 24, 10, kIcon));
  EXPECT_TRUE(is(c, 0, 0, {0, 0, 0}));
  stop_thread();
}

TEST_F(RefreshTest, StateOffBeforeTheStartPresentsNothing) {
  ASSERT_EQ(gr_init(), 0);
  fill(90);
  g_alarm_status.state = ALARM_STATE_OFF;
  refreshen_screen(nullptr);  // returns at once
  EXPECT_EQ(yoffset(), 0u);
  EXPECT_EQ(refresh_thread_count(), 0);
  EXPECT_EQ(static_cast<uint8_t>(buffer(1)[0]), 0);
}

TEST_F(RefreshTest, TheThreadLeavesWhenTheStateTurnsOff) {
  ASSERT_EQ(gr_init(), 0);
  g_alarm_status.state = ALARM_STATE_DELAY;  // any state but 0 keeps it going
  ASSERT_EQ(platform().create_thread(refreshen_screen), 0);
  EXPECT_TRUE(eventually([] { return refresh_thread_count() == 1; }));
  gr_drawing_event().post();
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(refresh_thread_count(), 1);
  stop_thread();
}

}  // namespace
