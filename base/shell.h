// Runs command lines through the phone's shell ("/system/bin/sh -c"), each in a process
// group of its own with its standard output on a pipe, so that no command can hold the
// alarm back: every wait for one has a deadline, and a command that overstays it is ended.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/platform.h"

constexpr char SHELL_PATH[] = "/system/bin/sh";

// One command line started through the shell. The owner ends the command (its whole
// process group) and reaps it when the command is still there as the owner goes.
class ShellJob {
 public:
  ShellJob() = default;
  ~ShellJob();
  ShellJob(ShellJob&& other) noexcept;
  ShellJob& operator=(ShellJob&& other) noexcept;
  ShellJob(const ShellJob&) = delete;
  ShellJob& operator=(const ShellJob&) = delete;

  // Starts `command`; false when it could not be started (no pipe, no fork).
  bool start(const char* command);
  bool started() const { return pid_ > 0; }
  // The read end of the command's standard output (close-on-exec), or -1.
  int output() const { return out_; }
  // Reaps the command when it has ended, without waiting: true when it has (or was never
  // started).
  bool try_finish();
  // Waits until the command has closed its standard output (what it still prints is
  // dropped) or the wall clock reaches `deadline`, then reaps it, ending its process group
  // first when the deadline came. Its wait status; -1 when it had to be ended or was never
  // started.
  int finish(const WallTime& deadline);

 private:
  void end_now();

  pid_t pid_ = -1;
  int out_ = -1;
};

// True when `word` can stand unquoted in a command line: not empty, and only letters,
// digits and / . _ - + (a mapped path of the program, never text from a file).
bool shell_word_is_plain(const std::string& word);
