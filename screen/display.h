// Where the back surface is shown: the framebuffer device (graphics_fbdev.cpp) or, on a phone
// whose kernel has no framebuffer layer, a DRM/KMS card (graphics_drm.cpp). gr_init opens one;
// the drawing code, the 180-degree turn and the refresh thread never know which.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "screen/frame_copy.h"

// A buffer of the display that the next picture is copied into.
struct DisplayFrame {
  uint8_t* data = nullptr;  // the first row
  size_t pitch = 0;         // bytes from one row to the next
};

class Display {
 public:
  virtual ~Display() = default;  // releases every buffer, mapping and descriptor

  virtual uint32_t width() const = 0;
  virtual uint32_t height() const = 0;
  virtual FrameLayout layout() const = 0;
  // The buffer the next picture goes into: the one not on show, where there are two.
  virtual DisplayFrame frame_to_fill() = 0;
  // Shows the buffer frame_to_fill gave, now that the picture is in it.
  virtual void show_filled_frame() = 0;
};

// The framebuffer device, or null when it cannot be used (reported on standard error).
std::unique_ptr<Display> open_fbdev_display();
// The first DRM/KMS card (/dev/dri/card0, card1, ...) that can show a connected screen, or
// null; the kernel log names the screen and mode chosen, or why a card could not serve.
std::unique_ptr<Display> open_drm_display();
