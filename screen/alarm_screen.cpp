#include "screen/alarm_screen.h"

#include <chrono>
#include <ctime>
#include <thread>

#include "base/alarm_status.h"
#include "base/kernel_log.h"
#include "screen/graphics.h"
#include "screen/label.h"
#include "screen/resources.h"

ButtonRect g_left_pos;
ButtonRect g_mid_pos;
ButtonRect g_right_pos;
ButtonRect g_s_left_pos;
ButtonRect g_s_mid_pos;
ButtonRect g_s_right_pos;

namespace {

constexpr int kSlotIcon = 0;
constexpr int kSlotLabelSleep = 1;
constexpr int kSlotLabelStop = 2;
constexpr int kSlotLabelPowerOn = 3;
constexpr int kSlotButtonBg = 4;
constexpr int kTimeGapBelowIcon = 30;
// How often a thread that the alarm state cannot tell of its changes looks at it.
constexpr int64_t kUntoldLookUs = 500000;
// After a drawing both frame-buffer buffers are brought up to date.
constexpr int kPresentsPerDrawing = 2;

std::atomic<int> g_refresh_threads{0};

gr_surface* slot(int n) {
  return n >= 0 && n < IMAGE_SLOT_COUNT ? g_surfaces[n] : nullptr;
}
int width_of(const gr_surface* s) {
  return static_cast<int>(gr_surface_width(s));
}
int height_of(const gr_surface* s) {
  return static_cast<int>(gr_surface_height(s));
}

void set_button(ButtonRect* b, int x0, int y0, int w, int h) {
  b->width = w;
  b->height = h;
  b->x0 = x0;
  b->y0 = y0;
  b->x1 = x0 + w;
  b->y1 = y0 + h;
}

void set_label(ButtonRect* label, const ButtonRect& button, int bw, int bh, int lw, int lh) {
  label->width = lw;
  label->height = lh;
  label->x0 = button.x0 + (bw - lw) / 2;
  label->y0 = button.y0 + (bh - lh) / 2;
}

void draw_at(const gr_surface* s, int x, int y) {
  gr_blit_surface(s, 0, 0, width_of(s), height_of(s), x, y);
}

}  // namespace

void alarm_draw_screen(int group) {
  GrDrawLock picture(gr_draw_mutex());  // the refresh thread shows the whole picture or none
  const int w = gr_screen_width();
  const int h = gr_screen_height();
  const gr_surface* icon = slot(group + kSlotIcon);
  const gr_surface* bg = slot(group + kSlotButtonBg);
  const gr_surface* label = slot(group + kSlotLabelSleep);
  const int iw = width_of(icon), ih = height_of(icon);
  const int bw = width_of(bg), bh = height_of(bg);
  const int lw = width_of(label), lh = height_of(label);

  const int gap = (w - 3 * bw) / 4;
  set_button(&g_left_pos, gap, h - bh, bw, bh);
  set_button(&g_mid_pos, bw + 2 * gap, h - bh, bw, bh);
  set_button(&g_right_pos, 2 * bw + 3 * gap, h - bh, bw, bh);
  kernel_log_write(6, "<6>alarm: g_left_pos.y0: %d g_left_pos.height: %d g_s_left_pos.height:%d\n",
                   h - bh, bh, lh);
  set_label(&g_s_left_pos, g_left_pos, bw, bh, lw, lh);
  set_label(&g_s_mid_pos, g_mid_pos, bw, bh, lw, lh);
  set_label(&g_s_right_pos, g_right_pos, bw, bh, lw, lh);

  struct Logged {
    const char* name;
    const ButtonRect& r;
  };
  for (const Logged& b :
       {Logged{"left", g_left_pos}, Logged{"mid", g_mid_pos}, Logged{"right", g_right_pos}}) {
    kernel_log_write(6, "<6>alarm: %s.x0 = %d\n", b.name, b.r.x0.load());
    kernel_log_write(6, "<6>alarm: %s.y0 = %d\n", b.name, b.r.y0.load());
    kernel_log_write(6, "<6>alarm: %s.x1 = %d\n", b.name, b.r.x1.load());
    kernel_log_write(6, "<6>alarm: %s.y1 = %d\n", b.name, b.r.y1.load());
  }
  for (const Logged& l : {Logged{"s_left", g_s_left_pos}, Logged{"s_mid", g_s_mid_pos},
                          Logged{"s_right", g_s_right_pos}}) {
    kernel_log_write(6, "<6>alarm: %s.x0 = %d\n", l.name, l.r.x0.load());
    kernel_log_write(6, "<6>alarm: %s.y0 = %d\n", l.name, l.r.y0.load());
  }

  gr_set_color(0, 0, 0, 255);
  gr_fill_rect(0, 0, w, h);
  draw_at(icon, (w - iw) / 2, (h - ih) / 3);
  draw_at(bg, g_left_pos.x0, g_left_pos.y0);
  draw_at(label, g_s_left_pos.x0, g_s_left_pos.y0);
  draw_at(bg, g_mid_pos.x0, g_mid_pos.y0);
  draw_at(bg, g_right_pos.x0, g_right_pos.y0);
  // Every label takes the size of the snooze label.
  gr_blit_surface(slot(group + kSlotLabelStop), 0, 0, lw, lh, g_s_mid_pos.x0, g_s_mid_pos.y0);
  gr_blit_surface(slot(group + kSlotLabelPowerOn), 0, 0, lw, lh, g_s_right_pos.x0,
                  g_s_right_pos.y0);
  if (group == IMAGE_GROUP_SCREEN) {
    const int time_y = (h - ih) / 3 + ih + kTimeGapBelowIcon;
    alarm_draw_time(time_y);
    // The label's band: below the digits, above the buttons.
    alarm_label_draw(time_y + height_of(slot(IMAGE_SLOT_DIGIT0)), h - bh);
  }
}

