// The ring: a controller process that plays the ring file through the external player,
// again and again, until it is told to stop.
#pragma once

#include <sys/types.h>

constexpr int MUSIC_OP_STOP = 0;
constexpr int MUSIC_OP_PLAY = 1;
constexpr int MUSIC_ERR_PLAYING = -5;
constexpr char MUSIC_PLAYER_PATH[] = "/system/bin/mplayer";

extern pid_t g_music_pid;

int musicProcess(const char* path, int op);
void music_reset();  // tests: stop and forget any controller
