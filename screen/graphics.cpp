#include "screen/graphics.h"

#include <fcntl.h>
#include <linux/kd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "base/system_property.h"
#include "raster/raster.h"
#include "screen/display.h"
#include "screen/frame_copy.h"

namespace {

constexpr uint32_t kSurfaceVersion = 32;
constexpr char kRotationProperty[] = "ro.sf.hwrotation";
constexpr char kTurnedRotation[] = "180";

struct GraphicsState {
  RasterContext* raster_ctx = nullptr;
  std::unique_ptr<Display> display;
  gr_surface back_surface = {};
  int reverse_screen = 0;
  int vt_fd = -1;
};

// Never destroyed: at the exit the refresh thread may still be presenting.
GraphicsState& g_gr = *new GraphicsState;
std::atomic<uint32_t> g_generation{0};
// Never destroyed: the refresh thread may still wait on it while the process exits.
WakeEvent& g_drawing_event = *new WakeEvent;

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

// The back surface: the display's size, drawn in RGB 565 for a 16-bit display and in RGBA
// 8888 for any other; its pixels are one heap block.
void gr_alloc_back_surface() {
  const Display& d = *g_gr.display;
  gr_surface& s = g_gr.back_surface;
  s = gr_surface{};
  s.version = kSurfaceVersion;
  s.width = d.width();
  s.height = d.height();
  s.stride = static_cast<int32_t>(d.width());
  s.format = d.layout().bytes_per_pixel == 2 ? GR_FORMAT_RGB_565 : GR_FORMAT_RGBA_8888;
  s.data = static_cast<uint8_t*>(
      malloc(static_cast<size_t>(s.width) * s.height * bytes_per_pixel(s.format)));
}

// Releases the display and the back surface; the raster context stays.
void release_display(bool restore_console) {
  if (g_gr.raster_ctx != nullptr) raster_set_color_buffer(g_gr.raster_ctx, nullptr);
  g_gr.display.reset();
  free(g_gr.back_surface.data);
  g_gr.back_surface = gr_surface{};
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
  if (g_gr.display) return 0;  // already running
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

  g_gr.display = open_fbdev_display();
  if (!g_gr.display) g_gr.display = open_drm_display();  // a kernel without the framebuffer layer
  if (!g_gr.display) {
    gr_shutdown();
    return -1;
  }
  gr_alloc_back_surface();
  if (g_gr.back_surface.data == nullptr) {
    perror("no memory for the back surface");
    gr_shutdown();
    return -1;
  }

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
  if (!g_gr.display || back.data == nullptr) return;
  DisplayFrame frame = g_gr.display->frame_to_fill();
  copy_frame(frame.data, frame.pitch, back.data, back.width, back.height, g_gr.display->layout(),
             g_gr.reverse_screen != 0);
  g_gr.display->show_filled_frame();
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
  return static_cast<int>(g_gr.back_surface.width);
}

int gr_screen_height() {
  GrDrawLock lock(gr_draw_mutex());
  return static_cast<int>(g_gr.back_surface.height);
}

void gr_reset() {
  GrDrawLock lock(gr_draw_mutex());
  release_display(false);
  raster_destroy(g_gr.raster_ctx);
  g_gr = GraphicsState{};
  g_drawing_unannounced = false;
  g_drawing_event.take();
}
