// The program on the sandbox platform, as alarm-sim starts it.
#include <cstdio>

#include "alarm/alarm.h"
#include "sandbox/sandbox_platform.h"

int main() {
  // The platform lives as long as the process: the program's worker threads are never
  // joined and may still be using it while the process ends.
  SandboxPlatform* sandbox = SandboxPlatform::from_environment().release();
  if (sandbox == nullptr) {
    fprintf(stderr, "poweroff_alarm_sandbox: run me through alarm-sim\n");
    return 2;
  }
  set_platform(sandbox);
  return alarm_main();
}
