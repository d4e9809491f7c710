// Makes the alarm screen's images for the three size classes: the alarm clock icon, the
// button background, the three button labels, the clock digits and their separator.
// Everything is drawn here from shapes and a small stroke font of our own, anti-aliased by
// supersampling, and written as PNG files of several kinds (RGB, RGBA, palette).
//
// Usage: make_artwork OUTDIR   (writes OUTDIR/{qvga,hvga,wvga}/NAME.png)
#include <png.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr int kSamples = 4;  // supersampling: kSamples x kSamples per pixel
constexpr double kPi = 3.14159265358979323846;
constexpr int kGreyLevels = 64;  // palette entries of the digit images

// Sizes of one class, chosen so the alarm screen's layout fills its screen well.
struct SizeClass {
  const char* dir;
  int icon;
  int bg_w, bg_h;
  int label_w, label_h;
  int digit_w, digit_h;
  int dot_w;
};

const SizeClass kClasses[] = {
    {"qvga", 88, 74, 50, 70, 24, 34, 56, 17},
    {"hvga", 128, 96, 68, 88, 30, 48, 80, 24},
    {"wvga", 200, 140, 100, 124, 44, 72, 120, 36},
};

struct Rgba {
  double r = 0, g = 0, b = 0, a = 0;  // straight colour, 0 to 1
};

Rgba rgb(int r, int g, int b, double a = 1.0) {
  return {r / 255.0, g / 255.0, b / 255.0, a};
}

// Premultiplied accumulation of one pixel.
struct Accum {
  double r = 0, g = 0, b = 0, a = 0;
  void over(const Rgba& c) {
    double k = 1.0 - c.a;
    r = c.r * c.a + r * k;
    g = c.g * c.a + g * k;
    b = c.b * c.a + b * k;
    a = c.a + a * k;
  }
};

// A picture as a function from a point (pixels, y down) to its colour there, rendered
// by averaging kSamples^2 points in each pixel.
using Scene = std::function<Accum(double x, double y)>;

struct Image {
  int w = 0, h = 0;
  std::vector<double> px;  // premultiplied RGBA per pixel
};

Image render(int w, int h, const Scene& scene) {
  Image img;
  img.w = w;
  img.h = h;
  img.px.assign(static_cast<size_t>(w) * h * 4, 0.0);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      Accum sum;
      for (int j = 0; j < kSamples; ++j) {
        for (int i = 0; i < kSamples; ++i) {
          Accum s = scene(x + (i + 0.5) / kSamples, y + (j + 0.5) / kSamples);
          sum.r += s.r, sum.g += s.g, sum.b += s.b, sum.a += s.a;
        }
      }
      double n = kSamples * kSamples;
      double* p = &img.px[(static_cast<size_t>(y) * w + x) * 4];
      p[0] = sum.r / n, p[1] = sum.g / n, p[2] = sum.b / n, p[3] = sum.a / n;
    }
  }
  return img;
}

uint8_t to_byte(double v) {
  return static_cast<uint8_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255));
}

// ---- geometry ----

struct Pt {
  double x, y;
};

double seg_distance(Pt p, Pt a, Pt b) {
  double dx = b.x - a.x, dy = b.y - a.y;
  double len2 = dx * dx + dy * dy;
  double t = len2 > 0 ? ((p.x - a.x) * dx + (p.y - a.y) * dy) / len2 : 0;
  t = std::clamp(t, 0.0, 1.0);
  double ex = a.x + t * dx - p.x, ey = a.y + t * dy - p.y;
  return std::sqrt(ex * ex + ey * ey);
}

using Polyline = std::vector<Pt>;

// Points of an elliptic arc; angles in degrees, 0 to the right, 90 straight down.
Polyline arc(double cx, double cy, double rx, double ry, double a0, double a1) {
  Polyline out;
  int steps = std::max(8, static_cast<int>(std::fabs(a1 - a0) / 6));
  for (int i = 0; i <= steps; ++i) {
    double a = (a0 + (a1 - a0) * i / steps) * kPi / 180;
    out.push_back({cx + rx * std::cos(a), cy + ry * std::sin(a)});
  }
  return out;
}

