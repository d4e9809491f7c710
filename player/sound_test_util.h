// Test support for the player's tests: sounds of a known signal made by the project's own
// encoder tool (res/make_sounds), and whole decodes.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "player/sound_source.h"

#ifndef ALARM_BUILD_DIR
#error "the player's tests need ALARM_BUILD_DIR"
#endif

// A temporary directory removed at the end of the test.
class SoundDir {
 public:
  SoundDir() {
    char tmpl[] = "/tmp/sound-test-XXXXXX";
    dir_ = mkdtemp(tmpl) != nullptr ? tmpl : "";
  }
  ~SoundDir() {
    if (!dir_.empty()) {
      std::string cmd = "rm -rf " + dir_;
      int ignored = system(cmd.c_str());
      (void)ignored;
    }
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  // The test signal (channel c: a sine of 441 * (c + 1) Hz at half of full scale) as a file
  // of `kind` (mp3, ogg, wav); its path, or empty when the tool failed.
  std::string make(const char* kind, int rate, int channels, long frames) const {
    std::string out = path("signal-" + std::to_string(rate) + "-" + std::to_string(channels) + "-" +
                           std::to_string(frames) + "." + kind);
    std::string cmd = std::string(ALARM_BUILD_DIR) + "/res/make_sounds test " + kind + " " +
                      std::to_string(rate) + " " + std::to_string(channels) + " " +
                      std::to_string(frames) + " " + out;
    return system(cmd.c_str()) == 0 ? out : "";
  }

  std::string write(const std::string& name, const std::vector<unsigned char>& bytes) const {
    std::string p = path(name);
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return p;
  }

 private:
  std::string dir_;
};

inline std::vector<unsigned char> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

// The test signal's sample of channel `c` at frame `f`.
inline double test_signal(int rate, int c, long f) {
  constexpr double kPi = 3.14159265358979323846;
  return 0.5 * 32767 * std::sin(2 * kPi * 441 * (c + 1) * f / rate);
}

struct Decoded {
  bool opened = false;
  std::string why;
  unsigned rate = 0;
  unsigned channels = 0;
  std::vector<int16_t> samples;
  bool failed = false;  // a read said the rest cannot be decoded
};

inline Decoded decode_all(std::unique_ptr<ByteSource> bytes) {
  Decoded d;
  if (bytes == nullptr) return d;
  std::unique_ptr<SoundSource> s = open_sound_source(std::move(bytes), &d.why);
  if (s == nullptr) return d;
  d.opened = true;
  d.rate = s->rate();
  d.channels = s->channels();
  std::vector<int16_t> buf(1000 * d.channels);
  for (;;) {
    long n = s->read(buf.data(), 1000);
    if (n < 0) d.failed = true;
    if (n <= 0) break;
    d.samples.insert(d.samples.end(), buf.begin(), buf.begin() + n * d.channels);
  }
  return d;
}

inline Decoded decode_file(const std::string& path) {
  return decode_all(open_file_bytes(path.c_str()));
}

// The largest difference between the decoded channel `c` and the test signal over `frames`
// frames from `first`.
inline double signal_error(const Decoded& d, int c, long first, long frames) {
  double worst = 0;
  for (long f = first; f < first + frames; ++f) {
    double e = std::fabs(d.samples[static_cast<size_t>(f) * d.channels + c] -
                         test_signal(static_cast<int>(d.rate), c, f));
    if (e > worst) worst = e;
  }
  return worst;
}
