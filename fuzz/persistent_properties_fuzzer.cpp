// The persistent-property store of /data/property (a protocol-buffer file written by init):
// the reader never reads outside the input, gives a value only from the input's own bytes,
// and gives the same answer twice. The whole zone look-up then runs on it as the store.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include "base/time_zone.h"
#include "fuzz/fuzz_support.h"
#include "platform/platform.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_sandbox_init("2026-12-09 06:59:40");
  fuzz_make_dir("/data/property");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string value;
  bool found = persistent_property_value(data, size, TIME_ZONE_PROPERTY, &value);
  if (found) {
    FUZZ_CHECK(value.size() <= size);
    std::string input(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(value.empty() || input.find(value) != std::string::npos);
  }
  std::string again;
  FUZZ_CHECK(persistent_property_value(data, size, TIME_ZONE_PROPERTY, &again) == found);
  FUZZ_CHECK(again == value || !found);

  fuzz_write_file(PERSISTENT_PROPERTIES_PATH, data, size);
  unsetenv("TZ");
  TimeZoneSource source = set_phone_time_zone();
  const char* zone = getenv("TZ");
  FUZZ_CHECK(zone != nullptr);
  if (source == TimeZoneSource::kPersistentStore) {
    FUZZ_CHECK(found && value == zone && time_zone_name_is_plain(zone));
  } else {
    FUZZ_CHECK(source == TimeZoneSource::kNone && std::string(zone) == "UTC");
  }
  return 0;
}
