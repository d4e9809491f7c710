// alarm-vm-compare A B: compares two pictures (PNG, or the binary PPM that qemu's screendump
// writes) pixel by pixel, colour only. Exit 0 when identical; otherwise it says how many
// pixels differ, and whether the pictures match with red and blue swapped.
#include <png.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Picture {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> rgb;  // R, G, B per pixel, top row first
};

bool read_png(const char* path, Picture* out) {
  png_image image;
  memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path)) return false;
  image.format = PNG_FORMAT_RGB;
  out->width = image.width;
  out->height = image.height;
  out->rgb.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out->rgb.data(), 0, nullptr)) {
    png_image_free(&image);
    return false;
  }
  return true;
}

// "P6", width, height, 255, one white-space byte, then the pixels.
bool read_ppm(FILE* f, Picture* out) {
  char magic[3] = {};
  unsigned w = 0, h = 0, max = 0;
  if (fscanf(f, "%2s %u %u %u", magic, &w, &h, &max) != 4) return false;
  if (strcmp(magic, "P6") != 0 || max != 255 || w == 0 || h == 0 || w > 16384 || h > 16384) {
    return false;
  }
  fgetc(f);
  out->width = w;
  out->height = h;
  out->rgb.resize(static_cast<size_t>(w) * h * 3);
  return fread(out->rgb.data(), 1, out->rgb.size(), f) == out->rgb.size();
}

bool read_picture(const char* path, Picture* out) {
  FILE* f = fopen(path, "rb");
  if (f == nullptr) return false;
  unsigned char head[2] = {};
  bool ppm = fread(head, 1, 2, f) == 2 && head[0] == 'P' && head[1] == '6';
  bool ok;
  if (ppm) {
    rewind(f);
    ok = read_ppm(f, out);
    fclose(f);
  } else {
    fclose(f);
    ok = read_png(path, out);
  }
  return ok;
}

size_t differing(const Picture& a, const Picture& b, bool swap_red_blue) {
  size_t n = 0;
  for (size_t i = 0; i < a.rgb.size(); i += 3) {
    const uint8_t* p = &a.rgb[i];
    const uint8_t* q = &b.rgb[i];
    uint8_t r = swap_red_blue ? q[2] : q[0];
    uint8_t bl = swap_red_blue ? q[0] : q[2];
    if (p[0] != r || p[1] != q[1] || p[2] != bl) ++n;
  }
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: alarm-vm-compare A.png|A.ppm B.png|B.ppm\n");
    return 2;
  }
  Picture a, b;
  if (!read_picture(argv[1], &a)) {
    fprintf(stderr, "alarm-vm-compare: cannot read %s\n", argv[1]);
    return 2;
  }
  if (!read_picture(argv[2], &b)) {
    fprintf(stderr, "alarm-vm-compare: cannot read %s\n", argv[2]);
    return 2;
  }
  if (a.width != b.width || a.height != b.height) {
    printf("different sizes: %ux%u and %ux%u\n", a.width, a.height, b.width, b.height);
    return 1;
  }
  size_t total = static_cast<size_t>(a.width) * a.height;
  size_t n = differing(a, b, false);
  if (n == 0) {
    printf("identical, %ux%u\n", a.width, a.height);
    return 0;
  }
  size_t swapped = differing(a, b, true);
  printf("%zu of %zu pixels differ%s\n", n, total,
         swapped == 0 ? "; identical with red and blue swapped" : "");
  return 1;
}
