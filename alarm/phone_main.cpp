// The program on the phone: the Linux platform, then the alarm.
#include "alarm/alarm.h"
#include "platform/linux_platform.h"

int main() {
  static LinuxPlatform linux_platform;
  set_platform(&linux_platform);
  return alarm_main();
}
