// A small software rasteriser: axis-aligned rectangles, filled with a colour or copied
// one-to-one from a texture, blended into a colour buffer of RGBA 8888, RGBX 8888 or RGB 565.
#pragma once

#include <cstdint>

// Pixel formats, by the codes the program's pictures carry.
constexpr uint8_t RASTER_FORMAT_RGBA_8888 = 1;  // bytes R, G, B, A
constexpr uint8_t RASTER_FORMAT_RGBX_8888 = 2;  // bytes R, G, B, ignored; opaque
constexpr uint8_t RASTER_FORMAT_RGB_565 = 4;    // little-endian word, red in the high bits

// A rectangle of pixels the rasteriser reads or writes; stride in pixels.
struct RasterSurface {
  uint32_t width = 0;
  uint32_t height = 0;
  int32_t stride = 0;
  uint8_t* data = nullptr;
  uint8_t format = 0;
};

// Switches.
constexpr int RASTER_BLEND = 1;
constexpr int RASTER_TEXTURE_2D = 2;

// Blend factors and texture modes the rasteriser knows.
constexpr int RASTER_ONE = 1;
constexpr int RASTER_ZERO = 0;
constexpr int RASTER_SRC_ALPHA = 0x0302;
constexpr int RASTER_ONE_MINUS_SRC_ALPHA = 0x0303;
constexpr int RASTER_REPLACE = 0x1E01;
constexpr int RASTER_TEXGEN_ONE_TO_ONE = 1;

// A colour component in 16.16 fixed point: 0 to 65536 (1.0).
constexpr int32_t RASTER_FIXED_ONE = 65536;
// The fixed-point value of an 8-bit component: ((c * 256) | c) + 1, so 255 becomes 1.0.
inline int32_t raster_fixed_from_byte(uint8_t c) {
  return ((c * 256) | c) + 1;
}

struct RasterContext;

// A context starts with every switch off, no colour buffer and no texture; drawing then
// does nothing.
RasterContext* raster_create();
void raster_destroy(RasterContext* ctx);

// The operations, in the order of the rasteriser's operation table.
void raster_fill_rect(RasterContext* ctx, int left, int top, int right, int bottom);
void raster_active_texture(RasterContext* ctx, int unit);
// The surfaces are described, not copied: their pixels must outlive their use.
void raster_bind_texture(RasterContext* ctx, const RasterSurface* texture);
void raster_set_color_buffer(RasterContext* ctx, const RasterSurface* target);
void raster_enable(RasterContext* ctx, int cap);
void raster_disable(RasterContext* ctx, int cap);
void raster_color(RasterContext* ctx, int32_t r, int32_t g, int32_t b, int32_t a);
void raster_blend_func(RasterContext* ctx, int src_factor, int dst_factor);
void raster_tex_env(RasterContext* ctx, int mode);
void raster_tex_origin(RasterContext* ctx, int s, int t);
void raster_tex_gen(RasterContext* ctx, int mode);
