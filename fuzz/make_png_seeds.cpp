// Writes the seed images of the image fuzzer into a directory: small PNG files of every kind
// the loader accepts, of kinds it refuses, and damaged ones, all encoded here from scratch.
//   make_png_seeds DIR
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "fuzz/png_chunks.h"

namespace {

constexpr uint8_t kGrey = 0, kRgb = 2, kPalette = 3, kGreyAlpha = 4, kRgba = 6;

int channels_of(uint8_t colour_type) {
  switch (colour_type) {
    case kRgb:
      return 3;
    case kGreyAlpha:
      return 2;
    case kRgba:
      return 4;
    default:
      return 1;
  }
}

// Sample bytes of pixel (x, y): channels × depth/8 of them.
using PixelFn = std::function<std::vector<uint8_t>(uint32_t x, uint32_t y)>;

struct Image {
  uint32_t width = 1;
  uint32_t height = 1;
  uint8_t depth = 8;
  uint8_t colour_type = kRgb;
  bool interlaced = false;
  PixelFn pixel;
};

uint8_t paeth(int a, int b, int c) {
  int p = a + b - c;
  int pa = p > a ? p - a : a - p;
  int pb = p > b ? p - b : b - p;
  int pc = p > c ? p - c : c - p;
  if (pa <= pb && pa <= pc) return static_cast<uint8_t>(a);
  return static_cast<uint8_t>(pb <= pc ? b : c);
}

// One filtered row: the filter type byte, then the row filtered against the one above.
std::string filter_row(const std::vector<uint8_t>& row, const std::vector<uint8_t>& above,
                       size_t bpp, uint8_t type) {
  std::string out(1, static_cast<char>(type));
  for (size_t i = 0; i < row.size(); ++i) {
    int a = i >= bpp ? row[i - bpp] : 0;
    int b = above.empty() ? 0 : above[i];
    int c = i >= bpp && !above.empty() ? above[i - bpp] : 0;
    int pred = 0;
    switch (type) {
      case 1:
        pred = a;
        break;
      case 2:
        pred = b;
        break;
      case 3:
        pred = (a + b) / 2;
        break;
      case 4:
        pred = paeth(a, b, c);
        break;
      default:
        break;
    }
    out += static_cast<char>(static_cast<uint8_t>(row[i] - pred));
  }
  return out;
}

// The filtered image data; rows take the five filter types in turn.
std::string raw_data(const Image& img) {
  size_t bpp = static_cast<size_t>(channels_of(img.colour_type)) * img.depth / 8;
  struct Pass {
    uint32_t x0, y0, dx, dy;
  };
  std::vector<Pass> passes = {{0, 0, 1, 1}};
  if (img.interlaced) {
    passes = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
              {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
  }
  std::string out;
  uint8_t filter = 0;
  for (const Pass& p : passes) {
    std::vector<uint8_t> above;
    for (uint32_t y = p.y0; y < img.height; y += p.dy) {
      std::vector<uint8_t> row;
      for (uint32_t x = p.x0; x < img.width; x += p.dx) {
        std::vector<uint8_t> px = img.pixel(x, y);
        row.insert(row.end(), px.begin(), px.end());
      }
      if (row.empty()) break;
      out += filter_row(row, above, bpp, filter);
      filter = static_cast<uint8_t>((filter + 1) % 5);
      above = row;
    }
  }
  return out;
}

PngFile encode(const Image& img, const std::vector<PngChunk>& before_data = {}) {
  PngFile f;
  f.chunks.push_back({"IHDR", png_ihdr(img.width, img.height, img.depth, img.colour_type,
                                       img.interlaced ? 1 : 0)});
  for (const PngChunk& c : before_data) f.chunks.push_back(c);
  f.chunks.push_back({"IDAT", png_deflate(raw_data(img), 9)});
  f.chunks.push_back({"IEND", ""});
  return f;
}

std::vector<uint8_t> gradient(uint32_t x, uint32_t y, int channels) {
  std::vector<uint8_t> px;
  for (int c = 0; c < channels; ++c) px.push_back(static_cast<uint8_t>(x * 37 + y * 91 + c * 53));
  return px;
}

Image image(uint32_t w, uint32_t h, uint8_t type, bool interlaced = false, uint8_t depth = 8) {
  Image img;
  img.width = w;
  img.height = h;
  img.colour_type = type;
  img.interlaced = interlaced;
  img.depth = depth;
  int bytes = channels_of(type) * depth / 8;
  img.pixel = [bytes](uint32_t x, uint32_t y) { return gradient(x, y, bytes); };
  return img;
}

Image indexed(uint32_t w, uint32_t h, int colours) {
  Image img = image(w, h, kPalette);
  img.pixel = [colours](uint32_t x, uint32_t y) {
    return std::vector<uint8_t>{static_cast<uint8_t>((x + 2 * y) % colours)};
  };
  return img;
}

PngChunk palette(int colours) {
  std::string d;
  for (int i = 0; i < colours; ++i) {
    d += static_cast<char>(i * 60);
    d += static_cast<char>(255 - i * 40);
    d += static_cast<char>(i * 17 + 3);
  }
  return {"PLTE", d};
}

PngChunk chunk(const char* type, const std::string& data) {
  return {type, data};
}

bool save(const std::string& dir, const char* name, const std::string& bytes) {
  std::string path = dir + "/" + name;
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) {
    perror(path.c_str());
    return false;
  }
  bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    perror(dir.c_str());
    return 1;
  }
  std::vector<std::pair<const char*, std::string>> seeds;
  auto add = [&](const char* name, const PngFile& f) { seeds.push_back({name, png_join(f)}); };

