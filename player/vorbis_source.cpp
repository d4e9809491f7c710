// Ogg Vorbis through Tremor, the integer decoder both a firmware tree (external/tremolo) and
// Debian (libvorbisidec) have with the same ov_* interface. It reads the file through the
// byte source's callbacks, a page at a time.
#if __has_include(<tremor/ivorbisfile.h>)
#include <tremor/ivorbisfile.h>
#else
#include <Tremolo/ivorbisfile.h>  // external/tremolo of a firmware tree
#endif

#include <cerrno>
#include <climits>
#include <cstdio>

#include "player/sound_source.h"

namespace {

// Holes (lost pages) in a row without sound before the rest counts as damaged.
constexpr int kMaxHolesInARow = 64;

size_t read_bytes(void* ptr, size_t size, size_t nmemb, void* source) {
  if (size == 0 || nmemb > SIZE_MAX / size) return 0;
  long n = static_cast<ByteSource*>(source)->read(ptr, size * nmemb);
  if (n < 0) {
    errno = EIO;
    return 0;
  }
  return static_cast<size_t>(n) / size;
}
int seek_bytes(void* source, ogg_int64_t offset, int whence) {
  return static_cast<ByteSource*>(source)->seek(offset, whence) < 0 ? -1 : 0;
}
int no_seek(void*, ogg_int64_t, int) {
  return -1;
}
long tell_bytes(void* source) {
  int64_t at = static_cast<ByteSource*>(source)->tell();
  return at > LONG_MAX ? -1 : static_cast<long>(at);
}

class VorbisSource : public SoundSource {
 public:
  explicit VorbisSource(std::unique_ptr<ByteSource> bytes) : bytes_(std::move(bytes)) {}
  ~VorbisSource() override {
    if (open_) ov_clear(&vf_);
  }

  bool start(std::string* why) {
    ov_callbacks cb = {read_bytes, seek_bytes, nullptr, tell_bytes};
    int r = ov_open_callbacks(bytes_.get(), &vf_, nullptr, 0, cb);
    if (r != 0 && bytes_->seek(0, SEEK_SET) == 0) {
      // A file cut short has no last page to find its length by: read as a stream, it still
      // plays up to the cut.
      ov_callbacks stream = {read_bytes, no_seek, nullptr, tell_bytes};
      r = ov_open_callbacks(bytes_.get(), &vf_, nullptr, 0, stream);
    }
    if (r != 0) {
      *why = r == OV_ENOTVORBIS ? "is Ogg but not Vorbis" : "has damaged Vorbis headers";
      return false;
    }
    open_ = true;
    vorbis_info* info = ov_info(&vf_, -1);
    if (info == nullptr || info->channels < 1 ||
        info->channels > static_cast<int>(SOUND_MAX_CHANNELS) ||
        info->rate < static_cast<long>(SOUND_MIN_RATE) ||
        info->rate > static_cast<long>(SOUND_MAX_RATE)) {
      *why = "has an impossible rate or channel count";
      return false;
    }
    rate_ = static_cast<unsigned>(info->rate);
    channels_ = static_cast<unsigned>(info->channels);
    ogg_int64_t total = ov_pcm_total(&vf_, -1);
    length_ = total > 0 ? total : -1;
    return true;
  }

  long read(int16_t* out, size_t frames) override {
    size_t frame_bytes = channels_ * sizeof(int16_t);
    size_t want = frames * frame_bytes;
    size_t got = 0;
    int holes = 0;
    while (got + frame_bytes <= want && !ended_) {
      int link = 0;
      size_t room = want - got;
      long n = ov_read(&vf_, reinterpret_cast<char*>(out) + got,
                       room > INT_MAX ? INT_MAX : static_cast<int>(room), &link);
      if (n == OV_HOLE && ++holes <= kMaxHolesInARow) continue;
      if (n < 0) return got > 0 ? static_cast<long>(got / frame_bytes) : -1;
      if (n == 0) {
        ended_ = true;
        break;
      }
      if (link != link_) {
        // A chained file whose next part has another rate or channel count: the ring is
        // what came before it.
        vorbis_info* info = ov_info(&vf_, link);
        link_ = link;
        if (info == nullptr || info->rate != static_cast<long>(rate_) ||
            info->channels != static_cast<int>(channels_)) {
          ended_ = true;
          break;
        }
      }
      holes = 0;
      got += static_cast<size_t>(n);
    }
    return static_cast<long>(got / frame_bytes);
  }

  int64_t length_frames() const override { return length_; }

 private:
  std::unique_ptr<ByteSource> bytes_;
  OggVorbis_File vf_ = {};
  bool open_ = false;
  bool ended_ = false;
  int link_ = 0;
  int64_t length_ = -1;
};

}  // namespace

std::unique_ptr<SoundSource> open_vorbis_source(std::unique_ptr<ByteSource> bytes,
                                                std::string* why) {
  auto source = std::make_unique<VorbisSource>(std::move(bytes));
  if (!source->start(why)) return nullptr;
  return source;
}
