// The input thread: touches on the three buttons become button codes, the power key an
// exit request.
#pragma once

#include <linux/input.h>

#include <atomic>
#include <cstdint>

// The last X and Y reported since the last hit test (written by the input thread).
extern std::atomic<int32_t> g_touch_x;
extern std::atomic<int32_t> g_touch_y;
// The power key's presses so far (written by the input thread, before the exit request).
// Its release and repeats ask to exit as well: a wait that only a new press may end compares
// this count.
extern std::atomic<int32_t> g_power_key_presses;

void* get_input_event(void* unused);
void check_power_key(const struct input_event* ev);
void parse_alarm_event(const struct input_event* ev);
void input_event_reset();  // tests: forget a half-received touch
