#include "player/ring_player.h"

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/kernel_log.h"
#include "platform/platform.h"
#include "platform/unique_fd.h"
#include "player/alarm_tone.h"
#include "player/sound_convert.h"
#include "player/sound_source.h"

namespace {

constexpr int32_t kUnityGain = 32768;
constexpr int kGainShift = 15;
constexpr unsigned kMaxCardChannels = 2;  // a phone's loudspeaker is mono or stereo
constexpr int64_t kStopPollUs = 5000;

std::atomic<int> g_player_stop{0};
static_assert(std::atomic<int>::is_always_lock_free, "written in a signal handler");

void on_stop_signal(int) {
  g_player_stop = 1;
}

bool read_small_file(const std::string& path, std::string* text) {
  UniqueFile f(fopen(path.c_str(), "re"));
  if (f == nullptr) return false;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f.get())) > 0) {
    if (text->size() + n > PLAYER_MAX_FILE_BYTES) return false;
    text->append(buf, n);
  }
  return ferror(f.get()) == 0;
}

void apply_gain(int16_t* s, size_t frames, unsigned channels, int64_t first, unsigned rate,
                int rise_seconds) {
  for (size_t f = 0; f < frames; ++f) {
    int32_t g = ring_gain(first + static_cast<int64_t>(f), rate, rise_seconds);
    if (g >= kUnityGain) continue;
    for (unsigned c = 0; c < channels; ++c) {
      int16_t& v = s[f * channels + c];
      v = static_cast<int16_t>((static_cast<int32_t>(v) * g) >> kGainShift);
    }
  }
}

// What plays: the file's sound and, once it fails, the tone for the rest of its length.
class Ring {
 public:
  Ring(const char* path, const PlayerConfig& config) : path_(path), config_(config) {}

  int play(const std::atomic<int>& stop) {
    std::string why;
    std::unique_ptr<ByteSource> bytes = open_file_bytes(path_);
    if (bytes == nullptr) why = std::string("cannot be opened (") + strerror(errno) + ")";
    if (bytes != nullptr) source_ = open_sound_source(std::move(bytes), &why);
    if (source_ == nullptr) {
      tone_instead(why.c_str(), static_cast<int64_t>(ALARM_TONE_SECONDS) * ALARM_TONE_RATE);
    } else {
      expected_frames_ = source_->length_frames();
    }

    SoundRequest request;
    request.card = config_.card;
    request.device = config_.device;
    request.rate = source_->rate();
    request.channels =
        source_->channels() < kMaxCardChannels ? source_->channels() : kMaxCardChannels;
    stream_ = platform().open_sound(request);
    if (stream_ == nullptr) {
      kernel_log_write(3, "<3>mplayer: sound card %d device %d cannot be opened: %s\n",
                       config_.card, config_.device, strerror(errno));
      return PLAYER_EXIT_NO_CARD;
    }
    kernel_log_write(6, "<6>mplayer: %s: %u Hz, %u channels, played at %u Hz, %u channels\n", path_,
                     source_->rate(), source_->channels(), stream_->rate(), stream_->channels());
    make_converter();

    while (stop == 0) {
      long n = next_block();
      if (n == 0) break;
      if (n < 0) return PLAYER_EXIT_NO_CARD;
    }
    if (stop != 0) {
      end_with_ramp();
    } else {
      stream_->drain();
    }
    return PLAYER_EXIT_PLAYED;
  }

 private:
  void tone_instead(const char* why, int64_t tone_frames) {
    kernel_log_write(3, "<3>mplayer: %s %s: the alarm tone rings instead\n", path_, why);
    source_ = alarm_tone_source(tone_frames);
    tone_ = true;
    source_frames_ = 0;
  }

  void make_converter() {
    converter_ = std::make_unique<SoundConverter>(source_->rate(), source_->channels(),
                                                  stream_->rate(), stream_->channels());
    block_frames_ = source_->rate() * PLAYER_CHUNK_MS / 1000;
    in_.resize(block_frames_ * source_->channels());
  }

  // When the file fails half-way: the tone for what is left of its length (or of the tone's
  // own, when the file does not tell its length).
  void switch_to_tone(const char* why) {
    double played_s = static_cast<double>(source_frames_) / source_->rate();
    double whole_s = expected_frames_ > 0 && !tone_
                         ? static_cast<double>(expected_frames_) / source_->rate()
                         : ALARM_TONE_SECONDS;
    double left_s = whole_s > played_s ? whole_s - played_s : 0;
    tone_instead(why, static_cast<int64_t>(left_s * ALARM_TONE_RATE));
    make_converter();
  }

  // Plays the next block: its frames, 0 at the end, -1 when the card failed.
  long next_block() {
    long n = source_->read(in_.data(), block_frames_);
    if (n < 0 && !tone_) {
      switch_to_tone("is damaged");
      return 1;
    }
    if (n == 0 && source_frames_ == 0 && !tone_) {
      switch_to_tone("holds no sound");
      return 1;
    }
    if (n <= 0) return 0;
    source_frames_ += n;
    return write_block(static_cast<size_t>(n), false) ? n : -1;
  }

