// The program on the sandbox platform, as alarm-sim starts it.
#include <cstdio>

#include "alarm/alarm.h"
#include "platform/sandbox_platform.h"

int main() {
  std::unique_ptr<SandboxPlatform> sandbox = SandboxPlatform::from_environment();
  if (sandbox == nullptr) {
    fprintf(stderr, "poweroff_alarm_sandbox: run me through alarm-sim\n");
    return 2;
  }
  set_platform(sandbox.get());
  return alarm_main();
}
