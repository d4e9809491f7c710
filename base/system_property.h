// Client of Android's system properties: reads from the property store, sets through the
// property service socket.
#pragma once

constexpr int PROP_NAME_LIMIT = 32;   // 31 characters and the zero
constexpr int PROP_VALUE_LIMIT = 92;  // 91 characters and the zero
constexpr int PROP_REQUEST_SIZE = 128;
constexpr unsigned PROP_MSG_SETPROP = 1;
constexpr char PROP_SERVICE_SOCKET[] = "/dev/socket/property_service";

// The value into `value` (92 bytes); its length. An unset value gives `default_value` (when
// not null) and its length.
int read_system_property(const char* name, char* value, const char* default_value);
// 0 when the whole 128-byte request was sent, -1 otherwise.
int set_system_property(const char* name, const char* value);
