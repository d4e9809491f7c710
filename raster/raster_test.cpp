#include "raster/raster.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

// A surface with its own pixels, filled with one byte so untouched pixels can be told.
struct Canvas {
  Canvas(uint32_t w, uint32_t h, uint8_t format, uint8_t fill = 0x5a)
      : pixels(w * h * (format == RASTER_FORMAT_RGB_565 ? 2 : 4), fill) {
    surface.width = w;
    surface.height = h;
    surface.stride = static_cast<int32_t>(w);
    surface.format = format;
    surface.data = pixels.data();
  }
  const uint8_t* at(int x, int y) const {
    int bpp = surface.format == RASTER_FORMAT_RGB_565 ? 2 : 4;
    return pixels.data() + (y * surface.stride + x) * bpp;
  }
  uint16_t word(int x, int y) const {
    return static_cast<uint16_t>(at(x, y)[0] | at(x, y)[1] << 8);
  }
  void set(int x, int y, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    uint8_t* p = pixels.data() + (y * surface.stride + x) * 4;
    p[0] = r, p[1] = g, p[2] = b, p[3] = a;
  }
  std::vector<uint8_t> pixels;
  RasterSurface surface;
};

struct Ctx {
  Ctx() : ctx(raster_create()) {}
  ~Ctx() { raster_destroy(ctx); }
  RasterContext* ctx;
};

// The program's set-up: blending source alpha over one minus source alpha.
void set_up_like_the_program(RasterContext* ctx, const RasterSurface* target) {
  raster_set_color_buffer(ctx, target);
  raster_active_texture(ctx, 0);
  raster_enable(ctx, RASTER_BLEND);
  raster_blend_func(ctx, RASTER_SRC_ALPHA, RASTER_ONE_MINUS_SRC_ALPHA);
}

void set_color(RasterContext* ctx, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
  raster_color(ctx, raster_fixed_from_byte(r), raster_fixed_from_byte(g), raster_fixed_from_byte(b),
               raster_fixed_from_byte(a));
}

void blit(RasterContext* ctx, const RasterSurface* src, int sx, int sy, int w, int h, int dx,
          int dy) {
  raster_bind_texture(ctx, src);
  raster_tex_env(ctx, RASTER_REPLACE);
  raster_tex_gen(ctx, RASTER_TEXGEN_ONE_TO_ONE);
  raster_enable(ctx, RASTER_TEXTURE_2D);
  raster_tex_origin(ctx, sx - dx, sy - dy);
  raster_fill_rect(ctx, dx, dy, dx + w, dy + h);
}

bool is_color(const uint8_t* p, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
  return p[0] == r && p[1] == g && p[2] == b && p[3] == a;
}

TEST(RasterFixed, ComponentsBecomeSixteenSixteen) {
  EXPECT_EQ(raster_fixed_from_byte(0), 1);
  EXPECT_EQ(raster_fixed_from_byte(255), RASTER_FIXED_ONE);
  EXPECT_EQ(raster_fixed_from_byte(128), 128 * 257 + 1);
}

TEST(RasterFill, CoversExactlyTheHalfOpenRectangle) {
  Canvas c(8, 6, RASTER_FORMAT_RGBA_8888);
  Ctx r;
  set_up_like_the_program(r.ctx, &c.surface);
  set_color(r.ctx, 10, 20, 30, 255);
  raster_fill_rect(r.ctx, 2, 1, 5, 4);
  for (int y = 0; y < 6; ++y) {
    for (int x = 0; x < 8; ++x) {
      bool inside = x >= 2 && x < 5 && y >= 1 && y < 4;
      EXPECT_EQ(is_color(c.at(x, y), 10, 20, 30, 255), inside) << x << "," << y;
      if (!inside) {
        EXPECT_EQ(c.at(x, y)[0], 0x5a);
      }
    }
  }
}

