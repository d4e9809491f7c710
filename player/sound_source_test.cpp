// The formats: each is told by its content and decodes to the rate, channel count, length and
// samples of the signal it was made from; broken files end or are refused, never crash.
#include "player/sound_source.h"

#include <gtest/gtest.h>

#include <cstring>

#include "player/sound_test_util.h"

namespace {

std::vector<unsigned char> bytes_of(const char* text) {
  return std::vector<unsigned char>(text, text + strlen(text));
}

// A WAV header of the given fields and a data chunk claiming `data_bytes`, then `held`
// bytes of samples 0, 1, 2, ...
std::vector<unsigned char> wav(unsigned tag, unsigned channels, unsigned rate, unsigned bits,
                               uint32_t data_bytes, size_t held) {
  std::vector<unsigned char> v;
  auto put = [&](uint32_t x, int n) {
    for (int i = 0; i < n; ++i) v.push_back(static_cast<unsigned char>(x >> (8 * i)));
  };
  for (char c : std::string("RIFF")) v.push_back(static_cast<unsigned char>(c));
  put(36 + data_bytes, 4);
  for (char c : std::string("WAVEfmt ")) v.push_back(static_cast<unsigned char>(c));
  put(16, 4);
  put(tag, 2);
  put(channels, 2);
  put(rate, 4);
  put(rate * channels * bits / 8, 4);
  put(channels * bits / 8, 2);
  put(bits, 2);
  for (char c : std::string("data")) v.push_back(static_cast<unsigned char>(c));
  put(data_bytes, 4);
  for (size_t i = 0; i < held / 2; ++i) put(static_cast<uint32_t>(i), 2);
  return v;
}

// A lossy decode of the test signal: the rate, channel count and exact length it was made
// with, and each channel within 1500 of the signal over 2000 frames from `from`.
void expect_signal(const Decoded& d, unsigned rate, unsigned channels, size_t frames, long from) {
  ASSERT_TRUE(d.opened) << d.why;
  EXPECT_EQ(d.rate, rate);
  EXPECT_EQ(d.channels, channels);
  EXPECT_EQ(d.samples.size(), frames * channels);
  EXPECT_FALSE(d.failed);
  if (d.samples.size() < (static_cast<size_t>(from) + 2000) * channels) return;
  for (unsigned c = 0; c < channels; ++c) {
    EXPECT_LT(signal_error(d, static_cast<int>(c), from, 2000), 1500) << "channel " << c;
  }
}

TEST(SoundFormat, ToldByContentNotByName) {
  SoundDir dir;
  std::string mp3 = dir.make("mp3", 22050, 1, 2205);
  std::string ogg = dir.make("ogg", 8000, 1, 800);
  ASSERT_FALSE(mp3.empty());
  ASSERT_FALSE(ogg.empty());
  std::vector<unsigned char> m = read_bytes(mp3), o = read_bytes(ogg);
  EXPECT_EQ(recognise_sound_format(m.data(), m.size()), SoundFormat::kMp3);
  EXPECT_EQ(recognise_sound_format(o.data(), o.size()), SoundFormat::kVorbis);
  std::vector<unsigned char> w = wav(1, 1, 8000, 16, 4, 4);
  EXPECT_EQ(recognise_sound_format(w.data(), w.size()), SoundFormat::kWav);
  // An Ogg file named .mp3 plays as what it is.
  Decoded d = decode_file(dir.write("ring.mp3", o));
  EXPECT_TRUE(d.opened);
  EXPECT_EQ(d.samples.size(), 800u);
}

TEST(SoundFormat, Id3TagBeforeTheFirstFrame) {
  unsigned char head[32] = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 6};
  head[16] = 0xFF;
  head[17] = 0xFB;  // MPEG-1 layer III
  head[18] = 0x90;  // 128 kbit/s, 44100 Hz
  EXPECT_EQ(recognise_sound_format(head, sizeof head), SoundFormat::kMp3);
  head[17] = 0x00;  // no frame where the tag ends
  EXPECT_EQ(recognise_sound_format(head, sizeof head), SoundFormat::kUnknown);
}

TEST(SoundFormat, TextAndNothingAreUnknown) {
  std::vector<unsigned char> text = bytes_of("sandbox ring tone\n");
  EXPECT_EQ(recognise_sound_format(text.data(), text.size()), SoundFormat::kUnknown);
  EXPECT_EQ(recognise_sound_format(text.data(), 0), SoundFormat::kUnknown);
  Decoded d = decode_all(memory_bytes(text));
  EXPECT_FALSE(d.opened);
  EXPECT_EQ(d.why, "is of no known format");
  EXPECT_EQ(decode_all(memory_bytes({})).why, "is empty");
}

TEST(WavDecoding, MonoSamplesComeBackExactly) {
  SoundDir dir;
  Decoded d = decode_file(dir.make("wav", 16000, 1, 1600));
  ASSERT_TRUE(d.opened) << d.why;
  EXPECT_EQ(d.rate, 16000u);
  EXPECT_EQ(d.channels, 1u);
  ASSERT_EQ(d.samples.size(), 1600u);
  EXPECT_EQ(d.samples[0], 0);
  EXPECT_EQ(d.samples[1], 2823);
  EXPECT_EQ(d.samples[2], 5562);
  EXPECT_EQ(d.samples[3], 8134);
}

TEST(WavDecoding, StereoKeepsItsChannelsApart) {
  SoundDir dir;
  Decoded d = decode_file(dir.make("wav", 16000, 2, 100));
  ASSERT_TRUE(d.opened) << d.why;
  EXPECT_EQ(d.channels, 2u);
  ASSERT_EQ(d.samples.size(), 200u);
  EXPECT_EQ(d.samples[2], 2823);   // left, frame 1: 441 Hz
  EXPECT_EQ(d.samples[3], 5562);   // right, frame 1: 882 Hz
  EXPECT_EQ(d.samples[5], 10463);  // right, frame 2
}

