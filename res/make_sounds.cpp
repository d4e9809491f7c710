// Makes the project's sounds: the default ring, four seconds of the alarm pattern encoded as
// MP3, and the test sounds the player's tests decode (a known signal in each format, so that
// a test can judge the rate, channel count, length and first samples it gets back).
//
// Usage: make_sounds ring OUT.mp3
//        make_sounds test mp3|ogg|wav RATE CHANNELS FRAMES OUT
// The test signal: channel c is a sine of 441 * (c + 1) Hz at half of full scale.
#include <lame/lame.h>
#include <vorbis/vorbisenc.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "player/alarm_tone.h"

namespace {

constexpr int kRingSeconds = ALARM_TONE_SECONDS;
constexpr int kMp3Kbps = 128;
constexpr int kLameQuality = 2;  // 0 best .. 9 fastest
constexpr float kVorbisQuality = 0.5f;
constexpr double kPi = 3.14159265358979323846;
constexpr double kTestAmplitude = 0.5 * 32767;
constexpr double kTestPitchHz = 441;
constexpr size_t kBlockFrames = 4096;
constexpr int kMaxRate = 192000;
constexpr int kMaxChannels = 8;

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// The test signal, interleaved.
std::vector<int16_t> test_signal(int rate, int channels, long frames) {
  std::vector<int16_t> s(static_cast<size_t>(frames) * channels);
  for (long f = 0; f < frames; ++f) {
    for (int c = 0; c < channels; ++c) {
      double v = kTestAmplitude * std::sin(2 * kPi * kTestPitchHz * (c + 1) * f / rate);
      s[static_cast<size_t>(f) * channels + c] = static_cast<int16_t>(std::lround(v));
    }
  }
  return s;
}

bool write_mp3(const std::vector<int16_t>& pcm, int rate, int channels, const char* out) {
  if (channels > 2) return false;
  File f(fopen(out, "w+b"));  // read back to fill in the Info frame
  if (f == nullptr) return false;
  lame_global_flags* gf = lame_init();
  if (gf == nullptr) return false;
  lame_set_in_samplerate(gf, rate);
  lame_set_out_samplerate(gf, rate);
  lame_set_num_channels(gf, channels);
  lame_set_mode(gf, channels == 1 ? MONO : JOINT_STEREO);
  lame_set_brate(gf, kMp3Kbps);
  lame_set_quality(gf, kLameQuality);
  lame_set_bWriteVbrTag(gf, 1);  // the Info frame carries the exact length for gapless decoding
  bool ok = lame_init_params(gf) >= 0;
  size_t frames = pcm.size() / channels;
  std::vector<unsigned char> mp3(kBlockFrames * 5 / 4 + 7200);
  std::vector<int16_t> left(kBlockFrames), right(kBlockFrames);
  for (size_t at = 0; ok && at < frames; at += kBlockFrames) {
    size_t n = frames - at < kBlockFrames ? frames - at : kBlockFrames;
    for (size_t i = 0; i < n; ++i) {
      left[i] = pcm[(at + i) * channels];
      right[i] = pcm[(at + i) * channels + channels - 1];
    }
    int bytes = lame_encode_buffer(gf, left.data(), channels == 2 ? right.data() : nullptr,
                                   static_cast<int>(n), mp3.data(), static_cast<int>(mp3.size()));
    ok = bytes >= 0 &&
         fwrite(mp3.data(), 1, static_cast<size_t>(bytes), f.get()) == static_cast<size_t>(bytes);
  }
  int bytes = ok ? lame_encode_flush(gf, mp3.data(), static_cast<int>(mp3.size())) : -1;
  ok = bytes >= 0 &&
       fwrite(mp3.data(), 1, static_cast<size_t>(bytes), f.get()) == static_cast<size_t>(bytes);
  if (ok) lame_mp3_tags_fid(gf, f.get());
  lame_close(gf);
  return ok && fflush(f.get()) == 0;
}

bool write_pages(ogg_stream_state* os, FILE* f, bool flush) {
  ogg_page page;
  while (flush ? ogg_stream_flush(os, &page) : ogg_stream_pageout(os, &page)) {
    if (fwrite(page.header, 1, page.header_len, f) != static_cast<size_t>(page.header_len) ||
        fwrite(page.body, 1, page.body_len, f) != static_cast<size_t>(page.body_len)) {
      return false;
    }
  }
  return true;
}

bool write_ogg(const std::vector<int16_t>& pcm, int rate, int channels, const char* out) {
  File f(fopen(out, "wb"));
  if (f == nullptr) return false;
  vorbis_info vi;
  vorbis_info_init(&vi);
  if (vorbis_encode_init_vbr(&vi, channels, rate, kVorbisQuality) != 0) {
    vorbis_info_clear(&vi);
    return false;
  }
  vorbis_comment vc;
  vorbis_comment_init(&vc);
  vorbis_dsp_state vd;
  vorbis_block vb;
  vorbis_analysis_init(&vd, &vi);
  vorbis_block_init(&vd, &vb);
  ogg_stream_state os;
  ogg_stream_init(&os, 1);
  ogg_packet header, comments, codebooks;
  vorbis_analysis_headerout(&vd, &vc, &header, &comments, &codebooks);
  ogg_stream_packetin(&os, &header);
  ogg_stream_packetin(&os, &comments);
  ogg_stream_packetin(&os, &codebooks);
  bool ok = write_pages(&os, f.get(), true);
  size_t frames = pcm.size() / channels;
  for (size_t at = 0; ok; at += kBlockFrames) {
    size_t n = at >= frames ? 0 : (frames - at < kBlockFrames ? frames - at : kBlockFrames);
    if (n > 0) {
      float** buf = vorbis_analysis_buffer(&vd, static_cast<int>(n));
      for (size_t i = 0; i < n; ++i) {
        for (int c = 0; c < channels; ++c) buf[c][i] = pcm[(at + i) * channels + c] / 32768.0f;
      }
    }
    vorbis_analysis_wrote(&vd, static_cast<int>(n));  // 0: the end
    while (ok && vorbis_analysis_blockout(&vd, &vb) == 1) {
      vorbis_analysis(&vb, nullptr);
      vorbis_bitrate_addblock(&vb);
      ogg_packet packet;
      while (vorbis_bitrate_flushpacket(&vd, &packet)) {
        ogg_stream_packetin(&os, &packet);
        ok = write_pages(&os, f.get(), false);
      }
    }
    if (n == 0) break;
  }
  ok = ok && write_pages(&os, f.get(), true);
  ogg_stream_clear(&os);
  vorbis_block_clear(&vb);
  vorbis_dsp_clear(&vd);
  vorbis_comment_clear(&vc);
  vorbis_info_clear(&vi);
  return ok && fflush(f.get()) == 0;
}

void put16(std::string* s, unsigned v) {
  s->push_back(static_cast<char>(v & 0xFF));
  s->push_back(static_cast<char>((v >> 8) & 0xFF));
}
void put32(std::string* s, uint32_t v) {
  put16(s, v & 0xFFFF);
  put16(s, v >> 16);
}

bool write_wav(const std::vector<int16_t>& pcm, int rate, int channels, const char* out) {
  std::string h = "RIFF";
  uint32_t data = static_cast<uint32_t>(pcm.size() * 2);
  put32(&h, 36 + data);
  h += "WAVEfmt ";
  put32(&h, 16);
  put16(&h, 1);
  put16(&h, static_cast<unsigned>(channels));
  put32(&h, static_cast<uint32_t>(rate));
  put32(&h, static_cast<uint32_t>(rate * channels * 2));
  put16(&h, static_cast<unsigned>(channels * 2));
  put16(&h, 16);
  h += "data";
  put32(&h, data);
  File f(fopen(out, "wb"));
  return f != nullptr && fwrite(h.data(), 1, h.size(), f.get()) == h.size() &&
         (pcm.empty() || fwrite(pcm.data(), 2, pcm.size(), f.get()) == pcm.size()) &&
         fflush(f.get()) == 0;
}

int usage() {
  fprintf(stderr,
          "usage: make_sounds ring OUT.mp3\n"
          "       make_sounds test mp3|ogg|wav RATE CHANNELS FRAMES OUT\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "ring") == 0) {
    std::vector<int16_t> pcm(static_cast<size_t>(kRingSeconds) * ALARM_TONE_RATE);
    alarm_tone_samples(0, pcm.data(), pcm.size());
    if (!write_mp3(pcm, ALARM_TONE_RATE, 1, argv[2])) {
      fprintf(stderr, "make_sounds: cannot write %s\n", argv[2]);
      return 1;
    }
    return 0;
  }
  if (argc != 7 || strcmp(argv[1], "test") != 0) return usage();
  int rate = atoi(argv[3]);
  int channels = atoi(argv[4]);
  long frames = atol(argv[5]);
  if (rate < 1000 || rate > kMaxRate || channels < 1 || channels > kMaxChannels || frames < 0) {
    return usage();
  }
  std::vector<int16_t> pcm = test_signal(rate, channels, frames);
  std::string kind = argv[2];
  bool ok = kind == "mp3"   ? write_mp3(pcm, rate, channels, argv[6])
            : kind == "ogg" ? write_ogg(pcm, rate, channels, argv[6])
            : kind == "wav" ? write_wav(pcm, rate, channels, argv[6])
                            : false;
  if (!ok) {
    fprintf(stderr, "make_sounds: cannot write %s\n", argv[6]);
    return 1;
  }
  return 0;
}
