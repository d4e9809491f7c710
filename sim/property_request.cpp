#include "sim/property_request.h"

#include <cstdint>
#include <cstring>

#include "base/system_property.h"

namespace {

// The record: a 32-bit little-endian command, then the name and the value fields, each
// zero-terminated within its limit.
constexpr size_t kNameOffset = sizeof(uint32_t);
constexpr size_t kValueOffset = kNameOffset + PROP_NAME_LIMIT;
static_assert(kValueOffset + PROP_VALUE_LIMIT == PROP_REQUEST_SIZE, "the record is whole");

}  // namespace

bool decode_property_request(const std::string& bytes, PropertyRequest* request,
                             std::string* refused) {
  auto refuse = [&](const std::string& why) {
    if (refused != nullptr) *refused = why;
    return false;
  };
  if (bytes.size() != PROP_REQUEST_SIZE) {
    return refuse("request of " + std::to_string(bytes.size()) + " bytes");
  }
  uint32_t command = 0;
  for (size_t i = 0; i < sizeof command; ++i) {
    command |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << (8 * i);
  }
  const char* name = bytes.data() + kNameOffset;
  const char* value = bytes.data() + kValueOffset;
  if (command != PROP_MSG_SETPROP) return refuse("command " + std::to_string(command));
  if (memchr(name, 0, PROP_NAME_LIMIT) == nullptr || name[0] == '\0') {
    return refuse("name not terminated or empty");
  }
  if (memchr(value, 0, PROP_VALUE_LIMIT) == nullptr) return refuse("value not terminated");
  request->name = name;
  request->value = value;
  return true;
}
