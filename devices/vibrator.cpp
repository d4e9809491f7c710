#include "devices/vibrator.h"

#include <string>

#include "base/alarm_status.h"
#include "base/kernel_log.h"
#include "devices/control_file.h"
#include "platform/platform.h"

std::atomic<int32_t> g_vibrator_epoch{0};
std::atomic<int32_t> g_vibrator_threads{0};

int set_vibrator(const char* text) {
  if (text == nullptr) return -1;
  ControlFile control(device_path(VIBRATOR_PATH).c_str());
  if (!control.is_open()) {
    kernel_log_write(3, "<3>alarm: can't set  vib\n");
    return -1;
  }
  if (!control.write_text(text)) {
    kernel_log_write(3, "<3>alarm: write vib failed\n");
    return -1;
  }
  return 0;
}

void* vibrate_thread(void*) {
  const int32_t epoch = g_vibrator_epoch;
  g_vibrator_threads.fetch_add(1);
  for (;;) {
    int32_t state = g_alarm_status.state;
    if (state == ALARM_STATE_OFF || state == ALARM_STATE_SWITCH) break;
    if (g_vibrator_epoch != epoch) break;  // another alarm rings now
    // The pulse ends by itself after a second; the rest of the period is the pause.
    if (state == ALARM_STATE_RINGING) set_vibrator(VIBRATOR_PULSE);
    platform().sleep_us(VIBRATOR_PERIOD_US);
  }
  g_vibrator_threads.fetch_sub(1);
  return nullptr;
}
