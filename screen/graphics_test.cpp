#include "screen/graphics.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "sim/fb_capture.h"
#include "sim/test_sandbox.h"

namespace {

SandboxOptions screen_options(int w, int h, int bpp) {
  SandboxOptions o = TestSandbox::default_options();
  o.artwork_dir.clear();
  o.width = w;
  o.height = h;
  o.bits_per_pixel = bpp;
  return o;
}

struct Shown {
  uint32_t yoffset = 0;
  uint32_t yres_virtual = 0;
};

Shown shown(const TestSandbox& sb) {
  Shown s;
  EXPECT_TRUE(read_sandbox_fb_offset(sb.path(FB_DEVICE_PATH), &s.yoffset, &s.yres_virtual));
  return s;
}

FbCapture capture(const TestSandbox& sb) {
  FbCapture c;
  EXPECT_TRUE(fb_capture_shown(sb.path(FB_DEVICE_PATH), &c));
  return c;
}

bool rgb_at(const FbCapture& c, uint32_t x, uint32_t y, uint8_t r, uint8_t g, uint8_t b) {
  const uint8_t* p = c.pixel(x, y);
  return p[0] == r && p[1] == g && p[2] == b;
}

std::string fb_bytes(const TestSandbox& sb) {
  std::string bytes;
  EXPECT_TRUE(read_text_file(sb.path(FB_DEVICE_PATH), &bytes));
  return bytes;
}

// Rewrites the sandbox device: its geometry, and a file of `file_bytes` filled with 0xEE.
void reshape_framebuffer(const TestSandbox& sb, uint32_t line_length, uint32_t smem_len,
                         size_t file_bytes, uint32_t w = 48, uint32_t h = 20) {
  SandboxFbGeometry g;
  g.xres = w;
  g.yres = h;
  g.bits_per_pixel = 32;
  g.line_length = line_length;
  g.smem_len = smem_len;
  ASSERT_TRUE(write_sandbox_fb_geometry(sb.path(FB_DEVICE_PATH), g));
  ASSERT_TRUE(write_file(sb.path(FB_DEVICE_PATH), std::string(file_bytes, '\xEE')));
}

// True once the thread `tid` (set by the thread itself) sleeps, within ten seconds.
bool sleeps_soon(const std::atomic<pid_t>& tid) {
  for (int i = 0; i < 10000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
    std::string stat;
    if (tid == 0 || !read_text_file("/proc/self/task/" + std::to_string(tid) + "/stat", &stat)) {
      continue;
    }
    if (stat.compare(stat.rfind(')') + 1, 3, " S ") == 0) return true;
  }
  return false;
}

void fill(uint8_t r, uint8_t g, uint8_t b) {
  gr_set_color(r, g, b, 255);
  gr_fill_rect(0, 0, gr_screen_width(), gr_screen_height());
}

TEST(GraphicsDevice, ThirtyTwoBitsShowBufferZeroAfterInit) {
  TestSandbox sb("2026-12-09 06:59:40", "UTC", screen_options(480, 800, 32));
  ASSERT_EQ(gr_init(), 0);
  EXPECT_EQ(gr_screen_width(), 480);
  EXPECT_EQ(gr_screen_height(), 800);
  Shown s = shown(sb);
  EXPECT_EQ(s.yoffset, 0u);
  EXPECT_EQ(s.yres_virtual, 1600u);
  EXPECT_EQ(sb.read("/dev/tty0.mode"), "graphics\n");

  fill(10, 20, 30);
  gr_present();
  EXPECT_EQ(shown(sb).yoffset, 800u);  // the first present fills and shows buffer 1
  std::string bytes = fb_bytes(sb);
  const size_t buffer = 480 * 800 * 4;
  EXPECT_EQ(bytes.substr(buffer, 4), std::string("\x0a\x14\x1e\xff", 4));
  EXPECT_EQ(bytes.substr(2 * buffer - 4, 4), std::string("\x0a\x14\x1e\xff", 4));
  EXPECT_EQ(bytes.substr(0, 4), std::string(4, '\0'));  // buffer 0 untouched

  gr_present();
  EXPECT_EQ(shown(sb).yoffset, 0u);
  gr_present();
  EXPECT_EQ(shown(sb).yoffset, 800u);
}

TEST(GraphicsDevice, SixteenBitsGiveRgb565WithTwoBytesAPixel) {
  TestSandbox sb("2026-12-09 06:59:40", "UTC", screen_options(320, 480, 16));
  ASSERT_EQ(gr_init(), 0);
  fill(255, 255, 255);
  gr_set_color(255, 0, 0, 255);
  gr_fill_rect(1, 0, 2, 1);
  gr_present();
  std::string bytes = fb_bytes(sb);
  ASSERT_EQ(bytes.size(), 320u * 480 * 2 * 2);
  const size_t buffer = 320 * 480 * 2;
  EXPECT_EQ(bytes.substr(buffer, 6), std::string("\xff\xff\x00\xf8\xff\xff", 6));
  EXPECT_EQ(bytes.substr(2 * buffer - 2), std::string("\xff\xff", 2));
  FbCapture c = capture(sb);
  EXPECT_TRUE(rgb_at(c, 0, 0, 255, 255, 255));
  EXPECT_TRUE(rgb_at(c, 1, 0, 255, 0, 0));
}

// A framebuffer that keeps red at bit 16 (XRGB 8888, as most are) or BGR 565 gets the
// colours as drawn, turned or not: the program reads the order from the device.
TEST(GraphicsDevice, ADeviceWithRedAndBlueSwappedShowsTheColoursDrawn) {
  for (int bpp : {32, 16}) {
    for (const char* rotation : {"0", "180"}) {
      SCOPED_TRACE(std::to_string(bpp) + " bits, rotation " + rotation);
      SandboxOptions o = screen_options(40, 30, bpp);
      o.red_blue_swapped = true;
      o.rotation = atoi(rotation);
      TestSandbox sb("2026-12-09 06:59:40", "UTC", o);
      ASSERT_EQ(gr_init(), 0);
      fill(0, 0, 255);
      gr_set_color(255, 0, 0, 255);
      gr_fill_rect(0, 0, 1, 1);
      gr_present();
      FbCapture c = capture(sb);
      const uint32_t red_x = o.rotation == 180 ? 39 : 0, red_y = o.rotation == 180 ? 29 : 0;
      EXPECT_TRUE(rgb_at(c, red_x, red_y, 255, 0, 0));
      EXPECT_TRUE(rgb_at(c, 39 - red_x, 29 - red_y, 0, 0, 255));
      // The device's own bytes of the red pixel: B, G, R, A or, for BGR 565, red at the low end.
      const size_t at =
          (bpp == 32 ? 40 * 30 * 4 : 40 * 30 * 2) + (red_y * 40 + red_x) * (bpp == 32 ? 4 : 2);
      EXPECT_EQ(fb_bytes(sb).substr(at, bpp == 32 ? 4 : 2),
                bpp == 32 ? std::string("\x00\x00\xff\xff", 4) : std::string("\x1f\x00", 2));
      gr_reset();
    }
  }
}

TEST(GraphicsDevice, ClearScreenShowsBlackAndAdvancesTheShownBuffer) {
  TestSandbox sb("2026-12-09 06:59:40", "UTC", screen_options(64, 48, 32));
  ASSERT_EQ(gr_init(), 0);
  fill(200, 200, 200);
  gr_present();
  ASSERT_TRUE(rgb_at(capture(sb), 5, 5, 200, 200, 200));
  gr_clear_screen();
  EXPECT_EQ(shown(sb).yoffset, 0u);
  FbCapture c = capture(sb);
  for (uint32_t y = 0; y < c.height; ++y) {
    for (uint32_t x = 0; x < c.width; ++x) ASSERT_TRUE(rgb_at(c, x, y, 0, 0, 0)) << x << "," << y;
  }
}

// Only the first three characters count: "1800" turns, "90" does not.
TEST(GraphicsRotation, ValuesBeginningWith180TurnThePicture) {
  struct Case {
    const char* value;  // null: unset
    bool turned;
  };
  const Case cases[] = {{nullptr, false}, {"0", false},  {"90", false},
                        {"270", false},   {"180", true}, {"1800", true}};
  for (int bpp : {32, 16}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.value ? c.value : "unset") + " at " + std::to_string(bpp));
      TestSandbox sb("2026-12-09 06:59:40", "UTC", screen_options(40, 30, bpp));
      std::string props = "ro.bootmode=alarm\n";
      if (c.value != nullptr) props += std::string("ro.sf.hwrotation=") + c.value + "\n";
      sb.write("/default.prop", props);
      ASSERT_EQ(gr_init(), 0);
      fill(0, 0, 0);
      gr_set_color(255, 0, 0, 255);
      gr_fill_rect(0, 0, 1, 1);  // top-left
      gr_set_color(0, 0, 255, 255);
      gr_fill_rect(1, 0, 2, 1);  // its right neighbour
      gr_present();
      FbCapture shot = capture(sb);
      if (c.turned) {
        EXPECT_TRUE(rgb_at(shot, 39, 29, 255, 0, 0));
        EXPECT_TRUE(rgb_at(shot, 38, 29, 0, 0, 255));
        EXPECT_TRUE(rgb_at(shot, 0, 0, 0, 0, 0));
      } else {
        EXPECT_TRUE(rgb_at(shot, 0, 0, 255, 0, 0));
        EXPECT_TRUE(rgb_at(shot, 1, 0, 0, 0, 255));
        EXPECT_TRUE(rgb_at(shot, 39, 29, 0, 0, 0));
      }
    }
  }
}

