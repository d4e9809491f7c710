// WAV: 16-bit PCM in a RIFF file, the chunks read by hand (a format of a few fixed fields).
// Lengths are not trusted: a data chunk that claims more than the file holds plays what is
// there, and one that claims nothing (a recorder killed before it wrote the length) plays to
// the file's end.
#include <cstring>

#include "player/sound_source.h"

namespace {

constexpr size_t kChunkHeaderSize = 8;
constexpr size_t kFmtSize = 16;
constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;
constexpr size_t kExtensibleSize = 40;
constexpr size_t kSubformatAt = 24;
constexpr unsigned kBitsPerSample = 16;
constexpr unsigned kBytesPerSample = 2;
constexpr int kMaxChunks = 64;  // a file of more chunks before its sound is not a ring

uint32_t le32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t le16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

bool read_exact(ByteSource& b, void* out, size_t size) {
  auto* p = static_cast<unsigned char*>(out);
  while (size > 0) {
    long n = b.read(p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

class WavSource : public SoundSource {
 public:
  WavSource(std::unique_ptr<ByteSource> bytes, unsigned rate, unsigned channels, int64_t data_bytes)
      : bytes_(std::move(bytes)), left_(data_bytes) {
    rate_ = rate;
    channels_ = channels;
    frame_bytes_ = channels * kBytesPerSample;
  }

  long read(int16_t* out, size_t frames) override {
    size_t want = frames * frame_bytes_;
    if (left_ >= 0 && static_cast<uint64_t>(left_) < want) want = static_cast<size_t>(left_);
    want -= want % frame_bytes_;
    auto* p = reinterpret_cast<unsigned char*>(out);
    size_t got = 0;
    while (got < want) {
      long n = bytes_->read(p + got, want - got);
      if (n < 0) return -1;
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    // The file's end came first: a frame it cut is not played.
    size_t whole = got - got % frame_bytes_;
    if (got < want) {
      left_ = 0;
    } else if (left_ >= 0) {
      left_ -= static_cast<int64_t>(whole);
    }
    if (whole == 0) return 0;
    // The file is little-endian, as the phones are; a big-endian host would swap here.
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "samples are read in place");
    return static_cast<long>(whole / frame_bytes_);
  }

  int64_t length_frames() const override { return length_frames_; }
  void set_length_frames(int64_t n) { length_frames_ = n; }

 private:
  std::unique_ptr<ByteSource> bytes_;
  int64_t left_;  // bytes of sound still to come; -1 when up to the file's end
  size_t frame_bytes_ = 0;
  int64_t length_frames_ = -1;
};

}  // namespace

std::unique_ptr<SoundSource> open_wav_source(std::unique_ptr<ByteSource> bytes, std::string* why) {
  unsigned char riff[12];
  if (!read_exact(*bytes, riff, sizeof riff) || memcmp(riff, "RIFF", 4) != 0 ||
      memcmp(riff + 8, "WAVE", 4) != 0) {
    *why = "is not a RIFF WAVE file";
    return nullptr;
  }
  bool have_fmt = false;
  unsigned rate = 0, channels = 0;
  for (int chunk = 0; chunk < kMaxChunks; ++chunk) {
    unsigned char h[kChunkHeaderSize];
    if (!read_exact(*bytes, h, sizeof h)) break;
    uint32_t size = le32(h + 4);
    int64_t after = bytes->tell();
    if (after < 0) break;
    if (memcmp(h, "fmt ", 4) == 0) {
      unsigned char fmt[kExtensibleSize] = {};
      if (size < kFmtSize || !read_exact(*bytes, fmt, size < sizeof fmt ? size : sizeof fmt)) {
        *why = "has a damaged format chunk";
        return nullptr;
      }
      uint16_t tag = le16(fmt);
      if (tag == kFormatExtensible && size >= kExtensibleSize) tag = le16(fmt + kSubformatAt);
      channels = le16(fmt + 2);
      rate = le32(fmt + 4);
      unsigned bits = le16(fmt + 14);
      unsigned align = le16(fmt + 12);
      if (tag != kFormatPcm || bits != kBitsPerSample) {
        *why = "is not 16-bit PCM";
        return nullptr;
      }
      if (channels < 1 || channels > SOUND_MAX_CHANNELS || rate < SOUND_MIN_RATE ||
          rate > SOUND_MAX_RATE || align != channels * kBytesPerSample) {
        *why = "has an impossible rate or channel count";
        return nullptr;
      }
      have_fmt = true;
    } else if (memcmp(h, "data", 4) == 0) {
      if (!have_fmt) break;
      // What the file holds beyond this point bounds what the chunk may claim.
      int64_t end = bytes->seek(0, SEEK_END);
      if (end < 0 || bytes->seek(after, SEEK_SET) != after) {
        *why = "cannot be read";
        return nullptr;
      }
      int64_t there = end - after;
      int64_t data = size == 0 || size == 0xFFFFFFFFu || size > there ? there : size;
      unsigned frame = channels * kBytesPerSample;
      auto source = std::make_unique<WavSource>(std::move(bytes), rate, channels, data);
      source->set_length_frames(data / frame);
      return source;
    }
    // Chunks are padded to an even length.
    int64_t next = after + size + (size & 1);
    if (bytes->seek(next, SEEK_SET) != next) break;
  }
  *why = have_fmt ? "has no sound data" : "has no format chunk before its sound";
  return nullptr;
}
