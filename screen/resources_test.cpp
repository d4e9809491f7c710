#include "screen/resources.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>

#include "screen/graphics.h"
#include "screen/png_test_util.h"
#include "sim/test_sandbox.h"

namespace {

// A sandbox without artwork, its kernel log open; images go under /res/images/t/.
class ResourcesTest : public ::testing::Test {
 protected:
  ResourcesTest() : sb("2026-12-09 06:59:40", "UTC", no_artwork()) {
    sb.open_kernel_log();
    make_dirs(sb.path("/res/images/t"));
  }
  ~ResourcesTest() override { res_set_decoder_faults(nullptr, -1); }

  static SandboxOptions no_artwork() {
    SandboxOptions o = TestSandbox::default_options();
    o.artwork_dir.clear();
    return o;
  }
  std::string file(const char* name) const { return sb.path("/res/images/t/") + name + ".png"; }
  void put(const char* name, const TestPng& png) const {
    ASSERT_TRUE(write_test_png(file(name), png));
  }
  void put_bytes(const char* name, const std::string& bytes) const {
    ASSERT_TRUE(write_file(file(name), bytes));
  }
  // Decodes t/NAME; the slot holds a sentinel unless the decoder succeeded.
  int decode(const char* name) {
    res_release_surface(surface);
    surface = sentinel();
    int rc = res_create_surface((std::string("t/") + name).c_str(), &surface);
    if (rc != 0) {
      EXPECT_EQ(surface, sentinel()) << "a failure must leave the slot alone";
      surface = nullptr;
    }
    return rc;
  }
  static gr_surface* sentinel() { return reinterpret_cast<gr_surface*>(0x1000); }
  void TearDown() override { res_release_surface(surface); }

