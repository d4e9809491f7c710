// Stand-ins until the alert device modules land: silent.
#include "devices/backlight.h"
#include "devices/music.h"
#include "devices/vibrator.h"

pid_t g_music_pid = -1;
std::atomic<int32_t> g_lcd_off{0};
char g_lcd_brightness[LCD_BRIGHTNESS_SIZE] = {};
std::atomic<int32_t> g_vibrator_epoch{0};

int musicProcess(const char*, int) { return -1; }
void music_reset() {}
int set_vibrator(const char*) { return -1; }
void* vibrate_thread(void*) { return nullptr; }
int set_backlight(const char* on_off) {
  g_lcd_off = on_off && on_off[0] == 'o' && on_off[1] == 'f';
  return -1;
}
void backlight_reset() { g_lcd_off = 0; }
