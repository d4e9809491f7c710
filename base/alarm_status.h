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

struct AlarmStatus {
  std::atomic<int32_t> state{ALARM_STATE_OFF};
  std::atomic<int32_t> exit_request{0};
};

extern AlarmStatus g_alarm_status;
extern std::atomic<int32_t> g_button_event;  // a ButtonCode

// The main loop's wake-up: the input thread posts it after storing a button or an exit
// request, so the loop reacts at once instead of at its next whole second.
extern WakeEvent& g_main_wakeup;
