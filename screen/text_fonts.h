// The label's fonts: the files of the phone's font list, each opened the first time a
// character needs it, with FreeType (the glyphs' outlines) and HarfBuzz (the shaping).
#pragma once

#include <ft2build.h>
#include FT_FREETYPE_H
#include <hb.h>

#include <cstdint>
#include <vector>

#include "screen/font_list.h"

struct TextFont {
  FT_Face face = nullptr;
  hb_font_t* font = nullptr;
};

class TextFonts {
 public:
  explicit TextFonts(std::vector<FontFile> files);
  ~TextFonts();
  TextFonts(const TextFonts&) = delete;
  TextFonts& operator=(const TextFonts&) = delete;

  size_t count() const { return files_.size(); }
  // Font i at the current size, opened on first use; null when its file is missing or not a
  // scalable font FreeType can read.
  const TextFont* get(size_t i);
  // The first usable font, or null when there is none.
  const TextFont* first_usable(size_t* index = nullptr);
  // The size every font lays out at: the em in 1/64 pixel. Positions come out in the same
  // unit (passing a font's units per em gives its design units, as hb-shape prints them).
  void set_size(int32_t em_64ths);
  int32_t size() const { return size_; }
  FT_Library library() const { return library_; }

 private:
  enum class State { kUnopened, kOpen, kUnusable };
  struct Entry {
    FontFile file;
    State state = State::kUnopened;
    TextFont font;
  };
  void apply_size(TextFont* f) const;

  FT_Library library_ = nullptr;
  std::vector<Entry> files_;
  int32_t size_ = 64 * 16;
};