  // Accepted kinds.
  Image two = image(2, 1, kRgb);
  two.pixel = [](uint32_t x, uint32_t) {
    return x == 0 ? std::vector<uint8_t>{10, 20, 30} : std::vector<uint8_t>{40, 50, 60};
  };
  add("rgb_2x1.png", encode(two));
  add("rgba_5x3.png", encode(image(5, 3, kRgba)));
  add("rgb_adam7_3x5.png", encode(image(3, 5, kRgb, true)));
  add("rgba_adam7_9x9.png", encode(image(9, 9, kRgba, true)));
  add("palette_trns_4x4.png",
      encode(indexed(4, 4, 4), {palette(4), chunk("tRNS", std::string("\x00\x80\xff\x40", 4))}));
  add("palette_short_trns_5x2.png",
      encode(indexed(5, 2, 5), {palette(5), chunk("tRNS", std::string("\x10\x20", 2))}));
  add("palette_opaque_4x4.png", encode(indexed(4, 4, 4), {palette(4)}));
  add("palette_adam7_8x8.png", [] {
    Image img = indexed(8, 8, 3);
    img.interlaced = true;
    return encode(img, {palette(3), chunk("tRNS", std::string("\x00\xff\x7f", 3))});
  }());
  add("rgb_ancillary_3x3.png",
      encode(
          image(3, 3, kRgb),
          {chunk("gAMA", std::string("\x00\x00\xb1\x8f", 4)), chunk("sRGB", std::string("\x00", 1)),
           chunk("pHYs", std::string("\x00\x00\x0b\x13\x00\x00\x0b\x13\x01", 9)),
           chunk("tEXt", std::string("Comment\0alarm", 13)),
           chunk("tRNS", std::string("\x00\x0a\x00\x14\x00\x1e", 6))}));
  add("rgb_4096x1.png", encode(image(4096, 1, kRgb)));

  // Refused kinds.
  add("grey_4x4.png", encode(image(4, 4, kGrey)));
  add("grey_alpha_2x2.png", encode(image(2, 2, kGreyAlpha)));
  add("rgb16_2x2.png", encode(image(2, 2, kRgb, false, 16)));
  add("rgba16_adam7_3x3.png", encode(image(3, 3, kRgba, true, 16)));
  add("rgb_4097x1.png", encode(image(4097, 1, kRgb)));

  // Damaged files and headers that lie.
  {
    PngFile f = encode(image(2, 2, kRgba));
    f.chunks[0].data = png_ihdr(64, 64, 8, kRgba, 0);  // the data holds two rows of two
    add("lying_size_64x64.png", f);
    f.chunks[0].data = png_ihdr(2, 2, 8, kRgb, 0);  // RGBA data under an RGB header
    add("lying_kind_rgb.png", f);
    f.chunks[0].data = png_ihdr(0, 2, 8, kRgba, 0);
    add("zero_width.png", f);
  }
  {
    PngFile f = encode(image(8, 8, kRgba));
    f.chunks[1].data.resize(f.chunks[1].data.size() / 2);
    add("cut_data_8x8.png", f);
    f.chunks.erase(f.chunks.begin() + 1);
    add("no_data_8x8.png", f);
  }
  {
    PngFile f = encode(image(6, 6, kRgb));
    std::string d = f.chunks[1].data;
    size_t third = d.size() / 3;
    f.chunks.erase(f.chunks.begin() + 1);
    f.chunks.insert(f.chunks.begin() + 1, {{"IDAT", d.substr(0, third)},
                                           {"IDAT", d.substr(third, third)},
                                           {"IDAT", d.substr(2 * third)}});
    add("split_data_6x6.png", f);
  }
  add("palette_missing_4x4.png", encode(indexed(4, 4, 4)));
  add("palette_index_past_end_4x4.png", encode(indexed(4, 4, 16), {palette(4)}));
  {
    // A text chunk that claims two gigabytes in a file of a few dozen bytes.
    PngFile f;
    f.chunks.push_back({"IHDR", png_ihdr(1, 1, 8, kRgb, 0)});
    std::string file = png_join(f);
    std::string claim;
    png_put_u32(&claim, 0, 0x7ffffff0u);
    seeds.push_back({"regress_text_length_2g.png", file + claim + "tEXtComment"});
  }
  {
    std::string file = png_join(encode(image(3, 3, kRgb)));
    file[PNG_SIGNATURE_SIZE + 8 + PNG_IHDR_SIZE] ^= 0x55;  // IHDR's CRC
    seeds.push_back({"bad_header_crc.png", file});
    std::string sig(reinterpret_cast<const char*>(PNG_SIGNATURE), PNG_SIGNATURE_SIZE);
    seeds.push_back({"signature_only.png", sig});
    seeds.push_back({"five_bytes.png", sig.substr(0, 5)});
    seeds.push_back({"text_100.png", std::string(100, 'a')});
  }

  for (const auto& s : seeds) {
    if (!save(dir, s.first, s.second)) return 1;
  }
  printf("%zu seed images in %s\n", seeds.size(), dir.c_str());
  return 0;
}
