// Screenshots of the sandbox display: the buffer that is shown, as the display shows it,
// saved as an RGBA PNG file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Screenshot {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> rgba;  // width * height * 4
};

// Reads the shown buffer of the sandbox framebuffer at `fb_path`; false when it cannot.
bool capture_framebuffer(const std::string& fb_path, Screenshot* shot);
bool write_png(const std::string& path, const Screenshot& shot);
bool read_png(const std::string& path, Screenshot* shot);
