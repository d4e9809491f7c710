#include "screen/text_shape.h"

#include <algorithm>

#include "screen/text_runs.h"

namespace {

struct Shaper {
  TextFonts& fonts;
  const std::vector<uint32_t>& text;
  hb_buffer_t* buffer;
  hb_unicode_funcs_t* unicode;
  size_t home;  // the first usable font: it draws what no font has
};

bool is_blank(hb_unicode_funcs_t* uf, uint32_t c) {
  return hb_unicode_general_category(uf, c) == HB_UNICODE_GENERAL_CATEGORY_SPACE_SEPARATOR;
}

// Shapes text[start, end) of `run` with font `font`, the whole run around it as context.
// The glyphs come out left to right.
std::vector<PlacedGlyph> shape_with(Shaper& s, const TextRun& run, int start, int end,
                                    size_t font_index, const TextFont& font) {
  hb_buffer_t* b = s.buffer;
  hb_buffer_clear_contents(b);
  hb_buffer_add_codepoints(b, s.text.data() + run.start, run.end - run.start,
                           static_cast<unsigned>(start - run.start), end - start);
  hb_buffer_set_direction(b, run.rtl ? HB_DIRECTION_RTL : HB_DIRECTION_LTR);
  hb_buffer_set_script(b, run.script);
  hb_buffer_set_language(b, hb_language_get_default());
  hb_shape(font.font, b, nullptr, 0);
  unsigned n = 0;
  const hb_glyph_info_t* info = hb_buffer_get_glyph_infos(b, &n);
  const hb_glyph_position_t* pos = hb_buffer_get_glyph_positions(b, &n);
  std::vector<PlacedGlyph> out(n);
  for (unsigned i = 0; i < n; ++i) {
    out[i].font = static_cast<uint32_t>(font_index);
    out[i].glyph = info[i].codepoint;
    out[i].cluster = info[i].cluster + static_cast<uint32_t>(run.start);
    out[i].x_advance = pos[i].x_advance;
    out[i].x_offset = pos[i].x_offset;
    out[i].y_offset = pos[i].y_offset;
  }
  return out;
}

std::vector<PlacedGlyph> shape_span(Shaper& s, const TextRun& run, int start, int end,
                                    size_t from_font) {
  size_t index = from_font;
  const TextFont* font = nullptr;
  while (index < s.fonts.count() && (font = s.fonts.get(index)) == nullptr) ++index;
  if (font == nullptr) {
    // No font has these characters: the first font's missing-glyph boxes.
    return shape_with(s, run, start, end, s.home, *s.fonts.get(s.home));
  }
  std::vector<PlacedGlyph> glyphs = shape_with(s, run, start, end, index, *font);

  // Clusters in the order of the text, each with its end and whether a glyph is missing.
  std::vector<uint32_t> starts;
  for (const PlacedGlyph& g : glyphs) starts.push_back(g.cluster);
  std::sort(starts.begin(), starts.end());
  starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
  std::vector<bool> missing(starts.size(), false);
  auto cluster_no = [&](uint32_t c) {
    return static_cast<size_t>(std::lower_bound(starts.begin(), starts.end(), c) - starts.begin());
  };
  bool any = false;
  for (const PlacedGlyph& g : glyphs) {
    if (g.glyph == 0) missing[cluster_no(g.cluster)] = any = true;
  }
  if (!any) return glyphs;
  auto cluster_end = [&](size_t k) {
    return k + 1 < starts.size() ? static_cast<int>(starts[k + 1]) : end;
  };
  // A blank between two clusters that go to another font goes with them, so that a word
  // space of another script is that script's own.
  std::vector<bool> moves = missing;
  for (size_t k = 1; k + 1 < starts.size(); ++k) {
    if (missing[k] || !missing[k - 1] || !missing[k + 1]) continue;
    bool blank = true;
    for (int c = static_cast<int>(starts[k]); c < cluster_end(k); ++c) {
      blank = blank && is_blank(s.unicode, s.text[c]);
    }
    moves[k] = blank;
  }

  // Each stretch of moving clusters is shaped again with the fonts after this one, and its
  // glyphs take the place of this font's: a stretch is contiguous in the text, and its
  // glyphs are contiguous on the line.
  std::vector<PlacedGlyph> out;
  for (size_t i = 0; i < glyphs.size();) {
    size_t k = cluster_no(glyphs[i].cluster);
    if (!moves[k]) {
      out.push_back(glyphs[i++]);
      continue;
    }
    size_t j = i;
    uint32_t lo = glyphs[i].cluster, hi = glyphs[i].cluster;
    while (j < glyphs.size() && moves[cluster_no(glyphs[j].cluster)]) {
      lo = std::min(lo, glyphs[j].cluster);
      hi = std::max(hi, glyphs[j].cluster);
      ++j;
    }
    std::vector<PlacedGlyph> again =
        shape_span(s, run, static_cast<int>(lo), cluster_end(cluster_no(hi)), index + 1);
    out.insert(out.end(), again.begin(), again.end());
    i = j;
  }
  return out;
}

}  // namespace

TextLine text_shape(TextFonts& fonts, const std::vector<uint32_t>& text) {
  TextLine line;
  size_t home = 0;
  if (text.empty() || fonts.first_usable(&home) == nullptr) return line;
  hb_buffer_t* buffer = hb_buffer_create();
  if (!hb_buffer_allocation_successful(buffer)) {
    hb_buffer_destroy(buffer);
    return line;
  }
  Shaper s{fonts, text, buffer, hb_unicode_funcs_get_default(), home};
  for (const TextRun& run : text_runs(text, &line.rtl)) {
    std::vector<PlacedGlyph> g = shape_span(s, run, run.start, run.end, home);
    line.glyphs.insert(line.glyphs.end(), g.begin(), g.end());
  }
  hb_buffer_destroy(buffer);
  for (const PlacedGlyph& g : line.glyphs) line.width += g.x_advance;
  return line;
}
