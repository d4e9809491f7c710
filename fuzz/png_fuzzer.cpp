// The PNG loader: the input is an image file under "/res/images/", decoded by
// res_create_surface. A decoded surface is held against the file's own header and against
// the library's simplified decoder; a refusal must leave the slot alone. The mutator keeps
// chunk CRCs right and also changes the header, the chunks and the inflated image data, so
// that damaged images reach the row decoding instead of failing every CRC.
#include <png.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fuzz/png_chunks.h"
#include "screen/resources.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

namespace {

constexpr char kImageName[] = "fuzz";
constexpr char kImagePath[] = "/res/images/fuzz.png";
constexpr uint32_t kSurfaceVersion = 32;
constexpr size_t kInflateLimit = 1 << 20;

volatile unsigned g_pixel_sum;  // keeps the read of every pixel byte

// Colour, gamma and transparency chunks make the simplified decoder convert what the loader
// copies as stored; pixels are compared only in files without them.
bool converts_colours(const PngFile& f, uint8_t colour_type) {
  for (const PngChunk& c : f.chunks) {
    if (c.type == "gAMA" || c.type == "sRGB" || c.type == "iCCP" || c.type == "cHRM") return true;
    if (c.type == "tRNS" && colour_type != PNG_COLOR_TYPE_PALETTE) return true;
  }
  return false;
}

// The simplified reader takes whatever block a chunk claims, where the loader refuses blocks
// over 1 MB and reads on: a file that ends in a chunk claiming more than that is not compared.
bool claims_a_huge_chunk(const PngFile& f) {
  return f.trailing.size() >= 8 &&
         png_get_u32(reinterpret_cast<const uint8_t*>(f.trailing.data())) > kInflateLimit;
}

// The same image through libpng's simplified reader, as RGBA; empty when it refuses it.
std::vector<uint8_t> reference_rgba(const uint8_t* data, size_t size) {
  png_image image;
  memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, data, size)) return {};
  image.format = PNG_FORMAT_RGBA;
  std::vector<uint8_t> out(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out.data(), 0, nullptr)) {
    png_image_free(&image);
    return {};
  }
  return out;
}

void check_surface(const uint8_t* data, size_t size, const gr_surface* s) {
  // Success means the decoder read a header: the first IHDR chunk (the decoder lets unknown
  // chunks come before it).
  PngFile f;
  FUZZ_CHECK(png_split(data, size, &f));
  const PngChunk* header = nullptr;
  for (const PngChunk& c : f.chunks) {
    if (c.type == "IHDR") {
      header = &c;
      break;
    }
  }
  FUZZ_CHECK(header != nullptr && header->data.size() == PNG_IHDR_SIZE);
  const uint8_t* ihdr = reinterpret_cast<const uint8_t*>(header->data.data());
  uint32_t width = png_get_u32(ihdr);
  uint32_t height = png_get_u32(ihdr + 4);
  uint8_t depth = ihdr[8];
  uint8_t colour_type = ihdr[9];
  FUZZ_CHECK(depth == 8);
  FUZZ_CHECK(colour_type == PNG_COLOR_TYPE_RGB || colour_type == PNG_COLOR_TYPE_RGB_ALPHA ||
             colour_type == PNG_COLOR_TYPE_PALETTE);

  FUZZ_CHECK(s->version == kSurfaceVersion);
  FUZZ_CHECK(s->width == width && s->height == height);
  FUZZ_CHECK(width > 0 && height > 0);
  FUZZ_CHECK(s->stride == static_cast<int32_t>(width));
  FUZZ_CHECK(s->data == reinterpret_cast<const uint8_t*>(s + 1));
  FUZZ_CHECK(s->format ==
             (colour_type == PNG_COLOR_TYPE_RGB ? GR_FORMAT_RGBX_8888 : GR_FORMAT_RGBA_8888));

  // Every pixel byte belongs to the block (the sanitizer sees each one read), and an image
  // without alpha is opaque.
  size_t bytes = static_cast<size_t>(width) * height * 4;
  unsigned sum = 0;
  for (size_t i = 0; i < bytes; ++i) sum += s->data[i];
  g_pixel_sum = sum;
  if (s->format == GR_FORMAT_RGBX_8888) {
    for (size_t i = 3; i < bytes; i += 4) FUZZ_CHECK(s->data[i] == 0xff);
  }

  if (converts_colours(f, colour_type) || claims_a_huge_chunk(f)) return;
  std::vector<uint8_t> want = reference_rgba(data, size);
  if (want.empty()) return;  // it reads the whole file; the loader stops after the rows
  FUZZ_CHECK(want.size() == bytes);
  FUZZ_CHECK(memcmp(want.data(), s->data, bytes) == 0);
}

