#include "screen/graphics.h"

#include <fcntl.h>
#include <linux/fb.h>
#include <linux/kd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/system_property.h"
#include "raster/raster.h"

namespace {

constexpr uint32_t kSurfaceVersion = 32;
constexpr uint32_t kMaxScreenSide = 8192;
constexpr char kRotationProperty[] = "ro.sf.hwrotation";
constexpr char kTurnedRotation[] = "180";

struct GraphicsState {
  RasterContext* raster_ctx = nullptr;
  gr_surface fb_buffers[2] = {};
  gr_surface back_surface = {};
  fb_var_screeninfo screen_info = {};
  unsigned active_buffer = 0;
  int reverse_screen = 0;
  int fb_fd = -1;
  int vt_fd = -1;
  // The mapping of the device memory, and how it is laid out: rows `line_bytes` apart
  // (the device's line length), one or two buffers of `yres` rows each.
  uint8_t* map = nullptr;
  size_t map_len = 0;
  size_t line_bytes = 0;
  unsigned buffer_count = 0;
};

GraphicsState g_gr;
std::atomic<uint32_t> g_generation{0};
// Never destroyed: the refresh thread may still wait on it while the process exits.
WakeEvent& g_drawing_event = *new WakeEvent;

uint8_t format_for_depth(uint32_t bits_per_pixel) {
  return bits_per_pixel == 16 ? GR_FORMAT_RGB_565 : GR_FORMAT_RGBA_8888;
}

size_t bytes_per_pixel(uint8_t format) {
  return format == GR_FORMAT_RGB_565 ? 2 : 4;
}

RasterSurface raster_view(const gr_surface& s) {
  RasterSurface r;
  r.width = s.width;
  r.height = s.height;
  r.stride = s.stride;
  r.data = s.data;
  r.format = s.format;
  return r;
}

int clamp_to_int(int64_t v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int>(v);
}

// Depth of this thread's holds on the drawing lock, and whether a drawing since the
// outermost hold began still waits to be announced (guarded by the lock).
thread_local int t_lock_depth = 0;
bool g_drawing_unannounced = false;

// Called with the drawing lock held.
void note_drawing() {
  g_generation.fetch_add(1);
  g_drawing_unannounced = true;
}

void set_screen_surface(gr_surface* s, uint8_t* data, int32_t stride) {
  *s = gr_surface{};
  s->version = kSurfaceVersion;
  s->width = g_gr.screen_info.xres;
  s->height = g_gr.screen_info.yres;
  s->stride = stride;
  s->data = data;
  s->format = format_for_depth(g_gr.screen_info.bits_per_pixel);
}

int fail_open(int fd, const char* report) {
  perror(report);
  close(fd);
  return -1;
}

// Opens and maps the device. Rows are laid at the device's line length, and a memory that
// cannot hold two buffers is driven with one, so no write ever leaves the mapping.
int gr_open_framebuffer() {
  std::string path = device_path(FB_DEVICE_PATH);
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    perror("cannot open fb0");
    return -1;
  }
  fb_fix_screeninfo fix = {};
  if (platform().fb_get_fixed_info(fd, &fix) != 0) return fail_open(fd, "failed to get fb0 info");
  if (platform().fb_get_variable_info(fd, &g_gr.screen_info) != 0) {
    return fail_open(fd, "failed to get fb0 info");
  }
  const fb_var_screeninfo& vi = g_gr.screen_info;
  if (vi.xres == 0 || vi.yres == 0 || vi.xres > kMaxScreenSide || vi.yres > kMaxScreenSide) {
    errno = EINVAL;
    return fail_open(fd, "failed to get fb0 info");
  }
  const size_t bpp = bytes_per_pixel(format_for_depth(vi.bits_per_pixel));
  const size_t row = vi.xres * bpp;
  const size_t pitch = fix.line_length >= row ? fix.line_length : row;
  size_t memory = fix.smem_len;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) < memory) {
    memory = static_cast<size_t>(st.st_size);  // a device file shorter than it claims
  }
  // 64-bit arithmetic: a damaged line length must not wrap on a 32-bit phone.
  const uint64_t buffer_bytes = static_cast<uint64_t>(pitch) * vi.yres;
  if (buffer_bytes > memory) {
    errno = ENOMEM;
    return fail_open(fd, "framebuffer memory holds no whole screen");
  }
  void* map = mmap(nullptr, memory, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) return fail_open(fd, "failed to mmap framebuffer");

  g_gr.map = static_cast<uint8_t*>(map);
  g_gr.map_len = memory;
  g_gr.line_bytes = pitch;
  g_gr.buffer_count = 2 * buffer_bytes <= memory ? 2 : 1;  // both fit: no wrap below
  int32_t stride = static_cast<int32_t>(pitch % bpp == 0 ? pitch / bpp : vi.xres);
  set_screen_surface(&g_gr.fb_buffers[0], g_gr.map, stride);
  set_screen_surface(&g_gr.fb_buffers[1], g_gr.map + (g_gr.buffer_count - 1) * buffer_bytes,
                     stride);
  return fd;
}

