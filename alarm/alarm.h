// The program's main flow: start-up, the wait for the due alarm, the worker threads and the
// main loop's state machine. Also the shared words through which the threads talk.
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

// Exit statuses of main().
constexpr int ALARM_EXIT_OK = 0;
constexpr int ALARM_EXIT_INIT_FAILED = -11;
constexpr int ALARM_EXIT_THREAD_FAILED = -1;

// The whole program on the platform that main() has set; returns the exit status.
int alarm_main();
int alarm_init();
// Waits `seconds` in half-second steps; 1 as soon as exit_request is seen at the start of a
// one-second step, else 0.
int wait_delay(int seconds);

// Returns every module's program-wide state to how a fresh process has it (tests only).
void alarm_reset_program_state();
