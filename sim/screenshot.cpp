#include "sim/screenshot.h"
#include "platform/unique_fd.h"

#include <fcntl.h>
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace {}  // namespace

bool read_png(const std::string& path, Screenshot* shot) {
  UniqueFile f(fopen(path.c_str(), "rbe"));
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
