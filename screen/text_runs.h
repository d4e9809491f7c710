// A line of text cut into runs of one script and one direction, in the order they are seen
// from left to right. The line's direction is that of its first strong character (a
// letter: right to left in Arabic, Hebrew and the other right-to-left scripts, left to right
// otherwise); left to right when it has none. Digits read left to right in any line;
// blanks and punctuation go with their neighbours when both read the same way, else with
// the line.
#pragma once

#include <hb.h>

#include <cstdint>
#include <vector>

struct TextRun {
  int start = 0;  // index of the first character
  int end = 0;    // one past the last
  hb_script_t script = HB_SCRIPT_COMMON;
  bool rtl = false;
  int level = 0;  // embedding level: even reads left to right
};

// The runs of `text`, left to right on the screen; `rtl_line` tells the line's direction.
std::vector<TextRun> text_runs(const std::vector<uint32_t>& text, bool* rtl_line);
