#include "alarm/alarm.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

#include "alarm/alarm_db.h"
#include "alarm/alarm_delay.h"
#include "alarm/alarm_exit.h"
#include "alarm/alarm_flag.h"
#include "alarm/alarm_rtc.h"
#include "alarm/alarm_schedule.h"
#include "base/kernel_log.h"
#include "base/system_property.h"
#include "base/time_zone.h"
#include "devices/backlight.h"
#include "devices/music.h"
#include "devices/vibrator.h"
#include "input/input_devices.h"
#include "input/input_event.h"
#include "input/tp_calibration.h"
#include "screen/alarm_screen.h"
#include "screen/graphics.h"
#include "screen/label.h"
#include "screen/resources.h"

namespace {

constexpr int64_t kUsPerSecond = 1000000;
constexpr int64_t kHalfSecondUs = 500000;
constexpr unsigned kDueWindowSecs = 50;
constexpr int kLcdBrightnessLevel = 25;
constexpr int64_t kNoLimit = std::numeric_limits<int64_t>::max();

// Waits until the input thread posts, the wall clock reaches its next whole second, or it
// reaches `limit_us`, whichever comes first. Each pass therefore sees every second of the
// clock (the expiry works in whole seconds) and every button at once, without spinning.
void wait_for_next_pass(int64_t limit_us) {
  WallTime now = read_clock();
  int64_t deadline = (now.sec + 1) * kUsPerSecond;
  if (limit_us < deadline) deadline = limit_us;
  if (deadline <= wall_time_us(now)) return;
  platform().wait_event(g_main_wakeup, wall_time_from_us(deadline));
}

// The alarm screen of `rung`, with its record's label.
void draw_alarm_screen(const AlarmSecItem* rung) {
  const char* label = "";
  for (const AlarmRecord* r = g_alarm_list; rung != nullptr && r != nullptr; r = r->next) {
    if (r->id == rung->id) {
      label = r->message;
      break;
    }
  }
  alarm_label_set(label);
  alarm_draw_screen(IMAGE_GROUP_SCREEN);
}

void start_ring(WallTime* ring_start) {
  musicProcess(g_alarm_ring_path, MUSIC_OP_PLAY);
  *ring_start = read_clock();
}

void stop_ring() {
  musicProcess(g_alarm_ring_path, MUSIC_OP_STOP);
}

// Rings `rung` again after the switch to it; old vibrator threads leave, and a new one
// starts when the new alarm vibrates.
void switch_to_due_alarm(AlarmSecItem** rung, WallTime* ring_start) {
  g_alarm_status.state = ALARM_STATE_SWITCH;
  stop_ring();
  platform().sleep_us(kUsPerSecond);
  // A touch stored until now was meant for the alarm before: the new one rings first.
  g_button_event = BUTTON_NONE;
  gr_clear_screen();
  g_alarm_status.state = ALARM_STATE_RINGING;
  g_vibrator_epoch.fetch_add(1);
  if (g_cur_alarm != nullptr && g_cur_alarm->vib == 1) platform().create_thread(vibrate_thread);
  *rung = g_cur_alarm;
  draw_alarm_screen(*rung);
  start_ring(ring_start);
}

// Takes the snooze of `rung` that ends at `end`: the one it had is replaced, and the note
// holds it first and every other snooze still to ring after it. The snooze joins the
// schedule with snooze_alarm, once the snooze step has looked ahead without it.
void write_snooze_note(const AlarmSecItem* rung, int64_t end) {
  if (rung != nullptr) end_snooze(rung->id);
  write_alarm_delay_until(rung, end);
}

// Stopping an alarm ends its own snooze; the note then forgets it, so that no later start
// rings what the user stopped.
void end_snooze_of_stopped(const AlarmSecItem* rung) {
  if (rung != nullptr && end_snooze(rung->id)) rewrite_alarm_delay();
}

// What a power-off the user asked for (stop, power key) does about the next alarm.
enum class NextAlarm { kPowerOff, kRingNow, kWaitDark };

NextAlarm next_alarm_at_power_off() {
  int32_t n = get_alarm_expire(nullptr);
  if (n == 0) return NextAlarm::kRingNow;
  if (n > 0 && n < POWEROFF_MIN_ALARM_SECS) {
    kernel_log_write(3, "<3>alarm: next alarm in %d s is too near to power off: waiting for it\n",
                     n);
    return NextAlarm::kWaitDark;
  }
  return NextAlarm::kPowerOff;
}

// Dark and silent, as during a snooze, until the near alarm falls due and rings.
void wait_dark() {
  stop_ring();
  g_alarm_status.state = ALARM_STATE_DELAY;
  gr_clear_screen();
  set_backlight("off");
}

// How the main loop ended.
enum class LoopEnd { kLeave, kPoweredOffReturned };

LoopEnd run_main_loop(AlarmSecItem* rung, WallTime ring_start) {
  // Waiting dark for an alarm too near for a power-off; a power key then powers off.
  bool waiting_dark = false;
  // Acts on a power-off the user asked for; false when the loop is to be left for it.
  auto hold_back_power_off = [&]() {
    switch (next_alarm_at_power_off()) {
      case NextAlarm::kRingNow:
        switch_to_due_alarm(&rung, &ring_start);
        if (g_lcd_off != 0) set_backlight("on");
        return true;
      case NextAlarm::kWaitDark:
        wait_dark();
        waiting_dark = true;
        return true;
      case NextAlarm::kPowerOff:
        break;
    }
    return false;
  };

  for (;;) {
    int32_t b = g_button_event;
    if (b == BUTTON_SLEEP) {
      if (g_alarm_status.state == ALARM_STATE_RINGING) {
        stop_ring();
        int64_t end = alarm_delay_end_from_now();
        write_snooze_note(rung, end);
        // Every other alarm and snooze counts here, but not the snooze just taken: its own
        // end must not keep the screen lit.
        int32_t n = get_alarm_expire(nullptr);
        snooze_alarm(rung, end);
        if (n == 0) {
          // Due in this very call: rung now, as the next call would pass it over.
          switch_to_due_alarm(&rung, &ring_start);
        } else if (n < 0 || n > g_alarm_delay_time) {
          // No alarm ahead at all (a one-shot alarm that has rung) snoozes too.
          set_backlight("off");
          g_alarm_status.state = ALARM_STATE_DELAY;
          if (wait_delay_until(g_alarm_delay_time, end) == 1) {
            g_alarm_status.exit_request = 0;
            if (!hold_back_power_off()) return LoopEnd::kLeave;
          } else {
            // The end of the wait is the snooze's ring: the schedule does not ring it again.
            if (rung != nullptr) end_snooze(rung->id);
            gr_clear_screen();
            g_alarm_status.state = ALARM_STATE_RINGING;
            draw_alarm_screen(rung);
            set_backlight("on");
            start_ring(&ring_start);
          }
        }
      }
      platform().sleep_us(kHalfSecondUs);
      g_button_event = BUTTON_NONE;
    } else if (b == BUTTON_STOP) {
      if (!waiting_dark) {
        stop_ring();
        end_snooze_of_stopped(rung);
        if (!hold_back_power_off()) {
          g_alarm_status.state = ALARM_STATE_SHUTDOWN;
          gr_clear_screen();
          platform().sleep_us(kHalfSecondUs);
          platform().sleep_us(kHalfSecondUs);
          alarm_shutdown();
          kernel_log_write(3, "<3>alarm: shutdown system\n");
          return LoopEnd::kPoweredOffReturned;
        }
      }
      g_button_event = BUTTON_NONE;
    } else if (b == BUTTON_POWERON && g_alarm_status.state == ALARM_STATE_RINGING) {
      stop_ring();
      int64_t end = alarm_delay_end_from_now();
      write_snooze_note(rung, end);
      snooze_alarm(rung, end);
      return LoopEnd::kLeave;
    }

    if (get_alarm_expire(nullptr) == 0) {
      switch_to_due_alarm(&rung, &ring_start);
      if (waiting_dark) {
        waiting_dark = false;  // the switch dropped the taps made on the dark screen
        set_backlight("on");
      }
    }

    int64_t ring_end_us = kNoLimit;
    if (g_alarm_status.state == ALARM_STATE_RINGING) {
      WallTime now = read_clock();
      int64_t rung_us = (now.sec - ring_start.sec) * kUsPerSecond + (now.usec - ring_start.usec);
      int64_t period_us = static_cast<int64_t>(g_alarm_last_time) * kUsPerSecond;
      if (rung_us > period_us) {
        g_button_event = BUTTON_SLEEP;
      } else {
        ring_end_us = wall_time_us(ring_start) + period_us + 1;
      }
    }

    if (g_alarm_status.exit_request != 0) {
      if (waiting_dark) return LoopEnd::kLeave;
      // Taken before the look ahead, so that a press during it is not lost.
      g_alarm_status.exit_request = 0;
      if (!hold_back_power_off()) return LoopEnd::kLeave;
    }
    // A snooze posted by this pass is handled by the next one at once.
    if (g_button_event != BUTTON_SLEEP) wait_for_next_pass(ring_end_us);
  }
}

}  // namespace

