#include "alarm/alarm_exit.h"

#include "alarm/alarm.h"
#include "alarm/alarm_db.h"
#include "alarm/alarm_flag.h"
#include "alarm/alarm_rtc.h"
#include "alarm/alarm_schedule.h"
#include "base/kernel_log.h"
#include "devices/backlight.h"
#include "devices/music.h"
#include "screen/alarm_screen.h"
#include "screen/graphics.h"
#include "screen/label.h"
#include "screen/resources.h"

namespace {

constexpr int64_t kHalfSecondUs = 500000;
constexpr int64_t kCenteredImagePauseUs = 50000;

void free_all_images() {
  alarm_free_images(IMAGE_GROUP_SCREEN);
  alarm_free_images(IMAGE_GROUP_CLOCK);
  alarm_free_images(IMAGE_GROUP_EMPTY);
  alarm_label_reset();  // its picture and its fonts
}

}  // namespace

void alarm_exit(int power_on) {
  musicProcess(g_alarm_ring_path, MUSIC_OP_STOP);
  gr_clear_screen();
  set_rtc_alarm();
  g_button_event = BUTTON_NONE;
  g_alarm_status.exit_request = 0;
  free_alarm_sec_list();  // first: its items point into the records
  free_alarm_list();

  if (power_on != 0) {
    alarm_show_centered_image(IMAGE_GROUP_EMPTY);
    platform().sleep_us(kCenteredImagePauseUs);
    free_all_images();
    set_backlight("on");
    finish_alarm_updates();
    return;
  }

  musicProcess(g_alarm_ring_path, MUSIC_OP_STOP);
  g_alarm_status.state = ALARM_STATE_SHUTDOWN;
  free_all_images();
  gr_clear_screen();
  platform().sleep_us(kHalfSecondUs);
  platform().sleep_us(kHalfSecondUs);
  alarm_shutdown();
  kernel_log_write(3, "<3>alarm: shutdown system\n");
}

void alarm_shutdown() {
  g_alarm_status.state = ALARM_STATE_OFF;
  set_rtc_alarm();
  finish_alarm_updates();  // before the flush, so that a finished update reaches the disk
  platform().sync_filesystems();
  platform().power_off();
}
