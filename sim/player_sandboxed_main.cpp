// The ring player on the sandbox platform, as "/system/bin/mplayer" of a sandbox: the real
// player, its sound going to the sandbox's sink (sandbox/sandbox_sound.h). Under alarm-sim it
// reports its start and end on the simulator's socket as the stand-in does.
#include <cstdio>

#include "player/ring_player.h"
#include "sandbox/sandbox_platform.h"
#include "sim/player_report.h"

int main(int argc, char** argv) {
  SandboxEnvironment env;
  if (!read_sandbox_environment(&env)) {
    fprintf(stderr, "mplayer: run me through alarm-sim\n");
    return PLAYER_EXIT_USAGE;
  }
  SandboxPlatform* sandbox = SandboxPlatform::from_environment().release();
  if (sandbox == nullptr) return PLAYER_EXIT_USAGE;
  set_platform(sandbox);
  PlayerReport report;
  report_player_start(&env, &sandbox->clock(), argc, argv, 0, &report);
  // The report's connection stays open until the process ends.
  return ring_player_main(argc, argv);
}
