#include "player/sound_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/unique_fd.h"

namespace {

constexpr size_t kId3HeaderSize = 10;
constexpr size_t kMpegHeaderSize = 4;
constexpr size_t kRiffHeaderSize = 12;
constexpr size_t kOggMagicSize = 4;

class FileBytes : public ByteSource {
 public:
  explicit FileBytes(UniqueFd fd) : fd_(std::move(fd)) {}
  long read(void* out, size_t size) override {
    for (;;) {
      ssize_t n = ::read(fd_.get(), out, size);
      if (n < 0 && errno == EINTR) continue;
      return static_cast<long>(n);
    }
  }
  int64_t seek(int64_t offset, int whence) override {
    return lseek(fd_.get(), static_cast<off_t>(offset), whence);
  }
  int64_t tell() override { return lseek(fd_.get(), 0, SEEK_CUR); }

 private:
  UniqueFd fd_;
};

class MemoryBytes : public ByteSource {
 public:
  explicit MemoryBytes(std::vector<unsigned char> data) : data_(std::move(data)) {}
  long read(void* out, size_t size) override {
    size_t left = pos_ < data_.size() ? data_.size() - pos_ : 0;
    size_t n = size < left ? size : left;
    if (n > 0) memcpy(out, data_.data() + pos_, n);
    pos_ += n;
    return static_cast<long>(n);
  }
  int64_t seek(int64_t offset, int whence) override {
    int64_t base = whence == SEEK_SET   ? 0
                   : whence == SEEK_CUR ? static_cast<int64_t>(pos_)
                   : whence == SEEK_END ? static_cast<int64_t>(data_.size())
                                        : -1;
    if (base < 0 || offset < -base || offset > INT64_MAX - base) {
      errno = EINVAL;
      return -1;
    }
    pos_ = static_cast<size_t>(base + offset);
    return static_cast<int64_t>(pos_);
  }
  int64_t tell() override { return static_cast<int64_t>(pos_); }

 private:
  std::vector<unsigned char> data_;
  size_t pos_ = 0;
};

// An MPEG audio frame header: sync, a version and layer that exist, a bitrate other than
// "bad", a sample rate other than "reserved".
bool is_mpeg_frame_header(const unsigned char* p) {
  bool sync = p[0] == 0xFF && (p[1] & 0xE0) == 0xE0;
  unsigned version = (p[1] >> 3) & 3;
  unsigned layer = (p[1] >> 1) & 3;
  unsigned bitrate = p[2] >> 4;
  unsigned rate = (p[2] >> 2) & 3;
  return sync && version != 1 && layer != 0 && bitrate != 0xF && rate != 3;
}

// The length of an ID3v2 tag, its header (and footer) included.
size_t id3_tag_size(const unsigned char* p) {
  size_t size = 0;
  for (int i = 6; i < 10; ++i) size = (size << 7) | (p[i] & 0x7F);
  bool footer = (p[5] & 0x10) != 0;
  return kId3HeaderSize + size + (footer ? kId3HeaderSize : 0);
}

}  // namespace

std::unique_ptr<ByteSource> open_file_bytes(const char* path) {
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return nullptr;
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return nullptr;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return nullptr;
  }
  return std::make_unique<FileBytes>(std::move(fd));
}

std::unique_ptr<ByteSource> memory_bytes(std::vector<unsigned char> data) {
  return std::make_unique<MemoryBytes>(std::move(data));
}

SoundFormat recognise_sound_format(const unsigned char* head, size_t size) {
  if (size >= kOggMagicSize && memcmp(head, "OggS", kOggMagicSize) == 0) {
    return SoundFormat::kVorbis;
  }
  if (size >= kRiffHeaderSize && memcmp(head, "RIFF", 4) == 0 && memcmp(head + 8, "WAVE", 4) == 0) {
    return SoundFormat::kWav;
  }
  size_t at = 0;
  if (size >= kId3HeaderSize && memcmp(head, "ID3", 3) == 0) {
    // A tag first: the sound begins after it, where it has to look like one. A tag longer
    // than the bytes at hand (cover art) is MP3's own, and the decoder judges the rest.
    at = id3_tag_size(head);
    if (at + kMpegHeaderSize > size) return SoundFormat::kMp3;
  }
  if (at + kMpegHeaderSize <= size && is_mpeg_frame_header(head + at)) return SoundFormat::kMp3;
  return SoundFormat::kUnknown;
}

const char* sound_format_name(SoundFormat format) {
  switch (format) {
    case SoundFormat::kMp3:
      return "MP3";
    case SoundFormat::kVorbis:
      return "Ogg Vorbis";
    case SoundFormat::kWav:
      return "WAV";
    case SoundFormat::kUnknown:
      break;
  }
  return "unknown";
}

std::unique_ptr<SoundSource> open_sound_source(std::unique_ptr<ByteSource> bytes,
                                               std::string* why) {
  unsigned char head[SOUND_HEAD_SIZE];
  long got = 0;
  while (got < static_cast<long>(sizeof head)) {
    long n = bytes->read(head + got, sizeof head - static_cast<size_t>(got));
    if (n < 0) {
      *why = "cannot be read";
      return nullptr;
    }
    if (n == 0) break;
    got += n;
  }
  if (bytes->seek(0, SEEK_SET) != 0) {
    *why = "cannot be read again from its start";
    return nullptr;
  }
  switch (recognise_sound_format(head, static_cast<size_t>(got))) {
    case SoundFormat::kMp3:
      return open_mp3_source(std::move(bytes), why);
    case SoundFormat::kVorbis:
      return open_vorbis_source(std::move(bytes), why);
    case SoundFormat::kWav:
      return open_wav_source(std::move(bytes), why);
    case SoundFormat::kUnknown:
      break;
  }
  *why = got == 0 ? "is empty" : "is of no known format";
  return nullptr;
}
