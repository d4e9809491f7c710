#include "sim/sound_track.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "sim/sound_track_test_util.h"

namespace {

constexpr int kRate = kTestRate;

SoundTrack beeps() {
  return test_notes({{0.1, 0}, {0.3, 880}, {0.2, 0}, {0.3, 660}, {0.1, 0}});
}

std::string temp_file(const char* name) {
  return testing::TempDir() + "/" + name;
}

TEST(SoundFiles, AWavWrittenReadsBackSampleForSample) {
  SoundTrack t = beeps();
  const std::string path = temp_file("beeps.wav");
  ASSERT_TRUE(write_wav(path, t));
  SoundTrack back;
  std::string why;
  ASSERT_TRUE(read_sound(path, &back, &why)) << why;
  EXPECT_EQ(back.rate, 8000);
  EXPECT_EQ(back.channels, 1);
  ASSERT_EQ(back.frames(), 8000u);
  EXPECT_EQ(back.mono, t.mono);
  std::remove(path.c_str());
}

TEST(SoundFiles, AFileOfNoSoundIsRefusedWithTheReason) {
  const std::string path = temp_file("not-sound.wav");
  FILE* f = fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("RIFF and nothing more", f);
  fclose(f);
  SoundTrack t;
  std::string why;
  EXPECT_FALSE(read_sound(path, &t, &why));
  EXPECT_FALSE(why.empty());
  std::remove(path.c_str());
}

TEST(AudibleStretches, EachNoteIsOneStretchFromItsFirstToItsLastLoudSample) {
  std::vector<AudibleStretch> s = audible_stretches(beeps());
  ASSERT_EQ(s.size(), 2u);
  // A sine's first samples lie below the level: the first at or above it comes a few
  // samples after the note's start (800 and 4800).
  EXPECT_GE(s[0].first, 800u);
  EXPECT_LE(s[0].first, 803u);
  EXPECT_GE(s[0].last, 3195u);
  EXPECT_LT(s[0].last, 3200u);
  EXPECT_GE(s[1].first, 4800u);
  EXPECT_LE(s[1].first, 4803u);
  EXPECT_LT(s[1].last, 7200u);
}

TEST(AudibleStretches, APauseShorterThanTheBridgeJoinsTwoNotes) {
  std::vector<AudibleStretch> s = audible_stretches(beeps(), 0.25);
  ASSERT_EQ(s.size(), 1u);
  EXPECT_LE(s[0].first, 803u);
  EXPECT_GE(s[0].last, 7195u);
}

TEST(AudibleStretches, SoundBelowTheLevelIsSilence) {
  SoundTrack t;
  t.rate = kRate;
  append_tone(&t, 1.0, 440, kAudibleLevel - 1);
  EXPECT_TRUE(audible_stretches(t).empty());
}

TEST(SoundCorrelation, TheSameSoundAtAnotherGainScoresOne) {
  SoundTrack a = beeps();
  SoundTrack quiet = a;
  for (int16_t& s : quiet.mono) s = static_cast<int16_t>(s / 4);
  EXPECT_GT(correlation(a, 0, quiet, 0, a.frames()), 0.999);
}

TEST(SoundCorrelation, AnotherToneOrSilenceScoresNearZero) {
  SoundTrack a = beeps();
  SoundTrack other;
  other.rate = kRate;
  append_tone(&other, 1.0, 523, 12000);
  EXPECT_LT(std::fabs(correlation(a, 0, other, 0, a.frames())), 0.1);
  SoundTrack silent;
  silent.rate = kRate;
  append_tone(&silent, 1.0, 0, 0);
  EXPECT_EQ(correlation(a, 0, silent, 0, a.frames()), 0.0);
  EXPECT_EQ(correlation(a, 1, a, 0, a.frames()), 0.0);  // past the end
}

TEST(FindSound, FindsTheFrameASoundWasPlacedAt) {
  SoundTrack ring = beeps();
  SoundTrack rec;
  rec.rate = kRate;
  append_tone(&rec, 0.4567, 0, 0);  // 3653 frames of silence first
  rec.mono.insert(rec.mono.end(), ring.mono.begin(), ring.mono.end());
  SoundMatch m = find_sound(rec, 0, 8000, ring, 700, 3000);
  EXPECT_EQ(m.at, 3653 + 700);
  EXPECT_GT(m.score, 0.999);
}

TEST(FindSound, AWindowOverANotesEdgeFindsItsPlaceAmongManyPeriodsOfTheTone) {
  // Inside one note every period of the tone fits almost as well as the true place; over
  // its start only the true place fits.
  SoundTrack ring = beeps();
  SoundTrack rec;
  rec.rate = kRate;
  append_tone(&rec, 0.05, 0, 0);
  rec.mono.insert(rec.mono.end(), ring.mono.begin(), ring.mono.end());
  SoundMatch edge = find_sound(rec, 400 + 700 - 1000, 400 + 700 + 1000, ring, 700, 1000);
  EXPECT_EQ(edge.at, 400 + 700);
  EXPECT_GT(edge.score, 0.999);
}

}  // namespace