TEST(RasterFill, ClipsToTheColourBufferAndSkipsEmptyRectangles) {
  Canvas c(4, 3, RASTER_FORMAT_RGBA_8888);
  Ctx r;
  set_up_like_the_program(r.ctx, &c.surface);
  set_color(r.ctx, 1, 2, 3, 255);
  raster_fill_rect(r.ctx, 0, 0, 0, 3);      // no width
  raster_fill_rect(r.ctx, 3, 2, 1, 1);      // corners the wrong way round
  raster_fill_rect(r.ctx, 4, 0, 100, 3);    // right of the buffer
  raster_fill_rect(r.ctx, -50, -50, 0, 0);  // above and left
  for (uint8_t b : c.pixels) ASSERT_EQ(b, 0x5a);

  raster_fill_rect(r.ctx, -1000000, -1000000, 2000000000, 2000000000);
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 4; ++x) EXPECT_TRUE(is_color(c.at(x, y), 1, 2, 3, 255));
  }
}

TEST(RasterFill, WhiteOn565IsAllOnesAndBlackIsZero) {
  Canvas c(5, 2, RASTER_FORMAT_RGB_565);
  Ctx r;
  set_up_like_the_program(r.ctx, &c.surface);
  set_color(r.ctx, 255, 255, 255, 255);
  raster_fill_rect(r.ctx, 0, 0, 5, 2);
  for (int x = 0; x < 5; ++x) EXPECT_EQ(c.word(x, 1), 0xFFFF);
  set_color(r.ctx, 0, 0, 0, 255);
  raster_fill_rect(r.ctx, 0, 0, 5, 1);
  EXPECT_EQ(c.word(4, 0), 0x0000);
  EXPECT_EQ(c.word(4, 1), 0xFFFF);
  set_color(r.ctx, 255, 0, 0, 255);
  raster_fill_rect(r.ctx, 0, 0, 1, 1);
  EXPECT_EQ(c.word(0, 0), 0xF800);
}

TEST(RasterFill, WithoutBlendingTheColourIsStoredWhateverItsAlpha) {
  Canvas c(2, 1, RASTER_FORMAT_RGBA_8888);
  Ctx r;
  raster_set_color_buffer(r.ctx, &c.surface);
  set_color(r.ctx, 200, 100, 50, 0);
  raster_fill_rect(r.ctx, 0, 0, 2, 1);
  EXPECT_TRUE(is_color(c.at(1, 0), 200, 100, 50, 0));
}

TEST(RasterFill, NoColourBufferDrawsNothing) {
  Ctx r;
  set_color(r.ctx, 1, 1, 1, 255);
  raster_fill_rect(r.ctx, 0, 0, 10, 10);  // must not crash
  RasterSurface bad;
  bad.width = 4;
  bad.height = 4;
  bad.stride = 2;  // shorter than a row: refused
  bad.format = RASTER_FORMAT_RGBA_8888;
  uint8_t pixels[64] = {};
  bad.data = pixels;
  raster_set_color_buffer(r.ctx, &bad);
  raster_fill_rect(r.ctx, 0, 0, 4, 4);
  for (uint8_t b : pixels) EXPECT_EQ(b, 0);
  raster_fill_rect(nullptr, 0, 0, 1, 1);
}

