#include "sim/json_text.h"

#include <cstdio>

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string json_array(const std::vector<std::string>& json_items) {
  std::string out = "[";
  for (size_t i = 0; i < json_items.size(); ++i) out += (i ? ", " : "") + json_items[i];
  return out + "]";
}

std::string json_bool(bool v) {
  return v ? "true" : "false";
}

std::string json_seconds(double v) {
  char buf[48];
  snprintf(buf, sizeof buf, "%.3f", v);
  return buf;
}