  TestSandbox sb;
  gr_surface* surface = nullptr;
};

TEST(ResourcesSizeClass, ChoosesByWidthThenHeight) {
  EXPECT_STREQ(res_resolution_dir(600, 1024), "wvga/");
  EXPECT_STREQ(res_resolution_dir(480, 800), "wvga/");  // 800 > 750
  EXPECT_STREQ(res_resolution_dir(320, 480), "hvga/");
  EXPECT_STREQ(res_resolution_dir(240, 320), "qvga/");
  EXPECT_STREQ(res_resolution_dir(320, 320), "qvga/");  // 320 <= 320
  EXPECT_STREQ(res_resolution_dir(551, 400), "wvga/");
  EXPECT_STREQ(res_resolution_dir(0, 0), "qvga/");  // no display at all
}

TEST_F(ResourcesTest, RgbBecomesRgbxWithAnOpaqueFourthByte) {
  TestPng p;
  p.width = 2;
  p.color_type = PNG_COLOR_TYPE_RGB;
  p.pixels = {10, 20, 30, 40, 50, 60};
  put("rgb", p);
  ASSERT_EQ(decode("rgb"), 0);
  EXPECT_EQ(surface->version, 32u);
  EXPECT_EQ(surface->width, 2u);
  EXPECT_EQ(surface->height, 1u);
  EXPECT_EQ(surface->stride, 2);
  EXPECT_EQ(surface->format, GR_FORMAT_RGBX_8888);
  EXPECT_EQ(surface->data, reinterpret_cast<uint8_t*>(surface + 1));  // one block
  std::vector<uint8_t> got(surface->data, surface->data + 8);
  EXPECT_EQ(got, (std::vector<uint8_t>{10, 20, 30, 255, 40, 50, 60, 255}));
}

TEST_F(ResourcesTest, RgbaKeepsItsAlpha) {
  TestPng p;
  p.width = 3;
  p.height = 2;
  p.color_type = PNG_COLOR_TYPE_RGB_ALPHA;
  for (int i = 0; i < 6; ++i) p.pixels.insert(p.pixels.end(), {uint8_t(i), 1, 2, uint8_t(i * 40)});
  put("rgba", p);
  ASSERT_EQ(decode("rgba"), 0);
  EXPECT_EQ(surface->format, GR_FORMAT_RGBA_8888);
  EXPECT_EQ(std::vector<uint8_t>(surface->data, surface->data + 24), p.pixels);
}

// Adam7 spreads each row over seven passes; every pass must be read into the same rows.
TEST_F(ResourcesTest, InterlacedImagesDecodeLikePlainOnes) {
  for (int type : {PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGB_ALPHA}) {
    int ch = type == PNG_COLOR_TYPE_RGB ? 3 : 4;
    TestPng p;
    p.width = 13;
    p.height = 11;
    p.color_type = type;
    for (int y = 0; y < p.height; ++y) {
      for (int x = 0; x < p.width; ++x) {
        p.pixels.insert(p.pixels.end(), {uint8_t(x * 19), uint8_t(y * 23), uint8_t(x ^ y)});
        if (ch == 4) p.pixels.push_back(uint8_t(255 - x * y));
      }
    }
    p.interlaced = true;
    put("laced", p);
    ASSERT_EQ(decode("laced"), 0);
    for (int i = 0; i < p.width * p.height; ++i) {
      ASSERT_EQ(surface->data[i * 4], p.pixels[i * ch]) << i;
      ASSERT_EQ(surface->data[i * 4 + 1], p.pixels[i * ch + 1]) << i;
      ASSERT_EQ(surface->data[i * 4 + 2], p.pixels[i * ch + 2]) << i;
      ASSERT_EQ(surface->data[i * 4 + 3], ch == 4 ? p.pixels[i * ch + 3] : 255) << i;
    }
  }
}

TEST_F(ResourcesTest, PaletteImagesBecomeRgbaWithOrWithoutTransparency) {
  TestPng p;
  p.width = 5;  // odd, so a row that overran its 4 x width bytes would show under ASan
  p.height = 3;
  p.color_type = PNG_COLOR_TYPE_PALETTE;
  p.palette = {{200, 0, 0}, {0, 150, 0}, {0, 0, 100}};
  for (int i = 0; i < 15; ++i) p.pixels.push_back(static_cast<uint8_t>(i % 3));
  put("opaque", p);
  p.alphas = {0, 128};  // the third entry has no alpha: opaque
  p.interlaced = true;
  put("clear", p);

  ASSERT_EQ(decode("opaque"), 0);
  EXPECT_EQ(surface->format, GR_FORMAT_RGBA_8888);
  const uint8_t want_opaque[] = {200, 0, 0, 255, 0, 150, 0, 255, 0, 0, 100, 255};
  EXPECT_EQ(0, memcmp(surface->data, want_opaque, sizeof want_opaque));
  EXPECT_EQ(surface->data[14 * 4 + 2], 100);  // the last pixel, index 2
  EXPECT_EQ(surface->data[14 * 4 + 3], 255);

  ASSERT_EQ(decode("clear"), 0);
  const uint8_t want_clear[] = {200, 0, 0, 0, 0, 150, 0, 128, 0, 0, 100, 255};
  EXPECT_EQ(0, memcmp(surface->data, want_clear, sizeof want_clear));
  EXPECT_EQ(surface->data[13 * 4 + 3], 128);
}

TEST_F(ResourcesTest, EveryFailureHasItsCodeAndLoggedNumber) {
  TestPng grey;
  grey.color_type = PNG_COLOR_TYPE_GRAY;
  grey.pixels = {7};
  put("grey", grey);
  TestPng deep = solid_png(2, 2, 0, 0, 0, 255, true);
  deep.bit_depth = 16;
  deep.pixels.resize(2 * 2 * 6, 9);
  put("deep", deep);
  TestPng grey_alpha;
  grey_alpha.color_type = PNG_COLOR_TYPE_GRAY_ALPHA;
  grey_alpha.pixels = {7, 8};
  put("grey_alpha", grey_alpha);
  put_bytes("five", "\x89PNG\r");
  put_bytes("text", std::string(100, 'x'));
  put_bytes("huge", png_header_only(70000, 70000, 8, PNG_COLOR_TYPE_RGB_ALPHA));
  put_bytes("wide", png_header_only(5000, 10, 8, PNG_COLOR_TYPE_RGB));

  struct Case {
    const char* name;
    int code;
    int number;
  };
  const Case cases[] = {
      {"missing", -1, 59}, {"five", -2, 66},        {"text", -3, 72},  {"grey", -7, 112},
      {"deep", -7, 112},   {"grey_alpha", -7, 112}, {"huge", -8, 120}, {"wide", -8, 120},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    size_t before = sb.kmsg().size();
    EXPECT_EQ(decode(c.name), c.code);
    std::string logged = sb.kmsg().substr(before);
    std::string want = std::string("<6>alarm: res_create_surface open /res/images/t/") + c.name +
                       ".png\n<6>alarm: res_create_surface line: " + std::to_string(c.number) +
                       "\n";
    EXPECT_EQ(logged, want);
  }
}

TEST_F(ResourcesTest, DamagedOrCutDataFailsWithSix) {
  TestPng p = solid_png(40, 40, 1, 2, 3);
  for (size_t i = 0; i < p.pixels.size(); ++i) p.pixels[i] = static_cast<uint8_t>(i * 7);
  put("good", p);
  std::string bytes;
  ASSERT_TRUE(read_text_file(file("good"), &bytes));
  ASSERT_EQ(decode("good"), 0);

  std::string damaged = bytes;
  size_t idat = damaged.find("IDAT");
  ASSERT_NE(idat, std::string::npos);
  for (size_t i = idat + 10; i < idat + 30; ++i) damaged[i] = static_cast<char>(damaged[i] ^ 0x5a);
  put_bytes("damaged", damaged);
  put_bytes("cut", bytes.substr(0, idat + 40));
  std::string bad_header = bytes;
  bad_header[16] = '\x7f';  // width's top byte: IHDR no longer matches its checksum
  put_bytes("bad_header", bad_header);

  for (const char* name : {"damaged", "cut", "bad_header"}) {
    SCOPED_TRACE(name);
    size_t before = sb.kmsg().size();
    EXPECT_EQ(decode(name), -6);
    EXPECT_NE(sb.kmsg().find("<6>alarm: res_create_surface line: 92\n", before), std::string::npos);
  }
}

// A text chunk that claims two gigabytes in a file of a few dozen bytes: libpng would take
// and zero the whole block before finding the file cut short.
TEST_F(ResourcesTest, AChunkThatLiesAboutItsLengthTakesNoMemory) {
  put("good", solid_png(4, 4, 1, 2, 3));
  std::string bytes;
  ASSERT_TRUE(read_text_file(file("good"), &bytes));
  const size_t after_header = 8 + 25;  // signature, IHDR
  std::string lying = bytes.substr(0, after_header);
  lying += std::string("\x7f\xff\xff\xf0", 4) + "tEXtComment\0sure";
  put_bytes("lying", lying);

  struct rusage before, after;
  getrusage(RUSAGE_SELF, &before);
  EXPECT_EQ(decode("lying"), -6);
  getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024);  // KiB
}

