// A person's view of a phone's alarm schedule: the records, the settings, the week's
// instants, the next due alarm and the RTC value at power-off, computed by the program's
// own schedule modules on a copy of the phone's files.
#pragma once

#include <string>

// Prints the report for the sandbox-shaped tree at `root` seen at `at` (local time in `tz`,
// "YYYY-MM-DD HH:MM:SS"; empty: now) by a program that starts then, `boot_secs` seconds after
// the RTC switched the phone on. False with a reason in `error` when it cannot.
bool print_schedule_report(const std::string& root, const std::string& at, const std::string& tz,
                           int boot_secs, std::string* error);
