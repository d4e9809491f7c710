// The ringing alarm's label through alarm-sim: the real program, its font list and Debian's
// fonts in the sandbox, judged by the screen alone.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "screen/label.h"
#include "screen/layout_test_util.h"
#include "sim/screenshot.h"
#include "tests/e2e_support.h"

namespace {

struct Shot {
  Screenshot picture;
  SimResult result;
};

// The screen 5 s into the 07:00 alarm's ring of a sandbox with `labels` (one alarm each, in
// id order, all at 07:00).
Shot ringing(const std::vector<std::string>& labels, const std::vector<std::string>& init = {}) {
  E2eSandbox sb(init);
  int id = 1;
  for (const std::string& l : labels) sb.add_alarm(id++, 7, 0, kMonToFri, 1, 0, l, "");
  const std::string png = sb.path("/sim/ringing.png");
  Shot s;
  s.result =
      sb.run({"--at", "2026-12-09 06:59:50", "--speed", "1", "--until", "20", "15:shot:" + png});
  EXPECT_TRUE(read_png(png, &s.picture)) << s.result.timeline_text();
  return s;
}

bool label_coloured(const uint8_t* p) {
  return p[0] == LABEL_RED && p[1] == LABEL_GREEN && p[2] == LABEL_BLUE;
}

std::string longest(const std::string& piece) {
  std::string s;
  while (s.size() + piece.size() <= 511) s += piece;
  return s;
}

// Pixels of the label's colour appear in the band between the time and the buttons, inside
// the screen's margins, and nothing else of the screen changes: not the time, not a button.
TEST(LabelScenario, TheLabelIsDrawnInTheBandAndNowhereElse) {
  const ScreenLayout& l = *screen_layout(480, 800);
  const int top = l.time_y + l.digit_h, bottom = l.buttons[0].y;
  const int margin = 480 * LABEL_MARGIN_PER_MILLE / 1000;
  const Shot plain = ringing({""});
  ASSERT_EQ(plain.picture.width, 480u);
  for (const std::string& label :
       {std::string("Flight"), std::string("تمرين"), longest("Medikamente ")}) {
    SCOPED_TRACE(label.substr(0, 24));
    const Shot shot = ringing({label});
    ASSERT_EQ(shot.picture.width, 480u);
    int in_band = 0, changed_outside = 0;
    for (uint32_t y = 0; y < 800; ++y) {
      for (uint32_t x = 0; x < 480; ++x) {
        const uint8_t* p = shot.picture.pixel(x, y);
        const uint8_t* q = plain.picture.pixel(x, y);
        const bool inside = static_cast<int>(y) >= top && static_cast<int>(y) < bottom &&
                            static_cast<int>(x) >= margin && static_cast<int>(x) < 480 - margin;
        if (inside && label_coloured(p)) ++in_band;
        if (!inside && !std::equal(p, p + 3, q)) ++changed_outside;
      }
    }
    EXPECT_GT(in_band, 30);
    EXPECT_EQ(changed_outside, 0);
  }
}

// One ring serves alarms due at once: the screen shows the first one's label.
TEST(LabelScenario, OfAlarmsRungAtOnceTheFirstOnesLabelIsShown) {
  const Shot both = ringing({"Gym", "Flight"});
  const Shot first = ringing({"Gym"});
  const Shot second = ringing({"Flight"});
  EXPECT_TRUE(both.picture.rgba == first.picture.rgba);
  EXPECT_FALSE(both.picture.rgba == second.picture.rgba);
}

// A label without any usable font: the screen as without a label, and one line in the log.
TEST(LabelScenario, WithoutFontsTheAlarmRingsWithoutItsLabel) {
  E2eSandbox sb;
  sb.write("/system/etc/fonts.xml", "<familyset><family><font>Gone.ttf</font></family>");
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0, "Flight", "");
  const std::string png = sb.path("/sim/ringing.png");
  SimResult r =
      sb.run({"--at", "2026-12-09 06:59:50", "--speed", "1", "--until", "20", "15:shot:" + png});
  Screenshot picture;
  ASSERT_TRUE(read_png(png, &picture));
  EXPECT_TRUE(picture.rgba == ringing({""}).picture.rgba);
  const std::string line = "<3>alarm: no usable font for the label\n";
  ASSERT_NE(r.kmsg.find(line), std::string::npos) << r.kmsg;
  EXPECT_EQ(r.kmsg.find(line), r.kmsg.rfind(line));
  EXPECT_EQ(r.player_runs(), 1);
}

}  // namespace
