#include "player/alarm_tone.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int64_t kCycleFrames = ALARM_TONE_RATE;  // one second
constexpr int64_t kBeepFrames = ALARM_TONE_RATE * 150 / 1000;
constexpr int64_t kBeepStrideFrames = ALARM_TONE_RATE * 200 / 1000;
constexpr int kBeeps = 3;
constexpr int64_t kEdgeFrames = ALARM_TONE_RATE * 5 / 1000;
constexpr double kPitchHz = 880;
constexpr double kAmplitude = 0.6 * 32767;
constexpr double kPi = 3.14159265358979323846;

class ToneSource : public SoundSource {
 public:
  explicit ToneSource(int64_t frames) : left_(frames), length_(frames) {
    rate_ = ALARM_TONE_RATE;
    channels_ = 1;
  }
  long read(int16_t* out, size_t frames) override {
    size_t n = static_cast<uint64_t>(left_) < frames ? static_cast<size_t>(left_) : frames;
    alarm_tone_samples(at_, out, n);
    at_ += static_cast<int64_t>(n);
    left_ -= static_cast<int64_t>(n);
    return static_cast<long>(n);
  }
  int64_t length_frames() const override { return length_; }

 private:
  int64_t at_ = 0;
  int64_t left_;
  int64_t length_;
};

}  // namespace

void alarm_tone_samples(int64_t first, int16_t* out, size_t frames) {
  for (size_t i = 0; i < frames; ++i) {
    int64_t t = (first + static_cast<int64_t>(i)) % kCycleFrames;
    int64_t beep = t / kBeepStrideFrames;
    int64_t in_beep = t % kBeepStrideFrames;
    double level = 0;
    if (beep < kBeeps && in_beep < kBeepFrames) {
      int64_t edge = std::min(in_beep, kBeepFrames - 1 - in_beep);
      double shape = edge >= kEdgeFrames ? 1.0 : 0.5 - 0.5 * std::cos(kPi * edge / kEdgeFrames);
      double phase = 2 * kPi * kPitchHz * static_cast<double>(in_beep) / ALARM_TONE_RATE;
      level = kAmplitude * shape * std::sin(phase);
    }
    out[i] = static_cast<int16_t>(std::lround(level));
  }
}

std::unique_ptr<SoundSource> alarm_tone_source(int64_t frames) {
  return std::make_unique<ToneSource>(frames < 0 ? 0 : frames);
}