TEST(WavDecoding, DataLongerThanTheFilePlaysWhatIsThere) {
  // Claims 3200 bytes, holds 1001: 500 whole frames, the cut one left out.
  Decoded d = decode_all(memory_bytes(wav(1, 1, 8000, 16, 3200, 1001)));
  ASSERT_TRUE(d.opened) << d.why;
  ASSERT_EQ(d.samples.size(), 500u);
  EXPECT_EQ(d.samples[499], 499);
  EXPECT_FALSE(d.failed);
}

TEST(WavDecoding, LengthNeverWrittenPlaysToTheEnd) {
  Decoded d = decode_all(memory_bytes(wav(1, 2, 44100, 16, 0, 400)));
  ASSERT_TRUE(d.opened) << d.why;
  EXPECT_EQ(d.samples.size(), 200u);
  EXPECT_EQ(d.samples[199], 199);
}

TEST(WavDecoding, ImpossibleFormatsAreRefused) {
  EXPECT_EQ(decode_all(memory_bytes(wav(1, 0, 8000, 16, 4, 4))).why,
            "has an impossible rate or channel count");
  EXPECT_EQ(decode_all(memory_bytes(wav(1, 9, 8000, 16, 4, 4))).why,
            "has an impossible rate or channel count");
  EXPECT_EQ(decode_all(memory_bytes(wav(1, 1, 1, 16, 4, 4))).why,
            "has an impossible rate or channel count");
  EXPECT_EQ(decode_all(memory_bytes(wav(1, 1, 8000, 8, 4, 4))).why, "is not 16-bit PCM");
  EXPECT_EQ(decode_all(memory_bytes(wav(3, 1, 8000, 16, 4, 4))).why, "is not 16-bit PCM");
  std::vector<unsigned char> cut = wav(1, 1, 8000, 16, 4, 4);
  cut.resize(30);  // ends inside the format chunk
  EXPECT_FALSE(decode_all(memory_bytes(cut)).opened);
}

TEST(Mp3Decoding, StereoAtItsRateAndExactLength) {
  SoundDir dir;
  // The encoder's Info frame tells the decoder its delay and padding: no frame more or less.
  expect_signal(decode_file(dir.make("mp3", 44100, 2, 44100)), 44100u, 2u, 44100, 1000);
}

TEST(Mp3Decoding, MonoAtALowRate) {
  SoundDir dir;
  expect_signal(decode_file(dir.make("mp3", 22050, 1, 11025)), 22050u, 1u, 11025, 500);
}

TEST(Mp3Decoding, CutInTheMiddleEndsEarly) {
  SoundDir dir;
  std::vector<unsigned char> whole = read_bytes(dir.make("mp3", 44100, 1, 44100));
  ASSERT_GT(whole.size(), 2000u);
  whole.resize(whole.size() / 2);
  Decoded d = decode_all(memory_bytes(whole));
  ASSERT_TRUE(d.opened) << d.why;
  EXPECT_GT(d.samples.size(), 10000u);
  EXPECT_LT(d.samples.size(), 44100u);
}

TEST(Mp3Decoding, FrameHeaderFollowedByJunkHoldsNoSound) {
  std::vector<unsigned char> junk(8192, 0x55);
  junk[0] = 0xFF;
  junk[1] = 0xFB;
  junk[2] = 0x90;
  Decoded d = decode_all(memory_bytes(junk));
  EXPECT_TRUE(!d.opened || d.samples.empty() || d.failed);
}

TEST(VorbisDecoding, MonoAtItsRateAndExactLength) {
  SoundDir dir;
  expect_signal(decode_file(dir.make("ogg", 8000, 1, 4000)), 8000u, 1u, 4000, 200);
}

TEST(VorbisDecoding, StereoKeepsItsChannelsApart) {
  SoundDir dir;
  expect_signal(decode_file(dir.make("ogg", 44100, 2, 44100)), 44100u, 2u, 44100, 1000);
}

TEST(VorbisDecoding, BrokenHeadersAreRefused) {
  std::vector<unsigned char> fake = bytes_of("OggS but nothing of a Vorbis stream after it");
  Decoded d = decode_all(memory_bytes(fake));
  EXPECT_FALSE(d.opened);
  SoundDir dir;
  std::vector<unsigned char> real = read_bytes(dir.make("ogg", 8000, 1, 4000));
  real.resize(100);  // inside the headers
  EXPECT_FALSE(decode_all(memory_bytes(real)).opened);
}

TEST(VorbisDecoding, CutInTheMiddleEndsEarly) {
  SoundDir dir;
  // Four seconds span pages after the headers; the cut falls inside the last one.
  std::vector<unsigned char> whole = read_bytes(dir.make("ogg", 44100, 1, 4 * 44100));
  size_t last_page = 0;
  for (size_t i = 0; i + 4 <= whole.size(); ++i) {
    if (memcmp(whole.data() + i, "OggS", 4) == 0) last_page = i;
  }
  ASSERT_GT(last_page, 4000u);
  whole.resize(last_page + (whole.size() - last_page) / 2);
  Decoded d = decode_all(memory_bytes(whole));
  ASSERT_TRUE(d.opened) << d.why;
  EXPECT_GT(d.samples.size(), 44100u);
  EXPECT_LT(d.samples.size(), 4u * 44100);
}

TEST(FileBytes, OnlyRegularFilesAreRead) {
  EXPECT_EQ(open_file_bytes("/dev/zero"), nullptr);
  EXPECT_EQ(open_file_bytes("/nonexistent/ring.mp3"), nullptr);
}

}  // namespace
