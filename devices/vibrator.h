// The vibrator, pulsed by its own thread while the alarm rings.
#pragma once

#include <atomic>
#include <cstdint>

constexpr char VIBRATOR_PATH[] = "/sys/class/timed_output/vibrator/enable";
constexpr char VIBRATOR_PULSE[] = "1000";

// Bumped by the main loop when it switches to another alarm: vibrator threads started
// before the switch leave at their next look.
extern std::atomic<int32_t> g_vibrator_epoch;

int set_vibrator(const char* text);
void* vibrate_thread(void* unused);
