// The player's run in a sandbox on a manual clock: what reaches the sandbox's card (its WAV
// files and logs), how long it takes in virtual time, the tone in place of a broken file,
// the stop, the route, and a card that is not there.
#include "player/ring_player.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

#include "player/alarm_tone.h"
#include "player/sound_test_util.h"
#include "sandbox/sandbox_sound.h"
#include "sim/test_sandbox.h"

namespace {

SandboxWav sound_file(const TestSandbox& sb, int n) {
  SandboxWav w;
  read_sandbox_wav(sb.root() + "/sim/sound-" + std::to_string(n) + ".wav", &w);
  return w;
}

TEST(RingPlayerRun, PlaysTheFileOnceAtItsRate) {
  TestSandbox sb;
  SoundDir dir;
  std::string file = dir.make("wav", 16000, 1, 16000);
  sb.open_kernel_log();
  std::atomic<int> stop{0};
  int64_t start = sb.clock().now_us();
  EXPECT_EQ(play_ring_file(file.c_str(), PlayerConfig(), stop), PLAYER_EXIT_PLAYED);
  // One second of sound takes one second of the sandbox's time.
  EXPECT_EQ(sb.clock().now_us() - start, 1000000);
  SandboxWav w = sound_file(sb, 1);
  EXPECT_EQ(w.rate, 16000u);
  EXPECT_EQ(w.channels, 1u);
  ASSERT_EQ(w.samples.size(), 16000u);
  // The start ramp over 10 ms, then the file's own samples.
  EXPECT_EQ(w.samples[0], 0);
  EXPECT_LT(std::abs(w.samples[40]), 2823);
  EXPECT_EQ(w.samples[161], static_cast<int16_t>(std::lround(test_signal(16000, 0, 161))));
  EXPECT_EQ(w.samples[15999], static_cast<int16_t>(std::lround(test_signal(16000, 0, 15999))));
  EXPECT_EQ(sb.read(SANDBOX_SOUND_LOG), std::to_string(start / 1000) + " sound-1.wav 16000 1\n");
  EXPECT_FALSE(sb.exists("/sim/sound-2.wav"));
}

TEST(RingPlayerRun, StereoOggPlaysBothChannels) {
  TestSandbox sb;
  SoundDir dir;
  std::string file = dir.make("ogg", 44100, 2, 22050);
  std::atomic<int> stop{0};
  EXPECT_EQ(play_ring_file(file.c_str(), PlayerConfig(), stop), PLAYER_EXIT_PLAYED);
  SandboxWav w = sound_file(sb, 1);
  EXPECT_EQ(w.rate, 44100u);
  EXPECT_EQ(w.channels, 2u);
  EXPECT_EQ(w.samples.size(), 2u * 22050);
}

TEST(RingPlayerTone, DamagedFileRingsTheToneForItsTime) {
  TestSandbox sb;
  SoundDir dir;
  std::string file = dir.write("ring.mp3", {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'});
  sb.open_kernel_log();
  std::atomic<int> stop{0};
  int64_t start = sb.clock().now_us();
  EXPECT_EQ(play_ring_file(file.c_str(), PlayerConfig(), stop), PLAYER_EXIT_PLAYED);
  EXPECT_EQ(sb.clock().now_us() - start, ALARM_TONE_SECONDS * 1000000LL);
  SandboxWav w = sound_file(sb, 1);
  EXPECT_EQ(w.rate, ALARM_TONE_RATE);
  EXPECT_EQ(w.channels, 1u);
  ASSERT_EQ(w.samples.size(), static_cast<size_t>(ALARM_TONE_SECONDS) * ALARM_TONE_RATE);
  // Loud in a beep, silent between the beeps.
  int peak = 0;
  for (size_t i = 0; i < 7200; ++i) peak = std::max(peak, std::abs(static_cast<int>(w.samples[i])));
  EXPECT_GT(peak, 19000);
  EXPECT_EQ(w.samples[ALARM_TONE_RATE * 175 / 1000], 0);
  EXPECT_NE(sb.kmsg().find("has no format chunk before its sound: the alarm tone rings instead"),
            std::string::npos)
      << sb.kmsg();
}

TEST(RingPlayerTone, MissingFileRingsTheTone) {
  TestSandbox sb;
  sb.open_kernel_log();
  std::atomic<int> stop{0};
  std::string missing = sb.path("/res/sounds/gone.mp3");
  EXPECT_EQ(play_ring_file(missing.c_str(), PlayerConfig(), stop), PLAYER_EXIT_PLAYED);
  EXPECT_EQ(sound_file(sb, 1).samples.size(),
            static_cast<size_t>(ALARM_TONE_SECONDS) * ALARM_TONE_RATE);
  EXPECT_NE(sb.kmsg().find("cannot be opened (No such file or directory)"), std::string::npos);
}

TEST(RingPlayerTone, FileWithoutSoundRingsTheTone) {
  TestSandbox sb;
  SoundDir dir;
  std::string file = dir.make("wav", 8000, 1, 0);
  std::atomic<int> stop{0};
  EXPECT_EQ(play_ring_file(file.c_str(), PlayerConfig(), stop), PLAYER_EXIT_PLAYED);
  SandboxWav w = sound_file(sb, 1);
  // The card was opened for the file; the tone is converted to it.
  EXPECT_EQ(w.rate, 8000u);
  EXPECT_NEAR(static_cast<double>(w.samples.size()), ALARM_TONE_SECONDS * 8000.0, 100);
}

TEST(RingPlayerStop, EndsWithin50MsWithARampToSilence) {
  TestSandbox sb;
  SoundDir dir;
  std::string file = dir.make("wav", 48000, 2, 48000 * 3);
  std::atomic<int> stop{0};
  int64_t start = sb.clock().now_us();
  sb.clock().schedule(start + 1000000, [&] { stop = 1; });
  EXPECT_EQ(play_ring_file(file.c_str(), PlayerConfig(), stop), PLAYER_EXIT_PLAYED);
  int64_t took = sb.clock().now_us() - start;
  EXPECT_GE(took, 1000000);
  EXPECT_LE(took, 1050000);
  SandboxWav w = sound_file(sb, 1);
  size_t frames = w.samples.size() / 2;
  EXPECT_GE(frames, 48000u);
  EXPECT_LE(frames, 48000u * 105 / 100);
  // The stop ramp: the file's next 5 ms, faded from full to nothing.
  int64_t ramp = 48000 * PLAYER_STOP_RAMP_MS / 1000;
  for (int64_t i = 0; i < ramp; ++i) {
    size_t f = frames - static_cast<size_t>(ramp) + static_cast<size_t>(i);
    int64_t gain = 32768 * (ramp - 1 - i) / (ramp - 1);
    for (int c = 0; c < 2; ++c) {
      auto file_sample =
          static_cast<int64_t>(std::lround(test_signal(48000, c, static_cast<long>(f))));
      ASSERT_EQ(w.samples[2 * f + c], static_cast<int16_t>((file_sample * gain) >> 15)) << f;
    }
  }
  EXPECT_EQ(w.samples[2 * frames - 1], 0);
}

TEST(RingPlayerCard, BusyCardEndsWithAFailure) {
  TestSandbox sb;
  SoundDir dir;
  std::string file = dir.make("wav", 8000, 1, 800);
  sb.open_kernel_log();
  sb.sandbox().set_sound_busy(true);
  std::atomic<int> stop{0};
  int64_t start = sb.clock().now_us();
  EXPECT_EQ(play_ring_file(file.c_str(), PlayerConfig(), stop), PLAYER_EXIT_NO_CARD);
  EXPECT_EQ(sb.clock().now_us(), start);  // at once, no wait of its own
  EXPECT_FALSE(sb.exists("/sim/sound-1.wav"));
  EXPECT_NE(sb.kmsg().find("sound card 0 device 0 cannot be opened: Device or resource busy"),
            std::string::npos)
      << sb.kmsg();
}

TEST(RingPlayerCard, MissingCardEndsWithAFailure) {
  TestSandbox sb;
  SoundDir dir;
  std::string file = dir.make("wav", 8000, 1, 800);
  PlayerConfig config;
  config.card = 1;
  std::atomic<int> stop{0};
  EXPECT_EQ(play_ring_file(file.c_str(), config, stop), PLAYER_EXIT_NO_CARD);
  EXPECT_FALSE(sb.exists("/sim/sound-1.wav"));
}

TEST(RingPlayerRoute, MixerPathsSpeakerThenOwnControls) {
  TestSandbox sb;
  make_dirs(sb.path("/system/etc"));
  sb.write(PLAYER_MIXER_PATHS,
           "<mixer><ctl name=\"Master Playback Switch\" value=\"1\"/>"
           "<path name=\"headphones\"><ctl name=\"HP Switch\" value=\"1\"/></path>"
           "<path name=\"speaker\"><ctl name=\"SPK Switch\" value=\"1\"/></path></mixer>");
  sb.write(PLAYER_CONFIG_PATH,
           "# the alarm's level\nSpeaker Playback Volume = 80%\nrise_seconds = 5\n");
  PlayerConfig config = load_player_config();
  EXPECT_EQ(config.rise_seconds, 5);
  EXPECT_EQ(set_player_route(config), 0);
  EXPECT_EQ(sb.read(SANDBOX_MIXER_LOG),
            "Master Playback Switch = 1\nSPK Switch = 1\nSpeaker Playback Volume = 80%\n");
}

TEST(RingPlayerRoute, NoFilesNoSettings) {
  TestSandbox sb;
  PlayerConfig config = load_player_config();
  EXPECT_EQ(config.card, 0);
  EXPECT_EQ(config.rise_seconds, 0);
  EXPECT_EQ(set_player_route(config), 0);
  EXPECT_FALSE(sb.exists(SANDBOX_MIXER_LOG));
}

TEST(RingGain, ShortRampAtTheStart) {
  EXPECT_EQ(ring_gain(0, 48000, 0), 0);
  EXPECT_EQ(ring_gain(240, 48000, 0), 16384);
  EXPECT_EQ(ring_gain(480, 48000, 0), 32768);
  EXPECT_EQ(ring_gain(1000000, 48000, 0), 32768);
}

TEST(RingGain, GradualRiseOverItsSeconds) {
  EXPECT_EQ(ring_gain(0, 8000, 10), 0);
  EXPECT_EQ(ring_gain(40000, 8000, 10), 16384);  // half-way through the rise
  EXPECT_EQ(ring_gain(79999, 8000, 10), 32767);
  EXPECT_EQ(ring_gain(80000, 8000, 10), 32768);
}

}  // namespace
