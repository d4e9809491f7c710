#include "raster/raster.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// Rows are worked on in runs of this many pixels, through a small RGBA buffer on the stack.
constexpr int kRunPixels = 256;
constexpr int kTextureUnits = 2;

struct Rect {
  int64_t left, top, right, bottom;
};

bool surface_usable(const RasterSurface& s) {
  bool known = s.format == RASTER_FORMAT_RGBA_8888 || s.format == RASTER_FORMAT_RGBX_8888 ||
               s.format == RASTER_FORMAT_RGB_565;
  return known && s.data != nullptr && s.width > 0 && s.height > 0 && s.stride >= 0 &&
         static_cast<uint32_t>(s.stride) >= s.width;
}

int bytes_per_pixel(uint8_t format) {
  return format == RASTER_FORMAT_RGB_565 ? 2 : 4;
}

// round(x / 255) for 0 <= x <= 65535.
inline uint32_t div255(uint32_t x) {
  x += 128;
  return (x + (x >> 8)) >> 8;
}

inline uint8_t byte_from_fixed(int32_t v) {
  int64_t c = std::clamp<int64_t>(v, 0, RASTER_FIXED_ONE);
  return static_cast<uint8_t>(std::min<int64_t>(255, (c * 255 + 32768) >> 16));
}

inline uint16_t pack565(uint32_t r, uint32_t g, uint32_t b) {
  return static_cast<uint16_t>((div255(r * 31) << 11) | (div255(g * 63) << 5) | div255(b * 31));
}

inline uint16_t load16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline void store16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline void unpack565(uint16_t v, uint8_t* rgba) {
  uint32_t r = v >> 11, g = (v >> 5) & 0x3f, b = v & 0x1f;
  rgba[0] = static_cast<uint8_t>((r << 3) | (r >> 2));
  rgba[1] = static_cast<uint8_t>((g << 2) | (g >> 4));
  rgba[2] = static_cast<uint8_t>((b << 3) | (b >> 2));
  rgba[3] = 255;
}

// Converts n pixels of `format` into RGBA bytes. True when every pixel is opaque by format.
bool load_run(uint8_t format, const uint8_t* src, int n, uint8_t* rgba) {
  switch (format) {
    case RASTER_FORMAT_RGBA_8888:
      memcpy(rgba, src, static_cast<size_t>(n) * 4);
      return false;
    case RASTER_FORMAT_RGBX_8888:
      memcpy(rgba, src, static_cast<size_t>(n) * 4);
      for (int i = 0; i < n; ++i) rgba[i * 4 + 3] = 255;
      return true;
    default:
      for (int i = 0; i < n; ++i) unpack565(load16(src + i * 2), rgba + i * 4);
      return true;
  }
}

// Stores n RGBA pixels without blending.
void store_run(uint8_t format, uint8_t* dst, int n, const uint8_t* rgba) {
  switch (format) {
    case RASTER_FORMAT_RGBA_8888:
      memcpy(dst, rgba, static_cast<size_t>(n) * 4);
      break;
    case RASTER_FORMAT_RGBX_8888:
      memcpy(dst, rgba, static_cast<size_t>(n) * 4);
      for (int i = 0; i < n; ++i) dst[i * 4 + 3] = 255;
      break;
    default:
      for (int i = 0; i < n; ++i) {
        const uint8_t* p = rgba + i * 4;
        store16(dst + i * 2, pack565(p[0], p[1], p[2]));
      }
      break;
  }
}

uint32_t factor_value(int factor, uint32_t src_alpha) {
  switch (factor) {
    case RASTER_ONE:
      return 255;
    case RASTER_SRC_ALPHA:
      return src_alpha;
    case RASTER_ONE_MINUS_SRC_ALPHA:
      return 255 - src_alpha;
    default:
      return 0;
  }
}

}  // namespace