Polyline join(Polyline a, const Polyline& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// ---- the stroke font: glyphs drawn in a box 1 high and `width` wide (in box units,
// x from 0 to 1 is stretched to the width), y down ----

struct Glyph {
  char c;
  double width;
  std::vector<Polyline> strokes;
};

std::vector<Glyph> make_font() {
  std::vector<Glyph> f;
  auto add = [&](char c, double w, std::vector<Polyline> s) { f.push_back({c, w, std::move(s)}); };
  Polyline six_loop = arc(0.5, 0.68, 0.47, 0.32, 0, 360);
  Polyline six_stem = arc(0.62, 0.68, 0.59, 0.68, 180, 292);
  auto turned = [](const Polyline& p) {
    Polyline out;
    for (Pt q : p) out.push_back({1 - q.x, 1 - q.y});
    return out;
  };
  add('0', 0.58, {arc(0.5, 0.5, 0.5, 0.5, 0, 360)});
  add('1', 0.58, {{{0.22, 0.2}, {0.58, 0.0}, {0.58, 1.0}}});
  add('2', 0.58, {join(arc(0.5, 0.27, 0.47, 0.27, 185, 380), {{0.03, 1.0}, {1.0, 1.0}})});
  add('3', 0.58, {arc(0.5, 0.25, 0.45, 0.25, 200, 450), arc(0.5, 0.75, 0.5, 0.25, 270, 520)});
  add('4', 0.58, {{{0.74, 1.0}, {0.74, 0.0}, {0.0, 0.68}, {1.0, 0.68}}});
  add('5', 0.58,
      {join({{0.92, 0.0}, {0.16, 0.0}, {0.1, 0.48}}, arc(0.5, 0.68, 0.47, 0.32, 218, 522))});
  add('6', 0.58, {six_loop, six_stem});
  add('7', 0.58, {{{0.0, 0.0}, {1.0, 0.0}, {0.34, 1.0}}});
  add('8', 0.58, {arc(0.5, 0.25, 0.41, 0.25, 0, 360), arc(0.5, 0.74, 0.49, 0.26, 0, 360)});
  add('9', 0.58, {turned(six_loop), turned(six_stem)});
  add('S', 0.66, {arc(0.5, 0.26, 0.46, 0.26, 330, 90), arc(0.5, 0.74, 0.5, 0.26, 270, 510)});
  add('N', 0.68, {{{0, 1}, {0, 0}, {1, 1}, {1, 0}}});
  add('O', 0.78, {arc(0.5, 0.5, 0.5, 0.5, 0, 360)});
  add('Z', 0.66, {{{0, 0}, {1, 0}, {0, 1}, {1, 1}}});
  add('E', 0.58, {{{1, 0}, {0, 0}, {0, 1}, {1, 1}}, {{0, 0.5}, {0.86, 0.5}}});
  add('T', 0.68, {{{0, 0}, {1, 0}}, {{0.5, 0}, {0.5, 1}}});
  Polyline p_bowl =
      join({{0, 1}, {0, 0}, {0.55, 0}}, join(arc(0.55, 0.27, 0.45, 0.27, 270, 450), {{0, 0.54}}));
  add('P', 0.64, {p_bowl});
  add('R', 0.66, {p_bowl, {{0.5, 0.54}, {1, 1}}});
  add('W', 0.92, {{{0, 0}, {0.23, 1}, {0.5, 0.3}, {0.77, 1}, {1, 0}}});
  add(' ', 0.3, {});
  return f;
}

const Glyph* find_glyph(const std::vector<Glyph>& font, char c) {
  for (const Glyph& g : font) {
    if (g.c == c) return &g;
  }
  return nullptr;
}

constexpr double kLetterGap = 0.16;  // between glyphs, in units of the glyph height

double text_units(const std::vector<Glyph>& font, const std::string& text) {
  double u = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const Glyph* g = find_glyph(font, text[i]);
    u += (g ? g->width : 0.5) + (i + 1 < text.size() ? kLetterGap : 0);
  }
  return u;
}

