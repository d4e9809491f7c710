#include "alarm/alarm.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
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
// Suspends and refusals of one dark wait, at most: beyond them it waits awake.
constexpr int kMaxSuspendTries = 12;
// A refused suspend is tried again after SUSPEND_SETTLE_US doubled this many times at most.
constexpr int kSuspendBackoffDoublings = 4;
// A suspend waits this long at most, looking this often, for a stopped ring to end its sound.
constexpr int64_t kRingEndWaitUs = 500000;
constexpr int64_t kRingEndPollUs = 10000;

// The longest a pass waits when nothing it knows of is due: a bound, not a deadline.
constexpr int64_t kLongestPassWaitUs = 3600 * kUsPerSecond;

// The second in which the schedule's next instant falls due, as get_alarm_expire reports
// it: a call made in `asked_sec` or later that answers `due_in` (seconds, -1 none).
int64_t due_deadline_us(int64_t asked_sec, int32_t due_in) {
  return due_in > 0 ? (asked_sec + due_in) * kUsPerSecond : kNoLimit;
}

// Waits until the input thread posts, the wall clock reaches `deadline_us` (the next
// moment the pass has to look: the due second, the ring period's end) or the wall clock is
// set. The schedule lies in whole seconds of the wall clock and a set of the clock wakes
// the wait, so each pass sees every alarm in its second, and every button at once, without
// looking in between. While database updates are under way it comes round each second to
// start the next one.
void wait_for_next_pass(int64_t deadline_us) {
  WallTime now = read_clock();
  int64_t now_us = wall_time_us(now);
  if (deadline_us - now_us > kLongestPassWaitUs) deadline_us = now_us + kLongestPassWaitUs;
  if (alarm_updates_busy()) deadline_us = std::min(deadline_us, (now.sec + 1) * kUsPerSecond);
  if (deadline_us <= now_us) return;
  platform().wait_event(g_main_wakeup, wall_time_from_us(deadline_us));
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
  // The power key's presses when the last exit request was taken. The release of that press
  // (a finger's moment later) and its repeats ask again: only a press beyond them ends a
  // dark wait.
  int32_t presses_answered = g_power_key_presses;
  auto take_exit_request = [&]() {
    presses_answered = g_power_key_presses;
    g_alarm_status.exit_request = 0;
  };
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
            take_exit_request();
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

    const int64_t asked_sec = read_clock().sec;
    const int32_t due_in = get_alarm_expire(nullptr);
    // After a switch the schedule is asked again in the next second, as it was not asked
    // during the switch's pause.
    int64_t pass_deadline_us =
        due_in == 0 ? (asked_sec + 1) * kUsPerSecond : due_deadline_us(asked_sec, due_in);
    if (due_in == 0) {
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

    if (g_alarm_status.exit_request != 0 && waiting_dark) {
      // Cleared before the count is looked at, so that a press meanwhile asks again.
      g_alarm_status.exit_request = 0;
      if (g_power_key_presses != presses_answered) return LoopEnd::kLeave;
    } else if (g_alarm_status.exit_request != 0) {
      // Taken before the look ahead, so that a press during it is not lost.
      take_exit_request();
      if (!hold_back_power_off()) return LoopEnd::kLeave;
      // The schedule was asked again: the next pass asks it in the next second.
      pass_deadline_us = std::min(pass_deadline_us, (read_clock().sec + 1) * kUsPerSecond);
    }
    // A snooze posted by this pass is handled by the next one at once.
    if (g_button_event != BUTTON_SLEEP) wait_for_next_pass(std::min(ring_end_us, pass_deadline_us));
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

namespace {

// Whether this phone can suspend at all: false after the first answer that it cannot, which
// is logged once.
std::atomic<bool> g_suspend_unavailable{false};

// One suspend of the dark wait that ends at `end_us`: false when the phone cannot suspend.
// After a refusal it stays awake a while, longer after each, so that a wake lock held or
// a wake-up source that keeps firing costs no spinning.
bool suspend_through(int64_t end_us, int* refusals) {
  // The alarm timer wakes the phone this long before the end, so that a late resume and the
  // clock set again from the RTC still leave the ring its second.
  const WallTime wake_at = wall_time_from_us(end_us - SUSPEND_WAKE_LEAD_US);
  // The ring just stopped ends its sound first: its player, frozen while it stops, would find
  // its card suspended at the resume and fail. One that will not end keeps the phone awake
  // half a second at most; a post may be the snoozing button's, and only the power key ends
  // the wait.
  for (int64_t waited = 0;
       waited < kRingEndWaitUs && g_alarm_status.exit_request == 0 && music_controllers_running();
       waited += kRingEndPollUs) {
    int64_t poll_end_us = wall_time_us(read_clock()) + kRingEndPollUs;
    platform().wait_event(g_main_wakeup, wall_time_from_us(poll_end_us));
  }
  // A post from before the look at the exit request is answered by that look.
  g_main_wakeup.take();
  if (g_alarm_status.exit_request != 0) return true;
  if (platform().suspend_until(wake_at, g_main_wakeup) == 0) {
    // Resumed: whatever woke it (the power key) reaches the input thread before the next
    // suspend is tried.
    int64_t settle_us = wall_time_us(read_clock()) + SUSPEND_SETTLE_US;
    platform().wait_event(g_main_wakeup, wall_time_from_us(std::min(settle_us, end_us)));
    return true;
  }
  if (errno != EBUSY) {
    kernel_log_write(3, "<3>alarm: cannot suspend (%s): the snooze waits awake\n", strerror(errno));
    g_suspend_unavailable = true;
    return false;
  }
  ++*refusals;
  int64_t backoff_us = SUSPEND_SETTLE_US << std::min(*refusals, kSuspendBackoffDoublings);
  int64_t awake_until = wall_time_us(read_clock()) + backoff_us;
  platform().wait_event(g_main_wakeup, wall_time_from_us(std::min(awake_until, end_us)));
  return true;
}

}  // namespace

int wait_delay_until(int seconds, int64_t end_sec) {
  if (seconds <= 0) return 0;
  int64_t end_us = end_sec < kNoLimit / kUsPerSecond ? end_sec * kUsPerSecond : kNoLimit;
  end_us = std::min(end_us, wall_time_us(read_clock()) + seconds * kUsPerSecond);
  int suspends = 0;
  int refusals = 0;
  for (;;) {
    if (g_alarm_status.exit_request != 0) return 1;
    int64_t left_us = end_us - wall_time_us(read_clock());
    if (left_us <= 0) return 0;
    // Only dark and silent, and only as long as it is worth it.
    bool may_suspend = !g_suspend_unavailable && g_lcd_off != 0 &&
                       g_alarm_status.state == ALARM_STATE_DELAY &&
                       left_us >= SUSPEND_MIN_WAIT_US && suspends < kMaxSuspendTries;
    if (may_suspend) {
      ++suspends;
      if (suspend_through(end_us, &refusals)) continue;
    }
    // Awake: the power key (through the input thread), the end, or a set of the clock.
    platform().wait_event(g_main_wakeup, wall_time_from_us(end_us));
  }
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
    const int64_t asked_sec = read_clock().sec;
    int32_t n = get_alarm_expire(&chosen);
    if (n == 0) break;
    if (static_cast<uint32_t>(n) > kDueWindowSecs) {
      g_alarm_status.state = ALARM_STATE_OFF;
      kernel_log_write(3, "<3>alarm: alarm expire: %d\n", n);
      alarm_exit(1);
      return ALARM_EXIT_OK;
    }
    wait_for_next_pass(due_deadline_us(asked_sec, n));
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
  g_suspend_unavailable = false;
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
