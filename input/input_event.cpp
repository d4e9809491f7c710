#include "input/input_event.h"

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "base/alarm_status.h"
#include "devices/backlight.h"
#include "input/input_devices.h"
#include "screen/alarm_screen.h"

// The half-received touch: the last X, and the last Y, reported since the last hit test.
std::atomic<int32_t> g_touch_x{0};
std::atomic<int32_t> g_touch_y{0};
std::atomic<int32_t> g_power_key_presses{0};

namespace {

constexpr int32_t kExitRequestLit = 9;
constexpr int32_t kExitRequestDark = 10;
constexpr int32_t kKeyPress = 1;  // a key event's value: 0 release, 1 press, 2 repeat

// The right edge belongs to the button, the bottom edge does not.
bool hits(const ButtonRect& r, int32_t x, int32_t y) {
  return r.x0 <= x && x <= r.x1 && r.y0 <= y && y < r.y1;
}

void post_button(int32_t code) {
  g_button_event = code;
  g_main_wakeup.post();
}

void hit_test(int32_t x, int32_t y) {
  int32_t code = BUTTON_NONE;
  if (hits(g_left_pos, x, y)) {
    printf("%s get left button\n", "parse_alarm_event");
    code = BUTTON_SLEEP;
  }
  if (hits(g_mid_pos, x, y)) {
    printf("%s get mid button\n", "parse_alarm_event");
    code = BUTTON_STOP;
  } else if (hits(g_right_pos, x, y)) {
    printf("%s get right button\n", "parse_alarm_event");
    code = BUTTON_POWERON;
  }
  if (code != BUTTON_NONE) post_button(code);
}

}  // namespace

void check_power_key(const struct input_event* ev) {
  if (ev->type != EV_KEY || ev->code != KEY_POWER) return;
  if (ev->value == kKeyPress) g_power_key_presses.fetch_add(1);
  g_alarm_status.exit_request = g_lcd_off != 0 ? kExitRequestDark : kExitRequestLit;
  g_main_wakeup.post();
}

void parse_alarm_event(const struct input_event* ev) {
  if (ev->type != EV_ABS) return;
  if (ev->code == ABS_X || ev->code == ABS_MT_POSITION_X) {
    g_touch_x = ev->value;
  } else if (ev->code == ABS_Y || ev->code == ABS_MT_POSITION_Y) {
    g_touch_y = ev->value;
    hit_test(g_touch_x, g_touch_y);
    g_touch_x = 0;
    g_touch_y = 0;
  }
}

void* get_input_event(void*) {
  input_open_devices();
  while (g_alarm_status.state != ALARM_STATE_OFF) {
    struct input_event ev;
    if (input_wait_event(&ev, 0) == 0) {
      check_power_key(&ev);
      parse_alarm_event(&ev);
    }
  }
  return nullptr;
}

void input_event_reset() {
  g_touch_x = 0;
  g_touch_y = 0;
  g_power_key_presses = 0;
}
