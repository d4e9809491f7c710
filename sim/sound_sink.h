// What the sandbox's sound sink kept of a run: one WAV file per stream the player opened
// (DIR/sim/sound-N.wav) and one line per stream in DIR/sim/sound.log, "<virtual epoch ms at
// open> sound-N.wav <rate> <channels>". The sink is paced by the sandbox's clock, so a
// stream's frame k sounded k / rate seconds after its open.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/sound_track.h"

struct SinkStream {
  int64_t open_ms = 0;  // virtual epoch milliseconds
  std::string file;     // its name in DIR/sim/
  int rate = 0;
  int channels = 0;
};

// The streams of a sound.log's text; a line that is not one is passed over.
std::vector<SinkStream> parse_sound_log(const std::string& text);

// The streams the sink kept under `sim_dir` (DIR/sim); none without its log.
std::vector<SinkStream> sink_streams(const std::string& sim_dir);

// Quiet shorter than this within a stream is part of its sound: the pauses of a ring's
// pattern are heard as one ring.
constexpr double kSinkBridgeSeconds = 0.5;

struct HeardSound {
  double on = 0;  // virtual epoch seconds of its first and last audible samples
  double off = 0;
  size_t stream = 0;  // from 1, as the files are numbered
};

// The stretches of sound of every stream under `sim_dir` (DIR/sim), in the order heard;
// a stream whose file cannot be read is passed over.
std::vector<HeardSound> heard_sounds(const std::string& sim_dir);

// Their seconds together.
double audible_seconds(const std::vector<HeardSound>& heard);

// The whole run's sound on one track at `rate` from `from` (epoch seconds) to `to`: each
// stream at its open, silence where none played. Streams at another rate are left out.
SoundTrack run_sound_track(const std::string& sim_dir, double from, double to, int rate);