void alarm_draw_time(int y) {
  GrDrawLock picture(gr_draw_mutex());
  WallTime now = read_clock();
  struct tm local = {};
  platform().local_time(static_cast<time_t>(now.sec), &local);
  const int hour = local.tm_hour, minute = local.tm_min;

  const gr_surface* zero = slot(IMAGE_SLOT_DIGIT0);
  const gr_surface* dot = slot(IMAGE_SLOT_DOT);
  const int dw = width_of(zero), dh = height_of(zero);
  const int sw = width_of(dot), sh = height_of(dot);
  kernel_log_write(6, "<6>alarm: show time secs\n");

  auto digit = [](int d) { return slot(IMAGE_SLOT_DIGIT0 + (d % 10 + 10) % 10); };
  const int x = (gr_screen_width() - sw - 4 * dw) / 2;
  gr_blit_surface(digit(hour / 10), 0, 0, dw, dh, x, y);
  gr_blit_surface(digit(hour % 10), 0, 0, dw, dh, x + dw, y);
  gr_blit_surface(dot, 0, 0, sw, sh, x + 2 * dw, y);
  gr_blit_surface(digit(minute / 10), 0, 0, dw, dh, x + 2 * dw + sw, y);
  gr_blit_surface(digit(minute % 10), 0, 0, dw, dh, x + 3 * dw + sw, y);
}

void alarm_show_centered_image(int group) {
  GrDrawLock picture(gr_draw_mutex());
  const int w = gr_screen_width();
  const int h = gr_screen_height();
  gr_set_color(255, 255, 255, 255);
  gr_fill_rect(0, 0, w, h);
  const gr_surface* image = slot(group);
  if (image == nullptr) return;
  draw_at(image, (w - width_of(image)) / 2, (h - height_of(image)) / 2);
  gr_present();
  gr_present();
}

// Keeps the back surface on the display while the alarm is active. A frame is copied only
// when the picture changed since both buffers were last brought up to date; otherwise the
// thread sleeps until the next drawing, looking at the alarm state every 20 ms.
void* refreshen_screen(void*) {
  g_refresh_threads.fetch_add(1);
  WakeEvent& drawn = gr_drawing_event();
  uint32_t seen = gr_drawing_generation();
  int presents_due = kPresentsPerDrawing;  // whatever the back surface holds now
  // Nothing to do between drawings but leave when the alarm ends: a change of the state
  // posts the same event as a drawing. Should every watcher place be taken, it looks
  // twice a second.
  const bool told = watch_alarm_state(&drawn);
  while (g_alarm_status.state != ALARM_STATE_OFF) {
    bool presented = false;
    {
      // The generation is read under the drawing lock, so a present never counts a picture
      // it did not show.
      GrDrawLock lock(gr_draw_mutex());
      uint32_t now_drawn = gr_drawing_generation();
      if (now_drawn != seen) {
        seen = now_drawn;
        presents_due = kPresentsPerDrawing;
      }
      if (presents_due > 0) {
        drawn.take();  // this present shows every drawing announced so far
        gr_present();
        --presents_due;
        presented = true;
      }
    }
    if (presented) continue;
    WallTime deadline =
        told ? WAIT_FOREVER : wall_time_from_us(wall_time_us(read_clock()) + kUntoldLookUs);
    platform().wait_event(drawn, deadline);
  }
  if (told) unwatch_alarm_state(&drawn);
  g_refresh_threads.fetch_sub(1);
  return nullptr;
}

int refresh_thread_count() {
  return g_refresh_threads.load();
}

void alarm_screen_reset() {
  alarm_label_reset();
  // A refresh thread still running sees the alarm state 0 at its next look; wake it and
  // let it leave before the platform under it goes away.
  for (int i = 0; i < 5000 && g_refresh_threads.load() > 0; ++i) {
    gr_drawing_event().post();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (ButtonRect* r :
       {&g_left_pos, &g_mid_pos, &g_right_pos, &g_s_left_pos, &g_s_mid_pos, &g_s_right_pos}) {
    r->width = 0;
    r->height = 0;
    r->x0 = 0;
    r->y0 = 0;
    r->x1 = 0;
    r->y1 = 0;
  }
}
