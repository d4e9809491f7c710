// Copies the back surface into a frame of the display: in the display's own pixel order and,
// where the panel is mounted upside down, turned by 180 degrees in the same pass.
#pragma once

#include <cstddef>
#include <cstdint>

// Where a display keeps the colours of a pixel. The back surface is drawn as R, G, B, A bytes
// (a 32-bit display) or as RGB 565 (a 16-bit one); a display that keeps them so takes the
// rows as they are.
struct FrameLayout {
  uint32_t bytes_per_pixel = 4;  // 2 or 4
  bool as_drawn = true;          // the back surface's own order: a plain copy
  // 32-bit, not as drawn: the bit at which the display keeps each of the back surface's
  // bytes R, G, B and A (A goes to the byte the colours leave free). 16-bit, not as drawn:
  // red and blue trade places (BGR 565).
  uint8_t shift[4] = {0, 8, 16, 24};
};

// One colour of a pixel as a display describes it: its lowest bit and its number of bits.
struct ColourField {
  uint32_t offset = 0;
  uint32_t length = 0;
};

// The layout of a display of `bits_per_pixel` whose colours lie where the fields say (the
// framebuffer's own description, or a DRM format's). A layout it cannot tell (fields left
// zero, colours that are not whole bytes, other depths) is taken as the back surface's own
// order, as the program always drew.
FrameLayout frame_layout_for(uint32_t bits_per_pixel, ColourField red, ColourField green,
                             ColourField blue);

// Copies `rows` rows of `width` pixels from `src` (tightly packed, `width` pixels a row) into
// `dst` (rows `dst_pitch` bytes apart) in `layout`'s order. Turned: row i of the frame is row
// rows - 1 - i of the back surface with its pixels in reverse order.
void copy_frame(uint8_t* dst, size_t dst_pitch, const uint8_t* src, uint32_t width, uint32_t rows,
                const FrameLayout& layout, bool turned);
