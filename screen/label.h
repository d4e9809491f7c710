// The ringing alarm's label on the alarm screen: one line in the phone's fonts, centred in
// the band between the time and the buttons, its size a share of the screen's, cut with "…"
// where it is wider than the screen less its margins. Laid out once per label and screen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "screen/font_list.h"
#include "screen/graphics.h"
#include "screen/text_fonts.h"

// The label's colour, on the screen's black.
constexpr uint8_t LABEL_RED = 255, LABEL_GREEN = 255, LABEL_BLUE = 255;
// The em is this share of the screen's shorter side, in thousandths.
constexpr int LABEL_EM_PER_MILLE = 75;
// Neither side of the screen is written within this share of its width, in thousandths.
constexpr int LABEL_MARGIN_PER_MILLE = 60;
// Rows kept free above and below the label, as a share of the screen's height in thousandths.
constexpr int LABEL_GAP_PER_MILLE = 6;
// A label that does not fit the band's height is made smaller, down to this share of its
// size in hundredths; below that it is cut off at the band's edges instead.
constexpr int LABEL_MIN_SHRINK_PERCENT = 50;
constexpr uint32_t LABEL_ELLIPSIS = 0x2026;

// A laid-out label: its picture (colour with the glyphs' coverage as alpha) and where its
// top-left corner goes on the screen.
struct LabelPicture {
  std::vector<uint8_t> pixels;
  gr_surface surface = {};
  int x = 0, y = 0;
  int em = 0;        // the size it was laid out at, in pixels
  bool cut = false;  // cut short with "…"
  bool drawn() const { return surface.width > 0 && surface.height > 0; }
};

// Lays out `text` (its first `size` bytes, UTF-8) for a screen of width x height whose
// free band runs from row band_top to band_bottom (exclusive). False, with an empty
// picture, when there is nothing to draw: no text, no usable font, no room.
bool label_layout(TextFonts& fonts, const char* text, size_t size, int width, int height,
                  int band_top, int band_bottom, LabelPicture* out);

// The label drawn from now on (null or empty: none). The main thread's.
void alarm_label_set(const char* text);
// Draws the label into the back surface in the band from band_top to band_bottom; the
// layout is made at the first draw of a label on a screen and kept.
void alarm_label_draw(int band_top, int band_bottom);
// The picture the last draw used (tests; null when no label was drawn).
const LabelPicture* alarm_label_picture();
// Forgets the label, its layout and its fonts (the font list is read again when needed).
void alarm_label_reset();
