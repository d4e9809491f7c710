#include "sim/life_picture.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace {

constexpr int kMinutesPerDay = 1440;
constexpr int kLeft = 84;  // the weekday and date labels
constexpr int kRight = 16;
constexpr int kGridTop = 48;       // title and hour numbers above
constexpr int kLegendHeight = 70;  // legend and summary below
constexpr int kTextScale = 2;      // the 3x5 font drawn at 6x10
constexpr int kGlyphWidth = 3;
constexpr int kGlyphHeight = 5;
constexpr int kMarkerHalfWidth = 2;  // a 5-pixel bar
constexpr int kWideHalfWidth = 3;    // a 7-pixel bar: missed, unexpected
// Just right of the ring before it, which usually lies in the same minute.
constexpr int kLostWakeWidth = 3;
constexpr uint32_t kBackground = 0xffffff;
constexpr uint32_t kWeekend = 0xf1f1f1;
constexpr uint32_t kText = 0x303030;
constexpr uint32_t kMonday = 0x404040;
constexpr uint32_t kRowRule = 0xe4e4e4;
constexpr double kHourShade = 0.9;      // faint hour lines darken what lies below
constexpr double kSixHourShade = 0.75;  // a little more every 6 hours

// A 3x5 font for the few words of the picture: five rows of three bits, left bit high.
constexpr char kGlyphChars[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-:/.+_(),";
constexpr uint8_t kGlyphs[][kGlyphHeight] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7},
    {2, 5, 7, 5, 5}, {6, 5, 6, 5, 6}, {3, 4, 4, 4, 3}, {6, 5, 5, 5, 6}, {7, 4, 6, 4, 7},
    {7, 4, 6, 4, 4}, {3, 4, 5, 5, 3}, {5, 5, 7, 5, 5}, {7, 2, 2, 2, 7}, {1, 1, 1, 5, 2},
    {5, 5, 6, 5, 5}, {4, 4, 4, 4, 7}, {5, 7, 5, 5, 5}, {6, 5, 5, 5, 5}, {2, 5, 5, 5, 2},
    {6, 5, 6, 4, 4}, {2, 5, 5, 6, 3}, {6, 5, 6, 5, 5}, {3, 4, 2, 1, 6}, {7, 2, 2, 2, 2},
    {5, 5, 5, 5, 7}, {5, 5, 5, 5, 2}, {5, 5, 7, 7, 5}, {5, 5, 2, 5, 5}, {5, 5, 2, 2, 2},
    {7, 1, 2, 4, 7}, {0, 0, 7, 0, 0}, {0, 2, 0, 2, 0}, {1, 1, 2, 4, 4}, {0, 0, 0, 0, 2},
    {0, 2, 7, 2, 0}, {0, 0, 0, 0, 7}, {2, 4, 4, 4, 2}, {2, 1, 1, 1, 2}, {0, 0, 0, 2, 4},
};
static_assert(sizeof kGlyphs / sizeof kGlyphs[0] == sizeof kGlyphChars - 1,
              "one glyph per character");

const char* const kDayLabels[7] = {"MO", "TU", "WE", "TH", "FR", "SA", "SU"};

class Canvas {
 public:
  Canvas(int width, int height) {
    image_.width = static_cast<uint32_t>(width);
    image_.height = static_cast<uint32_t>(height);
    image_.rgba.assign(static_cast<size_t>(width) * height * 4, 255);
  }

  void fill(int x, int y, int w, int h, uint32_t rgb) {
    for (int yy = std::max(y, 0); yy < std::min(y + h, height()); ++yy) {
      for (int xx = std::max(x, 0); xx < std::min(x + w, width()); ++xx) {
        uint8_t* p = at(xx, yy);
        p[0] = static_cast<uint8_t>(rgb >> 16);
        p[1] = static_cast<uint8_t>(rgb >> 8);
        p[2] = static_cast<uint8_t>(rgb);
      }
    }
  }

  void darken(int x, int y, int h, double factor) {
    if (x < 0 || x >= width()) return;
    for (int yy = std::max(y, 0); yy < std::min(y + h, height()); ++yy) {
      uint8_t* p = at(x, yy);
      for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>(std::lround(p[c] * factor));
    }
  }

  // Upper-case text in the 3x5 font; characters it lacks are blanks. Returns the width.
  int text(int x, int y, const std::string& s, uint32_t rgb) {
    const int advance = (kGlyphWidth + 1) * kTextScale;
    for (size_t i = 0; i < s.size(); ++i) {
      char c = static_cast<char>(std::toupper(static_cast<unsigned char>(s[i])));
      const char* found = c == '\0' ? nullptr : std::strchr(kGlyphChars, c);
      if (found == nullptr) continue;
      const uint8_t* glyph = kGlyphs[found - kGlyphChars];
      for (int row = 0; row < kGlyphHeight; ++row) {
        for (int col = 0; col < kGlyphWidth; ++col) {
          if (glyph[row] & (4 >> col)) {
            fill(x + static_cast<int>(i) * advance + col * kTextScale, y + row * kTextScale,
                 kTextScale, kTextScale, rgb);
          }
        }
      }
    }
    return static_cast<int>(s.size()) * advance;
  }

