// The real ring player in the sandbox: what a person would hear is kept as the sandbox card's
// WAV files, one per run of the player. The default ring plays whole, again and again while
// the alarm rings, each run as long as the file; the stop ends the sound at once and nothing
// sounds after it; a broken ring file rings the tone; a busy card is retried after a pause.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "sandbox/sandbox_sound.h"
#include "tests/e2e_support.h"

namespace {

constexpr double kRingSeconds = 4;  // the default ring
constexpr unsigned kRingRate = 48000;

struct Heard {
  double from = 0;  // virtual seconds since the run's start
  double to = 0;
  SandboxWav wav;
};

// Every stream the player opened, in order, from the sound log and the files.
std::vector<Heard> heard(const E2eSandbox& sb, const SimResult& r) {
  std::vector<Heard> out;
  double start_ms = r.outcome["start_at"].n * 1000;
  std::istringstream log(sb.read(SANDBOX_SOUND_LOG));
  double at_ms = 0;
  std::string name;
  unsigned rate = 0, channels = 0;
  while (log >> at_ms >> name >> rate >> channels) {
    Heard h;
    EXPECT_TRUE(read_sandbox_wav(sb.path("/sim/" + name), &h.wav)) << name;
    EXPECT_EQ(h.wav.rate, rate);
    EXPECT_EQ(h.wav.channels, channels);
    h.from = (at_ms - start_ms) / 1000;
    double frames = static_cast<double>(h.wav.samples.size()) / (channels ? channels : 1);
    h.to = h.from + frames / (rate ? rate : 1);
    out.push_back(h);
  }
  return out;
}

TEST(RingPlayerScenario, TheDefaultRingPlaysWholeUntilTheStop) {
  E2eSandbox sb({"--player", "real"});
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  SimResult r = sb.run({"--at", kBeforeSeven, "--speed", "1", "--until", "40", touch("21", "mid")});
  std::vector<Heard> h = heard(sb, r);
  ASSERT_EQ(h.size(), 3u) << r.timeline_text();
  std::vector<TimelineEvent> starts = r.events("player-start");
  ASSERT_EQ(starts.size(), 3u);
  for (size_t i = 0; i < h.size(); ++i) {
    EXPECT_EQ(h[i].wav.rate, kRingRate);
    EXPECT_EQ(h[i].wav.channels, 1u);
    // Each run's sound begins as its player starts.
    EXPECT_NEAR(h[i].from, starts[i].at, 0.2) << i;
  }
  // The first two runs are the whole file, sample for sample.
  EXPECT_EQ(h[0].wav.samples.size(), static_cast<size_t>(kRingSeconds * kRingRate));
  EXPECT_EQ(h[1].wav.samples.size(), static_cast<size_t>(kRingSeconds * kRingRate));
  EXPECT_EQ(h[0].wav.samples, h[1].wav.samples);
  // The next run follows the end of the last at once.
  EXPECT_LT(h[1].from - h[0].to, 0.3);
  // The stop: the third run ends between the tap and the player's end, and silence after.
  const TimelineEvent* tap = r.first("touch");
  ASSERT_NE(tap, nullptr);
  std::vector<TimelineEvent> stops = r.events("player-stop");
  ASSERT_EQ(stops.size(), 3u);
  EXPECT_GT(h[2].to, tap->at);
  EXPECT_LE(h[2].to, stops[2].at + 0.05);
  EXPECT_LT(h[2].wav.samples.size(), static_cast<size_t>(kRingSeconds * kRingRate));
  EXPECT_EQ(h[2].wav.samples.back(), 0);
  EXPECT_TRUE(r.powered_off());
}

TEST(RingPlayerScenario, ABrokenRingFileRingsTheTone) {
  E2eSandbox sb({"--player", "real"});
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  sb.write("/res/sounds/broken.ogg", "OggS, and nothing a decoder could read\n");
  sb.set_flags(5, "/res/sounds/broken.ogg", 1);
  SimResult r = sb.run({"--at", kBeforeSeven, "--speed", "1", "--until", "40", touch("17", "mid")});
  std::vector<Heard> h = heard(sb, r);
  ASSERT_GE(h.size(), 1u) << r.timeline_text();
  EXPECT_EQ(h[0].wav.rate, 48000u);
  EXPECT_NEAR(h[0].to - h[0].from, 4.0, 0.001);
  EXPECT_NE(r.kmsg.find("mplayer: " + sb.path("/res/sounds/broken.ogg")), std::string::npos)
      << r.kmsg;
  EXPECT_NE(r.kmsg.find("the alarm tone rings instead"), std::string::npos);
}

TEST(RingPlayerScenario, ABusyCardIsTriedAgainAfterAPause) {
  E2eSandbox sb({"--player", "real"});
  sb.add_alarm(1, 7, 0, kMonToFri, 1, 0);
  SimResult r = sb.run({"--at", kBeforeSeven, "--speed", "1", "--until", "40", "--fault",
                        "sound-busy", touch("16", "mid")});
  std::vector<TimelineEvent> starts = r.events("player-start");
  // About one start a second from the ring's start to the tap, never a storm.
  EXPECT_GE(starts.size(), 3u) << r.timeline_text();
  EXPECT_LE(starts.size(), 7u) << r.timeline_text();
  for (size_t i = 1; i < starts.size(); ++i) EXPECT_GE(starts[i].at - starts[i - 1].at, 0.9);
  EXPECT_TRUE(sb.read(SANDBOX_SOUND_LOG).empty());
  EXPECT_NE(r.kmsg.find("cannot be opened: Device or resource busy"), std::string::npos);
  EXPECT_TRUE(r.powered_off());
}

}  // namespace