  // Converts and writes `frames` frames of in_; on the stop ramp, fading to silence.
  bool write_block(size_t frames, bool fading) {
    converter_->convert(in_.data(), frames, &out_);
    unsigned ch = stream_->channels();
    size_t out_frames = out_.size() / ch;
    if (fading) {
      int32_t from = ring_gain(out_frames_, stream_->rate(), config_.rise_seconds);
      for (size_t f = 0; f < out_frames; ++f) {
        int64_t g = static_cast<int64_t>(from) * static_cast<int64_t>(out_frames - 1 - f) /
                    static_cast<int64_t>(out_frames > 1 ? out_frames - 1 : 1);
        for (unsigned c = 0; c < ch; ++c) {
          int16_t& v = out_[f * ch + c];
          v = static_cast<int16_t>((static_cast<int64_t>(v) * g) >> kGainShift);
        }
      }
    } else {
      apply_gain(out_.data(), out_frames, ch, out_frames_, stream_->rate(), config_.rise_seconds);
    }
    out_frames_ += static_cast<int64_t>(out_frames);
    int r = stream_->write(out_.data(), out_frames);
    if (r == 0 || r == -EINTR) return true;
    kernel_log_write(3, "<3>mplayer: sound card %d device %d failed: %s\n", config_.card,
                     config_.device, strerror(-r));
    return false;
  }

  // The stop: a short fade of what comes next, a moment for the card to play it, then
  // whatever it still holds is dropped.
  void end_with_ramp() {
    size_t frames = source_->rate() * PLAYER_STOP_RAMP_MS / 1000;
    if (frames > block_frames_) frames = block_frames_;
    long n = source_->read(in_.data(), frames);
    if (n < static_cast<long>(frames)) {
      size_t from = n > 0 ? static_cast<size_t>(n) : 0;
      std::fill(in_.begin() + static_cast<long>(from * source_->channels()),
                in_.begin() + static_cast<long>(frames * source_->channels()), 0);
    }
    write_block(frames, true);
    for (int64_t waited = 0; waited < PLAYER_STOP_WAIT_MS * 1000LL && stream_->queued_frames() > 0;
         waited += kStopPollUs) {
      platform().sleep_us(kStopPollUs);
    }
    stream_->drop();
  }

  const char* path_;
  const PlayerConfig& config_;
  std::unique_ptr<SoundSource> source_;
  std::unique_ptr<SoundStream> stream_;
  std::unique_ptr<SoundConverter> converter_;
  std::vector<int16_t> in_, out_;
  size_t block_frames_ = 0;
  bool tone_ = false;
  int64_t expected_frames_ = -1;  // of the file, in its own frames
  int64_t source_frames_ = 0;     // read from the present source
  int64_t out_frames_ = 0;        // written to the card
};

}  // namespace

int32_t ring_gain(int64_t frame, unsigned rate, int rise_seconds) {
  int64_t ramp = static_cast<int64_t>(rate) * PLAYER_START_RAMP_MS / 1000;
  int64_t rise = static_cast<int64_t>(rate) * rise_seconds;
  int64_t span = rise > ramp ? rise : ramp;
  if (frame >= span || span <= 0) return kUnityGain;
  if (frame < 0) return 0;
  return static_cast<int32_t>(frame * kUnityGain / span);
}

PlayerConfig load_player_config() {
  PlayerConfig config;
  std::string text;
  std::string path = device_path(PLAYER_CONFIG_PATH);
  if (!read_small_file(path, &text)) return config;
  int refused = parse_player_config(text, &config);
  if (refused > 0) {
    kernel_log_write(3, "<3>mplayer: %s: %d lines not understood\n", PLAYER_CONFIG_PATH, refused);
  }
  return config;
}

int set_player_route(const PlayerConfig& config) {
  std::vector<MixerSetting> settings;
  const char* paths = config.mixer_paths.empty() ? PLAYER_MIXER_PATHS : config.mixer_paths.c_str();
  std::string xml;
  std::string file = device_path(paths);
  struct stat st;
  if (stat(file.c_str(), &st) == 0) {
    if (!read_small_file(file, &xml) || !parse_mixer_paths(xml, PLAYER_SPEAKER_PATH, &settings)) {
      kernel_log_write(3, "<3>mplayer: %s: no \"%s\" path read\n", paths, PLAYER_SPEAKER_PATH);
      settings.clear();
    }
  } else if (!config.mixer_paths.empty()) {
    kernel_log_write(3, "<3>mplayer: %s: %s\n", paths, strerror(errno));
  }
  settings.insert(settings.end(), config.controls.begin(), config.controls.end());
  int failed = 0;
  for (const MixerSetting& s : settings) {
    if (platform().set_mixer_control(config.card, s.name.c_str(), s.value.c_str()) != 0) {
      kernel_log_write(3, "<3>mplayer: mixer control \"%s\" = %s: %s\n", s.name.c_str(),
                       s.value.c_str(), strerror(errno));
      ++failed;
    }
  }
  return failed;
}

int play_ring_file(const char* path, const PlayerConfig& config, const std::atomic<int>& stop) {
  Ring ring(path, config);
  return ring.play(stop);
}

int ring_player_main(int argc, char** argv) {
  // Not restarted: a write blocked on the card returns at the stop signal.
  struct sigaction sa = {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGUSR2, &sa, nullptr);
  sigset_t stop_only;
  sigemptyset(&stop_only);
  sigaddset(&stop_only, SIGUSR2);
  sigprocmask(SIG_UNBLOCK, &stop_only, nullptr);

  kernel_log_open();
  if (argc < 2 || argv[1][0] == '\0') {
    fprintf(stderr, "usage: mplayer FILE\n");
    return PLAYER_EXIT_USAGE;
  }
  PlayerConfig config = load_player_config();
  set_player_route(config);
  return play_ring_file(argv[1], config, g_player_stop);
}
