#include "sim/screenshot.h"

#include <fcntl.h>
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "platform/sandbox_platform.h"

namespace {

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

}  // namespace

bool capture_framebuffer(const std::string& fb_path, Screenshot* shot) {
  SandboxFbGeometry g;
  uint32_t yoffset = 0, yres_virtual = 0;
  if (!read_sandbox_fb_geometry(fb_path, &g) ||
      !read_sandbox_fb_offset(fb_path, &yoffset, &yres_virtual)) {
    return false;
  }
  uint32_t bytes = g.bits_per_pixel == 16 ? 2 : 4;
  if (g.xres == 0 || g.yres == 0 || g.line_length < g.xres * bytes) return false;
  uint64_t start = static_cast<uint64_t>(yoffset) * g.line_length;
  uint64_t span = static_cast<uint64_t>(g.yres) * g.line_length;
  if (start + span > g.smem_len) return false;
  int fd = open(fb_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::vector<uint8_t> raw(span);
  ssize_t n = pread(fd, raw.data(), span, static_cast<off_t>(start));
  close(fd);
  if (n != static_cast<ssize_t>(span)) return false;

  shot->width = g.xres;
  shot->height = g.yres;
  shot->rgba.assign(static_cast<size_t>(g.xres) * g.yres * 4, 0);
  for (uint32_t y = 0; y < g.yres; ++y) {
    const uint8_t* row = raw.data() + static_cast<size_t>(y) * g.line_length;
    uint8_t* out = shot->rgba.data() + static_cast<size_t>(y) * g.xres * 4;
    for (uint32_t x = 0; x < g.xres; ++x, out += 4) {
      if (bytes == 2) {
        uint16_t v = static_cast<uint16_t>(row[2 * x] | (row[2 * x + 1] << 8));
        uint8_t r = (v >> 11) & 0x1f, gr = (v >> 5) & 0x3f, b = v & 0x1f;
        out[0] = static_cast<uint8_t>((r << 3) | (r >> 2));
        out[1] = static_cast<uint8_t>((gr << 2) | (gr >> 4));
        out[2] = static_cast<uint8_t>((b << 3) | (b >> 2));
      } else {
        out[0] = row[4 * x];
        out[1] = row[4 * x + 1];
        out[2] = row[4 * x + 2];
      }
      out[3] = 255;  // the panel shows no transparency
    }
  }
  return true;
}

bool write_png(const std::string& path, const Screenshot& shot) {
  File f(fopen(path.c_str(), "wbe"));
  if (!f) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, f.get());
  png_set_IHDR(png, info, shot.width, shot.height, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (uint32_t y = 0; y < shot.height; ++y) {
    png_write_row(
        png, const_cast<png_bytep>(shot.rgba.data() + static_cast<size_t>(y) * shot.width * 4));
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return true;
}

bool read_png(const std::string& path, Screenshot* shot) {
  File f(fopen(path.c_str(), "rbe"));
  if (!f) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_init_io(png, f.get());
  png_read_info(png, info);
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_gray_to_rgb(png);
  png_set_add_alpha(png, 0xff, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  shot->width = png_get_image_width(png, info);
  shot->height = png_get_image_height(png, info);
  shot->rgba.assign(static_cast<size_t>(shot->width) * shot->height * 4, 0);
  std::vector<png_bytep> rows(shot->height);
  for (uint32_t y = 0; y < shot->height; ++y) {
    rows[y] = shot->rgba.data() + static_cast<size_t>(y) * shot->width * 4;
  }
  png_read_image(png, rows.data());
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}
