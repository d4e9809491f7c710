// The sandbox's own files and protocols, each format's writer and reader side by side: the
// framebuffer's geometry and shown buffer, the console mode, the power-off record, the ring
// player's reports, the sqlite3 stand-in's log, and the environment that hands a sandbox to
// a program. Paths are relative to the sandbox root.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sandbox/sandbox_clock.h"

// Reads a whole small file; false when it cannot be read.
bool read_text_file(const std::string& path, std::string* out);
// Replaces a file's content through a temporary file and rename.
bool replace_text_file(const std::string& path, const std::string& text);

// --- Files that stand for devices and stores ---

constexpr char SANDBOX_KMSG_FILE[] = "/dev/kmsg";          // what the kernel-message node links to
constexpr char SANDBOX_PROPERTY_FILE[] = "/default.prop";  // the property store, name=value lines
constexpr char SANDBOX_INPUT_SYSFS_PREFIX[] = "/sys/class/input/input";  // + N + "/name"

// --- Framebuffer: a plain file of the device memory; its geometry is kept in "<fb>.info"
// and the shown buffer (yoffset and yres_virtual, as FBIOPUT_VSCREENINFO set them) in
// "<fb>.var". ---

struct SandboxFbGeometry {
  uint32_t xres = 0;
  uint32_t yres = 0;
  uint32_t bits_per_pixel = 0;
  uint32_t line_length = 0;
  uint32_t smem_len = 0;
  // The device keeps red where the program draws blue and blue where it draws red: XRGB
  // 8888 (red at bit 16) or BGR 565. "swapped=1" in the file; missing: the program's order.
  bool red_blue_swapped = false;
};
// Reads "<fb>.info"; false when missing or damaged.
bool read_sandbox_fb_geometry(const std::string& fb_path, SandboxFbGeometry* g);
bool write_sandbox_fb_geometry(const std::string& fb_path, const SandboxFbGeometry& g);
// The shown buffer from "<fb>.var": yoffset and yres_virtual (0 and yres when never set).
bool read_sandbox_fb_offset(const std::string& fb_path, uint32_t* yoffset, uint32_t* yres_virtual);
bool write_sandbox_fb_offset(const std::string& fb_path, uint32_t yoffset, uint32_t yres_virtual);

// --- Console: a plain file; the mode last set ("graphics" or "text") in "<console>.mode". ---

bool write_sandbox_console_mode(const std::string& console_path, bool graphics);
// "graphics", "text", or empty when never set.
std::string read_sandbox_console_mode(const std::string& console_path);

// --- Power-off: the sandbox platform records it, then the process ends. ---

constexpr char SANDBOX_POWEROFF_RECORD[] = "/sim/poweroff";
struct SandboxPoweroff {
  int64_t at_us = 0;    // virtual wall clock, microseconds since the epoch
  bool synced = false;  // the file systems were flushed before
};
bool write_sandbox_poweroff(const std::string& root, const SandboxPoweroff& record);
bool read_sandbox_poweroff(const std::string& root, SandboxPoweroff* record);

// --- Ring player: the stand-in at the player's path reports each start on the simulator's
// socket ("start PID PARENT AT_US ARGS...", the arguments with blanks made '_') and is told
// how long to play ("play MILLISECONDS", of virtual time from AT_US); the connection stays
// open until the player ends.
// Without a simulator it logs "start PID ARGS" and "end PID" lines and plays for the real
// seconds in the seconds file. ---

constexpr char SANDBOX_PLAYER_SOCKET[] = "/sim/player.sock";
constexpr char SANDBOX_PLAYER_LOG[] = "/sim/player.log";
constexpr char SANDBOX_PLAYER_SECONDS[] = "/sim/player_seconds";
constexpr size_t SANDBOX_PLAYER_LINE_LIMIT = 4096;

struct PlayerStart {
  long pid = 0;
  long parent_pid = 0;  // the ring controller that started it
  int64_t at_us = -1;   // virtual wall clock at the start; -1 when the player had no clock
  std::string args;
};
std::string format_player_start(const PlayerStart& start);
bool parse_player_start(const std::string& line, PlayerStart* start);
std::string format_player_reply(long play_ms);
bool parse_player_reply(const std::string& line, long* play_ms);

// --- sqlite3 stand-in: under a sqlite3 fault it takes the tool's place and logs what it did
// with each command, one "AT_US KIND STATE" line each: KIND is read, update or other; STATE
// is "held" (never returns), "delayed SECONDS" or "runs" (the real tool starts). ---

constexpr char SANDBOX_SQLITE_LOG[] = "/sim/sqlite.log";
struct SqliteLogEntry {
  int64_t at_us = 0;
  std::string kind;
  std::string state;
};
std::string format_sqlite_log_entry(const SqliteLogEntry& entry);
// The entries of the log's text; damaged lines are skipped.
std::vector<SqliteLogEntry> parse_sqlite_log(const std::string& text);

// --- Suspend to RAM: the sandbox platform logs each suspend of the phone in the same
// "AT_US KIND STATE" lines: "suspend UNTIL_US" (the alarm timer's moment), "resume BY"
// (alarm-timer or wake-up), "refused busy" (a wake-up event came first). ---

constexpr char SANDBOX_SUSPEND_LOG[] = "/sim/suspend.log";
// Appends one entry to the log at `path`, in one write.
bool append_sandbox_log_entry(const std::string& path, const SqliteLogEntry& entry);

// --- The environment that hands a sandbox to a program (and to the stand-ins it starts,
// which inherit it): ALARM_SANDBOX_ROOT, ALARM_SANDBOX_CLOCK ("start_us mono_start_ns speed
// [wake_us [from_us:to_us:speed,...]]": the virtual clock reads start_us at
// CLOCK_MONOTONIC mono_start_ns and runs at speed, at their own in the stretches listed; the
// RTC woke the phone at wake_us), ALARM_SANDBOX_CLOCK_RECORD (the file of the run's jumping
// clock, sandbox/sandbox_jumps.h, whose anchor then replaces start_us and mono_start_ns;
// absent for a run without jumps), ALARM_SANDBOX_FAULTS (comma-separated names). ---

constexpr char SANDBOX_ROOT_ENV[] = "ALARM_SANDBOX_ROOT";
constexpr char SANDBOX_CLOCK_ENV[] = "ALARM_SANDBOX_CLOCK";
constexpr char SANDBOX_CLOCK_RECORD_ENV[] = "ALARM_SANDBOX_CLOCK_RECORD";
constexpr char SANDBOX_FAULTS_ENV[] = "ALARM_SANDBOX_FAULTS";
constexpr char SANDBOX_ENV_PREFIX[] = "ALARM_SANDBOX_";
// Where a run keeps its jumping clock's record.
constexpr char SANDBOX_CLOCK_RECORD[] = "/sim/clock";

struct SandboxEnvironment {
  std::string root;
  int64_t start_us = 0;
  int64_t mono_start_ns = 0;
  double speed = 1.0;
  int64_t wake_us = 0;  // not after start_us
  std::vector<ClockStretch> slow;
  std::string clock_record;  // empty: a clock without jumps
  std::string faults;
};
// The clock the environment describes: the run's jumping clock when it names a record
// (null when that cannot be mapped), else a virtual clock.
std::unique_ptr<SandboxClock> sandbox_clock(const SandboxEnvironment& env);
// "NAME=value" entries for a program's environment (the faults only when there are any).
std::vector<std::string> sandbox_environment_entries(const SandboxEnvironment& env);
// From this process's environment; false when the root or the clock is missing or damaged.
// A clock without a wake moment woke at its start.
bool read_sandbox_environment(SandboxEnvironment* env);
