#include "base/system_property.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim/test_sandbox.h"

namespace {

// A property service that accepts connections and keeps every byte it receives.
class RecordingService {
 public:
  explicit RecordingService(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    unlink(path.c_str());
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(listen(fd_, 4), 0);
  }
  ~RecordingService() { close(fd_); }
  // Accepts one connection and reads it to its end.
  std::vector<uint8_t> receive_one() {
    int c = accept(fd_, nullptr, nullptr);
    std::vector<uint8_t> got;
    uint8_t buf[512];
    ssize_t n;
    while ((n = read(c, buf, sizeof buf)) > 0) got.insert(got.end(), buf, buf + n);
    close(c);
    return got;
  }

 private:
  int fd_;
};

}  // namespace

TEST(SystemProperty, ReadGivesTheStoredValueOrTheDefault) {
  TestSandbox sb;
  sb.set_property("ro.bootmode", "alarmboot");
  char value[PROP_VALUE_LIMIT];
  EXPECT_EQ(read_system_property("ro.bootmode", value, ""), 9);
  EXPECT_STREQ(value, "alarmboot");
  EXPECT_EQ(read_system_property("ro.unset.thing", value, ""), 0);
  EXPECT_STREQ(value, "");
  EXPECT_EQ(read_system_property("ro.sf.hwrotation.none", value, "0"), 1);
  EXPECT_STREQ(value, "0");
}

TEST(SystemProperty, SetSendsOne128ByteRequest) {
  TestSandbox sb;
  RecordingService service(sb.path(PROP_SERVICE_SOCKET));
  std::vector<uint8_t> got;
  std::thread server([&] { got = service.receive_one(); });
  EXPECT_EQ(set_system_property("ctl.start", "zygote"), 0);
  server.join();
  ASSERT_EQ(got.size(), 128u);
  EXPECT_EQ(got[0], 1);
  EXPECT_EQ(got[1], 0);
  EXPECT_EQ(got[2], 0);
  EXPECT_EQ(got[3], 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(&got[4]), "ctl.start");
  EXPECT_STREQ(reinterpret_cast<const char*>(&got[36]), "zygote");
}

TEST(SystemProperty, NullValueIsSentAsEmpty) {
  TestSandbox sb;
  RecordingService service(sb.path(PROP_SERVICE_SOCKET));
  std::vector<uint8_t> got;
  std::thread server([&] { got = service.receive_one(); });
  EXPECT_EQ(set_system_property("persist.x", nullptr), 0);
  server.join();
  ASSERT_EQ(got.size(), 128u);
  EXPECT_EQ(got[36], 0);
}

TEST(SystemProperty, OversizedNameOrValueIsRefusedBeforeConnecting) {
  TestSandbox sb;
  // No service is listening: a refusal must come from the checks, and nothing may hang.
  RecordingService service(sb.path(PROP_SERVICE_SOCKET));
  EXPECT_EQ(set_system_property(std::string(32, 'n').c_str(), "v"), -1);
  EXPECT_EQ(set_system_property("ctl.start", std::string(92, 'v').c_str()), -1);
  EXPECT_EQ(set_system_property(nullptr, "v"), -1);
  // The longest allowed ones go through.
  std::vector<uint8_t> got;
  std::thread server([&] { got = service.receive_one(); });
  EXPECT_EQ(set_system_property(std::string(31, 'n').c_str(), std::string(91, 'v').c_str()), 0);
  server.join();
  EXPECT_EQ(got.size(), 128u);
}

TEST(SystemProperty, NoServiceFailsTheSet) {
  TestSandbox sb;
  EXPECT_EQ(set_system_property("ctl.start", "zygote"), -1);
}