void gr_alloc_back_surface() {
  const gr_surface& fb = g_gr.fb_buffers[0];
  size_t bytes = static_cast<size_t>(fb.width) * fb.height * bytes_per_pixel(fb.format);
  set_screen_surface(&g_gr.back_surface, static_cast<uint8_t*>(malloc(bytes)),
                     static_cast<int32_t>(fb.width));
}

// Shows buffer n. With one buffer the display always shows buffer 0.
void gr_set_visible_buffer(unsigned n) {
  if (n > 1 || n >= g_gr.buffer_count) return;
  fb_var_screeninfo& vi = g_gr.screen_info;
  if (g_gr.buffer_count == 2) {
    vi.yres_virtual = vi.yres * 2;
  } else if (vi.yres_virtual < vi.yres) {
    vi.yres_virtual = vi.yres;
  }
  vi.yoffset = n * vi.yres;
  if (platform().fb_put_variable_info(g_gr.fb_fd, &vi) != 0) perror("active fb swap failed");
}

#if defined(__GNUC__)
typedef uint32_t Words4 __attribute__((vector_size(16)));

inline Words4 reverse_words(Words4 v) {
#if defined(__clang__)
  return __builtin_shufflevector(v, v, 3, 2, 1, 0);
#else
  return __builtin_shuffle(v, Words4{3, 2, 1, 0});
#endif
}

// 16 bytes of pixels in reverse order: the four 32-bit words turned round and, for 16-bit
// pixels, the two halves of each word swapped too.
template <typename Pixel>
inline Words4 reverse_pixels(Words4 v) {
  v = reverse_words(v);
  if constexpr (sizeof(Pixel) == 2) v = (v << 16) | (v >> 16);
  return v;
}
#endif

// One row with its pixels in reverse order, 32 bytes at a time where the compiler offers
// vector shuffles (SSE on the host, NEON on a phone), pixel by pixel for the rest.
template <typename Pixel>
void copy_row_reversed(uint8_t* dst, const uint8_t* src, uint32_t count) {
  uint32_t p = 0;
#if defined(__GNUC__)
  constexpr uint32_t kLanes = 16 / sizeof(Pixel);
  for (; p + 2 * kLanes <= count; p += 2 * kLanes) {
    Words4 a, b;
    memcpy(&a, src + (count - p - kLanes) * sizeof(Pixel), 16);
    memcpy(&b, src + (count - p - 2 * kLanes) * sizeof(Pixel), 16);
    a = reverse_pixels<Pixel>(a);
    b = reverse_pixels<Pixel>(b);
    memcpy(dst + p * sizeof(Pixel), &a, 16);
    memcpy(dst + (p + kLanes) * sizeof(Pixel), &b, 16);
  }
#endif
  for (; p < count; ++p) {
    Pixel v;
    memcpy(&v, src + (count - 1 - p) * sizeof(Pixel), sizeof v);
    memcpy(dst + p * sizeof(Pixel), &v, sizeof v);
  }
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
// On x86 a 16-bit row turns fastest with one byte shuffle (SSSE3) per 16 bytes.
typedef uint8_t Bytes16 __attribute__((vector_size(16)));

__attribute__((target("ssse3"))) void copy_row_reversed_565_ssse3(uint8_t* dst, const uint8_t* src,
                                                                  uint32_t count) {
  constexpr uint32_t kLanes = 8;
  uint32_t p = 0;
  for (; p + 2 * kLanes <= count; p += 2 * kLanes) {
    Bytes16 a, b;
    memcpy(&a, src + (count - p - kLanes) * 2, 16);
    memcpy(&b, src + (count - p - 2 * kLanes) * 2, 16);
#if defined(__clang__)
    a = __builtin_shufflevector(a, a, 14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1);
    b = __builtin_shufflevector(b, b, 14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1);
#else
    const Bytes16 order = {14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1};
    a = __builtin_shuffle(a, order);
    b = __builtin_shuffle(b, order);
#endif
    memcpy(dst + p * 2, &a, 16);
    memcpy(dst + (p + kLanes) * 2, &b, 16);
  }
  copy_row_reversed<uint16_t>(dst + p * 2, src, count - p);
}

bool have_ssse3() {
  static const bool yes = __builtin_cpu_supports("ssse3");
  return yes;
}
#define ALARM_HAVE_SSSE3_PATH 1
#endif

void copy_row_reversed_565(uint8_t* dst, const uint8_t* src, uint32_t count) {
#if defined(ALARM_HAVE_SSSE3_PATH)
  if (have_ssse3()) {
    copy_row_reversed_565_ssse3(dst, src, count);
    return;
  }
#endif
  copy_row_reversed<uint16_t>(dst, src, count);
}

// Releases the device, the mapping and the back surface; the raster context stays.
void release_display(bool restore_console) {
  if (g_gr.raster_ctx != nullptr) raster_set_color_buffer(g_gr.raster_ctx, nullptr);
  if (g_gr.fb_fd >= 0) close(g_gr.fb_fd);
  g_gr.fb_fd = -1;
  if (g_gr.map != nullptr) munmap(g_gr.map, g_gr.map_len);
  g_gr.map = nullptr;
  g_gr.map_len = 0;
  g_gr.buffer_count = 0;
  free(g_gr.back_surface.data);
  g_gr.back_surface = gr_surface{};
  g_gr.fb_buffers[0] = gr_surface{};
  g_gr.fb_buffers[1] = gr_surface{};
  if (g_gr.vt_fd >= 0) {
    if (restore_console) platform().console_set_mode(g_gr.vt_fd, KD_TEXT);
    close(g_gr.vt_fd);
  }
  g_gr.vt_fd = -1;
}

}  // namespace

