// Conversion to what the card takes: channels spread or mixed down, the rate changed with the
// sound's duration and pitch kept.
#include "player/sound_convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

TEST(SoundConversion, MonoOnBothChannelsOfAStereoCard) {
  SoundConverter c(8000, 1, 8000, 2);
  ASSERT_TRUE(c.ok());
  const int16_t in[] = {1, -2, 3};
  std::vector<int16_t> out;
  c.convert(in, 3, &out);
  EXPECT_EQ(out, (std::vector<int16_t>{1, 1, -2, -2, 3, 3}));
}

TEST(SoundConversion, StereoToAMonoCardIsTheMean) {
  SoundConverter c(8000, 2, 8000, 1);
  const int16_t in[] = {100, 300, -50, 50, 32767, 32767};
  std::vector<int16_t> out;
  c.convert(in, 3, &out);
  EXPECT_EQ(out, (std::vector<int16_t>{200, 0, 32767}));
}

TEST(SoundConversion, MoreChannelsKeepTheFirstTwo) {
  SoundConverter c(8000, 4, 8000, 2);
  const int16_t in[] = {1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<int16_t> out;
  c.convert(in, 2, &out);
  EXPECT_EQ(out, (std::vector<int16_t>{1, 2, 5, 6}));
}

TEST(SoundConversion, ANewRateKeepsDurationAndPitch) {
  constexpr double kPi = 3.14159265358979323846;
  SoundConverter c(44100, 1, 48000, 1);
  ASSERT_TRUE(c.ok());
  std::vector<int16_t> all, out;
  std::vector<int16_t> block(441);
  for (int b = 0; b < 100; ++b) {  // one second, in the player's blocks
    for (int i = 0; i < 441; ++i) {
      block[i] = static_cast<int16_t>(16000 * std::sin(2 * kPi * 441 * (b * 441 + i) / 44100.0));
    }
    c.convert(block.data(), block.size(), &out);
    all.insert(all.end(), out.begin(), out.end());
  }
  // A second in, a second out, but for what the resampler still holds (a few ms).
  EXPECT_GE(all.size(), 47800u);
  EXPECT_LE(all.size(), 48000u);
  // 441 Hz still: 441 rises through zero in the second.
  int rises = 0;
  for (size_t i = 1; i < all.size(); ++i) rises += all[i - 1] < 0 && all[i] >= 0;
  EXPECT_NEAR(rises, 441, 2);
}

}  // namespace
