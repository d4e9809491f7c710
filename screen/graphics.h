// The screen: the display (screen/display.h), the back surface all drawing lands on, and the
// drawing primitives over the software rasteriser.
#pragma once

#include <cstdint>

#include <mutex>

#include "platform/platform.h"

constexpr char FB_DEVICE_PATH[] = "/dev/graphics/fb0";
constexpr char CONSOLE_PATH[] = "/dev/tty0";

enum GrPixelFormat : uint8_t {
  GR_FORMAT_RGBA_8888 = 1,
  GR_FORMAT_RGBX_8888 = 2,
  GR_FORMAT_RGB_565 = 4,
};

struct gr_surface {
  uint32_t version;
  uint32_t width;
  uint32_t height;
  int32_t stride;  // pixels
  uint8_t* data;
  uint8_t format;
  uint8_t reserved[3];
  void* reserved_ptr;
};

int gr_init();
void gr_present();
void gr_clear_screen();
void gr_shutdown();

void gr_set_color(uint8_t r, uint8_t g, uint8_t b, uint8_t a);
void gr_fill_rect(int x0, int y0, int x1, int y1);
void gr_blit_surface(const gr_surface* src, int sx, int sy, int w, int h, int dx, int dy);
unsigned gr_surface_width(const gr_surface* s);
unsigned gr_surface_height(const gr_surface* s);
int gr_screen_width();
int gr_screen_height();

// Drawing into the back surface and presenting it are serialised by this lock. Drawing
// code holds it for a whole picture (GrDrawLock); the primitives take it themselves too.
std::recursive_mutex& gr_draw_mutex();

// Holds the drawing lock (of gr_draw_mutex). When the outermost hold on a thread ends after
// something was drawn, gr_drawing_event is posted, once the lock is free: the refresh thread
// then wakes to a finished picture.
class GrDrawLock {
 public:
  explicit GrDrawLock(std::recursive_mutex& m);
  ~GrDrawLock();
  GrDrawLock(const GrDrawLock&) = delete;
  GrDrawLock& operator=(const GrDrawLock&) = delete;

 private:
  std::recursive_mutex& m_;
};

// Counts drawings into the back surface; the refresh thread presents when it changes.
uint32_t gr_drawing_generation();
// Posted after each picture drawn into the back surface, so the refresh thread need not poll.
WakeEvent& gr_drawing_event();

void gr_reset();  // tests: release everything, back to the state before gr_init
