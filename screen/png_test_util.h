// Tests: writing small PNG files of any kind, and pictures made of solid rectangles.
#pragma once

#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

struct TestPng {
  int width = 1;
  int height = 1;
  int color_type = PNG_COLOR_TYPE_RGB;
  int bit_depth = 8;
  bool interlaced = false;
  std::vector<uint8_t> pixels;  // rows of width x channels x bytes per sample
  std::vector<png_color> palette;
  std::vector<uint8_t> alphas;  // transparency chunk of a palette image; empty: none
};

inline bool test_png_rows(png_structp png, png_infop info, FILE* f, const TestPng& p,
                          png_bytep* rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_init_io(png, f);
  png_set_IHDR(png, info, p.width, p.height, p.bit_depth, p.color_type,
               p.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (!p.palette.empty()) {
    png_set_PLTE(png, info, const_cast<png_colorp>(p.palette.data()),
                 static_cast<int>(p.palette.size()));
  }
  if (!p.alphas.empty()) {
    png_set_tRNS(png, info, const_cast<png_bytep>(p.alphas.data()),
                 static_cast<int>(p.alphas.size()), nullptr);
  }
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  return true;
}

inline bool write_test_png(const std::string& path, const TestPng& p) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  size_t row = p.pixels.size() / static_cast<size_t>(p.height);
  std::vector<png_bytep> rows(p.height);
  for (int y = 0; y < p.height; ++y) {
    rows[y] = const_cast<png_bytep>(p.pixels.data() + static_cast<size_t>(y) * row);
  }
  bool ok = test_png_rows(png, info, f, p, rows.data());
  png_destroy_write_struct(&png, &info);
  return fclose(f) == 0 && ok;
}

// A solid RGBA (or RGB, when alpha is 255 and `rgb` is set) picture of one colour.
inline TestPng solid_png(int w, int h, uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255,
                         bool rgb = false) {
  TestPng p;
  p.width = w;
  p.height = h;
  p.color_type = rgb ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_RGB_ALPHA;
  for (int i = 0; i < w * h; ++i) {
    p.pixels.insert(p.pixels.end(), {r, g, b});
    if (!rgb) p.pixels.push_back(a);
  }
  return p;
}

// A file holding the signature, a header chunk for any size, and empty data: enough for
// the decoder to read the header.
inline std::string png_header_only(uint32_t width, uint32_t height, uint8_t depth, uint8_t type) {
  std::string s("\x89PNG\r\n\x1a\n", 8);
  auto be32 = [](std::string* out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<char>(v >> shift));
  };
  auto add_chunk = [&](const std::string& chunk) {
    be32(&s, static_cast<uint32_t>(chunk.size() - 4));
    s += chunk;
    be32(&s, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(chunk.data()),
                                         static_cast<uInt>(chunk.size()))));
  };
  std::string ihdr = "IHDR";
  be32(&ihdr, width);
  be32(&ihdr, height);
  ihdr += static_cast<char>(depth);
  ihdr += static_cast<char>(type);
  ihdr += std::string(3, '\0');
  add_chunk(ihdr);
  add_chunk("IDAT");
  add_chunk("IEND");
  return s;
}
