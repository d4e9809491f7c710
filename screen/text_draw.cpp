#include "screen/text_draw.h"

#include FT_OUTLINE_H
#include <algorithm>

namespace {

struct SpanTarget {
  gr_surface* surface;
};

// Rows come bottom up in the outline's coordinates; row 0 is the picture's last.
void blend_spans(int y, int count, const FT_Span* spans, void* user) {
  gr_surface* s = static_cast<SpanTarget*>(user)->surface;
  const int row = static_cast<int>(s->height) - 1 - y;
  if (row < 0 || row >= static_cast<int>(s->height)) return;
  uint8_t* line = s->data + static_cast<size_t>(row) * s->stride * 4;
  for (int i = 0; i < count; ++i) {
    int x0 = std::max(0, static_cast<int>(spans[i].x));
    int x1 = std::min(static_cast<int>(s->width), spans[i].x + spans[i].len);
    unsigned c = spans[i].coverage;
    for (int x = x0; x < x1; ++x) {
      uint8_t& a = line[x * 4 + 3];
      a = static_cast<uint8_t>(a + c - a * c / 255);  // glyphs that overlap add up
    }
  }
}

}  // namespace

TextInk text_ink(TextFonts& fonts, const TextLine& line) {
  TextInk ink;
  bool any = false;
  int64_t pen = 0;
  for (const PlacedGlyph& g : line.glyphs) {
    const TextFont* f = fonts.get(g.font);
    hb_glyph_extents_t e;
    if (f != nullptr && hb_font_get_glyph_extents(f->font, g.glyph, &e) && e.width != 0 &&
        e.height != 0) {
      int64_t l = pen + g.x_offset + e.x_bearing, r = l + e.width;
      int64_t t = g.y_offset + e.y_bearing, b = t + e.height;
      if (r < l) std::swap(l, r);
      if (t < b) std::swap(t, b);
      if (!any) {
        ink.left = l, ink.right = r, ink.top = t, ink.bottom = b;
        any = true;
      } else {
        ink.left = std::min(ink.left, l), ink.right = std::max(ink.right, r);
        ink.top = std::max(ink.top, t), ink.bottom = std::min(ink.bottom, b);
      }
    }
    pen += g.x_advance;
  }
  return ink;
}

void text_draw(TextFonts& fonts, const TextLine& line, int64_t x, int64_t baseline,
               gr_surface* target) {
  if (target == nullptr || target->width == 0 || target->height == 0) return;
  const int64_t height_64 = static_cast<int64_t>(target->height) * 64;
  SpanTarget span_target{target};
  int64_t pen = x;
  for (const PlacedGlyph& g : line.glyphs) {
    const int64_t gx = pen + g.x_offset;
    const int64_t gy = height_64 - baseline + g.y_offset;  // upwards from the bottom edge
    pen += g.x_advance;
    const TextFont* f = fonts.get(g.font);
    if (f == nullptr) continue;
    // Outlines only: a font of colour bitmaps (emoji) has none, and draws nothing here.
    if (FT_Load_Glyph(f->face, g.glyph, FT_LOAD_NO_HINTING | FT_LOAD_NO_BITMAP) != 0) continue;
    FT_GlyphSlot slot = f->face->glyph;
    if (slot->format != FT_GLYPH_FORMAT_OUTLINE) continue;
    FT_BBox box;
    FT_Outline_Get_CBox(&slot->outline, &box);
    // Far off the picture (or beyond FreeType's coordinates): nothing to draw.
    if (gx + box.xMax < 0 || gx + box.xMin > static_cast<int64_t>(target->width) * 64 ||
        gy + box.yMax < 0 || gy + box.yMin > height_64) {
      continue;
    }
    FT_Outline_Translate(&slot->outline, static_cast<FT_Pos>(gx), static_cast<FT_Pos>(gy));
    FT_Raster_Params params = {};
    params.source = &slot->outline;
    params.flags = FT_RASTER_FLAG_AA | FT_RASTER_FLAG_DIRECT | FT_RASTER_FLAG_CLIP;
    params.gray_spans = blend_spans;
    params.user = &span_target;
    params.clip_box.xMin = 0;
    params.clip_box.yMin = 0;
    params.clip_box.xMax = static_cast<FT_Pos>(target->width);
    params.clip_box.yMax = static_cast<FT_Pos>(target->height);
    FT_Outline_Render(fonts.library(), &slot->outline, &params);
  }
}
