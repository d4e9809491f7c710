#include "screen/text_shape.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sandbox/sandbox_files.h"
#include "screen/text_input.h"
#include "sim/sandbox_builder.h"

namespace {

size_t font_index(const char* phone_name) {
  for (size_t i = 0; i < SANDBOX_FONT_COUNT; ++i) {
    if (std::string(SANDBOX_FONTS[i].phone_name) == phone_name) return i;
  }
  return SIZE_MAX;
}

std::vector<uint32_t> chars(const std::string& utf8) {
  return text_from_utf8(utf8.data(), utf8.size());
}

struct HbGlyph {
  uint32_t glyph, cluster;
  int32_t ax, dx, dy;
};

// hb-shape's glyphs for `text` in the font file at `path`, at the font's own units; false
// when it could not be run.
bool hb_shape(const std::string& path, const std::string& text, std::vector<HbGlyph>* out) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  std::string cmd = "hb-shape --no-glyph-names --output-format=json '" + path + "' " + quoted;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return false;
  std::string json;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) json.append(buf, n);
  if (pclose(p) != 0) return false;
  // [{"g":36,"cl":0,"dx":0,"dy":0,"ax":1307,"ay":0},...]
  for (size_t at = json.find("{\"g\":"); at != std::string::npos;
       at = json.find("{\"g\":", at + 1)) {
    HbGlyph g;
    int ay = 0;
    if (sscanf(json.c_str() + at, "{\"g\":%u,\"cl\":%u,\"dx\":%d,\"dy\":%d,\"ax\":%d,\"ay\":%d}",
               &g.glyph, &g.cluster, &g.dx, &g.dy, &g.ax, &ay) != 6) {
      return false;
    }
    out->push_back(g);
  }
  return !out->empty();
}

bool have_hb_shape() {
  return system("hb-shape --version >/dev/null 2>&1") == 0;
}

struct Sample {
  const char* language;
  const char* text;
  const char* font;  // the sandbox's font the whole text comes from
};
const Sample kSamples[] = {
    {"Latin", "Flight 747 to Oslo", "Roboto-Regular.ttf"},
    {"German", "Medikamente für Großmutter", "Roboto-Regular.ttf"},
    {"Arabic", "تمرين الصباح", "NotoNaskhArabic-Regular.ttf"},
    {"Hebrew", "טיסה לאילת", "NotoSansHebrew-Regular.ttf"},
    {"Hindi", "दवा लेना क्षत्रिय", "NotoSansDevanagari-Regular.ttf"},
    {"Chinese", "服药时间", "DroidSansFallback.ttf"},
    {"Japanese", "薬を飲む", "DroidSansFallback.ttf"},
};

// For the same font file and text, the program's glyphs, clusters and advances are
// HarfBuzz's own tool's: the fallback chose the font, the shaping is the library's.
TEST(TextShaping, GlyphsClustersAndAdvancesAreThoseOfHbShape) {
  if (!have_hb_shape()) GTEST_SKIP() << "hb-shape (Debian's libharfbuzz-bin) is not installed";
  for (const Sample& s : kSamples) {
    SCOPED_TRACE(s.language);
    const size_t want_font = font_index(s.font);
    ASSERT_NE(want_font, SIZE_MAX);
    const char* path = SANDBOX_FONTS[want_font].host_path;
    ASSERT_EQ(access(path, R_OK), 0) << path << " is missing: scripts/setup.sh installs it";
    TextFonts fonts(sandbox_host_fonts());
    const TextFont* f = fonts.get(want_font);
    ASSERT_NE(f, nullptr);
    fonts.set_size(static_cast<int32_t>(f->face->units_per_EM));  // design units, as hb-shape

    TextLine line = text_shape(fonts, chars(s.text));
    std::vector<HbGlyph> want;
    ASSERT_TRUE(hb_shape(path, s.text, &want));
    ASSERT_EQ(line.glyphs.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
      SCOPED_TRACE("glyph " + std::to_string(i));
      EXPECT_EQ(line.glyphs[i].font, want_font);
      EXPECT_EQ(line.glyphs[i].glyph, want[i].glyph);
      EXPECT_EQ(line.glyphs[i].cluster, want[i].cluster);
      EXPECT_EQ(line.glyphs[i].x_advance, want[i].ax);
      EXPECT_EQ(line.glyphs[i].x_offset, want[i].dx);
      EXPECT_EQ(line.glyphs[i].y_offset, want[i].dy);
    }
  }
}

