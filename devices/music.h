// The ring: a controller process that plays the ring file through the external player,
// again and again, until it is told to stop.
#pragma once

#include <sys/types.h>

constexpr int MUSIC_OP_STOP = 0;
constexpr int MUSIC_OP_PLAY = 1;
constexpr int MUSIC_ERR_PLAYING = -5;
constexpr char MUSIC_PLAYER_PATH[] = "/system/bin/mplayer";
constexpr char MUSIC_DEFAULT_RING[] = "/res/sounds/default_ring.mp3";

// The controller that rings, or -1.
extern pid_t g_music_pid;

// MUSIC_OP_PLAY: the controller's pid, MUSIC_ERR_PLAYING while a ring plays, -1 when no
// controller could be made. MUSIC_OP_STOP: 0 when stopped (also when the controller had
// gone already), -1 when nothing rang or the stop could not be sent. Other codes: -1.
// `path` is a phone path; null plays the default ring.
int musicProcess(const char* path, int op);
// Whether a ring's controller is still running, a stopped one too while its player ends its
// sound; reaps those that have ended, without blocking.
bool music_controllers_running();
// The controller's SIGUSR1 handler: ends the current player and the repetition.
void music_stop_handler(int sig);
void music_reset();  // tests: stop and reap every controller
