// What a sandbox display shows: the buffer on show in the sandbox framebuffer file, as
// opaque RGBA pixels, and a PNG file of it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct FbCapture {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> rgba;  // width x height pixels, R, G, B, A (always 255), top row first

  const uint8_t* pixel(uint32_t x, uint32_t y) const { return rgba.data() + (y * width + x) * 4; }
};

// Reads the shown buffer (at the yoffset kept beside the device) of the sandbox
// framebuffer at host path `fb_path`. False when the device or its geometry is unusable.
bool fb_capture_shown(const std::string& fb_path, FbCapture* out);

// Writes the capture as an 8-bit RGB PNG file; false on failure.
bool fb_capture_write_png(const FbCapture& capture, const std::string& png_path);
