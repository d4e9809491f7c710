#include "screen/resources.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "base/kernel_log.h"
#include "platform/unique_fd.h"

gr_surface* g_surfaces[IMAGE_SLOT_COUNT] = {};

namespace {

constexpr char kImageRoot[] = "/res/images/";
constexpr size_t kImageNameLimit = 49;  // size-class directory and image name
constexpr size_t kImagePathLimit = 254;
constexpr int kSignatureBytes = 8;
constexpr uint32_t kSurfaceVersion = 32;
constexpr uint32_t kMaxImageSide = 4096;
constexpr char kWhere[] = "res_create_surface";

struct ImageEntry {
  int slot;
  const char* name;  // null ends a group
};

const ImageEntry g_image_table[] = {
    {0, "icon_alarm"},  {1, "button_sleep"},
    {2, "button_stop"}, {3, "button_poweron"},
    {4, "button_bg"},   {-1, nullptr},
    {6, "0"},           {7, "1"},
    {8, "2"},           {9, "3"},
    {10, "4"},          {11, "5"},
    {12, "6"},          {13, "7"},
    {14, "8"},          {15, "9"},
    {16, "dot"},        {-1, nullptr},
    {-1, nullptr},
};
constexpr int kImageTableSize = sizeof g_image_table / sizeof g_image_table[0];

// Where each failure is reported, as the kernel log has always numbered them.
int failure_number(int code) {
  switch (code) {
    case -1:
      return 59;
    case -2:
      return 66;
    case -3:
      return 72;
    case -4:
      return 79;
    case -5:
      return 86;
    case -6:
      return 92;
    case -7:
      return 112;
    default:
      return 120;
  }
}

// Fault injection for tests: the version text and a budget of decoder allocations.
const char* g_decoder_version = PNG_LIBPNG_VER_STRING;
int g_decoder_allocation_budget = -1;

// The decoder's own blocks (rows, the inflate window, chunk data) stay far below this for
// any image we accept; a chunk that claims more (a lying length in a tiny file) is refused
// instead of taking and zeroing gigabytes while the alarm loads its screen.
constexpr png_alloc_size_t kDecoderBlockLimit = 1 << 20;

png_voidp decoder_malloc(png_structp, png_alloc_size_t size) {
  if (size > kDecoderBlockLimit) return nullptr;
  if (g_decoder_allocation_budget == 0) return nullptr;
  if (g_decoder_allocation_budget > 0) --g_decoder_allocation_budget;
  return malloc(size);
}

void decoder_free(png_structp, png_voidp p) {
  free(p);
}

// Owns the decoder and its information record.
struct Decoder {
  png_structp png = nullptr;
  png_infop info = nullptr;
  ~Decoder() {
    if (png != nullptr) png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
  }
};

// Reads the header and the rows into a new block, left in *block for the caller to own
// (also when a decoder error jumps back here). Only plain values live in this frame, as a
// decoder error leaves it through longjmp.
int decode_rows(png_structp png, png_infop info, FILE* file, gr_surface** block) {
  if (setjmp(png_jmpbuf(png))) return -6;
  png_init_io(png, file);
  png_set_sig_bytes(png, kSignatureBytes);
  png_read_info(png, info);

  png_uint_32 width = png_get_image_width(png, info);
  png_uint_32 height = png_get_image_height(png, info);
  int depth = png_get_bit_depth(png, info);
  int type = png_get_color_type(png, info);
  int channels = png_get_channels(png, info);
  bool rgb = type == PNG_COLOR_TYPE_RGB && channels == 3;
  bool rgba = type == PNG_COLOR_TYPE_RGB_ALPHA && channels == 4;
  bool palette = type == PNG_COLOR_TYPE_PALETTE && channels == 1;
  if (depth != 8 || !(rgb || rgba || palette)) return -7;

  // The pixel block's size must not wrap, and a picture larger than any screen is refused
  // before anything is allocated.
  if (width == 0 || height == 0 || width > kMaxImageSide || height > kMaxImageSide) return -8;
  size_t row_bytes = static_cast<size_t>(width) * 4;
  if (row_bytes / 4 != width || (SIZE_MAX - sizeof(gr_surface)) / row_bytes < height) return -8;
  size_t bytes = sizeof(gr_surface) + row_bytes * height;

  *block = static_cast<gr_surface*>(malloc(bytes));
  if (*block == nullptr) return -8;
  gr_surface* s = *block;
  *s = gr_surface{};
  s->version = kSurfaceVersion;
  s->width = width;
  s->height = height;
  s->stride = static_cast<int32_t>(width);
  s->data = reinterpret_cast<uint8_t*>(s + 1);
  s->format = rgb ? GR_FORMAT_RGBX_8888 : GR_FORMAT_RGBA_8888;

  // Every row comes out as 4 bytes per pixel: a palette is expanded (its transparency
  // chunk to alpha), and an image without alpha gets an opaque fourth byte.
  if (palette) png_set_palette_to_rgb(png);
  if (rgb || (palette && !png_get_valid(png, info, PNG_INFO_tRNS))) {
    png_set_filler(png, 0xff, PNG_FILLER_AFTER);
  }
  int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != row_bytes) return -7;

