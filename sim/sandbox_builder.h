// Lays out a sandbox: the phone's file tree at the phone's paths under one root directory,
// with the emulated devices the sandbox platform and alarm-sim work with.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "screen/font_list.h"

struct SandboxOptions {
  int width = 480;
  int height = 800;
  int bits_per_pixel = 32;
  // The display keeps red and blue the other way round from the program's drawing: XRGB
  // 8888 (red at bit 16, as most 32-bit framebuffers) or BGR 565.
  bool red_blue_swapped = false;
  int rotation = 0;         // "ro.sf.hwrotation": 0 or 180
  std::string tp_kind;      // "ro.device.tp"; empty leaves it unset
  std::string artwork_dir;  // holds qvga/, hvga/, wvga/; empty: no images
  std::string player_path;  // the ring player (or its stand-in); empty: no /system/bin/mplayer
  std::string ring_path;    // the default ring to lay; empty: a text file in its place
  // The clock application's database: "" the `alarms` table of Android 4.3 and before;
  // "4.4" the templates and instances at the old path; "7" the same in device-protected
  // storage, where Android 7.0 and later keep it.
  std::string clock_app;
};

// Touch and key devices made by build_sandbox.
constexpr char SANDBOX_TOUCH_DEVICE[] = "/dev/input/event0";
constexpr char SANDBOX_KEY_DEVICE[] = "/dev/input/event1";
constexpr char SANDBOX_TOUCH_NAME[] = "qild_touch_screen";
constexpr char SANDBOX_KEY_NAME[] = "qpnp_pon";

// The alarms table of the clock application, as sqlite3 makes it.
constexpr char ALARMS_TABLE_SQL[] =
    "CREATE TABLE alarms (_id INTEGER PRIMARY KEY, hour INTEGER, minutes INTEGER, "
    "daysofweek INTEGER, alarmtime INTEGER, enabled INTEGER, vibrate INTEGER, message TEXT, "
    "alert TEXT);";

// Debian's fonts, laid at the phone's font paths with a font list (/system/etc/fonts.xml)
// that names the default family first and its fallbacks after it. The files are links to
// Debian's (fonts-roboto-unhinted, fonts-noto-core, fonts-droid-fallback); one missing on
// the host is named in the list all the same, as a phone's broken list would.
struct SandboxFont {
  const char* phone_name;  // in /system/fonts/
  const char* host_path;
  const char* lang;  // the family's languages; null for the default family
};
extern const SandboxFont SANDBOX_FONTS[];
extern const size_t SANDBOX_FONT_COUNT;
// The sandbox's fonts.xml.
std::string sandbox_fonts_xml();
// The sandbox's fonts in the list's order, at their host paths (tests and benchmarks).
std::vector<FontFile> sandbox_host_fonts();
// The clock application's tables from Android 4.4 (database versions 7 and 8).
constexpr char CLOCK_APP_TABLES_SQL[] =
    "CREATE TABLE alarm_templates (_id INTEGER PRIMARY KEY, hour INTEGER NOT NULL, "
    "minutes INTEGER NOT NULL, daysofweek INTEGER NOT NULL, enabled INTEGER NOT NULL, "
    "vibrate INTEGER NOT NULL, label TEXT NOT NULL, ringtone TEXT, "
    "delete_after_use INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE alarm_instances (_id INTEGER PRIMARY KEY, year INTEGER NOT NULL, "
    "month INTEGER NOT NULL, day INTEGER NOT NULL, hour INTEGER NOT NULL, "
    "minutes INTEGER NOT NULL, vibrate INTEGER NOT NULL, label TEXT NOT NULL, ringtone TEXT, "
    "alarm_state INTEGER NOT NULL, alarm_id INTEGER REFERENCES alarm_templates(_id) "
    "ON UPDATE CASCADE ON DELETE CASCADE);";
// The phone path of the database a sandbox made with `clock_app` has.
const char* clock_app_db_path(const std::string& clock_app);

