// Sound as a person would hear it, read back from files: the recordings of the sandbox's
// sound sink and of the virtual machine's sound card, and the ring files they are judged
// against. Files are read and written through libsndfile (WAV, MP3, Ogg Vorbis), and
// judged on one mono track of 16-bit samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct SoundTrack {
  int rate = 0;
  int channels = 0;           // of the file; `mono` mixes them
  std::vector<int16_t> mono;  // one sample a frame, the channels' mean

  size_t frames() const { return mono.size(); }
  double seconds(size_t frames) const { return rate > 0 ? double(frames) / rate : 0.0; }
};

// Reads any file libsndfile decodes; false (with the library's reason) when it cannot.
bool read_sound(const std::string& path, SoundTrack* track, std::string* why);

// Writes `track` as a 16-bit PCM mono WAV file.
bool write_wav(const std::string& path, const SoundTrack& track);

// A sample is audible at or above this level: -40 dB of full scale. A ramp's first and last
// milliseconds and a decoder's dither lie below it.
constexpr int kAudibleLevel = 328;
// Quiet shorter than this inside a sound belongs to it (a wave's zero crossings, the pause
// between two notes of one pattern).
constexpr double kAudibleBridgeSeconds = 0.05;

struct AudibleStretch {
  size_t first = 0;  // the first and last audible frames
  size_t last = 0;
};

// The stretches of sound in `track`: audible samples with less than `bridge` seconds of
// quiet between them.
std::vector<AudibleStretch> audible_stretches(const SoundTrack& track,
                                              double bridge = kAudibleBridgeSeconds,
                                              int level = kAudibleLevel);

// The normalised cross-correlation of `frames` samples of `a` from `a_from` and of `b` from
// `b_from` (1 for the same sound at any gain, 0 for unrelated sounds); 0 when either is
// silent or a range runs past its track.
double correlation(const SoundTrack& a, size_t a_from, const SoundTrack& b, size_t b_from,
                   size_t frames);

struct SoundMatch {
  long long at = 0;  // the frame of `a` where `b`'s frame `b_from` lies
  double score = 0;  // the correlation there
};

// Where `frames` samples of `b` from `b_from` lie in `a` between frames `from` and `to`
// (inclusive): the best correlation, the earliest of equals.
SoundMatch find_sound(const SoundTrack& a, long long from, long long to, const SoundTrack& b,
                      size_t b_from, size_t frames);
