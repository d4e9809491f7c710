#include "sim/sound_sink.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "sim/sound_track_test_util.h"

namespace {

TEST(SoundLog, EachStreamLineIsReadAndOthersArePassedOver) {
  std::vector<SinkStream> s = parse_sound_log(
      "1796799600250 sound-1.wav 44100 2\n"
      "garbage\n"
      "1796799660000 sound-2.wav 0 2\n"
      "1796799670000 sound-3.wav 8000 1 extra\n"
      "1796799680125 sound-4.wav 8000 1");
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].open_ms, 1796799600250);
  EXPECT_EQ(s[0].file, "sound-1.wav");
  EXPECT_EQ(s[0].rate, 44100);
  EXPECT_EQ(s[0].channels, 2);
  EXPECT_EQ(s[1].file, "sound-4.wav");
  EXPECT_EQ(s[1].open_ms, 1796799680125);
}

class SinkSound : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::TempDir() + "/sink-" +
           testing::UnitTest::GetInstance()->current_test_info()->name();
    mkdir(dir_.c_str(), 0755);
    // Stream 1 at 100.0 s: 0.1 s quiet, 0.3 s of a note, 0.2 s pause (bridged), 0.3 s, 1 s
    // quiet (not bridged), 0.2 s. Stream 2 at 200.5 s: 0.5 s of a note.
    ASSERT_TRUE(
        write_wav(dir_ + "/sound-1.wav",
                  test_notes({{0.1, 0}, {0.3, 880}, {0.2, 0}, {0.3, 660}, {1.0, 0}, {0.2, 440}})));
    ASSERT_TRUE(write_wav(dir_ + "/sound-2.wav", test_notes({{0.5, 880}})));
    FILE* f = fopen((dir_ + "/sound.log").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("100000 sound-1.wav 8000 1\n200500 sound-2.wav 8000 1\n300000 ../escape.wav 8000 1\n", f);
    fclose(f);
  }
  std::string dir_;
};

TEST_F(SinkSound, EachStretchRunsFromItsFirstToItsLastAudibleSample) {
  std::vector<HeardSound> h = heard_sounds(dir_);
  ASSERT_EQ(h.size(), 3u);
  EXPECT_NEAR(h[0].on, 100.1, 0.001);
  EXPECT_NEAR(h[0].off, 100.9, 0.001);
  EXPECT_EQ(h[0].stream, 1u);
  EXPECT_NEAR(h[1].on, 101.9, 0.001);
  EXPECT_NEAR(h[1].off, 102.1, 0.001);
  EXPECT_NEAR(h[2].on, 200.5, 0.001);
  EXPECT_NEAR(h[2].off, 201.0, 0.001);
  EXPECT_EQ(h[2].stream, 2u);
  EXPECT_NEAR(audible_seconds(h), 0.8 + 0.2 + 0.5, 0.003);
}

TEST_F(SinkSound, TheRunsTrackHoldsEachStreamAtItsOpenAndSilenceElsewhere) {
  SoundTrack t = run_sound_track(dir_, 99.5, 202.0, 8000);
  EXPECT_EQ(t.frames(), 102.5 * 8000);
  std::vector<AudibleStretch> s = audible_stretches(t, kSinkBridgeSeconds);
  ASSERT_EQ(s.size(), 3u);
  EXPECT_NEAR(t.seconds(s[0].first), 0.6, 0.001);
  EXPECT_NEAR(t.seconds(s[2].first), 101.0, 0.001);
  EXPECT_NEAR(t.seconds(s[2].last), 101.5, 0.001);
  EXPECT_TRUE(run_sound_track(dir_, 99.5, 202.0, 44100).mono.size() > 0);
  EXPECT_TRUE(audible_stretches(run_sound_track(dir_, 99.5, 202.0, 44100)).empty());
}

TEST_F(SinkSound, NoLogIsNoSound) {
  EXPECT_TRUE(heard_sounds(dir_ + "/nothing").empty());
}

}  // namespace
