#include "base/system_property.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/unique_fd.h"

namespace {

constexpr size_t kNameOffset = 4;
constexpr size_t kValueOffset = 36;

}  // namespace

int read_system_property(const char* name, char* value, const char* default_value) {
  int len = platform().property_read(name, value);
  if (len <= 0 && default_value != nullptr) {
    size_t n = strnlen(default_value, PROP_VALUE_LIMIT - 1);
    memcpy(value, default_value, n);
    value[n] = '\0';
    len = static_cast<int>(n);
  }
  return len;
}

int set_system_property(const char* name, const char* value) {
  if (value == nullptr) value = "";
  if (name == nullptr) return -1;
  size_t name_len = strlen(name);
  size_t value_len = strlen(value);
  if (name_len >= PROP_NAME_LIMIT || value_len >= PROP_VALUE_LIMIT) return -1;

  uint8_t request[PROP_REQUEST_SIZE] = {};
  uint32_t cmd = PROP_MSG_SETPROP;
  for (int i = 0; i < 4; ++i) request[i] = static_cast<uint8_t>(cmd >> (8 * i));  // little-endian
  memcpy(request + kNameOffset, name, name_len);
  memcpy(request + kValueOffset, value, value_len);

  std::string path = device_path(PROP_SERVICE_SOCKET);
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return -1;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  UniqueFd s(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (s.get() < 0) return -1;
  if (connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
  ssize_t sent;
  do {
    sent = send(s.get(), request, sizeof request, MSG_NOSIGNAL);
  } while (sent < 0 && (errno == EINTR || errno == EAGAIN));
  return sent == static_cast<ssize_t>(sizeof request) ? 0 : -1;
}
