// Figures of the ring player itself: the CPU that decoding and writing one second of sound
// takes, as a share of one core (goal: at most 1 %), for MP3 and Ogg Vorbis, at the file's
// rate and converted for a 48000 Hz stereo card; and the player's peak memory above the
// process it runs in, for a short and a long file (it streams: the two should be alike).
// The sound goes to the sandbox's card on a manual clock, so the figures are the player's
// work alone, without the waits a real card paces it with.
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

// Peak resident memory (kB) of a process that makes a sandbox and plays `file` (none: plays
// nothing).
long peak_kb(const std::string& file) {
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
  long base = peak_kb("");
  printf("peak memory of the player above its process (%ld kB without playing):\n", base);
  printf("  MP3 %3d s %6ld kB\n", kSeconds, peak_kb(mp3_short) - base);
  printf("  MP3 %3d s %6ld kB\n", kLongSeconds, peak_kb(mp3_long) - base);
  printf("  Vorbis %3d s %3ld kB\n", kLongSeconds, peak_kb(ogg_long) - base);
  std::string cmd = "rm -rf " + dir;
  if (system(cmd.c_str()) != 0) status = 1;
  return status;
}