// A decoder made with the 1.2 series' version text is refused by this libpng: the program
// must name the version it was built with.
TEST_F(ResourcesTest, DecoderCreationFailuresAreFourAndFive) {
  put("ok", solid_png(2, 2, 9, 9, 9));
  res_set_decoder_faults("1.2.44", -1);
  EXPECT_EQ(decode("ok"), -4);
  EXPECT_NE(sb.kmsg().find("<6>alarm: res_create_surface line: 79\n"), std::string::npos);

  // With too few allocations allowed the decoder fails first (-4); the first budget that
  // lets it be made leaves none for its information record (-5).
  int rc = -4;
  int budget = 0;
  for (; budget < 8 && rc == -4; ++budget) {
    res_set_decoder_faults(nullptr, budget);
    rc = decode("ok");
  }
  EXPECT_EQ(rc, -5) << "budget " << budget - 1;
  EXPECT_NE(sb.kmsg().find("<6>alarm: res_create_surface line: 86\n"), std::string::npos);

  res_set_decoder_faults(nullptr, -1);
  EXPECT_EQ(decode("ok"), 0);
}

TEST_F(ResourcesTest, GroupsLoadFromTheScreensSizeClass) {
  // No display: the size class falls to qvga, and every image of group 0 is missing.
  make_dirs(sb.path("/res/images/qvga"));
  ASSERT_TRUE(write_test_png(sb.path("/res/images/qvga/button_bg.png"), solid_png(4, 3, 1, 1, 1)));
  alarm_load_images(IMAGE_GROUP_SCREEN);
  ASSERT_NE(g_surfaces[4], nullptr);
  EXPECT_EQ(g_surfaces[4]->width, 4u);
  for (int s : {0, 1, 2, 3}) EXPECT_EQ(g_surfaces[s], nullptr);
  std::string log = sb.kmsg();
  EXPECT_NE(log.find("<6>alarm: res_create_surface open /res/images/qvga/icon_alarm.png\n"
                     "<6>alarm: res_create_surface line: 59\n"
                     "<3>alarm: creat surfaces failed!  icon_alarm<6>alarm: res_create_surface "
                     "open /res/images/qvga/button_sleep.png\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("button_bg"), log.rfind("button_bg"));  // opened, and nothing failed
  alarm_free_images(IMAGE_GROUP_SCREEN);
  EXPECT_EQ(g_surfaces[4], nullptr);
  alarm_free_images(IMAGE_GROUP_SCREEN);  // a second free finds nothing (no double free)
}

TEST_F(ResourcesTest, MissingSeparatorIsLoggedAndTheDigitsStillLoad) {
  ASSERT_EQ(gr_init(), 0);  // 480 x 800: wvga
  make_dirs(sb.path("/res/images/wvga"));
  for (char d = '0'; d <= '9'; ++d) {
    std::string name = sb.path("/res/images/wvga/") + d + ".png";
    ASSERT_TRUE(write_test_png(name, solid_png(3, 5, uint8_t(d), 0, 0)));
  }
  size_t before = sb.kmsg().size();
  alarm_load_images(IMAGE_GROUP_CLOCK);
  for (int d = 0; d < 10; ++d) {
    ASSERT_NE(g_surfaces[IMAGE_SLOT_DIGIT0 + d], nullptr);
    EXPECT_EQ(g_surfaces[IMAGE_SLOT_DIGIT0 + d]->data[0], '0' + d);
  }
  EXPECT_EQ(g_surfaces[IMAGE_SLOT_DOT], nullptr);
  std::string log = sb.kmsg().substr(before);
  const std::string tail =
      "<6>alarm: res_create_surface open /res/images/wvga/dot.png\n"
      "<6>alarm: res_create_surface line: 59\n"
      "<3>alarm: creat surfaces failed!  dot";
  ASSERT_GE(log.size(), tail.size());
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
  alarm_free_images(IMAGE_GROUP_CLOCK);
}

TEST_F(ResourcesTest, GroupEighteenOpensNothing) {
  size_t before = sb.kmsg().size();
  alarm_load_images(IMAGE_GROUP_EMPTY);
  alarm_free_images(IMAGE_GROUP_EMPTY);
  EXPECT_EQ(sb.kmsg().size(), before);
  EXPECT_EQ(g_surfaces[18], nullptr);
  alarm_load_images(-1);  // outside the table: nothing either
  alarm_load_images(IMAGE_SLOT_COUNT);
  EXPECT_EQ(sb.kmsg().size(), before);
}

}  // namespace
