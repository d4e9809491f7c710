// The LCD backlight, and whether it was last switched off.
#pragma once

#include <atomic>
#include <cstdint>

constexpr char BACKLIGHT_PATH[] = "/sys/class/leds/lcd-backlight/brightness";
constexpr int LCD_BRIGHTNESS_SIZE = 16;

extern std::atomic<int32_t> g_lcd_off;
extern char g_lcd_brightness[LCD_BRIGHTNESS_SIZE];

int set_backlight(const char* on_off);
void backlight_reset();  // tests
