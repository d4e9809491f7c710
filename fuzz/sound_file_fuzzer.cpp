// A ring file: the input is the whole file, told by its content and decoded as the player
// decodes it (MP3, Ogg Vorbis, WAV, or refused). A decoder that opens gives a rate and a
// channel count the player can convert, never more frames than asked for, and comes to an
// end: the input's bytes bound how much sound it may hold.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "player/sound_source.h"

namespace {

constexpr size_t kBlockFrames = 1152;
// Vorbis's longest block holds 8192 frames and can be coded in a few bits; anything past
// that much sound per byte is a decoder that does not end.
constexpr uint64_t kMaxFramesPerByte = 8192;
constexpr uint64_t kMinFramesBound = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<unsigned char> bytes(data, data + size);
  // What the player judges the file by: its first bytes only.
  SoundFormat format = recognise_sound_format(bytes.data(), std::min(size, SOUND_HEAD_SIZE));
  std::string why;
  std::unique_ptr<SoundSource> s = open_sound_source(memory_bytes(bytes), &why);
  if (s == nullptr) {
    FUZZ_CHECK(!why.empty());
    return 0;
  }
  FUZZ_CHECK(format != SoundFormat::kUnknown || size == 0);
  FUZZ_CHECK(s->rate() >= SOUND_MIN_RATE && s->rate() <= SOUND_MAX_RATE);
  FUZZ_CHECK(s->channels() >= 1 && s->channels() <= SOUND_MAX_CHANNELS);
  std::vector<int16_t> buf(kBlockFrames * s->channels() + 1, 0x5A5A);
  const int16_t guard = 0x5A5A;
  uint64_t bound = size * kMaxFramesPerByte;
  if (bound < kMinFramesBound) bound = kMinFramesBound;
  uint64_t frames = 0;
  for (;;) {
    long n = s->read(buf.data(), kBlockFrames);
    FUZZ_CHECK(n <= static_cast<long>(kBlockFrames));
    FUZZ_CHECK(buf.back() == guard);  // nothing written past what was asked for
    if (n <= 0) break;
    frames += static_cast<uint64_t>(n);
    FUZZ_CHECK(frames <= bound);
  }
  // After its end a source stays at its end.
  FUZZ_CHECK(s->read(buf.data(), kBlockFrames) <= 0);
  return 0;
}