  int width() const { return static_cast<int>(image_.width); }
  int height() const { return static_cast<int>(image_.height); }
  FbCapture take() { return std::move(image_); }

 private:
  uint8_t* at(int x, int y) {
    return image_.rgba.data() + (static_cast<size_t>(y) * width() + x) * 4;
  }
  FbCapture image_;
};

int64_t first_row_day(const LifeInput& input) {
  return life_local_day(input.params.from);
}

int row_count(const LifeInput& input) {
  const LifeParams& p = input.params;
  if (p.to <= p.from) return 1;
  int64_t days = life_local_day(p.to - 1) - first_row_day(input) + 1;
  return static_cast<int>(std::min<int64_t>(days, LIFE_PICTURE_MAX_DAYS));
}

uint32_t result_colour(LifeResult r) {
  switch (r) {
    case LifeResult::kOnTime:
      return LIFE_COLOUR_ON_TIME;
    case LifeResult::kLate:
      return LIFE_COLOUR_LATE;
    case LifeResult::kMissed:
      break;
  }
  return LIFE_COLOUR_MISSED;
}

// Shades every minute of [from, to) in the part of its day's row above the rule.
void shade_span(Canvas* c, const LifeInput& input, double from, double to, uint32_t rgb) {
  constexpr int64_t kMinute = 60;
  const int64_t first = static_cast<int64_t>(std::floor(from / kMinute)) * kMinute;
  for (int64_t t = first; static_cast<double>(t) < to; t += kMinute) {
    int x, top;
    if (life_picture_position(input, t, &x, &top)) {
      c->fill(x, top, 1, LIFE_PICTURE_ROW_HEIGHT - 1, rgb);
    }
  }
}

void bar(Canvas* c, const LifeInput& input, double t, bool lower, int half_width, uint32_t rgb) {
  int x, top;
  if (!life_picture_position(input, static_cast<int64_t>(std::floor(t)), &x, &top)) return;
  int y = top + (lower ? LIFE_PICTURE_HALF_HEIGHT : 0) + 1;
  c->fill(x - half_width, y, 2 * half_width + 1, LIFE_PICTURE_HALF_HEIGHT - 1, rgb);
}

std::string date_label(int64_t day) {
  int y, m, d;
  life_civil_date(day, &y, &m, &d);
  char buf[32];
  snprintf(buf, sizeof buf, "%s %02d-%02d", kDayLabels[life_weekday(day)], m, d);
  return buf;
}

std::string full_date(int64_t epoch) {
  time_t t = static_cast<time_t>(epoch);
  struct tm tm = {};
  localtime_r(&t, &tm);
  char buf[40];
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm);
  return buf;
}

}  // namespace

bool life_picture_position(const LifeInput& input, int64_t epoch, int* x, int* row_top) {
  time_t t = static_cast<time_t>(epoch);
  struct tm tm = {};
  localtime_r(&t, &tm);
  int64_t row = life_local_day(epoch) - first_row_day(input);
  if (row < 0 || row >= row_count(input)) return false;
  *x = kLeft + tm.tm_hour * 60 + tm.tm_min;
  *row_top = kGridTop + static_cast<int>(row) * LIFE_PICTURE_ROW_HEIGHT;
  return true;
}