int wait_delay(int seconds) {
  for (int i = 0; i < seconds; ++i) {
    if (g_alarm_status.exit_request != 0) return 1;
    platform().sleep_us(kHalfSecondUs);
    platform().sleep_us(kHalfSecondUs);
  }
  return 0;
}

int wait_delay_until(int seconds, int64_t end_sec) {
  const int64_t end_us = end_sec < kNoLimit / kUsPerSecond ? end_sec * kUsPerSecond : kNoLimit;
  // Half a second, or what is left of it before the end; false once the end has come.
  auto sleep_half = [end_us]() {
    int64_t left = end_us - wall_time_us(read_clock());
    if (left <= 0) return false;
    platform().sleep_us(left < kHalfSecondUs ? left : kHalfSecondUs);
    return true;
  };
  for (int i = 0; i < seconds; ++i) {
    if (g_alarm_status.exit_request != 0) return 1;
    if (!sleep_half() || !sleep_half()) return 0;
  }
  return 0;
}

int alarm_init() {
  gr_init();
  gr_clear_screen();
  read_alarm_db();
  if (creat_alarm_sec_list() == nullptr) return ALARM_EXIT_INIT_FAILED;
  read_alarm_flag();
  snprintf(g_lcd_brightness, sizeof g_lcd_brightness, "%d", kLcdBrightnessLevel);
  g_alarm_status.state = ALARM_STATE_RINGING;
  g_alarm_status.exit_request = 0;
  alarm_load_images(IMAGE_GROUP_SCREEN);
  alarm_load_images(IMAGE_GROUP_CLOCK);
  alarm_load_images(IMAGE_GROUP_EMPTY);
  return 0;
}