// The strokes of `text`, laid out in pixels: glyph height `cap`, centred at (cx, cy).
std::vector<std::pair<Pt, Pt>> layout_text(const std::vector<Glyph>& font, const std::string& text,
                                           double cx, double cy, double cap) {
  std::vector<std::pair<Pt, Pt>> segs;
  double x = cx - text_units(font, text) * cap / 2;
  double top = cy - cap / 2;
  for (char c : text) {
    const Glyph* g = find_glyph(font, c);
    if (g == nullptr) continue;
    for (const Polyline& line : g->strokes) {
      for (size_t i = 0; i + 1 < line.size(); ++i) {
        Pt a{x + line[i].x * g->width * cap, top + line[i].y * cap};
        Pt b{x + line[i + 1].x * g->width * cap, top + line[i + 1].y * cap};
        segs.push_back({a, b});
      }
      if (line.size() == 1) {
        Pt a{x + line[0].x * g->width * cap, top + line[0].y * cap};
        segs.push_back({a, a});
      }
    }
    x += (g->width + kLetterGap) * cap;
  }
  return segs;
}

bool near_strokes(const std::vector<std::pair<Pt, Pt>>& segs, Pt p, double half_width) {
  for (const auto& s : segs) {
    if (seg_distance(p, s.first, s.second) <= half_width) return true;
  }
  return false;
}

// ---- the pictures ----

Image draw_icon(int size) {
  const double s = size;
  auto at = [s](double x, double y) { return Pt{x * s, y * s}; };
  const Pt centre = at(0.5, 0.56);
  const Rgba ring = rgb(226, 74, 51), face = rgb(250, 248, 240), bell = rgb(244, 176, 52);
  const Rgba ink = rgb(42, 44, 56), leg = rgb(150, 40, 30);
  auto inside_circle = [](Pt p, Pt c, double r) {
    double dx = p.x - c.x, dy = p.y - c.y;
    return dx * dx + dy * dy <= r * r;
  };
  return render(size, size, [=](double x, double y) {
    Accum acc;
    Pt p{x, y};
    // Legs, then the two bells and the hammer above the body.
    if (seg_distance(p, at(0.3, 0.84), at(0.18, 0.97)) <= 0.04 * s ||
        seg_distance(p, at(0.7, 0.84), at(0.82, 0.97)) <= 0.04 * s) {
      acc.over(leg);
    }
    for (double side : {-1.0, 1.0}) {
      Pt c = at(0.5 + side * 0.29, 0.19);
      // The bell is the half of a disc that faces away from the clock's centre.
      double dx = c.x - centre.x, dy = c.y - centre.y, len = std::sqrt(dx * dx + dy * dy);
      double along = ((p.x - c.x) * dx + (p.y - c.y) * dy) / len;
      if (inside_circle(p, c, 0.16 * s) && along >= -0.035 * s) acc.over(bell);
      if (seg_distance(p, at(0.5 + side * 0.2, 0.27), at(0.5 + side * 0.12, 0.2)) <= 0.025 * s) {
        acc.over(ink);
      }
    }
    if (seg_distance(p, at(0.5, 0.2), at(0.5, 0.1)) <= 0.03 * s ||
        inside_circle(p, at(0.5, 0.08), 0.05 * s)) {
      acc.over(bell);
    }
    if (inside_circle(p, centre, 0.37 * s)) acc.over(ring);
    if (inside_circle(p, centre, 0.3 * s)) acc.over(face);
    // Hour marks, heavier at 12, 3, 6 and 9.
    for (int h = 0; h < 12; ++h) {
      double a = h * kPi / 6;
      double r0 = (h % 3 == 0 ? 0.22 : 0.245) * s, r1 = 0.275 * s;
      Pt a0{centre.x + r0 * std::sin(a), centre.y - r0 * std::cos(a)};
      Pt a1{centre.x + r1 * std::sin(a), centre.y - r1 * std::cos(a)};
      if (seg_distance(p, a0, a1) <= (h % 3 == 0 ? 0.018 : 0.011) * s) acc.over(ink);
    }
    // Ten past ten.
    auto hand = [&](double turns, double length, double half) {
      double a = turns * 2 * kPi;
      Pt tip{centre.x + length * s * std::sin(a), centre.y - length * s * std::cos(a)};
      return seg_distance(p, centre, tip) <= half * s;
    };
    if (hand((10 + 10.0 / 60) / 12, 0.15, 0.024)) acc.over(ink);
    if (hand(10.0 / 60, 0.23, 0.017)) acc.over(ink);
    if (inside_circle(p, centre, 0.035 * s)) acc.over(ring);
    return acc;
  });
}

