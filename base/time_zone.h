// The phone's time zone for the program's own local-time conversions. Android's init loads
// the persistent properties (the zone among them) only in the ordinary start, so in the
// alarm boot the zone is looked for where they are kept as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

constexpr char TIME_ZONE_PROPERTY[] = "persist.sys.timezone";
// Android 9 and later: every persistent property in one protocol-buffer file.
constexpr char PERSISTENT_PROPERTIES_PATH[] = "/data/property/persistent_properties";
// Before 9: one file per property, holding its value.
constexpr char TIME_ZONE_PROPERTY_FILE[] = "/data/property/persist.sys.timezone";
// More than a phone's persistent properties ever hold; a larger store is read this far.
constexpr size_t PERSISTENT_PROPERTIES_READ_LIMIT = 64 * 1024;

enum class TimeZoneSource { kEnvironment, kProperty, kPersistentStore, kPropertyFile, kNone };

// The value of the last record named `name` in a store of the form
//   message PersistentProperties { repeated PersistentPropertyRecord properties = 1; }
//   message PersistentPropertyRecord { optional string name = 1; optional string value = 2; }
// False when there is none, or when the store does not read as that form (truncated, a
// length beyond its end, a field of an unknown wire type): a damaged store says nothing.
bool persistent_property_value(const uint8_t* data, size_t size, std::string_view name,
                               std::string* value);
// A zone name the program hands to the C library: a property value's length, letters,
// digits and _ + - / only, neither an absolute path nor a step up.
bool time_zone_name_is_plain(std::string_view zone);
// Finds the zone (TZ already in the environment, the property, the persistent store, the
// property's own file), sets it for the process and logs where it came from. Without one,
// UTC. Where the zone was found.
TimeZoneSource set_phone_time_zone();
