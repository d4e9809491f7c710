// Figures of the ring player itself: the CPU that decoding and writing one second of sound
// takes, as a share of one core (goal: at most 1 %), for MP3 and Ogg Vorbis, at the file's
// rate and converted for a 48000 Hz stereo card; and the player's peak memory: the heap it
// holds while it plays, for a short and a long file (it streams: the two should be alike),
// and the peak resident memory of a whole process that plays.
// The sound goes to the sandbox's card on a manual clock, so the figures are the player's
// work alone, without the waits a real card paces it with.
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "player/ring_player.h"
#include "sim/test_sandbox.h"

namespace {

constexpr int kSeconds = 20;
constexpr int kLongSeconds = 300;

// The sandbox's card as a phone's that takes 48000 Hz stereo only.
class StereoCard : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  std::unique_ptr<SoundStream> open_sound(const SoundRequest& r) override {
    SoundRequest card = r;
    card.rate = 48000;
    card.channels = 2;
    return PlatformWrapper::open_sound(card);
  }
};

double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

std::string make_sound(const std::string& dir, const char* kind, int rate, int channels,
                       int seconds) {
  std::string out = dir + "/bench-" + std::to_string(rate) + "-" + std::to_string(channels) + "-" +
                    std::to_string(seconds) + "." + kind;
  std::string cmd = std::string(ALARM_BUILD_DIR) + "/res/make_sounds test " + kind + " " +
                    std::to_string(rate) + " " + std::to_string(channels) + " " +
                    std::to_string(static_cast<long>(rate) * seconds) + " " + out;
  return system(cmd.c_str()) == 0 ? out : "";
}

// CPU seconds per second of sound.
double cpu_share(const std::string& file, bool convert) {
  TestSandbox sb;
  StereoCard card(&sb.platform());
  if (convert) set_platform(&card);
  std::atomic<int> stop{0};
  double before = cpu_seconds();
  play_ring_file(file.c_str(), PlayerConfig(), stop);
  double used = cpu_seconds() - before;
  set_platform(&sb.platform());
  return used / kSeconds;
}

// The heap in use, allocated blocks and mapped ones.
size_t heap_bytes() {
  struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

// A card that looks at the heap each time the player writes: what the player holds while
// it plays.
class HeapWatch : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  class Stream : public SoundStream {
   public:
    Stream(std::unique_ptr<SoundStream> s, size_t* peak)
        : SoundStream(s->rate(), s->channels()), s_(std::move(s)), peak_(peak) {}
    int write(const int16_t* samples, size_t frames) override {
      size_t now = heap_bytes();
      if (now > *peak_) *peak_ = now;
      return s_->write(samples, frames);
    }
    int64_t queued_frames() override { return s_->queued_frames(); }
    void drop() override { s_->drop(); }
    void drain() override { s_->drain(); }

   private:
    std::unique_ptr<SoundStream> s_;
    size_t* peak_;
  };
  std::unique_ptr<SoundStream> open_sound(const SoundRequest& r) override {
    std::unique_ptr<SoundStream> s = PlatformWrapper::open_sound(r);
    if (s == nullptr) return nullptr;
    return std::make_unique<Stream>(std::move(s), &peak);
  }
  size_t peak = 0;
};

// The most heap (kB) the player holds above what was in use before it started.
long peak_heap_kb(const std::string& file) {
  TestSandbox sb;
  HeapWatch watch(&sb.platform());
  set_platform(&watch);
  std::atomic<int> stop{0};
  size_t before = heap_bytes();
  play_ring_file(file.c_str(), PlayerConfig(), stop);
  set_platform(&sb.platform());
  return watch.peak > before ? static_cast<long>((watch.peak - before) / 1024) : 0;
}

// Peak resident memory (kB) of a process that makes a sandbox and plays `file` (none: plays
// nothing).
long peak_rss_kb(const std::string& file) {
  pid_t pid = fork();
  if (pid == 0) {
    {
      TestSandbox sb;
      std::atomic<int> stop{0};
      if (!file.empty()) play_ring_file(file.c_str(), PlayerConfig(), stop);
    }
    _exit(0);
  }
  int status = 0;
  rusage ru = {};
  if (pid < 0 || wait4(pid, &status, 0, &ru) != pid) return -1;
  return ru.ru_maxrss;
}

}  // namespace

int main() {
  char tmpl[] = "/tmp/bench-sound-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  std::string dir = tmpl;
  struct Case {
    const char* name;
    const char* kind;
    int rate, channels;
  } cases[] = {{"MP3 44100 Hz stereo", "mp3", 44100, 2},
               {"MP3 48000 Hz mono", "mp3", 48000, 1},
               {"Vorbis 44100 Hz stereo", "ogg", 44100, 2},
               {"Vorbis 22050 Hz mono", "ogg", 22050, 1}};
  printf("CPU of decoding and writing one second of sound, share of one core (goal <= 1 %%):\n");
  int status = 0;
  for (const Case& c : cases) {
    std::string file = make_sound(dir, c.kind, c.rate, c.channels, kSeconds);
    if (file.empty()) {
      fprintf(stderr, "cannot make the %s file\n", c.name);
      status = 1;
      continue;
    }
    printf("  %-24s at its rate %.3f %%, for a 48000 Hz stereo card %.3f %%\n", c.name,
           100 * cpu_share(file, false), 100 * cpu_share(file, true));
  }
  std::string mp3_short = make_sound(dir, "mp3", 44100, 2, kSeconds);
  std::string mp3_long = make_sound(dir, "mp3", 44100, 2, kLongSeconds);
  std::string ogg_long = make_sound(dir, "ogg", 44100, 2, kLongSeconds);
  printf("heap the player holds while it plays (it streams: alike for a short and a long file):\n");
  printf("  MP3 44100 Hz stereo    %3d s %5ld kB\n", kSeconds, peak_heap_kb(mp3_short));
  printf("  MP3 44100 Hz stereo    %3d s %5ld kB\n", kLongSeconds, peak_heap_kb(mp3_long));
  printf("  Vorbis 44100 Hz stereo %3d s %5ld kB\n", kLongSeconds, peak_heap_kb(ogg_long));
  long base = peak_rss_kb("");
  printf("peak resident memory of a process that plays, beside one that does not (%ld kB):\n",
         base);
  printf("  MP3 %3d s %6ld kB, Vorbis %3d s %6ld kB\n", kLongSeconds, peak_rss_kb(mp3_long),
         kLongSeconds, peak_rss_kb(ogg_long));
  std::string cmd = "rm -rf " + dir;
  if (system(cmd.c_str()) != 0) status = 1;
  return status;
}