struct RasterContext {
  RasterSurface color_buffer;
  bool has_color_buffer = false;
  RasterSurface textures[kTextureUnits];
  bool has_texture[kTextureUnits] = {false, false};
  int active_unit = 0;
  bool blend = false;
  bool texture_2d = false;
  int src_factor = RASTER_ONE;
  int dst_factor = RASTER_ZERO;
  int tex_env = RASTER_REPLACE;
  int tex_gen = RASTER_TEXGEN_ONE_TO_ONE;
  int64_t origin_s = 0;
  int64_t origin_t = 0;
  uint8_t color[4] = {255, 255, 255, 255};

  // Writes n fragments onto the colour buffer at dst, blended by the current factors.
  void write_run(uint8_t* dst, int n, const uint8_t* rgba, bool opaque) const {
    const uint8_t format = color_buffer.format;
    if (!blend) {
      store_run(format, dst, n, rgba);
      return;
    }
    if (opaque && src_factor == RASTER_SRC_ALPHA && dst_factor == RASTER_ONE_MINUS_SRC_ALPHA) {
      store_run(format, dst, n, rgba);
      return;
    }
    const int bpp = bytes_per_pixel(format);
    for (int i = 0; i < n; ++i) {
      const uint8_t* s = rgba + i * 4;
      uint32_t fs = factor_value(src_factor, s[3]);
      uint32_t fd = factor_value(dst_factor, s[3]);
      uint8_t* d = dst + i * bpp;
      if (fs == 0 && fd == 255) continue;  // the destination stays exactly as it was
      if (fs == 255 && fd == 0) {
        store_run(format, d, 1, s);
        continue;
      }
      uint8_t old[4];
      if (format == RASTER_FORMAT_RGB_565) {
        unpack565(load16(d), old);
      } else {
        memcpy(old, d, 4);
        if (format == RASTER_FORMAT_RGBX_8888) old[3] = 255;
      }
      uint8_t out[4];
      for (int c = 0; c < 4; ++c) {
        out[c] = static_cast<uint8_t>(std::min<uint32_t>(255, div255(s[c] * fs + old[c] * fd)));
      }
      store_run(format, d, 1, out);
    }
  }

  // The rectangle clipped to the colour buffer and, when texturing, to the texture.
  bool clip(int left, int top, int right, int bottom, const RasterSurface* tex, Rect* r) const {
    r->left = std::max<int64_t>(left, 0);
    r->top = std::max<int64_t>(top, 0);
    r->right = std::min<int64_t>(right, color_buffer.width);
    r->bottom = std::min<int64_t>(bottom, color_buffer.height);
    if (tex != nullptr) {
      // Fragment (x, y) reads texel (x + s, y + t); reads never leave the texture.
      r->left = std::max<int64_t>(r->left, -origin_s);
      r->top = std::max<int64_t>(r->top, -origin_t);
      r->right = std::min<int64_t>(r->right, static_cast<int64_t>(tex->width) - origin_s);
      r->bottom = std::min<int64_t>(r->bottom, static_cast<int64_t>(tex->height) - origin_t);
    }
    return r->right > r->left && r->bottom > r->top;
  }
};

RasterContext* raster_create() {
  return new (std::nothrow) RasterContext();
}

void raster_destroy(RasterContext* ctx) {
  delete ctx;
}

