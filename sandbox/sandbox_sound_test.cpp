// The sandbox's sound card: a WAV file per stream, valid after every write, its line in the
// sound log, and the writes paced by the sandbox's clock.
#include "sandbox/sandbox_sound.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "sim/test_sandbox.h"

namespace {

SoundRequest request(unsigned rate, unsigned channels) {
  SoundRequest r;
  r.rate = rate;
  r.channels = channels;
  return r;
}

TEST(SandboxSoundSink, EachStreamIsAFileNumberedFromOne) {
  TestSandbox sb;
  int64_t t0 = sb.clock().now_us();
  {
    std::unique_ptr<SoundStream> a = open_sandbox_sound(sb.root(), sb.clock(), request(8000, 1));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->rate(), 8000u);
    EXPECT_EQ(a->channels(), 1u);
  }
  sb.clock().advance_by(2500);
  std::unique_ptr<SoundStream> b = open_sandbox_sound(sb.root(), sb.clock(), request(44100, 2));
  ASSERT_NE(b, nullptr);
  EXPECT_TRUE(sb.exists("/sim/sound-1.wav"));
  EXPECT_TRUE(sb.exists("/sim/sound-2.wav"));
  EXPECT_EQ(sb.read(SANDBOX_SOUND_LOG), std::to_string(t0 / 1000) + " sound-1.wav 8000 1\n" +
                                            std::to_string(t0 / 1000 + 2) +
                                            " sound-2.wav 44100 2\n");
  clear_sandbox_sound(sb.root());
  EXPECT_FALSE(sb.exists("/sim/sound-1.wav"));
  EXPECT_FALSE(sb.exists(SANDBOX_SOUND_LOG));
}

TEST(SandboxSoundSink, FileIsValidAfterEveryWrite) {
  TestSandbox sb;
  std::unique_ptr<SoundStream> s = open_sandbox_sound(sb.root(), sb.clock(), request(16000, 2));
  ASSERT_NE(s, nullptr);
  SandboxWav w;
  ASSERT_TRUE(read_sandbox_wav(sb.path("/sim/sound-1.wav"), &w));
  EXPECT_TRUE(w.samples.empty());
  int16_t frames[6] = {1, -1, 2, -2, 3, -3};
  ASSERT_EQ(s->write(frames, 3), 0);
  // Still open, as a player killed now would leave it.
  ASSERT_TRUE(read_sandbox_wav(sb.path("/sim/sound-1.wav"), &w));
  EXPECT_EQ(w.rate, 16000u);
  EXPECT_EQ(w.channels, 2u);
  ASSERT_EQ(w.samples.size(), 6u);
  EXPECT_EQ(w.samples[5], -3);
}

TEST(SandboxSoundSink, WritesTakeTheirTimeOnTheClock) {
  TestSandbox sb;
  std::unique_ptr<SoundStream> s = open_sandbox_sound(sb.root(), sb.clock(), request(8000, 1));
  ASSERT_NE(s, nullptr);
  int64_t t0 = sb.clock().now_us();
  std::vector<int16_t> block(800);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(s->write(block.data(), block.size()), 0);
  EXPECT_EQ(sb.clock().now_us() - t0, 500000);
  EXPECT_EQ(s->queued_frames(), 0);
}

TEST(SandboxSoundSink, OnlyCardZeroDeviceZero) {
  TestSandbox sb;
  SoundRequest r = request(8000, 1);
  r.card = 1;
  errno = 0;
  EXPECT_EQ(open_sandbox_sound(sb.root(), sb.clock(), r), nullptr);
  EXPECT_EQ(errno, ENOENT);
  r.card = 0;
  r.device = 3;
  EXPECT_EQ(open_sandbox_sound(sb.root(), sb.clock(), r), nullptr);
  EXPECT_EQ(open_sandbox_sound(sb.root(), sb.clock(), request(8000, 0)), nullptr);
  EXPECT_FALSE(sb.exists(SANDBOX_SOUND_LOG));
}

TEST(SandboxMixer, SettingsAreLoggedInOrder) {
  TestSandbox sb;
  EXPECT_EQ(record_sandbox_mixer_setting(sb.root(), 0, "Speaker Switch", "on"), 0);
  EXPECT_EQ(record_sandbox_mixer_setting(sb.root(), 0, "Speaker Volume", "80%"), 0);
  EXPECT_EQ(record_sandbox_mixer_setting(sb.root(), 1, "Other", "1"), -1);
  EXPECT_EQ(record_sandbox_mixer_setting(sb.root(), 0, "Two\nlines", "1"), -1);
  EXPECT_EQ(sb.read(SANDBOX_MIXER_LOG), "Speaker Switch = on\nSpeaker Volume = 80%\n");
}

}  // namespace
