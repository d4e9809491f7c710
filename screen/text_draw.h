// Draws a shaped line's glyphs as coverage: FreeType renders each outline, clipped to the
// target, and the coverage goes into the alpha of an RGBA 8888 picture.
#pragma once

#include <cstdint>

#include "screen/graphics.h"
#include "screen/text_shape.h"

// The box the line's glyphs cover, in the fonts' unit (1/64 pixel) from the pen's start on
// the baseline, upwards positive; all zero for a line without ink.
struct TextInk {
  int64_t left = 0, right = 0, top = 0, bottom = 0;
  bool empty() const { return right <= left || top <= bottom; }
};
TextInk text_ink(TextFonts& fonts, const TextLine& line);

// Draws `line` with its pen starting at (x, baseline), in 1/64 pixel of `target` (y down),
// into `target`'s alpha; its colour bytes are left as they are. Nothing lands outside it.
void text_draw(TextFonts& fonts, const TextLine& line, int64_t x, int64_t baseline,
               gr_surface* target);
