// The ring player, the phone's "/system/bin/mplayer": `mplayer FILE` plays FILE once on the
// loudspeaker and ends. The ring controller starts it again and again while the alarm rings,
// stops it with SIGUSR2 and removes it with SIGKILL.
//
// - The format is told by the file's content: MP3, Ogg Vorbis or 16-bit PCM WAV, decoded as
//   it plays, a block at a time.
// - A file that is missing, unreadable, damaged or of no known format is logged, and the
//   alarm tone rings instead, as long as the file would have rung: to its length where the
//   file tells it, else ALARM_TONE_SECONDS from the start.
// - Before it plays, the route and level are set on the card's mixer (player_config.h).
// - The sound begins with a short ramp, rises over rise_seconds when set, and ends on
//   SIGUSR2 with a short ramp within 50 ms: what the card still holds beyond that is dropped.
// - A sound card that is missing or busy is logged and the player ends with status 1 at
//   once; the controller's pause after a short run keeps the retries from spinning.
#pragma once

#include <atomic>
#include <cstdint>

#include "player/player_config.h"

constexpr int PLAYER_EXIT_PLAYED = 0;
constexpr int PLAYER_EXIT_NO_CARD = 1;
constexpr int PLAYER_EXIT_USAGE = 2;

constexpr int PLAYER_CHUNK_MS = 20;  // what one write to the card holds
constexpr int PLAYER_START_RAMP_MS = 10;
constexpr int PLAYER_STOP_RAMP_MS = 5;
constexpr int PLAYER_STOP_WAIT_MS = 40;  // the longest the card's last sound is let play out

// main() of the player, on the platform set before.
int ring_player_main(int argc, char** argv);

// The settings from "/system/etc/mplayer.conf" (defaults where it is missing), bad lines
// logged.
PlayerConfig load_player_config();
// Sets the route: the mixer paths file's "speaker" path, then the config's own controls.
// How many settings failed (each is logged).
int set_player_route(const PlayerConfig& config);
// Plays the ring file at `path` (a path of this machine) as the player does, until it ends
// or `stop` becomes non-zero: a PLAYER_EXIT_ status.
int play_ring_file(const char* path, const PlayerConfig& config, const std::atomic<int>& stop);
// The gain (of 32768) at output frame `frame` of a sound at `rate`: the start ramp and the
// rise over `rise_seconds`.
int32_t ring_gain(int64_t frame, unsigned rate, int rise_seconds);