FbCapture life_picture(const LifeInput& input, const LifeReport& report) {
  const int rows = row_count(input);
  const int grid_height = rows * LIFE_PICTURE_ROW_HEIGHT;
  Canvas c(kLeft + kMinutesPerDay + kRight, kGridTop + grid_height + kLegendHeight);
  c.fill(0, 0, c.width(), c.height(), kBackground);
  const int64_t first_day = first_row_day(input);
  const int text_height = kGlyphHeight * kTextScale;

  // Title, hour numbers, day labels, weekends.
  const LifeParams& p = input.params;
  char title[256];
  snprintf(title, sizeof title, "%s TO %s  %s  BOOT %gS  %d DAYS", full_date(p.from).c_str(),
           full_date(p.to).c_str(), p.tz.c_str(), p.boot_seconds, p.days);
  const int title_width = c.text(4, 6, title, kText);
  if (!p.ended_early.empty()) c.text(4 + title_width + 16, 6, "ENDED EARLY", LIFE_COLOUR_MISSED);
  for (int h = 0; h < 24; ++h) {
    c.text(kLeft + h * 60 + 2, kGridTop - text_height - 6, std::to_string(h), kText);
  }
  for (int r = 0; r < rows; ++r) {
    const int top = kGridTop + r * LIFE_PICTURE_ROW_HEIGHT;
    const int64_t day = first_day + r;
    if (life_weekday(day) >= 5)
      c.fill(kLeft, top, kMinutesPerDay, LIFE_PICTURE_ROW_HEIGHT, kWeekend);
    c.fill(kLeft, top + LIFE_PICTURE_ROW_HEIGHT - 1, kMinutesPerDay, 1, kRowRule);
    c.text(4, top + (LIFE_PICTURE_ROW_HEIGHT - text_height) / 2, date_label(day), kText);
  }

  // The phone on: booting, then running until the power-off (or the next wake).
  const double life_end = static_cast<double>(p.to);
  for (size_t b = 0; b < input.boots.size(); ++b) {
    const LifeBoot& boot = input.boots[b];
    shade_span(&c, input, static_cast<double>(boot.wake), static_cast<double>(boot.start),
               LIFE_COLOUR_BOOTING);
    double off =
        b + 1 < input.boots.size() ? static_cast<double>(input.boots[b + 1].wake) : life_end;
    if (boot.powered_off) off = boot.poweroff_at ? *boot.poweroff_at : boot.start + 1.0;
    shade_span(&c, input, static_cast<double>(boot.start), std::max(off, boot.start + 1.0),
               LIFE_COLOUR_PHONE_ON);
  }

  // Hour lines over the shading, Monday lines over everything of the grid.
  for (int h = 0; h <= 24; ++h) {
    c.darken(kLeft + h * 60, kGridTop, grid_height, h % 6 == 0 ? kSixHourShade : kHourShade);
  }
  for (int r = 0; r < rows; ++r) {
    if (life_weekday(first_day + r) == 0) {
      c.fill(kLeft - 4, kGridTop + r * LIFE_PICTURE_ROW_HEIGHT - 1, kMinutesPerDay + 8, 2, kMonday);
    }
  }

  // Instants above, rings below; a long lateness joins the two. Faults are drawn last, so
  // that a neighbour in the next minute never hides one.
  for (LifeResult pass : {LifeResult::kOnTime, LifeResult::kLate, LifeResult::kMissed}) {
    for (const LifeInstant& e : report.expected) {
      if (e.result != pass) continue;
      const uint32_t colour = result_colour(e.result);
      const bool missed = e.result == LifeResult::kMissed;
      bar(&c, input, static_cast<double>(e.due), false, missed ? kWideHalfWidth : kMarkerHalfWidth,
          colour);
      if (!e.rang_at) continue;
      bar(&c, input, *e.rang_at, true, kMarkerHalfWidth, colour);
      int x0, top0, x1, top1;
      if (e.late_seconds >= 60 && life_picture_position(input, e.due, &x0, &top0) &&
          life_picture_position(input, static_cast<int64_t>(*e.rang_at), &x1, &top1) &&
          top0 == top1) {
        c.fill(x0, top0 + LIFE_PICTURE_HALF_HEIGHT, x1 - x0 + 1, 1, colour);
      }
    }
  }
  for (double r : report.unexpected_rings) {
    bar(&c, input, r, true, kWideHalfWidth, LIFE_COLOUR_UNEXPECTED);
  }
  for (size_t b : report.lost_wake_boots) {
    const LifeBoot& boot = input.boots[b];
    const double off = boot.poweroff_at ? *boot.poweroff_at : static_cast<double>(boot.start);
    int x, top;
    if (life_picture_position(input, static_cast<int64_t>(off), &x, &top)) {
      c.fill(x + kMarkerHalfWidth + 1, top, kLostWakeWidth, LIFE_PICTURE_ROW_HEIGHT - 1,
             LIFE_COLOUR_LOST_WAKE);
    }
  }

  // Legend and summary.
  struct Entry {
    uint32_t colour;
    const char* word;
  };
  const Entry legend[] = {
      {LIFE_COLOUR_PHONE_ON, "PHONE ON"},  {LIFE_COLOUR_BOOTING, "BOOTING"},
      {LIFE_COLOUR_ON_TIME, "ON TIME"},    {LIFE_COLOUR_LATE, "LATE"},
      {LIFE_COLOUR_MISSED, "MISSED"},      {LIFE_COLOUR_UNEXPECTED, "UNEXPECTED"},
      {LIFE_COLOUR_LOST_WAKE, "LOST WAKE"}};
  int x = kLeft;
  const int legend_top = kGridTop + grid_height + 14;
  for (const Entry& e : legend) {
    c.fill(x, legend_top - 2, 14, 14, e.colour);
    x += 20;
    x += c.text(x, legend_top, e.word, kText) + 16;
  }
  c.text(x + 8, legend_top, "UPPER HALF: DUE  LOWER HALF: RUNG", kText);
  const LifeSummary& s = report.summary;
  char summary[256];
  snprintf(summary, sizeof summary,
           "EXPECTED %d  ON TIME %d  LATE %d  MISSED %d  UNEXPECTED %d  BOOTS %d  LOST WAKES %d",
           s.expected, s.on_time, s.late, s.missed, s.unexpected, s.boots, s.lost_wakes);
  c.text(kLeft, legend_top + 26, summary, kText);
  return c.take();
}
