// The LCD backlight, switched on and off through its sysfs control, and whether it was
// last switched off (the power-key filter reads that).
#pragma once

#include <atomic>
#include <cstdint>

constexpr char BACKLIGHT_PATH[] = "/sys/class/leds/lcd-backlight/brightness";
constexpr char BACKLIGHT_OFF_LEVEL[] = "0";
constexpr int LCD_BRIGHTNESS_SIZE = 16;

extern std::atomic<int32_t> g_lcd_off;
// The level written for "on", as decimal text; filled once by the alarm's start-up.
extern char g_lcd_brightness[LCD_BRIGHTNESS_SIZE];

// "on" or "off": 0 when written, -1 otherwise. Any other argument writes nothing.
int set_backlight(const char* on_off);
void backlight_reset();  // tests
