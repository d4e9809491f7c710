#include "sandbox/sandbox_sound.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/unique_fd.h"

namespace {

constexpr size_t kHeaderSize = 44;
constexpr off_t kRiffSizeAt = 4;
constexpr off_t kDataSizeAt = 40;
constexpr unsigned kBytesPerSample = 2;
constexpr uint32_t kRiffOverhead = 36;  // the RIFF size counts all but its first 8 bytes
constexpr unsigned kMinRate = 1000;
constexpr unsigned kMaxRate = 384000;
constexpr unsigned kMaxChannels = 8;
constexpr uint32_t kMaxDataBytes = 0xFFFFFFFFu - kRiffOverhead;

void put_le32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void put_le16(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
uint32_t get_le32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t get_le16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

bool write_all(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool append_line(const std::string& path, const std::string& line) {
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  return fd.get() >= 0 && write_all(fd.get(), line.data(), line.size());
}

class SinkStream : public SoundStream {
 public:
  SinkStream(UniqueFd fd, SandboxClock& clock, unsigned rate, unsigned channels)
      : SoundStream(rate, channels),
        fd_(std::move(fd)),
        clock_(clock),
        opened_us_(clock.now_us()) {}

  int write(const int16_t* samples, size_t frames) override {
    size_t bytes = frames * channels() * kBytesPerSample;
    if (bytes > kMaxDataBytes - data_bytes_) return -EFBIG;
    if (!write_all(fd_.get(), samples, bytes)) return -EIO;
    data_bytes_ += static_cast<uint32_t>(bytes);
    unsigned char len[4];
    put_le32(len, data_bytes_ + kRiffOverhead);
    bool ok = pwrite(fd_.get(), len, 4, kRiffSizeAt) == 4;
    put_le32(len, data_bytes_);
    ok = ok && pwrite(fd_.get(), len, 4, kDataSizeAt) == 4;
    if (!ok) return -EIO;
    // The card takes the frames as fast as it plays them.
    frames_ += frames;
    int64_t heard_at = opened_us_ + static_cast<int64_t>(frames_ * 1000000 / rate());
    int64_t left = heard_at - clock_.now_us();
    if (left > 0) clock_.sleep_us(left);
    return 0;
  }
  // Every frame is heard as it is written.
  int64_t queued_frames() override { return 0; }
  void drop() override {}
  void drain() override {}

 private:
  UniqueFd fd_;
  SandboxClock& clock_;
  int64_t opened_us_;
  uint64_t frames_ = 0;
  uint32_t data_bytes_ = 0;
};

}  // namespace

std::unique_ptr<SoundStream> open_sandbox_sound(const std::string& root, SandboxClock& clock,
                                                const SoundRequest& r) {
  if (r.card != 0 || r.device != 0 || r.rate < kMinRate || r.rate > kMaxRate || r.channels < 1 ||
      r.channels > kMaxChannels) {
    errno = r.card != 0 || r.device != 0 ? ENOENT : EINVAL;
    return nullptr;
  }
  // The next free number: players of one run follow each other, and O_EXCL keeps two that
  // overlap apart.
  UniqueFd fd;
  std::string name;
  for (int n = 1; n < SANDBOX_SOUND_FILES_MAX && fd.get() < 0; ++n) {
    name = "sound-" + std::to_string(n) + SANDBOX_SOUND_SUFFIX;
    std::string path = root + "/sim/" + name;
    fd.reset(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (fd.get() < 0 && errno != EEXIST) return nullptr;
  }
  if (fd.get() < 0) return nullptr;

  unsigned char h[kHeaderSize] = {};
  memcpy(h, "RIFF", 4);
  put_le32(h + 4, kRiffOverhead);
  memcpy(h + 8, "WAVEfmt ", 8);
  put_le32(h + 16, 16);
  put_le16(h + 20, 1);  // PCM
  put_le16(h + 22, static_cast<uint16_t>(r.channels));
  put_le32(h + 24, r.rate);
  put_le32(h + 28, r.rate * r.channels * kBytesPerSample);
  put_le16(h + 32, static_cast<uint16_t>(r.channels * kBytesPerSample));
  put_le16(h + 34, 16);
  memcpy(h + 36, "data", 4);
  put_le32(h + 40, 0);
  if (!write_all(fd.get(), h, sizeof h)) return nullptr;

  auto stream = std::make_unique<SinkStream>(std::move(fd), clock, r.rate, r.channels);
  int64_t at_ms = clock.now_us() / 1000;
  append_line(root + SANDBOX_SOUND_LOG, std::to_string(at_ms) + " " + name + " " +
                                            std::to_string(r.rate) + " " +
                                            std::to_string(r.channels) + "\n");
  return stream;
}

int record_sandbox_mixer_setting(const std::string& root, int card, const char* name,
                                 const char* value) {
  if (card != 0) {
    errno = ENOENT;
    return -1;
  }
  std::string line = std::string(name) + " = " + value + "\n";
  if (line.find('\n') != line.size() - 1) {
    errno = EINVAL;
    return -1;
  }
  return append_line(root + SANDBOX_MIXER_LOG, line) ? 0 : -1;
}

void clear_sandbox_sound(const std::string& root) {
  std::string dir = root + "/sim";
  UniqueDir d(opendir(dir.c_str()));
  if (d != nullptr) {
    while (dirent* e = readdir(d.get())) {
      std::string n = e->d_name;
      size_t suffix = strlen(SANDBOX_SOUND_SUFFIX);
      if (n.compare(0, 6, "sound-") == 0 && n.size() > 6 + suffix &&
          n.compare(n.size() - suffix, suffix, SANDBOX_SOUND_SUFFIX) == 0) {
        unlink((dir + "/" + n).c_str());
      }
    }
  }
  unlink((root + SANDBOX_SOUND_LOG).c_str());
  unlink((root + SANDBOX_MIXER_LOG).c_str());
}

bool read_sandbox_wav(const std::string& path, SandboxWav* wav) {
  UniqueFile f(fopen(path.c_str(), "rbe"));
  if (f == nullptr) return false;
  unsigned char h[12];
  if (fread(h, 1, 12, f.get()) != 12 || memcmp(h, "RIFF", 4) != 0 || memcmp(h + 8, "WAVE", 4)) {
    return false;
  }
  bool have_fmt = false;
  unsigned char c[8];
  while (fread(c, 1, 8, f.get()) == 8) {
    uint32_t size = get_le32(c + 4);
    if (memcmp(c, "fmt ", 4) == 0 && size >= 16) {
      unsigned char fmt[16];
      if (fread(fmt, 1, 16, f.get()) != 16) return false;
      if (get_le16(fmt) != 1 || get_le16(fmt + 14) != 16) return false;
      wav->channels = get_le16(fmt + 2);
      wav->rate = get_le32(fmt + 4);
      have_fmt = wav->channels > 0;
      if (fseek(f.get(), static_cast<long>(size - 16 + (size & 1)), SEEK_CUR) != 0) return false;
    } else if (memcmp(c, "data", 4) == 0) {
      if (!have_fmt) return false;
      wav->samples.resize(size / kBytesPerSample);
      size_t got = fread(wav->samples.data(), kBytesPerSample, wav->samples.size(), f.get());
      wav->samples.resize(got - got % wav->channels);
      return true;
    } else if (fseek(f.get(), static_cast<long>(size + (size & 1)), SEEK_CUR) != 0) {
      return false;
    }
  }
  return false;
}
