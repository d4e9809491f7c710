// Conversion of decoded sound to what the card plays: the channels mixed down or spread, the
// rate changed with speexdsp's resampler where the card does not take the file's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct SpeexResamplerState_;

class SoundConverter {
 public:
  // Null-free: a converter that cannot make its resampler converts the channels only and
  // reports it through ok().
  SoundConverter(unsigned in_rate, unsigned in_channels, unsigned out_rate, unsigned out_channels);
  ~SoundConverter();
  SoundConverter(const SoundConverter&) = delete;
  SoundConverter& operator=(const SoundConverter&) = delete;

  bool ok() const { return in_rate_ == out_rate_ || resampler_ != nullptr; }
  // `frames` input frames into `out` (replaced) as output frames.
  void convert(const int16_t* in, size_t frames, std::vector<int16_t>* out);

 private:
  unsigned in_rate_, in_channels_, out_rate_, out_channels_;
  SpeexResamplerState_* resampler_ = nullptr;
  std::vector<int16_t> mixed_;
};