Image draw_button_bg(int w, int h) {
  const double radius = h * 0.2, border = std::max(1.5, h * 0.03);
  return render(w, h, [=](double x, double y) {
    Accum acc;
    // Distance outside a rounded rectangle inset by `inset`.
    auto outside = [&](double inset) {
      double r = radius - inset;
      double qx = std::fabs(x - w / 2.0) - (w / 2.0 - inset - r);
      double qy = std::fabs(y - h / 2.0) - (h / 2.0 - inset - r);
      double ox = std::max(qx, 0.0), oy = std::max(qy, 0.0);
      return std::sqrt(ox * ox + oy * oy) + std::min(std::max(qx, qy), 0.0) - r;
    };
    acc.over(rgb(0, 0, 0));  // the screen's black shows at the corners
    if (outside(0.5) <= 0) acc.over(rgb(120, 136, 168));
    if (outside(0.5 + border) <= 0) {
      double t = y / h;
      acc.over(rgb(static_cast<int>(74 - 36 * t), static_cast<int>(86 - 40 * t),
                   static_cast<int>(112 - 50 * t)));
      if (y < h * 0.45) acc.over(rgb(255, 255, 255, 0.06));  // a faint sheen on the top half
    }
    return acc;
  });
}

// The three labels share one letter height, the one that fits the longest of them.
const char* const kLabelTexts[] = {"SNOOZE", "STOP", "POWER ON"};

Image draw_label(const std::vector<Glyph>& font, const std::string& text, int w, int h) {
  double cap = h * 0.46;
  for (const char* t : kLabelTexts) cap = std::min(cap, w * 0.9 / text_units(font, t));
  double half = std::max(0.75, cap * 0.075);
  auto segs = layout_text(font, text, w / 2.0, h / 2.0, cap);
  return render(w, h, [=](double x, double y) {
    Accum acc;
    if (near_strokes(segs, {x, y}, half)) acc.over(rgb(246, 246, 246));
    return acc;
  });
}

Image draw_digit(const std::vector<Glyph>& font, char d, int w, int h) {
  double cap = h * 0.76;
  double half = h * 0.05;
  auto segs = layout_text(font, std::string(1, d), w / 2.0, h / 2.0, cap);
  return render(w, h, [=](double x, double y) {
    Accum acc;
    if (near_strokes(segs, {x, y}, half)) acc.over(rgb(255, 255, 255));
    return acc;
  });
}

Image draw_separator(int w, int h) {
  double cap = h * 0.76, top = (h - cap) / 2, r = h * 0.058;
  Pt upper{w / 2.0, top + cap * 0.3}, lower{w / 2.0, top + cap * 0.74};
  return render(w, h, [=](double x, double y) {
    Accum acc;
    for (Pt c : {upper, lower}) {
      double dx = x - c.x, dy = y - c.y;
      if (dx * dx + dy * dy <= r * r) acc.over(rgb(255, 255, 255));
    }
    return acc;
  });
}

// ---- PNG files ----

enum class Kind { kRgb, kRgba, kPaletteOpaque, kPaletteAlpha };

bool write_rows(png_structp png, png_infop info, FILE* file, const Image& img, Kind kind,
                bool interlaced, png_bytep* rows, png_colorp palette, png_bytep alphas) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_init_io(png, file);
  int type = kind == Kind::kRgb    ? PNG_COLOR_TYPE_RGB
             : kind == Kind::kRgba ? PNG_COLOR_TYPE_RGB_ALPHA
                                   : PNG_COLOR_TYPE_PALETTE;
  png_set_IHDR(png, info, img.w, img.h, 8, type,
               interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (type == PNG_COLOR_TYPE_PALETTE) {
    png_set_PLTE(png, info, palette, kGreyLevels);
    if (kind == Kind::kPaletteAlpha) png_set_tRNS(png, info, alphas, kGreyLevels, nullptr);
  }
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  return true;
}