int alarm_main() {
  // Progress lines reach a pipe or a console whole, even when the process ends abruptly.
  setvbuf(stdout, nullptr, _IOLBF, 0);

  kernel_log_open();
  puts("alarm start");

  char bootmode[PROP_VALUE_LIMIT];
  memset(bootmode, 0, sizeof bootmode);
  read_system_property("ro.bootmode", bootmode, "");
  printf("alarm_prop: %s\n", bootmode);
  if (bootmode[0] == '\0' || strncmp(bootmode, "alarm", 5) != 0) {
    kernel_log_write(3, "<3>alarm: not power off alarm\n");
    return ALARM_EXIT_OK;
  }

  // Before anything is converted to local time: the alarms are set in the phone's zone.
  set_phone_time_zone();

  char tp_kind[PROP_VALUE_LIMIT];
  memset(tp_kind, 0, sizeof tp_kind);
  read_system_property("ro.device.tp", tp_kind, "");
  if (tp_kind[0] != '\0' && strncmp(tp_kind, "res", 3) == 0) load_tp_calibration();

  if (alarm_init() == ALARM_EXIT_INIT_FAILED) {
    g_alarm_status.state = ALARM_STATE_OFF;
    kernel_log_write(3, "<3>alarm: alarm init failed\n");
    return ALARM_EXIT_INIT_FAILED;
  }

  for (;;) {
    AlarmSecItem* chosen = nullptr;
    int32_t n = get_alarm_expire(&chosen);
    if (n == 0) break;
    if (static_cast<uint32_t>(n) > kDueWindowSecs) {
      g_alarm_status.state = ALARM_STATE_OFF;
      kernel_log_write(3, "<3>alarm: alarm expire: %d\n", n);
      alarm_exit(1);
      return ALARM_EXIT_OK;
    }
    wait_for_next_pass(kNoLimit);
  }

  if (platform().create_thread(refreshen_screen) != 0) {
    g_alarm_status.state = ALARM_STATE_OFF;
    kernel_log_write(3, "<3>alarm: refreshen_screen thread creat fail\n");
    return ALARM_EXIT_THREAD_FAILED;
  }
  if (platform().create_thread(get_input_event) != 0) {
    g_alarm_status.state = ALARM_STATE_OFF;
    kernel_log_write(3, "<3>alarm: get_input_event thread creat fail\n");
    return ALARM_EXIT_THREAD_FAILED;
  }
  platform().sleep_us(kUsPerSecond);
  puts("QOR set_keybacklight_state(KEY_BACKLIGHT_ON)");

  WallTime ring_start;
  start_ring(&ring_start);
  if (g_cur_alarm != nullptr && g_cur_alarm->vib == 1) platform().create_thread(vibrate_thread);
  AlarmSecItem* rung = g_cur_alarm;
  draw_alarm_screen(rung);
  set_backlight("on");
  g_alarm_status.exit_request = 0;

  if (run_main_loop(rung, ring_start) == LoopEnd::kPoweredOffReturned) return ALARM_EXIT_OK;

  g_alarm_status.state = ALARM_STATE_OFF;
  if (g_button_event == BUTTON_POWERON) {
    set_system_property("ctl.start", "zygote");
    alarm_exit(1);
  } else {
    alarm_exit(0);
  }
  kernel_log_write(3, "<3>alarm:  alarm final exit\n");
  return ALARM_EXIT_OK;
}

void alarm_reset_program_state() {
  music_reset();
  alarm_updates_reset();
  g_alarm_status.state = ALARM_STATE_OFF;
  g_alarm_status.exit_request = 0;
  g_button_event = BUTTON_NONE;
  g_main_wakeup.take();
  free_alarm_sec_list();
  free_alarm_list();
  alarm_schedule_reset();
  alarm_flag_reset();
  alarm_free_images(IMAGE_GROUP_SCREEN);
  alarm_free_images(IMAGE_GROUP_CLOCK);
  for (gr_surface*& slot : g_surfaces) slot = nullptr;
  gr_reset();
  alarm_screen_reset();
  input_devices_reset();
  input_event_reset();
  backlight_reset();
  kernel_log_reset();
}
