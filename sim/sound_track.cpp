#include "sim/sound_track.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

bool read_sound(const std::string& path, SoundTrack* track, std::string* why) {
  SF_INFO info = {};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) {
    if (why != nullptr) *why = sf_strerror(nullptr);
    return false;
  }
  track->rate = info.samplerate;
  track->channels = info.channels;
  track->mono.clear();
  // Decoded in blocks: a compressed file's length is known only once it is read.
  const int channels = std::max(1, info.channels);
  std::vector<int16_t> block(4096 * static_cast<size_t>(channels));
  sf_count_t got;
  while ((got = sf_readf_short(file, block.data(), 4096)) > 0) {
    for (sf_count_t f = 0; f < got; ++f) {
      int sum = 0;
      for (int c = 0; c < channels; ++c) sum += block[static_cast<size_t>(f * channels + c)];
      track->mono.push_back(static_cast<int16_t>(sum / channels));
    }
  }
  sf_close(file);
  return true;
}

bool write_wav(const std::string& path, const SoundTrack& track) {
  SF_INFO info = {};
  info.samplerate = track.rate;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) return false;
  const auto n = static_cast<sf_count_t>(track.mono.size());
  const bool ok = sf_writef_short(file, track.mono.data(), n) == n;
  return sf_close(file) == 0 && ok;
}

std::vector<AudibleStretch> audible_stretches(const SoundTrack& track, double bridge, int level) {
  std::vector<AudibleStretch> out;
  const auto bridge_frames = static_cast<size_t>(bridge * track.rate);
  for (size_t i = 0; i < track.mono.size(); ++i) {
    if (std::abs(static_cast<int>(track.mono[i])) < level) continue;
    if (!out.empty() && i - out.back().last <= bridge_frames) {
      out.back().last = i;
    } else {
      out.push_back({i, i});
    }
  }
  return out;
}

namespace {

// The correlation of n samples; `centred` takes each side's mean away first (for the
// loudness, which is never negative).
double correlate(const float* a, const float* b, size_t n, bool centred) {
  double ma = 0, mb = 0;
  if (centred && n > 0) {
    for (size_t i = 0; i < n; ++i) {
      ma += a[i];
      mb += b[i];
    }
    ma /= static_cast<double>(n);
    mb /= static_cast<double>(n);
  }
  double ab = 0, aa = 0, bb = 0;
  for (size_t i = 0; i < n; ++i) {
    const double x = a[i] - ma, y = b[i] - mb;
    ab += x * y;
    aa += x * x;
    bb += y * y;
  }
  return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
}

// The track's loudness at every `step`th frame: the mean magnitude over the `span` frames
// from it, long enough to hold a period of a tone's ripple.
std::vector<float> loudness(const SoundTrack& t, size_t step, size_t span) {
  const size_t n = t.mono.size();
  std::vector<double> sum(n + 1, 0.0);
  for (size_t i = 0; i < n; ++i) sum[i + 1] = sum[i] + std::abs(static_cast<int>(t.mono[i]));
  std::vector<float> out(n / step);
  for (size_t i = 0; i < out.size(); ++i) {
    const size_t from = i * step, to = std::min(n, from + span);
    out[i] = static_cast<float>((sum[to] - sum[from]) / static_cast<double>(span));
  }
  return out;
}

// The best of the lags `from` to `to` of `frames` samples of `b` from `b_from` in `a`.
SoundMatch best_lag(const std::vector<float>& a, long long from, long long to,
                    const std::vector<float>& b, size_t b_from, size_t frames,
                    bool centred = false) {
  SoundMatch best{from, -2.0};
  if (b_from + frames > b.size()) return {from, 0.0};
  from = std::max(from, 0LL);
  to = std::min(to, static_cast<long long>(a.size()) - static_cast<long long>(frames));
  for (long long at = from; at <= to; ++at) {
    double s = correlate(&a[static_cast<size_t>(at)], &b[b_from], frames, centred);
    if (s > best.score + 1e-9) best = {at, s};
  }
  if (best.score < -1.5) best.score = 0.0;
  return best;
}

}  // namespace

double correlation(const SoundTrack& a, size_t a_from, const SoundTrack& b, size_t b_from,
                   size_t frames) {
  if (a_from + frames > a.frames() || b_from + frames > b.frames()) return 0.0;
  std::vector<float> fa(a.mono.begin() + static_cast<long>(a_from),
                        a.mono.begin() + static_cast<long>(a_from + frames));
  std::vector<float> fb(b.mono.begin() + static_cast<long>(b_from),
                        b.mono.begin() + static_cast<long>(b_from + frames));
  return correlate(fa.data(), fb.data(), frames, false);
}

SoundMatch find_sound(const SoundTrack& a, long long from, long long to, const SoundTrack& b,
                      size_t b_from, size_t frames) {
  // First the loudness at every eighth frame (a search of seconds at the full rate would
  // take minutes, and the samples thinned out would fold every tone above a sixteenth of the
  // rate onto others): where the notes begin and end. Then the samples at the full rate
  // around the best eighth, within the loudness's blur.
  constexpr size_t kStep = 8;
  const long long kStepLl = kStep;
  const size_t span = std::max(kStep, static_cast<size_t>(std::max(a.rate, 0)) / 500);
  SoundMatch coarse = best_lag(loudness(a, kStep, span), from / kStepLl, to / kStepLl,
                               loudness(b, kStep, span), b_from / kStep, frames / kStep, true);
  const std::vector<float> fa(a.mono.begin(), a.mono.end());
  const std::vector<float> fb(b.mono.begin(), b.mono.end());
  const long long centre = coarse.at * kStepLl + static_cast<long long>(b_from % kStep);
  const auto blur = static_cast<long long>(span);
  return best_lag(fa, std::max(from, centre - blur), std::min(to, centre + blur), fb, b_from,
                  frames);
}
