#include "screen/label.h"

#include <algorithm>
#include <map>
#include <string>

#include "base/kernel_log.h"
#include "screen/text_draw.h"
#include "screen/text_input.h"
#include "screen/text_shape.h"

namespace {

// A label shortened by cutting that is still too wide is cut again one cluster earlier,
// at most this often; it is then clipped at the margins.
constexpr int kMaxCutTries = 16;
constexpr int kMinBandRows = 6;

struct LabelState {
  std::string text;
  std::unique_ptr<TextFonts> fonts;
  bool fonts_read = false;
  bool no_font_logged = false;
  // The layout kept, and what it was made for.
  std::unique_ptr<LabelPicture> picture;
  std::string laid_text;
  int laid_w = -1, laid_h = -1, laid_top = -1, laid_bottom = -1;
};

LabelState& state() {
  static LabelState* s = new LabelState;  // the exit may come while the label is drawn
  return *s;
}

int64_t floor_px(int64_t v) {
  return v >= 0 ? v / 64 : -((-v + 63) / 64);
}
int64_t ceil_px(int64_t v) {
  return -floor_px(-v);
}

bool is_blank(uint32_t c) {
  return c == ' ';
}

// The text cut at the last cluster that leaves room for "…", the ellipsis after it.
TextLine cut_to_width(TextFonts& fonts, const std::vector<uint32_t>& text, const TextLine& full,
                      int64_t room) {
  const TextLine ellipsis = text_shape(fonts, {LABEL_ELLIPSIS});
  // Advance of each cluster, by the index of its first character.
  std::map<uint32_t, int64_t> advance;
  for (const PlacedGlyph& g : full.glyphs) advance[g.cluster] += g.x_advance;
  std::vector<uint32_t> cuts;  // cluster starts after the first, each with room before it
  int64_t before = 0;
  for (const auto& c : advance) {
    if (c.first > 0 && before + ellipsis.width <= room) cuts.push_back(c.first);
    before += c.second;
  }
  TextLine line = ellipsis;
  int tries = 0;
  for (auto it = cuts.rbegin(); it != cuts.rend() && tries < kMaxCutTries; ++it, ++tries) {
    std::vector<uint32_t> shorter(text.begin(), text.begin() + *it);
    while (!shorter.empty() && is_blank(shorter.back())) shorter.pop_back();
    if (shorter.empty()) break;
    shorter.push_back(LABEL_ELLIPSIS);
    line = text_shape(fonts, shorter);
    if (line.width <= room) return line;
  }
  return tries == 0 || line.width > room ? ellipsis : line;
}

// The line at an em of `em` pixels, cut to `room` (1/64 pixel).
TextLine line_at(TextFonts& fonts, const std::vector<uint32_t>& text, int em, int64_t room,
                 bool* cut) {
  fonts.set_size(em * 64);
  TextLine line = text_shape(fonts, text);
  *cut = line.width > room;
  return *cut ? cut_to_width(fonts, text, line, room) : line;
}

TextFonts* label_fonts() {
  LabelState& s = state();
  if (!s.fonts_read) {
    s.fonts_read = true;
    s.fonts = std::make_unique<TextFonts>(font_list_read());
  }
  return s.fonts.get();
}

}  // namespace

