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
// wait_delay that also ends, with 0, once the wall clock reaches `end_sec`: a snooze rings
// in the second its note and the schedule name, however long the sleeps took.
int wait_delay_until(int seconds, int64_t end_sec);

// Returns every module's program-wide state to how a fresh process has it (tests only).
void alarm_reset_program_state();
