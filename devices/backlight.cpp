#include "devices/backlight.h"

#include <cstring>
#include <string>

#include "base/kernel_log.h"
#include "devices/control_file.h"
#include "platform/platform.h"

std::atomic<int32_t> g_lcd_off{0};
char g_lcd_brightness[LCD_BRIGHTNESS_SIZE] = {};

int set_backlight(const char* on_off) {
  if (on_off == nullptr) return -1;
  // The level to write, always terminated inside its buffer.
  char level[LCD_BRIGHTNESS_SIZE];
  if (strcmp(on_off, "on") == 0) {
    g_lcd_off = 0;
    memcpy(level, g_lcd_brightness, sizeof level);
    level[LCD_BRIGHTNESS_SIZE - 1] = '\0';
  } else if (strcmp(on_off, "off") == 0) {
    g_lcd_off = 1;
    memcpy(level, BACKLIGHT_OFF_LEVEL, sizeof BACKLIGHT_OFF_LEVEL);
  } else {
    return -1;
  }

  ControlFile control(device_path(BACKLIGHT_PATH).c_str());
  if (!control.is_open()) {
    kernel_log_write(3, "<3>alarm: can't set  brightness\n");
    return -1;
  }
  kernel_log_write(6, "<6>alarm: set backlight to %s\n", level);
  if (!control.write_text(level)) {
    kernel_log_write(3, "<3>alarm: write brightness failed\n");
    return -1;
  }
  return 0;
}

void backlight_reset() {
  g_lcd_off = 0;
  memset(g_lcd_brightness, 0, sizeof g_lcd_brightness);
}
