// The three settings of "/productinfo/alarm_flag": ring period, ring file, snooze period.
#pragma once

#include <cstdint>

constexpr char ALARM_FLAG_PATH[] = "/productinfo/alarm_flag";
constexpr char DEFAULT_RING_PATH[] = "/res/sounds/default_ring.mp3";
constexpr int ALARM_FLAG_BUFFER_SIZE = 300;
// Ring and snooze period when the file gives none (missing, unreadable, empty, zero).
constexpr int32_t ALARM_FLAG_DEFAULT_SECS = 60;

extern const char* g_alarm_ring_path;  // phone path of the ring file, or null for the default
extern int32_t g_alarm_last_time;      // ring period, seconds
extern int32_t g_alarm_delay_time;     // snooze period, seconds

// Reads the file once: the ring path now in g_alarm_ring_path (null when the file gave none
// that exists), or null when the file could not be opened or read (the default ring file
// then stays, and both periods are 60 seconds).
const char* read_alarm_flag();
void alarm_flag_reset();  // tests: the values before the file is read
