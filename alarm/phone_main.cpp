// The program on the phone: the Linux platform, then the alarm.
#include "alarm/alarm.h"
#include "platform/linux_platform.h"

int main() {
  // Never destroyed: worker threads may still use it while the process ends.
  set_platform(new LinuxPlatform);
  return alarm_main();
}
