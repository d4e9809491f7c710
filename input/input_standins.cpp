// Stand-ins until the input modules land: no devices.
#include "input/input_devices.h"
#include "input/input_event.h"
#include "input/tp_calibration.h"

int input_open_devices() { return 0; }
int input_wait_event(struct input_event*, int) { return -1; }
unsigned input_device_count() { return 0; }
void input_devices_reset() {}
void* get_input_event(void*) { return nullptr; }
void check_power_key(const struct input_event*) {}
void parse_alarm_event(const struct input_event*) {}
void input_event_reset() {}
int find_touch_screen(char*) { return -1; }
int set_cal_mode(int) { return 1; }
void load_tp_calibration() {}