bool build_sandbox(const std::string& root, const SandboxOptions& options, std::string* error);

// Helpers shared by the builder, alarm-sim and tests.
bool make_dirs(const std::string& path);
bool write_file(const std::string& path, const std::string& content);
bool make_fifo(const std::string& path);
// A fresh framebuffer of width x height at bits_per_pixel, two screens of memory.
bool make_framebuffer(const std::string& root, int width, int height, int bits_per_pixel,
                      bool red_blue_swapped = false);
// Runs the host's sqlite3 on `db` with `sql`; false when it failed.
bool run_sqlite(const std::string& db, const std::string& sql, std::string* output = nullptr);
// Path of a program found in PATH, or empty; a candidate that is `skip` (compared by real
// path) is passed over.
std::string find_in_path(const char* name, const std::string& skip = "");
// Directory of the running executable.
std::string self_dir();
// Sets the process's time zone to `tz` ("UTC" or a zone of the system's time-zone data);
// false for a zone the system does not know.
bool use_time_zone(const std::string& tz);
// Microseconds since the epoch of "YYYY-MM-DD HH:MM:SS" in the process's time zone, or -1
// when the text does not read so.
int64_t parse_local_time_us(const char* at);
// An epoch second as local time, "Wed 2026-12-09 07:00:00 UTC".
std::string local_time_text(int64_t epoch_secs);
// The statement that adds one alarm to the clock application's table (alarmtime 0).
std::string alarm_insert_sql(int id, int hour, int minute, int days, int enabled, int vibrate,
                             const std::string& message, const std::string& alert);
// The statements that add a template and an instance (month 0 January; a null ring tone
// is the default sound) to the 4.4+ tables.
std::string template_insert_sql(int id, int hour, int minute, int days, int enabled, int vibrate,
                                int delete_after_use = 0, const std::string& label = "",
                                const char* ringtone = nullptr);
std::string instance_insert_sql(int id, int alarm_id, int year, int month, int day, int hour,
                                int minute, int state, int vibrate = 0,
                                const std::string& label = "", const char* ringtone = nullptr);
// An SQL text literal: the text in single quotes, quotes inside doubled.
std::string quote_sql(const std::string& text);
// Removes a directory tree without following links.
void remove_tree(const std::string& root);
// Sets name=value in a property file of name=value lines, replacing an earlier value.
bool set_property_in_file(const std::string& path, const std::string& name,
                          const std::string& value);
// The snooze note as the program writes it ("ID\nEND_MS\n", padded with NUL bytes): the
// snoozed alarm and the end of the snooze in epoch seconds. False when it does not read so.
bool parse_snooze_note(std::string_view text, int* alarm_id, int64_t* snooze_end);
// One pair of a snooze note: the alarm and the end of its snooze in epoch seconds.
struct SnoozeNotePair {
  int alarm_id = 0;
  int64_t end = 0;
};
// Every pair of the note in its order (the first is the snooze taken last, the others were
// still to ring when it was written); a pair that does not read so is left out.
std::vector<SnoozeNotePair> parse_snooze_note_pairs(std::string_view text);
// Where a run's phone keeps its time zone (`alarm-sim --zone-from`): "" nowhere but the
// program's environment (TZ, as the host has it); "property" the property store;
// "store" /data/property's persistent store (the protocol-buffer form of Android 9);
// "none" nowhere at all. False for another word.
bool valid_zone_source(const std::string& zone_from);
// Lays `zone` where `zone_from` says and removes it from the other places. False when a
// file could not be written.
bool place_time_zone(const std::string& root, const std::string& zone_from,
                     const std::string& zone);
// The persistent-property store holding one record, name=value.
std::string persistent_properties_bytes(const std::string& name, const std::string& value);
// Lower-cost check that a root is safe to put into a shell command line unquoted.
bool sandbox_root_is_safe(const std::string& root);
