// What the user sees while the alarm rings: icon, time, three buttons; and the refresh
// thread that keeps the back surface on the display.
#pragma once

#include <atomic>
#include <cstdint>

struct ButtonRect {
  std::atomic<int32_t> width{0};
  std::atomic<int32_t> height{0};
  std::atomic<int32_t> x0{0};
  std::atomic<int32_t> y0{0};
  std::atomic<int32_t> x1{0};
  std::atomic<int32_t> y1{0};
};

extern ButtonRect g_left_pos;
extern ButtonRect g_mid_pos;
extern ButtonRect g_right_pos;
extern ButtonRect g_s_left_pos;
extern ButtonRect g_s_mid_pos;
extern ButtonRect g_s_right_pos;

void alarm_draw_screen(int group);
void alarm_draw_time(int y);
void alarm_show_centered_image(int group);
void* refreshen_screen(void* unused);

// How many refresh threads are inside their loop (tests and the main flow's checks).
int refresh_thread_count();

// Tests: lets a refresh thread that is still running leave (the alarm state must be 0
// already), then sets the rectangles back to zero.
void alarm_screen_reset();
