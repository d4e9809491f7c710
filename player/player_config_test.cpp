// The player's settings file and the phone's mixer paths file.
#include "player/player_config.h"

#include <gtest/gtest.h>

namespace {

std::string joined(const std::vector<MixerSetting>& s) {
  std::string out;
  for (const MixerSetting& m : s) out += m.name + "=" + m.value + ";";
  return out;
}

TEST(PlayerConfigFile, CardDeviceRiseAndControls) {
  PlayerConfig c;
  int refused = parse_player_config(
      "# the loudspeaker of this phone\n"
      "card = 1\n"
      "device=2\n"
      "rise_seconds = 30   # like the clock application's setting\n"
      "mixer_paths = /vendor/etc/mixer_paths.xml\n"
      "SPK DRV Volume = 80%\r\n"
      "\n"
      "RX1 MIX1 INP1 = RX1\n",
      &c);
  EXPECT_EQ(refused, 0);
  EXPECT_EQ(c.card, 1);
  EXPECT_EQ(c.device, 2);
  EXPECT_EQ(c.rise_seconds, 30);
  EXPECT_EQ(c.mixer_paths, "/vendor/etc/mixer_paths.xml");
  EXPECT_EQ(joined(c.controls), "SPK DRV Volume=80%;RX1 MIX1 INP1=RX1;");
}

TEST(PlayerConfigFile, BadLinesAreCountedAndSkipped) {
  PlayerConfig c;
  int refused = parse_player_config(
      "card = 99\n"            // beyond the cards a phone has
      "device = -1\n"          // not a number
      "rise_seconds = 7200\n"  // longer than an hour
      "mixer_paths = relative.xml\n"
      "no equals sign\n"
      "= 3\n"
      "Speaker =\n"
      "Speaker = 1\n",
      &c);
  EXPECT_EQ(refused, 7);
  EXPECT_EQ(c.card, 0);
  EXPECT_EQ(c.device, 0);
  EXPECT_EQ(c.rise_seconds, 0);
  EXPECT_TRUE(c.mixer_paths.empty());
  EXPECT_EQ(joined(c.controls), "Speaker=1;");
}

TEST(MixerPathsFile, DefaultsThenThePathWithWhatItIncludes) {
  std::vector<MixerSetting> s;
  ASSERT_TRUE(
      parse_mixer_paths("<?xml version=\"1.0\"?>\n<mixer>\n"
                        "  <ctl name=\"RX1 Digital Volume\" value=\"84\"/>\n"
                        "  <path name=\"spk-amp\"><ctl name=\"SPK Switch\" value=\"1\"/></path>\n"
                        "  <path name=\"speaker\">\n"
                        "    <ctl name=\"RX3 MIX1 INP1\" value=\"RX1\"/>\n"
                        "    <path name=\"spk-amp\"/>\n"
                        "    <path name=\"not-there\"/>\n"
                        "    <ctl name=\"SPK DAC Switch\" value=\"1\"/>\n"
                        "  </path>\n"
                        "  <path name=\"headphones\"><ctl name=\"HPHL\" value=\"1\"/></path>\n"
                        "</mixer>\n",
                        "speaker", &s));
  EXPECT_EQ(joined(s), "RX1 Digital Volume=84;RX3 MIX1 INP1=RX1;SPK Switch=1;SPK DAC Switch=1;");
}

TEST(MixerPathsFile, NoSuchPathOrNoMixer) {
  std::vector<MixerSetting> s = {{"left", "over"}};
  EXPECT_FALSE(parse_mixer_paths("<mixer><path name=\"earpiece\"/></mixer>", "speaker", &s));
  EXPECT_TRUE(s.empty());
  EXPECT_FALSE(parse_mixer_paths("<other><path name=\"speaker\"/></other>", "speaker", &s));
  EXPECT_FALSE(parse_mixer_paths("<mixer><path name=\"speaker\">", "speaker", &s));
  EXPECT_FALSE(parse_mixer_paths("not xml at all", "speaker", &s));
}

TEST(MixerPathsFile, PathsThatNameEachOtherEnd) {
  std::vector<MixerSetting> s;
  ASSERT_TRUE(parse_mixer_paths(
      "<mixer><path name=\"speaker\"><ctl name=\"A\" value=\"1\"/><path name=\"b\"/></path>"
      "<path name=\"b\"><ctl name=\"B\" value=\"2\"/><path name=\"speaker\"/></path></mixer>",
      "speaker", &s));
  // Taken in again and again only as deep as a real file could nest them.
  ASSERT_GE(s.size(), 2u);
  EXPECT_LE(s.size(), PLAYER_MAX_SETTINGS);
  EXPECT_EQ(s[0].name, "A");
  EXPECT_EQ(s[1].name, "B");
}

}  // namespace