// A header field set to a value that lies: sizes near the limits, depths and kinds the
// loader refuses or the data does not match.
void lie_in_header(std::string* ihdr, std::minstd_rand& rng) {
  if (ihdr->size() != PNG_IHDR_SIZE) return;
  static const uint32_t kSizes[] = {
      0, 1, 2, 3, 7, 8, 9, 255, 256, 4095, 4096, 4097, 65535, 0x7fffffff, 0x80000000u, 0xffffffffu};
  static const uint8_t kDepths[] = {1, 2, 4, 8, 16, 0, 3, 32};
  static const uint8_t kKinds[] = {0, 2, 3, 4, 6, 1, 5, 7};
  uint32_t old_w = png_get_u32(reinterpret_cast<const uint8_t*>(ihdr->data()));
  uint32_t old_h = png_get_u32(reinterpret_cast<const uint8_t*>(ihdr->data()) + 4);
  switch (rng() % 7) {
    case 0:
      png_put_u32(ihdr, 0, kSizes[rng() % 16]);
      break;
    case 1:
      png_put_u32(ihdr, 4, kSizes[rng() % 16]);
      break;
    case 2:
      png_put_u32(ihdr, 0, old_w + 1 - static_cast<uint32_t>(rng() % 3));
      png_put_u32(ihdr, 4, old_h + 1 - static_cast<uint32_t>(rng() % 3));
      break;
    case 3:
      (*ihdr)[8] = static_cast<char>(kDepths[rng() % 8]);
      break;
    case 4:
      (*ihdr)[9] = static_cast<char>(kKinds[rng() % 8]);
      break;
    case 5:
      (*ihdr)[12] = static_cast<char>(rng() % 3);  // interlace
      break;
    default:
      (*ihdr)[10 + rng() % 2] = static_cast<char>(rng() % 2);  // compression, filter method
      break;
  }
}

// Runs libFuzzer's own byte mutation on a string, with room to grow.
void mutate_bytes(std::string* s, size_t room) {
  size_t size = s->size();
  s->resize(size + room + 1);
  size_t n = LLVMFuzzerMutate(reinterpret_cast<uint8_t*>(&(*s)[0]), size, size + room + 1);
  s->resize(n);
}

// The image data inflated, mutated as filtered rows, and deflated into one chunk.
bool mutate_image_data(PngFile* f, std::minstd_rand& rng) {
  std::string stream;
  size_t first = f->chunks.size();
  for (size_t i = 0; i < f->chunks.size(); ++i) {
    if (f->chunks[i].type != "IDAT") continue;
    if (first == f->chunks.size()) first = i;
    stream += f->chunks[i].data;
  }
  std::string raw;
  if (first == f->chunks.size() || !png_inflate(stream, kInflateLimit, &raw)) return false;
  mutate_bytes(&raw, raw.size() / 4 + 16);
  std::string packed = png_deflate(raw, static_cast<int>(rng() % 10));
  if (packed.empty()) return false;
  std::vector<PngChunk> kept;
  for (size_t i = 0; i < f->chunks.size(); ++i) {
    if (i == first) kept.push_back({"IDAT", packed});
    if (f->chunks[i].type != "IDAT") kept.push_back(f->chunks[i]);
  }
  f->chunks = kept;
  return true;
}

void mutate_structure(PngFile* f, std::minstd_rand& rng) {
  static const char* const kTypes[] = {"PLTE", "tRNS", "gAMA", "IDAT", "IEND",
                                       "sBIT", "bKGD", "hIST", "tEXt", "zTXt"};
  auto& c = f->chunks;
  size_t n = c.size();
  switch (rng() % 4) {
    case 0:
      if (n > 1) c.erase(c.begin() + 1 + rng() % (n - 1));  // the header stays first
      break;
    case 1:
      if (n > 0) c.insert(c.begin() + rng() % (n + 1), c[rng() % n]);
      break;
    case 2:
      if (n > 2) std::swap(c[1 + rng() % (n - 1)], c[1 + rng() % (n - 1)]);
      break;
    default: {
      PngChunk extra{kTypes[rng() % 10], std::string(rng() % 20, '\0')};
      for (char& b : extra.data) b = static_cast<char>(rng());
      c.insert(c.begin() + (n > 0 ? 1 + rng() % n : 0), extra);
      break;
    }
  }
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size,
                                          unsigned int seed) {
  std::minstd_rand rng(seed);
  PngFile f;
  if (rng() % 4 != 0 && png_split(data, size, &f) && !f.chunks.empty()) {
    switch (rng() % 4) {
      case 0: {
        PngChunk& c = f.chunks[rng() % f.chunks.size()];
        mutate_bytes(&c.data, 16);
        break;
      }
      case 1:
        if (!mutate_image_data(&f, rng)) mutate_structure(&f, rng);
        break;
      case 2:
        lie_in_header(&f.chunks[0].data, rng);
        break;
      default:
        mutate_structure(&f, rng);
        break;
    }
    std::string out = png_join(f);
    if (out.size() <= max_size) {
      memcpy(data, out.data(), out.size());
      return out.size();
    }
  }
  size = LLVMFuzzerMutate(data, size, max_size);
  if (rng() % 8 != 0) png_fix_crcs(data, size);
  return size;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_sandbox_init("2026-12-09 06:59:40");
  fuzz_make_dir("/res/images");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_write_file(kImagePath, data, size);
  gr_surface untouched;
  gr_surface* slot = &untouched;
  int rc = res_create_surface(kImageName, &slot);

  // The file is there, and memory is plenty: only the file's content can fail the load.
  FUZZ_CHECK(rc == 0 || rc == -2 || rc == -3 || rc == -6 || rc == -7 || rc == -8);
  FUZZ_CHECK((rc == -2) == (size < PNG_SIGNATURE_SIZE));
  FUZZ_CHECK((rc == -3) ==
             (size >= PNG_SIGNATURE_SIZE && memcmp(data, PNG_SIGNATURE, PNG_SIGNATURE_SIZE) != 0));
  if (rc != 0) {
    FUZZ_CHECK(slot == &untouched);
    return 0;
  }
  FUZZ_CHECK(slot != nullptr && slot != &untouched);
  check_surface(data, size, slot);
  res_release_surface(slot);
  return 0;
}
