// The process-wide platform pointer and the helpers every module uses.
#include "platform/platform.h"

#include <cstdlib>

namespace {
Platform* g_platform = nullptr;
}

Platform& platform() {
  if (g_platform == nullptr) abort();  // main() sets it before anything runs
  return *g_platform;
}

void set_platform(Platform* p) { g_platform = p; }

WallTime read_clock() {
  WallTime now;
  while (platform().wall_time(&now) != 0) {
  }
  return now;
}
