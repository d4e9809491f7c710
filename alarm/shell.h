// Runs command lines through the phone's shell ("/system/bin/sh -c").
#pragma once

#include <cstdio>
#include <sys/types.h>

constexpr char SHELL_PATH[] = "/system/bin/sh";

// Starts `command` with its standard output on a pipe; the stream to read, or null.
// Close it with shell_pclose, which waits for the command.
FILE* shell_popen(const char* command, pid_t* pid);
int shell_pclose(FILE* stream, pid_t pid);
// Runs `command` and waits for it; its wait status, or -1 when it could not be started.
int shell_system(const char* command);
