// The vibrator, pulsed by its own thread while the alarm rings.
#pragma once

constexpr char VIBRATOR_PATH[] = "/sys/class/timed_output/vibrator/enable";
constexpr char VIBRATOR_PULSE[] = "1000";

int set_vibrator(const char* text);
void* vibrate_thread(void* unused);
