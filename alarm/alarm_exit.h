// The ways out of an alarm: tear down and boot or power off, and the power-off itself.
#pragma once

void alarm_exit(int power_on);
void alarm_shutdown();
