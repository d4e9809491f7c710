#include "sim/fb_capture.h"

#include <fcntl.h>
#include <png.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <memory>
#include <utility>

#include "platform/unique_fd.h"
#include "sandbox/sandbox_platform.h"

namespace {

constexpr uint32_t kMaxSide = 8192;

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) close(fd);
  }
};

// Only plain values in this frame: a libpng error leaves it through longjmp.
bool write_rows(png_structp png, png_infop info, FILE* file, const FbCapture& c, png_bytep* rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_init_io(png, file);
  png_set_IHDR(png, info, c.width, c.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_set_filler(png, 0, PNG_FILLER_AFTER);  // drops the alpha byte: an RGB file
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  return true;
}

}  // namespace

bool fb_capture_shown(const std::string& fb_path, FbCapture* out) {
  SandboxFbGeometry g;
  uint32_t yoffset = 0, yres_virtual = 0;
  if (!read_sandbox_fb_geometry(fb_path, &g) ||
      !read_sandbox_fb_offset(fb_path, &yoffset, &yres_virtual)) {
    return false;
  }
  const uint32_t bpp = g.bits_per_pixel == 16 ? 2 : 4;
  if (g.xres == 0 || g.yres == 0 || g.xres > kMaxSide || g.yres > kMaxSide) return false;
  const size_t pitch = g.line_length >= g.xres * bpp ? g.line_length : g.xres * bpp;
  FdCloser fd{open(fb_path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (fd.fd < 0) return false;

  out->width = g.xres;
  out->height = g.yres;
  out->rgba.assign(static_cast<size_t>(g.xres) * g.yres * 4, 0);
  std::vector<uint8_t> row(pitch);
  const uint32_t red = g.red_blue_swapped ? 2 : 0;  // the byte of red in a 32-bit pixel
  for (uint32_t y = 0; y < g.yres; ++y) {
    off_t at = static_cast<off_t>((static_cast<uint64_t>(yoffset) + y) * pitch);
    ssize_t got = pread(fd.fd, row.data(), g.xres * bpp, at);
    if (got != static_cast<ssize_t>(g.xres * bpp)) return false;
    uint8_t* dst = out->rgba.data() + static_cast<size_t>(y) * g.xres * 4;
    for (uint32_t x = 0; x < g.xres; ++x, dst += 4) {
      if (bpp == 2) {
        uint32_t v = row[x * 2] | (row[x * 2 + 1] << 8);
        uint32_t r = v >> 11, gr = (v >> 5) & 0x3f, b = v & 0x1f;
        if (g.red_blue_swapped) std::swap(r, b);
        dst[0] = static_cast<uint8_t>((r << 3) | (r >> 2));
        dst[1] = static_cast<uint8_t>((gr << 2) | (gr >> 4));
        dst[2] = static_cast<uint8_t>((b << 3) | (b >> 2));
      } else {
        dst[0] = row[x * 4 + red];
        dst[1] = row[x * 4 + 1];
        dst[2] = row[x * 4 + 2 - red];
      }
      dst[3] = 255;
    }
  }
  return true;
}

bool fb_capture_write_png(const FbCapture& c, const std::string& png_path) {
  if (c.width == 0 || c.height == 0 ||
      c.rgba.size() != static_cast<size_t>(c.width) * c.height * 4) {
    return false;
  }
  UniqueFile file(fopen(png_path.c_str(), "wbe"));
  if (!file) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  std::vector<png_bytep> rows(c.height);
  for (uint32_t y = 0; y < c.height; ++y) {
    rows[y] = const_cast<png_bytep>(c.rgba.data() + static_cast<size_t>(y) * c.width * 4);
  }
  bool ok = info != nullptr && write_rows(png, info, file.get(), c, rows.data());
  png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
  return ok && fflush(file.get()) == 0;
}
