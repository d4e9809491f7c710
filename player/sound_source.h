// What the ring player plays from: the bytes of a ring file, and the sound decoded from them.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The bytes of a file, read in order with seeks where a format needs them (Ogg finds its
// end), from a descriptor or, for the fuzz targets and tests, from memory.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to `size` bytes: how many, 0 at the end, -1 on a read error.
  virtual long read(void* out, size_t size) = 0;
  // As lseek: the new offset, or -1.
  virtual int64_t seek(int64_t offset, int whence) = 0;
  virtual int64_t tell() = 0;
};

// The ring file at `path`, a regular file only (a FIFO or a device would never end); null
// with errno.
std::unique_ptr<ByteSource> open_file_bytes(const char* path);
// `data` itself, kept by the source.
std::unique_ptr<ByteSource> memory_bytes(std::vector<unsigned char> data);

// Decoded sound: frames of 16-bit interleaved samples.
class SoundSource {
 public:
  virtual ~SoundSource() = default;
  unsigned rate() const { return rate_; }
  unsigned channels() const { return channels_; }
  // Up to `frames` frames into `out` (room for frames x channels samples): how many; 0 at
  // the end; -1 when the rest of the file cannot be decoded.
  virtual long read(int16_t* out, size_t frames) = 0;
  // Frames the whole sound lasts, -1 when the file does not say.
  virtual int64_t length_frames() const { return -1; }

 protected:
  unsigned rate_ = 0;
  unsigned channels_ = 0;
};

// The rates and channel counts a sound may have; a file outside them is damaged.
constexpr unsigned SOUND_MIN_RATE = 8000;
constexpr unsigned SOUND_MAX_RATE = 192000;
constexpr unsigned SOUND_MAX_CHANNELS = 8;

enum class SoundFormat { kUnknown, kMp3, kVorbis, kWav };

// The format of a file from its first bytes (at least 16 for a sure answer, more for an MP3
// behind a long ID3 tag), never from its name. `open_sound_source` judges the first
// SOUND_HEAD_SIZE: an ID3 tag that ends past them (cover art) is taken as MP3's, and the
// decoder judges the rest.
constexpr size_t SOUND_HEAD_SIZE = 4096;
SoundFormat recognise_sound_format(const unsigned char* head, size_t size);
const char* sound_format_name(SoundFormat format);

// The decoders. Each reads its header at once: null, with the reason in `why`, when the
// file is not one of its kind or is damaged before its first sound.
std::unique_ptr<SoundSource> open_mp3_source(std::unique_ptr<ByteSource> bytes, std::string* why);
std::unique_ptr<SoundSource> open_vorbis_source(std::unique_ptr<ByteSource> bytes,
                                                std::string* why);
std::unique_ptr<SoundSource> open_wav_source(std::unique_ptr<ByteSource> bytes, std::string* why);
// Recognises the format and opens its decoder; null with the reason in `why`.
std::unique_ptr<SoundSource> open_sound_source(std::unique_ptr<ByteSource> bytes, std::string* why);