bool label_layout(TextFonts& fonts, const char* text, size_t size, int width, int height,
                  int band_top, int band_bottom, LabelPicture* out) {
  *out = LabelPicture{};
  const std::vector<uint32_t> chars = text_from_utf8(text, size);
  const int shorter = std::min(width, height);
  const int margin = width * LABEL_MARGIN_PER_MILLE / 1000;
  const int gap = height * LABEL_GAP_PER_MILLE / 1000;
  const int top = std::max(0, band_top + gap);
  const int bottom = std::min(height, band_bottom - gap);
  const int64_t room = static_cast<int64_t>(width - 2 * margin) * 64;
  const int64_t band = static_cast<int64_t>(bottom - top) * 64;
  if (chars.empty() || bottom - top < kMinBandRows || room <= 0) return false;
  if (fonts.first_usable() == nullptr) return false;

  int em = std::max(1, shorter * LABEL_EM_PER_MILLE / 1000);
  bool cut = false;
  TextLine line = line_at(fonts, chars, em, room, &cut);
  TextInk ink = text_ink(fonts, line);
  if (ink.top - ink.bottom > band) {
    // Smaller, to fit the band's height: the ink grows with the size.
    int fit = static_cast<int>(em * band / (ink.top - ink.bottom));
    em = std::max({1, fit, em * LABEL_MIN_SHRINK_PERCENT / 100});
    line = line_at(fonts, chars, em, room, &cut);
    ink = text_ink(fonts, line);
  }
  if (line.glyphs.empty() || ink.empty()) return false;

  const int64_t pen_x = (static_cast<int64_t>(width) * 64 - line.width) / 2;
  int64_t baseline;
  if (ink.top - ink.bottom <= band) {
    baseline = top * 64 + (band - (ink.top - ink.bottom)) / 2 + ink.top;
  } else {
    // Stacked marks far above or below the letters: the letters' own line is centred and
    // the rest is cut off at the band's edges.
    hb_font_extents_t e = {};
    size_t home = 0;
    const TextFont* f = fonts.first_usable(&home);
    hb_font_get_h_extents(f->font, &e);
    baseline = top * 64 + (band - (e.ascender - e.descender)) / 2 + e.ascender;
  }
  // The picture: the ink's box within the margins and the band.
  const int64_t x0 = std::max<int64_t>(margin, floor_px(pen_x + ink.left));
  const int64_t x1 = std::min<int64_t>(width - margin, ceil_px(pen_x + ink.right));
  const int64_t y0 = std::max<int64_t>(top, floor_px(baseline - ink.top));
  const int64_t y1 = std::min<int64_t>(bottom, ceil_px(baseline - ink.bottom));
  if (x1 <= x0 || y1 <= y0) return false;

  const uint32_t w = static_cast<uint32_t>(x1 - x0), h = static_cast<uint32_t>(y1 - y0);
  out->pixels.assign(static_cast<size_t>(w) * h * 4, 0);
  for (size_t i = 0; i < out->pixels.size(); i += 4) {
    out->pixels[i] = LABEL_RED;
    out->pixels[i + 1] = LABEL_GREEN;
    out->pixels[i + 2] = LABEL_BLUE;
  }
  gr_surface& s = out->surface;
  s.version = 32;
  s.width = w;
  s.height = h;
  s.stride = static_cast<int32_t>(w);
  s.data = out->pixels.data();
  s.format = GR_FORMAT_RGBA_8888;
  out->x = static_cast<int>(x0);
  out->y = static_cast<int>(y0);
  out->em = em;
  out->cut = cut;
  text_draw(fonts, line, pen_x - x0 * 64, baseline - y0 * 64, &s);
  return true;
}

void alarm_label_set(const char* text) {
  state().text = text != nullptr ? text : "";
}

void alarm_label_draw(int band_top, int band_bottom) {
  LabelState& s = state();
  if (s.text.empty()) return;
  const int w = gr_screen_width(), h = gr_screen_height();
  if (!s.picture || s.laid_text != s.text || s.laid_w != w || s.laid_h != h ||
      s.laid_top != band_top || s.laid_bottom != band_bottom) {
    s.picture = std::make_unique<LabelPicture>();
    s.laid_text = s.text;
    s.laid_w = w, s.laid_h = h, s.laid_top = band_top, s.laid_bottom = band_bottom;
    TextFonts* fonts = label_fonts();
    if (fonts->first_usable() == nullptr) {
      if (!s.no_font_logged) kernel_log_write(3, "<3>alarm: no usable font for the label\n");
      s.no_font_logged = true;
      return;
    }
    label_layout(*fonts, s.text.data(), s.text.size(), w, h, band_top, band_bottom,
                 s.picture.get());
  }
  if (!s.picture->drawn()) return;
  const gr_surface& p = s.picture->surface;
  gr_blit_surface(&p, 0, 0, static_cast<int>(p.width), static_cast<int>(p.height), s.picture->x,
                  s.picture->y);
}

const LabelPicture* alarm_label_picture() {
  const LabelState& s = state();
  return s.picture && s.picture->drawn() ? s.picture.get() : nullptr;
}

void alarm_label_reset() {
  LabelState& s = state();
  s.picture.reset();
  s.fonts.reset();
  s.fonts_read = false;
  s.no_font_logged = false;
  s.text.clear();
  s.laid_text.clear();
  s.laid_w = s.laid_h = s.laid_top = s.laid_bottom = -1;
}
