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
  // Between pulses, and while the alarm does not ring, it sleeps until the state changes.
  WakeEvent changed;
  const bool told = watch_alarm_state(&changed);
  int64_t next_look_us = wall_time_us(read_clock());
  for (;;) {
    int32_t state = g_alarm_status.state;
    if (state == ALARM_STATE_OFF || state == ALARM_STATE_SWITCH) break;
    if (g_vibrator_epoch != epoch) break;  // another alarm rings now
    int64_t now_us = wall_time_us(read_clock());
    // A wall clock set back must not hold the next pulse back.
    if (next_look_us - now_us > VIBRATOR_PERIOD_US) next_look_us = now_us;
    if (state == ALARM_STATE_RINGING && now_us >= next_look_us) {
      // The pulse ends by itself after a second; the rest of the period is the pause.
      set_vibrator(VIBRATOR_PULSE);
      // On its period while it pulses; from now on after a pause in which it slept.
      next_look_us = now_us - next_look_us < VIBRATOR_PERIOD_US ? next_look_us + VIBRATOR_PERIOD_US
                                                                : now_us + VIBRATOR_PERIOD_US;
    }
    // Untold of the state's changes, it looks once a period as it pulses.
    if (!told && next_look_us <= now_us) next_look_us = now_us + VIBRATOR_PERIOD_US;
    bool timed = state == ALARM_STATE_RINGING || !told;
    platform().wait_event(changed, timed ? wall_time_from_us(next_look_us) : WAIT_FOREVER);
  }
  if (told) unwatch_alarm_state(&changed);
  g_vibrator_threads.fetch_sub(1);
  return nullptr;
}