std::recursive_mutex& gr_draw_mutex() {
  // Never destroyed: the refresh thread may still hold it while the process exits.
  static std::recursive_mutex& m = *new std::recursive_mutex;
  return m;
}

GrDrawLock::GrDrawLock(std::recursive_mutex& m) : m_(m) {
  m_.lock();
  ++t_lock_depth;
}

GrDrawLock::~GrDrawLock() {
  bool announce = false;
  if (--t_lock_depth == 0) {
    announce = g_drawing_unannounced;
    g_drawing_unannounced = false;
  }
  m_.unlock();
  if (announce) g_drawing_event.post();
}

uint32_t gr_drawing_generation() {
  return g_generation.load();
}

WakeEvent& gr_drawing_event() {
  return g_drawing_event;
}

int gr_init() {
  GrDrawLock lock(gr_draw_mutex());
  if (g_gr.fb_fd >= 0) return 0;  // already running
  if (g_gr.raster_ctx == nullptr) g_gr.raster_ctx = raster_create();
  if (g_gr.raster_ctx == nullptr) return -1;

  char rotation[PROP_VALUE_LIMIT];
  read_system_property(kRotationProperty, rotation, "0");
  g_gr.reverse_screen = strncmp(rotation, kTurnedRotation, 3) == 0 ? 1 : 0;
  printf("\n\ngr_init reverse_screen is %d \n\n", g_gr.reverse_screen);

  std::string console = device_path(CONSOLE_PATH);
  g_gr.vt_fd = open(console.c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
  if (g_gr.vt_fd < 0) {
    perror("can't open /dev/tty0");
  } else if (platform().console_set_mode(g_gr.vt_fd, KD_GRAPHICS) != 0) {
    perror("failed KDSETMODE to KD_GRAPHICS on tty0");
  }

  g_gr.fb_fd = gr_open_framebuffer();
  if (g_gr.fb_fd < 0) {
    gr_shutdown();
    return -1;
  }
  gr_alloc_back_surface();
  if (g_gr.back_surface.data == nullptr) {
    perror("no memory for the back surface");
    gr_shutdown();
    return -1;
  }
  fprintf(stderr, "framebuffer: fd %d (%d x %d)\n", g_gr.fb_fd, g_gr.screen_info.xres,
          g_gr.screen_info.yres);
  g_gr.active_buffer = 0;
  gr_set_visible_buffer(0);

  RasterSurface target = raster_view(g_gr.back_surface);
  raster_set_color_buffer(g_gr.raster_ctx, &target);
  raster_active_texture(g_gr.raster_ctx, 0);
  raster_enable(g_gr.raster_ctx, RASTER_BLEND);
  raster_blend_func(g_gr.raster_ctx, RASTER_SRC_ALPHA, RASTER_ONE_MINUS_SRC_ALPHA);
  return 0;
}

void gr_present() {
  GrDrawLock lock(gr_draw_mutex());
  const gr_surface& back = g_gr.back_surface;
  if (g_gr.map == nullptr || back.data == nullptr) return;
  if (g_gr.buffer_count == 2) g_gr.active_buffer = (g_gr.active_buffer + 1) & 1;
  const size_t bpp = bytes_per_pixel(back.format);
  const size_t row = back.width * bpp;
  const size_t pitch = g_gr.line_bytes;
  const uint32_t rows = back.height;
  uint8_t* target = g_gr.fb_buffers[g_gr.active_buffer].data;

  if (g_gr.reverse_screen == 0) {
    if (pitch == row) {
      memcpy(target, back.data, row * rows);
    } else {
      for (uint32_t i = 0; i < rows; ++i) memcpy(target + i * pitch, back.data + i * row, row);
    }
  } else {
    // Turned by 180 degrees in one pass: target row i is source row (rows - 1 - i), its
    // pixels in reverse order.
    for (uint32_t i = 0; i < rows; ++i) {
      const uint8_t* src = back.data + (rows - 1 - i) * row;
      if (bpp == 4) {
        copy_row_reversed<uint32_t>(target + i * pitch, src, back.width);
      } else {
        copy_row_reversed_565(target + i * pitch, src, back.width);
      }
    }
  }
  if (g_gr.buffer_count == 2) gr_set_visible_buffer(g_gr.active_buffer);
}

void gr_clear_screen() {
  GrDrawLock lock(gr_draw_mutex());
  const gr_surface& back = g_gr.back_surface;
  if (back.data == nullptr) return;
  memset(back.data, 0,
         static_cast<size_t>(back.width) * back.height * bytes_per_pixel(back.format));
  note_drawing();
  gr_present();
}

void gr_shutdown() {
  GrDrawLock lock(gr_draw_mutex());
  release_display(true);
}

void gr_set_color(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
  GrDrawLock lock(gr_draw_mutex());
  raster_color(g_gr.raster_ctx, raster_fixed_from_byte(r), raster_fixed_from_byte(g),
               raster_fixed_from_byte(b), raster_fixed_from_byte(a));
}

void gr_fill_rect(int x0, int y0, int x1, int y1) {
  GrDrawLock lock(gr_draw_mutex());
  if (g_gr.raster_ctx == nullptr) return;
  raster_disable(g_gr.raster_ctx, RASTER_TEXTURE_2D);
  raster_fill_rect(g_gr.raster_ctx, x0, y0, x1, y1);
  note_drawing();
}

void gr_blit_surface(const gr_surface* src, int sx, int sy, int w, int h, int dx, int dy) {
  GrDrawLock lock(gr_draw_mutex());
  if (g_gr.raster_ctx == nullptr || src == nullptr) return;
  RasterContext* ctx = g_gr.raster_ctx;
  RasterSurface texture = raster_view(*src);
  raster_bind_texture(ctx, &texture);
  raster_tex_env(ctx, RASTER_REPLACE);
  raster_tex_gen(ctx, RASTER_TEXGEN_ONE_TO_ONE);
  raster_enable(ctx, RASTER_TEXTURE_2D);
  raster_tex_origin(ctx, clamp_to_int(int64_t{sx} - dx), clamp_to_int(int64_t{sy} - dy));
  raster_fill_rect(ctx, dx, dy, clamp_to_int(int64_t{dx} + w), clamp_to_int(int64_t{dy} + h));
  note_drawing();
}

unsigned gr_surface_width(const gr_surface* s) {
  return s != nullptr ? s->width : 0;
}

unsigned gr_surface_height(const gr_surface* s) {
  return s != nullptr ? s->height : 0;
}

int gr_screen_width() {
  GrDrawLock lock(gr_draw_mutex());
  return static_cast<int>(g_gr.fb_buffers[0].width);
}

int gr_screen_height() {
  GrDrawLock lock(gr_draw_mutex());
  return static_cast<int>(g_gr.fb_buffers[0].height);
}

void gr_reset() {
  GrDrawLock lock(gr_draw_mutex());
  release_display(false);
  raster_destroy(g_gr.raster_ctx);
  g_gr = GraphicsState{};
  g_drawing_unannounced = false;
  g_drawing_event.take();
}
