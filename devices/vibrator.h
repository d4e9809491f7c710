// The vibrator: one pulse per write of its sysfs control, and the thread that pulses it
// every two seconds while the alarm rings.
#pragma once

#include <atomic>
#include <cstdint>

constexpr char VIBRATOR_PATH[] = "/sys/class/timed_output/vibrator/enable";
constexpr char VIBRATOR_PULSE[] = "1000";  // milliseconds the motor runs
constexpr int64_t VIBRATOR_PERIOD_US = 2000000;

// Bumped by the main loop when it switches to another alarm: vibrator threads started
// before the switch leave at their next look.
extern std::atomic<int32_t> g_vibrator_epoch;
// Vibrator threads that have not yet left their loop.
extern std::atomic<int32_t> g_vibrator_threads;

// Writes `text` to the vibrator: 0, or -1 on failure or a null text.
int set_vibrator(const char* text);
// Thread entry: pulses while the alarm rings, leaves when it is off or switching.
void* vibrate_thread(void* unused);