TEST(GraphicsDevice, WithoutTheConsoleStartUpStillSucceeds) {
  TestSandbox sb("2026-12-09 06:59:40", "UTC", screen_options(32, 24, 32));
  unlink(sb.path(CONSOLE_PATH).c_str());
  ASSERT_EQ(gr_init(), 0);
  EXPECT_FALSE(sb.exists("/dev/tty0.mode"));
  fill(1, 2, 3);
  gr_present();
  EXPECT_TRUE(rgb_at(capture(sb), 0, 0, 1, 2, 3));
}

TEST(GraphicsDevice, WithoutTheFramebufferInitFailsAndTheConsoleGoesBackToText) {
  TestSandbox sb("2026-12-09 06:59:40", "UTC", screen_options(32, 24, 32));
  unlink(sb.path(FB_DEVICE_PATH).c_str());
  testing::internal::CaptureStderr();
  EXPECT_EQ(gr_init(), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("cannot open fb0: "), std::string::npos) << err;
  EXPECT_EQ(sb.read("/dev/tty0.mode"), "text\n");
  EXPECT_EQ(gr_screen_width(), 0);
  // Everything after a failed start does nothing.
  fill(1, 1, 1);
  gr_present();
  gr_clear_screen();
  gr_blit_surface(nullptr, 0, 0, 10, 10, 0, 0);
  EXPECT_FALSE(sb.exists(FB_DEVICE_PATH));
}