TEST(RasterBlend, AlphaZeroKeepsFullReplacesHalfMixes) {
  for (uint8_t format : {RASTER_FORMAT_RGBA_8888, RASTER_FORMAT_RGB_565}) {
    SCOPED_TRACE(format);
    Canvas dst(3, 1, format);
    Ctx r;
    set_up_like_the_program(r.ctx, &dst.surface);
    set_color(r.ctx, 0, 0, 0, 255);
    raster_fill_rect(r.ctx, 0, 0, 3, 1);
    set_color(r.ctx, 200, 40, 120, 255);
    raster_fill_rect(r.ctx, 0, 0, 3, 1);
    std::vector<uint8_t> before = dst.pixels;

    Canvas src(3, 1, RASTER_FORMAT_RGBA_8888);
    src.set(0, 0, 10, 250, 90, 0);
    src.set(1, 0, 10, 250, 90, 255);
    src.set(2, 0, 10, 250, 90, 128);
    blit(r.ctx, &src.surface, 0, 0, 3, 1, 0, 0);

    if (format == RASTER_FORMAT_RGBA_8888) {
      EXPECT_TRUE(is_color(dst.at(0, 0), 200, 40, 120, 255));
      EXPECT_TRUE(is_color(dst.at(1, 0), 10, 250, 90, 255));
      // 128/255 of the source over 127/255 of the destination, rounded.
      const uint8_t* m = dst.at(2, 0);
      EXPECT_NEAR(m[0], (10 * 128 + 200 * 127) / 255.0, 1);
      EXPECT_NEAR(m[1], (250 * 128 + 40 * 127) / 255.0, 1);
      EXPECT_NEAR(m[2], (90 * 128 + 120 * 127) / 255.0, 1);
      // Alpha is blended with the same factors: 128 * 128/255 + 255 * 127/255.
      EXPECT_NEAR(m[3], (128 * 128 + 255 * 127) / 255.0, 1);
    } else {
      EXPECT_EQ(dst.word(0, 0), static_cast<uint16_t>(before[0] | before[1] << 8));
      // Green 250 of 255 narrows to 62 of 63 (rounded).
      EXPECT_EQ(dst.word(1, 0), (1 << 11) | (62 << 5) | 11);
      uint16_t m = dst.word(2, 0);
      int r5 = m >> 11, g6 = (m >> 5) & 63, b5 = m & 31;
      EXPECT_NEAR(r5 * 255.0 / 31, (10 * 128 + 200 * 127) / 255.0, 9);
      EXPECT_NEAR(g6 * 255.0 / 63, (250 * 128 + 40 * 127) / 255.0, 5);
      EXPECT_NEAR(b5 * 255.0 / 31, (90 * 128 + 120 * 127) / 255.0, 9);
    }
  }
}

TEST(RasterBlend, HalfTransparentFillMixesWithWhatIsThere) {
  Canvas c(1, 1, RASTER_FORMAT_RGBX_8888);
  Ctx r;
  set_up_like_the_program(r.ctx, &c.surface);
  set_color(r.ctx, 255, 255, 255, 255);
  raster_fill_rect(r.ctx, 0, 0, 1, 1);
  set_color(r.ctx, 0, 0, 0, 128);
  raster_fill_rect(r.ctx, 0, 0, 1, 1);
  EXPECT_NEAR(c.at(0, 0)[0], 127, 1);
  EXPECT_EQ(c.at(0, 0)[3], 255);  // an RGBX buffer stays opaque
}

TEST(RasterBlit, RgbxSourceIsOpaqueWhateverItsFourthByte) {
  Canvas dst(2, 1, RASTER_FORMAT_RGBA_8888);
  Canvas src(2, 1, RASTER_FORMAT_RGBX_8888);
  src.set(0, 0, 1, 2, 3, 0);
  src.set(1, 0, 4, 5, 6, 77);
  Ctx r;
  set_up_like_the_program(r.ctx, &dst.surface);
  blit(r.ctx, &src.surface, 0, 0, 2, 1, 0, 0);
  EXPECT_TRUE(is_color(dst.at(0, 0), 1, 2, 3, 255));
  EXPECT_TRUE(is_color(dst.at(1, 0), 4, 5, 6, 255));
}

TEST(RasterBlit, SourcePixelLandsAtItsOffsetAndNegativeTargetsClip) {
  Canvas src(16, 4, RASTER_FORMAT_RGBA_8888);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 16; ++x) {
      src.set(x, y, static_cast<uint8_t>(x), static_cast<uint8_t>(y), 9, 255);
    }
  }
  Canvas dst(8, 4, RASTER_FORMAT_RGBA_8888, 0);
  Ctx r;
  set_up_like_the_program(r.ctx, &dst.surface);

  // At (-10, 0) the left edge shows the source from its eleventh column on.
  blit(r.ctx, &src.surface, 0, 0, 16, 4, -10, 0);
  for (int x = 0; x < 6; ++x) EXPECT_EQ(dst.at(x, 2)[0], 10 + x) << x;
  EXPECT_EQ(dst.at(5, 3)[1], 3);
  EXPECT_EQ(dst.at(6, 0)[2], 0);  // past the source's right end: untouched

  // A region from the middle of the source: (sx + i, sy + j) lands on (dx + i, dy + j).
  blit(r.ctx, &src.surface, 5, 1, 2, 2, 3, 0);
  EXPECT_EQ(dst.at(3, 0)[0], 5);
  EXPECT_EQ(dst.at(3, 0)[1], 1);
  EXPECT_EQ(dst.at(4, 1)[0], 6);
  EXPECT_EQ(dst.at(4, 1)[1], 2);
  EXPECT_EQ(dst.at(3, 2)[0], 13);  // beyond the region: from the first blit
}

