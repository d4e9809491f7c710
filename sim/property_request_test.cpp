#include "sim/property_request.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/system_property.h"
#include "sim/test_sandbox.h"

TEST(PropertyRequest, TheProgramsRequestDecodesAndDamagedOnesAreRefused) {
  TestSandbox sb;
  PropertyRecorder service(sb);
  ASSERT_EQ(set_system_property("ctl.start", "zygote"), 0);
  std::vector<std::string> got = service.wait_for(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], "ctl.start=zygote");

  std::string whole(PROP_REQUEST_SIZE, '\0');
  whole[0] = 1;
  whole.replace(4, 4, "name");
  whole.replace(4 + PROP_NAME_LIMIT, 5, "value");
  PropertyRequest request;
  std::string refused;
  ASSERT_TRUE(decode_property_request(whole, &request, &refused));
  EXPECT_EQ(request.name, "name");
  EXPECT_EQ(request.value, "value");

  std::string short_one = whole.substr(0, 100);
  std::string other_command = whole;
  other_command[1] = 1;
  std::string unnamed = whole;
  unnamed[4] = '\0';
  std::string long_name = whole;
  long_name.replace(4, PROP_NAME_LIMIT, std::string(PROP_NAME_LIMIT, 'n'));
  std::string long_value = whole;
  long_value.replace(4 + PROP_NAME_LIMIT, PROP_VALUE_LIMIT, std::string(PROP_VALUE_LIMIT, 'v'));
  struct Case {
    const std::string& bytes;
    const char* reason;
  } cases[] = {{short_one, "request of 100 bytes"},
               {other_command, "command 257"},
               {unnamed, "name not terminated or empty"},
               {long_name, "name not terminated or empty"},
               {long_value, "value not terminated"}};
  for (const Case& c : cases) {
    EXPECT_FALSE(decode_property_request(c.bytes, &request, &refused)) << c.reason;
    EXPECT_EQ(refused, c.reason);
  }
}
