// The words the program's threads share: the alarm's state, the exit request, the button
// the input thread saw, and the main loop's wake-up. A leaf: every folder may include it.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

enum AlarmState : int32_t {
  ALARM_STATE_OFF = 0,
  ALARM_STATE_RINGING = 1,
  ALARM_STATE_SHUTDOWN = 2,
  ALARM_STATE_SWITCH = 3,
  ALARM_STATE_DELAY = 4,
};

enum ButtonCode : int32_t {
  BUTTON_NONE = 0,
  BUTTON_SLEEP = 1,
  BUTTON_STOP = 2,
  BUTTON_POWERON = 3,
};

// The alarm state, a shared word whose every store wakes the threads that wait for it to
// change (watch_alarm_state): the refresh and vibrator threads sleep until then instead of
// looking at it.
class AlarmStateWord {
 public:
  AlarmStateWord() = default;
  AlarmStateWord(const AlarmStateWord&) = delete;
  AlarmStateWord& operator=(const AlarmStateWord&) = delete;
  AlarmStateWord& operator=(int32_t value) {
    store(value);
    return *this;
  }
  operator int32_t() const { return word_.load(); }
  int32_t load() const { return word_.load(); }
  void store(int32_t value);

 private:
  std::atomic<int32_t> word_{ALARM_STATE_OFF};
};

// From watch_alarm_state until unwatch_alarm_state, every store of the state posts `event`
// (the watcher's own, which it waits on). At most ALARM_STATE_WATCHERS at a time; false when
// they are all taken (the watcher then has to look for itself).
constexpr int ALARM_STATE_WATCHERS = 8;
bool watch_alarm_state(WakeEvent* event);
void unwatch_alarm_state(WakeEvent* event);

struct AlarmStatus {
  AlarmStateWord state;
  std::atomic<int32_t> exit_request{0};
};

extern AlarmStatus g_alarm_status;
extern std::atomic<int32_t> g_button_event;  // a ButtonCode

// The main loop's wake-up: the input thread posts it after storing a button or an exit
// request, so the loop reacts at once instead of at its next whole second.
extern WakeEvent& g_main_wakeup;