TEST(GraphicsDevice, UnreadableGeometryFailsInit) {
  TestSandbox sb("2026-12-09 06:59:40", "UTC", screen_options(32, 24, 32));
  unlink((sb.path(FB_DEVICE_PATH) + ".info").c_str());
  testing::internal::CaptureStderr();
  EXPECT_EQ(gr_init(), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("failed to get fb0 info"),
            std::string::npos);
  EXPECT_EQ(sb.read("/dev/tty0.mode"), "text\n");
}

// A memory that holds one screen but not two: one buffer, shown all the time, and not a
// byte written past it.
TEST(GraphicsDevice, ShortMemoryIsDrivenWithOneBuffer) {
  TestSandbox sb("2026-12-09 06:59:40", "UTC", screen_options(32, 24, 32));
  const uint32_t line = 48 * 4, buffer = line * 20;
  reshape_framebuffer(sb, line, buffer + buffer / 2, buffer + buffer / 2);
  ASSERT_EQ(gr_init(), 0);
  fill(9, 8, 7);
  gr_present();
  gr_present();
  gr_clear_screen();
  fill(9, 8, 7);
  gr_present();
  Shown s = shown(sb);
  EXPECT_EQ(s.yoffset, 0u);
  std::string bytes = fb_bytes(sb);
  ASSERT_EQ(bytes.size(), buffer + buffer / 2);
  EXPECT_EQ(bytes.substr(buffer - 4, 4), std::string("\x09\x08\x07\xff", 4));
  EXPECT_EQ(bytes.substr(buffer), std::string(buffer / 2, '\xEE'));
  EXPECT_TRUE(rgb_at(capture(sb), 47, 19, 9, 8, 7));
}

