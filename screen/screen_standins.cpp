// Stand-ins until the screen modules land: no display.
#include "screen/alarm_screen.h"
#include "screen/graphics.h"
#include "screen/resources.h"

#include "alarm/alarm.h"

gr_surface* g_surfaces[IMAGE_SLOT_COUNT] = {};
ButtonRect g_left_pos, g_mid_pos, g_right_pos, g_s_left_pos, g_s_mid_pos, g_s_right_pos;

int gr_init() { return -1; }
void gr_present() {}
void gr_clear_screen() {}
void gr_shutdown() {}
void gr_set_color(uint8_t, uint8_t, uint8_t, uint8_t) {}
void gr_fill_rect(int, int, int, int) {}
void gr_blit_surface(const gr_surface*, int, int, int, int, int, int) {}
unsigned gr_surface_width(const gr_surface* s) { return s ? s->width : 0; }
unsigned gr_surface_height(const gr_surface* s) { return s ? s->height : 0; }
int gr_screen_width() { return 0; }
int gr_screen_height() { return 0; }
std::recursive_mutex& gr_draw_mutex() {
  static std::recursive_mutex m;
  return m;
}
uint32_t gr_drawing_generation() { return 0; }
void gr_reset() {}
void alarm_load_images(int) {}
void alarm_free_images(int) {}
int res_create_surface(const char*, gr_surface**) { return -1; }
void res_release_surface(gr_surface*) {}
const char* res_resolution_dir(int, int) { return "hvga/"; }
void alarm_draw_screen(int) {}
void alarm_draw_time(int) {}
void alarm_show_centered_image(int) {}
void* refreshen_screen(void*) {
  while (g_alarm_status.state != ALARM_STATE_OFF) platform().sleep_us(100000);
  return nullptr;
}
void alarm_screen_reset() {}