  for (int pass = 0; pass < passes; ++pass) {
    for (png_uint_32 y = 0; y < height; ++y) png_read_row(png, s->data + y * row_bytes, nullptr);
  }
  return 0;
}

int create_surface(const char* name, gr_surface** slot) {
  char path[kImagePathLimit + 1];
  snprintf(path, sizeof path, "%s%s.png", kImageRoot, name);
  kernel_log_write(6, "<6>alarm: %s open %s\n", kWhere, path);

  UniqueFile file(fopen(device_path(path).c_str(), "rbe"));
  if (!file) return -1;
  png_byte header[kSignatureBytes];
  if (fread(header, 1, sizeof header, file.get()) != sizeof header) return -2;
  if (png_sig_cmp(header, 0, sizeof header) != 0) return -3;

  Decoder decoder;
  decoder.png = png_create_read_struct_2(g_decoder_version, nullptr, nullptr, nullptr, nullptr,
                                         decoder_malloc, decoder_free);
  if (decoder.png == nullptr) return -4;
  decoder.info = png_create_info_struct(decoder.png);
  if (decoder.info == nullptr) return -5;

  gr_surface* block = nullptr;
  int rc = decode_rows(decoder.png, decoder.info, file.get(), &block);
  if (rc != 0) {
    free(block);
    return rc;
  }
  *slot = block;
  return 0;
}

}  // namespace

const char* res_resolution_dir(int width, int height) {
  if (width > 550 || height > 750) return "wvga/";
  if (width <= 240 || height <= 320) return "qvga/";
  return "hvga/";
}

int res_create_surface(const char* name, gr_surface** slot) {
  int rc = create_surface(name, slot);
  if (rc != 0) kernel_log_write(6, "<6>alarm: %s line: %d\n", kWhere, failure_number(rc));
  return rc;
}

void res_release_surface(gr_surface* s) {
  free(s);
}

void alarm_load_images(int group) {
  if (group < 0 || group >= kImageTableSize) return;
  const char* dir = res_resolution_dir(gr_screen_width(), gr_screen_height());
  for (int i = group; i < kImageTableSize && g_image_table[i].name != nullptr; ++i) {
    const ImageEntry& e = g_image_table[i];
    char name[kImageNameLimit + 1];
    snprintf(name, sizeof name, "%s%s", dir, e.name);
    res_release_surface(g_surfaces[e.slot]);
    g_surfaces[e.slot] = nullptr;
    gr_surface* loaded = nullptr;
    if (res_create_surface(name, &loaded) < 0) {
      kernel_log_write(3, "<3>alarm: creat surfaces failed!  %s", e.name);
      loaded = nullptr;
    }
    g_surfaces[e.slot] = loaded;
  }
}

void alarm_free_images(int group) {
  if (group < 0 || group >= kImageTableSize) return;
  for (int i = group; i < kImageTableSize && g_image_table[i].name != nullptr; ++i) {
    gr_surface*& slot = g_surfaces[g_image_table[i].slot];
    res_release_surface(slot);
    slot = nullptr;  // a second free of the group finds nothing to free
  }
}

void res_set_decoder_faults(const char* version, int allocation_budget) {
  g_decoder_version = version != nullptr ? version : PNG_LIBPNG_VER_STRING;
  g_decoder_allocation_budget = allocation_budget;
}