TEST(RasterBlit, RegionLargerThanItsSourceReadsOnlyTheSource) {
  // The source lives in an exact-size heap block, so a read past it trips the sanitizer.
  constexpr uint32_t kW = 3, kH = 2;
  std::unique_ptr<uint8_t[]> pixels(new uint8_t[kW * kH * 4]);
  memset(pixels.get(), 200, kW * kH * 4);
  for (uint32_t i = 0; i < kW * kH; ++i) pixels[i * 4 + 3] = 255;
  RasterSurface src;
  src.width = kW;
  src.height = kH;
  src.stride = kW;
  src.format = RASTER_FORMAT_RGBA_8888;
  src.data = pixels.get();

  Canvas dst(10, 6, RASTER_FORMAT_RGBA_8888, 0);
  Ctx r;
  set_up_like_the_program(r.ctx, &dst.surface);
  blit(r.ctx, &src, 0, 0, 8, 5, 1, 1);    // larger than the source
  blit(r.ctx, &src, -2, -1, 4, 4, 6, 1);  // origin before the source
  for (int y = 0; y < 6; ++y) {
    for (int x = 0; x < 10; ++x) {
      bool first = x >= 1 && x < 4 && y >= 1 && y < 3;
      bool second = x >= 8 && x < 10 && y >= 2 && y < 4;
      EXPECT_EQ(dst.at(x, y)[0], first || second ? 200 : 0) << x << "," << y;
    }
  }
}

TEST(RasterBlit, TexturingNeedsABoundTextureAndFillTurnsItOff) {
  Canvas dst(2, 1, RASTER_FORMAT_RGBA_8888, 0);
  Ctx r;
  set_up_like_the_program(r.ctx, &dst.surface);
  raster_enable(r.ctx, RASTER_TEXTURE_2D);
  set_color(r.ctx, 9, 9, 9, 255);
  raster_fill_rect(r.ctx, 0, 0, 2, 1);  // textured with nothing bound: nothing drawn
  EXPECT_EQ(dst.at(0, 0)[0], 0);
  raster_disable(r.ctx, RASTER_TEXTURE_2D);
  raster_fill_rect(r.ctx, 0, 0, 2, 1);
  EXPECT_EQ(dst.at(0, 0)[0], 9);
}

TEST(RasterBlit, RgbaOn565AndRgb565SourcesConvert) {
  Canvas dst(2, 1, RASTER_FORMAT_RGB_565, 0);
  Canvas src(2, 1, RASTER_FORMAT_RGBA_8888);
  src.set(0, 0, 255, 255, 255, 255);
  src.set(1, 0, 0, 0, 255, 255);
  Ctx r;
  set_up_like_the_program(r.ctx, &dst.surface);
  blit(r.ctx, &src.surface, 0, 0, 2, 1, 0, 0);
  EXPECT_EQ(dst.word(0, 0), 0xFFFF);
  EXPECT_EQ(dst.word(1, 0), 0x001F);

  // And back: every 5-6-5 value survives the trip through 8-bit components unchanged.
  Canvas wide(64, 1, RASTER_FORMAT_RGB_565);
  Canvas narrow(64, 1, RASTER_FORMAT_RGB_565);
  for (int i = 0; i < 64; ++i) {
    uint16_t v = static_cast<uint16_t>(((i & 31) << 11) | (i << 5) | (31 - (i & 31)));
    wide.pixels[i * 2] = static_cast<uint8_t>(v);
    wide.pixels[i * 2 + 1] = static_cast<uint8_t>(v >> 8);
  }
  set_up_like_the_program(r.ctx, &narrow.surface);
  blit(r.ctx, &wide.surface, 0, 0, 64, 1, 0, 0);
  EXPECT_EQ(narrow.pixels, wide.pixels);
}

}  // namespace
