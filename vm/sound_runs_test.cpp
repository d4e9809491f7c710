#include "vm/sound_runs.h"

#include <gtest/gtest.h>

#include <cmath>

#include "sim/sound_track_test_util.h"

namespace {

constexpr int kRate = kTestRate;

// A ring file of 1.2 s: two notes and a pause.
SoundTrack ring_file() {
  return test_notes({{0.3, 880}, {0.1, 0}, {0.4, 660}, {0.4, 0}});
}

// What a card recorded: the file's frames [from, to) at `gain`, after what it holds.
void play(SoundTrack* rec, const SoundTrack& ring, size_t from, size_t to, double gain) {
  rec->rate = kRate;
  for (size_t i = from; i < to; ++i) rec->mono.push_back(static_cast<int16_t>(ring.mono[i] * gain));
}

TEST(RingRuns, RestartsFollowOneAnotherAndTheStopCutsTheLast) {
  const SoundTrack ring = ring_file();  // 9600 frames
  SoundTrack rec;
  play(&rec, ring, 0, 9600, 0.5);
  play(&rec, ring, 0, 9560, 0.5);  // the recorder lost the last 40 frames
  play(&rec, ring, 0, 5000, 0.5);  // stopped
  std::vector<RingRun> runs = find_ring_runs(rec, ring, {});
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[0].start, 0);
  EXPECT_EQ(runs[1].start, 9600);
  EXPECT_EQ(runs[0].end, 9600u);
  EXPECT_EQ(runs[2].start, 19160);
  EXPECT_EQ(runs[1].end, 19160u);
  EXPECT_EQ(runs[2].end, 24160u);
  EXPECT_TRUE(runs[0].whole);
  EXPECT_TRUE(runs[1].whole);
  EXPECT_FALSE(runs[2].whole);
  for (const RingRun& r : runs) {
    EXPECT_GT(r.score, 0.999);
    EXPECT_FALSE(r.resumed);
    EXPECT_TRUE(r.heard);
    EXPECT_EQ(r.first_audible - r.begin, 1u);  // a sine's first sample is 0
  }
  EXPECT_LT(runs[2].last_audible, 24160u);
}

TEST(RingRuns, AfterALongPauseTheFileStartsAgainAtTheBreak) {
  // Stopped 0.5 s in (a snooze), then the ring again from the start.
  const SoundTrack ring = ring_file();
  SoundTrack rec;
  play(&rec, ring, 0, 4000, 1.0);
  play(&rec, ring, 0, 9600, 1.0);
  std::vector<RingRun> runs = find_ring_runs(rec, ring, {{4000, 60.0}});
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_FALSE(runs[0].whole);
  EXPECT_EQ(runs[0].end, 4000u);
  EXPECT_EQ(runs[1].segment, 1u);
  EXPECT_EQ(runs[1].start, 4000);
  EXPECT_FALSE(runs[1].resumed);
  EXPECT_GT(runs[1].score, 0.999);
}

TEST(RingRuns, ABriefPauseOfTheRecorderGoesOnWithTheFileFramesLostOrNot) {
  const SoundTrack ring = ring_file();
  SoundTrack rec;
  play(&rec, ring, 0, 3000, 1.0);
  play(&rec, ring, 3500, 9600, 1.0);  // 500 frames lost in a 0.12 s pause
  std::vector<RingRun> runs = find_ring_runs(rec, ring, {{3000, 0.12}});
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_TRUE(runs[1].resumed);
  EXPECT_EQ(runs[1].start, -500);
  EXPECT_EQ(runs[1].begin, 3000u);
  EXPECT_GT(runs[1].score, 0.999);
}

TEST(RingRuns, FramesAnUnderrunLostWithoutAPauseAreCountedAndTheRestStillMatches) {
  const SoundTrack ring = ring_file();
  SoundTrack rec;
  play(&rec, ring, 0, 2000, 1.0);
  play(&rec, ring, 2300, 9600, 1.0);  // 300 frames never played
  play(&rec, ring, 0, 9600, 1.0);     // the restart comes that much early
  std::vector<RingRun> runs = find_ring_runs(rec, ring, {});
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].lost, 300);
  EXPECT_GT(runs[0].score, 0.95);
  EXPECT_TRUE(runs[0].whole);
  EXPECT_EQ(runs[1].start, 9300);
  EXPECT_EQ(runs[0].end, 9300u);
  EXPECT_EQ(runs[1].lost, 0);
  EXPECT_GT(runs[1].score, 0.999);
}

