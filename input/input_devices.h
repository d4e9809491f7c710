// Every event device under "/dev/input" in one poll set, read one native record at a time.
#pragma once

#include <linux/input.h>

constexpr int MAX_INPUT_DEVICES = 16;
constexpr char INPUT_DIR_PATH[] = "/dev/input";

int input_open_devices();
int input_wait_event(struct input_event* ev, int dont_wait);
unsigned input_device_count();
void input_devices_reset();  // tests: close the set
