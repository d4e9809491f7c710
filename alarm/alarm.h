// The program's main flow: start-up, the wait for the due alarm, the worker threads and the
// main loop's state machine, over the threads' shared words (base/alarm_status.h).
#pragma once

#include <cstdint>

#include "base/alarm_status.h"

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
// The dark wait of a snooze: ends with 1 as soon as exit_request is set (the input thread
// posts g_main_wakeup), with 0 once the wall clock reaches `end_sec` or `seconds` have
// passed. It sleeps until one of them, never looking in between. While the screen is dark
// and the alarm snoozed (state 4), with at least SUSPEND_MIN_WAIT_US left, the phone
// suspends to RAM, its alarm timer set SUSPEND_WAKE_LEAD_US before the end; where it cannot,
// the wait stays awake and says so once in the kernel log.
int wait_delay_until(int seconds, int64_t end_sec);

// A dark wait suspends the phone only when at least this much of it is left.
constexpr int64_t SUSPEND_MIN_WAIT_US = 10000000;
// The alarm timer of a suspend fires this long before the wait's end: an RTC counts whole
// seconds, the phone may resume a little late, and its clock is set again from the RTC.
constexpr int64_t SUSPEND_WAKE_LEAD_US = 3000000;
// After a resume the phone stays awake this long before it suspends again, so that the
// power key that woke it is read first; a refused suspend waits this, doubled each time.
constexpr int64_t SUSPEND_SETTLE_US = 1000000;

// Returns every module's program-wide state to how a fresh process has it (tests only).
void alarm_reset_program_state();
