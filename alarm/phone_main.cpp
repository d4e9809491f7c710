// The program on the phone: the Linux platform, then the alarm.
#include "alarm/alarm.h"
#include "platform/platform.h"

int main() {
  set_platform(Platform::Default());
  return alarm_main();
}
