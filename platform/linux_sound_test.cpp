// The control values the player's settings give, as the phone's mixer takes them.
#include "platform/linux_sound.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

TEST(MixerValue, NumbersStayWithinTheRange) {
  long v = -1;
  ASSERT_TRUE(mixer_integer_value("40", 0, 124, &v));
  EXPECT_EQ(v, 40);
  ASSERT_TRUE(mixer_integer_value("500", 0, 124, &v));
  EXPECT_EQ(v, 124);
  ASSERT_TRUE(mixer_integer_value("-5", -84, 40, &v));
  EXPECT_EQ(v, -5);
  ASSERT_TRUE(mixer_integer_value("-100", -84, 40, &v));
  EXPECT_EQ(v, -84);
}

TEST(MixerValue, PercentOfTheRange) {
  long v = -1;
  ASSERT_TRUE(mixer_integer_value("80%", 0, 124, &v));
  EXPECT_EQ(v, 99);
  ASSERT_TRUE(mixer_integer_value("50%", -84, 40, &v));
  EXPECT_EQ(v, -22);
  ASSERT_TRUE(mixer_integer_value("150%", 0, 10, &v));
  EXPECT_EQ(v, 10);
}

TEST(MixerValue, OnOffAndNonsense) {
  long v = -1;
  ASSERT_TRUE(mixer_integer_value("on", 0, 1, &v));
  EXPECT_EQ(v, 1);
  ASSERT_TRUE(mixer_integer_value("off", 0, 1, &v));
  EXPECT_EQ(v, 0);
  EXPECT_FALSE(mixer_integer_value("loud", 0, 1, &v));
  EXPECT_FALSE(mixer_integer_value("", 0, 1, &v));
  EXPECT_FALSE(mixer_integer_value("12dB", 0, 100, &v));
}

TEST(AlsaDevices, MissingNodesSayWhy) {
  errno = 0;
  EXPECT_EQ(open_alsa_playback("/nonexistent/pcmC0D0p", 48000, 2), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(set_alsa_mixer_control("/nonexistent/controlC0", "Master", "1"), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(AlsaDevices, ANodeThatIsNoSoundDeviceIsRefused) {
  // A plain file where the device should be: its ioctls fail, nothing is played.
  EXPECT_EQ(open_alsa_playback("/dev/null", 48000, 2), nullptr);
}

}  // namespace
