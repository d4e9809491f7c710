// The alarm tone the player makes itself: what rings when the ring file is missing, damaged
// or of no known format, and the pattern of the project's default ring.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "player/sound_source.h"

constexpr unsigned ALARM_TONE_RATE = 48000;
// How long the tone rings in place of a file: as long as the default ring, so a broken ring
// file rings as the default one would, and well beyond the second under which the ring
// controller takes a run for a failure and pauses.
constexpr int ALARM_TONE_SECONDS = 4;

// The pattern, mono at ALARM_TONE_RATE: a second of three 150 ms beeps of 880 Hz, 50 ms
// apart, then silence, each beep's edges rounded over 5 ms so that they do not click.
// `frames` samples from frame `first` on.
void alarm_tone_samples(int64_t first, int16_t* out, size_t frames);

// The tone as a sound of `frames` frames.
std::unique_ptr<SoundSource> alarm_tone_source(int64_t frames);
