// The label renderer: the input is a label and a font file. The label is laid out and drawn
// with that font first and the sandbox's Roboto behind it, on one of the artwork's screen
// sizes. A picture must lie inside the band and the margins, in the label's colour.
//
// Input: byte 0 picks the screen; bytes 1 and 2 the label's length (little-endian); then the
// label; the rest is the font file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "screen/label.h"
#include "screen/text_fonts.h"

namespace {

constexpr char kFontPath[] = "/system/fonts/Fuzz.ttf";
constexpr char kRobotoPath[] =
    "/usr/share/fonts/truetype/roboto/unhinted/RobotoTTF/Roboto-Regular.ttf";

struct Screen {
  int width, height, band_top, band_bottom;
};
// The artwork's sizes with the band between their time and their buttons, and a large one.
constexpr Screen kScreens[] = {
    {240, 320, 251, 270}, {320, 480, 355, 412}, {480, 800, 550, 700}, {1080, 1920, 923, 1820}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_sandbox_init("2026-12-09 07:00:00");
  if (size < 3) return 0;
  const Screen& s = kScreens[data[0] % 4];
  size_t label_size = data[1] | (static_cast<size_t>(data[2]) << 8);
  if (label_size > size - 3) label_size = size - 3;
  const char* label = reinterpret_cast<const char*>(data + 3);
  fuzz_make_dir("/system/fonts");
  fuzz_write_file(kFontPath, data + 3 + label_size, size - 3 - label_size);

  TextFonts fonts({{fuzz_host_path(kFontPath), 0}, {kRobotoPath, 0}});
  LabelPicture p;
  if (!label_layout(fonts, label, label_size, s.width, s.height, s.band_top, s.band_bottom, &p)) {
    FUZZ_CHECK(!p.drawn());
    return 0;
  }
  const int margin = s.width * LABEL_MARGIN_PER_MILLE / 1000;
  FUZZ_CHECK(p.drawn());
  FUZZ_CHECK(p.x >= margin && p.x + static_cast<int>(p.surface.width) <= s.width - margin);
  FUZZ_CHECK(p.y >= s.band_top && p.y + static_cast<int>(p.surface.height) <= s.band_bottom);
  FUZZ_CHECK(p.pixels.size() == static_cast<size_t>(p.surface.width) * p.surface.height * 4);
  for (size_t i = 0; i < p.pixels.size(); i += 4) {
    FUZZ_CHECK(p.pixels[i] == LABEL_RED && p.pixels[i + 1] == LABEL_GREEN &&
               p.pixels[i + 2] == LABEL_BLUE);
  }
  return 0;
}
