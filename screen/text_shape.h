// Shapes a line of text with the label's fonts: runs of one script and direction
// (screen/text_runs.h), each shaped by HarfBuzz with the first font; a cluster that font has
// no glyph for is shaped again with the next font of the list, and so on. A cluster no font
// has keeps the first font's missing-glyph box.
#pragma once

#include <cstdint>
#include <vector>

#include "screen/text_fonts.h"

struct PlacedGlyph {
  uint32_t font = 0;      // index into the fonts
  uint32_t glyph = 0;     // glyph id in that font
  uint32_t cluster = 0;   // index of the first character of its cluster
  int32_t x_advance = 0;  // all in the fonts' size unit (1/64 pixel on the screen)
  int32_t x_offset = 0;
  int32_t y_offset = 0;  // upwards
};

struct TextLine {
  std::vector<PlacedGlyph> glyphs;  // left to right
  int64_t width = 0;                // the sum of the advances
  bool rtl = false;                 // the line's direction
};

// The glyphs of `text` left to right. Empty when there is no usable font.
TextLine text_shape(TextFonts& fonts, const std::vector<uint32_t>& text);