// Writes `img` as the given kind of PNG. The palette kinds take the image's coverage (its
// alpha) as a level of white: opaque greys on black, or white with levels of alpha.
bool write_png(const std::string& path, const Image& img, Kind kind, bool interlaced = false) {
  const int channels = kind == Kind::kRgb ? 3 : kind == Kind::kRgba ? 4 : 1;
  std::vector<uint8_t> bytes(static_cast<size_t>(img.w) * img.h * channels);
  for (size_t i = 0; i < static_cast<size_t>(img.w) * img.h; ++i) {
    const double* p = &img.px[i * 4];
    uint8_t* out = &bytes[i * channels];
    if (kind == Kind::kRgb) {
      // Opaque: the premultiplied colour is the colour over black.
      out[0] = to_byte(p[0]), out[1] = to_byte(p[1]), out[2] = to_byte(p[2]);
    } else if (kind == Kind::kRgba) {
      double a = p[3];
      out[0] = to_byte(a > 0 ? p[0] / a : 0), out[1] = to_byte(a > 0 ? p[1] / a : 0);
      out[2] = to_byte(a > 0 ? p[2] / a : 0), out[3] = to_byte(a);
    } else {
      out[0] = static_cast<uint8_t>(std::lround(std::clamp(p[3], 0.0, 1.0) * (kGreyLevels - 1)));
    }
  }
  png_color palette[kGreyLevels];
  png_byte alphas[kGreyLevels];
  for (int k = 0; k < kGreyLevels; ++k) {
    uint8_t level = static_cast<uint8_t>(std::lround(255.0 * k / (kGreyLevels - 1)));
    bool opaque = kind == Kind::kPaletteOpaque;
    palette[k] = {opaque ? level : png_byte{255}, opaque ? level : png_byte{255},
                  opaque ? level : png_byte{255}};
    alphas[k] = level;
  }
  std::vector<png_bytep> rows(img.h);
  for (int y = 0; y < img.h; ++y) rows[y] = &bytes[static_cast<size_t>(y) * img.w * channels];

  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  bool ok = info != nullptr &&
            write_rows(png, info, file, img, kind, interlaced, rows.data(), palette, alphas);
  if (png != nullptr) png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
  ok = fclose(file) == 0 && ok;
  if (!ok) fprintf(stderr, "make_artwork: cannot write %s\n", path.c_str());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_artwork OUTDIR\n");
    return 2;
  }
  const std::string out = argv[1];
  mkdir(out.c_str(), 0755);
  const std::vector<Glyph> font = make_font();
  bool ok = true;
  for (const SizeClass& c : kClasses) {
    const std::string dir = out + "/" + c.dir + "/";
    mkdir(dir.c_str(), 0755);
    ok = write_png(dir + "icon_alarm.png", draw_icon(c.icon), Kind::kRgba) && ok;
    ok = write_png(dir + "button_bg.png", draw_button_bg(c.bg_w, c.bg_h), Kind::kRgb, true) && ok;
    ok = write_png(dir + "button_sleep.png", draw_label(font, "SNOOZE", c.label_w, c.label_h),
                   Kind::kRgba) &&
         ok;
    ok = write_png(dir + "button_stop.png", draw_label(font, "STOP", c.label_w, c.label_h),
                   Kind::kRgba) &&
         ok;
    ok = write_png(dir + "button_poweron.png", draw_label(font, "POWER ON", c.label_w, c.label_h),
                   Kind::kRgba) &&
         ok;
    for (char d = '0'; d <= '9'; ++d) {
      ok = write_png(dir + d + ".png", draw_digit(font, d, c.digit_w, c.digit_h),
                     Kind::kPaletteOpaque) &&
           ok;
    }
    ok = write_png(dir + "dot.png", draw_separator(c.dot_w, c.digit_h), Kind::kPaletteAlpha) && ok;
  }
  return ok ? 0 : 1;
}
