#include "base/time_zone.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/kernel_log.h"
#include "base/system_property.h"
#include "platform/platform.h"

namespace {

constexpr char kUtc[] = "UTC";
constexpr int kWireVarint = 0;
constexpr int kWireFixed64 = 1;
constexpr int kWireLengthDelimited = 2;
constexpr int kWireFixed32 = 5;
constexpr int kMaxVarintBytes = 10;
constexpr uint32_t kPropertiesField = 1;
constexpr uint32_t kNameField = 1;
constexpr uint32_t kValueField = 2;

// Reads the protocol-buffer wire format of one message, field by field.
class WireReader {
 public:
  WireReader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  bool done() const { return p_ == end_; }

  // The next field's number and wire type, and for a length-delimited field its bytes;
  // every other field is skipped. False at a damage.
  bool next(uint32_t* field, std::string_view* bytes) {
    uint64_t key = 0;
    if (!varint(&key) || (key >> 3) == 0 || (key >> 3) > UINT32_MAX) return false;
    *field = static_cast<uint32_t>(key >> 3);
    *bytes = {};
    uint64_t skip = 0;
    switch (static_cast<int>(key & 7)) {
      case kWireVarint:
        return varint(&skip);
      case kWireFixed64:
        return advance(8);
      case kWireFixed32:
        return advance(4);
      case kWireLengthDelimited: {
        uint64_t length = 0;
        if (!varint(&length) || length > static_cast<uint64_t>(end_ - p_)) return false;
        *bytes = std::string_view(reinterpret_cast<const char*>(p_), static_cast<size_t>(length));
        p_ += length;
        return true;
      }
      default:
        return false;  // groups and unknown types: not this store
    }
  }

 private:
  bool varint(uint64_t* out) {
    uint64_t v = 0;
    for (int i = 0; i < kMaxVarintBytes; ++i) {
      if (p_ == end_) return false;
      uint8_t b = *p_++;
      v |= static_cast<uint64_t>(b & 0x7f) << (7 * i);
      if ((b & 0x80) == 0) {
        *out = v;
        return true;
      }
    }
    return false;
  }
  bool advance(size_t n) {
    if (static_cast<size_t>(end_ - p_) < n) return false;
    p_ += n;
    return true;
  }

  const uint8_t* p_;
  const uint8_t* end_;
};

bool read_record(std::string_view bytes, std::string* name, std::string* value, bool* has_value) {
  WireReader r(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  *has_value = false;
  while (!r.done()) {
    uint32_t field = 0;
    std::string_view text;
    if (!r.next(&field, &text)) return false;
    if (field == kNameField) *name = std::string(text);
    if (field == kValueField) {
      *value = std::string(text);
      *has_value = true;
    }
  }
  return true;
}

// At most `limit` bytes of a file; false when it cannot be opened or read.
bool read_file_prefix(const std::string& path, size_t limit, std::vector<uint8_t>* out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out->assign(limit, 0);
  size_t got = 0;
  bool ok = true;
  while (got < limit) {
    ssize_t n = read(fd, out->data() + got, limit - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  out->resize(got);
  return ok;
}

bool zone_from_store(std::string* zone) {
  std::vector<uint8_t> data;
  if (!read_file_prefix(device_path(PERSISTENT_PROPERTIES_PATH), PERSISTENT_PROPERTIES_READ_LIMIT,
                        &data)) {
    return false;
  }
  return persistent_property_value(data.data(), data.size(), TIME_ZONE_PROPERTY, zone);
}

bool zone_from_property_file(std::string* zone) {
  std::vector<uint8_t> data;
  if (!read_file_prefix(device_path(TIME_ZONE_PROPERTY_FILE), PROP_VALUE_LIMIT, &data)) {
    return false;
  }
  std::string text(data.begin(), data.end());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\0' || text.back() == ' ')) {
    text.pop_back();
  }
  *zone = text;
  return !text.empty();
}

// A found zone that cannot be used is logged and passed over.
bool usable(const std::string& zone, const char* where) {
  if (zone.empty()) return false;
  if (time_zone_name_is_plain(zone)) return true;
  kernel_log_write(3, "<3>alarm: time zone in %s is not a zone name: ignored\n", where);
  return false;
}

}  // namespace

bool persistent_property_value(const uint8_t* data, size_t size, std::string_view name,
                               std::string* value) {
  if (data == nullptr) return false;
  WireReader r(data, size);
  bool found = false;
  std::string last;
  while (!r.done()) {
    uint32_t field = 0;
    std::string_view bytes;
    if (!r.next(&field, &bytes)) return false;
    if (field != kPropertiesField) continue;
    std::string record_name, record_value;
    bool has_value = false;
    if (!read_record(bytes, &record_name, &record_value, &has_value)) return false;
    if (record_name == name && has_value) {
      last = record_value;
      found = true;
    }
  }
  if (found) *value = last;
  return found;
}

bool time_zone_name_is_plain(std::string_view zone) {
  if (zone.empty() || zone.size() >= static_cast<size_t>(PROP_VALUE_LIMIT) || zone[0] == '/') {
    return false;
  }
  if (zone.find("..") != std::string_view::npos) return false;
  for (char c : zone) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '+' || c == '-' || c == '/';
    if (!ok) return false;
  }
  return true;
}

TimeZoneSource set_phone_time_zone() {
  const char* env = getenv("TZ");
  if (env != nullptr && env[0] != '\0') {
    kernel_log_write(6, "<6>alarm: time zone %s from the environment\n", env);
    platform().set_time_zone(env);
    return TimeZoneSource::kEnvironment;
  }
  char value[PROP_VALUE_LIMIT];
  memset(value, 0, sizeof value);
  read_system_property(TIME_ZONE_PROPERTY, value, "");
  std::string zone = value;
  TimeZoneSource source = TimeZoneSource::kNone;
  const char* where = nullptr;
  if (usable(zone, "the property store")) {
    source = TimeZoneSource::kProperty;
    where = "the property persist.sys.timezone";
  } else if (zone_from_store(&zone) && usable(zone, PERSISTENT_PROPERTIES_PATH)) {
    source = TimeZoneSource::kPersistentStore;
    where = PERSISTENT_PROPERTIES_PATH;
  } else if (zone_from_property_file(&zone) && usable(zone, TIME_ZONE_PROPERTY_FILE)) {
    source = TimeZoneSource::kPropertyFile;
    where = TIME_ZONE_PROPERTY_FILE;
  }
  if (source == TimeZoneSource::kNone) {
    kernel_log_write(3, "<3>alarm: no time zone in the properties or on /data: UTC\n");
    platform().set_time_zone(kUtc);
    return source;
  }
  kernel_log_write(6, "<6>alarm: time zone %s from %s\n", zone.c_str(), where);
  platform().set_time_zone(zone.c_str());
  return source;
}