// The recording's frames [from, to) of `rec`: the last audible one, plus one; `from` if none.
size_t sound_end(const SoundTrack& rec, size_t from, size_t to) {
  size_t end = from;
  for (size_t i = from; i < to; ++i) {
    if (std::abs(static_cast<int>(rec.mono[i])) >= kAudibleLevel) end = i + 1;
  }
  return end;
}

void quiet(SoundTrack* rec, size_t n) {
  rec->mono.insert(rec->mono.end(), n, 0);
}

TEST(RingRuns, ARunWhoseSoundEndedBeforeALongPauseEndsAtIt) {
  // Snoozed in the quiet between the notes; the recorder's last, partly filled write (quiet
  // frames) came only with the ring again, a minute later, in the same write as its start.
  const SoundTrack ring = ring_file();
  SoundTrack rec;
  play(&rec, ring, 0, 2600, 1.0);
  quiet(&rec, 300);
  play(&rec, ring, 0, 9600, 1.0);
  std::vector<RingRun> runs = find_ring_runs(rec, ring, {{2600, 60.0}});
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].end, 2600u);
  EXPECT_FALSE(runs[0].whole);
  EXPECT_LT(runs[0].last_audible, 2600u);
  EXPECT_EQ(runs[1].start, 2900);
  EXPECT_EQ(runs[1].segment, 1u);
  EXPECT_GT(runs[1].score, 0.999);
}

TEST(RingRuns, ARunCutMidSoundByALongPauseGoesOnWithTheSoundTheRecorderHadBuffered) {
  const SoundTrack ring = ring_file();
  SoundTrack rec;
  play(&rec, ring, 0, 2000, 1.0);
  play(&rec, ring, 2000, 2200, 1.0);  // buffered before the pause, written after it
  quiet(&rec, 100);
  play(&rec, ring, 0, 9600, 1.0);
  std::vector<RingRun> runs = find_ring_runs(rec, ring, {{2000, 60.0}});
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].end, sound_end(rec, 2000, 2300));
  EXPECT_GT(runs[0].end, 2100u);
  EXPECT_FALSE(runs[0].whole);
  EXPECT_EQ(runs[1].start, 2300);
}

TEST(RingRuns, APauseInTheFilesQuietEndAfterAShorterDecodeLeavesTheRunWhole) {
  // The player's decode lacks 200 of the file's quiet end frames; the recorder paused at the
  // restart 0.2 s before the file's end, where the file is quiet already.
  const SoundTrack ring = ring_file();
  SoundTrack rec;
  play(&rec, ring, 0, 9400, 1.0);
  play(&rec, ring, 0, 9600, 1.0);
  play(&rec, ring, 0, 3000, 1.0);
  std::vector<RingRun> runs = find_ring_runs(rec, ring, {{8000, 0.1}});
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_TRUE(runs[0].whole);
  EXPECT_EQ(runs[0].end, 8000u);
  EXPECT_EQ(runs[1].start, 9400);
  EXPECT_FALSE(runs[1].resumed);
  EXPECT_TRUE(runs[1].whole);
  EXPECT_EQ(runs[2].start, 19000);
  EXPECT_FALSE(runs[2].whole);
  for (const RingRun& r : runs) EXPECT_GT(r.score, 0.999);
}

TEST(RingRuns, APauseThatCutsTheFilesSoundLeavesTheRunCutShort) {
  // Cut 100 frames (12 ms) before the file's last audible frame: a real cut, however short.
  const SoundTrack ring = ring_file();
  const size_t last_sound = sound_end(ring, 0, ring.frames());
  ASSERT_GT(last_sound, 100u);
  SoundTrack rec;
  play(&rec, ring, 0, last_sound - 100, 1.0);
  play(&rec, ring, 0, 9600, 1.0);
  std::vector<RingRun> runs = find_ring_runs(rec, ring, {{last_sound - 100, 0.1}});
  ASSERT_GE(runs.size(), 2u);
  EXPECT_FALSE(runs[0].whole);
  EXPECT_EQ(runs[0].end, last_sound - 100);
}

TEST(RingRuns, AnotherSoundIsFoundWithALowScore) {
  const SoundTrack ring = ring_file();
  SoundTrack rec;
  rec.rate = kRate;
  append_tone(&rec, 1.2, 523, 12000);
  std::vector<RingRun> runs = find_ring_runs(rec, ring, {});
  ASSERT_FALSE(runs.empty());
  EXPECT_LT(runs[0].score, 0.5);
}

TEST(RingRuns, NothingRecordedIsNoRun) {
  SoundTrack rec;
  rec.rate = kRate;
  EXPECT_TRUE(find_ring_runs(rec, ring_file(), {}).empty());
}

}  // namespace
