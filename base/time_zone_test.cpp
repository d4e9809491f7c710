#include "base/time_zone.h"

#include <cstdlib>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "sim/test_sandbox.h"

namespace {

// A length-delimited field of the protocol-buffer wire format (lengths below 128).
std::string field(int number, const std::string& bytes) {
  return std::string(1, static_cast<char>(number << 3 | 2)) +
         std::string(1, static_cast<char>(bytes.size())) + bytes;
}
std::string record(const std::string& name, const std::string& value) {
  return field(1, field(1, name) + field(2, value));
}

bool store_value(const std::string& store, std::string* value) {
  return persistent_property_value(reinterpret_cast<const uint8_t*>(store.data()), store.size(),
                                   TIME_ZONE_PROPERTY, value);
}

// The program's own process starts without TZ on a phone; the test sandbox sets one.
class NoZoneInEnvironment {
 public:
  NoZoneInEnvironment() { unsetenv("TZ"); }
  ~NoZoneInEnvironment() {
    setenv("TZ", "UTC", 1);
    tzset();
  }
};

int local_hour(int64_t epoch) {
  struct tm tm = {};
  time_t t = static_cast<time_t>(epoch);
  platform().local_time(t, &tm);
  return tm.tm_hour;
}

}  // namespace

TEST(PersistentPropertyStore, TheLastRecordOfTheNameGivesTheValue) {
  std::string store = record("persist.sys.locale", "fr-FR") +
                      record(TIME_ZONE_PROPERTY, "Europe/Berlin") +
                      std::string("\x10\x96\x01", 3) +  // an unknown varint field, skipped
                      record(TIME_ZONE_PROPERTY, "Europe/Paris");
  std::string value;
  ASSERT_TRUE(store_value(store, &value));
  EXPECT_EQ(value, "Europe/Paris");
  EXPECT_FALSE(store_value(record("persist.sys.locale", "fr-FR"), &value));
}

TEST(PersistentPropertyStore, ADamagedStoreSaysNothing) {
  std::string good = record(TIME_ZONE_PROPERTY, "Europe/Paris");
  std::string value;
  for (size_t cut = 1; cut < good.size(); ++cut) {
    EXPECT_FALSE(store_value(good.substr(0, cut), &value)) << "cut at " << cut;
  }
  // A record that claims more bytes than the store has, and a length of 2^63.
  std::string lying = good;
  lying[1] = 0x7f;
  EXPECT_FALSE(store_value(lying, &value));
  EXPECT_FALSE(store_value("\x0a\xff\xff\xff\xff\xff\xff\xff\xff\x7f", &value));
  EXPECT_FALSE(store_value(std::string("\x0b", 1) + good, &value));  // a group: not this store
  EXPECT_FALSE(persistent_property_value(nullptr, 0, TIME_ZONE_PROPERTY, &value));
}

TEST(TimeZoneName, OnlyAPlainZoneNameIsTaken) {
  EXPECT_TRUE(time_zone_name_is_plain("Europe/Paris"));
  EXPECT_TRUE(time_zone_name_is_plain("America/Port-au-Prince"));
  EXPECT_TRUE(time_zone_name_is_plain("Etc/GMT+5"));
  EXPECT_FALSE(time_zone_name_is_plain(""));
  EXPECT_FALSE(time_zone_name_is_plain("/etc/passwd"));
  EXPECT_FALSE(time_zone_name_is_plain("../../data/evil"));
  EXPECT_FALSE(time_zone_name_is_plain("Europe/Paris;rm"));
  EXPECT_FALSE(time_zone_name_is_plain(std::string(92, 'A')));
}

// 2026-12-09 06:00 UTC is 07:00 in Paris.
TEST(PhoneTimeZone, ThePropertyComesFirstThenTheStoreThenItsFile) {
  TestSandbox sb("2026-12-09 06:00:00");
  sb.open_kernel_log();
  const int64_t six_utc = sb.clock().now_us() / 1000000;
  NoZoneInEnvironment no_tz;
  sb.write(TIME_ZONE_PROPERTY_FILE, "Asia/Tokyo\n");
  sb.write(PERSISTENT_PROPERTIES_PATH, record(TIME_ZONE_PROPERTY, "America/New_York"));
  sb.set_property(TIME_ZONE_PROPERTY, "Europe/Paris");
  EXPECT_EQ(set_phone_time_zone(), TimeZoneSource::kProperty);
  EXPECT_EQ(local_hour(six_utc), 7);
  EXPECT_NE(sb.kmsg().find("<6>alarm: time zone Europe/Paris from the property"),
            std::string::npos);

  unsetenv("TZ");
  sb.set_property(TIME_ZONE_PROPERTY, "");
  EXPECT_EQ(set_phone_time_zone(), TimeZoneSource::kPersistentStore);
  EXPECT_EQ(local_hour(six_utc), 1);

  unsetenv("TZ");
  sb.write(PERSISTENT_PROPERTIES_PATH, "\x0a\x40 truncated");
  EXPECT_EQ(set_phone_time_zone(), TimeZoneSource::kPropertyFile);
  EXPECT_EQ(local_hour(six_utc), 15);
  EXPECT_NE(
      sb.kmsg().find("<6>alarm: time zone Asia/Tokyo from /data/property/persist.sys.timezone"),
      std::string::npos);
}

TEST(PhoneTimeZone, NoZoneAnywhereIsUtcAndSaysSo) {
  TestSandbox sb("2026-12-09 06:00:00");
  sb.open_kernel_log();
  NoZoneInEnvironment no_tz;
  sb.write(TIME_ZONE_PROPERTY_FILE, "../../etc/zone\n");  // not a zone name: passed over
  EXPECT_EQ(set_phone_time_zone(), TimeZoneSource::kNone);
  EXPECT_EQ(local_hour(sb.clock().now_us() / 1000000), 6);
  EXPECT_NE(sb.kmsg().find("<3>alarm: no time zone in the properties or on /data: UTC\n"),
            std::string::npos);
}

TEST(PhoneTimeZone, AZoneAlreadyInTheEnvironmentStays) {
  TestSandbox sb("2026-12-09 07:00:00", "Europe/Paris");
  sb.set_property(TIME_ZONE_PROPERTY, "Asia/Tokyo");
  EXPECT_EQ(set_phone_time_zone(), TimeZoneSource::kEnvironment);
  EXPECT_EQ(local_hour(sb.clock().now_us() / 1000000), 7);  // Tokyo would say 15
  setenv("TZ", "UTC", 1);
  tzset();
}
