// Runs command lines through the phone's shell ("/system/bin/sh -c"), with or without a pipe
// from the command's standard output.
#pragma once

#include <cstdio>
#include <string>
#include <sys/types.h>

constexpr char SHELL_PATH[] = "/system/bin/sh";

// Starts `command` with its standard output on a pipe; the stream to read, or null.
// Close it with shell_pclose, which waits for the command.
FILE* shell_popen(const char* command, pid_t* pid);
int shell_pclose(FILE* stream, pid_t pid);
// Runs `command` and waits for it; its wait status, or -1 when it could not be started.
int shell_system(const char* command);

// True when `word` can stand unquoted in a command line: not empty, and only letters,
// digits and / . _ - + (a mapped path of the program, never text from a file).
bool shell_word_is_plain(const std::string& word);