TEST(TextFallback, ACharacterTheFirstFontLacksComesFromTheFirstFallbackThatHasIt) {
  TextFonts fonts(sandbox_host_fonts());
  TextLine line = text_shape(fonts, chars("Gym 服药 שלום"));
  ASSERT_FALSE(line.glyphs.empty());
  const size_t droid = font_index("DroidSansFallback.ttf");
  const size_t hebrew = font_index("NotoSansHebrew-Regular.ttf");
  for (const PlacedGlyph& g : line.glyphs) {
    SCOPED_TRACE("cluster " + std::to_string(g.cluster));
    EXPECT_NE(g.glyph, 0u);
    if (g.cluster <= 3) {
      EXPECT_EQ(g.font, 0u);  // "Gym " is Roboto's
    } else if (g.cluster == 4 || g.cluster == 5) {
      EXPECT_EQ(g.font, droid);
    } else if (g.cluster >= 7) {
      EXPECT_EQ(g.font, hebrew);
    }
  }
}

TEST(TextFallback, ACharacterNoFontHasIsTheFirstFontsMissingGlyphBox) {
  TextFonts fonts(sandbox_host_fonts());
  TextLine line = text_shape(fonts, chars("A\xF0\x9F\x98\x80"
                                          "B"));  // an emoji between
  ASSERT_EQ(line.glyphs.size(), 3u);
  EXPECT_EQ(line.glyphs[1].font, 0u);
  EXPECT_EQ(line.glyphs[1].glyph, 0u);
  EXPECT_GT(line.glyphs[1].x_advance, 0);  // the box takes room
  EXPECT_NE(line.glyphs[0].glyph, 0u);
  EXPECT_NE(line.glyphs[2].glyph, 0u);
}

TEST(TextFallback, MissingAndBrokenFontFilesArePassedOver) {
  char dir[] = "/tmp/alarm-fonts-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string garbage = std::string(dir) + "/garbage.ttf";
  const std::string truncated = std::string(dir) + "/truncated.ttf";
  std::string roboto;
  ASSERT_TRUE(read_text_file(SANDBOX_FONTS[0].host_path, &roboto));
  ASSERT_TRUE(write_file(garbage, std::string(4096, 'x')));
  ASSERT_TRUE(write_file(truncated, roboto.substr(0, 2000)));
  TextFonts fonts({{std::string(dir) + "/missing.ttf", 0},
                   {garbage, 0},
                   {truncated, 0},
                   {SANDBOX_FONTS[0].host_path, 0}});
  size_t first = 99;
  ASSERT_NE(fonts.first_usable(&first), nullptr);
  TextLine line = text_shape(fonts, chars("Gym"));
  remove_tree(dir);
  EXPECT_EQ(first, 3u);
  ASSERT_EQ(line.glyphs.size(), 3u);
  for (const PlacedGlyph& g : line.glyphs) EXPECT_EQ(g.font, 3u);

  TextFonts none({{garbage, 0}});
  EXPECT_EQ(none.first_usable(), nullptr);
  EXPECT_TRUE(text_shape(none, chars("Gym")).glyphs.empty());
}

// A right-to-left line reads from the right: its first character's glyph is the last on
// the line, and the digits inside it still read left to right.
TEST(TextDirection, ARightToLeftLineIsLaidOutFromTheRight) {
  TextFonts fonts(sandbox_host_fonts());
  TextLine line = text_shape(fonts, chars("טיסה 747"));
  EXPECT_TRUE(line.rtl);
  std::vector<uint32_t> clusters;
  for (const PlacedGlyph& g : line.glyphs) clusters.push_back(g.cluster);
  // Left to right on the screen: 7 4 7, the blank, then the word from its last letter.
  EXPECT_EQ(clusters, (std::vector<uint32_t>{5, 6, 7, 4, 3, 2, 1, 0}));

  TextLine ltr = text_shape(fonts, chars("Gym שלום 2"));
  EXPECT_FALSE(ltr.rtl);
  clusters.clear();
  for (const PlacedGlyph& g : ltr.glyphs) clusters.push_back(g.cluster);
  // A number after right-to-left letters belongs with them, as every bidirectional reader
  // shows it: "Gym", then the number, the blank and the word from its last letter.
  EXPECT_EQ(clusters, (std::vector<uint32_t>{0, 1, 2, 3, 9, 8, 7, 6, 5, 4}));
}

}  // namespace
