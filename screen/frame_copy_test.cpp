#include "screen/frame_copy.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// The framebuffer descriptions of real devices, and what each must come to.
TEST(FrameLayout, TheDevicesDescriptionGivesTheOrder) {
  FrameLayout rgba = frame_layout_for(32, {0, 8}, {8, 8}, {16, 8});
  EXPECT_TRUE(rgba.as_drawn);
  EXPECT_EQ(rgba.bytes_per_pixel, 4u);

  FrameLayout xrgb = frame_layout_for(32, {16, 8}, {8, 8}, {0, 8});
  EXPECT_FALSE(xrgb.as_drawn);
  EXPECT_EQ((std::vector<int>{xrgb.shift[0], xrgb.shift[1], xrgb.shift[2], xrgb.shift[3]}),
            (std::vector<int>{16, 8, 0, 24}));

  FrameLayout bgr565 = frame_layout_for(16, {0, 5}, {5, 6}, {11, 5});
  EXPECT_FALSE(bgr565.as_drawn);
  EXPECT_EQ(bgr565.bytes_per_pixel, 2u);
  EXPECT_TRUE(frame_layout_for(16, {11, 5}, {5, 6}, {0, 5}).as_drawn);

  // What cannot be told is drawn as the program always drew.
  EXPECT_TRUE(frame_layout_for(32, {0, 0}, {0, 0}, {0, 0}).as_drawn);
  EXPECT_TRUE(frame_layout_for(32, {20, 10}, {10, 10}, {0, 10}).as_drawn);
  EXPECT_TRUE(frame_layout_for(32, {8, 8}, {8, 8}, {0, 8}).as_drawn);
  FrameLayout deep = frame_layout_for(24, {16, 8}, {8, 8}, {0, 8});
  EXPECT_TRUE(deep.as_drawn);
  EXPECT_EQ(deep.bytes_per_pixel, 4u);
}

// Pixel p of a test picture: every byte differs, so a pixel or a byte in the wrong place
// shows.
void make_picture(std::vector<uint8_t>* px, uint32_t width, uint32_t rows, uint32_t bpp) {
  px->resize(static_cast<size_t>(width) * rows * bpp);
  for (size_t i = 0; i < px->size(); ++i) (*px)[i] = static_cast<uint8_t>(i * 7 + 3);
}

// The display's bytes of the picture's pixel (x, y), worked out one pixel at a time.
std::string expected_pixel(const std::vector<uint8_t>& px, uint32_t width, uint32_t x, uint32_t y,
                           const FrameLayout& layout) {
  const uint8_t* p = px.data() + (static_cast<size_t>(y) * width + x) * layout.bytes_per_pixel;
  if (layout.bytes_per_pixel == 2) {
    uint16_t v = static_cast<uint16_t>(p[0] | p[1] << 8);
    if (!layout.as_drawn) {
      v = static_cast<uint16_t>((v & 0x07e0) | (v >> 11) | ((v & 0x1f) << 11));
    }
    return std::string{static_cast<char>(v & 0xff), static_cast<char>(v >> 8)};
  }
  std::string out(4, '\0');
  for (int c = 0; c < 4; ++c) out[layout.shift[c] / 8] = static_cast<char>(p[c]);
  return out;
}

// Every width around the 32-byte steps of the vector code, turned and not, in each order:
// every pixel lands where it belongs with its colours where the display keeps them, and the
// bytes between a row's end and the device's next row are left alone.
TEST(FrameCopy, EveryPixelLandsInTheDisplaysOrder) {
  const FrameLayout layouts[] = {
      frame_layout_for(32, {0, 8}, {8, 8}, {16, 8}),   // R, G, B, A bytes
      frame_layout_for(32, {16, 8}, {8, 8}, {0, 8}),   // XRGB 8888
      frame_layout_for(32, {24, 8}, {16, 8}, {8, 8}),  // RGBX 8888
      frame_layout_for(16, {11, 5}, {5, 6}, {0, 5}),   // RGB 565
      frame_layout_for(16, {0, 5}, {5, 6}, {11, 5}),   // BGR 565
  };
  const uint32_t rows = 3;
  for (const FrameLayout& layout : layouts) {
    const uint32_t bpp = layout.bytes_per_pixel;
    for (uint32_t width : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 33u}) {
      for (bool turned : {false, true}) {
        SCOPED_TRACE(std::to_string(bpp) + " bytes, shift " + std::to_string(layout.shift[0]) +
                     ", width " + std::to_string(width) + (turned ? ", turned" : ""));
        std::vector<uint8_t> px;
        make_picture(&px, width, rows, bpp);
        const size_t pitch = width * bpp + 5;
        std::vector<uint8_t> frame(pitch * rows, 0xEE);
        copy_frame(frame.data(), pitch, px.data(), width, rows, layout, turned);
        for (uint32_t y = 0; y < rows; ++y) {
          for (uint32_t x = 0; x < width; ++x) {
            const uint32_t sx = turned ? width - 1 - x : x, sy = turned ? rows - 1 - y : y;
            std::string got(reinterpret_cast<const char*>(frame.data() + y * pitch + x * bpp), bpp);
            ASSERT_EQ(got, expected_pixel(px, width, sx, sy, layout)) << x << "," << y;
          }
          for (size_t i = width * bpp; i < pitch; ++i) ASSERT_EQ(frame[y * pitch + i], 0xEE);
        }
      }
    }
  }
}

}  // namespace