void raster_fill_rect(RasterContext* ctx, int left, int top, int right, int bottom) {
  if (ctx == nullptr || !ctx->has_color_buffer) return;
  const RasterSurface& cb = ctx->color_buffer;
  const RasterSurface* tex = nullptr;
  if (ctx->texture_2d) {
    if (!ctx->has_texture[ctx->active_unit]) return;
    tex = &ctx->textures[ctx->active_unit];
  }
  Rect r;
  if (!ctx->clip(left, top, right, bottom, tex, &r)) return;

  const int dst_bpp = bytes_per_pixel(cb.format);
  uint8_t run[kRunPixels * 4];
  if (tex == nullptr) {
    for (int i = 0; i < kRunPixels; ++i) memcpy(run + i * 4, ctx->color, 4);
  }
  const bool colour_opaque = ctx->color[3] == 255;
  const bool plain_store = !ctx->blend || (colour_opaque && ctx->src_factor == RASTER_SRC_ALPHA &&
                                           ctx->dst_factor == RASTER_ONE_MINUS_SRC_ALPHA);
  if (tex == nullptr && plain_store) {
    // One colour stored as it is: convert it once, then copy whole runs.
    uint8_t packed[kRunPixels * 4];
    store_run(cb.format, packed, kRunPixels, run);
    for (int64_t y = r.top; y < r.bottom; ++y) {
      uint8_t* dst_row = cb.data + (y * cb.stride + r.left) * dst_bpp;
      for (int64_t x = 0; x < r.right - r.left; x += kRunPixels) {
        int64_t n = std::min<int64_t>(kRunPixels, r.right - r.left - x);
        memcpy(dst_row + x * dst_bpp, packed, static_cast<size_t>(n * dst_bpp));
      }
    }
    return;
  }
  for (int64_t y = r.top; y < r.bottom; ++y) {
    uint8_t* dst_row = cb.data + (y * cb.stride + r.left) * dst_bpp;
    const uint8_t* src_row = nullptr;
    int src_bpp = 0;
    if (tex != nullptr) {
      src_bpp = bytes_per_pixel(tex->format);
      src_row = tex->data + ((y + ctx->origin_t) * tex->stride + r.left + ctx->origin_s) * src_bpp;
    }
    for (int64_t x = 0; x < r.right - r.left; x += kRunPixels) {
      int n = static_cast<int>(std::min<int64_t>(kRunPixels, r.right - r.left - x));
      bool opaque = colour_opaque;
      if (tex != nullptr) opaque = load_run(tex->format, src_row + x * src_bpp, n, run);
      ctx->write_run(dst_row + x * dst_bpp, n, run, opaque);
    }
  }
}

void raster_active_texture(RasterContext* ctx, int unit) {
  if (ctx != nullptr && unit >= 0 && unit < kTextureUnits) ctx->active_unit = unit;
}

void raster_bind_texture(RasterContext* ctx, const RasterSurface* texture) {
  if (ctx == nullptr) return;
  int u = ctx->active_unit;
  ctx->has_texture[u] = texture != nullptr && surface_usable(*texture);
  if (ctx->has_texture[u]) ctx->textures[u] = *texture;
}

void raster_set_color_buffer(RasterContext* ctx, const RasterSurface* target) {
  if (ctx == nullptr) return;
  ctx->has_color_buffer = target != nullptr && surface_usable(*target);
  if (ctx->has_color_buffer) ctx->color_buffer = *target;
}

void raster_enable(RasterContext* ctx, int cap) {
  if (ctx == nullptr) return;
  if (cap == RASTER_BLEND) ctx->blend = true;
  if (cap == RASTER_TEXTURE_2D) ctx->texture_2d = true;
}

void raster_disable(RasterContext* ctx, int cap) {
  if (ctx == nullptr) return;
  if (cap == RASTER_BLEND) ctx->blend = false;
  if (cap == RASTER_TEXTURE_2D) ctx->texture_2d = false;
}

void raster_color(RasterContext* ctx, int32_t r, int32_t g, int32_t b, int32_t a) {
  if (ctx == nullptr) return;
  ctx->color[0] = byte_from_fixed(r);
  ctx->color[1] = byte_from_fixed(g);
  ctx->color[2] = byte_from_fixed(b);
  ctx->color[3] = byte_from_fixed(a);
}

void raster_blend_func(RasterContext* ctx, int src_factor, int dst_factor) {
  if (ctx == nullptr) return;
  ctx->src_factor = src_factor;
  ctx->dst_factor = dst_factor;
}

void raster_tex_env(RasterContext* ctx, int mode) {
  // Only replace is known: the fragment takes colour and alpha from the texture alone.
  if (ctx != nullptr && mode == RASTER_REPLACE) ctx->tex_env = mode;
}

void raster_tex_origin(RasterContext* ctx, int s, int t) {
  if (ctx == nullptr) return;
  ctx->origin_s = s;
  ctx->origin_t = t;
}

void raster_tex_gen(RasterContext* ctx, int mode) {
  if (ctx != nullptr && mode == RASTER_TEXGEN_ONE_TO_ONE) ctx->tex_gen = mode;
}
