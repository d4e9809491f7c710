#include "screen/text_fonts.h"

#include <hb-ft.h>
#include <hb-ot.h>

#include <utility>

TextFonts::TextFonts(std::vector<FontFile> files) {
  if (FT_Init_FreeType(&library_) != 0) library_ = nullptr;
  for (FontFile& f : files) {
    Entry e;
    e.file = std::move(f);
    files_.push_back(std::move(e));
  }
}

TextFonts::~TextFonts() {
  for (Entry& e : files_) {
    if (e.state != State::kOpen) continue;
    hb_font_destroy(e.font.font);  // holds a reference to the face: it goes first
    FT_Done_Face(e.font.face);
  }
  if (library_ != nullptr) FT_Done_FreeType(library_);
}

void TextFonts::apply_size(TextFont* f) const {
  // Outlines are drawn unhinted at this size; the shaping takes the font's own advances in
  // the same unit.
  FT_Set_Char_Size(f->face, 0, size_, 72, 72);
  hb_font_set_scale(f->font, size_, size_);
}

const TextFont* TextFonts::get(size_t i) {
  if (i >= files_.size() || library_ == nullptr) return nullptr;
  Entry& e = files_[i];
  if (e.state == State::kUnopened) {
    e.state = State::kUnusable;
    FT_Face face = nullptr;
    if (FT_New_Face(library_, e.file.name.c_str(), e.file.index, &face) != 0) return nullptr;
    if (!FT_IS_SCALABLE(face) || face->units_per_EM == 0) {
      FT_Done_Face(face);
      return nullptr;
    }
    hb_font_t* font = hb_ft_font_create_referenced(face);
    // The font's own tables for advances and extents, as HarfBuzz's tools read them; the
    // glyphs themselves are FreeType's.
    hb_ot_font_set_funcs(font);
    e.font.face = face;
    e.font.font = font;
    e.state = State::kOpen;
    apply_size(&e.font);
  }
  return e.state == State::kOpen ? &e.font : nullptr;
}

const TextFont* TextFonts::first_usable(size_t* index) {
  for (size_t i = 0; i < files_.size(); ++i) {
    if (const TextFont* f = get(i)) {
      if (index != nullptr) *index = i;
      return f;
    }
  }
  return nullptr;
}

void TextFonts::set_size(int32_t em_64ths) {
  if (em_64ths < 1) em_64ths = 1;
  size_ = em_64ths;
  for (Entry& e : files_) {
    if (e.state == State::kOpen) apply_size(&e.font);
  }
}
