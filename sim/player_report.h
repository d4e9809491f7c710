// What a ring player in a sandbox tells alarm-sim: its start, stamped on the sandbox's
// virtual clock and with the ring controller that started it, on the simulator's socket. The
// connection stays open until the player ends, so the simulator sees the end whatever its
// cause. Both the real player's sandboxed build and the stand-in report so.
#pragma once

#include <string>

#include "sandbox/sandbox_clock.h"
#include "sandbox/sandbox_files.h"

struct PlayerReport {
  int fd = -1;        // the open connection, or -1 when no simulator listens
  long play_ms = -1;  // how long the simulator says one run plays (the stand-in's only)
  int64_t at_us = 0;  // the start on the sandbox clock (0 without one)
  std::string root;   // the sandbox root, or empty
  std::string args;   // the arguments, blanks and newlines made '_'
};

// The sandbox root: from the environment alarm-sim hands over, else from where this program
// lies in the sandbox (its "/system/bin/mplayer"); empty when neither says.
std::string player_sandbox_root(const SandboxEnvironment* env);
// Reports the start; `report->play_ms` keeps `default_play_ms` when the simulator does not
// say.
void report_player_start(const SandboxEnvironment* env, SandboxClock* clock, int argc, char** argv,
                         long default_play_ms, PlayerReport* report);
