// MP3 through libmpg123, fed from the file a block at a time so that what it holds stays
// bounded whatever the file's length; it decodes to signed 16-bit at the file's own rate and
// channel count.
#include <mpg123.h>

#include <cstring>

#include "player/sound_source.h"

namespace {

constexpr size_t kFeedBlock = 16384;
// Junk mpg123 may skip looking for the next frame: a damaged stretch of a ring, not a file
// that is not sound at all.
constexpr long kResyncLimit = 65536;
// A file whose first frame does not come within this much is not sound.
constexpr long kMaxBytesBeforeSound = 1 << 20;

struct HandleCloser {
  void operator()(mpg123_handle* h) const {
    mpg123_close(h);
    mpg123_delete(h);
  }
};
using UniqueHandle = std::unique_ptr<mpg123_handle, HandleCloser>;

class Mp3Source : public SoundSource {
 public:
  Mp3Source(std::unique_ptr<ByteSource> bytes, UniqueHandle mh)
      : bytes_(std::move(bytes)), mh_(std::move(mh)) {}

  // Up to the first frame's format; false with the reason in `why`.
  bool start(std::string* why) {
    long fed = 0;
    for (;;) {
      int r = next_frame();
      if (r == MPG123_NEW_FORMAT) break;
      if (r == MPG123_NEED_MORE) {
        long n = feed();
        fed += n;
        if (n > 0 && fed <= kMaxBytesBeforeSound) continue;
        *why = n < 0 ? "cannot be read" : "holds no MP3 frame";
        return false;
      }
      if (r == MPG123_OK) continue;
      *why = std::string("is damaged (") + mpg123_plain_strerror(r) + ")";
      return false;
    }
    long rate = 0;
    int channels = 0, encoding = 0;
    if (mpg123_getformat(mh_.get(), &rate, &channels, &encoding) != MPG123_OK ||
        encoding != MPG123_ENC_SIGNED_16 || rate < static_cast<long>(SOUND_MIN_RATE) ||
        rate > static_cast<long>(SOUND_MAX_RATE) || channels < 1 || channels > 2) {
      *why = "has a format that cannot be played";
      return false;
    }
    rate_ = static_cast<unsigned>(rate);
    channels_ = static_cast<unsigned>(channels);
    off_t length = mpg123_length(mh_.get());
    length_ = length > 0 ? static_cast<int64_t>(length) : -1;
    return true;
  }

  long read(int16_t* out, size_t frames) override {
    size_t done = 0;
    while (done < frames) {
      if (pending_bytes_ > 0) {
        size_t frame_bytes = channels_ * sizeof(int16_t);
        size_t n = pending_bytes_ / frame_bytes;
        if (n > frames - done) n = frames - done;
        memcpy(out + done * channels_, pending_, n * frame_bytes);
        pending_ += n * frame_bytes;
        pending_bytes_ -= n * frame_bytes;
        if (pending_bytes_ < frame_bytes) pending_bytes_ = 0;
        done += n;
        continue;
      }
      if (ended_) break;
      int r = next_frame();
      if (r == MPG123_OK || r == MPG123_DONE) {
        if (r == MPG123_DONE) ended_ = true;
        continue;
      }
      if (r == MPG123_NEED_MORE) {
        long n = feed();
        if (n < 0) return done > 0 ? static_cast<long>(done) : -1;
        if (n == 0) ended_ = true;
        continue;
      }
      if (r == MPG123_NEW_FORMAT) {
        // A stream that changes its rate or channels half-way: what came before is the ring.
        long rate = 0;
        int channels = 0, encoding = 0;
        mpg123_getformat(mh_.get(), &rate, &channels, &encoding);
        if (rate == static_cast<long>(rate_) && channels == static_cast<int>(channels_)) continue;
        ended_ = true;
        break;
      }
      return done > 0 ? static_cast<long>(done) : -1;
    }
    return static_cast<long>(done);
  }

  int64_t length_frames() const override { return length_; }

 private:
  // One frame's decoding: mpg123's code; its sound (if any) becomes pending.
  int next_frame() {
    off_t num = 0;
    unsigned char* audio = nullptr;
    size_t bytes = 0;
    int r = mpg123_decode_frame(mh_.get(), &num, &audio, &bytes);
    if (audio != nullptr && bytes > 0 && (r == MPG123_OK || r == MPG123_DONE)) {
      pending_ = audio;
      pending_bytes_ = bytes;
    }
    return r;
  }

  // Hands the decoder the file's next block: the bytes fed, 0 at the end, -1 on error.
  long feed() {
    long n = bytes_->read(block_, sizeof block_);
    if (n > 0 && mpg123_feed(mh_.get(), block_, static_cast<size_t>(n)) != MPG123_OK) return -1;
    return n;
  }

  std::unique_ptr<ByteSource> bytes_;
  UniqueHandle mh_;
  unsigned char block_[kFeedBlock];
  const unsigned char* pending_ = nullptr;
  size_t pending_bytes_ = 0;
  bool ended_ = false;
  int64_t length_ = -1;
};

}  // namespace

std::unique_ptr<SoundSource> open_mp3_source(std::unique_ptr<ByteSource> bytes, std::string* why) {
  static const bool initialised = mpg123_init() == MPG123_OK;
  int err = MPG123_OK;
  UniqueHandle mh(initialised ? mpg123_new(nullptr, &err) : nullptr);
  if (mh == nullptr) {
    *why = "cannot be decoded (no MP3 decoder)";
    return nullptr;
  }
  // Tags are skipped, not read: an ID3v2 tag that claims 256 MB in a file of a hundred bytes
  // would otherwise have the decoder take a buffer of that size for it.
  mpg123_param(mh.get(), MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS | MPG123_SKIP_ID3V2, 0);
  mpg123_param(mh.get(), MPG123_RESYNC_LIMIT, kResyncLimit, 0);
  // Signed 16-bit at whatever rate and channels the file has; the player converts.
  mpg123_format_none(mh.get());
  const long* rates = nullptr;
  size_t count = 0;
  mpg123_rates(&rates, &count);
  for (size_t i = 0; i < count; ++i) {
    mpg123_format(mh.get(), rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
  }
  if (mpg123_open_feed(mh.get()) != MPG123_OK) {
    *why = "cannot be decoded";
    return nullptr;
  }
  auto source = std::make_unique<Mp3Source>(std::move(bytes), std::move(mh));
  if (!source->start(why)) return nullptr;
  return source;
}