// The device claims memory for two screens, but its file is shorter: a write past the file
// would fault, so the program must go by what is really there.
TEST(GraphicsDevice, MemoryShorterThanClaimedIsNotOverrun) {
  TestSandbox sb("2026-12-09 06:59:40", "UTC", screen_options(32, 24, 32));
  const uint32_t line = 48 * 4, buffer = line * 20;
  reshape_framebuffer(sb, line, 2 * buffer, buffer);
  ASSERT_EQ(gr_init(), 0);
  fill(1, 2, 3);
  gr_present();
  gr_present();
  EXPECT_EQ(fb_bytes(sb).size(), buffer);
  EXPECT_EQ(shown(sb).yoffset, 0u);
  EXPECT_TRUE(rgb_at(capture(sb), 0, 0, 1, 2, 3));
}

TEST(GraphicsDevice, MemoryForLessThanOneScreenFailsInit) {
  TestSandbox sb("2026-12-09 06:59:40", "UTC", screen_options(32, 24, 32));
  const uint32_t line = 48 * 4;
  reshape_framebuffer(sb, line, line * 19, line * 19);
  testing::internal::CaptureStderr();
  EXPECT_EQ(gr_init(), -1);
  testing::internal::GetCapturedStderr();
  gr_present();
  EXPECT_EQ(fb_bytes(sb), std::string(line * 19, '\xEE'));
}

// Rows at the device's line length, the padding behind each row left alone.
TEST(GraphicsDevice, RowsFollowTheDevicesLineLength) {
  for (bool turned : {false, true}) {
    SCOPED_TRACE(turned);
    TestSandbox sb("2026-12-09 06:59:40", "UTC", screen_options(32, 24, 32));
    if (turned) sb.set_property("ro.sf.hwrotation", "180");
    const uint32_t row = 48 * 4, line = row + 40, buffer = line * 20;
    reshape_framebuffer(sb, line, 2 * buffer, 2 * buffer);
    ASSERT_EQ(gr_init(), 0);
    fill(0, 0, 0);
    gr_set_color(255, 255, 255, 255);
    gr_fill_rect(0, 3, 48, 4);  // row 3 white
    gr_present();
    std::string bytes = fb_bytes(sb);
    uint32_t white_row = turned ? 16 : 3;
    for (uint32_t y = 0; y < 20; ++y) {
      size_t at = buffer + y * line;
      char want = y == white_row ? '\xff' : '\0';
      EXPECT_EQ(bytes.substr(at, 4), std::string(3, want) + '\xff') << y;
      EXPECT_EQ(bytes.substr(at + row, line - row), std::string(line - row, '\xEE')) << y;
    }
    FbCapture c = capture(sb);
    EXPECT_TRUE(rgb_at(c, 47, white_row, 255, 255, 255));
    EXPECT_TRUE(rgb_at(c, 47, white_row + 1, 0, 0, 0));
  }
}

