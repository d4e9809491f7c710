#include "player/sound_convert.h"

#include <speex/speex_resampler.h>

namespace {

// Quality 3 of 10: clean for an alarm's tones at a fraction of a percent of a phone's core.
constexpr int kResamplerQuality = 3;
constexpr size_t kResamplerSlack = 16;

}  // namespace

SoundConverter::SoundConverter(unsigned in_rate, unsigned in_channels, unsigned out_rate,
                               unsigned out_channels)
    : in_rate_(in_rate),
      in_channels_(in_channels),
      out_rate_(out_rate),
      out_channels_(out_channels) {
  if (in_rate != out_rate) {
    int err = 0;
    resampler_ = speex_resampler_init(out_channels, in_rate, out_rate, kResamplerQuality, &err);
    if (err != RESAMPLER_ERR_SUCCESS && resampler_ != nullptr) {
      speex_resampler_destroy(resampler_);
      resampler_ = nullptr;
    }
    if (resampler_ != nullptr) speex_resampler_skip_zeros(resampler_);
  }
}

SoundConverter::~SoundConverter() {
  if (resampler_ != nullptr) speex_resampler_destroy(resampler_);
}

void SoundConverter::convert(const int16_t* in, size_t frames, std::vector<int16_t>* out) {
  // Channels first: a mono card hears the mean of the file's first two channels, a stereo
  // card a mono file on both, the first two of a file of more.
  const int16_t* mixed = in;
  if (in_channels_ != out_channels_) {
    mixed_.resize(frames * out_channels_);
    for (size_t f = 0; f < frames; ++f) {
      const int16_t* src = in + f * in_channels_;
      int16_t* dst = mixed_.data() + f * out_channels_;
      if (out_channels_ == 1) {
        dst[0] = in_channels_ == 1 ? src[0] : static_cast<int16_t>((src[0] + src[1]) / 2);
      } else {
        for (unsigned c = 0; c < out_channels_; ++c) {
          dst[c] = src[c < in_channels_ ? c : in_channels_ - 1];
        }
      }
    }
    mixed = mixed_.data();
  }
  if (resampler_ == nullptr) {
    out->assign(mixed, mixed + frames * out_channels_);
    return;
  }
  // The resampler may take less than it is given when its room runs out: it goes on then.
  size_t room = frames * out_rate_ / in_rate_ + kResamplerSlack;
  out->resize(room * out_channels_);
  size_t taken = 0, made = 0;
  while (taken < frames) {
    if (out->size() < (made + room) * out_channels_) out->resize((made + room) * out_channels_);
    spx_uint32_t in_len = static_cast<spx_uint32_t>(frames - taken);
    spx_uint32_t out_len = static_cast<spx_uint32_t>(room);
    speex_resampler_process_interleaved_int(resampler_, mixed + taken * out_channels_, &in_len,
                                            out->data() + made * out_channels_, &out_len);
    if (in_len == 0 && out_len == 0) break;
    taken += in_len;
    made += out_len;
  }
  out->resize(made * out_channels_);
}
