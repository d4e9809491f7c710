// Sounds made for the tests of the sound readers: tones and silence at a test rate.
#pragma once

#include <cmath>
#include <initializer_list>

#include "sim/sound_track.h"

constexpr int kTestRate = 8000;

// Appends `seconds` of a tone of `hz` at `amplitude` (silence at 0 Hz) to `t`.
inline void append_tone(SoundTrack* t, double seconds, double hz, double amplitude) {
  const auto n = static_cast<size_t>(seconds * kTestRate);
  for (size_t i = 0; i < n; ++i) {
    t->mono.push_back(static_cast<int16_t>(amplitude * std::sin(2 * M_PI * hz * i / kTestRate)));
  }
}

struct TestNote {
  double seconds;
  double hz;  // 0: silence
};

// A mono track at the test rate of the notes one after another, at a fixed loudness.
inline SoundTrack test_notes(std::initializer_list<TestNote> notes) {
  SoundTrack t;
  t.rate = kTestRate;
  t.channels = 1;
  for (const TestNote& n : notes) append_tone(&t, n.seconds, n.hz, n.hz > 0 ? 12000 : 0);
  return t;
}