TEST(GraphicsDraw, DrawingCountsAndWakesButPresentingDoesNot) {
  TestSandbox sb("2026-12-09 06:59:40", "UTC", screen_options(32, 24, 32));
  ASSERT_EQ(gr_init(), 0);
  gr_drawing_event().take();
  uint32_t g0 = gr_drawing_generation();
  gr_present();
  EXPECT_EQ(gr_drawing_generation(), g0);
  EXPECT_FALSE(gr_drawing_event().take());
  fill(1, 1, 1);
  EXPECT_NE(gr_drawing_generation(), g0);
  EXPECT_TRUE(gr_drawing_event().take());
  uint32_t g1 = gr_drawing_generation();
  gr_clear_screen();
  EXPECT_NE(gr_drawing_generation(), g1);
}

// A present from another thread waits while a picture is being drawn under the lock, and
// then shows the whole picture.
TEST(GraphicsDraw, PresentWaitsForThePictureBeingDrawn) {
  TestSandbox sb("2026-12-09 06:59:40", "UTC", screen_options(32, 24, 32));
  ASSERT_EQ(gr_init(), 0);
  std::atomic<bool> presented{false};
  std::atomic<pid_t> presenter_tid{0};
  std::thread presenter;
  {
    GrDrawLock picture(gr_draw_mutex());
    gr_set_color(255, 0, 0, 255);
    gr_fill_rect(0, 0, 48, 10);
    presenter = std::thread([&] {
      presenter_tid = static_cast<pid_t>(syscall(SYS_gettid));
      gr_present();
      presented = true;
    });
    // The presenter has gone to sleep, on the drawing lock: it is its only wait.
    EXPECT_TRUE(sleeps_soon(presenter_tid));
    EXPECT_FALSE(presented.load());
    gr_set_color(0, 255, 0, 255);
    gr_fill_rect(0, 10, 48, 20);
  }
  presenter.join();
  FbCapture c = capture(sb);
  EXPECT_TRUE(rgb_at(c, 0, 0, 255, 0, 0));
  EXPECT_TRUE(rgb_at(c, 0, 19, 0, 255, 0));
}

TEST(GraphicsDraw, SurfaceSizesOfMissingImagesAreZero) {
  EXPECT_EQ(gr_surface_width(nullptr), 0u);
  EXPECT_EQ(gr_surface_height(nullptr), 0u);
  gr_surface s = {};
  s.width = 7;
  s.height = 3;
  EXPECT_EQ(gr_surface_width(&s), 7u);
  EXPECT_EQ(gr_surface_height(&s), 3u);
}

TEST(GraphicsDraw, BlitOfAnImageLandsOnTheBackSurface) {
  TestSandbox sb("2026-12-09 06:59:40", "UTC", screen_options(32, 24, 32));
  ASSERT_EQ(gr_init(), 0);
  uint8_t px[2 * 2 * 4] = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 0, 9, 9, 9, 128};
  gr_surface img = {};
  img.version = 32;
  img.width = 2;
  img.height = 2;
  img.stride = 2;
  img.format = GR_FORMAT_RGBA_8888;
  img.data = px;
  fill(255, 255, 255);
  gr_blit_surface(&img, 0, 0, 2, 2, 30, 20);
  gr_blit_surface(&img, 0, 0, 2, 2, -1, 0);  // its left column falls off the screen
  gr_present();
  FbCapture c = capture(sb);
  EXPECT_TRUE(rgb_at(c, 30, 20, 255, 0, 0));
  EXPECT_TRUE(rgb_at(c, 31, 20, 0, 255, 0));
  EXPECT_TRUE(rgb_at(c, 30, 21, 255, 255, 255));  // alpha 0 keeps the white
  EXPECT_NEAR(c.pixel(31, 21)[0], (9 * 128 + 255 * 127) / 255.0, 1);
  EXPECT_TRUE(rgb_at(c, 0, 0, 0, 255, 0));
  EXPECT_TRUE(rgb_at(c, 1, 0, 255, 255, 255));
}

}  // namespace
