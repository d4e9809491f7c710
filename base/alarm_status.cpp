#include "base/alarm_status.h"

AlarmStatus g_alarm_status;
std::atomic<int32_t> g_button_event{BUTTON_NONE};
// Never destroyed: the input thread may still post it while the process exits.
WakeEvent& g_main_wakeup = *new WakeEvent;
